#include "archive/Scramble.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

TEST(ScrambleSeed, StepsWithoutTheNegativeCorrection) {
    const struct {
        std::int32_t seed;
        std::int32_t next;
    } steps[] = {
        {1, 171}, {171, 29241}, {29241, 5826}, {177, -2}, {-2, -342},
        // the ends of the range: q = +-12132675, truncated toward zero
        {2147483647, -24235938},
        {-2147483647 - 1, 24235767},
    };
    for (const auto& step : steps)
        EXPECT_EQ(nextScrambleSeed(step.seed), step.next) << step.seed;
}

// The bytes that scramble to zero at each position, for a given key, are the
// position's s value undone: a direct view of the transform.
std::vector<unsigned char> scrambled(std::vector<unsigned char> bytes, std::int32_t key) {
    scrambleBytes(bytes.data(), static_cast<std::int32_t>(bytes.size()), key);
    return bytes;
}

TEST(ScrambleBytes, FollowsSeedMaskAndRotationPerPosition) {
    // Key 1: s values are the low bytes of 171, 29241, 5826, ...
    // Position 0: (0 - 171) = 0x55, xor 18 = 0x47, no rotation.
    // Position 1: (0 - 0x39) = 0xC7, xor 24 = 0xDF, rotated right by 1 = 0xEF.
    // Position 2: (0 - 0xC2) = 0x3E, xor 30 = 0x20, rotated right by 2 = 0x08.
    const auto out = scrambled(std::vector<unsigned char>(3, 0), 1);
    EXPECT_EQ(out, (std::vector<unsigned char>{0x47, 0xEF, 0x08}));
}

TEST(ScrambleBytes, KeyZeroActsAsOne) {
    std::mt19937 random(7);
    std::vector<unsigned char> bytes(300);
    for (auto& b : bytes)
        b = static_cast<unsigned char>(random());
    EXPECT_EQ(scrambled(bytes, 0), scrambled(bytes, 1));
    EXPECT_NE(scrambled(bytes, 2), scrambled(bytes, 1));
}

TEST(ScrambleBytes, SeedOf177UsesFE) {
    // The first step from 177 gives -2, so s = 0xFE at position 0:
    // (0xFE - 0xFE) xor 18 = 18.
    EXPECT_EQ(scrambled({0xFE}, 177), (std::vector<unsigned char>{18}));
}

TEST(ScrambleBytes, MaskRepeatsEvery256AndRotationEveryFive) {
    // Scramble zeros with a key, then undo the seed part by hand: what is
    // left is the mask and the rotation of each position.
    std::vector<unsigned char> zeros(512, 0);
    const auto out = scrambled(zeros, 1);
    std::int32_t seed = 1;
    for (std::uint32_t i = 0; i < zeros.size(); ++i) {
        seed = nextScrambleSeed(seed);
        const auto masked = static_cast<unsigned char>(static_cast<unsigned char>(0 - static_cast<unsigned char>(seed)) ^
                                                       static_cast<unsigned char>((i + 3) * 6));
        const unsigned rotation = i % 5;
        const auto expected = static_cast<unsigned char>(
            rotation == 0 ? masked : (masked >> rotation | masked << (8 - rotation)));
        ASSERT_EQ(out[i], expected) << "position " << i;
    }
    EXPECT_EQ(static_cast<unsigned char>((0 + 3) * 6), static_cast<unsigned char>((256 + 3) * 6));
}

TEST(ScrambleBytes, NonPositiveLengthsLeaveTheBuffer) {
    std::vector<unsigned char> bytes{1, 2, 3};
    scrambleBytes(bytes.data(), 0, 5);
    scrambleBytes(bytes.data(), -4, 5);
    unscrambleBytes(bytes.data(), -1, 5);
    EXPECT_EQ(bytes, (std::vector<unsigned char>{1, 2, 3}));
}

TEST(ScrambleBytes, NegativeKeysDifferFromTheirUnsignedReading) {
    // Stored keys of 0x80000000 and above are negative seeds.
    const std::vector<unsigned char> bytes(64, 0x5A);
    const auto negative = scrambled(bytes, static_cast<std::int32_t>(0xFFFE0008u));
    std::vector<unsigned char> roundTrip = negative;
    unscrambleBytes(roundTrip.data(), static_cast<std::int32_t>(roundTrip.size()),
                    static_cast<std::int32_t>(0xFFFE0008u));
    EXPECT_EQ(roundTrip, bytes);
    EXPECT_NE(negative, scrambled(bytes, 0x7FFE0008));
}

TEST(ScrambleBytes, UnscrambleUndoesScrambleForAnyKeyAndLength) {
    const std::uint32_t seed = 20261210;
    std::mt19937 random(seed);
    for (int round = 0; round < 200; ++round) {
        std::vector<unsigned char> bytes(random() % 700);
        for (auto& b : bytes)
            b = static_cast<unsigned char>(random());
        const auto key = static_cast<std::int32_t>(round < 4 ? std::int32_t{round - 2} : std::int32_t(random()));
        std::vector<unsigned char> copy = bytes;
        scrambleBytes(copy.data(), static_cast<std::int32_t>(copy.size()), key);
        if (bytes.size() > 8) {
            EXPECT_NE(copy, bytes);
        }
        unscrambleBytes(copy.data(), static_cast<std::int32_t>(copy.size()), key);
        ASSERT_EQ(copy, bytes) << "seed " << seed << " round " << round << " key " << key;
    }
}

} // namespace
