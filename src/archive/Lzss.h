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
//
// The codec works in an LzssContext: ring, search trees and the buffers of
// the block in progress. A context serves one coding or decoding at a time;
// separate contexts are independent and may be used from separate threads.
// Files are coded as a stream (any length up to 4 GiB - 1 in constant
// memory, input pulled from an LzssSource, output pushed to an LzssSink) or
// whole from memory with encodeBlock / decodeBlock, which are thin wrappers
// over the streaming coder and decoder and give the same bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

inline constexpr std::size_t kBlockHeaderSize = 12;
// Where the packed size stands in the block header: a block coded as a
// stream is emitted with 0 there, to be patched once the size is known.
inline constexpr std::size_t kPackedSizeOffset = 8;

// The most a block can take for length input bytes: every item a literal.
inline constexpr std::uint64_t worstCaseBlockSize(std::uint64_t length) {
    return kBlockHeaderSize + length + (length + 7) / 8;
}

// The 12-byte block header for the given sizes (packed size 0 as the
// placeholder of a block still being coded).
std::array<unsigned char, kBlockHeaderSize> lzssBlockHeader(std::uint32_t unpacked, std::uint32_t packed);

// The codec's working memory, as at program start (all zero) when made.
//
// Each coding re-initialises the search trees and ring positions 0..4077;
// ring bytes it does not rewrite keep what the previous coding or decoding
// in the same context left there, and the encoder may compare against them:
// which of several equally long matches is emitted at the end of an input
// can depend on them (never what decodes). Those bytes are the carried
// state: ring positions 4078..4095 (past the end of a short input) and the
// mirror 4096..4112 of positions 0..16 (until a long input's oldest
// position passes them). The exact bytes of an archive depend on them, so a
// context must see the files in archive order, or be set to the carried
// state the files before leave.
//
// About 147 KiB, allocated when the context is made; coding and decoding
// allocate nothing. Movable, not copyable (copy the carried state instead);
// a moved-from context may only be destroyed or assigned to.
class LzssContext {
public:
    static constexpr std::size_t kCarriedStateSize = 35;
    // Ring positions 4078..4112 in order.
    using CarriedState = std::array<unsigned char, kCarriedStateSize>;

    LzssContext();
    ~LzssContext();
    LzssContext(LzssContext&&) noexcept;
    LzssContext& operator=(LzssContext&&) noexcept;
    LzssContext(const LzssContext&) = delete;
    LzssContext& operator=(const LzssContext&) = delete;

    // The carried state: a context set to the state another one holds codes
    // the next file exactly as that one would.
    CarriedState carriedState() const noexcept;
    void setCarriedState(const CarriedState& state) noexcept;

    struct Memory; // the layout, private to the codec

private:
    friend struct LzssContextAccess;
    std::unique_ptr<Memory> m_memory;
};

// Where a streaming encoder gets its input.
class LzssSource {
public:
    // Reads the next bytes of the input into buffer, at most capacity
    // (at least 1) of them. Returns how many it read (1..capacity), 0 when
    // the input has ended, or a negative number when reading failed.
    virtual std::ptrdiff_t read(unsigned char* buffer, std::size_t capacity) = 0;

protected:
    ~LzssSource() = default;
};

// Where the coder and decoder put their output, in pieces of at most
// kLzssMaxPiece bytes, in order.
class LzssSink {
public:
    // Takes the next count bytes (1..kLzssMaxPiece) of the output. Returns
    // false when they could not be taken: the coding or decoding stops.
    virtual bool write(const unsigned char* bytes, std::size_t count) = 0;

protected:
    ~LzssSink() = default;
};

inline constexpr std::size_t kLzssMaxPiece = 80 * 1024;

enum class LzssEncodeStatus {
    coded,        // the whole block went to the sink
    empty,        // length 0: no block, nothing went to the sink
    sourceFailed, // the source reported a failure
    sourceShort,  // the source ended before length bytes
    sinkFailed,   // the sink refused a piece
};

struct LzssEncodeResult {
    LzssEncodeStatus status = LzssEncodeStatus::empty;
    // Bytes of coded stream, when coded. Exceeds 0xFFFFFFFF only for an
    // input close to 4 GiB that does not compress: such a block cannot be
    // recorded in the block header nor in a file table.
    std::uint64_t packedSize = 0;
    // The header that went to the sink already holds packedSize: the whole
    // block fitted in one piece (blocks of up to about 32 KiB).
    bool headerComplete = false;

    std::uint64_t blockLength() const noexcept { return kBlockHeaderSize + packedSize; }
};

// Codes exactly length bytes pulled from source into one block pushed to
// sink: the 12-byte header first, with 0 as the packed size (patch it at
// kPackedSizeOffset with result.packedSize unless result.headerComplete),
// then the coded stream. Memory
// use does not depend on length; the source is read in requests of up to
// 64 KiB, and may answer each with any number of bytes.
//
// On any status other than coded, the context's carried state is put back
// as it was before the call, as if the file had never been coded; what went
// to the sink is then to be discarded. A source that has more than length
// bytes is not asked for them.
LzssEncodeResult encodeBlock(LzssContext& context, LzssSource& source, std::uint32_t length, LzssSink& sink);

// Codes length bytes at source into one complete block at destination, which
// must have room for worstCaseBlockSize(length). Returns the block length
// (12 + packed size), or -1 for an empty input (then only the magic and the
// unpacked size are written). The packed-size field is 32 bits: only an
// input close to 4 GiB that does not compress can overflow it, and then the
// returned length, which stays exact, exceeds 0xFFFFFFFF + 12.
std::int64_t encodeBlock(LzssContext& context, const unsigned char* source, unsigned char* destination,
                         std::uint32_t length);

// Where the decoding of a block stands between two pieces, as
// LzssBlockDecoder::checkpoint() records it: all a decoder needs to go on
// from there without the block's earlier bytes. About 4 KiB of plain data,
// to be copied and kept freely; it fits only the block it was taken from.
struct LzssCheckpoint {
    std::uint64_t output = 0;   // output bytes before this point
    std::uint64_t consumed = 0; // block bytes before it, the 12 of the header included
    // The block header's sizes, checked against those a resumed decoder is given.
    std::uint32_t unpackedSize = 0;
    std::uint32_t packedSize = 0;
    unsigned flags = 0; // the current group's flag bits still to use, as the decoder keeps them
    int pending = -1;   // the first byte of a match pair cut by the end of a piece, or -1
    // Ring positions 0..4095 as a decoder working in the ring holds them at
    // this point: the last 4096 bytes of output and, where the output has
    // not reached yet, spaces below 4078 and the context's bytes from 4078 on.
    std::array<unsigned char, 4096> ring{};
};

// Expands one block whose bytes arrive in pieces of any size, pushing the
// output to a sink; memory use does not depend on the block's size. The
// block is sound when its 12-byte header and packed size fit in
// blockLength, its unpacked size equals expectedSize, and its stream yields
// exactly that many bytes, ending on a whole item (a last group with fewer
// than eight items is whole; a stream cut inside a match pair is not). A
// block that fails the header checks is not decoded at all; a stream that
// would yield more stops at expectedSize: the sink never receives more.
//
// A match may reach back before the block's first byte: spaces, then what
// the context's ring holds at positions 4078 and up. finish() leaves those
// positions as a decoder working in the ring would have left them.
//
//   LzssBlockDecoder decoder(context, storedSize, size, sink);
//   while (more stored bytes) decoder.feed(bytes, count);
//   bool sound = decoder.finish();
//
// A decoding can be taken up again in the middle of its block: between two
// feeds, checkpoint() records where it stands (output offset, block offset,
// the ring), and a decoder made from that checkpoint, fed the block from
// the checkpoint's block offset on, passes on the output from its output
// offset on, with every check of a decoding from the start:
//
//   LzssCheckpoint at;
//   if (decoder.feed(bytes, count) && decoder.checkpoint(at)) keep(at);
//   ...
//   LzssBlockDecoder resumed(context, at, storedSize, size, sink);
//   while (more stored bytes from at.consumed on) resumed.feed(bytes, count);
//   bool sound = resumed.finish();
class LzssBlockDecoder {
public:
    LzssBlockDecoder(LzssContext& context, std::uint64_t blockLength, std::uint64_t expectedSize, LzssSink& sink);
    // Expands straight into destination, which has room for expectedSize
    // bytes: no window, no copy. Fed in pieces the same way.
    LzssBlockDecoder(LzssContext& context, std::uint64_t blockLength, std::uint64_t expectedSize,
                     unsigned char* destination);
    // Takes up the decoding of the same block where from stands: the block's
    // bytes are fed from from.consumed on, and the output goes to sink from
    // from.output on. A checkpoint whose sizes disagree with blockLength and
    // expectedSize counts as a rejected header. When from stands in the
    // block's first 4096 bytes of output, this sets the context's ring
    // positions 4078 and up to those the block started with.
    LzssBlockDecoder(LzssContext& context, const LzssCheckpoint& from, std::uint64_t blockLength,
                     std::uint64_t expectedSize, LzssSink& sink);
    LzssBlockDecoder(const LzssBlockDecoder&) = delete;
    LzssBlockDecoder& operator=(const LzssBlockDecoder&) = delete;

    // Takes the block's next count bytes (bytes past its coded stream are
    // ignored). Returns false once the block is known to be unsound or the
    // sink has failed; later bytes are then ignored.
    bool feed(const unsigned char* bytes, std::size_t count);

    // Passes the output produced so far to the sink now rather than when
    // the window fills; after a feed that found the block unsound, what the
    // stream yielded before the fault. Returns false when the sink refuses
    // (the decoding has then failed).
    bool flush();

    // Between two feeds: passes the output produced so far to the sink and
    // records in at where the decoding stands, at output offset produced()
    // and block offset 12 + the coded stream taken so far (every byte fed
    // up to the stream's end). Returns false, leaving at as it was, before
    // the header is complete, once the decoding has failed or finished, or
    // when the sink refuses.
    bool checkpoint(LzssCheckpoint& at);

    // After the last piece: passes the rest of the output to the sink and
    // returns true only when the block was whole and sound and the sink took
    // every byte. Call once.
    bool finish();

    // Output bytes produced so far (not all of them passed to the sink
    // before finish()).
    std::uint64_t produced() const noexcept { return m_base + static_cast<std::uint64_t>(m_out - m_window); }

private:
    void decode(const unsigned char* in, const unsigned char* inEnd);
    void decodeGroups(const unsigned char*& in, const unsigned char* inEnd);
    bool slide();
    void setLimit();

    LzssContext::Memory& m_memory;
    LzssSink* m_sink;
    std::uint64_t m_blockLength;
    std::uint64_t m_expected;
    // Output goes to the window; m_base bytes of output precede its start.
    unsigned char* m_window;
    unsigned char* m_windowEnd;
    unsigned char* m_out;
    unsigned char* m_flushed; // output before it has gone to the sink
    unsigned char* m_limit;   // the window's end or the expected size, whichever comes first
    std::uint64_t m_base = 0;
    std::uint64_t m_streamLeft = 0; // coded stream bytes still to come
    std::uint32_t m_packed = 0;     // the header's packed size, once accepted
    unsigned m_flags = 0;           // the current group's flag bits; bit 8 clear when a flag byte is due
    int m_pending = -1;             // the first byte of a match pair cut by the end of a piece
    unsigned m_headerHave = 0;
    unsigned char m_header[kBlockHeaderSize] = {};
    bool m_headerRejected = false;
    bool m_failed = false;
    bool m_overrun = false;
    bool m_sinkFailed = false;
    bool m_finished = false;
};

// Expands the block at block (blockLength bytes available there) into
// destination (room for capacity bytes), with LzssBlockDecoder's checks:
// returns true only when the block is whole and sound with an unpacked size
// of capacity. Never reads past the block's coded stream or blockLength,
// never writes past capacity.
bool decodeBlock(LzssContext& context, const unsigned char* block, std::size_t blockLength,
                 unsigned char* destination, std::size_t capacity);

// The context-free forms use one process-wide context: one caller at a time.
LzssContext& processLzssContext();
std::int64_t encodeBlock(const unsigned char* source, unsigned char* destination, std::uint32_t length);
bool decodeBlock(const unsigned char* block, std::size_t blockLength, unsigned char* destination,
                 std::size_t capacity);
