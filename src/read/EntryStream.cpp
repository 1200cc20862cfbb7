#include "read/EntryStream.h"

#include <zas.h>

#include <algorithm>
#include <cstring>

namespace {

// Block bytes fed to the decoder at a time: small, so that little output
// piles up before a read takes it.
constexpr std::size_t kFeedSize = 8 * 1024;

// Each item of the coded stream takes at least 17 bits (a flag bit and a
// two-byte match) for at most 18 bytes of output, so a sound block never
// expands beyond this.
std::uint64_t largestUnpackedSize(std::uint32_t blockLength) {
    return (static_cast<std::uint64_t>(blockLength) - kBlockHeaderSize) * 9 + 18;
}

} // namespace

bool entrySizesAgree(const FileEntry& file) {
    if (file.storage != kStorageCompressed)
        return file.storedSize == file.size;
    return file.storedSize >= kBlockHeaderSize && file.size <= largestUnpackedSize(file.storedSize);
}

// m_held holds the output from offset m_heldStart on, up to what the
// decoder has produced. Output before the position (after a seek forwards)
// is dropped as it comes.
bool EntryStream::HoldingSink::write(const unsigned char* bytes, std::size_t count) {
    EntryStream& s = m_stream;
    const std::uint64_t start = s.m_produced;
    s.m_produced += count;
    if (s.m_held.empty())
        s.m_heldStart = std::max(start, s.m_position);
    const std::uint64_t from = s.m_heldStart + s.m_held.size();
    if (from < s.m_produced)
        s.m_held.insert(s.m_held.end(), bytes + (from - start), bytes + count);
    return true;
}

EntryStream::EntryStream(const ArchiveReader& archive, std::size_t index)
    : m_archive(archive), m_file(archive.files()[index]), m_offset(archive.offsetOf(index)) {
    const bool present = m_offset <= archive.length() && archive.length() - m_offset >= m_file.storedSize;
    if (!present || !entrySizesAgree(m_file))
        m_failure = ZAS_E_ENTRY_DAMAGED;
    else if (m_file.storage == kStorageCompressed)
        restart();
}

// Starts decoding the block again from its first byte.
void EntryStream::restart() {
    if (!m_codec)
        m_codec.emplace();
    // A fresh ring every time: what the entry decodes to never depends on
    // what this stream read before.
    m_codec->setCarriedState(LzssContext::CarriedState{});
    if (m_input.data() == nullptr)
        m_input = ByteBuffer(kFeedSize);
    m_decoder.reset();
    m_sink.emplace(*this);
    m_decoder.emplace(*m_codec, m_file.storedSize, m_file.size, *m_sink);
    m_consumed = 0;
    m_produced = 0;
    m_finished = false;
    m_held.clear();
    m_heldStart = 0;
}

void EntryStream::seek(std::uint64_t position) {
    m_position = position;
    if (m_file.storage != kStorageCompressed || m_failure != 0)
        return;
    const std::uint64_t heldEnd = m_heldStart + m_held.size();
    if (position < (m_held.empty() ? m_produced : m_heldStart))
        restart();
    else if (position >= heldEnd)
        m_held.clear();
}

int EntryStream::read(unsigned char* buffer, std::size_t capacity, std::size_t& got) {
    got = 0;
    if (m_failure != 0)
        return m_failure;
    if (m_position >= m_file.size || capacity == 0)
        return ZAS_OK;
    if (m_file.storage != kStorageCompressed)
        return readStored(buffer, capacity, got);

    while (m_held.empty() && !m_finished) {
        if (const int status = decodeMore(); status != ZAS_OK) {
            m_failure = status;
            return status;
        }
    }
    if (m_held.empty())
        return ZAS_OK;
    const auto at = static_cast<std::size_t>(m_position - m_heldStart);
    const std::size_t count = std::min(capacity, m_held.size() - at);
    std::memcpy(buffer, m_held.data() + at, count);
    m_position += count;
    if (at + count == m_held.size())
        m_held.clear();
    got = count;
    return ZAS_OK;
}

int EntryStream::readStored(unsigned char* buffer, std::size_t capacity, std::size_t& got) {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, m_file.size - m_position));
    if (!m_archive.readAt(m_offset + m_position, buffer, count))
        return ZAS_E_READ;
    m_position += count;
    got = count;
    return ZAS_OK;
}

// Feeds the decoder the block's next bytes; at the block's end, finishes it.
int EntryStream::decodeMore() {
    const std::uint64_t left = m_file.storedSize - m_consumed;
    if (left == 0) {
        m_finished = true;
        return m_decoder->finish() ? ZAS_OK : ZAS_E_ENTRY_DAMAGED;
    }
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left, m_input.size()));
    if (!m_archive.readAt(m_offset + m_consumed, m_input.data(), count))
        return ZAS_E_READ;
    m_consumed += count;
    return m_decoder->feed(m_input.data(), count) ? ZAS_OK : ZAS_E_ENTRY_DAMAGED;
}
