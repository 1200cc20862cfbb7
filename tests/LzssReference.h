// The block codec written out the plain way, step by step as the format
// document describes it, with its own static working memory. Tests hold the
// production codec against it; the benchmark uses it as the baseline. Slow
// on purpose: no cleverness here, so that a reader can check it line by line.
#pragma once

#include <cstddef>
#include <cstdint>

// Same contract as encodeBlock.
std::int64_t referenceEncodeBlock(const unsigned char* source, unsigned char* destination, std::uint32_t length);

// Expands the block's coded stream into destination and returns the number of
// bytes it produced (the block's unpacked-size field is not consulted). It
// stops only when the stream runs out, so destination must have room for
// everything the stream yields: at most 9 bytes per stream byte.
std::size_t referenceDecodeBlock(const unsigned char* block, unsigned char* destination);
