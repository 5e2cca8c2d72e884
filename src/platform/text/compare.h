// Text comparisons as the platform orders strings. Results are -1 (ascending), 0 (same) or 1
// (descending), the platform's ordering results.
#pragma once

#include <string_view>

#include "platform/text/locale.h"

namespace lv::text {

enum CompareOptions : unsigned {
    kCompareDefault = 0,
    // Case folded before comparing ("a" equals "A").
    kCompareCaseInsensitive = 1,
    // Code units as they are, without treating canonically equivalent sequences (a precomposed "é"
    // and "e" + U+0301) as equal.
    kCompareLiteral = 2,
};

// Literal comparison: character by character in UTF-16 code unit order, never numeric:
// "1.10" sorts before "1.9", "B" before "a", "10" before "9".
int compare(std::string_view a, std::string_view b, unsigned options = kCompareDefault);
// Case-insensitive comparison: compare with kCompareCaseInsensitive ("1.10" is still below "1.9").
int caseInsensitiveCompare(std::string_view a, std::string_view b);
// Localized comparison, with or without case: the locale's collation (ICU collator for the
// locale; tertiary strength, or secondary when case-insensitive).
int localizedCompare(std::string_view a, std::string_view b, const Locale& locale = Locale::current());
int localizedCaseInsensitiveCompare(std::string_view a, std::string_view b, const Locale& locale = Locale::current());

}  // namespace lv::text
