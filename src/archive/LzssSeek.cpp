#include "archive/LzssSeek.h"

#include <algorithm>
#include <cstring>

LzssSeekableBlock::LzssSeekableBlock(LzssBlockStorage& storage, std::uint64_t blockLength, std::uint64_t size,
                                     const LzssContext::CarriedState& start, std::uint64_t interval,
                                     std::size_t maxCheckpoints)
    : m_storage(storage), m_blockLength(blockLength), m_size(size), m_start(start),
      m_interval(std::max<std::uint64_t>(interval, 1)), m_maxCheckpoints(std::max<std::size_t>(maxCheckpoints, 2)),
      m_input(kFeedSize), m_held(kLzssMaxPiece) {}

bool LzssSeekableBlock::Sink::write(const unsigned char* bytes, std::size_t count) {
    LzssSeekableBlock& s = m_owner;
    const std::uint64_t start = s.m_passed;
    s.m_passed += count;
    const std::uint64_t from = std::max(start, s.m_readStart);
    const std::uint64_t to = std::min(s.m_passed, s.m_readEnd);
    if (from < to)
        std::memcpy(s.m_buffer + (from - s.m_readStart), bytes + (from - start), static_cast<std::size_t>(to - from));
    // What goes past the read is kept for the next one.
    if (s.m_passed > s.m_readEnd) {
        const std::uint64_t keep = std::max(start, s.m_readEnd);
        s.m_heldStart = keep;
        s.m_heldCount = static_cast<std::size_t>(s.m_passed - keep);
        std::memcpy(s.m_held.data(), bytes + (keep - start), s.m_heldCount);
    }
    return true;
}

LzssReadStatus LzssSeekableBlock::read(std::uint64_t offset, unsigned char* buffer, std::size_t count,
                                       std::size_t& got) {
    got = 0;
    if (offset >= m_size || count == 0)
        return LzssReadStatus::ok;
    const std::uint64_t end = offset + std::min<std::uint64_t>(count, m_size - offset);
    const bool toTheEnd = end == m_size;
    if (m_damage && (end > *m_damage || toTheEnd))
        return LzssReadStatus::damaged;

    std::uint64_t next = offset;
    if (offset >= m_heldStart && offset - m_heldStart < m_heldCount) {
        next = std::min(end, m_heldStart + m_heldCount);
        std::memcpy(buffer, m_held.data() + (offset - m_heldStart), static_cast<std::size_t>(next - offset));
    }
    LzssReadStatus status = LzssReadStatus::ok;
    if (next < end || (toTheEnd && !m_checked)) {
        m_buffer = buffer;
        m_readStart = offset;
        m_readEnd = end;
        startAt(next);
        status = decodeTo(end, toTheEnd && !m_checked);
        m_buffer = nullptr;
        m_readStart = 0;
        m_readEnd = 0;
    }
    if (status == LzssReadStatus::ok)
        got = static_cast<std::size_t>(end - offset);
    return status;
}

// Puts a decoder where it passes on the output at offset next: the one at
// work when it stands at or before offset and no checkpoint is nearer, else
// one resumed from the last checkpoint at or before offset, else one from
// the block's first byte.
void LzssSeekableBlock::startAt(std::uint64_t offset) {
    const auto after = std::upper_bound(m_checkpoints.begin(), m_checkpoints.end(), offset,
                                        [](std::uint64_t at, const LzssCheckpoint& c) { return at < c.output; });
    const LzssCheckpoint* nearest = after == m_checkpoints.begin() ? nullptr : &*(after - 1);
    if (m_decoder && !m_decoderDone && m_passed <= offset &&
        (nearest == nullptr || m_decoder->produced() >= nearest->output))
        return;
    m_decoder.reset();
    if (nearest != nullptr) {
        m_decoder.emplace(m_context, *nearest, m_blockLength, m_size, m_sink);
        m_consumed = nearest->consumed;
        m_passed = nearest->output;
    } else {
        // Decoding from the start finds the ring's tail in the context, which
        // an earlier decoding's finish() has rewritten.
        m_context.setCarriedState(m_start);
        m_decoder.emplace(m_context, m_blockLength, m_size, m_sink);
        m_consumed = 0;
        m_passed = 0;
    }
    m_decoderDone = false;
}

// Decodes until the output up to end has gone to the sink, or with
// wholeBlock to the block's end, checking it whole.
LzssReadStatus LzssSeekableBlock::decodeTo(std::uint64_t end, bool wholeBlock) {
    LzssBlockDecoder& decoder = *m_decoder;
    for (;;) {
        if (!wholeBlock && decoder.produced() >= end) {
            decoder.flush();
            return LzssReadStatus::ok;
        }
        if (m_consumed == m_blockLength) {
            m_decoderDone = true;
            if (!decoder.finish())
                return damagedAt(decoder.produced());
            m_checked = true;
            return LzssReadStatus::ok;
        }
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kFeedSize, m_blockLength - m_consumed));
        if (!m_storage.readAt(m_consumed, m_input.data(), count))
            return LzssReadStatus::readFailed;
        m_consumed += count;
        if (!decoder.feed(m_input.data(), count)) {
            // What came before the fault is sound as far as it goes.
            decoder.flush();
            m_decoderDone = true;
            return damagedAt(decoder.produced());
        }
        recordCheckpoint();
    }
}

// The block is unsound from point on (its size when the stream yields too
// much): the read in progress fails if it goes past point or reaches the
// block's last byte.
LzssReadStatus LzssSeekableBlock::damagedAt(std::uint64_t point) {
    m_damage = point;
    return m_readEnd > point || m_readEnd == m_size ? LzssReadStatus::damaged : LzssReadStatus::ok;
}

// One checkpoint in each interval of output, the first position past its
// start that the decoder stands on between two pieces.
void LzssSeekableBlock::recordCheckpoint() {
    const std::uint64_t produced = m_decoder->produced();
    auto due = [&] {
        const std::uint64_t last = m_checkpoints.empty() ? 0 : m_checkpoints.back().output;
        return produced / m_interval > last / m_interval;
    };
    if (!due())
        return;
    while (m_checkpoints.size() >= m_maxCheckpoints) {
        // Twice the interval: the first checkpoint of each new one stays,
        // none in the first (the block's start serves it).
        m_interval *= 2;
        std::size_t kept = 0;
        std::uint64_t cell = 0;
        for (const LzssCheckpoint& c : m_checkpoints) {
            if (c.output / m_interval > cell) {
                cell = c.output / m_interval;
                m_checkpoints[kept++] = c;
            }
        }
        m_checkpoints.resize(kept);
    }
    if (!due())
        return;
    if (m_checkpoints.capacity() == 0)
        m_checkpoints.reserve(m_maxCheckpoints);
    m_checkpoints.emplace_back();
    if (!m_decoder->checkpoint(m_checkpoints.back()))
        m_checkpoints.pop_back();
}
