#include "app/microblog_commands.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "app/app_delegate.h"
#include "app/detail/page_loads.h"
#include "content/microblog_helper.h"
#include "content/property_persistance.h"
#include "content/share_music_view_controller.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/queue.h"
#include "platform/ui/application.h"

namespace lv {

namespace {

constexpr double kWaitSeconds = 20;
constexpr double kPollSeconds = 0.05;

// Calls done(true) once the condition holds, done(false) when the time is up; checks on the main queue.
void pollUntil(std::function<bool()> condition, double secondsLeft, std::function<void(bool)> done) {
    if (condition()) return done(true);
    if (secondsLeft <= 0) return done(false);
    Queue::main()->after(kPollSeconds, [condition = std::move(condition), secondsLeft, done = std::move(done)]() mutable {
        pollUntil(std::move(condition), secondsLeft - kPollSeconds, std::move(done));
    });
}

Ref<LNPreferences> settings() {
    auto delegate = std::dynamic_pointer_cast<AppDelegate>(Application::sharedApplication()->delegate());
    return delegate ? delegate->preferences() : nullptr;
}

// The chart screen's part in a login: it becomes the helper's delegate and hears of the stored login.
class LoginListener : public Object, public MicroblogResponseDelegate {
public:
    void didReceiveMicroblogResponse(const Ref<Object>&) override { received = true; }
    bool received = false;
};

void login(std::function<void(int)> done) {
    auto listener = makeRef<LoginListener>();
    auto named = std::make_shared<bool>(false);
    auto observer = NotificationCenter::defaultCenter()->addObserverForName(
        MicroblogHelper::kUsernameUpdatedNotification, nullptr, nullptr, [named](const Notification&) { *named = true; });
    const Ref<MicroblogHelper>& helper = MicroblogHelper::sharedMicroblogHelper();
    helper->setWbDelegate(listener);
    helper->MBLAuthorize();
    // Over when the screen heard of the login, or when the authorisation ended without one.
    pollUntil([listener] { return listener->received || !MicroblogSDK::authorizeWebView(); }, kWaitSeconds,
              [listener, named, observer, done](bool) {
                  MicroblogHelper::sharedMicroblogHelper()->setWbDelegate(nullptr);
                  if (!listener->received) {
                      NotificationCenter::defaultCenter()->removeObserver(observer.get());
                      app_detail::printErrorLine("the login was refused, cancelled or failed");
                      return done(1);
                  }
                  pollUntil([named] { return *named; }, kWaitSeconds, [observer, done](bool) {
                      NotificationCenter::defaultCenter()->removeObserver(observer.get());
                      Ref<LNPreferences> prefs = settings();
                      // The id and the name come from the service: printed as cells, escaped.
                      if (PropertyPersistance::hasUnsavedProperties(*prefs)) {
                          app_detail::printErrorLine("the login could not be saved in the settings");
                          return done(1);
                      }
                      app_detail::printLine("login\t" + app_detail::cellText(prefs->mblCurrentUserID()) + "\t" +
                                            app_detail::cellText(prefs->mblUsername().isString() ? prefs->mblUsername()
                                                                                                 : Value()));
                      std::fflush(stdout);
                      done(0);
                  });
              });
}

void share(const std::string& text, Bytes image, std::function<void(int)> done) {
    auto screen = makeRef<ShareMusicViewController>(text, std::move(image));
    screen->view();  // an expired login is renewed on load
    Ref<LNPreferences> prefs = settings();
    const bool renewing = MicroblogHelper::sharedMicroblogHelper()->isAuthorizeExpired() &&
                          prefs->mblRefreshtoken().isString();
    pollUntil([renewing] { return !renewing || !MicroblogHelper::sharedMicroblogHelper()->isAuthorizeExpired(); },
              kWaitSeconds, [screen, done](bool) {
                  screen->share();
                  pollUntil([screen] { return !screen->toasts().empty(); }, kWaitSeconds * 2, [screen, done](bool toasted) {
                      if (!toasted) {
                          app_detail::printErrorLine("the post got no answer");
                          return done(1);
                      }
                      app_detail::printLine("toast\t" + app_detail::cellText(Value(screen->toasts().front())));
                      std::fflush(stdout);
                      if (screen->toasts().front() != ShareMusicViewController::kPostedToast) return done(1);
                      pollUntil([screen] { return screen->isClosed(); }, kWaitSeconds,
                                [done](bool closed) { done(closed ? 0 : 1); });
                  });
              });
}

}  // namespace

bool isMicroblogCommand(const std::string& command) {
    return command == "login" || command == "share" || command == "logout" || command == "open-url";
}

std::string checkMicroblogArguments(const std::string& command, const std::map<std::string, std::string>& arguments,
                                    const std::vector<std::string>& positional) {
    if (command == "share") {
        if (!arguments.count("--text") || !arguments.count("--image")) return "share needs --text and --image";
        if (!std::ifstream(arguments.at("--image"), std::ios::binary)) return "cannot read " + arguments.at("--image");
    }
    if (command == "open-url" && positional.size() != 1) return "open-url takes one URL";
    return {};
}

void runMicroblogCommand(const std::string& command, const std::map<std::string, std::string>& arguments,
                         const std::vector<std::string>& positional, std::function<void(int)> done) {
    if (command == "login") return login(std::move(done));
    if (command == "share") {
        std::ifstream in(arguments.at("--image"), std::ios::binary);
        Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return share(arguments.at("--text"), std::move(image), std::move(done));
    }
    if (command == "logout") {
        settings()->logout();
        if (PropertyPersistance::hasUnsavedProperties(*settings())) {
            app_detail::printErrorLine("the logout could not be saved in the settings");
            return done(1);
        }
        std::printf("logout\n");
        std::fflush(stdout);
        // The revocation goes out now; its answer is not reported, so the app gives it a moment.
        Queue::main()->after(1.0, [done] { done(0); });
        return;
    }
    Ref<URL> url = URL::URLWithString(positional.at(0));
    const bool handled = url && Application::sharedApplication()->deliverOpenURL(url, "", Value());
    std::printf("open-url\t%s\n", handled ? "handled" : "not handled");
    std::fflush(stdout);
    // What the message started (the profile request of a login) gets its answer before the end.
    Queue::main()->after(1.0, [done, handled] { done(handled ? 0 : 1); });
}

}  // namespace lv
