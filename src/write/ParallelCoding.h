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
// the writer's thread, never a byte of difference. So does a file a worker
// could not open for want of a descriptor: the writer opens it itself, and
// when it cannot either, it has the workers close theirs first (they give
// the files they were coding back to it), so that a file is left out only
// where one thread would leave it out too.
//
// Memory: a block is passed on in pieces, and a file keeps at most
// kBufferedPerFile bytes of them in memory, all files together at most eight
// times that per worker (4 MiB). Past that, the block of a file the writer
// has not reached goes on in one of its worker's two scratch files in the
// temporary directory, which the writer reads back when it gets there, so
// that a large file coded ahead does not hold its worker up; the file the
// writer is taking, or one whose worker has no usable scratch file, waits
// for the writer. A worker writes blocks one after the other in one scratch
// file; once it holds 16 times the per-file bound (8 MiB) the next block
// goes to the other as soon as the writer has taken everything in that one,
// which then starts again from the beginning. No scratch file grows past 32
// times the per-file bound (16 MiB): a block that would, waits for the
// writer. So the scratch files hold at most 32 MiB per worker.
//
// Workers claim files ahead of the writer until the files claimed and not
// yet taken hold 64 times the per-file bound per worker (32 MiB), each file
// counting as at least a 64th of the per-file bound (8 KiB): enough for
// small files to keep every other worker busy while one codes a large file,
// and a bound on the files pending, whose bookkeeping exists only from
// their claim until the writer has taken them.
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
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Tests only. startWorker is asked before each worker thread is started:
// false makes the start fail as when the system refuses a thread. allocating
// is called on a worker before it allocates a piece of block, and may throw
// as a failed allocation does. Set them while no pipeline exists.
struct CodingHooks {
    bool (*startWorker)(unsigned index) = nullptr;
    void (*allocating)() = nullptr;
};
void setCodingHooksForTesting(const CodingHooks& hooks);

class CodingPipeline final : public OpenRelief {
public:
    static constexpr std::size_t kBufferedPerFile = std::size_t{512} << 10;

    using ScratchOpener = std::FILE* (*)();

    // A file to code: the path must stay in place while the pipeline lives.
    struct Source {
        const zs* path = nullptr;
        std::uint32_t size = 0;
    };

    // Codes the files in the order given, starting from initial, on up to
    // workers threads: as many as the system lets it start, and with none
    // take() codes each file on the writer's thread. Tests may bound the
    // pieces tighter and open scratch files of their own.
    CodingPipeline(zvector<Source> sources, const LzssContext::CarriedState& initial, unsigned workers,
                   std::size_t bufferedPerFile = kBufferedPerFile, ScratchOpener openScratch = openScratchFile);
    ~CodingPipeline();
    CodingPipeline(const CodingPipeline&) = delete;
    CodingPipeline& operator=(const CodingPipeline&) = delete;

    unsigned workers() const noexcept { return static_cast<unsigned>(m_workers.size()); }

    // The next file's block, pushed to sink, as codeFile(context, ...) would
    // code it: the writer's context holds the true carried state before the
    // call and after it. A memory failure of a worker is raised here.
    CodedFile take(LzssContext& context, LzssSink& sink);

    // For the writer's own opens: the workers close the source files they
    // hold, giving those files back to the writer, and the scratch files no
    // block is waiting in, and open nothing until endRelief().
    void relieve() override;
    void endRelief() noexcept override;

private:
    // A scratch file: blocks past the memory bound, one after the other,
    // each read back by the writer from where it starts.
    struct Scratch {
        Stream file;
        bool broken = false;     // could not be created or written, or closed for the writer
        std::uint64_t end = 0;   // where the next block goes
        std::size_t holders = 0; // jobs with bytes in it the writer has not taken
    };
    struct WorkerScratch {
        Scratch files[2];
        unsigned active = 0; // the one blocks go to
    };

    // A job's pieces in memory, in order, each one allocation with its bytes.
    struct Piece {
        Piece* next = nullptr;
        std::size_t size = 0;
        unsigned char* bytes() noexcept { return reinterpret_cast<unsigned char*>(this + 1); }
    };
    struct PieceDeleter {
        void operator()(Piece* piece) const noexcept;
    };
    using PiecePtr = std::unique_ptr<Piece, PieceDeleter>;
    class PieceQueue {
    public:
        PieceQueue() = default;
        ~PieceQueue();
        PieceQueue(const PieceQueue&) = delete;
        PieceQueue& operator=(const PieceQueue&) = delete;

        bool empty() const noexcept { return m_head == nullptr; }
        // Raises the memory exception when the piece cannot be had.
        void push(const unsigned char* bytes, std::size_t count);
        PiecePtr pop() noexcept;

    private:
        Piece* m_head = nullptr;
        Piece* m_tail = nullptr;
    };

    // A file from its claim until the writer has taken it.
    struct Job {
        const Source* source = nullptr;
        bool current = false;   // the writer is taking it
        bool done = false;
        bool givenBack = false; // its worker could not open it, or closed it for the writer
        LzssContext::CarriedState start{};
        LzssContext::CarriedState end{};
        CodedFile coded;
        PieceQueue pieces;
        std::size_t buffered = 0;
        // The block past the pieces, once they reach the bound: later bytes
        // go to one of the worker's scratch files, from spillStart on, until
        // it fails or is full.
        Scratch* spill = nullptr;
        bool spillClosed = false;
        std::uint64_t spillStart = 0;
        std::uint64_t spilled = 0;    // bytes written whole to spill
        std::uint64_t spillTaken = 0; // of those, bytes the writer has taken
    };
    class JobSink;

    void work(WorkerScratch& scratch) noexcept;
    bool mayClaim() const;
    std::uint64_t aheadWeight(const Source& source) const;
    Scratch* scratchFor(WorkerScratch& scratch, std::size_t count);
    void wakeWriterFor(const Job& job, bool finished);
    void wakeWorkers();
    void raiseFailure() const;
    bool readSpill(Job& job, std::size_t count);
    LzssContext::CarriedState predictAfter(const Source& source, const LzssContext::CarriedState& before) const;

    zvector<Source> m_sources;
    std::mutex m_mutex;
    // The writer waits on the file it is taking, or for the workers' files,
    // workers for room or for a claim; each side is woken only when it has
    // something to do, since a wake-up that finds nothing still takes a core
    // from a coder.
    std::condition_variable m_writerWakes;
    std::condition_variable m_workerWakes;
    unsigned m_waitingWorkers = 0;
    std::deque<Job, Z_Allocator<Job>> m_pending; // jobs m_taken to m_claimed - 1
    std::size_t m_claimed = 0;     // jobs handed to workers
    std::size_t m_taken = 0;       // jobs the writer has taken
    std::uint64_t m_ahead = 0;     // weight of the jobs claimed and not taken
    std::uint64_t m_aheadLimit;    // how far claims may run ahead of the writer
    std::size_t m_bufferedPerFile;
    std::size_t m_buffered = 0;    // bytes of pieces held, all files together
    std::size_t m_bufferedLimit;
    ScratchOpener m_openScratch;
    bool m_stopping = false;
    std::exception_ptr m_failure;  // what ended a worker
    bool m_relieving = false;      // the writer waits for a descriptor: workers open nothing
    unsigned m_workerFiles = 0;    // files the workers hold open or are opening
    LzssContext::CarriedState m_predicted; // the state after the last claimed job, as predicted
    std::mutex m_spillMutex; // over scratch files, whose position reads and writes share
    ByteBuffer m_spillBuffer; // the writer's, for reading scratch files back
    std::uint64_t m_scratchTurn;   // when a worker turns to its other scratch file
    std::uint64_t m_scratchLimit;  // how large a scratch file may grow
    zvector<WorkerScratch> m_scratch; // one per worker
    std::vector<std::thread> m_workers;
};
