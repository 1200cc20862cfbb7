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
// file holds at most kBufferedPerFile bytes in memory; past that the block
// of a file the writer is not taking yet goes on in its scratch file, and
// otherwise the worker waits for the writer.
class CodingPipeline::JobSink final : public LzssSink {
public:
    JobSink(CodingPipeline& pipeline, Job& job) : m_pipeline(pipeline), m_job(job) {}

    bool write(const unsigned char* bytes, std::size_t count) override {
        std::unique_lock lock(m_pipeline.m_mutex);
        for (;;) {
            if (m_pipeline.m_stopping)
                return false;
            if (m_job.spill.isOpen() && !m_job.spillBroken) {
                lock.unlock();
                const bool spilled = appendToSpill(bytes, count);
                lock.lock();
                if (spilled) {
                    m_job.spilled += count;
                    m_pipeline.m_changed.notify_all();
                    return true;
                }
                m_job.spillBroken = true;
                continue;
            }
            // In memory, up to the bound, and only once everything spilled
            // has been taken: the writer takes the pieces first. The file
            // the writer is taking waits for it past the bound.
            if (m_job.buffered < m_pipeline.m_bufferedPerFile && m_job.spillTaken == m_job.spilled)
                break;
            if (!m_job.current && !m_job.spill.isOpen() && !m_job.spillBroken) {
                lock.unlock();
                Stream scratch(m_pipeline.m_openScratch());
                lock.lock();
                m_job.spillBroken = !scratch.isOpen();
                m_job.spill = std::move(scratch);
                continue;
            }
            m_pipeline.m_changed.wait(lock);
        }
        ByteBuffer piece(count);
        std::memcpy(piece.data(), bytes, count);
        m_job.buffered += count;
        m_job.pieces.push_back(std::move(piece));
        m_pipeline.m_changed.notify_all();
        return true;
    }

private:
    // Only this worker writes to the job's scratch file, and only the
    // writer reads it, but they share its position.
    bool appendToSpill(const unsigned char* bytes, std::size_t count) {
        const std::lock_guard lock(m_pipeline.m_spillMutex);
        std::FILE* file = m_job.spill.get();
        return seekFile(file, m_job.spilled) && std::fwrite(bytes, 1, count, file) == count &&
               std::fflush(file) == 0;
    }

    CodingPipeline& m_pipeline;
    Job& m_job;
};

CodingPipeline::CodingPipeline(const zvector<zs>& paths, const zvector<std::uint32_t>& sizes,
                               const LzssContext::CarriedState& initial, unsigned workers,
                               std::size_t bufferedPerFile, ScratchOpener openScratch)
    : m_jobs(paths.size()), m_window(std::size_t{8} * workers), m_bufferedPerFile(bufferedPerFile),
      m_openScratch(openScratch), m_predicted(initial), m_spillBuffer(kLzssMaxPiece) {
    for (std::size_t i = 0; i < m_jobs.size(); ++i) {
        m_jobs[i].path = &paths[i];
        m_jobs[i].size = sizes[i];
    }
    m_workers.reserve(workers);
    for (unsigned i = 0; i < workers; ++i)
        m_workers.emplace_back([this] { work(); });
}

// Reads the next count bytes of the job's scratch file into m_spillBuffer.
bool CodingPipeline::readSpill(Job& job, std::size_t count) {
    const std::lock_guard lock(m_spillMutex);
    std::FILE* file = job.spill.get();
    return seekFile(file, job.spillTaken) && std::fread(m_spillBuffer.data(), 1, count, file) == count;
}

CodingPipeline::~CodingPipeline() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
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

void CodingPipeline::work() {
    LzssContext context;
    for (;;) {
        Job* job = nullptr;
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [&] {
                return m_stopping || m_claimed == m_jobs.size() || m_claimed < m_taken + m_window;
            });
            if (m_stopping || m_claimed == m_jobs.size())
                return;
            job = &m_jobs[m_claimed++];
            // Claims and predictions go in list order, one at a time: the
            // next claim starts from this file's predicted end.
            job->start = m_predicted;
            m_predicted = predictAfter(*job, job->start);
            job->claimed = true;
        }
        m_changed.notify_all();

        context.setCarriedState(job->start);
        JobSink sink(*this, *job);
        const CodedFile coded = codeFile(context, *job->path, job->size, sink);
        {
            const std::lock_guard lock(m_mutex);
            job->coded = coded;
            job->end = context.carriedState();
            job->done = true;
        }
        m_changed.notify_all();
    }
}

CodedFile CodingPipeline::take(LzssContext& context, LzssSink& sink) {
    std::unique_lock lock(m_mutex);
    Job& job = m_jobs[m_taken];
    job.current = true;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return job.claimed; });

    const bool trueStart = job.start == context.carriedState();
    bool sinkFailed = false;
    // A block coded from a wrong start is not written: it is only taken off
    // the worker's hands.
    for (;;) {
        while (!job.pieces.empty()) {
            ByteBuffer piece = std::move(job.pieces.front());
            job.pieces.pop_front();
            job.buffered -= piece.size();
            lock.unlock();
            m_changed.notify_all();
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
            m_changed.notify_all();
            continue;
        }
        if (job.done)
            break;
        m_changed.wait(lock, [&] { return job.done || !job.pieces.empty() || job.spillTaken < job.spilled; });
    }
    job.spill.close();
    const CodedFile coded = job.coded;
    const LzssContext::CarriedState end = job.end;
    ++m_taken;
    lock.unlock();
    m_changed.notify_all();

    if (!trueStart)
        return codeFile(context, *job.path, job.size, sink);
    CodedFile taken = coded;
    taken.sinkFailed = taken.sinkFailed || sinkFailed;
    if (taken.outcome == ReadOutcome::read && !taken.sinkFailed)
        context.setCarriedState(end);
    return taken;
}
