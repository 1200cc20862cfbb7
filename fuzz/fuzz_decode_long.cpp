// The streaming decoder on long blocks that a short input describes: the
// coded stream is a pattern repeated up to 65,536 times, so that a few bytes
// expand to hundreds of kilobytes and the decoder's 72 KiB output window
// slides, with matches reaching back across the slide and before the
// block's first byte. The streaming decoder, fed in pieces, must reach the
// verdict of the whole-buffer decoder and pass on the same bytes, and a
// sound block must give what the plain decoder gives.
//
// Input: a capacity shift (signed byte), the repeat count less one (16-bit
// little-endian), a piece scale, a sink limit, then the pattern. The block's
// header records the stream's length and the size the plain decoder gets
// from it, moved by the shift (0 keeps a whole stream sound). Pieces are
// 1 + a pattern byte times (scale + 1) bytes, taken in turn. A sink limit
// of n > 0 makes the sink refuse once it would hold more than n * 4 KiB.
#include "FuzzTarget.h"

#include "CodecRings.h"

#include "LzssReference.h"
#include "archive/Lzss.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr std::size_t kLongestStream = 48 * 1024;
constexpr std::size_t kLargestCapacity = 2 << 20;

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

class LimitedSink final : public LzssSink {
public:
    explicit LimitedSink(std::size_t limit) : m_limit(limit) {}

    bool write(const unsigned char* bytes, std::size_t count) override {
        check(count >= 1 && count <= kLzssMaxPiece && !m_refused);
        if (m_limit != 0 && collected.size() + count > m_limit) {
            m_refused = true;
            return false;
        }
        collected.insert(collected.end(), bytes, bytes + count);
        return true;
    }
    bool refused() const noexcept { return m_refused; }

    std::vector<unsigned char> collected;

private:
    std::size_t m_limit;
    bool m_refused = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6)
        return 0;
    const auto shift = static_cast<std::int8_t>(data[0]);
    const std::size_t repeat = 1 + (data[1] | std::size_t{data[2]} << 8);
    const std::size_t scale = 1 + std::size_t{data[3]};
    const std::size_t sinkLimit = std::size_t{data[4]} * 4096;
    const std::uint8_t* pattern = data + 5;
    const std::size_t patternLength = size - 5;

    const std::size_t streamLength = std::min(kLongestStream, patternLength * repeat);
    std::vector<unsigned char> block(kBlockHeaderSize + streamLength);
    for (std::size_t at = 0; at < streamLength; at += patternLength)
        std::memcpy(block.data() + kBlockHeaderSize + at, pattern, std::min(patternLength, streamLength - at));
    const auto header = lzssBlockHeader(0, static_cast<std::uint32_t>(streamLength));
    std::memcpy(block.data(), header.data(), header.size());

    // The plain decoder yields at most 18 bytes per two stream bytes.
    std::vector<unsigned char> expected(9 * streamLength + 64);
    resetRings();
    const std::size_t yielded = referenceDecodeBlock(block.data(), expected.data());
    const std::int64_t wanted = static_cast<std::int64_t>(yielded) + shift;
    if (wanted < 0 || wanted > static_cast<std::int64_t>(kLargestCapacity))
        return 0;
    const auto capacity = static_cast<std::size_t>(wanted);
    const auto recorded = lzssBlockHeader(static_cast<std::uint32_t>(capacity), static_cast<std::uint32_t>(streamLength));
    std::memcpy(block.data(), recorded.data(), recorded.size());

    resetRings();
    std::unique_ptr<unsigned char[]> output(new unsigned char[capacity == 0 ? 1 : capacity]);
    const bool sound = decodeBlock(block.data(), block.size(), output.get(), capacity);

    resetRings();
    LimitedSink sink(sinkLimit);
    LzssBlockDecoder decoder(processLzssContext(), block.size(), capacity, sink);
    std::size_t turn = 0;
    for (std::size_t at = 0; at < block.size();) {
        const std::size_t piece = std::min(block.size() - at, 1 + pattern[turn++ % patternLength] * scale);
        decoder.feed(block.data() + at, piece);
        at += piece;
    }
    const bool streamedSound = decoder.finish();
    // What the sink took is the start of the output, whatever the verdict.
    check(sink.collected.size() <= capacity);
    check(sink.collected.empty() || std::memcmp(sink.collected.data(), output.get(), sink.collected.size()) == 0);
    if (sink.refused()) {
        check(!streamedSound);
        return 0;
    }
    check(streamedSound == sound);
    if (!sound)
        return 0;
    check(sink.collected.size() == capacity && capacity == yielded);
    check(std::memcmp(expected.data(), output.get(), capacity) == 0);
    return 0;
}
