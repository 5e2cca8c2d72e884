// The keyed archiver's objects as it builds them, before they are a property list: every member of
// "$objects" is a node, and so are the entries of its dictionaries and the members of their lists.
// Scalars are held as their binary property-list encodings. The binary archive is written from the
// nodes directly, with the bytes the binary writer gives for the same archive as a Value tree; other
// formats go through that tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/value.h"

namespace lv::detail {

struct ArchiveNode {
    enum class Kind : std::uint8_t {
        Placeholder,  // an object whose encoding did not finish (reads as nil, which no format holds)
        Uid,
        Conditional,  // a reference settled when the archive is finished
        Scalar,       // a number or data
        Text,
        Array,
        Dictionary,
    };
    Kind kind = Kind::Placeholder;
    bool valid = true;       // Text: a binary property list can hold it (else its bytes are kept as they are)
    std::uint32_t key = 0;   // a dictionary entry's key: its index in ArchiveGraph::keys
    std::size_t begin = 0;   // Scalar, Text: bytes in the arena; Array, Dictionary: first member in members
    std::size_t length = 0;
    std::uint64_t ref = 0;   // Uid: the reference; Conditional: index in ArchiveGraph::conditionals
};

struct ArchiveGraph {
    std::vector<ArchiveNode> objects;  // "$objects"
    std::vector<ArchiveNode> members;  // entries and list members, each container's together
    ArchiveNode top;                   // "$top"
    Bytes arena;                       // encodings of scalars and texts
    struct Key {
        std::string text;              // as stored (a leading "$" already doubled)
        bool valid;                    // a binary property list can hold it
    };
    std::vector<Key> keys;
    std::vector<std::uint64_t> conditionals;

    ArchiveNode number(const Number& n);
    ArchiveNode data(std::span<const std::uint8_t> bytes);
    ArchiveNode text(std::string_view text);
    static ArchiveNode uid(std::uint64_t ref) { return {ArchiveNode::Kind::Uid, true, 0, 0, 0, ref}; }
    // A container of the nodes, which are appended to members.
    ArchiveNode container(ArchiveNode::Kind kind, std::span<const ArchiveNode> nodes);
};

// Puts each dictionary's entries in key order, the last of equal keys kept (as a Dictionary would).
void sortArchiveEntries(ArchiveGraph& graph);
// The binary archive, or nothing and the reason the binary writer's check gives for the Value tree.
std::optional<Bytes> writeBinaryArchive(ArchiveGraph& graph, std::string* failure);
// The archive as a Value tree ({"$archiver", "$objects", "$top", "$version"}, UIDs as PlistUID).
Value archiveTree(const ArchiveGraph& graph);

}  // namespace lv::detail
