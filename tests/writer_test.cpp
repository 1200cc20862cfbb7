// The add and move modes: the built program on small fixture trees (exact
// output, exit status, the archive read back through the format code), and
// in-process runs for files that change under the writer, through the
// platform's test seam.
#include "write/Writer.h"

#include "BuildSupport.h"
#include "archive/Lzss.h"
#include "platform/Platform.h"
#include "app/Console.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kJan2021 = 132539328000000000ull;
const ArchiveDate kZeroDate{};
const ArchiveDate kFirstDay{1601, 1, 1, 1, 0, 0, 0, 0}; // a zero file time: Monday 1601-01-01

std::string program(const std::string& path) {
    std::string converted = path;
    std::replace(converted.begin(), converted.end(), '/', '\\');
    return converted;
}

// f10, f11, ...: names that sort in the order of their numbers.
fs::path numberedName(std::size_t number) {
    return fs::path("f").concat(std::to_string(number));
}

std::vector<std::string> dirNames(const ArchiveContents& archive) {
    std::vector<std::string> names;
    for (const auto& [index, dir] : archive.dirs)
        names.emplace_back(dir.name.c_str());
    return names;
}

// The tree of the format's example: data\a.txt and data\sub\b.txt, with
// known times.
void makeExampleTree(const fs::path& root) {
    writeFile(root / "a.txt", "alpha");
    writeFile(root / "sub" / "b.txt", "beta!!");
    setWriteTime(root / "a.txt", kJan2021 + 10000000);
    setWriteTime(root / "sub" / "b.txt", kJan2021 + 20000000);
    setWriteTime(root / "sub", kJan2021 + 30000000);
}

void expectExampleFiles(const ArchiveContents& archive, std::uint32_t firstDir) {
    ASSERT_EQ(archive.files.size(), 2u);
    const struct {
        const char* name;
        const char* bytes;
        std::uint32_t dirIndex;
        std::uint64_t time;
    } expected[] = {{"a.txt", "alpha", firstDir, kJan2021 + 10000000},
                    {"b.txt", "beta!!", firstDir + 1, kJan2021 + 20000000}};
    for (std::size_t i = 0; i < 2; ++i) {
        const FileEntry& file = archive.files[i];
        EXPECT_EQ(file.name, zs(expected[i].name));
        EXPECT_EQ(file.size, std::strlen(expected[i].bytes));
        EXPECT_EQ(file.storedSize, file.size);
        EXPECT_EQ(file.storage, kStorageStored);
        EXPECT_EQ(file.dirIndex, expected[i].dirIndex);
        EXPECT_EQ(file.reserved1, 0u);
        EXPECT_EQ(file.reserved2, 0u);
        EXPECT_EQ(file.date, dateFromFileTime(expected[i].time));
        EXPECT_EQ(archive.storedBytes(i), expected[i].bytes);
    }
    EXPECT_EQ(archive.data.size(), 11u); // nothing but the two files
}

void expectSoundHeader(const ArchiveContents& archive) {
    ASSERT_TRUE(archive.loaded);
    EXPECT_EQ(archive.header.versionBits, kVersionBits);
    EXPECT_EQ(archive.header.formatCode, kFormatCode);
    EXPECT_EQ(archive.header.key % 131076u, 0u); // the key is rand() * 131076
    EXPECT_LE(archive.header.key / 131076u, 32767u);
    EXPECT_EQ(archive.header.headerCrc, archive.plainHeaderCrc);
    EXPECT_EQ(archive.header.fileTableCrc, archive.plainFileTableCrc);
    EXPECT_EQ(archive.header.dirTableCrc, archive.plainDirTableCrc);
}

TEST(WriterProgram, PacksTheExampleTreeUnderItsSourceName) {
    // A trailing backslash or slash on the source changes nothing.
    for (const char* source : {"data", "data\\", "data/"}) {
        TempDir dir;
        makeExampleTree(dir / "data");
        const ProgramRun run = runZas({"-a", source, "out.zas"}, dir.path());
        EXPECT_EQ(withoutBanner(run), "Copying all files from \"" + program(source) +
                                          "\" to archive \"out.zas\"\n\n"
                                          "Gathering files and directories...\n"
                                          "Found 3 directories and 2 files\n\n"
                                          "Archiving files, 0% complete...    \r" +
                                          closingLines());
        EXPECT_EQ(run.status, 1);

        const ArchiveContents archive = loadArchive(dir / "out.zas");
        expectSoundHeader(archive);
        EXPECT_EQ(archive.header.fileCount, 2);
        EXPECT_EQ(archive.header.dirCount, 3);
        EXPECT_EQ(dirNames(archive), (std::vector<std::string>{"\\", "\\data\\", "\\data\\sub\\"}));
        EXPECT_EQ(archive.dirs.at(0).date, kZeroDate);
        EXPECT_EQ(archive.dirs.at(1).date, kFirstDay);
        EXPECT_EQ(archive.dirs.at(2).date, dateFromFileTime(kJan2021 + 30000000));
        expectExampleFiles(archive, 1);
        EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"data", "out.zas"})); // no file left beside it
    }
}

TEST(WriterProgram, ExcludePathMakesTheSourceTheTopEntry) {
    TempDir dir;
    makeExampleTree(dir / "temp");
    const std::string source = (dir / "temp").string();
    const ProgramRun run = runZas({"-a", "-p", "--", source, "out.zas"}, dir.path());
    EXPECT_EQ(withoutBanner(run), "Copying all files from \"" + program(source) +
                                      "\" to archive \"out.zas\"\n\n"
                                      "Gathering files and directories...\n"
                                      "Found 2 directories and 2 files\n\n"
                                      "Archiving files, 0% complete...    \r" +
                                      closingLines());
    const ArchiveContents archive = loadArchive(dir / "out.zas");
    expectSoundHeader(archive);
    EXPECT_EQ(dirNames(archive), (std::vector<std::string>{"\\", "\\sub\\"}));
    EXPECT_EQ(archive.dirs.at(0).date, kFirstDay);
    expectExampleFiles(archive, 0);
}

TEST(WriterProgram, WithoutFilesWritesNothingSaysSoAndLeavesAnExistingArchiveAlone) {
    const std::string nothing = "Warning: No files to archive; \"out.zas\" was not written\n";
    const struct {
        std::vector<std::string> words;
        std::string report;
    } cases[] = {
        {{"-a", "data", "out.zas"}, "Found 4 directories and 0 files\n\n" + nothing},
        {{"-m", "data", "out.zas"}, "Found 4 directories and 0 files\n\n" + nothing},
        {{"-a", "missing", "out.zas"},
         "Warning: Source directory \"missing\" does not exist\nFound 1 directories and 0 files\n\n"},
        {{"-a", "-p", "missing", "out.zas"},
         "Warning: Source directory \"missing\" does not exist\nFound 0 directories and 0 files\n\n"},
        {{"-a", "plain.txt", "out.zas"},
         "Warning: Source \"plain.txt\" is not a directory\nFound 1 directories and 0 files\n\n"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        fs::create_directories(dir / "data" / "sub" / "deeper");
        writeFile(dir / "plain.txt", "not a directory");
        writeFile(dir / "out.zas", "an older archive");
        const ProgramRun run = runZas(c.words, dir.path());
        const std::string& source = c.words[c.words.size() - 2];
        const char* verb = c.words[0] == "-m" ? "Moving" : "Copying";
        EXPECT_EQ(withoutBanner(run), std::string(verb) + " all files from \"" + source +
                                          "\" to archive \"out.zas\"\n\n"
                                          "Gathering files and directories...\n" +
                                          c.report);
        EXPECT_EQ(run.status, 0); // nothing was written: a failure
        EXPECT_EQ(readFile(dir / "out.zas"), "an older archive");
        EXPECT_TRUE(fs::exists(dir / "data" / "sub" / "deeper")); // move mode removes nothing either
        EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"data", "out.zas", "plain.txt"}));
    }
}

TEST(WriterProgram, CompressesEveryNonEmptyFileIntoOneBlock) {
    TempDir dir;
    const std::string text = [] {
        std::string repeated;
        for (int line = 0; line < 40; ++line)
            repeated += "the harbour map of Tarrow, line " + std::to_string(line % 4) + "\n";
        return repeated;
    }();
    writeFile(dir / "data" / "empty.bin", "");
    writeFile(dir / "data" / "one.bin", "x");
    writeFile(dir / "data" / "text.txt", text);
    const ProgramRun run = runZas({"-a", "-c", "data", "out.zas"}, dir.path());
    EXPECT_EQ(run.status, 1) << run.output;

    const ArchiveContents archive = loadArchive(dir / "out.zas");
    expectSoundHeader(archive);
    ASSERT_EQ(archive.files.size(), 3u);
    // An empty file is stored as it is, and takes no bytes.
    EXPECT_EQ(archive.files[0].storage, kStorageStored);
    EXPECT_EQ(archive.files[0].storedSize, 0u);
    const std::string contents[] = {"", "x", text};
    for (std::size_t i = 1; i < 3; ++i) {
        const FileEntry& file = archive.files[i];
        const std::string block = archive.storedBytes(i);
        EXPECT_EQ(file.storage, kStorageCompressed);
        ASSERT_GE(block.size(), kBlockHeaderSize);
        EXPECT_EQ(block.substr(0, 4), "ZA->");
        std::string expanded(file.size, '\0');
        EXPECT_TRUE(decodeBlock(reinterpret_cast<const unsigned char*>(block.data()), block.size(),
                                reinterpret_cast<unsigned char*>(expanded.data()), expanded.size()));
        EXPECT_EQ(expanded, contents[i]);
    }
    // A block longer than its file still goes in compressed.
    EXPECT_GT(archive.files[1].storedSize, archive.files[1].size);
    EXPECT_LT(archive.files[2].storedSize, archive.files[2].size);
    EXPECT_EQ(archive.data.size(), archive.files[1].storedSize + archive.files[2].storedSize);
}

TEST(WriterProgram, ProgressLinesFollowTheByteCountdown) {
    const struct {
        std::vector<std::size_t> sizes;
        const char* progress;
    } cases[] = {
        // 0 before the first file; the countdown then runs 424288 ... 24288
        // and falls below 0 at the seventh file, after six files done.
        {std::vector<std::size_t>(10, 100000),
         "Archiving files, 0% complete...    \rArchiving files, 60% complete...    \r"},
        {{250000, 750000}, "Archiving files, 0% complete...    \rArchiving files, 25% complete...    \r"},
        // Empty files never move the countdown.
        {{0, 0, 1}, "Archiving files, 0% complete...    \r"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        for (std::size_t i = 0; i < c.sizes.size(); ++i)
            writeFile(dir / "data" / numberedName(10 + i), std::string(c.sizes[i], 'z'));
        const ProgramRun run = runZas({"-a", "data", "out.zas"}, dir.path());
        EXPECT_EQ(withoutBanner(run), "Copying all files from \"data\" to archive \"out.zas\"\n\n"
                                      "Gathering files and directories...\n"
                                      "Found 2 directories and " +
                                          std::to_string(c.sizes.size()) + " files\n\n" + c.progress + closingLines());
    }
}

TEST(WriterProgram, GatheringDrawsDotsEveryFiftyFiles) {
    TempDir dir;
    for (int i = 0; i < 550; ++i)
        writeFile(dir / "data" / numberedName(1000 + i), "");
    const ProgramRun run = runZas({"-a", "data", "out.zas"}, dir.path());
    std::string dots;
    for (int line = 1; line <= 11; ++line)
        dots += std::string(line <= 10 ? line : line - 10, '.') + "          \r";
    EXPECT_EQ(withoutBanner(run), "Copying all files from \"data\" to archive \"out.zas\"\n\n"
                                  "Gathering files and directories...\n" +
                                      dots + "Found 2 directories and 550 files\n\n" + closingLines());
    EXPECT_EQ(loadArchive(dir / "out.zas").files.size(), 550u);
}

TEST(WriterProgram, MoveModeEmptiesTheSourceOnceTheArchiveIsComplete) {
    const struct {
        bool excludePath;
        bool sourceStays;
    } cases[] = {{false, false}, {true, true}};
    for (const auto& c : cases) {
        TempDir dir;
        makeExampleTree(dir / "data");
        const std::string source = c.excludePath ? (dir / "data").string() : "data";
        std::vector<std::string> words{"-m"};
        if (c.excludePath)
            words.insert(words.end(), {"-p", "--"});
        words.insert(words.end(), {source, "out.zas"});
        const ProgramRun run = runZas(words, dir.path());
        EXPECT_EQ(withoutBanner(run), "Moving all files from \"" + program(source) +
                                          "\" to archive \"out.zas\"\n\n"
                                          "Gathering files and directories...\n"
                                          "Found " +
                                          (c.excludePath ? "2" : "3") +
                                          " directories and 2 files\n\n"
                                          "Archiving files, 0% complete...    \r" +
                                          closingLines());
        EXPECT_EQ(run.status, 1);
        expectExampleFiles(loadArchive(dir / "out.zas"), c.excludePath ? 0 : 1);
        EXPECT_EQ(fs::exists(dir / "data"), c.sourceStays);
        if (c.sourceStays) {
            EXPECT_TRUE(fs::is_empty(dir / "data"));
        }
    }
}

TEST(WriterProgram, MoveModeNeverDeletesTheArchiveItWrote) {
    // An older archive inside the tree is packed like any file; afterwards
    // its name belongs to the new archive, which stays.
    TempDir dir;
    writeFile(dir / "data" / "a.txt", "a");
    writeFile(dir / "data" / "out.zas", "older");
    const ProgramRun run = runZas({"-m", "data", "data/out.zas"}, dir.path());
    EXPECT_NE(run.output.find("Warning: Keeping file \"data\\out.zas\": it is the archive itself\n"
                              "Warning: Unable to remove directory \"data\\\"\n"),
              std::string::npos)
        << run.output;
    const ArchiveContents archive = loadArchive(dir / "data" / "out.zas");
    expectSoundHeader(archive);
    ASSERT_EQ(archive.files.size(), 2u);
    EXPECT_EQ(archive.storedBytes(1), "older");
    EXPECT_FALSE(fs::exists(dir / "data" / "a.txt"));
}

TEST(WriterProgram, RefusesAnEmptySource) {
    TempDir dir;
    writeFile(dir / "a.txt", "a");
    for (const char* mode : {"-a", "-m"}) {
        const ProgramRun run = runZas({mode, "", "out.zas"}, dir.path());
        EXPECT_EQ(withoutBanner(run), std::string(mode[1] == 'm' ? "Moving" : "Copying") +
                                          " all files from \"\" to archive \"out.zas\"\n\n"
                                          "Error: Source directory name is empty\n");
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"a.txt"}));
    }
}

TEST(WriterProgram, AnArchiveThatCannotBeCreatedDeletesNothing) {
    TempDir dir;
    makeExampleTree(dir / "data");
    const ProgramRun run = runZas({"-m", "data", "missing/out.zas"}, dir.path());
    EXPECT_EQ(withoutBanner(run), "Moving all files from \"data\" to archive \"missing\\out.zas\"\n\n"
                                  "Gathering files and directories...\n"
                                  "Found 3 directories and 2 files\n\n"
                                  "Error: Could not create archive \"missing\\out.zas\"\n" +
                                      closingLines(" with errors"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readFile(dir / "data" / "sub" / "b.txt"), "beta!!");
}

// In-process runs, for the conditions a test has to bring about itself.
class WriterInProcess : public ::testing::Test {
protected:
    void SetUp() override { clearFlagsForTesting(); }
    void TearDown() override {
        setOpenFileHookForTesting(nullptr);
        clearFlagsForTesting();
    }

    std::string write(const char* source, bool excludePath, bool compress, bool move) {
        return writeInProcess(dir.path(), source, excludePath, compress, move);
    }

    TempDir dir;
};

TEST_F(WriterInProcess, EveryModeReleasesWhatItTakes) {
    const struct {
        bool excludePath;
        bool compress;
        bool move;
    } modes[] = {{false, false, false}, {false, true, false}, {true, false, true}};
    for (const auto& mode : modes) {
        makeExampleTree(dir / "data");
        const std::string output = write("data", mode.excludePath, mode.compress, mode.move);
        EXPECT_NE(output.find(closingLines()), std::string::npos) << output;
        const ArchiveContents archive = loadArchive(dir / "out.zas");
        EXPECT_TRUE(archive.loaded);
        EXPECT_EQ(archive.files.size(), 2u);
    }
}

// What the seam does to data\b.txt just before the writer opens it.
enum class Change { remove, truncate, grow };
Change g_change = Change::remove;

void changeFileB(const char* path) {
    if (std::string(path) != "data\\b.txt")
        return;
    switch (g_change) {
    case Change::remove: fs::remove("data/b.txt"); break;
    case Change::truncate: fs::resize_file("data/b.txt", 3); break;
    case Change::grow: writeFile("data/b.txt", "second file, and then some"); break;
    }
}

TEST_F(WriterInProcess, FilesThatChangeBeforeTheyAreReadAreLeftOut) {
    const struct {
        Change change;
        bool compress;
        bool move;
        const char* warning;
    } cases[] = {
        {Change::remove, false, false,
         "Warning: Could not open file \"data\\b.txt\"; it is left out of the archive\n"},
        {Change::truncate, false, true,
         "Warning: File \"data\\b.txt\" changed size while being archived; it is left out of the archive\n"},
        {Change::grow, true, false,
         "Warning: File \"data\\b.txt\" changed size while being archived; it is left out of the archive\n"},
    };
    for (const auto& c : cases) {
        fs::remove_all(dir / "data");
        writeFile(dir / "data" / "a.txt", "first");
        writeFile(dir / "data" / "b.txt", "second file");
        writeFile(dir / "data" / "c.txt", "third");
        g_change = c.change;
        setOpenFileHookForTesting(changeFileB);
        const std::string output = write("data", false, c.compress, c.move);
        setOpenFileHookForTesting(nullptr);

        std::string expected = std::string(c.move ? "Moving" : "Copying") +
                               " all files from \"data\" to archive \"out.zas\"\n\n"
                               "Gathering files and directories...\n"
                               "Found 2 directories and 3 files\n\n"
                               "Archiving files, 0% complete...    \r" +
                               c.warning;
        if (c.move)
            expected += "Warning: Unable to remove directory \"data\\\"\n";
        EXPECT_EQ(output, expected + closingLines(" with warnings"));
        EXPECT_TRUE(warningRaised());

        // The tables hold the two files that were read, the data area their
        // bytes and nothing else.
        const ArchiveContents archive = loadArchive(dir / "out.zas");
        expectSoundHeader(archive);
        ASSERT_EQ(archive.files.size(), 2u);
        EXPECT_EQ(archive.files[0].name, zs("a.txt"));
        EXPECT_EQ(archive.files[1].name, zs("c.txt"));
        EXPECT_EQ(archive.data.size(), archive.files[0].storedSize + archive.files[1].storedSize);
        if (!c.compress) {
            EXPECT_EQ(archive.data, "firstthird");
        }
        if (c.move) {
            EXPECT_EQ(namesIn(dir / "data"), (std::set<std::string>{"b.txt"}));
            EXPECT_EQ(readFile(dir / "data" / "b.txt"), "sec");
        }
    }
}

TEST_F(WriterInProcess, NothingReadableMeansNoArchive) {
    writeFile(dir / "data" / "b.txt", "second file");
    writeFile(dir / "out.zas", "an older archive");
    g_change = Change::remove;
    setOpenFileHookForTesting(changeFileB);
    const std::string output = write("data", false, false, true);
    EXPECT_NE(output.find("Could not open file \"data\\b.txt\""), std::string::npos) << output;
    EXPECT_EQ(output.substr(output.size() - closingLines(" with warnings").size()), closingLines(" with warnings"));
    EXPECT_EQ(readFile(dir / "out.zas"), "an older archive");
    EXPECT_TRUE(fs::exists(dir / "data"));
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"data", "out.zas"}));
}

} // namespace
