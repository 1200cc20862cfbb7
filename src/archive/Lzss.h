// The "ZA->" block: LZSS over a 4096-byte ring, matches of 3 to 18 bytes, one
// flag bit per item (1 = literal byte, 0 = two-byte match: 12-bit absolute
// ring position and length - 3), eight items per flag byte, least
// significant bit first. The ring starts with positions 0..4077 filled with
// spaces and writing at 4078.
//
//   offset 0   "ZA->"
//          4   unpacked size (u32 LE)
//          8   packed size   (u32 LE): bytes of coded stream that follow
//         12   coded stream
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kBlockHeaderSize = 12;

// The most a block can take for length input bytes: every item a literal.
inline constexpr std::uint64_t worstCaseBlockSize(std::uint64_t length) {
    return kBlockHeaderSize + length + (length + 7) / 8;
}

// Codes length bytes at source into one complete block at destination, which
// must have room for worstCaseBlockSize(length). Returns the block length
// (12 + packed size), or -1 for an empty input (then only the magic and the
// unpacked size are written). The packed-size field is 32 bits: only an
// input close to 4 GiB that does not compress can overflow it, and then the
// returned length, which stays exact, exceeds 0xFFFFFFFF + 12.
//
// The encoder's ring and search trees are process-wide and persist from call
// to call: ring bytes a call does not rewrite keep what the previous call
// left (zero at program start). That can change which of several equally
// good matches is chosen at the end of an input, never what decodes; the
// exact byte stream of a run therefore depends on the files coded before.
// One caller at a time.
std::int64_t encodeBlock(const unsigned char* source, unsigned char* destination, std::uint32_t length);

// Expands the block at block (blockLength bytes available there) into
// destination (room for capacity bytes). Never reads past the block's coded
// stream or blockLength, never writes past capacity. Returns true only when
// the block is whole and sound: its 12-byte header and packed size fit in
// blockLength, its unpacked size equals capacity, and its stream yields
// exactly that many bytes, ending on a whole item (a last group with fewer
// than eight items is whole; a stream cut inside a match pair is not). A
// block that fails the header checks is not decoded at all; a stream that
// would yield more stops at capacity.
//
// The decoder shares the encoder's ring: a match may reach back before the
// block's first byte (spaces, then what an earlier call left at positions
// 4078 and up), and it leaves the ring, as far as the next encodeBlock can
// see, as a decoder working in the ring would. Same one caller at a time.
bool decodeBlock(const unsigned char* block, std::size_t blockLength, unsigned char* destination,
                 std::size_t capacity);
