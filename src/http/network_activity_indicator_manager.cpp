#include "http/network_activity_indicator_manager.h"

#include <mutex>

#include "http/session_task_delegate.h"
#include "http/url_connection_operation.h"
#include "platform/dispatch/lock.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/application.h"

namespace lv {

Ref<HCNetworkActivityIndicatorManager> HCNetworkActivityIndicatorManager::sharedManager() {
    static std::once_flag once;
    static auto& shared = *new Ref<HCNetworkActivityIndicatorManager>;  // never destroyed
    std::call_once(once, [] { shared = makeRef<HCNetworkActivityIndicatorManager>(); });
    return shared;
}

HCNetworkActivityIndicatorManager::HCNetworkActivityIndicatorManager() {
    auto center = NotificationCenter::defaultCenter();
    // The handlers run while the manager is alive: the destructor removes them first.
    auto observe = [&](std::string_view name, void (HCNetworkActivityIndicatorManager::*handler)(const Notification&)) {
        observers_.push_back(center->addObserverForName(name, nullptr, nullptr,
                                                        [this, handler](const Notification& n) { (this->*handler)(n); }));
    };
    observe("com.httpclient.networking.operation.start", &HCNetworkActivityIndicatorManager::networkRequestDidStart);
    observe("com.httpclient.networking.operation.finish", &HCNetworkActivityIndicatorManager::networkRequestDidFinish);
    observe(HCNetworkingTaskDidResumeNotification, &HCNetworkActivityIndicatorManager::networkRequestDidStart);
    observe(HCNetworkingTaskDidSuspendNotification, &HCNetworkActivityIndicatorManager::networkRequestDidFinish);
    observe(HCNetworkingTaskDidCompleteNotification, &HCNetworkActivityIndicatorManager::networkRequestDidFinish);
}

HCNetworkActivityIndicatorManager::~HCNetworkActivityIndicatorManager() {
    for (const auto& token : observers_) NotificationCenter::defaultCenter()->removeObserver(token.get());
    if (timer_) timer_->invalidate();
}

long HCNetworkActivityIndicatorManager::activityCount() const {
    return synchronized(this, [&] { return activityCount_; });
}

void HCNetworkActivityIndicatorManager::setActivityCount(long count) {
    synchronized(this, [&] { activityCount_ = count; });
    countDidChange();
}

void HCNetworkActivityIndicatorManager::incrementActivityCount() {
    synchronized(this, [&] { ++activityCount_; });
    countDidChange();
}

void HCNetworkActivityIndicatorManager::decrementActivityCount() {
    synchronized(this, [&] { activityCount_ = activityCount_ < 1 ? 0 : activityCount_ - 1; });
    countDidChange();
}

std::set<std::string> HCNetworkActivityIndicatorManager::keyPathsForValuesAffectingValueForKey(std::string_view key) {
    if (key == "isNetworkActivityIndicatorVisible") return {"activityCount"};
    return {};
}

void HCNetworkActivityIndicatorManager::countDidChange() {
    // Observers are told outside the monitor; the visibility depends on the count.
    didSetProperty(*this, "activityCount");
    didSetProperty(*this, "isNetworkActivityIndicatorVisible");
    const Weak<HCNetworkActivityIndicatorManager> weak =
        std::static_pointer_cast<HCNetworkActivityIndicatorManager>(shared_from_this());
    Queue::main()->async([weak] {
        if (auto manager = weak.lock()) manager->updateNetworkActivityIndicatorVisibilityDelayed();
    });
}

std::optional<URLRequest> HCNetworkActivityIndicatorManager::requestOfNotification(const Notification& notification) {
    const auto& object = notification.object();
    if (auto operation = std::dynamic_pointer_cast<HCURLConnectionOperation>(object)) return operation->request();
    if (auto task = std::dynamic_pointer_cast<URLSessionTask>(object)) return task->originalRequest();
    return std::nullopt;
}

void HCNetworkActivityIndicatorManager::networkRequestDidStart(const Notification& notification) {
    const auto request = requestOfNotification(notification);
    if (request && request->URL()) incrementActivityCount();
}

void HCNetworkActivityIndicatorManager::networkRequestDidFinish(const Notification& notification) {
    const auto request = requestOfNotification(notification);
    if (request && request->URL()) decrementActivityCount();
}

void HCNetworkActivityIndicatorManager::updateNetworkActivityIndicatorVisibilityDelayed() {
    if (!isEnabled()) return;
    if (!isNetworkActivityIndicatorVisible()) {
        if (timer_) timer_->invalidate();
        const Weak<HCNetworkActivityIndicatorManager> weak =
            std::static_pointer_cast<HCNetworkActivityIndicatorManager>(shared_from_this());
        timer_ = Timer::make(kInvisibilityDelay, false, [weak](Timer&) {
            if (auto manager = weak.lock()) manager->updateNetworkActivityIndicatorVisibility();
        });
        RunLoop::main()->addTimer(timer_, kRunLoopCommonModes);
    } else {
        const Weak<HCNetworkActivityIndicatorManager> weak =
            std::static_pointer_cast<HCNetworkActivityIndicatorManager>(shared_from_this());
        Queue::main()->async([weak] {
            if (auto manager = weak.lock()) manager->updateNetworkActivityIndicatorVisibility();
        });
    }
}

void HCNetworkActivityIndicatorManager::updateNetworkActivityIndicatorVisibility() {
    Application::sharedApplication()->setNetworkActivityIndicatorVisible(isNetworkActivityIndicatorVisible());
}

}  // namespace lv
