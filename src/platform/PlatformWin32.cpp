// Windows side of the platform layer: the Win32 operations come from
// <windows.h>; only the helpers are defined here.
#include "platform/Platform.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace {

OpenFileHook g_openFileHook = nullptr;

} // namespace

std::FILE* openFile(const char* path, const char* mode) {
    if (g_openFileHook != nullptr)
        g_openFileHook(path);
    return std::fopen(path, mode);
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
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%06u", attempt);
        createdPath = path;
        createdPath += suffix;
        if (GetFileAttributesA(createdPath.c_str()) == INVALID_FILE_ATTRIBUTES)
            return std::fopen(createdPath.c_str(), "wb+");
    }
    return nullptr;
}

bool replaceFile(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
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
    char one[MAX_PATH];
    char other[MAX_PATH];
    return _fullpath(one, first, MAX_PATH) != nullptr && _fullpath(other, second, MAX_PATH) != nullptr &&
           _stricmp(one, other) == 0 && GetFileAttributesA(one) != INVALID_FILE_ATTRIBUTES;
}

void crtSrand(unsigned seed) {
    std::srand(seed);
}

int crtRand() {
    return std::rand();
}
