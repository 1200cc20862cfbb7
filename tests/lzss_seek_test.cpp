// Decoding a block from the middle: checkpoints taken between the pieces of
// a decoding, decoders resumed from them, and reads at any offset served
// from checkpoints. A resumed decoding must give exactly the rest of what a
// decoding from the start gives, and the same verdict.
#include "LzssReference.h"
#include "archive/Lzss.h"
#include "archive/LzssSeek.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

enum class Kind { text, runs, noise, game };

Bytes sample(Kind kind, std::size_t size, std::uint32_t seed) {
    static const char* const words[] = {"the ", "unit ", "Tarrow ", "castle ", "gold ", "\r\n", "sprite_", "0000"};
    std::mt19937 random(seed);
    Bytes bytes;
    while (bytes.size() < size) {
        switch (kind) {
        case Kind::text:
            for (const char* w = words[random() % std::size(words)]; *w != 0; ++w)
                bytes.push_back(static_cast<unsigned char>(*w));
            break;
        case Kind::runs:
            // Spaces too: matches then reach into the blank ring before the block.
            bytes.insert(bytes.end(), 1 + random() % 300, "\0 \x81x"[random() % 4]);
            break;
        case Kind::noise: bytes.push_back(static_cast<unsigned char>(random())); break;
        case Kind::game:
            if (random() % 3 == 0) {
                for (unsigned i = random() % 200; i > 0; --i)
                    bytes.push_back(static_cast<unsigned char>(random()));
            } else if (random() % 2 == 0) {
                bytes.insert(bytes.end(), random() % 100, static_cast<unsigned char>(random()));
            } else if (bytes.size() > 20) {
                const std::size_t from = bytes.size() - 1 - random() % std::min<std::size_t>(bytes.size() - 1, 5000);
                for (unsigned i = 3 + random() % 40; i > 0; --i)
                    bytes.push_back(bytes[from + i % (bytes.size() - from)]);
            }
            break;
        }
    }
    bytes.resize(size);
    return bytes;
}

// Both codecs keep their ring's tail from call to call: coding this first
// leaves its first 18 bytes there in both.
const Bytes kPrimer = sample(Kind::noise, 64, 11);

LzssContext::CarriedState primedState() {
    LzssContext context;
    Bytes scratch(static_cast<std::size_t>(worstCaseBlockSize(kPrimer.size())));
    encodeBlock(context, kPrimer.data(), scratch.data(), static_cast<std::uint32_t>(kPrimer.size()));
    return context.carriedState();
}

void primeReference() {
    Bytes scratch(static_cast<std::size_t>(worstCaseBlockSize(kPrimer.size())));
    referenceEncodeBlock(kPrimer.data(), scratch.data(), static_cast<std::uint32_t>(kPrimer.size()));
}

std::uint32_t loadU32(const unsigned char* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

void storeU32(unsigned char* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(value >> (8 * i));
}

Bytes coded(const Bytes& input) {
    if (input.empty()) {
        const auto header = lzssBlockHeader(0, 0);
        return Bytes(header.begin(), header.end());
    }
    LzssContext context;
    context.setCarriedState(primedState());
    Bytes block(static_cast<std::size_t>(worstCaseBlockSize(input.size())));
    block.resize(static_cast<std::size_t>(
        encodeBlock(context, input.data(), block.data(), static_cast<std::uint32_t>(input.size()))));
    return block;
}

// A stream no encoder writes: from its first item on, matches into the
// ring's blank part and its tail at 4078.., and into the output so far.
Bytes ringReachingBlock(std::size_t groups, std::uint32_t seed) {
    std::mt19937 random(seed);
    Bytes block(kBlockHeaderSize);
    std::uint32_t produced = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        unsigned flags = random() & 0xFF;
        block.push_back(static_cast<unsigned char>(flags));
        for (int item = 0; item < 8; ++item, flags >>= 1) {
            if (flags & 1) {
                block.push_back(static_cast<unsigned char>(random()));
                ++produced;
                continue;
            }
            const unsigned length = 3 + random() % 16;
            unsigned position = random() % 2 == 0 ? 4060 + random() % 36 : (4078 + produced - 1 - random() % 40) & 4095;
            block.push_back(static_cast<unsigned char>(position));
            block.push_back(static_cast<unsigned char>((position >> 4 & 0xF0) | (length - 3)));
            produced += length;
        }
    }
    std::memcpy(block.data(), "ZA->", 4);
    storeU32(block.data() + 4, produced);
    storeU32(block.data() + 8, static_cast<std::uint32_t>(block.size() - kBlockHeaderSize));
    return block;
}

// What the plain decoder makes of a block, from the primed ring.
Bytes referenceOutput(const Bytes& block) {
    primeReference();
    Bytes out(9 * block.size() + 64);
    out.resize(referenceDecodeBlock(block.data(), out.data()));
    return out;
}

class CollectingSink final : public LzssSink {
public:
    bool write(const unsigned char* bytes, std::size_t count) override {
        EXPECT_GE(count, 1u);
        EXPECT_LE(count, kLzssMaxPiece);
        collected.insert(collected.end(), bytes, bytes + count);
        return true;
    }
    Bytes collected;
};

// Feeds block[from, to) in pieces whose sizes cycle; calls after(end of the
// piece) after each piece the decoder took.
template <class After>
void feedPieces(LzssBlockDecoder& decoder, const Bytes& block, std::size_t from, std::size_t to,
                const std::vector<std::size_t>& cycle, After after) {
    for (std::size_t at = from, turn = 0; at < to; ++turn) {
        const std::size_t piece = std::min(cycle[turn % cycle.size()], to - at);
        const bool took = decoder.feed(block.data() + at, piece);
        at += piece;
        if (took)
            after(at);
    }
}

struct Decoding {
    bool sound = false;
    Bytes output;
    std::vector<LzssCheckpoint> checkpoints;
    LzssContext::CarriedState state{};
};

// Decodes the block from its start, from the primed ring, in pieces of the
// given cycle; a checkpoint after each of the first pieces, then after
// every so many, some 60 in all.
Decoding decodeTakingCheckpoints(const Bytes& block, std::size_t feedTo, std::uint64_t expected,
                                 const std::vector<std::size_t>& cycle) {
    Decoding result;
    LzssContext context;
    context.setCarriedState(primedState());
    CollectingSink sink;
    LzssBlockDecoder decoder(context, block.size(), expected, sink);
    std::size_t count = 0;
    for (std::size_t at = 0; at < feedTo; at += cycle[count++ % cycle.size()]) {
    }
    const std::size_t every = std::max<std::size_t>(1, count / 45);
    std::size_t pieces = 0;
    feedPieces(decoder, block, 0, feedTo, cycle, [&](std::size_t) {
        if (++pieces > 16 && pieces % every != 0)
            return;
        LzssCheckpoint at;
        if (decoder.checkpoint(at)) {
            // Everything before the checkpoint has gone to the sink.
            EXPECT_EQ(sink.collected.size(), at.output);
            result.checkpoints.push_back(at);
        }
    });
    result.sound = decoder.finish();
    result.output = std::move(sink.collected);
    result.state = context.carriedState();
    return result;
}

// The first 18 bytes of the carried state: the ring's tail, all a decoding
// writes.
Bytes tailOf(const LzssContext::CarriedState& state) { return Bytes(state.begin(), state.begin() + 18); }

const std::vector<std::size_t> kCycles[] = {{1, 2, 13}, {4097, 18, 300}, {65537}};

TEST(LzssCheckpoints, ResumedDecodingsGiveTheRestOfTheOutput) {
    constexpr std::size_t kWindow = 72 * 1024;
    const struct {
        const char* what;
        Bytes block;
    } cases[] = {
        {"empty", coded({})},
        {"1 byte", coded(sample(Kind::text, 1, 1))},
        {"2 bytes", coded(sample(Kind::runs, 2, 2))},
        {"17 bytes", coded(sample(Kind::text, 17, 3))},
        {"18 bytes", coded(sample(Kind::runs, 18, 4))},
        {"text, 4095 bytes", coded(sample(Kind::text, 4095, 5))},
        {"game data, 4096 bytes", coded(sample(Kind::game, 4096, 6))},
        {"runs, 4097 bytes", coded(sample(Kind::runs, 4097, 7))},
        {"noise, a ring and a look-ahead", coded(sample(Kind::noise, 4096 + 18, 8))},
        {"runs, a byte short of the window", coded(sample(Kind::runs, kWindow - 1, 9))},
        {"game data, past the window", coded(sample(Kind::game, kWindow + 4097, 10))},
        {"noise, 80 KiB", coded(sample(Kind::noise, 80 * 1024, 11))},
        {"text, 300 KB", coded(sample(Kind::text, 300000, 12))},
        {"game data, 300 KB", coded(sample(Kind::game, 300000, 13))},
        {"matches into the ring before the block", ringReachingBlock(600, 14)},
    };
    LzssContext first;
    LzssContext second;
    for (const auto& c : cases) {
        const Bytes expected = referenceOutput(c.block);
        const std::uint64_t size = loadU32(c.block.data() + 4);
        ASSERT_EQ(expected.size(), size) << c.what;
        for (const auto& cycle : kCycles) {
            SCOPED_TRACE(std::string(c.what) + ", pieces from " + std::to_string(cycle.front()));
            const Decoding whole = decodeTakingCheckpoints(c.block, c.block.size(), size, cycle);
            ASSERT_TRUE(whole.sound);
            ASSERT_TRUE(whole.output == expected);
            ASSERT_FALSE(whole.checkpoints.empty());
            for (const LzssCheckpoint& at : whole.checkpoints) {
                SCOPED_TRACE(testing::Message() << "from output " << at.output << ", block " << at.consumed);
                // A context that starts from another ring: the checkpoint
                // carries all the resumed decoding needs.
                first.setCarriedState({});
                CollectingSink sink;
                LzssBlockDecoder resumed(first, at, c.block.size(), size, sink);
                // Half way on, a checkpoint of the resumed decoding, and
                // one more decoding from there.
                const std::size_t half = static_cast<std::size_t>(at.consumed + (c.block.size() - at.consumed) / 2);
                LzssCheckpoint again;
                bool taken = false;
                feedPieces(resumed, c.block, static_cast<std::size_t>(at.consumed), c.block.size(), {7, 1000},
                           [&](std::size_t end) {
                               if (!taken && end >= half)
                                   taken = resumed.checkpoint(again);
                           });
                EXPECT_TRUE(resumed.finish());
                EXPECT_TRUE(std::equal(sink.collected.begin(), sink.collected.end(),
                                       expected.begin() + static_cast<std::ptrdiff_t>(at.output),
                                       expected.end()));
                EXPECT_EQ(tailOf(first.carriedState()), tailOf(whole.state));
                if (!taken)
                    continue;
                second.setCarriedState({});
                CollectingSink rest;
                LzssBlockDecoder resumedAgain(second, again, c.block.size(), size, rest);
                feedPieces(resumedAgain, c.block, static_cast<std::size_t>(again.consumed), c.block.size(), {4096},
                           [](std::size_t) {});
                EXPECT_TRUE(resumedAgain.finish());
                EXPECT_TRUE(std::equal(rest.collected.begin(), rest.collected.end(),
                                       expected.begin() + static_cast<std::ptrdiff_t>(again.output),
                                       expected.end()));
            }
        }
    }
}

// A block damaged past the checkpoints is found damaged by the resumed
// decodings too, which pass on exactly what the decoding from the start
// passed on after the checkpoint; a checkpoint that does not fit the sizes
// a decoder is given is refused like a damaged header.
TEST(LzssCheckpoints, DamageAfterACheckpointIsStillFound) {
    const Bytes input = sample(Kind::game, 100000, 20);
    const Bytes sound = coded(input);
    const std::uint32_t size = loadU32(sound.data() + 4);

    auto withUnpacked = [&](std::int64_t change) {
        Bytes b = sound;
        storeU32(b.data() + 4, static_cast<std::uint32_t>(size + change));
        return b;
    };
    // One more group whose first item is a match cut after its first byte.
    Bytes cutPair = sound;
    cutPair.insert(cutPair.end(), {0x00, 0xEE});
    storeU32(cutPair.data() + 8, static_cast<std::uint32_t>(cutPair.size() - kBlockHeaderSize));
    // A flag byte two thirds in read as eight matches.
    Bytes misread = sound;
    {
        std::size_t at = kBlockHeaderSize;
        while (at < kBlockHeaderSize + (sound.size() - kBlockHeaderSize) * 2 / 3) {
            const unsigned flags = sound[at];
            at += 1 + static_cast<std::size_t>(16 - std::popcount(flags));
        }
        misread[at] = 0;
    }

    const struct {
        const char* what;
        Bytes block;
        std::size_t feedTo;        // block bytes the decodings are fed
        std::int64_t resumedSize;  // added to the size a resumed decoder is given
        std::int64_t resumedBlock; // added to the block length it is given
    } cases[] = {
        {"the stream yields too little", withUnpacked(7), sound.size(), 0, 0},
        {"the stream yields too much", withUnpacked(-7), sound.size(), 0, 0},
        {"the stream ends inside a match pair", cutPair, cutPair.size(), 0, 0},
        {"a flag byte misread", misread, misread.size(), 0, 0},
        {"the block's last bytes never come", sound, sound.size() - 5, 0, 0},
        {"resumed with another size", sound, sound.size(), 1, 0},
        {"resumed with a block too short for its stream", sound, sound.size(), 0, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::uint64_t expectedSize = loadU32(c.block.data() + 4);
        const Decoding whole = decodeTakingCheckpoints(c.block, c.feedTo, expectedSize, {4097, 18, 300});
        const bool refused = c.resumedSize != 0 || c.resumedBlock != 0;
        ASSERT_EQ(whole.sound, refused);
        ASSERT_LE(whole.output.size(), expectedSize);
        ASSERT_GT(whole.checkpoints.size(), 20u);
        for (const LzssCheckpoint& at : whole.checkpoints) {
            SCOPED_TRACE(testing::Message() << "from output " << at.output);
            LzssContext context;
            CollectingSink sink;
            const std::size_t blockLength = c.block.size() + static_cast<std::size_t>(c.resumedBlock);
            LzssBlockDecoder resumed(context, at, blockLength, expectedSize + static_cast<std::uint64_t>(c.resumedSize),
                                     sink);
            feedPieces(resumed, c.block, static_cast<std::size_t>(at.consumed), c.feedTo, {5000, 1},
                       [](std::size_t) {});
            EXPECT_FALSE(resumed.finish());
            if (refused) {
                EXPECT_TRUE(sink.collected.empty());
                EXPECT_EQ(context.carriedState(), LzssContext::CarriedState{});
            } else {
                EXPECT_TRUE(std::equal(sink.collected.begin(), sink.collected.end(),
                                       whole.output.begin() + static_cast<std::ptrdiff_t>(at.output),
                                       whole.output.end()));
            }
        }
    }
}

TEST(LzssCheckpoints, TakenOnlyBetweenTheHeaderAndTheEnd) {
    const Bytes block = coded(sample(Kind::text, 5000, 30));
    LzssContext context;
    CollectingSink sink;
    LzssCheckpoint at;
    at.output = 99;
    LzssBlockDecoder decoder(context, block.size(), 5000, sink);
    EXPECT_FALSE(decoder.checkpoint(at));
    decoder.feed(block.data(), kBlockHeaderSize - 1);
    EXPECT_FALSE(decoder.checkpoint(at));
    EXPECT_EQ(at.output, 99u);
    decoder.feed(block.data() + kBlockHeaderSize - 1, 1);
    ASSERT_TRUE(decoder.checkpoint(at));
    EXPECT_EQ(at.output, 0u);
    EXPECT_EQ(at.consumed, kBlockHeaderSize);
    decoder.feed(block.data() + kBlockHeaderSize, block.size() - kBlockHeaderSize);
    EXPECT_TRUE(decoder.finish());
    EXPECT_FALSE(decoder.checkpoint(at));

    LzssBlockDecoder rejected(context, block.size(), 4999, sink);
    EXPECT_FALSE(rejected.feed(block.data(), block.size()));
    EXPECT_FALSE(rejected.checkpoint(at));
}

// The block's bytes in memory; counts what is read, fails on request.
class BlockInMemory final : public LzssBlockStorage {
public:
    explicit BlockInMemory(const Bytes& block) : m_block(block) {}

    bool readAt(std::uint64_t offset, unsigned char* buffer, std::size_t count) override {
        EXPECT_GE(count, 1u);
        EXPECT_LE(offset + count, m_block.size());
        if (failing)
            return false;
        std::memcpy(buffer, m_block.data() + offset, count);
        bytesRead += count;
        return true;
    }

    std::uint64_t bytesRead = 0;
    bool failing = false;

private:
    const Bytes& m_block;
};

struct Read {
    std::uint64_t offset;
    std::size_t count;
};

// Mostly short reads anywhere, some long ones, some at or past the end.
std::vector<Read> randomReads(std::uint64_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<Read> reads;
    for (int i = 0; i < 300; ++i) {
        const std::uint64_t offset = random() % (size + 50);
        const std::size_t count = i % 10 == 0 ? random() % 100000 : random() % 300;
        reads.push_back({offset, count});
    }
    reads.push_back({size, 10});
    reads.push_back({size - std::min<std::uint64_t>(size, 3), 10});
    reads.push_back({0, static_cast<std::size_t>(size)});
    std::shuffle(reads.begin(), reads.end(), random);
    return reads;
}

TEST(LzssSeekableBlocks, ReadsAnyRangeOfTheOutput) {
    const struct {
        const char* what;
        Bytes block;
        std::uint64_t interval;
        std::size_t maxCheckpoints;
    } cases[] = {
        {"empty", coded({}), 1000, 4},
        {"one byte", coded(sample(Kind::text, 1, 40)), 1000, 4},
        {"matches into the ring before the block", ringReachingBlock(800, 41), 1000, 4},
        {"game data, checkpoints thinned again and again", coded(sample(Kind::game, 300000, 42)), 4096, 4},
        {"text, the default interval", coded(sample(Kind::text, 700000, 43)),
         LzssSeekableBlock::kDefaultInterval, LzssSeekableBlock::kDefaultMaxCheckpoints},
        {"noise, an interval shorter than a piece's output", coded(sample(Kind::noise, 100000, 44)), 100, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes expected = referenceOutput(c.block);
        BlockInMemory storage(c.block);
        LzssSeekableBlock seekable(storage, c.block.size(), expected.size(), primedState(), c.interval,
                                   c.maxCheckpoints);
        for (const Read& r : randomReads(expected.size(), 45)) {
            SCOPED_TRACE(testing::Message() << "offset " << r.offset << ", count " << r.count);
            Bytes buffer(r.count);
            std::size_t got = 99;
            ASSERT_EQ(seekable.read(r.offset, buffer.data(), r.count, got), LzssReadStatus::ok);
            const std::uint64_t from = std::min<std::uint64_t>(r.offset, expected.size());
            ASSERT_EQ(got, std::min<std::uint64_t>(r.count, expected.size() - from));
            EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got),
                                   expected.begin() + static_cast<std::ptrdiff_t>(from)));
            EXPECT_LE(seekable.checkpointCount(), c.maxCheckpoints);
        }
    }
}

// Once the block has been read through, a short read anywhere decodes at
// most an interval and a piece's output before it: block bytes come at
// 9 bits or more to the output byte, read in pieces of kFeedSize.
TEST(LzssSeekableBlocks, ASeekDecodesAtMostAnInterval) {
    const Bytes input = sample(Kind::game, 2000000, 50);
    const Bytes block = coded(input);
    BlockInMemory storage(block);
    LzssSeekableBlock seekable(storage, block.size(), input.size(), primedState(), 64 * 1024, 8);
    Bytes buffer(100);
    std::size_t got = 0;
    for (std::uint64_t at = 0; at < input.size(); at += got) {
        ASSERT_EQ(seekable.read(at, buffer.data(), buffer.size(), got), LzssReadStatus::ok);
        ASSERT_TRUE(std::equal(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got),
                               input.begin() + static_cast<std::ptrdiff_t>(at)));
    }
    const std::uint64_t interval = seekable.interval();
    EXPECT_GT(interval, 64u * 1024);
    const std::uint64_t bound = (interval + buffer.size()) * 9 / 8 + 3 * LzssSeekableBlock::kFeedSize;
    std::mt19937 random(51);
    for (int i = 0; i < 200; ++i) {
        const std::uint64_t offset = random() % (input.size() - buffer.size());
        storage.bytesRead = 0;
        ASSERT_EQ(seekable.read(offset, buffer.data(), buffer.size(), got), LzssReadStatus::ok);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), input.begin() + static_cast<std::ptrdiff_t>(offset)));
        EXPECT_LE(storage.bytesRead, bound) << "offset " << offset;
    }
}

// A read fails when it goes past the point where the block turned out
// unsound, or reaches its last byte; the reads before that point give the
// bytes decoding from the start gives, whatever the order of the reads.
TEST(LzssSeekableBlocks, DamageFailsTheReadsThatReachIt) {
    const Bytes input = sample(Kind::game, 300000, 60);
    const Bytes sound = coded(input);
    auto withUnpacked = [&](std::int64_t change) {
        Bytes b = sound;
        storeU32(b.data() + 4, static_cast<std::uint32_t>(static_cast<std::int64_t>(input.size()) + change));
        return b;
    };
    Bytes cutPair = sound;
    cutPair.insert(cutPair.end(), {0x00, 0xEE});
    storeU32(cutPair.data() + 8, static_cast<std::uint32_t>(cutPair.size() - kBlockHeaderSize));
    Bytes badHeader = sound;
    storeU32(badHeader.data() + 8, static_cast<std::uint32_t>(sound.size()));

    const struct {
        const char* what;
        Bytes block;
        std::uint64_t damageAt; // output offset past which reads fail
    } cases[] = {
        {"the stream yields too little", withUnpacked(1000), input.size()},
        {"the stream yields too much", withUnpacked(-1000), input.size() - 1000},
        {"the stream ends inside a match pair", cutPair, input.size()},
        {"the header's packed size is past the block", badHeader, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::uint64_t size = loadU32(c.block.data() + 4);
        BlockInMemory storage(c.block);
        LzssSeekableBlock seekable(storage, c.block.size(), size, primedState(), 16 * 1024, 6);
        for (const Read& r : randomReads(size, 61)) {
            SCOPED_TRACE(testing::Message() << "offset " << r.offset << ", count " << r.count);
            Bytes buffer(r.count);
            std::size_t got = 99;
            const LzssReadStatus status = seekable.read(r.offset, buffer.data(), r.count, got);
            const std::uint64_t end = std::min<std::uint64_t>(r.offset + r.count, size);
            if (r.offset >= size || r.count == 0) {
                EXPECT_EQ(status, LzssReadStatus::ok);
                EXPECT_EQ(got, 0u);
            } else if (end > c.damageAt || end == size) {
                EXPECT_EQ(status, LzssReadStatus::damaged);
                EXPECT_EQ(got, 0u);
            } else {
                ASSERT_EQ(status, LzssReadStatus::ok);
                ASSERT_EQ(got, end - r.offset);
                EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got),
                                       input.begin() + static_cast<std::ptrdiff_t>(r.offset)));
            }
        }
    }
}

TEST(LzssSeekableBlocks, AFailedReadOfTheBlockIsTriedAgain) {
    const Bytes input = sample(Kind::text, 200000, 70);
    const Bytes block = coded(input);
    BlockInMemory storage(block);
    LzssSeekableBlock seekable(storage, block.size(), input.size(), primedState(), 16 * 1024, 8);
    Bytes buffer(1000);
    std::size_t got = 0;
    ASSERT_EQ(seekable.read(0, buffer.data(), buffer.size(), got), LzssReadStatus::ok);
    storage.failing = true;
    EXPECT_EQ(seekable.read(150000, buffer.data(), buffer.size(), got), LzssReadStatus::readFailed);
    EXPECT_EQ(got, 0u);
    storage.failing = false;
    for (const std::uint64_t offset : {std::uint64_t{150000}, std::uint64_t{500}, input.size() - 1000}) {
        ASSERT_EQ(seekable.read(offset, buffer.data(), buffer.size(), got), LzssReadStatus::ok);
        EXPECT_EQ(got, buffer.size());
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), input.begin() + static_cast<std::ptrdiff_t>(offset)));
    }
}

} // namespace
