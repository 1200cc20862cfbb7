// POSIX side of the platform layer.
#include "platform/Platform.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include <csignal>
#include <cstdio>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kEpochDifference = 11644473600;
constexpr std::int64_t kTicksPerSecond = 10000000;

// Temporary names: ".zas" and six characters, from a state seeded
// differently from call to call (a clash only costs another try: the files
// are made exclusively).
constexpr char kNameCharacters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

std::uint64_t nameSeed(const void* owner) {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_nsec) ^ static_cast<std::uint64_t>(now.tv_sec) << 20 ^
           reinterpret_cast<std::uintptr_t>(owner) << 24;
}

template <class String>
void appendTemporaryName(String& name, std::uint64_t& state) {
    name += ".zas";
    for (int i = 0; i < 6; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        name += kNameCharacters[(state >> 33) % (sizeof kNameCharacters - 1)];
    }
}

std::string nativePath(const char* path) {
    std::string native(path);
    for (char& c : native)
        if (c == '\\')
            c = '/';
    return native;
}

std::uint64_t fileTimeFromTimespec(const struct timespec& time) {
    const std::int64_t seconds = static_cast<std::int64_t>(time.tv_sec) + kEpochDifference;
    if (seconds < 0)
        return 0; // before 1601: the earliest time there is
    return static_cast<std::uint64_t>(seconds) * kTicksPerSecond + static_cast<std::uint64_t>(time.tv_nsec) / 100;
}

struct timespec timespecFromFileTime(std::uint64_t value) {
    struct timespec time {};
    time.tv_sec = static_cast<time_t>(static_cast<std::int64_t>(value / kTicksPerSecond) - kEpochDifference);
    time.tv_nsec = static_cast<long>(value % kTicksPerSecond) * 100;
    return time;
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

void civilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2);
}

bool isLeapYear(unsigned year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned daysInMonth(unsigned year, unsigned month) {
    static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// A directory listing in progress.
struct FindState {
    DIR* directory = nullptr;
};

// Fills data from one directory item; false when the item has vanished.
bool describeItem(DIR* directory, const char* name, WIN32_FIND_DATAA* data) {
    const std::size_t length = std::strlen(name);
    if (length >= sizeof data->cFileName)
        return false;
    struct stat item {};
    if (fstatat(dirfd(directory), name, &item, AT_SYMLINK_NOFOLLOW) != 0)
        return false;

    DWORD attributes = 0;
    if (S_ISLNK(item.st_mode)) {
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        struct stat target {};
        if (fstatat(dirfd(directory), name, &target, 0) == 0)
            item = target; // dangling links keep the link's own description
    }
    if (S_ISDIR(item.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    else if (!S_ISREG(item.st_mode))
        attributes |= FILE_ATTRIBUTE_DEVICE;
    if (attributes == 0)
        attributes = FILE_ATTRIBUTE_NORMAL;

    *data = WIN32_FIND_DATAA{};
    data->dwFileAttributes = attributes;
    data->ftLastWriteTime = makeFileTime(fileTimeFromTimespec(item.st_mtim));
    data->ftLastAccessTime = makeFileTime(fileTimeFromTimespec(item.st_atim));
    data->ftCreationTime = data->ftLastWriteTime;
    const auto size = S_ISREG(item.st_mode) ? static_cast<std::uint64_t>(item.st_size) : 0u;
    data->nFileSizeLow = static_cast<DWORD>(size);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    std::memcpy(data->cFileName, name, length + 1);
    return true;
}

BOOL readNextItem(FindState* state, WIN32_FIND_DATAA* data) {
    for (;;) {
        const struct dirent* entry = readdir(state->directory);
        if (entry == nullptr)
            return 0;
        if (describeItem(state->directory, entry->d_name, data))
            return 1;
    }
}

OpenFileHook g_openFileHook = nullptr;

} // namespace

BOOL SetCurrentDirectoryA(const char* path) {
    return chdir(nativePath(path).c_str()) == 0;
}

HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data) {
    std::string directory = nativePath(pattern);
    if (directory.empty() || directory.back() != '*')
        return INVALID_HANDLE_VALUE;
    directory.pop_back();

    auto* state = new FindState;
    state->directory = opendir(directory.empty() ? "." : directory.c_str());
    if (state->directory == nullptr || !readNextItem(state, data)) {
        if (state->directory != nullptr)
            closedir(state->directory);
        delete state;
        return INVALID_HANDLE_VALUE;
    }
    return state;
}

BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data) {
    return readNextItem(static_cast<FindState*>(find), data);
}

BOOL FindClose(HANDLE find) {
    auto* state = static_cast<FindState*>(find);
    closedir(state->directory);
    delete state;
    return 1;
}

BOOL FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime) {
    const std::uint64_t value = fileTimeValue(*fileTime);
    if (value >> 63)
        return 0;
    const std::uint64_t milliseconds = value / 10000;
    const auto days = static_cast<std::int64_t>(milliseconds / 86400000);
    const std::uint64_t inDay = milliseconds % 86400000;
    std::int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    // Day 0 is 1601-01-01, which is 134774 days before 1970-01-01.
    civilFromDays(days - 134774, year, month, day);
    systemTime->wYear = static_cast<WORD>(year);
    systemTime->wMonth = static_cast<WORD>(month);
    systemTime->wDay = static_cast<WORD>(day);
    systemTime->wDayOfWeek = static_cast<WORD>((days + 1) % 7); // 1601-01-01 was a Monday
    systemTime->wHour = static_cast<WORD>(inDay / 3600000);
    systemTime->wMinute = static_cast<WORD>(inDay / 60000 % 60);
    systemTime->wSecond = static_cast<WORD>(inDay / 1000 % 60);
    systemTime->wMilliseconds = static_cast<WORD>(inDay % 1000);
    return 1;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, FILETIME* fileTime) {
    const SYSTEMTIME& t = *systemTime;
    if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 ||
        t.wDay > daysInMonth(t.wYear, t.wMonth) || t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59 ||
        t.wMilliseconds > 999)
        return 0;
    const std::int64_t days = daysFromCivil(t.wYear, t.wMonth, t.wDay) + 134774;
    const std::uint64_t milliseconds =
        static_cast<std::uint64_t>(days) * 86400000 + t.wHour * 3600000u + t.wMinute * 60000u + t.wSecond * 1000u +
        t.wMilliseconds;
    *fileTime = makeFileTime(milliseconds * 10000);
    return 1;
}

BOOL DeleteFileA(const char* path) {
    const std::string native = nativePath(path);
    struct stat item {};
    // Windows deletes files only; unlink would also take an empty directory
    // on some systems.
    if (lstat(native.c_str(), &item) != 0 || S_ISDIR(item.st_mode))
        return 0;
    return unlink(native.c_str()) == 0;
}

BOOL RemoveDirectoryA(const char* path) {
    return rmdir(nativePath(path).c_str()) == 0;
}

DWORD GetFileAttributesA(const char* path) {
    // As on Windows, a link is described as a link (and a directory link as a
    // directory too), not as its target; a dangling link still exists.
    const std::string native = nativePath(path);
    struct stat item {};
    if (lstat(native.c_str(), &item) != 0)
        return INVALID_FILE_ATTRIBUTES;
    DWORD attributes = 0;
    if (S_ISLNK(item.st_mode)) {
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        struct stat target {};
        if (stat(native.c_str(), &target) == 0)
            item = target;
    }
    if (S_ISDIR(item.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    else if (!S_ISREG(item.st_mode))
        attributes |= FILE_ATTRIBUTE_DEVICE;
    if ((item.st_mode & 0222) == 0)
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

BOOL CreateDirectoryA(const char* path, LPSECURITY_ATTRIBUTES) {
    return mkdir(nativePath(path).c_str(), 0777) == 0;
}

HANDLE CreateFileA(const char* path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                   HANDLE) {
    if (disposition != OPEN_EXISTING) {
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    const std::string native = nativePath(path);
    struct stat item {};
    if (stat(native.c_str(), &item) != 0)
        return INVALID_HANDLE_VALUE;
    int mode = 0;
    if (S_ISDIR(item.st_mode)) {
        if ((flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
            errno = EISDIR;
            return INVALID_HANDLE_VALUE;
        }
        mode = O_RDONLY | O_DIRECTORY;
    } else {
        const bool reads = (access & GENERIC_READ) != 0;
        const bool writes = (access & GENERIC_WRITE) != 0;
        mode = reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    }
    const int descriptor = open(native.c_str(), mode | O_CLOEXEC);
    if (descriptor < 0)
        return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(descriptor));
}

BOOL SetFileTime(HANDLE file, const FILETIME*, const FILETIME* lastAccess, const FILETIME* lastWrite) {
    struct timespec times[2];
    const FILETIME* given[2] = {lastAccess, lastWrite};
    for (int i = 0; i < 2; ++i) {
        if (given[i] == nullptr || fileTimeValue(*given[i]) == 0) {
            times[i].tv_sec = 0;
            times[i].tv_nsec = UTIME_OMIT;
        } else {
            times[i] = timespecFromFileTime(fileTimeValue(*given[i]));
        }
    }
    const auto descriptor = static_cast<int>(reinterpret_cast<std::intptr_t>(file));
    return futimens(descriptor, times) == 0;
}

BOOL CloseHandle(HANDLE handle) {
    return close(static_cast<int>(reinterpret_cast<std::intptr_t>(handle))) == 0;
}

bool isPathTooLong(const char* path) {
    return std::strlen(path) >= PATH_MAX;
}

std::FILE* openFile(const char* path, const char* mode) {
    if (g_openFileHook != nullptr)
        g_openFileHook(path);
    errno = 0;
    return std::fopen(nativePath(path).c_str(), mode);
}

std::FILE* openRegularFile(const char* path, std::int64_t& length) {
    if (g_openFileHook != nullptr)
        g_openFileHook(path);
    length = -1;
    errno = 0;
    // O_NONBLOCK: opening a fifo for reading would otherwise wait for a
    // writer. It is cleared again for the regular file that remains.
    const int descriptor = open(nativePath(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return nullptr;
    struct stat item {};
    std::FILE* file = nullptr;
    if (fstat(descriptor, &item) == 0 && S_ISREG(item.st_mode) &&
        fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK) == 0)
        file = fdopen(descriptor, "rb");
    if (file == nullptr) {
        close(descriptor);
        return nullptr;
    }
    length = static_cast<std::int64_t>(item.st_size);
    return file;
}

bool openFailureMayPass() {
    return errno == EMFILE || errno == ENFILE;
}

bool describeLinkTarget(const char* path, WIN32_FIND_DATAA&) {
    // The listing has already described the target.
    struct stat target {};
    return stat(nativePath(path).c_str(), &target) == 0;
}

std::int64_t regularFileLength(std::FILE* file) {
    struct stat item {};
    if (fstat(fileno(file), &item) != 0 || !S_ISREG(item.st_mode))
        return -1;
    return static_cast<std::int64_t>(item.st_size);
}

void setOpenFileHookForTesting(OpenFileHook hook) {
    g_openFileHook = hook;
}

std::FILE* createFileBeside(const char* path, zs& createdPath) {
    const std::string native = nativePath(path);
    const std::size_t slash = native.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    // The file being replaced lends its permission bits, so that re-packing
    // a private archive leaves it private; they are set before anything is
    // written. A new file gets 0666 narrowed by the umask, as from fopen.
    struct stat replaced {};
    const bool replacing = stat(native.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode);
    const mode_t mode = replacing ? replaced.st_mode & 0777 : 0666;
    std::uint64_t state = nameSeed(&createdPath);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = native.substr(0, nameStart);
        appendTemporaryName(name, state);
        const int descriptor = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (descriptor < 0) {
            if (errno != EEXIST)
                return nullptr;
            continue;
        }
        // The umask narrows the mode it was created with.
        if (replacing)
            fchmod(descriptor, mode);
        std::FILE* file = fdopen(descriptor, "wb+");
        if (file == nullptr) {
            close(descriptor);
            unlink(name.c_str());
            return nullptr;
        }
        // The program path of the new file: path's directory part as the
        // program spelled it, then the new name.
        createdPath.assign(path, nameStart);
        createdPath.append(name, nameStart, std::string::npos);
        return file;
    }
    return nullptr;
}

std::FILE* openScratchFile() {
    // Not tmpfile(): it ignores TMPDIR.
    const char* given = std::getenv("TMPDIR");
    const std::string directory = given != nullptr && *given != '\0' ? given : "/tmp";
    int descriptor = -1;
#ifdef O_TMPFILE
    // A file without a name from the start, where the file system can.
    descriptor = open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (descriptor < 0) {
        std::string name = directory + "/zasXXXXXX";
        descriptor = mkstemp(name.data());
        if (descriptor < 0)
            return nullptr;
        unlink(name.c_str());
        fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    }
    std::FILE* file = fdopen(descriptor, "wb+");
    if (file == nullptr)
        close(descriptor);
    return file;
}

bool replaceFile(const char* from, const char* to) {
    return std::rename(nativePath(from).c_str(), nativePath(to).c_str()) == 0;
}

bool renameNoReplace(const char* from, const char* to) {
    // A second name, then the first one gone: link() never replaces.
    const std::string source = nativePath(from);
    if (link(source.c_str(), nativePath(to).c_str()) != 0)
        return false;
    unlink(source.c_str());
    return true;
}

bool flushToDisk(std::FILE* file) {
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

bool flushDirectoryOf(const char* path) {
    // A rename is only on the disk once its directory is: without this a
    // power cut could keep the deletions of a move but not the archive's new
    // name. A file system that cannot sync a directory keeps its names in
    // order anyway.
    const std::string native = nativePath(path);
    const std::size_t slash = native.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : native.substr(0, slash);
    const int descriptor = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    const bool flushed = fsync(descriptor) == 0 || errno == EINVAL || errno == ENOTSUP;
    close(descriptor);
    return flushed;
}

bool seekFile(std::FILE* file, std::uint64_t offset) {
    return offset <= static_cast<std::uint64_t>(INT64_MAX) && fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool truncateFile(std::FILE* file, std::uint64_t size) {
    return std::fflush(file) == 0 && size <= static_cast<std::uint64_t>(INT64_MAX) &&
           ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
}

bool isSameFile(const char* first, const char* second) {
    struct stat one {};
    struct stat other {};
    return stat(nativePath(first).c_str(), &one) == 0 && stat(nativePath(second).c_str(), &other) == 0 &&
           one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

bool readAt(std::FILE* file, std::uint64_t offset, void* buffer, std::size_t count) {
    const int descriptor = fileno(file);
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (count != 0) {
        const ssize_t got = pread(descriptor, bytes, count, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        count -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

namespace {

FileIdentity identityOf(const struct stat& item) {
    FileIdentity identity;
    identity.volume = static_cast<std::uint64_t>(item.st_dev);
    identity.file = static_cast<std::uint64_t>(item.st_ino);
    identity.size = static_cast<std::uint64_t>(item.st_size);
    identity.lastWrite = fileTimeFromTimespec(item.st_mtim);
    identity.changed = fileTimeFromTimespec(item.st_ctim);
    return identity;
}

} // namespace

bool identifyOpenFile(std::FILE* file, FileIdentity& identity) {
    struct stat item {};
    if (fstat(fileno(file), &item) != 0)
        return false;
    identity = identityOf(item);
    return true;
}

bool identifyPath(const char* path, FileIdentity& identity) {
    struct stat item {};
    if (stat(nativePath(path).c_str(), &item) != 0)
        return false;
    identity = identityOf(item);
    return true;
}

bool describeRegularFile(const char* path, std::uint64_t& size, std::uint64_t& lastWrite) {
    struct stat item {};
    if (stat(nativePath(path).c_str(), &item) != 0 || !S_ISREG(item.st_mode))
        return false;
    size = static_cast<std::uint64_t>(item.st_size);
    lastWrite = fileTimeFromTimespec(item.st_mtim);
    return true;
}

bool DirectoryHandle::open(const zs& path) {
    close();
    m_path = path;
    const std::string native = nativePath(path.c_str());
    m_descriptor = ::open(native.empty() ? "." : native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    m_open = m_descriptor >= 0;
    m_mayPass = !m_open && (errno == EMFILE || errno == ENFILE);
    return m_open;
}

void DirectoryHandle::close() noexcept {
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
    m_open = false;
}

bool DirectoryHandle::rename(const char* from, const char* to) const {
    return renameat(m_descriptor, from, m_descriptor, to) == 0;
}

bool DirectoryHandle::remove(const char* name) const {
    return unlinkat(m_descriptor, name, 0) == 0;
}

bool OutputHandle::createIn(const DirectoryHandle& directory, zs& name) {
    close();
    m_mayPass = false;
    std::uint64_t state = nameSeed(this);
    for (int attempt = 0; attempt < 100; ++attempt) {
        name.clear();
        appendTemporaryName(name, state);
        // The mode is narrowed by the umask, as for any new file.
        m_descriptor = openat(directory.m_descriptor, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (m_descriptor >= 0)
            return true;
        if (errno != EEXIST) {
            m_mayPass = errno == EMFILE || errno == ENFILE;
            return false;
        }
    }
    return false;
}

bool OutputHandle::isOpen() const noexcept {
    return m_descriptor >= 0;
}

bool OutputHandle::write(const void* bytes, std::size_t count) {
    const auto* next = static_cast<const unsigned char*>(bytes);
    while (count != 0) {
        const ssize_t written = ::write(m_descriptor, next, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        next += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

bool OutputHandle::setTimes(std::uint64_t fileTime) {
    const struct timespec times[2] = {timespecFromFileTime(fileTime), timespecFromFileTime(fileTime)};
    return futimens(m_descriptor, times) == 0;
}

bool OutputHandle::close() noexcept {
    if (m_descriptor < 0)
        return true;
    const bool closed = ::close(m_descriptor) == 0;
    m_descriptor = -1;
    return closed;
}

bool ensureDirectory(const char* path) {
    const std::string native = nativePath(path);
    if (mkdir(native.c_str(), 0777) == 0)
        return true;
    // Something stands there: good only when it is a directory (or a link to
    // one).
    struct stat item {};
    return errno == EEXIST && stat(native.c_str(), &item) == 0 && S_ISDIR(item.st_mode);
}

bool setPathTimes(const char* path, std::uint64_t fileTime, bool& reached) {
    const struct timespec times[2] = {timespecFromFileTime(fileTime), timespecFromFileTime(fileTime)};
    if (utimensat(AT_FDCWD, nativePath(path).c_str(), times, 0) == 0) {
        reached = true;
        return true;
    }
    // What keeps the path from being opened is passed over; what refuses
    // the new times is reported.
    reached = errno != ENOENT && errno != ENOTDIR && errno != EACCES && errno != ELOOP && errno != ENAMETOOLONG;
    return false;
}

bool InputHandle::open(const char* path, FileIdentity& identity) {
    close();
    if (g_openFileHook != nullptr)
        g_openFileHook(path);
    // O_NONBLOCK: opening a fifo for reading would otherwise wait for a
    // writer. A regular file ignores it, so it stays.
    m_descriptor = ::open(nativePath(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    m_mayPass = m_descriptor < 0 && (errno == EMFILE || errno == ENFILE);
    if (m_descriptor < 0)
        return false;
    struct stat item {};
    if (fstat(m_descriptor, &item) != 0 || !S_ISREG(item.st_mode)) {
        close();
        return false;
    }
    identity = identityOf(item);
    return true;
}

bool InputHandle::isOpen() const noexcept {
    return m_descriptor >= 0;
}

std::ptrdiff_t InputHandle::read(void* buffer, std::size_t capacity) {
    for (;;) {
        const ssize_t got = ::read(m_descriptor, buffer, capacity);
        if (got >= 0 || errno != EINTR)
            return got < 0 ? -1 : static_cast<std::ptrdiff_t>(got);
    }
}

void InputHandle::close() noexcept {
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
}

bool OutputHandle::copyFrom(std::FILE* source, std::uint64_t offset, std::size_t count, bool& unsupported) {
    unsupported = false;
    auto from = static_cast<off_t>(offset);
    bool copiedAny = false;
    while (count != 0) {
        const ssize_t copied = copy_file_range(fileno(source), &from, m_descriptor, nullptr, count, 0);
        if (copied < 0 && errno == EINTR)
            continue;
        if (copied < 0 && !copiedAny &&
            (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EBADF))
            unsupported = true;
        if (copied <= 0)
            return false;
        copiedAny = true;
        count -= static_cast<std::size_t>(copied);
    }
    return true;
}
