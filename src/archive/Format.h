// The archive layout, in one place for the writer and the reader.
//
//   offset 0                 44-byte header (bytes 8..43 scrambled)
//   44                       file table      (fileTableSize bytes, scrambled)
//   44 + fileTableSize       directory table (dirTableSize bytes, scrambled)
//   44 + both table sizes    data area: each file's stored bytes, in file-table
//                            order, back to back; entries hold no offsets
//
// All integers are 32-bit little-endian, nothing is aligned or padded. Names
// are NUL-ended byte strings. Dates are the eight 16-bit fields of a Windows
// SYSTEMTIME, in UTC; an all-zero date (year 0) records no date.
#pragma once

#include "support/Memory.h"

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kHeaderSize = 44;
// Header bytes from here on are scrambled; the magic and the key are plain.
inline constexpr std::size_t kHeaderScrambledOffset = 8;
inline constexpr std::size_t kHeaderScrambledSize = kHeaderSize - kHeaderScrambledOffset;
// A file entry is its name, a NUL and 40 bytes of fields; a directory entry
// its name, a NUL and the 16-byte date.
inline constexpr std::size_t kFileEntryFixedSize = 41;
inline constexpr std::size_t kDirEntryFixedSize = 17;
inline constexpr std::size_t kDateSize = 16;

// 1.2 as an IEEE single; compared bit for bit.
inline constexpr std::uint32_t kVersionBits = 0x3F99999Au;
inline constexpr float kArchiveVersion = 1.2f;
inline constexpr std::uint32_t kFormatCode = 3;

inline constexpr std::uint32_t kStorageCompressed = 1;
inline constexpr std::uint32_t kStorageStored = 3;

// Same fields, same order as a Windows SYSTEMTIME.
struct ArchiveDate {
    std::uint16_t year = 0;
    std::uint16_t month = 0;
    std::uint16_t dayOfWeek = 0;
    std::uint16_t day = 0;
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
    std::uint16_t milliseconds = 0;

    bool operator==(const ArchiveDate&) const = default;
};

// The platform's SYSTEMTIME holds the same eight fields in the same order;
// these copy between the two without tying the layout to the platform.
template <class SystemTime>
ArchiveDate archiveDateOf(const SystemTime& time) {
    return ArchiveDate{time.wYear, time.wMonth,  time.wDayOfWeek, time.wDay,
                       time.wHour, time.wMinute, time.wSecond,    time.wMilliseconds};
}

template <class SystemTime>
SystemTime systemTimeOf(const ArchiveDate& date) {
    SystemTime time;
    time.wYear = date.year;
    time.wMonth = date.month;
    time.wDayOfWeek = date.dayOfWeek;
    time.wDay = date.day;
    time.wHour = date.hour;
    time.wMinute = date.minute;
    time.wSecond = date.second;
    time.wMilliseconds = date.milliseconds;
    return time;
}

struct ArchiveHeader {
    char magic[4] = {'Z', 'A', 'S', '\0'};
    std::uint32_t key = 0;
    std::int32_t fileCount = 0;
    std::int32_t dirCount = 0;
    std::uint32_t fileTableSize = 0;
    std::uint32_t dirTableSize = 0;
    std::uint32_t versionBits = kVersionBits;
    std::uint32_t headerCrc = 0;
    std::uint32_t fileTableCrc = 0;
    std::uint32_t dirTableCrc = 0;
    std::uint32_t formatCode = kFormatCode;
};

struct FileEntry {
    zs name;
    std::uint32_t size = 0;
    std::uint32_t storedSize = 0;
    std::uint32_t reserved1 = 0;
    std::uint32_t dirIndex = 0;
    std::uint32_t reserved2 = 0;
    std::uint32_t storage = kStorageStored;
    ArchiveDate date;
};

struct DirEntry {
    zs name;
    ArchiveDate date;
    std::uint32_t index = 0;
};

// Length of one entry in its table.
inline std::size_t fileEntrySize(const FileEntry& entry) { return entry.name.size() + kFileEntryFixedSize; }
inline std::size_t dirEntrySize(const DirEntry& entry) { return entry.name.size() + kDirEntryFixedSize; }

// The writer's last step. Completes header (counts, table sizes, the three
// checksums; magic, key, version and format code as given) and returns the
// 44 + fileTableSize + dirTableSize bytes that go at offset 0 of the archive:
// header, file table (files in order), directory table (dirs in index
// order), scrambled with header.key.
ByteBuffer buildCatalogue(ArchiveHeader& header, const zvector<FileEntry>& files, const zvector<DirEntry>& dirs);

// The 44 header bytes as they stand on disk: unscrambles bytes 8..43 in place
// with the key at offset 4 and returns the fields.
ArchiveHeader unscrambleHeader(unsigned char* bytes);

// The magic, compared as a NUL-ended string with "ZAS".
bool hasArchiveMagic(const ArchiveHeader& header);
// The version field as a float (1.2 in every archive this format accepts).
float archiveVersion(const ArchiveHeader& header);

// Parse an unscrambled table of count entries. False when the table is
// damaged: a negative count, an entry running past the end of the table, a
// name without its NUL inside it. Nothing is read outside [table, table+size).
// The output is cleared first; on failure it holds the entries parsed so far.
bool parseFileTable(const unsigned char* table, std::size_t size, std::int32_t count, zvector<FileEntry>& files);
// The i-th entry goes under key i, with index i.
bool parseDirTable(const unsigned char* table, std::size_t size, std::int32_t count,
                   zmap<std::int32_t, DirEntry>& dirs);
