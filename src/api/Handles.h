// What the public handles hold, and the helpers every entry point of the C
// API shares: turning C++ failures into statuses, names and dates into the
// engine's forms.
#pragma once

#include <zas.h>

#include "archive/Format.h"
#include "archive/Lzss.h"
#include "read/Reader.h"
#include "support/Exception.h"
#include "support/Memory.h"
#include "support/Reporter.h"
#include "write/Writer.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

struct zas_archive {
    ArchiveReader reader;
    Reporter reporter;
    zvector<zs> paths; // each file's directory name and name
    std::int64_t seekInterval = 65536;
    std::int64_t seekMemory = std::int64_t{4} << 20;
    unsigned threads = 0; // extraction's workers; 0: one per core

    // Look-up by name, built on first use: file indexes ordered by their
    // paths with letter case folded, then by index.
    mutable std::once_flag lookupBuilt;
    mutable zvector<std::uint32_t> lookup;

    // Codec contexts for whole-entry reads, reused across calls and threads.
    mutable std::mutex poolMutex;
    mutable std::vector<std::unique_ptr<LzssContext>> pool;
};

struct zas_writer {
    explicit zas_writer(zs path) : writer(std::move(path)) {}
    ArchiveWriter writer;
};

namespace api {

// Runs body, turning what the engine throws into a status.
template <class Body>
int guarded(Body body) noexcept {
    try {
        return body();
    } catch (const Cancelled&) {
        return ZAS_E_CANCELLED;
    } catch (const Z_MemoryException&) {
        return ZAS_E_NOMEM;
    } catch (const std::bad_alloc&) {
        return ZAS_E_NOMEM;
    } catch (...) {
        return ZAS_E_INTERNAL;
    }
}

// A path as the library takes it, in the engine's form: '/' becomes '\'.
zs enginePath(const char* path);

// A name below the archive's root ("data/maps/harbour.map",
// "\data\maps\harbour.map") as a directory's stored name and a file name.
// False when it names no file (empty, or ending in a separator).
bool splitName(const char* name, zs& directory, zs& file);
// A directory name below the root as its stored name ("data/maps" ->
// "\data\maps\"); "", "/" and "\" are the top.
zs directoryName(const char* name);

// Dates: UTC milliseconds since 1970 and the stored fields.
bool dateFromMilliseconds(std::int64_t milliseconds, ArchiveDate& date);
bool millisecondsFromDate(const ArchiveDate& date, std::int64_t& milliseconds);
zas_date publicDate(const ArchiveDate& date);

} // namespace api
