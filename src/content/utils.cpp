#include "content/utils.h"

#include <cmath>
#include <vector>

namespace lv {

const Ref<Utils>& Utils::sharedUtils() {
    static const Ref<Utils>& shared = *new Ref<Utils>(makeRef<Utils>());  // never destroyed
    return shared;
}

void Utils::fillParentConstraintsFrom(const Ref<View>& view, const Ref<View>& parent) const {
    fillParentConstraintsFrom(view, parent, nullptr);
}

void Utils::fillParentConstraintsFrom(const Ref<View>& view, const Ref<View>& parent, const Padding* padding) const {
    if (!view || !parent) return;
    if (view->superview()) view->removeFromSuperview();
    const Padding pairs = padding ? *padding : Padding{};
    view->setTranslatesAutoresizingMaskIntoConstraints(false);
    parent->addSubview(view);

    auto equal = [](const Ref<View>& first, LayoutAttribute attribute, const Ref<View>& second,
                    const ConstraintPair& pair) {
        return LayoutConstraint::constraintWithItem(first, attribute, LayoutRelation::Equal, second, attribute,
                                                    static_cast<double>(pair.multiplier),
                                                    static_cast<double>(pair.constant));
    };
    parent->addConstraint(equal(view, LayoutAttribute::Top, parent, pairs[0]));
    parent->addConstraint(equal(parent, LayoutAttribute::Leading, view, pairs[1]));
    parent->addConstraint(equal(parent, LayoutAttribute::Bottom, view, pairs[2]));
    parent->addConstraint(equal(parent, LayoutAttribute::Trailing, view, pairs[3]));
    parent->layoutIfNeeded();
}

void Utils::setConstraintsForSubview(const Ref<View>& view, const Rect& subviewFrame, const Rect& superViewFrame) const {
    if (!view) return;
    Ref<View> container = view->superview();
    if (!container) return;  // no container to hold the constraints

    const double x = subviewFrame.x(), y = subviewFrame.y();
    const double w = subviewFrame.width(), h = subviewFrame.height();
    const double W = superViewFrame.width(), H = superViewFrame.height();
    if (H == 0 || W == 0 || y + h == 0 || x + w == 0) return;  // no proportion to keep
    const double topRatio = y / H;
    const double bottomRatio = H / (y + h);
    const double leadingRatio = x / W;
    const double trailingRatio = W / (x + w);
    for (double ratio : {topRatio, bottomRatio, leadingRatio, trailingRatio}) {
        if (!std::isfinite(ratio)) return;
    }

    view->setTranslatesAutoresizingMaskIntoConstraints(false);
    if (view->subviews().empty()) view->removeConstraints(std::vector(view->constraints()));
    std::vector<Ref<LayoutConstraint>> stale;
    for (const Ref<LayoutConstraint>& constraint : container->constraints()) {
        if (constraint->involves(*view)) stale.push_back(constraint);
    }
    container->removeConstraints(stale);

    auto make = [](const Ref<View>& first, LayoutAttribute firstAttribute, const Ref<View>& second,
                   LayoutAttribute secondAttribute, double multiplier) {
        return LayoutConstraint::constraintWithItem(first, firstAttribute, LayoutRelation::Equal, second,
                                                    secondAttribute, multiplier, 0.0);
    };
    // A location proportional to 0 is the container's own edge (a zero multiplier on a location is no
    // valid constraint).
    container->addConstraint(topRatio == 0 ? make(view, LayoutAttribute::Top, container, LayoutAttribute::Top, 1.0)
                                           : make(view, LayoutAttribute::Top, container, LayoutAttribute::Bottom, topRatio));
    container->addConstraint(make(container, LayoutAttribute::Bottom, view, LayoutAttribute::Bottom, bottomRatio));
    container->addConstraint(leadingRatio == 0
                                 ? make(view, LayoutAttribute::Leading, container, LayoutAttribute::Leading, 1.0)
                                 : make(view, LayoutAttribute::Leading, container, LayoutAttribute::Trailing, leadingRatio));
    container->addConstraint(make(container, LayoutAttribute::Trailing, view, LayoutAttribute::Trailing, trailingRatio));
    container->layoutIfNeeded();
}

}  // namespace lv
