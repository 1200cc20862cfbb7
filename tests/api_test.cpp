// The C API as its users see it: only <zas.h>, handles and statuses. Round
// trips, look-up, streams in odd pieces and seeks, damaged and hostile
// archives, the writer against the program byte for byte, cancelling, and
// handles used from several threads at once.
#include "ArchiveFixture.h"
#include "BuildSupport.h"
#include "TestSupport.h"

#include <zas.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern "C" int zasHeaderCompilesAsC(void);

namespace {

// Owners for the handles, so that a failed expectation leaks nothing.
struct Archive {
    Archive() = default;
    explicit Archive(const fs::path& path) { status = zas_open(path.string().c_str(), 0, &handle); }
    ~Archive() { zas_close(handle); }
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;
    zas_archive* handle = nullptr;
    int status = -1;
};

struct Writer {
    explicit Writer(const fs::path& path, unsigned flags = 0) {
        status = zas_writer_open(path.string().c_str(), flags, &handle);
    }
    ~Writer() { zas_writer_free(handle); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    zas_writer* handle = nullptr;
    int status = -1;
};

struct File {
    File(const zas_archive* archive, std::uint64_t index) { status = zas_fopen_index(archive, index, &handle); }
    ~File() { zas_fclose(handle); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    zas_file* handle = nullptr;
    int status = -1;
};

// Bytes that compress somewhat, from a fixed seed.
std::string content(std::uint32_t seed, std::size_t size) {
    std::mt19937 random(seed);
    std::string bytes;
    while (bytes.size() < size) {
        const std::size_t run = 1 + random() % 30;
        const bool repeat = bytes.size() > 100 && random() % 2 == 0;
        const std::size_t from = repeat ? bytes.size() - 1 - random() % std::min<std::size_t>(bytes.size() - 1, 3000) : 0;
        for (std::size_t i = 0; i < run && bytes.size() < size; ++i)
            bytes.push_back(repeat ? bytes[from + i] : static_cast<char>('a' + random() % 20));
    }
    return bytes;
}

// Reads an entry through a stream, chunk bytes at a time.
std::string readStream(const zas_archive* archive, std::uint64_t index, std::size_t chunk, int* status = nullptr) {
    File file(archive, index);
    EXPECT_EQ(file.status, ZAS_OK);
    std::string bytes;
    std::vector<char> buffer(chunk);
    for (;;) {
        std::size_t got = 0;
        const int read = zas_fread(file.handle, buffer.data(), buffer.size(), &got);
        if (status != nullptr)
            *status = read;
        if (read != ZAS_OK || got == 0)
            break;
        bytes.append(buffer.data(), got);
    }
    return bytes;
}

std::uint64_t locate(const zas_archive* archive, const char* name, unsigned flags = 0) {
    std::uint64_t index = ~std::uint64_t{0};
    zas_name_locate(archive, name, flags, &index);
    return index;
}

constexpr std::int64_t kWhen = 1135616645250; // 2005-12-26 17:04:05.250 UTC

// An archive of the files named here, with these contents, written through
// the API from memory.
void writeFromMemory(const fs::path& path, const std::vector<std::pair<std::string, std::string>>& files,
                     bool compress) {
    Writer writer(path);
    ASSERT_EQ(writer.status, ZAS_OK);
    ASSERT_EQ(zas_writer_set_option(writer.handle, ZAS_OPT_COMPRESS, compress ? 1 : 0), ZAS_OK);
    ASSERT_EQ(zas_writer_set_option(writer.handle, ZAS_OPT_SEED, 7), ZAS_OK);
    for (const auto& [name, bytes] : files)
        ASSERT_EQ(zas_writer_add_buffer(writer.handle, name.c_str(), bytes.data(), bytes.size(), kWhen), ZAS_OK)
            << name;
    ASSERT_EQ(zas_writer_finish(writer.handle), ZAS_OK);
}

TEST(Api, VersionAndMessages) {
    EXPECT_EQ(zas_version_number(), static_cast<unsigned>(ZAS_VERSION_NUMBER));
    EXPECT_STREQ(zas_version_string(), ZAS_VERSION_STRING);
    for (int status = ZAS_OK; status <= ZAS_E_INTERNAL + 1; ++status)
        EXPECT_NE(zas_strerror(status), nullptr);
    EXPECT_STREQ(zas_strerror(ZAS_E_NOMEM), "Out of system memory resources");
    EXPECT_EQ(zasHeaderCompilesAsC(), ZAS_OK);
}

TEST(Api, RoundTripsEntriesInEveryChunkSizeAndSeek) {
    TempDir dir;
    const std::vector<std::pair<std::string, std::string>> files{
        {"data/empty.txt", ""},
        {"data/one.txt", "x"},
        {"data/maps/harbour.map", content(1, 5000)},
        {"data/maps/large.map", content(2, 300000)},
        {"readme.txt", content(3, 4096)},
    };
    for (const bool compress : {false, true}) {
        SCOPED_TRACE(compress ? "compressed" : "stored");
        const fs::path path = dir / (compress ? "c.zas" : "s.zas");
        writeFromMemory(path, files, compress);
        Archive archive(path);
        ASSERT_EQ(archive.status, ZAS_OK);
        std::uint64_t count = 0;
        ASSERT_EQ(zas_entry_count(archive.handle, &count), ZAS_OK);
        ASSERT_EQ(count, files.size());
        std::uint64_t dirs = 0;
        ASSERT_EQ(zas_dir_count(archive.handle, &dirs), ZAS_OK);
        EXPECT_EQ(dirs, 3u); // \data\, \data\maps\ and \, made as files needed them

        for (std::uint64_t i = 0; i < count; ++i) {
            const std::string& expected = files[i].second;
            zas_stat stat;
            ASSERT_EQ(zas_stat_index(archive.handle, i, &stat), ZAS_OK);
            EXPECT_EQ(std::string("\\") + files[i].first, [&] {
                std::string path = stat.path;
                for (char& c : path)
                    c = c == '\\' ? '/' : c;
                return "\\" + path.substr(1);
            }());
            EXPECT_EQ(std::string(stat.directory) + stat.name, stat.path);
            EXPECT_EQ(stat.size, expected.size());
            EXPECT_EQ((stat.flags & ZAS_STAT_COMPRESSED) != 0, compress && !expected.empty());
            ASSERT_NE(stat.flags & ZAS_STAT_HAS_DATE, 0u);
            EXPECT_EQ(stat.mtime_ms, kWhen);
            EXPECT_EQ(stat.date.year, 2005);
            EXPECT_EQ(stat.date.milliseconds, 250);
            EXPECT_EQ(stat.flags & ZAS_STAT_UNSAFE, 0u);

            std::string whole(expected.size(), '\0');
            std::size_t got = 0;
            ASSERT_EQ(zas_read_index(archive.handle, i, whole.data(), whole.size(), &got), ZAS_OK);
            EXPECT_EQ(got, expected.size());
            EXPECT_TRUE(whole == expected);
            EXPECT_EQ(zas_test_index(archive.handle, i), ZAS_OK);
            for (const std::size_t chunk : {std::size_t{1} << 20, std::size_t{65537}, std::size_t{4096}, std::size_t{7}}) {
                if (chunk < 4096 && expected.size() > 10000)
                    continue; // byte by byte is for the small ones
                EXPECT_TRUE(readStream(archive.handle, i, chunk) == expected) << files[i].first << " by " << chunk;
            }
        }

        // Seeks anywhere, forwards and back, each followed by a short read.
        const std::uint64_t large = locate(archive.handle, "data/maps/large.map");
        const std::string& expected = files[3].second;
        File file(archive.handle, large);
        std::mt19937 random(99);
        for (int step = 0; step < 200; ++step) {
            const std::size_t at = random() % (expected.size() + 10);
            const std::size_t length = 1 + random() % 9000;
            ASSERT_EQ(zas_fseek(file.handle, static_cast<std::int64_t>(at), ZAS_SEEK_SET), ZAS_OK);
            std::string bytes(length, '\0');
            std::size_t got = 0;
            std::size_t total = 0;
            while (total < length &&
                   zas_fread(file.handle, bytes.data() + total, length - total, &got) == ZAS_OK && got != 0)
                total += got;
            const std::string want = at < expected.size() ? expected.substr(at, length) : std::string();
            ASSERT_EQ(bytes.substr(0, total), want) << "at " << at;
            std::uint64_t position = 0;
            ASSERT_EQ(zas_ftell(file.handle, &position), ZAS_OK);
            EXPECT_EQ(position, at + total);
        }
        EXPECT_EQ(zas_fseek(file.handle, -1, ZAS_SEEK_SET), ZAS_E_INVALID);
        ASSERT_EQ(zas_fseek(file.handle, -10, ZAS_SEEK_END), ZAS_OK);
        char tail[32];
        std::size_t got = 0;
        ASSERT_EQ(zas_fread(file.handle, tail, sizeof tail, &got), ZAS_OK);
        EXPECT_EQ(std::string(tail, got), expected.substr(expected.size() - 10));
    }
}

TEST(Api, LooksNamesUpWithEitherSeparatorAndWithoutCase) {
    TempDir dir;
    writeFromMemory(dir / "a.zas",
                    {{"Data/Maps/Harbour.map", "first"},
                     {"data/maps/harbour.map", "second"},
                     {"data/maps/harbour.map", "third"},
                     {"data/other.txt", "other"}},
                    false);
    Archive archive(dir / "a.zas");
    ASSERT_EQ(archive.status, ZAS_OK);
    const struct {
        const char* name;
        unsigned flags;
        std::uint64_t index;
    } cases[] = {
        {"data/maps/harbour.map", 0, 2},         // the last of equal names: the one extraction leaves
        {"\\data\\maps\\harbour.map", 0, 2},
        {"/data/maps/harbour.map", 0, 2},
        {"Data/Maps/Harbour.map", 0, 0},
        {"DATA/MAPS/HARBOUR.MAP", ZAS_FL_NOCASE, 2},
        {"Data/Maps/Harbour.map", ZAS_FL_NOCASE, 0}, // its own spelling first
        {"data\\OTHER.TXT", ZAS_FL_NOCASE, 3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(locate(archive.handle, c.name, c.flags), c.index) << c.name << " " << c.flags;
    for (const char* missing : {"DATA/MAPS/HARBOUR.MAP", "data/maps", "data/maps/", "", "harbour.map"}) {
        std::uint64_t index = 0;
        EXPECT_EQ(zas_name_locate(archive.handle, missing, 0, &index), ZAS_E_NOT_FOUND) << missing;
    }
}

TEST(Api, RefusesWhatIsNoSoundArchiveWithItsOwnStatus) {
    TempDir dir;
    writeFile(dir / "text.zas", "This is not an archive, it is a text file of more than 44 bytes.");
    writeFile(dir / "old.zas", archiveBytes({fileEntry("a", 1, 1, 0)}, {{"\\"}}, "a", 0x3F8CCCCDu)); // 1.1
    std::string damaged = archiveBytes({{"\\"}}, {{"a.txt", "abc"}});
    patchHeader(damaged, kFileTableSizeField, 5);
    writeFile(dir / "damaged.zas", damaged);
    fs::create_directories(dir / "folder.zas");
    const struct {
        const char* name;
        int status;
    } cases[] = {
        {"missing.zas", ZAS_E_OPEN}, {"folder.zas", ZAS_E_OPEN},      {"text.zas", ZAS_E_NOT_ARCHIVE},
        {"old.zas", ZAS_E_VERSION},  {"damaged.zas", ZAS_E_DAMAGED},
    };
    for (const auto& c : cases) {
        Archive archive(dir / c.name);
        EXPECT_EQ(archive.status, c.status) << c.name;
        EXPECT_EQ(archive.handle, nullptr);
    }
    zas_info info{};
    EXPECT_EQ(zas_probe((dir / "old.zas").string().c_str(), &info), ZAS_E_VERSION);
    EXPECT_FLOAT_EQ(static_cast<float>(info.version), 1.1f);
    EXPECT_EQ(zas_probe((dir / "damaged.zas").string().c_str(), &info), ZAS_OK); // the header alone is sound

    // Null handles and pointers, and indexes past the end.
    zas_archive* none = nullptr;
    EXPECT_EQ(zas_open(nullptr, 0, &none), ZAS_E_INVALID);
    EXPECT_EQ(zas_entry_count(nullptr, nullptr), ZAS_E_INVALID);
    EXPECT_EQ(zas_close(nullptr), ZAS_OK);
    writeFromMemory(dir / "good.zas", {{"a", "b"}}, false);
    Archive good(dir / "good.zas");
    zas_stat stat;
    EXPECT_EQ(zas_stat_index(good.handle, 1, &stat), ZAS_E_INDEX);
    zas_file* file = nullptr;
    EXPECT_EQ(zas_fopen_index(good.handle, 5, &file), ZAS_E_INDEX);
    EXPECT_EQ(file, nullptr);
}

// A damaged block: a stream reports it, never yields more than the entry's
// size, and keeps reporting it.
TEST(Api, ReportsDamagedEntriesWhereverTheyAreRead) {
    TempDir dir;
    const std::string big = content(5, 200000);
    writeFromMemory(dir / "a.zas", {{"big.bin", big}, {"after.txt", "after"}}, true);
    std::string bytes = readFile(dir / "a.zas");
    {
        Archive archive(dir / "a.zas");
        zas_stat stat;
        ASSERT_EQ(zas_stat_index(archive.handle, 0, &stat), ZAS_OK);
        // Cut the coded stream short: its last 100 bytes become the next entry's.
        bytes[stat.offset + 8] = static_cast<char>(bytes[stat.offset + 8] - 100);
    }
    writeFile(dir / "cut.zas", bytes);
    Archive archive(dir / "cut.zas");
    ASSERT_EQ(archive.status, ZAS_OK);
    std::string whole(big.size(), '\0');
    std::size_t got = 0;
    EXPECT_EQ(zas_read_index(archive.handle, 0, whole.data(), whole.size(), &got), ZAS_E_ENTRY_DAMAGED);
    EXPECT_EQ(zas_test_index(archive.handle, 0), ZAS_E_ENTRY_DAMAGED);
    int status = ZAS_OK;
    const std::string streamed = readStream(archive.handle, 0, 5000, &status);
    EXPECT_EQ(status, ZAS_E_ENTRY_DAMAGED);
    EXPECT_LE(streamed.size(), big.size());
    EXPECT_TRUE(big.compare(0, streamed.size(), streamed) == 0);
    // The entry after it is where the table says.
    EXPECT_EQ(readStream(archive.handle, 1, 100), "after");
}

// Hostile names through the API: the extraction skips them with events and
// writes nothing outside the destination.
TEST(Api, ExtractsHostileArchivesOnlyBelowTheDestination) {
    TempDir dir;
    writeFile(dir / "h.zas", archiveBytes({{"\\"}, {"\\..\\"}, {"\\ok\\"}},
                                          {{"escape.txt", "out", 1}, {"..", "dots", 0}, {"fine.txt", "fine", 2}}));
    Archive archive(dir / "h.zas");
    ASSERT_EQ(archive.status, ZAS_OK);
    zas_stat stat;
    ASSERT_EQ(zas_stat_index(archive.handle, 0, &stat), ZAS_OK);
    EXPECT_NE(stat.flags & ZAS_STAT_UNSAFE, 0u);
    ASSERT_EQ(zas_stat_index(archive.handle, 2, &stat), ZAS_OK);
    EXPECT_EQ(stat.flags & ZAS_STAT_UNSAFE, 0u);

    std::vector<std::pair<int, std::string>> events;
    zas_set_event_callback(
        archive.handle,
        [](const zas_event* event, void* user) {
            if (event->type != ZAS_EVENT_EXTRACT_FILE && event->type != ZAS_EVENT_HEARTBEAT)
                static_cast<std::vector<std::pair<int, std::string>>*>(user)->emplace_back(
                    event->type, event->path != nullptr ? event->path : "");
            return 0;
        },
        &events);
    fs::create_directories(dir / "a" / "dest");
    zas_extract_counts counts{};
    EXPECT_EQ(zas_extract_all(archive.handle, (dir / "a" / "dest").string().c_str(), &counts), ZAS_E_INCOMPLETE);
    EXPECT_EQ(counts.extracted, 1u);
    EXPECT_EQ(counts.failed, 2u);
    EXPECT_EQ(namesIn(dir / "a"), (std::set<std::string>{"dest"}));
    EXPECT_EQ(readFile(dir / "a" / "dest" / "ok" / "fine.txt"), "fine");
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().first, ZAS_EVENT_EXTRACT_BEGIN);
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const auto& event) { return event.first == ZAS_EVENT_DIR_SKIPPED; }),
              1);
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const auto& event) { return event.first == ZAS_EVENT_FILE_SKIPPED; }),
              2);

    // One entry alone: its directory comes with it.
    const fs::path one = dir / "one";
    EXPECT_EQ(zas_extract_index(archive.handle, 2, one.string().c_str()), ZAS_OK);
    EXPECT_EQ(readFile(one / "ok" / "fine.txt"), "fine");
    EXPECT_EQ(zas_extract_index(archive.handle, 0, one.string().c_str()), ZAS_E_INCOMPLETE);
}

// The writer's way through a tree is the program's: the same key seed gives
// the same archive, byte for byte.
TEST(Api, WritesWhatTheProgramWritesForTheSameTree) {
    TempDir dir;
    writeFile(dir / "data" / "maps" / "harbour.map", content(11, 70000));
    writeFile(dir / "data" / "Readme.txt", "read me");
    writeFile(dir / "data" / "empty", "");
    writeFile(dir / "data" / "units" / "units.ini", content(12, 3000));
    fs::create_directories(dir / "data" / "nothing");
    setEnvironment("SOURCE_DATE_EPOCH", "1234");
    for (const bool compress : {false, true}) {
        for (const bool excludePath : {false, true}) {
            SCOPED_TRACE(std::string(compress ? "-c " : "") + (excludePath ? "-p" : ""));
            std::vector<std::string> words{"-a"};
            if (compress)
                words.push_back("-c");
            if (excludePath)
                words.push_back("-p");
            words.insert(words.end(), {"data", "program.zas"});
            ASSERT_EQ(runZas(words, dir.path()).status, 1);

            const WorkingDirectory inside(dir.path());
            {
                Writer writer("library.zas");
                ASSERT_EQ(writer.status, ZAS_OK);
                zas_writer_set_option(writer.handle, ZAS_OPT_SEED, 1234);
                zas_writer_set_option(writer.handle, ZAS_OPT_COMPRESS, compress);
                zas_writer_set_option(writer.handle, ZAS_OPT_THREADS, 2);
                ASSERT_EQ(zas_writer_add_tree(writer.handle, "data", excludePath ? ZAS_TREE_EXCLUDE_PATH : 0),
                          ZAS_OK);
                std::uint64_t files = 0;
                std::uint64_t dirs = 0;
                zas_writer_counts(writer.handle, &files, &dirs);
                EXPECT_EQ(files, 4u);
                EXPECT_EQ(dirs, excludePath ? 4u : 5u);
                ASSERT_EQ(zas_writer_finish(writer.handle), ZAS_OK);
                EXPECT_EQ(zas_writer_finish(writer.handle), ZAS_E_STATE);
                EXPECT_EQ(zas_writer_add_dir(writer.handle, "late", ZAS_NO_DATE), ZAS_E_STATE);
            }
            EXPECT_TRUE(readFile("library.zas") == readFile("program.zas"));
        }
    }
    setEnvironment("SOURCE_DATE_EPOCH", nullptr);
}

TEST(Api, WriterRefusesNamesAndDatesItCannotStore) {
    TempDir dir;
    Writer writer(dir / "a.zas");
    ASSERT_EQ(writer.status, ZAS_OK);
    for (const char* name : {"", "a/", "a/../b", "./a", "a//b", ".."})
        EXPECT_EQ(zas_writer_add_buffer(writer.handle, name, "x", 1, ZAS_NO_DATE), ZAS_E_NAME) << name;
    EXPECT_EQ(zas_writer_add_buffer(writer.handle, "a", "x", 1, -20000000000000), ZAS_E_INVALID); // before 1601
    EXPECT_EQ(zas_writer_add_path(writer.handle, "a", (dir / "missing").string().c_str()), ZAS_E_OPEN);
    EXPECT_EQ(zas_writer_add_tree(writer.handle, "../up", 0), ZAS_E_NAME);
    EXPECT_EQ(zas_writer_set_option(writer.handle, ZAS_OPT_COMPRESS, 2), ZAS_E_INVALID);
    EXPECT_EQ(zas_writer_set_option(writer.handle, 999, 0), ZAS_E_INVALID);

    writeFile(dir / "taken.zas", "older");
    Writer exclusive(dir / "taken.zas", ZAS_WRITE_EXCLUSIVE);
    EXPECT_EQ(exclusive.status, ZAS_E_EXISTS);
    EXPECT_EQ(readFile(dir / "taken.zas"), "older");
}

// A callback that asks to stop: nothing half written is left, an older
// archive stays, and no source is deleted in move mode.
TEST(Api, CancellingLeavesNothingBehind) {
    TempDir dir;
    // Past a megabyte, so that a heartbeat comes in the middle of a file.
    const std::size_t size = quickTests() ? (3 << 20) / 2 : 3 << 20;
    writeFile(dir / "data" / "a.bin", content(21, size));
    writeFile(dir / "data" / "b.bin", content(22, size));
    writeFile(dir / "old.zas", "an older archive");
    const WorkingDirectory inside(dir.path());

    int stopAt = 0;
    for (const int type : {ZAS_EVENT_GATHER_FILE, ZAS_EVENT_WRITE_FILE, ZAS_EVENT_HEARTBEAT}) {
        SCOPED_TRACE(type);
        Writer writer("old.zas");
        zas_writer_set_option(writer.handle, ZAS_OPT_MOVE, 1);
        zas_writer_set_option(writer.handle, ZAS_OPT_COMPRESS, 1);
        stopAt = type;
        zas_writer_set_event_callback(
            writer.handle,
            [](const zas_event* event, void* user) { return event->type == *static_cast<int*>(user) ? 1 : 0; },
            &stopAt);
        int status = zas_writer_add_tree(writer.handle, "data", 0);
        if (status == ZAS_OK)
            status = zas_writer_finish(writer.handle);
        EXPECT_EQ(status, ZAS_E_CANCELLED);
        EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"data", "old.zas"}));
        EXPECT_EQ(readFile("old.zas"), "an older archive");
        EXPECT_EQ(namesIn(dir / "data"), (std::set<std::string>{"a.bin", "b.bin"}));
    }

    // Extraction: the file being written when the call stops is removed.
    writeFromMemory("whole.zas", {{"a.bin", content(23, size)}}, true);
    Archive archive("whole.zas");
    zas_set_event_callback(
        archive.handle, [](const zas_event* event, void*) { return event->type == ZAS_EVENT_HEARTBEAT ? 1 : 0; },
        nullptr);
    EXPECT_EQ(zas_extract_all(archive.handle, "out", nullptr), ZAS_E_CANCELLED);
    EXPECT_TRUE(namesIn("out").empty());
}

// Different handles in different threads, and one archive shared by several
// readers, each with its own stream.
TEST(Api, HandlesServeSeveralThreads) {
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> files;
    for (int i = 0; i < 12; ++i)
        files.emplace_back("f" + std::to_string(i), content(100 + i, 20000 + 7000 * i));
    writeFromMemory(dir / "shared.zas", files, true);
    Archive shared(dir / "shared.zas");
    ASSERT_EQ(shared.status, ZAS_OK);

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            // Each thread also writes and reads an archive of its own.
            const fs::path own = dir / ("own" + std::to_string(t) + ".zas");
            writeFromMemory(own, {{"x", content(200 + t, 50000)}}, true);
            Archive mine(own);
            if (readStream(mine.handle, 0, 3000 + t) != content(200 + t, 50000))
                ++mismatches;
            for (std::uint64_t i = 0; i < files.size(); ++i) {
                const std::uint64_t index = (i + static_cast<std::uint64_t>(t)) % files.size();
                if (readStream(shared.handle, index, 4096 + static_cast<std::size_t>(t)) != files[index].second)
                    ++mismatches;
                std::string whole(files[index].second.size(), '\0');
                std::size_t got = 0;
                if (zas_read_index(shared.handle, index, whole.data(), whole.size(), &got) != ZAS_OK ||
                    whole != files[index].second)
                    ++mismatches;
                if (locate(shared.handle, files[index].first.c_str()) != index)
                    ++mismatches;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// Move mode deletes only what it stored: a file written to after it was
// read stays, with an event that names it, whatever its size now.
TEST(Api, MoveKeepsAFileThatChangedAfterItWasRead) {
    TempDir dir;
    writeFile(dir / "data" / "a_notes.txt", "version 1");
    writeFile(dir / "data" / "b_same.txt", "version 1");
    writeFile(dir / "data" / "c_big.bin", content(31, 1 << 20));
    const WorkingDirectory inside(dir.path());
    struct Seen {
        std::vector<std::string> kept;
    } seen;
    Writer writer("out.zas");
    zas_writer_set_option(writer.handle, ZAS_OPT_MOVE, 1);
    zas_writer_set_event_callback(
        writer.handle,
        [](const zas_event* event, void* user) {
            if (event->type == ZAS_EVENT_WRITE_FILE && std::string(event->path) == "data\\c_big.bin") {
                // Both were read; one grows, the other keeps its size.
                writeFile("data/a_notes.txt", "version 2 - an edit made while the move runs");
                writeFile("data/b_same.txt", "version 2");
            }
            if (event->type == ZAS_EVENT_SOURCE_KEPT && event->reason == ZAS_REASON_CHANGED)
                static_cast<Seen*>(user)->kept.emplace_back(event->path);
            return 0;
        },
        &seen);
    ASSERT_EQ(zas_writer_add_tree(writer.handle, "data", 0), ZAS_OK);
    ASSERT_EQ(zas_writer_finish(writer.handle), ZAS_OK);
    EXPECT_EQ(seen.kept, (std::vector<std::string>{"data\\a_notes.txt", "data\\b_same.txt"}));
    EXPECT_EQ(readFile("data/a_notes.txt"), "version 2 - an edit made while the move runs");
    EXPECT_EQ(readFile("data/b_same.txt"), "version 2");
    EXPECT_FALSE(fs::exists("data/c_big.bin"));
}

TEST(Api, NoticesAnArchiveChangedSinceItWasOpened) {
    TempDir dir;
    writeFromMemory(dir / "a.zas", {{"a", "abc"}}, false);
    Archive archive(dir / "a.zas");
    EXPECT_EQ(zas_check_unchanged(archive.handle), ZAS_OK);
    {
        std::FILE* file = std::fopen((dir / "a.zas").string().c_str(), "ab");
        ASSERT_NE(file, nullptr);
        std::fputs("more", file);
        std::fclose(file);
    }
    EXPECT_EQ(zas_check_unchanged(archive.handle), ZAS_E_CHANGED);
}

} // namespace
