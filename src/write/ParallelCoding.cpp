#include "write/ParallelCoding.h"

#include "archive/LzssState.h"
#include "platform/Platform.h"
#include "platform/Stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

unsigned codingThreads() {
    if (const char* given = std::getenv("ZAS_THREADS"); given != nullptr && *given >= '0' && *given <= '9') {
        char* end = nullptr;
        const unsigned long threads = std::strtoul(given, &end, 10);
        if (*end == '\0' && threads > 0)
            return static_cast<unsigned>(std::min(threads, 256ul));
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

// Where a worker's coder puts a block: in pieces that the writer takes. A
// file holds at most m_bufferedPerFile bytes in memory, and the files
// together m_bufferedLimit, beyond which only the file the writer is taking
// may keep a piece; past that the block of a file the writer is not taking
// yet goes on in one of the worker's scratch files, and otherwise the worker
// waits for the writer.
class CodingPipeline::JobSink final : public LzssSink {
public:
    JobSink(CodingPipeline& pipeline, Job& job, WorkerScratch& scratch)
        : m_pipeline(pipeline), m_job(job), m_scratch(scratch) {}

    bool write(const unsigned char* bytes, std::size_t count) override {
        std::unique_lock lock(m_pipeline.m_mutex);
        for (;;) {
            if (m_pipeline.m_stopping)
                return false;
            if (m_job.spill != nullptr && !m_job.spillBroken) {
                const std::uint64_t at = m_job.spillStart + m_job.spilled;
                lock.unlock();
                const bool spilled = appendToSpill(at, bytes, count);
                lock.lock();
                if (spilled) {
                    m_job.spilled += count;
                    m_job.spill->end = at + count;
                    m_pipeline.wakeWriterFor(m_job, false);
                    return true;
                }
                m_job.spillBroken = true;
                m_job.spill->broken = true;
                continue;
            }
            // In memory, up to the bounds, and only once everything spilled
            // has been taken: the writer takes the pieces first. The file
            // the writer is taking waits for it past its own bound.
            const bool fileRoom = m_job.buffered < m_pipeline.m_bufferedPerFile && m_job.spillTaken == m_job.spilled;
            if (fileRoom && (m_job.current || m_pipeline.m_buffered < m_pipeline.m_bufferedLimit))
                break;
            Scratch* scratch = m_job.current || m_job.spill != nullptr ? nullptr : m_pipeline.scratchFor(m_scratch);
            if (scratch != nullptr && !scratch->file.isOpen()) {
                lock.unlock();
                Stream file(m_pipeline.m_openScratch());
                lock.lock();
                scratch->broken = !file.isOpen();
                scratch->file = std::move(file);
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
                m_pipeline.m_writerWakes.notify_one();
            ++m_pipeline.m_waitingWorkers;
            m_pipeline.m_workerWakes.wait(lock);
            --m_pipeline.m_waitingWorkers;
        }
        ByteBuffer piece(count);
        std::memcpy(piece.data(), bytes, count);
        m_job.buffered += count;
        m_pipeline.m_buffered += count;
        m_job.pieces.push_back(std::move(piece));
        m_pipeline.wakeWriterFor(m_job, false);
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
};

CodingPipeline::CodingPipeline(const zvector<zs>& paths, const zvector<std::uint32_t>& sizes,
                               const LzssContext::CarriedState& initial, unsigned workers,
                               std::size_t bufferedPerFile, ScratchOpener openScratch)
    : m_jobs(paths.size()), m_aheadLimit(std::uint64_t{64} * workers * bufferedPerFile),
      m_bufferedPerFile(bufferedPerFile), m_bufferedLimit(std::size_t{8} * workers * bufferedPerFile),
      m_openScratch(openScratch), m_predicted(initial), m_spillBuffer(kLzssMaxPiece),
      m_scratchTurn(std::uint64_t{32} * bufferedPerFile), m_scratch(workers) {
    for (std::size_t i = 0; i < m_jobs.size(); ++i) {
        m_jobs[i].path = &paths[i];
        m_jobs[i].size = sizes[i];
    }
    m_workers.reserve(workers);
    for (WorkerScratch& scratch : m_scratch)
        m_workers.emplace_back([this, &scratch] { work(scratch); });
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

// The state after job, predicted from the file as it stands now: unchanged
// when the file cannot be read as gathered (it will be left out).
LzssContext::CarriedState CodingPipeline::predictAfter(const Job& job, const LzssContext::CarriedState& before) const {
    std::int64_t length = 0;
    const Stream file(openRegularFile(job.path->c_str(), length));
    if (!file.isOpen() || length != job.size)
        return before;
    unsigned char tail[kStateTailSize];
    const std::size_t wanted = std::min<std::size_t>(job.size, kStateTailSize);
    if (!seekFile(file.get(), job.size - wanted) || std::fread(tail, 1, wanted, file.get()) != wanted)
        return before;
    return carriedStateAfter(before, job.size, tail);
}

// Claims run ahead of the writer up to the bound; the file the writer is
// about to take can always be claimed.
bool CodingPipeline::mayClaim() const {
    return m_claimed == m_taken || m_ahead < m_aheadLimit;
}

// Called with the lock held: the scratch file the worker's next block goes
// to, or null when it has none that works. A file that holds a turn's worth
// gives way to the other once the writer has taken all of that one, and a
// file the writer has taken all of starts again from the beginning.
CodingPipeline::Scratch* CodingPipeline::scratchFor(WorkerScratch& scratch) {
    Scratch* active = &scratch.files[scratch.active];
    const Scratch& other = scratch.files[scratch.active ^ 1];
    const bool full = active->holders != 0 && active->end >= m_scratchTurn && other.holders == 0;
    if ((active->broken || full) && !other.broken) {
        scratch.active ^= 1;
        active = &scratch.files[scratch.active];
    }
    if (active->holders == 0)
        active->end = 0;
    return active->broken ? nullptr : active;
}

void CodingPipeline::work(WorkerScratch& scratch) {
    LzssContext context;
    for (;;) {
        Job* job = nullptr;
        {
            std::unique_lock lock(m_mutex);
            ++m_waitingWorkers;
            m_workerWakes.wait(lock, [&] { return m_stopping || m_claimed == m_jobs.size() || mayClaim(); });
            --m_waitingWorkers;
            if (m_stopping || m_claimed == m_jobs.size())
                return;
            job = &m_jobs[m_claimed++];
            m_ahead += job->size;
            // Claims and predictions go in list order, one at a time: the
            // next claim starts from this file's predicted end.
            job->start = m_predicted;
            m_predicted = predictAfter(*job, job->start);
            job->claimed = true;
            if (job->current)
                m_writerWakes.notify_one();
        }

        context.setCarriedState(job->start);
        JobSink sink(*this, *job, scratch);
        const CodedFile coded = codeFile(context, *job->path, job->size, sink);
        {
            const std::lock_guard lock(m_mutex);
            job->coded = coded;
            job->end = context.carriedState();
            job->done = true;
            wakeWriterFor(*job, true);
        }
    }
}

CodedFile CodingPipeline::take(LzssContext& context, LzssSink& sink) {
    std::unique_lock lock(m_mutex);
    Job& job = m_jobs[m_taken];
    job.current = true;
    wakeWorkers();
    m_writerWakes.wait(lock, [&] { return job.claimed; });

    const bool trueStart = job.start == context.carriedState();
    bool sinkFailed = false;
    // A block coded from a wrong start is not written: it is only taken off
    // the worker's hands.
    for (;;) {
        while (!job.pieces.empty()) {
            ByteBuffer piece = std::move(job.pieces.front());
            job.pieces.pop_front();
            job.buffered -= piece.size();
            m_buffered -= piece.size();
            wakeWorkers();
            lock.unlock();
            if (trueStart && !sinkFailed && !sink.write(piece.data(), piece.size()))
                sinkFailed = true;
            lock.lock();
        }
        if (job.spillTaken < job.spilled) {
            const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(job.spilled - job.spillTaken,
                                                                                m_spillBuffer.size()));
            lock.unlock();
            // What cannot be read back is lost from the block: the archive
            // cannot be completed.
            if (trueStart && !sinkFailed && (!readSpill(job, count) || !sink.write(m_spillBuffer.data(), count)))
                sinkFailed = true;
            lock.lock();
            job.spillTaken += count;
            wakeWorkers();
            continue;
        }
        if (job.done)
            break;
        m_writerWakes.wait(lock, [&] { return job.done || !job.pieces.empty() || job.spillTaken < job.spilled; });
    }
    if (job.spill != nullptr) {
        --job.spill->holders;
        job.spill = nullptr;
    }
    const CodedFile coded = job.coded;
    const LzssContext::CarriedState end = job.end;
    ++m_taken;
    m_ahead -= job.size;
    wakeWorkers();
    lock.unlock();

    if (!trueStart)
        return codeFile(context, *job.path, job.size, sink);
    CodedFile taken = coded;
    taken.sinkFailed = taken.sinkFailed || sinkFailed;
    if (taken.outcome == ReadOutcome::read && !taken.sinkFailed)
        context.setCarriedState(end);
    return taken;
}
