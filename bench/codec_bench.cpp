// Throughput of the block codec against its plain twin from tests/, on a
// corpus of game data: every file of every subfolder of $ZAS_CORPUS (default
// ~/.cache/zas-corpus, filled by bench/fetch-corpus), each subfolder one
// corpus. Without a corpus it runs on a generated one.
//
// Every pass codes the corpus file after file, as an archive run does, so the
// working memory carries over from file to file on both sides. Before timing,
// both encoders code the whole corpus once and must agree byte for byte.
// Rates are per second of processor time, so that other work on a shared
// machine disturbs them less.

#include "LzssReference.h"
#include "archive/Lzss.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

struct Corpus {
    std::string name;
    std::vector<Bytes> files;
    std::vector<Bytes> blocks; // the production encoder's output, file by file
    std::size_t totalBytes = 0;
    std::size_t largest = 0;
    std::size_t packedBytes = 0;
};

std::vector<Corpus> g_corpora;

Bytes readWhole(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

fs::path corpusRoot() {
    if (const char* folder = std::getenv("ZAS_CORPUS"))
        return folder;
    if (const char* cache = std::getenv("XDG_CACHE_HOME"))
        return fs::path(cache) / "zas-corpus";
    if (const char* home = std::getenv("HOME"))
        return fs::path(home) / ".cache" / "zas-corpus";
    return {};
}

void addFile(Corpus& corpus, Bytes bytes) {
    if (bytes.empty() || bytes.size() > 0xFFFFFFFFu)
        return;
    corpus.totalBytes += bytes.size();
    corpus.largest = std::max(corpus.largest, bytes.size());
    corpus.files.push_back(std::move(bytes));
}

Corpus loadFolder(const fs::path& folder) {
    Corpus corpus;
    corpus.name = folder.filename().string();
    std::vector<fs::path> paths;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file() && !entry.is_symlink())
            paths.push_back(entry.path());
    // The order an archive would code them in.
    std::sort(paths.begin(), paths.end());
    for (const fs::path& path : paths)
        addFile(corpus, readWhole(path));
    return corpus;
}

// About 8 MB of stand-ins for game data: text, tile maps, sprite-like runs
// and noise, from a fixed seed.
Corpus generatedCorpus() {
    Corpus corpus;
    corpus.name = "generated";
    std::mt19937 random(1234);
    std::uniform_int_distribution<unsigned> byte(0, 255);
    static const char* const words[] = {"unit ", "castle ", "gold ", "the ", "Tarrow ", "\r\n", "level=", "32;"};
    for (int file = 0; file < 64; ++file) {
        Bytes bytes;
        std::size_t size = 16384 + (random() % 245760);
        switch (file % 4) {
        case 0:
            while (bytes.size() < size)
                for (const char* c = words[random() % std::size(words)]; *c; ++c)
                    bytes.push_back(static_cast<unsigned char>(*c));
            break;
        case 1:
            for (std::size_t i = 0; i < size; ++i)
                bytes.push_back(static_cast<unsigned char>((i / 64 + i % 7) % 11));
            break;
        case 2:
            while (bytes.size() < size) {
                bytes.insert(bytes.end(), random() % 40, 0);
                for (unsigned n = random() % 24; n > 0; --n)
                    bytes.push_back(static_cast<unsigned char>(byte(random) & 0xF3));
            }
            break;
        default:
            for (std::size_t i = 0; i < size; ++i)
                bytes.push_back(static_cast<unsigned char>(byte(random)));
            break;
        }
        bytes.resize(size);
        addFile(corpus, std::move(bytes));
    }
    return corpus;
}

// Codes the corpus with both encoders and checks that they agree and that
// every block decodes back; keeps the production blocks for the decode runs.
bool prepare(Corpus& corpus) {
    Bytes block(static_cast<std::size_t>(worstCaseBlockSize(corpus.largest)));
    Bytes decoded(corpus.largest);
    corpus.blocks.clear();
    corpus.packedBytes = 0;
    for (const Bytes& file : corpus.files) {
        auto size = static_cast<std::uint32_t>(file.size());
        std::int64_t length = encodeBlock(file.data(), block.data(), size);
        corpus.blocks.emplace_back(block.begin(), block.begin() + length);
        corpus.packedBytes += static_cast<std::size_t>(length);
        if (!decodeBlock(block.data(), static_cast<std::size_t>(length), decoded.data(), file.size()) ||
            !std::equal(file.begin(), file.end(), decoded.begin())) {
            std::fprintf(stderr, "%s: a block does not decode back to its file\n", corpus.name.c_str());
            return false;
        }
    }
    for (std::size_t i = 0; i < corpus.files.size(); ++i) {
        const Bytes& file = corpus.files[i];
        std::int64_t length =
            referenceEncodeBlock(file.data(), block.data(), static_cast<std::uint32_t>(file.size()));
        if (length != static_cast<std::int64_t>(corpus.blocks[i].size()) ||
            !std::equal(corpus.blocks[i].begin(), corpus.blocks[i].end(), block.begin())) {
            std::fprintf(stderr, "%s: the encoders disagree on file %zu\n", corpus.name.c_str(), i);
            return false;
        }
    }
    return true;
}

void setCounters(benchmark::State& state, const Corpus& corpus) {
    state.counters["MB/s"] = benchmark::Counter(static_cast<double>(corpus.totalBytes) / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
    state.counters["ratio"] = static_cast<double>(corpus.packedBytes) / static_cast<double>(corpus.totalBytes);
}

template <bool Production>
void encodeCorpus(benchmark::State& state, const Corpus* corpus) {
    Bytes block(static_cast<std::size_t>(worstCaseBlockSize(corpus->largest)));
    for (auto _ : state) {
        for (const Bytes& file : corpus->files) {
            auto size = static_cast<std::uint32_t>(file.size());
            std::int64_t length = Production ? encodeBlock(file.data(), block.data(), size)
                                             : referenceEncodeBlock(file.data(), block.data(), size);
            benchmark::DoNotOptimize(length);
        }
        benchmark::ClobberMemory();
    }
    setCounters(state, *corpus);
}

template <bool Production>
void decodeCorpus(benchmark::State& state, const Corpus* corpus) {
    Bytes out(corpus->largest);
    for (auto _ : state) {
        for (std::size_t i = 0; i < corpus->files.size(); ++i) {
            const Bytes& block = corpus->blocks[i];
            if constexpr (Production) {
                bool sound = decodeBlock(block.data(), block.size(), out.data(), corpus->files[i].size());
                benchmark::DoNotOptimize(sound);
            } else {
                std::size_t produced = referenceDecodeBlock(block.data(), out.data());
                benchmark::DoNotOptimize(produced);
            }
        }
        benchmark::ClobberMemory();
    }
    setCounters(state, *corpus);
}

// The console table, then one line per corpus and direction with the
// speed-up of the production codec over the plain one.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    SummaryReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            auto rate = run.counters.find("MB/s");
            if (run.error_occurred || rate == run.counters.end())
                continue;
            m_rates[run.benchmark_name()] = rate->second.value;
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-16s %10s %10s %10s %10s %10s %10s %8s\n", "corpus", "enc MB/s", "plain", "speed-up",
                    "dec MB/s", "plain", "speed-up", "ratio");
        for (const Corpus& corpus : g_corpora) {
            double encode = rate("encode/production/" + corpus.name);
            double plainEncode = rate("encode/plain/" + corpus.name);
            double decode = rate("decode/production/" + corpus.name);
            double plainDecode = rate("decode/plain/" + corpus.name);
            std::printf("%-16s %10.1f %10.1f %9.2fx %10.1f %10.1f %9.2fx %8.3f\n", corpus.name.c_str(), encode,
                        plainEncode, plainEncode > 0 ? encode / plainEncode : 0.0, decode, plainDecode,
                        plainDecode > 0 ? decode / plainDecode : 0.0,
                        static_cast<double>(corpus.packedBytes) / static_cast<double>(corpus.totalBytes));
        }
        std::fflush(stdout);
    }

private:
    double rate(const std::string& prefix) const {
        for (const auto& [name, value] : m_rates)
            if (name.rfind(prefix, 0) == 0)
                return value;
        return 0;
    }

    std::map<std::string, double> m_rates;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    fs::path root = corpusRoot();
    std::error_code error;
    if (!root.empty() && fs::is_directory(root, error)) {
        std::vector<fs::path> folders;
        for (const auto& entry : fs::directory_iterator(root))
            if (entry.is_directory())
                folders.push_back(entry.path());
        std::sort(folders.begin(), folders.end());
        for (const fs::path& folder : folders) {
            Corpus corpus = loadFolder(folder);
            if (!corpus.files.empty())
                g_corpora.push_back(std::move(corpus));
        }
    }
    if (g_corpora.empty()) {
        std::printf("No corpus in %s (run bench/fetch-corpus); using a generated one.\n", root.string().c_str());
        g_corpora.push_back(generatedCorpus());
    }

    for (Corpus& corpus : g_corpora) {
        std::printf("%s: %zu files, %.1f MB\n", corpus.name.c_str(), corpus.files.size(),
                    static_cast<double>(corpus.totalBytes) / 1e6);
        if (!prepare(corpus))
            return 1;
    }
    std::printf("Both encoders agree on every file; every block decodes back.\n");

    for (const Corpus& corpus : g_corpora) {
        const Corpus* c = &corpus;
        auto add = [c](const std::string& name, void (*function)(benchmark::State&, const Corpus*)) {
            benchmark::RegisterBenchmark((name + "/" + c->name).c_str(), function, c)
                ->Unit(benchmark::kMillisecond)
                ->MinTime(1.0);
        };
        add("encode/production", encodeCorpus<true>);
        add("encode/plain", encodeCorpus<false>);
        add("decode/production", decodeCorpus<true>);
        add("decode/plain", decodeCorpus<false>);
    }
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
