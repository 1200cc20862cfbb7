// The block codec against its plain transcription. The input is a sequence
// of pieces, each a 16-bit little-endian length and that many bytes (the
// last piece takes what is left). Each piece is coded by both encoders, which
// must write the same block; both decoders must give the piece back. The
// codecs keep their ring from call to call, so the pieces are fed to both in
// the same order, decoding included: short pieces after long ones then see
// what earlier calls left.
#include "FuzzTarget.h"

#include "CodecRings.h"

#include "LzssReference.h"
#include "archive/Lzss.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

void checkPiece(const unsigned char* piece, std::uint32_t length) {
    const auto room = static_cast<std::size_t>(worstCaseBlockSize(length));
    // Exact-size buffers: a write past the worst case, or a read past the
    // block or the piece, is the address sanitizer's to catch.
    std::unique_ptr<unsigned char[]> source(new unsigned char[length == 0 ? 1 : length]);
    std::memcpy(source.get(), piece, length);
    std::unique_ptr<unsigned char[]> block(new unsigned char[room]);
    std::vector<unsigned char> expected(room);

    const std::int64_t coded = encodeBlock(source.get(), block.get(), length);
    const std::int64_t referenceCoded = referenceEncodeBlock(source.get(), expected.data(), length);
    if (coded != referenceCoded)
        __builtin_trap();
    const std::size_t blockLength = coded < 0 ? 8 : static_cast<std::size_t>(coded);
    if (blockLength > room || std::memcmp(block.get(), expected.data(), blockLength) != 0)
        __builtin_trap();
    if (coded < 0)
        return; // an empty piece: no block to decode

    std::unique_ptr<unsigned char[]> decoded(new unsigned char[length]);
    if (!decodeBlock(block.get(), blockLength, decoded.get(), length) ||
        std::memcmp(decoded.get(), piece, length) != 0)
        __builtin_trap();
    std::vector<unsigned char> referenceDecoded(9 * blockLength + 64);
    if (referenceDecodeBlock(block.get(), referenceDecoded.data()) != length ||
        std::memcmp(referenceDecoded.data(), piece, length) != 0)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    resetRings();
    std::size_t at = 0;
    do {
        std::size_t length = size - at;
        if (length >= 2) {
            const std::size_t wanted = data[at] | std::size_t{data[at + 1]} << 8;
            at += 2;
            length = wanted < size - at ? wanted : size - at;
        }
        checkPiece(data + at, static_cast<std::uint32_t>(length));
        at += length;
    } while (at < size);
    return 0;
}
