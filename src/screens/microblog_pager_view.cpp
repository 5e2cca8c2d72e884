#include "screens/microblog_pager_view.h"

#include "platform/base/log.h"
#include "platform/runtime/runtime.h"
#include "screens/microblog_by_name.h"

namespace lv {

MicroblogPagerView::MicroblogPagerView() { runtimeClass(); }

const ClassInfo* MicroblogPagerView::runtimeClass() {
    static const ClassInfo* cls = ClassDef<MicroblogPagerView>("MicroblogPagerView").registerClass();
    return cls;
}

void MicroblogPagerView::openPost(std::string idstr) {
    chosenPost_ = std::move(idstr);
    if (MicroblogByName::isLoggedIn()) return openPostLink();
    MicroblogByName::setDelegate(std::dynamic_pointer_cast<MicroblogResponseDelegate>(shared_from_this()));
    MicroblogByName::authorize();
}

void MicroblogPagerView::didReceiveMicroblogResponse(const Ref<Object>& /*response*/) {
    MicroblogByName::setDelegate(nullptr);
    openPostLink();
}

void MicroblogPagerView::openPostLink() {
    Ref<URL> link = URL::URLWithString(MicroblogByName::postLink(chosenPost_));
    if (!link) {
        logLine("MicroblogPagerView: no link for post " + chosenPost_);
        return;
    }
    if (!postView_) postView_ = WebView::make(bounds());
    postView_->loadRequest(URLRequest(link));
}

}  // namespace lv
