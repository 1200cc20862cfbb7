// Windows side of the platform layer: the Win32 operations come from
// <windows.h>; only the helpers are defined here.
#include "platform/Platform.h"

#include <cstdlib>

std::FILE* openFile(const char* path, const char* mode) {
    return std::fopen(path, mode);
}

void crtSrand(unsigned seed) {
    std::srand(seed);
}

int crtRand() {
    return std::rand();
}
