// The program's three modes, each a client of the library that turns its
// events into the program's texts: progress lines, warnings and errors on
// standard output, and the flags the exit status comes from.
#pragma once

#include "support/Memory.h"

#include <zas.h>

#include <cstdint>

// Packs every directory and file under source into the archive. With
// excludePath the stored names start below source; with compress every
// non-empty file is stored as one compressed block; with move the sources
// are deleted once the archive is safely on disk.
void writeArchive(const zs& source, const zs& archive, bool excludePath, bool compress, bool move);

// One line per file of an archive, then the totals.
void listArchive(const zs& archivePath);

// Recreates an archive's tree under destination (the current directory when
// empty).
void extractArchive(const zs& archivePath, const zs& destination);

// The texts of the library's events, as the modes print them; one printer
// serves one run. print() is an event callback (its user pointer the
// printer) and returns non-zero once the run was interrupted.
class WriteEventPrinter {
public:
    static int print(const zas_event* event, void* printer);

private:
    std::int64_t m_countdown = 0;
    std::int32_t m_dotCount = 1;
};

class ExtractEventPrinter {
public:
    static int print(const zas_event* event, void* printer);

private:
    std::int64_t m_countdown = 0;
};

// The seed the archive key is drawn from (by default the clock when the
// program started), and the worker threads of packing and extraction (0: one
// per core).
void setKeySeed(unsigned seed);
void setWorkerThreads(unsigned threads);
unsigned keySeed();
// ZAS_THREADS when it is set to a positive number (at most 256), else 0.
unsigned workerThreadsFromEnvironment();
unsigned workerThreadsSetting();

// Whether a mode stopped because the user interrupted the run: the entry
// then ends the process as the signal would have.
bool modeInterrupted();

// Reports what keeps an archive from being read, after "Reading archive
// ...": one "Error:" line naming it. Throws the memory exception for
// ZAS_E_NOMEM, as the engine's own failure to allocate ends a run.
void reportOpenFailure(int status, const zs& archivePath);
// Throws the memory exception when status is ZAS_E_NOMEM.
void raiseOnMemoryFailure(int status);
