#include "ArchiveFixture.h"

#include "BuildSupport.h"
#include "archive/Scramble.h"
#include "platform/Platform.h"

#include <chrono>
#include <stdexcept>

FileEntry fileEntry(const std::string& name, std::uint32_t size, std::uint32_t storedSize, std::uint32_t dirIndex,
                    std::uint32_t storage) {
    FileEntry entry;
    entry.name = zs(name.c_str(), name.size());
    entry.size = size;
    entry.storedSize = storedSize;
    entry.dirIndex = dirIndex;
    entry.storage = storage;
    return entry;
}

std::string archiveBytes(const zvector<FileEntry>& files, const std::vector<TestDir>& dirs, const std::string& data,
                         std::uint32_t versionBits) {
    zvector<DirEntry> dirEntries;
    for (const TestDir& dir : dirs) {
        DirEntry entry;
        entry.name = zs(dir.name.c_str(), dir.name.size());
        entry.date = dir.date;
        dirEntries.push_back(entry);
    }
    ArchiveHeader header;
    header.key = kTestKey;
    header.versionBits = versionBits;
    const ByteBuffer catalogue = buildCatalogue(header, files, dirEntries);
    return std::string(reinterpret_cast<const char*>(catalogue.data()), catalogue.size()) + data;
}

std::string archiveBytes(const std::vector<TestDir>& dirs, const std::vector<TestFile>& files) {
    zvector<FileEntry> entries;
    std::string data;
    for (const TestFile& file : files) {
        const auto size = static_cast<std::uint32_t>(file.content.size());
        FileEntry entry = fileEntry(file.name, size, size, file.dirIndex);
        entry.date = file.date;
        entries.push_back(entry);
        data += file.content;
    }
    return archiveBytes(entries, dirs, data);
}

void patchHeader(std::string& archive, std::size_t offset, std::uint32_t value) {
    auto* bytes = reinterpret_cast<unsigned char*>(archive.data());
    const auto key = static_cast<std::int32_t>(kTestKey);
    unscrambleBytes(bytes + kHeaderScrambledOffset, static_cast<std::int32_t>(kHeaderScrambledSize), key);
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<unsigned char>(value >> (8 * i));
    scrambleBytes(bytes + kHeaderScrambledOffset, static_cast<std::int32_t>(kHeaderScrambledSize), key);
}

ArchiveDate makeDate(int year, int month, int day, int hour, int minute, int second, int milliseconds) {
    ArchiveDate date;
    date.year = static_cast<std::uint16_t>(year);
    date.month = static_cast<std::uint16_t>(month);
    date.day = static_cast<std::uint16_t>(day);
    date.hour = static_cast<std::uint16_t>(hour);
    date.minute = static_cast<std::uint16_t>(minute);
    date.second = static_cast<std::uint16_t>(second);
    date.milliseconds = static_cast<std::uint16_t>(milliseconds);
    return date;
}

TimePoint timeOf(const ArchiveDate& date) {
    using namespace std::chrono;
    const sys_days day = year{date.year} / month{date.month} / std::chrono::day{date.day};
    return TimePoint(day) + hours{date.hour} + minutes{date.minute} + seconds{date.second} +
           milliseconds{date.milliseconds};
}

namespace {

// 1970-01-01 as a file time: 100-nanosecond units since 1601-01-01.
constexpr std::int64_t kUnixEpochFileTime = 116444736000000000;

} // namespace

// Read through the platform layer, which gives the full 100-nanosecond file
// time on both systems.
TimePoint lastWriteTime(const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    WIN32_FIND_DATAA item;
    HANDLE find = FindFirstFileA((path.parent_path().string() + "\\*").c_str(), &item);
    if (find == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot list the folder of " + path.string());
    bool found = false;
    do
        found = name == item.cFileName;
    while (!found && FindNextFileA(find, &item));
    FindClose(find);
    if (!found)
        throw std::runtime_error("cannot find " + path.string());
    const auto ticks = static_cast<std::int64_t>(fileTimeValue(item.ftLastWriteTime)) - kUnixEpochFileTime;
    return TimePoint(std::chrono::nanoseconds(ticks * 100));
}

void setLastWriteTime(const std::filesystem::path& path, TimePoint time) {
    const std::int64_t ticks = time.time_since_epoch().count() / 100 + kUnixEpochFileTime;
    setWriteTime(path, static_cast<std::uint64_t>(ticks));
}
