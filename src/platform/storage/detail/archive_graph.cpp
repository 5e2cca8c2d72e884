#include "platform/storage/detail/archive_graph.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <unordered_set>

#include "platform/base/big_endian.h"
#include "platform/storage/detail/plist_codec.h"

namespace lv::detail {

using Kind = ArchiveNode::Kind;

ArchiveNode ArchiveGraph::number(const Number& n) {
    ArchiveNode node{Kind::Scalar};
    node.begin = arena.size();
    putNumber(arena, n);
    node.length = arena.size() - node.begin;
    return node;
}

ArchiveNode ArchiveGraph::data(std::span<const std::uint8_t> bytes) {
    ArchiveNode node{Kind::Scalar};
    node.begin = arena.size();
    putMarker(arena, 0x40, bytes.size());
    arena.insert(arena.end(), bytes.begin(), bytes.end());
    node.length = arena.size() - node.begin;
    return node;
}

ArchiveNode ArchiveGraph::text(std::string_view text) {
    ArchiveNode node{Kind::Text};
    node.begin = arena.size();
    bool ascii = true, nul = false;
    for (char c : text) {
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        nul = nul || c == 0;
    }
    if (ascii && !nul) {
        putMarker(arena, 0x50, text.size());
        arena.insert(arena.end(), text.begin(), text.end());
    } else if (!nul && plistStringIsValid(text, false)) {
        putText(arena, text);
    } else {
        node.valid = false;  // kept as it is, for the reason the writer gives
        arena.insert(arena.end(), text.begin(), text.end());
    }
    node.length = arena.size() - node.begin;
    return node;
}

ArchiveNode ArchiveGraph::container(Kind kind, std::span<const ArchiveNode> nodes) {
    ArchiveNode node{kind};
    node.begin = members.size();
    node.length = nodes.size();
    members.insert(members.end(), nodes.begin(), nodes.end());
    return node;
}

void sortArchiveEntries(ArchiveGraph& graph) {
    // Keys compare by their rank among all keys, found once.
    std::vector<std::uint32_t> byText(graph.keys.size());
    for (std::uint32_t i = 0; i < byText.size(); ++i) byText[i] = i;
    std::sort(byText.begin(), byText.end(),
              [&](std::uint32_t a, std::uint32_t b) { return graph.keys[a].text < graph.keys[b].text; });
    std::vector<std::uint32_t> rank(byText.size());
    for (std::uint32_t i = 0; i < byText.size(); ++i) rank[byText[i]] = i;
    // Objects of one class mostly hold the same keys in the same order: the order found for the last
    // dictionary is used again while its keys are the same.
    std::vector<std::uint32_t> lastKeys, lastOrder, keys, order;
    std::vector<ArchiveNode> sorted;
    auto sortEntries = [&](ArchiveNode& dictionary) {
        if (dictionary.kind != Kind::Dictionary || dictionary.length < 2) return;
        ArchiveNode* entries = graph.members.data() + dictionary.begin;
        const std::size_t n = dictionary.length;
        keys.resize(n);
        for (std::size_t i = 0; i < n; ++i) keys[i] = entries[i].key;
        if (keys != lastKeys) {
            // A stable order by key rank; of equal keys the last set is kept.
            order.resize(n);
            for (std::uint32_t i = 0; i < n; ++i) order[i] = i;
            std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return rank[keys[a]] < rank[keys[b]]; });
            std::size_t kept = 0;
            for (std::size_t i = 0; i < n; ++i) {
                if (i + 1 < n && keys[order[i + 1]] == keys[order[i]]) continue;
                order[kept++] = order[i];
            }
            order.resize(kept);
            lastKeys.swap(keys);
            lastOrder.swap(order);
        }
        sorted.clear();
        for (std::uint32_t i : lastOrder) sorted.push_back(entries[i]);
        std::copy(sorted.begin(), sorted.end(), entries);
        dictionary.length = sorted.size();
    };
    for (ArchiveNode& object : graph.objects) sortEntries(object);
    sortEntries(graph.top);
}

namespace {

constexpr std::string_view kStringFailure = "A string with NUL or invalid UTF-8";
constexpr std::string_view kKeyFailure = "A dictionary key that the format cannot hold";
constexpr std::string_view kNilFailure = "property lists cannot contain objects of type 'nil'";

// The binary writer's check of the tree, in its order: "$objects" member by member, each dictionary's
// entries key then value, then "$top".
bool checkForBinary(const ArchiveGraph& graph, std::string* failure) {
    auto refuse = [&](std::string_view why) {
        if (failure) *failure = why;
        return false;
    };
    auto member = [&](std::size_t i) -> const ArchiveNode& { return graph.members[i]; };
    auto dictionary = [&](const ArchiveNode& node) {
        for (std::size_t i = node.begin; i < node.begin + node.length; ++i) {
            const ArchiveNode& entry = member(i);
            if (!graph.keys[entry.key].valid) return refuse(kKeyFailure);
            if (entry.kind == Kind::Text && !entry.valid) return refuse(kStringFailure);
            if (entry.kind == Kind::Array) {
                for (std::size_t k = entry.begin; k < entry.begin + entry.length; ++k) {
                    if (member(k).kind == Kind::Text && !member(k).valid) return refuse(kStringFailure);
                }
            }
        }
        return true;
    };
    for (const ArchiveNode& object : graph.objects) {
        if (object.kind == Kind::Placeholder) return refuse(kNilFailure);
        if (object.kind == Kind::Text && !object.valid) return refuse(kStringFailure);
        if (object.kind == Kind::Dictionary && !dictionary(object)) return false;
    }
    return dictionary(graph.top);
}

// Encodings are mostly short (numbers, references, keys): those are hashed from two words.
std::size_t hashOf(const std::uint8_t* bytes, std::size_t length) {
    if (length > 16) return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(bytes), length));
    std::uint64_t low = 0, high = 0;
    std::memcpy(&low, bytes, std::min<std::size_t>(length, 8));
    if (length > 8) std::memcpy(&high, bytes + 8, length - 8);
    std::uint64_t h = low * 0x9E3779B97F4A7C15ULL ^ (high + length) * 0xC2B2AE3D27D4EB4FULL;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 32;
    return static_cast<std::size_t>(h);
}

// Numbers the objects as the binary writer does for the tree (each object before its contents,
// dictionary keys before values, equal scalar encodings once), then writes them.
class BinaryArchiveWriter {
public:
    explicit BinaryArchiveWriter(ArchiveGraph& graph) : g_(graph) {
        scalars_.reserve(graph.objects.size() + graph.keys.size());
        uidRecs_.assign(graph.objects.size(), 0);
        keyRecs_.assign(graph.keys.size(), 0);
        recs_.reserve(graph.objects.size() * 2 + 16);
    }

    Bytes write() {
        const std::size_t root = openContainer(0xD0);
        const std::size_t start = pending_.size();
        for (std::string_view key : {"$archiver", "$objects", "$top", "$version"}) pending_.push_back(textRec(key));
        pending_.push_back(textRec("NSKeyedArchiver"));
        const std::size_t objects = openContainer(0xA0);
        const std::size_t objectsStart = pending_.size();
        for (const ArchiveNode& object : g_.objects) {
            const std::size_t rec = add(object);
            pending_.push_back(rec);
        }
        closeContainer(objects, objectsStart);
        pending_.push_back(objects);
        const std::size_t top = add(g_.top);
        pending_.push_back(top);
        g_.arena.push_back(0x12);
        putBigEndian(g_.arena, 100000, 4);
        pending_.push_back(scalarRec(g_.arena.size() - 5, 5, true));
        closeContainer(root, start);
        return serialize();
    }

private:
    struct Rec {
        std::uint8_t marker;  // 0 for a scalar (bytes in the arena), 0xA0 or 0xD0 (references in refs_)
        std::size_t begin;
        std::size_t length;
        std::size_t hash;
    };

    std::size_t openContainer(std::uint8_t marker) {
        recs_.push_back({marker, 0, 0, 0});
        return recs_.size() - 1;
    }
    void closeContainer(std::size_t rec, std::size_t start) {
        recs_[rec].begin = refs_.size();
        recs_[rec].length = pending_.size() - start;
        refs_.insert(refs_.end(), pending_.begin() + static_cast<std::ptrdiff_t>(start), pending_.end());
        pending_.resize(start);
    }

    // The object of the encoding at the arena's [begin, begin + length); an encoding appended for the
    // look-up is taken back when an equal one is there already.
    std::size_t scalarRec(std::size_t begin, std::size_t length, bool appended) {
        recs_.push_back({0, begin, length, hashOf(g_.arena.data() + begin, length)});
        const auto [found, added] = scalars_.insert(recs_.size() - 1);
        if (added) return recs_.size() - 1;
        recs_.pop_back();
        if (appended) g_.arena.resize(begin);
        return *found;
    }

    std::size_t textRec(std::string_view text) {
        const std::size_t begin = g_.arena.size();
        putText(g_.arena, text);
        return scalarRec(begin, g_.arena.size() - begin, true);
    }

    std::size_t uidRec(std::uint64_t uid) {
        std::size_t* cached = uid < uidRecs_.size() ? &uidRecs_[uid] : nullptr;
        if (cached && *cached) return *cached - 1;
        const std::size_t begin = g_.arena.size();
        const unsigned n = bytesFor(uid);
        g_.arena.push_back(static_cast<std::uint8_t>(0x80 | (n - 1)));
        putBigEndian(g_.arena, uid, n);
        const std::size_t rec = scalarRec(begin, g_.arena.size() - begin, true);
        if (cached) *cached = rec + 1;
        return rec;
    }

    std::size_t keyRec(std::uint32_t key) {
        std::size_t& cached = keyRecs_[key];
        if (!cached) cached = textRec(g_.keys[key].text) + 1;
        return cached - 1;
    }

    std::size_t add(const ArchiveNode& node) {
        switch (node.kind) {
            case Kind::Uid: return uidRec(node.ref);
            case Kind::Conditional: return uidRec(g_.conditionals[node.ref]);
            case Kind::Scalar:
            case Kind::Text: return scalarRec(node.begin, node.length, false);
            case Kind::Array:
            case Kind::Dictionary: {
                const bool dictionary = node.kind == Kind::Dictionary;
                const std::size_t rec = openContainer(dictionary ? 0xD0 : 0xA0);
                const std::size_t start = pending_.size();
                const std::size_t end = node.begin + node.length;
                if (dictionary) {
                    for (std::size_t i = node.begin; i < end; ++i) pending_.push_back(keyRec(g_.members[i].key));
                }
                for (std::size_t i = node.begin; i < end; ++i) {
                    const std::size_t member = add(g_.members[i]);
                    pending_.push_back(member);
                }
                closeContainer(rec, start);
                return rec;
            }
            case Kind::Placeholder: break;  // refused before writing
        }
        return 0;
    }

    static std::size_t markerSize(std::uint64_t length) { return length < 15 ? 1 : 2 + bytesFor(length); }

    std::uint8_t* putMarkerAt(std::uint8_t* p, std::uint8_t type, std::uint64_t length) {
        if (length < 15) {
            *p = static_cast<std::uint8_t>(type | length);
            return p + 1;
        }
        *p++ = static_cast<std::uint8_t>(type | 0x0F);
        const unsigned n = bytesFor(length);
        *p++ = static_cast<std::uint8_t>(0x10 | std::countr_zero(n));
        storeBig(p, length, n);
        return p + n;
    }

    Bytes serialize() {
        const std::uint64_t count = recs_.size();
        const unsigned refSize = bytesFor(count - 1);
        auto sizeOf = [&](const Rec& rec) {
            if (rec.marker == 0) return rec.length;
            const std::size_t entries = rec.marker == 0xD0 ? rec.length / 2 : rec.length;
            return markerSize(entries) + rec.length * refSize;
        };
        std::size_t objectBytes = 0;
        for (const Rec& rec : recs_) objectBytes += sizeOf(rec);
        const std::uint64_t tableOffset = 8 + objectBytes;
        const unsigned offsetSize = bytesFor(tableOffset - sizeOf(recs_.back()));
        Bytes out(tableOffset + count * offsetSize + 32);
        std::memcpy(out.data(), "bplist00", 8);
        std::uint8_t* p = out.data() + 8;
        std::uint8_t* table = out.data() + tableOffset;
        for (const Rec& rec : recs_) {
            storeBig(table, static_cast<std::uint64_t>(p - out.data()), offsetSize);
            table += offsetSize;
            if (rec.marker == 0) {
                std::memcpy(p, g_.arena.data() + rec.begin, rec.length);
                p += rec.length;
                continue;
            }
            p = putMarkerAt(p, rec.marker, rec.marker == 0xD0 ? rec.length / 2 : rec.length);
            for (std::size_t i = rec.begin; i < rec.begin + rec.length; ++i, p += refSize) storeBig(p, refs_[i], refSize);
        }
        std::uint8_t* trailer = table;
        std::memset(trailer, 0, 6);
        trailer[6] = static_cast<std::uint8_t>(offsetSize);
        trailer[7] = static_cast<std::uint8_t>(refSize);
        storeBig(trailer + 8, count, 8);
        storeBig(trailer + 16, 0, 8);
        storeBig(trailer + 24, tableOffset, 8);
        return out;
    }

    ArchiveGraph& g_;
    std::vector<Rec> recs_;
    std::vector<std::size_t> refs_, pending_;
    // Scalars' Recs (by index) with equal encodings found by their bytes in the arena.
    struct ScalarHash {
        const BinaryArchiveWriter* writer;
        std::size_t operator()(std::size_t rec) const { return writer->recs_[rec].hash; }
    };
    struct ScalarEqual {
        const BinaryArchiveWriter* writer;
        bool operator()(std::size_t a, std::size_t b) const {
            const Rec& x = writer->recs_[a];
            const Rec& y = writer->recs_[b];
            const std::uint8_t* arena = writer->g_.arena.data();
            return x.hash == y.hash && x.length == y.length && std::memcmp(arena + x.begin, arena + y.begin, x.length) == 0;
        }
    };
    std::unordered_set<std::size_t, ScalarHash, ScalarEqual> scalars_{0, ScalarHash{this}, ScalarEqual{this}};
    std::vector<std::size_t> uidRecs_;  // by UID: index of its Rec + 1
    std::vector<std::size_t> keyRecs_;  // by key: index of its Rec + 1
};

// The value of a scalar encoding this file wrote (for the tree).
Value scalarValue(const ArchiveGraph& graph, const ArchiveNode& node) {
    const std::uint8_t* p = graph.arena.data() + node.begin;
    if (node.kind == Kind::Text && !node.valid) return Value(std::string(reinterpret_cast<const char*>(p), node.length));
    // A marker's length sits in its low nibble or in the integer object after it.
    auto body = [&](std::size_t& length) {
        if ((p[0] & 0x0F) != 0x0F) {
            length = p[0] & 0x0F;
            return p + 1;
        }
        const unsigned n = 1u << (p[1] & 0x0F);
        length = static_cast<std::size_t>(loadBig(p + 2, n));
        return p + 2 + n;
    };
    std::size_t length = 0;
    switch (p[0] & 0xF0) {
        case 0x00: return Value(p[0] == 0x09);
        case 0x10: {
            if (p[0] == 0x14) return Value(loadBig(p + 9, 8));
            return Value(static_cast<std::int64_t>(loadBig(p + 1, 1u << (p[0] & 0x0F))));
        }
        case 0x20: return Value(std::bit_cast<double>(loadBig(p + 1, 8)));
        case 0x40: {
            const std::uint8_t* at = body(length);
            return Value(Bytes(at, at + length));
        }
        case 0x50: {
            const std::uint8_t* at = body(length);
            return Value(std::string(reinterpret_cast<const char*>(at), length));
        }
        default: {
            const std::uint8_t* at = body(length);
            std::u16string units(length, u'\0');
            for (std::size_t i = 0; i < length; ++i) units[i] = static_cast<char16_t>(loadBig(at + 2 * i, 2));
            return Value(fromUtf16(units));
        }
    }
}

Value nodeValue(const ArchiveGraph& graph, const ArchiveNode& node) {
    switch (node.kind) {
        case Kind::Placeholder: return {};
        case Kind::Uid: return makeUID(node.ref);
        case Kind::Conditional: return makeUID(graph.conditionals[node.ref]);
        case Kind::Scalar:
        case Kind::Text: return scalarValue(graph, node);
        case Kind::Array: {
            Array items;
            for (std::size_t i = node.begin; i < node.begin + node.length; ++i) items.push_back(nodeValue(graph, graph.members[i]));
            return Value(std::move(items));
        }
        case Kind::Dictionary: {
            Dictionary entries;
            for (std::size_t i = node.begin; i < node.begin + node.length; ++i) {
                const ArchiveNode& entry = graph.members[i];
                entries.set(graph.keys[entry.key].text, nodeValue(graph, entry));
            }
            return Value(std::move(entries));
        }
    }
    return {};
}

}  // namespace

std::optional<Bytes> writeBinaryArchive(ArchiveGraph& graph, std::string* failure) {
    if (!checkForBinary(graph, failure)) return std::nullopt;
    return BinaryArchiveWriter(graph).write();
}

Value archiveTree(const ArchiveGraph& graph) {
    Array objects;
    objects.reserve(graph.objects.size());
    for (const ArchiveNode& object : graph.objects) objects.push_back(nodeValue(graph, object));
    return Value::dictionary({
        {"$archiver", "NSKeyedArchiver"},
        {"$objects", Value(std::move(objects))},
        {"$top", nodeValue(graph, graph.top)},
        {"$version", 100000},
    });
}

}  // namespace lv::detail
