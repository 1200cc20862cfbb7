// The file-system and run-time operations the program uses, under their
// Win32 names. On Windows they are the real API; elsewhere PlatformPosix.cpp
// provides the same names with the behaviour the program relies on. Paths
// use the backslash everywhere in the program; the POSIX side turns it into
// '/' when it hands a path to the system, and changes nothing else.
#pragma once

#include "support/Memory.h"

#include <cstdint>
#include <cstdio>

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#else

using BOOL = int;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using HANDLE = void*;
using LPSECURITY_ATTRIBUTES = void*;

inline constexpr DWORD MAX_PATH = 260;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    char cFileName[MAX_PATH];
    char cAlternateFileName[14];
};

inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x40;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD FILE_SHARE_READ = 0x1;
inline constexpr DWORD FILE_SHARE_WRITE = 0x2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

BOOL SetCurrentDirectoryA(const char* path);

// Lists the items of the directory named by "dir\*" (or "*" for the current
// directory), "." and ".." included. A symbolic link carries
// FILE_ATTRIBUTE_REPARSE_POINT, plus the directory bit when it leads to a
// directory; its size and time are those of its target. Anything that is
// neither a regular file nor a directory carries FILE_ATTRIBUTE_DEVICE.
HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data);
BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data);
BOOL FindClose(HANDLE find);

// UTC both ways. FileTimeToSystemTime fails on times of 2^63 and above;
// SystemTimeToFileTime fails on any field out of range (years 1601 to 30827,
// real calendar days, hour below 24 and so on) and ignores wDayOfWeek.
BOOL FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime);
BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, FILETIME* fileTime);

BOOL DeleteFileA(const char* path);
BOOL RemoveDirectoryA(const char* path);
DWORD GetFileAttributesA(const char* path);
BOOL CreateDirectoryA(const char* path, LPSECURITY_ATTRIBUTES security);

// Opens an existing file or (with FILE_FLAG_BACKUP_SEMANTICS) directory, for
// setting its times. Only OPEN_EXISTING is supported.
HANDLE CreateFileA(const char* path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
// POSIX keeps no creation time: the last-access and last-write times are
// set. A null or zero time leaves that time as it is, as on Windows.
BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* lastAccess,
                 const FILETIME* lastWrite);
BOOL CloseHandle(HANDLE handle);

#endif

// Helpers with the same meaning on both sides.

// fopen of a program path.
std::FILE* openFile(const char* path, const char* mode);

// Opens a program path for binary reading only if it is a regular file (or a
// link to one), without ever blocking: a fifo or a device is refused before
// anything waits on it. Null otherwise; length receives the file's length.
std::FILE* openRegularFile(const char* path, std::int64_t& length);

// Called right after openFile or openRegularFile returned null on this
// thread: whether it failed for a reason that may pass, too many files open
// in the process or the system.
bool openFailureMayPass();

// Fills item's size and last-write time from what the link at path leads
// to. The listing describes a file link on Windows by the link itself
// (size 0); on POSIX it already describes the target. False when the target
// cannot be reached.
bool describeLinkTarget(const char* path, WIN32_FIND_DATAA& item);

// The length of an open regular file, or -1 when the stream is not a regular
// file (a directory opened for reading, a device) or cannot be examined.
std::int64_t regularFileLength(std::FILE* file);

// Tests only: a function that openFile calls with the program path before it
// opens anything, so that a test can change the file at the last moment.
// Null (the default) calls nothing.
using OpenFileHook = void (*)(const char* path);
void setOpenFileHookForTesting(OpenFileHook hook);

// Creates a new, empty file in the directory of path, under a short name of
// its own (".zas" and six characters, so that it fits whatever the length of
// path's own name), opened for writing and reading ("wb+"), to replace path
// once it is complete. It takes what a file of path's name would keep: on
// POSIX the permission bits of the regular file at path, on Windows its
// hidden attribute; with nothing there, the permissions a new file normally
// gets. Null when it cannot be created; createdPath then holds nothing
// useful.
std::FILE* createFileBeside(const char* path, zs& createdPath);
// A new, empty file in the directory for temporary files ($TMPDIR when it
// is set, else /tmp; on Windows the one GetTempPath names), opened for
// writing and reading ("wb+"), that the system removes when it is closed or
// the process ends. Null when none can be created there.
std::FILE* openScratchFile();
// Renames from to to, replacing a file of that name in one step.
bool replaceFile(const char* from, const char* to);
// Renames from to to only if nothing stands at to.
bool renameNoReplace(const char* from, const char* to);
// Writes out the stream's buffer and waits until the system has the file's
// bytes on the disk.
bool flushToDisk(std::FILE* file);
// Waits until the directory holding path has its entries (a rename into it)
// on the disk.
bool flushDirectoryOf(const char* path);
// Offsets of 4 GiB and more on every platform.
bool seekFile(std::FILE* file, std::uint64_t offset);
bool truncateFile(std::FILE* file, std::uint64_t size);
// Whether the system refuses path for its length alone: longer than MAX_PATH
// as a full path on Windows, than PATH_MAX on POSIX.
bool isPathTooLong(const char* path);
// The size and last-write time (a 64-bit file time) of what path leads to,
// links followed; false unless it is a regular file.
bool describeRegularFile(const char* path, std::uint64_t& size, std::uint64_t& lastWrite);

// Reads count bytes at offset of an open file, without using or moving the
// stream's position, so that several threads may read one file at once.
// False unless all of them were read.
bool readAt(std::FILE* file, std::uint64_t offset, void* buffer, std::size_t count);

// What identifies a file's content as it was seen: which file it is, its
// size and its last-write time, and on POSIX its change time (which any
// write, rename or change of the file's attributes moves).
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t file = 0;
    std::uint64_t size = 0;
    std::uint64_t lastWrite = 0;
    std::uint64_t changed = 0;

    bool operator==(const FileIdentity&) const = default;
};
// The identity of an open file; of what path leads to (links followed).
bool identifyOpenFile(std::FILE* file, FileIdentity& identity);
bool identifyPath(const char* path, FileIdentity& identity);

// Whether two paths name one and the same existing file: the same file on
// the same volume, however each path spells it (links, short names, letter
// case).
bool isSameFile(const char* first, const char* second);

// Making files the way extraction does, with as few system calls as the
// system allows: a directory is opened once and files are made in it by
// their names alone; each file is created under a temporary name, written,
// dated through its own handle and renamed into place.

// A directory held open. On Windows it is its path.
class DirectoryHandle {
public:
    DirectoryHandle() noexcept = default;
    ~DirectoryHandle() { close(); }
    DirectoryHandle(const DirectoryHandle&) = delete;
    DirectoryHandle& operator=(const DirectoryHandle&) = delete;

    // Opens the directory at path (a program path); false when it is none
    // or cannot be opened, and then mayPass() tells whether the reason may
    // pass (too many files open).
    bool open(const zs& path);
    void close() noexcept;
    bool isOpen() const noexcept { return m_open; }
    bool mayPass() const noexcept { return m_mayPass; }
    const zs& path() const noexcept { return m_path; }

    // Renames from to to inside the directory, replacing a file of that
    // name in one step; removes a name.
    bool rename(const char* from, const char* to) const;
    bool remove(const char* name) const;

private:
    friend class OutputHandle;
    zs m_path;
    int m_descriptor = -1;
    bool m_open = false;
    bool m_mayPass = false;
};

// A new file being written, unbuffered: the caller writes large pieces.
class OutputHandle {
public:
    OutputHandle() noexcept = default;
    ~OutputHandle() { close(); }
    OutputHandle(const OutputHandle&) = delete;
    OutputHandle& operator=(const OutputHandle&) = delete;

    // Creates a new file in directory under a short name of its own (".zas"
    // and six characters), with the permissions a new file normally gets;
    // name receives it. False when none can be created; mayPass() then
    // tells whether the reason may pass (too many files open). Several
    // threads may create files in one directory at once.
    bool createIn(const DirectoryHandle& directory, zs& name);
    bool mayPass() const noexcept { return m_mayPass; }
    bool isOpen() const noexcept;
    bool write(const void* bytes, std::size_t count);
    // Copies count bytes of source from offset on into the file, inside the
    // system, without passing them through the program. False when they
    // could not all be copied; unsupported then says the system cannot copy
    // this way at all (nothing was copied: write them instead).
    bool copyFrom(std::FILE* source, std::uint64_t offset, std::size_t count, bool& unsupported);
    // Sets the file's last-access and last-write times (on Windows its
    // creation time too) to a 64-bit file time.
    bool setTimes(std::uint64_t fileTime);
    // False when the file could not be closed cleanly (its last bytes may
    // not have been written).
    bool close() noexcept;

private:
#ifdef _WIN32
    HANDLE m_handle = INVALID_HANDLE_VALUE;
#else
    int m_descriptor = -1;
#endif
    bool m_mayPass = false;
};

// A regular file read front to back, unbuffered, as packing reads its
// sources: one open and one look at the open file tell everything.
class InputHandle {
public:
    InputHandle() noexcept = default;
    ~InputHandle() { close(); }
    InputHandle(const InputHandle&) = delete;
    InputHandle& operator=(const InputHandle&) = delete;

    // Opens path (a program path) if it is a regular file (or a link to
    // one), without ever blocking on a fifo or a device; identity receives
    // what the file is as it was opened. False otherwise; mayPass() then
    // tells whether the reason may pass (too many files open).
    bool open(const char* path, FileIdentity& identity);
    bool isOpen() const noexcept;
    bool mayPass() const noexcept { return m_mayPass; }
    // The next bytes, at most capacity: how many (0 at the end), or -1 when
    // reading failed.
    std::ptrdiff_t read(void* buffer, std::size_t capacity);
    void close() noexcept;

private:
#ifdef _WIN32
    HANDLE m_handle = INVALID_HANDLE_VALUE;
#else
    int m_descriptor = -1;
#endif
    bool m_mayPass = false;
};

// Creates the directory at path unless one stands there already; false
// when it could not be created (a file standing there included).
bool ensureDirectory(const char* path);

// Sets the last-access and last-write times (on Windows the creation time
// too) of what path leads to. reached is false when it could not be opened
// at all: that is not reported.
bool setPathTimes(const char* path, std::uint64_t fileTime, bool& reached);

// The 64-bit value of a FILETIME, and back.
inline std::uint64_t fileTimeValue(const FILETIME& time) {
    return static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}
inline FILETIME makeFileTime(std::uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}
