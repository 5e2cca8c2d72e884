// The app's road through the object store: a private root over the SQLite file and a main-queue child;
// records saved through the root, read back by a new coordinator, conflicts with another writer, the app's synchronous save with its observers.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "context_test_support.h"
#include "support/raw_sqlite.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/thread.h"
#include "platform/runtime/runtime.h"

namespace lv {
namespace {

using test::fetch;
using test::insert;
using test::request;
using test::Stack;

TEST(MainRoad, SaveChildThenRootReachesTheFileAndLosesNothing) {
    Stack s;
    Ref<ManagedObject> first;
    s.main->performAndWait([&] {
        first = insert(s.main, "News", {{"msgId", Value("m1")}, {"title", Value("First")}});
        insert(s.main, "News", {{"msgId", Value("m2")}, {"title", Value("Second")}});
    });
    Ref<Error> error;
    bool ok = false;
    s.main->performAndWait([&] { ok = s.main->save(&error); });
    ASSERT_TRUE(ok) << test::describe(error);
    // Pushed into the root only: the file has nothing yet, the root sees both.
    EXPECT_EQ(test::rowsInFile(s.coordinator->managedObjectModel(), s.path, "News"), 0u);
    EXPECT_EQ(fetch(s.root, request("News")).size(), 2u);
    s.root->performAndWait([&] { ok = s.root->save(&error); });
    ASSERT_TRUE(ok) << test::describe(error);
    EXPECT_EQ(test::rowsInFile(s.coordinator->managedObjectModel(), s.path, "News"), 2u);

    // The child still has its records, now clean, and finds them under their permanent IDs.
    s.main->performAndWait([&] {
        EXPECT_FALSE(s.main->hasChanges());
        EXPECT_EQ(first->valueForKey("title"), Value("First"));
        auto all = fetch(s.main, request("News", nullptr, {SortDescriptor("msgId", true)}));
        ASSERT_EQ(all.size(), 2u);
        EXPECT_EQ(all[0], first);
        EXPECT_FALSE(first->objectID()->isTemporaryID());
        EXPECT_EQ(s.main->existingObjectWithID(first->objectID(), nullptr), first);
    });

    // A new coordinator over the file reads the rows back.
    auto other = test::openCoordinator(test::contentModel(), s.path);
    ASSERT_TRUE(other);
    auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(other);
    auto back = fetch(context, request("News", nullptr, {SortDescriptor("msgId", true)}));
    EXPECT_EQ(test::texts(back, "title"), (std::vector<std::string>{"First", "Second"}));
    EXPECT_TRUE(back[0]->objectID()->isEqual(*first->objectID()));
}

// Hundreds of new records of two entities in alternating runs, some texts left nil, integers given in
// their stored form and in another one, one value set twice: the file holds every row once, under keys
// given in the order the records were made, with exactly the values set; both contexts hold each
// record under its permanent ID afterwards.
TEST(MainRoad, ManyNewRecordsInAlternatingRunsReachTheFileExactly) {
    Stack s;
    struct Made {
        Ref<ManagedObject> record;
        std::string entity;
        std::int64_t key;  // expected: the n-th record of its entity gets key n
        std::string title;
    };
    std::vector<Made> made;
    std::int64_t toptenzCount = 0;
    std::int64_t newsCount = 0;
    s.main->performAndWait([&] {
        for (int i = 0; i < 300; ++i) {
            const std::string n = std::to_string(i);
            const bool chart = (i / 7) % 2 == 0;  // runs of 7 of one entity, then 7 of the other
            Ref<ManagedObject> o;
            if (chart) {
                o = insert(s.main, "Toptenz", {{"title", Value("song " + n)}, {"rank", Value(std::int64_t{i})}, {"sid", Value(i % 5)}});
                if (i % 3 != 0) o->setValueForKey(Value("\xe6\xad\x8c " + n), "title_cn");  // else left nil
                made.push_back({o, "Toptenz", ++toptenzCount, "song " + n});
            } else {
                o = insert(s.main, "News", {{"msgId", Value("m" + n)}, {"title", Value("draft")}});
                o->setValueForKey(Value("story " + n), "title");  // the later value wins
                made.push_back({o, "News", ++newsCount, "story " + n});
            }
        }
    });
    Ref<Error> error;
    ASSERT_TRUE(s.saveAll(&error)) << test::describe(error);

    // SQLite's own reader: every row once, keys in the order the records were made.
    std::vector<std::string> charts;
    std::vector<std::string> news;
    for (std::size_t i = 0; i < made.size(); ++i) {
        const std::string n = std::to_string(i);
        if (made[i].entity == "Toptenz") {
            charts.push_back(std::to_string(made[i].key) + "|song " + n + "|" + n + "|" + std::to_string(i % 5) + "|" +
                             (i % 3 != 0 ? "\xe6\xad\x8c " + n : std::string("<null>")));
        } else {
            news.push_back(std::to_string(made[i].key) + "|m" + n + "|story " + n);
        }
    }
    EXPECT_EQ(test::rawTexts(s.path, "SELECT \"_pk\" || '|' || \"title\" || '|' || \"rank\" || '|' || \"sid\" || '|' || "
                                     "coalesce(\"title_cn\", '<null>') FROM \"Toptenz\" ORDER BY \"_pk\""),
              charts);
    EXPECT_EQ(test::rawTexts(s.path, "SELECT \"_pk\" || '|' || \"msgId\" || '|' || \"title\" FROM \"News\" ORDER BY \"_pk\""), news);

    // Each record of the child (moved to its permanent ID by the child's next look-up, here a fetch),
    // and its twin in the root, under the permanent ID of its row.
    EXPECT_EQ(fetch(s.main, request("Toptenz")).size(), static_cast<std::size_t>(toptenzCount));
    std::vector<Ref<ManagedObjectID>> ids;
    s.main->performAndWait([&] {
        for (const auto& m : made) {
            auto id = m.record->objectID();
            EXPECT_FALSE(id->isTemporaryID());
            EXPECT_EQ(id->key(), m.key);
            EXPECT_EQ(id->entity()->name(), m.entity);
            EXPECT_EQ(s.main->objectRegisteredForID(id), m.record);
            EXPECT_EQ(m.record->valueForKey("title"), Value(m.title));
            ids.push_back(id);
        }
        EXPECT_FALSE(s.main->hasChanges());
    });
    s.root->performAndWait([&] {
        for (std::size_t i = 0; i < made.size(); ++i) {
            auto twin = s.root->objectRegisteredForID(ids[i]);
            ASSERT_TRUE(twin) << i;
            EXPECT_NE(twin, made[i].record);
            EXPECT_TRUE(twin->objectID()->isEqual(*ids[i]));
            EXPECT_EQ(twin->valueForKey("title"), Value(made[i].title));
        }
        EXPECT_FALSE(s.root->hasChanges());
    });
}

// Saved deletions at both levels: each did-save names the deleted records, which an observer may keep
// and read as they were (values, permanent IDs, out of every context); the ones nobody keeps are let
// go, and the rows are gone from the file.
TEST(MainRoad, SavedDeletionsAreAnnouncedIntactAndLetGo) {
    Stack s;
    s.main->performAndWait([&] {
        for (int i = 0; i < 6; ++i) insert(s.main, "News", {{"msgId", Value("m" + std::to_string(i))}, {"title", Value("t" + std::to_string(i))}});
    });
    ASSERT_TRUE(s.saveAll());
    auto center = NotificationCenter::defaultCenter();
    std::map<const void*, std::vector<Ref<ManagedObject>>> kept;  // by context: the first deleted record named
    std::map<const void*, std::vector<std::string>> named;        // by context: the deleted records' keys
    std::vector<Ref<Object>> tokens;
    for (const auto& context : {s.main, s.root}) {
        const void* at = context.get();
        tokens.push_back(center->addObserverForName(
            kManagedObjectContextDidSaveNotification, context, nullptr, [&kept, &named, at](const Notification& n) {
                for (const Value& v : n.userInfo().get(kDeletedObjectsKey).array()) {
                    auto record = ManagedObject::fromValue(v);
                    ASSERT_TRUE(record);
                    named[at].push_back(record->objectID()->URIRepresentation());
                    if (kept[at].empty()) kept[at].push_back(record);
                }
            }));
    }
    std::vector<Weak<ManagedObject>> gone;  // both levels' deleted records
    std::vector<std::string> deletedKeys;
    s.main->performAndWait([&] {
        for (const auto& o : fetch(s.main, request("News", nullptr, {SortDescriptor("msgId", true)}))) {
            const std::string msgId = o->valueForKey("msgId").string();
            if (msgId == "m1" || msgId == "m2" || msgId == "m4") {
                deletedKeys.push_back(o->objectID()->URIRepresentation());
                gone.push_back(o);
                s.root->performAndWait([&] { gone.push_back(s.root->objectRegisteredForID(o->objectID())); });
                s.main->deleteObject(o);
            }
        }
    });
    ASSERT_EQ(gone.size(), 6u);
    ASSERT_TRUE(s.saveAll());
    for (auto& token : tokens) center->removeObserver(token.get());

    EXPECT_EQ(named[s.main.get()], deletedKeys);
    EXPECT_EQ(named[s.root.get()], deletedKeys);
    for (const auto& context : {s.main, s.root}) {
        ASSERT_EQ(kept[context.get()].size(), 1u);
        const auto& record = kept[context.get()][0];
        EXPECT_EQ(record->valueForKey("msgId"), Value("m1"));
        EXPECT_EQ(record->valueForKey("title"), Value("t1"));
        EXPECT_EQ(record->objectID()->URIRepresentation(), deletedKeys[0]);
        EXPECT_FALSE(record->managedObjectContext());
        EXPECT_FALSE(record->isDeleted());
        context->performAndWait([&] { EXPECT_FALSE(context->objectRegisteredForID(record->objectID())); });
    }
    // Nobody else holds the other deleted records: they are freed (the kept ones stay).
    EXPECT_TRUE(runMainUntil(
        [&] { return std::count_if(gone.begin(), gone.end(), [](const Weak<ManagedObject>& w) { return w.expired(); }) == 4; }, 10));
    kept.clear();
    EXPECT_TRUE(runMainUntil([&] { return std::all_of(gone.begin(), gone.end(), [](const Weak<ManagedObject>& w) { return w.expired(); }); }, 10));
    EXPECT_EQ(test::rawTexts(s.path, "SELECT \"msgId\" FROM \"News\" ORDER BY \"msgId\""), (std::vector<std::string>{"m0", "m3", "m5"}));
}

// A record class that notes the thread each of its records is freed on.
class NotedRecord : public ManagedObject {
public:
    ~NotedRecord() override {
        std::lock_guard lock(mutex());
        freedOn().push_back(std::this_thread::get_id());
    }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = RecordClassDef<NotedRecord>("NotedRecord").attribute("name", "String").registerClass();
        return cls;
    }
    static std::vector<std::thread::id> freed() {
        std::lock_guard lock(mutex());
        return freedOn();
    }
    static void forget() {
        std::lock_guard lock(mutex());
        freedOn().clear();
    }

private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::thread::id>& freedOn() {
        static std::vector<std::thread::id> threads;
        return threads;
    }
};

TEST(MainRoad, RecordsASaveLetsGoAreFreedOnTheMainThreadWhenItsLoopRunsAndElsewhereWhenItDoesNot) {
    NotedRecord::runtimeClass();
    auto model = makeRef<ManagedObjectModel>();
    auto entity = EntityDescription::make("Noted", "NotedRecord");
    entity->addAttribute(AttributeDescription::make("name", AttributeType::String));
    model->addEntity(entity);
    for (const bool inLoop : {true, false}) {
        SCOPED_TRACE(inLoop ? "saved in a turn of the main loop" : "saved outside the main loop");
        Stack s(model);
        s.main->performAndWait([&] {
            for (int i = 0; i < 5; ++i) insert(s.main, "Noted", {{"name", Value("n" + std::to_string(i))}});
        });
        ASSERT_TRUE(s.saveAll());
        NotedRecord::forget();
        // Both levels' records of the five: the save of their deletion holds their last references.
        auto deleteAllAndSave = [&] {
            s.main->performAndWait([&] {
                for (const auto& o : fetch(s.main, request("Noted"))) s.main->deleteObject(o);
            });
            EXPECT_TRUE(s.saveAll());
        };
        if (inLoop) {
            bool done = false;
            Queue::main()->async([&] {
                deleteAllAndSave();
                EXPECT_TRUE(NotedRecord::freed().empty());  // they wait for the loop's next turn
                done = true;
            });
            ASSERT_TRUE(runMainUntil([&] { return done; }, 10));
        } else {
            deleteAllAndSave();
        }
        ASSERT_TRUE(runMainUntil([] { return NotedRecord::freed().size() == 10; }, 10));
        if (inLoop) {
            for (const auto& thread : NotedRecord::freed()) EXPECT_EQ(thread, std::this_thread::get_id());
        }
        EXPECT_EQ(fetch(s.main, request("Noted")).size(), 0u);
        EXPECT_EQ(test::rowsInFile(model, s.path, "Noted"), 0u);
    }
}

TEST(MainRoad, AnotherWriterOfTheSameRowGivesAConflictThatLosesNothing) {
    for (const bool deleting : {false, true}) {
        SCOPED_TRACE(deleting ? "delete" : "update");
        Stack s;
        Ref<ManagedObject> record;
        s.main->performAndWait([&] { record = insert(s.main, "News", {{"msgId", Value("m1")}, {"title", Value("Old")}}); });
        ASSERT_TRUE(s.saveAll());
        // Another coordinator updates the row behind the stack's back.
        auto other = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
        other->setPersistentStoreCoordinator(test::openCoordinator(test::contentModel(), s.path));
        auto theirs = fetch(other, request("News"));
        ASSERT_EQ(theirs.size(), 1u);
        theirs[0]->setValueForKey(Value("Theirs"), "title");
        ASSERT_TRUE(other->save(nullptr));

        s.main->performAndWait([&] {
            if (deleting) s.main->deleteObject(record);
            else record->setValueForKey(Value("Mine"), "title");
        });
        Ref<Error> error;
        EXPECT_FALSE(s.saveAll(&error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), kCocoaErrorDomain);
        EXPECT_EQ(error->code(), kManagedObjectMergeError);
        const Value& conflicts = error->userInfo().get(kConflictListKey);
        ASSERT_EQ(conflicts.count(), 1u);
        EXPECT_EQ(conflicts[0]["expectedVersion"], Value(1));
        EXPECT_EQ(conflicts[0]["currentVersion"], Value(2));
        // Nothing was lost: the root still holds the change and the file still has their value.
        s.root->performAndWait([&] { EXPECT_TRUE(s.root->hasChanges()); });
        EXPECT_EQ(test::rawTexts(s.path, "SELECT \"title\" FROM \"News\""), std::vector<std::string>{"Theirs"});
        // With the property-object-trump policy the root's change wins.
        s.root->performAndWait([&] {
            s.root->setMergePolicy(MergePolicyType::MergeByPropertyObjectTrump);
            EXPECT_TRUE(s.root->save(&error)) << test::describe(error);
        });
        EXPECT_EQ(test::rawTexts(s.path, "SELECT \"title\" FROM \"News\""), deleting ? std::vector<std::string>{} : std::vector<std::string>{"Mine"});
    }
}

// A record changed after another writer deleted its row: each road reports the conflict (133020 naming
// the record) and the file stays without the row; never a save that succeeds having written nothing.
TEST(MainRoad, AChangeToARowAnotherWriterDeletedIsAConflictNeverASilentSuccess) {
    enum class Road { FaultUnderError, LoadedUnderTrump, PushIntoAParentWithoutIt, PushThenTrumpRoot };
    for (const Road road : {Road::FaultUnderError, Road::LoadedUnderTrump, Road::PushIntoAParentWithoutIt, Road::PushThenTrumpRoot}) {
        SCOPED_TRACE(static_cast<int>(road));
        Stack s;
        Ref<ManagedObject> record;
        s.main->performAndWait([&] { record = insert(s.main, "News", {{"msgId", Value("m1")}, {"title", Value("Old")}}); });
        ASSERT_TRUE(s.saveAll());
        Ref<ManagedObjectID> id = record->objectID();
        if (id->isTemporaryID()) id = id->permanentID();
        ASSERT_TRUE(id);
        const bool viaMain = road == Road::PushIntoAParentWithoutIt || road == Road::PushThenTrumpRoot;
        Ref<ManagedObject> held;
        s.root->performAndWait([&] {
            if (road == Road::FaultUnderError || road == Road::PushIntoAParentWithoutIt) s.root->reset();
            if (road != Road::FaultUnderError) s.root->setMergePolicy(MergePolicyType::MergeByPropertyObjectTrump);
            if (!viaMain) held = s.root->objectWithID(id);
        });
        // Another coordinator deletes the row.
        auto other = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
        other->setPersistentStoreCoordinator(test::openCoordinator(test::contentModel(), s.path));
        for (const auto& theirs : fetch(other, request("News"))) other->deleteObject(theirs);
        ASSERT_TRUE(other->save(nullptr));
        Ref<Error> error;
        bool saved = true;
        if (viaMain) {
            s.main->performAndWait([&] { record->setValueForKey(Value("Mine"), "title"); });
            saved = s.saveAll(&error);
        } else {
            s.root->performAndWait([&] {
                held->setValueForKey(Value("Mine"), "title");
                saved = s.root->save(&error);
            });
        }
        EXPECT_FALSE(saved);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), kManagedObjectMergeError) << test::describe(error);
        const Value& conflicts = error->userInfo().get(kConflictListKey);
        ASSERT_EQ(conflicts.count(), 1u) << test::describe(error);
        const auto named = conflicts[0]["objectID"].objectAs<ManagedObjectID>();
        EXPECT_TRUE(named && named->isEqualToID(*id));
        EXPECT_EQ(test::rawTexts(s.path, "SELECT \"title\" FROM \"News\""), std::vector<std::string>{});
    }
    // A record a level above deleted (not saved yet): that deletion wins over a change pushed from
    // below, as before, and is what reaches the file.
    Stack s;
    Ref<ManagedObject> record;
    s.main->performAndWait([&] { record = insert(s.main, "News", {{"msgId", Value("m1")}, {"title", Value("Old")}}); });
    ASSERT_TRUE(s.saveAll());
    auto below = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    below->setParentContext(s.main);
    auto held = fetch(below, request("News"));
    ASSERT_EQ(held.size(), 1u);
    s.root->performAndWait([&] {
        auto above = fetch(s.root, request("News"));
        ASSERT_EQ(above.size(), 1u);
        s.root->deleteObject(above[0]);
    });
    s.main->performAndWait([&] { s.main->reset(); });  // the level between holds nothing
    held[0]->setValueForKey(Value("Mine"), "title");
    Ref<Error> error;
    EXPECT_TRUE(below->save(&error)) << test::describe(error);
    EXPECT_TRUE(s.saveAll(&error)) << test::describe(error);
    EXPECT_EQ(test::rawTexts(s.path, "SELECT \"title\" FROM \"News\""), std::vector<std::string>{});
}

TEST(MainRoad, SaveAndWaitOnTheMainThreadWithTheStoreLayersObservers) {
    // As the store layer sets the stack up: both contexts obtain permanent IDs in their will-save, and
    // root saves merge into the main context (inline when they happen on the main thread).
    Stack s;
    auto center = NotificationCenter::defaultCenter();
    for (const auto& context : {s.root, s.main}) {
        Weak<ManagedObjectContext> weak = context;
        center->addObserver(&s, kManagedObjectContextWillSaveNotification, context, [weak](const Notification&) {
            if (auto c = weak.lock()) {
                EXPECT_TRUE(c->obtainPermanentIDsForObjects(c->insertedObjects(), nullptr));
            }
        });
    }
    int merged = 0;
    Weak<ManagedObjectContext> weakMain = s.main;
    center->addObserver(&s, kManagedObjectContextDidSaveNotification, s.root, [&, weakMain](const Notification& n) {
        ASSERT_TRUE(Thread::isMainThread());
        if (auto main = weakMain.lock()) main->mergeChangesFromContextDidSaveNotification(n);
        ++merged;
    });
    Ref<ManagedObject> record;
    s.main->performAndWait([&] {
        record = insert(s.main, "News", {{"msgId", Value("m1")}, {"title", Value("T")}});
        // The app's "save to the store and wait": every level synchronously, each inside the last.
        ASSERT_TRUE(s.main->save(nullptr));
        s.root->performAndWait([&] { ASSERT_TRUE(s.root->save(nullptr)); });
    });
    center->removeObserver(&s);
    EXPECT_EQ(merged, 1);
    EXPECT_FALSE(record->objectID()->isTemporaryID());
    EXPECT_EQ(test::rowsInFile(s.coordinator->managedObjectModel(), s.path, "News"), 1u);
    auto all = fetch(s.main, request("News"));
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0], record);
    EXPECT_FALSE(record->hasChanges());
}

}  // namespace
}  // namespace lv
