// The pieces the two context levels share on every save: the sets of unsaved deletions a fetch reads,
// and the merge of a did-save into a context.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "context_test_support.h"
#include "platform/data/detail/context_impl.h"

namespace lv {
namespace {

using test::fetch;
using test::insert;
using test::request;
using test::Stack;

// Every ID added answers 1 and is visited once however often it was added (also as an equal but
// distinct ID); no other ID answers: not one of another entity or store, nor another key.
TEST(IDSets, AnswerForEachIDAddedAndNoOther) {
    auto news = EntityDescription::make("News", "News");
    auto other = EntityDescription::make("Toptenz", "Toptenz");
    struct Case {
        std::size_t count;
        std::size_t room;  // reserved first (0: nothing reserved)
    };
    for (const Case c : {Case{0, 0}, Case{1, 1}, Case{7, 7}, Case{8, 2}, Case{9, 0}, Case{3000, 3000}, Case{3000, 10}}) {
        SCOPED_TRACE(c.count);
        std::vector<Ref<ManagedObjectID>> added;  // distinct
        for (std::size_t i = 0; i < c.count; ++i) {
            added.push_back(i % 3 == 0 ? ManagedObjectID::makeTemporary(news)
                                       : ManagedObjectID::makePermanent(news, "S", static_cast<std::int64_t>(i + 1)));
        }
        data_detail::IDSet set;
        if (c.room) set.reserve(c.room);
        for (std::size_t i = 0; i < added.size(); ++i) {
            set.add(added[i]);
            if (i % 5 == 0) set.add(added[i / 2]);  // again, the same ID
            if (i % 3 != 0 && i % 4 == 1) {         // again, an equal permanent ID made anew
                set.add(ManagedObjectID::makePermanent(news, "S", static_cast<std::int64_t>(i + 1)));
            }
        }
        EXPECT_EQ(set.size(), added.size());
        EXPECT_EQ(set.empty(), added.empty());
        std::vector<const ManagedObjectID*> visited;
        set.forEach([&](const Ref<ManagedObjectID>& id) { visited.push_back(id.get()); });
        std::vector<const ManagedObjectID*> expected;
        for (const auto& id : added) expected.push_back(id.get());
        std::sort(visited.begin(), visited.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(visited, expected);
        std::size_t missing = 0;
        std::size_t strangers = 0;
        for (std::size_t i = 0; i < added.size(); ++i) {
            missing += set.count(added[i]) != 1;
            const auto key = static_cast<std::int64_t>(i + 1);
            if (i % 3 != 0) missing += set.count(ManagedObjectID::makePermanent(news, "S", key)) != 1;
            strangers += set.count(ManagedObjectID::makePermanent(other, "S", key));
            strangers += set.count(ManagedObjectID::makePermanent(news, "T", key));
            strangers += set.count(ManagedObjectID::makePermanent(news, "S", key + 100000));
            strangers += set.count(ManagedObjectID::makeTemporary(news));
        }
        EXPECT_EQ(missing, 0u);
        EXPECT_EQ(strangers, 0u);
        EXPECT_EQ(set.count(nullptr), 0u);
        set.add(nullptr);
        EXPECT_EQ(set.count(nullptr), 1u);
        EXPECT_EQ(set.size(), added.size() + 1);
    }
}

// A did-save naming records and IDs of every kind, merged into a context: deletions it holds are
// dropped (also one named by a temporary ID that has its permanent ID since), others and values that
// name no record are passed over; updated records it holds take the new values (a fault is only
// marked refreshed), those it does not hold stay unknown; an inserted record it does not hold is
// registered, one it holds takes the new values (announced after the updated ones) or, with the
// same values, stays unannounced. One announcement, in this order.
TEST(Merges, ADidSaveNamingEveryKindOfRecordMergesEachOnceInOrder) {
    Stack s;
    std::map<std::string, Ref<ManagedObject>> mine;  // the main context's, by msgId
    s.main->performAndWait([&] {
        for (const char* id : {"n1", "n2", "n3", "n4", "n5", "n6"}) mine[id] = insert(s.main, "News", {{"msgId", Value(id)}, {"title", Value(id)}});
    });
    ASSERT_TRUE(s.saveAll());
    Ref<ManagedObject> late;
    Ref<ManagedObjectID> lateTemporary;
    s.main->performAndWait([&] {
        late = insert(s.main, "News", {{"msgId", Value("late")}});
        lateTemporary = late->objectID();
        ASSERT_TRUE(s.main->obtainPermanentIDsForObjects({late}, nullptr));
        s.main->refreshObject(mine["n3"], false);  // a fault now
        s.main->processPendingChanges();
    });
    // The root's records, and rows the main context never saw.
    std::map<std::string, Ref<ManagedObject>> theirs;
    Ref<ManagedObjectID> r4Temporary;
    s.root->performAndWait([&] {
        for (const auto& o : fetch(s.root, request("News"))) theirs[o->valueForKey("msgId").string()] = o;
        theirs["n2"]->setValueForKey(Value("n2, new"), "title");
        theirs["n6"]->setValueForKey(Value("n6, new"), "title");
        for (const char* id : {"r1", "r2", "r3", "r4"}) theirs[id] = insert(s.root, "News", {{"msgId", Value(id)}, {"title", Value(id)}});
        r4Temporary = theirs["r4"]->objectID();  // the save gives it its permanent ID
        ASSERT_TRUE(s.root->save(nullptr));
    });
    std::vector<Dictionary> changes;
    NotificationCenter::defaultCenter()->addObserver(&changes, kManagedObjectContextObjectsDidChangeNotification, s.main,
                                                     [&](const Notification& n) { changes.push_back(n.userInfo()); });
    s.main->performAndWait([&] {
        const Dictionary info{
            {std::string(kDeletedObjectsKey), Value(Array{Value(theirs["n4"]), Value("not a record"), Value(theirs["r3"]->objectID()),
                                                          Value(mine["n5"]->objectID()), Value(lateTemporary)})},
            {std::string(kUpdatedObjectsKey), Value(Array{Value(theirs["n1"]), Value(theirs["n2"]), Value(theirs["r2"]->objectID()),
                                                          Value(mine["n3"]->objectID())})},
            {std::string(kInsertedObjectsKey), Value(Array{Value(theirs["r1"]), Value(mine["n1"]), Value(Array()), Value(theirs["n6"]), Value(r4Temporary)})}};
        s.main->mergeChangesFromUserInfo(info);
    });
    NotificationCenter::defaultCenter()->removeObserver(&changes);
    ASSERT_EQ(changes.size(), 1u);
    const Dictionary& change = changes[0];
    EXPECT_EQ(change.get(kDeletedObjectsKey), Value(Array{Value(mine["n4"]), Value(mine["n5"]), Value(late)}));
    EXPECT_EQ(change.get(kRefreshedObjectsKey), Value(Array{Value(mine["n3"]), Value(mine["n2"]), Value(mine["n6"])}));
    EXPECT_FALSE(change.contains(kUpdatedObjectsKey));
    ASSERT_EQ(change.get(kInsertedObjectsKey).count(), 2u);
    auto r1 = change.get(kInsertedObjectsKey)[0].objectAs<ManagedObject>();
    auto r4 = change.get(kInsertedObjectsKey)[1].objectAs<ManagedObject>();
    s.main->performAndWait([&] {
        EXPECT_EQ(r1->valueForKey("title"), Value("r1"));
        EXPECT_EQ(s.main->objectRegisteredForID(theirs["r1"]->objectID()), r1);
        // Registered under the permanent ID its temporary one has now.
        EXPECT_EQ(r4->valueForKey("title"), Value("r4"));
        EXPECT_FALSE(r4->objectID()->isTemporaryID());
        EXPECT_TRUE(r4->objectID()->isEqual(*theirs["r4"]->objectID()));
        EXPECT_FALSE(s.main->objectRegisteredForID(theirs["r2"]->objectID()));
        EXPECT_FALSE(s.main->objectRegisteredForID(theirs["r3"]->objectID()));
        for (const char* gone : {"n4", "n5"}) {
            EXPECT_FALSE(mine[gone]->managedObjectContext()) << gone;
            EXPECT_FALSE(s.main->objectRegisteredForID(mine[gone]->objectID())) << gone;
        }
        EXPECT_FALSE(late->managedObjectContext());
        EXPECT_EQ(mine["n2"]->valueForKey("title"), Value("n2, new"));
        EXPECT_EQ(mine["n6"]->valueForKey("title"), Value("n6, new"));
        EXPECT_TRUE(mine["n3"]->isFault());
        EXPECT_EQ(mine["n3"]->valueForKey("title"), Value("n3"));
        EXPECT_EQ(mine["n1"]->valueForKey("title"), Value("n1"));
        EXPECT_FALSE(s.main->hasChanges());
        // The merged versions are the rows': the next saves meet no conflict.
        mine["n1"]->setValueForKey(Value("n1, mine"), "title");
        mine["n2"]->setValueForKey(Value("n2, mine"), "title");
    });
    Ref<Error> error;
    EXPECT_TRUE(s.saveAll(&error)) << test::describe(error);
}

// The IDs of a context's saved deletions, kept for its fetches, are let go once nothing is deleted
// there any more (the next fetch finds the list empty), whichever entity they were of.
TEST(Fetches, IDsOfSavedDeletionsAreLetGo) {
    Stack s;
    s.main->performAndWait([&] {
        for (int i = 0; i < 4; ++i) {
            insert(s.main, "News", {{"msgId", Value("m" + std::to_string(i))}});
            insert(s.main, "Toptenz", {{"title", Value("t" + std::to_string(i))}});
        }
    });
    ASSERT_TRUE(s.saveAll());
    std::vector<Weak<ManagedObjectID>> ids;
    s.main->performAndWait([&] {
        for (const char* entity : {"News", "Toptenz"}) {
            auto all = fetch(s.main, request(entity));
            ASSERT_EQ(all.size(), 4u);
            for (std::size_t i = 0; i < 3; ++i) {
                ids.push_back(all[i]->objectID());
                s.main->deleteObject(all[i]);
            }
            EXPECT_EQ(fetch(s.main, request(entity)).size(), 1u);  // keeps the deletions' IDs
        }
    });
    ASSERT_TRUE(s.saveAll());
    s.main->performAndWait([&] {
        EXPECT_EQ(fetch(s.main, request("News")).size(), 1u);
        EXPECT_EQ(fetch(s.main, request("Toptenz")).size(), 1u);
    });
    EXPECT_TRUE(runMainUntil([&] { return std::all_of(ids.begin(), ids.end(), [](const Weak<ManagedObjectID>& w) { return w.expired(); }); }, 10));
    // And deletions after that are kept and hidden again.
    s.main->performAndWait([&] {
        s.main->deleteObject(fetch(s.main, request("Toptenz"))[0]);
        EXPECT_TRUE(fetch(s.main, request("Toptenz")).empty());
        EXPECT_EQ(fetch(s.main, request("News")).size(), 1u);
    });
}

}  // namespace
}  // namespace lv
