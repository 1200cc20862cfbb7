#include "read/Extraction.h"

#include "archive/Lzss.h"
#include "archive/StoredName.h"
#include "platform/Platform.h"
#include "platform/Stream.h"
#include "read/EntryStream.h"
#include "read/Reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>
#include <unordered_set>

namespace {

// Small entries come many to a read of the archive.
constexpr std::size_t kArchiveBufferSize = 0x10000;
// Stored bytes move from the archive to a file through this buffer.
constexpr std::size_t kCopyBufferSize = 0x40000;

// Sets the three times of one existing directory level. A level that cannot
// be opened is passed over in silence; a failure to set the time is
// reported when there is a reporter.
void dateDirectoryLevel(const zs& level, const ArchiveDate& date, Reporter* reporter) {
    if (date.year == 0)
        return;
    HANDLE handle = CreateFileA(level.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    const SYSTEMTIME time = systemTimeOf<SYSTEMTIME>(date);
    FILETIME fileTime;
    const bool failed = SystemTimeToFileTime(&time, &fileTime) && !SetFileTime(handle, &fileTime, &fileTime, &fileTime);
    CloseHandle(handle);
    if (failed && reporter != nullptr)
        reporter->report(ZAS_EVENT_DIR_DATE_FAILED, 0, level.c_str());
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

void setFileDate(const zs& path, const ArchiveDate& date, Reporter& reporter) {
    const SYSTEMTIME time = systemTimeOf<SYSTEMTIME>(date);
    FILETIME fileTime;
    if (!SystemTimeToFileTime(&time, &fileTime) || fileTimeValue(fileTime) == 0)
        return;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    const bool failed = !SetFileTime(handle, &fileTime, &fileTime, &fileTime);
    CloseHandle(handle);
    if (failed)
        reporter.report(ZAS_EVENT_FILE_DATE_FAILED, 0, path.c_str());
}

// The data area, consumed strictly forward: each entry's bytes start where
// the previous entry's storedSize ended. Entries hold no offsets, so an entry
// skipped or read only in part must still move the position by its
// storedSize. Small entries are served from one read-ahead buffer; large
// reads go straight to the caller's buffer.
class DataArea {
public:
    DataArea(const ArchiveReader& archive, std::uint64_t start, std::uint64_t end)
        : m_archive(archive), m_position(start), m_next(start), m_end(end), m_buffer(kArchiveBufferSize) {}

    void skip(std::uint32_t storedSize) {
        m_position = m_next + storedSize;
        m_next = m_position;
        m_remaining = 0;
    }

    // Starts on the next entry's storedSize bytes. False, with the entry
    // skipped, when the area does not hold them.
    bool begin(std::uint32_t storedSize) {
        m_position = m_next;
        m_next += storedSize;
        m_failed = false;
        const std::uint64_t available = m_end > m_position ? m_end - m_position : 0;
        m_remaining = storedSize <= available ? storedSize : 0;
        return storedSize <= available;
    }

    // The entry's next bytes, at most capacity: 0 once it is read whole, or
    // when reading fails (then failed() says so).
    std::size_t read(unsigned char* buffer, std::size_t capacity) {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, m_remaining));
        if (wanted == 0)
            return 0;
        if (m_position >= m_bufferStart && m_position < m_bufferStart + m_buffered) {
            const auto at = static_cast<std::size_t>(m_position - m_bufferStart);
            const std::size_t count = std::min(wanted, m_buffered - at);
            std::memcpy(buffer, m_buffer.data() + at, count);
            return advance(count);
        }
        if (wanted >= m_buffer.size()) {
            if (!m_archive.readAt(m_position, buffer, wanted))
                return fail();
            return advance(wanted);
        }
        const auto fill = static_cast<std::size_t>(std::min<std::uint64_t>(m_buffer.size(), m_end - m_position));
        if (!m_archive.readAt(m_position, m_buffer.data(), fill))
            return fail();
        m_bufferStart = m_position;
        m_buffered = fill;
        std::memcpy(buffer, m_buffer.data(), wanted);
        return advance(wanted);
    }

    bool failed() const noexcept { return m_failed; }

private:
    std::size_t advance(std::size_t count) {
        m_position += count;
        m_remaining -= count;
        return count;
    }
    std::size_t fail() {
        m_remaining = 0;
        m_failed = true;
        return 0;
    }

    const ArchiveReader& m_archive;
    std::uint64_t m_position; // where the entry's next byte is read
    std::uint64_t m_next;     // where the next entry begins
    std::uint64_t m_end;
    std::uint64_t m_remaining = 0;
    ByteBuffer m_buffer;
    std::uint64_t m_bufferStart = 0;
    std::size_t m_buffered = 0;
    bool m_failed = false;
};

// A file being extracted, written as its bytes come: always to a new file
// beside its final name, under a short name of its own, which is renamed
// into place once the content is whole. A killed run therefore leaves at
// most that temporary file, never a partial file under a real name; an
// existing file keeps its old content until the new one is complete, and a
// link standing at the name is replaced rather than written through. Unless
// committed, the new file is removed. After a failed write, further bytes
// are taken and dropped, so that the entry can still be read to its end and
// judged.
class OutputFile final : public LzssSink {
public:
    explicit OutputFile(const zs& path) : m_path(path) {
        m_file = Stream(createFileBeside(path.c_str(), m_writtenPath));
        m_failed = !m_file.isOpen();
        if (m_failed)
            m_writtenPath.clear();
        else
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
        const bool written = !m_failed && m_file.close() && replaceFile(m_writtenPath.c_str(), m_path.c_str());
        if (written)
            m_writtenPath.clear();
        return written;
    }

    void discard() noexcept {
        m_file.close();
        if (!m_writtenPath.empty())
            DeleteFileA(m_writtenPath.c_str());
        m_writtenPath.clear();
    }

private:
    const zs& m_path;
    zs m_writtenPath;
    Stream m_file;
    bool m_failed = false;
};

// Takes output and drops it: decoding an entry only to judge it.
class DiscardSink final : public LzssSink {
public:
    bool write(const unsigned char*, std::size_t) override { return true; }
};

// Passes output on and counts it towards the heartbeat.
class CountingSink final : public LzssSink {
public:
    CountingSink(LzssSink& next, Reporter& reporter) : m_next(next), m_reporter(reporter) {}
    bool write(const unsigned char* bytes, std::size_t count) override {
        m_reporter.count(count);
        return m_next.write(bytes, count);
    }

private:
    LzssSink& m_next;
    Reporter& m_reporter;
};

enum class EntryOutcome { extracted, damaged, notWritten };

// Streams one entry's stored bytes, whose sizes agree, from the data area
// into output, checked: a compressed block must decode to exactly size
// bytes. Damage is judged over the whole entry even when the output has
// failed, so that the report is the same as if the content had been checked
// before writing.
bool streamEntry(const FileEntry& file, DataArea& data, LzssContext& codec, ByteBuffer& buffer, LzssSink& output,
                 Reporter& reporter) {
    CountingSink counted(output, reporter);
    if (file.storage != kStorageCompressed) {
        while (const std::size_t got = data.read(buffer.data(), buffer.size()))
            counted.write(buffer.data(), got);
        return !data.failed();
    }
    LzssBlockDecoder decoder(codec, file.storedSize, file.size, counted);
    while (const std::size_t got = data.read(buffer.data(), buffer.size()))
        decoder.feed(buffer.data(), got);
    return decoder.finish() && !data.failed();
}

EntryOutcome extractEntry(const FileEntry& file, const zs& outputPath, DataArea& data, LzssContext& codec,
                          ByteBuffer& buffer, Reporter& reporter) {
    if (!data.begin(file.storedSize) || !entrySizesAgree(file))
        return EntryOutcome::damaged;
    OutputFile output(outputPath);
    if (output.failed()) {
        // Nothing can be written; whether the entry is damaged still decides
        // what is reported.
        DiscardSink nowhere;
        return streamEntry(file, data, codec, buffer, nowhere, reporter) ? EntryOutcome::notWritten
                                                                          : EntryOutcome::damaged;
    }
    if (!streamEntry(file, data, codec, buffer, output, reporter))
        return EntryOutcome::damaged;
    return output.commit() ? EntryOutcome::extracted : EntryOutcome::notWritten;
}

// Creates the missing levels of path and dates those longer than
// undatedLength characters: the extraction leaves the levels above its
// destination as they are. A level that cannot be created is reported once:
// the levels below it cannot be created either.
void createDirectoryLevels(const zs& path, std::size_t undatedLength, const ArchiveDate& date, Reporter& reporter) {
    forEachLevel(path, [&](const zs& level) {
        if (GetFileAttributesA(level.c_str()) == INVALID_FILE_ATTRIBUTES && !CreateDirectoryA(level.c_str(), nullptr)) {
            reporter.report(ZAS_EVENT_DIR_CREATE_FAILED, 0, level.c_str());
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
            dateDirectoryLevel(level, date, &reporter);
        return true;
    });
}

// Creating files in a directory moves its last-write time. Dates the levels
// again as the directory pass left them: each once, with the date of the last
// directory (in index order) whose path passes through it. Going backwards,
// the first directory to reach a level dates it; that directory reached
// every level above it too, so the walk up a path stops at the first level
// already dated.
void redateDirectoryLevels(const DirectoryMap& dirs, const zvector<unsigned char>& usable, const zs& prefix) {
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
            dateDirectoryLevel(level, dir.date, nullptr);
            end = at;
        }
    }
}

// Whether a directory may hold extracted files: a name that would lead out
// of the destination, or that is too long for any path of this system
// (however many levels it claims), is refused before a single level of it is
// touched, with one event.
bool directoryUsable(const DirEntry& dir, const zs& prefix, Reporter& reporter) {
    if (!isSafeStoredPath(dir.name, {}, kSystemNameRules)) {
        reporter.report(ZAS_EVENT_DIR_SKIPPED, ZAS_REASON_UNSAFE_NAME, dir.name.c_str());
        return false;
    }
    if (const zs path = prefix + dir.name; isPathTooLong(path.c_str())) {
        reporter.report(ZAS_EVENT_DIR_SKIPPED, ZAS_REASON_PATH_TOO_LONG, dir.name.c_str());
        return false;
    }
    return true;
}

// One file entry, whose directory (null when its index names none) is
// usable or not: skipped with an event, or extracted and dated. The bytes
// of a skipped entry are passed over.
bool extractFile(const FileEntry& file, const DirEntry* directory, bool directoryUsable, const zs& prefix,
                 DataArea& data, LzssContext& codec, ByteBuffer& buffer, Reporter& reporter) {
    static const zs noDirectory;
    const zs& dirName = directory != nullptr ? directory->name : noDirectory;
    if (directory != nullptr && !directoryUsable) {
        // Its directory was refused and reported, under its own name.
        data.skip(file.storedSize);
        reporter.report(ZAS_EVENT_FILE_SKIPPED, ZAS_REASON_DIRECTORY_SKIPPED, file.name.c_str());
        return false;
    }
    if (directory == nullptr || !isSafeStoredPath(dirName, file.name, kSystemNameRules)) {
        data.skip(file.storedSize);
        const zs storedPath = dirName + file.name;
        reporter.report(ZAS_EVENT_FILE_SKIPPED, ZAS_REASON_UNSAFE_NAME, storedPath.c_str());
        return false;
    }
    const zs outputPath = prefix + dirName + file.name;
    if (isPathTooLong(outputPath.c_str())) {
        data.skip(file.storedSize);
        const zs storedPath = dirName + file.name;
        reporter.report(ZAS_EVENT_FILE_SKIPPED, ZAS_REASON_PATH_TOO_LONG, storedPath.c_str());
        return false;
    }
    switch (extractEntry(file, outputPath, data, codec, buffer, reporter)) {
    case EntryOutcome::extracted: break;
    case EntryOutcome::damaged: reporter.report(ZAS_EVENT_FILE_DAMAGED, 0, outputPath.c_str()); return false;
    case EntryOutcome::notWritten: reporter.report(ZAS_EVENT_FILE_WRITE_FAILED, 0, outputPath.c_str()); return false;
    }
    setFileDate(outputPath, file.date, reporter);
    reporter.report(ZAS_EVENT_FILE_EXTRACTED, 0, outputPath.c_str());
    return true;
}

void reportFileStart(const FileEntry& file, const DirEntry* directory, std::size_t index, std::uint64_t done,
                     std::uint64_t total, Reporter& reporter) {
    const zs storedPath = (directory != nullptr ? directory->name : zs()) + file.name;
    zas_event event{};
    event.type = ZAS_EVENT_EXTRACT_FILE;
    event.path = storedPath.c_str();
    event.index = index;
    event.size = file.size;
    event.done = done;
    event.total = total;
    reporter.report(event);
}

} // namespace

zs extractionPrefix(const zs& destination) {
    zs prefix = destination.empty() ? zs(".") : destination;
    if (!destination.empty() && prefix.back() == '\\')
        prefix.pop_back();
    return prefix;
}

void createDirectoryPath(const zs& path, const ArchiveDate& date, Reporter& reporter) {
    createDirectoryLevels(path, 0, date, reporter);
}

int extractAll(const ArchiveReader& archive, const zs& destination, LzssContext& codec, Reporter& reporter,
               ExtractionCounts& counts) {
    counts = {};
    const zs prefix = extractionPrefix(destination);
    reporter.report(ZAS_EVENT_EXTRACT_BEGIN, 0, prefix.c_str());

    const FileList& files = archive.files();
    const DirectoryMap& dirs = archive.dirs();
    // 64-bit, so that archives beyond 2 GiB show true figures.
    std::uint64_t totalBytes = 0;
    for (const FileEntry& file : files)
        totalBytes += file.size;

    DataArea data(archive, archive.dataStart(), archive.length());
    // Every entry streams through one buffer and one codec context: memory
    // does not grow with a file's size.
    ByteBuffer buffer(kCopyBufferSize);

    // The directories whose files may be written.
    zvector<unsigned char> usable(dirs.size(), 0);
    for (const auto& [index, dir] : dirs) {
        if (directoryUsable(dir, prefix, reporter)) {
            createDirectoryLevels(prefix + dir.name, prefix.size(), dir.date, reporter);
            usable[static_cast<std::size_t>(index)] = 1;
        }
    }

    std::uint64_t processedBytes = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const FileEntry& file = files[i];
        if (file.name.empty()) {
            data.skip(file.storedSize);
            continue;
        }
        const DirEntry* directory = archive.directoryOf(file);
        reportFileStart(file, directory, i, processedBytes, totalBytes, reporter);
        const bool dirUsable = directory != nullptr && usable[directory->index] != 0;
        const bool done = extractFile(file, directory, dirUsable, prefix, data, codec, buffer, reporter);
        processedBytes += file.size;
        if (done)
            ++counts.extracted;
        else
            ++counts.failed;
    }

    redateDirectoryLevels(dirs, usable, prefix);
    return ZAS_OK;
}

bool extractOne(const ArchiveReader& archive, std::size_t index, const zs& destination, LzssContext& codec,
                Reporter& reporter) {
    const FileEntry& file = archive.files()[index];
    const zs prefix = extractionPrefix(destination);
    const DirEntry* directory = archive.directoryOf(file);
    if (file.name.empty()) {
        const zs storedPath = (directory != nullptr ? directory->name : zs()) + file.name;
        reporter.report(ZAS_EVENT_FILE_SKIPPED, ZAS_REASON_UNSAFE_NAME, storedPath.c_str());
        return false;
    }
    reportFileStart(file, directory, index, 0, file.size, reporter);
    const bool dirUsable = directory != nullptr && directoryUsable(*directory, prefix, reporter);
    if (dirUsable)
        createDirectoryLevels(prefix + directory->name, prefix.size(), directory->date, reporter);

    DataArea data(archive, archive.offsetOf(index), archive.length());
    ByteBuffer buffer(kCopyBufferSize);
    const bool done = extractFile(file, directory, dirUsable, prefix, data, codec, buffer, reporter);
    if (dirUsable) {
        zvector<unsigned char> usable(directory->index + std::size_t{1}, 0);
        usable[directory->index] = 1;
        DirectoryMap one;
        one.emplace(static_cast<std::int32_t>(directory->index), *directory);
        redateDirectoryLevels(one, usable, prefix);
    }
    return done;
}
