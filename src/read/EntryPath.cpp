#include "read/EntryPath.h"

namespace {

bool isSafeComponent(std::string_view component) {
    if (component.empty())
        return false;
    // '/' is a separator on both systems, ':' names a drive or a Windows
    // stream; neither belongs in a single name.
    if (component.find_first_of("/:\\") != std::string_view::npos)
        return false;
    return component.find_first_not_of(". ") != std::string_view::npos;
}

} // namespace

bool isSafeEntryPath(std::string_view directoryName, std::string_view fileName) {
    if (directoryName.empty() || directoryName.front() != '\\' || directoryName.back() != '\\')
        return false;
    std::string_view rest = directoryName.substr(1);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\\');
        if (!isSafeComponent(rest.substr(0, end)))
            return false;
        rest.remove_prefix(end + 1);
    }
    return fileName.empty() || isSafeComponent(fileName);
}
