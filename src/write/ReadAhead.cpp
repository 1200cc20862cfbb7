#include "write/ReadAhead.h"
#include "support/Workers.h"

#include <algorithm>
#include <utility>

namespace {

bool (*g_startWorker)(unsigned) = nullptr;

} // namespace

void setReadAheadStartHookForTesting(bool (*startWorker)(unsigned)) {
    g_startWorker = startWorker;
}

ReadAhead::ReadAhead(zvector<Source> sources, unsigned workers)
    : m_sources(std::move(sources)), m_writerFrom(m_sources.size()) {
    try {
        const std::size_t chunks = std::max<std::size_t>(kReadAheadBytesPerWorker * workers / kReadAheadFileLimit, 2);
        m_ring.reserve(chunks);
        for (std::size_t i = 0; i < chunks; ++i)
            m_ring.emplace_back(kReadAheadFileLimit);
    } catch (...) {
        workers = 0; // no memory for the ring: the writer reads every file
    }
    m_ringSize = std::uint64_t{kReadAheadFileLimit} * m_ring.size();
    m_filesLimit = kReadAheadFilesPerWorker * workers;
    startWorkers(m_workers, workers, g_startWorker, [this](unsigned) { work(); });
    if (m_workers.size() < workers) {
        const std::lock_guard lock(m_mutex);
        m_filesLimit = kReadAheadFilesPerWorker * m_workers.size();
        if (m_workers.empty())
            m_writerFrom = 0;
    }
}

ReadAhead::~ReadAhead() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_workerWakes.notify_all();
    for (std::thread& worker : m_workers)
        worker.join();
}

unsigned char* ReadAhead::at(std::uint64_t position) {
    return m_ring[position / kReadAheadFileLimit % m_ring.size()].data() + position % kReadAheadFileLimit;
}

// Called with the lock held: gives the slot the ring's next bytes for the
// source, false when they are still in use.
bool ReadAhead::place(const Source& source, Slot& slot) {
    if (source.size > kReadAheadFileLimit) {
        slot.taken.byWriter = true;
        slot.start = m_ringHead;
        return true;
    }
    std::uint64_t start = m_ringHead;
    // A file never runs past the end of a piece of the ring.
    if (start % kReadAheadFileLimit + source.size > kReadAheadFileLimit)
        start += kReadAheadFileLimit - start % kReadAheadFileLimit;
    if (start + source.size - m_ringTail > m_ringSize)
        return false;
    slot.start = start;
    slot.size = source.size;
    m_ringHead = start + source.size;
    return true;
}

void ReadAhead::work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_stopping || m_claimed == m_sources.size())
            return;
        // A run of files at once: the writer wakes once for all of them.
        Slot* batch[kReadAheadBatchFiles];
        const Source* sources[kReadAheadBatchFiles];
        std::size_t count = 0;
        std::uint64_t batchBytes = 0;
        while (!m_relieving && count < kReadAheadBatchFiles && batchBytes < kReadAheadBatchBytes &&
               m_claimed < m_sources.size() && m_slots.size() < m_filesLimit) {
            const Source& source = m_sources[m_claimed];
            Slot* slot = nullptr;
            try {
                slot = &m_slots.emplace_back();
            } catch (...) {
                // No room for the bookkeeping: this file and the rest are
                // the writer's, read as they come.
                m_writerFrom = m_claimed;
                m_claimed = m_sources.size();
                m_stopping = true;
                m_workerWakes.notify_all();
                break;
            }
            if (!place(source, *slot)) {
                m_slots.pop_back();
                break;
            }
            ++m_claimed;
            sources[count] = &source;
            batch[count++] = slot;
            batchBytes += slot->size;
        }
        if (count == 0) {
            if (m_stopping) {
                m_writerWakes.notify_one();
                return;
            }
            // Until the writer gives bytes back, or the relief ends.
            ++m_waitingWorkers;
            m_workerWakes.wait(lock);
            --m_waitingWorkers;
            continue;
        }
        ++m_opened;
        lock.unlock();
        for (std::size_t i = 0; i < count; ++i)
            if (!batch[i]->taken.byWriter)
                read(*sources[i], *batch[i], at(batch[i]->start));
        lock.lock();
        --m_opened;
        for (std::size_t i = 0; i < count; ++i)
            batch[i]->done = true;
        if (m_writerWaiting)
            m_writerWakes.notify_one();
    }
}

// Outside the lock; touches only the slot and its bytes of the ring.
void ReadAhead::read(const Source& source, Slot& slot, unsigned char* into) {
    Taken& taken = slot.taken;
    SourceFile file(*source.path, source.size);
    if (!file.isOpen()) {
        // For want of a descriptor the writer tries again, holding the
        // workers off if need be.
        taken.byWriter = file.openMayPass();
        taken.outcome = ReadOutcome::cannotOpen;
        return;
    }
    taken.identity = file.identity();
    std::size_t filled = 0;
    while (filled < source.size) {
        const std::ptrdiff_t got = file.read(into + filled, source.size - filled);
        if (got <= 0)
            break;
        filled += static_cast<std::size_t>(got);
    }
    taken.outcome = file.outcome();
    taken.bytes = into;
}

ReadAhead::Taken ReadAhead::take() {
    std::unique_lock lock(m_mutex);
    // The bytes of the file taken before are done with.
    if (m_lastTakenEnd > m_ringTail) {
        m_ringTail = m_lastTakenEnd;
        if (m_waitingWorkers != 0)
            m_workerWakes.notify_all();
    }
    const std::size_t index = m_taken++;
    if (index < m_writerFrom) {
        m_writerWaiting = true;
        m_writerWakes.wait(lock, [&] { return index >= m_writerFrom || (index < m_claimed && m_slots.front().done); });
        m_writerWaiting = false;
    }
    if (index >= m_writerFrom) {
        Taken byWriter;
        byWriter.byWriter = true;
        return byWriter;
    }
    const Slot slot = std::move(m_slots.front());
    m_slots.pop_front();
    m_lastTakenEnd = slot.start + slot.size;
    const bool holdsBytes = !slot.taken.byWriter && slot.taken.outcome == ReadOutcome::read;
    if (!holdsBytes)
        m_ringTail = m_lastTakenEnd; // while the writer reads a large file, the workers go on
    if (m_waitingWorkers != 0 && (!holdsBytes || m_slots.size() + 1 == m_filesLimit))
        m_workerWakes.notify_all();
    return slot.taken;
}

void ReadAhead::relieve() {
    std::unique_lock lock(m_mutex);
    m_relieving = true;
    m_writerWaiting = true;
    m_writerWakes.wait(lock, [&] { return m_opened == 0; });
    m_writerWaiting = false;
}

void ReadAhead::endRelief() noexcept {
    {
        const std::lock_guard lock(m_mutex);
        m_relieving = false;
    }
    m_workerWakes.notify_all();
}
