// The state a coded file leaves, worked out from its bytes, against what the
// coder really leaves.
#include "archive/LzssState.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

TEST(LzssState, TheStateAfterAFileFollowsFromItsLengthAndLastBytes) {
    std::mt19937 random(20261210);
    LzssContext context;
    for (const std::uint32_t length :
         {1u, 2u, 17u, 18u, 19u, 34u, 35u, 36u, 4095u, 4096u, 4097u, 4113u, 4130u, 4131u, 4132u, 8197u, 12345u}) {
        SCOPED_TRACE(length);
        LzssContext::CarriedState before;
        for (unsigned char& byte : before)
            byte = static_cast<unsigned char>(random());
        std::vector<unsigned char> input(length);
        for (unsigned char& byte : input)
            byte = static_cast<unsigned char>(random() % 4); // repeats: matches reach the ring's end
        context.setCarriedState(before);
        std::vector<unsigned char> block(worstCaseBlockSize(length));
        encodeBlock(context, input.data(), block.data(), length);

        const std::size_t tail = std::min<std::size_t>(length, kStateTailSize);
        EXPECT_EQ(carriedStateAfter(before, length, input.data() + length - tail), context.carriedState());
    }
}

} // namespace
