// Shared by the application tests: a fresh application, sandbox and device per test, and a delegate
// that records every call (with the state and thread) beside the application's notifications.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/thread.h"
#include "platform/storage/sandbox.h"
#include "platform/ui/application.h"
#include "platform/ui/device.h"
#include "platform/ui/pasteboard.h"
#include "support/temp_dir.h"

namespace lv::test {

inline const char* stateName(ApplicationState state) {
    switch (state) {
        case ApplicationState::Active: return "active";
        case ApplicationState::Inactive: return "inactive";
        case ApplicationState::Background: return "background";
    }
    return "?";
}

// The events in order: "<delegate call>/<state>" (with "!" when not on the main thread) and
// "<notification name>".
class RecordingDelegate : public Object, public ApplicationDelegate, public AlertViewDelegate {
public:
    std::vector<std::string> events;

    void note(const Application& app, std::string what) {
        events.push_back(what + "/" + stateName(app.applicationState()) + (Thread::isMainThread() ? "" : "!"));
    }
    bool applicationDidFinishLaunchingWithOptions(Application& a, const Dictionary& options) override {
        note(a, "launch" + (options.empty() ? std::string() : " " + Value(options).description()));
        return true;
    }
    void applicationDidBecomeActive(Application& a) override { note(a, "didBecomeActive"); }
    void applicationWillResignActive(Application& a) override { note(a, "willResignActive"); }
    void applicationDidEnterBackground(Application& a) override { note(a, "didEnterBackground"); }
    void applicationWillEnterForeground(Application& a) override { note(a, "willEnterForeground"); }
    void applicationWillTerminate(Application& a) override { note(a, "willTerminate"); }
    void applicationDidReceiveMemoryWarning(Application& a) override { note(a, "memoryWarning"); }
    bool applicationOpenURL(Application& a, const Ref<URL>& url, const std::string& source, const Value&) override {
        note(a, "openURL " + url->absoluteString() + " from " + source);
        return true;
    }
    void applicationDidReceiveRemoteNotification(Application& a, const Dictionary& payload) override {
        note(a, "remote " + Value(payload)["pn"]["bid"].stringValue());
    }
    void applicationDidReceiveLocalNotification(Application& a, const Ref<LocalNotification>& n) override {
        note(a, "local " + n->alertBody);
    }
    void applicationDidRegisterForRemoteNotificationsWithDeviceToken(Application& a, const Bytes& token) override {
        note(a, "token " + std::to_string(token.size()));
    }
    void applicationDidFailToRegisterForRemoteNotificationsWithError(Application& a, const Ref<Error>& e) override {
        note(a, "tokenError " + e->domain() + " " + std::to_string(e->code()));
    }
    void alertViewClickedButtonAtIndex(AlertView&, int index) override {
        events.push_back("alertButton " + std::to_string(index));
    }
};

// For one test: a fresh sandbox, device facts, pasteboards and application (with a recording delegate
// and observers of its notifications); undone at the end.
class AppScope {
public:
    AppScope() {
        EXPECT_TRUE(Sandbox::setRoot(root_.path().string()));
        DeviceFacts::reset();
        Pasteboard::resetPasteboards();
        Application::resetSharedApplication();
        app_ = Application::sharedApplication();
        ApplicationConfiguration configuration;
        configuration.controlInput = -1;
        configuration.handleSignals = false;
        app_->setConfiguration(configuration);
        app_->setDelegate(makeRef<RecordingDelegate>());
        observe();
    }
    ~AppScope() {
        unobserve();
        Application::resetSharedApplication();
        DeviceFacts::reset();
    }
    AppScope(const AppScope&) = delete;
    AppScope& operator=(const AppScope&) = delete;

    // A new application (recording delegate and observers included) in place of the shared one.
    void renewApp() {
        unobserve();
        Application::resetSharedApplication();
        app_ = Application::sharedApplication();
        app_->setDelegate(makeRef<RecordingDelegate>());
        observe();
    }
    void observe() {
        for (std::string_view name :
             {kApplicationDidFinishLaunchingNotification, kApplicationDidBecomeActiveNotification,
              kApplicationWillResignActiveNotification, kApplicationDidEnterBackgroundNotification,
              kApplicationWillEnterForegroundNotification, kApplicationWillTerminateNotification,
              kApplicationDidReceiveMemoryWarningNotification}) {
            observers_.push_back(NotificationCenter::defaultCenter()->addObserverForName(
                name, app_, nullptr, [this](const Notification& n) { events().push_back(n.name()); }));
        }
    }
    void unobserve() {
        for (const auto& token : observers_) NotificationCenter::defaultCenter()->removeObserver(token.get());
        observers_.clear();
    }
    // Launched and active, with the events so far forgotten.
    void startApp() {
        EXPECT_TRUE(app_->launch());
        EXPECT_TRUE(app_->becomeActive());
        events().clear();
    }
    // The events of the application's delegate (applicationMain makes its own).
    Ref<RecordingDelegate> recorder() const {
        auto delegate = std::dynamic_pointer_cast<RecordingDelegate>(app_->delegate());
        if (!delegate) std::abort();  // every application here has one
        return delegate;
    }
    std::vector<std::string>& events() { return recorder()->events; }

    const Ref<Application>& app() const { return app_; }
    std::string rootPath() const { return root_.path().string(); }

private:
    TempDir root_;
    Ref<Application> app_;
    std::vector<Ref<Object>> observers_;
};

}  // namespace lv::test
