// The stack's set-up, location, clean-up, model mismatch, options, error handling and logging mask.
#include <filesystem>
#include <fstream>

#include "platform/base/format.h"
#include "platform/data/errors.h"
#include "platform/storage/path.h"
#include "store_test_support.h"

namespace lv::test {
namespace {

namespace fs = std::filesystem;

using StackSetUp = StoreTest;

TEST_F(StackSetUp, OpensTheNamedStoreInTheBundleFolderOfApplicationSupport) {
    setUpStack();
    const fs::path url = RS_urlForStoreName("lunavexa.sqlite");
    EXPECT_EQ(url, dir.path() / "Library" / "Application Support" / "lunavexa" / "lunavexa.sqlite");
    ASSERT_TRUE(RS_defaultPersistentStore());
    EXPECT_EQ(RS_defaultPersistentStore()->URL(), url);
    EXPECT_TRUE(fs::exists(url));
    EXPECT_EQ(RS_defaultStoreCoordinator()->persistentStores().size(), 1u);
    // The store is opened without options: no migration, no pragmas.
    EXPECT_TRUE(RS_defaultPersistentStore()->options().empty());
    EXPECT_EQ(rawTexts(url.string(), "PRAGMA journal_mode"), std::vector<std::string>{"delete"});
    EXPECT_EQ(sink->count(), 0u);
}

TEST_F(StackSetUp, StoreURLNeverAddsAnExtension) {
    EXPECT_EQ(RS_urlForStoreName("plain").filename(), "plain");
    EXPECT_EQ(RS_defaultLocalStoreUrl().filename(), "CoreDataStore.sqlite");
    EXPECT_EQ(RS_applicationStorageDirectory(), (dir.path() / "Library" / "Application Support" / "lunavexa").string());
    EXPECT_EQ(RS_applicationDocumentsDirectory(), (dir.path() / "Documents").string());
}

TEST_F(StackSetUp, SecondSetUpBeforeCleanUpChangesNothing) {
    setUpStack();
    auto coordinator = RS_defaultStoreCoordinator();
    auto context = RS_defaultContext();
    auto root = RS_rootSavingContext();
    RecordStack::setupCoreDataStackWithStoreNamed("other.sqlite");
    RecordStack::setupCoreDataStackWithInMemoryStore();
    EXPECT_EQ(RS_defaultStoreCoordinator(), coordinator);
    EXPECT_EQ(RS_defaultContext(), context);
    EXPECT_EQ(RS_rootSavingContext(), root);
    EXPECT_FALSE(fs::exists(RS_urlForStoreName("other.sqlite")));
}

// The guard looks at the stored coordinator: with auto-creation on, asking the auto-creating getter
// would make a coordinator for the default store and skip the named one and the contexts.
TEST_F(StackSetUp, GuardDoesNotAutoCreateACoordinator) {
    RecordStack::setShouldAutoCreateDefaultPersistentStoreCoordinator(true);
    RecordStack::setupCoreDataStackWithStoreNamed("named.sqlite");
    ASSERT_TRUE(RS_defaultPersistentStore());
    EXPECT_EQ(RS_defaultPersistentStore()->URL().filename(), "named.sqlite");
    EXPECT_FALSE(fs::exists(RS_urlForStoreName(RecordStack::defaultStoreName())));
    EXPECT_TRUE(RS_defaultContext());
    EXPECT_TRUE(RS_rootSavingContext());
}

TEST_F(StackSetUp, AutoCreatedCoordinatorUsesTheDefaultStoreName) {
    RecordStack::setShouldAutoCreateDefaultPersistentStoreCoordinator(true);
    auto coordinator = RS_defaultStoreCoordinator();
    ASSERT_TRUE(coordinator);
    EXPECT_EQ(RS_defaultStoreCoordinator(), coordinator);
    ASSERT_TRUE(RS_defaultPersistentStore());
    EXPECT_EQ(RS_defaultPersistentStore()->URL(), RS_urlForStoreName("lunavexa.sqlite"));
}

TEST_F(StackSetUp, NoModelMeansNoCoordinatorAndADefaultContextWithoutParent) {
    RecordStack::setShouldAutoCreateManagedObjectModel(false);
    EXPECT_FALSE(RS_defaultManagedObjectModel());
    setUpStack();
    EXPECT_FALSE(RS_defaultStoreCoordinator());
    EXPECT_FALSE(RS_rootSavingContext());
    ASSERT_TRUE(RS_defaultContext());
    EXPECT_FALSE(RS_defaultContext()->parentContext());
}

// Table: the bundle name and the default store name made from it.
TEST_F(StackSetUp, DefaultStoreNameAppendsTheExtensionUnlessTheNameEndsInSqlite) {
    struct Case {
        const char* bundleName;  // nullptr: no entry
        const char* expected;
    };
    const Case cases[] = {{"lunavexa", "lunavexa.sqlite"}, {"Store.sqlite", "Store.sqlite"}, {"mysqlite", "mysqlite"},
                          {"My App", "My App.sqlite"}, {nullptr, "CoreDataStore.sqlite"}};
    for (const Case& c : cases) {
        TempDir bundle;
        std::ofstream plist(bundle.file("Info.plist"));
        plist << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
        if (c.bundleName) plist << "<key>CFBundleName</key><string>" << c.bundleName << "</string>\n";
        plist << "</dict>\n</plist>\n";
        plist.close();
        Bundle::setMainBundlePath(bundle.path().string());
        EXPECT_EQ(RecordStack::defaultStoreName(), c.expected) << (c.bundleName ? c.bundleName : "(none)");
    }
}

TEST_F(StackSetUp, InMemoryStackSavesAndFetches) {
    RecordStack::setupCoreDataStackWithInMemoryStore();
    ASSERT_TRUE(RS_defaultPersistentStore());
    EXPECT_EQ(RS_defaultPersistentStore()->type(), kInMemoryStoreType);
    addNews(RS_defaultContext(), "m1", "one");
    RS_saveToPersistentStoreAndWait(RS_defaultContext());
    auto found = RS_context();
    EXPECT_EQ(News::RS_countOfEntitiesWithContext(found), 1u);
}

TEST_F(StackSetUp, AutoMigratingStackOpensTheDefaultStoreInWALMode) {
    RecordStack::setupAutoMigratingCoreDataStack();
    ASSERT_TRUE(RS_defaultPersistentStore());
    EXPECT_EQ(RS_defaultPersistentStore()->URL(), RS_urlForStoreName("lunavexa.sqlite"));
    EXPECT_EQ(RS_defaultPersistentStore()->options(), RS_autoMigrationOptions());
    EXPECT_EQ(rawTexts(storePath(), "PRAGMA journal_mode"), std::vector<std::string>{"wal"});
}

// A failed add of an auto-migrating coordinator is tried once more half a second later on the calling
// thread's run loop.
TEST_F(StackSetUp, AutoMigratingCoordinatorRetriesAFailedAddOnce) {
    const std::string blocker = dir.file("blocker");
    std::ofstream(blocker) << "a file where the store's folder should be";
    const fs::path url = fs::path(blocker) / "store.sqlite";
    auto coordinator = RS_coordinatorWithAutoMigratingSqliteStoreAtURL(url);
    ASSERT_TRUE(coordinator);
    EXPECT_TRUE(coordinator->persistentStores().empty());
    EXPECT_GE(sink->count(), 1u);  // the folder and the store
    fs::remove(blocker);
    EXPECT_TRUE(runMainUntil([&] { return !coordinator->persistentStores().empty(); }, 10.0));
    EXPECT_TRUE(fs::exists(url));
}

TEST_F(StackSetUp, CleanUpTearsDownAndPostsOnce) {
    setUpStack();
    auto other = makeRef<ErrorSink>();
    other->install();
    NotificationRecorder recorder({kRecordStackCleanedUpNotification});
    RecordStack::cleanUp();
    EXPECT_EQ(recorder.names(), std::vector<std::string>{std::string(kRecordStackCleanedUpNotification)});
    EXPECT_FALSE(RS_defaultContext());
    EXPECT_FALSE(RS_rootSavingContext());
    EXPECT_FALSE(RS_defaultStoreCoordinator());
    EXPECT_FALSE(RS_defaultPersistentStore());
    EXPECT_FALSE(RecordStack::errorHandlerTarget());
    EXPECT_FALSE(RecordStack::errorHandlerAction());
    // A fresh set-up may follow.
    RecordStack::setupCoreDataStackWithStoreNamed("second.sqlite");
    ASSERT_TRUE(RS_defaultPersistentStore());
    EXPECT_EQ(RS_defaultPersistentStore()->URL().filename(), "second.sqlite");
}

TEST_F(StackSetUp, CurrentStackDescribesEveryPart) {
    setUpStack();
    auto context = RS_defaultContext();
    auto root = RS_rootSavingContext();
    const std::string expected =
        "Current Default Core Data Stack: ---- \n" +
        format("Model:           %@\n", Value(RS_defaultManagedObjectModel()->entityVersionHashesByName())) +
        format("Coordinator:     %@\n", RS_defaultStoreCoordinator()) + format("Store:           %@\n", RS_defaultPersistentStore()) +
        format("Default Context: <ManagedObjectContext (%p): RecordStack Default Context> on the main thread\n",
               static_cast<const void*>(context.get())) +
        format("Context Chain:   \n\n- RecordStack Default Context (%p) (*)\n- RecordStack Root Saving Context (%p) \n\n",
               static_cast<const void*>(context.get()), static_cast<const void*>(root.get()));
    EXPECT_EQ(RecordStack::currentStack(), expected);
}

// ---- model mismatch ----

class ModelMismatch : public StoreTest {
protected:
    // Leaves a store made with another model at the app's store path.
    void writeIncompatibleStore() {
        auto model = makeRef<ManagedObjectModel>();
        auto other = EntityDescription::make("Other");
        other->addAttribute(AttributeDescription::make("name", AttributeType::String));
        model->addEntity(other);
        fs::create_directories(fs::path(storePath()).parent_path());
        auto coordinator = makeRef<PersistentStoreCoordinator>(model);
        Ref<Error> error;
        ASSERT_TRUE(coordinator->addPersistentStore(kSQLiteStoreType, "", storePath(), {}, &error)) << describe(error);
    }
    void writeCompanions() {
        std::ofstream(storePath() + "-shm") << "shm";
        std::ofstream(storePath() + "-wal") << "wal";
    }
    const std::vector<std::string_view> names = {
        kRecordStackPSCMismatchWillDeleteStore,   kRecordStackPSCMismatchDidDeleteStore,   kRecordStackPSCMismatchCouldNotDeleteStore,
        kRecordStackPSCMismatchWillRecreateStore, kRecordStackPSCMismatchDidRecreateStore, kRecordStackPSCMismatchCouldNotRecreateStore};
};

TEST_F(ModelMismatch, WithoutDeletionTheErrorGoesToTheHandlerAndTheStackHasNoStore) {
    writeIncompatibleStore();
    NotificationRecorder recorder(names);
    setUpStack();
    ASSERT_EQ(sink->count(), 1u);
    EXPECT_EQ(sink->last()->domain(), kCocoaErrorDomain);
    EXPECT_EQ(sink->last()->code(), kPersistentStoreIncompatibleVersionHashError);
    EXPECT_TRUE(recorder.names().empty());
    ASSERT_TRUE(RS_defaultStoreCoordinator());
    EXPECT_TRUE(RS_defaultStoreCoordinator()->persistentStores().empty());
    EXPECT_FALSE(RS_defaultPersistentStore());
    ASSERT_TRUE(RS_defaultContext());
    EXPECT_EQ(RS_defaultContext()->parentContext(), RS_rootSavingContext());
    EXPECT_TRUE(fs::exists(storePath()));  // kept
}

TEST_F(ModelMismatch, WithoutAStoreFetchesAndSavesReportErrors) {
    writeIncompatibleStore();
    setUpStack();
    const std::size_t before = sink->count();
    EXPECT_FALSE(News::RS_findAll());
    EXPECT_EQ(sink->count(), before + 1);
    EXPECT_EQ(News::RS_countOfEntities(), 0u);
    EXPECT_EQ(sink->count(), before + 2);

    auto record = addNews(RS_defaultContext(), "m1", "one");
    int calls = 0;
    bool success = true;
    Ref<Error> reported;
    RS_saveToPersistentStoreWithCompletion(RS_defaultContext(), [&](bool ok, const Ref<Error>& error) {
        ++calls;
        success = ok;
        reported = error;
    });
    ASSERT_TRUE(runMainUntil([&] { return calls > 0; }, 10.0));
    drainMain();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(success);
    EXPECT_TRUE(reported);
    EXPECT_GT(sink->count(), before + 2);
}

TEST_F(ModelMismatch, WithDeletionTheStoreAndItsCompanionsAreRemovedAndMadeAnew) {
    writeIncompatibleStore();
    writeCompanions();
    RecordStack::setShouldDeleteStoreOnModelMismatch(true);
    RecordStack::setLoggingLevel(RSLogMaskError | RSLogMaskWarning);
    NotificationRecorder recorder(names);
    LogCapture log;
    setUpStack();
    EXPECT_EQ(recorder.names(), (std::vector<std::string>{std::string(kRecordStackPSCMismatchWillDeleteStore),
                                                          std::string(kRecordStackPSCMismatchDidDeleteStore),
                                                          std::string(kRecordStackPSCMismatchWillRecreateStore),
                                                          std::string(kRecordStackPSCMismatchDidRecreateStore)}));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Removed incompatible model version: lunavexa.sqlite"});
    EXPECT_EQ(sink->count(), 0u);
    ASSERT_TRUE(RS_defaultPersistentStore());
    EXPECT_FALSE(fs::exists(storePath() + "-shm"));
    EXPECT_FALSE(fs::exists(storePath() + "-wal"));
    EXPECT_EQ(rawTexts(storePath(), "SELECT count(*) FROM \"News\""), std::vector<std::string>{"0"});
    EXPECT_TRUE(rawTexts(storePath(), "SELECT name FROM sqlite_master WHERE name = 'Other'").empty());
}

TEST_F(ModelMismatch, TheWarningLineNeedsMaskBit2) {
    writeIncompatibleStore();
    RecordStack::setShouldDeleteStoreOnModelMismatch(true);
    LogCapture log;
    setUpStack();
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(RS_defaultPersistentStore());
}

TEST_F(ModelMismatch, AFailedDeletionIsAnnouncedWithItsError) {
    writeIncompatibleStore();
    RecordStack::setShouldDeleteStoreOnModelMismatch(true);
    // An observer takes the file away first, so the deletion itself fails.
    auto token = NotificationCenter::defaultCenter()->addObserverForName(kRecordStackPSCMismatchWillDeleteStore, nullptr, nullptr,
                                                                         [&](const Notification&) { fs::remove(storePath()); });
    NotificationRecorder recorder(names);
    setUpStack();
    NotificationCenter::defaultCenter()->removeObserver(token.get());
    ASSERT_EQ(recorder.names(), (std::vector<std::string>{std::string(kRecordStackPSCMismatchWillDeleteStore),
                                                          std::string(kRecordStackPSCMismatchCouldNotDeleteStore),
                                                          std::string(kRecordStackPSCMismatchWillRecreateStore),
                                                          std::string(kRecordStackPSCMismatchDidRecreateStore)}));
    auto error = recorder.infoAt(1).get(kRecordStackMismatchErrorKey).objectAs<Error>();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 4);  // no such file
    EXPECT_TRUE(RS_defaultPersistentStore());
}

TEST_F(ModelMismatch, AFailedRecreationIsAnnouncedAndHandled) {
    writeIncompatibleStore();
    RecordStack::setShouldDeleteStoreOnModelMismatch(true);
    // An observer puts a folder where the new file should go.
    auto token = NotificationCenter::defaultCenter()->addObserverForName(kRecordStackPSCMismatchWillRecreateStore, nullptr, nullptr,
                                                                         [&](const Notification&) { fs::create_directory(storePath()); });
    NotificationRecorder recorder(names);
    setUpStack();
    NotificationCenter::defaultCenter()->removeObserver(token.get());
    ASSERT_EQ(recorder.names(), (std::vector<std::string>{std::string(kRecordStackPSCMismatchWillDeleteStore),
                                                          std::string(kRecordStackPSCMismatchDidDeleteStore),
                                                          std::string(kRecordStackPSCMismatchWillRecreateStore),
                                                          std::string(kRecordStackPSCMismatchCouldNotRecreateStore)}));
    auto error = recorder.infoAt(3).get(kRecordStackMismatchErrorKey).objectAs<Error>();
    ASSERT_TRUE(error);
    ASSERT_EQ(sink->count(), 1u);
    EXPECT_EQ(sink->last(), error);
    EXPECT_FALSE(RS_defaultPersistentStore());
    EXPECT_TRUE(RS_defaultContext());
}

// ---- error handling and logging ----

class Handler : public Object {
public:
    void onError(const Ref<Error>& error) { errors.push_back(error); }
    std::vector<Ref<Error>> errors;
};

using ErrorHandling = StoreTest;

TEST_F(ErrorHandling, NilErrorDoesNothing) {
    auto handler = makeRef<Handler>();
    RecordStack::setErrorHandlerTarget(handler, &Handler::onError);
    LogCapture log;
    RecordStack::handleErrors(nullptr);
    EXPECT_TRUE(handler->errors.empty());
    RecordStack::cleanUpErrorHanding();
    RecordStack::handleErrors(nullptr);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ErrorHandling, TargetGetsTheErrorUntilItIsGone) {
    auto handler = makeRef<Handler>();
    RecordStack::setErrorHandlerTarget(handler, &Handler::onError);
    EXPECT_EQ(RecordStack::errorHandlerTarget(), handler);
    auto error = Error::make("TestDomain", 7);
    LogCapture log;
    RecordStack::handleErrors(error);
    ASSERT_EQ(handler->errors.size(), 1u);
    EXPECT_EQ(handler->errors[0], error);
    EXPECT_TRUE(log.lines().empty());
    handler.reset();  // released: the default handler takes over
    RecordStack::handleErrors(error);
    EXPECT_FALSE(RecordStack::errorHandlerTarget());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Error Message: The operation couldn\u2019t be completed. (TestDomain error 7.)",
                                                     "Error Domain: TestDomain", "Recovery Suggestion: (null)"}));
}

TEST_F(ErrorHandling, DefaultHandlerPrintsUserInfoThenMessageDomainAndSuggestion) {
    RecordStack::cleanUpErrorHanding();
    auto detail = Error::make("Inner", 1, Dictionary{{"NSValidationErrorKey", Value("title")}});
    Dictionary info;
    info.set("NSDetailedErrors", Value(Array{Value(detail), Value("plain")}));
    info.set(std::string(kLocalizedDescriptionKey), Value("It broke"));
    info.set(std::string(kLocalizedRecoverySuggestionErrorKey), Value("Try again"));
    LogCapture log;
    RecordStack::handleErrors(Error::make("TestDomain", 3, info));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Error Details: {\n    NSValidationErrorKey = title;\n}", "Error Details: plain",
                                                     "Error: It broke", "Error: Try again", "Error Message: It broke",
                                                     "Error Domain: TestDomain", "Recovery Suggestion: Try again"}));
}

TEST_F(ErrorHandling, LoggingMaskSelectsTheLines) {
    RecordStack::cleanUpErrorHanding();
    auto error = Error::make("TestDomain", 1);
    {
        RecordStack::setLoggingLevel(0);
        LogCapture log;
        RecordStack::handleErrors(error);
        RS_newMainQueueContext();
        EXPECT_TRUE(log.lines().empty());
    }
    {
        RecordStack::setLoggingLevel(RSLogMaskError);
        LogCapture log;
        RecordStack::handleErrors(error);
        RS_newMainQueueContext();
        EXPECT_EQ(log.lines().size(), 3u);  // the error lines only
    }
    {
        RecordStack::setLoggingLevel(RSLogMaskInfo);
        LogCapture log;
        auto context = RS_newMainQueueContext();
        RecordStack::handleErrors(error);
        EXPECT_EQ(log.lines(), std::vector<std::string>{"Created new main queue context: " + context->description()});
    }
    {
        RecordStack::setLoggingLevel(8);  // selects nothing
        LogCapture log;
        setUpStack();
        addNews(RS_defaultContext(), "m", "t");
        RS_saveToPersistentStoreAndWait(RS_defaultContext());
        RecordStack::handleErrors(error);
        EXPECT_TRUE(log.lines().empty());
    }
}

}  // namespace
}  // namespace lv::test
