#include "platform/ui/window.h"

#include "platform/ui/application.h"

namespace lv {

Window::Window(const Rect& frame) : View(frame) { setHidden(true); }

void Window::setRootViewController(Ref<ViewController> controller) {
    if (controller == rootViewController_) return;
    if (rootViewController_ && rootViewController_->isViewLoaded() &&
        rootViewController_->view()->superview().get() == this) {
        rootViewController_->view()->removeFromSuperview();
    }
    rootViewController_ = std::move(controller);
    if (rootViewController_) {
        const Ref<View>& content = rootViewController_->view();
        content->setFrame(bounds());
        addSubview(content);
    }
}

void Window::makeKeyAndVisible() {
    setHidden(false);
    Application::sharedApplication()->setKeyWindow(std::static_pointer_cast<Window>(shared_from_this()));
}

bool Window::isKeyWindow() const { return Application::sharedApplication()->keyWindow().get() == this; }

}  // namespace lv
