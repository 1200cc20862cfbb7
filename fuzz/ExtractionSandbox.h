// The view and extract modes on one archive, in a sandbox. Both must finish
// without a fault, release every allocation they made, and write nothing
// outside the destination. The destination lies three levels below the
// work folder, and each level must hold nothing but the way down; every file
// the program opens must be the archive or lie under the destination once
// its "." and ".." are resolved. A breach stops the run with a trap.
#pragma once

#include "platform/Platform.h"
#include "read/Extraction.h"
#include "app/Modes.h"
#include "app/Console.h"
#include "support/Memory.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace sandbox {

// A folder of its own for the whole run, emptied before each input and
// removed at exit.
inline const fs::path& workFolder() {
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

// The program's paths use backslashes; the POSIX layer turns them into '/'.
inline std::string programPath(const fs::path& path) {
    std::string text = path.string();
    for (char& c : text)
        if (c == '/')
            c = '\\';
    return text;
}

inline fs::path nativePath(const char* path) {
    std::string text = path;
    for (char& c : text)
        if (c == '\\')
            c = '/';
    return fs::path(text).lexically_normal();
}

inline void checkOpenedPath(const char* path) {
    const fs::path& folder = workFolder();
    const fs::path opened = nativePath(path);
    if (opened == folder / "in.zas")
        return;
    const fs::path relative = opened.lexically_relative(folder / "a" / "b" / "out");
    if (relative.empty() || *relative.begin() == "..")
        __builtin_trap(); // a file opened outside the destination
}

inline void expectOnly(const fs::path& level, const std::set<std::string>& names) {
    for (const auto& item : fs::directory_iterator(level))
        if (names.count(item.path().filename().string()) == 0)
            __builtin_trap(); // something was written beside the destination
}

} // namespace sandbox

inline void viewAndExtractInSandbox(const std::uint8_t* data, std::size_t size) {
    using namespace sandbox;

    const fs::path& folder = workFolder();
    for (const auto& item : fs::directory_iterator(folder))
        fs::remove_all(item.path());
    {
        std::ofstream archive(folder / "in.zas", std::ios::binary);
        archive.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }

    const zs archive(programPath(folder / "in.zas").c_str());
    const zs destination(programPath(folder / "a" / "b" / "out").c_str());
    fs::create_directories(folder / "a" / "b");
    setOpenFileHookForTesting(checkOpenedPath);
    const std::int32_t made = Z_Memory::sm_iNewCount;
    const std::int32_t released = Z_Memory::sm_iDeleteCount;
    listArchive(archive);
    extractArchive(archive, destination);
    std::fflush(stdout);
    clearFlagsForTesting();
    setOpenFileHookForTesting(nullptr);
    if (Z_Memory::sm_iNewCount - made != Z_Memory::sm_iDeleteCount - released)
        __builtin_trap();

    expectOnly(folder, {"in.zas", "a"});
    expectOnly(folder / "a", {"b"});
    expectOnly(folder / "a" / "b", {"out"});
}
