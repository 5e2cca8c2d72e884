// Saves: options, completion, failures, exceptions, the older wrappers and the block helpers.
#include "platform/data/errors.h"
#include "platform/dispatch/thread.h"
#include "store_test_support.h"
#include "support/child_process.h"

namespace lv::test {
namespace {

// Counts completion calls and keeps the last outcome; checks they come on the main thread.
struct Outcome {
    int calls = 0;
    bool success = false;
    Ref<Error> error;
    RSSaveCompletionHandler handler() {
        return [this](bool ok, const Ref<Error>& e) {
            EXPECT_TRUE(Thread::isMainThread());
            ++calls;
            success = ok;
            error = e;
        };
    }
    // Runs the main loop until the completion came, then checks it came once (never inside the call).
    void wait() {
        ASSERT_TRUE(runMainUntil([&] { return calls > 0; }, 10.0));
        drainMain();
        EXPECT_EQ(calls, 1);
    }
};

class Saves : public StackTest {
protected:
    std::vector<std::string> msgIdsInFile() { return rawTexts(storePath(), "SELECT msgId FROM \"News\" ORDER BY \"_pk\""); }
};

// Stacks set up by the test itself; "Item" has a mandatory "name".
class SavesOfOtherStacks : public StoreTest {
protected:
    void setUpStackWithAMandatoryName() {
        auto model = makeRef<ManagedObjectModel>();
        auto item = EntityDescription::make("Item");
        item->addAttribute(AttributeDescription::make("name", AttributeType::String, false));
        model->addEntity(item);
        RS_setDefaultManagedObjectModel(model);
        setUpStack();
    }
};

// The default context and, as at termination, a new child of the root: written before the call returns.
TEST_F(Saves, SaveToPersistentStoreAndWaitReturnsAfterTheFileIsWritten) {
    for (const auto& context : {RS_defaultContext(), RS_context()}) {
        addNews(context, RS_workingName(context), "saved");
        RS_saveToPersistentStoreAndWait(context);
        bool changes = true;
        RS_rootSavingContext()->performAndWait([&] { changes = RS_rootSavingContext()->hasChanges() || context->hasChanges(); });
        EXPECT_FALSE(changes);
    }
    EXPECT_EQ(msgIdsInFile(), (std::vector<std::string>{"RecordStack Default Context", "Untitled Context"}));
}

// The waiting save with an error tells the caller how it went: saved, nothing to save, or the error
// of the level that failed (the root here: an observer refuses its save), which keeps its changes.
TEST_F(Saves, TheWaitingSaveWithAnErrorTellsHowItWent) {
    Ref<Error> error;
    addNews(RS_defaultContext(), "w1", "saved");
    EXPECT_TRUE(RS_saveToPersistentStoreAndWait(RS_defaultContext(), &error));
    EXPECT_FALSE(error);
    EXPECT_EQ(msgIdsInFile(), std::vector<std::string>{"w1"});
    EXPECT_TRUE(RS_saveToPersistentStoreAndWait(RS_defaultContext(), &error));  // nothing to save
    EXPECT_FALSE(error);

    auto root = RS_rootSavingContext();
    auto token = NotificationCenter::defaultCenter()->addObserverForName(
        kManagedObjectContextWillSaveNotification, root, nullptr,
        [](const Notification&) { Exception::raise(std::string(kInternalInconsistencyException), "root refused"); });
    addNews(RS_defaultContext(), "w2", "refused");
    const bool saved = RS_saveToPersistentStoreAndWait(RS_defaultContext(), &error);
    NotificationCenter::defaultCenter()->removeObserver(token.get());
    EXPECT_FALSE(saved);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kPersistentStoreSaveError);
    EXPECT_EQ(error->localizedDescription(), "root refused");
    bool rootChanges = false;
    root->performAndWait([&] { rootChanges = root->hasChanges(); });
    EXPECT_TRUE(rootChanges);
    EXPECT_EQ(msgIdsInFile(), std::vector<std::string>{"w1"});
    drainMain();
}

constexpr const char* kDeletingChildRoot = "LV_DELETING_CHILD_ROOT";

// The second process of the next test: deletes every News record of the store under the sandbox.
TEST_F(StoreTest, ChildDeletingEveryNews) {
    const char* root = std::getenv(kDeletingChildRoot);
    if (!root) GTEST_SKIP() << "the second process of AChangeToARecordAnotherProcessDeletedIsAConflict";
    ASSERT_TRUE(Sandbox::setRoot(root));
    setUpStack();
    auto context = RS_defaultContext();
    auto all = News::RS_findAllInContext(context);
    ASSERT_TRUE(all && !all->empty());
    context->performAndWait([&] {
        for (const auto& record : *all) context->deleteObject(record);
    });
    Ref<Error> error;
    ASSERT_TRUE(RS_saveToPersistentStoreAndWait(context, &error)) << describe(error);
}

// A record another process deleted, changed and saved with the waiting save: the save reports the
// conflict naming it (under the root's property-object-trump policy too), and the file has no row.
TEST_F(Saves, AChangeToARecordAnotherProcessDeletedIsAConflict) {
    auto record = addNews(RS_defaultContext(), "d1", "saved");
    Ref<Error> error;
    ASSERT_TRUE(RS_saveToPersistentStoreAndWait(RS_defaultContext(), &error)) << describe(error);
    Ref<ManagedObjectID> id = record->objectID();
    if (id->isTemporaryID()) id = id->permanentID();
    ASSERT_TRUE(id);
    EXPECT_EQ(runThisBinary("StoreTest.ChildDeletingEveryNews", {{kDeletingChildRoot, dir.path().string()}}), 0);
    ASSERT_EQ(msgIdsInFile(), std::vector<std::string>{});
    RS_defaultContext()->performAndWait([&] { record->setTitle("changed"); });
    EXPECT_FALSE(RS_saveToPersistentStoreAndWait(RS_defaultContext(), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kManagedObjectMergeError) << describe(error);
    const Value& conflicts = error->userInfo().get(kConflictListKey);
    ASSERT_EQ(conflicts.count(), 1u);
    const auto named = conflicts[0]["objectID"].objectAs<ManagedObjectID>();
    EXPECT_TRUE(named && named->isEqualToID(*id));
    EXPECT_EQ(msgIdsInFile(), std::vector<std::string>{});
    drainMain();
}

TEST_F(Saves, NothingToSaveCompletesLaterWithNoAndLeavesParentsAlone) {
    auto root = RS_rootSavingContext();
    root->performAndWait([&] { News::RS_createEntityInContext(root)->setTitle("pending in root"); });
    Outcome outcome;
    RecordStack::setLoggingLevel(RSLogMaskVerbose);
    LogCapture log;
    RS_saveWithOptions(RS_defaultContext(), RSSaveOptionParentContexts | RSSaveOptionSynchronously, outcome.handler());
    EXPECT_EQ(outcome.calls, 0);  // never inside the call
    EXPECT_EQ(log.lines(), std::vector<std::string>{"NO CHANGES IN ** RecordStack Default Context ** CONTEXT - NOT SAVING"});
    outcome.wait();
    EXPECT_FALSE(outcome.success);
    EXPECT_FALSE(outcome.error);
    bool rootChanges = false;
    root->performAndWait([&] { rootChanges = root->hasChanges(); });
    EXPECT_TRUE(rootChanges);
    EXPECT_EQ(sink->count(), 0u);
}

TEST_F(Saves, AsynchronousSaveWithParentsCompletesOnceAfterTheRootWrote) {
    addNews(RS_defaultContext(), "a1", "async");
    Outcome outcome;
    std::vector<std::string> inFileAtCompletion;
    RS_saveToPersistentStoreWithCompletion(RS_defaultContext(), [&](bool ok, const Ref<Error>& error) {
        outcome.handler()(ok, error);
        inFileAtCompletion = msgIdsInFile();
    });
    EXPECT_EQ(outcome.calls, 0);
    outcome.wait();
    EXPECT_TRUE(outcome.success);
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(inFileAtCompletion, std::vector<std::string>{"a1"});
}

TEST_F(Saves, SynchronouslyExceptRootSavesLowerLevelsBeforeReturning) {
    auto child = RS_contextWithParent(RS_defaultContext());
    addNews(child, "s1", "sync except root");
    Outcome outcome;
    RS_saveWithOptions(child, RSSaveOptionParentContexts | RSSaveOptionSynchronouslyExceptRoot, outcome.handler());
    bool childChanges = true;
    child->performAndWait([&] { childChanges = child->hasChanges(); });
    EXPECT_FALSE(childChanges);
    EXPECT_FALSE(RS_defaultContext()->hasChanges());  // saved synchronously into the root
    EXPECT_EQ(outcome.calls, 0);
    outcome.wait();
    EXPECT_TRUE(outcome.success);
    EXPECT_EQ(msgIdsInFile(), std::vector<std::string>{"s1"});
}

TEST_F(Saves, SaveLinesFollowTheMask) {
    auto context = RS_defaultContext();
    addNews(context, "l1", "logged");
    RecordStack::setLoggingLevel(RSLogMaskInfo | RSLogMaskVerbose);
    LogCapture log;
    RS_saveOnlySelfAndWait(context);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"→ Saving " + RS_description(context), "→ Save Parents? NO", "→ Save Synchronously? YES",
                                                     "Context 'RecordStack Default Context' is about to save: obtaining permanent IDs for 1 new inserted object(s).",
                                                     "→ Finished saving: " + RS_description(context)}));
}

// A mandatory attribute left empty in a child: the chain stops there.
TEST_F(SavesOfOtherStacks, FailingChildSaveReportsOnceAndLeavesParentsUnsaved) {
    setUpStackWithAMandatoryName();
    auto child = RS_contextWithParent(RS_defaultContext());
    RecordEntity items("Item");
    child->performAndWait([&] { ASSERT_TRUE(items.RS_createEntityInContext(child)); });
    Outcome outcome;
    RS_saveToPersistentStoreWithCompletion(child, outcome.handler());
    outcome.wait();
    EXPECT_FALSE(outcome.success);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code(), kValidationMissingMandatoryPropertyError);
    ASSERT_EQ(sink->count(), 1u);
    EXPECT_EQ(sink->last(), outcome.error);
    EXPECT_FALSE(RS_defaultContext()->hasChanges());
    EXPECT_EQ(items.RS_countOfEntitiesWithContext(RS_rootSavingContext()), 0u);
}

// An exception thrown inside a save becomes an error: handled, reported, never thrown on.
TEST_F(Saves, ExceptionDuringSaveBecomesAnError) {
    auto child = RS_context();
    auto token = NotificationCenter::defaultCenter()->addObserverForName(
        kManagedObjectContextWillSaveNotification, child, nullptr,
        [](const Notification&) { Exception::raise(std::string(kInternalInconsistencyException), "observer refused"); });
    addNews(child, "e1", "refused");
    Outcome outcome;
    LogCapture log;
    RS_saveToPersistentStoreWithCompletion(child, outcome.handler());  // the save runs on the child's queue
    outcome.wait();
    NotificationCenter::defaultCenter()->removeObserver(token.get());
    EXPECT_FALSE(outcome.success);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain(), kCocoaErrorDomain);
    EXPECT_EQ(outcome.error->code(), kPersistentStoreSaveError);
    EXPECT_EQ(outcome.error->localizedDescription(), "observer refused");
    ASSERT_EQ(sink->count(), 1u);
    EXPECT_EQ(sink->last(), outcome.error);
    EXPECT_TRUE(log.contains("Unable to perform save: observer refused"));
    EXPECT_TRUE(msgIdsInFile().empty());
}

// Without a coordinator there is nothing to save to: an error, not a crash.
// A save started from inside a will-save notification of the same context: the inner save is refused
// and reported, the outer one still writes the file, and nothing hangs or throws.
TEST_F(Saves, SaveStartedFromInsideItsWillSaveIsRefusedAndTheOuterSaveWrites) {
    auto context = RS_defaultContext();
    int inner = 0;
    auto token = NotificationCenter::defaultCenter()->addObserverForName(
        kManagedObjectContextWillSaveNotification, context, nullptr, [&](const Notification&) {
            if (inner++ == 0) RS_saveToPersistentStoreAndWait(context);
        });
    addNews(context, "w1", "outer");
    Outcome outcome;
    RS_saveWithOptions(context, RSSaveOptionParentContexts | RSSaveOptionSynchronously, outcome.handler());
    outcome.wait();
    NotificationCenter::defaultCenter()->removeObserver(token.get());
    EXPECT_EQ(inner, 1);
    EXPECT_TRUE(outcome.success);
    ASSERT_EQ(sink->count(), 1u);
    EXPECT_EQ(sink->last()->code(), kPersistentStoreSaveError);
    EXPECT_EQ(msgIdsInFile(), std::vector<std::string>{"w1"});
}

TEST_F(SavesOfOtherStacks, StackWithoutCoordinatorReportsErrors) {
    RecordStack::setShouldAutoCreateManagedObjectModel(false);
    RecordStack::setupCoreDataStackWithInMemoryStore();
    auto context = RS_defaultContext();
    ASSERT_TRUE(context);
    RecordEntity news("News");
    EXPECT_FALSE(news.RS_createEntityInContext(context));  // no model: no entity
    auto orphan = ManagedObject::make(RS_mergedObjectModelFromMainBundle()->entityNamed("News"), context);
    ASSERT_TRUE(orphan);
    Outcome outcome;
    RS_saveToPersistentStoreWithCompletion(context, outcome.handler());
    outcome.wait();
    EXPECT_FALSE(outcome.success);
    EXPECT_TRUE(outcome.error);
    const std::size_t before = sink->count();
    EXPECT_GE(before, 1u);
    auto request = FetchRequest::make("News");
    EXPECT_FALSE(RecordEntity::RS_executeFetchRequest(request, context));
    EXPECT_EQ(sink->count(), before + 1);
}

// ---- the older wrappers ----

TEST_F(Saves, OlderWrappersCallTheErrorHandlerOnlyWhenTheSaveDidNotSucceed) {
    auto context = RS_defaultContext();
    int handlerCalls = 0;
    int completions = 0;
    addNews(context, "d1", "one");
    RS_saveInBackgroundErrorHandler(context, [&](const Ref<Error>&) { ++handlerCalls; }, nullptr);
    drainMain();
    drainMain();
    EXPECT_EQ(handlerCalls, 0);
    EXPECT_FALSE(context->hasChanges());

    addNews(context, "d2", "two");
    RS_saveNestedContextsErrorHandler(context, [&](const Ref<Error>&) { ++handlerCalls; }, nullptr);
    ASSERT_TRUE(runMainUntil([&] { return msgIdsInFile().size() == 2; }, 10.0));
    drainMain();
    EXPECT_EQ(handlerCalls, 0);

    addNews(context, "d3", "three");
    RS_saveInBackgroundCompletion(context, [&] { ++completions; });
    ASSERT_TRUE(runMainUntil([&] { return completions == 1; }, 10.0));

    // Nothing to save counts as not succeeding: the handler gets nil.
    Ref<Error> received = Error::make("x", 1);
    RS_saveInBackgroundErrorHandler(context, [&](const Ref<Error>& e) {
        ++handlerCalls;
        received = e;
    });
    ASSERT_TRUE(runMainUntil([&] { return handlerCalls == 1; }, 10.0));
    EXPECT_FALSE(received);
}

TEST_F(SavesOfOtherStacks, OlderWrappersPassFailures) {
    setUpStackWithAMandatoryName();
    RecordEntity items("Item");
    auto context = RS_defaultContext();
    items.RS_createEntityInContext(context);
    Ref<Error> received;
    int completions = 0;
    RS_saveWithErrorCallback(context, [&](const Ref<Error>& e) { received = e; });
    ASSERT_TRUE(runMainUntil([&] { return received != nullptr; }, 10.0));
    EXPECT_EQ(received->code(), kValidationMissingMandatoryPropertyError);
    received = nullptr;
    RS_saveNestedContextsErrorHandler(context, [&](const Ref<Error>& e) { received = e; }, [&] { ++completions; });
    ASSERT_TRUE(runMainUntil([&] { return received != nullptr; }, 10.0));
    EXPECT_EQ(completions, 0);
}

// ---- block helpers ----

// Each helper runs the block on a context of its own kind under its working name, then saves to the
// file: before returning, or later with the completion on the main queue (the background block's on
// the child's queue).
TEST_F(Saves, BlockHelpersNameTheirContextsAndWriteTheFile) {
    using Body = std::function<void(const Ref<ManagedObjectContext>&)>;
    using Done = std::function<void()>;
    auto onMain = [](const Done& done) {
        return [done](bool ok, const Ref<Error>& error) {
            EXPECT_TRUE(ok && Thread::isMainThread()) << describe(error);
            done();
        };
    };
    struct Helper {
        const char* name;  // working name of the block's context
        Ref<ManagedObjectContext> parent;
        bool waits;  // written when the call returns
        std::function<void(const Body&, const Done&)> run;
    };
    const auto main = RS_defaultContext();
    const auto root = RS_rootSavingContext();
    const Helper helpers[] = {
        {"saveWithBlock:completion:", root, false, [&](const Body& b, const Done& d) { RecordStack::saveWithBlock(b, onMain(d)); }},
        {"saveWithBlockAndWait:", root, true, [](const Body& b, const Done& d) {
             RecordStack::saveWithBlockAndWait(b);
             d();
         }},
        {"RS_saveWithBlock:completion:", main, false, [&](const Body& b, const Done& d) { RS_saveWithBlock(main, b, onMain(d)); }},
        {"RS_saveWithBlockAndWait:", main, true, [&](const Body& b, const Done& d) {
             RS_saveWithBlockAndWait(main, b);
             d();
         }},
        {"saveInBackgroundWithBlock:completion:", root, false,
         [](const Body& b, const Done& d) {
             RecordStack::saveInBackgroundWithBlock(b, [d] {
                 EXPECT_FALSE(Thread::isMainThread());
                 d();
             });
         }},
        {"saveUsingCurrentThreadContextWithBlockAndWait:", root, true,
         [&](const Body& b, const Done& d) {
             RecordStack::saveUsingCurrentThreadContextWithBlockAndWait([&](const Ref<ManagedObjectContext>& local) {
                 EXPECT_EQ(local, main);  // on main: the default context itself
                 b(local);
             });
             d();
         }},
        {nullptr, root, false,
         [](const Body& b, const Done& d) {
             RecordStack::saveInBackgroundUsingCurrentContextWithBlock(b, d, [](const Ref<Error>&) { ADD_FAILURE(); });
         }},
    };
    std::vector<std::string> written;
    for (std::size_t i = 0; i < std::size(helpers); ++i) {
        const Helper& h = helpers[i];
        const std::string id = std::to_string(i);
        SCOPED_TRACE(h.name ? h.name : "saveInBackgroundUsingCurrentContextWithBlock");
        Ref<ManagedObjectContext> used;
        std::atomic<bool> done{false};
        h.run([&](const Ref<ManagedObjectContext>& local) {
            EXPECT_TRUE(local->isOnQueue());
            used = local;
            addNews(local, id, "from a block");
        }, [&] { done = true; });
        written.push_back(id);
        EXPECT_TRUE(!h.waits || msgIdsInFile() == written);
        ASSERT_TRUE(runMainUntil([&] { return done.load(); }, 10.0));
        ASSERT_TRUE(runMainUntil([&] { return msgIdsInFile() == written; }, 10.0));
        EXPECT_EQ(used->parentContext(), h.parent);
        EXPECT_TRUE(!h.name || RS_workingName(used) == h.name) << RS_workingName(used);
    }
}

}  // namespace
}  // namespace lv::test
