// Files of an extraction written on worker threads ahead of the thread that
// extracts. That thread walks the table in order, reads or decodes each
// entry and queues it; the workers create, fill, date and close the files
// under their temporary names; the extracting thread takes them back in
// table order, puts each in place under its name and reports it. Every
// event therefore comes in the order one thread gives, and a file appears
// under its name only at its turn: a cancelled pass leaves no file it has
// not reported, and of two entries with one name the later one wins.
#pragma once

#include "archive/Format.h"
#include "platform/Platform.h"
#include "read/OutputFile.h"
#include "read/Reader.h"
#include "support/Memory.h"
#include "support/Reporter.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class WriteAhead {
public:
    enum class Outcome : unsigned char {
        pending,
        written,    // whole, dated and closed under its temporary name
        notWritten, // could not be created or written
        damaged,    // its stored bytes could not be read
        retry,      // could not be created for want of descriptors: to be written by the extracting thread
    };

    struct Job {
        std::size_t index = 0; // in the file table
        const FileEntry* file = nullptr;
        const DirEntry* directory = nullptr;
        // A job without work only waits for its turn to be reported; event
        // and reason say what.
        bool work = false;
        int event = 0;
        int reason = 0;

        // Where the file goes, and its content: in memory, or stored in the
        // archive from archiveOffset on.
        std::shared_ptr<DirectoryHandle> target;
        ByteBuffer bytes;
        std::uint64_t archiveOffset = 0;
        bool fromArchive = false;

        // What the writing did: set before outcome leaves pending.
        Outcome outcome = Outcome::pending;
        bool dated = true;
        std::optional<OutputFile> output;
    };

    // Starts up to threads workers (the pass goes on with what the system
    // gives; with none, the caller writes on its own).
    WriteAhead(const ArchiveReader& archive, unsigned threads);
    // Stops the workers and removes every file not yet put in place.
    ~WriteAhead();
    WriteAhead(const WriteAhead&) = delete;
    WriteAhead& operator=(const WriteAhead&) = delete;

    unsigned workers() const noexcept { return static_cast<unsigned>(m_workers.size()); }

    // A new job at the end of the queue, for the caller to fill in; the
    // workers see it once queue() hands it over.
    Job& add();
    void queue();

    bool empty() const noexcept { return m_jobs.empty(); }
    // Whether the queue holds as many jobs, bytes in memory or bytes to copy
    // as it may: the caller takes jobs before it adds more.
    bool full() const noexcept;
    // How many directories the queued jobs hold open.
    std::size_t targetsHeld() const noexcept;

    // The first job, once it is done; while it waits, the bytes the workers
    // write are counted towards reporter's heartbeat (which may cancel).
    Job& front(Reporter& reporter);
    void pop();

    // Whether a worker could not create a file for want of descriptors.
    bool shortOfDescriptors() const noexcept { return m_short; }

    // Writes the first job on the calling thread: one a worker gave back
    // with Outcome::retry. The workers rest meanwhile, their files closed;
    // if descriptors are still short, the directories the later jobs hold
    // are closed for the moment too. So it fails only where one thread
    // alone would.
    void writeHere(Job& job);

private:
    void work(ByteBuffer& buffer);
    Outcome write(Job& job, ByteBuffer& buffer);
    Outcome copyFromArchive(Job& job, OutputFile& output, ByteBuffer& buffer);
    bool archiveReadable(const Job& job, ByteBuffer& buffer) const;
    void progress(std::uint64_t bytes);
    Job& jobAt(std::uint64_t sequence) { return m_jobs[static_cast<std::size_t>(sequence - m_popped)]; }

    const ArchiveReader& m_archive;
    std::deque<Job> m_jobs; // changed only by the extracting thread, under m_mutex
    std::uint64_t m_popped = 0;    // jobs taken off the front so far
    std::uint64_t m_published = 0; // jobs handed over so far
    std::uint64_t m_claimed = 0;   // jobs a worker took (or passed over) so far
    std::uint64_t m_heldBytes = 0;  // content held in memory by queued jobs
    std::uint64_t m_aheadBytes = 0; // content queued to be copied from the archive
    std::uint64_t m_progress = 0;   // bytes written and not yet counted
    unsigned m_busy = 0;   // workers writing a job
    bool m_resting = false; // workers take no job
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_short{false};
    std::atomic<bool> m_directCopy{true};
    std::mutex m_mutex;
    std::condition_variable m_workReady;
    std::condition_variable m_jobDone;
    zvector<ByteBuffer> m_buffers; // one per worker
    std::vector<std::thread> m_workers;
    ByteBuffer m_hereBuffer;
};
