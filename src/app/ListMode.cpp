// The view mode, on the library's reader.
#include "app/Modes.h"

#include "app/Console.h"

#include <zas.h>

#include <cstdint>
#include <set>

void listArchive(const zs& archivePath) {
    printText("Reading archive %s...\n", archivePath.c_str());
    zas_archive* archive = nullptr;
    if (const int status = zas_open(archivePath.c_str(), 0, &archive); status != ZAS_OK) {
        reportOpenFailure(status, archivePath);
        return;
    }
    std::uint64_t files = 0;
    std::uint64_t directories = 0;
    zas_entry_count(archive, &files);
    zas_dir_count(archive, &directories);

    // Sizes are unsigned 32-bit and add up in 64 bits: archives beyond 2 GiB
    // list their true figures. A file whose directory index names no
    // directory lists with an empty directory part, and each such index
    // counts as one more directory in the totals.
    std::int64_t total = 0;
    std::set<std::uint32_t> missing;
    for (std::uint64_t i = 0; i < files; ++i) {
        zas_stat stat;
        zas_stat_index(archive, i, &stat);
        printText("%10u %s%s\n", static_cast<unsigned>(stat.size), stat.directory, stat.name);
        total += static_cast<std::int64_t>(stat.size);
        if ((stat.flags & ZAS_STAT_NO_DIRECTORY) != 0)
            missing.insert(stat.dir_index);
    }
    printText("\n  Total %lld bytes in %i files and %i dirs\n", static_cast<long long>(total),
              static_cast<std::int32_t>(files), static_cast<std::int32_t>(directories + missing.size()));
    zas_close(archive);
}
