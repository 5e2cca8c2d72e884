#include "content/launch_glue.h"

#include <atomic>
#include <cstdlib>

#include "analytics/tally.h"
#include "platform/base/log.h"
#include "platform/ui/application.h"
#include "platform/ui/device.h"
#include "push/push_facade.h"

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

std::uint32_t PushHelper::pushAccessId() {
    constexpr std::uint32_t high = 0x8880;
    constexpr std::uint32_t low = 0xEA70;
    return (high << 16) | low;
}

const Ref<PushHelper>& PushHelper::sharedPushHelper() {
    static const Ref<PushHelper>& shared = *new Ref<PushHelper>(makeRef<PushHelper>());  // never destroyed
    return shared;
}

void PushHelper::note(const char* call) {
    std::shared_ptr<const CallObserver> observer;
    {
        std::lock_guard lock(mutex_);
        observer = observer_;
    }
    if (observer) (*observer)(call);  // outside the lock: the observer may call back
}

void PushHelper::setCallObserver(CallObserver observer) {
    auto next = observer ? std::make_shared<const CallObserver>(std::move(observer)) : nullptr;
    std::lock_guard lock(mutex_);
    observer_ = std::move(next);
}

namespace {
constexpr unsigned kNotificationTypes =
    kUserNotificationTypeBadge | kUserNotificationTypeSound | kUserNotificationTypeAlert;
}

void PushHelper::registerPushForIOS8() {
    note("registerPushForIOS8");
    UserNotificationAction accept;
    accept.identifier = "ACCEPT_IDENTIFIER";
    accept.title = "Accept";
    accept.activationMode = UserNotificationActivationMode::Foreground;
    accept.destructive = false;
    accept.authenticationRequired = false;
    UserNotificationCategory category;
    category.identifier = "INVITE_CATEGORY";
    category.setActions({accept}, UserNotificationActionContext::Default);
    category.setActions({accept}, UserNotificationActionContext::Minimal);
    const Ref<Application> application = Application::sharedApplication();
    application->registerUserNotificationSettings(
        UserNotificationSettings::settingsForTypes(kNotificationTypes, {category}));
    application->registerForRemoteNotifications();
}

void PushHelper::registerPush() {
    note("registerPush");
    Application::sharedApplication()->registerForRemoteNotificationTypes(kNotificationTypes);
}

void PushHelper::didFinishLaunchingWithOptions(const Dictionary& launchOptions) {
    note("didFinishLaunchingWithOptions");
    PNPush::startApp(pushAccessId(), std::string(kPushAppKey));
    // Runs on the push database's queue once the device is marked as not unregistered.
    PNPush::initForReregister([helper = sharedPushHelper()] {
        if (PNPush::isUnRegisterStatus()) {
            return;
        }
        if (std::strtod(Device::currentDevice()->systemVersion().c_str(), nullptr) < 8.0) {
            helper->registerPush();
        } else {
            helper->registerPushForIOS8();
        }
    });
    Application::sharedApplication()->setApplicationIconBadgeNumber(0);
    PNPush::handleLaunching(
        Value(launchOptions), [] { logLine("[PNPush]handleLaunching's successBlock"); },
        [] { logLine("[PNPush]handleLaunching's errorBlock"); });
}

void PushHelper::didReceiveLocalNotification(const Ref<LocalNotification>& notification) {
    note("didReceiveLocalNotification");
    PNPush::localNotificationAtFrontEnd(notification, "clockID", std::string("myid"));
    PNPush::delLocalNotification(notification);
}

void PushHelper::didRegisterUserNotificationSettings(const Ref<UserNotificationSettings>&) {
    note("didRegisterUserNotificationSettings");
}

void PushHelper::handleActionWithIdentifier(const std::string& identifier, const Dictionary&,
                                            const std::function<void()>& completion) {
    note("handleActionWithIdentifier");
    if (identifier == "ACCEPT_IDENTIFIER") logLine("ACCEPT_IDENTIFIER is clicked");
    if (completion) completion();
}

void PushHelper::didRegisterForRemoteNotificationsWithDeviceToken(const Bytes& token) {
    note("didRegisterForRemoteNotificationsWithDeviceToken");
    PNSetting& setting = PNSetting::getInstance();
    setting.setChannel(std::string(kChannel));
    setting.setGameServer(std::string(kGameServer));
    const PNText text = PNPush::registerDevice(
        token, [] { logLine("[PNPush]register successBlock"); }, [] { logLine("[PNPush]register errorBlock"); });
    log("deviceTokenStr is %@", text ? Value(*text) : Value());
}

void PushHelper::didFailToRegisterForRemoteNotificationsWithError(const Ref<Error>& error) {
    note("didFailToRegisterForRemoteNotificationsWithError");
    logLine("Error: " + (error ? error->description() : std::string("(null)")));
}

void PushHelper::didReceiveRemoteNotification(const Dictionary& payload) {
    note("didReceiveRemoteNotification");
    PNPush::handleReceiveNotification(Value(payload));
}

}  // namespace lv
