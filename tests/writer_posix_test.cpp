// The add and move modes on what only POSIX systems have: names holding a
// backslash, symbolic links, and a file size limit that makes writes fail as
// on a full disk, for root as for anyone.
#include "BuildSupport.h"
#include "PosixSupport.h"
#include "app/Console.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(WriterPosix, MoveModeKeepsWhatItLeftOutAndTheDirectoriesAboveIt) {
    TempDir dir;
    writeFile(dir / "data" / "a.txt", "a");
    writeFile(dir / "data" / "sub" / "odd\\name", "kept");
    const ProgramRun run = runZas({"-m", "data", "out.zas"}, dir.path());
    EXPECT_EQ(withoutBanner(run), "Moving all files from \"data\" to archive \"out.zas\"\n\n"
                                  "Gathering files and directories...\n"
                                  "Warning: Leaving out \"data\\sub\\odd\\name\": a name in the archive cannot hold "
                                  "a backslash\n"
                                  "Found 3 directories and 1 files\n\n"
                                  "Archiving files, 0% complete...    \r"
                                  "Warning: Unable to remove directory \"data\\sub\\\"\n"
                                  "Warning: Unable to remove directory \"data\\\"\n" +
                                      closingLines(" with warnings"));
    EXPECT_EQ(run.status, 0);
    EXPECT_FALSE(fs::exists(dir / "data" / "a.txt"));
    EXPECT_EQ(readFile(dir / "data" / "sub" / "odd\\name"), "kept");
    EXPECT_EQ(loadArchive(dir / "out.zas").files.size(), 1u);
}

TEST(WriterPosix, FileLinksAreStoredWithTheirTargetsBytes) {
    TempDir dir;
    writeFile(dir / "target.txt", "through the link");
    writeFile(dir / "data" / "a.txt", "a");
    fs::create_symlink("../target.txt", dir / "data" / "link.txt");
    const ProgramRun run = runZas({"-a", "data", "out.zas"}, dir.path());
    EXPECT_EQ(run.status, 1) << run.output;
    const ArchiveContents archive = loadArchive(dir / "out.zas");
    ASSERT_EQ(archive.files.size(), 2u);
    EXPECT_EQ(archive.files[1].name, zs("link.txt"));
    EXPECT_EQ(archive.storedBytes(1), "through the link");
}

TEST(WriterPosix, AFailedWriteKeepsTheSourcesAndTheOlderArchive) {
    TempDir dir;
    for (const bool move : {false, true}) {
        writeFile(dir / "data" / "a.txt", "first");
        writeFile(dir / "data" / "big.bin", std::string(300000, 'b'));
        writeFile(dir / "out.zas", "an older archive");
        std::string output;
        {
            const FileSizeLimit limit(100000);
            output = writeInProcess(dir.path(), "data", false, false, move);
        }
        EXPECT_EQ(output, std::string(move ? "Moving" : "Copying") +
                              " all files from \"data\" to archive \"out.zas\"\n\n"
                              "Gathering files and directories...\n"
                              "Found 2 directories and 2 files\n\n"
                              "Archiving files, 0% complete...    \r"
                              "Error: Could not write archive \"out.zas\"\n" +
                              closingLines(" with errors"));
        EXPECT_TRUE(errorRaised());
        clearFlagsForTesting();
        EXPECT_EQ(readFile(dir / "out.zas"), "an older archive");
        EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"data", "out.zas"})); // no partial file left
        EXPECT_EQ(namesIn(dir / "data"), (std::set<std::string>{"a.txt", "big.bin"}));
    }
}

// An archive written over an older one keeps the older one's permission
// bits, whatever the umask: re-packing a private archive leaves it private.
// A new one gets 0666 narrowed by the umask, as any new file.
TEST(WriterPosix, AReplacedArchiveKeepsItsPermissionsAndANewOneFollowsTheUmask) {
    const struct {
        const char* what;
        mode_t umask;
        int older; // the mode of the archive replaced; -1: none
        mode_t expected;
    } cases[] = {
        {"new, umask 022", 022, -1, 0644},
        {"new, umask 077", 077, -1, 0600},
        {"private, replaced under umask 022", 022, 0600, 0600},
        {"shared, replaced under umask 077", 077, 0664, 0664},
        {"read-only, replaced", 022, 0444, 0444},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        writeFile(dir / "data" / "a.txt", "a");
        if (c.older >= 0) {
            writeFile(dir / "a.zas", "an older archive");
            ASSERT_EQ(chmod((dir / "a.zas").c_str(), static_cast<mode_t>(c.older)), 0);
        }
        const mode_t previous = umask(c.umask);
        const ProgramRun run = runZas({"-a", "data", "a.zas"}, dir.path());
        umask(previous);
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_EQ(loadArchive(dir / "a.zas").files.size(), 1u);
        struct stat archive {};
        ASSERT_EQ(stat((dir / "a.zas").c_str(), &archive), 0);
        EXPECT_EQ(archive.st_mode & 07777, c.expected) << std::oct << (archive.st_mode & 07777);
    }
}

// A directory below the source that cannot be listed holds files the user
// expects in the archive: it is named, and the run does not pass for a clean
// one. (Root lists anything, so the program runs as nobody then.)
void runAsNobody() {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
        _exit(126);
}

TEST(WriterPosix, ADirectoryThatCannotBeListedIsNamedAndFailsTheRun) {
    TempDir dir;
    writeFile(dir / "data" / "kept.txt", "kept");
    writeFile(dir / "data" / "closed" / "hidden.txt", "hidden");
    fs::permissions(dir.path(), fs::perms::all);
    fs::permissions(dir / "data" / "closed", fs::perms::none);
    const ProgramRun run = runZasWith({"-a", "data", "out.zas"}, dir.path(), runAsNobody);
    fs::permissions(dir / "data" / "closed", fs::perms::owner_all);
    EXPECT_EQ(withoutBanner(run), "Copying all files from \"data\" to archive \"out.zas\"\n\n"
                                  "Gathering files and directories...\n"
                                  "Warning: Leaving out \"data\\closed\\\": the directory could not be listed\n"
                                  "Found 2 directories and 1 files\n\n"
                                  "Archiving files, 0% complete...    \r" +
                                      closingLines(" with warnings"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(loadArchive(dir / "out.zas").files.size(), 1u);
}

// The walk keeps no directory open while it goes down: a tree far deeper
// than the number of files a process may open is packed whole.
void fewOpenFiles() {
    const rlimit limit{32, 32};
    setrlimit(RLIMIT_NOFILE, &limit);
}

// root/data/d/d/.../d, levels deep, with bottom.txt at the bottom, made one
// level at a time: the standard library refuses to create paths this long.
void plantDeepTree(const fs::path& root, int levels) {
    int directory = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level <= levels; ++level) {
        const char* name = level == 0 ? "data" : "d";
        ASSERT_EQ(mkdirat(directory, name, 0755), 0);
        const int below = openat(directory, name, O_RDONLY | O_DIRECTORY);
        close(directory);
        directory = below;
        ASSERT_GE(directory, 0);
    }
    const int file = openat(directory, "bottom.txt", O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(write(file, "at the bottom", 13), 13);
    close(file);
    close(directory);
}

TEST(WriterPosix, ATreeDeeperThanTheOpenFileLimitIsWalkedWhole) {
    TempDir dir;
    plantDeepTree(dir.path(), 1100);
    const ProgramRun run = runZasWith({"-a", "data", "out.zas"}, dir.path(), fewOpenFiles);
    EXPECT_NE(run.output.find("Found 1102 directories and 1 files\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.status, 1) << run.output;
    const ArchiveContents archive = loadArchive(dir / "out.zas");
    ASSERT_EQ(archive.files.size(), 1u);
    EXPECT_EQ(archive.storedBytes(0), "at the bottom");
}

} // namespace
