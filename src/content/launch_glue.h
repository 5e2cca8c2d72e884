// The analytics and push glue the launch calls (the Microblog glue is microblog_helper.h). The
// analytics glue forwards to the analytics client; for now the push glue keeps only what needs no
// client (the badge reset, completion and log lines).
//
// Threads: main thread (the application delegate and the screens call them).
#pragma once

#include <functional>
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

class PushHelper : public Object {
public:
    static const Ref<PushHelper>& sharedPushHelper();
    static const Ref<PushHelper>& instance() { return sharedPushHelper(); }

    void registerPushForIOS8();
    void registerPush();
    // Clears the icon badge; the push client start and re-registration are not made yet.
    void didFinishLaunchingWithOptions(const Dictionary& launchOptions);
    void didReceiveLocalNotification(const Ref<LocalNotification>& notification);
    void didRegisterUserNotificationSettings(const Ref<UserNotificationSettings>& settings);
    // Logs "ACCEPT_IDENTIFIER is clicked" for that identifier; always calls the completion once.
    void handleActionWithIdentifier(const std::string& identifier, const Dictionary& payload,
                                    const std::function<void()>& completion);
    void didRegisterForRemoteNotificationsWithDeviceToken(const Bytes& token);
    // Logs "Error: <error>".
    void didFailToRegisterForRemoteNotificationsWithError(const Ref<Error>& error);
    void didReceiveRemoteNotification(const Dictionary& payload);

    // What reached the glue, in order ("didFinishLaunchingWithOptions", …), for the launch's checks.
    std::vector<std::string> calls() const;

private:
    void note(std::string call);
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

}  // namespace lv
