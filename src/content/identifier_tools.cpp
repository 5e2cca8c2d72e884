#include "content/identifier_tools.h"

#include "platform/base/format.h"
#include "platform/text/strings.h"

namespace lv {

namespace {

// Byte length of the first character of UTF-8 text (1 for a malformed lead byte).
std::size_t firstCharacterLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t n = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return n <= text.size() ? n : 1;
}

}  // namespace

std::vector<std::string> IdentifierTools::camelStyleToArray(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            if (!word.empty()) words.push_back(text::lowercase(word));
            word.clear();
        }
        word += c;
    }
    if (!word.empty()) words.push_back(text::lowercase(word));
    return words;
}

std::vector<std::string> IdentifierTools::dashStyleToArray(std::string_view text) {
    return text::split(text::lowercase(text), "-");
}

std::vector<std::string> IdentifierTools::underscoreStyleToArray(std::string_view text) {
    return text::split(text::lowercase(text), "_");
}

std::string IdentifierTools::arrayToCamelStyle(const std::vector<std::string>& words) {
    std::string joined;
    for (const std::string& word : words) joined += capitalizedFirstLetterString(word);
    return lowercaseFirstLetterString(joined);
}

std::string IdentifierTools::arrayToDashStyle(const std::vector<std::string>& words) { return text::join(words, "-"); }

std::string IdentifierTools::arrayToUnderscoreStyle(const std::vector<std::string>& words) {
    return text::join(words, "_");
}

std::string IdentifierTools::capitalizedFirstLetterString(std::string_view text) {
    if (text.empty()) return {};
    const std::size_t n = firstCharacterLength(text);
    return text::capitalized(text.substr(0, n)) + std::string(text.substr(n));
}

std::string IdentifierTools::lowercaseFirstLetterString(std::string_view text) {
    if (text.empty()) return {};
    const std::size_t n = firstCharacterLength(text);
    return text::lowercase(text.substr(0, n)) + std::string(text.substr(n));
}

std::string IdentifierTools::substringWithoutLast(std::string_view text, std::size_t n) {
    const std::size_t length = text::length(text);
    if (n > length) return {};
    return text::substringToUtf16(text, length - n);
}

std::string IdentifierTools::substringBetweenSubstrings(std::string_view text, std::string_view first,
                                                        std::string_view second) {
    const std::optional<std::size_t> start = text::find(text, first);
    const std::optional<std::size_t> end = text::find(text, second);
    if (!start || !end) return {};
    const std::size_t from = *start + first.size();
    if (*end <= from) return {};
    return std::string(text.substr(from, *end - from));
}

std::string IdentifierTools::trim(std::string_view text) { return text::trimWhitespace(text); }

std::string IdentifierTools::filterNumbers(std::string_view text) {
    return text::keepCharacters(text, CharacterSet::fromCharacters("0123456789"));
}

std::string IdentifierTools::addTagFormat(std::string_view text) {
    return isDeleteTagFormat(text) ? std::string(text.substr(1)) : std::string(text);
}

std::string IdentifierTools::deleteTagFormat(std::string_view text) {
    return isDeleteTagFormat(text) ? std::string(text) : format("-%@", text);
}

bool IdentifierTools::isDeleteTagFormat(std::string_view text) { return text::hasPrefix(text, "-"); }

}  // namespace lv
