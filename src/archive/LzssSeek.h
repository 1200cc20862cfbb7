// Reads of a compressed block's output at any offset, in bounded memory.
//
// The block is decoded forward as reads need it; every interval bytes of
// output on the way a checkpoint is kept, so a read behind the decoder, or
// far ahead of it, starts from the nearest checkpoint before it and decodes
// at most one interval (plus the output of one piece of the block) to
// reach its first byte. When maxCheckpoints are kept and another is due,
// the interval doubles and only the first checkpoint in each new interval
// stays, so any block size is covered at that cost.
//
// Memory: the codec context (about 147 KiB), a piece of output held for
// the next read (80 KiB), a piece of the block (8 KiB), and up to
// maxCheckpoints checkpoints of about 4 KiB each: with the defaults about
// 500 KiB, whatever the block's size.
//
// A read is answered only with output the block's checks stand behind:
// it fails with damaged when its range goes past the point where decoding
// found the block unsound, and a read that reaches the block's last byte
// needs the whole block checked, to its end. Which reads fail therefore
// does not depend on the order of the reads.
#pragma once

#include "archive/Lzss.h"
#include "support/Memory.h"

#include <cstddef>
#include <cstdint>
#include <optional>

// Where the block's bytes are read from.
class LzssBlockStorage {
public:
    // Reads count (1 or more) bytes of the block from offset on, all within
    // the block's length. Returns false when they could not be read.
    virtual bool readAt(std::uint64_t offset, unsigned char* buffer, std::size_t count) = 0;

protected:
    ~LzssBlockStorage() = default;
};

enum class LzssReadStatus {
    ok,
    damaged,    // the block is unsound where the read needs it
    readFailed, // the storage could not read the block's bytes
};

class LzssSeekableBlock {
public:
    static constexpr std::uint64_t kDefaultInterval = 256 * 1024;
    static constexpr std::size_t kDefaultMaxCheckpoints = 64;
    // Block bytes fed to the decoder at a time.
    static constexpr std::size_t kFeedSize = 8 * 1024;

    // The block is blockLength bytes of storage and decodes to size bytes,
    // from a ring whose carried state is start; storage must outlive this.
    // interval is at least 1, maxCheckpoints at least 2.
    LzssSeekableBlock(LzssBlockStorage& storage, std::uint64_t blockLength, std::uint64_t size,
                      const LzssContext::CarriedState& start = {}, std::uint64_t interval = kDefaultInterval,
                      std::size_t maxCheckpoints = kDefaultMaxCheckpoints);
    LzssSeekableBlock(const LzssSeekableBlock&) = delete;
    LzssSeekableBlock& operator=(const LzssSeekableBlock&) = delete;

    // Copies the output from offset on into buffer, count bytes or up to
    // the end; got tells how many (0 at or past the end). On a failure got
    // is 0; later reads are tried again.
    LzssReadStatus read(std::uint64_t offset, unsigned char* buffer, std::size_t count, std::size_t& got);

    std::uint64_t size() const noexcept { return m_size; }
    std::size_t checkpointCount() const noexcept { return m_checkpoints.size(); }
    std::uint64_t interval() const noexcept { return m_interval; }

private:
    // Copies what overlaps the read in progress into its buffer, and keeps
    // what goes past it for the next read.
    class Sink final : public LzssSink {
    public:
        explicit Sink(LzssSeekableBlock& owner) : m_owner(owner) {}
        bool write(const unsigned char* bytes, std::size_t count) override;

    private:
        LzssSeekableBlock& m_owner;
    };

    void startAt(std::uint64_t offset);
    LzssReadStatus decodeTo(std::uint64_t end, bool wholeBlock);
    void recordCheckpoint();
    LzssReadStatus damagedAt(std::uint64_t point);

    LzssBlockStorage& m_storage;
    std::uint64_t m_blockLength;
    std::uint64_t m_size;
    LzssContext::CarriedState m_start;
    std::uint64_t m_interval;
    std::size_t m_maxCheckpoints;
    LzssContext m_context;
    Sink m_sink{*this};
    std::optional<LzssBlockDecoder> m_decoder;
    std::uint64_t m_consumed = 0; // block bytes fed to the decoder
    std::uint64_t m_passed = 0;   // output the decoder has passed to the sink
    bool m_decoderDone = false;   // finished or failed: it cannot go on
    zvector<LzssCheckpoint> m_checkpoints;
    ByteBuffer m_input;
    ByteBuffer m_held;            // output past the last read that had some
    std::uint64_t m_heldStart = 0;
    std::size_t m_heldCount = 0;
    bool m_checked = false;       // the whole block decoded sound
    std::optional<std::uint64_t> m_damage; // where decoding found the block unsound
    // The read in progress.
    unsigned char* m_buffer = nullptr;
    std::uint64_t m_readStart = 0;
    std::uint64_t m_readEnd = 0;
};
