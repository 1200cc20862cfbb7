// The extract mode, on the library's reader.
#include "app/Modes.h"

#include "app/Console.h"

#include <zas.h>

#include <cmath>
#include <cstdint>

namespace {

// Bytes of file data between two progress lines.
constexpr std::int64_t kProgressStep = 0x80000;

std::int32_t percentOf(std::uint64_t part, std::uint64_t whole) {
    const double percent = static_cast<double>(part) / static_cast<double>(whole) * 100.0;
    if (!std::isfinite(percent) || percent <= -2147483648.0 || percent >= 2147483648.0)
        return 0;
    return static_cast<std::int32_t>(percent);
}

} // namespace

int ExtractEventPrinter::print(const zas_event* event, void* printer) {
    std::int64_t& countdown = static_cast<ExtractEventPrinter*>(printer)->m_countdown;
    const char* path = event->path;
    switch (event->type) {
    case ZAS_EVENT_EXTRACT_BEGIN: printText("Extracting files to \"%s\\\"\n", path); break;
    case ZAS_EVENT_DIR_SKIPPED:
        printWarning("Warning: Skipped directory \"%s\": its path is %s\n", path,
                     event->reason == ZAS_REASON_PATH_TOO_LONG ? "too long" : "not safe to extract");
        break;
    case ZAS_EVENT_DIR_CREATE_FAILED: printWarning("Warning: Unable to create directory \"%s\"\n", path); break;
    case ZAS_EVENT_DIR_DATE_FAILED: printWarning("Warning: Unable to set date to directory \"%s\"\n", path); break;
    case ZAS_EVENT_EXTRACT_FILE:
        countdown -= static_cast<std::int64_t>(event->size);
        if (countdown < 0) {
            printProgress("Extracting files, %i%% complete...    \r", percentOf(event->done, event->total));
            countdown = kProgressStep;
        }
        break;
    case ZAS_EVENT_FILE_SKIPPED:
        if (event->reason == ZAS_REASON_DIRECTORY_SKIPPED)
            printWarning("Warning: Skipped file \"%s\": its directory was skipped\n", path);
        else
            printWarning("Warning: Skipped file \"%s\": its path is %s\n", path,
                         event->reason == ZAS_REASON_PATH_TOO_LONG ? "too long" : "not safe to extract");
        break;
    case ZAS_EVENT_FILE_DAMAGED: printWarning("Warning: File \"%s\" is damaged in the archive\n", path); break;
    case ZAS_EVENT_FILE_WRITE_FAILED: printWarning("Warning: Could not write file \"%s\"\n", path); break;
    case ZAS_EVENT_FILE_DATE_FAILED: printWarning("Warning: Unable to set date to file \"%s\"\n", path); break;
    default: break;
    }
    return modeInterrupted() ? 1 : 0;
}

namespace {

class ArchiveOwner {
public:
    ~ArchiveOwner() { zas_close(archive); }
    zas_archive* archive = nullptr;
};

} // namespace

void extractArchive(const zs& archivePath, const zs& destination) {
    printText("Reading archive %s...\n", archivePath.c_str());
    ArchiveOwner owner;
    if (const int status = zas_open(archivePath.c_str(), 0, &owner.archive); status != ZAS_OK) {
        reportOpenFailure(status, archivePath);
        return;
    }
    ExtractEventPrinter printer;
    zas_set_event_callback(owner.archive, ExtractEventPrinter::print, &printer);
    zas_set_option(owner.archive, ZAS_OPT_THREADS, workerThreadsSetting());
    zas_extract_counts counts{};
    const int status = zas_extract_all(owner.archive, destination.c_str(), &counts);
    raiseOnMemoryFailure(status);
    if (status == ZAS_E_CANCELLED)
        return;
    if (status != ZAS_OK && status != ZAS_E_INCOMPLETE) {
        printError("Error: Could not open file \"%s\"\n", archivePath.c_str());
        return;
    }
    printText("%48s\n  Total %i files extracted, %i failed\n", "", static_cast<std::int32_t>(counts.extracted),
              static_cast<std::int32_t>(counts.failed));
}
