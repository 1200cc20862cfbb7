#include "read/Reader.h"

#include "archive/Scramble.h"
#include "platform/Stream.h"
#include "support/Console.h"

#include <cstring>
#include <limits>

namespace {

void reportDamaged(const zs& archivePath) {
    printError("Error: Archive \"%s\" is damaged\n", archivePath.c_str());
}

// Reads one table of exactly size bytes at the stream's position and
// unscrambles it in place. Each table is unscrambled by a call of its own,
// starting afresh.
bool readTable(std::FILE* file, std::uint32_t size, std::uint32_t key, ByteBuffer& table) {
    table = ByteBuffer(size);
    if (size != 0 && std::fread(table.data(), 1, size, file) != size)
        return false;
    unscrambleBytes(table.data(), static_cast<std::int32_t>(size), static_cast<std::int32_t>(key));
    return true;
}

} // namespace

bool openArchiveForReading(const zs& archivePath, Stream& stream, std::int64_t& length) {
    // Anything but a regular file is refused before it is opened for real:
    // a fifo would wait for a writer forever.
    stream = Stream(openRegularFile(archivePath.c_str(), length));
    if (!stream.isOpen()) {
        printError("Error: Could not open file \"%s\"\n", archivePath.c_str());
        return false;
    }
    return true;
}

bool readArchive(const zs& archivePath, ArchiveHeader& header, FileList& files, DirectoryMap& dirs) {
    files.clear();
    dirs.clear();

    Stream archive;
    std::int64_t length = 0;
    if (!openArchiveForReading(archivePath, archive, length))
        return false;

    // A short file leaves the rest of the header zero, so anything under four
    // bytes fails the magic check; how much was read does not matter.
    unsigned char raw[kHeaderSize] = {};
    const std::size_t got = std::fread(raw, 1, sizeof raw, archive.get());
    static_cast<void>(got);
    header = unscrambleHeader(raw);

    if (!hasArchiveMagic(header)) {
        printError("Error: Archive \"%s\" is not a valid file\n", archivePath.c_str());
        return false;
    }
    if (header.versionBits != kVersionBits) {
        printError("Error: Archive \"%s\" version is %.2f, expected version %.2f\n", archivePath.c_str(),
                   static_cast<double>(archiveVersion(header)), static_cast<double>(kArchiveVersion));
        return false;
    }

    // Every size below comes from the file: check it against the file before
    // anything is allocated from it.
    const std::uint64_t tablesEnd =
        kHeaderSize + static_cast<std::uint64_t>(header.fileTableSize) + header.dirTableSize;
    constexpr auto kLargestTable = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
    if (header.fileCount < 0 || header.dirCount < 0 || header.fileTableSize > kLargestTable ||
        header.dirTableSize > kLargestTable || tablesEnd > static_cast<std::uint64_t>(length)) {
        reportDamaged(archivePath);
        return false;
    }

    bool sound = false;
    {
        ByteBuffer table;
        sound = readTable(archive.get(), header.fileTableSize, header.key, table) &&
                parseFileTable(table.data(), table.size(), header.fileCount, files);
    }
    if (sound) {
        ByteBuffer table;
        sound = readTable(archive.get(), header.dirTableSize, header.key, table) &&
                parseDirTable(table.data(), table.size(), header.dirCount, dirs);
    }
    if (!sound) {
        files.clear();
        dirs.clear();
        reportDamaged(archivePath);
        return false;
    }
    return true;
}
