// Packing and extraction in constant memory: files of every size around the
// buffers they stream through, the coder's carried state from file to file,
// files that change while they are read, and damage found half way through
// a large entry.
#include "app/Modes.h"
#include "BuildSupport.h"
#include "LzssReference.h"
#include "archive/Lzss.h"
#include "platform/Platform.h"
#include "read/Extraction.h"
#include "app/Console.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

// The buffers the data streams through: the copy buffer of the writer and
// the extraction, the coder's source requests and its output pieces.
constexpr std::size_t kCopy = 0x40000;
constexpr std::size_t kRequest = 0x10000;

// Bytes that compress somewhat: runs of noise with repeats at random
// distances, from a fixed seed.
std::string gameLike(std::uint32_t seed, std::size_t size) {
    std::mt19937 random(seed);
    std::string bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
        const std::size_t run = 1 + random() % 40;
        if (bytes.size() > 4096 && random() % 2 == 0) {
            const std::size_t from = bytes.size() - 1 - random() % 4000;
            for (std::size_t i = 0; i < run && bytes.size() < size; ++i)
                bytes.push_back(bytes[from + i]);
        } else {
            for (std::size_t i = 0; i < run && bytes.size() < size; ++i)
                bytes.push_back(static_cast<char>(random() % 64));
        }
    }
    return bytes;
}

// Both codecs carry ring bytes from file to file: coding one input of
// zeros long enough to set all of them makes both start alike.
void primeCodecs() {
    static const unsigned char zeros[64] = {};
    static unsigned char scratch[worstCaseBlockSize(sizeof zeros)];
    encodeBlock(zeros, scratch, sizeof zeros);
    referenceEncodeBlock(zeros, scratch, sizeof zeros);
}

// The blocks the plain coder makes of contents, in order, after primeCodecs.
std::vector<std::string> referenceBlocks(const std::vector<std::string>& contents) {
    std::vector<std::string> blocks;
    for (const std::string& content : contents) {
        std::string block(worstCaseBlockSize(content.size()), '\0');
        const std::int64_t length = referenceEncodeBlock(reinterpret_cast<const unsigned char*>(content.data()),
                                                         reinterpret_cast<unsigned char*>(block.data()),
                                                         static_cast<std::uint32_t>(content.size()));
        block.resize(length < 0 ? 0 : static_cast<std::size_t>(length));
        blocks.push_back(block);
    }
    return blocks;
}

std::string extractInProcess(const fs::path& directory, const char* archive, const char* destination) {
    WorkingDirectory inside(directory);
    clearFlagsForTesting();
    const AllocationCounts before;
    testing::internal::CaptureStdout();
    extractArchive(zs(archive), zs(destination));
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(allocationsBalancedSince(before)) << output;
    return output;
}

// f00.bin, f01.bin, ...: names that sort in the order they are made.
std::string nameOf(std::size_t i) {
    std::string name(i < 10 ? "f0" : "f");
    name += std::to_string(i);
    return name += ".bin";
}

class Streaming : public testing::Test {
protected:
    void TearDown() override {
        setOpenFileHookForTesting(nullptr);
        clearFlagsForTesting();
    }
    TempDir dir;
};

TEST_F(Streaming, FilesOfEverySizeAroundTheBuffersComeBackWholeAndCodeAsOneStream) {
    // Names sort in this order, which is the archive's.
    const std::vector<std::size_t> sizes = {
        0,         1,        17,       18,        35,       kRequest - 1, kRequest,     kRequest + 1,
        kCopy - 1, kCopy,    kCopy + 1, 3 * kCopy + 17, 5,  34,           40,           100000};
    std::vector<std::string> contents;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        contents.push_back(gameLike(static_cast<std::uint32_t>(i), sizes[i]));
        writeFile(dir / "data" / nameOf(i), contents.back());
    }

    for (const bool compress : {false, true}) {
        SCOPED_TRACE(compress ? "compressed" : "stored");
        primeCodecs();
        Z_Memory::sm_iLargestSize = 0;
        const std::string packed = writeInProcess(dir.path(), "data", true, compress, false);
        EXPECT_NE(packed.find(closingLines()), std::string::npos) << packed;
        // Memory does not follow the files: the largest is 768 KiB.
        EXPECT_LT(Z_Memory::sm_iLargestSize, std::size_t{512} * 1024);

        const ArchiveContents archive = loadArchive(dir / "out.zas");
        ASSERT_TRUE(archive.loaded);
        ASSERT_EQ(archive.files.size(), contents.size());
        // Every non-empty file is one block, exactly as the plain coder
        // makes it with the state the files before it leave.
        std::vector<std::string> nonEmpty;
        for (const std::string& content : contents)
            if (!content.empty())
                nonEmpty.push_back(content);
        const std::vector<std::string> blocks = compress ? referenceBlocks(nonEmpty) : std::vector<std::string>{};
        for (std::size_t i = 0, block = 0; i < contents.size(); ++i) {
            if (contents[i].empty() || !compress) {
                EXPECT_EQ(archive.storedBytes(i), contents[i]) << i;
            } else {
                EXPECT_TRUE(archive.storedBytes(i) == blocks[block++]) << i;
            }
        }

        Z_Memory::sm_iLargestSize = 0;
        const std::string extracted = extractInProcess(dir.path(), "out.zas", compress ? "c" : "s");
        EXPECT_NE(extracted.find(" 16 files extracted, 0 failed"), std::string::npos) << extracted;
        EXPECT_LT(Z_Memory::sm_iLargestSize, std::size_t{512} * 1024);
        for (std::size_t i = 0; i < contents.size(); ++i) {
            EXPECT_TRUE(readFile(dir / (compress ? "c" : "s") / nameOf(i)) == contents[i]) << i;
        }
    }
}

// What happens to data\b.bin, a large file, between its gathering and its
// reading.
enum class Change { shrink, grow };
Change g_change = Change::shrink;

void changeLargeFile(const char* path) {
    if (std::string(path) != "data\\b.bin")
        return;
    if (g_change == Change::shrink)
        fs::resize_file("data/b.bin", kCopy + kRequest + 5);
    else
        fs::resize_file("data/b.bin", 3 * kCopy);
}

TEST_F(Streaming, AFileThatChangesWhileItIsReadIsTakenBackWhole) {
    // The change is found only after some of the file's bytes were written
    // (growth only at its very end): they are cut off again, and the next
    // file is coded as if the changed one had never been.
    const std::string a = gameLike(1, 1000), b = gameLike(2, 2 * kCopy + 3), c = gameLike(3, 30);
    for (const Change change : {Change::shrink, Change::grow}) {
        for (const bool compress : {false, true}) {
            SCOPED_TRACE(std::string(change == Change::shrink ? "shrinks" : "grows") +
                         (compress ? ", compressed" : ", stored"));
            fs::remove_all(dir / "data");
            writeFile(dir / "data" / "a.bin", a);
            writeFile(dir / "data" / "b.bin", b);
            writeFile(dir / "data" / "c.bin", c);
            g_change = change;
            setOpenFileHookForTesting(changeLargeFile);
            primeCodecs();
            const std::string output = writeInProcess(dir.path(), "data", true, compress, false);
            setOpenFileHookForTesting(nullptr);
            EXPECT_NE(output.find("Warning: File \"data\\b.bin\" changed size while being archived; it is left "
                                  "out of the archive\n"),
                      std::string::npos)
                << output;

            const ArchiveContents archive = loadArchive(dir / "out.zas");
            ASSERT_TRUE(archive.loaded);
            ASSERT_EQ(archive.files.size(), 2u);
            EXPECT_EQ(archive.files[1].name, zs("c.bin"));
            EXPECT_EQ(archive.data.size(), archive.files[0].storedSize + archive.files[1].storedSize);
            const std::vector<std::string> expected = compress ? referenceBlocks({a, c}) : std::vector<std::string>{a, c};
            EXPECT_TRUE(archive.storedBytes(0) == expected[0]);
            EXPECT_TRUE(archive.storedBytes(1) == expected[1]);
        }
    }
}

TEST_F(Streaming, DamageFoundHalfWayThroughALargeEntryLeavesNoFileAndKeepsAnOldCopy) {
    const std::string big = gameLike(4, 3 * kCopy);
    writeFile(dir / "data" / "big.bin", big);
    writeFile(dir / "data" / "next.txt", "next");
    for (const bool compress : {false, true}) {
        SCOPED_TRACE(compress ? "compressed" : "stored");
        writeInProcess(dir.path(), "data", true, compress, false);
        const ArchiveContents archive = loadArchive(dir / "out.zas");
        ASSERT_TRUE(archive.loaded);
        // Cut off inside the large entry, a copy buffer before its end.
        std::string damaged = readFile(dir / "out.zas");
        damaged.resize(damaged.size() - 4 - kCopy);
        writeFile(dir / "bad.zas", damaged);
        fs::remove_all(dir / "out");
        writeFile(dir / "out" / "big.bin", "the old copy");
        const std::string output = extractInProcess(dir.path(), "bad.zas", "out");
        EXPECT_NE(output.find("Warning: File \"out\\big.bin\" is damaged in the archive\n"), std::string::npos)
            << output;
        EXPECT_NE(output.find("Warning: File \"out\\next.txt\" is damaged in the archive\n"), std::string::npos)
            << output;
        // Nothing half written stays behind, and the old copy is whole.
        EXPECT_EQ(namesIn(dir / "out"), (std::set<std::string>{"big.bin"}));
        EXPECT_EQ(readFile(dir / "out" / "big.bin"), "the old copy");
    }
}

} // namespace
