#include <gtest/gtest.h>

#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/base/detail/dictionary_orderer.h"
#include "platform/base/value.h"

namespace lv {
namespace {

TEST(ValueEquality, NilAndNullAreDistinct) {
    Value nil;
    Value null = Value::null();
    EXPECT_TRUE(nil.isNil());
    EXPECT_FALSE(nil.isNull());
    EXPECT_TRUE(null.isNull());
    EXPECT_TRUE(null.isNilOrNull());
    EXPECT_NE(nil, null);
    EXPECT_EQ(null, Value::null());
    EXPECT_NE(null, Value(0));
    EXPECT_NE(null, Value(""));
    EXPECT_NE(nil, Value(false));
}

// Texts are equal by their bytes: copies sharing one payload, separate texts of the same bytes (kept
// inline, on the heap, or in a text block), and never a text changed after the copy.
TEST(ValueEquality, TextsCompareByTheirBytesWhereverTheyAreKept) {
    const std::string longText(40, 'x');
    TextBlock block(4, 256);
    const Value inBlock = block.make(longText);
    const Value shortInBlock = block.make("short");
    const Value heap(longText);
    Value changed = heap;
    changed.mutableString() += "y";
    struct Case {
        Value a, b;
        bool equal;
    } cases[] = {
        {heap, heap, true},                            // one payload
        {inBlock, Value(inBlock), true},               // a copy of a block's text
        {inBlock, heap, true},                         // the same bytes kept apart
        {shortInBlock, Value("short"), true},
        {Value(""), Value(std::string()), true},
        {changed, heap, false},                        // changed after the copy
        {inBlock, Value(longText + "y"), false},
        {shortInBlock, Value("shorT"), false},
        {Value(""), Value(std::string(1, '\0')), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a.isEqual(c.b), c.equal) << c.a.description() << " vs " << c.b.description();
        EXPECT_EQ(c.b.isEqual(c.a), c.equal) << c.b.description() << " vs " << c.a.description();
    }
}

TEST(ValueEquality, NumbersCompareByValueAcrossKinds) {
    struct Case {
        Value a, b;
        bool equal;
    } cases[] = {
        {Value(1), Value(1.0), true},
        {Value(true), Value(1), true},
        {Value(static_cast<std::uint64_t>(std::numeric_limits<std::uint64_t>::max())), Value(-1), false},
        {Value(static_cast<std::int8_t>(-1)), Value(static_cast<std::int64_t>(-1)), true},
        {Value(0.5f), Value(0.5), true},
        {Value(Decimal::fromString("2")), Value(2), true},
        {Value(Decimal::fromString("0.1")), Value(0.1), true},
        {Value(Decimal::fromString("199.90")), Value(Decimal::fromString("199.9")), true},
        {Value(Decimal::fromString("199.91")), Value(199.9), false},
        {Value(1), Value("1"), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a.isEqual(c.b), c.equal) << c.a.description() << " vs " << c.b.description();
        EXPECT_EQ(c.b.isEqual(c.a), c.equal) << c.b.description() << " vs " << c.a.description();
        if (c.equal) {
            EXPECT_EQ(c.a.hash(), c.b.hash()) << c.a.description();
        }
    }
}

TEST(ValueEquality, CollectionsCompareDeeplyAndHashAsKeys) {
    Value a = Value::dictionary({{"list", Value::array({1, "two", Value::null()})}, {"n", 3}});
    Value b = Value::dictionary({{"n", 3.0}, {"list", Value::array({1, "two", Value::null()})}});
    EXPECT_EQ(a, b);
    b.mutableDictionary().set("n", 4);
    EXPECT_NE(a, b);
    std::unordered_set<Value> set{Value("x"), Value(1), Value(1.0), Value(Decimal::fromInteger(1))};
    EXPECT_EQ(set.size(), 2u);
}

TEST(ValueStorage, CopiesDetachOnWrite) {
    Value original = Value::array({1, 2});
    Value copy = original;
    copy.mutableArray().push_back(3);
    EXPECT_EQ(original.count(), 2u);
    EXPECT_EQ(copy.count(), 3u);
    Value text("abc");
    Value other = text;
    other.mutableString() += "d";
    EXPECT_EQ(text.string(), "abc");
    EXPECT_EQ(other.string(), "abcd");
}

// Texts made in one allocation (as a fetched row's are) are still separate values: a change to one,
// while the allocation is shared, copies it out and leaves the others alone; the last one left may be
// changed in place, and each lives as long as any of them does.
TEST(ValueStorage, TextsSharingOneAllocationChangeApart) {
    Value first;
    Value second;
    {
        TextBlock block(2);
        first = block.make("first");
        EXPECT_FALSE(block.full());
        second = block.make("second");
        EXPECT_TRUE(block.full());
    }
    first.mutableString() += "!";
    EXPECT_EQ(first.string(), "first!");
    EXPECT_EQ(second.string(), "second");
    Value copy = second;
    copy.mutableString() = "changed";
    EXPECT_EQ(second.string(), "second");
    const std::string* before = &second.string();
    second.mutableString() += "?";
    EXPECT_EQ(second.string(), "second?");
    EXPECT_EQ(&second.string(), before);  // alone in its allocation now: changed in place
    EXPECT_EQ(TextBlock(1).make("").string(), "");
}

TEST(ValueStorage, ConcurrentCopiesWithPrivateWritesDoNotInterfere) {
    const Value shared = Value::dictionary({{"k", Value::array({1, 2, 3})}});
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&shared, t] {
            for (int i = 0; i < 200; ++i) {
                Value mine = shared;
                mine.mutableDictionary().set("t", t);
                ASSERT_EQ(mine["t"].intValue(), t);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(shared.count(), 1u);
}

TEST(ValueStorage, DeeplyNestedValuesBuiltInCodeAreReleasedWithoutRecursion) {
    // Deeper than any stack holds frames for: destroying such a value must not recurse per level.
    constexpr int kLevels = 300000;
    Value arrays = Value(Array{});
    Value dictionaries = Value(Dictionary{});
    for (int i = 0; i < kLevels; ++i) {
        arrays = Value::array({std::move(arrays), 1});
        dictionaries = Value::dictionary({{"k", std::move(dictionaries)}, {"a", Value::array({i})}});
    }
    // A shared inner part outlives the outer levels.
    Value inner = arrays;
    for (int i = 0; i < 10; ++i) arrays = Value::array({arrays});
    arrays = Value();
    EXPECT_EQ(inner[1].intValue(), 1);
    inner = Value();
    dictionaries = Value();
    EXPECT_TRUE(dictionaries.isNil());
}

TEST(Dictionary, KeepsKeyOrderAndLastDuplicateWins) {
    Dictionary d;
    d.appendUnsorted("b", 1);
    d.appendUnsorted("a", 2);
    d.appendUnsorted("b", 3);
    d.finishAppending();
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(d.get("b").intValue(), 3);
    d.set("a", Value());
    EXPECT_FALSE(d.contains("a"));
    EXPECT_TRUE(d.get("missing").isNil());
    const Dictionary bulk = DictionaryOrderer().make({{"b", 1}, {"c", Value()}, {"a", 2}, {"b", 3}});
    EXPECT_EQ(bulk.keys(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(bulk.get("b").intValue(), 3);
}

TEST(Dictionary, BulkBuiltKeysOrderBytewiseAsAMapDoes) {
    // Keys appended in these orders read back as a map keeping the last of equal keys orders them:
    // bytes above 0x7F after ASCII, prefixes, keys alike in their first eight bytes, repeats.
    const std::vector<std::vector<std::string>> orders = {
        {"a", "b", "c"}, {"\xC3\xA9", "z"}, {"z", "\xC3\xA9"}, {"abc", "ab"}, {"ab", "abc"},
        {"abcdefgh2", "abcdefgh1"}, {"abcdefgh", "abcdefgh1"}, {"abcdefgh1", "abcdefgh"},
        {"k", "k"}, {"abcdefghij", "abcdefghij"}, {"a", "b", "b", "c"}, {"", "a"}, {"a", ""}};
    for (const auto& keys : orders) {
        Dictionary d;
        std::map<std::string, int> expected;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            d.appendUnsorted(keys[i], static_cast<int>(i));
            expected[keys[i]] = static_cast<int>(i);
        }
        d.finishAppending();
        std::vector<std::pair<std::string, int>> read;
        for (const auto& [key, value] : d) read.emplace_back(key, value.intValue());
        const std::vector<std::pair<std::string, int>> want(expected.begin(), expected.end());
        EXPECT_EQ(read, want) << keys[0];
    }
}

// Entries in these orders, one list after another, come out as a map keeping the last of equal keys
// makes them (nil values dropped first), through bulk building and through one orderer: the same keys
// in the same order (the orderer's remembered order), in another order, other keys as many, repeats,
// nils, keys in order, none, and more keys than the sort's room on the stack. Every dictionary is read
// at the end, after the orderer has reused its buffers for the later ones.
TEST(Dictionary, EntriesInAnyOrderReadAsAMapKeepingTheLast) {
    constexpr int kNil = -1;
    using List = std::vector<std::pair<std::string, int>>;
    List many;
    for (int i = 0; i < 150; ++i) many.emplace_back("key" + std::to_string((i * 37) % 101), i);
    const std::vector<List> lists = {
        {{"b", 1}, {"a", 2}, {"c", 3}},  {{"b", 4}, {"a", 5}, {"c", 6}},  {{"c", 7}, {"a", 8}, {"b", 9}},
        {{"b", 10}, {"a", 11}, {"d", 12}}, {{"b", 13}, {"a", 14}, {"b", 15}}, {{"b", 16}, {"a", 17}, {"b", 18}},
        {{"b", 19}, {"a", 20}, {"b", kNil}}, {{"b", kNil}, {"a", 21}, {"b", 22}}, {{"a", 23}, {"b", 24}},
        {},  many, many, {{"b", 25}, {"a", 26}, {"c", 27}},
    };
    DictionaryOrderer orderer;
    std::vector<Dictionary> bulk, ordered;
    std::vector<std::map<std::string, int>> expected;
    for (const List& list : lists) {
        std::vector<Dictionary::Entry> entries;
        std::map<std::string, int> map;
        for (const auto& [key, n] : list) {
            entries.emplace_back(key, n == kNil ? Value() : Value(n));
            if (n != kNil) map[key] = n;
        }
        Dictionary appended;
        for (const auto& [key, value] : entries) appended.appendUnsorted(key, value);
        appended.finishAppending();
        bulk.push_back(std::move(appended));
        ordered.push_back(orderer.make(std::move(entries)));
        expected.push_back(std::move(map));
    }
    for (std::size_t k = 0; k < lists.size(); ++k) {
        for (const auto* made : {&bulk[k], &ordered[k]}) {
            std::vector<std::pair<std::string, int>> read;
            for (const auto& [key, value] : *made) read.emplace_back(key, value.intValue());
            EXPECT_EQ(read, List(expected[k].begin(), expected[k].end())) << "list " << k;
        }
    }
}

TEST(ValueAccess, LookupsOnTheWrongTypeGiveNil) {
    Value list = Value::array({"x"});
    EXPECT_TRUE(list["key"].isNil());
    EXPECT_TRUE(list[5].isNil());
    EXPECT_EQ(list[0].string(), "x");
    Value number(3);
    EXPECT_TRUE(number[0].isNil());
    EXPECT_EQ(number.string(), "");
}

TEST(ValueAccess, CountOfTextIsInUtf16Units) {
    EXPECT_EQ(Value("abc").count(), 3u);
    EXPECT_EQ(Value("上次更新").count(), 4u);
    EXPECT_EQ(Value("a\xF0\x9F\x98\x80").count(), 3u);  // one character outside the BMP counts 2
}

TEST(Unicode, Utf16IndexToByteOffset) {
    const std::string text = "a中\xF0\x9F\x98\x80z";
    EXPECT_EQ(utf8OffsetOfUtf16Index(text, 0), 0u);
    EXPECT_EQ(utf8OffsetOfUtf16Index(text, 2), 4u);
    EXPECT_EQ(utf8OffsetOfUtf16Index(text, 3), 4u);  // inside the surrogate pair rounds down
    EXPECT_EQ(utf8OffsetOfUtf16Index(text, 4), 8u);
    EXPECT_EQ(utf8OffsetOfUtf16Index(text, 99), text.size());
    EXPECT_EQ(fromUtf16(toUtf16(text)), text);
    EXPECT_EQ(fromUtf16(u"\xD800x"), "\xEF\xBF\xBDx");  // a lone surrogate becomes U+FFFD
    // Lead bytes that start no sequence (F5..FF) and truncated sequences are one unit each.
    for (const char* malformed : {"\xF8\x80\x80", "\xFF\x80", "\xE4\xB8", "\xC0\xAF"}) {
        const std::string bytes(malformed);
        std::size_t i = 0;
        bool valid = true;
        EXPECT_EQ(decodeUtf8(bytes, i, &valid), U'\xFFFD') << bytes;
        EXPECT_EQ(i, 1u);
        EXPECT_FALSE(valid);
        EXPECT_EQ(utf16Length(bytes), bytes.size());
    }
}

TEST(Unicode, WellFormedUtf8) {
    struct Case {
        std::string text;
        bool wellFormed;
    };
    const std::string ascii16 = "abcdefghijklmnop";
    const std::vector<Case> cases = {
        {"", true},
        {ascii16, true},
        {"h\xC3\xA9llo \xE4\xB8\xAD \xF0\x9F\x98\x80", true},
        {"\xF4\x8F\xBF\xBF", true},      // U+10FFFF
        {"\xED\x9F\xBF", true},           // U+D7FF, just below the surrogates
        {"\xC0\xAF", false},               // overlong
        {"\xE0\x80\xAF", false},          // overlong
        {"\xF0\x80\x80\xAF", false},      // overlong
        {"\xED\xA0\x80", false},          // a surrogate
        {"\xF4\x90\x80\x80", false},      // above U+10FFFF
        {"\xE4\xB8", false},               // cut short
        {"\x80", false},                   // a lone continuation byte
        {ascii16 + "\xFF", false},          // after a run the fast path skips
        {ascii16.substr(0, 9) + "\xE4\xB8" + ascii16, false},
        {ascii16.substr(0, 7) + "\xC3\xA9" + ascii16, true},  // a sequence across an eight-byte boundary
    };
    for (const Case& c : cases) EXPECT_EQ(isWellFormedUtf8(c.text), c.wellFormed) << c.text;
}

// The one-pass check agrees with decoding every sequence: every one- and two-byte sequence, the
// longer ones over every first two bytes and the telling values of the others (each side of the
// continuation range and of the ranges a second byte may take), each at several offsets of an
// eight-byte word between ASCII runs and cut short at the end; then random mixtures.
TEST(Unicode, WellFormedUtf8AgreesWithTheDecoder) {
    auto decodes = [](std::string_view text) {
        bool valid = true;
        for (std::size_t i = 0; i < text.size() && valid;) decodeUtf8(text, i, &valid);
        return valid;
    };
    std::size_t checked = 0;
    std::size_t wellFormed = 0;
    auto check = [&](const std::string& sequence) {
        const bool expected = decodes(sequence);
        for (std::size_t before : {0, 7, 13}) {
            for (std::size_t after : {0, 9}) {
                const std::string text = std::string(before, 'a') + sequence + std::string(after, 'z');
                ASSERT_EQ(isWellFormedUtf8(text), expected) << before << " " << after << " " << testing::PrintToString(text);
            }
        }
        ++checked;
        if (expected) ++wellFormed;
    };
    const unsigned thirds[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xE4, 0xFF};
    const unsigned fourths[] = {0x7F, 0x80, 0xBF, 0xC0};
    for (unsigned b0 = 0; b0 < 256; ++b0) {
        check(std::string(1, static_cast<char>(b0)));
        for (unsigned b1 = 0; b1 < 256; ++b1) {
            const std::string two{static_cast<char>(b0), static_cast<char>(b1)};
            check(two);
            if (b0 < 0xE0) continue;
            for (unsigned b2 : thirds) {
                const std::string three = two + static_cast<char>(b2);
                check(three);
                if (b0 < 0xF0) continue;
                for (unsigned b3 : fourths) check(three + static_cast<char>(b3));
            }
        }
    }
    EXPECT_GT(wellFormed, 25000u);
    EXPECT_GT(checked - wellFormed, 150000u);
    std::mt19937 random(20261208);
    const std::string pieces[] = {"a", "abcdefgh", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "\x80", "\xED\xA0\x80", "\xE4"};
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int count = static_cast<int>(random() % 12);
        for (int k = 0; k < count; ++k) text += pieces[random() % std::size(pieces)];
        ASSERT_EQ(isWellFormedUtf8(text), decodes(text)) << testing::PrintToString(text);
    }
}

TEST(ValueCompare, OrdersNumbersTextAndDates) {
    EXPECT_LT(Value(2).compare(Value(10)), 0);
    EXPECT_LT(Value("10").compare(Value("9")), 0);
    EXPECT_LT(Value("Z").compare(Value("a")), 0);
    EXPECT_GT(Value(Decimal::fromString("1.10")).compare(Value(1.09)), 0);
    EXPECT_LT(Value(Date::fromSince1970(1)).compare(Value(Date::fromSince1970(2))), 0);
    EXPECT_EQ(Value(-0.0).compare(Value(0)), 0);
}

TEST(DateValue, ReadingsAndDescription) {
    const Date d = Date::fromSince1970(1425517622);  // 2015-03-05 01:07:02 UTC
    EXPECT_DOUBLE_EQ(d.sinceReferenceDate(), 1425517622 - 978307200.0);
    EXPECT_EQ(d.description(), "2015-03-05 01:07:02 +0000");
    EXPECT_EQ(Date::fromSince1970(-1).description(), "1969-12-31 23:59:59 +0000");
    EXPECT_LT(Date::distantPast(), d);
    EXPECT_LT(d, Date::distantFuture());
}

}  // namespace
}  // namespace lv
