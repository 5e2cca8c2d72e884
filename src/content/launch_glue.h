// The analytics and push glue the launch calls (the Microblog glue is microblog_helper.h): the
// analytics glue forwards to the analytics client, the push glue drives the push client.
//
// Threads: main thread (the application delegate and the screens call them).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/base/error.h"
#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/net/url.h"
#include "platform/ui/user_notification.h"

namespace lv {

// Class methods only: analytics start (the app key, report policy 1: upload when a session begins,
// no channel, encryption on), page views and events, forwarded to the analytics client.
class AnalyticsHelper {
public:
    static constexpr const char* kAppKey = "9f3b6c2a41e07d58b2c4a6e1";
    static constexpr int kReportPolicy = 1;
    static void start();
    static void beginLogPageView(const std::string& pageName);
    static void endLogPageView(const std::string& pageName);
    static void event(const std::string& eventId, const std::string& label);
    // How many times start ran in this process.
    static int startCount();
};

// Starts the push client at launch, registers for notifications and hands the token, the launch
// options and every notification to the push client (PNPush).
class PushHelper : public Object {
public:
    // The push service account: the access id (put together from its two halves) and app key.
    static std::uint32_t pushAccessId();
    static constexpr const char* kPushAppKey = "R5K2W8N4ZQ7D";
    static constexpr const char* kChannel = "appstore";
    static constexpr const char* kGameServer = "lunavexa-gs1";

    static const Ref<PushHelper>& sharedPushHelper();
    static const Ref<PushHelper>& instance() { return sharedPushHelper(); }

    // Types 7 with the one "INVITE_CATEGORY" category, then remote notifications.
    void registerPushForIOS8();
    // Remote notifications with types 7.
    void registerPush();
    // Starts the push client, re-registers (on the push database's queue) unless unregistered,
    // clears the badge and reports a launch from a remote notification.
    void didFinishLaunchingWithOptions(const Dictionary& launchOptions);
    // The push client's front-end alert for the app's own notifications ("myid" under "clockID"),
    // then the notification is cancelled.
    void didReceiveLocalNotification(const Ref<LocalNotification>& notification);
    void didRegisterUserNotificationSettings(const Ref<UserNotificationSettings>& settings);
    // Logs "ACCEPT_IDENTIFIER is clicked" for that identifier; always calls the completion once.
    void handleActionWithIdentifier(const std::string& identifier, const Dictionary& payload,
                                    const std::function<void()>& completion);
    // Sets the channel and game server, then registers the token with the push client.
    void didRegisterForRemoteNotificationsWithDeviceToken(const Bytes& token);
    // Logs "Error: <error>".
    void didFailToRegisterForRemoteNotificationsWithError(const Ref<Error>& error);
    // Reports the notification to the push client.
    void didReceiveRemoteNotification(const Dictionary& payload);

    // Told the name of each call that reaches the glue ("didFinishLaunchingWithOptions", …), on the
    // calling thread, for observers such as the launch's tests; the glue itself keeps nothing. Empty:
    // no observer.
    using CallObserver = std::function<void(const std::string& call)>;
    void setCallObserver(CallObserver observer);

private:
    void note(const char* call);
    mutable std::mutex mutex_;
    std::shared_ptr<const CallObserver> observer_;
};

}  // namespace lv
