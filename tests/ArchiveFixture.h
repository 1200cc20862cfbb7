// Tiny archives made by the format code, for the reader, the listing and the
// extraction tests: intact ones from names and contents, damaged ones by
// giving the entries' fields directly and patching the header afterwards.
#pragma once

#include "archive/Format.h"
#include "support/Memory.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

inline constexpr std::uint32_t kTestKey = 0x5A17C0DEu;

struct TestDir {
    std::string name;
    ArchiveDate date{};
};

// A stored file: its size and storedSize are its content's length.
struct TestFile {
    std::string name;
    std::string content;
    std::uint32_t dirIndex = 0;
    ArchiveDate date{};
};

FileEntry fileEntry(const std::string& name, std::uint32_t size, std::uint32_t storedSize, std::uint32_t dirIndex,
                    std::uint32_t storage = kStorageStored);

// Header, tables and data area, as the writer lays them out.
std::string archiveBytes(const zvector<FileEntry>& files, const std::vector<TestDir>& dirs, const std::string& data,
                         std::uint32_t versionBits = kVersionBits);
std::string archiveBytes(const std::vector<TestDir>& dirs, const std::vector<TestFile>& files);

// Replaces the 32-bit header field at offset (8 to 40) of a finished archive,
// scrambling included.
void patchHeader(std::string& archive, std::size_t offset, std::uint32_t value);

// Offsets of the scrambled header fields.
inline constexpr std::size_t kFileCountField = 8;
inline constexpr std::size_t kDirCountField = 12;
inline constexpr std::size_t kFileTableSizeField = 16;
inline constexpr std::size_t kDirTableSizeField = 20;

// A date with every field set, and the same instant as a time point (UTC).
ArchiveDate makeDate(int year, int month, int day, int hour, int minute, int second, int milliseconds);
using TimePoint = std::chrono::sys_time<std::chrono::nanoseconds>;
TimePoint timeOf(const ArchiveDate& date);
TimePoint lastWriteTime(const std::filesystem::path& path);
void setLastWriteTime(const std::filesystem::path& path, TimePoint time);
