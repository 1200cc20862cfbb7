// Compressed packing on several threads against one thread: the same
// archive, the same output, whatever the number of workers, on trees built
// to stress the ring bytes one file leaves to the next.
#include "BuildSupport.h"
#include "archive/Lzss.h"
#include "platform/Platform.h"
#include "app/Console.h"
#include "support/Exception.h"
#include "write/ParallelCoding.h"
#include "write/ReadAhead.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Tree = std::vector<std::pair<std::string, std::string>>; // name, content

std::string randomBytes(std::mt19937& random, std::size_t size, unsigned alphabet) {
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random() % alphabet);
    return bytes;
}

std::string numbered(const char* prefix, std::size_t i) {
    std::string name(prefix);
    if (i < 10)
        name += '0';
    return name += std::to_string(i);
}

// Files of 0 to 40 bytes in a row: each one short enough to leave part of
// the state of the ones before it.
Tree shortRun() {
    std::mt19937 random(1);
    Tree tree;
    for (std::size_t size = 0; size <= 40; ++size)
        tree.emplace_back(numbered("r", size), randomBytes(random, size, 3));
    return tree;
}

// The lengths at which the state a file leaves is partly or wholly its own,
// a short file after a long one, and files around the ring's size.
Tree stateEdges() {
    std::mt19937 random(2);
    Tree tree;
    const std::size_t sizes[] = {17, 18, 34, 35, 100000, 3, 17, 4095, 4096, 4097, 1, 18, 35, 34, 70000, 2, 5};
    for (std::size_t i = 0; i < std::size(sizes); ++i)
        tree.emplace_back(numbered("e", i), randomBytes(random, sizes[i], i % 2 == 0 ? 4 : 256));
    return tree;
}

// What the open hook does: the files named here vanish at the n-th time they
// are opened (1: before anyone reads them; 2: after a worker has predicted
// the state they leave, but before it codes them).
std::mutex g_hookMutex;
std::map<std::string, int> g_vanishAt;
std::map<std::string, int> g_opened;

void vanishing(const char* path) {
    const std::lock_guard lock(g_hookMutex);
    const std::string name = std::string(path).substr(std::string(path).rfind('\\') + 1);
    const auto found = g_vanishAt.find(name);
    if (found != g_vanishAt.end() && ++g_opened[name] == found->second)
        fs::remove(fs::path("data") / name);
}

struct Packed {
    std::string output;
    std::string archive;
};

class Parallel : public testing::Test {
protected:
    void TearDown() override {
        setOpenFileHookForTesting(nullptr);
        setWorkerThreads(0);
        clearFlagsForTesting();
    }

    Packed pack(const Tree& tree, const char* threads, const std::map<std::string, int>& vanishAt = {},
                bool compress = true) {
        fs::remove_all(dir / "data");
        fs::remove(dir / "out.zas");
        for (const auto& [name, content] : tree) {
            writeFile(dir / "data" / name, content);
            setWriteTime(dir / "data" / name, 0x01D0000000000000u); // the same dates in every run
        }
        {
            const std::lock_guard lock(g_hookMutex);
            g_vanishAt = vanishAt;
            g_opened.clear();
        }
        setOpenFileHookForTesting(vanishing);
        setWorkerThreads(static_cast<unsigned>(std::stoul(threads)));
        setKeySeed(1234);

        Packed run;
        run.output = writeInProcess(dir.path(), "data", false, compress, false);
        setOpenFileHookForTesting(nullptr);
        run.archive = fs::exists(dir / "out.zas") ? readFile(dir / "out.zas") : std::string();
        return run;
    }

    TempDir dir;
};

// Small files between ones too large to be read ahead, for stored packing.
Tree aroundTheReadAheadLimit() {
    std::mt19937 random(3);
    Tree tree;
    const std::size_t sizes[] = {0, 5, kReadAheadFileLimit + 1, 7, kReadAheadFileLimit, 0, 3 * kReadAheadFileLimit, 9};
    for (std::size_t i = 0; i < std::size(sizes); ++i)
        tree.emplace_back(numbered("s", i), randomBytes(random, sizes[i], 256));
    return tree;
}

// The tree with enough small files after it for stored packing to read
// ahead.
Tree withManySmallFiles(Tree tree) {
    std::mt19937 random(4);
    for (std::size_t i = 0; i < kReadAheadMinFiles; ++i)
        tree.emplace_back("z" + std::to_string(10000 + i), randomBytes(random, random() % 50, 256));
    return tree;
}

// Many threads code compressed files, or read stored ones, ahead of the
// writer: the archive and the output stay those of one thread.
TEST_F(Parallel, EveryNumberOfWorkersWritesTheArchiveOfOne) {
    const struct {
        const char* what;
        Tree tree;
        std::map<std::string, int> vanishAt;
        bool compress;
    } cases[] = {
        {"files of 0 to 40 bytes", shortRun(), {}, true},
        {"lengths at the edges of the carried state", stateEdges(), {}, true},
        {"files that cannot be read in the middle of a run", shortRun(), {{"r17", 1}, {"r18", 1}, {"r35", 1}}, true},
        {"edges with files that cannot be read", stateEdges(), {{"e04", 1}, {"e07", 1}}, true},
        {"stored, with files that cannot be read", withManySmallFiles(shortRun()),
         {{"r00", 1}, {"r17", 1}, {"r40", 1}, {"z10500", 1}}, false},
        {"stored, around the read-ahead's limit", withManySmallFiles(aroundTheReadAheadLimit()),
         {{"s01", 1}, {"s02", 1}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Packed one = pack(c.tree, "1", c.vanishAt, c.compress);
        ASSERT_FALSE(one.archive.empty()) << one.output;
        for (const char* threads : {"2", "8"}) {
            SCOPED_TRACE(std::string(threads) + " workers");
            const Packed several = pack(c.tree, threads, c.vanishAt, c.compress);
            EXPECT_EQ(several.output, one.output);
            EXPECT_TRUE(several.archive == one.archive);
        }
    }
}

TEST_F(Parallel, AFileThatVanishesAfterItsStateWasPredictedCostsOneCodingMore) {
    // A worker predicts that r20 is coded whole, and the worker coding r21
    // starts from that; but r20 is gone when it is read. The writer finds
    // that r21 started from the wrong state and codes it again.
    const Packed one = pack(shortRun(), "1", {{"r20", 1}});
    const Packed several = pack(shortRun(), "2", {{"r20", 2}});
    EXPECT_TRUE(several.archive == one.archive);
    EXPECT_NE(several.output.find("Warning: Could not open file \"data\\r20\""), std::string::npos) << several.output;
}

// The pipeline on its own, with a tight bound on the pieces kept in memory
// so that blocks coded ahead of the writer go to scratch files, or, where
// those cannot be had or fail, wait for the writer.
class BlockCollector final : public LzssSink {
public:
    bool write(const unsigned char* bytes, std::size_t count) override {
        collected.append(reinterpret_cast<const char*>(bytes), count);
        return true;
    }
    std::string collected;
};

// The pipeline's list of files: paths and their sizes as gathered.
zvector<CodingPipeline::Source> sourcesOf(const zvector<zs>& paths, const zvector<std::uint32_t>& sizes) {
    zvector<CodingPipeline::Source> sources;
    for (std::size_t i = 0; i < paths.size(); ++i)
        sources.push_back({&paths[i], sizes[i]});
    return sources;
}

std::mutex g_scratchMutex;
std::condition_variable g_scratchAsked;
int g_scratchRequests = 0;

template <std::FILE* (*open)()>
std::FILE* countedScratch() {
    {
        const std::lock_guard lock(g_scratchMutex);
        ++g_scratchRequests;
    }
    g_scratchAsked.notify_all();
    return open();
}

std::FILE* noScratch() {
    return nullptr;
}

#ifndef _WIN32
// Takes 200000 bytes (two pieces and more), then every write fails.
std::FILE* smallScratch() {
    return fmemopen(nullptr, 200000, "w+");
}
#endif

TEST(CodingPipelineScratch, BlocksAreWholeWhereverThePiecesWereKept) {
    TempDir dir;
    const WorkingDirectory here(dir.path());
    std::mt19937 random(3);
    const std::size_t sizes[] = {300000, 250000, 40, 200000, 17, 260000, 0, 5000};
    zvector<zs> paths;
    zvector<std::uint32_t> gathered;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
        // Mostly noise, which does not shrink: blocks as large as their files.
        writeFile(numbered("f", i), randomBytes(random, sizes[i], i == 3 ? 4 : 256));
        paths.emplace_back(numbered("f", i).c_str());
        gathered.push_back(static_cast<std::uint32_t>(sizes[i]));
    }

    struct Block {
        std::string bytes;
        ReadOutcome outcome;
        LzssContext::CarriedState after;
    };
    std::vector<Block> expected;
    LzssContext one;
    const LzssContext::CarriedState initial = one.carriedState();
    for (std::size_t i = 0; i < paths.size(); ++i) {
        BlockCollector sink;
        const CodedFile coded = codeFile(one, paths[i], gathered[i], sink);
        expected.push_back({sink.collected, coded.outcome, one.carriedState()});
    }

    const struct {
        const char* what;
        CodingPipeline::ScratchOpener open;
    } cases[] = {
        {"scratch files", countedScratch<openScratchFile>},
        {"no scratch file", countedScratch<noScratch>},
#ifndef _WIN32
        {"scratch files that fill up", countedScratch<smallScratch>},
#endif
    };
    for (const auto& c : cases) {
        for (const unsigned workers : {2u, 4u}) {
            SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(workers) + " workers");
            {
                const std::lock_guard lock(g_scratchMutex);
                g_scratchRequests = 0;
            }
            LzssContext writer;
            CodingPipeline pipeline(sourcesOf(paths, gathered), initial, workers, 4096, c.open);
            {
                // No file is being taken yet, so a worker past 4096 bytes
                // must ask for a scratch file.
                std::unique_lock lock(g_scratchMutex);
                const auto asked = [] { return g_scratchRequests > 0; };
                ASSERT_TRUE(g_scratchAsked.wait_for(lock, std::chrono::seconds(60), asked));
            }
            for (std::size_t i = 0; i < paths.size(); ++i) {
                BlockCollector sink;
                const CodedFile coded = pipeline.take(writer, sink);
                EXPECT_FALSE(coded.sinkFailed);
                EXPECT_EQ(coded.outcome, expected[i].outcome) << i;
                EXPECT_TRUE(sink.collected == expected[i].bytes) << i;
                EXPECT_TRUE(writer.carriedState() == expected[i].after) << i;
            }
        }
    }
}

// A writer slower than the coder: the file it is taking keeps at most the
// bound in memory too, whatever the size of its block.
class SlowSink final : public LzssSink {
public:
    explicit SlowSink(std::int32_t baseline) : m_baseline(baseline) {}

    bool write(const unsigned char*, std::size_t) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const std::int32_t live = Z_Memory::sm_iNewCount - Z_Memory::sm_iDeleteCount - m_baseline;
        mostLive = std::max(mostLive, live);
        return true;
    }

    std::int32_t mostLive = 0;

private:
    std::int32_t m_baseline;
};

TEST(CodingPipelineScratch, TheFileBeingTakenWaitsForASlowWriter) {
    TempDir dir;
    const WorkingDirectory here(dir.path());
    std::mt19937 random(4);
    writeFile("big", randomBytes(random, 1500000, 256)); // about 20 pieces of block
    const zvector<zs> paths{zs("big")};
    const zvector<std::uint32_t> sizes{1500000};
    const LzssContext::CarriedState initial = LzssContext().carriedState();
    for (const CodingPipeline::ScratchOpener open : {&noScratch, &openScratchFile}) {
        LzssContext writer;
        CodingPipeline pipeline(sourcesOf(paths, sizes), initial, 2, 4096, open);
        SlowSink sink(Z_Memory::sm_iNewCount - Z_Memory::sm_iDeleteCount);
        const CodedFile coded = pipeline.take(writer, sink);
        EXPECT_EQ(coded.outcome, ReadOutcome::read);
        // The piece being written, the one the coder has ready, and perhaps
        // the scratch file's bookkeeping.
        EXPECT_LE(sink.mostLive, 4);
    }
}

// count files of 20000 bytes of noise in the working folder, one piece of
// block each, with the blocks one thread codes for them.
struct NoiseFiles {
    zvector<zs> paths;
    zvector<std::uint32_t> sizes;
    LzssContext::CarriedState initial{};
    std::vector<std::string> blocks;
};

NoiseFiles writeNoiseFiles(std::size_t count, unsigned seed) {
    NoiseFiles files;
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < count; ++i) {
        writeFile(numbered("f", i), randomBytes(random, 20000, 256));
        files.paths.emplace_back(numbered("f", i).c_str());
        files.sizes.push_back(20000);
    }
    LzssContext one;
    files.initial = one.carriedState();
    for (const zs& path : files.paths) {
        BlockCollector sink;
        codeFile(one, path, 20000, sink);
        files.blocks.push_back(sink.collected);
    }
    return files;
}

// Takes every file from the pipeline, pausing before each, and checks its
// block against one thread's.
void expectBlocksOfOne(CodingPipeline& pipeline, const NoiseFiles& files, std::chrono::milliseconds pause) {
    LzssContext writer;
    for (std::size_t i = 0; i < files.paths.size(); ++i) {
        std::this_thread::sleep_for(pause);
        BlockCollector sink;
        EXPECT_EQ(pipeline.take(writer, sink).outcome, ReadOutcome::read);
        EXPECT_TRUE(sink.collected == files.blocks[i]) << i;
    }
}

// Files coded ahead of a writer that has not started share one memory
// bound, eight files' worth per worker: without a scratch file the workers
// wait, however far ahead they may claim.
TEST(CodingPipelineScratch, FilesCodedAheadShareOneMemoryBound) {
    TempDir dir;
    const WorkingDirectory here(dir.path());
    const NoiseFiles files = writeNoiseFiles(40, 5);

    CodingPipeline pipeline(sourcesOf(files.paths, files.sizes), files.initial, 2, 4096, &noScratch);
    const std::int32_t before = Z_Memory::sm_iNewCount - Z_Memory::sm_iDeleteCount;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // The bound (64 KiB) holds three pieces, against one for each of the
    // forty files unbounded; the workers' contexts and the bookkeeping of
    // the files claimed (27, two to an allocation) may come on top.
    EXPECT_LE(Z_Memory::sm_iNewCount - Z_Memory::sm_iDeleteCount - before, 24);
    expectBlocksOfOne(pipeline, files, std::chrono::milliseconds(0));
}

// Scratch files with names in the working folder, so that a test can see
// how large they grow.
std::vector<std::string> g_scratchNames;

std::FILE* namedScratch() {
    const std::lock_guard lock(g_scratchMutex);
    g_scratchNames.push_back("scratch" + std::to_string(g_scratchNames.size()));
    return std::fopen(g_scratchNames.back().c_str(), "wb+");
}

// A writer slower than the coders: what it has taken from a scratch file is
// written over, so the files hold about what is claimed ahead of it, not
// everything the workers coded.
TEST(CodingPipelineScratch, ScratchFilesAreWrittenOverOnceTheWriterHasTakenThem) {
    TempDir dir;
    const WorkingDirectory here(dir.path());
    const NoiseFiles files = writeNoiseFiles(200, 6);

    g_scratchNames.clear();
    CodingPipeline pipeline(sourcesOf(files.paths, files.sizes), files.initial, 2, 4096, &namedScratch);
    expectBlocksOfOne(pipeline, files, std::chrono::milliseconds(1));
    // Claims stay within 512 KiB of the writer (64 bounds of 4096 bytes for
    // each of two workers), about 580 KiB of blocks; each worker codes about
    // 2.2 MB of blocks in all.
    const std::lock_guard lock(g_scratchMutex);
    for (const std::string& name : g_scratchNames)
        EXPECT_LE(fs::file_size(name), 700000u) << name;
}

// A large file coded far ahead of the writer: its block fills a scratch
// file up to the bound (32 per-file bounds) and then waits for the writer,
// instead of going on in the scratch file.
TEST(CodingPipelineScratch, AScratchFileNeverGrowsPastItsBound) {
    TempDir dir;
    const WorkingDirectory here(dir.path());
    std::mt19937 random(9);
    const zvector<zs> paths{zs("small"), zs("big")};
    const zvector<std::uint32_t> sizes{100, 1500000};
    writeFile("small", randomBytes(random, sizes[0], 256));
    writeFile("big", randomBytes(random, sizes[1], 256));
    NoiseFiles files;
    files.paths = paths;
    files.sizes = sizes;
    LzssContext one;
    files.initial = one.carriedState();
    for (std::size_t i = 0; i < paths.size(); ++i) {
        BlockCollector sink;
        codeFile(one, paths[i], sizes[i], sink);
        files.blocks.push_back(sink.collected);
    }

    g_scratchNames.clear();
    {
        CodingPipeline pipeline(sourcesOf(files.paths, files.sizes), files.initial, 2, 4096, &namedScratch);
        expectBlocksOfOne(pipeline, files, std::chrono::milliseconds(300));
    }
    const std::lock_guard lock(g_scratchMutex);
    ASSERT_FALSE(g_scratchNames.empty());
    for (const std::string& name : g_scratchNames)
        EXPECT_LE(fs::file_size(name), 32u * 4096u) << name;
}

// Sets the pipeline's test hooks for the object's lifetime.
class HooksForTest {
public:
    explicit HooksForTest(const CodingHooks& hooks) { setCodingHooksForTesting(hooks); }
    ~HooksForTest() { setCodingHooksForTesting({}); }
    HooksForTest(const HooksForTest&) = delete;
    HooksForTest& operator=(const HooksForTest&) = delete;
};

unsigned g_startable = 0;

bool startOnlySome(unsigned index) {
    return index < g_startable;
}

// Threads the system will not start: the pass goes on with those it has,
// down to none, where the writer codes every file itself.
TEST(CodingPipelineFaults, AThreadThatCannotStartLeavesItsFilesToTheOthers) {
    TempDir dir;
    const WorkingDirectory here(dir.path());
    const NoiseFiles files = writeNoiseFiles(20, 7);
    for (const unsigned startable : {0u, 1u}) {
        SCOPED_TRACE(std::to_string(startable) + " of 4 started");
        g_startable = startable;
        const HooksForTest hooks({startOnlySome, nullptr});
        CodingPipeline pipeline(sourcesOf(files.paths, files.sizes), files.initial, 4, 4096, &noScratch);
        EXPECT_EQ(pipeline.workers(), startable);
        expectBlocksOfOne(pipeline, files, std::chrono::milliseconds(0));
    }
}

// The stored files as one thread reads them, against what the read-ahead
// hands over: bytes, verdict, and which files the writer must read itself.
void expectReadsOfOne(ReadAhead& ahead, const zvector<zs>& paths, const zvector<std::uint32_t>& sizes,
                      bool relieveHalfWay) {
    for (std::size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(paths[i].c_str());
        if (relieveHalfWay && i == paths.size() / 2) {
            ahead.relieve(); // returns once no worker holds a file
            ahead.endRelief();
        }
        ReadAhead::Taken taken = ahead.take();
        if (sizes[i] > kReadAheadFileLimit) {
            EXPECT_TRUE(taken.byWriter);
            continue;
        }
        if (taken.byWriter)
            continue; // a worker that could not start: the writer reads it as before
        SourceFile one(paths[i], sizes[i]);
        std::string bytes(sizes[i], '\0');
        if (one.isOpen() && sizes[i] > 0)
            one.read(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size());
        const ReadOutcome outcome = one.isOpen() ? one.outcome() : ReadOutcome::cannotOpen;
        ASSERT_EQ(taken.outcome, outcome);
        if (outcome == ReadOutcome::read) {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(taken.bytes), sizes[i]), bytes);
            EXPECT_EQ(taken.identity, one.identity());
        }
    }
}

unsigned g_readAheadStartable = 0;

bool startSomeReaders(unsigned index) {
    return index < g_readAheadStartable;
}

// Reading ahead on threads: the files as one thread reads them, with
// workers that could not start, a writer that holds the workers off for a
// descriptor, files too large to be read ahead, and files that are missing
// or changed size since they were gathered.
TEST(ReadAhead, HandsOverWhatOneThreadReads) {
    TempDir dir;
    const WorkingDirectory here(dir.path());
    std::mt19937 random(9);
    zvector<zs> paths;
    zvector<std::uint32_t> sizes;
    for (std::size_t i = 0; i < 300; ++i) {
        // Mostly small, some at or near a piece of the ring, some too large.
        const std::size_t size = i % 50 == 7    ? kReadAheadFileLimit + 1
                                 : i % 25 == 9  ? kReadAheadFileLimit - i % 3
                                 : i % 10 == 4  ? 150000 + random() % 60000
                                                : random() % 9000;
        if (i % 40 != 3) // missing
            writeFile(numbered("f", i), randomBytes(random, size, 256));
        paths.emplace_back(numbered("f", i).c_str());
        // Some gathered with another size than they have.
        sizes.push_back(static_cast<std::uint32_t>(i % 60 == 11 ? size + 1 : i % 60 == 12 && size > 0 ? size - 1 : size));
    }
    zvector<ReadAhead::Source> sources;
    for (std::size_t i = 0; i < paths.size(); ++i)
        sources.push_back({&paths[i], sizes[i]});
    const struct {
        const char* what;
        unsigned startable;
        bool relieve;
    } cases[] = {
        {"three workers", 3, false},
        {"three workers, held off half-way", 3, true},
        {"one of three started", 1, false},
        {"none started", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        g_readAheadStartable = c.startable;
        setReadAheadStartHookForTesting(startSomeReaders);
        ReadAhead ahead(sources, 3);
        setReadAheadStartHookForTesting(nullptr);
        expectReadsOfOne(ahead, paths, sizes, c.relieve);
    }
}

std::atomic<int> g_allocationsLeft{0};

void failingAllocation() {
    if (g_allocationsLeft.fetch_sub(1) <= 0)
        raiseAllocationFailure();
}

// An allocation that fails on a worker ends the run as one on the writer's
// own thread does: the memory exception reaches the program's entry, the
// archive being written is removed and a move deletes nothing.
TEST_F(Parallel, AWorkerOutOfMemoryEndsTheRunAsTheWriterWould) {
    for (const int allocations : {0, 10}) {
        SCOPED_TRACE(std::to_string(allocations) + " pieces allocated before");
        fs::remove_all(dir / "data");
        for (const auto& [name, content] : shortRun())
            writeFile(dir / "data" / name, content);
        const std::set<std::string> before = namesIn(dir / "data");
        g_allocationsLeft = allocations;
        const HooksForTest hooks({nullptr, failingAllocation});
        setWorkerThreads(2);

        const WorkingDirectory inside(dir.path());
        const AllocationCounts counts;
        bool raised = false;
        testing::internal::CaptureStdout();
        try {
            writeArchive(zs("data"), zs("out.zas"), false, true, true);
        } catch (const Z_MemoryException_Allocation&) {
            raised = true;
        }
        const std::string output = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(raised) << output;
        EXPECT_TRUE(allocationsBalancedSince(counts));
        EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"data"});
        EXPECT_EQ(namesIn(dir / "data"), before);
    }
}

// Bookkeeping does not grow with the number of files: none up front, and a
// file's only from its claim until the writer takes it, with the claims
// bounded (a file counting as at least a 64th of the per-file bound: 8192
// files pending here at most, at most one allocation each).
TEST(CodingPipelineMemory, OnlyTheFilesClaimedAheadHoldBookkeeping) {
    TempDir dir;
    const WorkingDirectory here(dir.path());
    zvector<zs> paths;
    zvector<std::uint32_t> sizes;
    for (std::size_t i = 0; i < 30000; ++i) {
        paths.emplace_back(numbered("gone", i).c_str()); // short: no allocation of its own
        sizes.push_back(1);
    }
    const AllocationCounts before;
    CodingPipeline pipeline(sourcesOf(paths, sizes), LzssContext().carriedState(), 2, 4096, &noScratch);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(Z_Memory::sm_iNewCount - Z_Memory::sm_iDeleteCount - (before.made - before.released), 8192);
    LzssContext writer;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        BlockCollector sink;
        ASSERT_EQ(pipeline.take(writer, sink).outcome, ReadOutcome::cannotOpen) << i;
    }
}

// The writer short of a descriptor has the workers close the files they
// code, those waiting for room too, and codes those files itself.
TEST(CodingPipelineFaults, WorkersGiveTheirFilesBackToAWriterShortOfDescriptors) {
    TempDir dir;
    const WorkingDirectory here(dir.path());
    const NoiseFiles files = writeNoiseFiles(40, 8);
    CodingPipeline pipeline(sourcesOf(files.paths, files.sizes), files.initial, 2, 4096, &noScratch);
    // Past the memory bound, without a scratch file: both workers wait with
    // a file open.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pipeline.relieve();
    pipeline.endRelief();
    expectBlocksOfOne(pipeline, files, std::chrono::milliseconds(0));
}

TEST(WorkerThreads, FollowTheEnvironmentElseOnePerCore) {
    const struct {
        const char* value;
        unsigned expected; // 0: one per core
    } cases[] = {{"1", 1}, {"3", 3}, {nullptr, 0}, {"", 0}, {"0", 0}, {"two", 0}, {"-2", 0}};
    for (const auto& c : cases) {
        setEnvironment("ZAS_THREADS", c.value);
        EXPECT_EQ(workerThreadsFromEnvironment(), c.expected) << (c.value ? c.value : "unset");
    }
    setEnvironment("ZAS_THREADS", nullptr);
}

} // namespace
