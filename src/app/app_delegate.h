// The application delegate: builds the window and the tab container, sets up the record store, decides
// whether the video screens are offered (the switch in the settings, confirmed by the content service),
// installs exactly one tab set per launch, styles the tab bar, starts the analytics and push glue, and
// forwards the platform's later events (activation, termination, notifications, opened URLs).
//
// Threads: main thread, except the video-configuration handlers, which run on the content client's
// background queue and reach the interface only through the main-queue installation block.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "content/ln_preferences.h"
#include "platform/ui/alert_view.h"
#include "platform/ui/application.h"
#include "platform/ui/window.h"
#include "screens/screens.h"
#include "widgets/tab_bar_controller.h"

namespace lv {

class AppDelegate : public Object, public ApplicationDelegate, public AlertViewDelegate {
public:
    static const ClassInfo* runtimeClass();

    // The tab images of each set, in tab order (the selected image adds "_selected").
    static const std::vector<std::string>& fullTabImageNames();
    static const std::vector<std::string>& reducedTabImageNames();

    bool applicationDidFinishLaunchingWithOptions(Application& application, const Dictionary& launchOptions) override;
    void applicationDidBecomeActive(Application& application) override;
    void applicationWillTerminate(Application& application) override;
    bool applicationOpenURL(Application& application, const Ref<URL>& url, const std::string& sourceApplication,
                            const Value& annotation) override;
    void applicationDidReceiveRemoteNotification(Application& application, const Dictionary& payload) override;
    void applicationDidReceiveLocalNotification(Application& application, const Ref<LocalNotification>& n) override;
    void applicationDidRegisterUserNotificationSettings(Application& application,
                                                        const Ref<UserNotificationSettings>& settings) override;
    void applicationHandleActionWithIdentifier(Application& application, const std::string& identifier,
                                               const Dictionary& payload, std::function<void()> completion) override;
    void applicationDidRegisterForRemoteNotificationsWithDeviceToken(Application& application,
                                                                     const Bytes& token) override;
    void applicationDidFailToRegisterForRemoteNotificationsWithError(Application& application,
                                                                     const Ref<Error>& error) override;

    // Install the full or the reduced tab set later on the main queue; only the first call of a launch
    // installs, later ones are ignored (one line logged).
    void showAllControllers();
    void showNormalControllers();
    void setupTabBarStyle(const Ref<TCTabBarController>& controller);

    // The video-configuration handlers (any thread).
    void videoConfigReply(const Value& items);
    void videoConfigFailure(const Ref<Error>& error);

    const Ref<Window>& window() const { return window_; }
    const Ref<TCTabBarController>& tabBarController() const { return tabBarController_; }
    // Made on first use, with persistence on (any thread).
    Ref<LNPreferences> preferences();
    Ref<TopMusicViewController> topMusicViewController();
    Ref<NewsViewController> newsViewController();
    Ref<MarketViewController> marketViewController();
    Ref<MediaViewController> mediaViewController();
    Ref<AboutUsViewController> aboutUsViewController();
    Ref<LiveViewController> liveViewController();

    // Called on the main thread after a tab set has been installed (true: the full set). Process-wide;
    // the command waits on it before it loads any page.
    static void setTabSetInstalledObserver(std::function<void(bool full)> observer);
    // Main thread. When set and it answers true for a notification-registration failure, the failure
    // counts as expected (a machine without a push service) and is not forwarded to the push glue,
    // which would log it as an error. The command sets it; nothing else does.
    static void setExpectedRegistrationFailure(std::function<bool(const Ref<Error>&)> filter);

private:
    void install(bool full);

    Ref<Window> window_;
    Ref<TCTabBarController> tabBarController_;
    std::once_flag preferencesOnce_;
    Ref<LNPreferences> preferences_;
    std::atomic<bool> tabSetChosen_{false};
    Ref<TopMusicViewController> topMusic_;
    Ref<NewsViewController> news_;
    Ref<MarketViewController> market_;
    Ref<MediaViewController> media_;
    Ref<AboutUsViewController> aboutUs_;
    Ref<LiveViewController> live_;
};

// Registers by name what the product needs before any screen runs: the URL class, the named value
// transformers, the content record classes and "AppDelegate". Idempotent.
void registerAppClasses();

// The process entry: applicationMain with the delegate class "AppDelegate".
int appMain(int argc, char** argv);

}  // namespace lv
