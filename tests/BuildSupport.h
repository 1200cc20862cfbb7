// Helpers for the gathering and writer tests: working in a fixture tree,
// reading back what the writer made, setting file times.
#pragma once

#include "app/Modes.h"
#include "TestSupport.h"
#include "archive/Format.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

// Makes a directory the current one for the object's lifetime.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const fs::path& directory);
    ~WorkingDirectory();
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    fs::path m_previous;
};

// An archive as the reader sees it: the header and tables unscrambled and
// parsed, the data area as bytes. loaded is false when any part is damaged.
struct ArchiveContents {
    bool loaded = false;
    ArchiveHeader header;
    // Checksums taken here over the plain bytes, to compare with the header's.
    std::uint32_t plainHeaderCrc = 0; // with the header's own field as 0
    std::uint32_t plainFileTableCrc = 0;
    std::uint32_t plainDirTableCrc = 0;
    zvector<FileEntry> files;
    zmap<std::int32_t, DirEntry> dirs;
    std::string data;

    // The stored bytes of file i, found by adding up the stored sizes before
    // it.
    std::string storedBytes(std::size_t i) const;
};

ArchiveContents loadArchive(const fs::path& path);

// Sets a file's or directory's last-write time to a 64-bit file time
// (100-nanosecond units since 1601-01-01 UTC).
void setWriteTime(const fs::path& path, std::uint64_t fileTime);

// The date the writer records for a file time.
ArchiveDate dateFromFileTime(std::uint64_t fileTime);

// Runs gatherSources on source in directory with standard output captured
// (into printed) and returns the gathered paths, the digits cut off.
std::vector<std::string> gatherIn(const fs::path& directory, const std::string& source,
                                  std::string* printed = nullptr, zvector<zs>* entries = nullptr,
                                  unsigned threads = 1);


// The writer's closing line with the blank line after it; outcome is "",
// " with warnings" or " with errors".
std::string closingLines(const char* outcome = "");

// The names in a directory.
std::set<std::string> namesIn(const fs::path& directory);

// Runs writeArchive in directory with standard output captured, and checks
// that it released everything it allocated. The archive is out.zas.
std::string writeInProcess(const fs::path& directory, const char* source, bool excludePath, bool compress,
                           bool move);
