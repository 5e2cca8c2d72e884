#include "widgets/tab_bar_controller.h"

#include "platform/runtime/runtime.h"
#include "platform/ui/device.h"

namespace lv {

namespace {
constexpr double kTabBarHeight = 49;
}

TCTabBarController::TCTabBarController() {
    runtimeClass();
    const Rect screen = Screen::mainScreen()->bounds();
    tabBar_ = TCTabBar::make(Rect(0, screen.height() - kTabBarHeight, screen.width(), kTabBarHeight));
}

const ClassInfo* TCTabBarController::runtimeClass() {
    static const ClassInfo* cls = (ViewController::runtimeClass(),
                                   ClassDef<TCTabBarController>("TCTabBarController")
                                       .superclass<ViewController>()
                                       .factory()
                                       .registerClass());
    return cls;
}

void TCTabBarController::setViewControllers(const std::vector<Ref<ViewController>>& controllers) {
    for (const auto& old : viewControllers_) {
        if (old->isViewLoaded()) old->view()->removeFromSuperview();
        if (old->parentViewController().get() == this) old->removeFromParentViewController();
    }
    viewControllers_ = controllers;
    std::vector<Ref<TCTabBarItem>> items;
    for (const auto& controller : viewControllers_) {
        auto item = TCTabBarItem::make();
        item->setTitle(controller->title());
        items.push_back(std::move(item));
        addChildViewController(controller);
    }
    tabBar_->setItems(std::move(items));
}

Ref<TCTabBarController> tcTabBarController(const ViewController& controller) {
    return std::dynamic_pointer_cast<TCTabBarController>(controller.parentViewController());
}

}  // namespace lv
