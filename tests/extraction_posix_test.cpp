// Extraction where only a POSIX system can stage the failure: a file size
// limit makes writes fail as on a full disk, for root as for anyone, and
// links can stand where the archive's files go.
#include "ArchiveFixture.h"
#include "PosixSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <set>

namespace {

std::set<std::string> namesIn(const fs::path& directory) {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(directory))
        names.insert(item.path().filename().string());
    return names;
}

TEST(ExtractionPosix, AFileThatCannotBeWrittenInFullLeavesNothingNewAndKeepsAnOldCopy) {
    const std::string big(300000, 'b');
    for (const bool existed : {false, true}) {
        TempDir dir;
        writeFile(dir / "a.zas", archiveBytes({{"\\"}}, {{"big", big}, {"ok", "fine"}}));
        fs::create_directories(dir / "out");
        if (existed)
            writeFile(dir / "out" / "big", "the old copy");

        ProgramRun run;
        {
            const FileSizeLimit limit(100000);
            run = runZas({"-x", "a.zas", "out"}, dir.path());
        }
        EXPECT_EQ(withoutBanner(run), "Reading archive a.zas...\n"
                                      "Extracting files to \"out\\\"\n"
                                      "Extracting files, 0% complete...    \r"
                                      "Warning: Could not write file \"out\\big\"\n" +
                                          std::string(48, ' ') + "\n  Total 1 files extracted, 1 failed\n");
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(readFile(dir / "out" / "ok"), "fine");
        if (existed) {
            EXPECT_EQ(readFile(dir / "out" / "big"), "the old copy");
            EXPECT_EQ(namesIn(dir / "out"), (std::set<std::string>{"big", "ok"}));
        } else {
            EXPECT_EQ(namesIn(dir / "out"), (std::set<std::string>{"ok"}));
        }
    }
}

// A link at an output's name is replaced by the file, never written through,
// whether its target exists or not.
TEST(ExtractionPosix, ReplacesLinksAtOutputNamesInsteadOfWritingThroughThem) {
    TempDir dir;
    writeFile(dir / "a.zas", archiveBytes({{"\\"}}, {{"existing", "new"}, {"dangling", "new"}}));
    writeFile(dir / "outside.txt", "untouched");
    fs::create_directories(dir / "out");
    fs::create_symlink(dir / "outside.txt", dir / "out" / "existing");
    fs::create_symlink(dir / "created-outside.txt", dir / "out" / "dangling");

    const ProgramRun run = runZas({"-x", "a.zas", "out"}, dir.path());
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(readFile(dir / "outside.txt"), "untouched");
    EXPECT_FALSE(fs::exists(dir / "created-outside.txt"));
    for (const char* name : {"existing", "dangling"}) {
        EXPECT_FALSE(fs::is_symlink(dir / "out" / name)) << name;
        EXPECT_EQ(readFile(dir / "out" / name), "new") << name;
    }
}

} // namespace
