// Runs a fuzz target over the files and directories named on the command
// line, one input per file.
#include "FuzzTarget.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool replay(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        std::printf("cannot read %s\n", path.string().c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path path(argv[i]);
        if (fs::is_directory(path)) {
            for (const auto& entry : fs::recursive_directory_iterator(path))
                if (entry.is_regular_file()) {
                    if (!replay(entry.path()))
                        return 1;
                    ++inputs;
                }
        } else {
            if (!replay(path))
                return 1;
            ++inputs;
        }
    }
    std::printf("replayed %d inputs\n", inputs);
    return 0;
}
