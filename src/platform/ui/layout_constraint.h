// Layout constraints as records: "first.attribute relation second.attribute × multiplier + constant".
// Views keep the constraints added to them and answer them back; there is no layout engine, so a
// constraint never moves a view.
#pragma once

#include <string>

#include "platform/base/object.h"

namespace lv {

class View;

// Attribute numbers as the platform numbers them.
enum class LayoutAttribute : int {
    NotAnAttribute = 0,
    Left = 1,
    Right = 2,
    Top = 3,
    Bottom = 4,
    Leading = 5,
    Trailing = 6,
    Width = 7,
    Height = 8,
    CenterX = 9,
    CenterY = 10,
    LastBaseline = 11,
    FirstBaseline = 12,
};

enum class LayoutRelation : int {
    LessThanOrEqual = -1,
    Equal = 0,
    GreaterThanOrEqual = 1,
};

// The priority of a required constraint.
inline constexpr float kLayoutPriorityRequired = 1000;

class LayoutConstraint : public Object {
public:
    LayoutConstraint(const Ref<View>& firstItem, LayoutAttribute firstAttribute, LayoutRelation relation,
                     const Ref<View>& secondItem, LayoutAttribute secondAttribute, double multiplier, double constant);

    // first.firstAttribute relation second.secondAttribute × multiplier + constant. The second item
    // may be null (with NotAnAttribute) for a constant size.
    static Ref<LayoutConstraint> constraintWithItem(const Ref<View>& firstItem, LayoutAttribute firstAttribute,
                                                    LayoutRelation relation, const Ref<View>& secondItem,
                                                    LayoutAttribute secondAttribute, double multiplier,
                                                    double constant);

    // The items are held weakly (a view holds its constraints; a constraint must not keep the views
    // alive): null once the view is gone.
    Ref<View> firstItem() const { return first_.lock(); }
    Ref<View> secondItem() const { return second_.lock(); }
    // True when the view is the first or the second item.
    bool involves(const View& view) const;

    LayoutAttribute firstAttribute() const { return firstAttribute_; }
    LayoutAttribute secondAttribute() const { return secondAttribute_; }
    LayoutRelation relation() const { return relation_; }
    double multiplier() const { return multiplier_; }
    double constant() const { return constant_; }
    void setConstant(double constant) { constant_ = constant; }
    float priority() const { return priority_; }
    void setPriority(float priority) { priority_ = priority; }

    // "<LayoutConstraint: 0x… View:0x….top == View:0x….top * 1 + 0>".
    std::string description() const override;

private:
    Weak<View> first_;
    Weak<View> second_;
    LayoutAttribute firstAttribute_;
    LayoutAttribute secondAttribute_;
    LayoutRelation relation_;
    double multiplier_;
    double constant_;
    float priority_ = kLayoutPriorityRequired;
};

// "top", "leading", … ("notAnAttribute" for 0).
std::string layoutAttributeName(LayoutAttribute attribute);

}  // namespace lv
