#include "TestSupport.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <random>
#include <stdexcept>

TempDir::TempDir() {
    static std::mt19937_64 names(std::random_device{}());
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = fs::temp_directory_path() / ("zas-test-" + std::to_string(names() % 1000000000000u));
        if (fs::create_directory(candidate)) {
            m_path = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code error;
    // Tests may leave read-only directories behind; open them up first.
    for (auto it = fs::recursive_directory_iterator(m_path, fs::directory_options::skip_permission_denied, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    fs::remove_all(m_path, error);
}

void writeFile(const fs::path& path, std::string_view content) {
    if (path.has_parent_path())
        fs::create_directories(path.parent_path());
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!stream)
        throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
        throw std::runtime_error("cannot read " + path.string());
    std::ostringstream content;
    content << stream.rdbuf();
    return content.str();
}

bool startsWithBanner(const std::string& output, std::string* rest) {
    static const std::regex banner(
        R"(^Utility for archiving Tarrow files \[1\.20/[A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4}\]\n[^\n]+\n\n)");
    std::smatch match;
    if (!std::regex_search(output, match, banner))
        return false;
    if (rest != nullptr)
        *rest = output.substr(static_cast<std::size_t>(match.length(0)));
    return true;
}

std::string withoutBanner(const ProgramRun& run) {
    std::string rest;
    EXPECT_TRUE(startsWithBanner(run.output, &rest)) << run.output;
    return rest;
}

std::pair<std::string, int> runAfterBanner(const std::vector<std::string>& words, const fs::path& where) {
    const ProgramRun run = runZas(words, where);
    return {withoutBanner(run), run.status};
}

bool allocationsBalancedSince(const AllocationCounts& before) {
    const AllocationCounts after;
    return after.made - before.made == after.released - before.released;
}

bool quickTests() {
    const char* quick = std::getenv("ZAS_TEST_QUICK");
    return quick != nullptr && *quick != '\0' && *quick != '0';
}
