#include "platform/ui/view_controller.h"

#include <algorithm>

#include "platform/runtime/runtime.h"
#include "platform/ui/device.h"

namespace lv {

ViewController::ViewController(std::string nibName, Ref<Bundle> bundle)
    : nibName_(std::move(nibName)), nibBundle_(bundle ? std::move(bundle) : Bundle::mainBundle()) {
    runtimeClass();
}

ViewController::~ViewController() = default;

const ClassInfo* ViewController::runtimeClass() {
    static const ClassInfo* cls = ClassDef<ViewController>("ViewController").factory().registerClass();
    return cls;
}

const Ref<View>& ViewController::view() {
    if (!view_) {
        loadView();
        if (!view_) view_ = View::make(Screen::mainScreen()->bounds());
        viewDidLoad();
    }
    return view_;
}

void ViewController::loadView() { view_ = View::make(Screen::mainScreen()->bounds()); }

void ViewController::addChildViewController(const Ref<ViewController>& child) {
    if (!child || child.get() == this) return;
    child->removeFromParentViewController();
    children_.push_back(child);
    child->parent_ = std::static_pointer_cast<ViewController>(shared_from_this());
}

void ViewController::removeFromParentViewController() {
    const Ref<ViewController> parent = parent_.lock();
    parent_.reset();
    if (!parent) return;
    auto& siblings = parent->children_;
    siblings.erase(std::remove_if(siblings.begin(), siblings.end(), [this](const auto& c) { return c.get() == this; }),
                   siblings.end());
}

}  // namespace lv
