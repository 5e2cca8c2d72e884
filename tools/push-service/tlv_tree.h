// The push service's own reader and writer of the tagged binary records: a record is a list of
// fields, each a node with its tag, its wire type and its value (an integer, a real, text or bytes,
// or child nodes for nested records, lists and maps). Built apart from the client's codec so that
// each side checks the other.
// Thread rule: plain values and free functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lv::tools {

enum class TlvKind : std::uint8_t {
    Int1 = 0,
    Int2 = 1,
    Int4 = 2,
    Int8 = 3,
    Float = 4,
    Double = 5,
    String1 = 6,
    String4 = 7,
    Map = 8,
    List = 9,
    Struct = 10,
    StructEnd = 11,
    Zero = 12,
    ByteList = 13,
};

struct TlvNode {
    int tag = 0;
    TlvKind kind = TlvKind::Zero;
    std::int64_t integer = 0;  // Int1 … Int8 and Zero
    double real = 0;           // Float and Double
    std::string bytes;         // String1, String4 and ByteList
    // Struct: its fields; List: its elements; Map: keys and values alternating.
    std::vector<TlvNode> items;

    bool isInteger() const;
    bool isText() const { return kind == TlvKind::String1 || kind == TlvKind::String4; }

    // Writers pick the smallest integer and text kinds that hold the value.
    static TlvNode number(int tag, std::int64_t value);
    static TlvNode text(int tag, std::string value);
    static TlvNode record(int tag, std::vector<TlvNode> fields);
    static TlvNode list(int tag, std::vector<TlvNode> elements);
};

using TlvFields = std::vector<TlvNode>;

// The field with the tag, or none.
const TlvNode* findField(const TlvFields& fields, int tag);
// The integer or text of the field with the tag; none when absent or of another kind.
std::optional<std::int64_t> integerField(const TlvFields& fields, int tag);
std::optional<std::string> textField(const TlvFields& fields, int tag);

// A top-level record: fields until the end of the bytes. None when the bytes are not a record
// (a field running past the end, an unknown type, nesting deeper than 64).
std::optional<TlvFields> decodeTlvRecord(std::string_view bytes);
std::string encodeTlvRecord(const TlvFields& fields);

}  // namespace lv::tools
