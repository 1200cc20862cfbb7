// Reading a source file for the data pass, and coding it into one block.
#pragma once

#include "archive/Lzss.h"
#include "platform/Platform.h"
#include "support/Memory.h"

#include <cstddef>
#include <cstdint>

enum class ReadOutcome { read, cannotOpen, cannotRead, changedSize };

// Asked, on the thread that opens a source file, when the system has no
// descriptor left for it: relieve() returns once the others that hold
// descriptors have closed what they can, and holds them off until
// endRelief(). The open is tried once more in between.
class OpenRelief {
public:
    virtual void relieve() = 0;
    virtual void endRelief() noexcept = 0;

protected:
    ~OpenRelief() = default;
};

// A source file read front to back, no further than its gathered size; at
// the end it must hold exactly that many bytes, no fewer and no more.
class SourceFile final : public LzssSource {
public:
    SourceFile(const zs& path, std::uint32_t size, OpenRelief* relief = nullptr);

    bool isOpen() const noexcept { return m_file.isOpen(); }
    // Not open for a reason that may pass: too many files open.
    bool openMayPass() const noexcept { return m_openMayPass; }

    std::ptrdiff_t read(unsigned char* buffer, std::size_t capacity) override;

    // After the last read: whether the file was read whole, exactly as
    // gathered: the size it had when opened, or one more read that finds
    // it ends there.
    ReadOutcome outcome();

    // The file as it was when it was opened: move mode deletes it only if
    // it is still the same.
    const FileIdentity& identity() const noexcept { return m_identity; }

private:
    InputHandle m_file;
    FileIdentity m_identity;
    std::uint64_t m_size;
    std::uint64_t m_delivered = 0;
    bool m_openMayPass = false;
    bool m_failed = false;
};

// One file coded into one block.
struct CodedFile {
    ReadOutcome outcome = ReadOutcome::read; // read: coded whole
    bool sinkFailed = false;                 // the block could not be written
    bool openMayPass = false;                // cannotOpen, for a reason that may pass
    LzssEncodeResult result;
    FileIdentity identity;                   // the file as it was opened
};

// Codes the file at path, size bytes as gathered, into one block pushed to
// sink, from the context's carried state. Unless the file is read whole and
// the sink takes the block, the context's carried state is put back as it
// was, as if the file had never been coded.
CodedFile codeFile(LzssContext& context, const zs& path, std::uint32_t size, LzssSink& sink,
                   OpenRelief* relief = nullptr);
