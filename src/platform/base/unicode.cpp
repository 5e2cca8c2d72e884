// UTF-8 ⇄ UTF-16 helpers. Invalid UTF-8 bytes count as one unit each and convert to U+FFFD.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/base/value.h"

namespace lv {

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

bool isWellFormedUtf8(std::string_view text) {
    // The same rule as decodeUtf8's, checked sequence by sequence without decoding: a lead byte and
    // the range its second byte may take (which excludes overlong forms, surrogates and code points
    // above U+10FFFF), then continuation bytes.
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto* const end = p + text.size();
    while (p < end) {
        const std::uint8_t lead = *p;
        if (lead < 0x80) {
            // A run of ASCII (most of most texts) is skipped eight bytes at a time, and the word that
            // ends it tells where its first other byte is.
            ++p;
            for (;;) {
                if (end - p < 8) {
                    while (p < end && *p < 0x80) ++p;
                    break;
                }
                std::uint64_t word;
                std::memcpy(&word, p, sizeof word);
                if (const std::uint64_t high = word & kHighBits) {
                    p += (std::endian::native == std::endian::little ? std::countr_zero(high) : std::countl_zero(high)) / 8;
                    break;
                }
                p += 8;
            }
            continue;
        }
        const auto continuation = [](std::uint8_t byte) { return (byte & 0xC0) == 0x80; };
        const std::ptrdiff_t left = end - p;
        if (lead < 0xC2) return false;  // a continuation byte, or the lead of an overlong form
        if (lead < 0xE0) {
            if (left < 2 || !continuation(p[1])) return false;
            p += 2;
        } else if (lead < 0xF0) {
            if (left < 3) return false;
            // Three-byte characters come in runs (Chinese text): checked one after another here.
            do {
                const std::uint8_t lowest = *p == 0xE0 ? 0xA0 : 0x80;   // below: overlong
                const std::uint8_t highest = *p == 0xED ? 0x9F : 0xBF;  // above: surrogates
                if (p[1] < lowest || p[1] > highest || !continuation(p[2])) return false;
                p += 3;
            } while (end - p >= 3 && (*p & 0xF0) == 0xE0);
        } else if (lead < 0xF5) {
            if (left < 4) return false;
            const std::uint8_t lowest = lead == 0xF0 ? 0x90 : 0x80;   // below: overlong
            const std::uint8_t highest = lead == 0xF4 ? 0x8F : 0xBF;  // above: past U+10FFFF
            if (p[1] < lowest || p[1] > highest || !continuation(p[2]) || !continuation(p[3])) return false;
            p += 4;
        } else {
            return false;
        }
    }
    return true;
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

std::size_t utf16Length(std::string_view utf8) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        if (static_cast<std::uint8_t>(utf8[i]) < 0x80) {
            ++i;
            ++units;
            continue;
        }
        units += decodeUtf8(utf8, i) >= 0x10000 ? 2 : 1;
    }
    return units;
}

std::size_t utf8OffsetOfUtf16Index(std::string_view utf8, std::size_t utf16Index) {
    std::size_t units = 0;
    std::size_t i = 0;
    while (i < utf8.size()) {
        std::size_t next = i;
        const std::size_t width = decodeUtf8(utf8, next) >= 0x10000 ? 2 : 1;
        if (units + width > utf16Index) break;
        units += width;
        i = next;
    }
    return i;
}

std::u16string toUtf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const char32_t cp = decodeUtf8(utf8, i);
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string fromUtf16(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        char32_t cp = utf16[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        appendUtf8(cp, out);
    }
    return out;
}

}  // namespace lv
