// The runs of consecutive keys a fetch leaves out in SQL: keys close together (read off a table over
// their span) and keys far apart (sorted) give the same runs: the longest few of at least eight keys,
// in key order, each key once, only of the store's own entity.
#include <gtest/gtest.h>

#include <limits>

#include "data_test_support.h"
#include "platform/data/detail/store.h"

namespace lv {
namespace {

TEST(SQLiteStore, KeyRunsAreTheLongestRunsInKeyOrderHoweverFarApartTheKeysLie) {
    auto model = test::makeItemModel();
    data_detail::SQLiteStore store(model);
    ASSERT_TRUE(store.open(":memory:", {}, nullptr));
    auto item = model->entityNamed("Item");
    auto owner = model->entityNamed("Owner");
    using Runs = std::vector<std::pair<std::int64_t, std::int64_t>>;
    auto range = [](std::int64_t first, std::int64_t last) {
        std::vector<std::int64_t> keys;
        for (std::int64_t k = first;; ++k) {  // up to the top of the key space
            keys.push_back(k);
            if (k == last) break;
        }
        return keys;
    };
    auto join = [](std::vector<std::vector<std::int64_t>> parts) {
        std::vector<std::int64_t> keys;
        for (auto& part : parts) keys.insert(keys.end(), part.begin(), part.end());
        return keys;
    };
    constexpr std::int64_t kTop = std::numeric_limits<std::int64_t>::max();
    struct Case {
        const char* name;
        std::vector<std::int64_t> keys;
        Runs want;
    };
    const std::vector<Case> cases = {
        {"one run", range(1, 8), {{1, 8}}},
        {"too short", range(1, 7), {}},
        {"a key close by", join({range(1, 20), {50}}), {{1, 20}}},
        {"a key far away", join({range(1, 20), {100}}), {{1, 20}}},
        {"named twice, out of order", join({{14, 13}, range(5, 14), {5, 6}}), {{5, 14}}},
        {"broken by a missing key", join({range(1, 9), range(11, 30)}), {{1, 9}, {11, 30}}},
        {"the four longest of six, close", join({range(1, 8), range(10, 20), range(22, 29), range(31, 45), range(47, 56), range(58, 70)}),
         {{10, 20}, {31, 45}, {47, 56}, {58, 70}}},
        {"the four longest of six, far apart",
         join({range(1, 8), range(1000, 1010), range(2000, 2007), range(3000, 3014), range(4000, 4009), range(9000, 9012)}),
         {{1000, 1010}, {3000, 3014}, {4000, 4009}, {9000, 9012}}},
        {"at the top of the key space", join({range(kTop - 9, kTop), {1}}), {{kTop - 9, kTop}}},
        {"close to the top", range(kTop - 9, kTop), {{kTop - 9, kTop}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Ref<ManagedObjectID>> ids;
        for (const std::int64_t key : c.keys) ids.push_back(ManagedObjectID::makePermanent(item, store.identifier(), key));
        // Keys of another entity and another store among them count for nothing.
        for (std::int64_t key = 100; key < 140; ++key) ids.push_back(ManagedObjectID::makePermanent(owner, store.identifier(), key));
        for (std::int64_t key = 200; key < 240; ++key) ids.push_back(ManagedObjectID::makePermanent(item, "another store", key));
        std::vector<const ManagedObjectID*> pointers;
        for (const auto& id : ids) pointers.push_back(id.get());
        EXPECT_EQ(store.keyRuns(*item, pointers), c.want);
    }
}

}  // namespace
}  // namespace lv
