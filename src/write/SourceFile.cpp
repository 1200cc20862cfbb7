#include "write/SourceFile.h"

#include "platform/Platform.h"

#include <algorithm>
#include <cstdio>

namespace {

class ReliefScope {
public:
    explicit ReliefScope(OpenRelief& relief) : m_relief(relief) { m_relief.relieve(); }
    ~ReliefScope() { m_relief.endRelief(); }
    ReliefScope(const ReliefScope&) = delete;
    ReliefScope& operator=(const ReliefScope&) = delete;

private:
    OpenRelief& m_relief;
};

} // namespace

SourceFile::SourceFile(const zs& path, std::uint32_t size, OpenRelief* relief) : m_size(size) {
    std::int64_t length = 0;
    m_file = Stream(openRegularFile(path.c_str(), length));
    m_openMayPass = !m_file.isOpen() && openFailureMayPass();
    if (m_openMayPass && relief != nullptr) {
        const ReliefScope scope(*relief);
        m_file = Stream(openRegularFile(path.c_str(), length));
        m_openMayPass = !m_file.isOpen() && openFailureMayPass();
    }
    // The reads are large: no copy through the stream's buffer.
    if (m_file.isOpen()) {
        std::setvbuf(m_file.get(), nullptr, _IONBF, 0);
        identifyOpenFile(m_file.get(), m_identity);
    }
}

std::ptrdiff_t SourceFile::read(unsigned char* buffer, std::size_t capacity) {
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, m_size - m_delivered));
    if (wanted == 0)
        return 0;
    const std::size_t got = std::fread(buffer, 1, wanted, m_file.get());
    m_delivered += got;
    if (got == 0 && std::ferror(m_file.get()) != 0)
        return -1;
    return static_cast<std::ptrdiff_t>(got);
}

ReadOutcome SourceFile::outcome() const {
    if (std::ferror(m_file.get()) != 0)
        return ReadOutcome::cannotRead;
    if (m_delivered != m_size || std::fgetc(m_file.get()) != EOF)
        return ReadOutcome::changedSize;
    return std::ferror(m_file.get()) != 0 ? ReadOutcome::cannotRead : ReadOutcome::read;
}

CodedFile codeFile(LzssContext& context, const zs& path, std::uint32_t size, LzssSink& sink, OpenRelief* relief) {
    CodedFile coded;
    SourceFile source(path, size, relief);
    if (!source.isOpen()) {
        coded.outcome = ReadOutcome::cannotOpen;
        coded.openMayPass = source.openMayPass();
        return coded;
    }
    coded.identity = source.identity();
    const LzssContext::CarriedState before = context.carriedState();
    coded.result = encodeBlock(context, source, size, sink);
    switch (coded.result.status) {
    case LzssEncodeStatus::coded: coded.outcome = source.outcome(); break;
    case LzssEncodeStatus::sourceFailed: coded.outcome = ReadOutcome::cannotRead; break;
    case LzssEncodeStatus::sourceShort: coded.outcome = ReadOutcome::changedSize; break;
    case LzssEncodeStatus::sinkFailed: coded.sinkFailed = true; break;
    case LzssEncodeStatus::empty: break; // size 0 is never stored compressed
    }
    if (coded.outcome != ReadOutcome::read || coded.sinkFailed)
        context.setCarriedState(before);
    return coded;
}
