// Readings of untrusted text: decimals, numbers, UTF-8/UTF-16 conversion and format strings.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/base/format.h"
#include "platform/base/value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const lv::Decimal d = lv::Decimal::fromString(text);
    if (!d.isNaN() && d.compare(d) != 0) __builtin_trap();
    (void)d.stringValue();
    (void)d.doubleValue();
    if (auto strict = lv::Decimal::parse(text)) (void)strict->longLongValue();
    (void)lv::readLongLong(text);
    (void)lv::readDouble(text);
    (void)lv::readBool(text);
    const std::u16string units = lv::toUtf16(text);
    if (units.size() != lv::utf16Length(text)) __builtin_trap();
    (void)lv::utf8OffsetOfUtf16Index(text, units.size() / 2);
    (void)lv::fromUtf16(units);
    // Format strings with fewer arguments than conversions must never read past the list.
    (void)lv::format(text, 1, "two", lv::Value(3.5));
    (void)lv::Value(std::string(text)).description();
    (void)lv::Value::array({std::string(text)}).description();
    return 0;
}
