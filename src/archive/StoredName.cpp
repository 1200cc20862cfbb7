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

bool equalIgnoringCase(std::string_view text, std::string_view upperCase) {
    if (text.size() != upperCase.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c) != upperCase[i])
            return false;
    }
    return true;
}

// Windows opens the device whatever follows the name's first dot, and
// ignores blanks before that dot.
bool isReservedDeviceName(std::string_view name) {
    std::string_view stem = name.substr(0, name.find('.'));
    const std::size_t lastLetter = stem.find_last_not_of(' ');
    stem = stem.substr(0, lastLetter == std::string_view::npos ? 0 : lastLetter + 1);
    if (stem.size() < 3)
        return false;
    const std::string_view word = stem.substr(0, 3);
    if (stem.size() == 3)
        return equalIgnoringCase(word, "CON") || equalIgnoringCase(word, "PRN") || equalIgnoringCase(word, "AUX") ||
               equalIgnoringCase(word, "NUL");
    if (!equalIgnoringCase(word, "COM") && !equalIgnoringCase(word, "LPT"))
        return false;
    const std::string_view number = stem.substr(3);
    if (number.size() == 1 && number[0] >= '0' && number[0] <= '9')
        return true;
    // Windows counts the superscripts 1, 2 and 3 as digits here. Names are
    // bytes in the system's code page: a single byte in the Western ones,
    // two where that code page is UTF-8.
    for (const std::string_view superscript : {"\xB9", "\xB2", "\xB3", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"})
        if (number == superscript)
            return true;
    return false;
}

} // namespace

bool isSafeName(std::string_view name, NameRules rules) {
    if (name.empty() || name.find_first_of("/\\") != std::string_view::npos)
        return false;
    if (rules == NameRules::posix)
        return name != "." && name != "..";
    // A colon names a drive or a stream. Windows drops trailing dots and
    // blanks, so "x." would be written over "x", and "..." and ". ." would
    // reach "..".
    return name.find(':') == std::string_view::npos && name.back() != '.' && name.back() != ' ' &&
           !isReservedDeviceName(name);
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
