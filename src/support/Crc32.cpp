#include "support/Crc32.h"

#include <array>

namespace {

// Slicing-by-4 tables for the reflected CRC-32 polynomial, built at compile time.
constexpr std::array<std::array<std::uint32_t, 256>, 4> makeCrcTables() {
    std::array<std::array<std::uint32_t, 256>, 4> tables{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t crc = byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ ((crc & 1u) ? 0xEDB88320u : 0u);
        tables[0][byte] = crc;
    }
    for (std::uint32_t byte = 0; byte < 256; ++byte)
        for (std::size_t slice = 1; slice < 4; ++slice)
            tables[slice][byte] = (tables[slice - 1][byte] >> 8) ^ tables[0][tables[slice - 1][byte] & 0xFFu];
    return tables;
}

constexpr auto kCrcTables = makeCrcTables();

} // namespace

std::uint32_t crc32(const void* data, std::size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::uint32_t crc = 0xFFFFFFFFu;
    while (length >= 4) {
        crc ^= static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
               static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
        crc = kCrcTables[3][crc & 0xFFu] ^ kCrcTables[2][(crc >> 8) & 0xFFu] ^
              kCrcTables[1][(crc >> 16) & 0xFFu] ^ kCrcTables[0][crc >> 24];
        bytes += 4;
        length -= 4;
    }
    while (length-- > 0)
        crc = (crc >> 8) ^ kCrcTables[0][(crc ^ *bytes++) & 0xFFu];
    return ~crc;
}
