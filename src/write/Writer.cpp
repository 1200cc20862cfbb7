#include "write/Writer.h"

#include "archive/Endian.h"
#include "archive/Format.h"
#include "archive/Lzss.h"
#include "archive/StoredName.h"
#include "write/Gathering.h"
#include "write/ParallelCoding.h"
#include "write/ReadAhead.h"
#include "write/SourceFile.h"
#include "platform/Platform.h"
#include "platform/Stream.h"
#include "support/CrtRandom.h"
#include "support/Workers.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <thread>

namespace {

// Chunk for moving the data area when the tables came out shorter.
constexpr std::size_t kMoveChunkSize = 1 << 20;
// What gathers before it is written to the archive.
constexpr std::size_t kArchiveBufferSize = 0x40000;

ArchiveDate dateOf(const FILETIME& time) {
    SYSTEMTIME converted;
    if (!FileTimeToSystemTime(&time, &converted))
        return {}; // a time the calendar cannot show: no date recorded
    return archiveDateOf(converted);
}

// The archive while it is written: a new file beside the archive's name,
// which replaces any file of that name only when it is complete. Until then,
// and whenever the run stops early, the existing file stays as it was and the
// new one is removed.
class PendingArchive {
public:
    PendingArchive(const zs& archive, bool exclusive) : m_archive(archive), m_exclusive(exclusive) {}
    ~PendingArchive() { discard(); }
    PendingArchive(const PendingArchive&) = delete;
    PendingArchive& operator=(const PendingArchive&) = delete;

    bool create() {
        m_file = Stream(createFileBeside(m_archive.c_str(), m_path));
        // The data pass gathers what it writes itself.
        if (m_file.isOpen())
            std::setvbuf(m_file.get(), nullptr, _IONBF, 0);
        return m_file.isOpen();
    }
    std::FILE* file() const noexcept { return m_file.get(); }

    // Closes the file and gives it the archive's name. With durable, the
    // bytes are on the disk before the name changes, and the new name is on
    // the disk before this returns.
    bool commit(bool durable) {
        // In this order: the bytes written out (and, durable, on the disk)
        // and the file closed before it takes the name.
        const bool flushed = !durable || flushToDisk(m_file.get());
        // Closed before it is renamed: Windows renames no open file.
        const bool closed = m_file.close() && flushed;
        const bool committed = closed &&
                               (m_exclusive ? renameNoReplace(m_path.c_str(), m_archive.c_str())
                                            : replaceFile(m_path.c_str(), m_archive.c_str())) &&
                               (!durable || flushDirectoryOf(m_archive.c_str()));
        if (!committed)
            DeleteFileA(m_path.c_str());
        m_path.clear();
        return committed;
    }

    void discard() noexcept {
        m_file.close();
        if (!m_path.empty()) {
            DeleteFileA(m_path.c_str());
            m_path.clear();
        }
    }

private:
    const zs& m_archive;
    bool m_exclusive;
    zs m_path;
    Stream m_file;
};

// The archive's data area as it is written: output gathers in one buffer,
// so that small files go to the system in large writes, and stored files
// are read straight into it. What goes through counts towards the
// heartbeat. Before the file's position is used in any other way, flush().
class ArchiveOutput final : public LzssSink {
public:
    ArchiveOutput(std::FILE* archive, Reporter& reporter)
        : m_archive(archive), m_reporter(reporter), m_buffer(kArchiveBufferSize) {}

    bool write(const unsigned char* bytes, std::size_t count) override {
        m_reporter.count(count);
        if (count > m_buffer.size() - m_used && !flush())
            return false;
        if (count >= m_buffer.size())
            return std::fwrite(bytes, 1, count, m_archive) == count;
        std::memcpy(m_buffer.data() + m_used, bytes, count);
        m_used += count;
        return true;
    }

    // Room for the next bytes, at least a quarter of the buffer; null when
    // what was gathered could not be written. Take what was put there with
    // commit().
    unsigned char* space(std::size_t& room) {
        if (m_buffer.size() - m_used < m_buffer.size() / 4 && !flush())
            return nullptr;
        room = m_buffer.size() - m_used;
        return m_buffer.data() + m_used;
    }
    void commit(std::size_t count) {
        m_reporter.count(count);
        m_used += count;
    }

    bool flush() {
        const bool written = m_used == 0 || std::fwrite(m_buffer.data(), 1, m_used, m_archive) == m_used;
        m_used = 0;
        return written;
    }
    // Drops what was gathered and not written.
    void drop() noexcept { m_used = 0; }

private:
    std::FILE* m_archive;
    Reporter& m_reporter;
    ByteBuffer m_buffer;
    std::size_t m_used = 0;
};

// A file recorded from memory, as the coder's input.
class BufferSource final : public LzssSource {
public:
    explicit BufferSource(const ByteBuffer& bytes) : m_next(bytes.data()), m_left(bytes.size()) {}
    std::ptrdiff_t read(unsigned char* buffer, std::size_t capacity) override {
        const std::size_t count = std::min(capacity, m_left);
        std::memcpy(buffer, m_next, count);
        m_next += count;
        m_left -= count;
        return static_cast<std::ptrdiff_t>(count);
    }

private:
    const unsigned char* m_next;
    std::size_t m_left;
};

int leftOutReason(ReadOutcome outcome) {
    switch (outcome) {
    case ReadOutcome::cannotOpen: return ZAS_REASON_CANNOT_OPEN;
    case ReadOutcome::cannotRead: return ZAS_REASON_CANNOT_READ;
    case ReadOutcome::changedSize: return ZAS_REASON_CHANGED_SIZE;
    case ReadOutcome::read: break;
    }
    return 0;
}

// Moves the bytes from `from` to the end of the file down to `to`, and cuts
// the file to its new length.
bool moveDataDown(std::FILE* file, std::uint64_t from, std::uint64_t to, std::uint64_t end) {
    if (from == to)
        return true;
    ByteBuffer chunk(static_cast<std::size_t>(std::min<std::uint64_t>(kMoveChunkSize, end - from)));
    for (std::uint64_t position = from; position < end;) {
        const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), end - position));
        if (!seekFile(file, position) || std::fread(chunk.data(), 1, length, file) != length ||
            !seekFile(file, position - (from - to)) || std::fwrite(chunk.data(), 1, length, file) != length)
            return false;
        position += length;
    }
    return truncateFile(file, end - (from - to));
}

// A file to be written: its entry as it will stand in the file table, and
// where its bytes come from.
struct PlannedFile {
    FileEntry entry;
    zs source;                      // the path it is read from; empty for one from memory
    std::size_t buffer = 0;         // from memory: its bytes in Plan::buffers
    FileIdentity identity;          // the file as it was read
    bool stored = false;            // written whole into the archive
};

// A directory a gathered tree holds: move mode removes it, deepest first.
struct TreeDirectory {
    zs walked;  // its path as the walk spelled it: the order of removal
    zs removal; // the path that is removed
};

} // namespace

struct ArchiveWriter::Plan {
    zmap<zs, std::uint32_t> directoryIndex; // stored name -> index
    zvector<DirEntry> directories;          // in index order
    zvector<PlannedFile> files;             // in table order
    zvector<ByteBuffer> buffers;
    zvector<TreeDirectory> treeDirectories;

    // The directory with this stored name, entered (with date) when it is
    // new; an existing one takes date when date records one.
    std::uint32_t enterDirectory(const zs& name, const ArchiveDate& date) {
        const auto found = directoryIndex.find(name);
        if (found != directoryIndex.end()) {
            if (date.year != 0)
                directories[found->second].date = date;
            return found->second;
        }
        DirEntry entry;
        entry.name = name;
        entry.date = date;
        entry.index = static_cast<std::uint32_t>(directories.size());
        directories.push_back(std::move(entry));
        directoryIndex.emplace(name, directories.back().index);
        return directories.back().index;
    }

    // The directory with this stored name, and every level above it,
    // entered without a date where they are missing: the levels first.
    std::uint32_t enterDirectoryLevels(const zs& name, const ArchiveDate& date) {
        if (directoryIndex.find(name) == directoryIndex.end())
            for (std::size_t at = name.find('\\', 1); at != zs::npos && at + 1 < name.size();
                 at = name.find('\\', at + 1))
                enterDirectory(zs(name, 0, at + 1), ArchiveDate{});
        return enterDirectory(name, date);
    }

    void addFile(FileEntry entry, zs source, std::size_t buffer) {
        PlannedFile file;
        file.entry = std::move(entry);
        file.source = std::move(source);
        file.buffer = buffer;
        files.push_back(std::move(file));
    }
};

namespace {

// The data pass: every file's stored bytes, in table order, from the
// archive's current position on, each file streamed through a fixed buffer
// or the block coder, so that memory does not depend on any file's size. A
// file that cannot be read as recorded is left out: the bytes already
// written for it are taken back (the data area only grows, so cutting it
// back to where the file began is enough), and the coder's carried state is
// what it was before the file.
class DataPass {
public:
    DataPass(std::FILE* archive, std::uint64_t dataStart, const zvector<ByteBuffer>& buffers, Reporter& reporter)
        : m_archive(archive), m_dataStart(dataStart), m_buffers(buffers), m_reporter(reporter),
          m_sink(archive, reporter) {}

    // Writes out what is gathered; after run().
    bool flush() { return m_sink.flush(); }

    // Has the compressed files coded on `threads` threads ahead of the
    // writer, which takes their blocks in table order.
    void codeAhead(const zvector<PlannedFile>& files, unsigned threads) {
        zvector<CodingPipeline::Source> coded;
        for (const PlannedFile& file : files)
            if (file.entry.storage == kStorageCompressed)
                coded.push_back({&file.source, file.entry.size});
        m_pipeline = std::make_unique<CodingPipeline>(std::move(coded), m_codec.carriedState(), threads);
    }

    // Has the stored files read on `threads` threads ahead of the writer,
    // where there are enough small ones for that to pay.
    void readAhead(const zvector<PlannedFile>& files, unsigned threads) {
        zvector<ReadAhead::Source> read;
        std::size_t small = 0;
        for (const PlannedFile& file : files) {
            if (takesReadAhead(file)) {
                read.push_back({&file.source, file.entry.size});
                small += file.entry.size <= kReadAheadFileLimit ? 1 : 0;
            }
        }
        if (small >= kReadAheadMinFiles)
            m_readAhead = std::make_unique<ReadAhead>(std::move(read), threads);
    }

    std::uint64_t dataSize() const noexcept { return m_dataSize; }

    // False when the archive could not be written.
    bool run(zvector<PlannedFile>& files, std::uint64_t totalBytes) {
        std::uint64_t doneBytes = 0;
        for (std::size_t i = 0; i < files.size(); ++i) {
            PlannedFile& file = files[i];
            zas_event event{};
            event.type = ZAS_EVENT_WRITE_FILE;
            event.path = file.source.empty() ? file.entry.name.c_str() : file.source.c_str();
            event.index = i;
            event.size = file.entry.size;
            event.done = doneBytes;
            event.total = totalBytes;
            m_reporter.report(event);
            doneBytes += file.entry.size;

            ReadOutcome outcome = ReadOutcome::read;
            if (!writeFile(file, outcome))
                return false;
            if (outcome != ReadOutcome::read) {
                m_reporter.report(ZAS_EVENT_SOURCE_LEFT_OUT, leftOutReason(outcome), file.source.c_str());
                continue;
            }
            m_dataSize += file.entry.storedSize;
            file.stored = true;
        }
        return true;
    }

private:
    bool writeFile(PlannedFile& file, ReadOutcome& outcome) {
        FileEntry& entry = file.entry;
        if (file.source.empty()) {
            const ByteBuffer& bytes = m_buffers[file.buffer];
            if (entry.storage != kStorageCompressed) {
                return bytes.size() == 0 || m_sink.write(bytes.data(), bytes.size());
            }
            BufferSource source(bytes);
            const LzssEncodeResult result = encodeBlock(m_codec, source, entry.size, m_sink);
            if (result.status != LzssEncodeStatus::coded)
                return false;
            return finishBlock(file, result, outcome);
        }
        if (entry.storage != kStorageCompressed) {
            if (m_readAhead != nullptr && takesReadAhead(file)) {
                ReadAhead::Taken taken = m_readAhead->take();
                if (!taken.byWriter) {
                    outcome = taken.outcome;
                    file.identity = taken.identity;
                    return outcome != ReadOutcome::read || m_sink.write(taken.bytes, entry.size);
                }
            }
            SourceFile source(file.source, entry.size, relief());
            if (!source.isOpen()) {
                outcome = ReadOutcome::cannotOpen;
                return true;
            }
            file.identity = source.identity();
            return copyStored(source, outcome);
        }

        // m_codec holds the true carried state, whoever codes the file.
        const CodedFile coded = m_pipeline != nullptr ? m_pipeline->take(m_codec, m_sink)
                                                      : codeFile(m_codec, file.source, entry.size, m_sink);
        if (coded.sinkFailed)
            return false;
        outcome = coded.outcome;
        if (outcome != ReadOutcome::read)
            return outcome == ReadOutcome::cannotOpen || takeBack();
        file.identity = coded.identity;
        return finishBlock(file, coded.result, outcome);
    }

    static bool takesReadAhead(const PlannedFile& file) {
        return !file.source.empty() && file.entry.storage != kStorageCompressed;
    }

    // Who holds descriptors the writer may need.
    OpenRelief* relief() const noexcept {
        return m_pipeline != nullptr ? static_cast<OpenRelief*>(m_pipeline.get()) : m_readAhead.get();
    }

    // Records the block just written, whose header may still lack its
    // packed size.
    bool finishBlock(PlannedFile& file, const LzssEncodeResult& result, ReadOutcome& outcome) {
        FileEntry& entry = file.entry;
        if (result.blockLength() > std::numeric_limits<std::uint32_t>::max()) {
            // A block of a file near 4 GiB that does not shrink outgrows the
            // 32-bit stored size: such a file goes in as it is, and the
            // coder's state stays as the coding left it.
            if (!takeBack())
                return false;
            entry.storage = kStorageStored;
            if (file.source.empty()) {
                const ByteBuffer& bytes = m_buffers[file.buffer];
                return m_sink.write(bytes.data(), bytes.size());
            }
            const LzssContext::CarriedState after = m_codec.carriedState();
            SourceFile again(file.source, entry.size, relief());
            if (!again.isOpen()) {
                outcome = ReadOutcome::cannotOpen;
                return true;
            }
            file.identity = again.identity();
            const bool copied = copyStored(again, outcome);
            if (outcome != ReadOutcome::read)
                m_codec.setCarriedState(after);
            return copied;
        }
        entry.storedSize = static_cast<std::uint32_t>(result.blockLength());
        return result.headerComplete || patchPackedSize(result.packedSize, entry.storedSize);
    }

    bool copyStored(SourceFile& source, ReadOutcome& outcome) {
        for (;;) {
            std::size_t room = 0;
            unsigned char* space = m_sink.space(room);
            if (space == nullptr)
                return false;
            const std::ptrdiff_t got = source.read(space, room);
            if (got <= 0)
                break;
            m_sink.commit(static_cast<std::size_t>(got));
        }
        outcome = source.outcome();
        return outcome == ReadOutcome::read || takeBack();
    }

    // Cuts the data area back to the end of the last file stored whole.
    bool takeBack() {
        const std::uint64_t end = m_dataStart + m_dataSize;
        return m_sink.flush() && truncateFile(m_archive, end) && seekFile(m_archive, end);
    }

    // Fills in the packed size of the block just written: coded as a
    // stream, its size is known only at its end.
    bool patchPackedSize(std::uint64_t packedSize, std::uint32_t blockLength) {
        unsigned char field[4];
        storeLe32(field, static_cast<std::uint32_t>(packedSize));
        const std::uint64_t blockStart = m_dataStart + m_dataSize;
        return m_sink.flush() && seekFile(m_archive, blockStart + kPackedSizeOffset) &&
               std::fwrite(field, 1, sizeof field, m_archive) == sizeof field &&
               seekFile(m_archive, blockStart + blockLength);
    }

    std::FILE* m_archive;
    std::uint64_t m_dataStart;
    const zvector<ByteBuffer>& m_buffers;
    Reporter& m_reporter;
    std::uint64_t m_dataSize = 0;
    ArchiveOutput m_sink;
    LzssContext m_codec;
    std::unique_ptr<CodingPipeline> m_pipeline;
    std::unique_ptr<ReadAhead> m_readAhead;
};

// Move mode, once the archive is in place: delete the files stored whole
// that are still as they were read, then remove the gathered directories,
// deepest first.
void removeSources(const zvector<PlannedFile>& files, zvector<TreeDirectory>& directories, const zs& archive,
                   Reporter& reporter) {
    for (const PlannedFile& file : files) {
        if (!file.stored || file.source.empty())
            continue;
        const char* path = file.source.c_str();
        // An older archive of the same name inside the tree was packed like
        // any file; it is now the new archive.
        if (isSameFile(path, archive.c_str())) {
            reporter.report(ZAS_EVENT_SOURCE_KEPT, ZAS_REASON_IS_ARCHIVE, path);
            continue;
        }
        // A file written to after it was read holds what the archive does
        // not: it stays. What remains between this check and the deletion is
        // one system call.
        FileIdentity now;
        if (!identifyPath(path, now) || !(now == file.identity)) {
            reporter.report(ZAS_EVENT_SOURCE_KEPT, ZAS_REASON_CHANGED, path);
            continue;
        }
        if (!DeleteFileA(path))
            reporter.report(ZAS_EVENT_REMOVE_FAILED, ZAS_REASON_FILE, path);
    }

    std::sort(directories.begin(), directories.end(),
              [](const TreeDirectory& one, const TreeDirectory& other) { return other.walked < one.walked; });
    for (const TreeDirectory& directory : directories)
        if (!RemoveDirectoryA(directory.removal.c_str()))
            reporter.report(ZAS_EVENT_REMOVE_FAILED, ZAS_REASON_DIRECTORY, directory.removal.c_str());
}

// The stored files' entries, in order.
zvector<FileEntry> storedEntries(const zvector<PlannedFile>& files) {
    zvector<FileEntry> kept;
    kept.reserve(files.size());
    for (const PlannedFile& file : files)
        if (file.stored)
            kept.push_back(file.entry);
    return kept;
}

} // namespace

ArchiveWriter::ArchiveWriter(zs archive) : m_archive(std::move(archive)), m_plan(std::make_unique<Plan>()) {}

ArchiveWriter::~ArchiveWriter() = default;

std::size_t ArchiveWriter::fileCount() const noexcept {
    return m_plan->files.size();
}

std::size_t ArchiveWriter::directoryCount() const noexcept {
    return m_plan->directories.size();
}

int ArchiveWriter::addTree(const zs& source, bool excludePath) {
    if (m_finished)
        return ZAS_E_STATE;
    if (source.empty())
        // The walk would take the current directory, whose entry would fall
        // under the top entry's empty key and leave the tables inconsistent.
        return ZAS_E_INVALID;
    if (!excludePath && !isSafeRelativePath(source, kSystemNameRules))
        // Every stored name would begin with the source as typed: one with a
        // "." or ".." (or empty) component would not extract again.
        return ZAS_E_NAME;

    Plan& plan = *m_plan;
    if (!excludePath)
        plan.enterDirectory(zs("\\"), ArchiveDate{});

    zvector<zs> sources;
    const int status = gatherSources(source, sources, m_reporter, workerThreadsFor(m_options.threads));
    const std::size_t prefixLength = source.size() - (source.back() == '\\' ? 1 : 0);

    plan.files.reserve(plan.files.size() + sources.size());
    FILETIME time;
    zs fullPath;
    zs directoryPart;
    zs namePart;
    std::uint32_t size = 0;
    zs stored;
    for (const zs& entry : sources) {
        splitSourceEntry(entry, time, fullPath, directoryPart, namePart, size);
        if (excludePath) {
            stored.assign(directoryPart, std::min(prefixLength, directoryPart.size()));
        } else {
            stored.assign(1, '\\');
            stored += directoryPart;
        }
        if (namePart.empty()) {
            plan.enterDirectory(stored, dateOf(time));
            // The top entry stays, the source directory itself with it when
            // it is not stored.
            if (stored != "\\") {
                TreeDirectory directory;
                directory.walked = directoryPart;
                if (excludePath) {
                    directory.removal = source;
                    directory.removal += stored;
                } else {
                    directory.removal.assign(stored, 1);
                }
                plan.treeDirectories.push_back(std::move(directory));
            }
            continue;
        }
        FileEntry file;
        file.name = namePart;
        file.size = size;
        file.storedSize = size;
        file.dirIndex = plan.enterDirectory(stored, ArchiveDate{});
        file.date = dateOf(time);
        plan.addFile(std::move(file), fullPath, 0);
    }
    return status;
}

int ArchiveWriter::addDirectory(const zs& storedName, const ArchiveDate& date) {
    if (m_finished)
        return ZAS_E_STATE;
    if (!isSafeStoredPath(storedName, {}, kSystemNameRules))
        return ZAS_E_NAME;
    m_plan->enterDirectoryLevels(storedName, date);
    return ZAS_OK;
}

int ArchiveWriter::addPath(const zs& directory, const zs& name, const zs& sourcePath) {
    if (m_finished)
        return ZAS_E_STATE;
    if (name.empty() || !isSafeStoredPath(directory, name, kSystemNameRules))
        return ZAS_E_NAME;
    std::uint64_t size = 0;
    std::uint64_t lastWrite = 0;
    if (!describeRegularFile(sourcePath.c_str(), size, lastWrite))
        return ZAS_E_OPEN;
    if (size > std::numeric_limits<std::uint32_t>::max())
        return ZAS_E_TOO_LARGE;
    FileEntry file;
    file.name = name;
    file.size = static_cast<std::uint32_t>(size);
    file.storedSize = file.size;
    file.dirIndex = m_plan->enterDirectoryLevels(directory, ArchiveDate{});
    file.date = dateOf(makeFileTime(lastWrite));
    m_plan->addFile(std::move(file), sourcePath, 0);
    return ZAS_OK;
}

int ArchiveWriter::addBuffer(const zs& directory, const zs& name, ByteBuffer bytes, const ArchiveDate& date) {
    if (m_finished)
        return ZAS_E_STATE;
    if (name.empty() || !isSafeStoredPath(directory, name, kSystemNameRules))
        return ZAS_E_NAME;
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max())
        return ZAS_E_TOO_LARGE;
    FileEntry file;
    file.name = name;
    file.size = static_cast<std::uint32_t>(bytes.size());
    file.storedSize = file.size;
    file.dirIndex = m_plan->enterDirectoryLevels(directory, ArchiveDate{});
    file.date = date;
    m_plan->buffers.push_back(std::move(bytes));
    m_plan->addFile(std::move(file), zs(), m_plan->buffers.size() - 1);
    return ZAS_OK;
}

int ArchiveWriter::finish() {
    if (m_finished)
        return ZAS_E_STATE;
    m_finished = true;
    Plan& plan = *m_plan;

    CrtRandom generator(m_options.seed ? *m_options.seed : static_cast<unsigned>(std::time(nullptr)));
    ArchiveHeader header;
    header.key = static_cast<std::uint32_t>(generator.next()) * 131076u;

    std::size_t fileTableSize = 0;
    std::uint64_t totalBytes = 0;
    bool fromMemoryCoded = false;
    for (PlannedFile& file : plan.files) {
        file.entry.storage = m_options.compress && file.entry.size > 0 ? kStorageCompressed : kStorageStored;
        fileTableSize += fileEntrySize(file.entry);
        totalBytes += file.entry.size;
        fromMemoryCoded = fromMemoryCoded || (file.source.empty() && file.entry.storage == kStorageCompressed);
    }
    std::size_t dirTableSize = 0;
    for (const DirEntry& directory : plan.directories)
        dirTableSize += dirEntrySize(directory);
    if (fileTableSize > std::numeric_limits<std::int32_t>::max() ||
        dirTableSize > std::numeric_limits<std::int32_t>::max())
        return ZAS_E_TOO_LARGE;

    PendingArchive pending(m_archive, m_options.exclusive);
    if (m_options.exclusive && GetFileAttributesA(m_archive.c_str()) != INVALID_FILE_ATTRIBUTES)
        return ZAS_E_EXISTS;
    if (!pending.create())
        return ZAS_E_CREATE;

    // The data area goes behind room for the tables as recorded; if files
    // drop out on the way, the tables shrink and the data moves down.
    const std::uint64_t reservedStart = kHeaderSize + fileTableSize + dirTableSize;
    DataPass data(pending.file(), reservedStart, plan.buffers, m_reporter);
    // Files from memory are coded on this thread: the workers read files.
    if (const unsigned threads = workerThreadsFor(m_options.threads); threads > 1) {
        if (m_options.compress && !fromMemoryCoded)
            data.codeAhead(plan.files, threads);
        else if (!m_options.compress)
            data.readAhead(plan.files, threads);
    }
    bool written = seekFile(pending.file(), reservedStart) && data.run(plan.files, totalBytes) && data.flush();
    const std::uint64_t dataSize = data.dataSize();

    const zvector<FileEntry> files = storedEntries(plan.files);
    if (written && files.empty() && !plan.files.empty()) {
        // Nothing was readable: no archive, as when there is nothing to pack.
        pending.discard();
        return ZAS_E_NOT_FOUND;
    }
    const bool durable = m_options.durable || m_options.move;
    if (written) {
        const ByteBuffer tables = buildCatalogue(header, files, plan.directories);
        written = moveDataDown(pending.file(), reservedStart, tables.size(), reservedStart + dataSize) &&
                  seekFile(pending.file(), 0) &&
                  std::fwrite(tables.data(), 1, tables.size(), pending.file()) == tables.size();
    }
    if (!written) {
        pending.discard();
        return ZAS_E_WRITE;
    }
    if (!pending.commit(durable))
        return m_options.exclusive && GetFileAttributesA(m_archive.c_str()) != INVALID_FILE_ATTRIBUTES
                   ? ZAS_E_EXISTS
                   : ZAS_E_WRITE;
    if (m_options.move)
        removeSources(plan.files, plan.treeDirectories, m_archive, m_reporter);
    return ZAS_OK;
}
