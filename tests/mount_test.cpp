// zas-mount end to end: archives mounted through FUSE and read with the
// system's calls and tools. Every mount is undone when its test ends, pass
// or fail; should this process die, the mount's own process gets SIGTERM
// and unmounts. Needs /dev/fuse and the right to mount (root): without them
// the tests fail, naming what is missing.
#include "ArchiveFixture.h"
#include "TestSupport.h"

#include "archive/Lzss.h"

#include <zas.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

bool isMounted(const fs::path& point) {
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountedOn;
        if (fields >> id >> parent >> device >> root >> mountedOn && mountedOn == point.string())
            return true;
    }
    return false;
}

struct Exit {
    int status = -1; // the exit status, -1 when killed
    std::string errors;
};

int waitFor(pid_t child, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Starts a program with its standard error going to a file.
pid_t start(const std::vector<std::string>& words, const fs::path& errors) {
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int output = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int nothing = open("/dev/null", O_RDWR);
        dup2(output, STDERR_FILENO);
        dup2(nothing, STDOUT_FILENO);
        dup2(nothing, STDIN_FILENO);
        std::vector<char*> argv;
        for (const std::string& word : words)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

Exit runMount(const std::vector<std::string>& words, const fs::path& errors) {
    std::vector<std::string> all{ZAS_MOUNT_EXECUTABLE};
    all.insert(all.end(), words.begin(), words.end());
    Exit result;
    result.status = waitFor(start(all, errors), 30s);
    result.errors = readFile(errors);
    return result;
}

int runTool(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// zas-mount -f ARCHIVE POINT for the object's life.
class Mounted {
public:
    Mounted(const fs::path& archive, const fs::path& point, const std::vector<std::string>& options = {})
        : m_point(point), m_errors(point.string() + ".errors") {
        fs::create_directories(point);
        std::vector<std::string> words{ZAS_MOUNT_EXECUTABLE, "-f"};
        words.insert(words.end(), options.begin(), options.end());
        words.push_back(archive.string());
        words.push_back(point.string());
        m_process = start(words, m_errors);
        const auto until = std::chrono::steady_clock::now() + 20s;
        while (!isMounted(point) && std::chrono::steady_clock::now() < until) {
            int status = 0;
            if (waitpid(m_process, &status, WNOHANG) == m_process) {
                m_process = -1;
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
    }
    ~Mounted() { unmount(); }
    Mounted(const Mounted&) = delete;
    Mounted& operator=(const Mounted&) = delete;

    bool mounted() const { return isMounted(m_point); }
    std::string errors() const { return readFile(m_errors); }
    std::string why() const {
        return "zas-mount did not mount " + m_point.string() + "; it said: " + errors() +
               (access("/dev/fuse", R_OK | W_OK) != 0 ? "\n/dev/fuse is missing or not usable" : "");
    }

    // Unmounts as a user would; the exit status of zas-mount.
    int unmount() {
        if (isMounted(m_point) && runTool("fusermount3 -u '" + m_point.string() + "'") != 0)
            umount2(m_point.c_str(), MNT_DETACH);
        int status = -1;
        if (m_process > 0)
            status = waitFor(m_process, 20s);
        m_process = -1;
        if (isMounted(m_point))
            umount2(m_point.c_str(), MNT_DETACH);
        return status;
    }

private:
    fs::path m_point;
    fs::path m_errors;
    pid_t m_process = -1;
};

// Fails the test (never skips it) where FUSE cannot be used at all.
#define ASSERT_MOUNTED(mount)                                                                                   \
    ASSERT_EQ(access("/dev/fuse", F_OK), 0) << "/dev/fuse is missing: the mount tests need FUSE (modprobe fuse;" \
                                               " in a container, give it /dev/fuse)";                         \
    ASSERT_TRUE((mount).mounted()) << (mount).why()

std::string patterned(std::size_t size, unsigned seed, bool compressible) {
    std::mt19937 random(seed);
    std::string bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
        if (compressible)
            bytes += "record " + std::to_string(random() % 5000) + " of the harbour map;\n";
        else
            bytes += static_cast<char>(random());
    }
    bytes.resize(size);
    return bytes;
}

timespec millisecondTime(int index) {
    return timespec{946684800 + index * 3607, (index * 137 % 1000) * 1000000L};
}

void setTime(const fs::path& path, timespec time) {
    const timespec times[2] = {time, time};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// A tree with nested directories and the sizes that matter around the
// archive's 4096-byte ring and the kernel's pages, each item dated to the
// millisecond.
struct SourceTree {
    explicit SourceTree(const fs::path& root) : root(root) {
        const std::vector<std::pair<std::string, std::string>> files = {
            {"empty", ""},
            {"one", "x"},
            {"maps/page-less", patterned(4095, 1, true)},
            {"maps/page", patterned(4096, 2, false)},
            {"maps/deep/er/noise", patterned(70000, 3, false)},
            {"maps/deep/er/text", patterned(70000, 4, true)},
            {"sounds/large", patterned((1 << 20) + 12345, 5, true)},
            {"sounds/large-noise", patterned((1 << 20) + 3, 6, false)},
        };
        int index = 0;
        for (const auto& [name, content] : files) {
            writeFile(root / name, content);
            setTime(root / name, millisecondTime(++index));
            contents[name] = content;
        }
        fs::create_directories(root / "nothing");
        for (const char* directory : {"maps/deep/er", "maps/deep", "maps", "sounds", "nothing", ""})
            setTime(root / directory, millisecondTime(++index));
    }
    fs::path root;
    std::map<std::string, std::string> contents;
};

void writeArchive(const fs::path& source, const fs::path& archive, bool compress) {
    zas_writer* writer = nullptr;
    ASSERT_EQ(zas_writer_open(archive.c_str(), 0, &writer), ZAS_OK);
    EXPECT_EQ(zas_writer_set_option(writer, ZAS_OPT_COMPRESS, compress ? 1 : 0), ZAS_OK);
    EXPECT_EQ(zas_writer_add_tree(writer, source.c_str(), ZAS_TREE_EXCLUDE_PATH), ZAS_OK);
    EXPECT_EQ(zas_writer_finish(writer), ZAS_OK);
    zas_writer_free(writer);
}

void extract(const fs::path& archive, const fs::path& destination) {
    zas_archive* opened = nullptr;
    ASSERT_EQ(zas_open(archive.c_str(), 0, &opened), ZAS_OK);
    zas_extract_all(opened, destination.c_str(), nullptr);
    zas_close(opened);
}

struct Item {
    struct stat st {};
    std::string content;
};

// Every item under root by its relative path, with its attributes and, for
// a file, its bytes.
std::map<std::string, Item> walk(const fs::path& root) {
    std::map<std::string, Item> items;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        Item item;
        EXPECT_EQ(lstat(entry.path().c_str(), &item.st), 0) << entry.path();
        if (S_ISREG(item.st.st_mode))
            item.content = readFile(entry.path());
        items[fs::relative(entry.path(), root).string()] = item;
    }
    return items;
}

bool sameTime(const timespec& one, const timespec& other) {
    return one.tv_sec == other.tv_sec && one.tv_nsec == other.tv_nsec;
}

class MountTest : public ::testing::Test {
protected:
    TempDir temp;
};

// The tree is what extraction leaves on disk, with the sources' bytes and
// dates, read-only modes, directory link counts and block counts, and the
// same inode numbers on every mount; diff and cp work on it, and zas-mount
// exits 0 once it is unmounted.
TEST_F(MountTest, ShowsTheTreeThatExtractionLeaves) {
    const SourceTree source(temp / "source");
    for (const bool compress : {false, true}) {
        SCOPED_TRACE(compress ? "compressed" : "stored");
        const fs::path archive = temp / (compress ? "c.zas" : "s.zas");
        writeArchive(source.root, archive, compress);
        const fs::path extracted = temp / (compress ? "c.out" : "s.out");
        extract(archive, extracted);

        std::map<std::string, ino_t> inodes;
        for (int round = 0; round < 2; ++round) {
            Mounted mount(archive, temp / "mnt");
            ASSERT_MOUNTED(mount);
            EXPECT_EQ(runTool("diff -r '" + source.root.string() + "' '" + (temp / "mnt").string() + "'"), 0);
            const auto shown = walk(temp / "mnt");
            const auto expected = walk(extracted);
            ASSERT_EQ(shown.size(), expected.size());
            std::map<std::string, nlink_t> subdirectories;
            for (const auto& [path, item] : shown) {
                if (S_ISDIR(item.st.st_mode))
                    ++subdirectories[fs::path(path).parent_path().string()];
            }
            std::set<ino_t> distinct;
            for (const auto& [path, item] : shown) {
                SCOPED_TRACE(path);
                ASSERT_TRUE(expected.contains(path));
                const Item& disk = expected.at(path);
                const struct stat& st = item.st;
                EXPECT_TRUE(sameTime(st.st_mtim, disk.st.st_mtim));
                EXPECT_EQ(item.content, disk.content);
                if (S_ISDIR(disk.st.st_mode)) {
                    EXPECT_EQ(st.st_mode, S_IFDIR | 0555);
                    // A directory's link count is what find and its kin count on.
                    EXPECT_EQ(st.st_nlink, 2 + subdirectories[path]);
                } else {
                    EXPECT_EQ(st.st_mode, S_IFREG | 0444);
                    EXPECT_EQ(st.st_size, disk.st.st_size);
                    EXPECT_EQ(st.st_blocks, (st.st_size + 511) / 512);
                    EXPECT_EQ(st.st_nlink, 1u);
                    struct stat original {};
                    ASSERT_EQ(stat((source.root / path).c_str(), &original), 0);
                    EXPECT_TRUE(sameTime(st.st_mtim, original.st_mtim));
                }
                distinct.insert(st.st_ino);
                if (round == 0)
                    inodes[path] = st.st_ino;
                else
                    EXPECT_EQ(st.st_ino, inodes[path]) << "inode numbers differ between two mounts";
            }
            EXPECT_EQ(distinct.size(), shown.size()) << "two items share an inode number";
            if (round == 1) {
                const fs::path copy = temp / (compress ? "c.copy" : "s.copy");
                ASSERT_EQ(runTool("cp -a '" + (temp / "mnt").string() + "' '" + copy.string() + "'"), 0);
                EXPECT_EQ(runTool("diff -r '" + source.root.string() + "' '" + copy.string() + "'"), 0);
                struct stat copied {};
                ASSERT_EQ(stat((copy / "sounds/large").c_str(), &copied), 0);
                EXPECT_TRUE(sameTime(copied.st_mtim, shown.at("sounds/large").st.st_mtim));
            }
            EXPECT_EQ(mount.unmount(), 0) << mount.errors();
            EXPECT_FALSE(isMounted(temp / "mnt"));
        }
    }
}

struct ReadCase {
    std::string path;
    int flags;
};

// Reads of any offset and length, from one thread and from several at once
// (each with its own descriptor, and several sharing one), give the
// sources' bytes. O_DIRECT sends each read to zas-mount as it is made,
// bypassing the page cache.
TEST_F(MountTest, ReadsAtAnyOffsetFromSeveralReaders) {
    const SourceTree source(temp / "source");
    for (const bool compress : {true, false}) {
        SCOPED_TRACE(compress ? "compressed" : "stored");
        const fs::path archive = temp / "a.zas";
        writeArchive(source.root, archive, compress);
        Mounted mount(archive, temp / "mnt");
        ASSERT_MOUNTED(mount);

        std::mutex failuresMutex;
        std::vector<std::string> failures;
        const auto readRandomly = [&](int descriptor, const std::string& path, unsigned seed, int count) {
            const std::string& expected = source.contents.at(path);
            std::mt19937 random(seed);
            std::string buffer;
            for (int i = 0; i < count; ++i) {
                const std::size_t offset = random() % (expected.size() + 100);
                const std::size_t length = 1 + random() % (i % 4 == 0 ? 300000 : 9000);
                buffer.assign(length, '\0');
                const ssize_t got = pread(descriptor, buffer.data(), length, static_cast<off_t>(offset));
                const std::string want = offset < expected.size() ? expected.substr(offset, length) : "";
                if (got < 0 || buffer.substr(0, static_cast<std::size_t>(got)) != want) {
                    const std::lock_guard lock(failuresMutex);
                    failures.push_back(path + ": " + std::to_string(length) + " bytes at " + std::to_string(offset) +
                                       (got < 0 ? ": " + std::string(std::strerror(errno)) : ": wrong bytes"));
                }
            }
        };
        const std::vector<ReadCase> cases = {
            {"sounds/large", O_RDONLY}, {"sounds/large", O_RDONLY | O_DIRECT},
            {"sounds/large-noise", O_RDONLY | O_DIRECT}, {"maps/deep/er/text", O_RDONLY | O_DIRECT},
            {"maps/page-less", O_RDONLY}, {"one", O_RDONLY | O_DIRECT},
        };
        std::vector<int> descriptors;
        for (const ReadCase& read : cases) {
            descriptors.push_back(open((temp / "mnt" / read.path).c_str(), read.flags));
            ASSERT_GE(descriptors.back(), 0) << read.path << ": " << std::strerror(errno);
        }
        for (std::size_t i = 0; i < cases.size(); ++i)
            readRandomly(descriptors[i], cases[i].path, 20261211 + static_cast<unsigned>(i), 150);
        // At once: a reader per descriptor, and two more on the first direct one.
        std::vector<std::thread> readers;
        for (std::size_t i = 0; i < cases.size() + 2; ++i) {
            const std::size_t which = i < cases.size() ? i : 1;
            readers.emplace_back(readRandomly, descriptors[which], cases[which].path, 7 + static_cast<unsigned>(i), 60);
        }
        for (std::thread& reader : readers)
            reader.join();
        for (const int descriptor : descriptors)
            close(descriptor);
        for (const std::string& failure : failures)
            ADD_FAILURE() << failure;
    }
}

// An entry whose block is cut short and one whose stored bytes run past the
// archive's end: the reads that reach the damage fail with EIO, the bytes
// before it still read, and so do the other files; the mount stays up.
TEST_F(MountTest, DamagedEntriesFailTheReadsThatReachThem) {
    // Noise: the block is about as long as the file, so that the part left
    // still agrees with the size recorded and the damage shows only where
    // decoding reaches it.
    const std::string text = patterned(600000, 9, false);
    LzssContext codec;
    std::string block(worstCaseBlockSize(text.size()), '\0');
    const auto length = static_cast<std::size_t>(encodeBlock(codec, reinterpret_cast<const unsigned char*>(text.data()),
                                                             reinterpret_cast<unsigned char*>(block.data()),
                                                             static_cast<std::uint32_t>(text.size())));
    // The coded stream cut at two thirds, the block's header saying so.
    const std::size_t cut = kBlockHeaderSize + (length - kBlockHeaderSize) * 2 / 3;
    block.resize(cut);
    const std::uint32_t packed = static_cast<std::uint32_t>(cut - kBlockHeaderSize);
    for (int i = 0; i < 4; ++i)
        block[kPackedSizeOffset + i] = static_cast<char>(packed >> (8 * i));
    const std::string good = patterned(5000, 10, false);
    zvector<FileEntry> files;
    files.push_back(fileEntry("good", 5000, 5000, 0));
    files.push_back(fileEntry("cut", static_cast<std::uint32_t>(text.size()), static_cast<std::uint32_t>(cut), 0,
                              kStorageCompressed));
    files.push_back(fileEntry("short", 9000, 9000, 0));
    const fs::path archive = temp / "damaged.zas";
    writeFile(archive, archiveBytes(files, {{"\\"}}, good + block + std::string(4000, 's')));

    Mounted mount(archive, temp / "mnt");
    ASSERT_MOUNTED(mount);
    const fs::path point = temp / "mnt";
    const int direct = open((point / "cut").c_str(), O_RDONLY | O_DIRECT);
    ASSERT_GE(direct, 0);
    std::string buffer(4096, '\0');
    ASSERT_EQ(pread(direct, buffer.data(), buffer.size(), 0), 4096);
    EXPECT_EQ(buffer, text.substr(0, 4096));
    EXPECT_EQ(pread(direct, buffer.data(), buffer.size(), 590000), -1);
    EXPECT_EQ(errno, EIO);
    // The bytes before the damage, again after the failure.
    ASSERT_EQ(pread(direct, buffer.data(), buffer.size(), 8192), 4096);
    EXPECT_EQ(buffer, text.substr(8192, 4096));
    close(direct);
    for (const char* name : {"cut", "short"}) {
        SCOPED_TRACE(name);
        const int plain = open((point / name).c_str(), O_RDONLY);
        std::string all(700000, '\0');
        ssize_t got = 0;
        while ((got = read(plain, all.data(), all.size())) > 0) {
        }
        EXPECT_EQ(got, -1);
        EXPECT_EQ(errno, EIO);
        close(plain);
    }
    EXPECT_EQ(readFile(point / "good"), good);
    EXPECT_TRUE(mount.mounted());
}

// A hostile archive: names that would lead out of the destination, a slash
// inside a name, a missing directory entry, duplicates, a file where a
// directory stands. The mount shows what extraction leaves on disk, nothing
// appears outside it, and each hidden name has its line on standard error.
TEST_F(MountTest, ShowsOnlyWhatExtractionWritesFromAHostileArchive) {
    const ArchiveDate d1 = makeDate(2001, 1, 1, 10, 0, 0, 1);
    const ArchiveDate d2 = makeDate(2002, 2, 2, 11, 0, 0, 2);
    const ArchiveDate d3 = makeDate(2003, 3, 3, 12, 0, 0, 3);
    const ArchiveDate fileDate = makeDate(2004, 4, 4, 13, 0, 0, 4);
    const std::vector<TestDir> dirs = {
        {"\\", d1},        {"\\..\\", d3},   {"\\a\\", d1}, {"\\a\\b\\", d2},
        {"\\x/y\\", d3},   {"\\a\\", d3},    {"\\c\\", {}}, {"\\a\\..\\..\\", d3},
    };
    const std::vector<TestFile> files = {
        {"ok.txt", "fine", 0, fileDate},   {"evil.txt", "escaped", 1, fileDate}, {"..", "dots", 0, fileDate},
        {"s/lash", "slash", 0, fileDate},  {"dup", "first", 2, fileDate},        {"dup", "second", 5, fileDate},
        {"b", "not a directory", 2, fileDate}, {"lost", "no directory", 99, fileDate}, {"in-c", "c", 6, fileDate},
        {"bell\a", "bell", 1, fileDate},   {"Case", "upper", 0, fileDate},       {"case", "lower", 0, fileDate},
        {"deep", "refused directory", 4, fileDate},
    };
    const fs::path archive = temp / "hostile.zas";
    writeFile(archive, archiveBytes(dirs, files));
    const fs::path extracted = temp / "extracted";
    extract(archive, extracted);

    const fs::path point = temp / "box" / "mnt";
    {
        Mounted mount(archive, point);
        ASSERT_MOUNTED(mount);
        const auto shown = walk(point);
        std::map<std::string, std::string> listing;
        for (const auto& [path, item] : shown)
            listing[path] = S_ISDIR(item.st.st_mode) ? "/" : item.content;
        const std::map<std::string, std::string> expected = {
            {"ok.txt", "fine"}, {"Case", "upper"}, {"case", "lower"}, {"a", "/"},      {"a/dup", "second"},
            {"a/b", "/"},       {"c", "/"},        {"c/in-c", "c"},
        };
        EXPECT_EQ(listing, expected);
        const auto onDisk = walk(extracted);
        ASSERT_EQ(onDisk.size(), shown.size());
        for (const auto& [path, item] : onDisk) {
            SCOPED_TRACE(path);
            ASSERT_TRUE(shown.contains(path));
            EXPECT_EQ(shown.at(path).content, item.content);
        }
        // Each level has the date of the last dated directory entry through
        // it; one that none dates shows the archive's own time.
        EXPECT_TRUE(sameTime(shown.at("a").st.st_mtim, onDisk.at("a").st.st_mtim));
        EXPECT_TRUE(sameTime(shown.at("a/b").st.st_mtim, onDisk.at("a/b").st.st_mtim));
        EXPECT_EQ(shown.at("a").st.st_mtim.tv_sec,
                  std::chrono::duration_cast<std::chrono::seconds>(timeOf(d3).time_since_epoch()).count());
        struct stat top {}, archiveStat {};
        ASSERT_EQ(stat(point.c_str(), &top), 0);
        EXPECT_TRUE(sameTime(top.st_mtim, shown.at("a").st.st_mtim));
        ASSERT_EQ(stat(archive.c_str(), &archiveStat), 0);
        EXPECT_EQ(shown.at("c").st.st_mtim.tv_sec, archiveStat.st_mtim.tv_sec);

        // One line for each hidden entry.
        const std::string errors = mount.errors();
        for (const char* name : {"\\..\\", "\\x/y\\", "\\a\\..\\..\\", "\\..\\evil.txt", "\\..", "\\s/lash",
                                 "\\a\\b", "lost", "\\..\\bell\\x07", "\\x/y\\deep"}) {
            EXPECT_NE(errors.find(name), std::string::npos) << name << " is not named in: " << errors;
        }
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 10) << errors;
        EXPECT_EQ(errors.find('\a'), std::string::npos);
    }
    // Nothing beside the mount point.
    std::set<std::string> beside;
    for (const auto& entry : fs::directory_iterator(temp / "box"))
        beside.insert(entry.path().filename().string());
    EXPECT_EQ(beside, (std::set<std::string>{"mnt", "mnt.errors"}));
    EXPECT_TRUE(fs::is_empty(point));
}

// Once the archive changes on disk, reads and opens fail instead of giving
// bytes of another archive, those the kernel kept from before too; names
// and attributes still answer.
TEST_F(MountTest, ReadsFailOnceTheArchiveChanges) {
    const SourceTree source(temp / "source");
    const fs::path archive = temp / "a.zas";
    writeArchive(source.root, archive, true);
    Mounted mount(archive, temp / "mnt");
    ASSERT_MOUNTED(mount);
    const int cached = open((temp / "mnt/maps/page").c_str(), O_RDONLY);
    const int direct = open((temp / "mnt/sounds/large").c_str(), O_RDONLY | O_DIRECT);
    ASSERT_GE(cached, 0);
    ASSERT_GE(direct, 0);
    std::string page(4096, '\0');
    ASSERT_EQ(pread(cached, page.data(), page.size(), 0), 4096);
    EXPECT_EQ(page, source.contents.at("maps/page"));
    {
        std::ofstream append(archive, std::ios::binary | std::ios::app);
        append << "more";
    }
    char byte = 0;
    EXPECT_EQ(pread(direct, &byte, 1, 0), -1);
    EXPECT_EQ(errno, EIO);
    errno = 0;
    EXPECT_EQ(open((temp / "mnt/one").c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, EIO);
    // The kernel's copy of the page read before goes soon after.
    ssize_t got = 0;
    for (int attempt = 0; attempt < 500 && (got = pread(cached, page.data(), page.size(), 0)) >= 0; ++attempt)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(got, -1);
    EXPECT_EQ(errno, EIO);
    close(cached);
    close(direct);
    EXPECT_TRUE(fs::is_directory(temp / "mnt/maps/deep"));
    EXPECT_EQ(mount.unmount(), 0);
    EXPECT_NE(mount.errors().find("changed"), std::string::npos) << mount.errors();
}

// Every call that would change the tree fails with EROFS.
TEST_F(MountTest, RefusesEveryChange) {
    const SourceTree source(temp / "source");
    const fs::path archive = temp / "a.zas";
    writeArchive(source.root, archive, false);
    const fs::path point = temp / "mnt";
    Mounted mount(archive, point);
    ASSERT_MOUNTED(mount);
    const std::string file = (point / "maps/page").string();
    const std::string directory = (point / "maps").string();
    const std::string fresh = (point / "fresh").string();
    const auto opened = [](int descriptor) {
        if (descriptor >= 0)
            close(descriptor);
        return descriptor;
    };
    const std::vector<std::pair<std::string, std::function<int()>>> changes = {
        {"open for writing", [&] { return opened(open(file.c_str(), O_WRONLY)); }},
        {"open for reading and writing", [&] { return opened(open(file.c_str(), O_RDWR)); }},
        {"open truncating", [&] { return opened(open(file.c_str(), O_RDONLY | O_TRUNC)); }},
        {"create", [&] { return opened(open(fresh.c_str(), O_WRONLY | O_CREAT, 0644)); }},
        {"mkdir", [&] { return mkdir(fresh.c_str(), 0755); }},
        {"mkfifo", [&] { return mkfifo(fresh.c_str(), 0644); }},
        {"symlink", [&] { return symlink("maps", fresh.c_str()); }},
        {"link", [&] { return link(file.c_str(), fresh.c_str()); }},
        {"unlink", [&] { return unlink(file.c_str()); }},
        {"rmdir", [&] { return rmdir((point / "nothing").c_str()); }},
        {"rename", [&] { return rename(file.c_str(), fresh.c_str()); }},
        {"chmod", [&] { return chmod(file.c_str(), 0644); }},
        {"chown", [&] { return chown(directory.c_str(), 1, 1); }},
        {"truncate", [&] { return truncate(file.c_str(), 0); }},
        {"utimensat", [&] { return utimensat(AT_FDCWD, file.c_str(), nullptr, 0); }},
        {"setxattr", [&] { return setxattr(file.c_str(), "user.note", "x", 1, 0); }},
    };
    for (const auto& [what, change] : changes) {
        errno = 0;
        EXPECT_EQ(change(), -1) << what;
        EXPECT_EQ(errno, EROFS) << what << ": " << std::strerror(errno);
    }
    EXPECT_EQ(readFile(file), source.contents.at("maps/page"));
}

// The command line: what is refused before anything is mounted, with the
// archive named; a mount in the background that fusermount3 undoes.
TEST_F(MountTest, CommandLine) {
    const fs::path point = temp / "mnt";
    fs::create_directories(point);
    writeFile(temp / "plain.txt", "not an archive at all, but long enough for a header..........");
    const SourceTree source(temp / "source");
    const fs::path archive = temp / "a.zas";
    writeArchive(source.root, archive, true);
    const fs::path errors = temp / "errors";
    struct Refusal {
        std::vector<std::string> words;
        std::string message;
    };
    const std::vector<Refusal> refusals = {
        {{}, "Usage: zas-mount"},
        {{archive.string()}, "Usage: zas-mount"},
        {{(temp / "missing.zas").string(), point.string()},
         "zas-mount: " + (temp / "missing.zas").string() + ": " + zas_strerror(ZAS_E_OPEN)},
        {{(temp / "plain.txt").string(), point.string()},
         "zas-mount: " + (temp / "plain.txt").string() + ": " + zas_strerror(ZAS_E_NOT_ARCHIVE)},
        {{"-o", "seek_interval=12", archive.string(), point.string()}, "seek_interval=12"},
        {{"-o", "no_such_option", archive.string(), point.string()}, "no_such_option"},
    };
    for (const Refusal& refusal : refusals) {
        const Exit run = runMount(refusal.words, errors);
        EXPECT_EQ(run.status, 1) << run.errors;
        EXPECT_NE(run.errors.find(refusal.message), std::string::npos) << run.errors;
        EXPECT_FALSE(isMounted(point));
    }
    EXPECT_EQ(runMount({"--help"}, errors).status, 0);

    // In the background, with options passed on: mounted when it returns.
    const Exit background = runMount({"-o", "seek_interval=8192,seek_memory=65536,noatime", archive.string(),
                                      point.string()}, errors);
    const bool mounted = isMounted(point);
    EXPECT_EQ(background.status, 0) << background.errors;
    if (mounted) {
        EXPECT_EQ(readFile(point / "sounds/large"), source.contents.at("sounds/large"));
        EXPECT_EQ(runTool("fusermount3 -u '" + point.string() + "'"), 0);
        if (isMounted(point))
            umount2(point.c_str(), MNT_DETACH);
    }
    ASSERT_TRUE(mounted) << background.errors;
}

} // namespace
