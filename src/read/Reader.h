// Opens an archive, checks its header and loads its two tables: the
// catalogue that the listing and the extraction walk. Never reads the data
// area.
#pragma once

#include "archive/Format.h"
#include "platform/Stream.h"
#include "support/Memory.h"

#include <cstdint>

// Files in file-table order; duplicates are kept.
using FileList = zvector<FileEntry>;
// Directory index -> entry. Users look entries up with operator[] (find or
// insert): an index with no directory entry yields an empty name and no date.
using DirectoryMap = zmap<std::int32_t, DirEntry>;

// The archive file as the reader opens it: the opening fails for anything
// that is not a regular file, such as a directory.
bool openArchiveForReading(const zs& archivePath, Stream& stream, std::int64_t& length);

// Prints nothing on success. On failure prints one "Error: ..." line naming
// the archive, raises the error flag, leaves files and dirs empty and
// returns false. The archive is closed again on every path.
bool readArchive(const zs& archivePath, ArchiveHeader& header, FileList& files, DirectoryMap& dirs);
