// Property lists: reading (XML and binary, the format detected) and writing (XML and binary) of
// strings, numbers, data, dates, arrays and dictionaries held in a Value.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/error.h"
#include "platform/base/value.h"

namespace lv {

// Format numbers as the platform numbers them.
enum class PropertyListFormat : unsigned {
    OpenStep = 1,  // read and written by neither side here: reading it fails as corrupt input
    XML = 100,
    Binary = 200,
};

// Read options (containers are always mutable through Value; the options are accepted as given).
using PropertyListReadOptions = unsigned;
inline constexpr PropertyListReadOptions kPropertyListImmutable = 0;
inline constexpr PropertyListReadOptions kPropertyListMutableContainers = 1;
inline constexpr PropertyListReadOptions kPropertyListMutableContainersAndLeaves = 2;

// Cocoa-domain error codes of property-list reading and writing (JSON reading reports 3840 too).
inline constexpr std::int64_t kPropertyListReadCorruptError = 3840;
inline constexpr std::int64_t kPropertyListReadUnknownVersionError = 3841;
inline constexpr std::int64_t kPropertyListReadStreamError = 3842;
inline constexpr std::int64_t kPropertyListWriteStreamError = 3851;
inline constexpr std::int64_t kPropertyListWriteInvalidError = 3852;
// User-info key of the developer-facing detail these errors carry.
inline constexpr std::string_view kDebugDescriptionErrorKey = "NSDebugDescription";

class PropertyListSerialization {
public:
    // The property list in the bytes: dictionaries, arrays, strings, numbers (integers as 64-bit signed
    // numbers, or unsigned above the signed range; reals as doubles, booleans as boolean numbers), data
    // and dates. A keyed-archive UID reads as the dictionary {"CF$UID": n}. Empty, truncated, damaged or
    // unknown input (a malformed number or date, invalid UTF-8, nesting deeper than 512) gives nil and
    // a kPropertyListReadCorruptError error; it never crashes the reader. *format receives the detected
    // format.
    static Value propertyListWithData(std::span<const std::uint8_t> data, PropertyListReadOptions options,
                                      PropertyListFormat* format, Ref<Error>* error);
    // The bytes of the property list in the format (XML or binary; options are reserved and ignored).
    // Values a property list cannot hold (null, nil, objects, strings with NUL or invalid UTF-8, dates
    // that are not finite, nesting deeper than 512) give nothing and a kPropertyListWriteInvalidError
    // error; so do, in XML only, control characters other than tab, LF and CR (XML 1.0 cannot hold
    // them) and dates outside the years 1–9999. XML dates are whole seconds (rounded down).
    static std::optional<Bytes> dataWithPropertyList(const Value& plist, PropertyListFormat format, unsigned options,
                                                     Ref<Error>* error);
    static bool propertyListIsValidForFormat(const Value& plist, PropertyListFormat format);
};

// The property list stored in a file (any format), or nil when the file is missing or unreadable.
Value propertyListWithContentsOfFile(std::string_view path);
// dictionaryWithContentsOfFile: / arrayWithContentsOfFile: — nil unless the file holds that kind.
Value dictionaryWithContentsOfFile(std::string_view path);
Value arrayWithContentsOfFile(std::string_view path);
// writeToFile:atomically: of a dictionary or array: an XML property list; false when the value is
// not a valid property list or the write fails.
bool writePropertyListToFile(const Value& plist, std::string_view path, bool atomically);

}  // namespace lv
