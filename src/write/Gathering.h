// Walking the source tree into a sorted list of source entries.
//
// A source entry is one text: 24 upper-case hexadecimal digits, then a path.
//
//   characters 1-8    last-write time, upper 32 bits (a 64-bit file time)
//              9-16   last-write time, lower 32 bits
//              17-24  size in bytes (always 0 for a directory)
//              25 on  path: a directory's ends in a backslash, a file's is
//                     its directory's path followed by its name
//
// Every path begins with the source text as given, so that the writer can cut
// it off by length. The first entry is the source directory itself, with a
// time of 0.
#pragma once

#include "platform/Platform.h"
#include "support/Memory.h"
#include "support/Reporter.h"

#include <cstdint>

inline constexpr std::size_t kSourceEntryDigits = 24;

// Empties list, walks the tree under source and sorts the list by path,
// with threads listing directories ahead of the walk when threads > 1.
// Reports ZAS_EVENT_GATHER_BEGIN, then ZAS_EVENT_GATHER_FILE for every file
// found and ZAS_EVENT_SOURCE_LEFT_OUT for what cannot be stored. A source
// that cannot be listed adds nothing: the status says why (ZAS_E_NOT_FOUND
// when it does not exist, ZAS_E_OPEN otherwise), after an event that names
// it.
int gatherSources(const zs& source, zvector<zs>& list, Reporter& reporter, unsigned threads = 1);

// Takes an entry apart. directoryPart is the path up to and including its
// last backslash (empty when it has none), namePart the rest, so a directory
// entry yields an empty namePart.
void splitSourceEntry(const zs& entry, FILETIME& time, zs& fullPath, zs& directoryPart, zs& namePart,
                      std::uint32_t& size);

// The list's order: paths compared as _stricmp compares them (A-Z folded to
// a-z, then unsigned bytes, a prefix first); paths equal under that, which
// differ only in letter case, by their unsigned bytes. Negative, zero or
// positive.
int compareSourcePaths(const char* first, const char* second);
