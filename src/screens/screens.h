// The app's screens, made from the interface file named after their class (initWithNibName:bundle:;
// no bundle means the main bundle). Each class is registered with the runtime under its own name, so
// className() answers it. Nothing is drawn; the application delegate gives each screen its title.
//
// Threads: main thread only.
#pragma once

#include <string>

#include "platform/storage/bundle.h"
#include "platform/ui/view_controller.h"
#include "screens/microblog_response_delegate.h"

namespace lv {

// The music chart. Adopts MicroblogResponseDelegate for the login that sharing needs.
class TopMusicViewController : public ViewController, public MicroblogResponseDelegate {
public:
    TopMusicViewController(std::string nibName, Ref<Bundle> bundle);
    static const ClassInfo* runtimeClass();
    void didReceiveMicroblogResponse(const Ref<Object>& response) override;
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

// The about screen. Adopts MicroblogResponseDelegate for its login button.
class AboutUsViewController : public ViewController, public MicroblogResponseDelegate {
public:
    AboutUsViewController(std::string nibName, Ref<Bundle> bundle);
    static const ClassInfo* runtimeClass();
    void didReceiveMicroblogResponse(const Ref<Object>& response) override;
};

class LiveViewController : public ViewController {
public:
    LiveViewController(std::string nibName, Ref<Bundle> bundle);
    static const ClassInfo* runtimeClass();
};

}  // namespace lv
