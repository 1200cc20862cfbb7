// The version, the messages of the statuses, and the conversions every part
// of the C API shares.
#include "api/Handles.h"

#include "platform/Platform.h"

namespace {

// 100-nanosecond ticks from 1601-01-01 to 1970-01-01, and per millisecond.
constexpr std::int64_t kUnixEpochTicks = 116444736000000000;
constexpr std::int64_t kTicksPerMillisecond = 10000;

} // namespace

namespace api {

zs enginePath(const char* path) {
    zs converted(path != nullptr ? path : "");
    for (char& c : converted)
        if (c == '/')
            c = '\\';
    return converted;
}

bool splitName(const char* name, zs& directory, zs& file) {
    zs path = enginePath(name);
    if (path.empty() || path.back() == '\\')
        return false;
    if (path.front() != '\\')
        path.insert(path.begin(), '\\');
    const std::size_t last = path.rfind('\\');
    directory.assign(path, 0, last + 1);
    file.assign(path, last + 1);
    return true;
}

zs directoryName(const char* name) {
    zs path = enginePath(name);
    if (path.empty() || path.front() != '\\')
        path.insert(path.begin(), '\\');
    if (path.back() != '\\')
        path.push_back('\\');
    return path;
}

bool dateFromMilliseconds(std::int64_t milliseconds, ArchiveDate& date) {
    // Before 1601 no file time holds it, and far ahead the ticks overflow.
    constexpr std::int64_t kLatest = (INT64_MAX - kUnixEpochTicks) / kTicksPerMillisecond;
    if (milliseconds < -kUnixEpochTicks / kTicksPerMillisecond || milliseconds > kLatest)
        return false;
    const FILETIME time = makeFileTime(static_cast<std::uint64_t>(milliseconds * kTicksPerMillisecond + kUnixEpochTicks));
    SYSTEMTIME converted;
    if (!FileTimeToSystemTime(&time, &converted))
        return false;
    date = archiveDateOf(converted);
    return true;
}

bool millisecondsFromDate(const ArchiveDate& date, std::int64_t& milliseconds) {
    if (date.year == 0)
        return false;
    const SYSTEMTIME time = systemTimeOf<SYSTEMTIME>(date);
    FILETIME converted;
    if (!SystemTimeToFileTime(&time, &converted))
        return false;
    const auto ticks = static_cast<std::int64_t>(fileTimeValue(converted));
    // Floor division: dates before 1970 round down too.
    const std::int64_t sinceEpoch = ticks - kUnixEpochTicks;
    milliseconds = sinceEpoch / kTicksPerMillisecond - (sinceEpoch % kTicksPerMillisecond < 0 ? 1 : 0);
    return true;
}

zas_date publicDate(const ArchiveDate& date) {
    return zas_date{date.year, date.month, date.dayOfWeek, date.day,
                    date.hour, date.minute, date.second,   date.milliseconds};
}

} // namespace api

extern "C" {

unsigned zas_version_number(void) {
    return ZAS_VERSION_NUMBER;
}

const char* zas_version_string(void) {
    return ZAS_VERSION_STRING;
}

const char* zas_strerror(int status) {
    switch (status) {
    case ZAS_OK: return "No error";
    case ZAS_E_INVALID: return "Invalid argument";
    case ZAS_E_NOMEM: return "Out of system memory resources";
    case ZAS_E_OPEN: return "Could not open file";
    case ZAS_E_NOT_ARCHIVE: return "Not an archive of this format";
    case ZAS_E_VERSION: return "Archive of another format version";
    case ZAS_E_DAMAGED: return "Archive header or tables are damaged";
    case ZAS_E_ENTRY_DAMAGED: return "Entry is damaged in the archive";
    case ZAS_E_NOT_FOUND: return "No such entry or file";
    case ZAS_E_INDEX: return "Index out of range";
    case ZAS_E_READ: return "Read error";
    case ZAS_E_WRITE: return "Write error";
    case ZAS_E_CREATE: return "Could not create file";
    case ZAS_E_EXISTS: return "File already exists";
    case ZAS_E_NAME: return "Name not allowed in an archive";
    case ZAS_E_TOO_LARGE: return "Too large for the archive format";
    case ZAS_E_CANCELLED: return "Cancelled";
    case ZAS_E_STATE: return "Not allowed in the handle's present state";
    case ZAS_E_INCOMPLETE: return "Some entries were not extracted";
    case ZAS_E_CHANGED: return "Archive changed on disk since it was opened";
    case ZAS_E_INTERNAL: return "Internal error";
    default: return "Unknown status";
    }
}

} // extern "C"
