// Record-class operations: entity names, request builders and sort terms, finders over unsaved
// changes, creation and deletion, fetched-results controllers, counts and aggregates.
#include "platform/data/errors.h"
#include "platform/dispatch/thread.h"
#include "store_test_support.h"

namespace lv::test {
namespace {

// Classes for the entity-name rule.
class Dotted : public Record<Dotted> {
public:
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = RecordClassDef<Dotted>("App.Thing").registerClass();
        return cls;
    }
};
class EmptyName : public Record<EmptyName> {
public:
    static std::string entityName() { return ""; }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = RecordClassDef<EmptyName>("Plain").registerClass();
        return cls;
    }
};
class Renamed : public Record<Renamed> {
public:
    static std::string entityName() { return "News"; }
};
// A class that makes its records itself.
class SelfMade : public Record<SelfMade> {
public:
    static std::string entityName() { return "News"; }
    static Ref<ManagedObject> insertInManagedObjectContext(const Ref<ManagedObjectContext>& context) {
        ++made;
        auto record = ManagedObject::insertNewObject("News", context);
        record->setValueForKey(Value("made by the class"), "title");
        return record;
    }
    static inline int made = 0;
};

TEST(RecordEntityName, LastDotComponentOrTheClassesOwnName) {
    EXPECT_EQ(Dotted::RS_entityName(), "Thing");
    EXPECT_EQ(EmptyName::RS_entityName(), "Plain");
    EXPECT_EQ(Renamed::RS_entityName(), "News");
    EXPECT_EQ(News::RS_entityName(), "News");
    EXPECT_EQ(RecordEntity("a.b.Item").RS_entityName(), "Item");
}

using Requests = StackTest;

struct SortCase {
    const char* term;
    bool ascending;
    std::vector<std::pair<std::string, bool>> expected;
};

TEST_F(Requests, SortTermParsing) {
    const SortCase cases[] = {
        {"a:NO,b", true, {{"a", false}, {"b", false}}},
        {"a,b:YES", false, {{"a", false}, {"b", true}}},
        {"title", true, {{"title", true}}},
        {"a:1,b:0,c", true, {{"a", true}, {"b", false}, {"c", false}}},
        {"a:x:YES", false, {{"a", true}}},  // the last field is the flag
        {"a:yes,b", false, {{"a", true}, {"b", true}}},
    };
    for (const SortCase& c : cases) {
        auto request = News::RS_requestAllSortedBy(c.term, c.ascending, RS_defaultContext());
        std::vector<std::pair<std::string, bool>> got;
        for (const auto& d : request->sortDescriptors()) got.emplace_back(d.key(), d.ascending());
        EXPECT_EQ(got, c.expected) << c.term;
        EXPECT_EQ(request->fetchBatchSize(), 20u);
    }
    RecordEntity::RS_setDefaultBatchSize(5);
    EXPECT_EQ(News::RS_requestAllSortedBy("title", true)->fetchBatchSize(), 5u);
    EXPECT_EQ(News::RS_requestAll()->fetchBatchSize(), 0u);  // only the sorted builder sets it
    const auto descending = News::RS_descendingSortDescriptors({"a", "b"});
    EXPECT_TRUE(descending.size() == 2u && descending[1].key() == "b" && !descending[1].ascending());
    EXPECT_TRUE(News::RS_ascendingSortDescriptors({"a"})[0].ascending());
}

TEST_F(Requests, BuildersSetEntityPredicateAndLimit) {
    auto where = News::RS_requestAllWhere("msgId", Value("m1"));
    ASSERT_TRUE(where->predicate());
    EXPECT_EQ(where->predicate()->predicateFormat(), "msgId == \"m1\"");
    EXPECT_EQ(where->fetchLimit(), 0u);
    auto first = News::RS_requestFirstByAttribute("msgId", Value("m1"));
    EXPECT_EQ(first->fetchLimit(), 1u);
    EXPECT_EQ(News::RS_requestFirstWithPredicate(predicate("title = 'x'"))->fetchLimit(), 1u);
    EXPECT_EQ(News::RS_createFetchRequest()->entity(), RS_defaultManagedObjectModel()->entityNamed("News"));
    // An entity the model does not know: no entity, no record.
    EXPECT_FALSE(Dotted::RS_requestAll()->entity());
    EXPECT_FALSE(Dotted::RS_createEntity());
    EXPECT_FALSE(Dotted::RS_entityDescription());
}

TEST_F(Requests, PropertiesNamedSkipsAndLogsUnknownNames) {
    RecordStack::setLoggingLevel(RSLogMaskWarning);
    LogCapture log;
    std::vector<std::string> names;
    for (const Value& p : Toptenz::RS_propertiesNamed({"rank", "nope", "sid"})) {
        auto property = p.objectAs<PropertyDescription>();
        names.push_back(property ? property->name() : std::string("?"));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"rank", "sid"}));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Property 'nope' not found in e properties for Toptenz"});
}

using Finders = StackTest;

TEST_F(Finders, FindAllGivesAnEmptyArrayOrNothingOnError) {
    auto none = News::RS_findAllWithPredicate(predicate("msgId = 'absent'"));
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    EXPECT_EQ(sink->count(), 0u);
    EXPECT_FALSE(News::RS_findAllWithPredicate(predicate("nosuchkey = 1")));
    ASSERT_EQ(sink->count(), 1u);
    EXPECT_EQ(sink->last()->code(), kObjectStoreError);
    EXPECT_FALSE(News::RS_findFirstByAttribute("msgId", Value("absent")));
}

TEST_F(Finders, SeeUnsavedInsertsAndHideUnsavedDeletes) {
    auto context = RS_defaultContext();
    auto saved = addNews(context, "s1", "saved");
    RS_saveToPersistentStoreAndWait(context);
    addNews(context, "u1", "unsaved");
    News::RS_findFirstByAttribute("msgId", Value("s1"))->RS_deleteEntityInContext(context);
    auto all = News::RS_findAll();
    ASSERT_TRUE(all);
    EXPECT_EQ(texts(*all), std::vector<std::string>{"unsaved"});
    EXPECT_TRUE(News::RS_findFirstByAttribute("msgId", Value("u1")));
    EXPECT_FALSE(News::RS_findFirstByAttribute("msgId", Value("s1")));
    // A child of the default context sees the same.
    std::vector<std::string> inChild;
    onBackgroundThread([&] {
        auto records = News::RS_findAll();  // the thread's child of the default context
        ASSERT_TRUE(records);
        inChild = texts(*records);
    });
    EXPECT_EQ(inChild, std::vector<std::string>{"unsaved"});
}

TEST_F(Finders, ReturnFirstObjectLeavesLimitOneOnTheCallersRequest) {
    addNews(RS_defaultContext(), "a", "alpha");
    addNews(RS_defaultContext(), "b", "beta");
    auto request = News::RS_requestAllSortedBy("title", false);
    auto first = News::RS_executeFetchRequestAndReturnFirstObject(request);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->title(), Value("beta"));
    EXPECT_EQ(request->fetchLimit(), 1u);
}

TEST_F(Finders, SortedFindersAndAttributeFinders) {
    auto context = RS_defaultContext();
    addNews(context, "1", "b", "x");
    addNews(context, "2", "a", "y");
    addNews(context, "3", "c", "x");
    EXPECT_EQ(texts(*News::RS_findAllSortedBy("cat_name,title:NO", true)), (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_EQ(texts(*News::RS_findAllSortedBy("title", true, predicate("cat_name = 'x'"))), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(texts(*News::RS_findByAttribute("cat_name", Value("x"), "title", false)), (std::vector<std::string>{"c", "b"}));
    EXPECT_EQ(News::RS_findByAttribute("cat_name", Value("y"))->size(), 1u);
    EXPECT_EQ(News::RS_findFirstOrderedByAttribute("title", false)->title(), Value("c"));
    EXPECT_EQ(News::RS_findFirstWithPredicate(predicate("cat_name = 'x'"), "title", true)->title(), Value("b"));
    EXPECT_TRUE(News::RS_findFirstWithPredicate(predicate("cat_name = 'x'"), "title", true, std::vector<std::string>{"title", "nope"}));
}

TEST_F(Finders, FindFirstOrCreateCreatesOnceWithoutSaving) {
    auto context = RS_defaultContext();
    auto made = News::RS_findFirstOrCreateByAttribute("msgId", Value("new"));
    ASSERT_TRUE(made);
    EXPECT_EQ(made->msgId(), Value("new"));
    EXPECT_TRUE(made->isInserted());
    EXPECT_TRUE(context->hasChanges());
    EXPECT_EQ(News::RS_findFirstOrCreateByAttribute("msgId", Value("new")), made);
    EXPECT_EQ(News::RS_countOfEntities(), 1u);
    EXPECT_TRUE(rawTexts(storePath(), "SELECT msgId FROM \"News\"").empty());
}

// A value the attribute cannot hold is reported, not thrown; the new record stays without it.
TEST_F(Finders, FindFirstOrCreateWithAValueTheAttributeCannotHold) {
    Ref<Toptenz> made;
    EXPECT_NO_THROW(made = Toptenz::RS_findFirstOrCreateByAttribute("rank", Value("not a number")));
    ASSERT_TRUE(made);
    EXPECT_TRUE(made->rank().isNil());
    ASSERT_EQ(sink->count(), 1u);
    EXPECT_EQ(sink->last()->code(), kManagedObjectValidationError);
}

TEST_F(Finders, CreationUsesTheClassesOwnMaker) {
    SelfMade::made = 0;
    auto record = SelfMade::recordEntity().RS_createEntityInContext(RS_defaultContext());
    ASSERT_TRUE(record);
    EXPECT_EQ(SelfMade::made, 1);
    EXPECT_EQ(record->valueForKey("title"), Value("made by the class"));
    // Without a context: a record that is in no context.
    auto loose = News::RS_createEntityInContext(nullptr);
    ASSERT_TRUE(loose);
    EXPECT_FALSE(loose->managedObjectContext());
}

// A typed creation that cannot give a record of its class inserts nothing, so no empty row is saved.
TEST_F(Finders, TypedCreationOfAnotherClassInsertsNothing) {
    auto context = RS_defaultContext();
    const std::vector<std::pair<const char*, std::function<bool()>>> creations = {
        {"create", [&] { return !Renamed::RS_createEntityInContext(context); }},
        {"find or create", [&] { return !Renamed::RS_findFirstOrCreateByAttribute("msgId", Value("m"), context); }},
        {"class's own maker", [&] { return !SelfMade::RS_createEntityInContext(context); }},
    };
    for (const auto& [name, returnsNothing] : creations) {
        EXPECT_TRUE(returnsNothing()) << name;
        bool changes = true;
        context->performAndWait([&] { changes = context->hasChanges(); });
        EXPECT_FALSE(changes) << name;
    }
    RS_saveToPersistentStoreAndWait(context);
    EXPECT_EQ(rawTexts(storePath(), "SELECT count(*) FROM \"News\""), std::vector<std::string>{"0"});
}

TEST_F(Finders, DeletingARecordTheContextCannotFindReportsAndStillSucceeds) {
    auto context = RS_defaultContext();
    auto record = addNews(context, "x1", "gone soon");
    RS_saveToPersistentStoreAndWait(context);
    auto elsewhere = RS_contextWithStoreCoordinator(RS_defaultStoreCoordinator());
    Ref<News> copy;
    elsewhere->performAndWait([&] { copy = News::RS_findFirstByAttribute("msgId", Value("x1"), elsewhere); });
    ASSERT_TRUE(copy);
    EXPECT_TRUE(record->RS_deleteEntity());
    RS_saveToPersistentStoreAndWait(context);
    EXPECT_EQ(sink->count(), 0u);
    // The row is gone; deleting the other context's copy through a third context finds nothing.
    auto third = RS_contextWithStoreCoordinator(RS_defaultStoreCoordinator());
    EXPECT_TRUE(copy->RS_deleteEntityInContext(third));
    ASSERT_EQ(sink->count(), 1u);
    EXPECT_EQ(sink->last()->code(), kManagedObjectReferentialIntegrityError);
    bool changes = true;
    third->performAndWait([&] { changes = third->hasChanges(); });
    EXPECT_FALSE(changes);
}

TEST_F(Finders, TruncateAndDeleteByPredicate) {
    auto context = RS_defaultContext();
    addNews(context, "1", "a", "x");
    addNews(context, "2", "b", "y");
    addNews(context, "3", "c", "x");
    RS_saveToPersistentStoreAndWait(context);
    EXPECT_TRUE(News::RS_deleteAllMatchingPredicate(predicate("cat_name = 'x'")));
    EXPECT_EQ(texts(*News::RS_findAll()), std::vector<std::string>{"b"});
    EXPECT_TRUE(News::RS_truncateAll());
    EXPECT_EQ(News::RS_countOfEntities(), 0u);
    RS_saveToPersistentStoreAndWait(context);
    EXPECT_EQ(rawTexts(storePath(), "SELECT count(*) FROM \"News\""), std::vector<std::string>{"0"});
    EXPECT_TRUE(News::RS_truncateAll());  // nothing left: still true
}

// What a delete by predicate did in one context: the deleted records (by msgId, each with whether it
// is a fault and its title), the records the context still holds as inserted, the deleted msgIds its
// change notification named, and the errors handed to the handler.
struct DeleteOutcome {
    std::vector<std::string> deleted;
    std::vector<std::string> inserted;
    std::vector<std::string> notified;
    std::size_t errors = 0;
    bool operator==(const DeleteOutcome&) const = default;
};

void PrintTo(const DeleteOutcome& o, std::ostream* out) {
    auto list = [&](const char* name, const std::vector<std::string>& items) {
        *out << name << " (" << items.size() << "):";
        for (const auto& item : items) *out << " [" << item << "]";
        *out << "\n";
    };
    list("deleted", o.deleted);
    list("inserted", o.inserted);
    list("notified", o.notified);
    *out << "errors: " << o.errors;
}

// The same records in the same states in a context (the rows "x0".."x89" in category x, "y0".."y9"
// in y, saved): two loaded, one a fault, one moved out of the category and one into it (unsaved),
// one new unsaved record in it. Then deletes by the predicate with the given road.
DeleteOutcome deleteInPreparedContext(const Ref<ManagedObjectContext>& context,
                                      const std::function<void(const Ref<Predicate>&, const Ref<ManagedObjectContext>&)>& road,
                                      const ErrorSink& sink) {
    auto one = [&](const std::string& msgId, bool asFault) {
        auto request = News::RS_requestAllWhere("msgId", Value(msgId), context);
        request->setReturnsObjectsAsFaults(asFault);
        request->setIncludesPropertyValues(!asFault);
        return ManagedObject::fromValue(News::RS_executeFetchRequestAndReturnFirstObject(request, context));
    };
    one("x5", false);
    one("x6", false);
    const auto fault = one("x7", true);
    const auto movedOut = one("x8", false);
    const auto movedIn = one("y1", false);
    if (!fault || !movedOut || !movedIn) {
        ADD_FAILURE() << "the prepared records are missing";
        return {};
    }
    context->performAndWait([&] {
        EXPECT_TRUE(fault->isFault());
        movedOut->setValueForKey(Value("y"), "cat_name");
        movedIn->setValueForKey(Value("x"), "cat_name");
    });
    context->performAndWait([&] {
        auto added = News::RS_createEntityInContext(context);
        added->setMsgId("x-new");
        added->setTitle("new");
        added->setCat_name("x");
        context->processPendingChanges();
    });

    DeleteOutcome outcome;
    std::mutex mutex;
    auto token = NotificationCenter::defaultCenter()->addObserverForName(
        kManagedObjectContextObjectsDidChangeNotification, context, nullptr, [&](const Notification& n) {
            std::lock_guard lock(mutex);
            const Value deleted = n.userInfo().get(std::string(kDeletedObjectsKey));
            if (!deleted.isArray()) return;
            for (const Value& v : deleted.array()) outcome.notified.push_back(ManagedObject::fromValue(v)->valueForKey("msgId").stringValue());
        });
    const std::size_t errorsBefore = sink.count();
    road(predicate("cat_name = 'x'"), context);
    context->performAndWait([&] {
        context->processPendingChanges();
        for (const auto& record : context->deletedObjects()) {
            outcome.deleted.push_back(record->valueForKey("msgId").stringValue() + (record->isFault() ? " fault " : " loaded ") +
                                      record->valueForKey("title").stringValue());
        }
        for (const auto& record : context->insertedObjects()) outcome.inserted.push_back(record->valueForKey("msgId").stringValue());
    });
    NotificationCenter::defaultCenter()->removeObserver(token.get());
    outcome.errors = sink.count() - errorsBefore;
    std::lock_guard lock(mutex);
    for (auto* list : {&outcome.deleted, &outcome.inserted, &outcome.notified}) std::sort(list->begin(), list->end());
    return outcome;
}

// The delete by predicate takes the records that fetching them as faults and deleting each by its ID
// takes, in contexts of the store and in child contexts over unsaved changes, with the same change
// notifications and no errors; the rows that go from the file are those (read with sqlite3).
TEST_F(Finders, DeleteByPredicateTakesWhatDeletingEachRecordTakes) {
    auto seed = RS_contextWithStoreCoordinator(RS_defaultStoreCoordinator());
    for (int i = 0; i < 90; ++i) addNews(seed, "x" + std::to_string(i), "title x" + std::to_string(i), "x");
    for (int i = 0; i < 10; ++i) addNews(seed, "y" + std::to_string(i), "title y" + std::to_string(i), "y");
    Ref<Error> error;
    ASSERT_TRUE(RS_saveToPersistentStoreAndWait(seed, &error)) << describe(error);
    const auto eachByID = [](const Ref<Predicate>& p, const Ref<ManagedObjectContext>& c) {
        auto request = News::RS_requestAllWithPredicate(p, c);
        request->setReturnsObjectsAsFaults(true);
        request->setIncludesPropertyValues(false);
        const auto records = News::RS_executeFetchRequest(request, c);
        ASSERT_TRUE(records);
        for (const Value& v : *records) EXPECT_TRUE(RS_deleteInContext(ManagedObject::fromValue(v), c));
    };
    const auto byPredicate = [](const Ref<Predicate>& p, const Ref<ManagedObjectContext>& c) {
        EXPECT_TRUE(News::RS_deleteAllMatchingPredicate(p, c));
    };
    // The child contexts first: the other case saves its deletions.
    for (const bool child : {true, false}) {
        SCOPED_TRACE(child ? "child context" : "context of the store");
        auto make = [&] {
            auto context = RS_contextWithStoreCoordinator(RS_defaultStoreCoordinator());
            return child ? RS_contextWithParent(context) : context;
        };
        const DeleteOutcome expected = deleteInPreparedContext(make(), eachByID, *sink);
        auto context = make();
        const DeleteOutcome got = deleteInPreparedContext(context, byPredicate, *sink);
        EXPECT_EQ(got, expected);
        // 89 saved records still in the category and the one moved into it; the new one is forgotten
        // (and announced as gone, as it was announced as inserted).
        EXPECT_EQ(got.deleted.size(), 90u);
        EXPECT_EQ(got.notified.size(), 91u);
        EXPECT_TRUE(got.inserted.empty());
        EXPECT_EQ(got.errors, 0u);
        for (const auto& d : got.deleted) EXPECT_NE(d.find(" loaded title "), std::string::npos) << d;
        if (child) continue;
        ASSERT_TRUE(RS_saveToPersistentStoreAndWait(context, &error)) << describe(error);
        std::vector<std::string> left{"x8"};
        for (int i = 0; i < 10; ++i) {
            if (i != 1) left.push_back("y" + std::to_string(i));
        }
        EXPECT_EQ(rawTexts(storePath(), "SELECT msgId FROM \"News\" ORDER BY msgId"), left);
        EXPECT_EQ(rawTexts(storePath(), "SELECT cat_name FROM \"News\" WHERE msgId = 'x8'"), std::vector<std::string>{"y"});
    }
}

TEST_F(Finders, MovingARecordToAnotherContext) {
    auto record = addNews(RS_defaultContext(), "mv", "moving");
    ASSERT_TRUE(record->objectID()->isTemporaryID());
    auto child = RS_context();
    auto moved = record->RS_inContext(child);
    EXPECT_FALSE(record->objectID()->isTemporaryID());  // given its permanent ID first
    // Not saved anywhere yet, so the other branch of the tree cannot find it.
    EXPECT_FALSE(moved);
    EXPECT_EQ(sink->count(), 1u);
    RS_saveToPersistentStoreAndWait(RS_defaultContext());
    moved = record->RS_inContext(child);
    ASSERT_TRUE(moved);
    EXPECT_TRUE(moved->objectID()->isEqual(*record->objectID()));
    Value title;
    child->performAndWait([&] { title = moved->title(); });
    EXPECT_EQ(title, Value("moving"));
    EXPECT_EQ(record->RS_inThreadContext(), record);  // on main: the default context itself
}

// ---- fetched-results controllers ----

using Controllers = StackTest;

TEST_F(Controllers, GroupedBuilderReturnsAFetchedSortedSectionedController) {
    auto context = RS_defaultContext();
    addNews(context, "1", "b", "x");
    addNews(context, "2", "a", "y");
    addNews(context, "3", "c", "x");
    auto controller = News::RS_fetchAllGroupedBy("cat_name", Ref<Predicate>(), "cat_name,title", true);
    ASSERT_TRUE(controller);
    EXPECT_EQ(controller->fetchRequest()->fetchBatchSize(), 20u);
    EXPECT_TRUE(controller->cacheName().empty());
    EXPECT_EQ(controller->managedObjectContext(), context);
    EXPECT_EQ(controller->sections().size(), 2u);  // grouped by cat_name
    std::vector<std::string> order;
    for (const auto& o : controller->fetchedObjects()) order.push_back(o->valueForKey("title").stringValue());
    EXPECT_EQ(order, (std::vector<std::string>{"b", "c", "a"}));
}

TEST_F(Controllers, FileCacheFlagNamesTheCache) {
    auto request = News::RS_requestAll();
    auto controller = News::RS_fetchController(request, nullptr, true, "", RS_defaultContext());
    EXPECT_EQ(controller->cacheName(), "RecordStack-Cache-News");
    EXPECT_TRUE(controller->fetchedObjects().empty());  // not fetched
    EXPECT_TRUE(News::RS_fetchController(request, nullptr, false, "", RS_defaultContext())->cacheName().empty());
}

// Without sort descriptors the list keeps insertion order.
TEST_F(Controllers, AllWithDelegateListsInInsertionOrder) {
    auto context = RS_defaultContext();
    for (const char* title : {"c", "a", "b"}) addNews(context, title, title);
    RS_saveToPersistentStoreAndWait(context);
    addNews(context, "0", "unsaved last");
    auto controller = News::RS_fetchAllWithDelegate(nullptr);
    ASSERT_TRUE(controller);
    std::vector<std::string> order;
    for (const auto& o : controller->fetchedObjects()) order.push_back(o->valueForKey("title").stringValue());
    EXPECT_EQ(order, (std::vector<std::string>{"c", "a", "b", "unsaved last"}));
    EXPECT_EQ(sink->count(), 0u);
}

// ---- counts and aggregates ----

using Counts = StackTest;

TEST_F(Counts, CountsIncludeUnsavedChangesFromAnyThreadAndGiveZeroOnError) {
    EXPECT_EQ(News::RS_countOfEntities(), 0u);
    EXPECT_FALSE(News::RS_hasAtLeastOneEntity());
    addNews(RS_defaultContext(), "1", "one");
    EXPECT_EQ(News::RS_countOfEntities(), 1u);
    EXPECT_TRUE(News::RS_hasAtLeastOneEntity());
    EXPECT_EQ(News::RS_numberOfEntities(), Value(1));
    EXPECT_EQ(News::RS_countOfEntitiesWithPredicate(predicate("title = 'one'")), 1u);
    EXPECT_EQ(News::RS_numberOfEntitiesWithPredicate(predicate("title = 'two'")), Value(0));
    EXPECT_EQ(News::RS_countOfEntitiesWithPredicate(predicate("nosuchkey = 1")), 0u);
    ASSERT_EQ(sink->count(), 1u);
    EXPECT_EQ(sink->last()->code(), kObjectStoreError);
    // Counted on the context's queue from any thread.
    std::size_t fromWorker = 0;
    auto context = RS_defaultContext();
    onBackgroundThread([&] { fromWorker = News::RS_countOfEntitiesWithContext(context); });
    EXPECT_EQ(fromWorker, 1u);
}

TEST_F(Counts, AggregatesKeepTheAttributesTypeAverageIsReal) {
    auto context = RS_defaultContext();
    context->performAndWait([&] {
        for (auto [sid, rank] : {std::pair{1, 3}, std::pair{1, 4}, std::pair{2, 10}}) {
            auto t = Toptenz::RS_createEntityInContext(context);
            t->setSid(sid);
            t->setRank(rank);
        }
    });
    RS_saveToPersistentStoreAndWait(context);  // aggregates read the stored rows
    const Value sum = Toptenz::RS_aggregateOperation("sum:", "rank", Ref<Predicate>());
    EXPECT_EQ(sum, Value(17));
    ASSERT_TRUE(sum.number());
    EXPECT_EQ(sum.number()->kind(), NumberKind::Int64);  // rank is a 64-bit integer
    const Value average = Toptenz::RS_aggregateOperation("average:", "rank", predicate("sid = 1"));
    ASSERT_TRUE(average.number());
    EXPECT_TRUE(average.number()->isFloatingPoint());
    EXPECT_DOUBLE_EQ(average.doubleValue(), 3.5);
    auto groups = Toptenz::RS_aggregateOperation("sum:", "rank", Ref<Predicate>(), "sid");
    ASSERT_TRUE(groups);
    ASSERT_EQ(groups->size(), 2u);
    Dictionary g0 = (*groups)[0].dictionary(), g1 = (*groups)[1].dictionary();
    if (g0.get("sid").intValue() != 1) std::swap(g0, g1);
    EXPECT_EQ(g0, (Dictionary{{"sid", Value(1)}, {"result", Value(7)}}));
    EXPECT_EQ(g1, (Dictionary{{"sid", Value(2)}, {"result", Value(10)}}));
    Ref<Toptenz> any = Toptenz::RS_findFirst();
    ASSERT_TRUE(any);
    EXPECT_EQ(any->RS_minValueFor("rank"), Value(3));
    EXPECT_EQ(any->RS_maxValueFor("rank"), Value(10));
    auto smallest = any->RS_objectWithMinValueFor("rank");
    ASSERT_TRUE(smallest);
    EXPECT_EQ(smallest->rank(), Value(3));
}

}  // namespace
}  // namespace lv::test
