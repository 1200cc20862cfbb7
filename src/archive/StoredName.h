// What a name stored in an archive may be. The writer and the extractor of one
// system apply the same rule, so that whatever a system packs (and a move
// deletes) extracts again on that system; and an archive is untrusted input
// whose names decide where extraction writes.
//
// A stored directory name begins and ends with a backslash ("\" is the top);
// the components between its backslashes, and a file name, are single names.
#pragma once

#include <string_view>

enum class NameRules {
    // Only what would leave the destination or break the path apart: '/',
    // a backslash inside a name, an empty name, "." and "..".
    posix,
    // Also every name the system would take for another: a colon (drive
    // letters, alternate streams); a trailing dot or blank, which Windows
    // drops ("x." is "x", and "..." reaches ".."); and the reserved device
    // names (CON, PRN, AUX, NUL, COM0-COM9, LPT0-LPT9 and COM or LPT with a
    // superscript 1, 2 or 3), in any letter case and with any extension
    // ("nul.txt" is the device too).
    windows,
};

// The rules of the system this build is for: what its writer stores and its
// extractor accepts.
#ifdef _WIN32
inline constexpr NameRules kSystemNameRules = NameRules::windows;
#else
inline constexpr NameRules kSystemNameRules = NameRules::posix;
#endif

// Whether name is one component that stays where it is joined.
bool isSafeName(std::string_view name, NameRules rules);

// Whether destination + directoryName + fileName stays inside the
// destination: directoryName is a backslash, or backslash-separated safe
// names between a leading and a trailing backslash, and fileName is a safe
// name. An empty fileName checks the directory alone.
bool isSafeStoredPath(std::string_view directoryName, std::string_view fileName, NameRules rules);

// Whether every backslash-separated component of path is a safe name (one
// trailing backslash allowed): a path that can stand inside stored names.
bool isSafeRelativePath(std::string_view path, NameRules rules);
