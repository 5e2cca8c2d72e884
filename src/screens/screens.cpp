#include "screens/screens.h"

#include "platform/runtime/runtime.h"

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

// The login was stored by the coordinator; the share screen it leads to is not built yet, so there is
// nothing further to continue here.
void TopMusicViewController::didReceiveMicroblogResponse(const Ref<Object>& /*response*/) {}

// The login was stored by the coordinator; the screen has no login button to retitle yet.
void AboutUsViewController::didReceiveMicroblogResponse(const Ref<Object>& /*response*/) {}

}  // namespace lv
