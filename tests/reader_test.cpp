// The archive reader and the view mode: the reader's refusals with their
// exact texts, and the listing's lines and totals.
#include "ArchiveFixture.h"
#include "BuildSupport.h"
#include "TestSupport.h"

#include "app/Modes.h"
#include "read/Reader.h"
#include "app/Console.h"

#include <gtest/gtest.h>

#include <bit>

namespace {

TEST(Reader, LoadsEveryEntryInTableOrderWithDirectoriesKeyedByPosition) {
    TempDir dir;
    const ArchiveDate date = makeDate(2003, 7, 21, 18, 5, 9, 250);
    zvector<FileEntry> entries{fileEntry("a.txt", 3, 3, 1), fileEntry("a.txt", 3, 3, 1),
                               fileEntry("b.spr", 40, 25, 0, kStorageCompressed)};
    entries[2].date = date;
    writeFile(dir / "a.zas", archiveBytes(entries, {{"\\x\\", date}, {"\\"}}, "abcabc" + std::string(25, 'z')));
    const WorkingDirectory inside(dir.path());

    const AllocationCounts before;
    {
        ArchiveReader reader;
        ASSERT_EQ(reader.open("a.zas"), ZAS_OK);
        const FileList& files = reader.files();
        const DirectoryMap& dirs = reader.dirs();
        EXPECT_EQ(reader.header().fileCount, 3);
        ASSERT_EQ(files.size(), 3u);
        EXPECT_EQ(files[0].name, "a.txt");
        EXPECT_EQ(files[1].name, "a.txt");
        EXPECT_EQ(files[2].name, "b.spr");
        EXPECT_EQ(files[2].size, 40u);
        EXPECT_EQ(files[2].storedSize, 25u);
        EXPECT_EQ(files[2].storage, kStorageCompressed);
        EXPECT_EQ(files[2].date, date);
        ASSERT_EQ(dirs.size(), 2u);
        EXPECT_EQ(dirs.at(0).name, "\\x\\"); // the key is the position, whatever the name
        EXPECT_EQ(dirs.at(0).date, date);
        EXPECT_EQ(dirs.at(1).name, "\\");
        // Each entry's bytes follow the one before it.
        EXPECT_EQ(reader.offsetOf(0), reader.dataStart());
        EXPECT_EQ(reader.offsetOf(2), reader.dataStart() + 6);
    }
    EXPECT_TRUE(allocationsBalancedSince(before));
}

TEST(Reader, RefusesWhatIsNotASoundArchiveWithItsOwnMessage) {
    TempDir dir;
    fs::create_directories(dir / "sub");
    writeFile(dir / "empty.zas", "");
    writeFile(dir / "short.zas", "ZA");
    writeFile(dir / "plain.txt", "This is not an archive, it is a text file of more than 44 bytes.");
    const std::string good = archiveBytes({{"\\"}}, {{"a.txt", "abc"}});
    writeFile(dir / "old.zas", archiveBytes({fileEntry("a", 1, 1, 0)}, {{"\\"}}, "a", std::bit_cast<std::uint32_t>(1.1f)));
    writeFile(dir / "bit.zas", archiveBytes({fileEntry("a", 1, 1, 0)}, {{"\\"}}, "a", kVersionBits ^ 1u));
    std::string pastEnd = good;
    patchHeader(pastEnd, kDirTableSizeField, 0x7FFFFFF0u);
    writeFile(dir / "past.zas", pastEnd);
    std::string negative = good;
    patchHeader(negative, kFileCountField, 0xFFFFFFFFu);
    writeFile(dir / "negative.zas", negative);

    const struct {
        const char* archive;
        const char* message;
    } cases[] = {
        {"missing.zas", "Error: Could not open file \"missing.zas\"\n"},
        {"sub", "Error: Could not open file \"sub\"\n"},
        {"empty.zas", "Error: Archive \"empty.zas\" is not a valid file\n"},
        {"short.zas", "Error: Archive \"short.zas\" is not a valid file\n"},
        {"plain.txt", "Error: Archive \"plain.txt\" is not a valid file\n"},
        {"old.zas", "Error: Archive \"old.zas\" version is 1.10, expected version 1.20\n"},
        {"bit.zas", "Error: Archive \"bit.zas\" version is 1.20, expected version 1.20\n"},
        {"past.zas", "Error: Archive \"past.zas\" is damaged\n"},
        {"negative.zas", "Error: Archive \"negative.zas\" is damaged\n"},
    };
    for (const auto& c : cases) {
        // Both reading modes stop after the reader's message.
        for (const char* mode : {"-v", "-x"}) {
            const auto [output, status] = runAfterBanner({mode, c.archive, "out"}, dir.path());
            EXPECT_EQ(output, std::string("Reading archive ") + c.archive + "...\n" + c.message) << mode;
            EXPECT_EQ(status, 0) << c.archive;
        }
    }
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST(Listing, PrintsSizesInTableOrderAndCountsDirectoriesLookedUp) {
    TempDir dir;
    // Two files point at index 7 and one at 9, none of which exists: they list
    // with an empty directory part and add two entries to the dirs count.
    const zvector<FileEntry> files{fileEntry("readme.txt", 12, 12, 0), fileEntry("harbour.map", 0, 0, 1),
                                   fileEntry("huge.dat", 0x80000000u, 0, 1), fileEntry("lost.dat", 5, 0, 7),
                                   fileEntry("lost2.dat", 1, 0, 7), fileEntry("x", 3, 0, 9)};
    writeFile(dir / "a.zas", archiveBytes(files, {{"\\"}, {"\\maps\\"}}, "Hello there!"));

    const auto [output, status] = runAfterBanner({"-v", "a.zas"}, dir.path());
    EXPECT_EQ(output, "Reading archive a.zas...\n"
                      "        12 \\readme.txt\n"
                      "         0 \\maps\\harbour.map\n"
                      "2147483648 \\maps\\huge.dat\n"
                      "         5 lost.dat\n"
                      "         1 lost2.dat\n"
                      "         3 x\n"
                      "\n  Total 2147483669 bytes in 6 files and 4 dirs\n");
    EXPECT_EQ(status, 1);
}

TEST(Listing, TotalsBeyondFourGiBAreTrue) {
    TempDir dir;
    // The listing never reads the data area: three 2 GiB files need none.
    const zvector<FileEntry> files{fileEntry("a", 0x80000000u, 0, 0), fileEntry("b", 0x80000000u, 0, 0),
                                   fileEntry("c", 0x80000000u, 0, 0)};
    writeFile(dir / "a.zas", archiveBytes(files, {{"\\"}}, ""));
    const auto [output, status] = runAfterBanner({"-v", "a.zas"}, dir.path());
    EXPECT_EQ(output, "Reading archive a.zas...\n"
                      "2147483648 \\a\n"
                      "2147483648 \\b\n"
                      "2147483648 \\c\n"
                      "\n  Total 6442450944 bytes in 3 files and 1 dirs\n");
}

TEST(Listing, AnArchiveWithoutFilesPrintsOnlyTheTotals) {
    TempDir dir;
    writeFile(dir / "none.zas", archiveBytes({{"\\"}, {"\\a\\"}}, {}));
    const auto [output, status] = runAfterBanner({"-v", "none.zas"}, dir.path());
    EXPECT_EQ(output, "Reading archive none.zas...\n\n  Total 0 bytes in 0 files and 2 dirs\n");
    EXPECT_EQ(status, 1);
}

TEST(Listing, ReleasesEverythingItTookOnEveryPath) {
    TempDir dir;
    std::string damaged = archiveBytes({{"\\"}}, {{"a.txt", "abc"}});
    patchHeader(damaged, kFileTableSizeField, 5); // the name's NUL falls outside the table
    writeFile(dir / "damaged.zas", damaged);
    writeFile(dir / "good.zas", archiveBytes({{"\\"}, {"\\a\\"}}, {{"a.txt", "abc"}, {"b.txt", "de", 4}}));

    const WorkingDirectory inside(dir.path());
    for (const char* name : {"good.zas", "damaged.zas", "missing.zas"}) {
        const AllocationCounts before;
        testing::internal::CaptureStdout();
        listArchive(name);
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(allocationsBalancedSince(before)) << name;
    }
    clearFlagsForTesting();
}

} // namespace
