// Opens an archive, checks its header and loads its two tables: the
// catalogue that listing, reading and extraction walk. The file stays open
// for the entries' bytes, which are read at offsets, so that one reader may
// serve several threads.
#pragma once

#include "archive/Format.h"
#include "platform/Platform.h"
#include "platform/Stream.h"
#include "support/Memory.h"

#include <cstdint>

// Files in file-table order; duplicates are kept.
using FileList = zvector<FileEntry>;
// Directory index -> entry: the i-th entry of the directory table under i.
using DirectoryMap = zmap<std::int32_t, DirEntry>;

// Reads the 44-byte header at the start of the open file and checks it:
// ZAS_OK, ZAS_E_NOT_ARCHIVE (a file too short for a header fails the magic
// check) or ZAS_E_VERSION. header holds what was read either way.
int readArchiveHeader(std::FILE* file, ArchiveHeader& header);

class ArchiveReader {
public:
    // ZAS_OK, or ZAS_E_OPEN (not a regular file, or it cannot be opened),
    // ZAS_E_NOT_ARCHIVE, ZAS_E_VERSION, ZAS_E_DAMAGED. Never reads the data
    // area. On failure the reader holds nothing (but header() still tells
    // what the header said, for ZAS_E_VERSION).
    int open(const zs& path);

    const zs& path() const noexcept { return m_path; }
    const ArchiveHeader& header() const noexcept { return m_header; }
    const FileList& files() const noexcept { return m_files; }
    const DirectoryMap& dirs() const noexcept { return m_dirs; }
    // The directory entry of a file, or null when its index names none.
    const DirEntry* directoryOf(const FileEntry& file) const;

    std::uint64_t length() const noexcept { return m_length; }
    std::uint64_t dataStart() const noexcept {
        return kHeaderSize + static_cast<std::uint64_t>(m_header.fileTableSize) + m_header.dirTableSize;
    }
    // Where file i's stored bytes begin: entries hold no offsets, each
    // follows the one before it.
    std::uint64_t offsetOf(std::size_t i) const noexcept { return m_offsets[i]; }

    // The open archive, for reads at offsets only.
    std::FILE* file() const noexcept { return m_file.get(); }
    bool readAt(std::uint64_t offset, void* buffer, std::size_t count) const {
        return ::readAt(m_file.get(), offset, buffer, count);
    }
    // Whether the file still has the size and last-write time it had when it
    // was opened.
    bool unchanged() const;

private:
    zs m_path;
    Stream m_file;
    std::uint64_t m_length = 0;
    FileIdentity m_identity;
    ArchiveHeader m_header;
    FileList m_files;
    DirectoryMap m_dirs;
    zvector<std::uint64_t> m_offsets;
};
