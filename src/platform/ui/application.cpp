#include "platform/ui/application.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>

#include "platform/base/log.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/storage/bundle.h"
#include "platform/ui/window.h"

namespace lv {
namespace {

std::mutex& sharedMutex() {
    static std::mutex mutex;
    return mutex;
}
Ref<Application>& sharedSlot() {
    static Ref<Application>* slot = new Ref<Application>;  // never destroyed: read from any thread until exit
    return *slot;
}

}  // namespace

Application::Application() = default;

Application::~Application() {
    if (backgroundLimitTimer_) backgroundLimitTimer_->invalidate();
}

Ref<Application> Application::sharedApplication() {
    std::lock_guard lock(sharedMutex());
    if (!sharedSlot()) sharedSlot() = makeRef<Application>();
    return sharedSlot();
}

void Application::resetSharedApplication() {
    Ref<Application> previous;
    std::lock_guard lock(sharedMutex());
    previous = std::exchange(sharedSlot(), makeRef<Application>());
}

ApplicationConfiguration Application::configuration() const {
    std::lock_guard lock(mutex_);
    return configuration_;
}

void Application::setConfiguration(ApplicationConfiguration configuration) {
    std::lock_guard lock(mutex_);
    configuration_ = std::move(configuration);
}

void Application::post(std::string_view name, Dictionary userInfo) {
    NotificationCenter::defaultCenter()->post(std::string(name), self(), std::move(userInfo));
}

// ---- Events ----

bool Application::launch() {
    if (launched_.load() || terminated_.load()) return false;
    launched_.store(true);
    const Dictionary options = configuration().launchOptions;
    if (delegate_) delegate_->applicationDidFinishLaunchingWithOptions(*this, options);
    post(kApplicationDidFinishLaunchingNotification, options);
    return true;
}

void Application::enterForeground() {
    if (delegate_) delegate_->applicationWillEnterForeground(*this);
    post(kApplicationWillEnterForegroundNotification);
    disarmBackgroundLimit();
    setState(ApplicationState::Inactive);
}

bool Application::becomeActive() {
    if (!running() || applicationState() == ApplicationState::Active) return false;
    if (applicationState() == ApplicationState::Background) enterForeground();
    setState(ApplicationState::Active);
    if (delegate_) delegate_->applicationDidBecomeActive(*this);
    post(kApplicationDidBecomeActiveNotification);
    return true;
}

bool Application::resignActive() {
    if (!running() || applicationState() != ApplicationState::Active) return false;
    if (delegate_) delegate_->applicationWillResignActive(*this);
    post(kApplicationWillResignActiveNotification);
    setState(ApplicationState::Inactive);
    return true;
}

bool Application::enterBackground() {
    if (!running() || applicationState() == ApplicationState::Background) return false;
    resignActive();
    setState(ApplicationState::Background);
    if (delegate_) delegate_->applicationDidEnterBackground(*this);
    post(kApplicationDidEnterBackgroundNotification);
    armBackgroundLimit();
    return true;
}

bool Application::terminate() {
    if (!running()) return false;
    // As the system ends an app: it resigns and enters the background first (nothing when it is
    // there already), the work it has queued and its background tasks get their time, and only then
    // is it told it will terminate. Meanwhile no other event reaches it.
    enterBackground();
    terminating_.store(true);
    finishBackgroundWork();
    if (delegate_) delegate_->applicationWillTerminate(*this);
    post(kApplicationWillTerminateNotification);
    terminated_.store(true);
    disarmBackgroundLimit();
    RunLoop::main()->stop();
    return true;
}

void Application::finishBackgroundWork() {
    const double limit = configuration().backgroundTimeLimit;
    // A deadline for a run that has none of its own: the tasks are expired at once after the drain.
    constexpr double kUnboundedSeconds = 365.0 * 86400;
    const auto started = std::chrono::steady_clock::now();
    auto drained = std::make_shared<std::atomic<bool>>(false);
    Queue::main()->async([drained] { drained->store(true); });
    const Ref<RunLoop> loop = RunLoop::main();
    loop->runUntil([&] { return drained->load(); }, limit > 0 ? limit : kUnboundedSeconds);
    if (limit > 0) {
        const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        // The background-limit timer armed on entering the background expires the tasks at the limit.
        loop->runUntil([this] { return runningBackgroundTasks().empty(); }, std::max(0.0, limit - spent));
    }
    if (!runningBackgroundTasks().empty()) expireBackgroundTasks();
}

bool Application::deliverOpenURL(const Ref<URL>& url, const std::string& sourceApplication,
                                 const Value& annotation) {
    if (!running() || !url) return false;
    const bool fromBackground = applicationState() == ApplicationState::Background;
    if (fromBackground) enterForeground();
    const bool handled = delegate_ && delegate_->applicationOpenURL(*this, url, sourceApplication, annotation);
    if (fromBackground) becomeActive();
    return handled;
}

bool Application::deliverRemoteNotification(const Dictionary& payload) {
    if (!running()) return false;
    if (delegate_) delegate_->applicationDidReceiveRemoteNotification(*this, payload);
    return true;
}

bool Application::fireLocalNotification() {
    if (!running()) return false;
    Ref<LocalNotification> due;
    {
        std::lock_guard lock(mutex_);
        auto earliest = std::min_element(localNotifications_.begin(), localNotifications_.end(),
                                         [](const auto& a, const auto& b) {
                                             const double ta = a->fireDate.isDate() ? a->fireDate.date()->since1970() : -1e300;
                                             const double tb = b->fireDate.isDate() ? b->fireDate.date()->since1970() : -1e300;
                                             return ta < tb;
                                         });
        if (earliest == localNotifications_.end()) return false;
        due = *earliest;
        localNotifications_.erase(earliest);
    }
    if (delegate_) delegate_->applicationDidReceiveLocalNotification(*this, due);
    return true;
}

bool Application::deliverMemoryWarning() {
    if (!running()) return false;
    if (delegate_) delegate_->applicationDidReceiveMemoryWarning(*this);
    post(kApplicationDidReceiveMemoryWarningNotification);
    return true;
}

// ---- URLs ----

std::string Application::urlScheme(const Ref<URL>& url) {
    std::string scheme = url ? url->scheme().value_or("") : "";
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return scheme;
}

std::vector<std::string> Application::ownURLSchemes() {
    std::vector<std::string> schemes;
    const Value types = Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleURLTypes");
    if (!types.isArray()) return schemes;
    for (const Value& type : types.array()) {
        const Value& list = type["CFBundleURLSchemes"];
        if (!list.isArray()) continue;
        for (const Value& scheme : list.array()) {
            if (!scheme.isString()) continue;
            std::string lower = scheme.string();
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            schemes.push_back(std::move(lower));
        }
    }
    return schemes;
}

bool Application::canOpenURL(const Ref<URL>& url) const {
    const std::string scheme = urlScheme(url);
    if (scheme.empty()) return false;
    const auto own = ownURLSchemes();
    if (std::find(own.begin(), own.end(), scheme) != own.end()) return true;
    std::lock_guard lock(mutex_);
    return urlHandlers_.count(scheme) != 0;
}

bool Application::openURL(const Ref<URL>& url) {
    const std::string scheme = urlScheme(url);
    if (scheme.empty()) return false;
    const auto own = ownURLSchemes();
    if (std::find(own.begin(), own.end(), scheme) != own.end()) {
        const std::string source = Bundle::mainBundle()->bundleIdentifier();
        Queue::main()->async([app = self(), url, source] { app->deliverOpenURL(url, source, Value()); });
        return true;
    }
    std::function<void(const Ref<URL>&)> handler;
    {
        std::lock_guard lock(mutex_);
        auto it = urlHandlers_.find(scheme);
        if (it == urlHandlers_.end()) return false;
        handler = it->second;
    }
    Queue::main()->async([handler = std::move(handler), url] { handler(url); });
    return true;
}

void Application::setURLHandler(std::string_view scheme, std::function<void(const Ref<URL>&)> handler) {
    std::string key(scheme);
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::function<void(const Ref<URL>&)> dropped;
    std::lock_guard lock(mutex_);
    if (handler) {
        urlHandlers_[key] = std::move(handler);
    } else if (auto it = urlHandlers_.find(key); it != urlHandlers_.end()) {
        dropped = std::move(it->second);
        urlHandlers_.erase(it);
    }
}

// ---- Background tasks ----

BackgroundTaskIdentifier Application::beginBackgroundTaskWithExpirationHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    const BackgroundTaskIdentifier id = ++lastTaskIdentifier_;
    backgroundTasks_.emplace(id, std::move(handler));
    return id;
}

void Application::endBackgroundTask(BackgroundTaskIdentifier identifier) {
    std::function<void()> dropped;
    bool ended = false;
    {
        std::lock_guard lock(mutex_);
        if (auto it = backgroundTasks_.find(identifier); it != backgroundTasks_.end()) {
            dropped = std::move(it->second);
            backgroundTasks_.erase(it);
            ended = true;
        }
    }
    // A terminating application waits on the main loop for its last background tasks: a task ended on
    // another thread ends that loop's turn, so the wait sees it at once rather than at its next slice.
    if (ended && terminating_.load()) RunLoop::main()->perform([] {});
}

std::vector<BackgroundTaskIdentifier> Application::runningBackgroundTasks() const {
    std::lock_guard lock(mutex_);
    std::vector<BackgroundTaskIdentifier> ids;
    for (const auto& entry : backgroundTasks_) ids.push_back(entry.first);
    return ids;
}

std::size_t Application::expireBackgroundTasks() {
    std::vector<std::pair<BackgroundTaskIdentifier, std::function<void()>>> expiring;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : backgroundTasks_) expiring.emplace_back(entry.first, entry.second);
    }
    for (auto& [id, handler] : expiring) {
        if (handler) handler();
        bool stillRunning = false;
        {
            std::lock_guard lock(mutex_);
            stillRunning = backgroundTasks_.count(id) != 0;
        }
        if (stillRunning) {
            log("Background task %llu expired without being ended; ended now", static_cast<unsigned long long>(id));
            endBackgroundTask(id);
        }
    }
    return expiring.size();
}

void Application::armBackgroundLimit() {
    disarmBackgroundLimit();
    const double limit = configuration().backgroundTimeLimit;
    if (limit <= 0) return;
    Weak<Application> weak = self();
    backgroundLimitTimer_ = RunLoop::main()->performAfterDelay(limit, [weak] {
        if (auto app = weak.lock(); app && app->applicationState() == ApplicationState::Background) {
            app->expireBackgroundTasks();
        }
    });
}

void Application::disarmBackgroundLimit() {
    if (backgroundLimitTimer_) backgroundLimitTimer_->invalidate();
    backgroundLimitTimer_.reset();
}

// ---- Notification registration ----

void Application::registerForRemoteNotifications() {
    Queue::main()->async([app = self()] { app->answerRemoteRegistration(); });
}

void Application::registerForRemoteNotificationTypes(unsigned /*types*/) { registerForRemoteNotifications(); }

void Application::answerRemoteRegistration() {
    const std::optional<Bytes> token = configuration().remoteNotificationToken;
    {
        std::lock_guard lock(mutex_);
        registeredForRemote_ = token.has_value();
    }
    if (!delegate_) return;
    if (token) {
        delegate_->applicationDidRegisterForRemoteNotificationsWithDeviceToken(*this, *token);
    } else {
        Dictionary info;
        info.set(std::string(kLocalizedDescriptionKey), Value("remote notifications are not supported on this device"));
        delegate_->applicationDidFailToRegisterForRemoteNotificationsWithError(
            *this, Error::make(std::string(kCocoaErrorDomain), 3010, std::move(info)));
    }
}

void Application::registerUserNotificationSettings(Ref<UserNotificationSettings> settings) {
    {
        std::lock_guard lock(mutex_);
        notificationSettings_ = settings;
    }
    Queue::main()->async([app = self(), settings] {
        if (app->delegate_) app->delegate_->applicationDidRegisterUserNotificationSettings(*app, settings);
    });
}

Ref<UserNotificationSettings> Application::currentUserNotificationSettings() const {
    std::lock_guard lock(mutex_);
    return notificationSettings_;
}

void Application::unregisterForRemoteNotifications() {
    std::lock_guard lock(mutex_);
    registeredForRemote_ = false;
}

bool Application::isRegisteredForRemoteNotifications() const {
    std::lock_guard lock(mutex_);
    return registeredForRemote_;
}

// ---- Local notifications ----

void Application::scheduleLocalNotification(const Ref<LocalNotification>& notification) {
    if (!notification) return;
    Ref<LocalNotification> copy = notification->copy();
    std::lock_guard lock(mutex_);
    localNotifications_.push_back(std::move(copy));
}

void Application::cancelLocalNotification(const Ref<LocalNotification>& notification) {
    if (!notification) return;
    Ref<LocalNotification> dropped;
    std::lock_guard lock(mutex_);
    auto it = std::find_if(localNotifications_.begin(), localNotifications_.end(),
                           [&](const auto& n) { return n->isEqual(*notification); });
    if (it == localNotifications_.end()) return;
    dropped = *it;
    localNotifications_.erase(it);
}

void Application::cancelAllLocalNotifications() {
    std::vector<Ref<LocalNotification>> dropped;
    std::lock_guard lock(mutex_);
    dropped.swap(localNotifications_);
}

std::vector<Ref<LocalNotification>> Application::scheduledLocalNotifications() const {
    std::lock_guard lock(mutex_);
    std::vector<Ref<LocalNotification>> copies;
    for (const auto& n : localNotifications_) copies.push_back(n->copy());
    return copies;
}

// ---- Alerts ----

Ref<AlertView> Application::frontAlert() const {
    for (auto it = alerts_.rbegin(); it != alerts_.rend(); ++it) {
        if ((*it)->isVisible()) return *it;
    }
    return nullptr;
}

bool Application::tapAlertButton(int buttonIndex) {
    const Ref<AlertView> alert = frontAlert();
    return alert && alert->tapButton(buttonIndex);
}

void Application::alertShown(Ref<AlertView> alert) { alerts_.push_back(std::move(alert)); }

}  // namespace lv
