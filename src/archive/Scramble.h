// The keyed, position-dependent byte transform that hides the header fields
// after the key and both catalogue tables. Each call starts afresh at
// position 0 with the seed equal to the key (0 acts as 1); a length of 0 or
// less leaves the buffer as it is. unscrambleBytes undoes scrambleBytes
// exactly for every key and length.
#pragma once

#include <cstdint>

void scrambleBytes(unsigned char* buffer, std::int32_t length, std::int32_t key);
void unscrambleBytes(unsigned char* buffer, std::int32_t length, std::int32_t key);

// One step of the seed: 171 * seed mod 30269 by Schrage's method, without the
// correction for negative results, in 32-bit wrap-around arithmetic.
std::int32_t nextScrambleSeed(std::int32_t seed);
