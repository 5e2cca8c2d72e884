// Reading imported values: the conversions of texts and numbers, the attributes and relationships
// that identify records, and the values a data object holds for an attribute, converted for it.
#include "store/import.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "platform/base/format.h"
#include "platform/base/lifetime.h"
#include "platform/data/predicate.h"
#include "platform/time/date_formatter.h"
#include "platform/time/time_zone.h"
#include "store/detail/import_values.h"
#include "store/detail/state.h"

namespace lv {

using store_detail::attributeEntry;
using store_detail::convertedAttributeValue;
using store_detail::dataValueForKeyPath;
using store_detail::logEnabled;
using store_detail::logMasked;
using store_detail::userInfoEntry;
using store_detail::userInfoText;

namespace store_detail {

const Value& userInfoEntry(const PropertyDescription& property, std::string_view key) { return property.userInfo().get(key); }

std::string userInfoText(const Dictionary& userInfo, std::string_view key) {
    const Value& v = userInfo.get(key);
    return v.isString() ? v.string() : std::string();
}

// Dictionary key paths of a data object; strings and numbers have no keys. A plain key (no dot, no
// leading "@") on a dictionary is the dictionary's entry, as the key path reading gives it, without
// splitting the path first.
Value dataValueForKeyPath(const Value& data, const std::string& keyPath) {
    if (data.isNilOrNull() || data.isString() || data.isNumeric()) return Value();
    if (data.isDictionary() && (keyPath.empty() || keyPath[0] != '@') && keyPath.find('.') == std::string::npos) {
        return data.dictionary().get(keyPath);
    }
    return valueForKeyPath(data, keyPath);
}

}  // namespace store_detail

namespace {

std::string lowerCaseFirst(std::string_view text) {
    std::string out(text);
    if (!out.empty() && static_cast<unsigned char>(out[0]) < 0x80) {
        out[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(out[0])));
    }
    return out;
}

// An integer written out in full ("7", "-12", " 42 "); nothing for any other text.
std::optional<std::int64_t> integerFromText(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    std::int64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return v;
}

}  // namespace

// ---- conversions ----

std::string RS_capitalizedFirstCharacterString(std::string_view text) { return text.empty() ? std::string() : upperCaseFirst(text); }

std::string RSImportCapitalizedName(std::string_view name) { return RS_capitalizedFirstCharacterString(name); }

std::string RSImportPrimaryKeyName(std::string_view entityName) { return format("%@ID", lowerCaseFirst(entityName)); }

Value RSImportDateFromText(std::string_view text, std::string_view pattern) {
    // An import reads its dates by the thousand in one pattern: the formatter of the pattern read last
    // on this thread is kept (formatters are not shared between threads).
    struct LastFormatter {
        std::string pattern;
        std::optional<DateFormatter> formatter;
    };
    static PerThread<LastFormatter> lastOfThread;
    LastFormatter& last = lastOfThread.get();
    if (!last.formatter || last.pattern != pattern) {
        last.formatter.emplace(std::string(pattern), TimeZone::forSecondsFromGMT(0));
        last.pattern.assign(pattern);
    }
    const auto date = last.formatter->dateFromString(text);
    return date ? Value(*date) : Value();
}

Value RSImportDateFromNumber(const Value& number, bool milliseconds) {
    double seconds = number.doubleValue();
    if (milliseconds) seconds /= 1000.0;
    return Value(Date::fromSince1970(seconds));
}

Value RSImportNumberFromText(std::string_view text) { return Value(Value(std::string(text)).doubleValue()); }

std::optional<std::array<double, 4>> RSImportColorComponentsFromText(std::string_view text) {
    const auto open = text.find('(');
    if (!text.substr(0, open).starts_with("rgba")) return std::nullopt;
    std::array<double, 4> components{0, 0, 0, 0};
    if (open == std::string_view::npos) return components;
    const std::string rest(text.substr(open));
    const char* p = rest.c_str();
    for (std::size_t i = 0; i < components.size(); ++i) {
        while (*p == '(' || *p == ',' || *p == ')' || *p == ' ' || *p == '\t') ++p;
        char* end = nullptr;
        // Red, green and blue are integers; alpha is a fraction ("0.5"), so 0 and 1 read as before.
        const double value = i < 3 ? static_cast<double>(std::strtol(p, &end, 10)) : std::strtod(p, &end);
        if (end == p) break;
        components[i] = value;
        p = end;
    }
    return components;
}

Ref<Color> RSImportColorFromText(std::string_view text) {
    const auto components = RSImportColorComponentsFromText(text);
    if (!components) return nullptr;
    auto unit = [](double v) { return std::clamp(v, 0.0, 1.0); };
    const auto& c = *components;
    return Color::colorWithRed(unit(static_cast<float>(c[0]) / 255.0f), unit(static_cast<float>(c[1]) / 255.0f),
                               unit(static_cast<float>(c[2]) / 255.0f), unit(c[3]));
}

// ---- entities, attributes, relationships ----

Ref<AttributeDescription> RS_attributeDescriptionForName(const Ref<EntityDescription>& entity, std::string_view name) {
    if (!entity) return nullptr;
    for (const auto& attribute : entity->attributes()) {
        if (attribute->name() == name) return attribute;
    }
    return nullptr;
}

Ref<AttributeDescription> RS_primaryAttributeToRelateBy(const Ref<EntityDescription>& entity) {
    if (!entity) return nullptr;
    std::string name = userInfoText(entity->userInfo(), kRSImportRelatedByAttributeKey);
    if (name.empty()) name = RSImportPrimaryKeyName(entity->name());
    return RS_attributeDescriptionForName(entity, name);
}

Value RS_primaryKey(const Ref<AttributeDescription>&) { return Value(); }

std::string RS_primaryKey(const Ref<RelationshipDescription>& relationship) {
    if (!relationship) return {};
    std::string name = userInfoText(relationship->userInfo(), kRSImportRelatedByAttributeKey);
    if (!name.empty()) return name;
    return RSImportPrimaryKeyName(relationship->destinationEntityName());
}

namespace store_detail {

// The value read for the attribute made into the attribute's kind (see RS_valueForKeyPath).
Value convertedAttributeValue(const AttributeDescription* attribute, Value value) {
    if (!attribute) return value.isNull() ? Value() : value;
    const Value& className = userInfoEntry(*attribute, kRSImportAttributeValueClassNameKey);
    if (className.isString()) {
        if (className.string().ends_with("Color")) value = Value(RSImportColorFromText(value.isString() ? value.string() : value.description()));
    } else if (!value.isNilOrNull()) {
        switch (attribute->attributeType()) {
            case AttributeType::Integer16:
            case AttributeType::Integer32:
            case AttributeType::Integer64:
                // An integer text is read exactly (through a double, one past 2^53 would change).
                if (value.isString()) {
                    if (auto exact = integerFromText(value.string())) {
                        value = Value(*exact);
                        break;
                    }
                }
                if (!value.isNumeric()) value = RSImportNumberFromText(value.description());
                break;
            case AttributeType::Decimal:
            case AttributeType::Double:
            case AttributeType::Float:
                if (!value.isNumeric()) value = RSImportNumberFromText(value.description());
                break;
            case AttributeType::String:
                if (!value.isString()) value = Value(value.description());
                break;
            case AttributeType::Boolean:
                if (!value.isNumeric()) value = Value(value.boolValue());
                break;
            case AttributeType::Date: {
                if (value.isDate()) break;
                const Value& format = userInfoEntry(*attribute, kRSImportDateFormatKey);
                if (value.isNumeric()) {
                    value = RSImportDateFromNumber(value, format.isString() && format.string() == kRSImportUnixTimeDateFormat);
                } else {
                    const std::string_view pattern = format.isString() ? std::string_view(format.string())
                                                                       : std::string_view(kRSImportDefaultDateFormat);
                    // The text is read in place: the date is made before the value is replaced.
                    value = value.isString() ? RSImportDateFromText(value.string(), pattern)
                                             : RSImportDateFromText(value.description(), pattern);
                }
                break;
            }
            default:
                break;
        }
    }
    return value.isNull() ? Value() : value;
}

// The key the data holds the attribute's value under (the mapped key name, then its numbered
// alternatives "mappedKeyName.1" to ".9" while each is given, else the attribute's name) with the value
// read there; nothing when none of them holds a value.
std::optional<std::pair<std::string, Value>> attributeEntry(const Value& data, const AttributeDescription& attribute) {
    if (data.isString() || data.isNumeric()) return std::nullopt;
    const Dictionary& userInfo = attribute.userInfo();
    const Value& mapped = userInfo.get(kRSImportMappedKeyNameKey);
    std::string key = mapped.isString() && !mapped.string().empty() ? mapped.string() : attribute.name();
    Value value = dataValueForKeyPath(data, key);
    for (unsigned long i = 1; i <= 9 && value.isNil(); ++i) {
        // No entry at all: no alternative names (the common case reads no numbered key).
        if (userInfo.empty()) return std::nullopt;
        const Value& next = userInfo.get(std::string(kRSImportMappedKeyNameKey) + "." + std::to_string(i));
        if (!next.isString()) return std::nullopt;
        key = next.string();
        value = dataValueForKeyPath(data, key);
    }
    if (value.isNil()) return std::nullopt;
    return std::pair<std::string, Value>(std::move(key), std::move(value));
}

std::optional<std::string> attributeValueRefusal(const AttributeDescription& attribute, const Value& value) {
    const AttributeType type = attribute.attributeType();
    // NaN in a number or a date would make every later save of the record fail.
    const bool numberOrDate = isIntegerAttributeType(type) || type == AttributeType::Double ||
                              type == AttributeType::Float || type == AttributeType::Decimal || type == AttributeType::Date;
    if (numberOrDate && isNotANumber(value)) return std::string("not a number");
    if (!isIntegerAttributeType(type) || !value.isNumeric()) return std::nullopt;
    if (integerRangeOverflow(AttributeType::Integer64, value) != 0) return std::string("beyond the 64-bit integer range");
    return std::nullopt;
}

namespace {

// A text that reads as a number as written: digits with a sign, a point and an exponent, nothing else
// (around the white space). Any other text reads as 0 when imported, which must not find record 0.
bool isNumberText(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string_view::npos) return false;
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    return end == copy.c_str() + copy.size() && std::isfinite(value);
}

}  // namespace

Value lookupValue(const AttributeDescription& attribute, const Value& raw) {
    const AttributeType type = attribute.attributeType();
    const bool numeric = isIntegerAttributeType(type) || type == AttributeType::Double || type == AttributeType::Float ||
                         type == AttributeType::Decimal;
    if (numeric && raw.isString() && !isNumberText(raw.string())) return Value();  // identifies no record
    const Value converted = convertedAttributeValue(&attribute, raw);
    if (converted.isNil() || attributeValueRefusal(attribute, converted)) return Value();
    auto coerced = coerceAttributeValue(attribute.attributeType(), converted);
    return coerced ? *coerced : converted;
}

}  // namespace store_detail

Value RS_valueForKeyPath(const Ref<AttributeDescription>& attribute, const std::string& keyPath, const Value& data) {
    return convertedAttributeValue(attribute.get(), dataValueForKeyPath(data, keyPath));
}

// ---- data objects ----

Value RS_lookupKeyForAttribute(const Value& data, const Ref<AttributeDescription>& attribute) {
    if (!attribute) return Value();
    auto entry = attributeEntry(data, *attribute);
    return entry ? Value(std::move(entry->first)) : Value();
}

Value RS_valueForAttribute(const Value& data, const Ref<AttributeDescription>& attribute) {
    if (!attribute) return Value();
    auto entry = attributeEntry(data, *attribute);
    if (!entry) return Value();
    // A dictionary's entry reads the same again: the value found is the value.
    return data.isDictionary() ? std::move(entry->second) : dataValueForKeyPath(data, entry->first);
}

Value RS_lookupKeyForRelationship(const Value& data, const Ref<RelationshipDescription>& relationship) {
    if (!relationship) return Value();
    Ref<EntityDescription> destination = relationship->destinationEntity();
    if (!destination) {
        if (logEnabled(RSLogMaskError)) logMasked(RSLogMaskError, "Unable to find entity for type '%@'", dataValueForKeyPath(data, "type"));
        return Value();
    }
    const std::string primaryKey = RS_primaryKey(relationship);
    Ref<AttributeDescription> attribute = RS_attributeDescriptionForName(destination, primaryKey);
    if (!attribute) return Value(primaryKey);
    const Value key = RS_lookupKeyForAttribute(data, attribute);
    return key.isNil() ? Value(attribute->name()) : key;
}

Value RS_relatedValueForRelationship(const Value& data, const Ref<RelationshipDescription>& relationship) {
    if (data.isString() || data.isNumeric()) return data;
    const Value key = RS_lookupKeyForRelationship(data, relationship);
    return key.isString() ? dataValueForKeyPath(data, key.string()) : Value();
}

}  // namespace lv
