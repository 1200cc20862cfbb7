// The view and extract modes on archives whose catalogue is well formed
// (scrambled and checksummed as the writer does it) but whose fields come
// from the input: names, directory indexes, sizes, storage kinds, dates and
// data, and obstacles standing in the destination before extraction. Raw
// bytes seldom survive unscrambling as anything but noise; this reaches the
// name checks, the directory creation and the data area, and with names
// and contents repeated, paths beyond the system's limit and files of
// hundreds of kilobytes.
//
// Input: a directory count, then each directory (name, date), a file count,
// then each file (name, directory index, storage, date, content, and
// adjustments that break its sizes), an obstacle count, then each obstacle;
// what is left is appended to the data area. A string is a length byte and
// that many bytes; counts are 16-bit little-endian. A name is a string, a
// string repeated as many times as the count after it says (up to 12 KiB),
// and a last string. A content is a string repeated 1 + a count times (up
// to 160 KiB, and 320 KiB for all files together). An obstacle is a kind
// (bit 0: a directory rather than a file; bit 1: on the path of a file
// rather than of a directory), an index into the directories or files, and
// where on that path it stands: after its first n names, n the level byte's
// low seven bits, or with bit 7 set before its last n (the destination
// itself after none).
#include "ExtractionSandbox.h"
#include "FuzzTarget.h"

#include "archive/Format.h"
#include "archive/Lzss.h"

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kLongestName = 12 * 1024;
constexpr std::size_t kLongestContent = 160 * 1024;
// All contents together: each costs its coding and writing at every run.
constexpr std::size_t kLongestContents = 320 * 1024;
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_at(data), m_end(data + size) {}

    std::uint8_t byte() { return m_at < m_end ? *m_at++ : 0; }
    std::uint16_t word() { return static_cast<std::uint16_t>(byte() | byte() << 8); }
    std::string text(std::size_t longest) {
        const std::size_t wanted = byte() % (longest + 1);
        const std::size_t length = wanted < rest() ? wanted : rest();
        std::string result(reinterpret_cast<const char*>(m_at), length);
        m_at += length;
        return result;
    }
    ArchiveDate date() {
        ArchiveDate date;
        if (byte() % 4 == 0)
            return date; // year 0: no date
        date.year = static_cast<std::uint16_t>(1590 + byte() * 2);
        date.month = byte() % 14;
        date.day = byte() % 33;
        date.hour = byte() % 25;
        date.minute = byte() % 61;
        date.second = byte() % 61;
        date.milliseconds = word() % 1001;
        return date;
    }
    // text, then tail repeated while the whole stays within longest.
    std::string repeated(std::string text, const std::string& tail, std::size_t times, std::size_t longest) {
        for (std::size_t i = 0; i < times && !tail.empty() && text.size() + tail.size() <= longest; ++i)
            text += tail;
        return text;
    }
    std::string name() {
        std::string head = text(40);
        const std::string tail = text(40);
        const std::size_t times = word();
        const std::string end = text(40);
        return repeated(std::move(head), tail, times, kLongestName) + end;
    }
    std::string content(std::size_t longest) {
        const std::string piece = text(255);
        return repeated(piece, piece, word(), std::min(longest, kLongestContent));
    }
    std::size_t rest() const { return static_cast<std::size_t>(m_end - m_at); }
    const std::uint8_t* here() const { return m_at; }

private:
    const std::uint8_t* m_at;
    const std::uint8_t* m_end;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    zvector<DirEntry> dirs;
    for (unsigned count = input.byte() % 6; count > 0; --count) {
        DirEntry dir;
        const std::string name = input.name();
        dir.name = zs(name.c_str(), name.size());
        dir.date = input.date();
        dir.index = static_cast<std::uint32_t>(dirs.size());
        dirs.push_back(dir);
    }

    zvector<FileEntry> files;
    std::string area;
    std::size_t contents = 0;
    for (unsigned count = input.byte() % 9; count > 0; --count) {
        FileEntry file;
        const std::string name = input.name();
        file.name = zs(name.c_str(), name.size());
        file.dirIndex = input.byte() % (dirs.size() + 2);
        const std::uint8_t storage = input.byte();
        file.date = input.date();
        const std::string content = input.content(contents < kLongestContents ? kLongestContents - contents : 0);
        contents += content.size();
        file.size = static_cast<std::uint32_t>(content.size());
        std::string stored = content;
        if (storage % 4 == 1) {
            file.storage = kStorageCompressed;
            std::vector<unsigned char> block(worstCaseBlockSize(content.size()));
            const std::int64_t length = encodeBlock(reinterpret_cast<const unsigned char*>(content.data()),
                                                    block.data(), static_cast<std::uint32_t>(content.size()));
            stored.assign(reinterpret_cast<const char*>(block.data()), length < 0 ? 8 : std::size_t(length));
        } else if (storage % 4 == 2) {
            file.storage = input.byte(); // neither kind
        }
        file.storedSize = static_cast<std::uint32_t>(stored.size());
        if (storage & 0x10)
            file.size += static_cast<std::int8_t>(input.byte());
        if (storage & 0x20)
            file.storedSize += static_cast<std::int8_t>(input.byte());
        files.push_back(file);
        area += stored;
    }

    std::vector<Obstacle> obstacles;
    for (unsigned count = input.byte() % 5; count > 0; --count) {
        const std::uint8_t kind = input.byte();
        const std::uint8_t index = input.byte();
        const std::uint8_t level = input.byte();
        std::string path;
        if (kind & 2) {
            if (files.empty())
                continue;
            const FileEntry& file = files[index % files.size()];
            if (file.dirIndex < dirs.size())
                path.assign(dirs[file.dirIndex].name.begin(), dirs[file.dirIndex].name.end());
            path.append(file.name.begin(), file.name.end());
        } else {
            if (dirs.empty())
                continue;
            path.assign(dirs[index % dirs.size()].name.begin(), dirs[index % dirs.size()].name.end());
        }
        std::vector<std::string> names;
        for (std::size_t at = 0; at <= path.size();) {
            const std::size_t end = std::min(path.find('\\', at), path.size());
            if (end > at)
                names.push_back(path.substr(at, end - at));
            at = end + 1;
        }
        // The first (level % 128) names, or with bit 7 all but that many.
        std::size_t kept = std::min<std::size_t>(level % 128u, names.size());
        if (level & 0x80)
            kept = names.size() - kept;
        Obstacle obstacle;
        for (std::size_t i = 0; i < kept; ++i)
            obstacle.path += (i == 0 ? "" : "\\") + names[i];
        obstacle.directory = (kind & 1) != 0;
        obstacles.push_back(obstacle);
    }
    area.append(reinterpret_cast<const char*>(input.here()), input.rest());

    ArchiveHeader header;
    header.key = 0x5A17C0DEu;
    const ByteBuffer catalogue = buildCatalogue(header, files, dirs);
    std::string archive(reinterpret_cast<const char*>(catalogue.data()), catalogue.size());
    archive += area;
    std::set<std::string> storedNames;
    for (const FileEntry& file : files)
        storedNames.emplace(file.name.begin(), file.name.end());
    viewAndExtractInSandbox(reinterpret_cast<const std::uint8_t*>(archive.data()), archive.size(), obstacles,
                            &storedNames);
    return 0;
}
