#include "platform/ui/view.h"

#include <algorithm>

namespace lv {

View::~View() {
    // The subviews outlive their superview only when someone else holds them; they are at the top then.
    for (const Ref<View>& subview : subviews_) subview->superview_.reset();
}

bool View::isDescendantOfView(const View& view) const {
    if (this == &view) return true;
    for (Ref<View> v = superview(); v; v = v->superview()) {
        if (v.get() == &view) return true;
    }
    return false;
}

void View::addSubview(const Ref<View>& view) {
    if (!view || isDescendantOfView(*view)) return;  // itself or an ancestor: a cycle
    Ref<View> current = view->superview();
    if (current.get() == this) {
        // Already here: move to the front.
        auto it = std::find(subviews_.begin(), subviews_.end(), view);
        if (it != subviews_.end()) {
            subviews_.erase(it);
            subviews_.push_back(view);
        }
        return;
    }
    if (current) view->removeFromSuperview();
    subviews_.push_back(view);
    view->superview_ = std::static_pointer_cast<View>(shared_from_this());
}

void View::removeFromSuperview() {
    Ref<View> parent = superview();
    if (!parent) return;
    Ref<View> self = std::static_pointer_cast<View>(shared_from_this());  // kept alive while it is taken out
    for (Ref<View> ancestor = parent; ancestor; ancestor = ancestor->superview()) ancestor->dropConstraintsInvolving(*this);
    auto it = std::find(parent->subviews_.begin(), parent->subviews_.end(), self);
    if (it != parent->subviews_.end()) parent->subviews_.erase(it);
    superview_.reset();
}

void View::dropConstraintsInvolving(const View& removed) {
    std::erase_if(constraints_, [&removed](const Ref<LayoutConstraint>& constraint) {
        for (const Ref<View>& item : {constraint->firstItem(), constraint->secondItem()}) {
            if (item && item->isDescendantOfView(removed)) return true;
        }
        return false;
    });
}

void View::addConstraint(const Ref<LayoutConstraint>& constraint) {
    if (!constraint) return;
    if (std::find(constraints_.begin(), constraints_.end(), constraint) != constraints_.end()) return;
    constraints_.push_back(constraint);
    needsLayout_ = true;
}

void View::addConstraints(const std::vector<Ref<LayoutConstraint>>& constraints) {
    for (const auto& constraint : constraints) addConstraint(constraint);
}

void View::removeConstraint(const Ref<LayoutConstraint>& constraint) {
    auto it = std::find(constraints_.begin(), constraints_.end(), constraint);
    if (it == constraints_.end()) return;
    constraints_.erase(it);
    needsLayout_ = true;
}

void View::removeConstraints(const std::vector<Ref<LayoutConstraint>>& constraints) {
    for (const auto& constraint : constraints) removeConstraint(constraint);
}

void View::layoutIfNeeded() {
    needsLayout_ = false;
    ++layoutPasses_;
    for (const Ref<View>& subview : subviews_) subview->layoutIfNeeded();
}

}  // namespace lv
