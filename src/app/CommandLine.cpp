#include "app/CommandLine.h"

#include "app/Console.h"

#include <cstring>

namespace {

// The date the program was built, as "Mmm dd yyyy".
constexpr const char* kBuildDate = __DATE__;

bool isOptionWord(const char* word) {
    return word[0] == '-' || word[0] == '/';
}

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// A source the add and move modes would store with a drive, a root or a
// parent reference in its names.
bool isRelativeSource(const zs& source) {
    if (source.size() >= 2 && source[1] == ':')
        return false;
    return source.empty() || (source[0] != '.' && source[0] != '\\' && source[0] != '/');
}

void toBackslashes(zs& path) {
    for (char& c : path)
        if (c == '/')
            c = '\\';
}

} // namespace

zs programName(const char* invokedAs) {
    const zs word(invokedAs);
    const std::size_t separator = word.find_last_of('\\');
    return separator == zs::npos ? word : word.substr(separator + 1);
}

void printUsage(const zs& name) {
    const char* n = name.c_str();
    printText("Usage: %s [options] [source] [destination]\n", n);
    printText("\n");
    printText("Options:\n");
    printText("  -a\tadd files\n");
    printText("  -m\tmove files (deletes from source)\n");
    printText("  -p\texclude source path (also requires -a or -m)\n");
    printText("  -c\tcompress all files (also requires -a or -m)\n");
    printText("  -v\tview archive contents\n");
    printText("  -x\textract files\n");
    printText("\n");
    printText("Examples:\n");
    printText("\n");
    printText("# Extract files from data.zas to current directory\n");
    printText("  %s -x data.zas\n", n);
    printText("# Add all files from data\\ to archive, keeping the data\\ in names\n");
    printText("  %s -a data data.zas\n", n);
    printText("# Add all files under e:\\temp to archive, excluding the e:\\temp from names\n");
    printText("  %s -a -p e:\\temp data.zas\n", n);
}

zs slashOptionCorrection(int argc, const char* const* argv, zs& word) {
    int first = 0;
    for (int i = 1; i < argc && isOptionWord(argv[i]) && std::strcmp(argv[i], "--") != 0; ++i) {
        if (argv[i][0] == '/') {
            first = i;
            break;
        }
    }
    if (first == 0)
        return zs();
    word = argv[first];
    zs corrected = programName(argc > 0 ? argv[0] : "");
    for (int i = 1; i < argc; ++i) {
        if (i == first)
            corrected += " --";
        corrected += ' ';
        corrected += argv[i];
    }
    return corrected;
}

bool parseCommandLine(int argc, const char* const* argv, std::int32_t& mode, bool& excludePath, bool& compress,
                      zs& source, zs& destination) {
    const zs name = programName(argc > 0 ? argv[0] : "");

    printText("Utility for archiving Tarrow files [%.2f/%s]\n", static_cast<double>(kProgramVersion), kBuildDate);
    printText("Packs, lists and unpacks Tarrow data archives.\n");
    printText("\n");

    mode = kModeNone;
    excludePath = false;
    compress = false;
    source.clear();
    destination.clear();
    bool helpRequested = false;

    int word = 1;
    for (; word < argc && isOptionWord(argv[word]); ++word) {
        if (std::strcmp(argv[word], "--") == 0) {
            ++word;
            break;
        }
        switch (lowerAscii(argv[word][1])) {
        case '?': helpRequested = true; break;
        case 'a': mode = kModeAdd; break;
        case 'm': mode = kModeMove; break;
        case 'v': mode = kModeView; break;
        case 'x': mode = kModeExtract; break;
        case 'c': compress = true; break;
        case 'p': excludePath = true; break;
        default: break; // unknown letters, a lone '-' or '/': ignored
        }
    }
    if (word < argc)
        source = argv[word];
    if (word + 1 < argc)
        destination = argv[word + 1];

    const bool writes = mode == kModeAdd || mode == kModeMove;
    if (helpRequested || mode == kModeNone || argc < 3 || (writes && destination.empty())) {
        printUsage(name);
        return false;
    }
    if (writes && !excludePath && !isRelativeSource(source)) {
        printError("\nError: Source path must be relative when \"-p\" option is not used.\n");
        return false;
    }
    toBackslashes(source);
    toBackslashes(destination);
    return true;
}
