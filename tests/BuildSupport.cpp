#include "BuildSupport.h"

#include "archive/Scramble.h"
#include "platform/Platform.h"
#include "support/Services.h"

#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>

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
    constexpr std::int64_t kEpochDifference = 11644473600;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(static_cast<std::int64_t>(fileTime / 10000000) - kEpochDifference);
    times[1].tv_nsec = static_cast<long>(fileTime % 10000000) * 100;
    if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        throw std::runtime_error("cannot set the time of " + path.string());
}

ArchiveDate dateFromFileTime(std::uint64_t fileTime) {
    const FILETIME time = makeFileTime(fileTime);
    SYSTEMTIME converted{};
    FileTimeToSystemTime(&time, &converted);
    return ArchiveDate{converted.wYear, converted.wMonth,  converted.wDayOfWeek, converted.wDay,
                       converted.wHour, converted.wMinute, converted.wSecond,    converted.wMilliseconds};
}
