// The view mode: one line per file of an archive, then the totals.
#pragma once

#include "support/Memory.h"

void listArchive(const zs& archivePath);
