#include "content/share_music_view_controller.h"

#include "content/microblog_helper.h"
#include "platform/base/log.h"
#include "platform/dispatch/queue.h"
#include "platform/runtime/runtime.h"

namespace lv {

ShareMusicViewController::ShareMusicViewController(std::string text, Bytes imageJPEG)
    : ViewController("ShareMusicViewController", nullptr), text_(std::move(text)), image_(std::move(imageJPEG)) {
    runtimeClass();
}

const ClassInfo* ShareMusicViewController::runtimeClass() {
    static const ClassInfo* cls = [] {
        ViewController::runtimeClass();
        return ClassDef<ShareMusicViewController>("ShareMusicViewController")
            .superclass<ViewController>()
            .classHook<Ref<Object>(const std::string&, const Bytes&)>(
                "shareScreenWithText:imageData:",
                [](const std::string& text, const Bytes& imageJPEG) {
                    return std::static_pointer_cast<Object>(makeRef<ShareMusicViewController>(text, imageJPEG));
                })
            .registerClass();
    }();
    return cls;
}

std::shared_ptr<MicroblogResponseDelegate> ShareMusicViewController::self() {
    return std::static_pointer_cast<ShareMusicViewController>(shared_from_this());
}

void ShareMusicViewController::toast(std::string message) {
    logLine("Toast: " + message);
    toasts_.push_back(std::move(message));
}

void ShareMusicViewController::viewDidLoad() {
    const Ref<MicroblogHelper>& helper = MicroblogHelper::sharedMicroblogHelper();
    if (helper->isAuthorizeExpired()) helper->autoRenewToken();
}

void ShareMusicViewController::share() {
    const Ref<MicroblogHelper>& helper = MicroblogHelper::sharedMicroblogHelper();
    helper->setWbDelegate(self());
    Ref<LNPreferences> settings = MicroblogHelper::preferences();
    if (settings && settings->isLoggin()) {
        helper->sendTextContent(text_, image_);
    } else {
        helper->MBLAuthorize();
    }
}

void ShareMusicViewController::didReceiveMicroblogResponse(const Ref<Object>&) {
    MicroblogHelper::sharedMicroblogHelper()->sendTextContent(text_, image_);
}

void ShareMusicViewController::didSendMicroblogPost(const Ref<Error>& error) {
    const Ref<MicroblogHelper>& helper = MicroblogHelper::sharedMicroblogHelper();
    if (!error) {
        helper->setWbDelegate(nullptr);
        toast(kPostedToast);
        Weak<ShareMusicViewController> weakSelf = std::static_pointer_cast<ShareMusicViewController>(shared_from_this());
        Queue::main()->after(kCloseDelaySeconds, [weakSelf] {
            if (auto screen = weakSelf.lock()) screen->closed_ = true;
        });
        return;
    }
    if (helper->isAuthorizeExpired()) {
        // Still the delegate: the new login continues the post.
        helper->MBLAuthorize();
        return;
    }
    helper->setWbDelegate(nullptr);
    toast(kFailedToast);
}

}  // namespace lv
