// The add and move modes: pack a directory tree into a new archive.
#pragma once

#include "support/Memory.h"

// Packs every directory and file under source into the archive. With
// excludePath the stored directory names start below source; with compress
// every non-empty file is stored as one compressed block; with move the
// sources are deleted once the archive is complete. Reports on standard
// output and through the two flags.
void writeArchive(const zs& source, const zs& archive, bool excludePath, bool compress, bool move);
