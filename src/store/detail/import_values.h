// What the import's two files share: reading a data object's values for an attribute, converted for
// it, and the attribute's information in its user info.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/base/value.h"
#include "platform/data/model.h"

namespace lv::store_detail {

const Value& userInfoEntry(const PropertyDescription& property, std::string_view key);
std::string userInfoText(const Dictionary& userInfo, std::string_view key);

// Dictionary key paths of a data object; strings and numbers have no keys.
Value dataValueForKeyPath(const Value& data, const std::string& keyPath);

// The value read for the attribute made into the attribute's kind (see RS_valueForKeyPath).
Value convertedAttributeValue(const AttributeDescription* attribute, Value value);

// The key the data holds the attribute's value under, with the value read there.
std::optional<std::pair<std::string, Value>> attributeEntry(const Value& data, const AttributeDescription& attribute);

// Why the attribute cannot take the converted value (a number no 64-bit integer holds, or NaN, for
// an integer attribute); nothing when it can.
std::optional<std::string> attributeValueRefusal(const AttributeDescription& attribute, const Value& value);

// The value to look a record up by: the data's value converted for the attribute and made into the
// attribute's form, as a record of it holds it ("7" for an integer attribute is the integer 7); nil
// when the attribute cannot take it.
Value lookupValue(const AttributeDescription& attribute, const Value& raw);

}  // namespace lv::store_detail
