// The Tlv base record (PNTlvObject: bytes in and out, coding, the indented description), the pair
// that describes list and map fields to the reader (PNTlvPair), the map with keys of any kind that
// Tlv maps decode into (TlvMap), and the enumeration-name helper base (PNTlvEnumHelper).
//
// Threads: a record, pair or map is used by one thread at a time. The description nesting level is
// per thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/storage/keyed_archive.h"

namespace lv {

class ClassInfo;
class PNTlvInputStream;
class PNTlvOutputStream;
class PNTlvPair;

// What the reader is told to read: a class (Number, String, Data or a record class) or a pair (a list
// when its key is nil, a map otherwise). Both empty means nil.
struct TlvDescription {
    const ClassInfo* cls = nullptr;
    Ref<PNTlvPair> pair;

    TlvDescription() = default;
    TlvDescription(const ClassInfo* c) : cls(c) {}            // NOLINT: a class is a description
    TlvDescription(Ref<PNTlvPair> p) : pair(std::move(p)) {}  // NOLINT: so is a pair
    bool isNil() const { return !cls && !pair; }
    // The class name, "PNTlvPair" for a pair, "(null)" for nil.
    std::string className() const;
};

class PNTlvPair : public Object {
public:
    static Ref<PNTlvPair> pairWithValue(TlvDescription value, TlvDescription key);
    const TlvDescription& key() const { return key_; }
    void setKey(TlvDescription key) { key_ = std::move(key); }
    const TlvDescription& value() const { return value_; }
    void setValue(TlvDescription value) { value_ = std::move(value); }
    // "<key class name, value class name>".
    std::string description() const override;

    // Parses a field's element descriptor ("V<d>", "M<LL><key d><value d>", "O<Class>"), checking its
    // length (< 128) and that its top level is a pair; a descriptor outside the grammar is reported
    // and gives nil.
    static TlvDescription pairFromExtStr(std::string_view text);
    static TlvDescription analyzeExtStr(std::string_view text);

private:
    TlvDescription key_;
    TlvDescription value_;
};

// A Tlv map: entries in insertion order, keys of any kind compared by value. Held in a Value's object
// slot; the runtime class "TlvMap" is a subclass of "Dictionary".
class TlvMap : public Object {
public:
    TlvMap();
    std::size_t size() const { return entries_.size(); }
    const std::vector<std::pair<Value, Value>>& entries() const { return entries_; }
    // Nil when absent.
    Value get(const Value& key) const;
    // Replaces the value of an equal key in place; a nil value removes the key.
    void set(const Value& key, const Value& value);
    void reserve(std::size_t n);
    std::string description() const override;

private:
    std::vector<std::pair<Value, Value>> entries_;
    std::unordered_map<Value, std::size_t> index_;
};

// Base of every record. Subclasses pack and unpack their fields (PNTlvObjectV2 does it from its field
// declarations).
class PNTlvObject : public Object, public Coding {
public:
    PNTlvObject();
    static const ClassInfo* runtimeClass();

    // The record's fields at top level; a record without fields gives empty bytes.
    Bytes toData() const;
    // Reads the fields from the bytes into this record; false when the decode was aborted (a nil list
    // element or map key, or input that ends inside a field). Fields read before the abort stay set.
    bool decodeFromData(std::span<const std::uint8_t> data);
    // A new record of type T filled from the bytes; nullptr for empty input or an aborted decode.
    template <class T>
    static Ref<T> decodeAs(std::span<const std::uint8_t> data) {
        if (data.empty()) return nullptr;
        Ref<T> record = makeRef<T>();
        return record->decodeFromData(data) ? record : nullptr;
    }

    // The record's type name; nil for the base.
    virtual std::optional<std::string> tlvType() const { return std::nullopt; }
    // The runtime class of this record.
    virtual const ClassInfo* tlvClass() const;
    // The base writes and reads nothing, after the report "__objc_no".
    virtual void pack(PNTlvOutputStream& writer) const;
    virtual void unpack(PNTlvInputStream& reader);

    // "\r", indent, "{\r", one line per read-write property of the class, indent, "}\r"; the indent is
    // four blanks per nesting level of the calling thread.
    std::string description() const override;

    // Archiving: the toData bytes as the one data object "data"; reading gives nil (false) when the
    // decode is aborted.
    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;

    // Name and type encoding of each read-write property the class itself declares, in declaration order.
    static std::vector<std::pair<std::string, std::string>> tlvPropertiesWithEncodedTypes(const ClassInfo* cls);
};

// Base of the helpers that name a Tlv enumeration's values. A helper is named after the enumeration
// with the suffix "Helper"; a value's full name is the enumeration's name, "_" and its short name.
class PNTlvEnumHelper {
public:
    virtual ~PNTlvEnumHelper() = default;
    // The helper's class name (the enumeration's name followed by "Helper").
    virtual std::string helperName() const { return "PNTlvEnumHelper"; }
    // Full name of a value; nil in the base.
    virtual std::optional<std::string> etos(std::int64_t value) const;
    // Value of a full name; the smallest 64-bit value (no such name) in the base.
    virtual std::int64_t stoe(std::string_view name) const;
    // Short name: the full name without the enumeration's name and "_"; nil when there is no full
    // name or it is shorter than that prefix.
    std::optional<std::string> eto_s(std::int64_t value) const;
    // The value of "<enumeration>_<short>", as stoe answers.
    std::int64_t _stoe(std::string_view shortName) const;
};

}  // namespace lv
