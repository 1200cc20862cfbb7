// What the POSIX side of the platform layer does that has no Windows
// counterpart to compare with: times as the system keeps them, links and
// special files.
#include "platform/Platform.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

std::map<std::string, WIN32_FIND_DATAA> listDirectory(const fs::path& directory) {
    const std::string pattern = directory.string() + "\\*";
    std::map<std::string, WIN32_FIND_DATAA> seen;
    WIN32_FIND_DATAA item{};
    HANDLE find = FindFirstFileA(pattern.c_str(), &item);
    if (find == INVALID_HANDLE_VALUE)
        return seen;
    do
        seen[item.cFileName] = item;
    while (FindNextFileA(find, &item));
    FindClose(find);
    return seen;
}

TEST(PosixPlatform, TimesMapToNanosecondsSince1970) {
    TempDir dir;
    writeFile(dir / "f", "x");
    const struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 500}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "f").c_str(), times, 0), 0);
    EXPECT_EQ(fileTimeValue(listDirectory(dir.path())["f"].ftLastWriteTime),
              116444736000000000ull + 10000000000000000ull + 5);

    const FILETIME value = makeFileTime(132539328000000000ull + 1234567);
    HANDLE handle = CreateFileA((dir / "f").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0x02000080, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SetFileTime(handle, &value, &value, &value));
    CloseHandle(handle);
    struct stat info {};
    ASSERT_EQ(stat((dir / "f").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, 1609459200);
    EXPECT_EQ(info.st_mtim.tv_nsec, 123456700);
    EXPECT_EQ(info.st_atim.tv_sec, 1609459200); // no creation time: access time instead
}

TEST(PosixPlatform, ListingMarksLinksAndSpecialFiles) {
    TempDir dir;
    writeFile(dir / "target.txt", "abc");
    fs::create_directory(dir / "sub");
    fs::create_symlink(dir / "target.txt", dir / "file-link");
    fs::create_directory_symlink(dir / "sub", dir / "dir-link");
    fs::create_symlink(dir / "missing", dir / "dangling");
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);

    auto seen = listDirectory(dir.path());
    EXPECT_EQ(seen["target.txt"].dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(seen["sub"].dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(seen["file-link"].dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(seen["file-link"].nFileSizeLow, 3u); // the target's size
    EXPECT_EQ(seen["dir-link"].dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(seen["dangling"].dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_FALSE(seen["dangling"].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(seen["pipe"].dwFileAttributes, FILE_ATTRIBUTE_DEVICE);
}

TEST(PosixPlatform, PathsUseBackslashesInsideAndSlashesOutside) {
    TempDir dir;
    const std::string inside = dir.path().string() + "\\a\\b";
    fs::create_directories(dir / "a");
    ASSERT_TRUE(CreateDirectoryA(inside.c_str(), nullptr));
    EXPECT_TRUE(fs::is_directory(dir / "a" / "b"));
    writeFile(dir / "a" / "b" / "f.txt", "1");
    std::FILE* file = openFile((inside + "\\f.txt").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
}

// Scratch files go where TMPDIR says, nameless; where it names no usable
// directory there is none (the caller then does without).
TEST(PosixPlatform, ScratchFilesAreMadeInTmpdir) {
    TempDir dir;
    const char* saved = std::getenv("TMPDIR");
    const std::string savedValue = saved != nullptr ? saved : "";
    setEnvironment("TMPDIR", dir.path().c_str());
    std::FILE* file = openScratchFile();
    setEnvironment("TMPDIR", (dir / "missing").c_str());
    std::FILE* none = openScratchFile();
    setEnvironment("TMPDIR", saved != nullptr ? savedValue.c_str() : nullptr);

    ASSERT_NE(file, nullptr);
    EXPECT_EQ(none, nullptr);
    char target[4096] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fileno(file));
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind(fs::canonical(dir.path()).string() + "/", 0), 0u) << target;
    EXPECT_TRUE(fs::is_empty(dir.path()));
    std::fclose(file);
}

} // namespace
