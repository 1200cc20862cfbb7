#include "archive/Format.h"

#include "archive/Endian.h"
#include "archive/Scramble.h"
#include "support/Crc32.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

// Header field offsets.
constexpr std::size_t kMagicOffset = 0;
constexpr std::size_t kKeyOffset = 4;
constexpr std::size_t kFileCountOffset = 8;
constexpr std::size_t kDirCountOffset = 12;
constexpr std::size_t kFileTableSizeOffset = 16;
constexpr std::size_t kDirTableSizeOffset = 20;
constexpr std::size_t kVersionOffset = 24;
constexpr std::size_t kHeaderCrcOffset = 28;
constexpr std::size_t kFileTableCrcOffset = 32;
constexpr std::size_t kDirTableCrcOffset = 36;
constexpr std::size_t kFormatCodeOffset = 40;

// File entry field offsets, counted from the byte after the name's NUL.
constexpr std::size_t kSizeOffset = 0;
constexpr std::size_t kStoredSizeOffset = 4;
constexpr std::size_t kReserved1Offset = 8;
constexpr std::size_t kDirIndexOffset = 12;
constexpr std::size_t kReserved2Offset = 16;
constexpr std::size_t kStorageOffset = 20;
constexpr std::size_t kFileDateOffset = 24;

void storeDate(unsigned char* p, const ArchiveDate& date) {
    const std::uint16_t fields[8] = {date.year, date.month,  date.dayOfWeek, date.day,
                                     date.hour, date.minute, date.second,    date.milliseconds};
    for (std::size_t i = 0; i < 8; ++i)
        storeLe16(p + 2 * i, fields[i]);
}

ArchiveDate loadDate(const unsigned char* p) {
    ArchiveDate date;
    date.year = loadLe16(p);
    date.month = loadLe16(p + 2);
    date.dayOfWeek = loadLe16(p + 4);
    date.day = loadLe16(p + 6);
    date.hour = loadLe16(p + 8);
    date.minute = loadLe16(p + 10);
    date.second = loadLe16(p + 12);
    date.milliseconds = loadLe16(p + 14);
    return date;
}

void storeHeader(unsigned char* p, const ArchiveHeader& header) {
    std::memcpy(p + kMagicOffset, header.magic, sizeof header.magic);
    storeLe32(p + kKeyOffset, header.key);
    storeLe32(p + kFileCountOffset, static_cast<std::uint32_t>(header.fileCount));
    storeLe32(p + kDirCountOffset, static_cast<std::uint32_t>(header.dirCount));
    storeLe32(p + kFileTableSizeOffset, header.fileTableSize);
    storeLe32(p + kDirTableSizeOffset, header.dirTableSize);
    storeLe32(p + kVersionOffset, header.versionBits);
    storeLe32(p + kHeaderCrcOffset, header.headerCrc);
    storeLe32(p + kFileTableCrcOffset, header.fileTableCrc);
    storeLe32(p + kDirTableCrcOffset, header.dirTableCrc);
    storeLe32(p + kFormatCodeOffset, header.formatCode);
}

ArchiveHeader loadHeader(const unsigned char* p) {
    ArchiveHeader header;
    std::memcpy(header.magic, p + kMagicOffset, sizeof header.magic);
    header.key = loadLe32(p + kKeyOffset);
    header.fileCount = static_cast<std::int32_t>(loadLe32(p + kFileCountOffset));
    header.dirCount = static_cast<std::int32_t>(loadLe32(p + kDirCountOffset));
    header.fileTableSize = loadLe32(p + kFileTableSizeOffset);
    header.dirTableSize = loadLe32(p + kDirTableSizeOffset);
    header.versionBits = loadLe32(p + kVersionOffset);
    header.headerCrc = loadLe32(p + kHeaderCrcOffset);
    header.fileTableCrc = loadLe32(p + kFileTableCrcOffset);
    header.dirTableCrc = loadLe32(p + kDirTableCrcOffset);
    header.formatCode = loadLe32(p + kFormatCodeOffset);
    return header;
}

unsigned char* storeName(unsigned char* p, const zs& name) {
    std::memcpy(p, name.data(), name.size());
    p[name.size()] = '\0';
    return p + name.size() + 1;
}

// The entry's name at table[offset], up to its NUL; false when the NUL is
// not inside the table.
bool loadName(const unsigned char* table, std::size_t size, std::size_t offset, zs& name) {
    if (offset >= size)
        return false;
    const void* end = std::memchr(table + offset, '\0', size - offset);
    if (end == nullptr)
        return false;
    name.assign(reinterpret_cast<const char*>(table + offset),
                static_cast<std::size_t>(static_cast<const unsigned char*>(end) - (table + offset)));
    return true;
}

} // namespace

ByteBuffer buildCatalogue(ArchiveHeader& header, const zvector<FileEntry>& files, const zvector<DirEntry>& dirs) {
    std::size_t fileTableSize = 0;
    for (const FileEntry& entry : files)
        fileTableSize += fileEntrySize(entry);
    std::size_t dirTableSize = 0;
    for (const DirEntry& entry : dirs)
        dirTableSize += dirEntrySize(entry);

    header.fileCount = static_cast<std::int32_t>(files.size());
    header.dirCount = static_cast<std::int32_t>(dirs.size());
    header.fileTableSize = static_cast<std::uint32_t>(fileTableSize);
    header.dirTableSize = static_cast<std::uint32_t>(dirTableSize);
    header.headerCrc = 0;
    header.fileTableCrc = 0;
    header.dirTableCrc = 0;

    ByteBuffer buffer(kHeaderSize + fileTableSize + dirTableSize);
    unsigned char* const fileTable = buffer.data() + kHeaderSize;
    unsigned char* const dirTable = fileTable + fileTableSize;

    unsigned char* p = fileTable;
    for (const FileEntry& entry : files) {
        p = storeName(p, entry.name);
        storeLe32(p + kSizeOffset, entry.size);
        storeLe32(p + kStoredSizeOffset, entry.storedSize);
        storeLe32(p + kReserved1Offset, entry.reserved1);
        storeLe32(p + kDirIndexOffset, entry.dirIndex);
        storeLe32(p + kReserved2Offset, entry.reserved2);
        storeLe32(p + kStorageOffset, entry.storage);
        storeDate(p + kFileDateOffset, entry.date);
        p += kFileEntryFixedSize - 1;
    }
    for (const DirEntry& entry : dirs) {
        p = storeName(p, entry.name);
        storeDate(p, entry.date);
        p += kDateSize;
    }

    // The table checksums first: the header's own checksum covers them.
    header.fileTableCrc = crc32(fileTable, fileTableSize);
    header.dirTableCrc = crc32(dirTable, dirTableSize);
    storeHeader(buffer.data(), header);
    header.headerCrc = crc32(buffer.data(), kHeaderSize);
    storeLe32(buffer.data() + kHeaderCrcOffset, header.headerCrc);

    const auto key = static_cast<std::int32_t>(header.key);
    scrambleBytes(buffer.data() + kHeaderScrambledOffset, static_cast<std::int32_t>(kHeaderScrambledSize), key);
    scrambleBytes(fileTable, static_cast<std::int32_t>(fileTableSize), key);
    scrambleBytes(dirTable, static_cast<std::int32_t>(dirTableSize), key);
    return buffer;
}

ArchiveHeader unscrambleHeader(unsigned char* bytes) {
    const auto key = static_cast<std::int32_t>(loadLe32(bytes + kKeyOffset));
    unscrambleBytes(bytes + kHeaderScrambledOffset, static_cast<std::int32_t>(kHeaderScrambledSize), key);
    return loadHeader(bytes);
}

bool hasArchiveMagic(const ArchiveHeader& header) {
    return std::memcmp(header.magic, "ZAS", 4) == 0;
}

float archiveVersion(const ArchiveHeader& header) {
    return std::bit_cast<float>(header.versionBits);
}

bool parseFileTable(const unsigned char* table, std::size_t size, std::int32_t count, zvector<FileEntry>& files) {
    files.clear();
    if (count < 0)
        return false;
    // The count comes from the archive: reserve no more than the table can hold.
    files.reserve(std::min<std::size_t>(static_cast<std::size_t>(count), size / kFileEntryFixedSize));
    std::size_t offset = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        FileEntry entry;
        if (!loadName(table, size, offset, entry.name))
            return false;
        if (size - offset < fileEntrySize(entry))
            return false;
        const unsigned char* fields = table + offset + entry.name.size() + 1;
        entry.size = loadLe32(fields + kSizeOffset);
        entry.storedSize = loadLe32(fields + kStoredSizeOffset);
        entry.reserved1 = loadLe32(fields + kReserved1Offset);
        entry.dirIndex = loadLe32(fields + kDirIndexOffset);
        entry.reserved2 = loadLe32(fields + kReserved2Offset);
        entry.storage = loadLe32(fields + kStorageOffset);
        entry.date = loadDate(fields + kFileDateOffset);
        offset += fileEntrySize(entry);
        files.push_back(std::move(entry));
    }
    return true;
}

bool parseDirTable(const unsigned char* table, std::size_t size, std::int32_t count,
                   zmap<std::int32_t, DirEntry>& dirs) {
    dirs.clear();
    if (count < 0)
        return false;
    std::size_t offset = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        DirEntry entry;
        if (!loadName(table, size, offset, entry.name))
            return false;
        if (size - offset < dirEntrySize(entry))
            return false;
        entry.date = loadDate(table + offset + entry.name.size() + 1);
        entry.index = static_cast<std::uint32_t>(i);
        offset += dirEntrySize(entry);
        dirs.emplace(i, std::move(entry));
    }
    return true;
}
