// Whether a name from an archive may be joined to the destination. An archive
// is untrusted input: its names decide where extraction writes.
#pragma once

#include <string_view>

// True when destination + directoryName + fileName stays inside the
// destination:
//  - directoryName begins and ends with a backslash ("\" is the top);
//  - every component between its backslashes, and fileName, is non-empty,
//    holds no '/', ':' or (fileName) backslash, and is not made of dots and
//    blanks alone ("..", and the "...", ". ." that Windows trims to "..").
// An empty fileName checks the directory alone.
bool isSafeEntryPath(std::string_view directoryName, std::string_view fileName);
