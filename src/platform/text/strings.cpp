#include "platform/text/strings.h"

#include <algorithm>

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "platform/base/value.h"
#include "platform/text/detail/icu_util.h"

namespace lv {

using text::detail::appendUtf8;
using text::detail::decodeUtf8;

// ---- CharacterSet ----

CharacterSet CharacterSet::whitespace() { return CharacterSet(Kind::Whitespace); }
CharacterSet CharacterSet::whitespaceAndNewline() { return CharacterSet(Kind::WhitespaceAndNewline); }
CharacterSet CharacterSet::newline() { return CharacterSet(Kind::Newline); }
CharacterSet CharacterSet::decimalDigits() { return CharacterSet(Kind::DecimalDigits); }
CharacterSet CharacterSet::letters() { return CharacterSet(Kind::Letters); }
CharacterSet CharacterSet::alphanumerics() { return CharacterSet(Kind::Alphanumerics); }

CharacterSet CharacterSet::fromCharacters(std::string_view characters) {
    CharacterSet set(Kind::Custom);
    for (std::size_t i = 0; i < characters.size();) set.characters_.push_back(decodeUtf8(characters, i));
    std::sort(set.characters_.begin(), set.characters_.end());
    set.characters_.erase(std::unique(set.characters_.begin(), set.characters_.end()), set.characters_.end());
    return set;
}

CharacterSet CharacterSet::inverted() const {
    CharacterSet copy = *this;
    copy.inverted_ = !inverted_;
    return copy;
}

namespace {

bool isNewline(char32_t c) { return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029; }
bool isWhitespace(char32_t c) { return c == 0x09 || u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR; }

bool isLetterOrMark(char32_t c) {
    const auto mask = U_GET_GC_MASK(static_cast<UChar32>(c));
    return (mask & (U_GC_L_MASK | U_GC_M_MASK)) != 0;
}

}  // namespace

bool CharacterSet::contains(char32_t c) const {
    bool in = false;
    switch (kind_) {
        case Kind::Custom: in = std::binary_search(characters_.begin(), characters_.end(), c); break;
        case Kind::Whitespace: in = isWhitespace(c); break;
        case Kind::WhitespaceAndNewline: in = isWhitespace(c) || isNewline(c); break;
        case Kind::Newline: in = isNewline(c); break;
        case Kind::DecimalDigits: in = u_charType(static_cast<UChar32>(c)) == U_DECIMAL_DIGIT_NUMBER; break;
        case Kind::Letters: in = isLetterOrMark(c); break;
        case Kind::Alphanumerics:
            in = isLetterOrMark(c) || (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_N_MASK) != 0;
            break;
    }
    return in != inverted_;
}

namespace text {

// ---- Splitting, joining, searching ----

std::vector<std::string> split(std::string_view text, std::string_view separator) {
    std::vector<std::string> parts;
    if (separator.empty()) {
        parts.emplace_back(text);
        return parts;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos) break;
        parts.emplace_back(text.substr(start, at - start));
        start = at + separator.size();
    }
    parts.emplace_back(text.substr(start));
    return parts;
}

namespace {

template <class Piece>
std::string joinPieces(std::span<const Piece> parts, std::string_view separator) {
    std::size_t size = parts.empty() ? 0 : separator.size() * (parts.size() - 1);
    for (const auto& p : parts) size += p.size();
    std::string out;
    out.reserve(size);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i != 0) out += separator;
        out += parts[i];
    }
    return out;
}

}  // namespace

std::string join(std::span<const std::string> parts, std::string_view separator) { return joinPieces(parts, separator); }
std::string join(std::span<const std::string_view> parts, std::string_view separator) {
    return joinPieces(parts, separator);
}

std::optional<std::size_t> find(std::string_view text, std::string_view needle, std::size_t from) {
    if (needle.empty() || from > text.size()) return std::nullopt;
    const std::size_t at = text.find(needle, from);
    if (at == std::string_view::npos) return std::nullopt;
    return at;
}

std::optional<std::size_t> findUtf16(std::string_view text, std::string_view needle) {
    const auto at = find(text, needle);
    if (!at) return std::nullopt;
    return utf16IndexOfByteOffset(text, *at);
}

std::optional<std::size_t> findLast(std::string_view text, std::string_view needle) {
    if (needle.empty()) return std::nullopt;
    const std::size_t at = text.rfind(needle);
    if (at == std::string_view::npos) return std::nullopt;
    return at;
}

bool contains(std::string_view text, std::string_view needle) { return find(text, needle).has_value(); }

bool hasPrefix(std::string_view text, std::string_view prefix) {
    return !prefix.empty() && text.substr(0, prefix.size()) == prefix;
}

bool hasSuffix(std::string_view text, std::string_view suffix) {
    return !suffix.empty() && text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string replaceAll(std::string_view text, std::string_view target, std::string_view replacement) {
    if (target.empty()) return std::string(text);
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(target, start);
        if (at == std::string_view::npos) break;
        out.append(text.substr(start, at - start));
        out.append(replacement);
        start = at + target.size();
    }
    out.append(text.substr(start));
    return out;
}

// ---- Lengths and substrings ----

std::size_t length(std::string_view text) { return utf16Length(text); }

std::size_t utf16IndexOfByteOffset(std::string_view text, std::size_t byteOffset) {
    return utf16Length(text.substr(0, std::min(byteOffset, text.size())));
}

std::string substringFromUtf16(std::string_view text, std::size_t index) {
    return std::string(text.substr(utf8OffsetOfUtf16Index(text, index)));
}

std::string substringToUtf16(std::string_view text, std::size_t index) {
    return std::string(text.substr(0, utf8OffsetOfUtf16Index(text, index)));
}

std::string substringUtf16(std::string_view text, std::size_t location, std::size_t length) {
    const std::size_t begin = utf8OffsetOfUtf16Index(text, location);
    const std::size_t end = length > SIZE_MAX - location ? text.size() : utf8OffsetOfUtf16Index(text, location + length);
    return std::string(text.substr(begin, end - begin));
}

// ---- Trimming and filtering ----

std::string trim(std::string_view text, const CharacterSet& set) {
    std::size_t begin = text.size();
    std::size_t end = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t start = i;
        if (!set.contains(decodeUtf8(text, i))) {
            if (begin == text.size()) begin = start;
            end = i;
        }
    }
    if (begin >= end) return std::string();
    return std::string(text.substr(begin, end - begin));
}

std::string trimWhitespace(std::string_view text) { return trim(text, CharacterSet::whitespace()); }
std::string trimWhitespaceAndNewlines(std::string_view text) {
    return trim(text, CharacterSet::whitespaceAndNewline());
}

namespace {

std::string filterCharacters(std::string_view text, const CharacterSet& set, bool keep) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t start = i;
        const char32_t c = decodeUtf8(text, i);
        if (set.contains(c) == keep) out.append(text.substr(start, i - start));
    }
    return out;
}

}  // namespace

std::string keepCharacters(std::string_view text, const CharacterSet& set) { return filterCharacters(text, set, true); }
std::string removeCharacters(std::string_view text, const CharacterSet& set) {
    return filterCharacters(text, set, false);
}

// ---- Case mapping ----

std::string uppercase(std::string_view text) {
    if (detail::isAscii(text)) return asciiUppercase(text);
    icu::UnicodeString s = detail::toIcu(text);
    s.toUpper(icu::Locale::getRoot());
    return detail::fromIcu(s);
}

std::string lowercase(std::string_view text) {
    if (detail::isAscii(text)) return asciiLowercase(text);
    icu::UnicodeString s = detail::toIcu(text);
    s.toLower(icu::Locale::getRoot());
    return detail::fromIcu(s);
}

std::string capitalized(std::string_view text) {
    const CharacterSet separators = CharacterSet::whitespaceAndNewline();
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        // Copy separators.
        std::size_t next = i;
        const char32_t c = decodeUtf8(text, next);
        if (separators.contains(c)) {
            out.append(text.substr(i, next - i));
            i = next;
            continue;
        }
        // A word: title-case its first character, lower-case the rest.
        std::size_t wordEnd = next;
        while (wordEnd < text.size()) {
            std::size_t probe = wordEnd;
            if (separators.contains(decodeUtf8(text, probe))) break;
            wordEnd = probe;
        }
        icu::UnicodeString first = detail::toIcu(text.substr(i, next - i));
        first.toTitle(nullptr, icu::Locale::getRoot(), U_TITLECASE_NO_LOWERCASE | U_TITLECASE_NO_BREAK_ADJUSTMENT);
        out += detail::fromIcu(first);
        out += lowercase(text.substr(next, wordEnd - next));
        i = wordEnd;
    }
    return out;
}

std::string asciiUppercase(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

std::string asciiLowercase(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// ---- Numeric readings ----

std::int32_t intValue(std::string_view text) { return readInt(text); }
std::int64_t integerValue(std::string_view text) { return readLongLong(text); }
std::int64_t longLongValue(std::string_view text) { return readLongLong(text); }
double doubleValue(std::string_view text) { return readDouble(text); }
float floatValue(std::string_view text) { return static_cast<float>(readDouble(text)); }
bool boolValue(std::string_view text) { return readBool(text); }

}  // namespace text
}  // namespace lv
