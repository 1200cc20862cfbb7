// Windows side of the platform layer: the Win32 operations come from
// <windows.h>; only the helpers are defined here.
#include "platform/Platform.h"

#include <cstdint>
#include <cstdlib>

#include <sys/stat.h>
#include <sys/types.h>

std::FILE* openFile(const char* path, const char* mode) {
    return std::fopen(path, mode);
}

std::int64_t regularFileLength(std::FILE* file) {
    struct _stat64 item {};
    if (_fstat64(_fileno(file), &item) != 0 || (item.st_mode & _S_IFMT) != _S_IFREG)
        return -1;
    return static_cast<std::int64_t>(item.st_size);
}

bool seekFile(std::FILE* file, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX))
        return false;
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

void crtSrand(unsigned seed) {
    std::srand(seed);
}

int crtRand() {
    return std::rand();
}
