#include <gtest/gtest.h>

#include <pthread.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/format.h"
#include "platform/storage/json.h"
#include "platform/storage/property_list.h"

#include "storage_test_support.h"

namespace lv {
namespace {

Value read(std::string_view text, JSONReadingOptions options = kJSONReadingAllowFragments) {
    Ref<Error> error;
    Value v = JSONSerialization::JSONObjectWithData(text, options, &error);
    EXPECT_EQ(v.isNil(), error != nullptr) << text;
    return v;
}

std::string write(const Value& v, JSONWritingOptions options = 0) {
    Ref<Error> error;
    auto text = JSONSerialization::stringWithJSONObject(v, options, &error);
    EXPECT_TRUE(text) << (error ? error->description() : "");
    return text.value_or("");
}

TEST(JSONReading, KindsAreKeptApart) {
    const Value v = read(R"({"i":42,"n":-7,"r":1.5,"e":1e2,"t":true,"f":false,"z":null,"s":"x","a":[],"o":{}})");
    ASSERT_TRUE(v.isDictionary());
    EXPECT_EQ(test::kindOf(v["i"]), NumberKind::Int64);
    EXPECT_EQ(v["i"].longLongValue(), 42);
    EXPECT_EQ(v["n"].longLongValue(), -7);
    EXPECT_EQ(test::kindOf(v["r"]), NumberKind::Double);
    EXPECT_EQ(test::kindOf(v["e"]), NumberKind::Double);
    EXPECT_EQ(test::kindOf(v["t"]), NumberKind::Bool);
    EXPECT_TRUE(v["t"].boolValue());
    EXPECT_EQ(test::kindOf(v["f"]), NumberKind::Bool);
    EXPECT_TRUE(v["z"].isNull());
    EXPECT_EQ(v["s"].string(), "x");
    EXPECT_TRUE(v["a"].isArray());
    EXPECT_TRUE(v["o"].isDictionary());
}

TEST(JSONReading, BigIntegersAndDoublesAreExact) {
    EXPECT_EQ(read("9223372036854775807").longLongValue(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(read("-9223372036854775808").longLongValue(), std::numeric_limits<std::int64_t>::min());
    const Value big = read("18446744073709551615");
    EXPECT_EQ(test::kindOf(big), NumberKind::UInt64);
    EXPECT_EQ(big.unsignedLongLongValue(), std::numeric_limits<std::uint64_t>::max());
    // Integers no 64-bit type holds, and numbers whose digits a double would not keep, are decimals.
    struct Case {
        const char* text;
        const char* decimal;  // the decimal's text; nullptr: a double
    };
    const Case cases[] = {
        {"18446744073709551616", "18446744073709551616"},
        {"-9223372036854775809", "-9223372036854775809"},
        {"123456789012345678901234567890", "123456789012345678901234567890"},
        {"12345678901234567.25", "12345678901234567.25"},
        {"0.1000000000000000055511151231257827", "0.1000000000000000055511151231257827"},
        {"1234567890.123456789e3", "1234567890123.456789"},
        {"19.99", nullptr},
        {"123456789012345.6", nullptr},
        {"0.30000000000000004", nullptr},  // the shortest text of a double
        {"1.5e300", nullptr},
    };
    for (const Case& c : cases) {
        const Value v = read(c.text);
        if (c.decimal) {
            ASSERT_TRUE(v.isDecimal()) << c.text;
            EXPECT_EQ(v.decimal()->stringValue(), c.decimal);
        } else {
            EXPECT_EQ(test::kindOf(v), NumberKind::Double) << c.text;
            EXPECT_EQ(v.doubleValue(), std::strtod(c.text, nullptr)) << c.text;
        }
    }
    EXPECT_EQ(read("0.1").doubleValue(), 0.1);
    EXPECT_EQ(read("2.2250738585072014e-308").doubleValue(), 2.2250738585072014e-308);
    EXPECT_EQ(read("1.7976931348623157e308").doubleValue(), 1.7976931348623157e308);
}

TEST(JSONReading, ZerosWithExponentsAndRealsOutOfRange) {
    // Zero with any exponent is zero; reals beyond the double range are refused, below it are zero.
    for (const char* zero : {"0e300", "-0.0e-100", "0.000e99", "0E-400", "1e-400", "-1e-99999"}) {
        const Value v = read(zero);
        EXPECT_EQ(test::kindOf(v), NumberKind::Double) << zero;
        EXPECT_EQ(v.doubleValue(), 0.0) << zero;
    }
    // A negative zero keeps its sign, also when written without a fraction, so it round-trips.
    for (const char* negativeZero : {"-0", "-0e2"}) {
        const Value v = read(negativeZero, kJSONReadingAllowFragments);
        EXPECT_EQ(test::kindOf(v), NumberKind::Double) << negativeZero;
        EXPECT_TRUE(std::signbit(v.doubleValue())) << negativeZero;
        const auto written = JSONSerialization::dataWithJSONObject(v, kJSONWritingFragmentsAllowed, nullptr);
        ASSERT_TRUE(written) << negativeZero;
        EXPECT_EQ(read(std::string(written->begin(), written->end()), kJSONReadingAllowFragments), v) << negativeZero;
        EXPECT_TRUE(std::signbit(read(std::string(written->begin(), written->end()), kJSONReadingAllowFragments).doubleValue()));
    }
    EXPECT_EQ(read("0.1e309").doubleValue(), 1e308);
    EXPECT_EQ(read("4.9e-324").doubleValue(), 5e-324);
    for (const char* huge : {"[1000e306]", "[1.8e308]", "[-17976931348623159e292]"}) {
        Ref<Error> error;
        EXPECT_TRUE(JSONSerialization::JSONObjectWithData(huge, 0, &error).isNil()) << huge;
        ASSERT_TRUE(error) << huge;
        EXPECT_EQ(error->userInfo().get(kDebugDescriptionErrorKey).string(), "Invalid number around character 1.");
    }
    const std::string longInteger = "[" + std::string(400, '9') + "]";
    EXPECT_TRUE(JSONSerialization::JSONObjectWithData(longInteger, 0, nullptr).isNil());
}

// Short numbers are read without the full conversion; they must read exactly as the full conversion
// reads the same number written with more digits (trailing zeros take it past the short road), and as
// strtod / strtoll read them.
TEST(JSONReading, ShortNumbersReadAsTheFullConversion) {
    auto bitsOf = [](double d) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &d, sizeof bits);
        return bits;
    };
    // The same real with 20 more zeros after its last fraction digit.
    auto padded = [](const std::string& text) {
        std::string mantissa = text;
        std::string exponent;
        if (const auto e = text.find_first_of("eE"); e != std::string::npos) {
            mantissa = text.substr(0, e);
            exponent = text.substr(e);
        }
        if (mantissa.find('.') == std::string::npos) mantissa += '.';
        return mantissa + std::string(20, '0') + exponent;
    };
    std::vector<std::string> reals = {"0.0",   "-0.0",  "1.5",     "3.9",       "-2.25",           "0.1",
                                      "1e22",  "1e23",  "1e-22",   "1e-23",     "123456789012345.0", "999999999999999e22",
                                      "1.5E+3", "7e-0", "-8.5e-5", "0.000001e3", "123456789012345e-22", "4.35"};
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (int i = 0; i < 3000; ++i) {
        const int digits = 1 + static_cast<int>(next() % 15);
        std::string text = next() % 4 == 0 ? "-" : "";
        std::string all;
        for (int d = 0; d < digits; ++d) all += static_cast<char>('0' + next() % 10);
        const std::size_t point = next() % all.size();
        all = all.substr(0, point + 1) + "." + all.substr(point + 1);
        if (all.size() > 2 && all[0] == '0' && all[1] != '.') all[0] = '1';
        if (all.back() == '.') all += '0';
        text += all;
        if (next() % 2 == 0) text += "e" + std::to_string(static_cast<int>(next() % 51) - 25);
        reals.push_back(text);
    }
    for (const std::string& text : reals) {
        const Value shortRead = read(text);
        const Value fullRead = read(padded(text));
        ASSERT_EQ(test::kindOf(shortRead), NumberKind::Double) << text;
        ASSERT_EQ(test::kindOf(fullRead), NumberKind::Double) << padded(text);
        EXPECT_EQ(bitsOf(shortRead.doubleValue()), bitsOf(fullRead.doubleValue())) << text;
        EXPECT_EQ(bitsOf(shortRead.doubleValue()), bitsOf(std::strtod(text.c_str(), nullptr))) << text;
    }
    // Integers up to 18 digits are read directly, longer ones by the full conversion: both are 64-bit
    // integers as strtoll reads them, a negative zero is a double.
    for (const char* text : {"0", "7", "-7", "1500000", "999999999999999999", "-999999999999999999",
                             "1000000000000000000", "-1000000000000000000", "9223372036854775807"}) {
        const Value v = read(text);
        EXPECT_EQ(test::kindOf(v), NumberKind::Int64) << text;
        EXPECT_EQ(v.longLongValue(), std::strtoll(text, nullptr, 10)) << text;
    }
    EXPECT_TRUE(std::signbit(read("-0").doubleValue()));
    EXPECT_EQ(test::kindOf(read("-0")), NumberKind::Double);
}

// Short texts that repeat share one payload, found by their bytes: texts of every length up to 16
// that differ only in their last byte, by a trailing NUL, or by their length, in any order and
// repeated, read back exactly; so does a short text alone at the very end of the input.
TEST(JSONReading, ShortTextsReadBackExactly) {
    std::vector<std::string> texts;
    for (std::size_t length = 0; length <= 16; ++length) {
        const std::string same(length, 'a');
        texts.push_back(same);
        if (length > 0) texts.push_back(same.substr(0, length - 1) + "b");
        texts.push_back(same + std::string(1, '\0'));
        if (length >= 3) texts.push_back(std::string("\xE9\x9F\xA9") + same.substr(3));  // a character of 3 bytes first
    }
    std::string json = "[";
    std::vector<std::string> expected;
    auto add = [&](const std::string& text) {
        if (expected.size() > 0) json += ",";
        json += "\"";
        for (char c : text) json += c == '\0' ? std::string("\\u0000") : std::string(1, c);
        json += "\"";
        expected.push_back(text);
    };
    for (const std::string& text : texts) add(text);
    for (auto it = texts.rbegin(); it != texts.rend(); ++it) add(*it);
    for (std::size_t i = 0; i < texts.size(); i += 2) add(texts[i]);
    json += "]";
    const Value v = read(json);
    ASSERT_EQ(v.count(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(v[i].string(), expected[i]) << i;
    for (std::size_t length = 0; length <= 16; ++length) {
        const std::string text(length, 'z');
        EXPECT_EQ(read("\"" + text + "\"").string(), text) << length;
    }
}

// The texts of one reply (short ones shared, long ones in shared blocks) are handed to other threads
// while the reply itself goes: each thread reads, compares, hashes and changes its own copies, and
// every text stays exactly what was read (the sanitizer builds check the counting and the races).
TEST(JSONReading, TextsOfAReplyOutliveItOnOtherThreads) {
    constexpr int kThreads = 4;
    constexpr int kItems = 300;
    std::string json = "[";
    auto titleOf = [](int i) { return "第" + std::to_string(i) + "期：一段放在文本块里的较长标题"; };
    for (int i = 0; i < kItems; ++i) {
        if (i > 0) json += ",";
        json += R"({"cat":")" + std::string(i % 2 ? "music" : "drama") + R"(","title":")" + titleOf(i) + R"("})";
    }
    json += "]";
    Value reply = read(json);
    ASSERT_EQ(reply.count(), static_cast<std::size_t>(kItems));
    std::vector<std::vector<Value>> handed(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = t; i < kItems; i += 2) {
            handed[t].push_back(reply[i]["cat"]);
            handed[t].push_back(reply[i]["title"]);
        }
    }
    std::latch start(kThreads + 1);
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t, mine = std::move(handed[t])]() mutable {
            start.arrive_and_wait();
            for (std::size_t k = 0; k < mine.size(); k += 2) {
                const int i = t + static_cast<int>(k);
                const std::string cat = i % 2 ? "music" : "drama";
                if (mine[k].string() != cat || mine[k].hash() != Value(cat).hash()) ++mismatches[t];
                if (!(mine[k + 1] == Value(titleOf(i)))) ++mismatches[t];
                mine[k + 1].mutableString() += "!";
                if (mine[k + 1].string() != titleOf(i) + "!") ++mismatches[t];
            }
        });
    }
    start.arrive_and_wait();
    reply = Value();
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << t;
}

TEST(JSONReading, UnicodeEscapesAndRawUtf8) {
    const Value v = read(R"(["\u97e9\u5267", "韩剧", "\ud83c\udfb5", "a\/b\n\"", "\u0000"])");
    EXPECT_EQ(v[0].string(), "韩剧");
    EXPECT_EQ(v[1].string(), "韩剧");
    EXPECT_EQ(v[2].string(), "\U0001F3B5");
    EXPECT_EQ(v[3].string(), "a/b\n\"");
    EXPECT_EQ(v[4].string(), std::string(1, '\0'));
    EXPECT_EQ(read("\xEF\xBB\xBF[1]", 0)[0].intValue(), 1);  // a byte-order mark is skipped
}

TEST(JSONReading, DuplicateKeysKeepTheLast) { EXPECT_EQ(read(R"({"a":1,"a":2})")["a"].intValue(), 2); }

// Containers at one depth come in any sizes after one another (larger, smaller, empty, an array after
// an object), keys in any order with repeats, and a key whose value is itself a container.
TEST(JSONReading, SiblingContainersOfAnySizeReadExactly) {
    const Value empty = Value(Dictionary());
    const struct {
        const char* text;
        Value expected;
    } cases[] = {
        {R"([{"b":1,"a":2},{"c":3,"b":4,"a":5,"d":6},{"z":7},{},{"a":8,"b":9}])",
         Value::array({Value::dictionary({{"a", 2}, {"b", 1}}),
                       Value::dictionary({{"a", 5}, {"b", 4}, {"c", 3}, {"d", 6}}), Value::dictionary({{"z", 7}}),
                       empty, Value::dictionary({{"a", 8}, {"b", 9}})})},
        {R"([[1,2,3,4,5],[6],[],[7,8],{"k":[9,10,11]},[12]])",
         Value::array({Value::array({1, 2, 3, 4, 5}), Value::array({6}), Value::array({}), Value::array({7, 8}),
                       Value::dictionary({{"k", Value::array({9, 10, 11})}}), Value::array({12})})},
        {R"({"outer\"key":{"inner":{"x":1,"x":2},"list":[{"y":"text"},{"y":null}]},"after":true,"after":false})",
         Value::dictionary({{"after", false},
                            {"outer\"key", Value::dictionary({{"inner", Value::dictionary({{"x", 2}})},
                                                               {"list", Value::array({Value::dictionary({{"y", "text"}}),
                                                                                      Value::dictionary({{"y", Value::null()}})})}})}})},
        // Objects alike follow one another (as a list's items do), then the same keys in another order,
        // repeated keys, other keys as many.
        {R"([{"b":1,"a":2},{"b":3,"a":4},{"a":5,"b":6},{"b":7,"a":8,"b":9},{"b":10,"a":11,"b":12},{"c":13,"b":14,"a":15},{"b":16,"c":17,"a":18}])",
         Value::array({Value::dictionary({{"a", 2}, {"b", 1}}), Value::dictionary({{"a", 4}, {"b", 3}}),
                       Value::dictionary({{"a", 5}, {"b", 6}}), Value::dictionary({{"a", 8}, {"b", 9}}),
                       Value::dictionary({{"a", 11}, {"b", 12}}), Value::dictionary({{"a", 15}, {"b", 14}, {"c", 13}}),
                       Value::dictionary({{"a", 18}, {"b", 16}, {"c", 17}})})},
        // Objects that start as the one before did and then differ, or stop short, with a container
        // among the members made so far.
        {R"([{"b":1,"a":{"x":[1]}},{"b":2,"a":{"y":3,"x":4}},{"b":5},{"b":6,"c":7,"a":8},{"b":9,"a":10}])",
         Value::array({Value::dictionary({{"a", Value::dictionary({{"x", Value::array({1})}})}, {"b", 1}}),
                       Value::dictionary({{"a", Value::dictionary({{"x", 4}, {"y", 3}})}, {"b", 2}}),
                       Value::dictionary({{"b", 5}}), Value::dictionary({{"a", 8}, {"b", 6}, {"c", 7}}),
                       Value::dictionary({{"a", 10}, {"b", 9}})})},
        {R"([{"\u00e9":1,"e":2,"":3,"\u00e9":4}])",
         Value::array({Value::dictionary({{"", 3}, {"e", 2}, {"\u00e9", 4}})})},
    };
    for (const auto& c : cases) {
        const Value v = read(c.text);
        EXPECT_EQ(v, c.expected) << c.text;
        EXPECT_EQ(write(v), write(c.expected)) << c.text;  // same key order
    }
}

// Objects alike in a peer's key order: from the second on, each member is made at its place in key
// order. Every kind of value a reply holds reads there as it reads from the same objects in sorted
// order, which are gathered as they come.
TEST(JSONReading, MembersMadeAtTheirPlacesHoldEveryKindOfValue) {
    std::string peer = "[";
    std::string sorted = "[";
    for (int i = 0; i < 3; ++i) {
        const char* flag = i % 2 ? "true" : "false";
        peer += format(R"(%s{"t":"t%d","s":"tag","l":"a text longer than fifteen bytes %d","n":null,"f":%s,"d":%d.5,)"
                       R"("u":18446744073709551615,"m":123456789012345678901234567890,"o":{"k":%d},"a":[%d]})",
                       i ? "," : "", i, i, flag, i, i, i);
        sorted += format(R"(%s{"a":[%d],"d":%d.5,"f":%s,"l":"a text longer than fifteen bytes %d","m":123456789012345678901234567890,)"
                         R"("n":null,"o":{"k":%d},"s":"tag","t":"t%d","u":18446744073709551615})",
                         i ? "," : "", i, i, flag, i, i, i);
    }
    const Value fromPeer = read(peer + "]");
    const Value fromSorted = read(sorted + "]");
    ASSERT_EQ(fromPeer.count(), 3u);
    EXPECT_EQ(fromPeer, fromSorted);
    EXPECT_EQ(write(fromPeer), write(fromSorted));
    EXPECT_EQ(fromPeer[2]["l"].string(), "a text longer than fifteen bytes 2");
    EXPECT_EQ(fromPeer[2]["o"]["k"].intValue(), 2);
    EXPECT_TRUE(fromPeer[2]["n"].isNull());
}

// Hostile shapes: one object of 100,000 keys out of order, then a million empty objects at the same
// depth, then the large one again. Each is read as written, in time linear in the input: were room made
// for the large object's members at every empty one, this input would take minutes (past the test's
// time-out).
TEST(JSONReading, ManySmallObjectsAfterALargeOneReadInLinearTime) {
    constexpr int kKeys = 100'000;
    constexpr int kEmpty = 1'000'000;
    std::string large = "{";
    for (int i = 0; i < kKeys; ++i) large += format("%s\"k%06d\":%d", i ? "," : "", (i * 7919) % kKeys, i);
    large += "}";
    std::string text = "[" + large;
    for (int i = 0; i < kEmpty; ++i) text += ",{}";
    text += "," + large + "]";
    const Value v = read(text);
    ASSERT_EQ(v.count(), static_cast<std::size_t>(kEmpty + 2));
    for (const std::size_t at : {std::size_t{0}, static_cast<std::size_t>(kEmpty + 1)}) {
        const Dictionary& object = v[at].dictionary();
        ASSERT_EQ(object.size(), static_cast<std::size_t>(kKeys));
        EXPECT_EQ(object.begin()->first, "k000000");
        EXPECT_EQ(object.get("k007919").intValue(), 1);
    }
    EXPECT_EQ(v[kEmpty / 2].count(), 0u);
}

TEST(JSONReading, RepeatedTextsAreIndependentValues) {
    const Value v = read(R"(["tag",{"k":"tag"},"tag","a longer text that repeats","a longer text that repeats"])");
    Value first = v[0];
    first.mutableString() += "!";
    Value nested = v[1]["k"];
    nested.mutableString().clear();
    EXPECT_EQ(first.string(), "tag!");
    const char* longer = "a longer text that repeats";
    EXPECT_EQ(v, Value::array({"tag", Value::dictionary({{"k", "tag"}}), "tag", longer, longer}));
}

// Texts of every length read from many items (which fill several of the reader's text blocks), with
// NUL bytes and non-ASCII characters, one longer than a block's room, read back exactly after the input
// is gone, and a change to one leaves the rest alone.
TEST(JSONReading, TextsOfEveryLengthOutliveTheInput) {
    const std::vector<std::string> texts = {"",
                                            "x",
                                            "fifteen bytes!!",
                                            "sixteen bytes!!!",
                                            std::string("nul \\u0000 inside a text long enough to be kept apart"),
                                            "防弹少年团新专辑首周销量突破百万张",
                                            "emoji \\ud83c\\udfa4 after an escape, long enough",
                                            std::string(40'000, 'w')};
    const std::vector<std::string> decoded = {"",
                                              "x",
                                              "fifteen bytes!!",
                                              "sixteen bytes!!!",
                                              std::string("nul ") + '\0' + " inside a text long enough to be kept apart",
                                              "防弹少年团新专辑首周销量突破百万张",
                                              "emoji \xF0\x9F\x8E\xA4 after an escape, long enough",
                                              std::string(40'000, 'w')};
    constexpr int kItems = 3000;
    Value v;
    {
        auto input = std::make_unique<std::string>("[");
        for (int i = 0; i < kItems; ++i) {
            const std::string& text = i == kItems / 2 ? texts.back() : texts[static_cast<std::size_t>(i) % (texts.size() - 1)];
            *input += (i ? ",{\"n\":" : "{\"n\":") + std::to_string(i) + ",\"t\":\"" + text + "\",\"u\":\"item " +
                      std::to_string(i) + " of a long list\"}";
        }
        *input += "]";
        v = read(*input);
        std::fill(input->begin(), input->end(), ' ');
    }
    ASSERT_EQ(v.count(), static_cast<std::size_t>(kItems));
    Value changed = v[7]["u"];
    changed.mutableString() += " (changed)";
    for (int i = 0; i < kItems; ++i) {
        const std::string& text = i == kItems / 2 ? decoded.back() : decoded[static_cast<std::size_t>(i) % (decoded.size() - 1)];
        ASSERT_EQ(v[i]["t"].string(), text) << i;
        ASSERT_EQ(v[i]["t"], Value(text)) << i;
        ASSERT_EQ(v[i]["u"].string(), "item " + std::to_string(i) + " of a long list") << i;
        ASSERT_EQ(v[i]["n"].intValue(), i);
    }
    EXPECT_EQ(changed.string(), "item 7 of a long list (changed)");
    EXPECT_EQ(v[4]["t"].string().size(), decoded[4].size());
    EXPECT_EQ(v[5]["t"].count(), 17u);  // UTF-16 units
    EXPECT_EQ(v[6]["t"].count(), std::string("emoji xx after an escape, long enough").size());
}

TEST(JSONReading, FragmentsNeedTheOption) {
    Ref<Error> error;
    EXPECT_TRUE(JSONSerialization::JSONObjectWithData("\"text\"", 0, &error).isNil());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->userInfo().get(kDebugDescriptionErrorKey).string(),
              "JSON text did not start with array or object and option to allow fragments not set.");
    EXPECT_EQ(read("\"text\"", kJSONReadingAllowFragments).string(), "text");
    // A text too long to be shared by value, read alone, as an item and as a member: each a value of
    // its own that a change to a copy leaves alone.
    const std::string longText = "a text longer than fifteen bytes";
    Value alone = read("\"" + longText + "\"", kJSONReadingAllowFragments);
    const std::string otherText = "another text longer than fifteen bytes";
    Value nested = read("[\"" + longText + "\",{\"k\":\"" + otherText + "\"}]");
    Value copy = alone;
    copy.mutableString() += "!";
    EXPECT_EQ(alone.string(), longText);
    EXPECT_EQ(nested[0].string(), longText);
    EXPECT_EQ(nested[1]["k"].string(), otherText);
    EXPECT_TRUE(read(" null ", kJSONReadingAllowFragments).isNull());
    EXPECT_EQ(read("{\"a\":1}", kJSONReadingMutableContainers)["a"].intValue(), 1);
}

struct BadInput {
    std::string text;
    std::string description;
};

class JSONBadInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(JSONBadInput, GivesTheCocoaError3840) {
    Ref<Error> error;
    const Value v = JSONSerialization::JSONObjectWithData(GetParam().text, kJSONReadingAllowFragments, &error);
    EXPECT_TRUE(v.isNil());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(error->code(), 3840);
    EXPECT_EQ(error->userInfo().get(kDebugDescriptionErrorKey).string(), GetParam().description);
}

const std::string kBadEscapeAt = "Unable to convert hex escape sequence to a character around character ";

INSTANTIATE_TEST_SUITE_P(
    Cases, JSONBadInput,
    ::testing::Values(BadInput{"", "No value."}, BadInput{"   ", "No value."},
                      BadInput{"{\"a\":1", "Unexpected end of file during JSON parse."},
                      BadInput{"[1,2", "Unexpected end of file during JSON parse."},
                      BadInput{"[1] x", "Garbage at end around character 4."},
                      BadInput{"{\"a\" 1}", "No ':' after key around character 5."},
                      BadInput{"[tru]", "Invalid value around character 4."},
                      BadInput{"[\"\xff\"]", "Unable to convert data to a string around character 2. The data may be corrupt."},
                      BadInput{"[\"a\\x\"]", "Invalid escape sequence around character 3."},
                      BadInput{"[01]", "Badly formed array around character 2."},
                      BadInput{"{1:2}", "No string key for value in object around character 1."},
                      BadInput{"[NaN]", "Invalid value around character 1."},
                      // Escapes of surrogates that do not pair up.
                      BadInput{R"(["\udc00"])", kBadEscapeAt + "9."},
                      BadInput{R"({"a\udfffb":1})", kBadEscapeAt + "11."},
                      BadInput{R"(["\udc00\ud800"])", kBadEscapeAt + "8."},
                      BadInput{R"(["\ud800"])", kBadEscapeAt + "2."},
                      BadInput{R"(["\ud800\u0041"])", kBadEscapeAt + "2."},
                      // Only white space may follow the value, NUL bytes included.
                      BadInput{std::string("[1]\0{{{", 7), "Garbage at end around character 3."},
                      BadInput{std::string("[1] \0", 5), "Garbage at end around character 4."},
                      BadInput{std::string("7\0", 2), "Garbage at end around character 1."}));

// A lone surrogate escape is refused wherever it stands in a long text (the search for escapes goes a
// block of bytes at a time), while an escaped backslash before a 'u' is a plain backslash and 'u'.
TEST(JSONReading, LoneSurrogateEscapesAreFoundAtEveryOffset) {
    for (std::size_t at = 0; at < 200; ++at) {
        const std::string prefix = "\\/" + std::string(at, 'x');
        const std::string suffix(at % 70, 'y');
        Ref<Error> error;
        EXPECT_TRUE(JSONSerialization::JSONObjectWithData("[\"" + prefix + "\\udc00" + suffix + "\"]", 0, &error).isNil()) << at;
        EXPECT_TRUE(error && error->code() == 3840) << at;
        const Value plain = read("[\"" + prefix + "\\\\u0041" + suffix + "\"]");
        EXPECT_EQ(plain[0].string(), "/" + std::string(at, 'x') + "\\u0041" + suffix) << at;
    }
}

// A bad UTF-8 sequence is refused at its first byte wherever it stands (a key or a value, at every
// offset around the eight-byte steps of the whole-input check, after well-formed multi-byte texts or
// not); control characters and NUL bytes are refused as before; well-formed texts read back exactly.
TEST(JSONReading, TextsAreCheckedAsUTF8WhereverABadSequenceStands) {
    enum class Kind { Bad, Control, Nul, Good };
    struct Insert {
        std::string bytes;
        Kind kind;
        std::size_t refusedAt = 0;  // the offset of the first bad byte in the insert
    };
    const std::vector<Insert> inserts{
        {"\xff", Kind::Bad}, {"\xc0\x80", Kind::Bad}, {"\xed\xa0\x80", Kind::Bad}, {"\xf4\x90\x80\x80", Kind::Bad},
        {"\xe4\xb8", Kind::Bad}, {"\x80", Kind::Bad}, {"\xe4\xb8\xad\xe4", Kind::Bad, 3},
        {"\x01", Kind::Control}, {"\x19", Kind::Control}, {"\x1a", Kind::Control}, {"\x1f", Kind::Control}, {std::string("\0", 1), Kind::Nul},
        {"\xe4\xb8\xad", Kind::Good}, {"\xf0\x9f\x98\x80", Kind::Good}, {"\x7f", Kind::Good}, {"\xc3\xa9", Kind::Good},
    };
    for (const std::string prefix : {"", "\"\xe9\x9f\xa9\xe5\x89\xa7\",\"\xc3\xa9\","}) {
        for (const Insert& insert : inserts) {
            for (const std::size_t at : {0u, 1u, 6u, 7u, 8u, 9u, 15u, 16u, 17u, 40u}) {
                const std::string before(at, 'a');
                const std::string text = before + insert.bytes + std::string(at % 3 ? 23 : 4, 'b');
                for (const bool inKey : {false, true}) {
                    SCOPED_TRACE(testing::Message() << "insert " << &insert - inserts.data() << " at " << at << (inKey ? " in a key" : "")
                                                    << (prefix.empty() ? "" : " after multi-byte texts"));
                    const std::string head = inKey ? "{\"k\":[" + prefix + "1],\"" : "{\"k\":[" + prefix + "\"";
                    const std::string doc = head + text + (inKey ? "\":2}" : "\"]}");
                    const std::string where = std::to_string(head.size() + at + insert.refusedAt) + ".";
                    Ref<Error> error;
                    const Value value = JSONSerialization::JSONObjectWithData(doc, 0, &error);
                    if (insert.kind == Kind::Good) {
                        ASSERT_FALSE(error) << error->description();
                        if (inKey) {
                            EXPECT_EQ(value[text], Value(2));
                        } else {
                            EXPECT_EQ(value["k"][value["k"].count() - 1].string(), text);
                        }
                        continue;
                    }
                    ASSERT_TRUE(error);
                    EXPECT_TRUE(value.isNil());
                    const std::string expected =
                        insert.kind == Kind::Bad       ? "Unable to convert data to a string around character " + where + " The data may be corrupt."
                        : insert.kind == Kind::Control ? "Invalid escape sequence around character " + where
                                                       : "Unterminated string around character " + where;
                    EXPECT_EQ(error->userInfo().get(kDebugDescriptionErrorKey).string(), expected);
                }
            }
        }
    }
}

// Large input is copied and checked a piece at a time: sequences, escapes and control characters that
// straddle the ends of the pieces (every 8 KiB or a little before) read and are refused exactly as
// elsewhere.
TEST(JSONReading, LargeInputReadsAlikeAcrossItsPieces) {
    struct Insert {
        std::string bytes;
        std::string reads;  // the text read, or empty when refused with `refusal`
        std::string refusal;
    };
    const std::vector<Insert> inserts{
        {"\xe4\xb8\xad", "\xe4\xb8\xad", ""},
        {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80", ""},
        {"\\u00e9", "\xc3\xa9", ""},
        {"\\/", "/", ""},
        {"\\ud83d\\ude00", "\xf0\x9f\x98\x80", ""},
        {"\xe4\xb8", "", "Unable to convert data to a string around character %zu. The data may be corrupt."},
        {"\x80", "", "Unable to convert data to a string around character %zu. The data may be corrupt."},
        {"\x1a", "", "Invalid escape sequence around character %zu."},
        {"\\udc00", "", "Unable to convert hex escape sequence to a character around character"},
    };
    for (const std::size_t boundary : {8192u, 16384u}) {
        for (std::size_t at = boundary - 6; at <= boundary + 4; ++at) {
            for (const Insert& insert : inserts) {
                SCOPED_TRACE(testing::Message() << testing::PrintToString(insert.bytes) << " at " << at);
                const std::string before(at - 2, 'a');
                const std::string doc = "[\"" + before + insert.bytes + "bbbb\",\"\xe9\x9f\xa9\"]";
                Ref<Error> error;
                const Value value = JSONSerialization::JSONObjectWithData(doc, 0, &error);
                if (insert.refusal.empty()) {
                    ASSERT_FALSE(error) << error->description();
                    EXPECT_EQ(value[0].string(), before + insert.reads + "bbbb");
                    EXPECT_EQ(value[1].string(), "\xe9\x9f\xa9");
                    continue;
                }
                ASSERT_TRUE(error);
                EXPECT_TRUE(value.isNil());
                const std::string text = error->userInfo().get(kDebugDescriptionErrorKey).string();
                if (insert.refusal.find("%zu") == std::string::npos) {
                    EXPECT_EQ(text.rfind(insert.refusal, 0), 0u) << text;
                } else {
                    std::string expected = insert.refusal;
                    expected.replace(expected.find("%zu"), 3, std::to_string(at));
                    EXPECT_EQ(text, expected);
                }
            }
        }
    }
}

TEST(JSONReading, TruncationsOfAValidDocumentAreRejected) {
    // Escapes included: a cut right after a backslash leaves a text that ends in one.
    const std::string doc = R"({"mItems":[{"title":"韩剧","n":[1,2.5,true,null]}],"k":"v\n\u00e9"})";
    for (std::size_t cut = 0; cut < doc.size(); ++cut) {
        Ref<Error> error;
        EXPECT_TRUE(JSONSerialization::JSONObjectWithData(doc.substr(0, cut), kJSONReadingAllowFragments, &error).isNil())
            << cut;
        EXPECT_TRUE(error) << cut;
    }
}

TEST(JSONReading, NestingDeeperThanTheLimitIsRefused) {
    Ref<Error> error;
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_TRUE(JSONSerialization::JSONObjectWithData(deep, 0, &error).isNil());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 3840);
    EXPECT_TRUE(read(std::string(500, '[') + std::string(500, ']')).isArray());
}

TEST(JSONReading, TheDeepestNestingAcceptedParsesOnASmallStack) {
    // The parse recurses once per level it accepts and no further: the deepest nesting accepted, of
    // arrays and of objects, fits a thread stack of 512 KB (with room to spare but for the sanitizers'
    // larger frames), and far deeper input is refused there too.
    const std::string arrays = std::string(512, '[') + std::string(512, ']');
    std::string objects;
    for (int i = 0; i < 511; ++i) objects += "{\"k\":";
    objects += "{}" + std::string(511, '}');
    const std::string tooDeep = std::string(100000, '[') + std::string(100000, ']');
    bool parsed = false;
    bool refused = false;
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 512 * 1024), 0);
    struct Work {
        const std::string *arrays, *objects, *tooDeep;
        bool *parsed, *refused;
    } work{&arrays, &objects, &tooDeep, &parsed, &refused};
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attributes,
                  [](void* argument) -> void* {
                      auto& w = *static_cast<Work*>(argument);
                      *w.parsed = JSONSerialization::JSONObjectWithData(*w.arrays, 0, nullptr).isArray() &&
                                  JSONSerialization::JSONObjectWithData(*w.objects, 0, nullptr).isDictionary();
                      Ref<Error> error;
                      *w.refused = JSONSerialization::JSONObjectWithData(*w.tooDeep, 0, &error).isNil() && error;
                      return nullptr;
                  },
                  &work),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    EXPECT_TRUE(parsed);
    EXPECT_TRUE(refused);
}

Value nestedArrays(int levels) {
    Value v = Value(Array{});
    for (int i = 1; i < levels; ++i) v = Value::array({std::move(v)});
    return v;
}

TEST(JSONWriting, NestingDeeperThanTheReaderAcceptsIsRefused) {
    const Value deepest = nestedArrays(512);
    EXPECT_EQ(read(write(deepest)), deepest);
    for (const Value& tooDeep :
         {nestedArrays(513), Value::dictionary({{"k", nestedArrays(512)}}), nestedArrays(40000)}) {
        Ref<Error> error;
        EXPECT_FALSE(JSONSerialization::dataWithJSONObject(tooDeep, kJSONWritingPrettyPrinted, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), 3852);
        EXPECT_EQ(error->userInfo().get(kDebugDescriptionErrorKey).string(),
                  "Too many nested arrays or dictionaries in JSON write");
        EXPECT_FALSE(JSONSerialization::isValidJSONObject(tooDeep));
    }
}

TEST(JSONWriting, CompactAndDeterministic) {
    Dictionary d;
    d.set("b", Value::array({1, 2.5, true, Value::null(), "x"}));
    d.set("a", Value::dictionary({{"z", 0}, {"y", -1}}));
    EXPECT_EQ(write(Value(d)), R"({"a":{"y":-1,"z":0},"b":[1,2.5,true,null,"x"]})");
    Dictionary reversed;
    reversed.set("a", Value::dictionary({{"y", -1}, {"z", 0}}));
    reversed.set("b", Value::array({1, 2.5, true, Value::null(), "x"}));
    EXPECT_EQ(write(Value(reversed)), write(Value(d)));
}

TEST(JSONWriting, PrettyPrintedLayout) {
    const Value v = Value::dictionary({{"a", 1}, {"b", Value::array({"x", Value(Array{})})}, {"c", Value(Dictionary{})}});
    EXPECT_EQ(write(v, kJSONWritingPrettyPrinted),
              "{\n  \"a\" : 1,\n  \"b\" : [\n    \"x\",\n    [\n\n    ]\n  ],\n  \"c\" : {\n\n  }\n}");
}

TEST(JSONWriting, NumbersAndStringsAsThePlatformWritesThem) {
    EXPECT_EQ(write(Value::array({0.1, 1.0, -0.5, 1e21, 1e-7, 0.1f, 18446744073709551615ull, INT64_MIN})),
              "[0.1,1,-0.5,1e+21,1e-07,0.1,18446744073709551615,-9223372036854775808]");
    EXPECT_EQ(write(Value::array({Value(*Decimal::parse("199.90"))})), "[199.9]");
    EXPECT_EQ(write(Value::array({"http://a.b/c?d=\"e\"\\", "韩\t\x01"})),
              R"(["http:\/\/a.b\/c?d=\"e\"\\","韩\t\u0001"])");
}

TEST(JSONWriting, ValuesJSONCannotHoldAreErrors) {
    for (const Value& bad : {Value::array({Value(Date::now())}), Value::array({Value::data("x")}),
                             Value::array({std::nan("")}), Value::array({INFINITY}), Value("top"), Value(1)}) {
        Ref<Error> error;
        EXPECT_FALSE(JSONSerialization::dataWithJSONObject(bad, 0, &error)) << bad.description();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
        EXPECT_FALSE(JSONSerialization::isValidJSONObject(bad));
    }
    EXPECT_EQ(write(Value("top"), kJSONWritingFragmentsAllowed), "\"top\"");
    EXPECT_TRUE(JSONSerialization::isValidJSONObject(Value::dictionary({{"a", Value::null()}})));
}

TEST(JSONRoundTrip, NestedUnicodeAndNumbersComeBackEqual) {
    const Value original = Value::dictionary(
        {{"mItems", Value::array({Value::dictionary({{"title", "防弹少年团 \U0001F3B5 \"新\" / 歌"},
                                                     {"views", INT64_MAX},
                                                     {"score", 4.35},
                                                     {"tiny", 5e-324},
                                                     {"tags", Value::array({"kpop", Value::null(), false})}})})},
         {"next", Value::null()}});
    for (JSONWritingOptions options : {JSONWritingOptions{0}, kJSONWritingPrettyPrinted}) {
        Ref<Error> error;
        auto bytes = JSONSerialization::dataWithJSONObject(original, options, &error);
        ASSERT_TRUE(bytes);
        const Value back = JSONSerialization::JSONObjectWithData(*bytes, 0, &error);
        EXPECT_EQ(back, original);
        EXPECT_EQ(test::kindOf(back["mItems"][0]["views"]), NumberKind::Int64);
        EXPECT_EQ(test::kindOf(back["mItems"][0]["score"]), NumberKind::Double);
    }
}

}  // namespace
}  // namespace lv
