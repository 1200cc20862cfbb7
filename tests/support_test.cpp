#include "support/Exception.h"
#include "support/Memory.h"
#include "app/Services.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

namespace {

TEST(Crc32, MatchesTheStandardCheckValues) {
    const struct {
        const char* text;
        std::uint32_t crc;
    } cases[] = {
        {"", 0x00000000u},
        {"a", 0xE8B7BE43u},
        {"123456789", 0xCBF43926u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
    };
    for (const auto& c : cases)
        EXPECT_EQ(File->CRC32(c.text, static_cast<unsigned>(std::strlen(c.text))), c.crc) << c.text;
}

TEST(Crc32, DoesNotDependOnHowTheInputIsAligned) {
    unsigned char bytes[64];
    for (unsigned i = 0; i < sizeof bytes; ++i)
        bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    const std::uint32_t whole = File->CRC32(bytes + 3, 50);
    unsigned char copy[64];
    std::memcpy(copy, bytes + 3, 50);
    EXPECT_EQ(File->CRC32(copy, 50), whole);
}

TEST(Services, ExistBeforeMainAndRecordTheirSettings) {
    ASSERT_NE(File, nullptr);
    ASSERT_NE(Sys, nullptr);
    EXPECT_NE(std::strlen(File->getStartupDirectory()), 0u);
    File->setArchiveHandling(0);
    EXPECT_EQ(File->archiveHandling(), 0);
    Sys->ceaseVerbose(1);
    EXPECT_EQ(Sys->verboseCeased(), 1);
}

TEST(CountedAllocation, ContainersAndBuffersBalanceTheirCounters) {
    const AllocationCounts before;
    {
        zs text(200, 'x'); // longer than any small-string buffer
        zvector<zs> list{text, text};
        zmap<zs, int> map{{text, 1}};
        ByteBuffer buffer(1000);
        ByteBuffer moved = std::move(buffer);
        EXPECT_EQ(buffer.data(), nullptr);
        EXPECT_EQ(moved.size(), 1000u);
        EXPECT_GT(AllocationCounts().made - before.made, 4);
    }
    const AllocationCounts after;
    EXPECT_EQ(after.made - before.made, after.released - before.released);
}

TEST(CountedAllocation, AnEmptyBufferStillGetsABlock) {
    ByteBuffer empty(0);
    EXPECT_NE(empty.data(), nullptr);
    EXPECT_EQ(empty.size(), 0u);
}

TEST(CountedAllocation, FailureRaisesTheMemoryExceptionWithItsMessage) {
    const AllocationCounts before;
    try {
        ByteBuffer impossible(std::numeric_limits<std::size_t>::max() / 2);
        FAIL() << "the allocation should have failed";
    } catch (const Z_MemoryException& exception) {
        EXPECT_STREQ(exception.getErrorMessage(), "Out of system memory resources");
    }
    try {
        zvector<std::uint64_t> vector;
        vector.reserve(std::numeric_limits<std::size_t>::max() / 16);
        FAIL() << "the allocation should have failed";
    } catch (const Z_MemoryException_Allocation& exception) {
        EXPECT_STREQ(exception.getErrorMessage(), "Out of system memory resources");
    }
    const AllocationCounts after;
    EXPECT_EQ(after.made, before.made);
    EXPECT_EQ(after.released, before.released);
}

} // namespace
