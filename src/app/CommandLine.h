// The command line: banner, options, the two paths, the usage text.
#pragma once

#include "support/Memory.h"

#include <cstdint>

inline constexpr std::int32_t kModeNone = 0;
inline constexpr std::int32_t kModeAdd = 1;
inline constexpr std::int32_t kModeMove = 2;
inline constexpr std::int32_t kModeView = 3;
inline constexpr std::int32_t kModeExtract = 4;

// The program's version, printed by the banner as 1.20; the archive header
// carries the same number.
inline constexpr float kProgramVersion = 1.2f;

// Prints the banner, then either fills the five outputs and returns true, or
// prints the usage text (or the relative-path error) and returns false.
//
// Options are the words before the first word that begins with neither '-'
// nor '/'; only their second character counts, case-insensitively. That word
// is the source, the next one the destination, and everything after it is
// ignored. The word "--" also ends the options, so that an absolute POSIX
// path can be given as the source.
bool parseCommandLine(int argc, const char* const* argv, std::int32_t& mode, bool& excludePath, bool& compress,
                      zs& source, zs& destination);

// When a word that begins with '/' was read as an option, the command line
// as it was probably meant: "--" before that word, so that it is read as an
// absolute path. Empty when no such word was read as an option.
zs slashOptionCorrection(int argc, const char* const* argv, zs& word);

// The program name as the usage text shows it: the first word after its last
// backslash.
zs programName(const char* invokedAs);

void printUsage(const zs& name);
