// PNPush end to end against the push-service stand-in: the guard, the registration skip rule with
// seeded rows, unregistration, tags, click reports by application state, token replacement, and the
// local notifications.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/storage/bundle.h"
#include "platform/ui/alert_view.h"
#include "push/push_device.h"
#include "push/push_helper.h"
#include "push/push_keychain.h"
#include "push/push_server_fixture.h"
#include "support/child_process.h"

namespace lv {
namespace {

using test::kTestAccessId;
using test::Outcome;

const Bytes kTokenBytes{0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x71};
const std::string kTokenText = "0a1b2c3d4e5f6071";

class PushFacade : public test::PushServerTest {
protected:
    // Writes the registration row as an earlier run left it.
    static void seedRow(const std::string& account, int registered, const std::string& time) {
        ASSERT_EQ(PNSqlite::getInstance().updateDatabase(
                      "replace into register_tag_model(type,account,is_registered,update_time) values(2,'%s',%d,'%s')",
                      account.c_str(), registered, time.c_str()),
                  0);
    }
    static std::string hoursAgo(double hours) {
        return PNHelper::getInstance().timeToStr(Date::now().adding(-hours * 3600));
    }
    // A device registered in an earlier run: the row, the stored and registered token and the last
    // access id.
    static void registeredEarlier(const std::string& account, const std::string& time, int registered = 1) {
        drainDatabase();
        seedRow(account, registered, time);
        PNStore::getInstance().saveToken(kTokenText);
        PNStore::getInstance().saveRegisteredToken(kTokenText);
        PNConfig::saveKeyValue(kPNLastAccessIDKey, Value(std::to_string(kTestAccessId)));
    }
    std::size_t registerConnections() {
        finish();
        std::size_t n = 0;
        for (int command : server.commands()) n += command == 4;
        return n;
    }
};

TEST_F(PushFacade, StartAppForMSDKRanges) {
    const struct {
        std::uint32_t id;
        std::optional<std::uint32_t> started;
    } cases[] = {
        {150'000, 2'290'150'000u},     {1, 2'290'000'001u},         {199'999, 2'290'199'999u},
        {200'000, std::nullopt},       {0, std::nullopt},           {99'000'000, 2'299'000'000u},
        {100'600'000, 2'294'800'000u}, {100'599'999, 2'290'599'999u}, {1'150'099'999, 2'294'799'999u},
        {1'150'100'000, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        PNConfig::getInstance().setAppId(0);
        LogCapture log;
        PNPush::startAppForMSDK(c.id, std::string("key"));
        EXPECT_EQ(PNPush::getAccessID(), c.started.value_or(0));
        EXPECT_EQ(log.contains("[pnpush error]appId is not valid"), !c.started);
        if (c.started) {
            EXPECT_TRUE(log.contains("resultAppId is " + std::to_string(*c.started)));
        }
    }
}

TEST_F(PushFacade, GuardFailuresAnswerTheStoredTokenAndOpenNothing) {
    PNStore::getInstance().saveToken(std::string("stored"));
    {
        LogCapture log;
        PNConfig::getInstance().setAppId(0);
        EXPECT_EQ(PNPush::registerDevice(kTokenBytes), "stored");
        EXPECT_TRUE(log.contains(" appID is not inited"));
        EXPECT_FALSE(log.contains("no network"));
    }
    PNPush::startApp(kTestAccessId, test::kTestAppKey);
    NetworkReachability::setFlagsOverride(0);
    {
        LogCapture log;
        EXPECT_EQ(PNPush::registerDeviceStr(std::string("other")), "stored");
        PNPush::setTag(std::string("t"));
        PNPush::handleReceiveNotification(Value::dictionary({{"pn", Value::dictionary({{"bid", 1}})}}));
        EXPECT_EQ(log.count("no network"), 3u);
    }
    EXPECT_TRUE(PNConfig::loadValueByKey(kPNLastAccessIDKey).isNil());
    finish();
    EXPECT_EQ(server.connectionsAccepted(), 0);
}

TEST_F(PushFacade, RegistrationSkipRule) {
    const std::string skipLine = "[pnpush]注册策略缓存，本次启动没有请求后台服务器";
    const struct {
        const char* name;
        std::string rowAccount;
        int registered;
        std::string time;
        PNText account;
        bool skip;
    } cases[] = {
        {"14 h 59 min", "", 1, hoursAgo(14 + 59.0 / 60), std::nullopt, true},
        {"15 h", "", 1, hoursAgo(15), std::nullopt, false},
        {"future time", "", 1, hoursAgo(-3), std::nullopt, true},
        {"14 h 59 min ahead", "", 1, hoursAgo(-(14 + 59.0 / 60)), std::nullopt, true},
        {"a clock once years ahead", "", 1, hoursAgo(-3 * 365 * 24), std::nullopt, false},
        {"15 h 1 min ahead", "", 1, hoursAgo(-(15 + 1.0 / 60)), std::nullopt, false},
        {"unreadable time", "", 1, "yesterday", std::nullopt, false},
        {"not registered", "", 0, hoursAgo(1), std::nullopt, false},
        {"same account", "fan", 1, hoursAgo(1), std::string("fan"), true},
        {"other account", "fan", 1, hoursAgo(1), std::string("idol"), false},
        {"empty row account", "", 1, hoursAgo(1), std::string("idol"), false},
        {"any row account without one", "fan", 1, hoursAgo(1), std::nullopt, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRecords();
        registeredEarlier(c.rowAccount, c.time, c.registered);
        PNPush::setAccount(c.account);
        LogCapture log;
        Outcome outcome;
        EXPECT_EQ(PNPush::registerDevice(kTokenBytes, outcome.success(), outcome.error()), kTokenText);
        EXPECT_EQ(registerConnections(), c.skip ? 0u : 1u);
        EXPECT_EQ(log.contains(skipLine), c.skip);
        EXPECT_EQ(outcome.successes, c.skip ? 0 : 1);
        EXPECT_EQ(PNConfig::loadValueByKey(kPNLastAccessIDKey).stringValue(), std::to_string(kTestAccessId));
    }
}

// A token given as text is never stored in the keychain: neither an absent nor a different stored
// token forces another registration of it; the keychain's token stays untouched.
TEST_F(PushFacade, RegisterDeviceStrIsCachedOnceRegistered) {
    const std::string skipLine = "[pnpush]本次注册由于策略缓存，没有请求服务器。如需查看注册日志，请删除app后再安装。";
    const std::string text = "feedc0de";
    const struct {
        const char* name;
        PNText stored;
    } cases[] = {{"no stored token", std::nullopt}, {"another stored token", kTokenText}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRecords();
        drainDatabase();
        PNSqlite::getInstance().updateDatabase("delete from register_tag_model");
        PNConfig::saveKeyValue(kPNLastAccessIDKey, Value(std::to_string(kTestAccessId)));
        PNStore::getInstance().delToken();
        if (c.stored) PNStore::getInstance().saveToken(*c.stored);
        LogCapture log;
        for (int call = 0; call < 3; ++call) {
            EXPECT_EQ(PNPush::registerDeviceStr(text), text);
            ASSERT_TRUE(finish());
            drainDatabase();  // the first registration's row
        }
        EXPECT_EQ(registerConnections(), 1u);
        EXPECT_EQ(log.count(skipLine), 2u);
        EXPECT_EQ(PNConfig::getInstance().deviceToken(), text);
        EXPECT_EQ(PNStore::getInstance().getLocalToken(), c.stored);
    }
}

// Only the token last registered is cached: another token text within the 15 hours registers, and is
// cached from then on.
TEST_F(PushFacade, RegisterDeviceStrWithAnotherTokenRegisters) {
    registeredEarlier("", hoursAgo(1));
    const std::pair<std::string, bool> calls[] = {{kTokenText, false}, {"c0ffee", true}, {"c0ffee", false}};
    for (const auto& [text, registers] : calls) {
        SCOPED_TRACE(text);
        server.clearRecords();
        drainDatabase();
        PNPush::registerDeviceStr(text);
        EXPECT_EQ(registerConnections(), registers ? 1u : 0u);
    }
    EXPECT_EQ(PNStore::getInstance().getRegisteredToken(), "c0ffee");
    EXPECT_EQ(PNStore::getInstance().getLocalToken(), kTokenText);
}

// "LastAccessID" is written on every call that passes the guard, whether the registration is skipped
// or sent (an absent value counts as unchanged).
TEST_F(PushFacade, LastAccessIdWrittenWhetherSkippedOrNot) {
    for (const bool skipped : {true, false}) {
        SCOPED_TRACE(skipped ? "skipped" : "sent");
        registeredEarlier("", hoursAgo(skipped ? 1 : 20));
        UserDefaults::standardUserDefaults()->removeObjectForKey(std::string(kPNLastAccessIDKey));
        ASSERT_TRUE(PNConfig::loadValueByKey(kPNLastAccessIDKey).isNil());
        server.clearRecords();
        PNPush::registerDevice(kTokenBytes);
        EXPECT_EQ(registerConnections(), skipped ? 0u : 1u);
        EXPECT_EQ(PNConfig::loadValueByKey(kPNLastAccessIDKey), Value(std::to_string(kTestAccessId)));
    }
}

// A new token whose registration fails is not cached: the next launch, which finds it stored and the
// old token's row fresh, registers it again.
TEST_F(PushFacade, NewTokenWhoseRegistrationFailedRegistersAtTheNextLaunch) {
    registeredEarlier("", hoursAgo(1));
    tools::PushFrameControl refused;
    refused.code = 3;
    server.setControl(4, refused);
    const Bytes newToken{0xff, 0xee};
    Outcome failed;
    PNPush::registerDevice(newToken, failed.success(), failed.error());
    EXPECT_EQ(registerConnections(), 1u);
    EXPECT_EQ(failed.errors, 1);
    EXPECT_EQ(PNStore::getInstance().getLocalToken(), "ffee");
    EXPECT_EQ(PNStore::getInstance().getRegisteredToken(), kTokenText);
    drainDatabase();

    server.clearControls();
    Outcome next;
    PNPush::registerDevice(newToken, next.success(), next.error());
    EXPECT_EQ(registerConnections(), 2u);
    EXPECT_EQ(next.successes, 1);
    EXPECT_EQ(PNStore::getInstance().getRegisteredToken(), "ffee");
    drainDatabase();
    PNPush::registerDevice(newToken);
    EXPECT_EQ(registerConnections(), 2u);
}

// The sandbox of the kill test's second process.
constexpr const char* kKilledRegistrationRoot = "LV_PUSH_KILLED_REGISTRATION_ROOT";

// The second process: hands over a new token and is killed (SIGKILL) while its registration waits
// for the server's reply.
TEST_F(PushFacade, ChildKilledWhileANewTokenRegisters) {
    const char* root = std::getenv(kKilledRegistrationRoot);
    if (!root) GTEST_SKIP() << "the second process of NewTokenRegistrationKilledMidwayRegistersAtTheNextLaunch";
    ASSERT_TRUE(Sandbox::setRoot(root));
    UserDefaults::resetStandardUserDefaults();
    PNSqlite::getInstance().closeDB();
    PNSqlite::getInstance().initDB();
    tools::PushFrameControl silent;
    silent.neverAnswer = true;
    server.setControl(4, silent);
    PNPush::registerDevice(Bytes{0xff, 0xee});
    const auto registerSent = [this] {
        const auto commands = server.commands();
        return std::find(commands.begin(), commands.end(), 4) != commands.end();
    };
    ASSERT_TRUE(runMainUntil(registerSent, 10));
    ::kill(::getpid(), SIGKILL);
}

// A process killed in the middle of a new token's registration leaves the token stored but not
// registered: the next launch registers it although the old token's row is fresh.
TEST_F(PushFacade, NewTokenRegistrationKilledMidwayRegistersAtTheNextLaunch) {
    registeredEarlier("", hoursAgo(1));
    drainDatabase();
    PNSqlite::getInstance().closeDB();
    EXPECT_EQ(test::runThisBinary("PushFacade.ChildKilledWhileANewTokenRegisters", {{kKilledRegistrationRoot, rootPath()}}),
              -1);  // killed
    UserDefaults::resetStandardUserDefaults();
    PNSqlite::getInstance().initDB();
    ASSERT_EQ(PNStore::getInstance().getLocalToken(), "ffee");  // the second process got that far
    EXPECT_EQ(PNStore::getInstance().getRegisteredToken(), kTokenText);
    PNPush::registerDevice(Bytes{0xff, 0xee});
    EXPECT_EQ(registerConnections(), 1u);
    ASSERT_EQ(server.devices().size(), 1u);
    EXPECT_EQ(server.devices()[0].token, "ffee");
}

TEST_F(PushFacade, ChangedAccessIdRegistersAndUnmarksTheRowFirst) {
    registeredEarlier("", hoursAgo(1));
    PNConfig::saveKeyValue(kPNLastAccessIDKey, Value("1234"));
    server.setControl(4, [] {
        tools::PushFrameControl control;
        control.code = 3;
        return control;
    }());
    LogCapture log;
    Outcome outcome;
    PNPush::registerDevice(kTokenBytes, outcome.success(), outcome.error());
    EXPECT_TRUE(log.contains("startChanged"));
    EXPECT_EQ(registerConnections(), 1u);
    EXPECT_EQ(outcome.errors, 1);
    drainDatabase();
    // The failed registration under the new id no longer counts as cached at the next launch.
    EXPECT_EQ(PNSqlite::getInstance().loadRegisterModel()->IsRegistered(), 0);
    server.clearControls();
    PNPush::registerDevice(kTokenBytes);
    EXPECT_EQ(registerConnections(), 2u);
}

TEST_F(PushFacade, ReplacedTokenUnregistersTheOldOneAndRegistersTheNew) {
    registeredEarlier("", hoursAgo(1));
    const Bytes newToken{0xff, 0xee};
    EXPECT_EQ(PNPush::registerDevice(newToken), "ffee");
    ASSERT_TRUE(finish());
    EXPECT_EQ(server.unregisteredTokens(), std::vector<std::string>{kTokenText});
    ASSERT_EQ(server.devices().size(), 1u);
    EXPECT_EQ(server.devices()[0].token, "ffee");
    EXPECT_EQ(PNStore::getInstance().getLocalToken(), "ffee");
    // The same token again writes nothing and, with a fresh row, is skipped.
    server.clearRecords();
    drainDatabase();
    PNPush::registerDevice(newToken);
    ASSERT_TRUE(finish());
    EXPECT_TRUE(server.commands().empty());
}

TEST_F(PushFacade, UnregisterOnlineAndOffline) {
    PNStore::getInstance().saveToken(kTokenText);
    seedRow("", 1, hoursAgo(1));
    Outcome outcome;
    PNPush::unRegisterDevice(outcome.success(), outcome.error());
    ASSERT_TRUE(finish());
    EXPECT_EQ(outcome.successes, 1);
    EXPECT_EQ(server.commands(), (std::vector<int>{6, 5}));
    EXPECT_EQ(server.unregisteredTokens(), std::vector<std::string>{kTokenText});
    drainDatabase();
    EXPECT_TRUE(PNPush::isUnRegisterStatus());
    EXPECT_EQ(PNSqlite::getInstance().loadRegisterModel()->IsRegistered(), 0);

    std::atomic<bool> reregistered{false};
    PNPush::initForReregister([&] { reregistered = true; });
    drainDatabase();
    EXPECT_TRUE(reregistered);
    EXPECT_FALSE(PNPush::isUnRegisterStatus());

    server.clearRecords();
    NetworkReachability::setFlagsOverride(0);
    LogCapture log;
    PNPush::unRegisterDevice();
    drainDatabase();
    EXPECT_TRUE(log.contains("no network"));
    EXPECT_TRUE(PNPush::isUnRegisterStatus());
    EXPECT_EQ(server.connectionsAccepted(), 1);
}

TEST_F(PushFacade, ClicksByApplicationStateAndLaunch) {
    PNStore::getInstance().saveToken(kTokenText);
    const Value payload = Value::dictionary({{"pn", Value::dictionary({{"bid", 12345}, {"ts", "1400000000"}})}});
    const Ref<Application> application = Application::sharedApplication();
    int completions = 0;
    {
        LogCapture log;
        PNPush::handleReceiveNotification(payload, [&] { ++completions; });
        EXPECT_TRUE(log.contains("[pnpush success]clicked message"));
    }
    ASSERT_TRUE(finish());
    application->launch();
    application->becomeActive();
    {
        LogCapture log;
        PNPush::handleReceiveNotification(payload, [&] { ++completions; });
        EXPECT_TRUE(log.contains("[pnpush success]receive message, but not alarm"));
    }
    ASSERT_TRUE(finish());
    {
        LogCapture log;
        PNPush::handleReceiveNotification(Value::dictionary({{"aps", Value::dictionary({})}}), [&] { ++completions; });
        PNPush::handleLaunching(Value::dictionary({{std::string(kApplicationLaunchOptionsRemoteNotificationKey), payload}}));
        PNPush::handleLaunching(Value::dictionary({}));
        EXPECT_EQ(log.count("msgid is not found!"), 1u);
        EXPECT_TRUE(log.contains("[pnpush success]clicked message on launching"));
    }
    ASSERT_TRUE(finish());
    EXPECT_EQ(completions, 2);
    EXPECT_EQ(server.commands(), (std::vector<int>{6, 16, 6, 16, 6, 16}));
    const auto clicks = server.clicks();
    ASSERT_EQ(clicks.size(), 3u);
    EXPECT_EQ(clicks[0].type, 1u);
    EXPECT_EQ(clicks[1].type, 2u);
    EXPECT_EQ(clicks[2].type, 1u);
    EXPECT_EQ(clicks[0].broadcastId, 12345u);
    EXPECT_EQ(clicks[0].timestamp, 1400000000u);

    EXPECT_EQ(PNPush::getBid(payload), Value(12345));
    LogCapture log;
    EXPECT_EQ(PNPush::getBid(Value()), Value("0"));
    EXPECT_EQ(PNPush::getBid(Value::dictionary({{"pn", Value::dictionary({})}})), Value("0"));
    EXPECT_TRUE(log.contains("bid is not found!"));
}

TEST_F(PushFacade, TagsSetAndDelete) {
    PNStore::getInstance().saveToken(kTokenText);
    Outcome outcome;
    PNPush::setTag(std::string("kpop"), outcome.success(), outcome.error());
    ASSERT_TRUE(finish());
    PNPush::setTag(std::string("drama"));
    ASSERT_TRUE(finish());
    PNPush::delTag(std::string("kpop"), outcome.success(), outcome.error());
    ASSERT_TRUE(finish());
    EXPECT_EQ(outcome.successes, 2);
    EXPECT_EQ(server.tags()[kTokenText], std::set<std::string>{"drama"});
}

TEST_F(PushFacade, LocalNotifications) {
    const Ref<Application> application = Application::sharedApplication();
    Dictionary mine;
    mine.set("clockID", Value("myid"));
    Dictionary other;
    other.set("clockID", Value("else"));
    PNPush::localNotification(Value(Date::now().adding(60)), "wake up", -1, "Open", mine);
    PNPush::localNotification(Value(), "other", 3, "Open", other);
    auto scheduled = application->scheduledLocalNotifications();
    ASSERT_EQ(scheduled.size(), 2u);
    EXPECT_EQ(scheduled[0]->applicationIconBadgeNumber, 0);
    EXPECT_EQ(scheduled[1]->applicationIconBadgeNumber, 3);
    EXPECT_EQ(scheduled[0]->soundName, kLocalNotificationDefaultSoundName);
    EXPECT_EQ(scheduled[0]->alertAction, "Open");

    // Not active: no alert. Active with another value: none either.
    PNPush::localNotificationAtFrontEnd(scheduled[0], "clockID", std::string("myid"));
    application->launch();
    application->becomeActive();
    PNPush::localNotificationAtFrontEnd(scheduled[1], "clockID", std::string("myid"));
    EXPECT_TRUE(application->alerts().empty());
    PNPush::localNotificationAtFrontEnd(scheduled[0], "clockID", std::string("myid"));
    ASSERT_EQ(application->alerts().size(), 1u);
    const Ref<AlertView> alert = application->alerts()[0];
    EXPECT_EQ(alert->title(), Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleDisplayName").stringValue());
    EXPECT_EQ(alert->message(), "wake up");
    EXPECT_EQ(alert->buttonTitles(), std::vector<std::string>{"关闭"});

    PNPush::delLocalNotification("clockID", std::string("myid"));
    ASSERT_EQ(application->scheduledLocalNotifications().size(), 1u);
    PNPush::delLocalNotification(application->scheduledLocalNotifications()[0]);
    EXPECT_TRUE(application->scheduledLocalNotifications().empty());
    PNPush::localNotification(Value(), "again", -1, "", mine);
    PNPush::clearLocalNotifications();
    EXPECT_TRUE(application->scheduledLocalNotifications().empty());
}

}  // namespace
}  // namespace lv
