#include "content/launch_glue.h"

#include <atomic>

#include "analytics/tally.h"
#include "platform/base/log.h"
#include "platform/ui/application.h"

namespace lv {

namespace {
std::atomic<int> analyticsStarts{0};
}

void AnalyticsHelper::start() {
    analyticsStarts.fetch_add(1);
    Tally::startWithAppkey(kAppKey, kReportPolicy, {});
    Tally::setEncryptEnabled(true);
}
void AnalyticsHelper::beginLogPageView(const std::string& pageName) { Tally::beginLogPageView(Value(pageName)); }
void AnalyticsHelper::endLogPageView(const std::string& pageName) { Tally::endLogPageView(Value(pageName)); }
void AnalyticsHelper::event(const std::string& eventId, const std::string& label) {
    Tally::event(Value(eventId), Value(label));
}
int AnalyticsHelper::startCount() { return analyticsStarts.load(); }

const Ref<PushHelper>& PushHelper::sharedPushHelper() {
    static const Ref<PushHelper> shared = makeRef<PushHelper>();
    return shared;
}

void PushHelper::note(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
}

std::vector<std::string> PushHelper::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

void PushHelper::registerPushForIOS8() { note("registerPushForIOS8"); }
void PushHelper::registerPush() { note("registerPush"); }

void PushHelper::didFinishLaunchingWithOptions(const Dictionary&) {
    note("didFinishLaunchingWithOptions");
    Application::sharedApplication()->setApplicationIconBadgeNumber(0);
}

void PushHelper::didReceiveLocalNotification(const Ref<LocalNotification>&) { note("didReceiveLocalNotification"); }

void PushHelper::didRegisterUserNotificationSettings(const Ref<UserNotificationSettings>&) {
    note("didRegisterUserNotificationSettings");
}

void PushHelper::handleActionWithIdentifier(const std::string& identifier, const Dictionary&,
                                            const std::function<void()>& completion) {
    note("handleActionWithIdentifier");
    if (identifier == "ACCEPT_IDENTIFIER") logLine("ACCEPT_IDENTIFIER is clicked");
    if (completion) completion();
}

void PushHelper::didRegisterForRemoteNotificationsWithDeviceToken(const Bytes&) {
    note("didRegisterForRemoteNotificationsWithDeviceToken");
}

void PushHelper::didFailToRegisterForRemoteNotificationsWithError(const Ref<Error>& error) {
    note("didFailToRegisterForRemoteNotificationsWithError");
    logLine("Error: " + (error ? error->description() : std::string("(null)")));
}

void PushHelper::didReceiveRemoteNotification(const Dictionary&) { note("didReceiveRemoteNotification"); }

}  // namespace lv
