// The app's screens, made from the interface file named after their class (initWithNibName:bundle:;
// no bundle means the main bundle). Each class is registered with the runtime under its own name, so
// className() answers it. Nothing is drawn; the application delegate gives each screen its title.
//
// Threads: main thread only.
#pragma once

#include <string>

#include "platform/base/value.h"
#include "platform/storage/bundle.h"
#include "platform/ui/view_controller.h"
#include "screens/microblog_response_delegate.h"

namespace lv {

// The music chart. Adopts MicroblogResponseDelegate for the login that sharing needs.
class TopMusicViewController : public ViewController, public MicroblogResponseDelegate {
public:
    TopMusicViewController(std::string nibName, Ref<Bundle> bundle);
    static const ClassInfo* runtimeClass();

    // The share button: when logged in, opens the share screen with the text and picture (JPEG);
    // otherwise becomes the coordinator's delegate and starts a login, which then opens it.
    void share(std::string text, Bytes imageJPEG);
    // The login is stored: clears the delegate and opens the share screen.
    void didReceiveMicroblogResponse(const Ref<Object>& response) override;
    // The share screen opened last (its view loaded), or null.
    const Ref<ViewController>& shareScreen() const { return shareScreen_; }

private:
    void openShareScreen();

    std::string shareText_;
    Bytes shareImage_;
    Ref<ViewController> shareScreen_;
};

class NewsViewController : public ViewController {
public:
    NewsViewController(std::string nibName, Ref<Bundle> bundle);
    static const ClassInfo* runtimeClass();
};

class MarketViewController : public ViewController {
public:
    MarketViewController(std::string nibName, Ref<Bundle> bundle);
    static const ClassInfo* runtimeClass();
};

class MediaViewController : public ViewController {
public:
    MediaViewController(std::string nibName, Ref<Bundle> bundle);
    static const ClassInfo* runtimeClass();
};

// The about screen. Adopts MicroblogResponseDelegate for its login button, whose title says whether
// the user is logged in.
class AboutUsViewController : public ViewController, public MicroblogResponseDelegate {
public:
    static constexpr const char* kLoginTitle = "登录微博";
    static constexpr const char* kLoggedInTitle = "已登录微博";

    AboutUsViewController(std::string nibName, Ref<Bundle> bundle);
    static const ClassInfo* runtimeClass();

    // The login button: becomes the coordinator's delegate and starts a login.
    void login();
    // The login is stored: clears the delegate and retitles the login button.
    void didReceiveMicroblogResponse(const Ref<Object>& response) override;
    const std::string& loginButtonTitle() const { return loginButtonTitle_; }

protected:
    // Titles the login button after the stored login.
    void viewDidLoad() override;

private:
    std::string loginButtonTitle_ = kLoginTitle;
};

class LiveViewController : public ViewController {
public:
    LiveViewController(std::string nibName, Ref<Bundle> bundle);
    static const ClassInfo* runtimeClass();
};

}  // namespace lv
