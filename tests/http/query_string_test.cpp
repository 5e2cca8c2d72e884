// Query string encoding: pair order, nesting, escaping and encodings, worked out by hand.
#include <gtest/gtest.h>

#include "http/query_string.h"

namespace lv {
namespace {

struct QueryCase {
    const char* name;
    Value parameters;
    const char* expected;
    StringEncoding encoding = StringEncoding::UTF8;
};

TEST(QueryString, EncodesParametersAsSortedEscapedPairs) {
    const QueryCase cases[] = {
        {"content request", Value::dictionary({{"time", ""}, {"cat", 3}, {"action", "newsList"}}),
         "action=newsList&cat=3&time="},
        {"nested", Value::dictionary({{"b", Value::dictionary({{"y", 1}, {"x", Value::array({1, 2})}})}, {"a", "q r"}}),
         "a=q%20r&b[x][]=1&b[x][]=2&b[y]=1"},
        {"empty", Value::dictionary({}), ""},
        {"keys sort as text", Value::dictionary({{"9", "nine"}, {"10", "ten"}}), "10=ten&9=nine"},
        {"upper case first", Value::dictionary({{"a", 1}, {"B", 2}}), "B=2&a=1"},
        {"null writes the key alone", Value::dictionary({{"k", Value::null()}, {"e", ""}}), "e=&k"},
        {"numbers through their description", Value::dictionary({{"n", 1.5}, {"t", true}, {"i", -7}}),
         "i=-7&n=1.5&t=1"},
        {"sets repeat the key in text order", Value::dictionary({{"s", Value(ValueSet::make({"b", 10, "a", 9}))}}),
         "s=10&s=9&s=a&s=b"},
        {"arrays keep their order", Value::dictionary({{"a", Value::array({"z", "y", Value::array({1})})}}),
         "a[]=z&a[]=y&a[][]=1"},
        {"dictionaries in arrays", Value::dictionary({{"a", Value::array({Value::dictionary({{"y", 2}, {"x", 1}})})}}),
         "a[][x]=1&a[][y]=2"},
        {"null nested", Value::dictionary({{"d", Value::dictionary({{"n", Value::null()}})}}), "d[n]"},
        {"brackets kept in keys, escaped in values", Value::dictionary({{"k[x]", "[v]"}}), "k[x]=%5Bv%5D"},
        {"separators escaped in keys", Value::dictionary({{"a&b=c+d/e", "1"}}), "a%26b%3Dc%2Bd%2Fe=1"},
        {"reserved characters in values", Value::dictionary({{"v", ":/?&=;+!@#$()',*"}}),
         "v=%3A%2F%3F%26%3D%3B%2B%21%40%23%24%28%29%27%2C%2A"},
        {"unreserved stay, percent escaped", Value::dictionary({{"p%", "~-._ \"<>"}}), "p%25=~-._%20%22%3C%3E"},
        {"non-ASCII as UTF-8 bytes", Value::dictionary({{"e", "é"}}), "e=%C3%A9"},
        {"non-ASCII in Latin-1", Value::dictionary({{"e", "é"}}), "e=%E9", StringEncoding::ISOLatin1},
        {"unrepresentable text falls back to UTF-8", Value::dictionary({{"k", "韩"}}), "k=%E9%9F%A9",
         StringEncoding::ISOLatin1},
        // UTF-16 order: U+1F3B5 (D83C DFB5) sorts before U+FF21, unlike byte order.
        {"keys compare by UTF-16 units", Value::dictionary({{"\uFF21", 1}, {"\U0001F3B5", 2}}),
         "%F0%9F%8E%B5=2&%EF%BC%A1=1"},
        {"data through its description", Value::dictionary({{"d", Value::data("\x01\x02")}}), "d=%3C0102%3E"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(queryStringFromParameters(c.parameters, c.encoding), c.expected) << c.name;
    }
}

TEST(QueryString, FlatteningGivesFieldsUnescapedAndPairsWriteTheirOwnText) {
    const auto pairs = flattenQueryPairs(Value(), Value::dictionary({{"b", Value::dictionary({{"x", Value::array({1, Value::null()})}})},
                                                                     {"a b", "v w"}}));
    ASSERT_EQ(pairs.size(), 3u);
    EXPECT_EQ(pairs[0].field().description(), "a b");
    EXPECT_EQ(pairs[1].field().description(), "b[x][]");
    EXPECT_EQ(pairs[2].field().description(), "b[x][]");
    EXPECT_TRUE(pairs[2].value().isNull());
    EXPECT_EQ(pairs[0].URLEncodedStringValueWithEncoding(StringEncoding::UTF8), "a%20b=v%20w");
    EXPECT_EQ(HCQueryStringPair(Value("k"), Value()).URLEncodedStringValueWithEncoding(StringEncoding::UTF8), "k");
    EXPECT_EQ(escapeQueryKey("a[b].c d", StringEncoding::UTF8), "a[b].c%20d");
    EXPECT_EQ(escapeQueryValue("a[b].c", StringEncoding::UTF8), "a%5Bb%5D.c");
}

}  // namespace
}  // namespace lv
