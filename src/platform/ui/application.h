// The application object, headless: it hands the platform's events to the application delegate in the
// platform's order on the main thread, posts the matching notifications (sender: the application),
// keeps the application state, background tasks, notification registration, local notifications, the
// badge and the network activity indicator, routes opened URLs by scheme, and records alerts.
//
// Nothing outside drives it: applicationMain() launches and activates the app, then the control
// channel (control_channel.h: a test API and text lines on standard input) and SIGINT/SIGTERM/SIGHUP play the
// system's part.
//
// Threads: the events, the delegate, the URL calls, the key window and the alerts belong to the main
// thread. The state, the badge and the indicator may be read and set from any thread (atomics);
// background tasks, notification registration and local notifications may be used from any thread (one
// lock, never held while calling out); delegate answers to registrations arrive on the main queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/error.h"
#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/net/url.h"
#include "platform/ui/alert_view.h"
#include "platform/ui/user_notification.h"

namespace lv {

class Application;
class Timer;
class Window;

enum class ApplicationState { Active = 0, Inactive = 1, Background = 2 };

using BackgroundTaskIdentifier = std::uint64_t;
inline constexpr BackgroundTaskIdentifier kBackgroundTaskInvalid = 0;

// Notifications posted by the application (object: the application).
inline constexpr std::string_view kApplicationDidFinishLaunchingNotification = "UIApplicationDidFinishLaunchingNotification";
inline constexpr std::string_view kApplicationDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
inline constexpr std::string_view kApplicationWillResignActiveNotification = "UIApplicationWillResignActiveNotification";
inline constexpr std::string_view kApplicationDidEnterBackgroundNotification = "UIApplicationDidEnterBackgroundNotification";
inline constexpr std::string_view kApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr std::string_view kApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";
inline constexpr std::string_view kApplicationDidReceiveMemoryWarningNotification =
    "UIApplicationDidReceiveMemoryWarningNotification";

// Launch-option keys.
inline constexpr std::string_view kApplicationLaunchOptionsRemoteNotificationKey =
    "UIApplicationLaunchOptionsRemoteNotificationKey";
inline constexpr std::string_view kApplicationLaunchOptionsLocalNotificationKey =
    "UIApplicationLaunchOptionsLocalNotificationKey";
inline constexpr std::string_view kApplicationLaunchOptionsURLKey = "UIApplicationLaunchOptionsURLKey";
inline constexpr std::string_view kApplicationLaunchOptionsSourceApplicationKey =
    "UIApplicationLaunchOptionsSourceApplicationKey";

// The application delegate's messages; every one is optional. Called on the main thread.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    // application:didFinishLaunchingWithOptions: (options empty for a plain launch).
    virtual bool applicationDidFinishLaunchingWithOptions(Application&, const Dictionary& /*launchOptions*/) {
        return true;
    }
    virtual void applicationDidBecomeActive(Application&) {}
    virtual void applicationWillResignActive(Application&) {}
    virtual void applicationDidEnterBackground(Application&) {}
    virtual void applicationWillEnterForeground(Application&) {}
    virtual void applicationWillTerminate(Application&) {}
    virtual void applicationDidReceiveMemoryWarning(Application&) {}
    // application:openURL:sourceApplication:annotation:
    virtual bool applicationOpenURL(Application&, const Ref<URL>& /*url*/, const std::string& /*sourceApplication*/,
                                    const Value& /*annotation*/) {
        return false;
    }
    virtual void applicationDidReceiveRemoteNotification(Application&, const Dictionary& /*payload*/) {}
    virtual void applicationDidReceiveLocalNotification(Application&, const Ref<LocalNotification>&) {}
    virtual void applicationDidRegisterUserNotificationSettings(Application&, const Ref<UserNotificationSettings>&) {}
    // application:handleActionWithIdentifier:forRemoteNotification:completionHandler:
    virtual void applicationHandleActionWithIdentifier(Application&, const std::string& /*identifier*/,
                                                       const Dictionary& /*payload*/, std::function<void()> completion) {
        if (completion) completion();
    }
    virtual void applicationDidRegisterForRemoteNotificationsWithDeviceToken(Application&, const Bytes& /*token*/) {}
    virtual void applicationDidFailToRegisterForRemoteNotificationsWithError(Application&, const Ref<Error>&) {}
};

// What the system would decide; set before applicationMain (the command's options, tests).
struct ApplicationConfiguration {
    // Handed to the launch.
    Dictionary launchOptions;
    // The device token that remote-notification registration answers with. Without one registration
    // fails, as on a machine without a push service: NSCocoaErrorDomain 3010.
    std::optional<Bytes> remoteNotificationToken;
    // Seconds in the background after which the running background tasks expire; 0 or less: never
    // (only the control channel's "expire-background-tasks").
    double backgroundTimeLimit = 180;
    // The descriptor applicationMain reads control lines from (standard input); -1: none.
    int controlInput = 0;
    // Whether applicationMain ends the app through resign and terminate on SIGINT, SIGTERM and SIGHUP.
    bool handleSignals = true;
};

class Application : public Object {
public:
    static Ref<Application> sharedApplication();
    // Replaces the shared application by a new one that has not launched (tests; the configuration
    // goes back to its defaults).
    static void resetSharedApplication();

    ApplicationConfiguration configuration() const;
    void setConfiguration(ApplicationConfiguration configuration);

    // Held strongly: the delegate made by applicationMain lives as long as the application.
    const Ref<ApplicationDelegate>& delegate() const { return delegate_; }
    void setDelegate(Ref<ApplicationDelegate> delegate) { delegate_ = std::move(delegate); }

    // Inactive until the app first becomes active.
    ApplicationState applicationState() const { return state_.load(); }
    bool isLaunched() const { return launched_.load(); }
    bool isTerminated() const { return terminated_.load(); }

    // ---- Events (main thread). Each answers false, doing nothing, before the launch or after the
    // termination. ----

    // didFinishLaunchingWithOptions, then the did-finish-launching notification (user info: the
    // options). Once only.
    bool launch();
    // From the background: will-enter-foreground first. Nothing when already active.
    bool becomeActive();
    // Active to inactive: will-resign-active. Nothing unless active.
    bool resignActive();
    // Resigns first when active; then did-enter-background. Starts the background time limit.
    bool enterBackground();
    // Enters the background first (resigning when active); then runs the main loop until the work
    // queued on the main queue before this call has run and the background tasks have ended, for at
    // most the background time limit (the tasks still running then expire; with no limit they expire
    // as soon as the queued work has run); then will-terminate, and the main loop of applicationMain
    // ends. Every other event is refused from the start of the call.
    bool terminate();
    // Another program opens the URL in this app: from the background the app enters the foreground
    // first and becomes active afterwards. Answers the delegate's result.
    bool deliverOpenURL(const Ref<URL>& url, const std::string& sourceApplication, const Value& annotation);
    bool deliverRemoteNotification(const Dictionary& payload);
    // Fires the scheduled local notification with the earliest fire date (no date counts as earliest):
    // takes it off the schedule and hands it to the delegate. False when none is scheduled.
    bool fireLocalNotification();
    // The delegate, then the memory-warning notification.
    bool deliverMemoryWarning();

    // ---- URLs (main thread; canOpenURL and setURLHandler from any thread) ----

    // The schemes of Info.plist's "CFBundleURLTypes", lower-cased.
    static std::vector<std::string> ownURLSchemes();
    // The URL's scheme, lower-cased; empty for no URL or a URL without one.
    static std::string urlScheme(const Ref<URL>& url);
    // True for the app's own schemes and schemes with a handler.
    bool canOpenURL(const Ref<URL>& url) const;
    // A URL of the app's own schemes reaches the delegate's open-URL call (source: the app's bundle
    // identifier); another scheme goes to its handler. Both run later on the main queue. False when
    // nothing can open it.
    bool openURL(const Ref<URL>& url);
    // The other programs on the device, by scheme; an empty handler removes the scheme's.
    void setURLHandler(std::string_view scheme, std::function<void(const Ref<URL>& url)> handler);

    // ---- Status flags (any thread) ----

    bool isNetworkActivityIndicatorVisible() const { return indicatorVisible_.load(); }
    void setNetworkActivityIndicatorVisible(bool visible) { indicatorVisible_.store(visible); }
    std::int64_t applicationIconBadgeNumber() const { return badge_.load(); }
    void setApplicationIconBadgeNumber(std::int64_t number) { badge_.store(number); }

    // ---- Background tasks (any thread; expiry on the main thread) ----

    // Identifiers count from 1 (kBackgroundTaskInvalid is 0).
    BackgroundTaskIdentifier beginBackgroundTaskWithExpirationHandler(std::function<void()> handler);
    void endBackgroundTask(BackgroundTaskIdentifier identifier);
    std::vector<BackgroundTaskIdentifier> runningBackgroundTasks() const;
    // Runs the expiration handler of every running task on the main thread. A task its handler does
    // not end is ended here, with a log line. Answers the number of tasks that expired.
    std::size_t expireBackgroundTasks();

    // ---- Notification registration (any thread; the answers arrive on the main queue) ----

    // The delegate gets the configured token, or the failure.
    void registerForRemoteNotifications();
    void registerForRemoteNotificationTypes(unsigned types);
    void registerUserNotificationSettings(Ref<UserNotificationSettings> settings);
    Ref<UserNotificationSettings> currentUserNotificationSettings() const;
    void unregisterForRemoteNotifications();
    bool isRegisteredForRemoteNotifications() const;

    // ---- Local notifications (any thread) ----

    // Schedules a copy.
    void scheduleLocalNotification(const Ref<LocalNotification>& notification);
    // Cancels the first scheduled notification equal to it.
    void cancelLocalNotification(const Ref<LocalNotification>& notification);
    void cancelAllLocalNotifications();
    // Copies, in scheduling order.
    std::vector<Ref<LocalNotification>> scheduledLocalNotifications() const;

    // ---- Window and alerts (main thread) ----

    Ref<Window> keyWindow() const { return keyWindow_.lock(); }
    void setKeyWindow(const Ref<Window>& window) { keyWindow_ = window; }
    // Every alert shown, in the order shown.
    const std::vector<Ref<AlertView>>& alerts() const { return alerts_; }
    // The visible alert shown last, or null.
    Ref<AlertView> frontAlert() const;
    // Taps the button of the front alert; false when there is none or the index is out of range.
    bool tapAlertButton(int buttonIndex);
    // Called by AlertView::show.
    void alertShown(Ref<AlertView> alert);

    Application();
    ~Application() override;

private:
    bool running() const { return launched_.load() && !terminated_.load() && !terminating_.load(); }
    void post(std::string_view name, Dictionary userInfo = {});
    void setState(ApplicationState state) { state_.store(state); }
    void enterForeground();
    // terminate()'s wait for the queued work and the background tasks.
    void finishBackgroundWork();
    void armBackgroundLimit();
    void disarmBackgroundLimit();
    void answerRemoteRegistration();
    Ref<Application> self() { return std::static_pointer_cast<Application>(shared_from_this()); }

    Ref<ApplicationDelegate> delegate_;
    std::atomic<ApplicationState> state_{ApplicationState::Inactive};
    std::atomic<bool> launched_{false};
    std::atomic<bool> terminated_{false};
    std::atomic<bool> terminating_{false};
    std::atomic<bool> indicatorVisible_{false};
    std::atomic<std::int64_t> badge_{0};

    Weak<Window> keyWindow_;
    std::vector<Ref<AlertView>> alerts_;
    Ref<Timer> backgroundLimitTimer_;

    mutable std::mutex mutex_;  // guards everything below
    ApplicationConfiguration configuration_;
    BackgroundTaskIdentifier lastTaskIdentifier_ = kBackgroundTaskInvalid;
    std::map<BackgroundTaskIdentifier, std::function<void()>> backgroundTasks_;
    bool registeredForRemote_ = false;
    Ref<UserNotificationSettings> notificationSettings_;
    std::vector<Ref<LocalNotification>> localNotifications_;
    std::map<std::string, std::function<void(const Ref<URL>&)>, std::less<>> urlHandlers_;
};

// The application main loop: makes the delegate from its registered class name (its class must have a
// factory and derive from ApplicationDelegate), launches and activates the app, then serves the main
// run loop, the control lines of the configured input and SIGINT/SIGTERM/SIGHUP until the app terminates.
// principalClassName must be empty or "Application" (the one application class). Main thread only.
// Returns 0 after termination, 1 when the classes are unknown (after a log line).
int applicationMain(int argc, char** argv, std::string_view principalClassName, std::string_view delegateClassName);
// The signal (SIGINT, SIGTERM or SIGHUP) whose handler asked the last applicationMain to terminate; 0 when the
// app ended otherwise. Any thread.
int applicationMainTerminationSignal();

}  // namespace lv
