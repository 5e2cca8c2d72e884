#include "content/color_customize.h"

#include <string>

#include "platform/base/value.h"
#include "platform/text/strings.h"

namespace lv {

namespace {

int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    return -1;
}

// The leading hexadecimal number of a two-character pair, as a scanner reads it (0 without one).
double component(std::u16string_view pair) {
    int value = 0;
    for (char16_t c : pair) {
        const int digit = hexDigit(c);
        if (digit < 0) break;
        value = value * 16 + digit;
    }
    return value / 255.0;
}

}  // namespace

Ref<Color> ColorCustomize::colorWithHexString(std::string_view text) {
    std::u16string hex = toUtf16(text::uppercase(text::trimWhitespaceAndNewlines(text)));
    if (hex.size() < 6) return Color::clearColor();
    if (hex.starts_with(u"0X")) hex.erase(0, 2);
    if (hex.starts_with(u"#")) hex.erase(0, 1);
    if (hex.size() != 6) return Color::clearColor();
    const std::u16string_view digits(hex);
    return Color::colorWithRed(component(digits.substr(0, 2)), component(digits.substr(2, 2)),
                               component(digits.substr(4, 2)), 1.0);
}

}  // namespace lv
