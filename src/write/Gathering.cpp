#include "write/Gathering.h"

#include "archive/StoredName.h"
#include "write/ListingAhead.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

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

// A link's item takes its target's facts; false when the link leads nowhere.
bool describeTarget(const zs& directory, ListedItem& item) {
    WIN32_FIND_DATAA found{};
    found.dwFileAttributes = item.attributes;
    found.ftLastWriteTime = item.lastWrite;
    found.nFileSizeHigh = item.sizeHigh;
    found.nFileSizeLow = item.sizeLow;
    if (!describeLinkTarget((directory + item.name).c_str(), found))
        return false;
    item.attributes = found.dwFileAttributes;
    item.lastWrite = found.ftLastWriteTime;
    item.sizeHigh = found.nFileSizeHigh;
    item.sizeLow = found.nFileSizeLow;
    return true;
}

// Items the archive cannot hold are left out with a warning; none of them
// stops the walk. A link to a directory is not followed, so no walk can loop.
// A name that this system's extraction would refuse is left out too: what is
// packed (and, in move mode, deleted) must come back out. A link to a file
// takes its target's facts.
bool leaveOut(const zs& directory, ListedItem& item, Reporter& reporter) {
    const bool isDirectory = (item.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    int reason = 0;
    if (item.name.find('\\') != zs::npos)
        reason = ZAS_REASON_BACKSLASH;
    else if (!isSafeName(item.name.c_str(), kSystemNameRules))
        reason = ZAS_REASON_UNSAFE_NAME;
    else if (isDirectory && (item.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        reason = ZAS_REASON_DIRECTORY_LINK;
    else if (isDirectory)
        return false;
    else if ((item.attributes & FILE_ATTRIBUTE_DEVICE) != 0)
        reason = ZAS_REASON_NOT_REGULAR;
    else if ((item.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !describeTarget(directory, item))
        reason = ZAS_REASON_DANGLING_LINK;
    else if (item.sizeHigh != 0)
        reason = ZAS_REASON_TOO_LARGE;
    else
        return false;
    const zs path = directory + item.name;
    reporter.report(ZAS_EVENT_SOURCE_LEFT_OUT, reason, path.c_str());
    return true;
}

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
    ListingAhead* ahead; // null: every listing made on this thread
    std::uint64_t filesFound = 0;

    bool scan(const zs& pattern, std::uint64_t directoryTime, Listing listing);
};

} // namespace

int gatherSources(const zs& source, zvector<zs>& list, Reporter& reporter, unsigned threads) {
    list.clear();
    reporter.report(ZAS_EVENT_GATHER_BEGIN, 0, source.c_str());
    zs pattern = source;
    if (!pattern.empty() && pattern.back() != '\\')
        pattern += '\\';
    pattern += '*';
    int status = ZAS_OK;
    std::unique_ptr<ListingAhead> ahead;
    if (threads > 1)
        ahead = std::make_unique<ListingAhead>(threads);
    Walk walk{list, reporter, ahead.get()};
    if (!walk.scan(pattern, 0, listDirectory(pattern))) {
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
    ahead.reset();
    std::sort(list.begin(), list.end(), [](const zs& one, const zs& other) {
        return compareSourcePaths(one.c_str() + kSourceEntryDigits, other.c_str() + kSourceEntryDigits) < 0;
    });
    return status;
}

// Appends the entries of the directory named by pattern (its path, a
// backslash and "*"), whose listing is given, and of everything under it. A
// directory below it that cannot be listed is left out with an event. A
// listing is held in memory, not open, while the walk goes down into the
// directories it holds, so the depth of a tree costs no open files. False
// when the directory itself could not be listed.
bool Walk::scan(const zs& pattern, std::uint64_t directoryTime, Listing listing) {
    if (!listing.listed)
        return false;
    const zs directory(pattern, 0, pattern.size() - 1);
    // The directories below this one, with their times, walked once this
    // listing is done.
    zvector<zs> below;
    zvector<std::uint64_t> belowTimes;
    appendEntry(list, directoryTime, 0, directory, "");
    for (ListedItem& item : listing.items) {
        if (leaveOut(directory, item, reporter))
            continue;
        if ((item.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            below.push_back(directory + item.name + "\\*");
            belowTimes.push_back(fileTimeValue(item.lastWrite));
        } else {
            appendEntry(list, fileTimeValue(item.lastWrite), item.sizeLow, directory, item.name.c_str());
            zas_event event{};
            event.type = ZAS_EVENT_GATHER_FILE;
            event.done = ++filesFound;
            reporter.report(event);
        }
    }
    listing = Listing();
    zvector<ListingAhead::Request*> requests;
    if (ahead != nullptr)
        ahead->ask(below, requests);
    for (std::size_t i = 0; i < below.size(); ++i) {
        const zs& inner = below[i];
        if (scan(inner, belowTimes[i], ahead != nullptr ? ahead->take(requests[i]) : listDirectory(inner)))
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
