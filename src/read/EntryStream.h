// One entry of an archive read as a stream, in memory that does not grow
// with the entry: a stored entry straight from the archive, a compressed
// one decoded as it is read, with checkpoints on the way so that a seek
// costs at most one interval of decoding.
#pragma once

#include "archive/LzssSeek.h"
#include "read/Reader.h"

#include <cstddef>
#include <cstdint>
#include <optional>

// Whether an entry's sizes agree with its storage: a stored entry holds
// exactly size bytes, a compressed one a block that can expand to size.
bool entrySizesAgree(const FileEntry& file);

struct SeekOptions {
    std::uint64_t interval = 65536;    // output bytes between two checkpoints
    std::uint64_t memory = 4u << 20;   // the most the checkpoints take
};

class EntryStream {
public:
    // The archive must outlive the stream.
    EntryStream(const ArchiveReader& archive, std::size_t index, const SeekOptions& options = {});

    // Up to capacity bytes at the position; got 0 at the end. ZAS_OK,
    // ZAS_E_ENTRY_DAMAGED when the bytes asked for are not sound (a read
    // that ends before the damage still succeeds), or ZAS_E_READ when the
    // archive could not be read.
    int read(unsigned char* buffer, std::size_t capacity, std::size_t& got);
    // Any position; past the end reads nothing.
    void seek(std::uint64_t position) noexcept { m_position = position; }
    std::uint64_t position() const noexcept { return m_position; }
    std::uint64_t size() const noexcept { return m_file.size; }

private:
    // The entry's stored bytes in the archive, as the block's storage.
    class Storage final : public LzssBlockStorage {
    public:
        Storage(const ArchiveReader& archive, std::uint64_t offset) : m_archive(archive), m_offset(offset) {}
        bool readAt(std::uint64_t offset, unsigned char* buffer, std::size_t count) override {
            return m_archive.readAt(m_offset + offset, buffer, count);
        }

    private:
        const ArchiveReader& m_archive;
        std::uint64_t m_offset;
    };

    const ArchiveReader& m_archive;
    const FileEntry& m_file;
    std::uint64_t m_offset;
    std::uint64_t m_position = 0;
    bool m_damaged = false; // its sizes disagree, or its bytes lie past the archive's end
    Storage m_storage;
    std::optional<LzssSeekableBlock> m_block;
};
