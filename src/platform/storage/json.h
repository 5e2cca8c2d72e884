// JSON reading and writing over Value. Reading is UTF-8 only and builds the Value directly from the
// parser's events (no intermediate tree). Writing is deterministic: dictionaries are written in their
// key order, so equal values give equal bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/error.h"
#include "platform/base/value.h"

namespace lv {

// Reading options, numbered as the platform numbers them.
using JSONReadingOptions = unsigned;
inline constexpr JSONReadingOptions kJSONReadingMutableContainers = 1;  // accepted (Value is always mutable)
inline constexpr JSONReadingOptions kJSONReadingMutableLeaves = 2;      // accepted
inline constexpr JSONReadingOptions kJSONReadingAllowFragments = 4;     // a top level other than array/object

// Writing options.
using JSONWritingOptions = unsigned;
inline constexpr JSONWritingOptions kJSONWritingPrettyPrinted = 1;
inline constexpr JSONWritingOptions kJSONWritingSortedKeys = 2;       // always the case here
inline constexpr JSONWritingOptions kJSONWritingFragmentsAllowed = 4;  // a top level other than array/object

class JSONSerialization {
public:
    // Parses UTF-8 JSON (a UTF-8 byte-order mark is skipped). Objects become dictionaries, arrays
    // arrays, strings strings, integers 64-bit signed numbers (unsigned above the signed range, reals
    // beyond 64 bits), other numbers doubles, true/false boolean numbers, null the null value. Bad
    // input — empty, truncated, invalid UTF-8, an escaped surrogate that does not pair up, a real
    // beyond the double range, anything but white space after the value (NUL bytes included), nesting
    // deeper than 512 levels, a fragment without kJSONReadingAllowFragments — gives nil and a
    // Cocoa-domain error 3840 whose kDebugDescriptionErrorKey entry says what and where.
    static Value JSONObjectWithData(std::span<const std::uint8_t> data, JSONReadingOptions options, Ref<Error>* error);
    static Value JSONObjectWithData(std::string_view text, JSONReadingOptions options, Ref<Error>* error) {
        return JSONObjectWithData(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), options,
                                  error);
    }

    // Writes compact text ({"a":1,"b":[true,null]}) or, with kJSONWritingPrettyPrinted, two-space
    // indented text with " : " after keys. Strings escape '"', '\\', '/' (as "\/") and control
    // characters; other characters are written as UTF-8. Numbers: booleans as true/false, integers
    // in decimal, reals in the shortest text that reads back exactly ("0.1", "1e+21"), decimals
    // exactly. A value JSON cannot hold (nil, dates, data, objects, non-finite numbers, nesting deeper
    // than 512 levels, or a top level other than array/dictionary without kJSONWritingFragmentsAllowed)
    // gives nothing and a Cocoa-domain error 3852.
    static std::optional<Bytes> dataWithJSONObject(const Value& value, JSONWritingOptions options, Ref<Error>* error);
    // The same, as text.
    static std::optional<std::string> stringWithJSONObject(const Value& value, JSONWritingOptions options,
                                                           Ref<Error>* error);
    // True when the value is an array or dictionary that dataWithJSONObject can write.
    static bool isValidJSONObject(const Value& value);
};

}  // namespace lv
