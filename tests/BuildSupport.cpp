#include "app/Modes.h"
#include "BuildSupport.h"

#include "archive/Scramble.h"
#include "write/Gathering.h"
#include "write/Writer.h"
#include "platform/Platform.h"
#include "app/Console.h"
#include "app/Services.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

WorkingDirectory::WorkingDirectory(const fs::path& directory) : m_previous(fs::current_path()) {
    fs::current_path(directory);
}

WorkingDirectory::~WorkingDirectory() {
    std::error_code error;
    fs::current_path(m_previous, error);
}

std::string ArchiveContents::storedBytes(std::size_t i) const {
    std::size_t offset = 0;
    for (std::size_t before = 0; before < i; ++before)
        offset += files[before].storedSize;
    if (offset + files[i].storedSize > data.size())
        return "<past the end of the data area>";
    return data.substr(offset, files[i].storedSize);
}

ArchiveContents loadArchive(const fs::path& path) {
    ArchiveContents contents;
    std::string bytes = readFile(path);
    if (bytes.size() < kHeaderSize)
        return contents;
    auto* raw = reinterpret_cast<unsigned char*>(bytes.data());
    contents.header = unscrambleHeader(raw);
    const std::size_t fileTableSize = contents.header.fileTableSize;
    const std::size_t dirTableSize = contents.header.dirTableSize;
    if (!hasArchiveMagic(contents.header) || kHeaderSize + fileTableSize + dirTableSize > bytes.size())
        return contents;
    unsigned char plainHeader[kHeaderSize];
    std::memcpy(plainHeader, raw, kHeaderSize);
    std::memset(plainHeader + 28, 0, 4); // the header checksum's own field
    contents.plainHeaderCrc = File->CRC32(plainHeader, kHeaderSize);
    unsigned char* fileTable = raw + kHeaderSize;
    unsigned char* dirTable = fileTable + fileTableSize;
    const auto key = static_cast<std::int32_t>(contents.header.key);
    unscrambleBytes(fileTable, static_cast<std::int32_t>(fileTableSize), key);
    unscrambleBytes(dirTable, static_cast<std::int32_t>(dirTableSize), key);
    contents.plainFileTableCrc = File->CRC32(fileTable, static_cast<unsigned>(fileTableSize));
    contents.plainDirTableCrc = File->CRC32(dirTable, static_cast<unsigned>(dirTableSize));
    contents.loaded = parseFileTable(fileTable, fileTableSize, contents.header.fileCount, contents.files) &&
                      parseDirTable(dirTable, dirTableSize, contents.header.dirCount, contents.dirs);
    contents.data = bytes.substr(kHeaderSize + fileTableSize + dirTableSize);
    return contents;
}

void setWriteTime(const fs::path& path, std::uint64_t fileTime) {
    const std::string name = path.string();
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " + name);
    const FILETIME time = makeFileTime(fileTime);
    const bool set = SetFileTime(handle, nullptr, nullptr, &time) != 0;
    CloseHandle(handle);
    if (!set)
        throw std::runtime_error("cannot set the time of " + name);
}

ArchiveDate dateFromFileTime(std::uint64_t fileTime) {
    const FILETIME time = makeFileTime(fileTime);
    SYSTEMTIME converted{};
    FileTimeToSystemTime(&time, &converted);
    return archiveDateOf(converted);
}

std::string closingLines(const char* outcome) {
    return std::string(40, ' ') + "\nArchiving completed" + outcome + ".\n\n";
}

std::set<std::string> namesIn(const fs::path& directory) {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(directory))
        names.insert(item.path().filename().string());
    return names;
}

std::string writeInProcess(const fs::path& directory, const char* source, bool excludePath, bool compress,
                           bool move) {
    WorkingDirectory inside(directory);
    clearFlagsForTesting();
    const AllocationCounts before;
    ::testing::internal::CaptureStdout();
    writeArchive(zs(source), zs("out.zas"), excludePath, compress, move);
    const std::string output = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(allocationsBalancedSince(before)) << output;
    return output;
}

std::vector<std::string> gatherIn(const fs::path& directory, const std::string& source, std::string* printed,
                                  zvector<zs>* entries, unsigned threads) {
    WorkingDirectory inside(directory);
    zvector<zs> list;
    list.push_back(zs("left over from before"));
    ::testing::internal::CaptureStdout();
    WriteEventPrinter printer;
    Reporter reporter;
    reporter.setCallback(WriteEventPrinter::print, &printer);
    gatherSources(zs(source.c_str()), list, reporter, threads);
    const std::string output = ::testing::internal::GetCapturedStdout();
    if (printed != nullptr)
        *printed = output;
    std::vector<std::string> paths;
    for (const zs& entry : list)
        paths.emplace_back(entry.c_str() + kSourceEntryDigits);
    if (entries != nullptr)
        *entries = std::move(list);
    return paths;
}
