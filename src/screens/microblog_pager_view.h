// The Microblog feed page, as far as choosing a post goes: the chosen post's link (built by the
// Microblog coordinator from its idstr) opens in the page's web view, after a login when there is none.
//
// Threads: main thread only.
#pragma once

#include <string>

#include "platform/ui/web_view.h"
#include "screens/microblog_response_delegate.h"

namespace lv {

class ClassInfo;

class MicroblogPagerView : public View, public MicroblogResponseDelegate {
public:
    MicroblogPagerView();
    static const ClassInfo* runtimeClass();

    // A post chosen by its idstr: when logged in, opens its link; otherwise becomes the coordinator's
    // delegate and starts a login, which then opens it.
    void openPost(std::string idstr);
    // The login is stored: clears the delegate and opens the chosen post's link.
    void didReceiveMicroblogResponse(const Ref<Object>& response) override;
    // The web view of the post link opened last, or null.
    const Ref<WebView>& postView() const { return postView_; }

private:
    void openPostLink();

    std::string chosenPost_;
    Ref<WebView> postView_;
};

}  // namespace lv
