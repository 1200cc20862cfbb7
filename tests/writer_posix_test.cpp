// The add and move modes on what only POSIX systems have: names holding a
// backslash, symbolic links, and a file size limit that makes writes fail as
// on a full disk, for root as for anyone.
#include "BuildSupport.h"
#include "PosixSupport.h"
#include "app/Console.h"

#include <gtest/gtest.h>

#include <set>
#include <string>


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

} // namespace
