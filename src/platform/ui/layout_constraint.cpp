#include "platform/ui/layout_constraint.h"

#include "platform/base/format.h"
#include "platform/ui/view.h"

namespace lv {

LayoutConstraint::LayoutConstraint(const Ref<View>& firstItem, LayoutAttribute firstAttribute, LayoutRelation relation,
                                   const Ref<View>& secondItem, LayoutAttribute secondAttribute, double multiplier,
                                   double constant)
    : first_(firstItem),
      second_(secondItem),
      firstAttribute_(firstAttribute),
      secondAttribute_(secondAttribute),
      relation_(relation),
      multiplier_(multiplier),
      constant_(constant) {}

Ref<LayoutConstraint> LayoutConstraint::constraintWithItem(const Ref<View>& firstItem, LayoutAttribute firstAttribute,
                                                           LayoutRelation relation, const Ref<View>& secondItem,
                                                           LayoutAttribute secondAttribute, double multiplier,
                                                           double constant) {
    return makeRef<LayoutConstraint>(firstItem, firstAttribute, relation, secondItem, secondAttribute, multiplier,
                                     constant);
}

bool LayoutConstraint::involves(const View& view) const {
    return firstItem().get() == &view || secondItem().get() == &view;
}

std::string layoutAttributeName(LayoutAttribute attribute) {
    switch (attribute) {
        case LayoutAttribute::NotAnAttribute: return "notAnAttribute";
        case LayoutAttribute::Left: return "left";
        case LayoutAttribute::Right: return "right";
        case LayoutAttribute::Top: return "top";
        case LayoutAttribute::Bottom: return "bottom";
        case LayoutAttribute::Leading: return "leading";
        case LayoutAttribute::Trailing: return "trailing";
        case LayoutAttribute::Width: return "width";
        case LayoutAttribute::Height: return "height";
        case LayoutAttribute::CenterX: return "centerX";
        case LayoutAttribute::CenterY: return "centerY";
        case LayoutAttribute::LastBaseline: return "lastBaseline";
        case LayoutAttribute::FirstBaseline: return "firstBaseline";
    }
    return format("%d", static_cast<int>(attribute));
}

namespace {

std::string itemText(const Ref<View>& view, LayoutAttribute attribute) {
    if (!view) return "nil";
    return format("%@:%p.%@", view->className(), static_cast<const void*>(view.get()), layoutAttributeName(attribute));
}

const char* relationText(LayoutRelation relation) {
    switch (relation) {
        case LayoutRelation::LessThanOrEqual: return "<=";
        case LayoutRelation::Equal: return "==";
        case LayoutRelation::GreaterThanOrEqual: return ">=";
    }
    return "?";
}

}  // namespace

std::string LayoutConstraint::description() const {
    return format("<%@: %p %@ %s %@ * %g + %g>", className(), static_cast<const void*>(this),
                  itemText(firstItem(), firstAttribute_), relationText(relation_), itemText(secondItem(), secondAttribute_),
                  multiplier_, constant_);
}

}  // namespace lv
