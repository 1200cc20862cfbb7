// CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320, initial value and
// final xor 0xFFFFFFFF): "123456789" gives 0xCBF43926. The archive header
// carries it for itself and for each table.
#pragma once

#include <cstddef>
#include <cstdint>

std::uint32_t crc32(const void* data, std::size_t length);
