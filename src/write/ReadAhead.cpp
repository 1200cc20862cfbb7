#include "write/ReadAhead.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <utility>

namespace {

bool (*g_startWorker)(unsigned) = nullptr;

std::uint64_t weightOf(const ReadAhead::Source& source) {
    return source.size > kReadAheadFileLimit ? 0 : std::max<std::uint64_t>(source.size, kReadAheadFileWeight);
}

} // namespace

void setReadAheadStartHookForTesting(bool (*startWorker)(unsigned)) {
    g_startWorker = startWorker;
}

ReadAhead::ReadAhead(zvector<Source> sources, unsigned workers)
    : m_sources(std::move(sources)), m_aheadLimit(kReadAheadBytesPerWorker * workers),
      m_writerFrom(m_sources.size()) {
    m_workers.reserve(workers);
    // The pass goes on with the threads the system gave, down to none.
    for (unsigned i = 0; i < workers; ++i) {
        if (g_startWorker != nullptr && !g_startWorker(i))
            break;
        try {
            m_workers.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            break;
        } catch (const std::bad_alloc&) {
            break;
        }
    }
    const std::lock_guard lock(m_mutex);
    m_aheadLimit = kReadAheadBytesPerWorker * m_workers.size();
    if (m_workers.empty())
        m_writerFrom = 0;
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

// Called with the lock held.
bool ReadAhead::roomFor(const Source& source) const {
    return m_slots.empty() || m_ahead + weightOf(source) <= m_aheadLimit;
}

void ReadAhead::work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        ++m_waitingWorkers;
        m_workerWakes.wait(lock, [&] {
            return m_stopping || m_claimed == m_sources.size() ||
                   (!m_relieving && roomFor(m_sources[m_claimed]));
        });
        --m_waitingWorkers;
        if (m_stopping || m_claimed == m_sources.size())
            return;
        // A run of files at once: the writer wakes once for all of them.
        Slot* batch[kReadAheadBatchFiles];
        const Source* sources[kReadAheadBatchFiles];
        std::size_t count = 0;
        std::uint64_t batchWeight = 0;
        while (count < kReadAheadBatchFiles && m_claimed < m_sources.size() && batchWeight < kReadAheadBatchBytes &&
               (count == 0 || roomFor(m_sources[m_claimed]))) {
            const Source& source = m_sources[m_claimed];
            try {
                batch[count] = &m_slots.emplace_back();
            } catch (...) {
                // No room for the bookkeeping: this file and the rest are
                // the writer's, read as they come.
                m_writerFrom = m_claimed;
                m_claimed = m_sources.size();
                m_stopping = true;
                m_workerWakes.notify_all();
                break;
            }
            ++m_claimed;
            sources[count] = &source;
            batch[count]->weight = weightOf(source);
            batch[count]->taken.byWriter = batch[count]->weight == 0;
            m_ahead += batch[count]->weight;
            batchWeight += batch[count]->weight;
            ++count;
        }
        if (count == 0) {
            m_writerWakes.notify_one();
            return;
        }
        ++m_opened;
        lock.unlock();
        for (std::size_t i = 0; i < count; ++i)
            if (!batch[i]->taken.byWriter)
                read(*sources[i], batch[i]->taken);
        lock.lock();
        --m_opened;
        for (std::size_t i = 0; i < count; ++i)
            batch[i]->done = true;
        if (m_writerWaiting)
            m_writerWakes.notify_one();
    }
}

// Outside the lock; touches only the slot's file.
void ReadAhead::read(const Source& source, Taken& taken) {
    SourceFile file(*source.path, source.size);
    if (!file.isOpen()) {
        // For want of a descriptor the writer tries again, holding the
        // workers off if need be.
        taken.byWriter = file.openMayPass();
        taken.outcome = ReadOutcome::cannotOpen;
        return;
    }
    taken.identity = file.identity();
    try {
        taken.bytes = ByteBuffer(source.size);
    } catch (...) {
        taken.byWriter = true; // the writer streams it through its own buffer
        return;
    }
    std::size_t filled = 0;
    while (filled < source.size) {
        const std::ptrdiff_t got = file.read(taken.bytes.data() + filled, source.size - filled);
        if (got <= 0)
            break;
        filled += static_cast<std::size_t>(got);
    }
    taken.outcome = file.outcome();
    if (taken.outcome != ReadOutcome::read)
        taken.bytes = ByteBuffer();
}

ReadAhead::Taken ReadAhead::take() {
    std::unique_lock lock(m_mutex);
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
    Slot& slot = m_slots.front();
    Taken taken = std::move(slot.taken);
    m_ahead -= slot.weight;
    m_slots.pop_front();
    // The workers wake once half the room is free again, not for every file.
    if (m_waitingWorkers != 0 && m_ahead <= m_aheadLimit / 2)
        m_workerWakes.notify_all();
    return taken;
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
