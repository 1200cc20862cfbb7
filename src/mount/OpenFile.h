// One open file of the mount: the reads of one FUSE file handle.
//
// A stored entry is read straight from the archive, a fresh stream per read,
// so that reads of one handle run in parallel. A compressed entry is decoded
// by one stream per handle, under a lock since the kernel may send several
// reads of one handle at once, out of order: it keeps the last bytes it
// decoded (its window, up to kWindowSize) so that a read a little behind the
// stream is served from memory, and decodes a small gap ahead into the
// window instead of dropping it. Anything else is a seek of the stream,
// which costs what the library's streams cost: with its checkpoints at most
// one seek interval of decoding, without them a seek backwards decodes from
// the start.
#pragma once

#include <zas.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

// The memory every open file's window takes together, at most.
class WindowBudget {
public:
    explicit WindowBudget(std::uint64_t limit) : m_limit(limit) {}
    bool take(std::uint64_t bytes);
    void give(std::uint64_t bytes) { m_used -= bytes; }

private:
    const std::uint64_t m_limit;
    std::atomic<std::uint64_t> m_used{0};
};

// The newest bytes a stream produced, in a ring: those just before the
// stream's position.
class RecentBytes {
public:
    void allocate(std::size_t capacity);
    std::size_t capacity() const noexcept { return m_capacity; }
    void clear() noexcept { m_filled = 0; }
    // Whether the byte at offset is held, the newest byte being end - 1.
    bool holds(std::uint64_t offset, std::uint64_t end) const noexcept {
        return offset < end && end - offset <= m_filled;
    }
    // Copies held bytes from offset on, at most count: how many.
    std::size_t copy(std::uint64_t offset, std::uint64_t end, unsigned char* out, std::size_t count) const;
    void append(const unsigned char* bytes, std::size_t count);
    // Room for the next bytes where they will stand, then how many came.
    unsigned char* tail(std::size_t& room) noexcept {
        room = m_capacity - m_head;
        return m_bytes.get() + m_head;
    }
    void commit(std::size_t count) noexcept;

private:
    std::unique_ptr<unsigned char[]> m_bytes;
    std::size_t m_capacity = 0;
    std::size_t m_head = 0; // where the next byte goes
    std::size_t m_filled = 0;
};

class OpenFile {
public:
    static constexpr std::size_t kWindowSize = std::size_t{1} << 20;

    OpenFile(const zas_archive* archive, std::uint64_t entry, std::uint64_t size, bool compressed,
             WindowBudget& budget);
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    // Reads up to count bytes at offset: how many (fewer only at the end of
    // the file), or -errno (EIO for a damaged entry or a failed read).
    long read(unsigned char* buffer, std::size_t count, std::uint64_t offset);

private:
    struct StreamCloser {
        void operator()(zas_file* file) const noexcept { zas_fclose(file); }
    };
    using Stream = std::unique_ptr<zas_file, StreamCloser>;

    long readStored(unsigned char* buffer, std::size_t count, std::uint64_t offset);
    long readCompressed(unsigned char* buffer, std::size_t count, std::uint64_t offset);
    int fillWindow(std::uint64_t bytes);

    const zas_archive* m_archive;
    const std::uint64_t m_entry;
    const std::uint64_t m_size;
    const bool m_compressed;
    WindowBudget& m_budget;

    std::mutex m_mutex;
    Stream m_stream;
    std::uint64_t m_position = 0; // the stream's
    RecentBytes m_recent;
    bool m_windowChosen = false;
};
