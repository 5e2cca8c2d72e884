// Writing many rows at once: deletes of rows nothing points at, several keys to a statement, as
// another reader of the file sees them; and the direct comparison of object IDs the contexts use.
#include <gtest/gtest.h>

#include <optional>
#include <set>

#include "data_test_support.h"
#include "platform/data/errors.h"

namespace lv {
namespace {

using test::rawTexts;
using test::TempDir;

// ID equality, with and without finding out the other object's kind: the same answers for every pair.
TEST(ObjectIDs, EqualityAgreesWithAndWithoutTheObjectsKind) {
    auto model = test::makeItemModel();
    auto item = model->entityNamed("Item");
    auto owner = model->entityNamed("Owner");
    auto itemAgain = EntityDescription::make("Item");  // another description of the same name
    auto t1 = ManagedObjectID::makeTemporary(item);
    struct Case {
        Ref<ManagedObjectID> a, b;
        bool equal;
    };
    const std::vector<Case> cases = {
        {ManagedObjectID::makePermanent(item, "S", 5), ManagedObjectID::makePermanent(item, "S", 5), true},
        {ManagedObjectID::makePermanent(item, "S", 5), ManagedObjectID::makePermanent(itemAgain, "S", 5), true},
        {ManagedObjectID::makePermanent(item, "S", 5), ManagedObjectID::makePermanent(item, "S", 6), false},
        {ManagedObjectID::makePermanent(item, "S", 5), ManagedObjectID::makePermanent(item, "T", 5), false},
        {ManagedObjectID::makePermanent(item, "S", 5), ManagedObjectID::makePermanent(owner, "S", 5), false},
        {t1, t1, true},
        {t1, ManagedObjectID::makeTemporary(item), false},
        {t1, ManagedObjectID::makePermanent(item, "S", t1->key()), false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        EXPECT_EQ(c.a->isEqualToID(*c.b), c.equal);
        EXPECT_EQ(c.b->isEqualToID(*c.a), c.equal);
        EXPECT_EQ(c.a->isEqual(*c.b), c.equal);
        if (c.equal) {
            EXPECT_EQ(c.a->hash(), c.b->hash());
        }
    }
    EXPECT_FALSE(t1->isEqual(*Error::make("d", 1)));
}

// Deletes of rows nothing points at go several keys to a statement: every count of rows around the
// statement sizes, keys in any order, runs of two entities alternating; exactly those rows go, as another
// reader of the file sees them. A version conflict among them fails the save and deletes nothing.
TEST(SQLiteStore, DeletesOfManyRowsRemoveExactlyThoseRows) {
    TempDir dir;
    const std::string path = dir.file("deletes.sqlite");
    auto c = test::openCoordinator(ManagedObjectModel::mergedModelFromDirectories({test::bundleDirectory()}), path);
    ASSERT_TRUE(c);
    auto news = c->managedObjectModel()->entityNamed("News");
    auto charts = c->managedObjectModel()->entityNamed("Toptenz");
    ASSERT_TRUE(news && charts && news->relationships().empty() && charts->relationships().empty());
    ChangeSet rows;
    for (int k = 0; k < 600; ++k) rows.inserts.push_back({ManagedObjectID::makeTemporary(news), {{"msgId", Value("n" + std::to_string(k))}}});
    for (int k = 0; k < 40; ++k) rows.inserts.push_back({ManagedObjectID::makeTemporary(charts), {{"title", Value("t" + std::to_string(k))}}});
    SaveResult inserted;
    Ref<Error> error;
    ASSERT_TRUE(c->saveChanges(rows, &inserted, &error)) << error->description();
    std::vector<Ref<ManagedObjectID>> newsIDs, chartIDs;
    for (const auto& [temporary, id] : inserted.permanentIDs) (id->entity()->name() == "News" ? newsIDs : chartIDs).push_back(id);
    ASSERT_EQ(newsIDs.size(), 600u);
    std::set<std::int64_t> newsLeft, chartsLeft;
    for (const auto& id : newsIDs) newsLeft.insert(id->key());
    for (const auto& id : chartIDs) chartsLeft.insert(id->key());
    auto keysInFile = [&](const char* entity) {
        std::set<std::int64_t> out;
        for (const auto& text : rawTexts(path, std::string("SELECT \"_pk\" FROM \"") + entity + "\"")) out.insert(std::stoll(text));
        return out;
    };
    std::size_t next = 0;  // newsIDs[next...] are still stored; taken from both ends in turn
    std::size_t last = newsIDs.size();
    std::size_t chart = 0;
    for (const std::size_t count : {1u, 4u, 5u, 15u, 16u, 17u, 63u, 64u, 65u, 129u, 200u}) {
        SCOPED_TRACE(count);
        ChangeSet deletes;
        for (std::size_t k = 0; k < count; ++k) {
            const Ref<ManagedObjectID>& id = k % 2 ? newsIDs[--last] : newsIDs[next++];
            deletes.deletes.push_back({id, k % 3 == 0 ? std::optional<std::int64_t>(1) : std::nullopt});
            newsLeft.erase(id->key());
            if (k % 50 == 7 && chart < chartIDs.size()) {  // another entity in between
                deletes.deletes.push_back({chartIDs[chart], std::nullopt});
                chartsLeft.erase(chartIDs[chart++]->key());
            }
        }
        ASSERT_TRUE(c->saveChanges(deletes, nullptr, &error)) << error->description();
        EXPECT_EQ(keysInFile("News"), newsLeft);
        EXPECT_EQ(keysInFile("Toptenz"), chartsLeft);
    }
    ASSERT_EQ(newsLeft.size(), 21u);
    // A row named twice: with version checks the second finds it gone (a conflict, nothing deleted);
    // without, the second delete has nothing left to do.
    const auto twice = ManagedObjectID::makePermanent(news, newsIDs[0]->storeIdentifier(), *newsLeft.begin());
    ChangeSet checkedTwice;
    checkedTwice.deletes.push_back({twice, 1});
    checkedTwice.deletes.push_back({twice, 1});
    EXPECT_FALSE(c->saveChanges(checkedTwice, nullptr, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kManagedObjectMergeError);
    ASSERT_EQ(error->userInfo().get(kConflictListKey).count(), 1u);
    EXPECT_TRUE(error->userInfo().get(kConflictListKey)[0]["currentVersion"].isNil());
    EXPECT_EQ(keysInFile("News"), newsLeft);
    ChangeSet uncheckedTwice;
    uncheckedTwice.deletes.push_back({twice, std::nullopt});
    uncheckedTwice.deletes.push_back({twice, std::nullopt});
    ASSERT_TRUE(c->saveChanges(uncheckedTwice, nullptr, &error)) << error->description();
    newsLeft.erase(twice->key());
    EXPECT_EQ(keysInFile("News"), newsLeft);
    ChangeSet conflicting;
    for (std::int64_t key : newsLeft) conflicting.deletes.push_back({ManagedObjectID::makePermanent(news, newsIDs[0]->storeIdentifier(), key), std::nullopt});
    conflicting.deletes.push_back({chartIDs.back(), 2});  // the row is at version 1
    EXPECT_FALSE(c->saveChanges(conflicting, nullptr, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kManagedObjectMergeError);
    EXPECT_EQ(keysInFile("News"), newsLeft);
    EXPECT_EQ(keysInFile("Toptenz"), chartsLeft);
}

}  // namespace
}  // namespace lv
