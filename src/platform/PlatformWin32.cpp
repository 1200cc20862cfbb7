// Windows side of the platform layer: the Win32 operations come from
// <windows.h>; only the helpers are defined here.
#include "platform/Platform.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace {

OpenFileHook g_openFileHook = nullptr;

// A handle for reading the attributes of what path leads to, links followed;
// closed when the owner goes.
class AttributeHandle {
public:
    explicit AttributeHandle(const char* path)
        : m_handle(CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)) {}
    ~AttributeHandle() {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }
    AttributeHandle(const AttributeHandle&) = delete;
    AttributeHandle& operator=(const AttributeHandle&) = delete;

    bool describe(BY_HANDLE_FILE_INFORMATION& information) const {
        return m_handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(m_handle, &information) != 0;
    }

private:
    HANDLE m_handle;
};

} // namespace

std::FILE* openFile(const char* path, const char* mode) {
    if (g_openFileHook != nullptr)
        g_openFileHook(path);
    errno = 0;
    _doserrno = 0;
    return std::fopen(path, mode);
}

std::FILE* openRegularFile(const char* path, std::int64_t& length) {
    length = -1;
    errno = 0;
    _doserrno = 0;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return nullptr;
    std::FILE* file = openFile(path, "rb");
    if (file == nullptr)
        return nullptr;
    length = regularFileLength(file);
    if (length < 0) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

bool openFailureMayPass() {
    // The C runtime's own table of descriptors, or the system's handles.
    return errno == EMFILE || _doserrno == ERROR_TOO_MANY_OPEN_FILES;
}

bool describeLinkTarget(const char* path, WIN32_FIND_DATAA& item) {
    BY_HANDLE_FILE_INFORMATION target{};
    if (!AttributeHandle(path).describe(target) || (target.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    item.nFileSizeHigh = target.nFileSizeHigh;
    item.nFileSizeLow = target.nFileSizeLow;
    item.ftLastWriteTime = target.ftLastWriteTime;
    return true;
}

std::int64_t regularFileLength(std::FILE* file) {
    struct _stat64 item {};
    if (_fstat64(_fileno(file), &item) != 0 || (item.st_mode & _S_IFMT) != _S_IFREG)
        return -1;
    return static_cast<std::int64_t>(item.st_size);
}

void setOpenFileHookForTesting(OpenFileHook hook) {
    g_openFileHook = hook;
}

std::FILE* createFileBeside(const char* path, zs& createdPath) {
    const char* separator = std::strrchr(path, '\\');
    const std::size_t nameStart = separator == nullptr ? 0 : static_cast<std::size_t>(separator - path) + 1;
    // A hidden file replaced stays hidden. Its permissions need nothing: the
    // new file inherits the folder's, as the one it replaces did unless it
    // was given others by hand.
    const DWORD replaced = GetFileAttributesA(path);
    const DWORD attributes = replaced != INVALID_FILE_ATTRIBUTES && (replaced & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                                     (replaced & FILE_ATTRIBUTE_HIDDEN) != 0
                                 ? FILE_ATTRIBUTE_HIDDEN
                                 : FILE_ATTRIBUTE_NORMAL;
    // A short name of its own, whatever the length of path's name.
    const unsigned start = static_cast<unsigned>(GetTickCount()) % 1000000u;
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        char name[16];
        std::snprintf(name, sizeof name, ".zas%06u", (start + attempt) % 1000000u);
        createdPath.assign(path, nameStart);
        createdPath += name;
        const HANDLE handle = CreateFileA(createdPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW, attributes, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS)
                continue;
            return nullptr;
        }
        const int descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_RDWR | _O_BINARY);
        if (descriptor < 0) {
            CloseHandle(handle);
            DeleteFileA(createdPath.c_str());
            return nullptr;
        }
        std::FILE* file = _fdopen(descriptor, "w+b");
        if (file == nullptr) {
            _close(descriptor);
            DeleteFileA(createdPath.c_str());
        }
        return file;
    }
    return nullptr;
}

std::FILE* openScratchFile() {
    // Not tmpfile(): the C runtime's puts its files in the root directory of
    // the current drive, where users often may not write.
    char directory[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof directory, directory);
    char path[MAX_PATH];
    if (length == 0 || length > MAX_PATH || GetTempFileNameA(directory, "zas", 0, path) == 0)
        return nullptr;
    const HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DeleteFileA(path);
        return nullptr;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(descriptor, "w+b");
    if (file == nullptr)
        _close(descriptor);
    return file;
}

bool replaceFile(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool renameNoReplace(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) != 0;
}

bool flushToDisk(std::FILE* file) {
    return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

bool flushDirectoryOf(const char*) {
    return true; // replaceFile moves with MOVEFILE_WRITE_THROUGH, which already waits for the disk
}

bool seekFile(std::FILE* file, std::uint64_t offset) {
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

bool truncateFile(std::FILE* file, std::uint64_t size) {
    return std::fflush(file) == 0 && _chsize_s(_fileno(file), static_cast<__int64>(size)) == 0;
}

bool isPathTooLong(const char* path) {
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(path, MAX_PATH, full, nullptr);
    return length >= MAX_PATH || std::strlen(path) >= MAX_PATH;
}

bool isSameFile(const char* first, const char* second) {
    // By identity, not by spelling: a short name, another letter case, a
    // junction or a substituted drive all reach the same file index.
    BY_HANDLE_FILE_INFORMATION one{};
    BY_HANDLE_FILE_INFORMATION other{};
    return AttributeHandle(first).describe(one) && AttributeHandle(second).describe(other) &&
           one.dwVolumeSerialNumber == other.dwVolumeSerialNumber && one.nFileIndexHigh == other.nFileIndexHigh &&
           one.nFileIndexLow == other.nFileIndexLow;
}

bool readAt(std::FILE* file, std::uint64_t offset, void* buffer, std::size_t count) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (count != 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD wanted = count < 0x40000000u ? static_cast<DWORD>(count) : 0x40000000u;
        DWORD got = 0;
        if (!ReadFile(handle, bytes, wanted, &got, &at) || got == 0)
            return false;
        bytes += got;
        count -= got;
        offset += got;
    }
    return true;
}

namespace {

FileIdentity identityOf(const BY_HANDLE_FILE_INFORMATION& information) {
    FileIdentity identity;
    identity.volume = information.dwVolumeSerialNumber;
    identity.file = static_cast<std::uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
    identity.size = static_cast<std::uint64_t>(information.nFileSizeHigh) << 32 | information.nFileSizeLow;
    identity.lastWrite = fileTimeValue(information.ftLastWriteTime);
    return identity;
}

} // namespace

bool identifyOpenFile(std::FILE* file, FileIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION information{};
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &information))
        return false;
    identity = identityOf(information);
    return true;
}

bool identifyPath(const char* path, FileIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!AttributeHandle(path).describe(information))
        return false;
    identity = identityOf(information);
    return true;
}

bool describeRegularFile(const char* path, std::uint64_t& size, std::uint64_t& lastWrite) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!AttributeHandle(path).describe(information) ||
        (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
        return false;
    size = static_cast<std::uint64_t>(information.nFileSizeHigh) << 32 | information.nFileSizeLow;
    lastWrite = fileTimeValue(information.ftLastWriteTime);
    return true;
}

bool DirectoryHandle::open(const zs& path) {
    close();
    m_path = path;
    const DWORD attributes = GetFileAttributesA(path.empty() ? "." : path.c_str());
    m_open = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (m_open && !m_path.empty() && m_path.back() != '\\')
        m_path += '\\';
    return m_open;
}

void DirectoryHandle::close() noexcept {
    m_open = false;
}

bool DirectoryHandle::rename(const char* from, const char* to) const {
    return MoveFileExA((m_path + from).c_str(), (m_path + to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool DirectoryHandle::remove(const char* name) const {
    return DeleteFileA((m_path + name).c_str()) != 0;
}

bool OutputHandle::createIn(const DirectoryHandle& directory, zs& name) {
    close();
    m_mayPass = false;
    // Threads creating files in one directory at once start apart.
    const auto start = static_cast<unsigned>((GetTickCount() ^ GetCurrentProcessId() << 12 ^ GetCurrentThreadId() << 20 ^
                                              reinterpret_cast<std::uintptr_t>(this) >> 4) %
                                             1000000u);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        char candidate[16];
        std::snprintf(candidate, sizeof candidate, ".zas%06u", (start + attempt * 7919u) % 1000000u);
        m_handle = CreateFileA((directory.path() + candidate).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (m_handle != INVALID_HANDLE_VALUE) {
            name = candidate;
            return true;
        }
        if (const DWORD error = GetLastError(); error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            m_mayPass = error == ERROR_TOO_MANY_OPEN_FILES;
            return false;
        }
    }
    return false;
}

bool OutputHandle::isOpen() const noexcept {
    return m_handle != INVALID_HANDLE_VALUE;
}

bool OutputHandle::write(const void* bytes, std::size_t count) {
    const auto* next = static_cast<const unsigned char*>(bytes);
    while (count != 0) {
        const DWORD wanted = count < 0x40000000u ? static_cast<DWORD>(count) : 0x40000000u;
        DWORD written = 0;
        if (!WriteFile(m_handle, next, wanted, &written, nullptr) || written == 0)
            return false;
        next += written;
        count -= written;
    }
    return true;
}

bool OutputHandle::setTimes(std::uint64_t fileTime) {
    const FILETIME time = makeFileTime(fileTime);
    return SetFileTime(m_handle, &time, &time, &time) != 0;
}

bool OutputHandle::close() noexcept {
    if (m_handle == INVALID_HANDLE_VALUE)
        return true;
    const bool closed = CloseHandle(m_handle) != 0;
    m_handle = INVALID_HANDLE_VALUE;
    return closed;
}

bool ensureDirectory(const char* path) {
    if (CreateDirectoryA(path, nullptr) != 0)
        return true;
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool setPathTimes(const char* path, std::uint64_t fileTime, bool& reached) {
    const HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    reached = handle != INVALID_HANDLE_VALUE;
    if (!reached)
        return false;
    const FILETIME time = makeFileTime(fileTime);
    const bool set = SetFileTime(handle, &time, &time, &time) != 0;
    CloseHandle(handle);
    return set;
}

bool InputHandle::open(const char* path, FileIdentity& identity) {
    close();
    if (g_openFileHook != nullptr)
        g_openFileHook(path);
    m_handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    m_mayPass = m_handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_TOO_MANY_OPEN_FILES;
    if (m_handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(m_handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(m_handle, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        close();
        return false;
    }
    identity = identityOf(information);
    return true;
}

bool InputHandle::isOpen() const noexcept {
    return m_handle != INVALID_HANDLE_VALUE;
}

std::ptrdiff_t InputHandle::read(void* buffer, std::size_t capacity) {
    const DWORD wanted = capacity < 0x40000000u ? static_cast<DWORD>(capacity) : 0x40000000u;
    DWORD got = 0;
    if (!ReadFile(m_handle, buffer, wanted, &got, nullptr))
        return -1;
    return static_cast<std::ptrdiff_t>(got);
}

void InputHandle::close() noexcept {
    if (m_handle != INVALID_HANDLE_VALUE)
        CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
}

bool OutputHandle::copyFrom(std::FILE*, std::uint64_t, std::size_t, bool& unsupported) {
    unsupported = true;
    return false;
}
