// The reading half of the C API: opening, the catalogue, look-up, streams
// and extraction.
#include "api/Handles.h"

#include "archive/StoredName.h"
#include "read/EntryStream.h"
#include "read/Extraction.h"
#include "support/Workers.h"

#include <algorithm>
#include <optional>
#include <cstring>
#include <string_view>

struct zas_file {
    zas_file(const ArchiveReader& reader, std::size_t index, const SeekOptions& options)
        : stream(reader, index, options) {}
    EntryStream stream;
};

namespace {

unsigned char foldCase(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Orders paths as the archive orders its names: A-Z folded to a-z, then
// unsigned bytes.
int compareFolded(std::string_view one, std::string_view other) {
    const std::size_t common = std::min(one.size(), other.size());
    for (std::size_t i = 0; i < common; ++i) {
        const int difference = foldCase(static_cast<unsigned char>(one[i])) - foldCase(static_cast<unsigned char>(other[i]));
        if (difference != 0)
            return difference;
    }
    return one.size() < other.size() ? -1 : one.size() > other.size() ? 1 : 0;
}

void buildLookup(const zas_archive& archive) {
    archive.lookup.resize(archive.paths.size());
    for (std::size_t i = 0; i < archive.lookup.size(); ++i)
        archive.lookup[i] = static_cast<std::uint32_t>(i);
    std::stable_sort(archive.lookup.begin(), archive.lookup.end(), [&](std::uint32_t one, std::uint32_t other) {
        return compareFolded(archive.paths[one], archive.paths[other]) < 0;
    });
}

// A codec context from the archive's pool, given back when the lease goes.
class PooledContext {
public:
    explicit PooledContext(const zas_archive& archive) : m_archive(archive) {
        {
            const std::lock_guard lock(archive.poolMutex);
            if (!archive.pool.empty()) {
                m_context = std::move(archive.pool.back());
                archive.pool.pop_back();
            }
        }
        if (!m_context)
            m_context = std::make_unique<LzssContext>();
        // A fresh ring: an entry never decodes differently for what was read before.
        m_context->setCarriedState(LzssContext::CarriedState{});
    }
    ~PooledContext() {
        try {
            const std::lock_guard lock(m_archive.poolMutex);
            m_archive.pool.push_back(std::move(m_context));
        } catch (...) {
            // The context is freed instead.
        }
    }
    PooledContext(const PooledContext&) = delete;
    PooledContext& operator=(const PooledContext&) = delete;

    LzssContext& get() { return *m_context; }

private:
    const zas_archive& m_archive;
    std::unique_ptr<LzssContext> m_context;
};

// Takes the output of a decoding that only tests an entry.
class DropSink final : public LzssSink {
public:
    bool write(const unsigned char*, std::size_t) override { return true; }
};

// Reads entry index whole: into buffer, or nowhere when buffer is null.
int readEntry(const zas_archive& archive, std::uint64_t index, unsigned char* buffer) {
    const ArchiveReader& reader = archive.reader;
    const FileEntry& file = reader.files()[index];
    const std::uint64_t offset = reader.offsetOf(index);
    if (!entrySizesAgree(file) || offset > reader.length() || reader.length() - offset < file.storedSize)
        return ZAS_E_ENTRY_DAMAGED;
    if (file.storage != kStorageCompressed) {
        if (buffer != nullptr)
            return reader.readAt(offset, buffer, file.size) ? ZAS_OK : ZAS_E_READ;
        // Stored bytes are whatever they are: present is sound.
        return ZAS_OK;
    }
    PooledContext context(archive);
    // Into the caller's buffer directly, or through a sink that drops the
    // bytes when only testing.
    DropSink nowhere;
    std::optional<LzssBlockDecoder> decoder;
    if (buffer != nullptr)
        decoder.emplace(context.get(), file.storedSize, file.size, buffer);
    else
        decoder.emplace(context.get(), file.storedSize, file.size, nowhere);
    ByteBuffer input(std::size_t{64} << 10);
    for (std::uint64_t done = 0; done < file.storedSize;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(input.size(), file.storedSize - done));
        if (!reader.readAt(offset + done, input.data(), count))
            return ZAS_E_READ;
        done += count;
        if (!decoder->feed(input.data(), count))
            return ZAS_E_ENTRY_DAMAGED;
    }
    return decoder->finish() ? ZAS_OK : ZAS_E_ENTRY_DAMAGED;
}

bool validIndex(const zas_archive* archive, std::uint64_t index) {
    return index < archive->reader.files().size();
}

} // namespace

extern "C" {

int zas_open(const char* path, unsigned flags, zas_archive** archive) {
    if (archive != nullptr)
        *archive = nullptr;
    if (path == nullptr || archive == nullptr || flags != 0)
        return ZAS_E_INVALID;
    return api::guarded([&]() -> int {
        auto opened = std::make_unique<zas_archive>();
        if (const int status = opened->reader.open(api::enginePath(path)); status != ZAS_OK)
            return status;
        const FileList& files = opened->reader.files();
        opened->paths.reserve(files.size());
        for (const FileEntry& file : files) {
            const DirEntry* directory = opened->reader.directoryOf(file);
            zs full = directory != nullptr ? directory->name : zs();
            full += file.name;
            opened->paths.push_back(std::move(full));
        }
        *archive = opened.release();
        return ZAS_OK;
    });
}

int zas_close(zas_archive* archive) {
    delete archive;
    return ZAS_OK;
}

int zas_probe(const char* path, zas_info* info) {
    if (path == nullptr)
        return ZAS_E_INVALID;
    return api::guarded([&]() -> int {
        std::int64_t length = 0;
        const Stream file(openRegularFile(api::enginePath(path).c_str(), length));
        if (!file.isOpen())
            return ZAS_E_OPEN;
        ArchiveHeader header;
        const int status = readArchiveHeader(file.get(), header);
        if (info != nullptr && status != ZAS_E_NOT_ARCHIVE) {
            *info = zas_info{};
            info->version = static_cast<double>(archiveVersion(header));
            info->key = header.key;
            info->format_code = header.formatCode;
            info->file_count = static_cast<std::uint64_t>(std::max(header.fileCount, 0));
            info->dir_count = static_cast<std::uint64_t>(std::max(header.dirCount, 0));
            info->data_offset = kHeaderSize + std::uint64_t{header.fileTableSize} + header.dirTableSize;
            info->archive_size = static_cast<std::uint64_t>(length);
        }
        return status;
    });
}

int zas_get_info(const zas_archive* archive, zas_info* info) {
    if (archive == nullptr || info == nullptr)
        return ZAS_E_INVALID;
    const ArchiveReader& reader = archive->reader;
    *info = zas_info{};
    info->version = static_cast<double>(archiveVersion(reader.header()));
    info->key = reader.header().key;
    info->format_code = reader.header().formatCode;
    info->file_count = reader.files().size();
    info->dir_count = reader.dirs().size();
    info->data_offset = reader.dataStart();
    info->archive_size = reader.length();
    return ZAS_OK;
}

int zas_check_unchanged(const zas_archive* archive) {
    if (archive == nullptr)
        return ZAS_E_INVALID;
    return archive->reader.unchanged() ? ZAS_OK : ZAS_E_CHANGED;
}

int zas_entry_count(const zas_archive* archive, uint64_t* count) {
    if (archive == nullptr || count == nullptr)
        return ZAS_E_INVALID;
    *count = archive->reader.files().size();
    return ZAS_OK;
}

int zas_dir_count(const zas_archive* archive, uint64_t* count) {
    if (archive == nullptr || count == nullptr)
        return ZAS_E_INVALID;
    *count = archive->reader.dirs().size();
    return ZAS_OK;
}

int zas_stat_index(const zas_archive* archive, uint64_t index, zas_stat* stat) {
    if (archive == nullptr || stat == nullptr)
        return ZAS_E_INVALID;
    if (!validIndex(archive, index))
        return ZAS_E_INDEX;
    const ArchiveReader& reader = archive->reader;
    const FileEntry& file = reader.files()[index];
    const DirEntry* directory = reader.directoryOf(file);
    *stat = zas_stat{};
    stat->index = index;
    stat->name = file.name.c_str();
    stat->directory = directory != nullptr ? directory->name.c_str() : "";
    stat->path = archive->paths[index].c_str();
    stat->size = file.size;
    stat->stored_size = file.storedSize;
    stat->offset = reader.offsetOf(index);
    stat->date = api::publicDate(file.date);
    stat->dir_index = file.dirIndex;
    if (file.storage == kStorageCompressed)
        stat->flags |= ZAS_STAT_COMPRESSED;
    if (api::millisecondsFromDate(file.date, stat->mtime_ms))
        stat->flags |= ZAS_STAT_HAS_DATE;
    if (directory == nullptr)
        stat->flags |= ZAS_STAT_NO_DIRECTORY;
    if (directory == nullptr || !isSafeStoredPath(directory->name, file.name, kSystemNameRules) || file.name.empty())
        stat->flags |= ZAS_STAT_UNSAFE;
    return ZAS_OK;
}

int zas_dir_stat_index(const zas_archive* archive, uint64_t index, zas_dir_stat* stat) {
    if (archive == nullptr || stat == nullptr)
        return ZAS_E_INVALID;
    const DirectoryMap& dirs = archive->reader.dirs();
    if (index >= dirs.size())
        return ZAS_E_INDEX;
    const DirEntry& directory = dirs.at(static_cast<std::int32_t>(index));
    *stat = zas_dir_stat{};
    stat->index = index;
    stat->name = directory.name.c_str();
    stat->date = api::publicDate(directory.date);
    stat->has_date = api::millisecondsFromDate(directory.date, stat->mtime_ms) ? 1 : 0;
    stat->unsafe = isSafeStoredPath(directory.name, {}, kSystemNameRules) ? 0 : 1;
    return ZAS_OK;
}

int zas_name_locate(const zas_archive* archive, const char* name, unsigned flags, uint64_t* index) {
    if (archive == nullptr || name == nullptr || index == nullptr || (flags & ~ZAS_FL_NOCASE) != 0)
        return ZAS_E_INVALID;
    return api::guarded([&]() -> int {
        zs directory;
        zs file;
        if (!api::splitName(name, directory, file))
            return ZAS_E_NOT_FOUND;
        const zs wanted = directory + file;
        std::call_once(archive->lookupBuilt, [&] { buildLookup(*archive); });
        const auto& lookup = archive->lookup;
        const auto [first, last] = std::equal_range(
            lookup.begin(), lookup.end(), wanted, [&](const auto& one, const auto& other) {
                const auto text = [&](const auto& item) -> std::string_view {
                    if constexpr (std::is_same_v<std::decay_t<decltype(item)>, zs>)
                        return item;
                    else
                        return archive->paths[item];
                };
                return compareFolded(text(one), text(other)) < 0;
            });
        // The entries are in index order within an equal run: the last one
        // of exactly this spelling wins, else (without case) the last one.
        for (auto at = last; at != first;) {
            --at;
            if (archive->paths[*at] == wanted) {
                *index = *at;
                return ZAS_OK;
            }
        }
        if ((flags & ZAS_FL_NOCASE) != 0 && first != last) {
            *index = *(last - 1);
            return ZAS_OK;
        }
        return ZAS_E_NOT_FOUND;
    });
}

int zas_read_index(const zas_archive* archive, uint64_t index, void* buffer, size_t capacity, size_t* got) {
    if (got != nullptr)
        *got = 0;
    if (archive == nullptr || (buffer == nullptr && capacity != 0))
        return ZAS_E_INVALID;
    if (!validIndex(archive, index))
        return ZAS_E_INDEX;
    const std::uint32_t size = archive->reader.files()[index].size;
    if (capacity < size)
        return ZAS_E_INVALID;
    return api::guarded([&]() -> int {
        const int status = readEntry(*archive, index, static_cast<unsigned char*>(buffer));
        if (status == ZAS_OK && got != nullptr)
            *got = size;
        return status;
    });
}

int zas_test_index(const zas_archive* archive, uint64_t index) {
    if (archive == nullptr)
        return ZAS_E_INVALID;
    if (!validIndex(archive, index))
        return ZAS_E_INDEX;
    return api::guarded([&]() -> int { return readEntry(*archive, index, nullptr); });
}

int zas_fopen_index(const zas_archive* archive, uint64_t index, zas_file** file) {
    if (file != nullptr)
        *file = nullptr;
    if (archive == nullptr || file == nullptr)
        return ZAS_E_INVALID;
    if (!validIndex(archive, index))
        return ZAS_E_INDEX;
    return api::guarded([&]() -> int {
        SeekOptions options;
        options.interval = static_cast<std::uint64_t>(archive->seekInterval);
        options.memory = static_cast<std::uint64_t>(archive->seekMemory);
        *file = new zas_file(archive->reader, static_cast<std::size_t>(index), options);
        return ZAS_OK;
    });
}

int zas_fread(zas_file* file, void* buffer, size_t capacity, size_t* got) {
    if (got != nullptr)
        *got = 0;
    if (file == nullptr || got == nullptr || (buffer == nullptr && capacity != 0))
        return ZAS_E_INVALID;
    return api::guarded(
        [&]() -> int { return file->stream.read(static_cast<unsigned char*>(buffer), capacity, *got); });
}

int zas_fseek(zas_file* file, int64_t offset, int whence) {
    if (file == nullptr)
        return ZAS_E_INVALID;
    std::int64_t base = 0;
    switch (whence) {
    case ZAS_SEEK_SET: base = 0; break;
    case ZAS_SEEK_CUR: base = static_cast<std::int64_t>(file->stream.position()); break;
    case ZAS_SEEK_END: base = static_cast<std::int64_t>(file->stream.size()); break;
    default: return ZAS_E_INVALID;
    }
    if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset))
        return ZAS_E_INVALID;
    return api::guarded([&]() -> int {
        file->stream.seek(static_cast<std::uint64_t>(base + offset));
        return ZAS_OK;
    });
}

int zas_ftell(const zas_file* file, uint64_t* position) {
    if (file == nullptr || position == nullptr)
        return ZAS_E_INVALID;
    *position = file->stream.position();
    return ZAS_OK;
}

int zas_fclose(zas_file* file) {
    delete file;
    return ZAS_OK;
}

int zas_set_option(zas_archive* archive, int option, int64_t value) {
    if (archive == nullptr)
        return ZAS_E_INVALID;
    switch (option) {
    case ZAS_OPT_SEEK_INTERVAL:
        if (value < 4096)
            return ZAS_E_INVALID;
        archive->seekInterval = value;
        return ZAS_OK;
    case ZAS_OPT_SEEK_MEMORY:
        if (value < 0)
            return ZAS_E_INVALID;
        archive->seekMemory = value;
        return ZAS_OK;
    case ZAS_OPT_THREADS:
        if (value < 0 || value > 256)
            return ZAS_E_INVALID;
        archive->threads = static_cast<unsigned>(value);
        return ZAS_OK;
    default: return ZAS_E_INVALID;
    }
}

int zas_set_event_callback(zas_archive* archive, zas_event_fn callback, void* user) {
    if (archive == nullptr)
        return ZAS_E_INVALID;
    archive->reporter.setCallback(callback, user);
    return ZAS_OK;
}

int zas_extract_all(zas_archive* archive, const char* destination, zas_extract_counts* counts) {
    if (counts != nullptr)
        *counts = zas_extract_counts{};
    if (archive == nullptr)
        return ZAS_E_INVALID;
    return api::guarded([&]() -> int {
        LzssContext codec;
        ExtractionCounts done;
        const int status = extractAll(archive->reader, api::enginePath(destination), codec, archive->reporter, done,
                                      workerThreadsFor(archive->threads));
        if (counts != nullptr) {
            counts->extracted = static_cast<std::uint64_t>(done.extracted);
            counts->failed = static_cast<std::uint64_t>(done.failed);
        }
        if (status != ZAS_OK)
            return status;
        return done.failed == 0 ? ZAS_OK : ZAS_E_INCOMPLETE;
    });
}

int zas_extract_index(zas_archive* archive, uint64_t index, const char* destination) {
    if (archive == nullptr)
        return ZAS_E_INVALID;
    if (!validIndex(archive, index))
        return ZAS_E_INDEX;
    return api::guarded([&]() -> int {
        LzssContext codec;
        return extractOne(archive->reader, static_cast<std::size_t>(index), api::enginePath(destination), codec,
                          archive->reporter)
                   ? ZAS_OK
                   : ZAS_E_INCOMPLETE;
    });
}

} // extern "C"
