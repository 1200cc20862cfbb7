#include "read/Extraction.h"

#include "archive/Lzss.h"
#include "archive/StoredName.h"
#include "platform/Platform.h"
#include "platform/Stream.h"
#include "read/Reader.h"
#include "support/Console.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string_view>
#include <unordered_set>

namespace {

// Bytes of file data between two progress lines.
constexpr std::int64_t kProgressStep = 0x80000;
constexpr std::size_t kArchiveBufferSize = 0x10000;
// Stored bytes move from the archive to a file through this buffer.
constexpr std::size_t kCopyBufferSize = 0x40000;

// Each item of the coded stream takes at least 17 bits (a flag bit and a
// two-byte match) for at most 18 bytes of output, so a sound block never
// expands beyond this. A larger claimed size is damage, not a reason to
// allocate.
std::uint64_t largestUnpackedSize(std::uint32_t blockLength) {
    return (static_cast<std::uint64_t>(blockLength) - kBlockHeaderSize) * 9 + 18;
}

// Sets the three times of one existing directory level. A level that cannot
// be opened is passed over in silence; report says whether a failure to set
// the time is reported.
void dateDirectoryLevel(const zs& level, const ArchiveDate& date, bool report) {
    if (date.year == 0)
        return;
    HANDLE handle = CreateFileA(level.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    const SYSTEMTIME time = systemTimeOf<SYSTEMTIME>(date);
    FILETIME fileTime;
    if (SystemTimeToFileTime(&time, &fileTime) && !SetFileTime(handle, &fileTime, &fileTime, &fileTime) && report)
        printWarning("Warning: Unable to set date to directory \"%s\"\n", level.c_str());
    CloseHandle(handle);
}

// Every level of path up to and including each backslash, left to right,
// each in one reused string: a deep path costs its length, not its length
// for every level. Stops when visit returns false.
template <class Visit>
void forEachLevel(const zs& path, Visit visit) {
    zs level;
    for (std::size_t at = path.find('\\'); at != zs::npos; at = path.find('\\', at + 1)) {
        level.assign(path, 0, at + 1);
        if (!visit(level))
            return;
    }
}

void setFileDate(const zs& path, const ArchiveDate& date) {
    const SYSTEMTIME time = systemTimeOf<SYSTEMTIME>(date);
    FILETIME fileTime;
    if (!SystemTimeToFileTime(&time, &fileTime) || fileTimeValue(fileTime) == 0)
        return;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    if (!SetFileTime(handle, &fileTime, &fileTime, &fileTime))
        printWarning("Warning: Unable to set date to file \"%s\"\n", path.c_str());
    CloseHandle(handle);
}

// The data area, consumed strictly forward: each entry's bytes start where
// the previous entry's storedSize ended. Entries hold no offsets, so an entry
// skipped or read only in part must still move the position by its
// storedSize.
class DataArea {
public:
    DataArea(std::FILE* archive, std::uint64_t start, std::uint64_t end)
        : m_archive(archive), m_position(start), m_end(end) {}

    void skip(std::uint32_t storedSize) {
        m_position += storedSize;
        m_remaining = 0;
        m_seekPending = true;
    }

    // Starts on the next entry's storedSize bytes. False, with the entry
    // skipped, when the area does not hold them.
    bool begin(std::uint32_t storedSize) {
        const std::uint64_t start = m_position;
        const std::uint64_t available = m_end > start ? m_end - start : 0;
        const bool seek = m_seekPending;
        // From here on the stream stands where the next entry begins only
        // once the whole entry has been read.
        skip(storedSize);
        if (storedSize > available || (seek && !seekFile(m_archive, start)))
            return false;
        m_remaining = storedSize;
        m_seekPending = storedSize != 0;
        return true;
    }

    // The entry's next bytes, at most capacity: 0 once it is read whole, or
    // when reading fails (then failed() says so).
    std::size_t read(unsigned char* buffer, std::size_t capacity) {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, m_remaining));
        if (wanted == 0)
            return 0;
        const std::size_t got = std::fread(buffer, 1, wanted, m_archive);
        m_remaining = got == wanted ? m_remaining - got : 0;
        m_failed = got != wanted;
        if (m_remaining == 0 && !m_failed)
            m_seekPending = false;
        return got;
    }

    bool failed() const noexcept { return m_failed; }

private:
    std::FILE* m_archive;
    std::uint64_t m_position;
    std::uint64_t m_end;
    std::uint64_t m_remaining = 0;
    bool m_seekPending = false;
    bool m_failed = false;
};

// A file being extracted, written as its bytes come. When nothing stands at
// its path it is written there; a file (or link) that already stands there is
// replaced only once the new content is whole: the content goes to a new file
// beside it, which is then renamed over it. Unless committed, the new file is
// removed, so nothing incomplete is left behind and an existing file keeps
// its old content. After a failed write, further bytes are taken and dropped,
// so that the entry can still be read to its end and judged.
class OutputFile final : public LzssSink {
public:
    explicit OutputFile(const zs& path) : m_path(path) {
        m_replaces = GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
        if (m_replaces) {
            m_file = Stream(createFileBeside(path.c_str(), m_writtenPath));
        } else {
            m_writtenPath = path;
            m_file = Stream(path.c_str(), "wb");
        }
        m_failed = !m_file.isOpen();
        if (!m_failed)
            // The bytes come in large pieces: hand them to the system as they
            // are instead of through the stream's buffer.
            std::setvbuf(m_file.get(), nullptr, _IONBF, 0);
    }
    ~OutputFile() { discard(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool write(const unsigned char* bytes, std::size_t count) override {
        if (!m_failed && std::fwrite(bytes, 1, count, m_file.get()) != count)
            m_failed = true;
        return true;
    }

    bool failed() const noexcept { return m_failed; }

    // Closes the file and puts it in place. False, with the new file
    // removed, when any of it could not be written.
    bool commit() {
        bool written = !m_failed && m_file.close();
        if (written && m_replaces)
            written = replaceFile(m_writtenPath.c_str(), m_path.c_str());
        if (written)
            m_writtenPath.clear();
        return written;
    }

    void discard() noexcept {
        const bool opened = m_file.isOpen();
        m_file.close();
        if (!m_writtenPath.empty() && (opened || !m_failed))
            DeleteFileA(m_writtenPath.c_str());
        m_writtenPath.clear();
    }

private:
    const zs& m_path;
    zs m_writtenPath;
    Stream m_file;
    bool m_replaces = false;
    bool m_failed = false;
};

// Takes output and drops it: decoding an entry only to judge it.
class DiscardSink final : public LzssSink {
public:
    bool write(const unsigned char*, std::size_t) override { return true; }
};

enum class EntryOutcome { extracted, damaged, notWritten };

// Whether the entry's sizes agree with its storage: a stored entry holds
// exactly size bytes, a compressed one a block that can expand to size.
bool sizesAgree(const FileEntry& file) {
    if (file.storage != kStorageCompressed)
        return file.storedSize == file.size;
    return file.storedSize >= kBlockHeaderSize && file.size <= largestUnpackedSize(file.storedSize);
}

// Streams one entry's stored bytes, whose sizes agree, from the data area
// into output, checked: a compressed block must decode to exactly size
// bytes. Damage is judged over the whole entry even when the output has
// failed, so that the report is the same as if the content had been checked
// before writing.
bool streamEntry(const FileEntry& file, DataArea& data, LzssContext& codec, ByteBuffer& buffer, LzssSink& output) {
    if (file.storage != kStorageCompressed) {
        while (const std::size_t got = data.read(buffer.data(), buffer.size()))
            output.write(buffer.data(), got);
        return !data.failed();
    }
    LzssBlockDecoder decoder(codec, file.storedSize, file.size, output);
    while (const std::size_t got = data.read(buffer.data(), buffer.size()))
        decoder.feed(buffer.data(), got);
    return decoder.finish() && !data.failed();
}

EntryOutcome extractEntry(const FileEntry& file, const zs& outputPath, DataArea& data, LzssContext& codec,
                          ByteBuffer& buffer) {
    if (!data.begin(file.storedSize) || !sizesAgree(file))
        return EntryOutcome::damaged;
    OutputFile output(outputPath);
    if (output.failed()) {
        // Nothing can be written; whether the entry is damaged still decides
        // what is reported.
        DiscardSink nowhere;
        return streamEntry(file, data, codec, buffer, nowhere) ? EntryOutcome::notWritten : EntryOutcome::damaged;
    }
    if (!streamEntry(file, data, codec, buffer, output))
        return EntryOutcome::damaged;
    return output.commit() ? EntryOutcome::extracted : EntryOutcome::notWritten;
}

std::int32_t percentOf(std::int64_t part, std::int64_t whole) {
    const double percent = static_cast<double>(part) / static_cast<double>(whole) * 100.0;
    if (!std::isfinite(percent) || percent <= -2147483648.0 || percent >= 2147483648.0)
        return 0;
    return static_cast<std::int32_t>(percent);
}

// Creates the missing levels of path and dates those longer than
// undatedLength characters: the extraction leaves the levels above its
// destination as they are. A level that cannot be created is reported once:
// the levels below it cannot be created either.
void createDirectoryLevels(const zs& path, std::size_t undatedLength, const ArchiveDate& date) {
    forEachLevel(path, [&](const zs& level) {
        if (GetFileAttributesA(level.c_str()) == INVALID_FILE_ATTRIBUTES && !CreateDirectoryA(level.c_str(), nullptr)) {
            printWarning("Warning: Unable to create directory \"%s\"\n", level.c_str());
            return false;
        }
        return true;
    });
    // Creating a level moves its parent's last-write time, so the levels are
    // dated once all of them exist.
    if (date.year == 0)
        return;
    forEachLevel(path, [&](const zs& level) {
        if (level.size() > undatedLength)
            dateDirectoryLevel(level, date, true);
        return true;
    });
}

// Creating files in a directory moves its last-write time. Dates the levels
// again as the directory pass left them: each once, with the date of the last
// directory (in index order) whose path passes through it. Going backwards,
// the first directory to reach a level dates it; that directory reached
// every level above it too, so the walk up a path stops at the first level
// already dated.
void redateDirectoryLevels(const zmap<std::int32_t, DirEntry>& dirs, const zvector<unsigned char>& usable,
                           const zs& prefix) {
    std::unordered_set<std::string_view, std::hash<std::string_view>, std::equal_to<>, Z_Allocator<std::string_view>>
        dated;
    zs level;
    for (auto entry = dirs.rbegin(); entry != dirs.rend(); ++entry) {
        const auto& [index, dir] = *entry;
        if (usable[static_cast<std::size_t>(index)] == 0 || dir.date.year == 0)
            continue;
        const std::string_view name(dir.name.data(), dir.name.size());
        for (std::size_t end = name.size(); end > 0;) {
            const std::size_t at = name.rfind('\\', end - 1);
            if (at == std::string_view::npos || !dated.insert(name.substr(0, at + 1)).second)
                break;
            level.assign(prefix);
            level.append(dir.name, 0, at + 1);
            dateDirectoryLevel(level, dir.date, false);
            end = at;
        }
    }
}

} // namespace

void createDirectoryPath(const zs& path, const ArchiveDate& date) {
    createDirectoryLevels(path, 0, date);
}

void extractArchive(const zs& archivePath, const zs& destination) {
    ArchiveHeader header;
    FileList files;
    DirectoryMap dirs;

    printText("Reading archive %s...\n", archivePath.c_str());
    if (!readArchive(archivePath, header, files, dirs))
        return;

    zs prefix = destination.empty() ? zs(".") : destination;
    if (!destination.empty() && prefix.back() == '\\')
        prefix.pop_back();
    printText("Extracting files to \"%s\\\"\n", prefix.c_str());

    // 64-bit, so that archives beyond 2 GiB show true figures.
    std::int64_t totalBytes = 0;
    for (const FileEntry& file : files)
        totalBytes += file.size;

    // Declared before the stream, which uses it until it is closed.
    ByteBuffer archiveBuffer;
    Stream archive;
    std::int64_t length = 0;
    if (!openArchiveForReading(archivePath, archive, length))
        return;
    // Small files come many to a read.
    archiveBuffer = ByteBuffer(kArchiveBufferSize);
    std::setvbuf(archive.get(), reinterpret_cast<char*>(archiveBuffer.data()), _IOFBF, archiveBuffer.size());
    const std::uint64_t dataStart = kHeaderSize + static_cast<std::uint64_t>(header.fileTableSize) + header.dirTableSize;
    if (!seekFile(archive.get(), dataStart)) {
        printError("Error: Could not open file \"%s\"\n", archivePath.c_str());
        return;
    }
    DataArea data(archive.get(), dataStart, static_cast<std::uint64_t>(length));
    // Every entry streams through one buffer and one codec context: memory
    // does not grow with a file's size.
    ByteBuffer buffer(kCopyBufferSize);
    LzssContext& codec = processLzssContext();

    // The directories whose files may be written. A name that would lead out
    // of the destination, or that is too long for any path of this system
    // (however many levels it claims), is refused before a single level of it
    // is touched, with one warning.
    zvector<unsigned char> usable(dirs.size(), 0);
    for (const auto& [index, dir] : dirs) {
        if (!isSafeStoredPath(dir.name, {}, kSystemNameRules)) {
            printWarning("Warning: Skipped directory \"%s\": its path is not safe to extract\n", dir.name.c_str());
        } else if (const zs path = prefix + dir.name; isPathTooLong(path.c_str())) {
            printWarning("Warning: Skipped directory \"%s\": its path is too long\n", dir.name.c_str());
        } else {
            createDirectoryLevels(path, prefix.size(), dir.date);
            usable[static_cast<std::size_t>(index)] = 1;
        }
    }

    std::int64_t processedBytes = 0;
    std::int32_t extracted = 0;
    std::int32_t failed = 0;
    std::int64_t countdown = 0;
    const zs noDirectory;
    for (const FileEntry& file : files) {
        const auto found = dirs.find(static_cast<std::int32_t>(file.dirIndex));
        if (file.name.empty()) {
            data.skip(file.storedSize);
            continue;
        }
        const zs& dirName = found != dirs.end() ? found->second.name : noDirectory;

        countdown -= file.size;
        if (countdown < 0) {
            printProgress("Extracting files, %i%% complete...    \r", percentOf(processedBytes, totalBytes));
            countdown = kProgressStep;
        }

        bool done = false;
        zs outputPath;
        if (found != dirs.end() && usable[static_cast<std::size_t>(found->first)] == 0) {
            // Its directory was refused and reported, under its own name.
            data.skip(file.storedSize);
            printWarning("Warning: Skipped file \"%s\": its directory was skipped\n", file.name.c_str());
        } else if (found == dirs.end() || !isSafeStoredPath(dirName, file.name, kSystemNameRules)) {
            data.skip(file.storedSize);
            printWarning("Warning: Skipped file \"%s%s\": its path is not safe to extract\n", dirName.c_str(),
                         file.name.c_str());
        } else if (outputPath = prefix + dirName + file.name; isPathTooLong(outputPath.c_str())) {
            data.skip(file.storedSize);
            printWarning("Warning: Skipped file \"%s%s\": its path is too long\n", dirName.c_str(),
                         file.name.c_str());
        } else {
            switch (extractEntry(file, outputPath, data, codec, buffer)) {
            case EntryOutcome::extracted: done = true; break;
            case EntryOutcome::damaged:
                printWarning("Warning: File \"%s\" is damaged in the archive\n", outputPath.c_str());
                break;
            case EntryOutcome::notWritten:
                printWarning("Warning: Could not write file \"%s\"\n", outputPath.c_str());
                break;
            }
        }
        processedBytes += file.size;
        if (!done) {
            ++failed;
            continue;
        }
        setFileDate(outputPath, file.date);
        ++extracted;
    }

    redateDirectoryLevels(dirs, usable, prefix);

    printText("%48s\n  Total %i files extracted, %i failed\n", "", extracted, failed);
}
