// Conversions between libplist nodes and Value, shared by the property-list and keyed-archive code.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/base/value.h"
#include "platform/storage/property_list.h"

namespace lv::detail {

struct PlistFree {
    void operator()(void* node) const;
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Deepest nesting accepted from outside input.
inline constexpr int kMaxPlistDepth = 512;

// Parses binary or XML property-list bytes; null with a reason on failure.
PlistPtr parsePlist(std::span<const std::uint8_t> data, PropertyListFormat* format, std::string* failure);
// Serializes a node tree; nothing on failure.
std::optional<Bytes> serializePlist(void* node, PropertyListFormat format, std::string* failure);

// Node → Value (UIDs as {"CF$UID": n}); nil with a reason on failure.
Value valueFromPlist(void* node, std::string* failure);
// Value → node; null with a reason when the value is not a property list.
PlistPtr plistFromValue(const Value& value, std::string* failure);

// Scalar helpers.
Value numberFromPlist(void* node);  // integer / real / boolean node → number, else nil
std::optional<double> dateSecondsFromPlist(void* node);
void* newPlistDate(const Date& date);  // null when out of range

}  // namespace lv::detail
