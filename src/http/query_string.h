// Query string encoding: parameters flattened into ordered field/value pairs (nested dictionaries as
// outer[inner], arrays as key[], sets repeating their key) and joined as escaped field=value text.
// Pure functions over values; callable from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/text/encoding.h"

namespace lv {

// An unordered collection of distinct-by-position values (the platform's set) as a parameter value:
// flattened in the order of its elements' description texts, each under the key of the set itself.
class ValueSet : public Object {
public:
    explicit ValueSet(Array items) : items_(std::move(items)) {}
    static Ref<ValueSet> make(Array items) { return makeRef<ValueSet>(std::move(items)); }
    const Array& items() const { return items_; }
    // "{(\n    a,\n    b\n)}".
    std::string description() const override;

private:
    Array items_;
};

// One field/value pair; the field is written through its description, the value likewise (nil or
// the null value: the field alone).
class HCQueryStringPair {
public:
    HCQueryStringPair(Value field, Value value) : field_(std::move(field)), value_(std::move(value)) {}
    const Value& field() const { return field_; }
    const Value& value() const { return value_; }
    // "field" when the value is nil or null, else "field=value", both escaped.
    std::string URLEncodedStringValueWithEncoding(StringEncoding encoding) const;

private:
    Value field_;
    Value value_;
};

// Key escaping: letters, digits, "-", ".", "_", "~", "[" and "]" stay; every other byte of the text in
// the encoding becomes "%XX" (upper-case hex). Text the encoding cannot hold is escaped as UTF-8.
std::string escapeQueryKey(std::string_view key, StringEncoding encoding);
// Value escaping: the same without "[" and "]".
std::string escapeQueryValue(std::string_view value, StringEncoding encoding);

// The pairs of a value under key (nil for the top level): dictionaries by key text, arrays in their
// order under key[], sets by element text under key, anything else one pair.
std::vector<HCQueryStringPair> flattenQueryPairs(const Value& key, const Value& value);

// The pairs of the parameters joined with "&"; "" for an empty dictionary.
std::string queryStringFromParameters(const Value& parameters, StringEncoding encoding);

}  // namespace lv
