// Everything the program reports goes to standard output through these
// functions. A message that begins "Error:" raises the error flag, one that
// begins "Warning:" the warning flag; the entry turns the flags into the exit
// status. The flags are never cleared during a run.
#pragma once

#if defined(__GNUC__)
#define ZAS_PRINTF(format_index, first_argument) __attribute__((format(printf, format_index, first_argument)))
#else
#define ZAS_PRINTF(format_index, first_argument)
#endif

// Plain output.
void printText(const char* format, ...) ZAS_PRINTF(1, 2);
// A progress line ending in a carriage return: flushed at once so that a
// terminal shows it as it comes.
void printProgress(const char* format, ...) ZAS_PRINTF(1, 2);
// Prints and raises the error flag.
void printError(const char* format, ...) ZAS_PRINTF(1, 2);
// Prints and raises the warning flag.
void printWarning(const char* format, ...) ZAS_PRINTF(1, 2);

bool errorRaised();
bool warningRaised();

// For tests that run several modes in one process.
void clearFlagsForTesting();
