// What the three modes share: the open failures, the memory failure, the
// settings the entry hands down, and the interrupt.
#include "app/Modes.h"

#include "app/CommandLine.h"
#include "app/Console.h"
#include "platform/Platform.h"
#include "platform/Process.h"
#include "support/Exception.h"

#include <zas.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

namespace {

unsigned g_keySeed = static_cast<unsigned>(std::time(nullptr));
unsigned g_workerThreads = 0;

} // namespace

void setKeySeed(unsigned seed) {
    g_keySeed = seed;
}

void setWorkerThreads(unsigned threads) {
    g_workerThreads = threads;
}

unsigned keySeed() {
    return g_keySeed;
}

unsigned workerThreadsSetting() {
    return g_workerThreads;
}

unsigned workerThreadsFromEnvironment() {
    if (const char* given = std::getenv("ZAS_THREADS"); given != nullptr && *given >= '0' && *given <= '9') {
        char* end = nullptr;
        const unsigned long threads = std::strtoul(given, &end, 10);
        if (*end == '\0' && threads > 0)
            return static_cast<unsigned>(std::min(threads, 256ul));
    }
    return 0;
}

bool modeInterrupted() {
    return interruptSignal() != 0;
}

void raiseOnMemoryFailure(int status) {
    if (status == ZAS_E_NOMEM)
        throw Z_MemoryException_Allocation();
}

void reportOpenFailure(int status, const zs& archivePath) {
    raiseOnMemoryFailure(status);
    const char* path = archivePath.c_str();
    switch (status) {
    case ZAS_E_NOT_ARCHIVE: printError("Error: Archive \"%s\" is not a valid file\n", path); break;
    case ZAS_E_VERSION: {
        zas_info info{};
        zas_probe(path, &info);
        printError("Error: Archive \"%s\" version is %.2f, expected version %.2f\n", path, info.version,
                   static_cast<double>(kProgramVersion));
        break;
    }
    case ZAS_E_DAMAGED: printError("Error: Archive \"%s\" is damaged\n", path); break;
    default: printError("Error: Could not open file \"%s\"\n", path); break;
    }
}
