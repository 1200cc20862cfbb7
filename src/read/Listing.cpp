#include "read/Listing.h"

#include "read/Reader.h"
#include "support/Console.h"

void listArchive(const zs& archivePath) {
    ArchiveHeader header;
    FileList files;
    DirectoryMap dirs;

    printText("Reading archive %s...\n", archivePath.c_str());
    if (!readArchive(archivePath, header, files, dirs))
        return;

    // Sizes are unsigned 32-bit and add up in 64 bits: archives beyond 2 GiB
    // list their true figures.
    std::int64_t total = 0;
    for (const FileEntry& file : files) {
        // Find or insert: an index without a directory entry lists with an
        // empty directory part and adds an empty entry to the count below.
        const DirEntry& dir = dirs[static_cast<std::int32_t>(file.dirIndex)];
        printText("%10u %s%s\n", static_cast<unsigned>(file.size), dir.name.c_str(), file.name.c_str());
        total += file.size;
    }
    printText("\n  Total %lld bytes in %i files and %i dirs\n", static_cast<long long>(total),
              static_cast<std::int32_t>(files.size()), static_cast<std::int32_t>(dirs.size()));
}
