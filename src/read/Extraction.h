// The extract mode: recreate an archive's tree under a destination.
#pragma once

#include "archive/Format.h"
#include "support/Memory.h"

void extractArchive(const zs& archivePath, const zs& destination);

// Creates every level of path up to its last backslash that does not exist
// yet, and dates every level with date; text after the last backslash is not
// touched. A date with year 0 creates without dating.
void createDirectoryPath(const zs& path, const ArchiveDate& date);
