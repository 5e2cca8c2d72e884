// The analytics session (TallySession): a session begins when the app becomes active and ends when it
// resigns active, is terminated or crashes. It keeps the app-state flags the engine, the upload job
// and the log builder consult, measures session length, renews the session id, carries profile
// sign-in and sign-off, and holds the start sequence.
//
// Threads: the flags are atomics, readable from any thread. appActivate/appInactivate/
// ensureSessionLaunch run on the main thread (they may call the engine). The class methods (start,
// sign-in, sign-off) may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/object.h"
#include "platform/dispatch/notification_center.h"

namespace lv {

class TallySession : public Object {
public:
    TallySession();
    static Ref<TallySession> sharedInstance();
    // Replaces the shared session (tests play a new launch this way); the old one stops observing.
    static void resetSharedInstance();
    ~TallySession() override;

    // The start sequence.
    static void startWithAppkey(std::string_view appkey, std::int32_t reportPolicy, std::string_view channelId);
    static void startWithAppkey(std::string_view appkey);

    static void signInPUID(std::string_view puid, std::string_view provider);
    static void profileSignInPUID(std::string_view puid);
    static void profileSignInPUID(std::string_view puid, std::string_view provider);
    static void profileSignOff();

    // The observers' handlers; nullptr stands for a direct call without a notification.
    void appActivate(const Notification* notification);
    void appInactivate(const Notification* notification);
    void beginSessionTime();
    double endSessionTime() const;
    void ensureSessionLaunch();

    bool observerRegistered() const { return observerRegistered_.load(); }
    bool appInBackGround() const { return appInBackGround_.load(); }
    void setAppInBackGround(bool value) { appInBackGround_.store(value); }
    bool appBeKilling() const { return appBeKilling_.load(); }
    bool appCrashed() const { return appCrashed_.load(); }
    void setAppCrashed(bool value) { appCrashed_.store(value); }
    std::int32_t sessionStatus() const { return sessionStatus_.load(); }
    void setSessionStatus(std::int32_t status) { sessionStatus_.store(status); }
    double lastLaunchTime() const { return lastLaunchTime_.load(); }

    std::string description() const override;

private:
    void registerObservers();

    std::atomic<bool> observerRegistered_{false};
    std::atomic<bool> appInBackGround_{false};
    std::atomic<bool> appBeKilling_{false};
    std::atomic<bool> appCrashed_{false};
    std::atomic<std::int32_t> sessionStatus_{0};
    std::atomic<double> lastLaunchTime_{0};
    std::atomic<double> lastLaunchMonotonic_{0};  // the same moment on the monotonic clock
};

}  // namespace lv
