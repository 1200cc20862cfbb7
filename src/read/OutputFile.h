// A file being extracted, written as its bytes come: always to a new file
// beside its final name, under a short name of its own, dated through its
// own handle and renamed into place once the content is whole. A killed run
// therefore leaves at most that temporary file, never a partial file under
// a real name; an existing file keeps its old content until the new one is
// complete, and a link standing at the name is replaced rather than written
// through. Unless placed, the new file is removed. After a failed write,
// further bytes are taken and dropped, so that the entry can still be read
// to its end and judged.
//
// Writing (up to finish()) and placing may happen on different threads, one
// after the other.
#pragma once

#include "archive/Format.h"
#include "archive/Lzss.h"
#include "platform/Platform.h"
#include "support/Memory.h"

#include <cstdint>
#include <cstdio>

// The file time of a stored date; false when it records none the system
// can set (year 0, a field out of range, or the very first instant).
inline bool fileTimeOf(const ArchiveDate& date, std::uint64_t& fileTime) {
    if (date.year == 0)
        return false;
    const SYSTEMTIME time = systemTimeOf<SYSTEMTIME>(date);
    FILETIME converted;
    if (!SystemTimeToFileTime(&time, &converted))
        return false;
    fileTime = fileTimeValue(converted);
    return fileTime != 0;
}

class OutputFile final : public LzssSink {
public:
    // directory is where the file goes, opened (or not, when it could not
    // be): the file is then not written.
    OutputFile(const DirectoryHandle& directory, const zs& name) : m_directory(directory), m_name(name) {
        m_failed = !directory.isOpen() || !m_file.createIn(directory, m_temporary);
        m_mayPass = m_failed && directory.isOpen() && m_file.mayPass();
        if (m_failed)
            m_temporary.clear();
    }
    ~OutputFile() { discard(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool write(const unsigned char* bytes, std::size_t count) override {
        if (!m_failed && !m_file.write(bytes, count))
            m_failed = true;
        return true;
    }

    bool failed() const noexcept { return m_failed; }
    // Whether the file could not be created for a reason that may pass (too
    // many files open).
    bool mayPass() const noexcept { return m_mayPass; }

    // Copies count bytes of the archive from offset on into the file inside
    // the system; see OutputHandle::copyFrom.
    bool copyFrom(std::FILE* archive, std::uint64_t offset, std::size_t count, bool& unsupported) {
        unsupported = false;
        if (m_failed)
            return false;
        if (!m_file.copyFrom(archive, offset, count, unsupported) && !unsupported)
            m_failed = true;
        return !m_failed && !unsupported;
    }

    // Dates the file, before it is closed. False when the date could not be
    // set (a date the system cannot hold is not set, and not reported).
    bool setDate(const ArchiveDate& date) {
        std::uint64_t fileTime = 0;
        return m_failed || !fileTimeOf(date, fileTime) || m_file.setTimes(fileTime);
    }

    // Closes the file, whole. False (the file is then removed when this
    // goes) when any of it could not be written.
    bool finish() {
        if (!m_failed && !m_file.close())
            m_failed = true;
        return !m_failed;
    }

    // Puts the finished file in place under its name. False, with the new
    // file removed, when it could not be.
    bool place() {
        const bool placed = finish() && m_directory.rename(m_temporary.c_str(), m_name.c_str());
        if (placed)
            m_temporary.clear();
        return placed;
    }

    void discard() noexcept {
        m_file.close();
        if (!m_temporary.empty())
            m_directory.remove(m_temporary.c_str());
        m_temporary.clear();
    }

private:
    const DirectoryHandle& m_directory;
    const zs& m_name;
    OutputHandle m_file;
    zs m_temporary;
    bool m_failed = false;
    bool m_mayPass = false;
};
