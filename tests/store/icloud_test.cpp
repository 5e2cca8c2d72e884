// The shared-store set-up on the container stand-in, and shorthand methods.
#include <cstdio>
#include <memory>

#include "platform/dispatch/thread.h"
#include "store_test_support.h"
#include "support/scoped_env.h"

namespace lv::test {
namespace {

std::string journalMode(const std::string& file) {
    std::string out;
    FILE* pipe = ::popen(("sqlite3 '" + file + "' 'PRAGMA journal_mode;'").c_str(), "r");
    if (!pipe) return out;
    char buffer[64];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    ::pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

class ICloudSetup : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        Sandbox::setUbiquityRoot("");
    }
    void TearDown() override {
        Sandbox::setUbiquityRoot("");
        StoreTest::TearDown();
    }
    // Sets the stack up and waits for the completion, which must run on the main thread.
    void setUpAndWait(std::string_view container, std::string_view contentNameKey, std::string_view pathComponent) {
        bool completed = false, onMain = false;
        RecordStack::setupCoreDataStackWithiCloudContainer(container, contentNameKey, std::string_view("cloud.sqlite"), pathComponent, [&] {
            completed = true;
            onMain = Thread::isMainThread();
            setupPosted = !recorder->names().empty();
        });
        // The completion waits for the main loop.
        ASSERT_TRUE(RS_defaultStoreCoordinator());
        EXPECT_FALSE(completed);
        ASSERT_TRUE(runMainUntil([&] { return completed && !recorder->names().empty(); }, 20.0));
        EXPECT_TRUE(onMain);
        EXPECT_FALSE(setupPosted);  // the completion runs before the notification
    }
    std::string cloudStorePath() const { return RS_urlForStoreName("cloud.sqlite").string(); }
    Dictionary storeOptions() const {
        auto store = RS_defaultPersistentStore();
        return store ? store->options() : Dictionary();
    }

    void listen() { recorder = std::make_unique<NotificationRecorder>(std::vector<std::string_view>{kRecordStackPSCDidCompleteiCloudSetupNotification}); }

    std::unique_ptr<NotificationRecorder> recorder =
        std::make_unique<NotificationRecorder>(std::vector<std::string_view>{kRecordStackPSCDidCompleteiCloudSetupNotification});
    bool setupPosted = false;
    ScopedEnv noEnvironmentRoot{"LV_UBIQUITY_DIR", std::nullopt};
};

TEST_F(ICloudSetup, WithoutAContainerTheLocalStoreOpensInWALAndTheFlagStaysOff) {
    for (unsigned mask : {RSLogMaskError, RSLogMaskError | RSLogMaskWarning}) {
        RecordStack::setLoggingLevel(mask);
        LogCapture log;
        RecordStack::setICloudEnabled(true);
        setUpAndWait("iCloud.com.lunavexa", "", "");
        EXPECT_FALSE(RecordStack::isICloudEnabled());
        EXPECT_EQ(log.contains("iCloud is not enabled"), (mask & RSLogMaskWarning) != 0) << mask;
        ASSERT_TRUE(RS_defaultPersistentStore());
        EXPECT_EQ(RS_defaultPersistentStore()->URL().string(), cloudStorePath());
        EXPECT_FALSE(storeOptions().contains(kPersistentStoreUbiquitousContentURLKey));
        EXPECT_EQ(journalMode(cloudStorePath()), "wal");
        EXPECT_TRUE(RS_defaultContext());
        drainMain();
        RecordStack::cleanUp();
        RS_setDefaultPersistentStore(nullptr);
        listen();
    }
}

TEST_F(ICloudSetup, TheCallReturnsBeforeTheStoreExists) {
    auto coordinator = makeRef<PersistentStoreCoordinator>(RS_defaultManagedObjectModel());
    bool completed = false;
    coordinator->lock();  // the background add waits for the coordinator
    RS_addiCloudContainerID(coordinator, "iCloud.app", "", std::string_view("cloud.sqlite"), "", [&] { completed = true; });
    EXPECT_TRUE(coordinator->persistentStores().empty());
    coordinator->unlock();
    ASSERT_TRUE(runMainUntil([&] { return completed; }, 20.0));
    EXPECT_EQ(coordinator->persistentStores().size(), 1u);
    EXPECT_EQ(RS_defaultPersistentStore(), coordinator->persistentStores().front());  // none was set
}

TEST_F(ICloudSetup, WithAContainerTheFlagIsOnAndTheOptionsCarryItsURLAndName) {
    Sandbox::setUbiquityRoot(dir.path().string() + "/ubiquity");
    setUpAndWait("iCloud.com.lunavexa", "LunavexaStore", "Data");
    EXPECT_TRUE(RecordStack::isICloudEnabled());
    const Dictionary options = storeOptions();
    EXPECT_EQ(options.get(kPersistentStoreUbiquitousContentURLKey), Value(dir.path().string() + "/ubiquity/iCloud.com.lunavexa/Data"));
    EXPECT_EQ(options.get(kPersistentStoreUbiquitousContentNameKey), Value("LunavexaStore"));
    EXPECT_EQ(options.get(kMigratePersistentStoresAutomaticallyOption), Value(true));  // merged with the migration options
    EXPECT_EQ(journalMode(cloudStorePath()), "wal");
}

TEST_F(ICloudSetup, AContainerIdentifierThatIsNoPlainNameGivesNoContainer) {
    Sandbox::setUbiquityRoot(dir.path().string() + "/ubiquity");
    setUpAndWait("..", "Name", "");
    EXPECT_FALSE(RecordStack::isICloudEnabled());
    EXPECT_FALSE(storeOptions().contains(kPersistentStoreUbiquitousContentURLKey));
}

TEST_F(ICloudSetup, TheURLFormNamesTheContentAfterTheBundle) {
    Sandbox::setUbiquityRoot(dir.path().string() + "/ubiquity");
    const std::filesystem::path url = dir.path() / "elsewhere" / "cloud.sqlite";
    RecordStack::setupCoreDataStackWithiCloudContainer("iCloud.app", url);
    ASSERT_TRUE(runMainUntil([&] { return !recorder->names().empty(); }, 20.0));
    EXPECT_EQ(storeOptions().get(kPersistentStoreUbiquitousContentNameKey),
              Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleIdentifier"));
    EXPECT_EQ(RS_defaultPersistentStore()->URL(), url);
}

TEST_F(ICloudSetup, ASecondSetUpChangesNothing) {
    setUpStack();
    auto coordinator = RS_defaultStoreCoordinator();
    auto context = RS_defaultContext();
    RecordStack::setupCoreDataStackWithiCloudContainer("iCloud.app", "cloud.sqlite");
    drainMain();
    EXPECT_EQ(RS_defaultStoreCoordinator(), coordinator);
    EXPECT_EQ(RS_defaultContext(), context);
    EXPECT_TRUE(recorder->names().empty());
    EXPECT_FALSE(FileManager::defaultManager().fileExistsAtPath(cloudStorePath()));
}

// ---- shorthand methods ----

using ClassSide = Value(const ClassInfo&);

class Shorthand : public StackTest {};

TEST_F(Shorthand, RecordClassesAnswerTheUnprefixedNamesOnceEnabled) {
    const ClassInfo* news = classNamed("News");
    const ClassInfo* base = ManagedObject::runtimeClass();
    ASSERT_TRUE(news);
    static bool firstRun = true;
    if (firstRun) {
        firstRun = false;
        // A resolver the class had before stays in front.
        setMethodResolver(base, HookSide::Class, [](const ClassInfo& receiver, std::string_view name) {
            return name == "legacyProbe" &&
                   addHook(&receiver, HookSide::Class, "legacyProbe", std::any(std::function<ClassSide>([](const ClassInfo&) { return Value(1); })));
        });
        EXPECT_EQ(news->findClassHook<ClassSide>("findAll"), nullptr);
    }
    RecordStack::enableShorthandMethods();
    RecordStack::enableShorthandMethods();  // a second call changes nothing
    RecordStack::updateResolveMethodsForClass(base);  // nor does exchanging again (the kept name is taken)

    addNews(RS_defaultContext(), "1", "first");
    addNews(RS_defaultContext(), "2", "second");
    const auto* findAll = news->findClassHook<ClassSide>("findAll");
    ASSERT_NE(findAll, nullptr);
    EXPECT_EQ((*findAll)(*news).array().size(), 2u);
    const auto* byAttribute = news->findClassHook<Value(const ClassInfo&, const std::string&, const Value&)>("findFirstByAttribute:withValue:");
    ASSERT_NE(byAttribute, nullptr);
    EXPECT_EQ((*byAttribute)(*news, "msgId", Value("2")).objectAs<News>()->title(), Value("second"));
    const auto* legacy = news->findClassHook<ClassSide>("legacyProbe");
    ASSERT_NE(legacy, nullptr);
    EXPECT_EQ((*legacy)(*news), Value(1));
    EXPECT_EQ(RecordStack::methodNameBlacklist(), (Array{Value("entityName")}));
    EXPECT_EQ(RecordStack::classesToSwizzle().front(), "ManagedObject");
}

TEST_F(Shorthand, PrefixedEntityNameAndOrdinaryInstanceNamesAreNeverAliased) {
    RecordStack::enableShorthandMethods();
    const ClassInfo* news = classNamed("News");
    const ClassInfo* base = ManagedObject::runtimeClass();
    addHook(base, HookSide::Class, "RS_RS_probe", std::any(std::function<ClassSide>([](const ClassInfo&) { return Value(); })));
    addHook(base, HookSide::Instance, "RS_initProbe", std::any(std::function<int(Object&)>([](Object&) { return 5; })));
    addHook(base, HookSide::Instance, "RS__probe", std::any(std::function<int(Object&)>([](Object&) { return 6; })));
    EXPECT_NE(news->findClassHook<ClassSide>("RS_entityName"), nullptr);
    EXPECT_EQ(news->findClassHook<ClassSide>("entityName"), nullptr);
    EXPECT_EQ(news->findClassHook<ClassSide>("RS_probe"), nullptr);
    auto record = addNews(RS_defaultContext(), "1", "one");
    EXPECT_TRUE(respondsTo(*record, "RS_deleteEntity"));
    EXPECT_FALSE(respondsTo(*record, "deleteEntity"));
    const auto* init = news->findInstanceHook<int(Object&)>("initProbe");
    const auto* underscore = news->findInstanceHook<int(Object&)>("_probe");
    ASSERT_TRUE(init && underscore);
    EXPECT_EQ((*init)(*record) + (*underscore)(*record), 11);
}

}  // namespace
}  // namespace lv::test
