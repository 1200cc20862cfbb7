#include "read/EntryStream.h"

#include <zas.h>

#include <algorithm>

namespace {

// Each item of the coded stream takes at least 17 bits (a flag bit and a
// two-byte match) for at most 18 bytes of output, so a sound block never
// expands beyond this.
std::uint64_t largestUnpackedSize(std::uint32_t blockLength) {
    return (static_cast<std::uint64_t>(blockLength) - kBlockHeaderSize) * 9 + 18;
}

} // namespace

bool entrySizesAgree(const FileEntry& file) {
    if (file.storage != kStorageCompressed)
        return file.storedSize == file.size;
    return file.storedSize >= kBlockHeaderSize && file.size <= largestUnpackedSize(file.storedSize);
}

EntryStream::EntryStream(const ArchiveReader& archive, std::size_t index, const SeekOptions& options)
    : m_archive(archive), m_file(archive.files()[index]), m_offset(archive.offsetOf(index)),
      m_storage(archive, m_offset) {
    const bool present = m_offset <= archive.length() && archive.length() - m_offset >= m_file.storedSize;
    m_damaged = !present || !entrySizesAgree(m_file);
    if (!m_damaged && m_file.storage == kStorageCompressed) {
        // A fresh ring: what the entry decodes to never depends on what was
        // read before.
        const std::size_t checkpoints =
            std::max<std::uint64_t>(2, options.memory / sizeof(LzssCheckpoint));
        m_block.emplace(m_storage, m_file.storedSize, m_file.size, LzssContext::CarriedState{},
                        std::max<std::uint64_t>(1, options.interval), checkpoints);
    }
}

int EntryStream::read(unsigned char* buffer, std::size_t capacity, std::size_t& got) {
    got = 0;
    if (m_damaged)
        return ZAS_E_ENTRY_DAMAGED;
    if (m_position >= m_file.size || capacity == 0)
        return ZAS_OK;
    if (m_block) {
        switch (m_block->read(m_position, buffer, capacity, got)) {
        case LzssReadStatus::ok: break;
        case LzssReadStatus::damaged: return ZAS_E_ENTRY_DAMAGED;
        case LzssReadStatus::readFailed: return ZAS_E_READ;
        }
    } else {
        got = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, m_file.size - m_position));
        if (!m_archive.readAt(m_offset + m_position, buffer, got)) {
            got = 0;
            return ZAS_E_READ;
        }
    }
    m_position += got;
    return ZAS_OK;
}
