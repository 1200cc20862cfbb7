// Recreating an archive's tree under a destination, as safely as an
// untrusted archive demands: nothing is written outside the destination,
// nothing incomplete is left under a real name, and what cannot be
// extracted is reported and skipped so that the rest still comes out right.
#pragma once

#include "archive/Format.h"
#include "archive/Lzss.h"
#include "read/Reader.h"
#include "support/Memory.h"
#include "support/Reporter.h"

#include <cstdint>

struct ExtractionCounts {
    std::int32_t extracted = 0;
    std::int32_t failed = 0;
};

// Extracts every entry, in table order, decoding with codec (which carries
// its ring from one compressed entry to the next, as one pass always has).
// Reports ZAS_EVENT_EXTRACT_BEGIN, then the directory and file events, all
// on the calling thread and in table order; with threads above 1, that many
// workers create and write the files ahead of it, and nothing else changes.
// Returns ZAS_OK when the pass ran to its end (the counts tell how it went)
// or ZAS_E_OPEN when the archive could not be read at all.
int extractAll(const ArchiveReader& archive, const zs& destination, LzssContext& codec, Reporter& reporter,
               ExtractionCounts& counts, unsigned threads = 1);

// Extracts file entry index alone, its directory's levels created and dated
// first; true when it was written.
bool extractOne(const ArchiveReader& archive, std::size_t index, const zs& destination, LzssContext& codec,
                Reporter& reporter);

// The prefix output paths begin with: "." for an empty destination, else the
// destination less one trailing backslash.
zs extractionPrefix(const zs& destination);

// Creates every level of path up to its last backslash that does not exist
// yet, and dates every level with date; text after the last backslash is not
// touched. A date with year 0 creates without dating.
void createDirectoryPath(const zs& path, const ArchiveDate& date, Reporter& reporter);
