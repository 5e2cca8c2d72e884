// Contexts: queues of the three concurrency kinds, change tracking and its notification, reset,
// refresh and rollback, permanent IDs, lookups, and fetches and counts over unsaved changes at every
// level of the parent chain.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <thread>

#include "context_test_support.h"
#include "support/raw_sqlite.h"
#include "platform/dispatch/thread.h"

namespace lv {
namespace {

using test::fetch;
using test::insert;
using test::request;
using test::Stack;

Ref<Predicate> where(const char* format, std::vector<Value> args = {}) {
    Ref<Error> error;
    auto p = Predicate::parse(format, args, &error);
    EXPECT_TRUE(p) << test::describe(error);
    return p;
}

// Collects the objects-did-change notifications of one context.
struct ChangeLog {
    explicit ChangeLog(const Ref<ManagedObjectContext>& context) {
        NotificationCenter::defaultCenter()->addObserver(this, kManagedObjectContextObjectsDidChangeNotification, context,
                                                         [this](const Notification& n) { notes.push_back(n.userInfo()); });
    }
    ~ChangeLog() { NotificationCenter::defaultCenter()->removeObserver(this); }
    std::vector<Dictionary> notes;
};

// Changes processed while nobody listens are not announced later: a record inserted then is announced
// as updated when it changes afterwards, as when its insertion had been announced. The same at both
// levels of a save (the parent's announcement of pushed records).
TEST(ContextChanges, ChangesProcessedWhileNobodyListensAreNotAnnouncedLater) {
    Stack s;
    auto idsOf = [](const Dictionary& note, std::string_view key) {
        std::vector<std::string> out;
        for (const Value& v : note.get(key).array()) out.push_back(ManagedObject::fromValue(v)->valueForKey("msgId").string());
        std::sort(out.begin(), out.end());
        return out;
    };
    Ref<ManagedObject> x;
    s.main->performAndWait([&] {
        x = insert(s.main, "News", {{"msgId", Value("x")}});
        s.main->processPendingChanges();
        ChangeLog log(s.main);
        insert(s.main, "News", {{"msgId", Value("y")}});
        x->setValueForKey(Value("X"), "title");
        s.main->processPendingChanges();
        ASSERT_EQ(log.notes.size(), 1u);
        EXPECT_EQ(idsOf(log.notes[0], kInsertedObjectsKey), (std::vector<std::string>{"y"}));
        EXPECT_EQ(idsOf(log.notes[0], kUpdatedObjectsKey), (std::vector<std::string>{"x"}));
        ASSERT_TRUE(s.main->save(nullptr));  // the root takes both while nobody listens to it
        insert(s.main, "News", {{"msgId", Value("z")}});
        x->setValueForKey(Value("X2"), "title");
    });
    ChangeLog rootLog(s.root);
    s.main->performAndWait([&] { ASSERT_TRUE(s.main->save(nullptr)); });
    ASSERT_EQ(rootLog.notes.size(), 1u);
    EXPECT_EQ(idsOf(rootLog.notes[0], kInsertedObjectsKey), (std::vector<std::string>{"z"}));
    EXPECT_EQ(idsOf(rootLog.notes[0], kUpdatedObjectsKey), (std::vector<std::string>{"x"}));
    s.root->performAndWait([&] {
        ASSERT_TRUE(s.root->save(nullptr));
        EXPECT_EQ(fetch(s.root, request("News")).size(), 3u);
    });
    EXPECT_EQ(rootLog.notes.size(), 1u);
}

// A child's push settles its records the same whether or not anyone listens to its did-save: changes
// gone, deleted records out of the context, the rest registered; the next did-save names only what
// changed since.
TEST(ContextChanges, APushSettlesTheChildWhetherOrNotItsDidSaveIsHeard) {
    for (const bool heard : {true, false}) {
        SCOPED_TRACE(heard ? "heard" : "not heard");
        Stack s;
        std::map<std::string, Ref<ManagedObject>> r;
        s.main->performAndWait([&] {
            for (const char* id : {"a", "b", "c"}) r[id] = insert(s.main, "News", {{"msgId", Value(id)}});
        });
        ASSERT_TRUE(s.saveAll());
        std::vector<Dictionary> saves;
        auto center = NotificationCenter::defaultCenter();
        auto listen = [&] {
            return center->addObserverForName(kManagedObjectContextDidSaveNotification, s.main, nullptr,
                                              [&](const Notification& n) { saves.push_back(n.userInfo()); });
        };
        auto names = [](const Dictionary& note, std::string_view key) {
            std::vector<std::string> out;
            for (const Value& v : note.get(key).array()) out.push_back(ManagedObject::fromValue(v)->valueForKey("msgId").string());
            return out;
        };
        Ref<Object> token = heard ? listen() : nullptr;
        s.main->performAndWait([&] {
            r["a"]->setValueForKey(Value("A"), "title");
            s.main->deleteObject(r["b"]);
            r["d"] = insert(s.main, "News", {{"msgId", Value("d")}});
            ASSERT_TRUE(s.main->save(nullptr));
            EXPECT_FALSE(s.main->hasChanges());
            EXPECT_TRUE(s.main->insertedObjects().empty() && s.main->updatedObjects().empty() && s.main->deletedObjects().empty());
            EXPECT_FALSE(r["a"]->isUpdated());
            EXPECT_FALSE(r["d"]->isInserted());
            EXPECT_FALSE(r["b"]->isDeleted());
            EXPECT_FALSE(r["b"]->managedObjectContext());
            EXPECT_FALSE(s.main->objectRegisteredForID(r["b"]->objectID()));
            for (const char* id : {"a", "c", "d"}) EXPECT_EQ(s.main->objectRegisteredForID(r[id]->objectID()), r[id]) << id;
        });
        if (heard) {
            ASSERT_EQ(saves.size(), 1u);
            EXPECT_EQ(names(saves[0], kInsertedObjectsKey), (std::vector<std::string>{"d"}));
            EXPECT_EQ(names(saves[0], kUpdatedObjectsKey), (std::vector<std::string>{"a"}));
            EXPECT_EQ(names(saves[0], kDeletedObjectsKey), (std::vector<std::string>{"b"}));
        } else {
            token = listen();
        }
        saves.clear();
        s.main->performAndWait([&] {
            r["d"]->setValueForKey(Value("D"), "title");
            ASSERT_TRUE(s.main->save(nullptr));
        });
        center->removeObserver(token.get());
        ASSERT_EQ(saves.size(), 1u);
        EXPECT_TRUE(names(saves[0], kInsertedObjectsKey).empty());
        EXPECT_EQ(names(saves[0], kUpdatedObjectsKey), (std::vector<std::string>{"d"}));
        EXPECT_TRUE(names(saves[0], kDeletedObjectsKey).empty());
        ASSERT_TRUE(s.saveAll());
        EXPECT_EQ(test::rawTexts(s.path, "SELECT \"msgId\" || '|' || coalesce(\"title\", '') FROM \"News\" ORDER BY \"msgId\""),
                  (std::vector<std::string>{"a|A", "c|", "d|D"}));
    }
}

// A context without a coordinator of its own answers with its parents' as the chain is at the ask,
// however often it was asked before and whichever context of the chain changed; and asking keeps no
// coordinator alive.
TEST(ContextChains, EachAskFindsTheCoordinatorOfTheChainAsItIsNow) {
    test::TempDir dir;
    auto model = test::makeItemModel();
    auto a = test::openCoordinator(model, dir.file("a.sqlite"));
    auto b = test::openCoordinator(model, dir.file("b.sqlite"));
    ASSERT_TRUE(a && b);
    auto context = [] { return ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement); };
    auto rootA = context(), rootB = context(), middle = context(), leaf = context();
    rootA->setPersistentStoreCoordinator(a);
    rootB->setPersistentStoreCoordinator(b);
    middle->setParentContext(rootA);
    leaf->setParentContext(middle);
    const std::function<void()> changes[] = {
        [] {},
        [&] { middle->setParentContext(rootB); },
        [&] { rootB->setPersistentStoreCoordinator(a); },
        [&] { rootB->setPersistentStoreCoordinator(nullptr); },
        [&] { rootB->setPersistentStoreCoordinator(b); },
        [&] { middle->setPersistentStoreCoordinator(a); },
        [&] { middle->setParentContext(rootB); },
        [&] { leaf->setParentContext(rootA); },
        [&] { leaf->setPersistentStoreCoordinator(b); },
    };
    PersistentStoreCoordinator* const expected[] = {a.get(), b.get(), a.get(), nullptr, b.get(), a.get(), b.get(), a.get(), b.get()};
    for (std::size_t i = 0; i < std::size(changes); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        changes[i]();
        for (int ask = 0; ask < 2; ++ask) EXPECT_EQ(leaf->persistentStoreCoordinator().get(), expected[i]);
    }
    // Found through the chain and then let go everywhere: gone.
    leaf->setParentContext(middle);
    middle->setParentContext(rootA);
    EXPECT_EQ(leaf->persistentStoreCoordinator(), a);
    Weak<PersistentStoreCoordinator> weakA = a;
    rootA->setPersistentStoreCoordinator(b);
    a = nullptr;
    EXPECT_TRUE(weakA.expired());
    EXPECT_EQ(leaf->persistentStoreCoordinator(), b);
}

TEST(ContextQueues, PrivateQueueContextsRunOnTheirOwnSerialQueue) {
    auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::PrivateQueue);
    EXPECT_EQ(context->concurrencyType(), ManagedObjectContextConcurrencyType::PrivateQueue);
    EXPECT_FALSE(context->isOnQueue());
    std::atomic<int> done{0};
    std::vector<int> order;
    for (int i = 0; i < 50; ++i) {
        context->perform([&, i] {
            EXPECT_FALSE(Thread::isMainThread());
            EXPECT_TRUE(context->isOnQueue());
            order.push_back(i);
            // Waiting on the own queue runs inline instead of dead-locking.
            bool inner = false;
            context->performAndWait([&] { inner = true; });
            EXPECT_TRUE(inner);
            ++done;
        });
    }
    bool waited = false;
    context->performAndWait([&] { waited = true; });  // after the blocks queued before it
    EXPECT_TRUE(waited);
    EXPECT_EQ(done.load(), 50);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(ContextQueues, MainQueueContextsRunOnTheMainThread) {
    auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::MainQueue);
    EXPECT_TRUE(context->isOnQueue());
    bool ran = false;
    context->perform([&] {
        EXPECT_TRUE(Thread::isMainThread());
        ran = true;
    });
    EXPECT_FALSE(ran);  // later, from the main loop
    ASSERT_TRUE(runMainUntil([&] { return ran; }, 5));
    // From another thread performAndWait waits for the main thread.
    std::atomic<bool> fromWorker{false};
    std::thread worker([&] { context->performAndWait([&] { fromWorker = Thread::isMainThread(); }); });
    ASSERT_TRUE(runMainUntil([&] { return fromWorker.load(); }, 5));
    worker.join();
}

TEST(ContextQueues, ConfinementContextsRunInline) {
    auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    bool ran = false;
    context->performAndWait([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_TRUE(context->isOnQueue());
}

TEST(ContextTracking, InsertedUpdatedAndDeletedSets) {
    Stack s(test::makeItemModel());
    auto root = s.root;
    root->performAndWait([&] {
        auto kept = insert(root, "Item", {{"name", Value("kept")}});
        auto dropped = insert(root, "Item", {{"name", Value("dropped")}});
        EXPECT_TRUE(root->hasChanges());
        EXPECT_EQ(root->insertedObjects(), (std::vector<Ref<ManagedObject>>{kept, dropped}));
        // Deleting a record inserted in the same context forgets it.
        root->deleteObject(dropped);
        EXPECT_FALSE(dropped->isInserted());
        EXPECT_FALSE(dropped->managedObjectContext());
        EXPECT_EQ(root->insertedObjects(), (std::vector<Ref<ManagedObject>>{kept}));
        EXPECT_TRUE(root->deletedObjects().empty());
        ASSERT_TRUE(root->save(nullptr));
        EXPECT_FALSE(root->hasChanges());
        EXPECT_EQ(fetch(root, request("Item")).size(), 1u);

        kept->setValueForKey(Value(3), "count");
        EXPECT_EQ(root->updatedObjects(), (std::vector<Ref<ManagedObject>>{kept}));
        root->deleteObject(kept);
        EXPECT_TRUE(kept->isDeleted());
        EXPECT_TRUE(root->updatedObjects().empty());
        EXPECT_EQ(root->deletedObjects(), (std::vector<Ref<ManagedObject>>{kept}));
        // Inserting it again undoes the deletion.
        root->insertObject(kept);
        EXPECT_FALSE(kept->isDeleted());
        EXPECT_TRUE(root->deletedObjects().empty());
        EXPECT_EQ(root->updatedObjects(), (std::vector<Ref<ManagedObject>>{kept}));
    });
}

TEST(ContextTracking, ChangesAreAnnouncedOnceAtTheEndOfTheQueueTask) {
    Stack s(test::makeItemModel());
    ChangeLog log(s.main);
    Ref<ManagedObject> a, b;
    s.main->performAndWait([&] {
        a = insert(s.main, "Item", {{"name", Value("a")}});
        b = insert(s.main, "Item", {{"name", Value("b")}});
    });
    EXPECT_TRUE(log.notes.empty());
    ASSERT_TRUE(runMainUntil([&] { return !log.notes.empty(); }, 5));
    ASSERT_EQ(log.notes.size(), 1u);
    EXPECT_EQ(log.notes[0].get(kInsertedObjectsKey), Value(Array{Value(a), Value(b)}));
    EXPECT_FALSE(log.notes[0].contains(kUpdatedObjectsKey));

    // processPendingChanges announces at once; a deletion of an unannounced insert announces nothing.
    s.main->performAndWait([&] {
        auto c = insert(s.main, "Item", {});
        s.main->deleteObject(c);
        a->setValueForKey(Value(1), "count");
        s.main->processPendingChanges();
    });
    ASSERT_EQ(log.notes.size(), 2u);
    EXPECT_EQ(log.notes[1], (Dictionary{{std::string(kUpdatedObjectsKey), Value(Array{Value(a)})}}));
    s.main->performAndWait([&] { s.main->processPendingChanges(); });
    EXPECT_EQ(log.notes.size(), 2u);
}

TEST(ContextTracking, ResetRefreshAndRollback) {
    Stack s(test::makeItemModel());
    auto root = s.root;
    root->performAndWait([&] {
        auto item = insert(root, "Item", {{"name", Value("saved")}, {"count", Value(1)}});
        ASSERT_TRUE(root->save(nullptr));
        ChangeLog log(root);

        item->setValueForKey(Value("changed"), "name");
        root->refreshObject(item, false);  // drops the change; loads again on access
        EXPECT_TRUE(item->isFault());
        EXPECT_FALSE(root->hasChanges());
        EXPECT_EQ(item->valueForKey("name"), Value("saved"));

        // Merging refresh: the store's new value comes in, the local change stays.
        item->setValueForKey(Value("mine"), "name");
        auto other = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
        other->setPersistentStoreCoordinator(s.coordinator);
        auto theirs = fetch(other, request("Item"))[0];
        theirs->setValueForKey(Value(9), "count");
        ASSERT_TRUE(other->save(nullptr));
        root->refreshObject(item, true);
        EXPECT_EQ(item->valueForKey("name"), Value("mine"));
        EXPECT_EQ(item->valueForKey("count"), Value(9));
        EXPECT_EQ(item->changedValues(), (Dictionary{{"name", Value("mine")}}));

        auto fresh = insert(root, "Item", {{"name", Value("new")}});
        root->rollback();
        EXPECT_FALSE(root->hasChanges());
        EXPECT_EQ(item->valueForKey("name"), Value("saved"));
        EXPECT_FALSE(fresh->managedObjectContext());

        log.notes.clear();
        auto id = item->objectID();
        root->reset();
        ASSERT_EQ(log.notes.size(), 1u);
        EXPECT_EQ(log.notes[0].get(kInvalidatedAllObjectsKey), Value(Array{Value(id)}));
        EXPECT_FALSE(root->objectRegisteredForID(id));
        EXPECT_TRUE(root->registeredObjects().empty());
        EXPECT_NE(root->objectWithID(id), item);
    });
}

// A record named more than once in one call gets one permanent ID, and each record its own, in the
// order named; the store then holds each once.
TEST(ContextIDs, RecordsNamedTwiceGetOnePermanentIDEach) {
    Stack s(test::makeItemModel());
    s.main->performAndWait([&] {
        auto a = insert(s.main, "Item", {{"name", Value("a")}});
        auto b = insert(s.main, "Item", {{"name", Value("b")}});
        auto c = insert(s.main, "Item", {{"name", Value("c")}});
        Ref<Error> error;
        ASSERT_TRUE(s.main->obtainPermanentIDsForObjects({a, b, a, c, b, a}, &error)) << test::describe(error);
        for (const auto& o : {a, b, c}) EXPECT_FALSE(o->objectID()->isTemporaryID());
        EXPECT_LT(a->objectID()->key(), b->objectID()->key());
        EXPECT_LT(b->objectID()->key(), c->objectID()->key());
        ASSERT_TRUE(s.main->save(nullptr));
    });
    s.root->performAndWait([&] { ASSERT_TRUE(s.root->save(nullptr)); });
    s.main->performAndWait([&] {
        auto request = FetchRequest::make("Item");
        auto all = s.main->executeFetchRequest(*request, nullptr);
        ASSERT_TRUE(all);
        EXPECT_EQ(all->size(), 3u);
    });
}

// Records of two entities in runs, some named twice and some already holding permanent IDs: each gets
// one permanent ID of its own entity, keys in the order first named; a later call starts afresh.
TEST(ContextIDs, RecordsOfTwoEntitiesNamedTwiceGetOnePermanentIDEach) {
    Stack s;
    s.main->performAndWait([&] {
        std::vector<Ref<ManagedObject>> n;
        std::vector<Ref<ManagedObject>> t;
        for (int i = 0; i < 4; ++i) {
            n.push_back(insert(s.main, "News", {{"msgId", Value("m" + std::to_string(i))}}));
            t.push_back(insert(s.main, "Toptenz", {{"title", Value("t" + std::to_string(i))}}));
        }
        Ref<Error> error;
        ASSERT_TRUE(s.main->obtainPermanentIDsForObjects({n[1]}, &error)) << test::describe(error);
        const auto first = n[1]->objectID();
        ASSERT_TRUE(s.main->obtainPermanentIDsForObjects({n[2], n[0], t[1], t[1], n[2], n[1], t[0], n[0], t[1]}, &error))
            << test::describe(error);
        EXPECT_EQ(n[1]->objectID(), first);  // kept
        const std::vector<std::pair<Ref<ManagedObject>, std::int64_t>> expected{
            {n[1], 1}, {n[2], 2}, {n[0], 3}, {t[1], 1}, {t[0], 2}};
        for (const auto& [o, key] : expected) {
            EXPECT_FALSE(o->objectID()->isTemporaryID());
            EXPECT_EQ(o->objectID()->key(), key) << o->valueForKey(o->entity()->name() == "News" ? "msgId" : "title").stringValue();
            EXPECT_EQ(s.main->objectRegisteredForID(o->objectID()), o);
        }
        EXPECT_EQ(n[0]->objectID()->entity()->name(), "News");
        EXPECT_EQ(t[0]->objectID()->entity()->name(), "Toptenz");
        ASSERT_TRUE(s.main->obtainPermanentIDsForObjects({t[2], n[3], t[2], t[3]}, &error)) << test::describe(error);
        EXPECT_EQ(t[2]->objectID()->key(), 3);
        EXPECT_EQ(t[3]->objectID()->key(), 4);
        EXPECT_EQ(n[3]->objectID()->key(), 4);
        ASSERT_TRUE(s.main->save(nullptr));
    });
    s.root->performAndWait([&] { ASSERT_TRUE(s.root->save(nullptr)); });
    EXPECT_EQ(test::rawTexts(s.path, "SELECT \"_pk\" || '|' || \"msgId\" FROM \"News\" ORDER BY \"_pk\""),
              (std::vector<std::string>{"1|m1", "2|m2", "3|m0", "4|m3"}));
    EXPECT_EQ(test::rawTexts(s.path, "SELECT \"_pk\" || '|' || \"title\" FROM \"Toptenz\" ORDER BY \"_pk\""),
              (std::vector<std::string>{"1|t1", "2|t0", "3|t2", "4|t3"}));
}

TEST(ContextIDs, PermanentIDsAreTheSameValueInEveryContext) {
    Stack s(test::makeItemModel());
    Ref<ManagedObject> item;
    Ref<ManagedObjectID> temporary;
    s.main->performAndWait([&] {
        item = insert(s.main, "Item", {{"name", Value("a")}});
        temporary = item->objectID();
        ASSERT_TRUE(s.main->save(nullptr));  // pushed into the root under the temporary ID
        Ref<Error> error;
        ASSERT_TRUE(s.main->obtainPermanentIDsForObjects({item}, &error)) << test::describe(error);
    });
    auto permanent = item->objectID();
    EXPECT_FALSE(permanent->isTemporaryID());
    EXPECT_EQ(temporary->permanentID(), permanent);
    EXPECT_EQ(permanent->storeIdentifier(), s.coordinator->persistentStores()[0]->identifier());
    s.main->performAndWait([&] { EXPECT_EQ(s.main->objectRegisteredForID(permanent), item); });
    // The root held the record under the temporary ID; it finds it under the permanent one, and the
    // save keeps the key.
    s.root->performAndWait([&] {
        auto inRoot = s.root->objectRegisteredForID(permanent);
        ASSERT_TRUE(inRoot);
        EXPECT_TRUE(inRoot->objectID()->isEqual(*permanent));
        EXPECT_EQ(s.root->objectRegisteredForID(temporary), inRoot);
        ASSERT_TRUE(s.root->save(nullptr));
        EXPECT_EQ(inRoot->objectID()->key(), permanent->key());
    });
    auto reader = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    reader->setPersistentStoreCoordinator(s.coordinator);
    auto back = fetch(reader, request("Item"));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_TRUE(back[0]->objectID()->isEqual(*permanent));
    EXPECT_EQ(back[0]->objectID()->hash(), permanent->hash());
    EXPECT_EQ(back[0]->objectID()->URIRepresentation(), "x-lvdata://" + permanent->storeIdentifier() + "/Item/p" +
                                                            std::to_string(permanent->key()));
}

TEST(ContextLookups, ExistingObjectsComeFromTheParentChainOrTheStore) {
    Stack s(test::makeItemModel());
    Ref<ManagedObjectID> id;
    s.root->performAndWait([&] { id = insert(s.root, "Item", {{"name", Value("in root only")}})->objectID(); });
    s.main->performAndWait([&] {
        Ref<Error> error;
        auto found = s.main->existingObjectWithID(id, &error);
        ASSERT_TRUE(found) << test::describe(error);
        EXPECT_EQ(found->valueForKey("name"), Value("in root only"));
        EXPECT_FALSE(found->isInserted());
    });
    // Deleted in the root: a new child of the root no longer finds it (the main context, which holds
    // it, still does until it merges).
    s.root->performAndWait([&] { s.root->deleteObject(s.root->objectRegisteredForID(id)); });
    s.main->performAndWait([&] { EXPECT_TRUE(s.main->existingObjectWithID(id, nullptr)); });
    auto child = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::PrivateQueue);
    child->setParentContext(s.root);
    child->performAndWait([&] {
        Ref<Error> error;
        EXPECT_FALSE(child->existingObjectWithID(id, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), kManagedObjectReferentialIntegrityError);
        EXPECT_EQ(error->userInfo().get(kAffectedObjectsErrorKey), Value(Array{Value(id)}));
    });
}

// Many IDs looked up at once find what looking each up in turn finds: the same records (loaded, one
// record for an ID named twice), and the same errors at the same places (no ID, a row gone), from the
// store directly (past the read batches: 64, 16, 4, 1 keys) and through a parent context.
TEST(ContextLookups, ManyIDsAtOnceFindWhatOneByOneFinds) {
    Stack s;
    s.main->performAndWait([&] {
        for (int i = 0; i < 100; ++i) insert(s.main, "Toptenz", {{"title", Value("t" + std::to_string(i))}, {"rank", Value(i)}});
        for (int i = 0; i < 5; ++i) insert(s.main, "News", {{"msgId", Value("n" + std::to_string(i))}, {"title", Value("news")}});
    });
    ASSERT_TRUE(s.saveAll());
    auto reader = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    reader->setPersistentStoreCoordinator(s.coordinator);
    std::vector<Ref<ManagedObjectID>> toptenz, news;
    for (const auto& o : fetch(reader, request("Toptenz", nullptr, {SortDescriptor("rank", true)}))) toptenz.push_back(o->objectID());
    for (const auto& o : fetch(reader, request("News", nullptr, {SortDescriptor("msgId", true)}))) news.push_back(o->objectID());
    ASSERT_EQ(toptenz.size(), 100u);
    ASSERT_EQ(news.size(), 5u);
    // Two rows go from the file.
    reader->performAndWait([&] {
        reader->deleteObject(reader->objectWithID(toptenz[3]));
        reader->deleteObject(reader->objectWithID(news[2]));
        ASSERT_TRUE(reader->save(nullptr));
    });
    std::vector<Ref<ManagedObjectID>> ids;
    for (std::size_t i = 0; i < toptenz.size(); ++i) {
        ids.push_back(toptenz[i]);
        if (i % 20 == 0) ids.push_back(news[i / 20]);
    }
    ids.push_back(toptenz[10]);
    ids.push_back(nullptr);
    ids.push_back(toptenz[3]);
    // What a lookup gave: the record's title and whether it is loaded, else the error's code.
    using Found = std::vector<std::string>;
    auto describeAll = [](const std::vector<Ref<ManagedObject>>& records, const std::vector<Ref<Error>>& errors) {
        Found out;
        for (std::size_t i = 0; i < records.size(); ++i) {
            if (records[i]) {
                out.push_back(records[i]->valueForKey("title").stringValue() + (records[i]->isFault() ? " fault" : " loaded"));
            } else {
                out.push_back("error " + (errors[i] ? std::to_string(errors[i]->code()) : std::string("none")));
            }
        }
        return out;
    };
    for (const bool child : {false, true}) {
        SCOPED_TRACE(child ? "through a parent" : "from the store");
        auto make = [&] {
            auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
            if (child) {
                context->setParentContext(s.root);
            } else {
                context->setPersistentStoreCoordinator(s.coordinator);
            }
            // One record loaded, one a fault, before the lookups.
            Ref<Error> error;
            EXPECT_TRUE(context->existingObjectWithID(toptenz[20], &error));
            EXPECT_TRUE(context->objectWithID(toptenz[21])->isFault());
            return context;
        };
        auto oneByOne = make();
        std::vector<Ref<ManagedObject>> expectedRecords;
        std::vector<Ref<Error>> expectedErrors;
        for (const auto& id : ids) {
            Ref<Error> error;
            expectedRecords.push_back(oneByOne->existingObjectWithID(id, &error));
            expectedErrors.push_back(error);
        }
        auto atOnce = make();
        std::vector<Ref<Error>> errors;
        const auto records = atOnce->existingObjectsWithIDs(ids, &errors);
        ASSERT_EQ(records.size(), ids.size());
        ASSERT_EQ(errors.size(), ids.size());
        const Found expected = describeAll(expectedRecords, expectedErrors);
        EXPECT_EQ(describeAll(records, errors), expected);
        // No ID, two rows gone (one named twice); the parent still holds the rows it saved.
        EXPECT_EQ(std::count(expected.begin(), expected.end(), "error 133000"), child ? 1 : 4);
        EXPECT_EQ(records[ids.size() - 3], records[11]);  // toptenz[10], named twice: one record
        EXPECT_EQ(records[0]->valueForKey("rank"), Value(0));
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (records[i]) {
                EXPECT_EQ(atOnce->objectRegisteredForID(ids[i]), records[i]);
            }
        }
        EXPECT_TRUE(atOnce->existingObjectsWithIDs({}, &errors).empty());
        EXPECT_TRUE(errors.empty());
    }
}

// A read that fails for one entity's IDs (its table dropped by another program) fails those IDs only:
// the others are found as looking each up in turn finds them.
TEST(ContextLookups, AReadThatFailsForSomeIDsFailsOnlyThose) {
    Stack s;
    s.main->performAndWait([&] {
        for (int i = 0; i < 3; ++i) insert(s.main, "Toptenz", {{"title", Value("t" + std::to_string(i))}, {"rank", Value(i)}});
        for (int i = 0; i < 2; ++i) insert(s.main, "News", {{"msgId", Value("n" + std::to_string(i))}, {"title", Value("news")}});
    });
    ASSERT_TRUE(s.saveAll());
    auto reader = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    reader->setPersistentStoreCoordinator(s.coordinator);
    std::vector<Ref<ManagedObjectID>> ids;
    for (const auto& o : fetch(reader, request("News", nullptr, {SortDescriptor("msgId", true)}))) ids.push_back(o->objectID());
    for (const auto& o : fetch(reader, request("Toptenz", nullptr, {SortDescriptor("rank", true)}))) ids.push_back(o->objectID());
    ASSERT_EQ(ids.size(), 5u);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(s.path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP TABLE \"News\"", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    auto describe = [](const Ref<ManagedObject>& record, const Ref<Error>& error) {
        return record ? record->valueForKey("title").stringValue() : error ? "error" : "none";
    };
    auto oneByOne = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    oneByOne->setPersistentStoreCoordinator(s.coordinator);
    std::vector<std::string> expected;
    for (const auto& id : ids) {
        Ref<Error> error;
        const Ref<ManagedObject> record = oneByOne->existingObjectWithID(id, &error);
        expected.push_back(describe(record, error));
    }
    EXPECT_EQ(expected, (std::vector<std::string>{"error", "error", "t0", "t1", "t2"}));
    auto atOnce = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    atOnce->setPersistentStoreCoordinator(s.coordinator);
    std::vector<Ref<Error>> errors;
    const auto records = atOnce->existingObjectsWithIDs(ids, &errors);
    std::vector<std::string> found;
    for (std::size_t i = 0; i < records.size(); ++i) found.push_back(describe(records[i], errors[i]));
    EXPECT_EQ(found, expected);
}

// Rows in the file: a1 (sid 1, rank 1), a2 (1, 2), a3 (1, 3), b1 (2, 1).
struct OverlayFetch : ::testing::Test {
    void SetUp() override {
        s = std::make_unique<Stack>();
        s->main->performAndWait([&] {
            for (auto [msg, sid, rank] : {std::tuple{"a1", 1, 1}, std::tuple{"a2", 1, 2}, std::tuple{"a3", 1, 3}, std::tuple{"b1", 2, 1}}) {
                insert(s->main, "Toptenz", {{"title", Value(msg)}, {"sid", Value(sid)}, {"rank", Value(rank)}});
            }
        });
        ASSERT_TRUE(s->saveAll());
        child = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::PrivateQueue);
        child->setParentContext(s->main);
    }
    std::vector<std::string> titles(const Ref<ManagedObjectContext>& c, const Ref<FetchRequest>& r) { return test::texts(fetch(c, r), "title"); }
    std::size_t count(const Ref<ManagedObjectContext>& c, const Ref<FetchRequest>& r) {
        std::size_t n = 0;
        c->performAndWait([&] {
            Ref<Error> error;
            auto result = c->countForFetchRequest(*r, &error);
            ASSERT_TRUE(result) << test::describe(error);
            n = *result;
        });
        return n;
    }
    std::unique_ptr<Stack> s;
    Ref<ManagedObjectContext> child;
};

TEST_F(OverlayFetch, PendingChangesOfEveryLevelLieOverTheRows) {
    // Root: a2 deleted. Main: a3 moved to rank 0, a new a4 at rank 5. Child: a1 moved to site 2, a new a0.
    s->root->performAndWait([&] {
        s->root->deleteObject(fetch(s->root, request("Toptenz", where("title = 'a2'")))[0]);
    });
    s->main->performAndWait([&] {
        fetch(s->main, request("Toptenz", where("title = 'a3'")))[0]->setValueForKey(Value(0), "rank");
        insert(s->main, "Toptenz", {{"title", Value("a4")}, {"sid", Value(1)}, {"rank", Value(5)}});
    });
    child->performAndWait([&] {
        auto a1 = fetch(child, request("Toptenz", where("title = 'a1'")))[0];
        a1->setValueForKey(Value(2), "sid");
        insert(child, "Toptenz", {{"title", Value("a0")}, {"sid", Value(1)}, {"rank", Value(1)}});
        EXPECT_EQ(fetch(child, request("Toptenz", where("title = 'a1' AND sid = 2"))), std::vector<Ref<ManagedObject>>{a1});  // its own record
    });
    auto site1 = request("Toptenz", where("sid = %@", {Value(*Decimal::parse("1"))}), {SortDescriptor("rank", true)});
    EXPECT_EQ(titles(child, site1), (std::vector<std::string>{"a3", "a0", "a4"}));
    EXPECT_EQ(count(child, site1), 3u);
    EXPECT_EQ(titles(s->main, site1), (std::vector<std::string>{"a3", "a1", "a4"}));
    EXPECT_EQ(titles(s->root, site1), (std::vector<std::string>{"a1", "a3"}));
    // Offset and limit apply after the overlay; ties keep store order, new records last.
    site1->setFetchOffset(1);
    site1->setFetchLimit(1);
    EXPECT_EQ(titles(child, site1), (std::vector<std::string>{"a0"}));
    EXPECT_EQ(count(child, site1), 1u);
    auto byRank = request("Toptenz", nullptr, {SortDescriptor("rank", false)});
    EXPECT_EQ(titles(child, byRank), (std::vector<std::string>{"a4", "a1", "b1", "a0", "a3"}));
    // Without pending changes: the rows only.
    auto rowsOnly = request("Toptenz", nullptr, {SortDescriptor("title", true)});
    rowsOnly->setIncludesPendingChanges(false);
    EXPECT_EQ(count(child, rowsOnly), 4u);
    // Object IDs.
    child->performAndWait([&] {
        auto ids = request("Toptenz", where("sid = 2"));
        ids->setResultType(FetchRequestResultType::ManagedObjectID);
        auto result = child->executeFetchRequest(*ids, nullptr);
        ASSERT_TRUE(result);
        ASSERT_EQ(result->size(), 2u);
        EXPECT_TRUE((*result)[0].objectAs<ManagedObjectID>());
    });
}

// Rows deleted or changed at some level are left out by the store before it reads their values; the
// results (order, window, counts, IDs, predicates SQL cannot decide) must be those of the survivors.
TEST_F(OverlayFetch, DeletionsAndChangesOfEveryLevelUnderSortsWindowsAndCounts) {
    // 40 more rows c00..c39 at site 3, ranks (7i mod 40): all different, not in key order.
    std::map<std::string, std::int64_t> expected;  // title → rank, as the child sees them
    s->main->performAndWait([&] {
        for (int i = 0; i < 40; ++i) {
            char title[8];
            std::snprintf(title, sizeof title, "c%02d", i);
            insert(s->main, "Toptenz", {{"title", Value(title)}, {"sid", Value(3)}, {"rank", Value((7 * i) % 40)}});
            expected[title] = (7 * i) % 40;
        }
    });
    ASSERT_TRUE(s->saveAll());
    auto change = [&](const Ref<ManagedObjectContext>& c, int from, int step, bool remove) {
        c->performAndWait([&] {
            for (const auto& o : fetch(c, request("Toptenz", where("sid = 3")))) {
                const std::string title = o->valueForKey("title").stringValue();
                const int i = std::stoi(title.substr(1));
                if (i < from || (i - from) % step != 0) continue;
                if (remove) {
                    c->deleteObject(o);
                    expected.erase(title);
                } else {
                    o->setValueForKey(Value(100 + i), "rank");
                    expected[title] = 100 + i;
                }
            }
        });
    };
    change(s->root, 0, 5, true);   // c00, c05, ...
    change(s->main, 1, 5, true);   // c01, c06, ...
    change(s->main, 2, 10, false);  // c02, c12, ... moved to the end
    change(child, 3, 5, true);     // c03, c08, ...
    change(child, 4, 10, false);   // c04, c14, ...
    child->performAndWait([&] {
        insert(child, "Toptenz", {{"title", Value("c99")}, {"sid", Value(3)}, {"rank", Value(50)}});
        expected["c99"] = 50;
    });
    // A record changed in the main context and deleted in the child: hidden.
    change(child, 2, 20, true);  // c02, c22
    ASSERT_EQ(expected.size(), 40u - 8 - 8 - 8 - 2 + 1);

    std::vector<std::string> ascending;  // by rank
    for (const auto& [title, rank] : expected) ascending.push_back(title);
    std::sort(ascending.begin(), ascending.end(), [&](const std::string& a, const std::string& b) { return expected[a] < expected[b]; });
    const std::vector<std::string> descending(ascending.rbegin(), ascending.rend());
    auto window = [](const std::vector<std::string>& v, std::size_t offset, std::size_t limit) {
        const std::size_t begin = std::min(offset, v.size());
        const std::size_t end = limit ? std::min(v.size(), begin + limit) : v.size();
        return std::vector<std::string>(v.begin() + static_cast<std::ptrdiff_t>(begin), v.begin() + static_cast<std::ptrdiff_t>(end));
    };
    auto sqlSite = where("sid = 3");
    auto memorySite = where("sid = %@", {Value(*Decimal::parse("3"))});  // decimal against an integer: decided in memory
    struct Case {
        Ref<Predicate> predicate;
        bool ascending;
        std::size_t offset, limit;
    };
    for (const Case& c : {Case{sqlSite, true, 0, 0}, Case{sqlSite, false, 0, 0}, Case{sqlSite, true, 4, 7}, Case{sqlSite, false, 20, 10},
                          Case{memorySite, true, 0, 0}, Case{memorySite, false, 3, 5}, Case{memorySite, true, 30, 0}}) {
        SCOPED_TRACE(std::to_string(c.ascending) + " " + std::to_string(c.offset) + " " + std::to_string(c.limit) +
                     (c.predicate == memorySite ? " memory" : " sql"));
        auto r = request("Toptenz", c.predicate, {SortDescriptor("rank", c.ascending)});
        r->setFetchOffset(c.offset);
        r->setFetchLimit(c.limit);
        const auto want = window(c.ascending ? ascending : descending, c.offset, c.limit);
        EXPECT_EQ(titles(child, r), want);
        EXPECT_EQ(count(child, r), want.size());
        child->performAndWait([&] {
            auto ids = r->copy();
            ids->setResultType(FetchRequestResultType::ManagedObjectID);
            auto result = child->executeFetchRequest(*ids, nullptr);
            ASSERT_TRUE(result);
            ASSERT_EQ(result->size(), want.size());
            for (std::size_t i = 0; i < want.size(); ++i) {
                auto o = child->objectWithID((*result)[i].objectAs<ManagedObjectID>());
                EXPECT_EQ(o->valueForKey("title").stringValue(), want[i]);
            }
        });
    }
    // Without pending changes: every row, each with its stored values.
    auto rowsOnly = request("Toptenz", sqlSite, {SortDescriptor("title", true)});
    rowsOnly->setIncludesPendingChanges(false);
    EXPECT_EQ(count(child, rowsOnly), 40u);
}

// The coordinator's row filter: rows left out count towards neither the window nor the count.
TEST_F(OverlayFetch, CoordinatorRowFilterAppliesBeforeTheWindow) {
    auto skipA = [](const Ref<ManagedObjectID>& id) { return id->key() % 2 == 1; };
    FetchRequest all("Toptenz");
    all.setSortDescriptors({SortDescriptor("title", true)});
    auto everything = s->coordinator->executeFetchRequest(all, nullptr);
    ASSERT_TRUE(everything);
    std::vector<Ref<ManagedObjectID>> kept;
    for (const auto& row : everything->rows) {
        if (!skipA(row.objectID)) kept.push_back(row.objectID);
    }
    ASSERT_GE(kept.size(), 2u);
    ASSERT_LT(kept.size(), everything->rows.size());
    for (std::size_t offset : {0u, 1u}) {
        FetchRequest windowed("Toptenz");
        windowed.setSortDescriptors({SortDescriptor("title", true)});
        windowed.setFetchOffset(offset);
        windowed.setFetchLimit(1);
        auto result = s->coordinator->executeFetchRequest(windowed, nullptr, skipA);
        ASSERT_TRUE(result);
        ASSERT_EQ(result->rows.size(), 1u);
        EXPECT_EQ(result->rows[0].objectID->key(), kept[offset]->key());
        EXPECT_FALSE(result->rows[0].values.empty());
        windowed.setFetchLimit(0);
        windowed.setResultType(FetchRequestResultType::Count);
        auto counted = s->coordinator->executeFetchRequest(windowed, nullptr, skipA);
        ASSERT_TRUE(counted);
        EXPECT_EQ(counted->count, kept.size() - offset);
    }
}

// A context keeps its unsaved deletions between fetches; every change of a deleted list, and every
// temporary ID that gets its permanent one, must show in the next fetch, which at the end agrees with
// the same fetch over the saved file.
TEST_F(OverlayFetch, KeptDeletionsFollowEveryChange) {
    auto all = request("Toptenz", nullptr, {SortDescriptor("title", true)});
    auto byTitle = [&](const Ref<ManagedObjectContext>& c, const char* title) {
        return fetch(c, request("Toptenz", where("title = %@", {Value(title)})));
    };
    using Titles = std::vector<std::string>;
    struct Step {
        const char* what;
        std::function<void()> change;
        Titles child, main;
    };
    Ref<ManagedObject> a1, a2, c1;
    const std::vector<Step> steps = {
        {"child deletes a2", [&] { child->performAndWait([&] { a2 = byTitle(child, "a2")[0]; child->deleteObject(a2); }); },
         {"a1", "a3", "b1"}, {"a1", "a2", "a3", "b1"}},
        {"child deletes a1 too", [&] { child->performAndWait([&] { a1 = byTitle(child, "a1")[0]; child->deleteObject(a1); }); },
         {"a3", "b1"}, {"a1", "a2", "a3", "b1"}},
        {"child undeletes a1", [&] { child->performAndWait([&] { child->insertObject(a1); }); },
         {"a1", "a3", "b1"}, {"a1", "a2", "a3", "b1"}},
        {"main deletes b1", [&] { s->main->performAndWait([&] { s->main->deleteObject(byTitle(s->main, "b1")[0]); }); },
         {"a1", "a3"}, {"a1", "a2", "a3"}},
        {"main inserts c1", [&] { s->main->performAndWait([&] { c1 = insert(s->main, "Toptenz", {{"title", Value("c1")}, {"sid", Value(3)}}); }); },
         {"a1", "a3", "c1"}, {"a1", "a2", "a3", "c1"}},
        {"child deletes c1 under its temporary ID", [&] { child->performAndWait([&] { child->deleteObject(byTitle(child, "c1")[0]); }); },
         {"a1", "a3"}, {"a1", "a2", "a3", "c1"}},
        {"main gives c1 its permanent ID", [&] { s->main->performAndWait([&] { ASSERT_TRUE(s->main->obtainPermanentIDsForObjects({c1}, nullptr)); }); },
         {"a1", "a3"}, {"a1", "a2", "a3", "c1"}},
        {"child rolls back", [&] { child->performAndWait([&] { child->rollback(); }); },
         {"a1", "a2", "a3", "c1"}, {"a1", "a2", "a3", "c1"}},
        {"child deletes a3 and updates a1", [&] { child->performAndWait([&] {
             child->deleteObject(byTitle(child, "a3")[0]);
             byTitle(child, "a1")[0]->setValueForKey(Value("a5"), "title");
         }); },
         {"a2", "a5", "c1"}, {"a1", "a2", "a3", "c1"}},
    };
    // A first fetch before any change, so that each step meets what the previous fetch kept.
    EXPECT_EQ(titles(child, all), (Titles{"a1", "a2", "a3", "b1"}));
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        EXPECT_EQ(titles(child, all), step.child);
        EXPECT_EQ(count(child, all), step.child.size());
        EXPECT_EQ(titles(s->main, all), step.main);
    }
    Ref<Error> error;
    child->performAndWait([&] { ASSERT_TRUE(child->save(&error)) << test::describe(error); });
    ASSERT_TRUE(s->saveAll(&error)) << test::describe(error);
    auto reader = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::PrivateQueue);
    reader->setPersistentStoreCoordinator(s->coordinator);
    EXPECT_EQ(titles(reader, all), steps.back().child);
}

// A fetch without values gives the records, order and window of the same fetch with values: two
// sibling contexts with the same unsaved changes (a2 deleted, a3 moved to site 2, a new a0), one
// fetching keys only, the other with values; then the main context, which has no unsaved changes.
TEST_F(OverlayFetch, KeysOnlyFetchGivesTheRecordsOfAFetchWithValues) {
    auto sibling = [&] {
        auto c = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::PrivateQueue);
        c->setParentContext(s->main);
        c->performAndWait([&] {
            c->deleteObject(fetch(c, request("Toptenz", where("title = 'a2'")))[0]);
            fetch(c, request("Toptenz", where("title = 'a3'")))[0]->setValueForKey(Value(2), "sid");
            insert(c, "Toptenz", {{"title", Value("a0")}, {"sid", Value(1)}, {"rank", Value(9)}});
        });
        return c;
    };
    auto keysOnly = sibling();
    auto withValues = sibling();
    struct Case {
        const char* name;
        Ref<Predicate> predicate;
        std::vector<SortDescriptor> sorts;
        std::size_t offset, limit;
    };
    const std::vector<Case> cases = {
        {"all", nullptr, {}, 0, 0},
        {"site 1", where("sid = 1"), {}, 0, 0},
        {"site 2", where("sid = 2"), {}, 0, 0},
        {"site 1 in memory", where("sid = %@", {Value(*Decimal::parse("1"))}), {}, 0, 0},
        {"by rank, descending", nullptr, {SortDescriptor("rank", false)}, 0, 0},
        {"window", nullptr, {}, 1, 2},
        {"sorted window", nullptr, {SortDescriptor("title", true)}, 2, 2},
    };
    auto describeAll = [](const std::vector<Ref<ManagedObject>>& objects) {
        std::vector<std::string> out;
        for (const auto& o : objects) {
            out.push_back(o->valueForKey("title").stringValue() + "/" + o->valueForKey("sid").stringValue() + "/" +
                          o->valueForKey("rank").stringValue());
        }
        return out;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = request("Toptenz", c.predicate, c.sorts);
        r->setFetchOffset(c.offset);
        r->setFetchLimit(c.limit);
        auto bare = r->copy();
        bare->setIncludesPropertyValues(false);
        for (const auto& contexts : {std::pair{keysOnly, withValues}, std::pair{s->main, s->main}}) {
            const Ref<ManagedObjectContext>& fetching = contexts.first;
            const Ref<ManagedObjectContext>& reference = contexts.second;
            std::vector<std::string> got, want;
            auto reader = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::PrivateQueue);
            reader->setParentContext(s->main);
            // The main context has nothing unsaved: a fresh child of it stands for its values.
            const auto& valued = fetching == s->main ? reader : reference;
            want = describeAll(fetch(valued, r));
            fetching->performAndWait([&] { got = describeAll(fetch(fetching, bare)); });
            EXPECT_EQ(got, want);
            EXPECT_FALSE(want.empty());
        }
    }
}

// A record the context holds loaded and unchanged whose row another writer moved on takes the row's
// new values from a fetch without values, as from one with values (with and without unsaved changes
// of the entity); a record the context does not hold comes as a fault whose values are the row's.
TEST_F(OverlayFetch, KeysOnlyFetchRefreshesRecordsWhoseRowsMoved) {
    Ref<ManagedObject> b1;
    s->main->performAndWait([&] { b1 = fetch(s->main, request("Toptenz", where("title = 'b1'")))[0]; });
    ASSERT_FALSE(b1->isFault());
    auto other = test::openCoordinator(test::contentModel(), s->path);
    ASSERT_TRUE(other);
    auto writer = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::PrivateQueue);
    writer->setPersistentStoreCoordinator(other);
    auto bare = request("Toptenz", where("sid = 2"));
    bare->setIncludesPropertyValues(false);
    for (const bool unsaved : {false, true}) {
        SCOPED_TRACE(unsaved ? "unsaved changes" : "no unsaved changes");
        const std::int64_t rank = unsaved ? 8 : 7;
        writer->performAndWait([&] {
            fetch(writer, request("Toptenz", where("title = 'b1'")))[0]->setValueForKey(Value(rank), "rank");
            Ref<Error> error;
            ASSERT_TRUE(writer->save(&error)) << test::describe(error);
        });
        s->main->performAndWait([&] {
            if (unsaved) insert(s->main, "Toptenz", {{"title", Value("z9")}, {"sid", Value(5)}});
            auto found = fetch(s->main, bare);
            ASSERT_EQ(found.size(), 1u);
            EXPECT_EQ(found[0], b1);
            EXPECT_FALSE(b1->isFault());
            EXPECT_EQ(b1->valueForKey("rank").longLongValue(), rank);
        });
    }
    child->performAndWait([&] {
        auto r = request("Toptenz", where("title = 'a3'"));
        r->setIncludesPropertyValues(false);
        auto found = fetch(child, r);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_TRUE(found[0]->isFault());
        EXPECT_EQ(found[0]->valueForKey("rank").longLongValue(), 3);
        EXPECT_FALSE(found[0]->isFault());
    });
}

// Long runs of consecutive keys that the overlay decides about are left out in SQL: deletions and
// updates in runs at two levels (five runs, more than the store takes in SQL), beside scattered ones;
// every form of fetch gives what an independent model of the rows says.
TEST_F(OverlayFetch, RunsOfDeletedAndChangedKeysGiveTheSameResults) {
    std::map<std::string, std::int64_t> expected;  // title → rank, as the child sees the site-5 rows
    s->main->performAndWait([&] {
        for (int i = 0; i < 200; ++i) {
            char title[8];
            std::snprintf(title, sizeof title, "r%03d", i);
            insert(s->main, "Toptenz", {{"title", Value(title)}, {"sid", Value(5)}, {"rank", Value(i)}});
            expected[title] = i;
        }
    });
    ASSERT_TRUE(s->saveAll());
    auto change = [&](const Ref<ManagedObjectContext>& c, int from, int to, bool remove) {
        c->performAndWait([&] {
            for (const auto& o : fetch(c, request("Toptenz", where("sid = 5")))) {
                const std::string title = o->valueForKey("title").stringValue();
                const int i = std::stoi(title.substr(1));
                if (i < from || i > to) continue;
                if (remove) {
                    c->deleteObject(o);
                    expected.erase(title);
                } else {
                    o->setValueForKey(Value(1000 - i), "rank");
                    expected[title] = 1000 - i;
                }
            }
        });
    };
    change(child, 20, 119, true);    // a run of 100 deletions
    change(s->main, 130, 139, true);  // a run in the parent
    change(child, 150, 159, false);   // a run of updates
    change(s->main, 170, 178, false);  // updates in the parent
    change(child, 185, 194, true);    // a fifth run
    change(child, 3, 3, true);        // and single ones
    change(s->main, 9, 9, false);
    ASSERT_EQ(expected.size(), 200u - 100 - 10 - 10 - 1);
    std::vector<std::string> ascending;
    for (const auto& [title, rank] : expected) ascending.push_back(title);
    std::sort(ascending.begin(), ascending.end(), [&](const std::string& a, const std::string& b) { return expected[a] < expected[b]; });
    const std::vector<std::string> byTitle = [&] {
        std::vector<std::string> v;
        for (const auto& [title, rank] : expected) v.push_back(title);
        return v;
    }();
    auto sqlSite = where("sid = 5");
    auto memorySite = where("sid = %@", {Value(*Decimal::parse("5"))});
    struct Case {
        const char* name;
        Ref<Predicate> predicate;
        std::vector<SortDescriptor> sorts;
        std::size_t offset, limit;
        std::vector<std::string> want;
    };
    const std::vector<Case> cases = {
        {"by rank", sqlSite, {SortDescriptor("rank", true)}, 0, 0, ascending},
        {"by rank, in memory", memorySite, {SortDescriptor("rank", true)}, 0, 0, ascending},
        {"by title, window", sqlSite, {SortDescriptor("title", true)}, 15, 30,
         std::vector<std::string>(byTitle.begin() + 15, byTitle.begin() + 45)},
        {"by key", sqlSite, {}, 0, 0, byTitle},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = request("Toptenz", c.predicate, c.sorts);
        r->setFetchOffset(c.offset);
        r->setFetchLimit(c.limit);
        EXPECT_EQ(titles(child, r), c.want);
        EXPECT_EQ(count(child, r), c.want.size());
        auto bare = r->copy();
        bare->setIncludesPropertyValues(false);
        EXPECT_EQ(titles(child, bare), c.want);
    }
    // Every row of the entity, the four of the fixture included.
    EXPECT_EQ(count(child, request("Toptenz")), expected.size() + 4);
}

TEST_F(OverlayFetch, ErrorsAreValues) {
    auto lonely = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    Ref<Error> error;
    EXPECT_FALSE(lonely->executeFetchRequest(*request("Toptenz"), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kObjectStoreError);
    child->performAndWait([&] {
        error = nullptr;
        EXPECT_FALSE(child->executeFetchRequest(*request("Nothing"), &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), kObjectStoreError);
        error = nullptr;
        EXPECT_FALSE(child->countForFetchRequest(*request("Toptenz", where("colour = 1")), &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), kObjectStoreError);
    });
}

TEST_F(OverlayFetch, DictionaryResultsComeFromTheStore) {
    s->main->performAndWait([&] { insert(s->main, "Toptenz", {{"title", Value("unsaved")}, {"sid", Value(1)}}); });
    s->main->performAndWait([&] {
        auto r = request("Toptenz", where("sid = 1"), {SortDescriptor("rank", true)});
        r->setResultType(FetchRequestResultType::Dictionary);
        r->setPropertiesToFetch(Array{Value("title")});
        auto result = s->main->executeFetchRequest(*r, nullptr);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->size(), 3u);
        EXPECT_EQ((*result)[0], Value(Dictionary{{"title", Value("a1")}}));
    });
}

}  // namespace
}  // namespace lv
