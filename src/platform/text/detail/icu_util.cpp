#include "platform/text/detail/icu_util.h"

#include <unicode/stringpiece.h>

#include <cstdint>
#include <cstring>

namespace lv::text::detail {

bool isValidUtf8(std::string_view text) {
    bool valid = true;
    for (std::size_t i = 0; i < text.size() && valid;) {
        // Runs of ASCII (most of a JSON reply) are skipped eight bytes at a time; only the bytes of
        // longer sequences go through the decoder.
        while (i + 8 <= text.size()) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + i, sizeof word);
            if ((word & 0x8080808080808080ULL) != 0) break;
            i += 8;
        }
        if (i < text.size()) decodeUtf8(text, i, &valid);
    }
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
