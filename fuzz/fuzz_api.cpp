// The C API on an arbitrary archive file: open it, and for every entry its
// stat, a look-up by its own path, a whole read, a test and a stream read in
// pieces with a seek back. Nothing may crash or leak, and no read may yield
// more than the entry's size.
#include "FuzzTarget.h"

#include <zas.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Entries are read whole only up to this size: a damaged table may claim
// anything.
constexpr std::uint64_t kLargestWholeRead = 1 << 22;

const fs::path& archivePath() {
    static fs::path path;
    if (path.empty()) {
        path = fs::temp_directory_path() / ("zas-fuzz-api-" + std::to_string(std::random_device()()) + ".zas");
        std::atexit([] {
            std::error_code error;
            fs::remove(path, error);
        });
    }
    return path;
}

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

void readEntry(zas_archive* archive, std::uint64_t index, const std::uint8_t* data, std::size_t size) {
    zas_stat stat;
    check(zas_stat_index(archive, index, &stat) == ZAS_OK);
    check(stat.name != nullptr && stat.directory != nullptr && stat.path != nullptr);
    std::uint64_t found = 0;
    if (zas_name_locate(archive, stat.path, ZAS_FL_NOCASE, &found) == ZAS_OK) {
        zas_stat other;
        check(zas_stat_index(archive, found, &other) == ZAS_OK);
    }
    zas_test_index(archive, index);
    if (stat.size <= kLargestWholeRead) {
        std::vector<unsigned char> whole(stat.size);
        std::size_t got = 0;
        if (zas_read_index(archive, index, whole.data(), whole.size(), &got) == ZAS_OK)
            check(got == stat.size);
    }

    zas_file* file = nullptr;
    if (zas_fopen_index(archive, index, &file) != ZAS_OK)
        return;
    // Piece sizes and a seek point from the input, so that the fuzzer steers
    // them too.
    const std::size_t piece = 1 + (size > 0 ? data[index % size] : 0) * 37u;
    std::vector<unsigned char> buffer(piece);
    std::uint64_t total = 0;
    for (int round = 0; round < 2; ++round) {
        std::size_t got = 0;
        while (zas_fread(file, buffer.data(), buffer.size(), &got) == ZAS_OK && got != 0) {
            total += got;
            check(total <= stat.size);
            if (total > kLargestWholeRead)
                break;
        }
        total = stat.size / 3;
        zas_fseek(file, static_cast<std::int64_t>(total), ZAS_SEEK_SET);
    }
    zas_fclose(file);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::ofstream out(archivePath(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    zas_archive* archive = nullptr;
    if (zas_open(archivePath().string().c_str(), 0, &archive) != ZAS_OK) {
        check(archive == nullptr);
        return 0;
    }
    std::uint64_t files = 0;
    std::uint64_t dirs = 0;
    check(zas_entry_count(archive, &files) == ZAS_OK && zas_dir_count(archive, &dirs) == ZAS_OK);
    for (std::uint64_t i = 0; i < dirs; ++i) {
        zas_dir_stat stat;
        check(zas_dir_stat_index(archive, i, &stat) == ZAS_OK);
    }
    for (std::uint64_t i = 0; i < files && i < 4096; ++i)
        readEntry(archive, i, data, size);
    zas_close(archive);
    return 0;
}
