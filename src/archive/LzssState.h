// The carried state a coded file leaves, known from the file's bytes alone.
//
// Input byte j of a block lands at ring position (4078 + j) mod 4096, and
// the mirror of positions 0..16 (4096..4112) is written with them. Position
// 4078 + x of the carried state (x = 0..34, counting on into the mirror) is
// therefore the last input byte j with j = x (mod 4096), when the input has
// one, and keeps what it held otherwise. Nothing else of a coding carries
// over, so the state after a file depends only on the state before, the
// file's length and its last 4096 bytes: no coding needed, which is what
// lets several files be coded at once and still give the bytes of one
// sequential run.
#pragma once

#include "archive/Lzss.h"

#include <cstddef>
#include <cstdint>

// The last bytes of a file that decide the state it leaves.
inline constexpr std::size_t kStateTailSize = 4096;

// The state after coding a file of length bytes from the state before; tail
// holds the file's last min(length, kStateTailSize) bytes.
LzssContext::CarriedState carriedStateAfter(const LzssContext::CarriedState& before, std::uint64_t length,
                                            const unsigned char* tail);
