// decodeBlock on arbitrary blocks and capacities. The first input byte moves
// the capacity away from the block's own unpacked size (0 keeps it); the
// rest is the block, in an exact-size buffer so that the address sanitizer
// sees any read past it. Whenever the decoder calls a block sound, the plain
// decoder must produce the same bytes from it. The streaming decoder, fed
// the block in pieces whose sizes the input picks, must reach the same
// verdict and pass on the same bytes, and so must a decoder resumed from a
// checkpoint taken between two of those pieces, from there on.
#include "FuzzTarget.h"

#include "CodecRings.h"

#include "LzssReference.h"
#include "archive/Lzss.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr std::size_t kLargestCapacity = 1 << 20;

class CollectingSink final : public LzssSink {
public:
    bool write(const unsigned char* bytes, std::size_t count) override {
        collected.insert(collected.end(), bytes, bytes + count);
        return true;
    }
    std::vector<unsigned char> collected;
};

std::size_t pieceAt(const unsigned char* block, std::size_t blockLength, std::size_t at, std::size_t turn) {
    return std::min<std::size_t>(blockLength - at, 1 + block[turn % blockLength]);
}

// Decodes block in pieces of 1 to 256 bytes, their sizes taken in turn from
// the block's own bytes, from the same ring as the whole-buffer decode. A
// checkpoint is taken after the piece the block's middle byte picks; a
// decoder resumed from it, in a context whose ring differs, must pass on
// the rest of the output and reach the same verdict.
bool decodeInPieces(const unsigned char* block, std::size_t blockLength, std::size_t capacity,
                    std::vector<unsigned char>& output) {
    resetRings();
    CollectingSink sink;
    LzssBlockDecoder decoder(processLzssContext(), blockLength, capacity, sink);
    const std::size_t checkpointTurn = blockLength == 0 ? 0 : block[blockLength / 2] % 32;
    LzssCheckpoint checkpoint;
    bool taken = false;
    std::size_t turn = 0;
    for (std::size_t at = 0; at < blockLength; ++turn) {
        const std::size_t piece = pieceAt(block, blockLength, at, turn);
        const bool took = decoder.feed(block + at, piece);
        at += piece;
        if (took && turn == checkpointTurn)
            taken = decoder.checkpoint(checkpoint);
    }
    const bool sound = decoder.finish();
    output = std::move(sink.collected);
    if (taken) {
        static LzssContext other;
        LzssContext::CarriedState unlike;
        unlike.fill('x');
        other.setCarriedState(unlike);
        CollectingSink rest;
        LzssBlockDecoder resumed(other, checkpoint, blockLength, capacity, rest);
        for (auto at = static_cast<std::size_t>(checkpoint.consumed); at < blockLength; ++turn) {
            const std::size_t piece = pieceAt(block, blockLength, at, turn);
            resumed.feed(block + at, piece);
            at += piece;
        }
        if (resumed.finish() != sound || checkpoint.output > output.size() ||
            !std::equal(rest.collected.begin(), rest.collected.end(),
                        output.begin() + static_cast<std::ptrdiff_t>(checkpoint.output), output.end()))
            __builtin_trap();
    }
    return sound;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const auto shift = static_cast<std::int8_t>(data[0]);
    const unsigned char* block = data + 1;
    const std::size_t blockLength = size - 1;

    std::uint32_t unpacked = 0;
    if (blockLength >= 8)
        unpacked = std::uint32_t{block[4]} | std::uint32_t{block[5]} << 8 | std::uint32_t{block[6]} << 16 |
                   std::uint32_t{block[7]} << 24;
    const std::int64_t wanted = static_cast<std::int64_t>(unpacked) + shift;
    if (wanted < 0 || wanted > static_cast<std::int64_t>(kLargestCapacity))
        return 0;
    const auto capacity = static_cast<std::size_t>(wanted);

    resetRings();
    std::unique_ptr<unsigned char[]> output(new unsigned char[capacity == 0 ? 1 : capacity]);
    const bool sound = decodeBlock(block, blockLength, output.get(), capacity);

    std::vector<unsigned char> streamed;
    if (decodeInPieces(block, blockLength, capacity, streamed) != sound)
        __builtin_trap();
    if (!sound)
        return 0;
    if (streamed.size() != capacity || (capacity != 0 && std::memcmp(streamed.data(), output.get(), capacity) != 0))
        __builtin_trap();

    // A sound block has its whole coded stream within blockLength.
    std::uint32_t packed = std::uint32_t{block[8]} | std::uint32_t{block[9]} << 8 | std::uint32_t{block[10]} << 16 |
                           std::uint32_t{block[11]} << 24;
    std::vector<unsigned char> expected(9 * static_cast<std::size_t>(packed) + 64);
    resetRings();
    const std::size_t produced = referenceDecodeBlock(block, expected.data());
    if (produced != capacity || std::memcmp(expected.data(), output.get(), capacity) != 0)
        __builtin_trap();
    return 0;
}
