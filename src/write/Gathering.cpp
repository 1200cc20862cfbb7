#include "write/Gathering.h"

#include "archive/StoredName.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Eight upper-case hexadecimal digits of value at out.
void putHex(char* out, std::uint32_t value) {
    for (int i = 7; i >= 0; --i, value >>= 4)
        out[i] = kHexDigits[value & 0xFu];
}

// The value of up to eight hexadecimal digits at in, stopping at the first
// character that is none.
std::uint32_t getHex(const char* in, std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = in[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : -1;
        if (digit < 0)
            break;
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return value;
}

void appendEntry(zvector<zs>& list, std::uint64_t time, std::uint32_t size, const zs& directory, const char* name) {
    char digits[kSourceEntryDigits];
    putHex(digits, static_cast<std::uint32_t>(time >> 32));
    putHex(digits + 8, static_cast<std::uint32_t>(time & 0xFFFFFFFFu));
    putHex(digits + 16, size);
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
bool leaveOut(const zs& directory, WIN32_FIND_DATAA& item, Reporter& reporter) {
    const bool isDirectory = (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    int reason = 0;
    if (std::strchr(item.cFileName, '\\') != nullptr)
        reason = ZAS_REASON_BACKSLASH;
    else if (!isSafeName(item.cFileName, kSystemNameRules))
        reason = ZAS_REASON_UNSAFE_NAME;
    else if (isDirectory && (item.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        reason = ZAS_REASON_DIRECTORY_LINK;
    else if (isDirectory)
        return false;
    else if ((item.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0)
        reason = ZAS_REASON_NOT_REGULAR;
    else if ((item.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
             !describeLinkTarget((directory + item.cFileName).c_str(), item))
        reason = ZAS_REASON_DANGLING_LINK;
    else if (item.nFileSizeHigh != 0)
        reason = ZAS_REASON_TOO_LARGE;
    else
        return false;
    const zs path = directory + item.cFileName;
    reporter.report(ZAS_EVENT_SOURCE_LEFT_OUT, reason, path.c_str());
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
    for (;; ++i) {
        if (one[i] == other[i]) {
            if (one[i] == 0)
                break;
            continue;
        }
        if (foldCase(one[i]) != foldCase(other[i]))
            break;
    }
    const int folded = foldCase(one[i]) - foldCase(other[i]);
    if (folded != 0)
        return folded;
    // Equal but for letter case: upper case first, as unsigned bytes order it.
    return std::strcmp(first, second) < 0 ? -1 : std::strcmp(first, second) > 0 ? 1 : 0;
}

namespace {

struct Walk {
    zvector<zs>& list;
    Reporter& reporter;
    std::uint64_t filesFound = 0;

    bool scan(const zs& pattern, std::uint64_t directoryTime);
};

} // namespace

int gatherSources(const zs& source, zvector<zs>& list, Reporter& reporter) {
    list.clear();
    reporter.report(ZAS_EVENT_GATHER_BEGIN, 0, source.c_str());
    zs pattern = source;
    if (!pattern.empty() && pattern.back() != '\\')
        pattern += '\\';
    pattern += '*';
    int status = ZAS_OK;
    Walk walk{list, reporter};
    if (!walk.scan(pattern, 0)) {
        const DWORD attributes = GetFileAttributesA(source.c_str());
        const int reason = isPathTooLong(pattern.c_str())                  ? ZAS_REASON_PATH_TOO_LONG
                           : attributes == INVALID_FILE_ATTRIBUTES           ? ZAS_REASON_NO_SOURCE
                           : (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0    ? ZAS_REASON_NOT_DIRECTORY
                                                                             : ZAS_REASON_SOURCE_UNLISTABLE;
        // A path too long is named as the walk names directories.
        const zs named = reason == ZAS_REASON_PATH_TOO_LONG ? zs(pattern, 0, pattern.size() - 1) : source;
        reporter.report(ZAS_EVENT_SOURCE_LEFT_OUT, reason, named.c_str());
        status = reason == ZAS_REASON_NO_SOURCE ? ZAS_E_NOT_FOUND : ZAS_E_OPEN;
    }
    std::sort(list.begin(), list.end(), [](const zs& one, const zs& other) {
        return compareSourcePaths(one.c_str() + kSourceEntryDigits, other.c_str() + kSourceEntryDigits) < 0;
    });
    return status;
}

// Appends the entries of the directory named by pattern (its path, a
// backslash and "*") and of everything under it. A directory below it that
// cannot be listed is left out with an event. Each listing is closed before
// the walk goes down into the directories it holds, so the depth of a tree
// costs no open files. False when the directory itself cannot be listed.
bool Walk::scan(const zs& pattern, std::uint64_t directoryTime) {
    const zs directory(pattern, 0, pattern.size() - 1);
    // The directories below this one, with their times, walked once its
    // listing is closed.
    zvector<std::pair<zs, std::uint64_t>> below;
    {
        WIN32_FIND_DATAA item;
        const ListingOwner listing(FindFirstFileA(pattern.c_str(), &item));
        if (listing.get() == INVALID_HANDLE_VALUE)
            return false;
        appendEntry(list, directoryTime, 0, directory, "");
        do {
            if (std::strcmp(item.cFileName, ".") == 0 || std::strcmp(item.cFileName, "..") == 0)
                continue;
            if (leaveOut(directory, item, reporter))
                continue;
            if ((item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                below.emplace_back(directory + item.cFileName + "\\*", fileTimeValue(item.ftLastWriteTime));
            } else {
                appendEntry(list, fileTimeValue(item.ftLastWriteTime), item.nFileSizeLow, directory, item.cFileName);
                zas_event event{};
                event.type = ZAS_EVENT_GATHER_FILE;
                event.done = ++filesFound;
                reporter.report(event);
            }
        } while (FindNextFileA(listing.get(), &item));
    }
    for (const auto& [inner, time] : below) {
        if (scan(inner, time))
            continue;
        // The system refuses a directory whose path is too long; any other
        // that cannot be listed holds files the user expects in the archive
        // just the same.
        const zs path(inner, 0, inner.size() - 1);
        reporter.report(ZAS_EVENT_SOURCE_LEFT_OUT,
                        isPathTooLong(inner.c_str()) ? ZAS_REASON_PATH_TOO_LONG : ZAS_REASON_CANNOT_LIST, path.c_str());
    }
    return true;
}

void splitSourceEntry(const zs& entry, FILETIME& time, zs& fullPath, zs& directoryPart, zs& namePart,
                      std::uint32_t& size) {
    // Each field stops early at a character that is no digit, as %08X
    // reads it; what an entry lacks reads as 0.
    const std::size_t digits = std::min(entry.size(), kSourceEntryDigits);
    const auto field = [&](std::size_t start) {
        return start < digits ? getHex(entry.c_str() + start, std::min<std::size_t>(8, digits - start)) : 0u;
    };
    time.dwHighDateTime = field(0);
    time.dwLowDateTime = field(8);
    size = field(16);
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
