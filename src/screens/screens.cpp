#include "screens/screens.h"

#include "platform/runtime/runtime.h"
#include "screens/microblog_by_name.h"

namespace lv {
namespace {

// Registers a screen class under its name, made with the interface file of that name.
template <class Screen>
const ClassInfo* registerScreen(const char* name) {
    ViewController::runtimeClass();
    return ClassDef<Screen>(name)
        .template superclass<ViewController>()
        .factory([name] { return std::static_pointer_cast<Object>(makeRef<Screen>(name, nullptr)); })
        .registerClass();
}

}  // namespace

#define LV_SCREEN_CLASS(Class)                                                             \
    Class::Class(std::string nibName, Ref<Bundle> bundle)                                  \
        : ViewController(std::move(nibName), std::move(bundle)) {                          \
        runtimeClass();                                                                    \
    }                                                                                      \
    const ClassInfo* Class::runtimeClass() {                                               \
        static const ClassInfo* cls = registerScreen<Class>(#Class);                       \
        return cls;                                                                        \
    }

LV_SCREEN_CLASS(TopMusicViewController)
LV_SCREEN_CLASS(NewsViewController)
LV_SCREEN_CLASS(MarketViewController)
LV_SCREEN_CLASS(MediaViewController)
LV_SCREEN_CLASS(AboutUsViewController)
LV_SCREEN_CLASS(LiveViewController)

#undef LV_SCREEN_CLASS

void TopMusicViewController::share(std::string text, Bytes imageJPEG) {
    shareText_ = std::move(text);
    shareImage_ = std::move(imageJPEG);
    if (MicroblogByName::isLoggedIn()) return openShareScreen();
    MicroblogByName::setDelegate(std::dynamic_pointer_cast<MicroblogResponseDelegate>(shared_from_this()));
    MicroblogByName::authorize();
}

void TopMusicViewController::didReceiveMicroblogResponse(const Ref<Object>& /*response*/) {
    MicroblogByName::setDelegate(nullptr);
    openShareScreen();
}

void TopMusicViewController::openShareScreen() {
    shareScreen_ = MicroblogByName::makeShareScreen(shareText_, shareImage_);
    if (shareScreen_) shareScreen_->view();  // shown: its load renews an expired login
}

void AboutUsViewController::viewDidLoad() {
    loginButtonTitle_ = MicroblogByName::isLoggedIn() ? kLoggedInTitle : kLoginTitle;
}

void AboutUsViewController::login() {
    MicroblogByName::setDelegate(std::dynamic_pointer_cast<MicroblogResponseDelegate>(shared_from_this()));
    MicroblogByName::authorize();
}

void AboutUsViewController::didReceiveMicroblogResponse(const Ref<Object>& /*response*/) {
    MicroblogByName::setDelegate(nullptr);
    loginButtonTitle_ = kLoggedInTitle;
}

}  // namespace lv
