// Predicates: the format parser and descriptions, in-memory evaluation, and the agreement of SQL and
// memory on every comparison rule and sort order over a real file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "data_test_support.h"
#include "platform/data/errors.h"
#include "platform/data/predicate.h"
#include "platform/data/sort_descriptor.h"

namespace lv {
namespace {

using test::dec;

// ---- parsing and description ----

struct ParseCase {
    const char* format;
    std::vector<Value> args;
    const char* description;
};

TEST(PredicateParse, FormsAndTheirDescriptions) {
    const ParseCase cases[] = {
        {"key = %@", {Value("a1")}, "key == \"a1\""},
        {"key = %@", {Value()}, "key == nil"},
        {"a = %@ AND b = %d", {dec("2"), Value(3)}, "a == 2 AND b == 3"},
        {"%K = %@", {Value("name"), Value("x")}, "name == \"x\""},
        {"%K == %@", {Value("owner.name"), Value(1)}, "owner.name == 1"},
        {"a == 1 OR b != 2 AND NOT c < 3", {}, "a == 1 OR (b != 2 AND NOT c < 3)"},
        {"(a = 1 OR b = 2) AND c >= 3", {}, "(a == 1 OR b == 2) AND c >= 3"},
        {"a = 1 && (b = 2 || c = 3)", {}, "a == 1 AND (b == 2 OR c == 3)"},
        {"NOT (a = 1 AND b = 2)", {}, "NOT (a == 1 AND b == 2)"},
        {"! a = 1", {}, "NOT a == 1"},
        {"TRUEPREDICATE", {}, "TRUEPREDICATE"},
        {"falsepredicate", {}, "FALSEPREDICATE"},
        {"a <> 'x'", {}, "a != \"x\""},
        {"a =< 1.5", {}, "a <= 1.5"},
        {"a => -2", {}, "a >= -2"},
        {"a > 0x10", {}, "a > 16"},
        {"a < 1e3", {}, "a < 1000"},
        {"flag == YES", {}, "flag == 1"},
        {"flag == false", {}, "flag == 0"},
        {"name == NULL", {}, "name == nil"},
        {"name = nil and x = Nil", {}, "name == nil AND x == nil"},
        {"SELF == %@", {Value("me")}, "SELF == \"me\""},
        {"#and = 1", {}, "#and == 1"},
        {"a.#nil.b = 1", {}, "a.#nil.b == 1"},
        {"a.b.c = %f", {Value(0.5)}, "a.b.c == 0.5"},
        {"x = %ld AND y = %lld AND z = %u AND w = %i", {Value(5), Value(6), Value(7), Value(8)}, "x == 5 AND y == 6 AND z == 7 AND w == 8"},
        {"s = \"say \\\"hi\\\"\"", {}, "s == \"say \\\"hi\\\"\""},
        {"1 < count", {}, "1 < count"},
        {"p = %@", {dec("199.90")}, "p == 199.9"},
    };
    for (const auto& c : cases) {
        Ref<Error> error;
        auto p = Predicate::parse(c.format, c.args, &error);
        ASSERT_TRUE(p) << c.format << ": " << (error ? error->description() : "");
        EXPECT_EQ(p->predicateFormat(), c.description) << c.format;
        EXPECT_EQ(p->description(), c.description);
        // The description parses back to the same predicate.
        auto again = Predicate::parse(p->predicateFormat(), {}, &error);
        ASSERT_TRUE(again) << p->predicateFormat();
        EXPECT_EQ(again->predicateFormat(), c.description);
    }
}

TEST(PredicateParse, ArgumentsKeepTheirKinds) {
    auto p = Predicate::format("a = %d AND b = %@ AND c = %f AND d = %hd", nullptr, 7, Decimal::fromInteger(3), 2, 70000);
    ASSERT_TRUE(p);
    const auto& parts = p->subpredicates();
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[0]->rightExpression().constantValue().number()->kind(), NumberKind::Int32);
    EXPECT_TRUE(parts[1]->rightExpression().constantValue().isDecimal());
    EXPECT_EQ(parts[2]->rightExpression().constantValue().number()->kind(), NumberKind::Double);
    EXPECT_EQ(parts[3]->rightExpression().constantValue().number()->kind(), NumberKind::Int16);
    EXPECT_EQ(p->keyPaths(), (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST(PredicateParse, MalformedFormatsAreErrors) {
    const std::string deepParentheses = std::string(10000, '(') + "a = 1" + std::string(10000, ')');
    std::string manyNots;
    for (int i = 0; i < 50000; ++i) manyNots += "NOT ";
    manyNots += "a = 1";
    const std::string notsJustPastTheLimit = manyNots.substr(manyNots.size() - 5 - 4 * 2048);
    const ParseCase cases[] = {
        {"a = %@", {}, "fewer arguments"},
        {"a = %@", {Value(1), Value(2)}, "more arguments"},
        {"a = ", {}, "expression is missing"},
        {"a = 1 b", {}, "unexpected text"},
        {"a = 'open", {}, "unterminated"},
        {"(a = 1", {}, "missing"},
        {"a 1", {}, "operator is missing"},
        {"%K = 1", {Value(3)}, "key path"},
        {"a = %d", {Value("x")}, "needs a number"},
        {"a = %z", {Value(1)}, "unsupported"},
        {"a ~ 1", {}, "unexpected character"},
        {"", {}, "missing"},
        {deepParentheses.c_str(), {}, "nests deeper than 2048 levels"},
        {manyNots.c_str(), {}, "nests deeper than 2048 levels"},
        {notsJustPastTheLimit.c_str(), {}, "nests deeper than 2048 levels"},
    };
    for (const auto& c : cases) {
        Ref<Error> error;
        EXPECT_FALSE(Predicate::parse(c.format, c.args, &error)) << c.format;
        ASSERT_TRUE(error) << c.format;
        EXPECT_EQ(error->domain(), kCocoaErrorDomain);
        EXPECT_EQ(error->code(), kFormattingError);
        EXPECT_EQ(error->localizedDescription(), std::string("Unable to parse the format string \"") + c.format + "\"");
        EXPECT_NE(error->localizedFailureReason().find(c.description), std::string::npos)
            << c.format << " → " << error->localizedFailureReason();
    }
}

// Nesting up to the limit parses and reads back; a deeper chain built in code is never walked.
TEST(PredicateParse, NestingStaysWithinTheLimit) {
    std::string nots;
    for (std::size_t i = 0; i + 2 < Predicate::kMaxDepth; ++i) nots += "NOT ";  // over an OR over comparisons
    Ref<Error> error;
    auto deepest = Predicate::parse(nots + "(a = 1 OR a = 2)", {}, &error);
    ASSERT_TRUE(deepest) << error->localizedFailureReason();
    EXPECT_EQ(deepest->depth(), Predicate::kMaxDepth);
    auto again = Predicate::parse(deepest->predicateFormat(), {}, &error);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->predicateFormat(), deepest->predicateFormat());
    EXPECT_FALSE(Predicate::parse("NOT " + nots + "(a = 1 OR a = 2)", {}, &error));  // one more level

    Ref<Predicate> chain = Predicate::parse("a = 1", {}, nullptr);
    for (int i = 0; i < 100000; ++i) chain = Predicate::notPredicate(chain);
    EXPECT_FALSE(chain->evaluateWithObject(Value(Dictionary{{"a", Value(2)}})));
    EXPECT_NE(chain->predicateFormat().find("deeper than 2048"), std::string::npos);
    EXPECT_TRUE(chain->keyPaths().empty());
    auto model = test::makeItemModel();
    EXPECT_FALSE(chain->sqlForEntity(*model->entityNamed("Item"), &error));
    EXPECT_EQ(error->code(), kObjectStoreError);
    chain = nullptr;  // taken apart without recursion
}

// ---- in-memory evaluation ----

TEST(PredicateEvaluate, OnDictionariesAndSelf) {
    const Value record(Dictionary{{"key", Value("m1")}, {"site", Value(2)}, {"rank", Value(5)},
                                  {"owner", Value(Dictionary{{"name", Value("ann")}})}});
    auto check = [&](const char* format, std::vector<Value> args, bool expected) {
        Ref<Error> error;
        auto p = Predicate::parse(format, args, &error);
        ASSERT_TRUE(p) << format;
        EXPECT_EQ(p->evaluateWithObject(record), expected) << format;
    };
    check("key = %@", {Value("m1")}, true);
    check("key = %@", {Value()}, false);
    check("missing = %@", {Value()}, true);  // an absent key reads as nil
    check("site = %@ AND rank = %d", {dec("2"), Value(5)}, true);
    check("site = %@ AND rank = %d", {dec("2"), Value(6)}, false);
    check("owner.name = 'ann'", {}, true);
    check("NOT (site = 3) OR rank < 0", {}, true);
    check("TRUEPREDICATE", {}, true);
    check("FALSEPREDICATE OR FALSEPREDICATE", {}, false);
    Ref<Error> error;
    auto self = Predicate::parse("SELF = %@", {Value("x")}, &error);
    EXPECT_TRUE(self->evaluateWithObject(Value("x")));
    EXPECT_FALSE(self->evaluateWithObject(Value("y")));
}

// ---- SQL against memory ----

class RowSubject : public PredicateSubject {
public:
    explicit RowSubject(const RowSnapshot& row) : row_(row) {}
    Value valueForKeyPath(const std::string& key) const override { return row_.value(key); }
    Value evaluatedObject() const override { return Value(row_.objectID); }

private:
    const RowSnapshot& row_;
};

class PredicateAgreement : public ::testing::Test {
protected:
    void SetUp() override {
        coordinator_ = test::openCoordinator(test::makeItemModel(), dir_.file("items.sqlite"));
        ASSERT_TRUE(coordinator_);
        ownerA_ = test::insertRow(*coordinator_, "Owner", {{"name", Value("a")}});
        ownerB_ = test::insertRow(*coordinator_, "Owner", {{"name", Value("b")}});
        using V = std::vector<std::pair<std::string, Value>>;
        const V rows[] = {
            {{"count", Value(1)}, {"name", Value("a")}, {"price", dec("19.99")}, {"ratio", Value(0.25)}, {"flag", Value(true)},
             {"small", Value(1)}, {"big", Value(10)}, {"when", Value(Date::fromSinceReferenceDate(100))},
             {"owner", Value(ownerA_)}, {"blob", Value::data("ab")}, {"weight", Value(1.5f)}},
            {{"count", Value(2)}, {"name", Value("b")}, {"price", dec("2")}, {"ratio", Value(0.5)}, {"flag", Value(false)},
             {"small", Value(2)}, {"big", Value(1)}, {"when", Value(Date::fromSinceReferenceDate(200))}, {"owner", Value(ownerB_)}},
            {{"count", Value(3)}, {"name", Value("\xc3\xa9t\xc3\xa9")}, {"price", dec("0.1")}, {"ratio", Value(2.0)},
             {"small", Value(5)}, {"big", Value(-4)}, {"extra", Value(Dictionary{{"k", Value("v")}})}},
            {{"count", Value(-2)}, {"name", Value("B")}, {"price", dec("1000000000000000.01")}, {"flag", Value(true)},
             {"when", Value(Date::fromSinceReferenceDate(-5))}, {"blob", Value::data("b")}, {"owner", Value(ownerA_)}},
            {},  // every value nil
            {{"count", Value(2)}, {"name", Value("")}, {"price", dec("-7.5")}, {"ratio", Value(-0.5)}, {"big", Value(2)},
             {"weight", Value(0.1f)}},
        };
        for (const auto& r : rows) ids_.push_back(test::insertRow(*coordinator_, "Item", r));
        FetchRequest all("Item");
        Ref<Error> error;
        auto result = coordinator_->executeFetchRequest(all, &error);
        ASSERT_TRUE(result) << error->description();
        rows_ = std::move(result->rows);
        ASSERT_EQ(rows_.size(), 6u);
    }

    std::set<std::int64_t> memoryKeys(const Predicate& p) const {
        std::set<std::int64_t> keys;
        for (const auto& row : rows_) {
            if (p.evaluate(RowSubject(row))) keys.insert(row.objectID->key());
        }
        return keys;
    }

    std::set<std::int64_t> storeKeys(const Ref<Predicate>& p) {
        FetchRequest request("Item");
        request.setPredicate(p);
        Ref<Error> error;
        auto result = coordinator_->executeFetchRequest(request, &error);
        EXPECT_TRUE(result) << (error ? error->description() : "");
        std::set<std::int64_t> keys;
        if (result) {
            for (const auto& row : result->rows) keys.insert(row.objectID->key());
        }
        return keys;
    }

    struct Case {
        const char* format;
        std::vector<Value> args;
        int expectedCount;
    };

    // Each case answers alike in SQL and in memory, with the expected number of rows.
    void expectAgreement(const std::vector<Case>& cases) {
        for (const auto& c : cases) {
            Ref<Error> error;
            auto p = Predicate::parse(c.format, c.args, &error);
            ASSERT_TRUE(p) << c.format;
            auto sql = p->sqlForEntity(*coordinator_->managedObjectModel()->entityNamed("Item"), &error);
            ASSERT_TRUE(sql) << c.format << ": " << (error ? error->description() : "");
            const auto memory = memoryKeys(*p);
            EXPECT_EQ(storeKeys(p), memory) << c.format << " → " << sql->where;
            EXPECT_EQ(static_cast<int>(memory.size()), c.expectedCount) << c.format;
        }
    }

    test::TempDir dir_;
    Ref<PersistentStoreCoordinator> coordinator_;
    Ref<ManagedObjectID> ownerA_;
    Ref<ManagedObjectID> ownerB_;
    std::vector<Ref<ManagedObjectID>> ids_;
    std::vector<RowSnapshot> rows_;
};

TEST_F(PredicateAgreement, SQLAndMemoryAgreeOnEveryCase) {
    expectAgreement({
        {"name = %@", {Value("b")}, 1},
        {"name = %@", {Value()}, 1},
        {"name == nil", {}, 1},
        {"name != nil", {}, 5},
        {"name != %@", {Value("b")}, 5},
        {"name < %@", {Value("b")}, 3},
        {"name >= %@", {Value("\xc3\xa9")}, 1},
        {"name = %@", {Value(2)}, 0},
        {"name != %@", {Value(2)}, 6},
        {"name > %@", {Value(2)}, 0},
        {"count = %@", {dec("2")}, 2},
        {"count = %@", {dec("2.5")}, 0},
        {"count != %@", {dec("2.5")}, 6},
        {"count < %@", {dec("2.5")}, 4},
        {"count > %@", {dec("-1.5")}, 4},
        {"count >= %@", {dec("-2")}, 5},
        {"count <= %@", {Value(2.0)}, 4},
        {"count = %d", {Value(3)}, 1},
        {"count != %@", {Value()}, 5},
        {"count > %@", {Value("text")}, 0},
        {"count < %@", {dec("100000000000000000000000")}, 5},
        {"count > %@", {dec("-100000000000000000000000.5")}, 5},
        {"price = %@", {dec("19.99")}, 1},
        {"price = %@", {Value(2)}, 1},
        {"price > %@", {Value(10.5)}, 2},
        {"price < %@", {dec("0.1000000000000000001")}, 2},
        {"price <= %@", {dec("0.1")}, 2},
        {"price = nil", {}, 1},
        {"price > %@", {dec("1000000000000000")}, 1},
        {"ratio > %@", {Value(0.4)}, 2},
        {"ratio = %@", {dec("0.25")}, 1},
        {"ratio < %d", {Value(1)}, 3},
        {"weight <= %f", {Value(1.5)}, 2},
        {"flag = YES", {}, 2},
        {"flag != NO", {}, 5},
        {"flag = 1", {}, 2},
        {"flag = nil", {}, 3},
        {"when < %@", {Value(Date::fromSinceReferenceDate(150))}, 2},
        {"when = nil", {}, 3},
        {"when > %@", {Value(5)}, 0},
        {"when != %@", {Value(5)}, 6},
        {"big >= %lld", {Value(static_cast<std::int64_t>(2))}, 2},
        {"small = %hd", {Value(5)}, 1},
        {"blob = %@", {Value::data("ab")}, 1},
        {"blob > %@", {Value::data("a")}, 2},
        {"small = count", {}, 3},
        {"count < big", {}, 1},
        {"name = price", {}, 1},
        {"name != price", {}, 5},
        {"ratio < count", {}, 4},
        {"NOT (name = %@)", {Value("b")}, 5},
        {"NOT count < 3", {}, 2},
        {"NOT (count > 1 OR ratio < 0)", {}, 3},
        {"NOT (NOT count > 1)", {}, 3},
        {"NOT (count < big)", {}, 5},
        {"NOT (price > %@)", {dec("1")}, 3},
        {"count > 1 OR NOT ratio < 1", {}, 5},
        {"count = 1 OR name = nil", {}, 2},
        {"(count > 1 AND count < 4) OR price = nil", {}, 4},
        {"TRUEPREDICATE", {}, 6},
        {"FALSEPREDICATE", {}, 0},
        {"2 < count", {}, 1},
        {"'b' = name", {}, 1},
        {"1 = 1", {}, 6},
        {"owner = nil", {}, 3},
        {"extra = nil", {}, 5},
        {"extra != nil", {}, 1},
        {"SELF = %@", {Value(ids_[1])}, 1},
        {"SELF != %@", {Value(ids_[1])}, 5},
        {"SELF = %@", {Value(ownerA_)}, 0},  // another entity's ID
        {"owner = %@", {Value(ownerA_)}, 2},
        {"owner != %@", {Value(ownerA_)}, 4},
        {"owner = %@", {Value(ManagedObjectID::makeTemporary(coordinator_->managedObjectModel()->entityNamed("Owner")))}, 0},
    });
}

// NaN equals nothing and orders with nothing; integers beyond 2^53 and doubles compare exactly.
TEST_F(PredicateAgreement, NaNAndIntegersBeyondDoublesAgree) {
    constexpr std::int64_t kAbove53 = (std::int64_t{1} << 53) + 1;
    constexpr double kTwo53 = 9007199254740992.0;
    constexpr double kTwo63 = 9223372036854775808.0;
    test::insertRow(*coordinator_, "Item", {{"big", Value(kAbove53)}, {"ratio", Value(kTwo53)}});
    test::insertRow(*coordinator_, "Item", {{"big", Value(INT64_MAX)}, {"ratio", Value(kTwo63)}});
    rows_.clear();
    Ref<Error> error;
    auto all = coordinator_->executeFetchRequest(FetchRequest("Item"), &error);
    ASSERT_TRUE(all);
    rows_ = std::move(all->rows);
    const Value nan(std::nan(""));
    const Value nanDate(Date::fromSinceReferenceDate(std::nan("")));
    const Value u63plus1(Number::of(std::uint64_t{9223372036854775809u}));
    expectAgreement({
        {"ratio = %@", {nan}, 0},
        {"ratio != %@", {nan}, 8},
        {"ratio < %@", {nan}, 0},
        {"ratio >= %@", {nan}, 0},
        {"count = %@", {nan}, 0},
        {"count > %@", {nan}, 0},
        {"count != %@", {nan}, 8},
        {"big >= %@", {Value(Decimal::notANumber())}, 0},
        {"price = %@", {nan}, 0},
        {"price <= %@", {Value(Decimal::notANumber())}, 0},
        {"when = %@", {nanDate}, 0},
        {"when > %@", {nanDate}, 0},
        {"when != %@", {nanDate}, 8},
        {"NOT (ratio < %@)", {nan}, 8},
        {"big = %@", {Value(kTwo53)}, 0},
        {"big > %@", {Value(kTwo53)}, 2},
        {"big >= %@", {Value(kTwo63)}, 0},
        {"big < %@", {Value(kTwo63)}, 6},
        {"ratio = %@", {Value(kAbove53)}, 0},
        {"ratio < %@", {Value(kAbove53)}, 5},
        {"ratio = %@", {Value(INT64_MAX)}, 0},
        {"ratio > %@", {Value(INT64_MAX)}, 1},
        {"ratio = %@", {u63plus1}, 0},
        {"ratio < %@", {u63plus1}, 6},
        {"ratio >= %@", {u63plus1}, 0},
        {"big < ratio", {}, 2},
        {"big = ratio", {}, 2},  // both nil
        {"big > ratio", {}, 4},
    });
}

TEST_F(PredicateAgreement, WhatSQLCannotDecideIsEvaluatedOnTheRows) {
    Ref<Error> error;
    auto p = Predicate::parse("extra = %@ AND count > 0", {Value(Dictionary{{"k", Value("v")}})}, &error);
    ASSERT_TRUE(p);
    EXPECT_FALSE(p->sqlForEntity(*coordinator_->managedObjectModel()->entityNamed("Item"), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kObjectStoreError);
    const auto memory = memoryKeys(*p);
    EXPECT_EQ(memory.size(), 1u);
    EXPECT_EQ(storeKeys(p), memory);
    // Also with limit and offset, which then apply after the rows are filtered.
    auto q = Predicate::parse("extra = nil OR extra = %@", {Value(Dictionary{{"k", Value("v")}})}, &error);
    FetchRequest request("Item");
    request.setPredicate(q);
    request.setFetchOffset(2);
    request.setFetchLimit(3);
    auto result = coordinator_->executeFetchRequest(request, &error);
    ASSERT_TRUE(result);
    ASSERT_EQ(result->rows.size(), 3u);
    EXPECT_EQ(result->rows[0].objectID->key(), rows_[2].objectID->key());
}

TEST_F(PredicateAgreement, UnknownKeysAndUnfetchableKeysAreErrors) {
    for (const char* format : {"colour = 1", "owner.name = 'a'", "count = 1 AND nope = 2", "NOT nope = 1"}) {
        Ref<Error> error;
        auto p = Predicate::parse(format, {}, &error);
        ASSERT_TRUE(p);
        FetchRequest request("Item");
        request.setPredicate(p);
        EXPECT_FALSE(coordinator_->executeFetchRequest(request, &error)) << format;
        ASSERT_TRUE(error) << format;
        EXPECT_EQ(error->domain(), kCocoaErrorDomain);
        EXPECT_EQ(error->code(), kObjectStoreError);
        EXPECT_FALSE(coordinator_->countForFetchRequest(request, nullptr)) << format;
    }
    Ref<Error> error;
    FetchRequest toMany("Owner");
    toMany.setPredicate(Predicate::parse("items = nil", {}, nullptr));
    EXPECT_FALSE(coordinator_->executeFetchRequest(toMany, &error));
    EXPECT_TRUE(error);
}

// ---- sort order: SQL against memory ----

TEST_F(PredicateAgreement, SortOrderAgrees) {
    const std::vector<std::vector<SortDescriptor>> cases = {
        {SortDescriptor("count", true)},
        {SortDescriptor("count", false)},
        {SortDescriptor("name", true)},
        {SortDescriptor("name", false)},
        {SortDescriptor("price", true)},
        {SortDescriptor("price", false)},
        {SortDescriptor("ratio", true)},
        {SortDescriptor("when", false)},
        {SortDescriptor("flag", true), SortDescriptor("count", false)},
        {SortDescriptor("blob", true)},
        {SortDescriptor("owner", true), SortDescriptor("name", true)},
        {SortDescriptor("extra", true)},  // sorted in memory
        {},
    };
    for (const auto& descriptors : cases) {
        FetchRequest request("Item");
        request.setSortDescriptors(descriptors);
        Ref<Error> error;
        auto result = coordinator_->executeFetchRequest(request, &error);
        ASSERT_TRUE(result) << error->description();
        std::vector<std::int64_t> fromStore;
        for (const auto& r : result->rows) fromStore.push_back(r.objectID->key());

        std::vector<RowSnapshot> memory = rows_;
        std::stable_sort(memory.begin(), memory.end(), [&](const RowSnapshot& a, const RowSnapshot& b) {
            for (const auto& d : descriptors) {
                if (int c = d.compare(a.value(d.key()), b.value(d.key()))) return c < 0;
            }
            return a.objectID->key() < b.objectID->key();
        });
        std::vector<std::int64_t> inMemory;
        for (const auto& r : memory) inMemory.push_back(r.objectID->key());
        std::string label;
        for (const auto& d : descriptors) label += d.description();
        EXPECT_EQ(fromStore, inMemory) << label;
    }
}

TEST(SortRule, NilFirstNumbersByValueTextByCodePoints) {
    std::vector<Value> values{Value("b"), Value(), Value(dec("2.5")), Value(2), Value("B"), Value(10), Value("\xc3\xa9"), Value(-1.5)};
    std::stable_sort(values.begin(), values.end(), [](const Value& a, const Value& b) { return compareForSort(a, b) < 0; });
    const std::vector<Value> expected{Value(), Value(-1.5), Value(2), Value(dec("2.5")), Value(10), Value("B"), Value("b"), Value("\xc3\xa9")};
    EXPECT_EQ(values, expected);
    SortDescriptor descending("k", false);
    EXPECT_GT(descending.compare(Value(), Value(1)), 0);  // nil last when descending
    EXPECT_EQ(descending.description(), "(k, descending, compare:)");
    EXPECT_EQ(descending.reversed().compare(Value(), Value(1)), -1);
}

}  // namespace
}  // namespace lv
