// The POSIX side of the test helpers.
#include "TestSupport.h"

#include <cstdlib>
#include <stdexcept>

#include <sys/wait.h>
#include <unistd.h>

namespace {

ProgramRun run(const std::vector<std::string>& words, const fs::path& workingDirectory, const std::string& invokedAs,
               void (*setup)()) {
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
        if (setup != nullptr)
            setup();
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(invokedAs.c_str()));
        for (const std::string& word : words)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        execv(ZAS_EXECUTABLE, argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    ProgramRun result;
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(pipeEnds[0], chunk, sizeof chunk);
        if (got <= 0)
            break;
        result.output.append(chunk, static_cast<std::size_t>(got));
    }
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

} // namespace

ProgramRun runZas(const std::vector<std::string>& words, const fs::path& workingDirectory,
                  const std::string& invokedAs) {
    return run(words, workingDirectory, invokedAs, nullptr);
}

ProgramRun runZasWith(const std::vector<std::string>& words, const fs::path& workingDirectory, void (*setup)()) {
    return run(words, workingDirectory, "zas", setup);
}

bool runningUnderWine() {
    return false;
}

void setEnvironment(const char* name, const char* value) {
    if (value == nullptr)
        unsetenv(name);
    else
        setenv(name, value, 1);
}
