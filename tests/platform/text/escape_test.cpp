#include "platform/text/escape.h"

#include <string>

#include <gtest/gtest.h>

namespace lv::text {
namespace {

// The query string's two escapes and the analytics client's urlEncode, with their character sets.
constexpr std::string_view kQueryForced = ":/?&=;+!@#$()',*";
std::string escapeKey(std::string_view s, StringEncoding e = StringEncoding::UTF8) {
    return percentEscape(s, "[].", kQueryForced, e).value_or("<fail>");
}
std::string escapeValue(std::string_view s, StringEncoding e = StringEncoding::UTF8) {
    return percentEscape(s, "", kQueryForced, e).value_or("<fail>");
}
std::string urlEncode(std::string_view s) {
    return percentEscape(s, "", "!*'();:@&=+$,/?%#[]\" ").value_or("<fail>");
}

TEST(PercentEscape, QueryKeysAndValues) {
    const struct {
        const char* text;
        const char* key;
        const char* value;
    } table[] = {
        {"action", "action", "action"},
        {"newsList", "newsList", "newsList"},
        {"", "", ""},
        {"q r", "q%20r", "q%20r"},  // space: %20, never "+"
        {"b[x][]", "b[x][]", "b%5Bx%5D%5B%5D"},
        {"[x]", "[x]", "%5Bx%5D"},
        {"a&b=c+d/e", "a%26b%3Dc%2Bd%2Fe", "a%26b%3Dc%2Bd%2Fe"},
        {"é", "%C3%A9", "%C3%A9"},
        {"中文", "%E4%B8%AD%E6%96%87", "%E4%B8%AD%E6%96%87"},
        {"-._~", "-._~", "-._~"},
        {"100%", "100%25", "100%25"},
        {":/?&=;+!@#$()',*", "%3A%2F%3F%26%3D%3B%2B%21%40%23%24%28%29%27%2C%2A",
         "%3A%2F%3F%26%3D%3B%2B%21%40%23%24%28%29%27%2C%2A"},
        {"\"<>\\^`{|}", "%22%3C%3E%5C%5E%60%7B%7C%7D", "%22%3C%3E%5C%5E%60%7B%7C%7D"},
        {"a\tb\n", "a%09b%0A", "a%09b%0A"},
        {"😀", "%F0%9F%98%80", "%F0%9F%98%80"},
    };
    for (const auto& row : table) {
        EXPECT_EQ(escapeKey(row.text), row.key) << row.text;
        EXPECT_EQ(escapeValue(row.text), row.value) << row.text;
    }
}

TEST(PercentEscape, BytesOfTheChosenEncoding) {
    EXPECT_EQ(escapeValue("é", StringEncoding::ISOLatin1), "%E9");
    EXPECT_EQ(escapeValue("中", StringEncoding::GBK), "%D6%D0");
    EXPECT_EQ(escapeValue("a b", StringEncoding::ASCII), "a%20b");
    EXPECT_EQ(percentEscape("中", "", kQueryForced, StringEncoding::ISOLatin1), std::nullopt);  // no form: fails
    EXPECT_EQ(percentEscape("ok", "", kQueryForced, StringEncoding::ISOLatin1), "ok");
    EXPECT_EQ(percentEscape("\xFF", "", ""), std::nullopt);  // malformed input
}

TEST(PercentEscape, AnalyticsUrlEncode) {
    EXPECT_EQ(urlEncode("!*'();:@&=+$,/?%#[]"), "%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D");
    EXPECT_EQ(urlEncode("a b\"c"), "a%20b%22c");
    EXPECT_EQ(urlEncode("AZaz09-_.~"), "AZaz09-_.~");
    EXPECT_EQ(urlEncode("中"), "%E4%B8%AD");
    EXPECT_EQ(urlEncode("<a>{b}|c^"), "%3Ca%3E%7Bb%7D%7Cc%5E");
}

TEST(PercentEscape, DefaultLegalCharactersAndPrecedence) {
    // Without sets, the legal URL characters stay.
    EXPECT_EQ(percentEscape("a/b?c=d&e", "", ""), "a/b?c=d&e");
    EXPECT_EQ(percentEscape("a b#c%d", "", ""), "a%20b%23c%25d");
    // Leaving unescaped wins over forcing.
    EXPECT_EQ(percentEscape("a/b", "/", "/"), "a/b");
    EXPECT_EQ(percentEscape("a b", " ", ""), "a b");
    for (char32_t c = 0; c < 128; ++c) {
        const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        const bool subDelimsEtc = std::u32string_view(U"!$&'()*+,/:;=?@").find(c) != std::u32string_view::npos;
        EXPECT_EQ(isLegalURLCharacter(c), unreserved || subDelimsEtc) << static_cast<int>(c);
    }
}

TEST(PercentUnescape, ReplacesEscapes) {
    EXPECT_EQ(percentUnescape("q%20r"), "q r");
    EXPECT_EQ(percentUnescape("%C3%a9"), "é");
    EXPECT_EQ(percentUnescape("%E9", StringEncoding::ISOLatin1), "é");
    EXPECT_EQ(percentUnescape("plain+text"), "plain+text");
    EXPECT_EQ(percentUnescape("%"), std::nullopt);
    EXPECT_EQ(percentUnescape("%2"), std::nullopt);
    EXPECT_EQ(percentUnescape("%zz"), std::nullopt);
    EXPECT_EQ(percentUnescape("%C3"), std::nullopt);  // not UTF-8
}

TEST(Base64, Rfc4648Vectors) {
    const struct {
        const char* in;
        const char* out;
    } table[] = {
        {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
        {"user:", "dXNlcjo="},  // Basic credentials: an empty password keeps the colon
        {"Aladdin:open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
    };
    for (const auto& row : table) {
        EXPECT_EQ(base64Encode(std::string_view(row.in)), row.out) << row.in;
        const auto decoded = base64Decode(row.out);
        ASSERT_TRUE(decoded) << row.out;
        EXPECT_EQ(std::string(decoded->begin(), decoded->end()), row.in);
    }
    const Bytes all = [] {
        Bytes b;
        for (int i = 0; i < 256; ++i) b.push_back(static_cast<std::uint8_t>(i));
        return b;
    }();
    const std::string text = base64Encode(all);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 8), "/P3+/w==");  // FC FD FE, then FF
    EXPECT_EQ(base64Decode(text), all);
}

TEST(Base64, StrictDecoding) {
    EXPECT_EQ(base64Decode("Zm9v="), std::nullopt);     // not a multiple of four
    EXPECT_EQ(base64Decode("Zg=a"), std::nullopt);      // data after padding
    EXPECT_EQ(base64Decode("Z==="), std::nullopt);      // three padding characters
    EXPECT_EQ(base64Decode("Zm9v\n"), std::nullopt);    // foreign character
    EXPECT_EQ(base64Decode("Zm-v"), std::nullopt);      // web-safe alphabet is not this one
    const auto lenient = base64Decode("Zm9v\nYmFy", true);
    ASSERT_TRUE(lenient);
    EXPECT_EQ(std::string(lenient->begin(), lenient->end()), "foobar");
    EXPECT_EQ(base64Decode(""), Bytes{});
}

}  // namespace
}  // namespace lv::text
