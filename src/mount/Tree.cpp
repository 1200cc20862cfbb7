#include "mount/Tree.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <unordered_map>

namespace {

constexpr std::uint32_t kNone = UINT32_MAX;

// Children by parent and name while the tree is built.
class ChildIndex {
public:
    std::uint32_t find(std::uint32_t parent, std::string_view name) {
        const auto found = m_map.find(key(parent, name));
        return found == m_map.end() ? kNone : found->second;
    }
    void add(std::uint32_t parent, std::string_view name, std::uint32_t child) {
        m_map.emplace(key(parent, name), child);
    }

private:
    static std::string key(std::uint32_t parent, std::string_view name) {
        std::string text(sizeof parent, '\0');
        std::memcpy(text.data(), &parent, sizeof parent);
        text.append(name);
        return text;
    }
    std::unordered_map<std::string, std::uint32_t> m_map;
};

} // namespace

std::string printableName(std::string_view name) {
    static const char digits[] = "0123456789abcdef";
    constexpr std::size_t kLongest = 256;
    std::string text;
    for (const char c : name.substr(0, kLongest)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
            text += c;
        } else {
            text += "\\x";
            text += digits[byte >> 4];
            text += digits[byte & 15];
        }
    }
    if (name.size() > kLongest)
        text += "...";
    return text;
}

int Tree::build(const zas_archive* archive, std::size_t prefixLength, std::int64_t undatedMs, const Report& report) {
    m_nodes.clear();
    std::uint64_t dirCount = 0;
    std::uint64_t fileCount = 0;
    if (const int status = zas_dir_count(archive, &dirCount); status != ZAS_OK)
        return status;
    if (const int status = zas_entry_count(archive, &fileCount); status != ZAS_OK)
        return status;

    ChildIndex index;
    m_nodes.emplace_back();
    m_nodes[0].directory = true;
    m_nodes[0].mtimeMs = undatedMs;

    // Directories first, as extraction creates them: every level of every
    // usable directory entry. A level ends up with the date of the last dated
    // entry, in table order, whose name passes through it (the root "\" too);
    // a level that none passes through has no date of its own.
    std::vector<std::uint32_t> nodeOfDirectory(dirCount, kNone);
    std::vector<unsigned char> refused(dirCount, 0);
    for (std::uint64_t i = 0; i < dirCount; ++i) {
        zas_dir_stat stat;
        if (const int status = zas_dir_stat_index(archive, i, &stat); status != ZAS_OK)
            return status;
        if (stat.unsafe != 0) {
            refused[i] = 1;
            report("not shown: directory " + printableName(stat.name) + ": a name that extraction refuses");
            continue;
        }
        const std::string_view name(stat.name);
        // Refused whole before a level is made: a hostile name of thousands
        // of levels costs no more than its length.
        if (prefixLength + name.size() >= PATH_MAX) {
            refused[i] = 1;
            report("not shown: directory " + printableName(name) + ": its path is too long");
            continue;
        }
        std::uint32_t at = 0;
        if (stat.has_date != 0)
            m_nodes[0].mtimeMs = stat.mtime_ms;
        // A usable name is "\" or "\a\...\b\": components between backslashes.
        for (std::size_t begin = 1; begin < name.size();) {
            const std::size_t end = name.find('\\', begin);
            const std::string_view component = name.substr(begin, end - begin);
            std::uint32_t next = index.find(at, component);
            if (next == kNone) {
                next = static_cast<std::uint32_t>(m_nodes.size());
                Node level;
                level.name = component;
                level.parent = at;
                level.directory = true;
                level.mtimeMs = undatedMs;
                m_nodes.push_back(std::move(level));
                index.add(at, component, next);
                m_nodes[at].children.push_back(next);
                ++m_nodes[at].subdirectories;
            }
            at = next;
            if (stat.has_date != 0)
                m_nodes[at].mtimeMs = stat.mtime_ms;
            begin = end + 1;
        }
        nodeOfDirectory[i] = at;
    }

    // Then the files, in table order: a later entry of the same path takes
    // the place of an earlier one, as it does on disk; a directory of the
    // same name stays, since extraction cannot put a file in its place.
    for (std::uint64_t i = 0; i < fileCount; ++i) {
        zas_stat stat;
        if (const int status = zas_stat_index(archive, i, &stat); status != ZAS_OK)
            return status;
        const char* hidden = nullptr;
        if ((stat.flags & ZAS_STAT_NO_DIRECTORY) != 0)
            hidden = "its directory entry is missing";
        else if (refused[stat.dir_index] != 0)
            hidden = "its directory is not shown";
        else if (stat.name[0] == '\0')
            hidden = "an entry without a name";
        else if ((stat.flags & ZAS_STAT_UNSAFE) != 0)
            hidden = "a name that extraction refuses";
        else if (prefixLength + std::strlen(stat.path) >= PATH_MAX)
            hidden = "its path is too long";
        if (hidden != nullptr) {
            report("not shown: file " + printableName(stat.path) + ": " + hidden);
            continue;
        }
        const std::uint32_t parent = nodeOfDirectory[stat.dir_index];
        std::uint32_t number = index.find(parent, stat.name);
        if (number == kNone) {
            number = static_cast<std::uint32_t>(m_nodes.size());
            Node file;
            file.name = stat.name;
            file.parent = parent;
            m_nodes.push_back(std::move(file));
            index.add(parent, stat.name, number);
            m_nodes[parent].children.push_back(number);
        } else if (m_nodes[number].directory) {
            report("not shown: file " + printableName(stat.path) + ": a directory has the same name");
            continue;
        }
        Node& file = m_nodes[number];
        file.entry = i;
        file.size = stat.size;
        file.compressed = (stat.flags & ZAS_STAT_COMPRESSED) != 0;
        file.mtimeMs = (stat.flags & ZAS_STAT_HAS_DATE) != 0 ? stat.mtime_ms : undatedMs;
    }

    for (Node& node : m_nodes) {
        std::sort(node.children.begin(), node.children.end(),
                  [&](std::uint32_t one, std::uint32_t other) { return m_nodes[one].name < m_nodes[other].name; });
    }
    return ZAS_OK;
}

const Node* Tree::child(const Node& directory, std::string_view name) const {
    const auto found = std::lower_bound(directory.children.begin(), directory.children.end(), name,
                                        [&](std::uint32_t one, std::string_view wanted) {
                                            return std::string_view(m_nodes[one].name) < wanted;
                                        });
    if (found == directory.children.end() || m_nodes[*found].name != name)
        return nullptr;
    return &m_nodes[*found];
}
