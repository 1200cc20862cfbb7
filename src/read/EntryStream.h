// One entry of an archive read as a stream, in memory that does not grow
// with the entry: a stored entry straight from the archive, a compressed
// one decoded as it is read.
#pragma once

#include "archive/Lzss.h"
#include "read/Reader.h"
#include "support/Memory.h"

#include <cstddef>
#include <cstdint>
#include <optional>

// Whether an entry's sizes agree with its storage: a stored entry holds
// exactly size bytes, a compressed one a block that can expand to size.
bool entrySizesAgree(const FileEntry& file);

class EntryStream {
public:
    // The archive must outlive the stream. codec is the stream's own.
    EntryStream(const ArchiveReader& archive, std::size_t index);

    // Up to capacity bytes at the position; got 0 at the end. ZAS_OK, or
    // ZAS_E_ENTRY_DAMAGED (and on every later read) once the entry turns out
    // damaged, or ZAS_E_READ when the archive could not be read.
    int read(unsigned char* buffer, std::size_t capacity, std::size_t& got);
    // Any position; past the end reads nothing.
    void seek(std::uint64_t position);
    std::uint64_t position() const noexcept { return m_position; }
    std::uint64_t size() const noexcept { return m_file.size; }

private:
    // Keeps the decoder's output from the stream's position on.
    class HoldingSink final : public LzssSink {
    public:
        explicit HoldingSink(EntryStream& stream) : m_stream(stream) {}
        bool write(const unsigned char* bytes, std::size_t count) override;

    private:
        EntryStream& m_stream;
    };

    int readStored(unsigned char* buffer, std::size_t capacity, std::size_t& got);
    int decodeMore();
    void restart();

    const ArchiveReader& m_archive;
    const FileEntry& m_file;
    std::uint64_t m_offset;
    std::uint64_t m_position = 0;
    int m_failure = 0; // the status every read gives once the entry failed

    // Compressed entries: the decoder, what it has consumed of the block and
    // produced, and output decoded but not yet read.
    std::optional<LzssContext> m_codec;
    std::optional<LzssBlockDecoder> m_decoder;
    std::uint64_t m_consumed = 0;
    std::uint64_t m_produced = 0;
    bool m_finished = false;
    zvector<unsigned char> m_held;   // output from m_heldStart on
    std::uint64_t m_heldStart = 0;   // the output offset of m_held[0]
    ByteBuffer m_input;
    std::optional<HoldingSink> m_sink;
};
