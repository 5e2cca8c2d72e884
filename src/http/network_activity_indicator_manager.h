// HCNetworkActivityIndicatorManager: counts running network requests from the start and finish
// notifications of operations and the resume, suspend and complete notifications of session tasks,
// and, when enabled, shows the application's network activity indicator while the count is above 0
// (hiding waits 0.17 s). Every change of the count is announced to property observers as
// "activityCount" and then "isNetworkActivityIndicatorVisible", so an observer of the visibility
// follows the count. Threads: the count may change on any thread (the manager's monitor guards
// it); showing, hiding and the hide timer run on the main thread.
#pragma once

#include <atomic>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/run_loop.h"
#include "platform/net/request.h"

namespace lv {

class HCNetworkActivityIndicatorManager : public Object {
public:
    static constexpr double kInvisibilityDelay = 0.17;

    static Ref<HCNetworkActivityIndicatorManager> sharedManager();
    // Observes the five request notifications (any sender).
    HCNetworkActivityIndicatorManager();
    ~HCNetworkActivityIndicatorManager() override;

    bool isEnabled() const { return enabled_.load(); }
    void setEnabled(bool enabled) { enabled_.store(enabled); }
    long activityCount() const;
    // Stores any value given. Each of the three announces the change on the calling thread.
    void setActivityCount(long count);
    void incrementActivityCount();
    // Never below 0.
    void decrementActivityCount();
    bool isNetworkActivityIndicatorVisible() const { return activityCount() > 0; }
    // The pending hide timer (main thread).
    const Ref<Timer>& activityIndicatorVisibilityTimer() const { return timer_; }

    // {"activityCount"} for "isNetworkActivityIndicatorVisible"; empty for any other key.
    static std::set<std::string> keyPathsForValuesAffectingValueForKey(std::string_view key);

    // The operation's request, else the task's original request; nothing for other objects.
    static std::optional<URLRequest> requestOfNotification(const Notification& notification);

private:
    void networkRequestDidStart(const Notification& notification);
    void networkRequestDidFinish(const Notification& notification);
    void updateNetworkActivityIndicatorVisibilityDelayed();
    void updateNetworkActivityIndicatorVisibility();
    // Announces the count and the visibility that depends on it, then schedules the update.
    void countDidChange();

    std::atomic<bool> enabled_{false};
    long activityCount_ = 0;  // under the manager's monitor
    Ref<Timer> timer_;        // main thread only
    std::vector<Ref<Object>> observers_;
};

}  // namespace lv
