// The launch sequence against the stand-in content service on 127.0.0.1: which tab set a launch
// installs and when, what the video switch writes to the settings file, the tab styling, the
// activation alert and the termination save (read back from the SQLite file).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "analytics/tally_app.h"
#include "analytics/tally_config.h"
#include "analytics/tally_internal.h"
#include "analytics/tally_session.h"
#include "app/app_delegate.h"
#include "content/content_records.h"
#include "content/content_test_support.h"
#include "content/launch_glue.h"
#include "content/property_persistance.h"
#include "content/reachability.h"
#include "content/rest_api_helper.h"
#include "content_service.h"
#include "platform/base/clock.h"
#include "platform/net/host_map.h"
#include "platform/storage/bundle.h"
#include "platform/ui/color.h"
#include "platform/ui/font.h"
#include "platform/ui/image.h"

namespace lv::test {
namespace {

using tools::ContentBehaviour;

std::string contentHost() { return *URL::URLWithString(RestAPIHelper::kContentServiceBaseURL)->host(); }

class LaunchFixture : public AppStack {
protected:
    void SetUp() override {
        AppStack::SetUp();
        ASSERT_TRUE(service.start());
        HostMap::set(contentHost(), "127.0.0.1", service.port());
        HostMap::set(CheckNetwork::kProbeHost, "127.0.0.1", service.port());
        useBundle(sourceDirectory() + "/bundle");
        Application::resetSharedApplication();
        registerAppClasses();
        // The glue keeps no record of its calls; this test's observer does (it may still be told of a
        // call from the push database's queue after the test, so it shares its record).
        PushHelper::instance()->setCallObserver([record = pushCalls_](const std::string& call) {
            std::lock_guard lock(record->mutex);
            record->calls.push_back(call);
        });
    }
    void TearDown() override {
        PushHelper::instance()->setCallObserver(nullptr);
        delegate.reset();
        service.stop();
        HostMap::clear();
        AppStack::TearDown();
        Application::resetSharedApplication();
        Bundle::setMainBundlePath(sourceDirectory() + "/bundle");
    }
    static void useBundle(const std::string& path) { Bundle::setMainBundlePath(path); }

    struct PushCalls {
        std::mutex mutex;
        std::vector<std::string> calls;
    };
    std::shared_ptr<PushCalls> pushCalls_ = std::make_shared<PushCalls>();
    // What reached the push glue during the test, in order.
    std::vector<std::string> pushCalls() const {
        std::lock_guard lock(pushCalls_->mutex);
        return pushCalls_->calls;
    }

    // A copy of the bundle whose running version is the given text.
    std::string bundleWithVersion(const std::string& version) {
        std::filesystem::path copy = dir.path() / "bundle";
        std::filesystem::copy(sourceDirectory() + "/bundle", copy, std::filesystem::copy_options::recursive);
        std::ifstream in(copy / "Info.plist");
        std::stringstream text;
        text << in.rdbuf();
        std::string plist = text.str();
        const std::string key = "<key>CFBundleShortVersionString</key>";
        auto at = plist.find("<string>", plist.find(key));
        plist.replace(at, plist.find("</string>", at) - at, "<string>" + version);
        std::ofstream(copy / "Info.plist") << plist;
        return copy.string();
    }

    void replyWith(const std::string& body) {
        ContentBehaviour behaviour;
        behaviour.customBody = body;
        service.setBehaviour("videoConfig", behaviour);
    }

    static void writeSettings(const Value& hideVideos, const Value& appVersion) {
        auto settings = makeRef<LNPreferences>();
        PropertyPersistance::setPersistanceOn(*settings);
        settings->setHideVideos(hideVideos);
        settings->setAppVersion(appVersion);
    }
    // The settings as a fresh object reads them from the file.
    static Ref<LNPreferences> storedSettings() {
        auto settings = makeRef<LNPreferences>();
        PropertyPersistance::setPersistanceOn(*settings);
        return settings;
    }

    void launch() {
        delegate = makeRef<AppDelegate>();
        Application::sharedApplication()->setDelegate(delegate);
        ASSERT_TRUE(Application::sharedApplication()->launch());
    }
    bool waitForTabs() {
        return runMainUntil([this] { return delegate->window() && delegate->window()->isKeyWindow(); }, 15);
    }
    std::vector<std::string> tabTitles() const {
        std::vector<std::string> titles;
        for (const auto& item : delegate->tabBarController()->tabBar()->items()) titles.push_back(item->title());
        return titles;
    }
    std::size_t videoConfigRequests() const {
        std::size_t count = 0;
        for (const auto& request : service.requests()) count += request.query.find("action=videoConfig") == 0;
        return count;
    }

    const std::vector<std::string> full{"音乐排行榜", "新闻资讯", "韩流生活", "岚朵商城", "韩剧综艺"};
    const std::vector<std::string> reduced{"音乐排行榜", "新闻资讯", "岚朵商城"};
    tools::ContentService service{sourceDirectory() + "/tools/content-service/fixtures"};
    Ref<AppDelegate> delegate;
};

using Launch = LaunchFixture;

TEST_F(Launch, FirstLaunchWithTheServiceDownShowsTheReducedSetOnlyAfterInstallingAndOnlyOnce) {
    HostMap::set(contentHost(), "127.0.0.1", 1);  // nothing listens there
    int analyticsStarts = AnalyticsHelper::startCount();
    const std::size_t callsBefore = pushCalls().size();
    launch();
    // Nothing is shown before a tab set is installed.
    EXPECT_TRUE(delegate->window()->isHidden());
    EXPECT_TRUE(delegate->tabBarController()->viewControllers().empty());
    EXPECT_TRUE(RS_defaultContext());
    EXPECT_EQ(AnalyticsHelper::startCount(), analyticsStarts + 1);
    // Registration calls come from the push database's queue, whenever it gets to them.
    auto launchCalls = pushCalls();
    launchCalls.erase(launchCalls.begin(), launchCalls.begin() + static_cast<std::ptrdiff_t>(callsBefore));
    std::erase_if(launchCalls, [](const std::string& call) { return call.starts_with("registerPush"); });
    EXPECT_EQ(launchCalls, std::vector<std::string>{"didFinishLaunchingWithOptions"});

    ASSERT_TRUE(waitForTabs());
    EXPECT_FALSE(delegate->window()->isHidden());
    EXPECT_EQ(delegate->window()->rootViewController(), delegate->tabBarController());
    EXPECT_EQ(tabTitles(), reduced);
    auto settings = storedSettings();
    EXPECT_TRUE(settings->hideVideos().boolValue());
    EXPECT_FALSE(settings->checkUpdate().isNil());
    EXPECT_FALSE(settings->checkUpdate().boolValue());
    EXPECT_TRUE(settings->appVersion().isNil());

    // Exactly one tab set per launch: a later request for the full set is ignored.
    delegate->showAllControllers();
    drainMain();
    EXPECT_EQ(tabTitles(), reduced);
    EXPECT_EQ(delegate->tabBarController()->viewControllers().size(), 3u);
}

TEST_F(Launch, EveryTabItemIsStyledWithItsSetsImages) {
    HostMap::set(contentHost(), "127.0.0.1", 1);
    for (bool fullSet : {true, false}) {
        SCOPED_TRACE(fullSet ? "full" : "reduced");
        writeSettings(Value(!fullSet), Value("1.0"));
        launch();
        ASSERT_TRUE(waitForTabs());
        const auto& bar = delegate->tabBarController()->tabBar();
        EXPECT_EQ(bar->frame().size.height, 63);
        const auto& names = fullSet ? AppDelegate::fullTabImageNames() : AppDelegate::reducedTabImageNames();
        ASSERT_EQ(bar->items().size(), names.size());
        auto rgb = [](int r, int g, int b) { return Color::colorWithRed(r / 255.0, g / 255.0, b / 255.0, 1); };
        auto expectTitle = [](const Dictionary& attributes, const auto& color) {
            const Value value(attributes);
            EXPECT_TRUE(value.operator[]("NSForegroundColorAttributeName").objectAs<Color>()->isEqual(*color));
            const auto font = value.operator[]("NSFontAttributeName").objectAs<Font>();
            ASSERT_TRUE(font);
            EXPECT_EQ(font->pointSize(), 11);
        };
        for (std::size_t i = 0; i < names.size(); ++i) {
            const auto& item = bar->items()[i];
            EXPECT_TRUE(item->backgroundColor()->isEqual(*rgb(0x2B, 0x3D, 0x59)));
            expectTitle(item->selectedTitleAttributes(), rgb(0x72, 0xDC, 0xD6));
            expectTitle(item->unselectedTitleAttributes(), rgb(0xAA, 0xCA, 0xCC));
            ASSERT_TRUE(item->finishedSelectedImage() && item->finishedUnselectedImage());
            EXPECT_EQ(item->finishedSelectedImage()->name(), names[i] + "_selected");
            EXPECT_EQ(item->finishedUnselectedImage()->name(), names[i]);
            EXPECT_EQ(item->imagePositionAdjustment(), (Offset{0, -3}));
            EXPECT_EQ(item->titlePositionAdjustment(), (Offset{0, 2}));
        }
        delegate.reset();
        RecordStack::cleanUp();
        Application::resetSharedApplication();
    }
}

TEST_F(Launch, BecomingActiveOfflineShowsTheWarning) {
    launch();
    ASSERT_TRUE(waitForTabs());
    auto app = Application::sharedApplication();
    delegate->applicationDidBecomeActive(*app);
    EXPECT_TRUE(app->alerts().empty());

    HostMap::set(CheckNetwork::kProbeHost, "offline.lunavexa.invalid", 0);
    delegate->applicationDidBecomeActive(*app);
    ASSERT_TRUE(app->frontAlert());
    EXPECT_EQ(app->frontAlert()->title(), "警告");
    EXPECT_EQ(app->frontAlert()->message(), "未连接网络,将使用离线模式");
    EXPECT_EQ(app->frontAlert()->buttonTitles(), std::vector<std::string>{"确认"});
    EXPECT_EQ(app->frontAlert()->delegate().get(), static_cast<AlertViewDelegate*>(delegate.get()));
}

TEST_F(Launch, NotificationsAndActionsReachThePushGlue) {
    launch();
    auto app = Application::sharedApplication();
    int completions = 0;
    delegate->applicationHandleActionWithIdentifier(*app, "OTHER", {}, [&] { ++completions; });
    delegate->applicationDidReceiveRemoteNotification(*app, {});
    EXPECT_EQ(completions, 1);
    // The launch's registration calls may land in between, on a slow machine after these.
    std::vector<std::string> forwarded;
    for (const auto& call : pushCalls()) {
        if (call == "handleActionWithIdentifier" || call == "didReceiveRemoteNotification") forwarded.push_back(call);
    }
    EXPECT_EQ(forwarded, (std::vector<std::string>{"handleActionWithIdentifier", "didReceiveRemoteNotification"}));
    EXPECT_EQ(app->applicationIconBadgeNumber(), 0);
    ASSERT_TRUE(waitForTabs());
}

// ---- The video switch ----

struct SwitchCase {
    const char* name;
    const char* runningVersion;  // nullptr: the bundle's "1.0"
    Value storedHide;            // nil: first launch
    Value storedVersion;
    std::string reply;
    bool fullSet;
    Value appVersionAfter;  // nil: unchanged from storedVersion
};

class VideoSwitch : public LaunchFixture, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(VideoSwitch, DecidesTheTabSetAndTheSettings) {
    const SwitchCase& c = GetParam();
    if (c.runningVersion) useBundle(bundleWithVersion(c.runningVersion));
    if (!c.storedHide.isNil()) writeSettings(c.storedHide, c.storedVersion);
    replyWith(c.reply);
    launch();
    ASSERT_TRUE(waitForTabs());
    EXPECT_EQ(videoConfigRequests(), 1u);
    EXPECT_EQ(tabTitles(), c.fullSet ? full : reduced);
    auto settings = storedSettings();
    EXPECT_EQ(settings->hideVideos().boolValue(), !c.fullSet);
    Value expectedVersion = c.appVersionAfter.isNil() ? c.storedVersion : c.appVersionAfter;
    EXPECT_TRUE(settings->appVersion().isEqual(expectedVersion)) << settings->appVersion().stringValue();
}

const char* const kEnabled10 = R"({"mItems":[{"name":"video","value":"1"},{"name":"version","value":"1.0"}]})";

INSTANTIATE_TEST_SUITE_P(
    Replies, VideoSwitch,
    ::testing::Values(
        SwitchCase{"EnabledForTheRunningVersion", nullptr, Value(), Value(), kEnabled10, true, Value("1.0")},
        SwitchCase{"EnabledForAHigherVersion", nullptr, Value(), Value(),
                   R"({"mItems":[{"name":"version","value":"2.0"},{"name":"video","value":"1"}]})", true, Value("1.0")},
        SwitchCase{"LaterItemOfTheSameNameWins", nullptr, Value(), Value(),
                   R"({"mItems":[{"name":"video","value":"1"},{"name":"video","value":"0"},{"name":"version","value":"1.0"}]})",
                   false, Value()},
        SwitchCase{"Disabled", nullptr, Value(false), Value("0.5"),
                   R"({"mItems":[{"name":"video","value":"0"},{"name":"version","value":"1.0"}]})", false, Value()},
        SwitchCase{"RunningVersionGreaterChangesNothing", nullptr, Value(false), Value("0.5"),
                   R"({"mItems":[{"name":"video","value":"0"},{"name":"version","value":"0.9"}]})", true, Value()},
        SwitchCase{"TextComparison1_10IsLowerThan1_9", "1.10", Value(), Value(),
                   R"({"mItems":[{"name":"video","value":"1"},{"name":"version","value":"1.9"}]})", true, Value("1.10")},
        // Letters compare without case: "1.0b" equals "1.0B", "1.0a" is lower and "1.0c" greater.
        SwitchCase{"LettersCompareWithoutCase", "1.0b", Value(), Value(),
                   R"({"mItems":[{"name":"video","value":"1"},{"name":"version","value":"1.0B"}]})", true, Value("1.0b")},
        SwitchCase{"ALowerLetterIsLower", "1.0a", Value(), Value(),
                   R"({"mItems":[{"name":"video","value":"1"},{"name":"version","value":"1.0B"}]})", true, Value("1.0a")},
        SwitchCase{"AHigherLetterIsGreater", "1.0c", Value(false), Value("0.5"),
                   R"({"mItems":[{"name":"video","value":"0"},{"name":"version","value":"1.0B"}]})", true, Value()},
        SwitchCase{"NullItems", nullptr, Value(false), Value("0.5"), R"({"mItems":null})", false, Value()},
        SwitchCase{"ItemsNotAList", nullptr, Value(false), Value("0.5"), R"({"mItems":{"name":"video"}})", false, Value()},
        SwitchCase{"NoItems", nullptr, Value(false), Value("0.5"), R"({"other":1})", false, Value()},
        SwitchCase{"NotAJSONObject", nullptr, Value(false), Value("0.5"), R"([1,2])", false, Value()},
        SwitchCase{"NotJSON", nullptr, Value(false), Value("0.5"), "<html>", false, Value()},
        SwitchCase{"NoVersion", nullptr, Value(false), Value("0.5"), R"({"mItems":[{"name":"video","value":"1"}]})",
                   false, Value()},
        SwitchCase{"EmptyList", nullptr, Value(false), Value("0.5"), R"({"mItems":[]})", false, Value()}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(LaunchFixture, AfterTheServiceEnablesVideosTheNextLaunchTakesTheFastPath) {
    replyWith(kEnabled10);
    launch();
    ASSERT_TRUE(waitForTabs());
    EXPECT_EQ(tabTitles(), full);
    auto settings = storedSettings();
    EXPECT_TRUE(settings->checkUpdate().boolValue());
    EXPECT_EQ(settings->appBuild().stringValue(), "1");

    delegate.reset();
    Application::resetSharedApplication();
    launch();
    ASSERT_TRUE(waitForTabs());
    EXPECT_EQ(tabTitles(), full);
    EXPECT_EQ(videoConfigRequests(), 1u);
}

// ---- Termination ----

using Termination = LaunchFixture;

TEST_F(Termination, WritesWhatTheRootSavingContextHoldsAndTearsTheStackDown) {
    HostMap::set(contentHost(), "127.0.0.1", 1);
    launch();
    ASSERT_TRUE(waitForTabs());
    // A change saved into the root but not yet written to the file.
    auto child = RS_context();
    child->performAndWait([&] {
        auto record = ManagedObject::insertNewObject("News", child);
        record->setValueForKey(Value("9001"), "msgId");
        record->setValueForKey(Value("kpop"), "cat_name");
    });
    RS_saveOnlySelfAndWait(child);
    EXPECT_TRUE(column("News", "msgId").empty());

    Application::sharedApplication()->terminate();
    EXPECT_EQ(column("News", "msgId"), std::vector<std::string>{"9001"});
    EXPECT_FALSE(RS_defaultContext());
}

// ---- Analytics glue ----

using AnalyticsGlue = LaunchFixture;

TEST_F(AnalyticsGlue, LaunchStartsTheClientAndScreensFeedIt) {
    launch();
    ASSERT_TRUE(waitForTabs());
    drainMain();
    EXPECT_EQ(TallyConfig::configureWithKey("appkey"), Value(AnalyticsHelper::kAppKey));
    EXPECT_EQ(TallyConfig::configureWithKey("tlycReportPolicy").intValue(), 1);
    EXPECT_EQ(TallyApp::sharedInstance()->appid(), AnalyticsHelper::kAppKey);
    EXPECT_TRUE(TallyApp::sharedInstance()->encryptEnabled());
    EXPECT_EQ(TallySession::sharedInstance()->sessionStatus(), 1);

    double now = currentTimeSince1970();
    ScopedClock clock([&now] { return now; });
    const auto engine = TallyInternal::sharedInstance();
    const std::size_t pages = engine->pageItems().size();
    const std::size_t events = engine->events().size();
    AnalyticsHelper::beginLogPageView("NewsViewController");
    drainMain();
    now += 2;
    AnalyticsHelper::endLogPageView("NewsViewController");
    AnalyticsHelper::event("newsTab", "kpop");
    drainMain();
    ASSERT_EQ(engine->pageItems().size(), pages + 1);
    EXPECT_EQ(engine->pageItems().back(), Value::array({Value("NewsViewController"), Value(2)}));
    ASSERT_EQ(engine->events().size(), events + 1);
    const auto event = std::dynamic_pointer_cast<TLYEvent>(engine->events().back());
    ASSERT_TRUE(event);
    EXPECT_EQ(event->event_id, "newsTab");
    EXPECT_EQ(event->label, "kpop");
}

}  // namespace
}  // namespace lv::test
