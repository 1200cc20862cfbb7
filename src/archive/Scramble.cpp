#include "archive/Scramble.h"

namespace {

// The mask of position i depends only on i modulo 256: (i + 3) * 6.
unsigned char positionMask(std::uint32_t position) {
    return static_cast<unsigned char>((position + 3u) * 6u);
}

unsigned rotationOf(std::uint32_t position) {
    return position % 5u;
}

unsigned char rotateRight(unsigned char value, unsigned count) {
    return count == 0 ? value : static_cast<unsigned char>(value >> count | value << (8 - count));
}

unsigned char rotateLeft(unsigned char value, unsigned count) {
    return count == 0 ? value : static_cast<unsigned char>(value << count | value >> (8 - count));
}

std::int32_t startSeed(std::int32_t key) {
    return key == 0 ? 1 : key;
}

} // namespace

std::int32_t nextScrambleSeed(std::int32_t seed) {
    // 171 * seed - 30269 * q, which is 171 * r - 2 * q and always fits in 32
    // bits. A negative result is kept as it is: the format was written
    // without Schrage's usual "+ 30269" correction, and readers must step the
    // seed the same way.
    const std::int32_t quotient = seed / 177;
    const std::int32_t remainder = seed - 177 * quotient;
    return 171 * remainder - 2 * quotient;
}

void scrambleBytes(unsigned char* buffer, std::int32_t length, std::int32_t key) {
    std::int32_t seed = startSeed(key);
    for (std::int32_t i = 0; i < length; ++i) {
        seed = nextScrambleSeed(seed);
        const auto position = static_cast<std::uint32_t>(i);
        auto b = static_cast<unsigned char>(buffer[i] - static_cast<unsigned char>(seed));
        b ^= positionMask(position);
        buffer[i] = rotateRight(b, rotationOf(position));
    }
}

void unscrambleBytes(unsigned char* buffer, std::int32_t length, std::int32_t key) {
    std::int32_t seed = startSeed(key);
    for (std::int32_t i = 0; i < length; ++i) {
        const auto position = static_cast<std::uint32_t>(i);
        unsigned char b = rotateLeft(buffer[i], rotationOf(position));
        seed = nextScrambleSeed(seed);
        b ^= positionMask(position);
        buffer[i] = static_cast<unsigned char>(b + static_cast<unsigned char>(seed));
    }
}
