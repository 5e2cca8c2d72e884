// Alerts, headless: showing one records it with the application (its alert list and the visible
// alerts, front-most last) and logs one line; a button is "tapped" through the application's
// tapAlertButton (the control channel's "tap-alert <n>"), which tells the delegate and dismisses the
// alert.
//
// Log line on show: Alert "<title>": <message> [<button>, <button>, …] (cancel button first).
//
// Threads: main thread only.
#pragma once

#include <string>
#include <vector>

#include "platform/base/object.h"

namespace lv {

class AlertView;

class AlertViewDelegate {
public:
    virtual ~AlertViewDelegate() = default;
    // alertView:clickedButtonAtIndex:
    virtual void alertViewClickedButtonAtIndex(AlertView& /*alert*/, int /*buttonIndex*/) {}
};

class AlertView : public Object {
public:
    // initWithTitle:message:delegate:cancelButtonTitle:otherButtonTitles: — an empty cancel title means
    // no cancel button. The delegate is held weakly.
    AlertView(std::string title, std::string message, Weak<AlertViewDelegate> delegate, std::string cancelButtonTitle,
              std::vector<std::string> otherButtonTitles = {});
    static Ref<AlertView> make(std::string title, std::string message, Weak<AlertViewDelegate> delegate,
                               std::string cancelButtonTitle, std::vector<std::string> otherButtonTitles = {}) {
        return makeRef<AlertView>(std::move(title), std::move(message), std::move(delegate),
                                  std::move(cancelButtonTitle), std::move(otherButtonTitles));
    }

    const std::string& title() const { return title_; }
    const std::string& message() const { return message_; }
    Ref<AlertViewDelegate> delegate() const { return delegate_.lock(); }
    // The cancel button (when there is one) is button 0; the others follow in order.
    int numberOfButtons() const { return static_cast<int>(buttons_.size()); }
    // -1 when there is no cancel button.
    int cancelButtonIndex() const { return hasCancel_ ? 0 : -1; }
    // Empty for an index out of range.
    std::string buttonTitleAtIndex(int index) const;
    const std::vector<std::string>& buttonTitles() const { return buttons_; }

    void show();
    bool isVisible() const { return visible_; }
    // Hides the alert (without telling the delegate).
    void dismissWithClickedButtonIndex(int buttonIndex);
    // Taps a button: tells the delegate, then dismisses. False (nothing happens) when the alert is not
    // visible or the index is out of range.
    bool tapButton(int buttonIndex);

private:
    std::string title_;
    std::string message_;
    Weak<AlertViewDelegate> delegate_;
    bool hasCancel_;
    std::vector<std::string> buttons_;
    bool visible_ = false;
};

}  // namespace lv
