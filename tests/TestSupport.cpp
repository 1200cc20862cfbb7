#include "TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <sys/wait.h>
#include <unistd.h>

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "zas-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
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

ProgramRun runZas(const std::vector<std::string>& words, const fs::path& workingDirectory,
                  const std::string& invokedAs) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        close(pipeEnds[0]);
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[1]);
        if (chdir(workingDirectory.c_str()) != 0)
            _exit(127);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(invokedAs.c_str()));
        for (const std::string& word : words)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        execv(ZAS_EXECUTABLE, argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    ProgramRun run;
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(pipeEnds[0], chunk, sizeof chunk);
        if (got <= 0)
            break;
        run.output.append(chunk, static_cast<std::size_t>(got));
    }
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
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
