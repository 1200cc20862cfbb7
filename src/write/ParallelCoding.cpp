#include "write/ParallelCoding.h"
#include "support/Workers.h"

#include "archive/LzssState.h"
#include "platform/Platform.h"
#include "platform/Stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

CodingHooks g_hooks;

} // namespace

void setCodingHooksForTesting(const CodingHooks& hooks) {
    g_hooks = hooks;
}

void CodingPipeline::PieceDeleter::operator()(Piece* piece) const noexcept {
    piece->~Piece();
    Z_Memory::freeBytes(piece);
}

CodingPipeline::PieceQueue::~PieceQueue() {
    while (pop() != nullptr) {
    }
}

void CodingPipeline::PieceQueue::push(const unsigned char* bytes, std::size_t count) {
    void* block = Z_Memory::allocateBytes(sizeof(Piece) + count);
    if (block == nullptr)
        raiseAllocationFailure();
    Piece* piece = new (block) Piece;
    piece->size = count;
    std::memcpy(piece->bytes(), bytes, count);
    if (m_tail != nullptr)
        m_tail->next = piece;
    else
        m_head = piece;
    m_tail = piece;
}

// The popped piece is the taker's alone: a later push never touches it.
CodingPipeline::PiecePtr CodingPipeline::PieceQueue::pop() noexcept {
    Piece* piece = m_head;
    if (piece != nullptr) {
        m_head = piece->next;
        if (m_head == nullptr)
            m_tail = nullptr;
        piece->next = nullptr;
    }
    return PiecePtr(piece);
}

// Where a worker's coder puts a block: in pieces that the writer takes. A
// file holds at most m_bufferedPerFile bytes in memory, and the files
// together m_bufferedLimit, beyond which only the file the writer is taking
// may keep a piece; past that the block of a file the writer is not taking
// yet goes on in one of the worker's scratch files, and otherwise the worker
// waits for the writer. While the writer waits for a descriptor, the block
// is refused: the file goes back to the writer.
class CodingPipeline::JobSink final : public LzssSink {
public:
    JobSink(CodingPipeline& pipeline, Job& job, WorkerScratch& scratch)
        : m_pipeline(pipeline), m_job(job), m_scratch(scratch) {}

    bool gaveBack() const noexcept { return m_gaveBack; }

    bool write(const unsigned char* bytes, std::size_t count) override {
        CodingPipeline& pipeline = m_pipeline;
        std::unique_lock lock(pipeline.m_mutex);
        for (;;) {
            if (pipeline.m_stopping)
                return false;
            if (pipeline.m_relieving) {
                m_gaveBack = true;
                return false;
            }
            if (m_job.spill != nullptr && !m_job.spillClosed) {
                const std::uint64_t at = m_job.spillStart + m_job.spilled;
                if (at + count <= pipeline.m_scratchLimit) {
                    lock.unlock();
                    const bool spilled = appendToSpill(at, bytes, count);
                    lock.lock();
                    if (spilled) {
                        m_job.spilled += count;
                        m_job.spill->end = at + count;
                        pipeline.wakeWriterFor(m_job, false);
                        return true;
                    }
                    m_job.spill->broken = true;
                }
                // The rest of the block waits for the writer.
                m_job.spillClosed = true;
                continue;
            }
            // In memory, up to the bounds, and only once everything spilled
            // has been taken: the writer takes the pieces first. The file
            // the writer is taking waits for it past its own bound.
            const bool fileRoom =
                m_job.buffered < pipeline.m_bufferedPerFile && m_job.spillTaken == m_job.spilled;
            if (fileRoom && (m_job.current || pipeline.m_buffered < pipeline.m_bufferedLimit))
                break;
            Scratch* scratch =
                m_job.current || m_job.spill != nullptr ? nullptr : pipeline.scratchFor(m_scratch, count);
            if (scratch != nullptr && !scratch->file.isOpen()) {
                ++pipeline.m_workerFiles;
                lock.unlock();
                Stream file(pipeline.m_openScratch());
                lock.lock();
                --pipeline.m_workerFiles;
                scratch->broken = !file.isOpen();
                scratch->file = std::move(file);
                if (pipeline.m_relieving && pipeline.m_workerFiles == 0)
                    pipeline.m_writerWakes.notify_one();
                continue;
            }
            if (scratch != nullptr) {
                ++scratch->holders;
                m_job.spill = scratch;
                m_job.spillStart = scratch->end;
                continue;
            }
            // Whatever the file the writer is taking holds must reach it.
            if (m_job.current)
                pipeline.m_writerWakes.notify_one();
            ++pipeline.m_waitingWorkers;
            pipeline.m_workerWakes.wait(lock);
            --pipeline.m_waitingWorkers;
        }
        if (g_hooks.allocating != nullptr)
            g_hooks.allocating();
        m_job.pieces.push(bytes, count);
        m_job.buffered += count;
        pipeline.m_buffered += count;
        pipeline.wakeWriterFor(m_job, false);
        return true;
    }

private:
    // Only this worker writes to its scratch file, and only the writer
    // reads it, but they share its position.
    bool appendToSpill(std::uint64_t at, const unsigned char* bytes, std::size_t count) {
        const std::lock_guard lock(m_pipeline.m_spillMutex);
        std::FILE* file = m_job.spill->file.get();
        return seekFile(file, at) && std::fwrite(bytes, 1, count, file) == count && std::fflush(file) == 0;
    }

    CodingPipeline& m_pipeline;
    Job& m_job;
    WorkerScratch& m_scratch;
    bool m_gaveBack = false;
};

CodingPipeline::CodingPipeline(zvector<Source> sources, const LzssContext::CarriedState& initial, unsigned workers,
                               std::size_t bufferedPerFile, ScratchOpener openScratch)
    : m_sources(std::move(sources)), m_aheadLimit(std::uint64_t{64} * workers * bufferedPerFile),
      m_bufferedPerFile(bufferedPerFile), m_bufferedLimit(std::size_t{8} * workers * bufferedPerFile),
      m_openScratch(openScratch), m_predicted(initial), m_spillBuffer(kLzssMaxPiece),
      m_scratchTurn(std::uint64_t{16} * bufferedPerFile), m_scratchLimit(std::uint64_t{32} * bufferedPerFile),
      m_scratch(workers) {
    // Nothing may throw once a thread runs.
    startWorkers(m_workers, workers, g_hooks.startWorker, [this](unsigned i) { work(m_scratch[i]); });
    if (m_workers.size() < workers) {
        const std::lock_guard lock(m_mutex);
        m_aheadLimit = std::uint64_t{64} * m_workers.size() * bufferedPerFile;
        m_bufferedLimit = std::size_t{8} * m_workers.size() * bufferedPerFile;
    }
}

// Called with the lock held. The writer wakes for the file it is taking
// once half its bound is ready to be written, or the file is finished.
void CodingPipeline::wakeWriterFor(const Job& job, bool finished) {
    const std::uint64_t ready = job.buffered + (job.spilled - job.spillTaken);
    if (job.current && (finished || ready >= m_bufferedPerFile / 2))
        m_writerWakes.notify_one();
}

// Called with the lock held, after the writer made room or a claim possible.
void CodingPipeline::wakeWorkers() {
    if (m_waitingWorkers != 0)
        m_workerWakes.notify_all();
}

// Called with the lock held: a worker's failure, on the writer's thread.
void CodingPipeline::raiseFailure() const {
    if (m_failure != nullptr)
        std::rethrow_exception(m_failure);
}

// Reads the next count bytes of the job's scratch file into m_spillBuffer.
bool CodingPipeline::readSpill(Job& job, std::size_t count) {
    const std::lock_guard lock(m_spillMutex);
    std::FILE* file = job.spill->file.get();
    return seekFile(file, job.spillStart + job.spillTaken) &&
           std::fread(m_spillBuffer.data(), 1, count, file) == count;
}

CodingPipeline::~CodingPipeline() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_workerWakes.notify_all();
    for (std::thread& worker : m_workers)
        worker.join();
}

// The state after source, predicted from the file as it stands now:
// unchanged when the file cannot be read as gathered (it will be left out).
LzssContext::CarriedState CodingPipeline::predictAfter(const Source& source,
                                                       const LzssContext::CarriedState& before) const {
    std::int64_t length = 0;
    const Stream file(openRegularFile(source.path->c_str(), length));
    if (!file.isOpen() || length != source.size)
        return before;
    unsigned char tail[kStateTailSize];
    const std::size_t wanted = std::min<std::size_t>(source.size, kStateTailSize);
    if (!seekFile(file.get(), source.size - wanted) || std::fread(tail, 1, wanted, file.get()) != wanted)
        return before;
    return carriedStateAfter(before, source.size, tail);
}

// What a file counts for against the claims' bound: small files count more
// than their size, for the bookkeeping each one holds until it is taken.
std::uint64_t CodingPipeline::aheadWeight(const Source& source) const {
    return std::max<std::uint64_t>(source.size, m_bufferedPerFile / 64);
}

// Claims run ahead of the writer up to the bound; the file the writer is
// about to take can always be claimed.
bool CodingPipeline::mayClaim() const {
    return m_claimed == m_taken || m_ahead < m_aheadLimit;
}

// Called with the lock held: the scratch file the worker's next count bytes
// of block go to, or null when it has none that works or has room. A file
// that holds a turn's worth, or has no room, gives way to the other once the
// writer has taken all of that one, and a file the writer has taken all of
// starts again from the beginning.
CodingPipeline::Scratch* CodingPipeline::scratchFor(WorkerScratch& scratch, std::size_t count) {
    Scratch* active = &scratch.files[scratch.active];
    const Scratch& other = scratch.files[scratch.active ^ 1];
    const bool full = active->holders != 0 && other.holders == 0 &&
                      (active->end >= m_scratchTurn || active->end + count > m_scratchLimit);
    if ((active->broken || full) && !other.broken) {
        scratch.active ^= 1;
        active = &scratch.files[scratch.active];
    }
    if (active->holders == 0)
        active->end = 0;
    return active->broken || active->end + count > m_scratchLimit ? nullptr : active;
}

void CodingPipeline::work(WorkerScratch& scratch) noexcept {
    bool holdsFile = false; // counted in m_workerFiles
    try {
        LzssContext context;
        for (;;) {
            Job* job = nullptr;
            {
                std::unique_lock lock(m_mutex);
                ++m_waitingWorkers;
                m_workerWakes.wait(lock, [&] {
                    return m_stopping || m_claimed == m_sources.size() || (!m_relieving && mayClaim());
                });
                --m_waitingWorkers;
                if (m_stopping || m_claimed == m_sources.size())
                    return;
                job = &m_pending.emplace_back();
                job->source = &m_sources[m_claimed++];
                m_ahead += aheadWeight(*job->source);
                // Claims and predictions go in list order, one at a time: the
                // next claim starts from this file's predicted end.
                job->start = m_predicted;
                m_predicted = predictAfter(*job->source, job->start);
                ++m_workerFiles;
                holdsFile = true;
                if (m_claimed == m_taken + 1)
                    m_writerWakes.notify_one();
            }

            context.setCarriedState(job->start);
            JobSink sink(*this, *job, scratch);
            const CodedFile coded = codeFile(context, *job->source->path, job->source->size, sink);
            {
                const std::lock_guard lock(m_mutex);
                --m_workerFiles;
                holdsFile = false;
                job->coded = coded;
                job->end = context.carriedState();
                job->givenBack = coded.openMayPass || sink.gaveBack();
                job->done = true;
                wakeWriterFor(*job, true);
                if (m_relieving && m_workerFiles == 0)
                    m_writerWakes.notify_one();
            }
        }
    } catch (...) {
        // A memory failure: the writer raises it, and the pass ends as the
        // single-threaded pass ends on one.
        const std::lock_guard lock(m_mutex);
        if (holdsFile)
            --m_workerFiles;
        if (m_failure == nullptr)
            m_failure = std::current_exception();
        m_stopping = true;
        m_writerWakes.notify_one();
        m_workerWakes.notify_all();
    }
}

CodedFile CodingPipeline::take(LzssContext& context, LzssSink& sink) {
    if (m_workers.empty()) {
        const Source& source = m_sources[m_taken++];
        return codeFile(context, *source.path, source.size, sink);
    }
    std::unique_lock lock(m_mutex);
    raiseFailure();
    if (m_claimed == m_taken) {
        wakeWorkers();
        m_writerWakes.wait(lock, [&] { return m_claimed > m_taken || m_failure != nullptr; });
        raiseFailure();
    }
    Job& job = m_pending.front();
    job.current = true;
    wakeWorkers();

    const bool trueStart = job.start == context.carriedState();
    bool sinkFailed = false;
    // A block coded from a wrong start, or given back, is not written: it is
    // only taken off the worker's hands.
    for (;;) {
        while (PiecePtr piece = job.pieces.pop()) {
            job.buffered -= piece->size;
            m_buffered -= piece->size;
            const bool keep = trueStart && !job.givenBack && !sinkFailed;
            wakeWorkers();
            lock.unlock();
            if (keep && !sink.write(piece->bytes(), piece->size))
                sinkFailed = true;
            piece.reset();
            lock.lock();
        }
        if (job.spillTaken < job.spilled) {
            const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(job.spilled - job.spillTaken,
                                                                                m_spillBuffer.size()));
            const bool keep = trueStart && !job.givenBack && !sinkFailed;
            lock.unlock();
            // What cannot be read back is lost from the block: the archive
            // cannot be completed.
            if (keep && (!readSpill(job, count) || !sink.write(m_spillBuffer.data(), count)))
                sinkFailed = true;
            lock.lock();
            job.spillTaken += count;
            wakeWorkers();
            continue;
        }
        if (job.done)
            break;
        m_writerWakes.wait(lock, [&] {
            return job.done || !job.pieces.empty() || job.spillTaken < job.spilled || m_failure != nullptr;
        });
        raiseFailure();
    }
    // A job stopped by another worker's failure is no block.
    raiseFailure();
    if (job.spill != nullptr)
        --job.spill->holders;
    const CodedFile coded = job.coded;
    const LzssContext::CarriedState end = job.end;
    const bool givenBack = job.givenBack;
    const Source& source = *job.source;
    m_pending.pop_front();
    ++m_taken;
    m_ahead -= aheadWeight(source);
    wakeWorkers();
    lock.unlock();

    if (!trueStart || givenBack)
        return codeFile(context, *source.path, source.size, sink, this);
    CodedFile taken = coded;
    taken.sinkFailed = taken.sinkFailed || sinkFailed;
    if (taken.outcome == ReadOutcome::read && !taken.sinkFailed)
        context.setCarriedState(end);
    return taken;
}

void CodingPipeline::relieve() {
    std::unique_lock lock(m_mutex);
    m_relieving = true;
    m_workerWakes.notify_all();
    m_writerWakes.wait(lock, [&] { return m_workerFiles == 0 || m_failure != nullptr; });
    if (m_failure != nullptr) {
        m_relieving = false;
        wakeWorkers();
        raiseFailure();
    }
    // No worker is inside a scratch file no block is waiting in.
    for (WorkerScratch& worker : m_scratch) {
        for (Scratch& scratch : worker.files) {
            if (scratch.holders == 0 && scratch.file.isOpen()) {
                scratch.file.close();
                scratch.broken = true;
            }
        }
    }
}

void CodingPipeline::endRelief() noexcept {
    const std::lock_guard lock(m_mutex);
    m_relieving = false;
    wakeWorkers();
}
