#include "mount/OpenFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

int errnoOf(int status) {
    return status == ZAS_E_NOMEM ? ENOMEM : EIO;
}

// Reads count bytes at the stream's position, fewer only at the entry's
// end: ZAS_OK or the stream's failure.
int readFully(zas_file* stream, unsigned char* buffer, std::size_t count, std::size_t& got) {
    got = 0;
    while (got < count) {
        std::size_t piece = 0;
        if (const int status = zas_fread(stream, buffer + got, count - got, &piece); status != ZAS_OK)
            return status;
        if (piece == 0)
            break;
        got += piece;
    }
    return ZAS_OK;
}

} // namespace

bool WindowBudget::take(std::uint64_t bytes) {
    std::uint64_t used = m_used.load();
    do {
        if (bytes > m_limit - std::min(used, m_limit))
            return false;
    } while (!m_used.compare_exchange_weak(used, used + bytes));
    return true;
}

void RecentBytes::allocate(std::size_t capacity) {
    m_bytes = std::make_unique_for_overwrite<unsigned char[]>(capacity);
    m_capacity = capacity;
    m_head = 0;
    m_filled = 0;
}

std::size_t RecentBytes::copy(std::uint64_t offset, std::uint64_t end, unsigned char* out, std::size_t count) const {
    const auto back = static_cast<std::size_t>(end - offset);
    const std::size_t start = (m_head + m_capacity - back) % m_capacity;
    const std::size_t total = std::min(count, back);
    const std::size_t first = std::min(total, m_capacity - start);
    std::memcpy(out, m_bytes.get() + start, first);
    std::memcpy(out + first, m_bytes.get(), total - first);
    return total;
}

void RecentBytes::append(const unsigned char* bytes, std::size_t count) {
    if (m_capacity == 0)
        return;
    if (count >= m_capacity) {
        std::memcpy(m_bytes.get(), bytes + (count - m_capacity), m_capacity);
        m_head = 0;
        m_filled = m_capacity;
        return;
    }
    const std::size_t first = std::min(count, m_capacity - m_head);
    std::memcpy(m_bytes.get() + m_head, bytes, first);
    std::memcpy(m_bytes.get(), bytes + first, count - first);
    commit(count);
}

void RecentBytes::commit(std::size_t count) noexcept {
    m_head = (m_head + count) % m_capacity;
    m_filled = std::min(m_filled + count, m_capacity);
}

OpenFile::OpenFile(const zas_archive* archive, std::uint64_t entry, std::uint64_t size, bool compressed,
                   WindowBudget& budget)
    : m_archive(archive), m_entry(entry), m_size(size), m_compressed(compressed), m_budget(budget) {}

OpenFile::~OpenFile() {
    m_budget.give(m_recent.capacity());
}

long OpenFile::read(unsigned char* buffer, std::size_t count, std::uint64_t offset) {
    if (offset >= m_size)
        return 0;
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, m_size - offset));
    return m_compressed ? readCompressed(buffer, count, offset) : readStored(buffer, count, offset);
}

long OpenFile::readStored(unsigned char* buffer, std::size_t count, std::uint64_t offset) {
    zas_file* opened = nullptr;
    if (const int status = zas_fopen_index(m_archive, m_entry, &opened); status != ZAS_OK)
        return -errnoOf(status);
    const Stream stream(opened);
    std::size_t got = 0;
    int status = zas_fseek(stream.get(), static_cast<std::int64_t>(offset), ZAS_SEEK_SET);
    if (status == ZAS_OK)
        status = readFully(stream.get(), buffer, count, got);
    if (status != ZAS_OK)
        return -errnoOf(status);
    return static_cast<long>(got);
}

// Decodes the next bytes of the stream into the window.
int OpenFile::fillWindow(std::uint64_t bytes) {
    while (bytes > 0) {
        std::size_t room = 0;
        unsigned char* tail = m_recent.tail(room);
        std::size_t got = 0;
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(room, bytes));
        if (const int status = readFully(m_stream.get(), tail, wanted, got); status != ZAS_OK)
            return status;
        if (got != wanted)
            return ZAS_E_ENTRY_DAMAGED; // the stream ended before the size it claims
        m_recent.commit(got);
        m_position += got;
        bytes -= got;
    }
    return ZAS_OK;
}

long OpenFile::readCompressed(unsigned char* buffer, std::size_t count, std::uint64_t offset) {
    const std::lock_guard lock(m_mutex);
    if (!m_windowChosen) {
        m_windowChosen = true;
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(kWindowSize, m_size));
        if (m_budget.take(size)) {
            try {
                m_recent.allocate(size);
            } catch (...) {
                m_budget.give(size);
            }
        }
    }
    if (!m_stream) {
        zas_file* opened = nullptr;
        if (const int status = zas_fopen_index(m_archive, m_entry, &opened); status != ZAS_OK)
            return -errnoOf(status);
        m_stream.reset(opened);
        m_position = 0;
        m_recent.clear();
    }

    std::size_t done = 0;
    int status = ZAS_OK;
    while (done < count && status == ZAS_OK) {
        const std::uint64_t at = offset + done;
        if (m_recent.holds(at, m_position)) {
            done += m_recent.copy(at, m_position, buffer + done, count - done);
            continue;
        }
        if (at > m_position && at - m_position <= m_recent.capacity()) {
            status = fillWindow(at - m_position);
            continue;
        }
        if (at != m_position) {
            status = zas_fseek(m_stream.get(), static_cast<std::int64_t>(at), ZAS_SEEK_SET);
            if (status != ZAS_OK)
                break;
            m_position = at;
            m_recent.clear();
        }
        std::size_t got = 0;
        status = readFully(m_stream.get(), buffer + done, count - done, got);
        if (status == ZAS_OK && got != count - done)
            status = ZAS_E_ENTRY_DAMAGED;
        m_recent.append(buffer + done, got);
        m_position += got;
        done += got;
    }
    if (status != ZAS_OK) {
        // A damaged entry fails every later read of its stream: a new one
        // serves the bytes before the damage to later reads.
        m_stream.reset();
        m_recent.clear();
        return -errnoOf(status);
    }
    return static_cast<long>(done);
}
