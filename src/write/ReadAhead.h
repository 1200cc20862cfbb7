// Reading the small stored files of a data pass on several threads, ahead
// of the writer, which takes them in list order.
//
// A tree of many small files costs mostly system calls per file (open, a
// look at the open file, read, close), which one thread makes one after the
// other. Workers claim files in list order, a run at a time, and read each
// one whole, exactly as the writer would (SourceFile: no further than the
// gathered size, and its verdict); the writer copies the bytes into the
// archive. Nothing a worker does can be seen outside: events, the archive's
// bytes and what is left out stay those of one thread.
//
// The writer reads a file itself, as it would without workers, when the
// file is larger than kReadAheadFileLimit, when a worker could not open it
// for want of a descriptor, or when no worker could be started. When the
// writer cannot open a file for want of a descriptor either, it holds the
// workers off and waits until they closed theirs (OpenRelief), so that a
// file is left out only where one thread would leave it out too.
//
// Memory: the files are read into a ring of kReadAheadBytesPerWorker bytes
// per worker (at least twice kReadAheadFileLimit), allocated once in pieces
// of kReadAheadFileLimit bytes, no file running past the end of a piece:
// files are claimed and taken in the same order, so each takes the ring's
// next bytes and gives them back when the writer has copied them. (A buffer
// per file would cost the system fresh pages, and their zeroing, for every
// file of more than a few pages.) Workers claim files while the ring has
// room for the next one and fewer than kReadAheadFilesPerWorker per worker
// wait.
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

inline constexpr std::uint32_t kReadAheadFileLimit = 64 << 10;
inline constexpr std::size_t kReadAheadBytesPerWorker = 1 << 20;
inline constexpr std::size_t kReadAheadFilesPerWorker = 256;
// Fewer files than this small enough to be read ahead, and the workers' start
// and the handing over cost more than they save (the game corpora of a few
// hundred files each pack about 5% slower with them): the writer reads all.
inline constexpr std::size_t kReadAheadMinFiles = 1000;
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
        FileIdentity identity;               // when opened
        const unsigned char* bytes = nullptr; // outcome read: the gathered size,
                                              // valid until the next take()
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
        std::uint64_t start = 0; // in the ring, counted from its first use
        std::uint32_t size = 0;
        Taken taken;
    };

    void work();
    bool place(const Source& source, Slot& slot);
    unsigned char* at(std::uint64_t position);
    static void read(const Source& source, Slot& slot, unsigned char* into);

    zvector<Source> m_sources;
    zvector<ByteBuffer> m_ring; // pieces of kReadAheadFileLimit bytes
    std::uint64_t m_ringSize = 0;
    std::size_t m_filesLimit = 0;

    std::mutex m_mutex;
    std::condition_variable m_workerWakes;
    std::condition_variable m_writerWakes;
    std::deque<Slot, Z_Allocator<Slot>> m_slots; // claimed and not taken, in list order
    std::size_t m_claimed = 0;
    std::size_t m_taken = 0;
    std::size_t m_writerFrom;   // from this one on, every file is the writer's
    std::uint64_t m_ringHead = 0; // where the next file goes
    std::uint64_t m_ringTail = 0; // the first byte still in use
    std::uint64_t m_lastTakenEnd = 0;
    unsigned m_opened = 0;      // workers reading files
    unsigned m_waitingWorkers = 0;
    bool m_writerWaiting = false;
    bool m_relieving = false;
    bool m_stopping = false;

    std::vector<std::thread> m_workers;
};
