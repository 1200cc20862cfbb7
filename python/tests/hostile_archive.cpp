// Writes an archive that no writer makes, for the Python tests: stored names
// that lead out of the destination or that packing refuses, beside one file
// that extracts normally. The names come straight from the format code,
// since the library's writer refuses every one of them.
//
//   zas_hostile_archive OUTPUT
#include "archive/Format.h"

#include <cstdio>
#include <string>

namespace {

struct Item {
    const char* directory; // null: a directory index that names no entry
    const char* name;
    const char* content;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zas_hostile_archive OUTPUT\n");
        return 2;
    }
    const char* directories[] = {"\\", "\\..\\", "\\ok\\", "\\ok\\..\\..\\"};
    const Item items[] = {
        {"\\..\\", "escape.txt", "out"},      // a directory above the destination
        {"\\", "..", "dots"},                 // a file named ..
        {"\\ok\\..\\..\\", "up.txt", "up"},   // climbs back out through a safe level
        {"\\ok\\", "a/b", "slash"},           // a forward slash inside a name
        {nullptr, "lost.txt", "lost"},        // no directory entry at all
        {"\\ok\\", "fine.txt", "fine"},
    };

    zvector<DirEntry> dirs;
    for (const char* name : directories) {
        DirEntry entry;
        entry.name = name;
        entry.index = static_cast<std::uint32_t>(dirs.size());
        dirs.push_back(entry);
    }
    zvector<FileEntry> files;
    std::string data;
    for (const Item& item : items) {
        FileEntry file;
        file.name = item.name;
        file.size = file.storedSize = static_cast<std::uint32_t>(std::string(item.content).size());
        file.dirIndex = 99;
        for (std::size_t i = 0; item.directory != nullptr && i < dirs.size(); ++i)
            if (dirs[i].name == item.directory)
                file.dirIndex = static_cast<std::uint32_t>(i);
        files.push_back(file);
        data += item.content;
    }
    ArchiveHeader header;
    header.key = 0x5A17C0DEu;
    const ByteBuffer catalogue = buildCatalogue(header, files, dirs);

    std::FILE* output = std::fopen(argv[1], "wb");
    if (output == nullptr)
        return 1;
    const bool written = std::fwrite(catalogue.data(), 1, catalogue.size(), output) == catalogue.size() &&
                         std::fwrite(data.data(), 1, data.size(), output) == data.size();
    return std::fclose(output) == 0 && written ? 0 : 1;
}
