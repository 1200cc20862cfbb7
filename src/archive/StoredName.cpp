#include "archive/StoredName.h"

namespace {

bool isSafeComponentList(std::string_view rest, NameRules rules) {
    while (!rest.empty()) {
        const std::size_t end = rest.find('\\');
        if (end == std::string_view::npos)
            return isSafeName(rest, rules);
        if (!isSafeName(rest.substr(0, end), rules))
            return false;
        rest.remove_prefix(end + 1);
    }
    return true;
}

} // namespace

bool isSafeName(std::string_view name, NameRules rules) {
    if (name.empty() || name.find_first_of("/\\") != std::string_view::npos)
        return false;
    if (rules == NameRules::posix)
        return name != "." && name != "..";
    // A colon names a drive or a stream, and Windows drops trailing dots and
    // blanks, so "..." and ". ." reach "..".
    return name.find(':') == std::string_view::npos && name.find_first_not_of(". ") != std::string_view::npos;
}

bool isSafeStoredPath(std::string_view directoryName, std::string_view fileName, NameRules rules) {
    if (directoryName.empty() || directoryName.front() != '\\' || directoryName.back() != '\\')
        return false;
    return isSafeComponentList(directoryName.substr(1), rules) && (fileName.empty() || isSafeName(fileName, rules));
}

bool isSafeRelativePath(std::string_view path, NameRules rules) {
    if (!path.empty() && path.back() == '\\')
        path.remove_suffix(1);
    // The list takes a trailing backslash as the end of a directory name;
    // a second one here would be an empty component.
    return !path.empty() && path.back() != '\\' && isSafeComponentList(path, rules);
}
