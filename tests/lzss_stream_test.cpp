// The block coder and decoder fed and drained in pieces of every size: the
// same bytes as coding from memory, and the context as documented when a
// source or a sink fails half way.
#include "archive/Lzss.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

// Answers each request with the next size of a cycle, cut to what is asked;
// ends early or fails at a given offset.
class PieceSource final : public LzssSource {
public:
    PieceSource(const Bytes& input, std::vector<std::size_t> pieces, std::size_t endAt = kNever,
                std::size_t failAt = kNever)
        : m_input(input), m_pieces(std::move(pieces)), m_endAt(std::min(endAt, input.size())), m_failAt(failAt) {}

    std::ptrdiff_t read(unsigned char* buffer, std::size_t capacity) override {
        if (m_at >= m_failAt)
            return -1;
        std::size_t count = std::min({capacity, m_pieces[m_turn++ % m_pieces.size()], m_endAt - m_at});
        if (m_failAt != kNever)
            count = std::min(count, m_failAt - m_at);
        std::memcpy(buffer, m_input.data() + m_at, count);
        m_at += count;
        return static_cast<std::ptrdiff_t>(count);
    }

private:
    const Bytes& m_input;
    std::vector<std::size_t> m_pieces;
    std::size_t m_endAt;
    std::size_t m_failAt;
    std::size_t m_at = 0;
    std::size_t m_turn = 0;
};

// Takes pieces until it has taken refuseAfter bytes.
class CollectingSink final : public LzssSink {
public:
    explicit CollectingSink(std::size_t refuseAfter = kNever) : m_refuseAfter(refuseAfter) {}

    bool write(const unsigned char* bytes, std::size_t count) override {
        EXPECT_GE(count, 1u);
        EXPECT_LE(count, kLzssMaxPiece);
        if (collected.size() + count > m_refuseAfter)
            return false;
        collected.insert(collected.end(), bytes, bytes + count);
        return true;
    }

    Bytes collected;

private:
    std::size_t m_refuseAfter;
};

// Text-like bytes with repeats at every distance, runs and stretches of noise.
Bytes gameLikeBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes;
    while (bytes.size() < size) {
        switch (random() % 3) {
        case 0:
            for (unsigned i = random() % 200; i > 0; --i)
                bytes.push_back(static_cast<unsigned char>(random()));
            break;
        case 1:
            bytes.insert(bytes.end(), random() % 100, static_cast<unsigned char>(random()));
            break;
        default:
            if (bytes.size() > 20) {
                const std::size_t from = bytes.size() - 1 - random() % std::min<std::size_t>(bytes.size() - 1, 5000);
                for (unsigned i = 3 + random() % 40; i > 0; --i)
                    bytes.push_back(bytes[from + i % (bytes.size() - from)]);
            }
        }
    }
    bytes.resize(size);
    return bytes;
}

LzssContext::CarriedState someState() {
    LzssContext::CarriedState state;
    for (std::size_t i = 0; i < state.size(); ++i)
        state[i] = static_cast<unsigned char>("ab ab"[i % 5]);
    return state;
}

// The block coded from memory, from the given carried state, and the state
// it leaves.
Bytes codedFromMemory(const Bytes& input, LzssContext::CarriedState& state) {
    LzssContext context;
    context.setCarriedState(state);
    Bytes block(worstCaseBlockSize(input.size()));
    const std::int64_t length =
        encodeBlock(context, input.data(), block.data(), static_cast<std::uint32_t>(input.size()));
    block.resize(length < 0 ? 0 : static_cast<std::size_t>(length));
    state = context.carriedState();
    return block;
}

const std::vector<std::size_t> kPieceCycles[] = {
    {1}, {7, 1, 300}, {4095, 4097, 18}, {65536}, {100000, 3, 81921},
};

TEST(LzssStreams, PiecesOfAnySizeCodeAndDecodeAsFromMemory) {
    const struct {
        const char* what;
        Bytes input;
    } inputs[] = {
        {"one byte", Bytes{'x'}},
        {"17 bytes", gameLikeBytes(17, 1)},
        {"18 bytes", gameLikeBytes(18, 2)},
        {"a ring and a look-ahead", gameLikeBytes(4096 + 18, 3)},
        {"several pieces of output", gameLikeBytes(300000, 4)},
    };
    for (const auto& in : inputs) {
        LzssContext::CarriedState expectedState = someState();
        const Bytes expected = codedFromMemory(in.input, expectedState);
        for (const auto& cycle : kPieceCycles) {
            SCOPED_TRACE(std::string(in.what) + ", pieces from " + std::to_string(cycle.front()));
            LzssContext context;
            context.setCarriedState(someState());
            PieceSource source(in.input, cycle);
            CollectingSink sink;
            const LzssEncodeResult result =
                encodeBlock(context, source, static_cast<std::uint32_t>(in.input.size()), sink);
            ASSERT_EQ(result.status, LzssEncodeStatus::coded);
            ASSERT_EQ(sink.collected.size(), result.blockLength());
            if (!result.headerComplete) {
                EXPECT_EQ(std::memcmp(sink.collected.data() + kPackedSizeOffset, "\0\0\0\0", 4), 0);
                const auto header = lzssBlockHeader(static_cast<std::uint32_t>(in.input.size()),
                                                    static_cast<std::uint32_t>(result.packedSize));
                std::memcpy(sink.collected.data(), header.data(), header.size());
            }
            EXPECT_TRUE(sink.collected == expected);
            EXPECT_EQ(context.carriedState(), expectedState);

            // Back through the decoder, fed in the same pieces, from the
            // state a decoder working from memory starts with.
            LzssContext decoding;
            decoding.setCarriedState(someState());
            CollectingSink output;
            LzssBlockDecoder decoder(decoding, expected.size(), in.input.size(), output);
            for (std::size_t at = 0, turn = 0; at < expected.size(); ++turn) {
                const std::size_t piece = std::min(cycle[turn % cycle.size()], expected.size() - at);
                decoder.feed(expected.data() + at, piece);
                at += piece;
            }
            EXPECT_TRUE(decoder.finish());
            EXPECT_TRUE(output.collected == in.input);

            LzssContext fromMemory;
            fromMemory.setCarriedState(someState());
            Bytes whole(in.input.size());
            ASSERT_TRUE(decodeBlock(fromMemory, expected.data(), expected.size(), whole.data(), whole.size()));
            EXPECT_EQ(decoding.carriedState(), fromMemory.carriedState());
        }
    }
}

TEST(LzssStreams, AFailedCodingLeavesTheContextAsItWas) {
    const Bytes input = gameLikeBytes(200000, 5);
    const Bytes next = gameLikeBytes(5000, 6);
    LzssContext::CarriedState state = someState();
    const Bytes nextBlock = codedFromMemory(next, state);

    const struct {
        const char* what;
        std::size_t endAt;
        std::size_t failAt;
        std::size_t sinkTakes;
        LzssEncodeStatus expected;
    } cases[] = {
        {"no input at all", 0, kNever, kNever, LzssEncodeStatus::sourceShort},
        {"the input ends within the look-ahead", 10, kNever, kNever, LzssEncodeStatus::sourceShort},
        {"the input ends one byte early", input.size() - 1, kNever, kNever, LzssEncodeStatus::sourceShort},
        {"reading fails at once", kNever, 0, kNever, LzssEncodeStatus::sourceFailed},
        {"reading fails half way", kNever, 100000, kNever, LzssEncodeStatus::sourceFailed},
        {"the sink refuses the first piece", kNever, kNever, 0, LzssEncodeStatus::sinkFailed},
        {"the sink refuses a later piece", kNever, kNever, 100000, LzssEncodeStatus::sinkFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LzssContext context;
        context.setCarriedState(someState());
        PieceSource source(input, {5000, 1}, c.endAt, c.failAt);
        CollectingSink sink(c.sinkTakes);
        EXPECT_EQ(encodeBlock(context, source, static_cast<std::uint32_t>(input.size()), sink).status, c.expected);
        EXPECT_EQ(context.carriedState(), someState());

        // The next file codes as if the failed one had never been tried.
        PieceSource nextSource(next, {65536});
        CollectingSink nextSink;
        const LzssEncodeResult result =
            encodeBlock(context, nextSource, static_cast<std::uint32_t>(next.size()), nextSink);
        ASSERT_EQ(result.status, LzssEncodeStatus::coded);
        ASSERT_TRUE(result.headerComplete);
        EXPECT_TRUE(nextSink.collected == nextBlock);
    }
}

TEST(LzssStreams, TheDecoderStopsWhenItsSinkRefuses) {
    const Bytes input = gameLikeBytes(300000, 7);
    LzssContext::CarriedState state = someState();
    const Bytes block = codedFromMemory(input, state);
    for (const std::size_t takes : {std::size_t{0}, std::size_t{100000}, input.size() - 1}) {
        SCOPED_TRACE(takes);
        LzssContext context;
        CollectingSink sink(takes);
        LzssBlockDecoder decoder(context, block.size(), input.size(), sink);
        decoder.feed(block.data(), block.size());
        EXPECT_FALSE(decoder.finish());
        EXPECT_LE(sink.collected.size(), takes);
        EXPECT_TRUE(std::equal(sink.collected.begin(), sink.collected.end(), input.begin()));
    }
}

} // namespace
