// Query string encoding: pair order, nesting, escaping and encodings, worked out by hand.
#include <gtest/gtest.h>

#include "http/query_string.h"

namespace lv {
namespace {

TEST(QueryString, EncodesParametersAsSortedEscapedPairs) {
    using D = Value;
    struct Case {
        const char* name;
        Value parameters;
        const char* expected;
        StringEncoding encoding = StringEncoding::UTF8;
    };
    const Case cases[] = {
        {"content request", D::dictionary({{"time", ""}, {"cat", 3}, {"action", "newsList"}}), "action=newsList&cat=3&time="},
        {"nested", D::dictionary({{"b", D::dictionary({{"y", 1}, {"x", D::array({1, 2})}})}, {"a", "q r"}}),
         "a=q%20r&b[x][]=1&b[x][]=2&b[y]=1"},
        {"empty", D::dictionary({}), ""},
        {"keys sort as text, upper case first", D::dictionary({{"9", 1}, {"10", 2}, {"a", 3}, {"B", 4}}), "10=2&9=1&B=4&a=3"},
        {"null writes the key alone", D::dictionary({{"k", D::null()}, {"e", ""}}), "e=&k"},
        {"numbers through their description", D::dictionary({{"n", 1.5}, {"t", true}, {"i", -7}}), "i=-7&n=1.5&t=1"},
        {"sets repeat the key in text order", D::dictionary({{"s", Value(ValueSet::make({"b", 10, "a", 9}))}}),
         "s=10&s=9&s=a&s=b"},
        {"arrays keep their order", D::dictionary({{"a", D::array({"z", "y", D::array({1})})}}), "a[]=z&a[]=y&a[][]=1"},
        {"dictionaries in arrays", D::dictionary({{"a", D::array({D::dictionary({{"y", D::null()}, {"x", 1}})})}}), "a[][x]=1&a[][y]"},
        {"brackets kept in keys, escaped in values", D::dictionary({{"k[x]", "[v]"}}), "k[x]=%5Bv%5D"},
        {"separators escaped in keys and values", D::dictionary({{"a&b=c+d/e", ":/?&=;+!@#$()',*"}}),
         "a%26b%3Dc%2Bd%2Fe=%3A%2F%3F%26%3D%3B%2B%21%40%23%24%28%29%27%2C%2A"},
        {"unreserved stay, percent escaped", D::dictionary({{"p%", "~-._ \"<>"}}), "p%25=~-._%20%22%3C%3E"},
        {"non-ASCII as UTF-8 bytes", D::dictionary({{"e", "é"}}), "e=%C3%A9"},
        {"non-ASCII in Latin-1", D::dictionary({{"e", "é"}}), "e=%E9", StringEncoding::ISOLatin1},
        {"unrepresentable text falls back to UTF-8", D::dictionary({{"k", "韩"}}), "k=%E9%9F%A9", StringEncoding::ISOLatin1},
        // UTF-16 order: U+1F3B5 (D83C DFB5) sorts before U+FF21, unlike byte order.
        {"keys compare by UTF-16 units", D::dictionary({{"\uFF21", 1}, {"\U0001F3B5", 2}}), "%F0%9F%8E%B5=2&%EF%BC%A1=1"},
        {"data through its description", D::dictionary({{"d", D::data("\x01\x02")}}), "d=%3C0102%3E"},
    };
    for (const auto& c : cases) EXPECT_EQ(queryStringFromParameters(c.parameters, c.encoding), c.expected) << c.name;
}

}  // namespace
}  // namespace lv
