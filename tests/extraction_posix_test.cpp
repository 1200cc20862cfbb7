// Extraction where only a POSIX system can stage the failure.
#include "ArchiveFixture.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(ExtractionPosix, LeavesNothingOfAFileThatCouldNotBeWrittenInFull) {
    TempDir dir;
    writeFile(dir / "a.zas", archiveBytes({{"\\"}}, {{"full", "data"}, {"ok", "fine"}}));
    fs::create_directories(dir / "out");
    fs::create_symlink("/dev/full", dir / "out/full"); // every write to it fails: a full disk

    const ProgramRun run = runZas({"-x", "a.zas", "out"}, dir.path());
    std::string output;
    ASSERT_TRUE(startsWithBanner(run.output, &output)) << run.output;
    EXPECT_EQ(output, "Reading archive a.zas...\n"
                      "Extracting files to \"out\\\"\n"
                      "Extracting files, 0% complete...    \r"
                      "Warning: Could not write file \"out\\full\"\n" +
                          std::string(48, ' ') + "\n  Total 1 files extracted, 1 failed\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "out/full")));
    EXPECT_EQ(readFile(dir / "out/ok"), "fine");
}

} // namespace
