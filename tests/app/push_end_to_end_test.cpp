// The push road through the whole app against the push-service stand-in: the launch starts the push
// client, reports the click of the notification that launched the app, registers for notifications
// and registers the token it gets; a message pushed to that token reaches the app as a remote
// notification and its receipt goes back to the server.
#include <gtest/gtest.h>

#include "app_end_to_end_support.h"
#include "frame_server.h"
#include "platform/base/log.h"
#include "platform/storage/json.h"
#include "push/push_operations.h"

namespace lv::test {
namespace {

const Bytes kDeviceToken{0xde, 0xad, 0xbe, 0xef, 0x01, 0x02, 0x03, 0x04};

class PushEndToEnd : public AppEndToEnd {
protected:
    void SetUp() override {
        AppStack::SetUp();
        startStack("iPhone7,2");
        ASSERT_TRUE(push.start());
        HostMap::set(kPNPushServerHost, "127.0.0.1", push.port());
        registerAppClasses();
    }
    void TearDown() override {
        EXPECT_TRUE(runMainUntil([] { return PNWireOperation::liveOperations() == 0; }, 5));
        push.stop();
        AppEndToEnd::TearDown();
    }
    void launch(const Dictionary& options) {
        ApplicationConfiguration configuration;
        configuration.launchOptions = options;
        configuration.remoteNotificationToken = kDeviceToken;
        Application::sharedApplication()->setConfiguration(configuration);
        delegate = makeRef<AppDelegate>();
        Application::sharedApplication()->setDelegate(delegate);
        ASSERT_TRUE(Application::sharedApplication()->launch());
    }
    bool waitForCommands(std::size_t n) {
        return runMainUntil([&] { return push.commands().size() >= n && PNWireOperation::liveOperations() == 0; }, 10);
    }

    tools::PushFrameServer push;
};

TEST_F(PushEndToEnd, LaunchRegistersAndPushedMessagesComeBackAsClicks) {
    // Launched from a notification on a device that has no token yet: that click cannot be reported.
    Dictionary options;
    options.set(std::string(kApplicationLaunchOptionsRemoteNotificationKey),
                Value::dictionary({{"pn", Value::dictionary({{"bid", 77}, {"ts", 1400000000}})}}));
    LogCapture log;
    launch(options);
    ASSERT_TRUE(waitForCommands(1));
    EXPECT_TRUE(log.contains("[PNPush]handleLaunching's errorBlock"));
    EXPECT_TRUE(log.contains("[PNPush]register successBlock"));
    EXPECT_TRUE(log.contains("deviceTokenStr is deadbeef01020304"));
    EXPECT_EQ(push.commands(), std::vector<int>{4});
    ASSERT_EQ(push.devices().size(), 1u);
    EXPECT_EQ(push.devices()[0].token, "deadbeef01020304");
    EXPECT_EQ(push.devices()[0].accessId, PushHelper::pushAccessId());
    EXPECT_EQ(tools::textField(*push.frames()[0].fields, 15), R"({"ch":"appstore","gs":"lunavexa-gs1"})");

    // A pushed message tapped while the app is not active is a click (kind 1); received while active,
    // a receipt (kind 2).
    const std::string payload = push.push("deadbeef01020304", 88, 1400000100, "title", "body");
    const Value parsed = JSONSerialization::JSONObjectWithData(std::string_view(payload), {}, nullptr);
    ASSERT_TRUE(Application::sharedApplication()->deliverRemoteNotification(parsed.dictionary()));
    ASSERT_TRUE(waitForCommands(3));
    Application::sharedApplication()->becomeActive();
    ASSERT_TRUE(Application::sharedApplication()->deliverRemoteNotification(parsed.dictionary()));
    ASSERT_TRUE(waitForCommands(5));
    EXPECT_EQ(push.commands(), (std::vector<int>{4, 6, 16, 6, 16}));
    const auto clicks = push.clicks();
    ASSERT_EQ(clicks.size(), 2u);
    EXPECT_EQ(clicks[0].broadcastId, 88u);
    EXPECT_EQ(clicks[0].timestamp, 1400000100u);
    EXPECT_EQ(clicks[0].type, 1u);
    EXPECT_EQ(clicks[1].type, 2u);
}

}  // namespace
}  // namespace lv::test
