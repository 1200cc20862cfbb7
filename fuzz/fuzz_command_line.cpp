// The command-line parser on arbitrary word lists: the input is split into
// words at NUL bytes.
#include "FuzzTarget.h"

#include "app/CommandLine.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words{"zas"};
    std::string word;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    words.push_back(word);

    std::vector<const char*> argv;
    for (const std::string& w : words)
        argv.push_back(w.c_str());
    argv.push_back(nullptr);

    std::int32_t mode = 0;
    bool excludePath = false;
    bool compress = false;
    zs source;
    zs destination;
    const bool accepted = parseCommandLine(static_cast<int>(words.size()), argv.data(), mode, excludePath, compress,
                                           source, destination);
    if (accepted && (mode < 1 || mode > 4))
        __builtin_trap();
    if (accepted && source.find('/') != zs::npos)
        __builtin_trap(); // paths reach the modes with backslashes only
    return 0;
}
