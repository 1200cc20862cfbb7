// The add and move modes, on the library's writer.
#include "app/Modes.h"

#include "app/Console.h"

#include <zas.h>

#include <cstdint>

namespace {

// Bytes of file data between two progress lines.
constexpr std::int64_t kProgressStep = 0x80000;
// Covers the longest progress line before the closing line.
const char kClosingBlanks[] = "                                        ";

const char* leftOutReason(int reason) {
    switch (reason) {
    case ZAS_REASON_BACKSLASH: return "a name in the archive cannot hold a backslash";
    case ZAS_REASON_UNSAFE_NAME: return "its name could not be extracted again";
    case ZAS_REASON_DIRECTORY_LINK: return "links to directories are not followed";
    case ZAS_REASON_NOT_REGULAR: return "it is not a regular file";
    case ZAS_REASON_DANGLING_LINK: return "its link leads to no file";
    case ZAS_REASON_TOO_LARGE: return "files of 4 GiB or more cannot be stored";
    case ZAS_REASON_PATH_TOO_LONG: return "its path is too long";
    case ZAS_REASON_CANNOT_LIST: return "the directory could not be listed";
    default: return "it cannot be stored";
    }
}

void reportLeftOut(const zas_event& event) {
    const char* path = event.path;
    switch (event.reason) {
    case ZAS_REASON_CANNOT_OPEN:
        printWarning("Warning: Could not open file \"%s\"; it is left out of the archive\n", path);
        break;
    case ZAS_REASON_CANNOT_READ:
        printWarning("Warning: Could not read file \"%s\"; it is left out of the archive\n", path);
        break;
    case ZAS_REASON_CHANGED_SIZE:
        printWarning("Warning: File \"%s\" changed size while being archived; it is left out of the archive\n", path);
        break;
    case ZAS_REASON_NO_SOURCE: printWarning("Warning: Source directory \"%s\" does not exist\n", path); break;
    case ZAS_REASON_NOT_DIRECTORY: printWarning("Warning: Source \"%s\" is not a directory\n", path); break;
    case ZAS_REASON_SOURCE_UNLISTABLE:
        printWarning("Warning: Source directory \"%s\" could not be listed\n", path);
        break;
    default: printWarning("Warning: Leaving out \"%s\": %s\n", path, leftOutReason(event.reason)); break;
    }
}

} // namespace

int WriteEventPrinter::print(const zas_event* event, void* printer) {
    WriteEventPrinter& report = *static_cast<WriteEventPrinter*>(printer);
    switch (event->type) {
    case ZAS_EVENT_GATHER_BEGIN: printText("Gathering files and directories...\n"); break;
    case ZAS_EVENT_GATHER_FILE:
        // Every 50th file redraws a line of 1 to 10 dots.
        if (event->done % 50 == 0) {
            for (std::int32_t dot = 0; dot < report.m_dotCount; ++dot)
                printText(".");
            printProgress("          \r");
            if (++report.m_dotCount > 10)
                report.m_dotCount = 1;
        }
        break;
    case ZAS_EVENT_SOURCE_LEFT_OUT: reportLeftOut(*event); break;
    case ZAS_EVENT_WRITE_FILE:
        report.m_countdown -= static_cast<std::int64_t>(event->size);
        if (report.m_countdown < 0) {
            const double share = static_cast<double>(event->done) / static_cast<double>(event->total);
            printProgress("Archiving files, %i%% complete...    \r", static_cast<int>(share * 100));
            report.m_countdown = kProgressStep;
        }
        break;
    case ZAS_EVENT_SOURCE_KEPT:
        if (event->reason == ZAS_REASON_IS_ARCHIVE)
            printWarning("Warning: Keeping file \"%s\": it is the archive itself\n", event->path);
        else
            printWarning("Warning: Keeping file \"%s\": it changed after it was archived\n", event->path);
        break;
    case ZAS_EVENT_REMOVE_FAILED:
        if (event->reason == ZAS_REASON_DIRECTORY)
            printWarning("Warning: Unable to remove directory \"%s\"\n", event->path);
        else
            printWarning("Warning: Unable to delete file \"%s\"\n", event->path);
        break;
    default: break;
    }
    return modeInterrupted() ? 1 : 0;
}

namespace {

void printClosingLine() {
    const char* outcome = errorRaised() ? " with errors" : warningRaised() ? " with warnings" : "";
    printText("%s\nArchiving completed%s.\n", kClosingBlanks, outcome);
    printText("\n");
}

// Frees the writer however the mode ends; one that did not finish leaves
// nothing behind.
class WriterOwner {
public:
    ~WriterOwner() { zas_writer_free(writer); }
    zas_writer* writer = nullptr;
};

} // namespace

void writeArchive(const zs& source, const zs& archive, bool excludePath, bool compress, bool move) {
    printText("%s all files from \"%s\" to archive \"%s\"\n", move ? "Moving" : "Copying", source.c_str(),
              archive.c_str());
    printText("\n");

    WriterOwner owner;
    int status = zas_writer_open(archive.c_str(), 0, &owner.writer);
    if (status != ZAS_OK) {
        raiseOnMemoryFailure(status);
        printError("Error: Could not create archive \"%s\"\n", archive.c_str());
        return;
    }
    zas_writer* writer = owner.writer;
    WriteEventPrinter printer;
    zas_writer_set_event_callback(writer, WriteEventPrinter::print, &printer);
    zas_writer_set_option(writer, ZAS_OPT_COMPRESS, compress ? 1 : 0);
    zas_writer_set_option(writer, ZAS_OPT_MOVE, move ? 1 : 0);
    zas_writer_set_option(writer, ZAS_OPT_THREADS, workerThreadsSetting());
    zas_writer_set_option(writer, ZAS_OPT_SEED, keySeed());

    status = zas_writer_add_tree(writer, source.c_str(), excludePath ? ZAS_TREE_EXCLUDE_PATH : 0);
    raiseOnMemoryFailure(status);
    switch (status) {
    case ZAS_E_CANCELLED: return;
    case ZAS_E_INVALID: printError("Error: Source directory name is empty\n"); return;
    case ZAS_E_NAME:
        printError("Error: Source path \"%s\" must not hold \".\", \"..\" or empty components when \"-p\" "
                   "option is not used\n",
                   source.c_str());
        return;
    default: break; // a source that cannot be listed has been reported
    }

    std::uint64_t files = 0;
    std::uint64_t directories = 0;
    zas_writer_counts(writer, &files, &directories);
    printText("Found %i directories and %i files\n\n", static_cast<int>(directories), static_cast<int>(files));
    if (files == 0) {
        // A run that writes nothing must not pass for one that did.
        if (status == ZAS_OK)
            printWarning("Warning: No files to archive; \"%s\" was not written\n", archive.c_str());
        return;
    }

    status = zas_writer_finish(writer);
    raiseOnMemoryFailure(status);
    switch (status) {
    case ZAS_E_CANCELLED: return;
    case ZAS_OK:
    case ZAS_E_NOT_FOUND: // nothing could be read: no archive, the files reported
        break;
    case ZAS_E_CREATE: printError("Error: Could not create archive \"%s\"\n", archive.c_str()); break;
    default: printError("Error: Could not write archive \"%s\"\n", archive.c_str()); break;
    }
    printClosingLine();
}
