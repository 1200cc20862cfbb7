// The view and extract modes on archives whose catalogue is well formed
// (scrambled and checksummed as the writer does it) but whose fields come
// from the input: names, directory indexes, sizes, storage kinds, dates and
// data. Raw bytes seldom survive unscrambling as anything but noise; this
// reaches the name checks, the directory creation and the data area.
//
// Input: a directory count, then each directory (name, date), a file count,
// then each file (name, directory index, storage, date, content, and
// adjustments that break its sizes); what is left is appended to the data
// area. Strings are a length byte and that many bytes.
#include "ExtractionSandbox.h"
#include "FuzzTarget.h"

#include "archive/Format.h"
#include "archive/Lzss.h"

#include <string>
#include <vector>

namespace {

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
        const std::string name = input.text(40);
        dir.name = zs(name.c_str(), name.size());
        dir.date = input.date();
        dir.index = static_cast<std::uint32_t>(dirs.size());
        dirs.push_back(dir);
    }

    zvector<FileEntry> files;
    std::string area;
    for (unsigned count = input.byte() % 9; count > 0; --count) {
        FileEntry file;
        const std::string name = input.text(40);
        file.name = zs(name.c_str(), name.size());
        file.dirIndex = input.byte() % (dirs.size() + 2);
        const std::uint8_t storage = input.byte();
        file.date = input.date();
        const std::string content = input.text(255);
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
    area.append(reinterpret_cast<const char*>(input.here()), input.rest());

    ArchiveHeader header;
    header.key = 0x5A17C0DEu;
    const ByteBuffer catalogue = buildCatalogue(header, files, dirs);
    std::string archive(reinterpret_cast<const char*>(catalogue.data()), catalogue.size());
    archive += area;
    viewAndExtractInSandbox(reinterpret_cast<const std::uint8_t*>(archive.data()), archive.size());
    return 0;
}
