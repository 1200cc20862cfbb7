#include "archive/LzssState.h"

#include <algorithm>

LzssContext::CarriedState carriedStateAfter(const LzssContext::CarriedState& before, std::uint64_t length,
                                            const unsigned char* tail) {
    LzssContext::CarriedState after = before;
    const std::uint64_t tailStart = length - std::min<std::uint64_t>(length, kStateTailSize);
    for (std::uint64_t x = 0; x < after.size() && x < length; ++x) {
        // The last j below length with j = x (mod 4096).
        const std::uint64_t last = x + (length - 1 - x) / kStateTailSize * kStateTailSize;
        after[static_cast<std::size_t>(x)] = tail[last - tailStart];
    }
    return after;
}
