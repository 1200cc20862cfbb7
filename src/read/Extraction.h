// The extract mode: recreate an archive's tree under a destination.
#pragma once

#include "support/Memory.h"

void extractArchive(const zs& archivePath, const zs& destination);
