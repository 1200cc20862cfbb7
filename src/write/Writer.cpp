#include "write/Writer.h"

#include "archive/Endian.h"
#include "archive/Format.h"
#include "archive/Lzss.h"
#include "archive/StoredName.h"
#include "write/Gathering.h"
#include "write/ParallelCoding.h"
#include "write/SourceFile.h"
#include "platform/Platform.h"
#include "platform/Stream.h"
#include "support/Console.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>

namespace {

// Bytes of file data between two progress lines.
constexpr std::int64_t kProgressStep = 0x80000;
// The compression buffer: 4096 bytes plus the file's size times the single
// 1.2, comfortably above the most a block can take.
constexpr std::size_t kCompressionSlack = 4096;
constexpr float kCompressionFactor = 1.2f;
// Chunk for moving the data area when the tables came out shorter.
constexpr std::size_t kMoveChunkSize = 1 << 20;
// Stored files move from the source to the archive through this buffer.
constexpr std::size_t kCopyBufferSize = 0x40000;
// Covers the longest progress line before the closing line.
const char kClosingBlanks[] = "                                        ";

// The writer's two conditions that end the process. Both are reached before
// anything is deleted, and the archive beside its final name is removed.
[[noreturn]] void endProcess() {
    std::fflush(stdout);
    std::exit(0);
}

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
    explicit PendingArchive(const zs& archive) : m_archive(archive) {}
    ~PendingArchive() { discard(); }
    PendingArchive(const PendingArchive&) = delete;
    PendingArchive& operator=(const PendingArchive&) = delete;

    bool create() {
        m_file = Stream(createFileBeside(m_archive.c_str(), m_path));
        return m_file.isOpen();
    }
    std::FILE* file() const noexcept { return m_file.get(); }

    // Closes the file and gives it the archive's name. With durable, the
    // bytes are on the disk before the name changes, and the new name is on
    // the disk before this returns.
    bool commit(bool durable) {
        const bool flushed = !durable || flushToDisk(m_file.get());
        const bool committed = m_file.close() && flushed && replaceFile(m_path.c_str(), m_archive.c_str()) &&
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
    zs m_path;
    Stream m_file;
};

// The archive's data area as the codec's output.
class ArchiveSink final : public LzssSink {
public:
    explicit ArchiveSink(std::FILE* archive) noexcept : m_archive(archive) {}
    bool write(const unsigned char* bytes, std::size_t count) override {
        return std::fwrite(bytes, 1, count, m_archive) == count;
    }

private:
    std::FILE* m_archive;
};

void reportLeftOut(ReadOutcome outcome, const zs& path) {
    switch (outcome) {
    case ReadOutcome::cannotOpen:
        printWarning("Warning: Could not open file \"%s\"; it is left out of the archive\n", path.c_str());
        break;
    case ReadOutcome::cannotRead:
        printWarning("Warning: Could not read file \"%s\"; it is left out of the archive\n", path.c_str());
        break;
    case ReadOutcome::changedSize:
        printWarning("Warning: File \"%s\" changed size while being archived; it is left out of the archive\n",
                     path.c_str());
        break;
    case ReadOutcome::read: break;
    }
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

struct Catalogue {
    zmap<zs, DirEntry> directories; // by gathered path
    zvector<FileEntry> files;       // in source-list order
    std::size_t fileTableSize = 0;
    std::size_t dirTableSize = 0;
    std::int64_t totalBytes = 0;
};

void enterDirectory(Catalogue& catalogue, const zs& key, zs name, const ArchiveDate& date) {
    DirEntry entry;
    entry.name = std::move(name);
    entry.date = date;
    entry.index = static_cast<std::uint32_t>(catalogue.directories.size());
    catalogue.dirTableSize += dirEntrySize(entry);
    catalogue.directories.insert_or_assign(key, std::move(entry));
}

void buildCatalogueFromSources(const zvector<zs>& sources, std::size_t prefixLength, bool excludePath,
                               bool compress, Catalogue& catalogue) {
    if (!excludePath)
        enterDirectory(catalogue, zs(), zs("\\"), ArchiveDate{});

    FILETIME time;
    zs fullPath;
    zs directoryPart;
    zs namePart;
    std::uint32_t size = 0;
    for (const zs& source : sources) {
        splitSourceEntry(source, time, fullPath, directoryPart, namePart, size);
        if (namePart.empty()) {
            zs name;
            if (excludePath) {
                name.assign(directoryPart, std::min(prefixLength, directoryPart.size()));
            } else {
                name = "\\";
                name += directoryPart;
            }
            enterDirectory(catalogue, directoryPart, std::move(name), dateOf(time));
            continue;
        }
        const auto directory = catalogue.directories.find(directoryPart);
        if (directory == catalogue.directories.end()) {
            printText("\nINTERNAL ERROR: Could not find matching directory for file \"%s\"\n", namePart.c_str());
            endProcess();
        }
        FileEntry entry;
        entry.name = namePart;
        entry.size = size;
        entry.storedSize = size;
        entry.dirIndex = directory->second.index;
        entry.storage = compress && size > 0 ? kStorageCompressed : kStorageStored;
        entry.date = dateOf(time);
        catalogue.fileTableSize += fileEntrySize(entry);
        catalogue.totalBytes += size;
        catalogue.files.push_back(std::move(entry));
    }
}

// Calls visit(fullPath, i) for each file of the source list in order, i
// counting the files alone: the index of the file's catalogue entry. Stops
// when visit returns false.
template <class Visit>
void forEachSourceFile(const zvector<zs>& sources, Visit visit) {
    FILETIME time;
    zs fullPath;
    zs directoryPart;
    zs namePart;
    std::uint32_t size = 0;
    std::size_t next = 0;
    for (const zs& source : sources) {
        splitSourceEntry(source, time, fullPath, directoryPart, namePart, size);
        if (!namePart.empty() && !visit(fullPath, next++))
            return;
    }
}

// The data pass: every file's stored bytes, in list order, from the archive's
// current position on, each file streamed through a fixed buffer or the
// block coder, so that memory does not depend on any file's size. A file
// that cannot be read as gathered is left out and marked in `stored`: the
// bytes already written for it are taken back (the data area only grows, so
// cutting it back to where the file began is enough), and the coder's
// carried state is what it was before the file.
enum class DataOutcome { written, writeFailed, bufferExceeded };

class DataPass {
public:
    DataPass(std::FILE* archive, std::uint64_t dataStart) : m_archive(archive), m_dataStart(dataStart) {}

    // Has the compressed files coded on `threads` threads ahead of the
    // writer, which takes their blocks in list order.
    void codeAhead(const zvector<zs>& sources, const Catalogue& catalogue, unsigned threads) {
        forEachSourceFile(sources, [&](const zs& fullPath, std::size_t i) {
            if (catalogue.files[i].storage == kStorageCompressed) {
                m_codedPaths.push_back(fullPath);
                m_codedSizes.push_back(catalogue.files[i].size);
            }
            return true;
        });
        m_pipeline = std::make_unique<CodingPipeline>(m_codedPaths, m_codedSizes, m_codec.carriedState(), threads);
    }

    std::uint64_t dataSize() const noexcept { return m_dataSize; }

    DataOutcome run(const zvector<zs>& sources, Catalogue& catalogue, zvector<unsigned char>& stored) {
        std::int64_t countdown = 0;
        std::int64_t doneBytes = 0;
        DataOutcome result = DataOutcome::written;
        forEachSourceFile(sources, [&](const zs& fullPath, std::size_t i) {
            FileEntry& entry = catalogue.files[i];
            countdown -= entry.size;
            if (countdown < 0) {
                const double share = static_cast<double>(doneBytes) / static_cast<double>(catalogue.totalBytes);
                printProgress("Archiving files, %i%% complete...    \r", static_cast<int>(share * 100));
                countdown = kProgressStep;
            }
            doneBytes += entry.size;

            ReadOutcome outcome = ReadOutcome::read;
            result = writeFile(fullPath, entry, outcome);
            if (result != DataOutcome::written)
                return false;
            if (outcome != ReadOutcome::read) {
                reportLeftOut(outcome, fullPath);
                return true;
            }
            m_dataSize += entry.storedSize;
            stored[i] = 1;
            return true;
        });
        return result;
    }

private:
    DataOutcome writeFile(const zs& path, FileEntry& entry, ReadOutcome& outcome) {
        if (entry.storage != kStorageCompressed) {
            SourceFile source(path, entry.size);
            if (!source.isOpen()) {
                outcome = ReadOutcome::cannotOpen;
                return DataOutcome::written;
            }
            return copyStored(source, outcome);
        }

        // m_codec holds the true carried state, whoever codes the file.
        const LzssContext::CarriedState before = m_codec.carriedState();
        const CodedFile coded = m_pipeline != nullptr ? m_pipeline->take(m_codec, m_sink)
                                                      : codeFile(m_codec, path, entry.size, m_sink);
        if (coded.sinkFailed)
            return DataOutcome::writeFailed;
        outcome = coded.outcome;
        if (outcome != ReadOutcome::read)
            return outcome == ReadOutcome::cannotOpen ? DataOutcome::written : takeBack();
        const LzssEncodeResult& result = coded.result;

        const std::size_t capacity =
            kCompressionSlack +
            static_cast<std::size_t>(static_cast<double>(entry.size) * static_cast<double>(kCompressionFactor));
        if (result.blockLength() > capacity) {
            printText("FATAL ERROR: Compressing file \"%s\" exceeded output buffer size (%lld/%lld)\n", path.c_str(),
                      static_cast<long long>(result.blockLength()), static_cast<long long>(capacity));
            return DataOutcome::bufferExceeded;
        }
        if (result.blockLength() > std::numeric_limits<std::uint32_t>::max()) {
            // A block of a file near 4 GiB that does not shrink outgrows the
            // 32-bit stored size: such a file goes in as it is, and the
            // coder's state stays as the coding left it.
            if (takeBack() != DataOutcome::written)
                return DataOutcome::writeFailed;
            entry.storage = kStorageStored;
            SourceFile again(path, entry.size);
            const DataOutcome copied =
                again.isOpen() ? copyStored(again, outcome) : (outcome = ReadOutcome::cannotOpen, DataOutcome::written);
            if (outcome != ReadOutcome::read)
                m_codec.setCarriedState(before);
            return copied;
        }
        entry.storedSize = static_cast<std::uint32_t>(result.blockLength());
        return result.headerComplete ? DataOutcome::written : patchPackedSize(result.packedSize, entry.storedSize);
    }

    DataOutcome copyStored(SourceFile& source, ReadOutcome& outcome) {
        if (m_buffer.data() == nullptr)
            m_buffer = ByteBuffer(kCopyBufferSize);
        for (;;) {
            const std::ptrdiff_t got = source.read(m_buffer.data(), m_buffer.size());
            if (got <= 0)
                break;
            if (!m_sink.write(m_buffer.data(), static_cast<std::size_t>(got)))
                return DataOutcome::writeFailed;
        }
        outcome = source.outcome();
        return outcome == ReadOutcome::read ? DataOutcome::written : takeBack();
    }

    // Cuts the data area back to the end of the last file stored whole.
    DataOutcome takeBack() {
        const std::uint64_t end = m_dataStart + m_dataSize;
        return truncateFile(m_archive, end) && seekFile(m_archive, end) ? DataOutcome::written
                                                                          : DataOutcome::writeFailed;
    }

    // Fills in the packed size of the block just written: coded as a
    // stream, its size is known only at its end.
    DataOutcome patchPackedSize(std::uint64_t packedSize, std::uint32_t blockLength) {
        unsigned char field[4];
        storeLe32(field, static_cast<std::uint32_t>(packedSize));
        const std::uint64_t blockStart = m_dataStart + m_dataSize;
        const bool patched = seekFile(m_archive, blockStart + kPackedSizeOffset) &&
                             std::fwrite(field, 1, sizeof field, m_archive) == sizeof field &&
                             seekFile(m_archive, blockStart + blockLength);
        return patched ? DataOutcome::written : DataOutcome::writeFailed;
    }

    std::FILE* m_archive;
    std::uint64_t m_dataStart;
    std::uint64_t m_dataSize = 0;
    ArchiveSink m_sink{m_archive};
    ByteBuffer m_buffer;
    LzssContext& m_codec = processLzssContext();
    // Declared after what the workers use, so that they stop first.
    zvector<zs> m_codedPaths;
    zvector<std::uint32_t> m_codedSizes;
    std::unique_ptr<CodingPipeline> m_pipeline;
};

void printClosingLine() {
    const char* outcome = errorRaised() ? " with errors" : warningRaised() ? " with warnings" : "";
    printText("%s\nArchiving completed%s.\n", kClosingBlanks, outcome);
}

// The stored files' entries, in order.
zvector<FileEntry> storedEntries(zvector<FileEntry>& files, const zvector<unsigned char>& stored) {
    zvector<FileEntry> kept;
    kept.reserve(files.size());
    for (std::size_t i = 0; i < files.size(); ++i)
        if (stored[i] != 0)
            kept.push_back(std::move(files[i]));
    return kept;
}

// Move mode, once the archive is in place: delete the stored files, then
// remove the directories, deepest first.
void removeSources(const zvector<zs>& sources, const zvector<unsigned char>& stored, const Catalogue& catalogue,
                   const zs& source, const zs& archive, bool excludePath) {
    forEachSourceFile(sources, [&](const zs& fullPath, std::size_t i) {
        if (stored[i] == 0)
            return true;
        // An older archive of the same name inside the tree was packed like
        // any file; it is now the new archive.
        if (isSameFile(fullPath.c_str(), archive.c_str()))
            printWarning("Warning: Keeping file \"%s\": it is the archive itself\n", fullPath.c_str());
        else if (!DeleteFileA(fullPath.c_str()))
            printWarning("Warning: Unable to delete file \"%s\"\n", fullPath.c_str());
        return true;
    });

    zs path;
    for (auto directory = catalogue.directories.rbegin(); directory != catalogue.directories.rend(); ++directory) {
        const zs& name = directory->second.name;
        if (name == "\\")
            continue;
        if (excludePath) {
            path = source;
            path += name;
        } else {
            path.assign(name, 1);
        }
        if (!RemoveDirectoryA(path.c_str()))
            printWarning("Warning: Unable to remove directory \"%s\"\n", path.c_str());
    }
}

} // namespace

void writeArchive(const zs& source, const zs& archive, bool excludePath, bool compress, bool move) {
    printText("%s all files from \"%s\" to archive \"%s\"\n", move ? "Moving" : "Copying", source.c_str(),
              archive.c_str());
    printText("\n");
    if (source.empty()) {
        // The walk would take the current directory, whose entry would fall
        // under the top entry's empty key and leave the tables inconsistent.
        printError("Error: Source directory name is empty\n");
        return;
    }
    if (!excludePath && !isSafeRelativePath(source, kSystemNameRules)) {
        // Every stored name would begin with the source as typed: one with a
        // "." or ".." (or empty) component would not extract again.
        printError("Error: Source path \"%s\" must not hold \".\", \"..\" or empty components when \"-p\" "
                   "option is not used\n",
                   source.c_str());
        return;
    }

    ArchiveHeader header;
    header.key = static_cast<std::uint32_t>(crtRand()) * 131076u;

    zvector<zs> sources;
    gatherSources(source, sources);
    const std::size_t prefixLength = source.size() - (source.back() == '\\' ? 1 : 0);

    Catalogue catalogue;
    buildCatalogueFromSources(sources, prefixLength, excludePath, compress, catalogue);
    printText("Found %i directories and %i files\n\n", static_cast<int>(catalogue.directories.size()),
              static_cast<int>(catalogue.files.size()));
    if (catalogue.files.empty())
        return;

    PendingArchive pending(archive);
    if (!pending.create()) {
        printError("Error: Could not create archive \"%s\"\n", archive.c_str());
        printClosingLine();
        printText("\n");
        return;
    }

    // The data area goes behind room for the tables as gathered; if files
    // drop out on the way, the tables shrink and the data moves down.
    const std::uint64_t reservedStart = kHeaderSize + catalogue.fileTableSize + catalogue.dirTableSize;
    zvector<unsigned char> stored(catalogue.files.size(), 0);
    DataPass data(pending.file(), reservedStart);
    if (const unsigned threads = codingThreads(); compress && threads > 1)
        data.codeAhead(sources, catalogue, threads);
    DataOutcome outcome = DataOutcome::writeFailed;
    if (seekFile(pending.file(), reservedStart))
        outcome = data.run(sources, catalogue, stored);
    const std::uint64_t dataSize = data.dataSize();
    if (outcome == DataOutcome::bufferExceeded) {
        pending.discard();
        endProcess();
    }
    bool written = outcome == DataOutcome::written;

    zvector<FileEntry> files = storedEntries(catalogue.files, stored);
    if (written && files.empty()) {
        // Nothing was readable: no archive, as when there is nothing to pack.
        pending.discard();
        printClosingLine();
        printText("\n");
        return;
    }
    if (written) {
        zvector<DirEntry> directories(catalogue.directories.size());
        for (const auto& [key, directory] : catalogue.directories)
            directories[directory.index] = directory;
        const ByteBuffer tables = buildCatalogue(header, files, directories);
        written = moveDataDown(pending.file(), reservedStart, tables.size(), reservedStart + dataSize) &&
                  seekFile(pending.file(), 0) &&
                  std::fwrite(tables.data(), 1, tables.size(), pending.file()) == tables.size() &&
                  pending.commit(move);
    }
    if (!written) {
        pending.discard();
        printError("Error: Could not write archive \"%s\"\n", archive.c_str());
    } else if (move) {
        removeSources(sources, stored, catalogue, source, archive, excludePath);
    }
    printClosingLine();
    printText("\n");
}
