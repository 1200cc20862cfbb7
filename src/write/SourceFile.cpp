#include "write/SourceFile.h"

#include "platform/Platform.h"

#include <algorithm>

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
    m_file.open(path.c_str(), m_identity);
    m_openMayPass = m_file.mayPass();
    if (m_openMayPass && relief != nullptr) {
        const ReliefScope scope(*relief);
        m_file.open(path.c_str(), m_identity);
        m_openMayPass = m_file.mayPass();
    }
}

std::ptrdiff_t SourceFile::read(unsigned char* buffer, std::size_t capacity) {
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, m_size - m_delivered));
    if (wanted == 0)
        return 0;
    const std::ptrdiff_t got = m_file.read(buffer, wanted);
    if (got < 0) {
        m_failed = true;
        return -1;
    }
    m_delivered += static_cast<std::size_t>(got);
    return got;
}

ReadOutcome SourceFile::outcome() {
    if (m_failed)
        return ReadOutcome::cannotRead;
    if (m_delivered != m_size)
        return ReadOutcome::changedSize;
    // The open file said this size when it was opened: no need to look for
    // more. (A file that claims no size, as some system files do, is read to
    // its end all the same.)
    if (m_size != 0 && m_identity.size == m_size)
        return ReadOutcome::read;
    unsigned char more = 0;
    const std::ptrdiff_t got = m_file.read(&more, 1);
    return got < 0 ? ReadOutcome::cannotRead : got > 0 ? ReadOutcome::changedSize : ReadOutcome::read;
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
