// The Windows side of the test helpers.
#include "TestSupport.h"

#include "platform/Platform.h" // <windows.h>

#include <stdexcept>

namespace {

// One word of a command line, quoted the way the C run-time splits it again.
std::string quoted(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos)
        return word;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(2 * backslashes, '\\');
    out.push_back('"');
    return out;
}

// The build passes the program's path as the build machine spells it; under
// Wine a POSIX path is reached through drive Z:.
std::string programPath() {
    const char* built = ZAS_EXECUTABLE;
    std::string path = built[0] == '/' ? "Z:" : "";
    path.append(built);
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

} // namespace

ProgramRun runZas(const std::vector<std::string>& words, const fs::path& workingDirectory,
                  const std::string& invokedAs) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    std::string commandLine = quoted(invokedAs);
    for (const std::string& word : words)
        commandLine.append(" ").append(quoted(word));

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    const std::string application = programPath();
    const std::string directory = workingDirectory.string();
    if (!CreateProcessA(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        directory.c_str(), &startup, &process)) {
        CloseHandle(readEnd);
        CloseHandle(writeEnd);
        throw std::runtime_error("CreateProcess failed for " + application);
    }
    CloseHandle(writeEnd);

    ProgramRun run;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0)
        run.output.append(chunk, got);
    CloseHandle(readEnd);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    run.status = static_cast<int>(status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);

    // Standard output is in text mode here: every line feed arrives as CR LF.
    std::string text;
    for (std::size_t i = 0; i < run.output.size(); ++i)
        if (!(run.output[i] == '\r' && i + 1 < run.output.size() && run.output[i + 1] == '\n'))
            text.push_back(run.output[i]);
    run.output = std::move(text);
    return run;
}

bool runningUnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void setEnvironment(const char* name, const char* value) {
    _putenv_s(name, value == nullptr ? "" : value);
}
