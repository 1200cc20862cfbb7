#include "read/Reader.h"

#include "archive/Scramble.h"

#include <zas.h>

#include <cstring>
#include <limits>

namespace {

// Reads one table of exactly size bytes at offset and unscrambles it in
// place. Each table is unscrambled by a call of its own, starting afresh.
bool readTable(std::FILE* file, std::uint64_t offset, std::uint32_t size, std::uint32_t key, ByteBuffer& table) {
    table = ByteBuffer(size);
    if (size != 0 && !readAt(file, offset, table.data(), size))
        return false;
    unscrambleBytes(table.data(), static_cast<std::int32_t>(size), static_cast<std::int32_t>(key));
    return true;
}

} // namespace

int readArchiveHeader(std::FILE* file, ArchiveHeader& header) {
    // A short file leaves the rest of the header zero, so anything under four
    // bytes fails the magic check; how much was read does not matter.
    unsigned char raw[kHeaderSize] = {};
    const std::size_t got = std::fread(raw, 1, sizeof raw, file);
    static_cast<void>(got);
    header = unscrambleHeader(raw);
    if (!hasArchiveMagic(header))
        return ZAS_E_NOT_ARCHIVE;
    if (header.versionBits != kVersionBits)
        return ZAS_E_VERSION;
    return ZAS_OK;
}

int ArchiveReader::open(const zs& path) {
    m_path = path;
    m_files.clear();
    m_dirs.clear();
    m_offsets.clear();

    // Anything but a regular file is refused before it is opened for real:
    // a fifo would wait for a writer forever.
    std::int64_t length = 0;
    m_file = Stream(openRegularFile(path.c_str(), length));
    if (!m_file.isOpen() || !identifyOpenFile(m_file.get(), m_identity))
        return ZAS_E_OPEN;
    m_length = static_cast<std::uint64_t>(length);

    if (const int status = readArchiveHeader(m_file.get(), m_header); status != ZAS_OK) {
        m_file.close();
        return status;
    }

    // Every size below comes from the file: check it against the file before
    // anything is allocated from it.
    constexpr auto kLargestTable = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
    bool sound = m_header.fileCount >= 0 && m_header.dirCount >= 0 && m_header.fileTableSize <= kLargestTable &&
                 m_header.dirTableSize <= kLargestTable && dataStart() <= m_length;
    if (sound) {
        ByteBuffer table;
        sound = readTable(m_file.get(), kHeaderSize, m_header.fileTableSize, m_header.key, table) &&
                parseFileTable(table.data(), table.size(), m_header.fileCount, m_files);
    }
    if (sound) {
        ByteBuffer table;
        sound = readTable(m_file.get(), kHeaderSize + std::uint64_t{m_header.fileTableSize}, m_header.dirTableSize,
                          m_header.key, table) &&
                parseDirTable(table.data(), table.size(), m_header.dirCount, m_dirs);
    }
    if (!sound) {
        m_files.clear();
        m_dirs.clear();
        m_file.close();
        return ZAS_E_DAMAGED;
    }

    m_offsets.reserve(m_files.size());
    std::uint64_t offset = dataStart();
    for (const FileEntry& file : m_files) {
        m_offsets.push_back(offset);
        offset += file.storedSize;
    }
    return ZAS_OK;
}

const DirEntry* ArchiveReader::directoryOf(const FileEntry& file) const {
    const auto found = m_dirs.find(static_cast<std::int32_t>(file.dirIndex));
    return found == m_dirs.end() ? nullptr : &found->second;
}

bool ArchiveReader::unchanged() const {
    FileIdentity now;
    return m_file.isOpen() && identifyOpenFile(m_file.get(), now) && now.size == m_identity.size &&
           now.lastWrite == m_identity.lastWrite;
}
