// The view and extract modes on one archive, in a sandbox. Both must finish
// without a fault, release every allocation they made, and write nothing
// outside the destination. The destination lies three levels below the
// work folder, and each level must hold nothing but the way down; every file
// the program opens must be the archive or lie under the destination once
// its "." and ".." are resolved. A breach stops the run with a trap.
//
// The destination may hold obstacles before the run: files standing where
// the archive needs a directory, directories where it writes a file. Each
// must still be there, of its kind, afterwards (extraction replaces files,
// never a directory, and deletes nothing of its own accord), and no
// temporary file may be left beside the names the archive holds.
#pragma once

#include "platform/Platform.h"
#include "read/Extraction.h"
#include "app/Modes.h"
#include "app/Console.h"
#include "support/Memory.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

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

// One name of a path that the sandbox itself may make: it stays where it is
// joined, on any system.
inline bool plainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\\:\0", 4)) == std::string::npos;
}

// A name extraction gives the file it writes before renaming it: ".zas" and
// six letters or digits.
inline bool temporaryName(const std::string& name) {
    if (name.size() != 10 || name.compare(0, 4, ".zas") != 0)
        return false;
    for (std::size_t i = 4; i < name.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

} // namespace sandbox

// Something standing in the destination before extraction: a path below it
// in the archive's spelling (names separated by backslashes; empty for the
// destination itself).
struct Obstacle {
    std::string path;
    bool directory = false;
};

// storedNames, when given, are the file names the archive holds: any other
// temporary name left in the destination is a file extraction failed to
// remove.
inline void viewAndExtractInSandbox(const std::uint8_t* data, std::size_t size,
                                    const std::vector<Obstacle>& obstacles = {},
                                    const std::set<std::string>* storedNames = nullptr) {
    using namespace sandbox;

    const fs::path& folder = workFolder();
    for (const auto& item : fs::directory_iterator(folder))
        fs::remove_all(item.path());
    {
        std::ofstream archive(folder / "in.zas", std::ios::binary);
        archive.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }

    const fs::path out = folder / "a" / "b" / "out";
    fs::create_directories(folder / "a" / "b");
    std::vector<std::pair<fs::path, bool>> placed;
    for (const Obstacle& obstacle : obstacles) {
        fs::path at = out;
        bool plain = true;
        for (std::size_t from = 0; from < obstacle.path.size() && plain;) {
            const std::size_t end = std::min(obstacle.path.find('\\', from), obstacle.path.size());
            const std::string name = obstacle.path.substr(from, end - from);
            plain = plainName(name);
            at /= name;
            from = end + 1;
        }
        std::error_code error;
        if (!plain || fs::exists(fs::symlink_status(at, error)))
            continue;
        fs::create_directories(at.parent_path(), error);
        if (obstacle.directory)
            fs::create_directory(at, error);
        else
            std::ofstream(at, std::ios::binary) << "in the way";
        if (fs::exists(fs::symlink_status(at, error)))
            placed.emplace_back(at, obstacle.directory);
    }

    const zs archive(programPath(folder / "in.zas").c_str());
    const zs destination(programPath(out).c_str());
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

    for (const auto& [at, directory] : placed) {
        std::error_code error;
        const fs::file_status status = fs::symlink_status(at, error);
        if (directory ? !fs::is_directory(status) : !fs::is_regular_file(status))
            __builtin_trap(); // an obstacle was removed or replaced by a directory
    }
    if (storedNames != nullptr) {
        std::error_code error;
        for (auto item = fs::recursive_directory_iterator(out, error); !error && item != fs::end(item);
             item.increment(error)) {
            const std::string name = item->path().filename().string();
            if (temporaryName(name) && storedNames->count(name) == 0)
                __builtin_trap(); // a file extraction began was left behind
        }
    }
}
