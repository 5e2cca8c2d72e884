// The app's road through the object store: a private root over the SQLite file and a main-queue child;
// records saved through the root, read back by a new coordinator, conflicts with another writer, the app's synchronous save with its observers.
#include <gtest/gtest.h>

#include "context_test_support.h"
#include "support/raw_sqlite.h"
#include "platform/dispatch/thread.h"

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
