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

    // Sizes print and add up as signed 32-bit values, wrapping around.
    std::uint32_t total = 0;
    for (const FileEntry& file : files) {
        // Find or insert: an index without a directory entry lists with an
        // empty directory part and adds an empty entry to the count below.
        const DirEntry& dir = dirs[static_cast<std::int32_t>(file.dirIndex)];
        printText("%10i %s%s\n", static_cast<std::int32_t>(file.size), dir.name.c_str(), file.name.c_str());
        total += file.size;
    }
    printText("\n  Total %i bytes in %i files and %i dirs\n", static_cast<std::int32_t>(total),
              static_cast<std::int32_t>(files.size()), static_cast<std::int32_t>(dirs.size()));
}
