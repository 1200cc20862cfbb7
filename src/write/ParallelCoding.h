// Coding the compressed files of a data pass on several threads, ahead of
// the writer, for exactly the archive one thread would write.
//
// Each file must start from the carried state the files before it leave
// (see archive/LzssState.h). That state follows from each earlier file's
// length and last bytes, so a worker claiming a file reads the file's tail
// and predicts the state after it, and the next file can start at once. The
// writer takes the files in list order and accepts a file's block only when
// the file started from the true state, the one the writer's own context
// holds; a prediction that failed (a file that changed between the two
// reads, a file left out that was expected whole) costs one coding more, on
// the writer's thread, never a byte of difference.
//
// Memory: a block is passed on in pieces, and a file keeps at most
// kBufferedPerFile bytes of them in memory, all files together at most eight
// times that per worker (4 MiB). Past that, the block of a file the writer
// has not reached goes on in one of its worker's two scratch files in the
// system's temporary directory, which the writer reads back when it gets
// there, so that a large file coded ahead does not hold its worker up; the
// file the writer is taking, or one whose worker has no usable scratch
// file, waits for the writer. A worker writes blocks one after the other in
// one scratch file until it holds 32 times the per-file bound (16 MiB), then
// turns to the other once the writer has taken everything in that one, and
// starts it again from the beginning.
//
// Workers claim files ahead of the writer until the files claimed and not
// yet taken hold 64 times the per-file bound per worker (32 MiB): enough for
// small files to keep every other worker busy while one codes a large file,
// and a bound on what the scratch files hold.
#pragma once

#include "archive/Lzss.h"
#include "platform/Platform.h"
#include "platform/Stream.h"
#include "support/Memory.h"
#include "write/SourceFile.h"

#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

// The number of coding threads for a run: ZAS_THREADS when it is set to a
// positive number, else one per core. 1 means the single-threaded pass.
unsigned codingThreads();

class CodingPipeline {
public:
    static constexpr std::size_t kBufferedPerFile = std::size_t{512} << 10;

    using ScratchOpener = std::FILE* (*)();

    // Codes the files in the order given, starting from initial, on workers
    // threads. Tests may bound the pieces tighter and open scratch files of
    // their own.
    CodingPipeline(const zvector<zs>& paths, const zvector<std::uint32_t>& sizes,
                   const LzssContext::CarriedState& initial, unsigned workers,
                   std::size_t bufferedPerFile = kBufferedPerFile, ScratchOpener openScratch = openScratchFile);
    ~CodingPipeline();
    CodingPipeline(const CodingPipeline&) = delete;
    CodingPipeline& operator=(const CodingPipeline&) = delete;

    // The next file's block, pushed to sink, as codeFile(context, ...) would
    // code it: the writer's context holds the true carried state before the
    // call and after it.
    CodedFile take(LzssContext& context, LzssSink& sink);

private:
    // A scratch file: blocks past the memory bound, one after the other,
    // each read back by the writer from where it starts.
    struct Scratch {
        Stream file;
        bool broken = false;     // could not be created or written
        std::uint64_t end = 0;   // where the next block goes
        std::size_t holders = 0; // jobs with bytes in it the writer has not taken
    };
    struct WorkerScratch {
        Scratch files[2];
        unsigned active = 0; // the one blocks go to
    };

    struct Job {
        const zs* path = nullptr;
        std::uint32_t size = 0;
        bool claimed = false;
        bool current = false; // the writer is taking it
        bool done = false;
        LzssContext::CarriedState start{};
        LzssContext::CarriedState end{};
        CodedFile coded;
        std::deque<ByteBuffer, Z_Allocator<ByteBuffer>> pieces;
        std::size_t buffered = 0;
        // The block past the pieces, once they reach the bound: every later
        // byte goes to one of the worker's scratch files, from spillStart
        // on, while it is usable.
        Scratch* spill = nullptr;
        bool spillBroken = false;
        std::uint64_t spillStart = 0;
        std::uint64_t spilled = 0;    // bytes written whole to spill
        std::uint64_t spillTaken = 0; // of those, bytes the writer has taken
    };
    class JobSink;

    void work(WorkerScratch& scratch);
    bool mayClaim() const;
    Scratch* scratchFor(WorkerScratch& scratch);
    void wakeWriterFor(const Job& job, bool finished);
    void wakeWorkers();
    bool readSpill(Job& job, std::size_t count);
    LzssContext::CarriedState predictAfter(const Job& job, const LzssContext::CarriedState& before) const;

    std::mutex m_mutex;
    // The writer waits on the file it is taking, workers for room or for a
    // claim; each side is woken only when it has something to do, since a
    // wake-up that finds nothing still takes a core from a coder.
    std::condition_variable m_writerWakes;
    std::condition_variable m_workerWakes;
    unsigned m_waitingWorkers = 0;
    zvector<Job> m_jobs;
    std::size_t m_claimed = 0;     // jobs handed to workers
    std::size_t m_taken = 0;       // jobs the writer has taken
    std::uint64_t m_ahead = 0;     // bytes of the files claimed and not taken
    std::uint64_t m_aheadLimit;    // how far claims may run ahead of the writer
    std::size_t m_bufferedPerFile;
    std::size_t m_buffered = 0;    // bytes of pieces held, all files together
    std::size_t m_bufferedLimit;
    ScratchOpener m_openScratch;
    bool m_stopping = false;
    LzssContext::CarriedState m_predicted; // the state after the last claimed job, as predicted
    std::mutex m_spillMutex; // over scratch files, whose position reads and writes share
    ByteBuffer m_spillBuffer; // the writer's, for reading scratch files back
    std::uint64_t m_scratchTurn;   // when a worker turns to its other scratch file
    zvector<WorkerScratch> m_scratch; // one per worker
    std::vector<std::thread> m_workers;
};
