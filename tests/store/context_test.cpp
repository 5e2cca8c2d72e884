// The context tree: roles and names, per-thread contexts, permanent IDs before saving, and root saves
// merged into the default context on the main thread.
#include <filesystem>

#include "platform/base/format.h"
#include "platform/dispatch/thread.h"
#include "store_test_support.h"

namespace lv::test {
namespace {

using ContextTree = StackTest;

// Each kind of context: its queue, parent and working name (contexts without a parent: their coordinator).
TEST_F(ContextTree, EveryKindOfContextHasItsQueueParentAndName) {
    using Type = ManagedObjectContextConcurrencyType;
    const auto main = RS_defaultContext();
    const auto root = RS_rootSavingContext();
    const auto coordinator = RS_defaultStoreCoordinator();
    const struct {
        Ref<ManagedObjectContext> context;
        Type type;
        Ref<ManagedObjectContext> parent;
        Ref<PersistentStoreCoordinator> coordinator;
        const char* name;
    } rows[] = {
        {main, Type::MainQueue, root, nullptr, "RecordStack Default Context"},
        {root, Type::PrivateQueue, nullptr, coordinator, "RecordStack Root Saving Context"},
        {RS_context(), Type::PrivateQueue, root, nullptr, "Untitled Context"},
        {RS_contextWithStoreCoordinator(coordinator), Type::PrivateQueue, nullptr, coordinator, "Untitled Context"},
        {RS_contextWithoutParent(), Type::PrivateQueue, nullptr, nullptr, "Untitled Context"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(RS_description(row.context));
        EXPECT_EQ(row.context->concurrencyType(), row.type);
        EXPECT_EQ(row.context->parentContext(), row.parent);
        EXPECT_TRUE(row.parent || row.context->persistentStoreCoordinator() == row.coordinator);
        EXPECT_EQ(RS_workingName(row.context), row.name);
    }
    EXPECT_EQ(root->mergePolicy(), MergePolicyType::MergeByPropertyObjectTrump);
    EXPECT_EQ(main->mergePolicy(), MergePolicyType::Error);
    Value stored;
    root->performAndWait([&] { stored = root->userInfo().get(kRecordStackContextWorkingNameKey); });
    EXPECT_EQ(stored, Value("RecordStack Root Saving Context"));
    EXPECT_FALSE(RS_contextWithStoreCoordinator(nullptr));
}

TEST_F(ContextTree, NamesDescriptionAndParentChainFormats) {
    auto child = RS_contextWithParent(RS_defaultContext());
    RS_setWorkingName(child, "");
    EXPECT_EQ(RS_workingName(child), "Untitled Context");
    RS_setWorkingName(child, "Worker");
    const void* c = child.get();
    const void* d = RS_defaultContext().get();
    const void* r = RS_rootSavingContext().get();
    EXPECT_EQ(RS_description(child), format("<ManagedObjectContext (%p): Worker> on the main thread", c));
    EXPECT_EQ(RS_parentChain(child), format("\n- Worker (%p) (*)\n- RecordStack Default Context (%p) \n- RecordStack Root Saving Context (%p) \n", c,
                                            d, r));
    std::string background;
    onBackgroundThread([&] { background = RS_description(child); });
    EXPECT_EQ(background, format("<ManagedObjectContext (%p): Worker> on a background thread", c));
}

// The root is complete when it is installed: nothing is left to a block that runs later.
TEST_F(ContextTree, RootIsConfiguredBeforeItIsPublished) {
    auto root = RS_contextWithStoreCoordinator(RS_defaultStoreCoordinator());
    RS_setRootSavingContext(root);
    EXPECT_EQ(RS_rootSavingContext(), root);
    EXPECT_EQ(root->mergePolicy(), MergePolicyType::MergeByPropertyObjectTrump);
    EXPECT_EQ(RS_workingName(root), "RecordStack Root Saving Context");
    // A save straight away obtains permanent IDs through the will-save handler.
    Ref<News> record;
    root->performAndWait([&] {
        record = News::RS_createEntityInContext(root);
        record->setTitle("direct");
    });
    RS_saveOnlySelfAndWait(root);
    EXPECT_FALSE(record->objectID()->isTemporaryID());
    // A clean-up straight after an install is safe too.
    RS_setRootSavingContext(RS_contextWithStoreCoordinator(RS_defaultStoreCoordinator()));
    RS_cleanUp();
    EXPECT_FALSE(RS_rootSavingContext());
}

TEST_F(ContextTree, ChildRecordsGetPermanentIDsBeforeTheySave) {
    auto child = RS_context();
    auto record = addNews(child, "p1", "permanent");
    EXPECT_TRUE(record->objectID()->isTemporaryID());
    RS_saveOnlySelfAndWait(child);
    auto id = record->objectID();
    EXPECT_FALSE(id->isTemporaryID());
    auto root = RS_rootSavingContext();
    Ref<ManagedObject> inRoot;
    root->performAndWait([&] { inRoot = root->objectRegisteredForID(id); });
    ASSERT_TRUE(inRoot);
    EXPECT_TRUE(inRoot->objectID()->isEqual(*id));
}

TEST_F(ContextTree, ThreadContexts) {
    EXPECT_EQ(RS_contextForCurrentThread(), RS_defaultContext());
    Ref<ManagedObjectContext> first, again, afterClear, dropped;
    Value storedVersion;
    onBackgroundThread([&] {
        first = RS_contextForCurrentThread();
        again = RS_contextForCurrentThread();
        storedVersion = Thread::current()->dictionaryValue(kRecordStackThreadContextVersionKey);
        RS_clearNonMainThreadContextsCache();
        afterClear = RS_contextForCurrentThread();
        RS_clearContextForCurrentThread();
        EXPECT_TRUE(Thread::current()->dictionaryValue(kRecordStackThreadContextKey).isNil());
        EXPECT_TRUE(Thread::current()->dictionaryValue(kRecordStackThreadContextVersionKey).isNil());
        dropped = RS_contextForCurrentThread();
    });
    ASSERT_TRUE(first);
    EXPECT_EQ(first, again);
    EXPECT_TRUE(storedVersion.isNumber());
    EXPECT_NE(afterClear, first);
    EXPECT_NE(dropped, afterClear);
    EXPECT_EQ(first->parentContext(), RS_defaultContext());
    EXPECT_EQ(first->concurrencyType(), ManagedObjectContextConcurrencyType::PrivateQueue);
    Ref<ManagedObjectContext> otherThread;
    onBackgroundThread([&] { otherThread = RS_contextForCurrentThread(); });
    EXPECT_NE(otherThread, dropped);
    EXPECT_EQ(RS_contextForCurrentThread(), RS_defaultContext());
}

TEST_F(ContextTree, ResetFromABackgroundThreadHappensLaterOnMain) {
    auto context = RS_defaultContext();
    addNews(context, "r1", "reset me");
    std::thread([] { RS_resetDefaultContext(); }).join();
    EXPECT_TRUE(context->hasChanges());  // not yet: the reset waits for the main queue
    EXPECT_TRUE(runMainUntil([&] { return !context->hasChanges(); }, 10.0));
    EXPECT_TRUE(context->registeredObjects().empty());
}

// Follows a fetched-results controller's reports.
class Reports : public FetchedResultsControllerDelegate {
public:
    void controllerDidChangeObject(FetchedResultsController&, const Ref<ManagedObject>& object, std::optional<IndexPath>,
                                   FetchedResultsChangeType type, std::optional<IndexPath>) override {
        EXPECT_TRUE(Thread::isMainThread());
        changes.emplace_back(type, object->valueForKey("title").stringValue());
    }
    std::vector<std::pair<FetchedResultsChangeType, std::string>> changes;
};

TEST_F(ContextTree, BackgroundSaveIsMergedIntoTheDefaultContextAndReported) {
    auto context = RS_defaultContext();
    auto record = addNews(context, "b1", "before");
    RS_saveToPersistentStoreAndWait(context);
    auto reports = std::make_shared<Reports>();
    auto controller = News::RS_fetchAllSortedBy("msgId", true, Ref<Predicate>(), "", reports, context);
    ASSERT_EQ(controller->fetchedObjects().size(), 1u);

    // A child of the root changes the record and adds one, saving to the file from its own queue.
    auto background = RS_context();
    bool done = false;
    background->perform([&] {
        auto mine = News::RS_findFirstByAttribute("msgId", Value("b1"), background);
        ASSERT_TRUE(mine);
        mine->setTitle("after");
        auto added = News::RS_createEntityInContext(background);
        added->setMsgId("b2");
        added->setTitle("added");
        RS_saveToPersistentStoreWithCompletion(background, [&](bool ok, const Ref<Error>& error) {
            EXPECT_TRUE(ok) << describe(error);
            done = true;
        });
    });
    ASSERT_TRUE(runMainUntil([&] { return done && reports->changes.size() >= 2; }, 10.0));
    drainMain();
    EXPECT_EQ(record->title(), Value("after"));
    std::vector<std::pair<FetchedResultsChangeType, std::string>> expected = {{FetchedResultsChangeType::Insert, "added"},
                                                                              {FetchedResultsChangeType::Update, "after"}};
    auto changes = reports->changes;
    std::sort(changes.begin(), changes.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(changes, expected);
    EXPECT_EQ(controller->fetchedObjects().size(), 2u);
    EXPECT_FALSE(context->hasChanges());
}

TEST_F(ContextTree, FaultsOfTheDefaultContextShowTheRootsNewValues) {
    auto context = RS_defaultContext();
    auto record = addNews(context, "f1", "old");
    RS_saveToPersistentStoreAndWait(context);
    context->refreshObject(record, false);
    ASSERT_TRUE(record->isFault());
    auto root = RS_rootSavingContext();
    root->performAndWait([&] {
        auto mine = News::RS_findFirstByAttribute("msgId", Value("f1"), root);
        ASSERT_TRUE(mine);
        mine->setTitle("new");
    });
    RS_saveOnlySelfAndWait(root);  // on the main thread: merged inline
    EXPECT_FALSE(record->isFault());
    EXPECT_EQ(record->title(), Value("new"));
}

// A root installed later is followed too: its saves reach the default context.
TEST_F(ContextTree, ReplacingTheRootMovesTheMergeRegistration) {
    auto context = RS_defaultContext();
    auto reports = std::make_shared<Reports>();
    auto controller = News::RS_fetchAllWithDelegate(reports, context);
    auto newRoot = RS_contextWithStoreCoordinator(RS_defaultStoreCoordinator());
    RS_setRootSavingContext(newRoot);
    auto writer = RS_contextWithParent(newRoot);
    addNews(writer, "n1", "through the new root");
    RS_saveToPersistentStoreAndWait(writer);
    ASSERT_TRUE(runMainUntil([&] { return !reports->changes.empty(); }, 10.0));
    EXPECT_EQ(reports->changes.front().second, "through the new root");
    EXPECT_EQ(controller->fetchedObjects().size(), 1u);
}

// While the shared store is enabled, the default context starts following the coordinator's imports
// once the set-up notification arrives; each import is merged on its queue and announced.
TEST_F(ContextTree, SharedStoreImportsAreMergedAfterTheSetUpNotification) {
    auto coordinator = RS_defaultStoreCoordinator();
    auto center = NotificationCenter::defaultCenter();
    auto reports = std::make_shared<Reports>();
    auto controller = News::RS_fetchAllWithDelegate(reports, RS_defaultContext());
    auto writer = RS_contextWithStoreCoordinator(coordinator);
    auto record = addNews(writer, "i1", "imported");
    RS_saveOnlySelfAndWait(writer);
    RecordStack::setICloudEnabled(true);
    NotificationRecorder merged({kRecordStackDidMergeChangesFromiCloudNotification});
    const Dictionary changes{{std::string(kInsertedObjectsKey), Value(Array{Value(record->objectID())})}};
    center->post(std::string(kPersistentStoreDidImportUbiquitousContentChangesNotification), coordinator, changes);
    drainMain();
    EXPECT_TRUE(merged.names().empty());  // nobody follows imports yet

    center->post(std::string(kRecordStackPSCDidCompleteiCloudSetupNotification));
    RecordStack::setLoggingLevel(RSLogMaskVerbose);
    LogCapture log;
    center->post(std::string(kPersistentStoreDidImportUbiquitousContentChangesNotification), coordinator, changes);
    ASSERT_TRUE(runMainUntil([&] { return !merged.names().empty(); }, 10.0));
    EXPECT_EQ(merged.infoAt(0), changes);
    EXPECT_TRUE(log.contains("Merging changes From iCloud *** DEFAULT *** context *** on Main Thread ***"));
    ASSERT_EQ(reports->changes.size(), 1u);
    EXPECT_EQ(reports->changes[0], std::make_pair(FetchedResultsChangeType::Insert, std::string("imported")));
    EXPECT_EQ(controller->fetchedObjects().size(), 1u);
}

TEST_F(ContextTree, ObservingAnotherContextMergesItsSaves) {
    auto listener = RS_contextWithStoreCoordinator(RS_defaultStoreCoordinator());
    auto writer = RS_contextWithStoreCoordinator(RS_defaultStoreCoordinator());
    auto record = addNews(writer, "o1", "first");
    RS_saveOnlySelfAndWait(writer);
    Ref<News> seen;
    listener->performAndWait([&] { seen = News::RS_findFirstByAttribute("msgId", Value("o1"), listener); });
    ASSERT_TRUE(seen);
    RS_observeContext(listener, writer);
    writer->performAndWait([&] { record->setTitle("second"); });
    RecordStack::setLoggingLevel(RSLogMaskVerbose);
    LogCapture log;
    RS_saveOnlySelfAndWait(writer);
    Value title;
    listener->performAndWait([&] { title = seen->title(); });
    EXPECT_EQ(title, Value("second"));
    EXPECT_TRUE(log.contains("Merging changes to context *** on Main Thread ***"));
    RS_stopObservingContext(listener, writer);
    writer->performAndWait([&] { record->setTitle("third"); });
    RS_saveOnlySelfAndWait(writer);
    listener->performAndWait([&] { title = seen->title(); });
    EXPECT_EQ(title, Value("second"));
}

TEST_F(ContextTree, MergingOnTheMainThreadWaitsForIt) {
    auto listener = RS_newMainQueueContext();
    listener->setPersistentStoreCoordinator(RS_defaultStoreCoordinator());
    auto writer = RS_contextWithStoreCoordinator(RS_defaultStoreCoordinator());
    auto record = addNews(writer, "w1", "one");
    RS_saveOnlySelfAndWait(writer);
    auto seen = News::RS_findFirstByAttribute("msgId", Value("w1"), listener);
    ASSERT_TRUE(seen);
    RS_observeContextOnMainThread(listener, writer);
    writer->performAndWait([&] { record->setTitle("two"); });
    bool returned = false;
    onBackgroundThread([&] {
        RS_saveOnlySelfAndWait(writer);  // the merge on main finishes before this returns
        returned = true;
    });
    EXPECT_TRUE(returned);
    EXPECT_EQ(seen->title(), Value("two"));
}

TEST_F(ContextTree, CleanUpDropsTheTreeAndANewTreeIsMergedOnce) {
    RS_cleanUp();
    EXPECT_FALSE(RS_defaultContext());
    EXPECT_FALSE(RS_rootSavingContext());
    // A later set-up (coordinator still stored here) gives new contexts.
    RS_initializeDefaultContextWithCoordinator(RS_defaultStoreCoordinator());
    ASSERT_TRUE(RS_defaultContext());
    auto reports = std::make_shared<Reports>();
    auto controller = News::RS_fetchAllWithDelegate(reports, RS_defaultContext());
    auto writer = RS_context();
    addNews(writer, "c2", "merged");
    RS_saveToPersistentStoreAndWait(writer);
    ASSERT_TRUE(runMainUntil([&] { return !reports->changes.empty(); }, 10.0));
    EXPECT_EQ(reports->changes.size(), 1u);
}

}  // namespace
}  // namespace lv::test
