#include "platform/ui/alert_view.h"

#include "platform/base/log.h"
#include "platform/ui/application.h"

namespace lv {

AlertView::AlertView(std::string title, std::string message, Weak<AlertViewDelegate> delegate,
                     std::string cancelButtonTitle, std::vector<std::string> otherButtonTitles)
    : title_(std::move(title)),
      message_(std::move(message)),
      delegate_(std::move(delegate)),
      hasCancel_(!cancelButtonTitle.empty()) {
    if (hasCancel_) buttons_.push_back(std::move(cancelButtonTitle));
    for (auto& other : otherButtonTitles) buttons_.push_back(std::move(other));
}

std::string AlertView::buttonTitleAtIndex(int index) const {
    if (index < 0 || index >= numberOfButtons()) return {};
    return buttons_[static_cast<std::size_t>(index)];
}

void AlertView::show() {
    if (visible_) return;
    visible_ = true;
    std::string buttons;
    for (const auto& b : buttons_) {
        if (!buttons.empty()) buttons += ", ";
        buttons += b;
    }
    log("Alert \"%@\": %@ [%@]", title_, message_, buttons);
    Application::sharedApplication()->alertShown(std::static_pointer_cast<AlertView>(shared_from_this()));
}

void AlertView::dismissWithClickedButtonIndex(int /*buttonIndex*/) { visible_ = false; }

bool AlertView::tapButton(int buttonIndex) {
    if (!visible_ || buttonIndex < 0 || buttonIndex >= numberOfButtons()) return false;
    // Keep the alert alive through the delegate's call, which may drop its last other owner.
    const Ref<AlertView> self = std::static_pointer_cast<AlertView>(shared_from_this());
    if (const Ref<AlertViewDelegate> d = delegate_.lock()) d->alertViewClickedButtonAtIndex(*this, buttonIndex);
    dismissWithClickedButtonIndex(buttonIndex);
    return true;
}

}  // namespace lv
