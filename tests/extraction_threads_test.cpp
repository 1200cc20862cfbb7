// Extraction with files written ahead on worker threads: whatever the number
// of threads, the same events in the same order, the same files with the
// same contents and dates, and after a cancel no file the caller was not
// told of.
#include "ArchiveFixture.h"
#include "BuildSupport.h"
#include "TestSupport.h"

#include <zas.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// Bytes that compress somewhat, from a seed.
std::string bytesOf(std::uint32_t seed, std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(i % 7 == 0 ? (state >> 16) & 0xFF : 'a' + (i / 13 + seed) % 5);
    }
    return bytes;
}

struct Extraction {
    int status = -1;
    zas_extract_counts counts{};
    std::vector<std::string> events;         // every event but the heartbeat, in order
    std::map<std::string, std::string> tree; // path below the destination -> content or "<dir>", and the date
};

std::string describe(const zas_event& event) {
    return std::to_string(event.type) + " " + std::to_string(event.reason) + " " +
           (event.path != nullptr ? event.path : "-") + " " + std::to_string(event.index) + " " +
           std::to_string(event.size) + " " + std::to_string(event.done) + "/" + std::to_string(event.total);
}

std::map<std::string, std::string> treeUnder(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        const std::string date = std::to_string(lastWriteTime(item.path()).time_since_epoch().count());
        tree[fs::relative(item.path(), root).generic_string()] =
            (item.is_directory() ? std::string("<dir>") : readFile(item.path())) + " @" + date;
    }
    return tree;
}

struct Archive {
    explicit Archive(const fs::path& path) { status = zas_open(path.string().c_str(), 0, &handle); }
    ~Archive() { zas_close(handle); }
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;
    zas_archive* handle = nullptr;
    int status = -1;
};

// Extracts archive into destination on threads threads; stopAt, when given,
// cancels at the first event it accepts.
Extraction extract(const fs::path& archivePath, const fs::path& destination, unsigned threads,
                   const std::function<bool(const zas_event&)>& stopAt = nullptr) {
    struct Context {
        Extraction* result;
        const std::function<bool(const zas_event&)>* stopAt;
    };
    Extraction result;
    Archive archive(archivePath);
    EXPECT_EQ(archive.status, ZAS_OK);
    EXPECT_EQ(zas_set_option(archive.handle, ZAS_OPT_THREADS, threads), ZAS_OK);
    Context context{&result, &stopAt};
    zas_set_event_callback(
        archive.handle,
        [](const zas_event* event, void* user) {
            const auto& context = *static_cast<Context*>(user);
            if (event->type != ZAS_EVENT_HEARTBEAT)
                context.result->events.push_back(describe(*event));
            return *context.stopAt && (*context.stopAt)(*event) ? 1 : 0;
        },
        &context);
    result.status = zas_extract_all(archive.handle, destination.string().c_str(), &result.counts);
    if (fs::exists(destination))
        result.tree = treeUnder(destination);
    return result;
}

// What is found where an archive is extracted before it runs.
using Prepare = std::function<void(const fs::path& destination)>;

void writeWithWriter(const fs::path& path, bool compress, const std::vector<std::pair<std::string, std::string>>& files) {
    zas_writer* writer = nullptr;
    ASSERT_EQ(zas_writer_open(path.string().c_str(), 0, &writer), ZAS_OK);
    zas_writer_set_option(writer, ZAS_OPT_COMPRESS, compress ? 1 : 0);
    zas_writer_set_option(writer, ZAS_OPT_SEED, 5);
    std::int64_t when = 1136214245000; // 2006-01-02 15:04:05 UTC
    // Every directory dated, so that its date is the archive's, not the
    // moment its files were made.
    std::set<std::string> directories;
    for (const auto& [name, bytes] : files)
        for (std::size_t at = name.find('/'); at != std::string::npos; at = name.find('/', at + 1))
            directories.insert(name.substr(0, at));
    for (const std::string& name : directories)
        EXPECT_EQ(zas_writer_add_dir(writer, name.c_str(), when - 86400000), ZAS_OK) << name;
    for (const auto& [name, bytes] : files) {
        EXPECT_EQ(zas_writer_add_buffer(writer, name.c_str(), bytes.data(), bytes.size(), when), ZAS_OK) << name;
        when += 61000;
    }
    EXPECT_EQ(zas_writer_finish(writer), ZAS_OK);
    zas_writer_free(writer);
}

// Files of every size around the ways they are written: empty, held in
// memory, copied from the archive in pieces, compressed ones extracted in
// place; several directories.
std::vector<std::pair<std::string, std::string>> mixedFiles(bool compress) {
    const std::size_t sizes[] = {0, 1, 700, 4096, 0xFFFF, 0x10000, 70000, 3000};
    std::vector<std::pair<std::string, std::string>> files;
    for (std::uint32_t i = 0; i < 240; ++i) {
        std::size_t size = sizes[i % 8];
        if (compress && size > 0x8000)
            size = i % 80 == 4 ? 80000 : 2000; // a few compressed files too large to hold, fewer bytes than the rest
        files.emplace_back("data/d" + std::to_string(i % 6) + "/f" + std::to_string(1000 + i), bytesOf(i, size));
    }
    if (!compress)
        files.emplace_back("data/big.bin", bytesOf(999, (std::size_t{5} << 20) / 2));
    return files;
}

// Stored entries, hostile and damaged ones among them, crafted directly.
std::string hostileArchive() {
    zvector<FileEntry> entries;
    std::string data;
    const ArchiveDate date = makeDate(2004, 7, 1, 12, 0, 0, 0);
    const auto add = [&](const std::string& name, const std::string& content, std::uint32_t dirIndex) {
        const auto size = static_cast<std::uint32_t>(content.size());
        entries.push_back(fileEntry(name, size, size, dirIndex));
        entries.back().date = date;
        data += content;
    };
    for (std::uint32_t i = 0; i < 60; ++i)
        add("f" + std::to_string(i), bytesOf(i, i * 37), i % 2 == 0 ? 0 : 2);
    add("escape", "out", 1);              // its directory leaves the destination
    add("..\\up", "up", 0);               // its name does
    add("dup", "first", 0);               // the later of two entries wins
    add("taken", "x", 0);                 // a directory stands there
    add("old", "new content", 0);         // replaces a file
    add("dup", bytesOf(7, 70000), 0);     // copied from the archive
    add("", "nameless", 0);
    entries.push_back(fileEntry("disagree", 10, 4, 0));
    data += "DDDD";
    for (std::uint32_t i = 60; i < 90; ++i)
        add("g" + std::to_string(i), bytesOf(i, 100), 2);
    add("cut", bytesOf(8, 5000), 2);
    data.resize(data.size() - 1000);
    return archiveBytes(entries, {{"\\", date}, {"\\..\\", date}, {"\\sub\\", date}}, data);
}

TEST(ExtractionThreads, EveryNumberOfThreadsGivesWhatOneThreadGives) {
    TempDir dir;
    writeWithWriter(dir / "stored.zas", false, mixedFiles(false));
    writeWithWriter(dir / "compressed.zas", true, mixedFiles(true));
    writeFile(dir / "hostile.zas", hostileArchive());
    const Prepare nothing = [](const fs::path&) {};
    const Prepare obstacles = [](const fs::path& destination) {
        fs::create_directories(destination / "taken");
        setLastWriteTime(destination / "taken", timeOf(makeDate(2001, 1, 1, 0, 0, 0, 0)));
        writeFile(destination / "old", "old content");
    };
    const struct {
        const char* archive;
        Prepare setup;
        std::uint64_t failed;
    } cases[] = {
        {"stored.zas", nothing, 0},
        {"compressed.zas", nothing, 0},
        {"hostile.zas", obstacles, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.archive);
        std::vector<Extraction> results;
        for (const unsigned threads : {1u, 2u, 8u}) {
            // The same destination as the events name it, in a folder of its own.
            const fs::path folder = dir / (std::to_string(threads) + "-" + c.archive);
            fs::create_directories(folder);
            const WorkingDirectory inside(folder);
            c.setup("out");
            results.push_back(extract(dir / c.archive, "out", threads));
        }
        const Extraction& one = results.front();
        EXPECT_EQ(one.counts.failed, c.failed);
        EXPECT_EQ(one.status, c.failed == 0 ? ZAS_OK : ZAS_E_INCOMPLETE);
        for (const auto& [path, content] : one.tree)
            EXPECT_FALSE(fs::path(path).filename().string().starts_with(".zas")) << path;
        for (std::size_t i = 1; i < results.size(); ++i) {
            SCOPED_TRACE(i == 1 ? "2 threads" : "8 threads");
            EXPECT_EQ(results[i].status, one.status);
            EXPECT_EQ(results[i].counts.extracted, one.counts.extracted);
            EXPECT_EQ(results[i].counts.failed, one.counts.failed);
            EXPECT_EQ(results[i].events, one.events);
            EXPECT_TRUE(results[i].tree == one.tree);

        }
    }
    EXPECT_EQ(readFile(dir / "2-hostile.zas" / "out" / "dup"), bytesOf(7, 70000));
}

// A cancel at any file: every file reported as extracted is there, whole,
// and nothing else is, however far ahead the workers had written.
TEST(ExtractionThreads, ACancelLeavesOnlyTheFilesReported) {
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> files;
    for (std::uint32_t i = 0; i < 400; ++i)
        files.emplace_back("d" + std::to_string(i / 100) + "/f" + std::to_string(i),
                           bytesOf(i, i % 10 == 0 ? 80000 : 900));
    writeWithWriter(dir / "a.zas", false, files);
    for (const std::uint64_t stopIndex : {0u, 150u, 399u}) {
        for (const unsigned threads : {2u, 8u}) {
            SCOPED_TRACE(std::to_string(stopIndex) + " on " + std::to_string(threads) + " threads");
            const fs::path destination = dir / ("out" + std::to_string(stopIndex) + "-" + std::to_string(threads));
            const Extraction result = extract(dir / "a.zas", destination, threads, [&](const zas_event& event) {
                return event.type == ZAS_EVENT_EXTRACT_FILE && event.index == stopIndex;
            });
            EXPECT_EQ(result.status, ZAS_E_CANCELLED);
            std::size_t reported = 0;
            for (const std::string& event : result.events)
                reported += event.starts_with(std::to_string(ZAS_EVENT_FILE_EXTRACTED) + " ");
            EXPECT_EQ(reported, stopIndex);
            std::size_t found = 0;
            for (const auto& [path, content] : result.tree) {
                if (content.starts_with("<dir>"))
                    continue;
                ++found;
                const std::size_t index = std::stoul(fs::path(path).filename().string().substr(1));
                EXPECT_LT(index, stopIndex) << path;
                EXPECT_TRUE(content.substr(0, content.rfind(" @")) == files[index].second) << path;
            }
            EXPECT_EQ(found, stopIndex);
        }
    }
}

} // namespace
