#include "platform/Platform.h"
#include "support/CrtRandom.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <string>


namespace {

void setLastWriteTime(const std::string& path, std::uint64_t time) {
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0x02000080, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << path;
    const FILETIME value = makeFileTime(time);
    EXPECT_TRUE(SetFileTime(handle, nullptr, nullptr, &value));
    CloseHandle(handle);
}

std::uint64_t lastWriteTime(const std::string& path) {
    WIN32_FIND_DATAA item{};
    // List the parent and pick the item: the listing is the program's only
    // way to read times.
    const std::size_t separator = path.find_last_of("\\/");
    const std::string pattern = path.substr(0, separator) + "\\*";
    const std::string name = path.substr(separator + 1);
    HANDLE find = FindFirstFileA(pattern.c_str(), &item);
    std::uint64_t time = 0;
    if (find == INVALID_HANDLE_VALUE)
        return time;
    do
        if (name == item.cFileName)
            time = fileTimeValue(item.ftLastWriteTime);
    while (FindNextFileA(find, &item));
    FindClose(find);
    return time;
}

struct TimeCase {
    std::uint64_t fileTime;
    SYSTEMTIME systemTime; // year, month, day of week, day, hour, minute, second, milliseconds
};

const TimeCase kTimeCases[] = {
    {0, {1601, 1, 1, 1, 0, 0, 0, 0}}, // a Monday
    {116444736000000000ull, {1970, 1, 4, 1, 0, 0, 0, 0}},
    {116444736000000000ull + 10000000ull * 86399 + 9990000, {1970, 1, 4, 1, 23, 59, 59, 999}},
    {125911584000000000ull, {2000, 1, 6, 1, 0, 0, 0, 0}},
    {125962560000000000ull, {2000, 2, 2, 29, 0, 0, 0, 0}},   // leap day of a year divisible by 400
    {94405824000000000ull, {1900, 3, 4, 1, 0, 0, 0, 0}},     // 1900 has no 29 February
    {157520160000000000ull, {2100, 3, 1, 1, 0, 0, 0, 0}},    // nor has 2100
    {132539328000000000ull, {2021, 1, 5, 1, 0, 0, 0, 0}},
    {2650466880000000000ull, {9999, 12, 5, 31, 0, 0, 0, 0}},
    {9151804224000000000ull, {30601, 12, 2, 1, 0, 0, 0, 0}},
    {9223149024000000000ull + 863990000000ull, {30827, 12, 5, 31, 23, 59, 59, 0}},
};

TEST(TimeConversion, FileTimeToSystemTimeGivesTheCalendarInUtc) {
    for (const TimeCase& c : kTimeCases) {
        SYSTEMTIME converted{};
        ASSERT_TRUE(FileTimeToSystemTime(&static_cast<const FILETIME&>(makeFileTime(c.fileTime)), &converted))
            << c.fileTime;
        EXPECT_EQ(converted.wYear, c.systemTime.wYear) << c.fileTime;
        EXPECT_EQ(converted.wMonth, c.systemTime.wMonth) << c.fileTime;
        EXPECT_EQ(converted.wDayOfWeek, c.systemTime.wDayOfWeek) << c.fileTime;
        EXPECT_EQ(converted.wDay, c.systemTime.wDay) << c.fileTime;
        EXPECT_EQ(converted.wHour, c.systemTime.wHour) << c.fileTime;
        EXPECT_EQ(converted.wMinute, c.systemTime.wMinute) << c.fileTime;
        EXPECT_EQ(converted.wSecond, c.systemTime.wSecond) << c.fileTime;
        EXPECT_EQ(converted.wMilliseconds, c.systemTime.wMilliseconds) << c.fileTime;
    }
}

TEST(TimeConversion, SystemTimeToFileTimeIsTheInverse) {
    for (const TimeCase& c : kTimeCases) {
        SYSTEMTIME input = c.systemTime;
        input.wDayOfWeek = 6; // ignored
        FILETIME converted{};
        ASSERT_TRUE(SystemTimeToFileTime(&input, &converted)) << c.fileTime;
        EXPECT_EQ(fileTimeValue(converted), c.fileTime);
    }
}

TEST(TimeConversion, RefusesWhatWindowsRefuses) {
    const SYSTEMTIME invalid[] = {
        {1601, 13, 0, 1, 0, 0, 0, 0},    {1601, 0, 0, 1, 0, 0, 0, 0},    {2001, 4, 0, 31, 0, 0, 0, 0},
        {2001, 2, 0, 29, 0, 0, 0, 0},    {1900, 2, 0, 29, 0, 0, 0, 0},   {2001, 1, 0, 0, 0, 0, 0, 0},
        {2001, 1, 0, 1, 24, 0, 0, 0},    {2001, 1, 0, 1, 0, 60, 0, 0},   {2001, 1, 0, 1, 0, 0, 60, 0},
        {2001, 1, 0, 1, 0, 0, 0, 1000},  {1600, 12, 0, 31, 0, 0, 0, 0},  {30828, 1, 0, 1, 0, 0, 0, 0},
        {0, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const SYSTEMTIME& time : invalid) {
        // Wine checks neither 29 February against leap years nor the last year.
        if (runningUnderWine() && ((time.wMonth == 2 && time.wDay == 29) || time.wYear == 30828))
            continue;
        FILETIME converted = makeFileTime(12345);
        EXPECT_FALSE(SystemTimeToFileTime(&time, &converted))
            << time.wYear << "-" << time.wMonth << "-" << time.wDay << " " << time.wHour << ":" << time.wMinute;
    }
    const SYSTEMTIME leapDay{2000, 2, 0, 29, 0, 0, 0, 0};
    FILETIME converted{};
    EXPECT_TRUE(SystemTimeToFileTime(&leapDay, &converted));

    SYSTEMTIME out{};
    const FILETIME tooLate = makeFileTime(0x8000000000000000ull);
    EXPECT_FALSE(FileTimeToSystemTime(&tooLate, &out));
}

TEST(DirectoryListing, ReportsDotsDirectoriesSizesAndTimes) {
    TempDir dir;
    writeFile(dir / "data" / "five.bin", "12345");
    fs::create_directories(dir / "data" / "sub");
    const std::uint64_t when = 116444736000000000ull + 10000000000000000ull + 5;
    setLastWriteTime((dir / "data" / "five.bin").string(), when);

    const std::string pattern = (dir / "data").string() + "\\*";
    WIN32_FIND_DATAA item{};
    HANDLE find = FindFirstFileA(pattern.c_str(), &item);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    std::map<std::string, WIN32_FIND_DATAA> seen;
    do
        seen[item.cFileName] = item;
    while (FindNextFileA(find, &item));
    FindClose(find);

    ASSERT_EQ(seen.size(), 4u);
    EXPECT_TRUE(seen["."].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(seen[".."].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(seen["sub"].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    const WIN32_FIND_DATAA& file = seen["five.bin"];
    EXPECT_FALSE(file.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(file.nFileSizeLow, 5u);
    EXPECT_EQ(file.nFileSizeHigh, 0u);
    EXPECT_EQ(fileTimeValue(file.ftLastWriteTime), when);
}

TEST(DirectoryListing, FailsForWhatCannotBeListed) {
    TempDir dir;
    writeFile(dir / "file", "x");
    WIN32_FIND_DATAA item{};
    for (const std::string& pattern : {(dir / "missing").string() + "\\*", (dir / "file").string() + "\\*"})
        EXPECT_EQ(FindFirstFileA(pattern.c_str(), &item), INVALID_HANDLE_VALUE) << pattern;
}

TEST(FileOperations, CreateQueryDateAndRemove) {
    TempDir dir;
    const std::string base = dir.path().string();
    const std::string sub = base + "\\made";
    EXPECT_EQ(GetFileAttributesA(sub.c_str()), INVALID_FILE_ATTRIBUTES);
    ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryA(sub.c_str(), nullptr));
    EXPECT_TRUE(GetFileAttributesA(sub.c_str()) & FILE_ATTRIBUTE_DIRECTORY);

    const std::string file = sub + "\\f.txt";
    writeFile(dir / "made" / "f.txt", "abc");
    EXPECT_FALSE(GetFileAttributesA(file.c_str()) & FILE_ATTRIBUTE_DIRECTORY);

    // Set a file's times, then set them again with zero: zero leaves them.
    const std::uint64_t when = 132539328000000000ull + 1234567; // 2021-01-01 plus a little
    const FILETIME value = makeFileTime(when);
    HANDLE handle = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0x02000080, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SetFileTime(handle, &value, &value, &value));
    const FILETIME zero = makeFileTime(0);
    EXPECT_TRUE(SetFileTime(handle, &zero, &zero, &zero));
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_EQ(lastWriteTime(file), when);

    // A directory opens only with backup semantics.
    EXPECT_EQ(CreateFileA(sub.c_str(), GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    handle = CreateFileA(sub.c_str(), GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SetFileTime(handle, &value, &value, &value));
    CloseHandle(handle);
    EXPECT_EQ(lastWriteTime(sub), when);
    EXPECT_EQ(CreateFileA((base + "\\nothing").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0x02000080,
                          nullptr),
              INVALID_HANDLE_VALUE);

    EXPECT_FALSE(RemoveDirectoryA(sub.c_str())); // not empty
    EXPECT_FALSE(DeleteFileA(sub.c_str()));      // not a file
    EXPECT_TRUE(DeleteFileA(file.c_str()));
    EXPECT_FALSE(DeleteFileA(file.c_str()));
    EXPECT_TRUE(RemoveDirectoryA(sub.c_str()));
    EXPECT_EQ(GetFileAttributesA(sub.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(RunTimeGenerator, YieldsFifteenBitsInTheClassicSequence) {
    CrtRandom generator(1);
    const int expected[] = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358};
    for (int value : expected)
        EXPECT_EQ(generator.next(), value);
    generator.seed(0xFFFFFFFFu);
    for (int i = 0; i < 10000; ++i) {
        const int value = generator.next();
        ASSERT_GE(value, 0);
        ASSERT_LE(value, 32767);
    }
}

} // namespace
