// Gathering on what only POSIX systems have: names holding a backslash,
// special files, symbolic links, sparse files and paths of any length.
#include "write/Gathering.h"

#include "BuildSupport.h"
#include "app/Console.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class GatheringPosix : public ::testing::Test {
protected:
    void SetUp() override { clearFlagsForTesting(); }
    void TearDown() override { clearFlagsForTesting(); }
    TempDir dir;
};

// Only a file system that tells letter cases apart holds such names.
TEST_F(GatheringPosix, NamesDifferingOnlyInCaseComeInAFixedOrder) {
    writeFile(dir / "data" / "readme", "1");
    writeFile(dir / "data" / "README", "2");
    writeFile(dir / "data" / "ReadMe", "3");
    EXPECT_EQ(gatherIn(dir.path(), "data"),
              (std::vector<std::string>{"data\\", "data\\README", "data\\ReadMe", "data\\readme"}));
}

TEST_F(GatheringPosix, LeavesOutWhatTheArchiveCannotHoldWithAWarning) {
    writeFile(dir / "data" / "kept.txt", "x");
    writeFile(dir / "data" / "odd\\name.txt", "x");
    writeFile(dir / "data" / "odd\\dir" / "inside.txt", "x");
    ASSERT_EQ(mkfifo((dir / "data" / "pipe").c_str(), 0644), 0);
    std::string printed;
    EXPECT_EQ(gatherIn(dir.path(), "data", &printed), (std::vector<std::string>{"data\\", "data\\kept.txt"}));
    // The listing order is the file system's: compare the warnings as a set.
    for (const char* warning : {"Warning: Leaving out \"data\\odd\\name.txt\": a name in the archive cannot hold a "
                                "backslash\n",
                                "Warning: Leaving out \"data\\odd\\dir\": a name in the archive cannot hold a "
                                "backslash\n",
                                "Warning: Leaving out \"data\\pipe\": it is not a regular file\n"})
        EXPECT_NE(printed.find(warning), std::string::npos) << warning << "\nin\n" << printed;
    EXPECT_TRUE(warningRaised());
}

TEST_F(GatheringPosix, LeavesOutFilesOfFourGibibytesOrMore) {
    writeFile(dir / "data" / "small.bin", "x");
    writeFile(dir / "data" / "huge.bin", "");
    fs::resize_file(dir / "data" / "huge.bin", std::uintmax_t{1} << 32); // sparse: takes no space
    std::string printed;
    EXPECT_EQ(gatherIn(dir.path(), "data", &printed), (std::vector<std::string>{"data\\", "data\\small.bin"}));
    EXPECT_EQ(printed, "Gathering files and directories...\n"
                       "Warning: Leaving out \"data\\huge.bin\": files of 4 GiB or more cannot be stored\n");
}

TEST_F(GatheringPosix, ReadsThroughFileLinksAndNeverFollowsDirectoryLinks) {
    writeFile(dir / "outside.txt", "outside");
    writeFile(dir / "data" / "sub" / "a.txt", "a");
    fs::create_symlink("../..", dir / "data" / "sub" / "up");      // back to an ancestor: would loop
    fs::create_symlink("../outside.txt", dir / "data" / "link.txt"); // to a file outside the tree
    fs::create_symlink("nowhere", dir / "data" / "dangling");
    std::string printed;
    zvector<zs> entries;
    EXPECT_EQ(gatherIn(dir.path(), "data", &printed, &entries),
              (std::vector<std::string>{"data\\", "data\\link.txt", "data\\sub\\", "data\\sub\\a.txt"}));
    // The link's entry describes its target.
    EXPECT_EQ(std::string(entries[1].c_str() + 16, 8), "00000007");
    EXPECT_NE(printed.find("Warning: Leaving out \"data\\sub\\up\": links to directories are not followed\n"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("Warning: Leaving out \"data\\dangling\": it is not a regular file\n"), std::string::npos)
        << printed;
}

TEST_F(GatheringPosix, HandlesPathsBeyondTheOldFixedBound) {
    // Deeper than 511 characters in all: nothing is cut or lost.
    fs::path deep = dir / "data";
    std::string expected = "data\\";
    for (int level = 0; level < 12; ++level) {
        const std::string name(60, static_cast<char>('a' + level));
        deep /= name;
        expected += name + "\\";
    }
    writeFile(deep / "end.txt", "x");
    const std::vector<std::string> paths = gatherIn(dir.path(), "data");
    ASSERT_EQ(paths.size(), 14u);
    EXPECT_EQ(paths.back(), expected + "end.txt");
}

// Deeper than PATH_MAX: the directories are made one level at a time
// relative to the one above, which the system allows at any depth.
TEST_F(GatheringPosix, ReportsDirectoriesWhosePathIsTooLongForTheSystem) {
    writeFile(dir / "data" / "short.txt", "x");
    int parent = open((dir / "data").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(parent, 0);
    const std::string level(200, 'd');
    for (int depth = 0; depth < 25; ++depth) {
        ASSERT_EQ(mkdirat(parent, level.c_str(), 0755), 0);
        const int child = openat(parent, level.c_str(), O_RDONLY | O_DIRECTORY);
        close(parent);
        ASSERT_GE(child, 0);
        parent = child;
    }
    const int file = openat(parent, "deep.txt", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(file, 0);
    close(file);
    close(parent);

    std::string printed;
    const std::vector<std::string> paths = gatherIn(dir.path(), "data", &printed);
    EXPECT_NE(std::find(paths.begin(), paths.end(), "data\\short.txt"), paths.end());
    for (const std::string& path : paths)
        EXPECT_LT(path.size(), 4096u);
    EXPECT_NE(printed.find("\": its path is too long\n"), std::string::npos) << printed.substr(0, 300);
    EXPECT_TRUE(warningRaised());
}

} // namespace
