// The tree a mount shows: what `zas -x` would leave on disk, built once from
// the archive's tables through the public API and never changed afterwards,
// so that every thread may read it without a lock.
#pragma once

#include <zas.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct Node {
    std::string name;        // one component, as stored
    std::uint32_t parent = 0; // the parent's node number (the root is its own)
    bool directory = false;
    bool compressed = false;
    std::uint64_t size = 0;
    std::uint64_t entry = 0; // a file's index in the file table
    std::int64_t mtimeMs = 0;
    std::uint32_t subdirectories = 0;
    std::vector<std::uint32_t> children; // node numbers, ordered by name
};

class Tree {
public:
    // Reports each entry that is not shown, with why, as one line of text.
    using Report = std::function<void(const std::string& line)>;

    // Builds the tree of an open archive, for a mount point whose absolute
    // path is prefixLength bytes long: as in extraction, a path that would
    // reach PATH_MAX is not shown. Levels and files without a date of their
    // own get undatedMs (the archive's own last-write time). ZAS_OK, or the
    // status of a failed API call.
    int build(const zas_archive* archive, std::size_t prefixLength, std::int64_t undatedMs, const Report& report);

    // Node numbers run from 0 (the root) and are the same for every build of
    // the same archive; FUSE's inode numbers are these plus one.
    std::size_t size() const noexcept { return m_nodes.size(); }
    const Node& node(std::uint32_t number) const { return m_nodes[number]; }
    // The child of a directory by name, or null.
    const Node* child(const Node& directory, std::string_view name) const;
    std::uint32_t numberOf(const Node& node) const { return static_cast<std::uint32_t>(&node - m_nodes.data()); }

private:
    std::vector<Node> m_nodes;
};

// A stored name for a message: bytes that are not printable ASCII as \xNN,
// a very long name cut short with "...".
std::string printableName(std::string_view name);
