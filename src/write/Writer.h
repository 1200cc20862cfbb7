// Writing an archive: entries are recorded first (a gathered tree, single
// directories and files from paths or memory), then finish() lays out the
// tables, streams every file's bytes into a new file beside the archive's
// name and gives it that name only once it is complete.
#pragma once

#include "archive/Format.h"
#include "platform/Platform.h"
#include "support/Memory.h"
#include "support/Reporter.h"

#include <cstdint>
#include <memory>
#include <optional>

struct WriterOptions {
    bool compress = false;
    unsigned threads = 0; // coding threads; 0: one per core
    std::optional<unsigned> seed; // of the key generator; none: the clock
    bool move = false;    // delete the sources once the archive is on disk
    bool durable = false; // flush the archive to the disk before finishing
    bool exclusive = false; // never replace an existing file
};

class ArchiveWriter {
public:
    explicit ArchiveWriter(zs archive);
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    WriterOptions& options() noexcept { return m_options; }
    Reporter& reporter() noexcept { return m_reporter; }

    // Gathers the tree under source and records every directory and file,
    // in the order of the walk's sorted list. Without excludePath, source
    // must be a safe relative path, becomes part of every stored name, and
    // a top entry "\" comes first. ZAS_OK; ZAS_E_INVALID for an empty
    // source; ZAS_E_NAME for a source that cannot stand in stored names;
    // the gathering's status for a source that cannot be listed (the top
    // entry is recorded all the same).
    int addTree(const zs& source, bool excludePath);

    // storedName is a directory's stored name ("\a\b\"), or a file's
    // directory's stored name and its name. A directory that does not exist
    // yet is recorded without a date, with the levels above it.
    int addDirectory(const zs& storedName, const ArchiveDate& date);
    int addPath(const zs& directory, const zs& name, const zs& sourcePath);
    int addBuffer(const zs& directory, const zs& name, ByteBuffer bytes, const ArchiveDate& date);

    std::size_t fileCount() const noexcept;
    std::size_t directoryCount() const noexcept;

    // Writes the archive; see zas_writer_finish. A status.
    int finish();

private:
    struct Plan;
    zs m_archive;
    WriterOptions m_options;
    Reporter m_reporter;
    std::unique_ptr<Plan> m_plan;
    bool m_finished = false;
};
