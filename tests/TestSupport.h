// Helpers shared by the tests: temporary trees, file contents, and running
// the built program.
#pragma once

#include "support/Memory.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return m_path; }
    fs::path operator/(const fs::path& relative) const { return m_path / relative; }

private:
    fs::path m_path;
};

// Writes content to path, creating the parent directories.
void writeFile(const fs::path& path, std::string_view content);
std::string readFile(const fs::path& path);

struct ProgramRun {
    std::string output; // everything the program wrote to standard output
    int status = -1;    // its exit status
};

// Runs the built zas with the given words (argv[1] on) in workingDirectory,
// passing invokedAs as argv[0].
ProgramRun runZas(const std::vector<std::string>& words, const fs::path& workingDirectory,
                  const std::string& invokedAs = "zas");

// POSIX: runs zas as runZas does, with setup called in the child just
// before the program starts (to lower a limit, drop privileges, ...).
ProgramRun runZasWith(const std::vector<std::string>& words, const fs::path& workingDirectory,
                      void (*setup)());

// Sets (or, with null, removes) an environment variable of the test process.
void setEnvironment(const char* name, const char* value);

// True when the sanitizer presets ask for the quick form of the longest
// fault loops (ZAS_TEST_QUICK): fewer files and rounds, the same checks; the
// optimised build runs them in full.
bool quickTests();

// True when the tests run under Wine, whose Win32 calls differ from
// Windows in a few checks.
bool runningUnderWine();

// The banner's two lines and the blank line after them, as every run prints
// them; the build date is matched by shape.
bool startsWithBanner(const std::string& output, std::string* rest);

// The program's output without its banner (a failed expectation when the
// banner is missing).
std::string withoutBanner(const ProgramRun& run);
// Runs zas and returns its output after the banner and its exit status.
std::pair<std::string, int> runAfterBanner(const std::vector<std::string>& words, const fs::path& where);

// The allocation counters at one moment.
struct AllocationCounts {
    std::int32_t made = Z_Memory::sm_iNewCount;
    std::int32_t released = Z_Memory::sm_iDeleteCount;
};
// Whether everything allocated since before has been released.
bool allocationsBalancedSince(const AllocationCounts& before);
