#include "platform/text/detail/icu_util.h"

#include <unicode/stringpiece.h>

namespace lv::text::detail {

char32_t decodeUtf8(std::string_view text, std::size_t& i, bool* valid) {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
    const std::uint8_t b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    const auto bad = [&]() -> char32_t {
        ++i;
        if (valid) *valid = false;
        return 0xFFFD;
    };
    const int length = b0 >= 0xF0 && b0 < 0xF5 ? 4 : b0 >= 0xE0 && b0 < 0xF0 ? 3 : b0 >= 0xC2 && b0 < 0xE0 ? 2 : 0;
    if (length == 0 || i + static_cast<std::size_t>(length) > text.size()) return bad();
    char32_t cp = b0 & (0xFF >> (length + 1));
    for (int k = 1; k < length; ++k) {
        const std::uint8_t b = byte(i + static_cast<std::size_t>(k));
        if ((b & 0xC0) != 0x80) return bad();
        cp = (cp << 6) | (b & 0x3F);
    }
    const bool overlong = (length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return bad();
    i += static_cast<std::size_t>(length);
    return cp;
}

void appendUtf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool isValidUtf8(std::string_view text) {
    bool valid = true;
    for (std::size_t i = 0; i < text.size() && valid;) decodeUtf8(text, i, &valid);
    return valid;
}

bool isAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<std::uint8_t>(c) >= 0x80) return false;
    }
    return true;
}

icu::UnicodeString toIcu(std::string_view utf8) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
}

std::string fromIcu(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

}  // namespace lv::text::detail
