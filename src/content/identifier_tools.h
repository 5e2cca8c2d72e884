// Identifier texts: splitting camel-case, dash and underscore identifiers into lower-case words and
// joining words back, and small text helpers (first-letter case, cuts, trimming, digit filtering, and
// the "-" prefix that marks a tag for deletion). Lengths count UTF-16 units, as the platform counts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lv {

class IdentifierTools {
public:
    // Each upper-case letter A-Z and each digit 0-9 starts a new word; words are lower-cased:
    // "userIDNumber2" → user, i, d, number, 2.
    static std::vector<std::string> camelStyleToArray(std::string_view text);
    // The lower-cased text split at every "-" / "_" (empty parts kept).
    static std::vector<std::string> dashStyleToArray(std::string_view text);
    static std::vector<std::string> underscoreStyleToArray(std::string_view text);
    // Every word with its first letter capitalised, joined, then the first letter of the whole
    // lower-cased: user, name → "userName".
    static std::string arrayToCamelStyle(const std::vector<std::string>& words);
    static std::string arrayToDashStyle(const std::vector<std::string>& words);
    static std::string arrayToUnderscoreStyle(const std::vector<std::string>& words);

    // The text with its first character capitalised / lower-cased; the empty text unchanged.
    static std::string capitalizedFirstLetterString(std::string_view text);
    static std::string lowercaseFirstLetterString(std::string_view text);
    // The text without its last n characters; the empty text when n exceeds the length.
    static std::string substringWithoutLast(std::string_view text, std::size_t n);
    // The text between the end of the first occurrence of `first` and the start of the first
    // occurrence of `second`; the empty text when either is missing or the second starts at or before
    // the end of the first. (T@"String",&,N,V_x between @" and ", gives String.)
    static std::string substringBetweenSubstrings(std::string_view text, std::string_view first, std::string_view second);
    // Without leading and trailing blanks and tabs (line ends stay).
    static std::string trim(std::string_view text);
    // Only the characters 0-9.
    static std::string filterNumbers(std::string_view text);
    // "-music" → "music"; other texts unchanged.
    static std::string addTagFormat(std::string_view text);
    // "music" → "-music"; a text starting with "-" unchanged.
    static std::string deleteTagFormat(std::string_view text);
    // True when the text starts with "-".
    static bool isDeleteTagFormat(std::string_view text);
};

}  // namespace lv
