// String operations on the platform's strings. Text is UTF-8; where the app counts characters the
// count is in UTF-16 code units, as the platform counts them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lv {

// A set of Unicode characters, as the platform's character sets: the built-in classes the app uses
// and sets made from the characters of a text.
class CharacterSet {
public:
    // Unicode general category Zs plus U+0009 (tab): blanks, not line ends.
    static CharacterSet whitespace();
    // whitespace() plus U+000A-U+000D, U+0085, U+2028 and U+2029.
    static CharacterSet whitespaceAndNewline();
    // U+000A-U+000D, U+0085, U+2028, U+2029.
    static CharacterSet newline();
    // Unicode decimal digits (general category Nd).
    static CharacterSet decimalDigits();
    // Letters and marks (categories L*, M*).
    static CharacterSet letters();
    // Letters, marks and numbers (L*, M*, N*).
    static CharacterSet alphanumerics();
    // Exactly the characters of the (UTF-8) text.
    static CharacterSet fromCharacters(std::string_view characters);

    CharacterSet inverted() const;
    bool contains(char32_t c) const;

private:
    enum class Kind : std::uint8_t { Custom, Whitespace, WhitespaceAndNewline, Newline, DecimalDigits, Letters, Alphanumerics };
    explicit CharacterSet(Kind kind) : kind_(kind) {}
    Kind kind_ = Kind::Custom;
    bool inverted_ = false;
    std::u32string characters_;  // sorted, for Custom
};

namespace text {

// ---- Splitting, joining, searching ----

// Splitting by a separator: every occurrence splits, empty components are kept ("a,,b" gives
// "a", "", "b"; "" gives one empty component). An empty separator gives the whole text.
std::vector<std::string> split(std::string_view text, std::string_view separator);
std::string join(std::span<const std::string> parts, std::string_view separator);
std::string join(std::span<const std::string_view> parts, std::string_view separator);

// Literal search. Byte offset of the first occurrence at or after `from` (a byte
// offset), or nothing. An empty needle is never found, as on the platform.
std::optional<std::size_t> find(std::string_view text, std::string_view needle, std::size_t from = 0);
// The same, as the UTF-16 index of the occurrence.
std::optional<std::size_t> findUtf16(std::string_view text, std::string_view needle);
// Byte offset of the last occurrence, or nothing.
std::optional<std::size_t> findLast(std::string_view text, std::string_view needle);
// Containment, prefix and suffix tests (case-sensitive). An empty needle answers false, as on the
// platform.
bool contains(std::string_view text, std::string_view needle);
bool hasPrefix(std::string_view text, std::string_view prefix);
bool hasSuffix(std::string_view text, std::string_view suffix);

// Replacing every occurrence (literal, left to right, non-overlapping). An
// empty target leaves the text unchanged.
std::string replaceAll(std::string_view text, std::string_view target, std::string_view replacement);

// ---- Lengths and substrings by UTF-16 index ----

// Length in UTF-16 code units.
std::size_t length(std::string_view text);
// UTF-16 index of a byte offset (the number of UTF-16 units before it).
std::size_t utf16IndexOfByteOffset(std::string_view text, std::size_t byteOffset);
// Substrings from, to and within UTF-16 indices. Indices past the
// end are clamped to the end (the platform raises there; nothing in the app relies on that); an index inside a
// surrogate pair rounds down to the pair's start.
std::string substringFromUtf16(std::string_view text, std::size_t index);
std::string substringToUtf16(std::string_view text, std::size_t index);
std::string substringUtf16(std::string_view text, std::size_t location, std::size_t length);

// ---- Trimming and filtering by character sets ----

// Trimming the characters of a set from both ends.
std::string trim(std::string_view text, const CharacterSet& set);
// White space only (blanks and tabs, not line ends).
std::string trimWhitespace(std::string_view text);
// White space and line ends.
std::string trimWhitespaceAndNewlines(std::string_view text);
// Keeps only the characters in the set / removes the characters in the set.
std::string keepCharacters(std::string_view text, const CharacterSet& set);
std::string removeCharacters(std::string_view text, const CharacterSet& set);

// ---- Case mapping ----

// Upper and lower case: full Unicode case mapping, independent of any locale; the text
// may grow ("ß" upper-cases to "SS").
std::string uppercase(std::string_view text);
std::string lowercase(std::string_view text);
// Capitalized: in each word (a run delimited by white space and line ends) the first character
// is title-cased and the rest lower-cased ("hello wORLD-x" gives "Hello World-x").
std::string capitalized(std::string_view text);
// ASCII-only mapping (the C library's toupper/tolower per byte): other bytes unchanged.
std::string asciiUppercase(std::string_view text);
std::string asciiLowercase(std::string_view text);

// ---- Numeric readings of text, as the platform reads them ----
// Leading white space skipped, an optional sign, digits up to the first other character; 0 when the
// text holds no number. intValue saturates at the 32-bit limits, integerValue and longLongValue at
// the 64-bit ones.

std::int32_t intValue(std::string_view text);
std::int64_t integerValue(std::string_view text);
std::int64_t longLongValue(std::string_view text);
double doubleValue(std::string_view text);
float floatValue(std::string_view text);
// True for Y, y, T, t or a non-zero digit after white space, an optional sign and zeros.
bool boolValue(std::string_view text);

}  // namespace text
}  // namespace lv
