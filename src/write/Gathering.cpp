#include "write/Gathering.h"

#include "archive/StoredName.h"
#include "support/Console.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// Progress over the whole process: every 50th file redraws a line of 1 to 10
// dots.
std::int32_t g_fileCounter = 0;
std::int32_t g_dotCount = 1;

void countFile() {
    ++g_fileCounter;
    if (g_fileCounter % 50 != 0)
        return;
    for (std::int32_t dot = 0; dot < g_dotCount; ++dot)
        printText(".");
    printProgress("          \r");
    if (++g_dotCount > 10)
        g_dotCount = 1;
}

void appendEntry(zvector<zs>& list, std::uint64_t time, std::uint32_t size, const zs& directory, const char* name) {
    char digits[kSourceEntryDigits + 1];
    std::snprintf(digits, sizeof digits, "%08X%08X%08X", static_cast<unsigned>(time >> 32),
                  static_cast<unsigned>(time & 0xFFFFFFFFu), static_cast<unsigned>(size));
    zs entry;
    entry.reserve(kSourceEntryDigits + directory.size() + std::strlen(name));
    entry.append(digits, kSourceEntryDigits);
    entry += directory;
    entry += name;
    list.push_back(std::move(entry));
}

// Items the archive cannot hold are left out with a warning; none of them
// stops the walk. A link to a directory is not followed, so no walk can loop.
// A name that this system's extraction would refuse is left out too: what is
// packed (and, in move mode, deleted) must come back out.
bool leaveOut(const zs& directory, WIN32_FIND_DATAA& item) {
    const bool isDirectory = (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const char* reason = nullptr;
    if (std::strchr(item.cFileName, '\\') != nullptr)
        reason = "a name in the archive cannot hold a backslash";
    else if (!isSafeName(item.cFileName, kSystemNameRules))
        reason = "its name could not be extracted again";
    else if (isDirectory && (item.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        reason = "links to directories are not followed";
    else if (isDirectory)
        return false;
    else if ((item.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0)
        reason = "it is not a regular file";
    else if ((item.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
             !describeLinkTarget((directory + item.cFileName).c_str(), item))
        reason = "its link leads to no file";
    else if (item.nFileSizeHigh != 0)
        reason = "files of 4 GiB or more cannot be stored";
    else
        return false;
    printWarning("Warning: Leaving out \"%s%s\": %s\n", directory.c_str(), item.cFileName, reason);
    return true;
}

// Closes a directory listing however the walk leaves it.
class ListingOwner {
public:
    explicit ListingOwner(HANDLE listing) noexcept : m_listing(listing) {}
    ~ListingOwner() {
        if (m_listing != INVALID_HANDLE_VALUE)
            FindClose(m_listing);
    }
    ListingOwner(const ListingOwner&) = delete;
    ListingOwner& operator=(const ListingOwner&) = delete;

    HANDLE get() const noexcept { return m_listing; }

private:
    HANDLE m_listing;
};

unsigned char foldCase(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

} // namespace

int compareSourcePaths(const char* first, const char* second) {
    const auto* one = reinterpret_cast<const unsigned char*>(first);
    const auto* other = reinterpret_cast<const unsigned char*>(second);
    std::size_t i = 0;
    while (one[i] != 0 && foldCase(one[i]) == foldCase(other[i]))
        ++i;
    const int folded = foldCase(one[i]) - foldCase(other[i]);
    if (folded != 0)
        return folded;
    // Equal but for letter case: upper case first, as unsigned bytes order it.
    return std::strcmp(first, second) < 0 ? -1 : std::strcmp(first, second) > 0 ? 1 : 0;
}

void gatherSources(const zs& source, zvector<zs>& list) {
    list.clear();
    printText("Gathering files and directories...\n");
    zs pattern = source;
    if (!pattern.empty() && pattern.back() != '\\')
        pattern += '\\';
    pattern += '*';
    scanDirectory(pattern, list, 0);
    std::sort(list.begin(), list.end(), [](const zs& one, const zs& other) {
        return compareSourcePaths(one.c_str() + kSourceEntryDigits, other.c_str() + kSourceEntryDigits) < 0;
    });
}

void scanDirectory(const zs& pattern, zvector<zs>& list, std::uint64_t directoryTime) {
    WIN32_FIND_DATAA item;
    const ListingOwner listing(FindFirstFileA(pattern.c_str(), &item));
    const zs directory(pattern, 0, pattern.size() - 1);
    if (listing.get() == INVALID_HANDLE_VALUE) {
        // A directory that cannot be listed is passed over in silence, but
        // one the system refuses for its path's length holds files the user
        // expects in the archive.
        if (isPathTooLong(pattern.c_str()))
            printWarning("Warning: Leaving out \"%s\": its path is too long\n", directory.c_str());
        return;
    }
    appendEntry(list, directoryTime, 0, directory, "");
    do {
        if (std::strcmp(item.cFileName, ".") == 0 || std::strcmp(item.cFileName, "..") == 0)
            continue;
        if (leaveOut(directory, item))
            continue;
        if ((item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            zs inner = directory;
            inner += item.cFileName;
            inner += "\\*";
            scanDirectory(inner, list, fileTimeValue(item.ftLastWriteTime));
        } else {
            appendEntry(list, fileTimeValue(item.ftLastWriteTime), item.nFileSizeLow, directory, item.cFileName);
            countFile();
        }
    } while (FindNextFileA(listing.get(), &item));
}

void splitSourceEntry(const zs& entry, FILETIME& time, zs& fullPath, zs& directoryPart, zs& namePart,
                      std::uint32_t& size) {
    unsigned upper = 0;
    unsigned lower = 0;
    unsigned bytes = 0;
    std::sscanf(entry.c_str(), "%08X%08X%08X", &upper, &lower, &bytes);
    time.dwHighDateTime = upper;
    time.dwLowDateTime = lower;
    size = bytes;
    fullPath.assign(entry, std::min(entry.size(), kSourceEntryDigits));
    const std::size_t slash = fullPath.rfind('\\');
    if (slash == zs::npos) {
        directoryPart.clear();
        namePart = fullPath;
    } else {
        directoryPart.assign(fullPath, 0, slash + 1);
        namePart.assign(fullPath, slash + 1);
    }
}
