// The program under faults it cannot prevent: a disk that fills up, a
// destination that cannot be written, the process killed half way. Whatever
// happens, no file may be lost: each source file stays on disk byte for byte
// or is in an archive that extracts whole. Tiny file systems are tmpfs
// mounts, so those cases need root and are skipped otherwise.
#include "BuildSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <csignal>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Tree = std::map<std::string, std::string>; // path relative to the tree's root -> content

// A tmpfs mounted at path for the object's lifetime. mounted() is false when
// the system refuses (no root); the test then skips.
class TmpfsMount {
public:
    TmpfsMount(const fs::path& path, const char* options, unsigned long flags = 0) : m_path(path) {
        fs::create_directories(path);
        m_mounted = mount("tmpfs", path.c_str(), "tmpfs", flags, options) == 0;
    }
    ~TmpfsMount() {
        if (m_mounted)
            umount2(m_path.c_str(), MNT_DETACH);
    }
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    bool mounted() const { return m_mounted; }

private:
    fs::path m_path;
    bool m_mounted = false;
};

#define SKIP_UNLESS_MOUNTED(mount)                                                                                   \
    if (!(mount).mounted())                                                                                          \
    GTEST_SKIP() << "mounting a tmpfs needs root"

// Bytes that do not compress, from a fixed seed.
std::string noise(std::uint32_t seed, std::size_t size) {
    std::mt19937_64 random(seed);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t word = random();
        std::memcpy(bytes.data() + i, &word, std::min<std::size_t>(8, size - i));
    }
    return bytes;
}

Tree readTree(const fs::path& root) {
    Tree tree;
    if (!fs::exists(root))
        return tree;
    for (const auto& item : fs::recursive_directory_iterator(root))
        if (item.is_regular_file())
            tree[item.path().lexically_relative(root).generic_string()] = readFile(item.path());
    return tree;
}

void plant(const fs::path& root, const Tree& tree) {
    for (const auto& [name, content] : tree)
        writeFile(root / name, content);
}

// What an archive holds, by extracting it into a scratch folder; empty when
// it cannot be read at all.
Tree extracted(const fs::path& archive) {
    TempDir scratch;
    // (A word that starts with '/' would be read as an option.)
    const ProgramRun run = runZas({"-x", archive.filename().string(), (scratch / "out").string()},
                                  archive.parent_path());
    const Tree tree = readTree(scratch / "out");
    EXPECT_TRUE(run.output.find("Warning") == std::string::npos && !tree.empty())
        << "the archive does not extract whole:\n"
        << run.output;
    return tree;
}

// Every original file is still at its place under root or in the archive
// (when one is named and exists), byte for byte; nothing else is under
// root/data.
void expectNothingLost(const Tree& originals, const fs::path& root, const fs::path& archive) {
    Tree onDisk;
    for (const auto& [name, content] : readTree(root / "data"))
        onDisk["data/" + name] = content;
    const Tree archived = fs::exists(archive) ? extracted(archive) : Tree{};
    for (const auto& [name, content] : originals) {
        const auto disk = onDisk.find(name);
        const auto stored = archived.find(name);
        const bool kept = disk != onDisk.end() && disk->second == content;
        const bool inArchive = stored != archived.end() && stored->second == content;
        EXPECT_TRUE(kept || inArchive) << name << " is lost";
    }
    for (const auto& [name, content] : onDisk)
        EXPECT_EQ(originals.count(name), 1u) << name << " appeared";
}

// Files beside the archive other than the archive itself: what a writer
// that stopped half way would leave.
std::set<std::string> besideArchive(const fs::path& archive) {
    std::set<std::string> names = namesIn(archive.parent_path());
    names.erase(archive.filename().string());
    names.erase("data");
    return names;
}

TEST(FaultsPosix, AnArchiveThatCannotBeWrittenLosesNoSource) {
    // big.bin passes through the copy buffer and the coder several times:
    // the disk fills up in the middle of it.
    const Tree sources = {{"data/a.bin", noise(1, 20000)},
                          {"data/big.bin", noise(10, 400000)},
                          {"data/sub/b.bin", noise(2, 200000)},
                          {"data/sub/c.txt", "small"},
                          {"data/d.bin", noise(3, 200000)}};
    const struct {
        const char* name;
        std::vector<std::string> words;
        const char* archive; // relative to the tmpfs
        unsigned long mountFlags;
        bool olderArchive;
        const char* error;
    } cases[] = {
        {"disk full, add", {"-a", "data", "out.zas"}, "out.zas", 0, false,
         "Error: Could not write archive \"out.zas\"\n"},
        {"disk full, move", {"-m", "data", "out.zas"}, "out.zas", 0, false,
         "Error: Could not write archive \"out.zas\"\n"},
        {"disk full, move, compressed", {"-m", "-c", "data", "out.zas"}, "out.zas", 0, false,
         "Error: Could not write archive \"out.zas\"\n"},
        {"disk full, move over an older archive", {"-m", "data", "out.zas"}, "out.zas", 0, true,
         "Error: Could not write archive \"out.zas\"\n"},
        {"read-only folder, move", {"-m", "data", "ro/out.zas"}, "ro/out.zas", MS_RDONLY, false,
         "Error: Could not create archive \"ro\\out.zas\"\n"},
        {"a file where the folder should be, move", {"-m", "data", "file/out.zas"}, "file/out.zas", 0, false,
         "Error: Could not create archive \"file\\out.zas\"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        // The sources sit on the small file system too, so that moving them
        // frees nothing until the archive is safe.
        const TmpfsMount disk(dir / "disk", "size=1m");
        SKIP_UNLESS_MOUNTED(disk);
        const fs::path root = dir / "disk";
        plant(root, sources);
        writeFile(root / "file", "in the way");
        if (c.olderArchive)
            writeFile(root / c.archive, "an older archive");
        const TmpfsMount readOnly(root / "ro", "size=64k", MS_RDONLY);
        if (c.mountFlags == MS_RDONLY)
            SKIP_UNLESS_MOUNTED(readOnly);

        const ProgramRun run = runZas(c.words, root);
        EXPECT_NE(run.output.find(c.error), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("Archiving completed with errors."), std::string::npos) << run.output;
        expectNothingLost(sources, root, fs::path()); // no archive to look in
        EXPECT_EQ(readFile(root / "file"), "in the way");
        if (c.olderArchive) {
            EXPECT_EQ(readFile(root / c.archive), "an older archive");
        } else {
            EXPECT_FALSE(fs::exists(root / c.archive));
        }
        EXPECT_EQ(besideArchive(root / "out.zas"), (std::set<std::string>{"file", "ro"})) << "a partial file is left";
    }
}

// The same small disk with room for the archive: the move completes, and
// the archive holds every file.
TEST(FaultsPosix, AMoveThatFitsKeepsEveryFileInTheArchive) {
    TempDir dir;
    const TmpfsMount disk(dir / "disk", "size=1m");
    SKIP_UNLESS_MOUNTED(disk);
    const Tree sources = {{"data/a.bin", noise(4, 300000)}, {"data/sub/c.txt", "small"}};
    plant(dir / "disk", sources);
    const ProgramRun run = runZas({"-m", "data", "out.zas"}, dir / "disk");
    EXPECT_NE(run.output.find("Archiving completed."), std::string::npos) << run.output;
    EXPECT_TRUE(extracted(dir / "disk" / "out.zas") == sources);
    expectNothingLost(sources, dir / "disk", dir / "disk" / "out.zas");
}

// An extraction that cannot write where it should: each file it reports as
// extracted is there whole, nothing half written stays, the archive and
// whatever stood in the way are untouched.
TEST(FaultsPosix, AnExtractionThatCannotWriteLeavesNoPartialFile) {
    // big.bin is written in several pieces: the disk fills up in the middle
    // of it.
    const Tree sources = {{"data/a.bin", noise(5, 150000)},
                          {"data/b.bin", noise(6, 150000)},
                          {"data/big.bin", noise(11, 700000)},
                          {"data/c.txt", "small"},
                          {"data/sub/d.bin", noise(7, 150000)}};
    const struct {
        const char* name;
        const char* destination; // relative to the tmpfs
        const char* options;
        unsigned long mountFlags;
        const char* inTheWay; // a file planted under the destination, or null
    } cases[] = {
        {"disk full", "out", "size=256k", 0, nullptr},
        {"read-only disk", "out", "size=256k", MS_RDONLY, nullptr},
        {"the destination is a file", "out", "size=2m", 0, "out"},
        {"a file where a folder should be", "out", "size=2m", 0, "out/data/sub"},
    };
    for (const bool compress : {false, true}) {
        TempDir dir;
        plant(dir / "src", sources);
        std::vector<std::string> words{"-a", "data", "../a.zas"};
        if (compress)
            words.insert(words.begin() + 1, "-c");
        const ProgramRun made = runZas(words, dir / "src");
        ASSERT_EQ(made.output.find("Warning"), std::string::npos) << made.output;
        const std::string archive = readFile(dir / "a.zas");
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (compress ? ", compressed" : ", stored"));
            const fs::path root = dir / c.name;
            const TmpfsMount disk(root, c.options, c.mountFlags);
            SKIP_UNLESS_MOUNTED(disk);
            if (c.inTheWay != nullptr)
                writeFile(root / c.inTheWay, "in the way");

            const ProgramRun run = runZas({"-x", "../a.zas", c.destination}, root);
            EXPECT_NE(run.output.find("Warning: Could not write file"), std::string::npos) << run.output;
            EXPECT_EQ(readFile(dir / "a.zas"), archive);
            if (c.inTheWay != nullptr) {
                EXPECT_EQ(readFile(root / c.inTheWay), "in the way");
            }
            const bool made = fs::is_directory(root / c.destination);
            for (const auto& [name, content] : made ? readTree(root / c.destination) : Tree{}) {
                if (c.inTheWay != nullptr && root / c.destination / name == root / c.inTheWay)
                    continue;
                const auto original = sources.find(name);
                ASSERT_NE(original, sources.end()) << name << " appeared";
                EXPECT_TRUE(content == original->second) << name << " is not whole";
            }
        }
    }
}

// Starts zas in directory with its output thrown away; returns its process id.
pid_t startZas(const std::vector<std::string>& words, const fs::path& directory) {
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        if (chdir(directory.c_str()) != 0)
            _exit(127);
        std::vector<char*> argv{const_cast<char*>("zas")};
        for (const std::string& word : words)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        execv(ZAS_EXECUTABLE, argv.data());
        _exit(127);
    }
    return child;
}

// A large move killed at several points: at once, while the archive is
// being written, right after it takes its name, and half way through
// removing the sources. Whatever the moment, every source file is on disk
// or in the archive, and a file under the archive's name is a whole archive.
// The run may finish before a point is reached; the checks hold then too.
TEST(FaultsPosix, AMoveKilledAtAnyPointLosesNothing) {
    Tree sources;
    const int count = quickTests() ? 120 : 400;
    for (int i = 0; i < count; ++i) {
        std::string content = noise(static_cast<std::uint32_t>(100 + i), 20000);
        content += std::string(20000, static_cast<char>('a' + i % 26)); // something to compress
        sources["data/" + std::to_string(i % 7) + "/file" + std::to_string(i) + ".bin"] = content;
    }
    const struct {
        const char* name;
        std::function<bool(const fs::path&)> reached; // given the working folder
    } points[] = {
        {"at once", [](const fs::path&) { return true; }},
        {"while the archive is written",
         [](const fs::path& root) {
             for (const auto& item : fs::directory_iterator(root))
                 if (item.path().filename().string().starts_with(".zas") && item.file_size() > 4000000)
                     return true;
             return false;
         }},
        {"as the archive takes its name", [](const fs::path& root) { return fs::exists(root / "out.zas"); }},
        {"half way through removing the sources",
         [&sources](const fs::path& root) {
             std::size_t left = 0;
             for (const auto& item : fs::recursive_directory_iterator(root / "data"))
                 left += item.is_regular_file() ? 1 : 0;
             return left < sources.size() / 2;
         }},
    };
    for (const bool compress : {false, true}) {
        for (const auto& point : points) {
            SCOPED_TRACE(std::string(point.name) + (compress ? ", compressed" : ", stored"));
            TempDir dir;
            plant(dir.path(), sources);
            std::vector<std::string> words{"-m", "data", "out.zas"};
            if (compress)
                words.insert(words.begin() + 1, "-c");
            const pid_t child = startZas(words, dir.path());
            ASSERT_GT(child, 0);
            int status = 0;
            for (;;) {
                bool reached = false;
                try {
                    reached = point.reached(dir.path());
                } catch (const fs::filesystem_error&) {
                    // a file went while we looked: look again
                }
                if (reached) {
                    kill(child, SIGKILL);
                    waitpid(child, &status, 0);
                    break;
                }
                if (waitpid(child, &status, WNOHANG) == child)
                    break;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            // A file under the archive's name must extract whole: the
            // check that nothing was lost extracts it.
            expectNothingLost(sources, dir.path(), dir / "out.zas");
        }
    }
}

// Waits until ready says so, then sends signal; the wait for the child to
// end follows. False when the child ended first.
bool signalWhen(pid_t child, int signal, const std::function<bool()>& ready, int& status) {
    for (;;) {
        bool reached = false;
        try {
            reached = ready();
        } catch (const fs::filesystem_error&) {
            // a file went while we looked: look again
        }
        if (reached) {
            kill(child, signal);
            waitpid(child, &status, 0);
            return true;
        }
        if (waitpid(child, &status, WNOHANG) == child)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

// Whether a file whose name begins with ".zas" (a file being written beside
// its final name) holds more than a megabyte somewhere under root.
bool writingUnder(const fs::path& root) {
    for (const auto& item : fs::recursive_directory_iterator(root))
        if (item.path().filename().string().starts_with(".zas") && item.is_regular_file() &&
            item.file_size() > (1u << 20))
            return true;
    return false;
}

// Ctrl-C, SIGTERM or SIGHUP while the archive or an extracted file is being
// written: the process removes what it was writing and ends as the signal
// ends it; a move deletes nothing.
TEST(FaultsPosix, AnInterruptRemovesWhatWasBeingWrittenAndDeletesNothing) {
    const std::size_t size = quickTests() ? 4 << 20 : 8 << 20;
    const Tree sources = {{"data/a.bin", noise(31, size)}, {"data/b.bin", noise(32, size)},
                          {"data/c.bin", noise(33, size)}};
    const struct {
        const char* name;
        std::vector<std::string> words;
        int signal;
    } cases[] = {
        // Compressed, so that the run lasts long enough to be caught at it;
        // the extraction on one thread, for the same reason (a cancel with
        // files written ahead on threads has a test of its own).
        {"packing, Ctrl-C", {"-a", "-c", "data", "out.zas"}, SIGINT},
        {"moving, hang-up", {"-m", "-c", "data", "out.zas"}, SIGHUP},
        {"extracting, terminate", {"-x", "../whole.zas", "out"}, SIGTERM},
    };
    TempDir dir;
    plant(dir / "made", sources);
    ASSERT_EQ(runZas({"-a", "data", "../whole.zas"}, dir / "made").status, 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path root = dir / "run";
        // A signal that comes after the run's last chance to notice it (a
        // busy machine can see the last file late) leaves a whole run,
        // which is tried again.
        int status = 0;
        bool interrupted = false;
        for (int attempt = 0; attempt < 3 && !interrupted; ++attempt) {
            fs::remove_all(root);
            plant(root, sources);
            setEnvironment("ZAS_THREADS", c.signal == SIGTERM ? "1" : nullptr);
            const pid_t child = startZas(c.words, root);
            setEnvironment("ZAS_THREADS", nullptr);
            ASSERT_GT(child, 0);
            interrupted = signalWhen(child, c.signal, [&] { return writingUnder(root); }, status) &&
                          !(WIFEXITED(status) && WEXITSTATUS(status) == 1);
        }
        if (!interrupted) {
            ADD_FAILURE() << "the run ended before it was interrupted";
            continue;
        }
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << "status " << status;
        EXPECT_TRUE(readTree(root / "data") == readTree(dir / "made" / "data")) << "a source was deleted";
        // An archive that was whole before the signal was noticed may stay.
        std::set<std::string> names = namesIn(root);
        if (names.erase("out.zas") != 0) {
            EXPECT_TRUE(extracted(root / "out.zas") == sources);
        }
        EXPECT_EQ(names, (std::set<std::string>{"data", c.signal == SIGTERM ? "out" : "data"}));
        // Files finished before the signal was noticed may stay, whole;
        // nothing half written may.
        if (fs::exists(root / "out")) {
            for (const auto& item : fs::recursive_directory_iterator(root / "out")) {
                if (!item.is_regular_file())
                    continue;
                const std::string name = item.path().lexically_relative(root / "out").generic_string();
                const auto source = sources.find(name);
                EXPECT_TRUE(source != sources.end() && readFile(item.path()) == source->second)
                    << item.path() << " was left";
            }
        }
    }
}

// Killed outright during extraction, the program cannot clean up: it leaves
// at most the file it was writing under its temporary name, never a partial
// file under the real one.
TEST(FaultsPosix, AKilledExtractionLeavesNoPartialFileUnderARealName) {
    TempDir dir;
    const std::string big = noise(41, quickTests() ? 3 << 20 : 24 << 20);
    writeFile(dir / "made" / "data" / "big.bin", big);
    // Stored entries are copied inside the system, often too fast to be
    // caught under the sanitizers; a compressed one decodes in the program.
    ASSERT_EQ(runZas({"-a", "data", "../stored.zas"}, dir / "made").status, 1);
    ASSERT_EQ(runZas({"-a", "-c", "data", "../compressed.zas"}, dir / "made").status, 1);
    int killed = 0;
    for (const char* archive : {"stored.zas", "compressed.zas"}) {
        SCOPED_TRACE(archive);
        // A busy machine can look too late: up to three tries.
        bool caught = false;
        for (int attempt = 0; attempt < 3 && !caught; ++attempt) {
            fs::remove_all(dir / "out");
            const pid_t child = startZas({"-x", archive, "out"}, dir.path());
            ASSERT_GT(child, 0);
            int status = 0;
            caught = signalWhen(
                child, SIGKILL, [&] { return fs::exists(dir / "out") && writingUnder(dir / "out"); }, status);
        }
        if (!caught)
            continue; // ended before it could be killed
        ++killed;
        const fs::path real = dir / "out" / "data" / "big.bin";
        EXPECT_TRUE(!fs::exists(real) || readFile(real) == big);
    }
    if (killed == 0)
        GTEST_SKIP() << "the extraction ended before it could be killed";
}


#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true; // the sanitizers reserve more address space than any limit here
#else
constexpr bool kSanitized = false;
#endif
#if defined(__SANITIZE_ADDRESS__)
// UBSan, built with ASan here, checks a virtual call by probing memory
// through a pipe, which a process out of descriptors cannot open: it then
// reports a false invalid vptr and stops.
constexpr bool kProbesThroughDescriptors = true;
#else
constexpr bool kProbesThroughDescriptors = false;
#endif

rlim_t g_addressSpace = 0;
const char* g_threads = "1";

// Run in the child before zas starts.
void littleAddressSpace() {
    const rlimit limit{g_addressSpace, g_addressSpace};
    setrlimit(RLIMIT_AS, &limit);
    setenv("ZAS_THREADS", "64", 1);
}

void fewDescriptors() {
    const rlimit limit{14, 14};
    setrlimit(RLIMIT_NOFILE, &limit);
    setenv("ZAS_THREADS", g_threads, 1);
    setenv("SOURCE_DATE_EPOCH", "1", 1);
}

// Too little address space for the threads asked for: threads that cannot
// start, or a worker that runs out of memory, never abort the run. It ends
// whole, or as the one-thread pass ends on a memory failure, with the
// archive being written removed and no source deleted that is not in the
// archive.
TEST(FaultsPosix, AMoveShortOfMemoryForItsThreadsEndsCleanly) {
    if (kSanitized)
        GTEST_SKIP() << "a sanitizer's run needs more address space";
    Tree sources;
    for (int i = 0; i < 200; ++i)
        sources["data/" + std::to_string(i % 5) + "/f" + std::to_string(i)] = noise(200 + i, 3000);
    for (const rlim_t kilobytes : {40000, 60000}) {
        SCOPED_TRACE(std::to_string(kilobytes) + " KiB");
        TempDir dir;
        plant(dir.path(), sources);
        g_addressSpace = kilobytes * 1024;
        const ProgramRun run = runZasWith({"-m", "-c", "data", "out.zas"}, dir.path(), littleAddressSpace);
        if (run.status == 0) {
            EXPECT_TRUE(run.output.ends_with("\nError: Out of system memory resources\n")) << run.output;
        } else {
            EXPECT_EQ(run.status, 1) << run.output;
            EXPECT_NE(run.output.find("Archiving completed."), std::string::npos) << run.output;
        }
        EXPECT_TRUE(besideArchive(dir / "out.zas").empty()) << "a partial file is left";
        expectNothingLost(sources, dir.path(), dir / "out.zas");
    }
}

// Few descriptors and many threads: a file a worker cannot open is opened
// by the writer, which has the workers close theirs when it cannot either.
// No file is left out that one thread would pack, and none that one thread
// would extract.
TEST(FaultsPosix, FewDescriptorsLeaveTheArchiveOfOneThread) {
    if (kProbesThroughDescriptors)
        GTEST_SKIP() << "the sanitizer needs descriptors of its own";
    Tree sources;
    std::mt19937 random(7);
    for (int i = 0; i < 1200; ++i)
        sources["data/" + std::to_string(i % 12) + "/f" + std::to_string(i)] = noise(300 + i, random() % 3000 + 1);
    TempDir dir;
    plant(dir.path(), sources);
    for (const char* mode : {"-c", "stored"}) {
        SCOPED_TRACE(mode);
        std::vector<std::string> arguments{"-a", "data", "out.zas"};
        if (std::string(mode) == "-c")
            arguments.insert(arguments.begin() + 1, mode);
        std::string archives[2];
        std::string outputs[2];
        for (const int i : {0, 1}) {
            g_threads = i == 0 ? "1" : "64";
            const ProgramRun run = runZasWith(arguments, dir.path(), fewDescriptors);
            EXPECT_EQ(run.status, 1) << g_threads << " threads:\n" << run.output;
            outputs[i] = run.output;
            archives[i] = readFile(dir / "out.zas");
        }
        EXPECT_EQ(outputs[1], outputs[0]);
        EXPECT_TRUE(archives[1] == archives[0]);

        // Extracting it again, the files written ahead on many threads.
        std::map<std::string, std::string> trees[2];
        for (const int i : {0, 1}) {
            g_threads = i == 0 ? "1" : "64";
            fs::remove_all(dir / "x");
            const ProgramRun run = runZasWith({"-x", "out.zas", "x"}, dir.path(), fewDescriptors);
            EXPECT_EQ(run.status, 1) << g_threads << " threads:\n" << run.output;
            outputs[i] = run.output;
            for (const auto& item : fs::recursive_directory_iterator(dir / "x"))
                if (item.is_regular_file())
                    trees[i][fs::relative(item.path(), dir / "x").string()] = readFile(item.path());
        }
        EXPECT_EQ(outputs[1], outputs[0]);
        EXPECT_EQ(trees[0].size(), sources.size());
        EXPECT_TRUE(trees[1] == trees[0]);
    }
}

} // namespace
