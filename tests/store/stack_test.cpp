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
    EXPECT_EQ(RS_defaultStoreCoordinator()->persistentStores().size(), 1u);
    // The store is opened without options: no migration, no pragmas.
    EXPECT_TRUE(RS_defaultPersistentStore()->options().empty());
    EXPECT_EQ(rawTexts(url.string(), "PRAGMA journal_mode"), std::vector<std::string>{"delete"});
    EXPECT_EQ(sink->count(), 0u);
    // Names never get an extension added.
    EXPECT_EQ(RS_urlForStoreName("plain").filename(), "plain");
    EXPECT_EQ(RS_defaultLocalStoreUrl().filename(), "CoreDataStore.sqlite");
    EXPECT_EQ(RS_applicationDocumentsDirectory(), (dir.path() / "Documents").string());
}

TEST_F(StackSetUp, SecondSetUpBeforeCleanUpChangesNothing) {
    setUpStack();
    auto coordinator = RS_defaultStoreCoordinator();
    auto context = RS_defaultContext();
    auto root = RS_rootSavingContext();
    RecordStack::setupCoreDataStackWithStoreNamed("other.sqlite");
    RecordStack::setupCoreDataStackWithInMemoryStore();
    RS_initializeDefaultContextWithCoordinator(coordinator);
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
    EXPECT_TRUE(RS_defaultContext() && RS_rootSavingContext());
}

TEST_F(StackSetUp, AutoCreatedCoordinatorUsesTheDefaultStoreName) {
    RecordStack::setShouldAutoCreateDefaultPersistentStoreCoordinator(true);
    auto coordinator = RS_defaultStoreCoordinator();
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

// The bundle name and the default store name made from it.
TEST_F(StackSetUp, DefaultStoreNameAppendsTheExtensionUnlessTheNameEndsInSqlite) {
    const std::pair<const char*, const char*> cases[] = {  // nullptr: no entry
        {"lunavexa", "lunavexa.sqlite"}, {"Store.sqlite", "Store.sqlite"}, {"mysqlite", "mysqlite"},
        {"My App", "My App.sqlite"},     {nullptr, "CoreDataStore.sqlite"}};
    for (const auto& [bundleName, expected] : cases) {
        TempDir bundle;
        std::ofstream(bundle.file("Info.plist")) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                                                 << (bundleName ? format("<key>CFBundleName</key><string>%s</string>\n", bundleName) : "")
                                                 << "</dict>\n</plist>\n";
        Bundle::setMainBundlePath(bundle.path().string());
        EXPECT_EQ(RecordStack::defaultStoreName(), expected) << (bundleName ? bundleName : "(none)");
    }
}

TEST_F(StackSetUp, InMemoryStackSavesAndFetches) {
    RecordStack::setupCoreDataStackWithInMemoryStore();
    ASSERT_TRUE(RS_defaultPersistentStore());
    EXPECT_EQ(RS_defaultPersistentStore()->type(), kInMemoryStoreType);
    addNews(RS_defaultContext(), "m1", "one");
    RS_saveToPersistentStoreAndWait(RS_defaultContext());
    EXPECT_EQ(News::RS_countOfEntitiesWithContext(RS_context()), 1u);
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
    NotificationRecorder recorder({kRecordStackCleanedUpNotification});
    RecordStack::cleanUp();
    EXPECT_EQ(recorder.names(), std::vector<std::string>{"kRecordStackCleanedUpNotification"});
    EXPECT_FALSE(RS_defaultContext() || RS_rootSavingContext() || RS_defaultStoreCoordinator() || RS_defaultPersistentStore());
    EXPECT_FALSE(RecordStack::errorHandlerTarget() || RecordStack::errorHandlerAction());
    // A fresh set-up may follow.
    RecordStack::setupCoreDataStackWithStoreNamed("second.sqlite");
    ASSERT_TRUE(RS_defaultPersistentStore());
    EXPECT_EQ(RS_defaultPersistentStore()->URL().filename(), "second.sqlite");
}

TEST_F(StackSetUp, CurrentStackDescribesEveryPart) {
    setUpStack();
    const void* context = RS_defaultContext().get();
    const void* root = RS_rootSavingContext().get();
    EXPECT_EQ(RecordStack::currentStack(),
              "Current Default Core Data Stack: ---- \n" +
                  format("Model:           %@\n", Value(RS_defaultManagedObjectModel()->entityVersionHashesByName())) +
                  format("Coordinator:     %@\n", RS_defaultStoreCoordinator()) +
                  format("Store:           %@\n", RS_defaultPersistentStore()) +
                  format("Default Context: <ManagedObjectContext (%p): RecordStack Default Context> on the main thread\n", context) +
                  format("Context Chain:   \n\n- RecordStack Default Context (%p) (*)\n- RecordStack Root Saving Context (%p) \n\n",
                         context, root));
}

TEST_F(StackSetUp, CreationLinesFollowTheMask) {
    RecordStack::setLoggingLevel(RSLogMaskInfo | RSLogMaskVerbose);
    LogCapture log;
    setUpStack();
    const std::string root = RS_rootSavingContext()->description();
    const std::string context = RS_defaultContext()->description();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "Created new private queue context: " + root,
                               format("Created new context Untitled Context with store coordinator: %@", RS_defaultStoreCoordinator()),
                               "Set root saving context: " + root, "Created new main queue context: " + context,
                               "Set default context: " + context}));
}

// Installing a default context reads the stored coordinator: it never makes one.
TEST_F(StackSetUp, InstallingADefaultContextCreatesNoCoordinator) {
    RecordStack::setShouldAutoCreateDefaultPersistentStoreCoordinator(true);
    RS_setDefaultContext(RS_newMainQueueContext());
    RS_setDefaultContext(nullptr);
    EXPECT_FALSE(std::filesystem::exists(storePath()));
    EXPECT_FALSE(RS_defaultPersistentStore());
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
    const std::vector<std::string_view> names = {
        kRecordStackPSCMismatchWillDeleteStore,   kRecordStackPSCMismatchDidDeleteStore,   kRecordStackPSCMismatchCouldNotDeleteStore,
        kRecordStackPSCMismatchWillRecreateStore, kRecordStackPSCMismatchDidRecreateStore, kRecordStackPSCMismatchCouldNotRecreateStore};
};

// Without deletion the error goes to the handler and the stack has no store: fetches then report errors.
TEST_F(ModelMismatch, WithoutDeletionTheStackHasNoStoreAndReportsErrors) {
    writeIncompatibleStore();
    NotificationRecorder recorder(names);
    setUpStack();
    ASSERT_EQ(sink->count(), 1u);
    EXPECT_EQ(sink->last()->domain(), kCocoaErrorDomain);
    EXPECT_EQ(sink->last()->code(), kPersistentStoreIncompatibleVersionHashError);
    EXPECT_TRUE(recorder.names().empty());
    EXPECT_TRUE(RS_defaultStoreCoordinator()->persistentStores().empty());
    EXPECT_FALSE(RS_defaultPersistentStore());
    EXPECT_EQ(RS_defaultContext()->parentContext(), RS_rootSavingContext());
    EXPECT_TRUE(fs::exists(storePath()));  // kept

    EXPECT_FALSE(News::RS_findAll());
    EXPECT_EQ(News::RS_countOfEntities(), 0u);
    EXPECT_EQ(sink->count(), 3u);
}

// With deletion: the notifications in order (an observer may make a step fail), the warning line
// under mask bit 2, and the store and its companions made anew.
TEST_F(ModelMismatch, WithDeletionTheStoreIsRemovedAndMadeAnewOrTheFailureAnnounced) {
    enum class Sabotage { None, RemoveFirst, FolderInTheWay };
    struct Case {
        const char* name;
        int mask;
        Sabotage sabotage;
        std::vector<std::string> notifications;  // after "kRecordStackPSCMismatch"
        std::vector<std::string> lines;
        bool store;
    };
    const std::string removed = "Removed incompatible model version: lunavexa.sqlite";
    const Case cases[] = {
        {"deleted", RSLogMaskError | RSLogMaskWarning, Sabotage::None,
         {"WillDeleteStore", "DidDeleteStore", "WillRecreateStore", "DidRecreateStore"}, {removed}, true},
        {"deleted quietly", RSLogMaskError, Sabotage::None,
         {"WillDeleteStore", "DidDeleteStore", "WillRecreateStore", "DidRecreateStore"}, {}, true},
        {"could not delete", RSLogMaskError, Sabotage::RemoveFirst,
         {"WillDeleteStore", "CouldNotDeleteStore", "WillRecreateStore", "DidRecreateStore"}, {}, true},
        {"could not recreate", 0, Sabotage::FolderInTheWay,
         {"WillDeleteStore", "DidDeleteStore", "WillRecreateStore", "CouldNotRecreateStore"}, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        fs::remove_all(fs::path(storePath()).parent_path());
        writeIncompatibleStore();
        std::ofstream(storePath() + "-shm") << "shm";
        std::ofstream(storePath() + "-wal") << "wal";
        RecordStack::setShouldDeleteStoreOnModelMismatch(true);
        RecordStack::setLoggingLevel(c.mask);
        const auto step = c.sabotage == Sabotage::RemoveFirst ? kRecordStackPSCMismatchWillDeleteStore : kRecordStackPSCMismatchWillRecreateStore;
        auto token = NotificationCenter::defaultCenter()->addObserverForName(step, nullptr, nullptr, [&](const Notification&) {
            if (c.sabotage == Sabotage::RemoveFirst) fs::remove(storePath());
            if (c.sabotage == Sabotage::FolderInTheWay) fs::create_directory(storePath());
        });
        NotificationRecorder recorder(names);
        LogCapture log;
        setUpStack();
        NotificationCenter::defaultCenter()->removeObserver(token.get());
        std::vector<std::string> expected;
        for (const auto& n : c.notifications) expected.push_back("kRecordStackPSCMismatch" + n);
        ASSERT_EQ(recorder.names(), expected);
        EXPECT_EQ(log.lines(), c.lines);
        EXPECT_EQ(bool(RS_defaultPersistentStore()), c.store);
        EXPECT_TRUE(RS_defaultContext());
        if (c.sabotage == Sabotage::RemoveFirst) {
            auto error = recorder.infoAt(1).get(kRecordStackMismatchErrorKey).objectAs<Error>();
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code(), 4);  // no such file
        } else if (c.sabotage == Sabotage::FolderInTheWay) {
            auto error = recorder.infoAt(3).get(kRecordStackMismatchErrorKey).objectAs<Error>();
            ASSERT_TRUE(error);
            ASSERT_EQ(sink->count(), 1u);
            EXPECT_EQ(sink->last(), error);
        } else {
            EXPECT_EQ(sink->count(), 0u);
            EXPECT_FALSE(fs::exists(storePath() + "-shm") || fs::exists(storePath() + "-wal"));
            EXPECT_EQ(rawTexts(storePath(), "SELECT count(*) FROM \"News\""), std::vector<std::string>{"0"});
            EXPECT_TRUE(rawTexts(storePath(), "SELECT name FROM sqlite_master WHERE name = 'Other'").empty());
        }
    }
}

// ---- error handling and logging ----

class Handler : public Object {
public:
    void onError(const Ref<Error>& error) { errors.push_back(error); }
    std::vector<Ref<Error>> errors;
};

using ErrorHandling = StoreTest;

TEST_F(ErrorHandling, TargetGetsTheErrorUntilItIsGoneAndNilDoesNothing) {
    auto handler = makeRef<Handler>();
    RecordStack::setErrorHandlerTarget(handler, &Handler::onError);
    auto error = Error::make("TestDomain", 7);
    LogCapture log;
    RecordStack::handleErrors(nullptr);
    RecordStack::handleErrors(error);
    EXPECT_EQ(handler->errors, std::vector<Ref<Error>>{error});
    EXPECT_TRUE(log.lines().empty());
    handler.reset();  // released: the default handler takes over
    RecordStack::handleErrors(error);
    EXPECT_FALSE(RecordStack::errorHandlerTarget());
    EXPECT_EQ(log.lines().size(), 3u);
    RecordStack::handleErrors(nullptr);
    EXPECT_EQ(log.lines().size(), 3u);
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
    RecordStack::handleErrors(Error::make("TestDomain", 7));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Error Details: {\n    NSValidationErrorKey = title;\n}", "Error Details: plain",
                                                     "Error: It broke", "Error: Try again", "Error Message: It broke",
                                                     "Error Domain: TestDomain", "Recovery Suggestion: Try again",
                                                     "Error Message: The operation couldn\u2019t be completed. (TestDomain error 7.)",
                                                     "Error Domain: TestDomain", "Recovery Suggestion: (null)"}));
}

// Each mask bit selects its lines: the error's three, or the new context's and the two saves'; 8 selects
// nothing.
TEST_F(ErrorHandling, LoggingMaskSelectsTheLines) {
    RecordStack::cleanUpErrorHanding();
    setUpStack();
    const std::pair<int, std::size_t> cases[] = {{0, 0}, {RSLogMaskError, 3}, {RSLogMaskInfo, 3}, {8, 0}};
    for (const auto& [mask, lines] : cases) {
        RecordStack::setLoggingLevel(mask);
        LogCapture log;
        auto context = RS_newMainQueueContext();
        RecordStack::handleErrors(Error::make("TestDomain", 1));
        addNews(RS_defaultContext(), "m", "t");
        RS_saveToPersistentStoreAndWait(RS_defaultContext());
        EXPECT_EQ(log.lines().size(), lines) << mask;
        if (mask == RSLogMaskInfo) {
            EXPECT_EQ(log.lines().front(), "Created new main queue context: " + context->description());
        }
    }
}

}  // namespace
}  // namespace lv::test
