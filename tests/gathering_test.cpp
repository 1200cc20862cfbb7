// Walking and sorting the source tree, in-process on small fixture trees.
#include "write/Gathering.h"

#include "BuildSupport.h"
#include "app/Console.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

class Gathering : public ::testing::Test {
protected:
    void SetUp() override { clearFlagsForTesting(); }
    void TearDown() override { clearFlagsForTesting(); }
    TempDir dir;
};

TEST_F(Gathering, SortsPathsCaseInsensitivelyWithEachDirectoryBeforeItsContents) {
    for (const char* name : {"Zeta.txt", "alpha.txt", "a_b.txt", "beta.txt", "Beta/c.bin"})
        writeFile(dir / "data" / name, "x");
    std::string printed;
    EXPECT_EQ(gatherIn(dir.path(), "data", &printed),
              (std::vector<std::string>{"data\\", "data\\a_b.txt", "data\\alpha.txt", "data\\beta.txt",
                                        "data\\Beta\\", "data\\Beta\\c.bin", "data\\Zeta.txt"}));
    EXPECT_EQ(printed, "Gathering files and directories...\n");
    EXPECT_FALSE(warningRaised());
}

TEST(SourceOrder, FoldsOnlyAsciiLettersAndBreaksCaseTiesByBytes) {
    const struct {
        const char* first;
        const char* second;
        int sign;
    } cases[] = {
        {"data\\a_b", "data\\alpha", -1}, // '_' (0x5F) before every folded letter
        {"data\\b.txt", "data\\B\\", -1}, // '.' before the separator
        {"data\\", "data\\x", -1},        // a prefix first
        {"ABC", "abd", -1},
        {"data\\\xE9", "data\\\xC9", 1}, // no folding beyond ASCII: unsigned bytes
        {"data\\z", "data\\\x80", -1},
        {"Readme", "README", 1}, // equal but for case: bytes decide
        {"README", "Readme", -1},
        {"same", "same", 0},
    };
    for (const auto& c : cases) {
        const int result = compareSourcePaths(c.first, c.second);
        EXPECT_EQ((result > 0) - (result < 0), c.sign) << c.first << " vs " << c.second;
    }
}

TEST_F(Gathering, RecordsTimesAndSizesInTheEntryDigits) {
    writeFile(dir / "data" / "five.bin", "12345");
    fs::create_directory(dir / "data" / "sub");
    setWriteTime(dir / "data" / "five.bin", 132539328012345670ull); // 0x01D6DFD10CF1E146
    setWriteTime(dir / "data" / "sub", 132539328000000000ull); // 2021-01-01, 0x01D6DFD10C358000
    zvector<zs> entries;
    gatherIn(dir.path(), "data", nullptr, &entries);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0], zs("000000000000000000000000data\\")); // the root carries no time
    EXPECT_EQ(entries[1], zs("01D6DFD10CF1E14600000005data\\five.bin"));
    EXPECT_EQ(entries[2], zs("01D6DFD10C35800000000000data\\sub\\"));
}

TEST_F(Gathering, RootEntryAndTrailingBackslash) {
    fs::create_directories(dir / "data" / "empty");
    fs::create_directories(dir / "lonely");
    EXPECT_EQ(gatherIn(dir.path(), "data"), (std::vector<std::string>{"data\\", "data\\empty\\"}));
    EXPECT_EQ(gatherIn(dir.path(), "data\\"), (std::vector<std::string>{"data\\", "data\\empty\\"}));
    EXPECT_EQ(gatherIn(dir.path(), "lonely"), (std::vector<std::string>{"lonely\\"}));
}

TEST_F(Gathering, MissingSourceOrAFileYieldsNothingAndSaysWhy) {
    writeFile(dir / "file.txt", "x");
    const struct {
        const char* source;
        const char* warning;
    } cases[] = {
        {"missing", "Warning: Source directory \"missing\" does not exist\n"},
        {"file.txt", "Warning: Source \"file.txt\" is not a directory\n"},
    };
    for (const auto& c : cases) {
        clearFlagsForTesting();
        std::string printed;
        EXPECT_TRUE(gatherIn(dir.path(), c.source, &printed).empty()) << c.source;
        EXPECT_EQ(printed, std::string("Gathering files and directories...\n") + c.warning);
        EXPECT_TRUE(warningRaised());
    }
    clearFlagsForTesting();
}

TEST_F(Gathering, EmptySourceWalksTheCurrentDirectory) {
    writeFile(dir / "top.txt", "x");
    writeFile(dir / "sub" / "inner.txt", "y");
    EXPECT_EQ(gatherIn(dir.path(), ""), (std::vector<std::string>{"", "sub\\", "sub\\inner.txt", "top.txt"}));
}

TEST(SplitSourceEntry, SeparatesTimeSizeDirectoryAndName) {
    const struct {
        const char* entry;
        std::uint64_t time;
        std::uint32_t size;
        const char* fullPath;
        const char* directoryPart;
        const char* namePart;
    } cases[] = {
        {"01D6DFD10C35800000000000data\\sub\\", 0x01D6DFD10C358000ull, 0, "data\\sub\\", "data\\sub\\", ""},
        {"000001C10000002AFFFFFFFFdata\\sub\\f.txt", 0x1C10000002Aull, 0xFFFFFFFFu, "data\\sub\\f.txt",
         "data\\sub\\", "f.txt"},
        {"000000000000000000000007top.txt", 0, 7, "top.txt", "", "top.txt"},
        {"000000000000000000000000", 0, 0, "", "", ""},
    };
    for (const auto& c : cases) {
        FILETIME time{};
        zs fullPath("stale");
        zs directoryPart("stale");
        zs namePart("stale");
        std::uint32_t size = 1;
        splitSourceEntry(zs(c.entry), time, fullPath, directoryPart, namePart, size);
        EXPECT_EQ(fileTimeValue(time), c.time) << c.entry;
        EXPECT_EQ(size, c.size) << c.entry;
        EXPECT_EQ(fullPath, zs(c.fullPath)) << c.entry;
        EXPECT_EQ(directoryPart, zs(c.directoryPart)) << c.entry;
        EXPECT_EQ(namePart, zs(c.namePart)) << c.entry;
    }
}

TEST_F(Gathering, ReleasesEverythingItAllocates) {
    writeFile(dir / "data" / "a.txt", "a");
    writeFile(dir / "data" / "sub" / "b.txt", "b");
    for (const unsigned threads : {1u, 2u}) {
        const AllocationCounts before;
        {
            WorkingDirectory inside(dir.path());
            zvector<zs> list;
            Reporter silent;
            gatherSources(zs("data"), list, silent, threads);
            EXPECT_EQ(list.size(), 4u);
        }
        EXPECT_TRUE(allocationsBalancedSince(before)) << threads << " threads";
    }
}

// Directories listed on threads ahead of the walk: the same entries and
// the same output as one thread, on a tree with more directories waiting
// than the workers list ahead, nested ones, and items left out.
TEST_F(Gathering, ListingOnThreadsFindsWhatOneThreadFinds) {
    for (int i = 0; i < 150; ++i) {
        const fs::path folder = dir / "data" / ("d" + std::to_string(i % 10)) / ("e" + std::to_string(i));
        writeFile(folder / "f.txt", std::string(static_cast<std::size_t>(i), 'x'));
        if (i % 7 == 0)
            fs::create_directories(folder / "empty" / "deeper");
    }
#ifndef _WIN32
    writeFile(dir / "data" / "d3" / "back\\slash", "x");
    writeFile(dir / "data" / "d4" / "e4" / "trailing.", "x");
    fs::create_symlink("nowhere", dir / "data" / "d5" / "dangling");
    fs::create_directory_symlink("..", dir / "data" / "d6" / "up");
#endif
    std::string printedByOne;
    zvector<zs> byOne;
    gatherIn(dir.path(), "data", &printedByOne, &byOne, 1);
    ASSERT_GT(byOne.size(), 300u);
    for (const unsigned threads : {2u, 8u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        std::string printed;
        zvector<zs> entries;
        gatherIn(dir.path(), "data", &printed, &entries, threads);
        EXPECT_EQ(printed, printedByOne);
        EXPECT_TRUE(entries == byOne);
    }
}

} // namespace
