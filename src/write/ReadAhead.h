// Reading the small stored files of a data pass on several threads, ahead
// of the writer, which takes them in list order.
//
// A tree of many small files costs mostly system calls per file (open, a
// look at the open file, read, close), which one thread makes one after the
// other. Workers claim files in list order and read each one whole into a
// buffer of its own, exactly as the writer would (SourceFile: no further
// than the gathered size, and its verdict); the writer copies the buffers
// into the archive. Nothing a worker does can be seen outside: events, the
// archive's bytes and what is left out stay those of one thread.
//
// The writer reads a file itself, as it would without workers, when the
// file is larger than kReadAheadFileLimit, when a worker could not open it
// for want of a descriptor or could not have its buffer, or when no worker
// could be started. When the writer cannot open a file for want of a
// descriptor either, it holds the workers off and waits until they closed
// theirs (OpenRelief), so that a file is left out only where one thread
// would leave it out too.
//
// Memory: workers claim files until the files claimed and not yet taken
// hold kReadAheadBytesPerWorker bytes per worker, each file counting as at
// least kReadAheadFileWeight bytes; a file larger than what is left may be
// claimed only when nothing is waiting. So the buffers hold at most that
// bound plus one file of kReadAheadFileLimit.
#pragma once

#include "platform/Platform.h"
#include "support/Memory.h"
#include "write/SourceFile.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

inline constexpr std::uint32_t kReadAheadFileLimit = 256 << 10;
inline constexpr std::uint64_t kReadAheadBytesPerWorker = std::uint64_t{4} << 20;
inline constexpr std::uint64_t kReadAheadFileWeight = 4096;
// What a worker claims at once, at most.
inline constexpr std::size_t kReadAheadBatchFiles = 32;
inline constexpr std::uint64_t kReadAheadBatchBytes = 256 << 10;

// Tests only: asked before each worker thread is started; false makes the
// start fail as when the system refuses a thread. Set it while no read-ahead
// exists.
void setReadAheadStartHookForTesting(bool (*startWorker)(unsigned index));

class ReadAhead final : public OpenRelief {
public:
    struct Source {
        const zs* path;     // outlives the read-ahead
        std::uint32_t size; // as gathered
    };

    // A file as the writer takes it.
    struct Taken {
        bool byWriter = false; // the writer reads this file itself
        ReadOutcome outcome = ReadOutcome::read;
        FileIdentity identity; // when opened
        ByteBuffer bytes;      // outcome read: exactly the gathered size
    };

    ReadAhead(zvector<Source> sources, unsigned workers);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The next source in list order, once a worker has read it.
    Taken take();

    void relieve() override;
    void endRelief() noexcept override;

private:
    struct Slot {
        bool done = false;
        std::uint64_t weight = 0;
        Taken taken;
    };

    void work();
    bool roomFor(const Source& source) const;
    static void read(const Source& source, Taken& taken);

    zvector<Source> m_sources;
    std::uint64_t m_aheadLimit;

    std::mutex m_mutex;
    std::condition_variable m_workerWakes;
    std::condition_variable m_writerWakes;
    std::deque<Slot, Z_Allocator<Slot>> m_slots; // claimed and not taken, in list order
    std::size_t m_claimed = 0;
    std::size_t m_taken = 0;
    std::size_t m_writerFrom;   // from this one on, every file is the writer's
    std::uint64_t m_ahead = 0;  // the weight of m_slots
    unsigned m_opened = 0;      // workers reading files
    unsigned m_waitingWorkers = 0;
    bool m_writerWaiting = false;
    bool m_relieving = false;
    bool m_stopping = false;

    std::vector<std::thread> m_workers;
};
