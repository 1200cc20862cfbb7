// What move mode deletes must come back out: names that are ordinary on
// POSIX, source words that cannot stand in stored names, and the places the
// program takes paths from (the start-up directory, the archive, temporary
// files beside long names).
#include "BuildSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

using Files = std::map<std::string, std::string>; // relative path -> content

TEST(NamesPosix, EveryFileMoveModeTakesIsBackAfterExtractionOrStillOnDisk) {
    const Files odd{{"log 12:00.txt", "precious"}, {"...", "d"},      {"12:00/in.txt", "i"},
                    {" x ", "blank"},              {"a..b", "dots"},  {"odd\\name", "kept"},
                    {"c:/drive", "c"},             {"x.", "dot"},     {"con.txt", "device"}};
    const struct {
        const char* what;
        std::vector<std::string> options;
        std::string source;   // as typed, below the test's directory
        std::string tree;     // the directory the files are in
        std::string restored; // where they come out below the destination
        bool refused;         // the source word is refused: nothing happens
    } cases[] = {
        {"names with colons, dots and blanks", {"-m"}, "data", "data", "data", false},
        {"the same with -p", {"-m", "-p"}, "data", "data", "", false},
        {"a dot-dot component in the source word", {"-m"}, "d2/sub/../sub", "d2/sub", "", true},
        {"a dot component in the source word", {"-m"}, "data/./x", "data/x", "", true},
        {"an empty component in the source word", {"-m"}, "data//x", "data/x", "", true},
        {"a dot-dot component is not stored with -p", {"-m", "-p"}, "d2/sub/../sub", "d2/sub", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        for (const auto& [path, content] : odd)
            writeFile(dir / c.tree / path, content);

        std::vector<std::string> words = c.options;
        words.push_back(c.source);
        words.push_back("o.zas");
        const ProgramRun packed = runZas(words, dir.path());
        if (c.refused) {
            std::string typed = c.source;
            std::replace(typed.begin(), typed.end(), '/', '\\');
            EXPECT_NE(packed.output.find("Error: Source path \"" + typed + "\" must not hold \".\", \"..\" or empty components"),
                      std::string::npos)
                << packed.output;
            EXPECT_EQ(packed.status, 0);
            EXPECT_FALSE(fs::exists(dir / "o.zas"));
        } else {
            EXPECT_NE(packed.output.find("Warning: Leaving out"), std::string::npos) << packed.output;
        }
        const ProgramRun extracted = runZas({"-x", "o.zas", "r"}, dir.path());
        if (!c.refused) {
            EXPECT_NE(extracted.output.find(" 0 failed\n"), std::string::npos) << extracted.output;
        }

        for (const auto& [path, content] : odd) {
            const fs::path onDisk = dir / c.tree / path;
            const fs::path back = dir / "r" / c.restored / path;
            const bool kept = fs::exists(onDisk) && readFile(onDisk) == content;
            const bool restored = fs::exists(back) && readFile(back) == content;
            EXPECT_TRUE(kept || restored) << path;
        }
    }
}

TEST(NamesPosix, AFifoGivenAsArchiveIsRefusedWithoutWaiting) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "pipe.zas").c_str(), 0600), 0);
    for (const char* mode : {"-v", "-x"}) {
        const ProgramRun run = runZas({mode, "pipe.zas", "out"}, dir.path());
        EXPECT_EQ(withoutBanner(run), "Reading archive pipe.zas...\n"
                                      "Error: Could not open file \"pipe.zas\"\n");
        EXPECT_EQ(run.status, 0);
    }
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST(NamesPosix, TheStartUpDirectoryIsTakenAsTheSystemGivesIt) {
    // Run from a directory named a\b: data and o.zas are the ones in it, not
    // a/b/data, which would be another tree.
    TempDir dir;
    const fs::path here = dir / "a\\b";
    writeFile(here / "data" / "f.txt", "mine");
    writeFile(dir / "a" / "b" / "data" / "other.txt", "not mine");
    const ProgramRun run = runZas({"-m", "data", "o.zas"}, here);
    EXPECT_EQ(run.status, 1) << run.output;
    const ArchiveContents archive = loadArchive(here / "o.zas");
    ASSERT_EQ(archive.files.size(), 1u);
    EXPECT_EQ(archive.files[0].name, zs("f.txt"));
    EXPECT_FALSE(fs::exists(dir / "a" / "b" / "o.zas"));
    EXPECT_EQ(readFile(dir / "a" / "b" / "data" / "other.txt"), "not mine");
}

TEST(NamesPosix, LongNamesPackAndExtractOverAnExistingCopy) {
    // A temporary name made by adding to these would pass the 255-byte limit
    // of a name.
    TempDir dir;
    const std::string longName(250, 'n');
    const std::string archive = std::string(250, 'z') + ".zas";
    writeFile(dir / "data" / longName, "long");
    writeFile(dir / archive, "an older archive");
    ProgramRun run = runZas({"-a", "data", archive}, dir.path());
    EXPECT_EQ(run.status, 1) << run.output;
    for (int round = 0; round < 2; ++round) {
        run = runZas({"-x", archive, "r"}, dir.path());
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_EQ(readFile(dir / "r" / "data" / longName), "long");
    }
    EXPECT_EQ(namesIn(dir / "r" / "data"), (std::set<std::string>{longName}));
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"data", "r", archive}));
}

} // namespace
