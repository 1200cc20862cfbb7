#include "LzssReference.h"
#include "TestSupport.h"
#include "archive/Lzss.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::uint32_t readU32(const unsigned char* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

void writeU32(unsigned char* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(value >> (8 * i));
}

constexpr unsigned char kGuard = 0xA5;
constexpr std::size_t kGuardSize = 64;

// Codes input with the production encoder into a worst-case buffer followed
// by guard bytes; returns the block, checks the guard.
Bytes encode(const Bytes& input) {
    std::size_t room = static_cast<std::size_t>(worstCaseBlockSize(input.size()));
    Bytes buffer(room + kGuardSize, kGuard);
    std::int64_t length = encodeBlock(input.data(), buffer.data(), static_cast<std::uint32_t>(input.size()));
    EXPECT_TRUE(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(room), buffer.end(),
                            [](unsigned char b) { return b == kGuard; }))
        << "encodeBlock wrote past the worst-case size";
    if (length < 0) {
        buffer.resize(8);
        return buffer;
    }
    EXPECT_LE(static_cast<std::uint64_t>(length), room);
    buffer.resize(static_cast<std::size_t>(length));
    return buffer;
}

Bytes referenceEncode(const Bytes& input) {
    Bytes buffer(static_cast<std::size_t>(worstCaseBlockSize(input.size())));
    std::int64_t length = referenceEncodeBlock(input.data(), buffer.data(), static_cast<std::uint32_t>(input.size()));
    buffer.resize(length < 0 ? 8 : static_cast<std::size_t>(length));
    return buffer;
}

struct Decoded {
    bool sound = false;
    Bytes bytes;
};

// Decodes from exact-size heap copies so that any read past blockLength or
// write past capacity is caught by the address sanitizer.
Decoded decode(const Bytes& block, std::size_t blockLength, std::size_t capacity) {
    std::unique_ptr<unsigned char[]> in(new unsigned char[blockLength]);
    std::memcpy(in.get(), block.data(), std::min(blockLength, block.size()));
    std::unique_ptr<unsigned char[]> out(new unsigned char[capacity + 1]);
    std::memset(out.get(), kGuard, capacity + 1);
    Decoded result;
    result.sound = decodeBlock(in.get(), blockLength, out.get(), capacity);
    EXPECT_EQ(out[capacity], kGuard) << "decodeBlock wrote past capacity";
    result.bytes.assign(out.get(), out.get() + capacity);
    return result;
}

Decoded decode(const Bytes& block) { return decode(block, block.size(), readU32(block.data() + 4)); }

Bytes referenceDecode(const Bytes& block) {
    Bytes out(9 * block.size() + 64);
    out.resize(referenceDecodeBlock(block.data(), out.data()));
    return out;
}

Bytes randomBytes(std::mt19937& random, std::size_t size, unsigned alphabet = 256) {
    Bytes bytes(size);
    std::uniform_int_distribution<unsigned> pick(0, alphabet - 1);
    for (auto& b : bytes)
        b = static_cast<unsigned char>(pick(random));
    return bytes;
}

// Text-like data: words from a small vocabulary, so that matches of every
// length and distance turn up.
Bytes wordSoup(std::mt19937& random, std::size_t size) {
    static const char* const words[] = {"the ", "unit ", "Tarrow ", "castle ", "gold ", "of ", "\r\n",
                                        "sprite_", "0000", "level", "=", "32;", "map "};
    std::uniform_int_distribution<std::size_t> pick(0, std::size(words) - 1);
    std::string text;
    while (text.size() < size)
        text += words[pick(random)];
    text.resize(size);
    return bytesOf(text);
}

// Binary-like data: runs of one byte, copies of earlier stretches near and
// far, and noise.
Bytes structured(std::mt19937& random, std::size_t size) {
    Bytes bytes;
    std::uniform_int_distribution<unsigned> kind(0, 3), run(1, 300), value(0, 255);
    while (bytes.size() < size) {
        switch (kind(random)) {
        case 0:
            bytes.insert(bytes.end(), run(random), static_cast<unsigned char>(value(random) & 0x81));
            break;
        case 1:
            if (!bytes.empty()) {
                std::size_t from = std::uniform_int_distribution<std::size_t>(0, bytes.size() - 1)(random);
                std::size_t count = std::min<std::size_t>(run(random), bytes.size() - from);
                for (std::size_t i = 0; i < count; ++i)
                    bytes.push_back(bytes[from + i]);
            }
            break;
        default:
            for (unsigned i = run(random) / 8; i > 0; --i)
                bytes.push_back(static_cast<unsigned char>(value(random)));
            break;
        }
    }
    bytes.resize(size);
    return bytes;
}

Bytes block(const Bytes& stream, std::uint32_t unpacked) {
    Bytes bytes = bytesOf("ZA->");
    bytes.resize(kBlockHeaderSize);
    writeU32(bytes.data() + 4, unpacked);
    writeU32(bytes.data() + 8, static_cast<std::uint32_t>(stream.size()));
    bytes.insert(bytes.end(), stream.begin(), stream.end());
    return bytes;
}

TEST(LzssEncode, CodesSmallInputsAsDocumented) {
    struct Case {
        const char* name;
        std::string input;
        Bytes stream;
    };
    const Case cases[] = {
        {"one byte", "a", {0x01, 0x61}},
        {"two bytes", "ab", {0x03, 0x61, 0x62}},
        {"three literals", "abc", {0x07, 0x61, 0x62, 0x63}},
        {"match overlapping its output", "abcabcabcabc", {0x07, 0x61, 0x62, 0x63, 0xEE, 0xF6}},
        {"three bytes never match", "aaa", {0x07, 0x61, 0x61, 0x61}},
        {"shortest match", "aaaa", {0x01, 0x61, 0xEE, 0xF0}},
        {"match into the blank ring", std::string(18, ' '), {0x00, 0xDC, 0xFF}},
        {"full group", "abcdefgh", {0xFF, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68}},
        {"ninth item opens a group", "abcdefghi", {0xFF, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x01, 0x69}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes input = bytesOf(c.input);
        EXPECT_EQ(encode(input), block(c.stream, static_cast<std::uint32_t>(input.size())));
        Decoded decoded = decode(block(c.stream, static_cast<std::uint32_t>(input.size())));
        EXPECT_TRUE(decoded.sound);
        EXPECT_EQ(decoded.bytes, input);
    }
}

TEST(LzssEncode, EmptyInputWritesOnlyMagicAndSize) {
    Bytes buffer(32, kGuard);
    EXPECT_EQ(encodeBlock(nullptr, buffer.data(), 0), -1);
    Bytes expected = bytesOf("ZA->");
    expected.insert(expected.end(), {0, 0, 0, 0});
    expected.resize(32, kGuard);
    EXPECT_EQ(buffer, expected);
}

TEST(LzssEncode, IncompressibleInputMeetsTheWorstCaseExactly) {
    // Distinct bytes: no string of three repeats, nor matches the blank ring.
    Bytes distinct(256);
    for (unsigned i = 0; i < 256; ++i)
        distinct[i] = static_cast<unsigned char>(i * 37 + 11);
    for (std::size_t length = 1; length <= distinct.size(); ++length) {
        SCOPED_TRACE(length);
        Bytes input(distinct.begin(), distinct.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_EQ(encode(input).size(), worstCaseBlockSize(length));
    }
}

TEST(LzssRoundTrip, ReproducesEveryInput) {
    const std::uint32_t seed = 20261210;
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    struct Case {
        const char* name;
        Bytes input;
    };
    std::vector<Case> cases = {
        {"random, 2 KiB", randomBytes(random, 2048)},
        {"random, longer than the ring", randomBytes(random, 50000)},
        {"four-letter alphabet", randomBytes(random, 30000, 4)},
        {"zeros", Bytes(100000, 0)},
        {"spaces", Bytes(5000, ' ')},
        {"words", wordSoup(random, 70000)},
        {"runs and copies", structured(random, 200000)},
        {"the program itself", bytesOf(readFile(ZAS_EXECUTABLE))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes coded = encode(c.input);
        EXPECT_LE(coded.size(), worstCaseBlockSize(c.input.size()));
        Decoded decoded = decode(coded);
        EXPECT_TRUE(decoded.sound);
        EXPECT_TRUE(decoded.bytes == c.input);
    }
}

// Encodes the same input on both sides: the bytes a call does not rewrite
// (ring tail and mirror) then hold the same values, whatever ran before.
void alignWorkingMemory() {
    Bytes primer(64);
    for (std::size_t i = 0; i < primer.size(); ++i)
        primer[i] = static_cast<unsigned char>(i * 7);
    ASSERT_EQ(encode(primer), referenceEncode(primer));
}

// Both codecs keep their working memory from call to call, so the sequences
// are compared call by call: short inputs after long ones see the bytes
// earlier calls left behind, and decoding leaves its own.
TEST(LzssDifferential, MatchesThePlainCodecCallByCall) {
    alignWorkingMemory();
    const std::uint32_t seed = 4242;
    std::mt19937 random(seed);
    std::uniform_int_distribution<unsigned> kind(0, 6), smallSize(1, 40), size(0, 12000), bigSize(4000, 90000);
    const int calls = quickTests() ? 100 : 400;
    for (int call = 0; call < calls; ++call) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << ", call " << call);
        Bytes input;
        switch (kind(random)) {
        case 0: input = randomBytes(random, smallSize(random), 3); break;
        case 1: input = randomBytes(random, size(random)); break;
        case 2: input = wordSoup(random, size(random)); break;
        case 3: input = structured(random, bigSize(random)); break;
        case 4: input = Bytes(smallSize(random), static_cast<unsigned char>(random() & 1 ? ' ' : 0)); break;
        case 5: input = randomBytes(random, bigSize(random), 2); break;
        default: input = wordSoup(random, smallSize(random)); break;
        }
        Bytes coded = encode(input);
        ASSERT_EQ(coded, referenceEncode(input)) << "input of " << input.size() << " bytes";
        if (call % 3 == 0) {
            Decoded decoded = decode(coded);
            ASSERT_TRUE(decoded.sound);
            ASSERT_EQ(decoded.bytes, referenceDecode(coded));
        }
    }
}

// Repeats at every kind of distance, round the ring several times, now and
// then broken by a changed byte: the encoder may skip the descent for a
// string equal to the one a full match's distance back, and takes
// neighbouring positions together when their strings (and the oldest one,
// deleted between them) lie in different trees. A small alphabet makes
// neighbours share trees often; distances near the ring's size put the
// earlier copy in the oldest string.
TEST(LzssDifferential, MatchesThePlainCodecOnRepeatsAtEveryDistance) {
    alignWorkingMemory();
    const std::uint32_t seed = 9090;
    std::mt19937 random(seed);
    const std::size_t periods[] = {1, 2, 3, 7, 17, 18, 19, 64, 255, 4077, 4078, 4079, 4095, 4096, 4097};
    const unsigned alphabets[] = {2, 256};
    std::uniform_int_distribution<unsigned> breaks(0, 299);
    for (std::size_t period : periods) {
        for (unsigned alphabet : alphabets) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << ", period " << period << ", alphabet " << alphabet);
            Bytes pattern = randomBytes(random, period, alphabet);
            Bytes input;
            while (input.size() < 4 * 4096 + 3000)
                for (unsigned char b : pattern)
                    input.push_back(breaks(random) == 0 ? static_cast<unsigned char>(b ^ 1) : b);
            Bytes coded = encode(input);
            ASSERT_EQ(coded, referenceEncode(input)) << "input of " << input.size() << " bytes";
            Decoded decoded = decode(coded);
            EXPECT_TRUE(decoded.sound);
            EXPECT_TRUE(decoded.bytes == input);
        }
    }
}

// Streams no encoder writes: matches anywhere in the ring, including bytes
// before the start of the output (blank and left over from earlier calls),
// and at every distance that overlaps.
TEST(LzssDifferential, DecodesArbitraryStreamsLikeThePlainDecoder) {
    alignWorkingMemory();
    const std::uint32_t seed = 777;
    std::mt19937 random(seed);
    std::uniform_int_distribution<unsigned> byte(0, 255), groups(0, 700), nearby(1, 40);
    for (int trial = 0; trial < 200; ++trial) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << ", trial " << trial);
        Bytes stream;
        std::size_t produced = 0;
        for (unsigned g = groups(random); g > 0; --g) {
            unsigned flags = byte(random);
            stream.push_back(static_cast<unsigned char>(flags));
            for (int item = 0; item < 8; ++item, flags >>= 1) {
                if (flags & 1) {
                    stream.push_back(static_cast<unsigned char>(byte(random)));
                    ++produced;
                    continue;
                }
                unsigned length = byte(random) % 16 + 3;
                // Mostly short distances back from the write position, some
                // into the ring's edge at 4060..4095 (blanks, then leftovers).
                unsigned position = (4078 + produced - nearby(random)) & 4095;
                if (random() % 4 == 0)
                    position = byte(random) << 4 | byte(random) % 16;
                else if (random() % 4 == 0)
                    position = 4060 + byte(random) % 36;
                stream.push_back(static_cast<unsigned char>(position));
                stream.push_back(static_cast<unsigned char>((position >> 4 & 0xF0) | (length - 3)));
                produced += length;
            }
        }
        Bytes coded = block(stream, static_cast<std::uint32_t>(produced));
        Bytes expected = referenceDecode(coded);
        ASSERT_EQ(expected.size(), produced);
        Decoded decoded = decode(coded);
        EXPECT_TRUE(decoded.sound);
        ASSERT_EQ(decoded.bytes, expected);
    }
}

Bytes literalBlock(const Bytes& output) {
    Bytes stream;
    for (std::size_t i = 0; i < output.size(); ++i) {
        if (i % 8 == 0) {
            std::size_t items = std::min<std::size_t>(output.size() - i, 8);
            stream.push_back(static_cast<unsigned char>((1u << items) - 1));
        }
        stream.push_back(output[i]);
    }
    return block(stream, static_cast<std::uint32_t>(output.size()));
}

// The decoder shares the encoder's ring. An 11-byte input leaves ring
// position 4089 as the call before left it, and here that byte decides
// between two candidates: "abc" at 4086 extends to 4 bytes against 4082
// only if position 4089 holds 'Y'.
TEST(LzssDifferential, EncoderSeesTheRingTheDecoderLeft) {
    auto output = [](std::size_t size, std::size_t yAt) {
        Bytes bytes(size, 'q');
        if (yAt < size)
            bytes[yAt] = 'Y';
        return bytes;
    };
    struct Case {
        const char* name;
        Bytes decoded;
    };
    const Case cases[] = {
        {"decoder wrote position 4089", output(12, 11)},
        {"decoder stopped short of 4089", output(5, 11)},
        {"decoder wrapped round the ring", output(4096 + 12, 11)},
        {"decoder wrote 4089 twice, last time", output(4096 + 12, 4096 + 11)},
    };
    const Bytes input = bytesOf("abcXabcYabc");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        alignWorkingMemory();
        Bytes coded = literalBlock(c.decoded);
        ASSERT_EQ(decode(coded).bytes, c.decoded);
        ASSERT_EQ(referenceDecode(coded), c.decoded);
        EXPECT_EQ(encode(input), referenceEncode(input));
    }
}

TEST(LzssDecode, RejectsDamagedBlocks) {
    std::mt19937 random(99);
    const Bytes input = wordSoup(random, 3000);
    const Bytes good = encode(input);
    const std::size_t n = input.size();
    // A block whose stream ends with a match, to cut inside the pair.
    const Bytes endsInMatch = block({0x01, 0x61, 0xEE, 0xF0}, 4);

    auto withPacked = [](Bytes b, std::uint32_t packed) {
        writeU32(b.data() + 8, packed);
        return b;
    };
    auto withUnpacked = [](Bytes b, std::uint32_t unpacked) {
        writeU32(b.data() + 4, unpacked);
        return b;
    };
    auto withExtraLiterals = [](Bytes b) {
        b.insert(b.end(), {0x03, 'x', 'y'});
        writeU32(b.data() + 8, static_cast<std::uint32_t>(b.size() - kBlockHeaderSize));
        return b;
    };

    struct Case {
        const char* name;
        Bytes block;
        std::size_t blockLength;
        std::size_t capacity;
        bool sound;
    };
    const Case cases[] = {
        {"sound block", good, good.size(), n, true},
        {"empty block", block({}, 0), kBlockHeaderSize, 0, true},
        {"no header", good, 0, n, false},
        {"header cut short", good, kBlockHeaderSize - 1, n, false},
        {"stream cut short of its packed size", good, good.size() - 1, n, false},
        {"packed size beyond any buffer", withPacked(good, 0xFFFFFFFF), good.size(), n, false},
        {"stream ends early", withPacked(good, static_cast<std::uint32_t>(good.size() - kBlockHeaderSize - 2)),
         good.size(), n, false},
        {"stream ends inside a match pair", withPacked(endsInMatch, 3), endsInMatch.size(), 4, false},
        {"unpacked size above capacity", withUnpacked(good, static_cast<std::uint32_t>(n + 1)), good.size(), n,
         false},
        {"capacity above unpacked size", good, good.size(), n + 1, false},
        {"stream yields more than its unpacked size", withUnpacked(good, static_cast<std::uint32_t>(n - 5)),
         good.size(), n - 5, false},
        {"stream overruns by literals", withExtraLiterals(good), good.size() + 3, n, false},
        {"match overruns a tiny destination", withUnpacked(endsInMatch, 2), endsInMatch.size(), 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded decoded = decode(c.block, c.blockLength, c.capacity);
        EXPECT_EQ(decoded.sound, c.sound);
        if (c.sound) {
            EXPECT_TRUE(std::equal(decoded.bytes.begin(), decoded.bytes.end(), input.begin()));
        }
    }
}

} // namespace
