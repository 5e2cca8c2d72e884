#include "screens/microblog_by_name.h"

#include "platform/base/log.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/view_controller.h"

namespace lv {

namespace {

constexpr const char* kHelperClass = "MicroblogHelper";

template <class Sig>
const std::function<Sig>* instanceHookOf(const Ref<Object>& object, const char* name) {
    const std::function<Sig>* hook = object ? classOf(*object)->findInstanceHook<Sig>(name) : nullptr;
    if (!hook && object) logLine(std::string("Screens: no ") + name + " on " + object->className());
    return hook;
}

template <class Sig>
const std::function<Sig>* classHookOf(const char* className, const char* name) {
    const ClassInfo* cls = classNamed(className);
    const std::function<Sig>* hook = cls ? cls->findClassHook<Sig>(name) : nullptr;
    if (!hook) logLine(std::string("Screens: no ") + className + " " + name);
    return hook;
}

}  // namespace

Ref<Object> MicroblogByName::sharedHelper() {
    const auto* shared = classHookOf<Ref<Object>()>(kHelperClass, "sharedMicroblogHelper");
    return shared ? (*shared)() : nullptr;
}

bool MicroblogByName::isLoggedIn() {
    const auto* preferences = classHookOf<Ref<Object>()>(kHelperClass, "preferences");
    Ref<Object> settings = preferences ? (*preferences)() : nullptr;
    const auto* isLoggin = instanceHookOf<bool(Object&)>(settings, "isLoggin");
    return isLoggin && (*isLoggin)(*settings);
}

void MicroblogByName::setDelegate(std::shared_ptr<MicroblogResponseDelegate> delegate) {
    Ref<Object> helper = sharedHelper();
    if (const auto* set = instanceHookOf<void(Object&, std::shared_ptr<MicroblogResponseDelegate>)>(helper, "setWbDelegate:")) {
        (*set)(*helper, std::move(delegate));
    }
}

void MicroblogByName::authorize() {
    Ref<Object> helper = sharedHelper();
    if (const auto* start = instanceHookOf<void(Object&)>(helper, "MBLAuthorize")) (*start)(*helper);
}

std::string MicroblogByName::postLink(const std::string& postID) {
    Ref<Object> helper = sharedHelper();
    const auto* link = instanceHookOf<std::string(Object&, const std::string&)>(helper, "generateMBLContentURL:");
    return link ? (*link)(*helper, postID) : std::string();
}

Ref<ViewController> MicroblogByName::makeShareScreen(const std::string& text, const Bytes& imageJPEG) {
    const auto* make =
        classHookOf<Ref<Object>(const std::string&, const Bytes&)>("ShareMusicViewController", "shareScreenWithText:imageData:");
    return make ? std::dynamic_pointer_cast<ViewController>((*make)(text, imageJPEG)) : nullptr;
}

}  // namespace lv
