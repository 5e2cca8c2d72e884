// The share screen: posts a line of text with a picture (the chart's screenshot) to Microblog through
// the shared MicroblogHelper. On load it renews an expired token. Headless, its toasts are recorded
// (and logged) and closing marks it closed.
//
// Threads: main thread only.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/view_controller.h"
#include "screens/microblog_response_delegate.h"

namespace lv {

class ShareMusicViewController : public ViewController, public MicroblogResponseDelegate {
public:
    static constexpr const char* kPostedToast = "微博发布成功！";
    static constexpr const char* kFailedToast = "微博发布失败，请退出后重新授权";
    static constexpr double kCloseDelaySeconds = 0.6;

    ShareMusicViewController(std::string text, Bytes imageJPEG);
    // Registered as "ShareMusicViewController"; the class hook "shareScreenWithText:imageData:" makes
    // one for the screens below this layer.
    static const ClassInfo* runtimeClass();

    // Calls autoRenewToken when the login has expired.
    void viewDidLoad() override;
    // The share button: becomes the helper's delegate, then posts when logged in, else authorises.
    void share();

    // The login is stored: post the text and picture.
    void didReceiveMicroblogResponse(const Ref<Object>& response) override;
    // nil: the success toast, closed after 0.6 s; an error: a new authorisation when the login has
    // expired, else the failure toast.
    void didSendMicroblogPost(const Ref<Error>& error) override;
    bool respondsToDidSendMicroblogPost() const override { return true; }

    const std::string& text() const { return text_; }
    const std::vector<std::string>& toasts() const { return toasts_; }
    bool isClosed() const { return closed_; }

private:
    std::shared_ptr<MicroblogResponseDelegate> self();
    void toast(std::string message);

    std::string text_;
    Bytes image_;
    std::vector<std::string> toasts_;
    bool closed_ = false;
};

}  // namespace lv
