#include "read/Extraction.h"

void extractArchive(const zs&, const zs&) {}
