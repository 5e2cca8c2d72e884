// Internal helpers shared by the text and time libraries: UTF-8 code point walking and the bridge to
// ICU strings. Not part of the public interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <unicode/unistr.h>

namespace lv::text::detail {

// Decodes one code point at text[i] and advances i. A malformed sequence yields U+FFFD and advances by
// one byte; `valid` (when given) is set to false for it.
char32_t decodeUtf8(std::string_view text, std::size_t& i, bool* valid = nullptr);
void appendUtf8(char32_t cp, std::string& out);
// True when the text is well-formed UTF-8.
bool isValidUtf8(std::string_view text);
bool isAscii(std::string_view text);

icu::UnicodeString toIcu(std::string_view utf8);
std::string fromIcu(const icu::UnicodeString& text);

}  // namespace lv::text::detail
