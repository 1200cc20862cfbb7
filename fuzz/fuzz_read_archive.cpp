// The view and extract modes on an arbitrary archive file. Both must finish
// without a fault, release every allocation they made, and write nothing
// outside the destination.
#include "FuzzTarget.h"

#include "read/Extraction.h"
#include "read/Listing.h"
#include "support/Console.h"
#include "support/Memory.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

// A folder of its own for the whole run, emptied before each input and
// removed at exit.
const fs::path& workFolder() {
    static fs::path folder;
    if (folder.empty()) {
        folder = fs::temp_directory_path() / ("zas-fuzz-read-" + std::to_string(std::random_device()()));
        fs::create_directories(folder);
        // Registered after folder exists, so it runs before folder goes.
        std::atexit([] {
            std::error_code error;
            fs::remove_all(folder, error);
        });
    }
    return folder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path& folder = workFolder();
    for (const auto& item : fs::directory_iterator(folder))
        fs::remove_all(item.path());
    {
        std::ofstream archive(folder / "in.zas", std::ios::binary);
        archive.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }

    const zs archive((folder / "in.zas").string().c_str());
    const zs destination((folder / "out").string().c_str());
    const std::int32_t made = Z_Memory::sm_iNewCount;
    const std::int32_t released = Z_Memory::sm_iDeleteCount;
    listArchive(archive);
    extractArchive(archive, destination);
    std::fflush(stdout);
    clearFlagsForTesting();
    if (Z_Memory::sm_iNewCount - made != Z_Memory::sm_iDeleteCount - released)
        __builtin_trap();

    for (const auto& item : fs::directory_iterator(folder)) {
        const std::string name = item.path().filename().string();
        if (name != "in.zas" && name != "out")
            __builtin_trap(); // something was written beside the destination
    }
    return 0;
}
