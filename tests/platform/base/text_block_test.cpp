// Texts made in a TextBlock keep the characters of long texts in the block's allocation and make the
// std::string that string() hands out on the first call. They must read, compare, hash, order, copy,
// change and outlive their sources exactly as texts made on their own do.
#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/value.h"

namespace lv {
namespace {

using namespace std::string_literals;

// Texts of every kind of length and content: empty, short enough to sit inside a std::string, just
// past it, long, with NUL bytes inside (short and long), non-ASCII (short and long, with a character
// outside the Basic Multilingual Plane).
const std::vector<std::string>& sampleTexts() {
    static const std::vector<std::string> texts = {
        "",
        "a",
        "fifteen bytes!!",
        "sixteen bytes!!!",
        "seventeen bytes!!",
        "a\0b"s,
        "long text with a NUL \0 in its middle and more after it"s,
        "独家",
        "防弹少年团新专辑首周销量突破百万张（第12期）",
        "emoji \xF0\x9F\x8E\xA4 past the basic plane, and then some more words",
        std::string(300, 'x'),
    };
    return texts;
}

TEST(TextBlock, TextsReadCompareAndHashAsTextsMadeAlone) {
    std::vector<Value> made;
    {
        TextBlock block(sampleTexts().size(), 1024);
        for (const std::string& text : sampleTexts()) {
            ASSERT_TRUE(block.holds(text)) << text;
            made.push_back(block.make(text));
        }
        EXPECT_TRUE(block.full());
        EXPECT_FALSE(block.holds(""));
    }
    for (std::size_t i = 0; i < sampleTexts().size(); ++i) {
        const std::string& text = sampleTexts()[i];
        const Value alone(text);
        const Value& inBlock = made[i];
        SCOPED_TRACE(i);
        EXPECT_TRUE(inBlock.isString());
        EXPECT_EQ(inBlock.string(), text);
        EXPECT_EQ(inBlock.string().size(), text.size());
        EXPECT_EQ(inBlock, alone);
        EXPECT_EQ(alone, inBlock);
        EXPECT_EQ(inBlock.hash(), alone.hash());
        EXPECT_EQ(inBlock.compare(alone), 0);
        EXPECT_EQ(inBlock.count(), alone.count());
        EXPECT_EQ(inBlock.stringValue(), text);
        EXPECT_EQ(inBlock.description(), alone.description());
        EXPECT_EQ(Value::array({inBlock}).description(), Value::array({alone}).description());
        for (std::size_t j = 0; j < sampleTexts().size(); ++j) {
            const Value other(sampleTexts()[j]);
            EXPECT_EQ(inBlock == other, alone == other) << j;
            EXPECT_EQ(inBlock.compare(other), alone.compare(other)) << j;
            EXPECT_EQ(other.compare(inBlock), other.compare(alone)) << j;
        }
    }
}

TEST(TextBlock, NumericReadingsOfLongTextsInABlock) {
    TextBlock block(4, 256);
    const Value integer = block.make("   -1234567890123 and words after");
    const Value real = block.make("2.5e3 is a number followed by text");
    const Value yes = block.make("  +0000000000000000001 is true");
    EXPECT_EQ(integer.longLongValue(), -1234567890123);
    EXPECT_EQ(integer.intValue(), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(real.doubleValue(), 2500.0);
    EXPECT_TRUE(yes.boolValue());
}

// A block with no room left for characters, or a text longer than its room, still makes the text
// (with a buffer of its own).
TEST(TextBlock, TextsBeyondTheBlocksRoomAreMadeAlike) {
    const std::string longText(100, 'y');
    TextBlock noRoom(3);
    EXPECT_TRUE(noRoom.holds("short"));
    EXPECT_FALSE(noRoom.holds(longText));
    const Value a = noRoom.make(longText);
    TextBlock someRoom(3, 40);
    EXPECT_TRUE(someRoom.holds(std::string(40, 'z')));
    const Value b = someRoom.make(std::string(40, 'z'));
    EXPECT_FALSE(someRoom.holds(longText));
    EXPECT_TRUE(someRoom.holds("fifteen bytes!!"));
    const Value c = someRoom.make(longText);
    EXPECT_EQ(a.string(), longText);
    EXPECT_EQ(b.string(), std::string(40, 'z'));
    EXPECT_EQ(c.string(), longText);
    EXPECT_EQ(a, c);
}

// Texts of one block are separate values: changing one, or a copy of one, leaves every other alone,
// long texts included, and each lives as long as any of them does.
TEST(TextBlock, SharedTextsChangeApartAndOutliveTheirSources) {
    const std::string first = "the first long text of the block";
    const std::string second = "the second long text of the block";
    Value a;
    Value b;
    Value aCopy;
    {
        auto source = std::make_unique<std::string>(first + second);
        TextBlock block(2, 256);
        a = block.make(std::string_view(*source).substr(0, first.size()));
        b = block.make(std::string_view(*source).substr(first.size()));
        // The source (a parse buffer, a statement's row) goes away before the values are read.
        std::fill(source->begin(), source->end(), '#');
        source.reset();
        aCopy = a;
    }
    const std::string* shared = &a.string();
    EXPECT_EQ(&aCopy.string(), shared);  // copies share one payload
    EXPECT_EQ(*shared, first);
    aCopy.mutableString() += " changed";
    EXPECT_EQ(a.string(), first);
    EXPECT_EQ(aCopy.string(), first + " changed");
    EXPECT_EQ(b.string(), second);
    a.mutableString().replace(0, 3, "THE");
    EXPECT_EQ(a.string(), "THE" + first.substr(3));
    EXPECT_EQ(b.string(), second);
    EXPECT_EQ(aCopy.string(), first + " changed");
    // Released in any order: the block's allocation goes with the last of its texts.
    a = Value();
    aCopy = Value();
    EXPECT_EQ(b.string(), second);
    EXPECT_EQ(b.count(), second.size());
}

// The last holder of a block changes its text in place, whether or not string() was asked for first.
TEST(TextBlock, TheLastHolderChangesInPlace) {
    for (bool readFirst : {false, true}) {
        SCOPED_TRACE(readFirst);
        const std::string text = "a long text that lives in the block's room";
        Value value;
        {
            TextBlock block(1, 128);
            value = block.make(text);
        }
        if (readFirst) {
            EXPECT_EQ(value.string(), text);
        }
        std::string& changed = value.mutableString();
        changed += "!";
        EXPECT_EQ(&value.string(), &changed);
        EXPECT_EQ(value.string(), text + "!");
        EXPECT_EQ(value, Value(text + "!"));
        EXPECT_EQ(value.hash(), Value(text + "!").hash());
        EXPECT_EQ(value.count(), text.size() + 1);
    }
}

// A block holds its allocation for every text it may still make: moved, overwritten or dropped with
// any number of its places used, it lets go of exactly those, so its texts outlive it, a text changes
// in place only once it is the allocation's last holder, and nothing is left behind (the sanitizer
// build checks for leaks and for use after free).
TEST(TextBlock, BlocksLetGoOfThePlacesTheyDidNotUse) {
    const std::string text = "a text long enough for the block's room";
    for (std::size_t capacity = 1; capacity <= 3; ++capacity) {
        for (std::size_t made = 0; made <= capacity; ++made) {
            for (int moves = 0; moves < 3; ++moves) {
                SCOPED_TRACE(testing::Message() << capacity << " places, " << made << " made, move " << moves);
                std::vector<Value> texts;
                {
                    TextBlock block(capacity, 256);
                    for (std::size_t i = 0; i < made; ++i) texts.push_back(block.make(text + std::to_string(i)));
                    TextBlock other(2, 64);
                    (void)other.make("the other block's own text, long enough");
                    // 0: the block itself lives on; 1: a block moved from it; 2: it is moved over another.
                    TextBlock moved(std::move(block));
                    TextBlock& live = moves == 0 ? block : moves == 1 ? moved : other;
                    if (moves == 0) block = std::move(moved);
                    if (moves == 2) other = std::move(moved);
                    // While the block lives it holds the allocation: a change copies the text out.
                    if (made > 0 && made < capacity) {
                        Value copy = texts[0];
                        const std::string* before = &copy.string();
                        copy.mutableString() += "!";
                        EXPECT_NE(&copy.string(), before);
                    }
                    // It still makes texts in its places left.
                    if (made < capacity) {
                        EXPECT_EQ(live.make("one more").string(), "one more");
                    }
                    // A block moved from makes its texts anew.
                    TextBlock& movedFrom = moves == 1 ? block : moved;
                    EXPECT_FALSE(movedFrom.full());
                    EXPECT_EQ(movedFrom.make(text).string(), text);
                }
                for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(texts[i].string(), text + std::to_string(i));
                // Once the others are gone, the last text changes in place.
                if (!texts.empty()) {
                    Value last = texts.back();
                    texts.clear();
                    const std::string* before = &last.string();
                    last.mutableString() += "!";
                    EXPECT_EQ(&last.string(), before);
                    EXPECT_EQ(last.string(), text + std::to_string(made - 1) + "!");
                }
            }
        }
    }
}

// Threads reading copies of one long text of a block (the first string() of which makes it) all see
// the same complete text, while other threads change their own copies.
TEST(TextBlock, CopiesReadAndChangedOnManyThreads) {
    constexpr int kThreads = 8;
    const std::string text = "防弹少年团新专辑首周销量突破百万张，一段会被许多线程同时读到的长文字";
    for (int round = 0; round < 20; ++round) {
        Value shared;
        {
            TextBlock block(2, 256);
            shared = block.make(text);
            (void)block.make("its neighbour in the same block, also long");
        }
        std::latch ready(kThreads);
        std::vector<const std::string*> seen(kThreads, nullptr);
        std::vector<std::string> readBack(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            Value mine = shared;
            threads.emplace_back([mine = std::move(mine), &ready, &seen, &readBack, t]() mutable {
                ready.arrive_and_wait();
                if (t % 2 == 0) {
                    seen[t] = &mine.string();
                    readBack[t] = mine.string();
                } else {
                    mine.mutableString() += std::to_string(t);
                    readBack[t] = mine.string();
                }
            });
        }
        for (auto& thread : threads) thread.join();
        for (int t = 0; t < kThreads; ++t) {
            if (t % 2 == 0) {
                EXPECT_EQ(seen[t], &shared.string());
                EXPECT_EQ(readBack[t], text);
            } else {
                EXPECT_EQ(readBack[t], text + std::to_string(t));
            }
        }
        EXPECT_EQ(shared.string(), text);
    }
}

}  // namespace
}  // namespace lv
