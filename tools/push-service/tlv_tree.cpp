#include "tlv_tree.h"

#include <bit>
#include <cstring>
#include <limits>

namespace lv::tools {
namespace {

constexpr int kMaxDepth = 64;

class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}

    bool atEnd() const { return position_ >= bytes_.size(); }
    bool nextIsStructEnd() const { return !atEnd() && static_cast<std::uint8_t>(bytes_[position_]) == 0x0B; }

    bool take(std::size_t n, std::string_view* out) {
        if (n > bytes_.size() - position_) {
            return false;
        }
        *out = bytes_.substr(position_, n);
        position_ += n;
        return true;
    }

    bool bigEndian(std::size_t width, std::uint64_t* value) {
        std::string_view raw;
        if (!take(width, &raw)) {
            return false;
        }
        *value = 0;
        for (char c : raw) {
            *value = (*value << 8) | static_cast<std::uint8_t>(c);
        }
        return true;
    }

    bool head(int* tag, TlvKind* kind) {
        std::uint64_t first = 0;
        if (!bigEndian(1, &first)) {
            return false;
        }
        const auto code = static_cast<int>(first & 0x0F);
        *tag = static_cast<int>(first >> 4);
        if (*tag == 15) {
            std::uint64_t wide = 0;
            if (!bigEndian(1, &wide)) {
                return false;
            }
            *tag = static_cast<int>(wide);
        }
        if (code > 13) {
            return false;
        }
        *kind = static_cast<TlvKind>(code);
        return true;
    }

    bool integerPayload(TlvKind kind, std::int64_t* value) {
        std::uint64_t raw = 0;
        switch (kind) {
        case TlvKind::Zero:
            *value = 0;
            return true;
        case TlvKind::Int1:
            if (!bigEndian(1, &raw)) return false;
            *value = static_cast<std::int8_t>(raw);
            return true;
        case TlvKind::Int2:
            if (!bigEndian(2, &raw)) return false;
            *value = static_cast<std::int16_t>(raw);
            return true;
        case TlvKind::Int4:
            if (!bigEndian(4, &raw)) return false;
            *value = static_cast<std::int32_t>(raw);
            return true;
        case TlvKind::Int8:
            if (!bigEndian(8, &raw)) return false;
            *value = static_cast<std::int64_t>(raw);
            return true;
        default:
            return false;
        }
    }

    // A count: an integer field with tag 0, never negative nor above the bytes left.
    bool count(std::size_t* n) {
        int tag = 0;
        TlvKind kind{};
        std::int64_t value = 0;
        if (!head(&tag, &kind) || tag != 0 || !integerPayload(kind, &value) || value < 0 ||
            static_cast<std::uint64_t>(value) > bytes_.size() - position_) {
            return false;
        }
        *n = static_cast<std::size_t>(value);
        return true;
    }

    bool field(TlvNode* node, int depth) {
        if (depth > kMaxDepth || !head(&node->tag, &node->kind)) {
            return false;
        }
        std::string_view raw;
        std::uint64_t word = 0;
        std::size_t n = 0;
        switch (node->kind) {
        case TlvKind::Int1:
        case TlvKind::Int2:
        case TlvKind::Int4:
        case TlvKind::Int8:
        case TlvKind::Zero:
            return integerPayload(node->kind, &node->integer);
        case TlvKind::Float:
            if (!bigEndian(4, &word)) return false;
            node->real = std::bit_cast<float>(static_cast<std::uint32_t>(word));
            return true;
        case TlvKind::Double:
            if (!bigEndian(8, &word)) return false;
            node->real = std::bit_cast<double>(word);
            return true;
        case TlvKind::String1:
        case TlvKind::String4:
            if (!bigEndian(node->kind == TlvKind::String1 ? 1 : 4, &word) || !take(word, &raw)) return false;
            node->bytes.assign(raw);
            return true;
        case TlvKind::ByteList:
            if (!take(1, &raw) || raw[0] != 0 || !count(&n) || !take(n, &raw)) return false;
            node->bytes.assign(raw);
            return true;
        case TlvKind::List:
        case TlvKind::Map:
            if (!count(&n)) return false;
            for (std::size_t i = 0; i < n * (node->kind == TlvKind::Map ? 2 : 1); ++i) {
                node->items.emplace_back();
                if (!field(&node->items.back(), depth + 1)) return false;
            }
            return true;
        case TlvKind::Struct:
            while (!nextIsStructEnd()) {
                node->items.emplace_back();
                if (atEnd() || !field(&node->items.back(), depth + 1)) return false;
            }
            ++position_;
            return true;
        case TlvKind::StructEnd:
            return false;
        }
        return false;
    }

private:
    std::string_view bytes_;
    std::size_t position_ = 0;
};

void putHead(std::string* out, int tag, TlvKind kind) {
    const auto code = static_cast<unsigned>(kind);
    if (tag < 15) {
        out->push_back(static_cast<char>((static_cast<unsigned>(tag) << 4) | code));
    } else {
        out->push_back(static_cast<char>(0xF0 | code));
        out->push_back(static_cast<char>(tag));
    }
}

void putBigEndian(std::string* out, std::uint64_t value, int width) {
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
        out->push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

int integerWidth(TlvKind kind) {
    switch (kind) {
    case TlvKind::Int1: return 1;
    case TlvKind::Int2: return 2;
    case TlvKind::Int4: return 4;
    case TlvKind::Int8: return 8;
    default: return 0;
    }
}

void putField(std::string* out, const TlvNode& node) {
    putHead(out, node.tag, node.kind);
    switch (node.kind) {
    case TlvKind::Int1:
    case TlvKind::Int2:
    case TlvKind::Int4:
    case TlvKind::Int8:
        putBigEndian(out, static_cast<std::uint64_t>(node.integer), integerWidth(node.kind));
        break;
    case TlvKind::Float:
        putBigEndian(out, std::bit_cast<std::uint32_t>(static_cast<float>(node.real)), 4);
        break;
    case TlvKind::Double:
        putBigEndian(out, std::bit_cast<std::uint64_t>(node.real), 8);
        break;
    case TlvKind::String1:
    case TlvKind::String4:
        putBigEndian(out, node.bytes.size(), node.kind == TlvKind::String1 ? 1 : 4);
        out->append(node.bytes);
        break;
    case TlvKind::ByteList:
        out->push_back('\0');
        putField(out, TlvNode::number(0, static_cast<std::int64_t>(node.bytes.size())));
        out->append(node.bytes);
        break;
    case TlvKind::List:
    case TlvKind::Map:
        putField(out, TlvNode::number(0, static_cast<std::int64_t>(
                                             node.kind == TlvKind::Map ? node.items.size() / 2 : node.items.size())));
        for (const TlvNode& item : node.items) {
            putField(out, item);
        }
        break;
    case TlvKind::Struct:
        for (const TlvNode& item : node.items) {
            putField(out, item);
        }
        out->push_back(0x0B);
        break;
    case TlvKind::StructEnd:
    case TlvKind::Zero:
        break;
    }
}

}  // namespace

bool TlvNode::isInteger() const {
    return kind == TlvKind::Zero || integerWidth(kind) > 0;
}

TlvNode TlvNode::number(int tag, std::int64_t value) {
    TlvNode node;
    node.tag = tag;
    node.integer = value;
    if (value == 0) {
        node.kind = TlvKind::Zero;
    } else if (value >= std::numeric_limits<std::int8_t>::min() && value <= std::numeric_limits<std::int8_t>::max()) {
        node.kind = TlvKind::Int1;
    } else if (value >= std::numeric_limits<std::int16_t>::min() && value <= std::numeric_limits<std::int16_t>::max()) {
        node.kind = TlvKind::Int2;
    } else if (value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max()) {
        node.kind = TlvKind::Int4;
    } else {
        node.kind = TlvKind::Int8;
    }
    return node;
}

TlvNode TlvNode::text(int tag, std::string value) {
    TlvNode node;
    node.tag = tag;
    node.kind = value.size() <= 255 ? TlvKind::String1 : TlvKind::String4;
    node.bytes = std::move(value);
    return node;
}

TlvNode TlvNode::record(int tag, std::vector<TlvNode> fields) {
    TlvNode node;
    node.tag = tag;
    node.kind = TlvKind::Struct;
    node.items = std::move(fields);
    return node;
}

TlvNode TlvNode::list(int tag, std::vector<TlvNode> elements) {
    TlvNode node;
    node.tag = tag;
    node.kind = TlvKind::List;
    for (TlvNode& element : elements) {
        element.tag = 0;
    }
    node.items = std::move(elements);
    return node;
}

const TlvNode* findField(const TlvFields& fields, int tag) {
    for (const TlvNode& node : fields) {
        if (node.tag == tag) {
            return &node;
        }
    }
    return nullptr;
}

std::optional<std::int64_t> integerField(const TlvFields& fields, int tag) {
    const TlvNode* node = findField(fields, tag);
    if (node == nullptr || !node->isInteger()) {
        return std::nullopt;
    }
    return node->integer;
}

std::optional<std::string> textField(const TlvFields& fields, int tag) {
    const TlvNode* node = findField(fields, tag);
    if (node == nullptr || !node->isText()) {
        return std::nullopt;
    }
    return node->bytes;
}

std::optional<TlvFields> decodeTlvRecord(std::string_view bytes) {
    Reader reader(bytes);
    TlvFields fields;
    while (!reader.atEnd()) {
        fields.emplace_back();
        if (!reader.field(&fields.back(), 0)) {
            return std::nullopt;
        }
    }
    return fields;
}

std::string encodeTlvRecord(const TlvFields& fields) {
    std::string out;
    for (const TlvNode& node : fields) {
        putField(&out, node);
    }
    return out;
}

}  // namespace lv::tools
