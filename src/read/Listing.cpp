#include "read/Listing.h"

void listArchive(const zs&) {}
