// Internal helpers shared by the text and time libraries: UTF-8 code point walking and the bridge to
// ICU strings. Not part of the public interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <unicode/unistr.h>

#include "platform/base/value.h"

namespace lv::text::detail {

// UTF-8 walking comes from base (decodeUtf8 advances past one code point, U+FFFD for a malformed byte).
using lv::appendUtf8;
using lv::decodeUtf8;
// Well-formedness is base's isWellFormedUtf8.
using lv::isWellFormedUtf8;
bool isAscii(std::string_view text);

icu::UnicodeString toIcu(std::string_view utf8);
std::string fromIcu(const icu::UnicodeString& text);

}  // namespace lv::text::detail
