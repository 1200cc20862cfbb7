#include "archive/Format.h"
#include "archive/Scramble.h"
#include "app/Services.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

FileEntry makeFile(const char* name, std::uint32_t size, std::uint32_t storedSize, std::uint32_t dirIndex,
                   std::uint32_t storage, ArchiveDate date = {}) {
    FileEntry entry;
    entry.name = name;
    entry.size = size;
    entry.storedSize = storedSize;
    entry.dirIndex = dirIndex;
    entry.storage = storage;
    entry.date = date;
    return entry;
}

DirEntry makeDir(const char* name, ArchiveDate date = {}) {
    DirEntry entry;
    entry.name = name;
    entry.date = date;
    return entry;
}

void appendLe(Bytes& out, std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void appendName(Bytes& out, const char* name) {
    out.insert(out.end(), name, name + std::strlen(name) + 1);
}

void appendDate(Bytes& out, const ArchiveDate& d) {
    for (std::uint16_t field : {d.year, d.month, d.dayOfWeek, d.day, d.hour, d.minute, d.second, d.milliseconds})
        appendLe(out, field, 2);
}

void appendFile(Bytes& out, const char* name, std::uint32_t size, std::uint32_t storedSize, std::uint32_t dirIndex,
                std::uint32_t storage, const ArchiveDate& date) {
    appendName(out, name);
    for (std::uint32_t field : {size, storedSize, 0u, dirIndex, 0u, storage})
        appendLe(out, field, 4);
    appendDate(out, date);
}

const ArchiveDate kDate{2024, 3, 5, 15, 13, 45, 30, 250};
const ArchiveDate kEpoch{1601, 1, 1, 1, 0, 0, 0, 0};

TEST(Catalogue, IsLaidOutChecksummedAndScrambledRegionByRegion) {
    zvector<FileEntry> files{makeFile("a.txt", 5, 5, 1, kStorageStored, kDate),
                             makeFile("b.bin", 100, 40, 2, kStorageCompressed)};
    zvector<DirEntry> dirs{makeDir("\\"), makeDir("\\data\\", kEpoch), makeDir("\\data\\sub\\", kDate)};
    ArchiveHeader header;
    header.key = 0xFFFE0008u; // negative as a seed

    const ByteBuffer catalogue = buildCatalogue(header, files, dirs);

    Bytes fileTable;
    appendFile(fileTable, "a.txt", 5, 5, 1, 3, kDate);
    appendFile(fileTable, "b.bin", 100, 40, 2, 1, {});
    Bytes dirTable;
    appendName(dirTable, "\\");
    appendDate(dirTable, {});
    appendName(dirTable, "\\data\\");
    appendDate(dirTable, kEpoch);
    appendName(dirTable, "\\data\\sub\\");
    appendDate(dirTable, kDate);

    EXPECT_EQ(header.fileCount, 2);
    EXPECT_EQ(header.dirCount, 3);
    EXPECT_EQ(header.fileTableSize, fileTable.size());
    EXPECT_EQ(header.fileTableSize, 5u + 41 + 5 + 41);
    EXPECT_EQ(header.dirTableSize, dirTable.size());
    EXPECT_EQ(header.dirTableSize, 1u + 17 + 6 + 17 + 10 + 17);
    ASSERT_EQ(catalogue.size(), kHeaderSize + fileTable.size() + dirTable.size());

    Bytes plainHeader;
    appendName(plainHeader, "ZAS");
    appendLe(plainHeader, header.key, 4);
    for (std::uint32_t field : {2u, 3u, static_cast<std::uint32_t>(fileTable.size()),
                                static_cast<std::uint32_t>(dirTable.size()), 0x3F99999Au, 0u,
                                File->CRC32(fileTable.data(), static_cast<unsigned>(fileTable.size())),
                                File->CRC32(dirTable.data(), static_cast<unsigned>(dirTable.size())), 3u})
        appendLe(plainHeader, field, 4);
    const std::uint32_t headerCrc = File->CRC32(plainHeader.data(), 44);
    for (int i = 0; i < 4; ++i)
        plainHeader[28 + i] = static_cast<unsigned char>(headerCrc >> (8 * i));
    EXPECT_EQ(header.headerCrc, headerCrc);

    // Each region scrambled by a call of its own, all with the same key.
    const auto key = static_cast<std::int32_t>(header.key);
    Bytes expected = plainHeader;
    scrambleBytes(expected.data() + 8, 36, key);
    Bytes scrambledFiles = fileTable;
    scrambleBytes(scrambledFiles.data(), static_cast<std::int32_t>(scrambledFiles.size()), key);
    Bytes scrambledDirs = dirTable;
    scrambleBytes(scrambledDirs.data(), static_cast<std::int32_t>(scrambledDirs.size()), key);
    expected.insert(expected.end(), scrambledFiles.begin(), scrambledFiles.end());
    expected.insert(expected.end(), scrambledDirs.begin(), scrambledDirs.end());

    EXPECT_EQ(Bytes(catalogue.data(), catalogue.data() + catalogue.size()), expected);
}

TEST(Catalogue, ReadsBackAsItWasWritten) {
    zvector<FileEntry> files{makeFile("readme.txt", 0, 0, 0, kStorageStored, kDate),
                             makeFile("same.txt", 7, 19, 1, kStorageCompressed, kEpoch),
                             makeFile("same.txt", 7, 19, 1, kStorageCompressed, kEpoch)};
    files[1].reserved1 = 11; // kept as read
    zvector<DirEntry> dirs{makeDir("\\", kEpoch), makeDir("\\maps\\", kDate)};
    ArchiveHeader written;
    written.key = 0; // acts as 1
    ByteBuffer catalogue = buildCatalogue(written, files, dirs);

    const ArchiveHeader read = unscrambleHeader(catalogue.data());
    EXPECT_TRUE(hasArchiveMagic(read));
    EXPECT_EQ(read.versionBits, kVersionBits);
    EXPECT_EQ(read.fileCount, 3);
    EXPECT_EQ(read.dirCount, 2);
    EXPECT_EQ(read.headerCrc, written.headerCrc);
    EXPECT_EQ(read.formatCode, 3u);

    unsigned char* fileTable = catalogue.data() + kHeaderSize;
    unsigned char* dirTable = fileTable + read.fileTableSize;
    unscrambleBytes(fileTable, static_cast<std::int32_t>(read.fileTableSize), 0);
    unscrambleBytes(dirTable, static_cast<std::int32_t>(read.dirTableSize), 0);

    zvector<FileEntry> parsedFiles;
    ASSERT_TRUE(parseFileTable(fileTable, read.fileTableSize, read.fileCount, parsedFiles));
    ASSERT_EQ(parsedFiles.size(), 3u);
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(parsedFiles[i].name, files[i].name);
        EXPECT_EQ(parsedFiles[i].size, files[i].size);
        EXPECT_EQ(parsedFiles[i].storedSize, files[i].storedSize);
        EXPECT_EQ(parsedFiles[i].reserved1, files[i].reserved1);
        EXPECT_EQ(parsedFiles[i].dirIndex, files[i].dirIndex);
        EXPECT_EQ(parsedFiles[i].storage, files[i].storage);
        EXPECT_EQ(parsedFiles[i].date, files[i].date);
    }
    zmap<std::int32_t, DirEntry> parsedDirs;
    ASSERT_TRUE(parseDirTable(dirTable, read.dirTableSize, read.dirCount, parsedDirs));
    ASSERT_EQ(parsedDirs.size(), 2u);
    EXPECT_EQ(parsedDirs[0].name, "\\");
    EXPECT_EQ(parsedDirs[0].date, kEpoch);
    EXPECT_EQ(parsedDirs[1].name, "\\maps\\");
    EXPECT_EQ(parsedDirs[1].index, 1u);
    EXPECT_EQ(parsedDirs[1].date, kDate);
}

TEST(Catalogue, EmptyTablesParseAsEmpty) {
    zvector<FileEntry> files;
    zmap<std::int32_t, DirEntry> dirs;
    EXPECT_TRUE(parseFileTable(nullptr, 0, 0, files));
    EXPECT_TRUE(parseDirTable(nullptr, 0, 0, dirs));
    EXPECT_TRUE(files.empty());
    EXPECT_TRUE(dirs.empty());
}

// Damaged tables: every one is refused and nothing is read outside the
// table (the sanitizer build checks that; each table is copied into a
// buffer of exactly its size).
TEST(Catalogue, DamagedTablesAreRefused) {
    Bytes oneFile;
    appendFile(oneFile, "f", 1, 1, 0, 3, kDate);
    Bytes oneDir;
    appendName(oneDir, "\\d\\");
    appendDate(oneDir, kDate);

    const struct {
        const char* what;
        Bytes table;
        std::int32_t count;
        bool isFileTable;
    } cases[] = {
        {"negative file count", oneFile, -1, true},
        {"negative directory count", oneDir, -5, false},
        {"more files than the table holds", oneFile, 2, true},
        {"more directories than the table holds", oneDir, 2, false},
        {"file entry cut inside its fields", Bytes(oneFile.begin(), oneFile.end() - 1), 1, true},
        {"directory entry cut inside its date", Bytes(oneDir.begin(), oneDir.end() - 3), 1, false},
        {"file name without its NUL", Bytes{'a', 'b', 'c'}, 1, true},
        {"directory name without its NUL", Bytes{'\\', 'x'}, 1, false},
        {"empty file table with a count", Bytes{}, 1, true},
        {"huge count over a small table", oneFile, 0x7FFFFFFF, true},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> exact(c.table);
        if (c.isFileTable) {
            zvector<FileEntry> files;
            EXPECT_FALSE(parseFileTable(exact.data(), exact.size(), c.count, files)) << c.what;
        } else {
            zmap<std::int32_t, DirEntry> dirs;
            EXPECT_FALSE(parseDirTable(exact.data(), exact.size(), c.count, dirs)) << c.what;
        }
    }
}

TEST(Header, MagicAndVersionAreComparedExactly) {
    ArchiveHeader header;
    EXPECT_TRUE(hasArchiveMagic(header));
    for (const char* magic : {"ZAs", "ZA\0\0", "\0\0\0\0", "ZASX"}) {
        std::memcpy(header.magic, magic, 4);
        EXPECT_FALSE(hasArchiveMagic(header)) << magic;
    }
    header.versionBits = 0x3F8CCCCDu; // 1.1
    EXPECT_EQ(std::string(std::to_string(archiveVersion(header)).substr(0, 4)), "1.10");
    header.versionBits = kVersionBits;
    EXPECT_FLOAT_EQ(archiveVersion(header), 1.2f);
}

} // namespace
