// Reading a source file for the data pass, and coding it into one block.
#pragma once

#include "archive/Lzss.h"
#include "platform/Stream.h"
#include "support/Memory.h"

#include <cstddef>
#include <cstdint>

enum class ReadOutcome { read, cannotOpen, cannotRead, changedSize };

// A source file read front to back, no further than its gathered size; at
// the end it must hold exactly that many bytes, no fewer and no more.
class SourceFile final : public LzssSource {
public:
    SourceFile(const zs& path, std::uint32_t size);

    bool isOpen() const noexcept { return m_file.isOpen(); }

    std::ptrdiff_t read(unsigned char* buffer, std::size_t capacity) override;

    // After the last read: whether the file was read whole, exactly as
    // gathered.
    ReadOutcome outcome() const;

    // The file as it was when it was opened: move mode deletes it only if
    // it is still the same.
    const FileIdentity& identity() const noexcept { return m_identity; }

private:
    Stream m_file;
    FileIdentity m_identity;
    std::uint64_t m_size;
    std::uint64_t m_delivered = 0;
};

// One file coded into one block.
struct CodedFile {
    ReadOutcome outcome = ReadOutcome::read; // read: coded whole
    bool sinkFailed = false;                 // the block could not be written
    LzssEncodeResult result;
    FileIdentity identity;                   // the file as it was opened
};

// Codes the file at path, size bytes as gathered, into one block pushed to
// sink, from the context's carried state. Unless the file is read whole and
// the sink takes the block, the context's carried state is put back as it
// was, as if the file had never been coded.
CodedFile codeFile(LzssContext& context, const zs& path, std::uint32_t size, LzssSink& sink);
