#include "read/WriteAhead.h"

#include "support/Workers.h"

#include <algorithm>

namespace {

// Per worker: jobs queued, content held in memory, content queued to be
// copied from the archive (written beside its final name before its turn).
constexpr std::size_t kJobsPerWorker = 64;
constexpr std::uint64_t kHeldBytesPerWorker = std::uint64_t{4} << 20;
constexpr std::uint64_t kAheadBytesPerWorker = std::uint64_t{16} << 20;
// Stored content is copied and counted a piece at a time, so that the
// heartbeat still comes and a stop takes effect within a piece.
constexpr std::size_t kCopyPiece = std::size_t{1} << 20;
constexpr std::size_t kBufferSize = 0x40000;

} // namespace

WriteAhead::WriteAhead(const ArchiveReader& archive, unsigned threads) : m_archive(archive) {
    // Each worker's buffer is taken here, so that a worker allocates
    // nothing (a temporary name fits in a string's own room).
    m_buffers.reserve(threads);
    for (unsigned i = 0; i < threads; ++i)
        m_buffers.emplace_back(kBufferSize);
    startWorkers(m_workers, threads, nullptr, [this](unsigned i) { work(m_buffers[i]); });
}

WriteAhead::~WriteAhead() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_workReady.notify_all();
    for (std::thread& worker : m_workers)
        worker.join();
    // Each job's file that was not put in place goes with it.
}

WriteAhead::Job& WriteAhead::add() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_jobs.emplace_back();
}

void WriteAhead::queue() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const Job& job = m_jobs.back();
        m_heldBytes += job.bytes.size();
        if (job.fromArchive)
            m_aheadBytes += job.file->size;
        ++m_published;
    }
    m_workReady.notify_one();
}

bool WriteAhead::full() const noexcept {
    const unsigned count = std::max(1u, workers());
    return m_jobs.size() >= kJobsPerWorker * count || m_heldBytes >= kHeldBytesPerWorker * count ||
           m_aheadBytes >= kAheadBytesPerWorker * count;
}

std::size_t WriteAhead::targetsHeld() const noexcept {
    // The jobs of one directory follow one another.
    std::size_t held = 0;
    const DirectoryHandle* last = nullptr;
    for (const Job& job : m_jobs) {
        if (job.target != nullptr && job.target.get() != last) {
            last = job.target.get();
            ++held;
        }
    }
    return held;
}

WriteAhead::Job& WriteAhead::front(Reporter& reporter) {
    Job& job = m_jobs.front();
    if (!job.work)
        return job;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_progress != 0) {
            const std::uint64_t bytes = m_progress;
            m_progress = 0;
            lock.unlock();
            reporter.count(bytes);
            lock.lock();
            continue;
        }
        if (job.outcome != Outcome::pending)
            return job;
        m_jobDone.wait(lock);
    }
}

void WriteAhead::pop() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const Job& job = m_jobs.front();
    m_heldBytes -= job.bytes.size();
    if (job.fromArchive)
        m_aheadBytes -= job.file->size;
    m_jobs.pop_front();
    ++m_popped;
    // A job without work is taken back without waiting for the workers to
    // pass over it.
    m_claimed = std::max(m_claimed, m_popped);
}

void WriteAhead::writeHere(Job& job) {
    if (m_hereBuffer.size() == 0)
        m_hereBuffer = ByteBuffer(kBufferSize);
    job.outcome = write(job, m_hereBuffer);
    if (job.outcome != Outcome::retry)
        return;

    struct Rest {
        explicit Rest(WriteAhead& ahead) : ahead(ahead) {
            std::unique_lock<std::mutex> lock(ahead.m_mutex);
            ahead.m_resting = true;
            ahead.m_jobDone.wait(lock, [&] { return ahead.m_busy == 0; });
        }
        ~Rest() {
            {
                const std::lock_guard<std::mutex> lock(ahead.m_mutex);
                ahead.m_resting = false;
            }
            ahead.m_workReady.notify_all();
        }
        WriteAhead& ahead;
    } rest(*this);
    job.outcome = write(job, m_hereBuffer);
    if (job.outcome == Outcome::retry) {
        zvector<DirectoryHandle*> closed;
        for (Job& later : m_jobs) {
            DirectoryHandle* held = later.target.get();
            if (held != nullptr && held != job.target.get() && held->isOpen()) {
                closed.push_back(held);
                held->close();
            }
        }
        job.outcome = write(job, m_hereBuffer);
        for (DirectoryHandle* held : closed) {
            const zs path = held->path();
            held->open(path);
        }
    }
    if (job.outcome == Outcome::retry)
        job.outcome = Outcome::notWritten;
}

void WriteAhead::work(ByteBuffer& buffer) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        while (m_claimed < m_published && !jobAt(m_claimed).work)
            ++m_claimed;
        if (m_stop)
            return;
        if (m_claimed == m_published || m_resting) {
            m_workReady.wait(lock);
            continue;
        }
        Job& job = jobAt(m_claimed++);
        ++m_busy;
        lock.unlock();
        const Outcome outcome = write(job, buffer);
        if (outcome == Outcome::retry)
            m_short = true;
        lock.lock();
        --m_busy;
        job.outcome = outcome;
        m_jobDone.notify_one();
    }
}

WriteAhead::Outcome WriteAhead::write(Job& job, ByteBuffer& buffer) {
    OutputFile& output = job.output.emplace(*job.target, job.file->name);
    if (output.failed()) {
        const bool mayPass = output.mayPass();
        job.output.reset();
        if (mayPass)
            return Outcome::retry;
        // Nothing can be written; whether the entry is damaged still
        // decides what is reported.
        return job.fromArchive && !archiveReadable(job, buffer) ? Outcome::damaged : Outcome::notWritten;
    }
    if (job.fromArchive) {
        if (const Outcome copied = copyFromArchive(job, output, buffer); copied != Outcome::written)
            return copied;
    } else {
        output.write(job.bytes.data(), job.bytes.size());
    }
    job.dated = output.setDate(job.file->date);
    return output.finish() ? Outcome::written : Outcome::notWritten;
}

// Copies the job's stored content from the archive into output, inside the
// system where it can, else through buffer.
WriteAhead::Outcome WriteAhead::copyFromArchive(Job& job, OutputFile& output, ByteBuffer& buffer) {
    std::uint64_t at = job.archiveOffset;
    std::uint64_t left = job.file->size;
    while (left != 0) {
        if (m_stop)
            return Outcome::notWritten;
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kCopyPiece, left));
        if (m_directCopy) {
            bool unsupported = false;
            const bool copied = output.copyFrom(m_archive.file(), at, count, unsupported);
            if (unsupported) {
                m_directCopy = false;
                continue;
            }
            if (!copied)
                return Outcome::notWritten;
        } else {
            for (std::size_t done = 0; done < count;) {
                const std::size_t piece = std::min(buffer.size(), count - done);
                if (!m_archive.readAt(at + done, buffer.data(), piece))
                    return Outcome::damaged;
                output.write(buffer.data(), piece);
                done += piece;
            }
        }
        progress(count);
        at += count;
        left -= count;
    }
    return Outcome::written;
}

bool WriteAhead::archiveReadable(const Job& job, ByteBuffer& buffer) const {
    for (std::uint64_t done = 0; done < job.file->size;) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), job.file->size - done));
        if (!m_archive.readAt(job.archiveOffset + done, buffer.data(), piece))
            return false;
        done += piece;
    }
    return true;
}

void WriteAhead::progress(std::uint64_t bytes) {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_progress += bytes;
    }
    m_jobDone.notify_one();
}
