// The writing half of the C API.
#include "api/Handles.h"

#include "platform/Platform.h"

#include <cstring>
#include <limits>

extern "C" {

int zas_writer_open(const char* path, unsigned flags, zas_writer** writer) {
    if (writer != nullptr)
        *writer = nullptr;
    if (path == nullptr || *path == '\0' || writer == nullptr || (flags & ~ZAS_WRITE_EXCLUSIVE) != 0)
        return ZAS_E_INVALID;
    return api::guarded([&]() -> int {
        auto opened = std::make_unique<zas_writer>(api::enginePath(path));
        opened->writer.options().exclusive = (flags & ZAS_WRITE_EXCLUSIVE) != 0;
        if (opened->writer.options().exclusive && GetFileAttributesA(api::enginePath(path).c_str()) != INVALID_FILE_ATTRIBUTES)
            return ZAS_E_EXISTS;
        *writer = opened.release();
        return ZAS_OK;
    });
}

int zas_writer_set_option(zas_writer* writer, int option, int64_t value) {
    if (writer == nullptr)
        return ZAS_E_INVALID;
    WriterOptions& options = writer->writer.options();
    const bool flag = value == 0 || value == 1;
    switch (option) {
    case ZAS_OPT_COMPRESS:
        if (!flag)
            return ZAS_E_INVALID;
        options.compress = value != 0;
        return ZAS_OK;
    case ZAS_OPT_THREADS:
        if (value < 0 || value > 256)
            return ZAS_E_INVALID;
        options.threads = static_cast<unsigned>(value);
        return ZAS_OK;
    case ZAS_OPT_SEED:
        if (value < 0 || value > std::numeric_limits<std::uint32_t>::max())
            return ZAS_E_INVALID;
        options.seed = static_cast<unsigned>(value);
        return ZAS_OK;
    case ZAS_OPT_MOVE:
        if (!flag)
            return ZAS_E_INVALID;
        options.move = value != 0;
        return ZAS_OK;
    case ZAS_OPT_DURABLE:
        if (!flag)
            return ZAS_E_INVALID;
        options.durable = value != 0;
        return ZAS_OK;
    default: return ZAS_E_INVALID;
    }
}

int zas_writer_set_event_callback(zas_writer* writer, zas_event_fn callback, void* user) {
    if (writer == nullptr)
        return ZAS_E_INVALID;
    writer->writer.reporter().setCallback(callback, user);
    return ZAS_OK;
}

int zas_writer_add_tree(zas_writer* writer, const char* source, unsigned flags) {
    if (writer == nullptr || source == nullptr || (flags & ~ZAS_TREE_EXCLUDE_PATH) != 0)
        return ZAS_E_INVALID;
    return api::guarded(
        [&]() -> int { return writer->writer.addTree(api::enginePath(source), (flags & ZAS_TREE_EXCLUDE_PATH) != 0); });
}

int zas_writer_add_dir(zas_writer* writer, const char* name, int64_t mtime_ms) {
    if (writer == nullptr || name == nullptr)
        return ZAS_E_INVALID;
    ArchiveDate date;
    if (mtime_ms != ZAS_NO_DATE && !api::dateFromMilliseconds(mtime_ms, date))
        return ZAS_E_INVALID;
    return api::guarded([&]() -> int { return writer->writer.addDirectory(api::directoryName(name), date); });
}

int zas_writer_add_path(zas_writer* writer, const char* name, const char* source_path) {
    if (writer == nullptr || name == nullptr || source_path == nullptr)
        return ZAS_E_INVALID;
    return api::guarded([&]() -> int {
        zs directory;
        zs file;
        if (!api::splitName(name, directory, file))
            return ZAS_E_NAME;
        return writer->writer.addPath(directory, file, api::enginePath(source_path));
    });
}

int zas_writer_add_buffer(zas_writer* writer, const char* name, const void* data, size_t size, int64_t mtime_ms) {
    if (writer == nullptr || name == nullptr || (data == nullptr && size != 0))
        return ZAS_E_INVALID;
    ArchiveDate date;
    if (mtime_ms != ZAS_NO_DATE && !api::dateFromMilliseconds(mtime_ms, date))
        return ZAS_E_INVALID;
    if (size > std::numeric_limits<std::uint32_t>::max())
        return ZAS_E_TOO_LARGE;
    return api::guarded([&]() -> int {
        zs directory;
        zs file;
        if (!api::splitName(name, directory, file))
            return ZAS_E_NAME;
        ByteBuffer bytes(size);
        if (size != 0)
            std::memcpy(bytes.data(), data, size);
        return writer->writer.addBuffer(directory, file, std::move(bytes), date);
    });
}

int zas_writer_counts(const zas_writer* writer, uint64_t* files, uint64_t* dirs) {
    if (writer == nullptr)
        return ZAS_E_INVALID;
    if (files != nullptr)
        *files = writer->writer.fileCount();
    if (dirs != nullptr)
        *dirs = writer->writer.directoryCount();
    return ZAS_OK;
}

int zas_writer_finish(zas_writer* writer) {
    if (writer == nullptr)
        return ZAS_E_INVALID;
    return api::guarded([&]() -> int { return writer->writer.finish(); });
}

int zas_writer_free(zas_writer* writer) {
    delete writer;
    return ZAS_OK;
}

} // extern "C"
