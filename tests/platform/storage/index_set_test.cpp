// Index sets and sets in keyed archives, errors decoded under their class with secure coding, and
// scalars read as numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "platform/runtime/runtime.h"
#include "platform/storage/index_set.h"
#include "platform/storage/keyed_archive.h"

namespace lv {
namespace {

Value archiveAndRead(const Value& root, const std::vector<const ClassInfo*>& secureClasses = {}) {
    Ref<Error> error;
    const auto data = KeyedArchiver::archivedDataWithRootObject(root, !secureClasses.empty(), &error);
    EXPECT_TRUE(data);
    if (!data) return {};
    return secureClasses.empty() ? KeyedUnarchiver::unarchivedObject(*data, &error)
                                 : KeyedUnarchiver::unarchivedObjectOfClasses(secureClasses, *data, &error);
}

TEST(IndexSet, RangesMembershipAndArchives) {
    struct Case {
        std::vector<std::uint64_t> indexes;
        std::vector<IndexSet::Range> ranges;
    };
    const Case cases[] = {
        {{}, {}},
        {{7}, {{7, 1}}},
        {{3, 1, 2, 2, 9, 10, 300}, {{1, 3}, {9, 2}, {300, 1}}},
        {{0, 200, 128, 129, 130}, {{0, 1}, {128, 3}, {200, 1}}},  // numbers needing two base-128 groups
    };
    for (const auto& c : cases) {
        const auto set = IndexSet::withIndexes(c.indexes);
        EXPECT_EQ(set->ranges(), c.ranges);
        for (std::uint64_t i = 0; i < 400; ++i) {
            const bool member = std::find(c.indexes.begin(), c.indexes.end(), i) != c.indexes.end();
            EXPECT_EQ(set->containsIndex(i), member) << i;
        }
        for (const bool secure : {false, true}) {
            const auto decoded = archiveAndRead(Value(set), secure ? std::vector{IndexSet::runtimeClass()}
                                                              : std::vector<const ClassInfo*>{})
                                     .objectAs<IndexSet>();
            ASSERT_NE(decoded, nullptr);
            EXPECT_TRUE(decoded->isEqual(*set)) << decoded->description();
        }
    }
    EXPECT_EQ(IndexSet::withRange(200, 100)->count(), 100u);
    EXPECT_TRUE(IndexSet::withRange(5, 0)->ranges().empty());
}

TEST(IndexSet, DamagedArchivesReadAsNil) {
    const std::vector<std::pair<const char*, std::function<void(KeyedArchiver&)>>> cases = {
        {"negative location", [](KeyedArchiver& a) {
             a.encodeInteger(1, "NSRangeCount");
             a.encodeInteger(-1, "NSLocation");
             a.encodeInteger(1, "NSLength");
         }},
        {"empty range", [](KeyedArchiver& a) {
             a.encodeInteger(1, "NSRangeCount");
             a.encodeInteger(1, "NSLocation");
             a.encodeInteger(0, "NSLength");
         }},
        {"count and data differ", [](KeyedArchiver& a) {
             a.encodeInteger(3, "NSRangeCount");
             a.encodeObject(Value(Bytes{1, 1, 5, 1}), "NSRangeData");
         }},
        {"overlapping ranges", [](KeyedArchiver& a) {
             a.encodeInteger(2, "NSRangeCount");
             a.encodeObject(Value(Bytes{1, 5, 3, 1}), "NSRangeData");
         }},
        {"cut number", [](KeyedArchiver& a) {
             a.encodeInteger(2, "NSRangeCount");
             a.encodeObject(Value(Bytes{1, 1, 0x85}), "NSRangeData");
         }},
    };
    for (const auto& [name, write] : cases) {
        SCOPED_TRACE(name);
        KeyedArchiver archiver;
        write(archiver);
        const Bytes data = archiver.encodedData();
        KeyedUnarchiver reader(data);
        IndexSet set;
        EXPECT_FALSE(set.initWithCoder(reader));
    }
}

TEST(KeyedArchiveKinds, SetsErrorsAndScalarsAsNumbers) {
    // A set is written as a set and read back as the array of its members.
    const Value set(ArchivedSet::make(Array{Value("b"), Value("a"), Value(3)}));
    EXPECT_EQ(archiveAndRead(set), Value(Array{Value("b"), Value("a"), Value(3)}));
    EXPECT_EQ(archiveAndRead(set, {classNamed("Array")}), Value(Array{Value("b"), Value("a"), Value(3)}));
    // Errors can be named as their class under secure coding.
    const Bytes empty = KeyedArchiver::archivedDataWithRootObject(Value());
    const KeyedUnarchiver registering(empty);  // the first reader registers the platform's classes
    ASSERT_NE(classNamed("Error"), nullptr);
    const Value error(Error::make("d", 3, {{"k", Value("v")}}));
    EXPECT_EQ(archiveAndRead(error, {classNamed("Error")}), error);
    // A scalar under a key reads as a number where numbers are allowed, and is refused elsewhere.
    KeyedArchiver archiver(true);
    archiver.encodeInteger(42, "n");
    archiver.encodeBool(true, "b");
    const Bytes data = archiver.encodedData();
    KeyedUnarchiver reader(data);
    reader.setRequiresSecureCoding(true);
    EXPECT_EQ(reader.decodeObjectOfClass(classNamed("Number"), "n"), Value(42));
    EXPECT_EQ(reader.decodeObjectOfClass(classNamed("Number"), "b"), Value(true));
    EXPECT_THROW(reader.decodeObjectOfClass(classNamed("String"), "n"), Exception);
}

}  // namespace
}  // namespace lv
