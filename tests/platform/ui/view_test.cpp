#include <gtest/gtest.h>

#include "platform/ui/layout_constraint.h"
#include "platform/ui/view.h"

namespace lv {
namespace {

Ref<LayoutConstraint> pin(const Ref<View>& a, LayoutAttribute attr, const Ref<View>& b) {
    return LayoutConstraint::constraintWithItem(a, attr, LayoutRelation::Equal, b, attr, 1.0, 0.0);
}

TEST(ViewTree, AddSubviewSetsSuperviewAndOrder) {
    Ref<View> parent = View::make(Rect(0, 0, 320, 480));
    Ref<View> a = View::make();
    Ref<View> b = View::make();
    parent->addSubview(a);
    parent->addSubview(b);
    EXPECT_EQ(a->superview(), parent);
    ASSERT_EQ(parent->subviews().size(), 2u);
    EXPECT_EQ(parent->subviews()[0], a);
    EXPECT_EQ(parent->subviews()[1], b);
    // Adding again brings it to the front without duplicating it.
    parent->addSubview(a);
    ASSERT_EQ(parent->subviews().size(), 2u);
    EXPECT_EQ(parent->subviews()[1], a);
}

TEST(ViewTree, AddingToAnotherParentMovesTheView) {
    Ref<View> first = View::make();
    Ref<View> second = View::make();
    Ref<View> child = View::make();
    first->addSubview(child);
    second->addSubview(child);
    EXPECT_TRUE(first->subviews().empty());
    EXPECT_EQ(child->superview(), second);
}

TEST(ViewTree, CyclesAreRefused) {
    Ref<View> top = View::make();
    Ref<View> middle = View::make();
    Ref<View> leaf = View::make();
    top->addSubview(middle);
    middle->addSubview(leaf);
    leaf->addSubview(top);   // an ancestor
    leaf->addSubview(leaf);  // itself
    EXPECT_TRUE(leaf->subviews().empty());
    EXPECT_EQ(top->superview(), nullptr);
    EXPECT_TRUE(leaf->isDescendantOfView(*top));
    EXPECT_TRUE(leaf->isDescendantOfView(*leaf));
    EXPECT_FALSE(top->isDescendantOfView(*leaf));
}

TEST(ViewTree, RemovingDropsConstraintsOfAncestorsThatReferToTheSubtree) {
    Ref<View> top = View::make();
    Ref<View> middle = View::make();
    Ref<View> leaf = View::make();
    Ref<View> sibling = View::make();
    top->addSubview(middle);
    top->addSubview(sibling);
    middle->addSubview(leaf);
    Ref<LayoutConstraint> leafInTop = pin(leaf, LayoutAttribute::Top, top);
    Ref<LayoutConstraint> siblingInTop = pin(sibling, LayoutAttribute::Top, top);
    Ref<LayoutConstraint> leafInMiddle = pin(middle, LayoutAttribute::Leading, leaf);
    top->addConstraints({leafInTop, siblingInTop});
    middle->addConstraint(leafInMiddle);

    middle->removeFromSuperview();
    // top loses the constraint that names a view inside the removed subtree, keeps the other one;
    // middle is not an ancestor of itself, so it keeps its own.
    ASSERT_EQ(top->constraints().size(), 1u);
    EXPECT_EQ(top->constraints()[0], siblingInTop);
    EXPECT_EQ(middle->constraints().size(), 1u);
    EXPECT_EQ(middle->superview(), nullptr);
    EXPECT_EQ(leaf->superview(), middle);
}

TEST(ViewTree, SubviewsOutliveADeadParentAtTheTop) {
    Ref<View> child = View::make();
    {
        Ref<View> parent = View::make();
        parent->addSubview(child);
    }
    EXPECT_EQ(child->superview(), nullptr);
}

TEST(Constraints, StoredInOrderAndQueryable) {
    Ref<View> parent = View::make();
    Ref<View> child = View::make();
    parent->addSubview(child);
    Ref<LayoutConstraint> c = LayoutConstraint::constraintWithItem(child, LayoutAttribute::Top, LayoutRelation::Equal,
                                                                   parent, LayoutAttribute::Bottom, 0.5, 4.0);
    parent->addConstraint(c);
    parent->addConstraint(c);  // held already
    ASSERT_EQ(parent->constraints().size(), 1u);
    EXPECT_TRUE(c->involves(*child));
    EXPECT_TRUE(c->involves(*parent));
    EXPECT_FALSE(c->involves(*View::make()));
    EXPECT_NE(c->description().find(".top == View:"), std::string::npos) << c->description();
    EXPECT_NE(c->description().find(".bottom * 0.5 + 4>"), std::string::npos) << c->description();

    parent->removeConstraint(pin(child, LayoutAttribute::Top, parent));  // not held: nothing
    EXPECT_EQ(parent->constraints().size(), 1u);
    parent->removeConstraints({c});
    EXPECT_TRUE(parent->constraints().empty());
}

TEST(Constraints, ItemsAreHeldWeakly) {
    Ref<View> parent = View::make();
    Ref<LayoutConstraint> c;
    {
        Ref<View> child = View::make();
        c = pin(child, LayoutAttribute::Top, parent);
        parent->addConstraint(c);
    }
    EXPECT_EQ(c->firstItem(), nullptr);
    EXPECT_EQ(c->secondItem(), parent);
}

TEST(Layout, LayoutIfNeededClearsTheMarkDownTheTree) {
    Ref<View> parent = View::make();
    Ref<View> child = View::make();
    parent->addSubview(child);
    parent->addConstraint(pin(child, LayoutAttribute::Top, parent));
    EXPECT_TRUE(parent->needsLayout());
    child->setNeedsLayout();
    parent->layoutIfNeeded();
    EXPECT_FALSE(parent->needsLayout());
    EXPECT_FALSE(child->needsLayout());
    EXPECT_EQ(parent->layoutPassCount(), 1u);
    EXPECT_EQ(child->layoutPassCount(), 1u);
}

}  // namespace
}  // namespace lv
