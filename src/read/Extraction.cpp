#include "read/Extraction.h"

#include "archive/Lzss.h"
#include "archive/StoredName.h"
#include "platform/Platform.h"
#include "read/EntryStream.h"
#include "read/OutputFile.h"
#include "read/Reader.h"
#include "read/WriteAhead.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_set>

namespace {

// Small entries come many to a read of the archive.
constexpr std::size_t kArchiveBufferSize = 0x40000;
// Stored bytes move from the archive to a file through this buffer...
constexpr std::size_t kCopyBufferSize = 0x40000;
// ...or, from this size on, inside the system where it can.
constexpr std::uint32_t kDirectCopySize = 0x10000;

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

struct NameHash {
    std::size_t operator()(const zs& name) const noexcept {
        return std::hash<std::string_view>()(std::string_view(name.data(), name.size()));
    }
};
using NameSet = std::unordered_set<zs, NameHash, std::equal_to<>, Z_Allocator<zs>>;

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

    // The entry's next count bytes (at most what is left of it) taken
    // without reading them: where they begin in the archive.
    std::uint64_t take(std::size_t count) {
        const std::uint64_t at = m_position;
        advance(static_cast<std::size_t>(std::min<std::uint64_t>(count, m_remaining)));
        return at;
    }
    std::uint64_t remaining() const noexcept { return m_remaining; }

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

// One extraction under one destination: what the directory and file passes
// share. Directories are made and dated level by level; each level is made
// once, and once it was dated it is not dated again on the way (its last
// date comes from the pass at the end): no level costs more than it must.
class Extraction {
public:
    Extraction(const ArchiveReader& archive, const zs& destination, LzssContext& codec, Reporter& reporter)
        : m_archive(archive), m_prefix(extractionPrefix(destination)), m_codec(codec), m_reporter(reporter),
          m_buffer(kCopyBufferSize) {}

    const zs& prefix() const noexcept { return m_prefix; }

    // Whether a directory may hold extracted files: a name that would lead
    // out of the destination, or that is too long for any path of this
    // system (however many levels it claims), is refused before a single
    // level of it is touched, with one event.
    bool directoryUsable(const DirEntry& dir) {
        if (!isSafeStoredPath(dir.name, {}, kSystemNameRules)) {
            m_reporter.report(ZAS_EVENT_DIR_SKIPPED, ZAS_REASON_UNSAFE_NAME, dir.name.c_str());
            return false;
        }
        if (const zs path = m_prefix + dir.name; isPathTooLong(path.c_str())) {
            m_reporter.report(ZAS_EVENT_DIR_SKIPPED, ZAS_REASON_PATH_TOO_LONG, dir.name.c_str());
            return false;
        }
        return true;
    }

    // Makes the missing levels of path and dates those longer than
    // undatedLength characters: the extraction leaves the levels above its
    // destination as they are. A level that cannot be made is reported
    // once: the levels below it cannot be made either.
    void createLevels(const zs& path, std::size_t undatedLength, const ArchiveDate& date) {
        forEachLevel(path, [&](const zs& level) {
            if (m_made.count(level) != 0)
                return true;
            if (!ensureDirectory(level.c_str())) {
                m_reporter.report(ZAS_EVENT_DIR_CREATE_FAILED, 0, level.c_str());
                return false;
            }
            m_made.insert(level);
            return true;
        });
        // Making a level moves its parent's last-write time, so the levels
        // are dated once all of them exist.
        std::uint64_t fileTime = 0;
        if (date.year == 0)
            return;
        const bool settable = fileTimeOf(date, fileTime);
        forEachLevel(path, [&](const zs& level) {
            if (level.size() > undatedLength && settable && m_dated.count(level) == 0) {
                bool reached = false;
                if (setPathTimes(level.c_str(), fileTime, reached))
                    m_dated.insert(level);
                else if (reached)
                    m_reporter.report(ZAS_EVENT_DIR_DATE_FAILED, 0, level.c_str());
            }
            return true;
        });
    }

    // Creating files in a directory moves its last-write time. Dates the
    // levels again as the directory pass left them: each once, with the date
    // of the last directory (in index order) whose path passes through it.
    // Going backwards, the first directory to reach a level dates it; that
    // directory reached every level above it too, so the walk up a path stops
    // at the first level already dated.
    void redateLevels(const DirectoryMap& dirs, const zvector<unsigned char>& usable) {
        std::unordered_set<std::string_view, std::hash<std::string_view>, std::equal_to<>,
                           Z_Allocator<std::string_view>>
            dated;
        zs level;
        for (auto entry = dirs.rbegin(); entry != dirs.rend(); ++entry) {
            const auto& [index, dir] = *entry;
            std::uint64_t fileTime = 0;
            if (usable[static_cast<std::size_t>(index)] == 0 || dir.date.year == 0)
                continue;
            const bool settable = fileTimeOf(dir.date, fileTime);
            const std::string_view name(dir.name.data(), dir.name.size());
            for (std::size_t end = name.size(); end > 0;) {
                const std::size_t at = name.rfind('\\', end - 1);
                if (at == std::string_view::npos || !dated.insert(name.substr(0, at + 1)).second)
                    break;
                level.assign(m_prefix);
                level.append(dir.name, 0, at + 1);
                bool reached = false;
                if (settable)
                    setPathTimes(level.c_str(), fileTime, reached);
                end = at;
            }
        }
    }

    // One file entry, whose directory (null when its index names none) is
    // usable or not: skipped with an event, or extracted and dated. The
    // bytes of a skipped entry are passed over.
    bool extractFile(const FileEntry& file, const DirEntry* directory, bool directoryUsable, DataArea& data) {
        if (const int reason = admit(file, directory, directoryUsable); reason != 0) {
            data.skip(file.storedSize);
            reportSkipped(file, directory, reason);
            return false;
        }
        bool dated = true;
        const EntryOutcome outcome = extractEntry(file, directoryFor(nameOf(directory)), data, dated);
        return reportOutcome(file, directory, outcome, dated);
    }

    // Whether file is extracted by the thread that reads the archive rather
    // than written ahead (see WriteAhead): a compressed file of 64 KiB or
    // more, whose decoding (which comes in table order anyway) is most of
    // its cost, and which would have to wait whole in memory.
    static bool extractedInPlace(const FileEntry& file) {
        return file.storage == kStorageCompressed && file.size >= kDirectCopySize;
    }

    // Opens the directory that files of directory go to, unless the files
    // before went there too. False when it could not be opened for want of
    // descriptors (it is then not open).
    bool openDirectory(const DirEntry* directory) {
        const std::shared_ptr<DirectoryHandle>& handle = directoryFor(nameOf(directory));
        return handle->isOpen() || !handle->mayPass();
    }
    // Whether file would go to another directory than the files before it.
    bool changesDirectory(const DirEntry* directory) const {
        return m_directory == nullptr || m_directoryName != nameOf(directory);
    }
    // Lets go of the directory the last files went to.
    void closeDirectory() noexcept {
        m_directory.reset();
        m_directoryName.clear();
    }

    // Fills in job for one file entry not extracted in place, as
    // extractFile would extract it: a skipped or damaged entry is only to
    // be reported; any other has its content read or decoded into memory,
    // or, stored and large, is to be copied from the archive by a worker.
    void prepare(WriteAhead::Job& job, const FileEntry& file, const DirEntry* directory, bool directoryUsable,
                 DataArea& data) {
        job.file = &file;
        job.directory = directory;
        if (const int reason = admit(file, directory, directoryUsable); reason != 0) {
            data.skip(file.storedSize);
            job.event = ZAS_EVENT_FILE_SKIPPED;
            job.reason = reason;
            return;
        }
        job.event = ZAS_EVENT_FILE_DAMAGED;
        if (!data.begin(file.storedSize) || !entrySizesAgree(file))
            return;
        job.target = directoryFor(nameOf(directory));
        if (file.storage == kStorageCompressed) {
            job.bytes = ByteBuffer(file.size);
            MemorySink content(job.bytes);
            if (!streamEntry(file, data, content) || !content.full()) {
                job.bytes.release();
                return;
            }
        } else if (file.size >= kDirectCopySize) {
            job.archiveOffset = data.take(file.size);
            job.fromArchive = true;
        } else {
            job.bytes = ByteBuffer(file.size);
            for (std::size_t got = 0; got < job.bytes.size();) {
                const std::size_t read = data.read(job.bytes.data() + got, job.bytes.size() - got);
                if (read == 0)
                    break;
                m_reporter.count(read);
                got += read;
            }
            if (data.failed()) {
                job.bytes.release();
                return;
            }
        }
        job.work = true;
    }

    // Puts in place and reports a job taken back in table order.
    bool reportJob(WriteAhead::Job& job, WriteAhead& ahead) {
        if (!job.work) {
            if (job.event == ZAS_EVENT_FILE_SKIPPED) {
                reportSkipped(*job.file, job.directory, job.reason);
                return false;
            }
            return reportOutcome(*job.file, job.directory, EntryOutcome::damaged, true);
        }
        if (job.outcome == WriteAhead::Outcome::retry)
            ahead.writeHere(job);
        EntryOutcome outcome = EntryOutcome::notWritten;
        if (job.outcome == WriteAhead::Outcome::damaged)
            outcome = EntryOutcome::damaged;
        else if (job.outcome == WriteAhead::Outcome::written && job.output->place())
            outcome = EntryOutcome::extracted;
        return reportOutcome(*job.file, job.directory, outcome, job.dated);
    }

private:
    // Writes decoded content into memory of its final size.
    class MemorySink final : public LzssSink {
    public:
        explicit MemorySink(ByteBuffer& buffer) : m_buffer(buffer) {}
        bool write(const unsigned char* bytes, std::size_t count) override {
            if (count > m_buffer.size() - m_filled)
                return false;
            std::memcpy(m_buffer.data() + m_filled, bytes, count);
            m_filled += count;
            return true;
        }
        bool full() const noexcept { return m_filled == m_buffer.size(); }

    private:
        ByteBuffer& m_buffer;
        std::size_t m_filled = 0;
    };

    static const zs& nameOf(const DirEntry* directory) {
        static const zs noDirectory;
        return directory != nullptr ? directory->name : noDirectory;
    }

    // 0 when file may be extracted, else why it is skipped: its directory
    // was refused (and reported, under its own name), it has none, or its
    // path is unsafe or too long.
    int admit(const FileEntry& file, const DirEntry* directory, bool directoryUsable) const {
        if (directory != nullptr && !directoryUsable)
            return ZAS_REASON_DIRECTORY_SKIPPED;
        if (directory == nullptr || !isSafeStoredPath(directory->name, file.name, kSystemNameRules))
            return ZAS_REASON_UNSAFE_NAME;
        if (const zs outputPath = m_prefix + directory->name + file.name; isPathTooLong(outputPath.c_str()))
            return ZAS_REASON_PATH_TOO_LONG;
        return 0;
    }

    void reportSkipped(const FileEntry& file, const DirEntry* directory, int reason) {
        if (reason == ZAS_REASON_DIRECTORY_SKIPPED) {
            m_reporter.report(ZAS_EVENT_FILE_SKIPPED, reason, file.name.c_str());
            return;
        }
        const zs storedPath = nameOf(directory) + file.name;
        m_reporter.report(ZAS_EVENT_FILE_SKIPPED, reason, storedPath.c_str());
    }

    bool reportOutcome(const FileEntry& file, const DirEntry* directory, EntryOutcome outcome, bool dated) {
        const zs outputPath = m_prefix + nameOf(directory) + file.name;
        switch (outcome) {
        case EntryOutcome::extracted: break;
        case EntryOutcome::damaged: m_reporter.report(ZAS_EVENT_FILE_DAMAGED, 0, outputPath.c_str()); return false;
        case EntryOutcome::notWritten:
            m_reporter.report(ZAS_EVENT_FILE_WRITE_FAILED, 0, outputPath.c_str());
            return false;
        }
        if (!dated)
            m_reporter.report(ZAS_EVENT_FILE_DATE_FAILED, 0, outputPath.c_str());
        m_reporter.report(ZAS_EVENT_FILE_EXTRACTED, 0, outputPath.c_str());
        return true;
    }

    // The directory of the destination that files of the stored directory
    // dirName go to, opened once for all the files that follow in it (and
    // held by the files queued in it while it is open).
    const std::shared_ptr<DirectoryHandle>& directoryFor(const zs& dirName) {
        if (m_directory == nullptr || m_directoryName != dirName) {
            m_directory.reset();
            m_directoryName = dirName;
            m_directory = std::make_shared<DirectoryHandle>();
            m_directory->open(m_prefix + dirName);
        }
        return m_directory;
    }

    // Streams one entry's stored bytes, whose sizes agree, from the data
    // area into output, checked: a compressed block must decode to exactly
    // size bytes. Damage is judged over the whole entry even when the output
    // has failed, so that the report is the same as if the content had been
    // checked before writing.
    bool streamEntry(const FileEntry& file, DataArea& data, LzssSink& output) {
        CountingSink counted(output, m_reporter);
        if (file.storage != kStorageCompressed) {
            while (const std::size_t got = data.read(m_buffer.data(), m_buffer.size()))
                counted.write(m_buffer.data(), got);
            return !data.failed();
        }
        LzssBlockDecoder decoder(m_codec, file.storedSize, file.size, counted);
        while (const std::size_t got = data.read(m_buffer.data(), m_buffer.size()))
            decoder.feed(m_buffer.data(), got);
        return decoder.finish() && !data.failed();
    }

    EntryOutcome extractEntry(const FileEntry& file, const std::shared_ptr<DirectoryHandle>& directory,
                              DataArea& data, bool& dated) {
        if (!data.begin(file.storedSize) || !entrySizesAgree(file))
            return EntryOutcome::damaged;
        OutputFile output(*directory, file.name);
        if (output.failed()) {
            // Nothing can be written; whether the entry is damaged still
            // decides what is reported.
            DiscardSink nowhere;
            return streamEntry(file, data, nowhere) ? EntryOutcome::notWritten : EntryOutcome::damaged;
        }
        if (file.storage != kStorageCompressed && file.size >= kDirectCopySize && m_directCopy) {
            // A large stored entry is copied inside the system, a chunk at a
            // time, so that the heartbeat still comes.
            while (data.remaining() != 0 && m_directCopy) {
                const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kCopyBufferSize * 4, data.remaining()));
                bool unsupported = false;
                const bool copied = output.copyFrom(m_archive.file(), data.take(0), count, unsupported);
                if (unsupported) {
                    m_directCopy = false;
                    break;
                }
                data.take(count);
                m_reporter.count(count);
                if (!copied) {
                    data.take(data.remaining());
                    return EntryOutcome::notWritten;
                }
            }
        }
        if (!streamEntry(file, data, output))
            return EntryOutcome::damaged;
        dated = output.setDate(file.date);
        return output.place() ? EntryOutcome::extracted : EntryOutcome::notWritten;
    }

    const ArchiveReader& m_archive;
    zs m_prefix;
    LzssContext& m_codec;
    Reporter& m_reporter;
    ByteBuffer m_buffer;
    NameSet m_made;  // levels made or found
    NameSet m_dated; // levels dated once already
    std::shared_ptr<DirectoryHandle> m_directory;
    zs m_directoryName;
    bool m_directCopy = true; // the system copies between files itself
};

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
    const ArchiveReader none;
    LzssContext codec;
    Extraction extraction(none, zs(), codec, reporter);
    extraction.createLevels(path, 0, date);
}

namespace {

// At most this many directories are held open by the files queued ahead.
constexpr std::size_t kTargetsHeld = 16;

// Whether writing ahead pays: it spreads the creating and writing of files
// over threads, but where large compressed files hold most of the bytes,
// decoding them is the pass's work and it gains nothing (measured on game
// data: slower). So it is used when the files written ahead hold at least
// as many bytes as those extracted in place.
bool worthWritingAhead(const ArchiveReader& archive) {
    std::uint64_t ahead = 0;
    std::uint64_t inPlace = 0;
    for (const FileEntry& file : archive.files())
        (Extraction::extractedInPlace(file) ? inPlace : ahead) += file.size;
    return archive.files().size() > 1 && ahead >= inPlace;
}

// Counts and reports the files of the pass in table order.
class FilePass {
public:
    FilePass(const ArchiveReader& archive, Reporter& reporter, ExtractionCounts& counts)
        : m_reporter(reporter), m_counts(counts) {
        for (const FileEntry& file : archive.files())
            m_total += file.size;
    }

    void start(const FileEntry& file, const DirEntry* directory, std::size_t index) {
        reportFileStart(file, directory, index, m_done, m_total, m_reporter);
    }
    void end(const FileEntry& file, bool extracted) {
        m_done += file.size;
        if (extracted)
            ++m_counts.extracted;
        else
            ++m_counts.failed;
    }

private:
    Reporter& m_reporter;
    ExtractionCounts& m_counts;
    // 64-bit, so that archives beyond 2 GiB show true figures.
    std::uint64_t m_total = 0;
    std::uint64_t m_done = 0;
};

// Every entry streams through one buffer and one codec context: memory does
// not grow with a file's size. With ahead, the files are written on its
// workers ahead of this thread, which reads the archive and reports the
// files in order; a file extracted in place waits until the files before it
// are reported.
void extractFiles(const ArchiveReader& archive, Extraction& extraction, const zvector<unsigned char>& usable,
                  FilePass& pass, WriteAhead* ahead, Reporter& reporter) {
    const auto reportFront = [&] {
        WriteAhead::Job& job = ahead->front(reporter);
        pass.start(*job.file, job.directory, job.index);
        pass.end(*job.file, extraction.reportJob(job, *ahead));
        ahead->pop();
    };
    const auto reportAll = [&] {
        while (ahead != nullptr && !ahead->empty())
            reportFront();
    };
    const FileList& files = archive.files();
    DataArea data(archive, archive.dataStart(), archive.length());
    std::size_t targetsHeld = kTargetsHeld;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const FileEntry& file = files[i];
        if (file.name.empty()) {
            data.skip(file.storedSize);
            continue;
        }
        const DirEntry* directory = archive.directoryOf(file);
        const bool dirUsable = directory != nullptr && usable[directory->index] != 0;
        if (ahead == nullptr || Extraction::extractedInPlace(file)) {
            reportAll();
            pass.start(file, directory, i);
            pass.end(file, extraction.extractFile(file, directory, dirUsable, data));
            continue;
        }
        if (dirUsable && extraction.changesDirectory(directory)) {
            // Each directory queued holds a descriptor; short of them, the
            // pass holds one at a time, as one thread does.
            if (ahead->shortOfDescriptors())
                targetsHeld = 1;
            while (ahead->targetsHeld() >= targetsHeld)
                reportFront();
            if (!extraction.openDirectory(directory)) {
                targetsHeld = 1;
                reportAll();
                extraction.closeDirectory();
                extraction.openDirectory(directory);
            }
        }
        WriteAhead::Job& job = ahead->add();
        job.index = i;
        extraction.prepare(job, file, directory, dirUsable, data);
        ahead->queue();
        while (ahead->full())
            reportFront();
    }
    reportAll();
}

} // namespace

int extractAll(const ArchiveReader& archive, const zs& destination, LzssContext& codec, Reporter& reporter,
               ExtractionCounts& counts, unsigned threads) {
    counts = {};
    Extraction extraction(archive, destination, codec, reporter);
    const zs& prefix = extraction.prefix();
    reporter.report(ZAS_EVENT_EXTRACT_BEGIN, 0, prefix.c_str());

    // The directories whose files may be written.
    const DirectoryMap& dirs = archive.dirs();
    zvector<unsigned char> usable(dirs.size(), 0);
    for (const auto& [index, dir] : dirs) {
        if (extraction.directoryUsable(dir)) {
            extraction.createLevels(prefix + dir.name, prefix.size(), dir.date);
            usable[static_cast<std::size_t>(index)] = 1;
        }
    }

    FilePass pass(archive, reporter, counts);
    std::optional<WriteAhead> ahead;
    if (threads > 1 && worthWritingAhead(archive))
        ahead.emplace(archive, threads);
    extractFiles(archive, extraction, usable, pass, ahead && ahead->workers() != 0 ? &*ahead : nullptr, reporter);

    extraction.redateLevels(dirs, usable);
    return ZAS_OK;
}

bool extractOne(const ArchiveReader& archive, std::size_t index, const zs& destination, LzssContext& codec,
                Reporter& reporter) {
    const FileEntry& file = archive.files()[index];
    Extraction extraction(archive, destination, codec, reporter);
    const zs& prefix = extraction.prefix();
    const DirEntry* directory = archive.directoryOf(file);
    if (file.name.empty()) {
        const zs storedPath = (directory != nullptr ? directory->name : zs()) + file.name;
        reporter.report(ZAS_EVENT_FILE_SKIPPED, ZAS_REASON_UNSAFE_NAME, storedPath.c_str());
        return false;
    }
    reportFileStart(file, directory, index, 0, file.size, reporter);
    const bool dirUsable = directory != nullptr && extraction.directoryUsable(*directory);
    if (dirUsable)
        extraction.createLevels(prefix + directory->name, prefix.size(), directory->date);

    DataArea data(archive, archive.offsetOf(index), archive.length());
    const bool done = extraction.extractFile(file, directory, dirUsable, data);
    if (dirUsable) {
        zvector<unsigned char> usable(directory->index + std::size_t{1}, 0);
        usable[directory->index] = 1;
        DirectoryMap one;
        one.emplace(static_cast<std::int32_t>(directory->index), *directory);
        extraction.redateLevels(one, usable);
    }
    return done;
}
