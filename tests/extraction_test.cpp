// The extract mode: exact output, destinations, dates, and the archives
// that must not be trusted.
#include "app/Modes.h"
#include "ArchiveFixture.h"
#include "BuildSupport.h"
#include "TestSupport.h"

#include "archive/Lzss.h"
#include "platform/Platform.h"
#include "archive/StoredName.h"
#include "read/Extraction.h"
#include "app/Console.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <utility>

namespace {

const std::string kSummaryBlanks(48, ' ');

std::string pattern(std::size_t length, unsigned seed) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>((i * 131 + seed * 7 + i / 97) & 0xFF);
    return bytes;
}

// Every regular file under root, by its path relative to root, with its
// content.
std::map<std::string, std::string> filesUnder(const fs::path& root) {
    std::map<std::string, std::string> found;
    if (!fs::exists(root))
        return found;
    for (const auto& item : fs::recursive_directory_iterator(root))
        if (item.is_regular_file())
            found[fs::relative(item.path(), root).generic_string()] = readFile(item.path());
    return found;
}

TEST(Extraction, PrintsProgressByTheByteCountdownAndTheSummary) {
    TempDir dir;
    const std::string big1 = pattern(300000, 1), big2 = pattern(300000, 2), big3 = pattern(300000, 3);
    writeFile(dir / "a.zas", archiveBytes({{"\\"}, {"\\maps\\"}},
                                          {{"empty.txt", ""}, {"one.bin", big1}, {"two.map", big2, 1}, {"three.bin", big3}}));

    const auto [output, status] = runAfterBanner({"-x", "a.zas", "out"}, dir.path());
    // The first file of non-zero size prints 0%; the next line comes once more
    // than 524288 bytes have been counted down: before the third big file,
    // with 600000 of 900000 bytes done (66.7%, truncated).
    EXPECT_EQ(output, "Reading archive a.zas...\n"
                      "Extracting files to \"out\\\"\n"
                      "Extracting files, 0% complete...    \r"
                      "Extracting files, 66% complete...    \r" +
                          kSummaryBlanks + "\n  Total 4 files extracted, 0 failed\n");
    EXPECT_EQ(status, 1);
    const std::map<std::string, std::string> expected{
        {"empty.txt", ""}, {"one.bin", big1}, {"maps/two.map", big2}, {"three.bin", big3}};
    EXPECT_EQ(filesUnder(dir / "out"), expected);
}

TEST(Extraction, JoinsTheDestinationLessOneTrailingBackslash) {
    const ArchiveDate date = makeDate(2002, 8, 9, 10, 11, 12, 130);
    const struct {
        std::vector<std::string> words;
        const char* shown;
        const char* lands;
        const char* above; // a level above the destination, which keeps its date
    } cases[] = {
        {{"-x", "a.zas"}, ".", "sub/f.txt", nullptr},
        {{"-x", "a.zas", "out"}, "out", "out/sub/f.txt", nullptr},
        {{"-x", "a.zas", "out\\"}, "out", "out/sub/f.txt", nullptr},
        {{"-x", "a.zas", "out/deeper"}, "out\\deeper", "out/deeper/sub/f.txt", "out"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        writeFile(dir / "a.zas", archiveBytes({{"\\"}, {"\\sub\\", date}}, {{"f.txt", "content", 1}}));
        writeFile(dir / c.lands, "old content that is longer"); // overwritten without notice
        const auto [output, status] = runAfterBanner(c.words, dir.path());
        EXPECT_EQ(output, std::string("Reading archive a.zas...\nExtracting files to \"") + c.shown + "\\\"\n" +
                              "Extracting files, 0% complete...    \r" + kSummaryBlanks +
                              "\n  Total 1 files extracted, 0 failed\n");
        EXPECT_EQ(status, 1);
        EXPECT_EQ(readFile(dir / c.lands), "content") << c.shown;
        const fs::path sub = (dir / c.lands).parent_path();
        EXPECT_EQ(lastWriteTime(sub), timeOf(date)) << c.shown;
        EXPECT_EQ(lastWriteTime(sub.parent_path()), timeOf(date)) << c.shown; // the destination itself
        if (c.above != nullptr) {
            EXPECT_NE(lastWriteTime(dir / c.above), timeOf(date)) << c.shown;
        }
    }
}

TEST(Extraction, AnArchiveWithoutFilesStillCreatesItsDirectories) {
    TempDir dir;
    writeFile(dir / "a.zas", archiveBytes({{"\\"}, {"\\a\\b\\"}}, {}));
    const auto [output, status] = runAfterBanner({"-x", "a.zas", "out"}, dir.path());
    EXPECT_EQ(output, "Reading archive a.zas...\nExtracting files to \"out\\\"\n" + kSummaryBlanks +
                          "\n  Total 0 files extracted, 0 failed\n");
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(fs::is_directory(dir / "out/a/b"));
}

TEST(Extraction, RestoresTheDatesOfFilesAndDirectories) {
    TempDir dir;
    const ArchiveDate x = makeDate(1999, 12, 31, 23, 59, 58, 0);
    const ArchiveDate y = makeDate(2004, 2, 29, 1, 2, 3, 456);
    const ArchiveDate z = makeDate(2011, 6, 15, 12, 0, 0, 0);
    const ArchiveDate f = makeDate(2001, 9, 10, 8, 7, 6, 5);
    writeFile(dir / "a.zas", archiveBytes({{"\\"}, {"\\maps\\", x}, {"\\maps\\deep\\", y}, {"\\text\\", z},
                                           {"\\maps\\undated\\"}},
                                          {{"top.txt", "t", 0, f}, {"m.map", "m", 1, y}, {"d.map", "d", 2, x},
                                           {"e.txt", "e", 3}}));
    const auto [output, status] = runAfterBanner({"-x", "a.zas", "out"}, dir.path());
    EXPECT_EQ(status, 1) << output;

    // Every level a directory's path passes through takes its date, so a
    // shared parent carries the date of the last directory below it that
    // has a date; the top entry and the last one have none and set none.
    // Files written into a directory do not move its date.
    EXPECT_EQ(lastWriteTime(dir / "out"), timeOf(z));
    EXPECT_EQ(lastWriteTime(dir / "out/maps"), timeOf(y));
    EXPECT_EQ(lastWriteTime(dir / "out/maps/deep"), timeOf(y));
    EXPECT_EQ(lastWriteTime(dir / "out/text"), timeOf(z));
    EXPECT_EQ(lastWriteTime(dir / "out/top.txt"), timeOf(f));
    EXPECT_EQ(lastWriteTime(dir / "out/maps/m.map"), timeOf(y));
    EXPECT_EQ(lastWriteTime(dir / "out/maps/deep/d.map"), timeOf(x));
}

TEST(CreateDirectoryPath, CreatesAndDatesEveryLevelUpToTheLastBackslash) {
    TempDir dir;
    const WorkingDirectory inside(dir.path());
    const std::string base = "d";
    const ArchiveDate first = makeDate(2000, 1, 2, 3, 4, 5, 0);
    const ArchiveDate second = makeDate(2010, 5, 6, 7, 8, 9, 0);
    ExtractEventPrinter printer;
    Reporter reporter;
    reporter.setCallback(ExtractEventPrinter::print, &printer);
    clearFlagsForTesting();

    createDirectoryPath(zs((base + "\\a\\b\\").c_str()), first, reporter);
    for (const char* level : {"d", "d/a", "d/a/b"})
        EXPECT_EQ(lastWriteTime(dir / level), timeOf(first)) << level;

    createDirectoryPath(zs((base + "\\a\\c\\").c_str()), second, reporter);
    EXPECT_EQ(lastWriteTime(dir / "d"), timeOf(second));
    EXPECT_EQ(lastWriteTime(dir / "d/a"), timeOf(second));
    EXPECT_EQ(lastWriteTime(dir / "d/a/b"), timeOf(first));

    // Year 0 creates without dating any level; text after the last backslash
    // is left alone.
    createDirectoryPath(zs((base + "\\a\\e\\tail").c_str()), ArchiveDate{}, reporter);
    EXPECT_TRUE(fs::is_directory(dir / "d/a/e"));
    EXPECT_FALSE(fs::exists(dir / "d/a/e/tail"));
    EXPECT_EQ(lastWriteTime(dir / "d"), timeOf(second));
    EXPECT_NE(lastWriteTime(dir / "d/a/e"), timeOf(second));
    EXPECT_FALSE(warningRaised());
}

TEST(StoredName, AcceptsOnlyNamesThatStayBelowTheDestination) {
    const struct {
        const char* directory;
        const char* file;
        bool posix;   // safe under the POSIX rules
        bool windows; // safe under the Windows rules
    } cases[] = {
        {"\\", "a.txt", true, true},
        {"\\data\\maps\\", "harbour.map", true, true},
        {"\\data\\", "..a", true, true},
        {"\\", "", true, true}, // the directory pass checks the directory alone
        {"", "a.txt", false, false},
        {"data\\", "a.txt", false, false},
        {"\\data", "a.txt", false, false},
        {"\\..\\", "a.txt", false, false},
        {"\\.\\", "a.txt", false, false},
        {"\\a\\..\\..\\", "a.txt", false, false},
        {"\\a\\\\b\\", "a.txt", false, false},
        {"\\\\server\\share\\", "a.txt", false, false},
        {"\\a/..\\", "a.txt", false, false},
        {"\\", "..", false, false},
        {"\\", ".", false, false},
        {"\\", "..\\a.txt", false, false},
        {"\\", "../a.txt", false, false},
        // Ordinary names on POSIX; drives, streams or ".." on Windows.
        {"\\c:\\", "a.txt", true, false},
        {"\\12:00\\", "log 12:00.txt", true, false},
        {"\\", "c:a.txt", true, false},
        {"\\...\\", "a.txt", true, false},
        {"\\. .\\", "a.txt", true, false},
        {"\\", "...", true, false},
        {"\\", " x ", true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isSafeStoredPath(c.directory, c.file, NameRules::posix), c.posix) << c.directory << " + " << c.file;
        EXPECT_EQ(isSafeStoredPath(c.directory, c.file, NameRules::windows), c.windows)
            << c.directory << " + " << c.file;
    }
}

// Names that Windows would quietly turn into another name or a device, so
// that one file would land on another; ordinary names on POSIX.
TEST(StoredName, WindowsRefusesNamesItWouldChange) {
    const struct {
        const char* name;
        bool windows;
    } cases[] = {
        {"x.", false},           {"y ", false},         {"a.b.", false},        {". x", true},
        {" x", true},            {"a.b", true},         {"x. .y", true},        {"CON", false},
        {"con", false},          {"Nul.txt", false},    {"aux.tar.gz", false},  {"PRN", false},
        {"com1", false},         {"COM9.log", false},   {"lpt1", false},        {"LPT0", false},
        {"CON .txt", false},     {"COM\xB9", false},    {"lpt\xB3.txt", false}, {"COM\xC2\xB2", false},
        {"CONSOLE", true},       {"com10", true},       {"COM", true},          {"LPT.txt", true},
        {"a.con", true},         {"xnul", true},        {"con_1", true},        {" con", true},
        {"COM\xB4", true},       {"COMx", true},
    };
    for (const auto& c : cases) {
        // As a file name, and as a directory name.
        std::string directory = "\\";
        directory += c.name;
        directory += '\\';
        const std::pair<std::string, std::string> paths[] = {{"\\", c.name}, {directory, "a.txt"}};
        for (const auto& [directoryName, fileName] : paths) {
            EXPECT_TRUE(isSafeStoredPath(directoryName, fileName, NameRules::posix)) << directoryName << " + " << fileName;
            EXPECT_EQ(isSafeStoredPath(directoryName, fileName, NameRules::windows), c.windows)
                << directoryName << " + " << fileName;
        }
    }
}

TEST(StoredName, ASourceThatCanStandInStoredNames) {
    const struct {
        const char* path;
        bool posix;
        bool windows;
    } cases[] = {
        {"data", true, true},         {"data\\", true, true},      {"data\\sub", true, true},
        {"data\\.\\x", false, false}, {"data\\sub\\..\\sub", false, false}, {"..", false, false},
        {"data\\\\x", false, false}, {"data\\\\", false, false},  {"", false, false},
        {"12:00", true, false},       {"...", true, false},        {"data.", true, false},
        {"data\\con", true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isSafeRelativePath(c.path, NameRules::posix), c.posix) << c.path;
        EXPECT_EQ(isSafeRelativePath(c.path, NameRules::windows), c.windows) << c.path;
    }
}

// Files with their stored bytes, put together into an archive.
struct Crafted {
    std::vector<TestDir> dirs{{"\\"}};
    zvector<FileEntry> files;
    std::string data;

    Crafted& dir(const std::string& name) {
        dirs.push_back({name});
        return *this;
    }
    Crafted& file(const std::string& name, const std::string& content, std::uint32_t dirIndex = 0) {
        const auto size = static_cast<std::uint32_t>(content.size());
        return raw(fileEntry(name, size, size, dirIndex), content);
    }
    Crafted& raw(const FileEntry& entry, const std::string& stored) {
        files.push_back(entry);
        data += stored;
        return *this;
    }
    Crafted& truncate(std::size_t bytes) {
        data.resize(data.size() - bytes);
        return *this;
    }
    std::string bytes() const { return archiveBytes(files, dirs, data); }
    std::string patched(std::size_t field, std::uint32_t value) const {
        std::string archive = bytes();
        patchHeader(archive, field, value);
        return archive;
    }
};

std::string blockOf(const std::string& content) {
    std::string block(worstCaseBlockSize(content.size()), '\0');
    const std::int64_t length = encodeBlock(reinterpret_cast<const unsigned char*>(content.data()),
                                            reinterpret_cast<unsigned char*>(block.data()),
                                            static_cast<std::uint32_t>(content.size()));
    block.resize(length < 0 ? 0 : static_cast<std::size_t>(length));
    return block;
}

TEST(Extraction, ProgressAndTotalsBeyondTwoGiBAreTrue) {
    // Three entries of 1 GiB whose bytes the archive does not hold: each is
    // reported as damaged, and the progress runs over their true sizes.
    Crafted crafted;
    for (const char* name : {"a", "b", "c"})
        crafted.raw(fileEntry(name, 0x40000000u, 0x40000000u, 0), "");
    TempDir dir;
    writeFile(dir / "a.zas", crafted.bytes());
    const auto [output, status] = runAfterBanner({"-x", "a.zas", "out"}, dir.path());
    EXPECT_EQ(output, "Reading archive a.zas...\n"
                      "Extracting files to \"out\\\"\n"
                      "Extracting files, 0% complete...    \r"
                      "Warning: File \"out\\a\" is damaged in the archive\n"
                      "Extracting files, 33% complete...    \r"
                      "Warning: File \"out\\b\" is damaged in the archive\n"
                      "Extracting files, 66% complete...    \r"
                      "Warning: File \"out\\c\" is damaged in the archive\n" +
                          kSummaryBlanks + "\n  Total 0 files extracted, 3 failed\n");
    EXPECT_EQ(status, 0);
}

TEST(Extraction, AHostileDeepNameCostsItsLengthOnce) {
    // 16,000 levels in a 32 KB name: refused whole, with one warning, before
    // any level is created, and without a string for every level.
    std::string deep = "\\";
    for (int level = 0; level < 16000; ++level)
        deep += "a\\";
    TempDir dir;
    writeFile(dir / "a.zas", Crafted().dir(deep).file("f", "x", 1).file("ok", "fine").bytes());
    const WorkingDirectory inside(dir.path());

    clearFlagsForTesting();
    const AllocationCounts before;
    testing::internal::CaptureStdout();
    extractArchive("a.zas", "out");
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(allocationsBalancedSince(before));
    // A few strings in all, where one per level would be 16,000.
    EXPECT_LT(AllocationCounts().made - before.made, 100);
    EXPECT_EQ(output, "Reading archive a.zas...\n"
                      "Extracting files to \"out\\\"\n"
                      "Warning: Skipped directory \"" + deep + "\": its path is too long\n"
                      "Extracting files, 0% complete...    \r"
                      "Warning: Skipped file \"f\": its directory was skipped\n" +
                          kSummaryBlanks + "\n  Total 1 files extracted, 1 failed\n");
    EXPECT_EQ(filesUnder(dir / "out"), (std::map<std::string, std::string>{{"ok", "fine"}}));
    EXPECT_FALSE(fs::exists(dir / "out" / "a"));
    clearFlagsForTesting();
}

TEST(Extraction, NeverTrustsTheArchive) {
    const std::string packed = blockOf(std::string(100, 'q'));
    const auto packedSize = static_cast<std::uint32_t>(packed.size());
    constexpr bool windowsNames = kSystemNameRules == NameRules::windows;
    // "@" stands for the destination prefix in the messages.
    const struct {
        const char* what;
        std::string archive;
        std::vector<std::string> messages;
        std::map<std::string, std::string> extracted; // every file under the destination afterwards
        const char* summary;                          // null: the reader refuses the archive
    } cases[] = {
        {"parent directory",
         Crafted().dir("\\..\\").file("evil", "x", 1).file("ok", "fine").bytes(),
         {"Warning: Skipped directory \"\\..\\\": its path is not safe to extract\n",
          "Warning: Skipped file \"evil\": its directory was skipped\n"},
         {{"ok", "fine"}},
         "1 files extracted, 1 failed"},
        {"parent directory further down",
         Crafted().dir("\\a\\..\\..\\").file("evil", "x", 1).file("ok", "fine").bytes(),
         {"Warning: Skipped directory \"\\a\\..\\..\\\": its path is not safe to extract\n",
          "Warning: Skipped file \"evil\": its directory was skipped\n"},
         {{"ok", "fine"}},
         "1 files extracted, 1 failed"},
        {"directory beside the destination",
         Crafted().dir("x\\").file("evil", "x", 1).file("ok", "fine").bytes(),
         {"Warning: Skipped directory \"x\\\": its path is not safe to extract\n"},
         {{"ok", "fine"}},
         "1 files extracted, 1 failed"},
        {"separators in names",
         Crafted().file("..\\evil", "1").file("../evil", "2").file("ok", "fine").bytes(),
         {"Warning: Skipped file \"\\..\\evil\"", "Warning: Skipped file \"\\../evil\""},
         {{"ok", "fine"}},
         "1 files extracted, 2 failed"},
        // Drives, streams and names that Windows trims to "..": refused there,
        // ordinary names on POSIX, as the writer of each system stores them.
        {"drives and dots in names",
         Crafted().dir("\\c:\\").file("c:evil", "3").file("e", "4", 1).file("...", "5").file("ok", "fine").bytes(),
         windowsNames ? std::vector<std::string>{"Warning: Skipped directory \"\\c:\\\"",
                                                 "Warning: Skipped file \"\\c:evil\"",
                                                 "Warning: Skipped file \"e\": its directory was skipped",
                                                 "Warning: Skipped file \"\\...\""}
                      : std::vector<std::string>{},
         windowsNames ? std::map<std::string, std::string>{{"ok", "fine"}}
                      : std::map<std::string, std::string>{
                            {"c:evil", "3"}, {"c:/e", "4"}, {"...", "5"}, {"ok", "fine"}},
         windowsNames ? "1 files extracted, 3 failed" : "4 files extracted, 0 failed"},
        // Names that Windows would turn into another file's name or a device.
        {"trailing dots and blanks, device names",
         Crafted().dir("\\aux\\").file("x", "1").file("x.", "2").file("y ", "3").file("con.txt", "4").file("e", "5", 1)
             .bytes(),
         windowsNames ? std::vector<std::string>{"Warning: Skipped directory \"\\aux\\\"",
                                                 "Warning: Skipped file \"\\x.\"", "Warning: Skipped file \"\\y \"",
                                                 "Warning: Skipped file \"\\con.txt\"",
                                                 "Warning: Skipped file \"e\": its directory was skipped"}
                      : std::vector<std::string>{},
         windowsNames ? std::map<std::string, std::string>{{"x", "1"}}
                      : std::map<std::string, std::string>{
                            {"x", "1"}, {"x.", "2"}, {"y ", "3"}, {"con.txt", "4"}, {"aux/e", "5"}},
         windowsNames ? "1 files extracted, 4 failed" : "5 files extracted, 0 failed"},
        {"directory index without an entry",
         Crafted().file("evil", "x", 5).file("ok", "fine").bytes(),
         {"Warning: Skipped file \"evil\": its path is not safe to extract\n"},
         {{"ok", "fine"}},
         "1 files extracted, 1 failed"},
        {"data area cut short",
         Crafted().file("ok", "fine").file("cut", pattern(100, 4)).raw(fileEntry("zero", 0, 0, 0), "").truncate(90)
             .bytes(),
         {"Warning: File \"@\\cut\" is damaged in the archive\n"},
         {{"ok", "fine"}, {"zero", ""}},
         "2 files extracted, 1 failed"},
        {"stored sizes that disagree",
         Crafted().raw(fileEntry("long", 10, 4, 0), "AAAA").raw(fileEntry("short", 2, 4, 0), "BBBB")
             .file("ok", "fine").bytes(),
         {"Warning: File \"@\\long\" is damaged in the archive\n",
          "Warning: File \"@\\short\" is damaged in the archive\n"},
         {{"ok", "fine"}},
         "1 files extracted, 2 failed"},
        {"blocks too short, too long, or claiming too much",
         Crafted().raw(fileEntry("stub", 5, 5, 0, kStorageCompressed), "ZA->x")
             .raw(fileEntry("long", 50, packedSize, 0, kStorageCompressed), packed)
             .raw(fileEntry("huge", 0xFFFFFF00u, 16, 0, kStorageCompressed), std::string("ZA->\0\xFF\xFF\xFF\4\0\0\0abcd", 16))
             .raw(fileEntry("packed", 100, packedSize, 0, kStorageCompressed), packed)
             .file("ok", "fine").bytes(),
         {"Warning: File \"@\\stub\" is damaged", "Warning: File \"@\\long\" is damaged",
          "Warning: File \"@\\huge\" is damaged"},
         {{"packed", std::string(100, 'q')}, {"ok", "fine"}},
         "2 files extracted, 3 failed"},
        {"entry without a name",
         Crafted().file("", "XXXXX").file("ok", "fine").bytes(),
         {},
         {{"ok", "fine"}},
         "1 files extracted, 0 failed"},
        {"tables past the end of the file",
         Crafted().file("ok", "fine").patched(kFileTableSizeField, 0xFFFFFF00u), {"Error: Archive \"*\" is damaged\n"}, {},
         nullptr},
        {"negative count", Crafted().file("ok", "fine").patched(kDirCountField, 0x80000000u),
         {"Error: Archive \"*\" is damaged\n"}, {}, nullptr},
        {"name without its NUL", Crafted().file("okay", "fine").patched(kFileTableSizeField, 3),
         {"Error: Archive \"*\" is damaged\n"}, {}, nullptr},
        {"more entries than the table holds", Crafted().file("ok", "fine").patched(kFileCountField, 0x7FFFFFFFu),
         {"Error: Archive \"*\" is damaged\n"}, {}, nullptr},
        {"directory count past its table", Crafted().file("ok", "fine").patched(kDirCountField, 2),
         {"Error: Archive \"*\" is damaged\n"}, {}, nullptr},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        writeFile(dir / "a.zas", c.archive);
        writeFile(dir / "victim", "untouched");
        const WorkingDirectory inside(dir.path());
        const std::string archive = "a.zas";
        const std::string prefix = "out";

        clearFlagsForTesting();
        const AllocationCounts before;
        testing::internal::CaptureStdout();
        extractArchive(zs(archive.c_str()), zs(prefix.c_str()));
        const std::string output = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(allocationsBalancedSince(before));

        bool warns = false;
        bool errs = false;
        for (std::string message : c.messages) {
            for (std::size_t at; (at = message.find('@')) != std::string::npos;)
                message.replace(at, 1, prefix);
            for (std::size_t at; (at = message.find('*')) != std::string::npos;)
                message.replace(at, 1, archive);
            EXPECT_NE(output.find(message), std::string::npos) << message << "\nin:\n" << output;
            warns |= message.starts_with("Warning:");
            errs |= message.starts_with("Error:");
        }
        EXPECT_EQ(warningRaised(), warns) << output;
        EXPECT_EQ(errorRaised(), errs) << output;
        if (c.summary != nullptr)
            EXPECT_TRUE(output.ends_with(kSummaryBlanks + "\n  Total " + c.summary + "\n")) << output;
        else
            EXPECT_FALSE(fs::exists(dir / "out"));

        EXPECT_EQ(filesUnder(dir / "out"), c.extracted);
        std::set<std::string> outside;
        for (const auto& item : fs::directory_iterator(dir.path()))
            outside.insert(item.path().filename().string());
        const std::set<std::string> expectedOutside =
            c.summary != nullptr ? std::set<std::string>{"a.zas", "out", "victim"} : std::set<std::string>{"a.zas", "victim"};
        EXPECT_EQ(outside, expectedOutside);
        EXPECT_EQ(readFile(dir / "victim"), "untouched");
    }
    clearFlagsForTesting();
}

TEST(Extraction, ReportsWhatItCannotCreateAndGoesOn) {
    TempDir dir;
    writeFile(dir / "a.zas", archiveBytes({{"\\"}, {"\\sub\\"}}, {{"a", "1", 1}, {"taken", "2"}, {"ok", "fine"}}));
    writeFile(dir / "out/sub", "a file where the directory should go");
    fs::create_directories(dir / "out/taken");

    const auto [output, status] = runAfterBanner({"-x", "a.zas", "out"}, dir.path());
    EXPECT_EQ(output, "Reading archive a.zas...\n"
                      "Extracting files to \"out\\\"\n"
                      "Warning: Unable to create directory \"out\\sub\\\"\n"
                      "Extracting files, 0% complete...    \r"
                      "Warning: Could not write file \"out\\sub\\a\"\n"
                      "Warning: Could not write file \"out\\taken\"\n" +
                          kSummaryBlanks + "\n  Total 1 files extracted, 2 failed\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(dir / "out/sub"), "a file where the directory should go");
    EXPECT_EQ(readFile(dir / "out/ok"), "fine");
}

// A small tree with recorded times, packed by the writer in each of its ways
// and unpacked again.
TEST(RoundTrip, GivesBackNamesContentsAndDates) {
    using namespace std::chrono;
    const TimePoint base = TimePoint(sys_days{2005y / 3 / 14}) + 15h + 9min + 26s;
    const struct {
        const char* path;
        std::string content;
    } files[] = {
        {"data/readme.txt", "Welcome to Tarrow.\r\n"},
        {"data/maps/harbour.map", pattern(70000, 5)},
        {"data/maps/empty.map", ""},
        {"data/gfx/units/knight.spr", std::string(20000, 'k') + pattern(3000, 6)},
    };
    const struct {
        std::vector<std::string> words;
        const char* root; // where the tree lands under the destination
    } ways[] = {
        {{"-a"}, "out/data"},
        {{"-a", "-c"}, "out/data"},
        {{"-a", "-p"}, "out"},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.words.size() == 1 ? "-a" : way.words[1]);
        TempDir dir;
        int step = 0;
        for (const auto& file : files) {
            writeFile(dir / file.path, file.content);
            setLastWriteTime(dir / file.path, base + milliseconds(1234567 * ++step));
        }
        for (const char* level : {"data/gfx/units", "data/gfx", "data/maps", "data"})
            setLastWriteTime(dir / level, base + hours(++step));

        std::vector<std::string> pack = way.words;
        pack.insert(pack.end(), {"data", "a.zas"});
        EXPECT_EQ(runZas(pack, dir.path()).status, 1);
        const ProgramRun listing = runZas({"-v", "a.zas"}, dir.path());
        EXPECT_EQ(listing.status, 1);
        EXPECT_NE(listing.output.find("     70000 \\"), std::string::npos) << listing.output;
        EXPECT_NE(listing.output.find("  Total 93020 bytes in 4 files and "), std::string::npos) << listing.output;
        const ProgramRun extraction = runZas({"-x", "a.zas", "out"}, dir.path());
        EXPECT_EQ(extraction.status, 1) << extraction.output;

        const fs::path root = dir / way.root;
        std::map<std::string, std::string> expected;
        for (const auto& file : files) {
            const std::string below = std::string(file.path).substr(5);
            expected[below] = file.content;
            EXPECT_EQ(lastWriteTime(root / below), lastWriteTime(dir / file.path)) << below;
        }
        EXPECT_EQ(filesUnder(root), expected);
        // Leaves keep their own dates; a parent takes the date of the last
        // directory below it.
        EXPECT_EQ(lastWriteTime(root / "gfx/units"), lastWriteTime(dir / "data/gfx/units"));
        EXPECT_EQ(lastWriteTime(root / "maps"), lastWriteTime(dir / "data/maps"));
        EXPECT_EQ(lastWriteTime(root / "gfx"), lastWriteTime(dir / "data/gfx/units"));
    }
}

} // namespace
