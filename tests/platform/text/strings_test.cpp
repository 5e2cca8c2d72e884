#include "platform/text/strings.h"

#include <climits>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace lv::text {
namespace {

using Pieces = std::vector<std::string>;

TEST(Split, KeepsEmptyComponents) {
    EXPECT_EQ(split("a,,b", ","), (Pieces{"a", "", "b"}));
    EXPECT_EQ(split("", ","), (Pieces{""}));
    EXPECT_EQ(split(",", ","), (Pieces{"", ""}));
    EXPECT_EQ(split("a-b-", "-"), (Pieces{"a", "b", ""}));
    EXPECT_EQ(split("abc", ""), (Pieces{"abc"}));
    EXPECT_EQ(split("a::b::c", "::"), (Pieces{"a", "b", "c"}));
    EXPECT_EQ(split("中,文", ","), (Pieces{"中", "文"}));
}

TEST(Join, JoinsWithSeparator) {
    const Pieces parts{"user", "id", "number"};
    EXPECT_EQ(join(parts, "_"), "user_id_number");
    EXPECT_EQ(join(Pieces{}, "-"), "");
    EXPECT_EQ(join(Pieces{"", ""}, "&"), "&");
    const std::vector<std::string_view> views{"a", "b"};
    EXPECT_EQ(join(views, ", "), "a, b");
}

TEST(Find, LiteralSearchAndPrefixes) {
    EXPECT_EQ(find("hello world", "o"), 4u);
    EXPECT_EQ(find("hello world", "o", 5), 7u);
    EXPECT_EQ(find("hello", "x"), std::nullopt);
    EXPECT_EQ(find("hello", ""), std::nullopt);  // the platform never finds the empty text
    EXPECT_EQ(findLast("a-b-c", "-"), 3u);
    EXPECT_EQ(findUtf16("a😀b", "b"), 3u);       // the emoji is two UTF-16 units
    EXPECT_EQ(findUtf16("中文b", "b"), 2u);
    EXPECT_TRUE(contains("T@\"NSDate\",&,N", "@\""));
    EXPECT_FALSE(contains("abc", ""));
    EXPECT_TRUE(hasPrefix("-music", "-"));
    EXPECT_FALSE(hasPrefix("music", "-"));
    EXPECT_FALSE(hasPrefix("", "-"));
    EXPECT_FALSE(hasPrefix("abc", ""));
    EXPECT_FALSE(hasPrefix("Abc", "a"));  // case-sensitive
    EXPECT_TRUE(hasSuffix("file.plist", ".plist"));
    EXPECT_FALSE(hasSuffix("plist", ".plist"));
    EXPECT_FALSE(hasSuffix("abc", ""));
}

TEST(Replace, AllOccurrencesLeftToRight) {
    EXPECT_EQ(replaceAll("a-b-c", "-", "+"), "a+b+c");
    EXPECT_EQ(replaceAll("aaa", "aa", "b"), "ba");
    EXPECT_EQ(replaceAll("abc", "", "x"), "abc");
    EXPECT_EQ(replaceAll("<0102 0304>", " ", ""), "<01020304>");
    EXPECT_EQ(replaceAll("abc", "abc", ""), "");
}

TEST(Substring, ByUtf16Index) {
    const std::string s = "a😀b";
    EXPECT_EQ(length(s), 4u);
    EXPECT_EQ(length("中文"), 2u);
    EXPECT_EQ(substringFromUtf16(s, 3), "b");
    EXPECT_EQ(substringFromUtf16(s, 1), "😀b");
    EXPECT_EQ(substringToUtf16(s, 1), "a");
    EXPECT_EQ(substringToUtf16(s, 2), "a");  // inside the surrogate pair: rounds down
    EXPECT_EQ(substringToUtf16(s, 3), "a😀");
    EXPECT_EQ(substringUtf16(s, 1, 2), "😀");
    EXPECT_EQ(substringUtf16("中文字", 1, 1), "文");
    EXPECT_EQ(substringToUtf16("abc", 10), "abc");  // clamped
    EXPECT_EQ(substringFromUtf16("abc", 10), "");
    EXPECT_EQ(substringUtf16("abc", 1, SIZE_MAX), "bc");
    EXPECT_EQ(utf16IndexOfByteOffset("中a", 3), 1u);
}

TEST(Trim, WhiteSpaceVersusLineEnds) {
    EXPECT_EQ(trimWhitespace(" \t a b \t "), "a b");
    EXPECT_EQ(trimWhitespace(" \t a \n"), "a \n");  // line ends are not white space
    EXPECT_EQ(trimWhitespaceAndNewlines(" \t a \n\r"), "a");
    EXPECT_EQ(trimWhitespaceAndNewlines(" \n\t"), "");
    EXPECT_EQ(trimWhitespaceAndNewlines(""), "");
    EXPECT_EQ(trimWhitespace("\u3000全角\u3000"), "全角");        // ideographic space is Zs
    EXPECT_EQ(trimWhitespace("\u00A0x\u00A0"), "x");              // no-break space is Zs
    EXPECT_EQ(trimWhitespaceAndNewlines("\u2028x\u0085"), "x");  // line and next-line separators
    EXPECT_EQ(trimWhitespace("\u200Bx"), "\u200Bx");             // zero-width space is not Zs
}

TEST(Trim, CustomSetsAndFiltering) {
    EXPECT_EQ(trim("xxhixx", CharacterSet::fromCharacters("x")), "hi");
    EXPECT_EQ(trim("\"quoted\"", CharacterSet::fromCharacters("\"")), "quoted");
    EXPECT_EQ(trim("中a中", CharacterSet::fromCharacters("中")), "a");
    const CharacterSet ascii = CharacterSet::fromCharacters("0123456789");
    EXPECT_EQ(keepCharacters("tel: 010-8888 ３", ascii), "0108888");  // fullwidth ３ is not in the set
    EXPECT_EQ(keepCharacters("a1b2３", CharacterSet::decimalDigits()), "12３");
    EXPECT_EQ(removeCharacters("a1b2", ascii), "ab");
    EXPECT_EQ(keepCharacters("a1b2", ascii.inverted()), "ab");
    EXPECT_TRUE(CharacterSet::letters().contains(U'é'));
    EXPECT_FALSE(CharacterSet::letters().contains(U'1'));
}

TEST(CaseMapping, FullUnicodeMayLengthen) {
    EXPECT_EQ(uppercase("straße"), "STRASSE");
    EXPECT_EQ(uppercase("ﬁ"), "FI");
    EXPECT_EQ(lowercase("ÀBC"), "àbc");
    EXPECT_EQ(lowercase("İ"), "i̇");  // root locale: dotted capital I keeps its dot as a combining mark
    EXPECT_EQ(uppercase("i"), "I");   // never Turkish rules
    EXPECT_EQ(lowercase("ΟΔΟΣ"), "οδος");  // final sigma
}

TEST(CaseMapping, Capitalized) {
    EXPECT_EQ(capitalized("hello wORLD-x"), "Hello World-x");
    EXPECT_EQ(capitalized("ß"), "Ss");
    EXPECT_EQ(capitalized("ǆemal"), "ǅemal");  // title case, not upper case
    EXPECT_EQ(capitalized(" two\twords\n"), " Two\tWords\n");
    EXPECT_EQ(capitalized(""), "");
}

TEST(CaseMapping, AsciiOnly) {
    EXPECT_EQ(asciiUppercase("éa_b1"), "éA_B1");
    EXPECT_EQ(asciiLowercase("ÉA_B1"), "Éa_b1");
}

TEST(NumericReadings, IntegerReadingsSkipBlanksStopAtTheFirstNonDigitAndSaturate) {
    const struct {
        const char* text;
        std::int32_t asInt;
        std::int64_t asInteger;
    } cases[] = {
        {"  42abc", 42, 42},
        {"\t\n -17", -17, -17},
        {"+5", 5, 5},
        {"1.9", 1, 1},
        {"abc", 0, 0},
        {"- 5", 0, 0},
        {"2147483648", INT32_MAX, 2147483648},
        {"-2147483649", INT32_MIN, -2147483649},
        {"9223372036854775808", INT32_MAX, INT64_MAX},
        {"-9223372036854775809", INT32_MIN, INT64_MIN},
        // Past the unsigned 64-bit range too (an unchecked accumulator once wrapped here).
        {"18446744073709551616", INT32_MAX, INT64_MAX},
        {"20000000000000000000", INT32_MAX, INT64_MAX},
        {"-20000000000000000000", INT32_MIN, INT64_MIN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(intValue(c.text), c.asInt) << c.text;
        EXPECT_EQ(integerValue(c.text), c.asInteger) << c.text;
        EXPECT_EQ(longLongValue(c.text), c.asInteger) << c.text;
    }
}

TEST(NumericReadings, DoubleValue) {
    EXPECT_DOUBLE_EQ(doubleValue("3.5e2xyz"), 350.0);
    EXPECT_DOUBLE_EQ(doubleValue(" -0.5"), -0.5);
    EXPECT_DOUBLE_EQ(doubleValue(".5"), 0.5);
    EXPECT_DOUBLE_EQ(doubleValue("199.90"), 199.9);
    EXPECT_DOUBLE_EQ(doubleValue("abc"), 0.0);
    EXPECT_FLOAT_EQ(floatValue("1.25"), 1.25f);
}

TEST(NumericReadings, BoolValue) {
    for (const char* yes : {"YES", "yes", "Y", "true", "TRUE", "t", "1", "7", "00001", "-1", "+1", "  t", "9x"}) {
        EXPECT_TRUE(boolValue(yes)) << yes;
    }
    for (const char* no : {"NO", "no", "false", "0", "000", "", "  ", "0.5", "x", "-0", "n1"}) {
        EXPECT_FALSE(boolValue(no)) << no;
    }
}

}  // namespace
}  // namespace lv::text
