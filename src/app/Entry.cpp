#include "app/Entry.h"

#include "app/CommandLine.h"
#include "app/Console.h"
#include "app/Modes.h"
#include "app/Services.h"
#include "platform/Platform.h"
#include "platform/Process.h"
#include "support/Exception.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

void runMode(std::int32_t mode, bool excludePath, bool compress, const zs& source, const zs& destination) {
    switch (mode) {
    case kModeAdd: writeArchive(source, destination, excludePath, compress, false); break;
    case kModeMove: writeArchive(source, destination, excludePath, compress, true); break;
    case kModeView: listArchive(source); break;
    case kModeExtract: extractArchive(source, destination); break;
    default: break;
    }
}

// The archive key's generator is seeded from the clock, or, for
// reproducible archives, from SOURCE_DATE_EPOCH (seconds) when it is set to
// a number: two runs over the same tree then write the same bytes.
unsigned randomSeed() {
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch != nullptr && *epoch != '\0') {
        char* end = nullptr;
        const unsigned long long seconds = std::strtoull(epoch, &end, 10);
        if (*end == '\0')
            return static_cast<unsigned>(seconds);
    }
    return static_cast<unsigned>(std::time(nullptr));
}

// After a run that failed: a word that begins with '/' is an option here,
// which is seldom what was meant.
void explainSlashOption(int argc, const char* const* argv) {
    if (!absolutePathsBeginWithSlash())
        return;
    zs word;
    const zs corrected = slashOptionCorrection(argc, argv, word);
    if (!corrected.empty())
        printText("Note: \"%s\" was read as an option; an absolute path needs \"--\" before it: %s\n", word.c_str(),
                  corrected.c_str());
}

} // namespace

int runProgram(int argc, const char* const* argv) {
    File->setArchiveHandling(0);
    // The directory as the system gave it: it is no program path, and a
    // backslash in it is part of a name.
    if (!enterSystemDirectory(File->getStartupDirectory()))
        printWarning("Warning: Could not enter the start-up directory \"%s\"\n", File->getStartupDirectory());
    Sys->ceaseVerbose(1);

    std::int32_t mode = kModeNone;
    bool excludePath = false;
    bool compress = false;
    zs source;
    zs destination;
    setKeySeed(randomSeed());
    setWorkerThreads(workerThreadsFromEnvironment());
    installInterruptHandlers();

    if (!parseCommandLine(argc, argv, mode, excludePath, compress, source, destination)) {
        explainSlashOption(argc, argv);
        // The usage text is no failure; a refused source is.
        return errorRaised() ? 0 : 1;
    }
    try {
        runMode(mode, excludePath, compress, source, destination);
    } catch (const Z_Exception& exception) {
        // Only the memory exception gets here. The mode has released what it
        // held on the way out; report it instead of aborting.
        printError("\nError: %s\n", exception.getErrorMessage());
        std::fflush(stdout);
        return 0;
    }
    if (const int signal = interruptSignal(); signal != 0)
        endWithSignal(signal);
    const bool failed = errorRaised() || warningRaised();
    if (failed)
        explainSlashOption(argc, argv);
    return failed ? 0 : 1;
}
