// Saves: notifications and their payload (and a save started from a will-save observer), validation
// (required values, integer range), SQLite failing part-way without losing anything, merges of other
// contexts' saves, and contexts saving from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <thread>

#include "context_test_support.h"
#include "sqlite_failures.h"
#include "support/child_process.h"

namespace lv {
namespace {

using test::fetch;
using test::insert;
using test::request;
using test::Stack;

// Records what the context posts, in order.
struct SaveLog {
    explicit SaveLog(const Ref<ManagedObjectContext>& context) {
        auto center = NotificationCenter::defaultCenter();
        for (auto name : {kManagedObjectContextWillSaveNotification, kManagedObjectContextDidSaveNotification}) {
            center->addObserver(this, name, context, [this](const Notification& n) {
                names.push_back(n.name());
                infos.push_back(n.userInfo());
            });
        }
    }
    ~SaveLog() { NotificationCenter::defaultCenter()->removeObserver(this); }
    std::vector<std::string> names;
    std::vector<Dictionary> infos;
};

Ref<ManagedObjectModel> requiredModel() {
    auto model = test::makeItemModel();
    auto e = EntityDescription::make("Ticket");
    e->addAttribute(AttributeDescription::make("code", AttributeType::String, false));
    e->addAttribute(AttributeDescription::make("seat", AttributeType::Integer32, false));
    e->addAttribute(AttributeDescription::make("note", AttributeType::String));
    model->addEntity(e);
    return model;
}

TEST(Saves, WillAndDidSaveCarryTheChangedRecordsAndASaveFromWillSaveIsRefused) {
    for (const bool child : {false, true}) {
        SCOPED_TRACE(child ? "child" : "root");
        Stack s(test::makeItemModel());
        const auto saving = child ? s.main : s.root;
        auto saveRoot = [&] {
            if (child) s.root->performAndWait([&] { ASSERT_TRUE(s.root->save(nullptr)); });
        };
        Ref<ManagedObject> kept, late, changed, removed;
        saving->performAndWait([&] {
            changed = insert(saving, "Item", {{"name", Value("c")}});
            removed = insert(saving, "Item", {{"name", Value("r")}});
            ASSERT_TRUE(saving->save(nullptr));
        });
        saveRoot();
        SaveLog log(saving);
        // A will-save observer may still change records, but a save it starts is refused.
        bool innerSaved = true;
        Ref<Error> innerError;
        NotificationCenter::defaultCenter()->addObserver(&innerSaved, kManagedObjectContextWillSaveNotification, saving,
                                                         [&](const Notification&) {
                                                             if (late) return;
                                                             late = insert(saving, "Item", {{"name", Value("late")}});
                                                             innerSaved = saving->save(&innerError);
                                                         });
        saving->performAndWait([&] {
            kept = insert(saving, "Item", {{"name", Value("k")}});
            changed->setValueForKey(Value("c2"), "name");
            saving->deleteObject(removed);
            Ref<Error> error;
            ASSERT_TRUE(saving->save(&error)) << test::describe(error);
            ASSERT_TRUE(saving->save(&error));  // nothing left to save: no notifications
        });
        NotificationCenter::defaultCenter()->removeObserver(&innerSaved);
        EXPECT_FALSE(innerSaved);
        ASSERT_TRUE(innerError);
        EXPECT_EQ(innerError->code(), kPersistentStoreSaveError);
        ASSERT_EQ(log.names, (std::vector<std::string>{std::string(kManagedObjectContextWillSaveNotification),
                                                       std::string(kManagedObjectContextDidSaveNotification)}));
        const Dictionary& info = log.infos[1];
        EXPECT_EQ(info.get(kInsertedObjectsKey), Value(Array{Value(kept), Value(late)}));
        EXPECT_EQ(info.get(kUpdatedObjectsKey), Value(Array{Value(changed)}));
        EXPECT_EQ(info.get(kDeletedObjectsKey), Value(Array{Value(removed)}));
        EXPECT_FALSE(removed->managedObjectContext());
        EXPECT_EQ(kept->objectID()->isTemporaryID(), child);  // a child's save writes nothing yet
        saveRoot();
        EXPECT_EQ(test::rawTexts(s.path, "SELECT \"name\" FROM \"Item\" ORDER BY 1"), (std::vector<std::string>{"c2", "k", "late"}));
    }
}

// A root context checks its records as it gathers them for the store, each before it lends its
// values to the change set: a failed check gives every value back.
TEST(Saves, ARootSaveFailingValidationKeepsEveryRecordsValues) {
    Stack s(requiredModel());
    Ref<ManagedObject> whole, partial;
    Ref<Error> error;
    s.root->performAndWait([&] {
        whole = insert(s.root, "Ticket", {{"code", Value("A1")}, {"seat", Value(1)}, {"note", Value("aisle")}});
        partial = insert(s.root, "Ticket", {{"code", Value("B2")}, {"note", Value("window")}});
        EXPECT_FALSE(s.root->save(&error));
        EXPECT_TRUE(s.root->hasChanges());
        EXPECT_EQ(whole->valueForKey("note"), Value("aisle"));
        EXPECT_EQ(whole->valueForKey("seat"), Value(1));
        EXPECT_EQ(partial->valueForKey("code"), Value("B2"));
        EXPECT_TRUE(whole->objectID()->isTemporaryID());
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kValidationMissingMandatoryPropertyError);
    EXPECT_EQ(error->userInfo().get(kValidationObjectErrorKey).objectAs<ManagedObject>(), partial);
    EXPECT_EQ(test::rowsInFile(s.coordinator->managedObjectModel(), s.path, "Ticket"), 0u);
    s.root->performAndWait([&] {
        partial->setValueForKey(Value(2), "seat");
        EXPECT_TRUE(s.root->save(&error)) << test::describe(error);
    });
    EXPECT_EQ(test::rawTexts(s.path, "SELECT \"code\" || ' ' || \"seat\" || ' ' || \"note\" FROM \"Ticket\" ORDER BY 1"),
              (std::vector<std::string>{"A1 1 aisle", "B2 2 window"}));
}

TEST(Saves, MissingRequiredValuesFailValidation) {
    Stack s(requiredModel());
    Ref<ManagedObject> one, two;
    Ref<Error> error;
    s.main->performAndWait([&] {
        one = insert(s.main, "Ticket", {{"code", Value("A1")}});
        EXPECT_FALSE(s.main->save(&error));
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), kCocoaErrorDomain);
    EXPECT_EQ(error->code(), kValidationMissingMandatoryPropertyError);
    EXPECT_EQ(error->userInfo().get(kValidationKeyErrorKey), Value("seat"));
    EXPECT_EQ(error->userInfo().get(kValidationObjectErrorKey).objectAs<ManagedObject>(), one);

    s.main->performAndWait([&] {
        two = insert(s.main, "Ticket", {});
        EXPECT_FALSE(s.main->save(&error));
        EXPECT_TRUE(s.main->hasChanges());
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kValidationMultipleErrorsError);
    const Value& detailed = error->userInfo().get(kDetailedErrorsKey);
    ASSERT_EQ(detailed.count(), 3u);  // one's seat, two's code and seat
    for (const Value& e : detailed.array()) EXPECT_EQ(e.objectAs<Error>()->code(), kValidationMissingMandatoryPropertyError);
    // Nothing reached the parent; once fixed, the save goes through.
    EXPECT_TRUE(fetch(s.root, request("Ticket")).empty());
    s.main->performAndWait([&] {
        one->setValueForKey(Value(1), "seat");
        two->setValueForKey(Value("B2"), "code");
        two->setValueForKey(Value(2), "seat");
    });
    EXPECT_TRUE(s.saveAll(&error)) << test::describe(error);
    EXPECT_EQ(test::rowsInFile(s.coordinator->managedObjectModel(), s.path, "Ticket"), 2u);
}

TEST(Merges, UpdatedRecordsKeepLocalChangesDeletedGoInsertedArrive) {
    Stack s(test::makeItemModel());
    Ref<ManagedObject> a, b;
    s.main->performAndWait([&] {
        a = insert(s.main, "Item", {{"name", Value("a")}, {"count", Value(1)}});
        b = insert(s.main, "Item", {{"name", Value("b")}});
    });
    ASSERT_TRUE(s.saveAll());
    // The main context changes a's name locally while a worker of the root changes its count, deletes
    // b and adds c.
    s.main->performAndWait([&] { a->setValueForKey(Value("mine"), "name"); });
    Dictionary saved;
    auto worker = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::PrivateQueue);
    worker->setPersistentStoreCoordinator(s.coordinator);
    NotificationCenter::defaultCenter()->addObserver(&saved, kManagedObjectContextDidSaveNotification, worker,
                                                     [&](const Notification& n) { saved = n.userInfo(); });
    worker->performAndWait([&] {
        auto items = fetch(worker, request("Item", nullptr, {SortDescriptor("name", true)}));
        items[0]->setValueForKey(Value(5), "count");
        worker->deleteObject(items[1]);
        insert(worker, "Item", {{"name", Value("c")}});
        ASSERT_TRUE(worker->save(nullptr));
    });
    NotificationCenter::defaultCenter()->removeObserver(&saved);
    ASSERT_EQ(saved.get(kUpdatedObjectsKey).count(), 1u);

    // The root merges first (the main context reads through it), then the main context.
    std::vector<Dictionary> changes;
    NotificationCenter::defaultCenter()->addObserver(&changes, kManagedObjectContextObjectsDidChangeNotification, s.main,
                                                     [&](const Notification& n) { changes.push_back(n.userInfo()); });
    auto note = Notification::make(std::string(kManagedObjectContextDidSaveNotification), worker, saved);
    s.root->performAndWait([&] { s.root->mergeChangesFromContextDidSaveNotification(*note); });
    s.main->performAndWait([&] { s.main->mergeChangesFromContextDidSaveNotification(*note); });
    NotificationCenter::defaultCenter()->removeObserver(&changes);
    s.main->performAndWait([&] {
        EXPECT_EQ(a->valueForKey("name"), Value("mine"));
        EXPECT_EQ(a->valueForKey("count"), Value(5));
        EXPECT_TRUE(a->isUpdated());
        EXPECT_EQ(a->changedValues(), (Dictionary{{"name", Value("mine")}}));
        EXPECT_FALSE(b->managedObjectContext());
        EXPECT_EQ(test::texts(fetch(s.main, request("Item", nullptr, {SortDescriptor("name", true)})), "name"),
                  (std::vector<std::string>{"c", "mine"}));
    });
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].get(kRefreshedObjectsKey), Value(Array{Value(a)}));
    EXPECT_EQ(changes[0].get(kDeletedObjectsKey), Value(Array{Value(b)}));
    ASSERT_EQ(changes[0].get(kInsertedObjectsKey).count(), 1u);
    EXPECT_EQ(changes[0].get(kInsertedObjectsKey)[0].objectAs<ManagedObject>()->valueForKey("name"), Value("c"));
    // The merged state saves cleanly: only the local change is written.
    ASSERT_TRUE(s.saveAll());
    EXPECT_EQ(test::rowsInFile(s.coordinator->managedObjectModel(), s.path, "Item"), 2u);
}

TEST(Merges, ChangesGivenAsObjectIDsMergeToo) {
    Stack s(test::makeItemModel());
    Ref<ManagedObject> a;
    s.root->performAndWait([&] {
        a = insert(s.root, "Item", {{"name", Value("a")}});
        ASSERT_TRUE(s.root->save(nullptr));
    });
    auto other = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    other->setPersistentStoreCoordinator(s.coordinator);
    auto theirs = fetch(other, request("Item"))[0];
    theirs->setValueForKey(Value("A"), "name");
    ASSERT_TRUE(other->save(nullptr));
    s.root->performAndWait([&] {
        s.root->mergeChangesFromUserInfo(Dictionary{{std::string(kUpdatedObjectsKey), Value(Array{Value(theirs->objectID())})}});
        EXPECT_EQ(a->valueForKey("name"), Value("A"));
        EXPECT_FALSE(s.root->hasChanges());
        // The merged version is the row's: a later save of the root does not conflict.
        a->setValueForKey(Value("AA"), "name");
        Ref<Error> error;
        EXPECT_TRUE(s.root->save(&error)) << test::describe(error);
    });
}

// Records without local changes take the merged values and version; only those whose values differ
// are reported refreshed, and saving them afterwards meets no conflict.
TEST(Merges, UnchangedRecordsTakeNewValuesAndOnlyChangedOnesAreReported) {
    Stack s(test::makeItemModel());
    Ref<ManagedObject> x, y;
    s.root->performAndWait([&] {
        x = insert(s.root, "Item", {{"name", Value("x")}, {"count", Value(1)}});
        y = insert(s.root, "Item", {{"name", Value("y")}, {"count", Value(2)}});
        ASSERT_TRUE(s.root->save(nullptr));
    });
    auto other = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    other->setPersistentStoreCoordinator(s.coordinator);
    for (const auto& theirs : fetch(other, request("Item"))) {
        if (theirs->valueForKey("name") == Value("x")) theirs->setValueForKey(Value(10), "count");
    }
    ASSERT_TRUE(other->save(nullptr));
    std::vector<Dictionary> changes;
    NotificationCenter::defaultCenter()->addObserver(&changes, kManagedObjectContextObjectsDidChangeNotification, s.root,
                                                     [&](const Notification& n) { changes.push_back(n.userInfo()); });
    s.root->performAndWait([&] {
        s.root->mergeChangesFromUserInfo(
            Dictionary{{std::string(kUpdatedObjectsKey), Value(Array{Value(x->objectID()), Value(y->objectID())})}});
        EXPECT_EQ(x->valueForKey("count").longLongValue(), 10);
        EXPECT_EQ(y->valueForKey("count").longLongValue(), 2);
        EXPECT_FALSE(s.root->hasChanges());
    });
    NotificationCenter::defaultCenter()->removeObserver(&changes);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].get(kRefreshedObjectsKey), Value(Array{Value(x)}));
    s.root->performAndWait([&] {
        x->setValueForKey(Value(11), "count");
        y->setValueForKey(Value(12), "count");
        Ref<Error> error;
        EXPECT_TRUE(s.root->save(&error)) << test::describe(error);
    });
}

constexpr const char* kRelationshipChildFile = "LV_RELATIONSHIP_CHILD_FILE";
constexpr const char* kRelationshipChildEdit = "LV_RELATIONSHIP_CHILD_EDIT";

// Both sides of Owner.items ⇄ Item.owner in the file, as "owner item" pairs: the owners' lists, and
// the items naming an owner.
std::pair<std::vector<std::string>, std::vector<std::string>> bothSides(const std::string& path) {
    return {test::rawTexts(path, "SELECT o.name || ' ' || i.name FROM \"_lv_rel_Owner_items\" r JOIN \"Owner\" o ON o._pk = r.owner "
                                 "JOIN \"Item\" i ON i._pk = r.target ORDER BY 1"),
            test::rawTexts(path, "SELECT o.name || ' ' || i.name FROM \"Item\" i JOIN \"Owner\" o ON o._pk = i.owner ORDER BY 1")};
}

// The context's record of the entity with the name, its relationships read.
Ref<ManagedObject> named(const Ref<ManagedObjectContext>& context, const char* entity, const std::string& name) {
    auto found = fetch(context, request(entity, Predicate::format("name = %@", nullptr, Value(name))));
    EXPECT_EQ(found.size(), 1u) << name;
    if (found.empty()) return nullptr;
    context->performAndWait([&] { (void)found[0]->valueForKey(std::string(entity) == "Owner" ? "items" : "owner"); });
    return found[0];
}

// One edit of the relationship: "+o x" adds a new item x to o's list, "o<x" gives the stored item x
// the owner o.
void edit(const Ref<ManagedObjectContext>& context, const std::string& what) {
    const std::string owner = what.substr(what[0] == '+' ? 1 : 0, 1);
    auto o = named(context, "Owner", owner);
    if (what[0] == '+') {
        context->performAndWait([&] { o->addObject(test::insert(context, "Item", {{"name", Value(what.substr(3))}}), "items"); });
        return;
    }
    auto item = named(context, "Item", what.substr(2));
    context->performAndWait([&] { item->setValueForKey(Value(o), "owner"); });
}

// The second process of the next test: makes its edit and saves.
TEST(RelationshipChild, EditsAndSaves) {
    const char* path = std::getenv(kRelationshipChildFile);
    if (!path) GTEST_SKIP() << "the second process of Merges.ARelationshipEditedInTwoContextsKeepsBothSidesAgreeing";
    auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(test::openCoordinator(test::makeItemModel(), path));
    context->setMergePolicy(MergePolicyType::MergeByPropertyObjectTrump);
    edit(context, std::getenv(kRelationshipChildEdit));
    Ref<Error> error;
    ASSERT_TRUE(context->save(&error)) << test::describe(error);
}

// Owner.items ⇄ Item.owner edited in two contexts (a new item added to o's list in each, or the
// stored item x given owner o in one and p in the other): a child and its parent, two contexts one of
// which merges the other's did-save, two processes under property-object-trump. The second save
// writes both changes (the later owner wins) or reports a conflict and writes nothing; the two
// sides of the relationship agree in the file either way.
TEST(Merges, ARelationshipEditedInTwoContextsKeepsBothSidesAgreeing) {
    enum class Road { ChildAndParent, MergedDidSave, TwoProcessesUnderTrump };
    struct Edits {
        const char* theirs;
        const char* mine;
        std::vector<std::string> saved;  // the pairs when the second save writes
        std::vector<std::string> refused;  // the pairs when it reports a conflict
    };
    const Edits edits[] = {{"+o x", "+o y", {"o x", "o y"}, {"o x"}}, {"o<x", "p<x", {"p x"}, {"o x"}}};
    for (const Road road : {Road::ChildAndParent, Road::MergedDidSave, Road::TwoProcessesUnderTrump}) {
        for (const Edits& e : edits) {
            SCOPED_TRACE(std::to_string(static_cast<int>(road)) + " " + e.mine);
            Stack s(test::makeItemModel());
            s.main->performAndWait([&] {
                for (const char* name : {"o", "p"}) test::insert(s.main, "Owner", {{"name", Value(name)}});
                if (e.theirs[0] != '+') test::insert(s.main, "Item", {{"name", Value("x")}});
            });
            ASSERT_TRUE(s.saveAll());
            // Where the second edit is made: the main context under the root, or a context of its own.
            Ref<ManagedObjectContext> mine = s.main;
            if (road == Road::MergedDidSave) {
                mine = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
                mine->setPersistentStoreCoordinator(s.coordinator);
            }
            // Both contexts read the relationships before either edit.
            for (const char* name : {"o", "p"}) named(mine, "Owner", name);
            if (e.theirs[0] != '+') named(mine, "Item", "x");
            Ref<Error> error;
            bool saved = false;
            switch (road) {
                case Road::ChildAndParent:
                    for (const char* name : {"o", "p"}) named(s.root, "Owner", name);
                    edit(s.root, e.theirs);
                    edit(s.main, e.mine);
                    saved = s.saveAll(&error);
                    break;
                case Road::MergedDidSave: {
                    auto theirs = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
                    theirs->setPersistentStoreCoordinator(s.coordinator);
                    edit(mine, e.mine);
                    NotificationCenter::defaultCenter()->addObserver(
                        &s, kManagedObjectContextDidSaveNotification, theirs,
                        [&](const Notification& n) { mine->mergeChangesFromContextDidSaveNotification(n); });
                    edit(theirs, e.theirs);
                    ASSERT_TRUE(theirs->save(&error)) << test::describe(error);
                    NotificationCenter::defaultCenter()->removeObserver(&s);
                    saved = mine->save(&error);
                    break;
                }
                case Road::TwoProcessesUnderTrump:
                    s.root->performAndWait([&] { s.root->setMergePolicy(MergePolicyType::MergeByPropertyObjectTrump); });
                    edit(s.main, e.mine);
                    ASSERT_EQ(test::runThisBinary("RelationshipChild.EditsAndSaves",
                                                  {{kRelationshipChildFile, s.path}, {kRelationshipChildEdit, e.theirs}}),
                              0);
                    saved = s.saveAll(&error);
                    break;
            }
            const auto [lists, owners] = bothSides(s.path);
            EXPECT_EQ(lists, owners);
            if (saved) {
                EXPECT_EQ(lists, e.saved);
            } else {
                ASSERT_TRUE(error);
                EXPECT_EQ(error->code(), kManagedObjectMergeError) << test::describe(error);
                EXPECT_EQ(lists, e.refused);
            }
        }
    }
}

// Another context deletes the owner a record here was just given (a new item added to o's list, or the
// stored item x moved to p), and this context merges that save: the reference to the deleted owner
// goes, so the save writes no item naming a row that is gone, under either policy.
TEST(Merges, AReferenceToARecordAMergedSaveDeletedGoes) {
    for (const MergePolicyType policy : {MergePolicyType::Error, MergePolicyType::MergeByPropertyObjectTrump}) {
        for (const char* mine : {"+o y", "p<x"}) {
            SCOPED_TRACE(mine);
            Stack s(test::makeItemModel());
            s.main->performAndWait([&] {
                for (const char* name : {"o", "p"}) test::insert(s.main, "Owner", {{"name", Value(name)}});
                test::insert(s.main, "Item", {{"name", Value("x")}});
            });
            ASSERT_TRUE(s.saveAll());
            auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
            context->setPersistentStoreCoordinator(s.coordinator);
            context->setMergePolicy(policy);
            edit(context, mine);
            auto theirs = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
            theirs->setPersistentStoreCoordinator(s.coordinator);
            theirs->deleteObject(named(theirs, "Owner", std::string(1, mine[0] == '+' ? 'o' : 'p')));
            NotificationCenter::defaultCenter()->addObserver(
                &s, kManagedObjectContextDidSaveNotification, theirs,
                [&](const Notification& n) { context->mergeChangesFromContextDidSaveNotification(n); });
            Ref<Error> error;
            ASSERT_TRUE(theirs->save(&error)) << test::describe(error);
            NotificationCenter::defaultCenter()->removeObserver(&s);
            EXPECT_TRUE(context->save(&error)) << test::describe(error);
            EXPECT_EQ(test::rawTexts(s.path, "SELECT count(*) FROM \"Item\" i WHERE i.owner IS NOT NULL AND NOT EXISTS "
                                             "(SELECT 1 FROM \"Owner\" o WHERE o._pk = i.owner)"),
                      std::vector<std::string>{"0"});
            const auto [lists, owners] = bothSides(s.path);
            EXPECT_EQ(lists, owners);
        }
    }
}

// A child context merging from its parent: records without local changes whose parent values equal
// their own stay as they are and are not reported; those that differ take the parent's values; a
// record with local changes keeps them over the parent's; one the child never held is registered.
// Later saves of both levels meet no conflict and store what each record shows (read back from the
// SQLite file with a fresh coordinator).
TEST(Merges, ChildRecordsCompareWithTheParentsValues) {
    Stack s(test::makeItemModel());
    Ref<ManagedObject> same, differs, local, fresh;
    s.main->performAndWait([&] {
        same = insert(s.main, "Item", {{"name", Value("same")}, {"count", Value(1)}});
        differs = insert(s.main, "Item", {{"name", Value("differs")}, {"count", Value(2)}});
        local = insert(s.main, "Item", {{"name", Value("local")}, {"count", Value(3)}});
    });
    ASSERT_TRUE(s.saveAll());
    Ref<ManagedObjectID> freshID;
    s.root->performAndWait([&] {
        for (const auto& theirs : fetch(s.root, request("Item"))) {
            const Value name = theirs->valueForKey("name");
            if (name == Value("differs")) theirs->setValueForKey(Value(20), "count");
            if (name == Value("local")) theirs->setValueForKey(Value("local, root"), "name");
        }
        auto f = insert(s.root, "Item", {{"name", Value("fresh")}, {"count", Value(4)}});
        ASSERT_TRUE(s.root->save(nullptr));
        freshID = f->objectID();
    });
    std::vector<Dictionary> changes;
    NotificationCenter::defaultCenter()->addObserver(&changes, kManagedObjectContextObjectsDidChangeNotification, s.main,
                                                     [&](const Notification& n) { changes.push_back(n.userInfo()); });
    s.main->performAndWait([&] {
        local->setValueForKey(Value(30), "count");
        s.main->processPendingChanges();
        changes.clear();
        s.main->mergeChangesFromUserInfo(Dictionary{
            {std::string(kUpdatedObjectsKey), Value(Array{Value(same->objectID()), Value(differs->objectID()), Value(local->objectID())})},
            {std::string(kInsertedObjectsKey), Value(Array{Value(freshID)})}});
        EXPECT_EQ(same->valueForKey("count").longLongValue(), 1);
        EXPECT_EQ(differs->valueForKey("count").longLongValue(), 20);
        EXPECT_EQ(local->valueForKey("count").longLongValue(), 30);
        EXPECT_EQ(local->valueForKey("name"), Value("local, root"));
        fresh = s.main->objectRegisteredForID(freshID);
        ASSERT_TRUE(fresh);
        EXPECT_EQ(fresh->valueForKey("name"), Value("fresh"));
    });
    NotificationCenter::defaultCenter()->removeObserver(&changes);
    ASSERT_EQ(changes.size(), 1u);
    const Array& refreshed = changes[0].get(kRefreshedObjectsKey).array();
    EXPECT_EQ(std::count(refreshed.begin(), refreshed.end(), Value(same)), 0);
    EXPECT_EQ(std::count(refreshed.begin(), refreshed.end(), Value(differs)), 1);
    s.main->performAndWait([&] {
        same->setValueForKey(Value(11), "count");
        differs->setValueForKey(Value(21), "count");
        fresh->setValueForKey(Value(41), "count");
    });
    Ref<Error> error;
    ASSERT_TRUE(s.saveAll(&error)) << test::describe(error);
    auto reader = test::openCoordinator(test::makeItemModel(), s.path);
    ASSERT_TRUE(reader);
    auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(reader);
    std::map<std::string, std::int64_t> stored;
    for (const auto& o : fetch(context, request("Item"))) stored[o->valueForKey("name").string()] = o->valueForKey("count").longLongValue();
    EXPECT_EQ(stored, (std::map<std::string, std::int64_t>{{"same", 11}, {"differs", 21}, {"local, root", 30}, {"fresh", 41}}));
}

TEST(Threads, ChildrenOfTheRootSaveFromManyThreadsAtOnce) {
    Stack s(test::makeItemModel());
    constexpr int kWorkers = 4;
    constexpr int kRounds = 10;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int w = 0; w < kWorkers; ++w) {
        threads.emplace_back([&, w] {
            auto child = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::PrivateQueue);
            child->setParentContext(s.root);
            for (int r = 0; r < kRounds; ++r) {
                child->performAndWait([&] {
                    insert(child, "Item", {{"name", Value("w" + std::to_string(w))}, {"count", Value(r)}});
                    auto mine = fetch(child, request("Item", Predicate::format("name = %@", nullptr, "w" + std::to_string(w))));
                    if (mine.size() != static_cast<std::size_t>(r + 1)) ++failures;
                    if (!child->save(nullptr)) ++failures;
                });
                s.root->performAndWait([&] {
                    if (!s.root->save(nullptr)) ++failures;
                });
            }
        });
    }
    // Meanwhile the main context reads on the main thread.
    std::size_t seen = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (seen < static_cast<std::size_t>(kWorkers * kRounds) && std::chrono::steady_clock::now() < deadline) {
        s.main->performAndWait([&] {
            auto n = s.main->countForFetchRequest(*request("Item"), nullptr);
            ASSERT_TRUE(n);
            EXPECT_GE(*n, seen);
            seen = *n;
        });
        std::this_thread::yield();
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(test::rowsInFile(s.coordinator->managedObjectModel(), s.path, "Item"), static_cast<std::size_t>(kWorkers * kRounds));
}

TEST(Saves, SQLiteFailingPartWayIsAnErrorAndLosesNothing) {
    for (const auto& failure : test::kSQLiteFailures) {
        SCOPED_TRACE(failure.label);
        test::TempDir dir;
        const std::string path = dir.file("s.sqlite");
        test::seedFile(path);
        auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
        auto coordinator = test::openCoordinator(test::makeItemModel(), path, failure.beforeOpen(path));
        ASSERT_TRUE(coordinator);
        context->setPersistentStoreCoordinator(coordinator);
        auto old = fetch(context, request("Item")).at(0);
        old->setValueForKey(Value("changed"), "name");
        auto fresh = insert(context, "Item", {{"name", Value("new")}, {"blob", Value::data(std::string(32 * 1024, 'x'))}});
        auto lift = failure.impose(path);

        Ref<Error> error;
        EXPECT_FALSE(context->save(&error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), kCocoaErrorDomain);
        EXPECT_EQ(error->code(), kPersistentStoreSaveError);
        EXPECT_EQ(error->localizedFailureReason(), failure.message);
        EXPECT_NE(error->localizedDescription().find(failure.message), std::string::npos);
        EXPECT_TRUE(error->underlyingError());
        // The file holds what it held; the context still holds every change.
        EXPECT_EQ(test::rawTexts(path, "SELECT \"name\" FROM \"Item\" ORDER BY 1"), std::vector<std::string>{"old"});
        EXPECT_TRUE(fresh->isInserted());
        EXPECT_TRUE(fresh->objectID()->isTemporaryID());
        EXPECT_TRUE(old->isUpdated());
        EXPECT_EQ(old->valueForKey("name"), Value("changed"));
        if (!lift) continue;  // the connection stays read-only
        lift();
        EXPECT_TRUE(context->save(&error)) << test::describe(error);
        EXPECT_EQ(test::rawTexts(path, "SELECT \"name\" || ':' || ifnull(length(\"blob\"), 0) FROM \"Item\" ORDER BY 1"),
                  (std::vector<std::string>{"changed:0", "new:32768"}));
    }
}

// A record's own check answers for its entity as the descriptions are at the call, whatever was
// checked before on the thread: records of two entities in turn, and a name made required and
// optional again between calls.
TEST(Saves, ValidateForInsertAnswersForEachEntityAsItIsNow) {
    auto model = test::makeItemModel();
    Stack s(model);
    auto ownerName = model->entityNamed("Owner")->propertyNamed("name");
    ASSERT_TRUE(ownerName);
    s.main->performAndWait([&] {
        auto tooBig = insert(s.main, "Item", {{"big", Value(std::uint64_t{1} << 63)}});
        auto fine = insert(s.main, "Item", {{"big", Value(1)}});
        auto unnamed = insert(s.main, "Owner", {});
        auto named = insert(s.main, "Owner", {{"name", Value("o")}});
        struct Step {
            Ref<ManagedObject> record;
            bool nameRequired;
            std::int64_t code;  // 0: valid
        };
        const Step steps[] = {
            {tooBig, false, kValidationNumberTooLargeError},
            {unnamed, false, 0},
            {unnamed, true, kValidationMissingMandatoryPropertyError},
            {unnamed, false, 0},
            {fine, false, 0},
            {tooBig, false, kValidationNumberTooLargeError},
            {unnamed, true, kValidationMissingMandatoryPropertyError},
            {named, true, 0},
            {unnamed, true, kValidationMissingMandatoryPropertyError},
            {fine, true, 0},
            {unnamed, false, 0},
            {tooBig, false, kValidationNumberTooLargeError},
        };
        for (std::size_t i = 0; i < std::size(steps); ++i) {
            SCOPED_TRACE("step " + std::to_string(i));
            ownerName->setOptional(!steps[i].nameRequired);
            Ref<Error> error;
            EXPECT_EQ(steps[i].record->validateForInsert(&error), steps[i].code == 0);
            EXPECT_EQ(error ? error->code() : 0, steps[i].code);
        }
        ownerName->setOptional(true);
    });
}

// A record's own check gives what the save's check gives, in every state a record can be in: required
// to-one and to-many relationships, several errors in their order, whole numbers of every kind in an
// integer attribute, and a fault (whose values the check loads).
TEST(Saves, ValidateForInsertGivesTheSaveChecksAnswer) {
    auto model = test::makeItemModel();
    model->entityNamed("Item")->propertyNamed("owner")->setOptional(false);
    model->entityNamed("Owner")->propertyNamed("items")->setOptional(false);
    Stack s(model);
    s.main->performAndWait([&] {
        auto owner = insert(s.main, "Owner", {{"name", Value("o")}});  // an empty to-many is never missing
        auto owned = insert(s.main, "Item", {{"owner", Value(owner)}, {"small", Value(std::int64_t{5})}, {"count", Value(7.0)}});
        auto orphan = insert(s.main, "Item", {{"big", Value(3)}});
        auto both = insert(s.main, "Item", {{"big", Value(std::uint64_t{1} << 63)}});
        auto wrongKind = insert(s.main, "Item", {{"owner", Value(owner)}, {"count", Value(1e19)}});
        struct Case {
            const char* what;
            Ref<ManagedObject> record;
            std::vector<std::pair<std::int64_t, std::string>> errors;  // code and key, in order
        };
        const Case cases[] = {
            {"owner", owner, {}},
            {"owned", owned, {}},
            {"orphan", orphan, {{kValidationMissingMandatoryPropertyError, "owner"}}},
            {"both", both, {{kValidationNumberTooLargeError, "big"}, {kValidationMissingMandatoryPropertyError, "owner"}}},
            {"wrong kind", wrongKind, {{kValidationNumberTooLargeError, "count"}}},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            Ref<Error> error;
            EXPECT_EQ(c.record->validateForInsert(&error), c.errors.empty());
            std::vector<std::pair<std::int64_t, std::string>> found;
            if (error && error->code() == kValidationMultipleErrorsError) {
                for (const Value& e : error->userInfo().get(kDetailedErrorsKey).array()) {
                    found.emplace_back(e.objectAs<Error>()->code(), e.objectAs<Error>()->userInfo().get(kValidationKeyErrorKey).string());
                }
            } else if (error) {
                found.emplace_back(error->code(), error->userInfo().get(kValidationKeyErrorKey).string());
                EXPECT_EQ(error->userInfo().get(kValidationObjectErrorKey).objectAs<ManagedObject>(), c.record);
            }
            EXPECT_EQ(found, c.errors);
        }
        // A relationship made to-many and back, between checks of the same record.
        auto ownerRelationship = std::static_pointer_cast<RelationshipDescription>(model->entityNamed("Item")->propertyNamed("owner"));
        EXPECT_TRUE(owner->validateForInsert(nullptr));
        ownerRelationship->setToMany(true);
        EXPECT_TRUE(orphan->validateForInsert(nullptr));
        ownerRelationship->setToMany(false);
        EXPECT_FALSE(orphan->validateForInsert(nullptr));
        // The same records as the save sees them.
        Ref<Error> saveError;
        EXPECT_FALSE(s.main->save(&saveError));
        ASSERT_TRUE(saveError);
        EXPECT_EQ(saveError->code(), kValidationMultipleErrorsError);
        EXPECT_EQ(saveError->userInfo().get(kDetailedErrorsKey).count(), 4u);
        s.main->deleteObject(orphan);
        s.main->deleteObject(both);
        s.main->deleteObject(wrongKind);
    });
    Ref<Error> error;
    ASSERT_TRUE(s.saveAll(&error)) << test::describe(error);
    s.main->performAndWait([&] {
        auto stored = fetch(s.main, request("Item"));
        ASSERT_EQ(stored.size(), 1u);
        auto item = stored.front();
        s.main->refreshObject(item, false);
        ASSERT_TRUE(item->isFault());
        EXPECT_TRUE(item->validateForInsert(&error)) << test::describe(error);
        EXPECT_FALSE(item->isFault());  // the check read the values
        EXPECT_EQ(item->valueForKey("small").stringValue(), "5");
    });
}

TEST(Saves, IntegersAreStoredWholeOrRefusedNeverWrapped) {
    // Columns hold 64-bit integers: a number outside a 16- or 32-bit attribute's range is stored and
    // read back whole; one outside the 64-bit range fails validation, which the record's own check
    // (validateForInsert) reports before the save the same way.
    struct Case {
        const char* key;
        Value value;
        std::int64_t code;  // 0: saved
        const char* stored;  // the column as the file holds it
    };
    const Case cases[] = {
        {"count", Value(std::int64_t{1} << 31), 0, "2147483648"},
        {"count", Value(-2147483649.9), 0, "-2147483649"},
        {"count", Value(*Decimal::parse("2147483647.9")), 0, "2147483647"},
        {"small", Value(70000), 0, "70000"},
        {"small", Value(-32768), 0, "-32768"},
        {"big", Value(std::uint64_t{9223372036854775807u}), 0, "9223372036854775807"},
        {"big", Value(std::uint64_t{1} << 63), kValidationNumberTooLargeError, nullptr},
        {"count", Value(1e19), kValidationNumberTooLargeError, nullptr},
        {"small", Value(*Decimal::parse("-9223372036854775809")), kValidationNumberTooSmallError, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " = " + c.value.description());
        Stack s(test::makeItemModel());
        Ref<ManagedObject> item;
        Ref<Error> error;
        Ref<Error> checked;  // what the record's own check finds before the save
        bool valid = false;
        bool saved = false;
        s.main->performAndWait([&] {
            item = insert(s.main, "Item", {{c.key, c.value}});
            valid = item->validateForInsert(&checked);
            saved = s.main->save(&error);
        });
        EXPECT_EQ(valid, c.code == 0);
        EXPECT_EQ(checked ? checked->code() : 0, c.code);
        if (c.code == 0) {
            ASSERT_TRUE(saved && s.saveAll(&error)) << test::describe(error);
            const std::string column = std::string("SELECT \"") + c.key + "\" FROM \"Item\"";
            EXPECT_EQ(test::rawTexts(s.path, column), std::vector<std::string>{c.stored});
            auto again = test::openCoordinator(test::makeItemModel(), s.path);  // as the next run reads it
            auto rows = again->executeFetchRequest(FetchRequest("Item"), nullptr);
            ASSERT_TRUE(rows);
            EXPECT_EQ(rows->rows.at(0).value(c.key).stringValue(), c.stored);
            s.main->performAndWait([&] { EXPECT_EQ(item->valueForKey(c.key).stringValue(), c.stored); });
            continue;
        }
        EXPECT_FALSE(saved);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), kCocoaErrorDomain);
        EXPECT_EQ(error->code(), c.code);
        EXPECT_EQ(error->userInfo().get(kValidationKeyErrorKey), Value(c.key));
        EXPECT_EQ(error->userInfo().get(kValidationObjectErrorKey).objectAs<ManagedObject>(), item);
        EXPECT_EQ(error->userInfo().get(kValidationValueErrorKey), c.value);
        s.main->performAndWait([&] { EXPECT_EQ(item->valueForKey(c.key), c.value); });
        EXPECT_EQ(test::rawTexts(s.path, "SELECT count(*) FROM \"Item\""), std::vector<std::string>{"0"});
    }
}

// SQLite would store NaN as NULL, so a NaN double, float or date is refused by the save, never lost.
TEST(Saves, NaNIsRefusedNeverStoredAsNothing) {
    const std::pair<const char*, Value> cases[] = {
        {"ratio", Value(std::nan(""))},
        {"weight", Value(std::nanf(""))},
        {"when", Value(Date::fromSinceReferenceDate(std::nan("")))},
    };
    for (const auto& c : cases) {
        const char* key = c.first;
        const Value& value = c.second;
        SCOPED_TRACE(key);
        Stack s(test::makeItemModel());
        Ref<Error> error;
        bool saved = true;
        s.main->performAndWait([&] {
            insert(s.main, "Item", {{key, value}});
            saved = s.main->save(&error) && s.saveAll(&error);
        });
        EXPECT_FALSE(saved);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), kManagedObjectValidationError);
        EXPECT_EQ(error->userInfo().get(kValidationKeyErrorKey), Value(key));
        EXPECT_EQ(test::rawTexts(s.path, "SELECT count(*) FROM \"Item\""), std::vector<std::string>{"0"});
        // The same through the coordinator, for an update too.
        auto coordinator = test::openCoordinator(test::makeItemModel(), s.path);
        auto id = test::insertRow(*coordinator, "Item", {{"name", Value("n")}});
        ChangeSet update;
        update.updates.push_back({id, std::nullopt, {{key, value}}});
        EXPECT_FALSE(coordinator->saveChanges(update, nullptr, &error));
        EXPECT_EQ(error->code(), kManagedObjectValidationError);
    }
}

}  // namespace
}  // namespace lv
