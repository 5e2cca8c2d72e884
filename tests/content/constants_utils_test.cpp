#include <array>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "content/constants.h"
#include "content/utils.h"

namespace lv {
namespace {

TEST(Utils, SharedObjectAndNetworkFlagAcrossThreads) {
    const Ref<Utils>& shared = Utils::sharedUtils();
    EXPECT_EQ(shared, Utils::instance());
    shared->setIsNetworkRunning(false);
    std::vector<std::thread> threads;
    std::array<Utils*, 4> seen{};
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] {
            seen[i] = Utils::sharedUtils().get();
            if (i == 0) Utils::sharedUtils()->setIsNetworkRunning(true);
            (void)Utils::sharedUtils()->isNetworkRunning();
        });
    }
    for (auto& t : threads) t.join();
    for (Utils* u : seen) EXPECT_EQ(u, shared.get());
    EXPECT_TRUE(shared->isNetworkRunning());
    EXPECT_FALSE(Utils().isNetworkRunning());  // false until set
}

struct Expected {
    Ref<View> first;
    LayoutAttribute attribute;
    Ref<View> second;
    double multiplier;
    double constant;
};

void expectConstraints(const View& holder, const std::vector<Expected>& expected) {
    ASSERT_EQ(holder.constraints().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const LayoutConstraint& c = *holder.constraints()[i];
        EXPECT_EQ(c.firstItem(), expected[i].first);
        EXPECT_EQ(c.firstAttribute(), expected[i].attribute);
        EXPECT_EQ(c.relation(), LayoutRelation::Equal);
        EXPECT_EQ(c.secondItem(), expected[i].second);
        EXPECT_EQ(c.secondAttribute(), expected[i].attribute);
        EXPECT_EQ(c.multiplier(), expected[i].multiplier);
        EXPECT_EQ(c.constant(), expected[i].constant);
    }
}

TEST(FillParent, MovesTheViewAndPinsFourEdges) {
    Ref<View> oldParent = View::make();
    Ref<View> parent = View::make(Rect(0, 0, 320, 480));
    Ref<View> view = View::make();
    oldParent->addSubview(view);
    oldParent->addConstraint(LayoutConstraint::constraintWithItem(view, LayoutAttribute::Top, LayoutRelation::Equal,
                                                                  oldParent, LayoutAttribute::Top, 1, 0));

    Utils::sharedUtils()->fillParentConstraintsFrom(view, parent);

    EXPECT_EQ(view->superview(), parent);
    EXPECT_TRUE(oldParent->subviews().empty());
    EXPECT_TRUE(oldParent->constraints().empty());  // went with the view
    EXPECT_FALSE(view->translatesAutoresizingMaskIntoConstraints());
    // The item order differs per edge: the view first for the top, the parent first for the others.
    expectConstraints(*parent, {{view, LayoutAttribute::Top, parent, 1.0, 0.0},
                                {parent, LayoutAttribute::Leading, view, 1.0, 0.0},
                                {parent, LayoutAttribute::Bottom, view, 1.0, 0.0},
                                {parent, LayoutAttribute::Trailing, view, 1.0, 0.0}});
    EXPECT_EQ(parent->layoutPassCount(), 1u);
}

TEST(FillParent, PaddingPairsWidenedFromFloat) {
    Ref<View> parent = View::make();
    Ref<View> view = View::make();
    const Utils::Padding padding{{{1.0f, 8.0f}, {0.5f, 0.1f}, {2.0f, -4.0f}, {1.0f, 16.0f}}};
    Utils().fillParentConstraintsFrom(view, parent, &padding);
    expectConstraints(*parent, {{view, LayoutAttribute::Top, parent, 1.0, 8.0},
                                {parent, LayoutAttribute::Leading, view, 0.5, static_cast<double>(0.1f)},
                                {parent, LayoutAttribute::Bottom, view, 2.0, -4.0},
                                {parent, LayoutAttribute::Trailing, view, 1.0, 16.0}});
}

struct Placement {
    Ref<View> container = View::make(Rect(0, 0, 200, 400));
    Ref<View> view = View::make();
    Ref<View> other = View::make();
    Ref<LayoutConstraint> naming;
    Ref<LayoutConstraint> unrelated;
    Ref<LayoutConstraint> own;

    Placement() {
        container->addSubview(view);
        container->addSubview(other);
        naming = LayoutConstraint::constraintWithItem(other, LayoutAttribute::Top, LayoutRelation::Equal, view,
                                                      LayoutAttribute::Bottom, 1, 0);
        unrelated = LayoutConstraint::constraintWithItem(other, LayoutAttribute::Top, LayoutRelation::Equal, container,
                                                         LayoutAttribute::Top, 1, 0);
        own = LayoutConstraint::constraintWithItem(view, LayoutAttribute::Width, LayoutRelation::Equal, nullptr,
                                                   LayoutAttribute::NotAnAttribute, 1, 44);
        container->addConstraints({naming, unrelated});
        view->addConstraint(own);
    }
};

TEST(ProportionalPlacement, ReplacesTheViewsConstraintsWithFourProportions) {
    Placement p;
    Utils().setConstraintsForSubview(p.view, Rect(10, 20, 100, 50), Rect(0, 0, 200, 400));
    EXPECT_FALSE(p.view->translatesAutoresizingMaskIntoConstraints());
    EXPECT_TRUE(p.view->constraints().empty());  // a view without subviews loses its own
    const auto& list = p.container->constraints();
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0], p.unrelated);
    struct Row {
        Ref<View> first;
        LayoutAttribute firstAttribute;
        Ref<View> second;
        LayoutAttribute secondAttribute;
        double multiplier;
    };
    const Row rows[] = {
        {p.view, LayoutAttribute::Top, p.container, LayoutAttribute::Bottom, 20.0 / 400},
        {p.container, LayoutAttribute::Bottom, p.view, LayoutAttribute::Bottom, 400.0 / 70},
        {p.view, LayoutAttribute::Leading, p.container, LayoutAttribute::Trailing, 10.0 / 200},
        {p.container, LayoutAttribute::Trailing, p.view, LayoutAttribute::Trailing, 200.0 / 110},
    };
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const LayoutConstraint& c = *list[i + 1];
        EXPECT_EQ(c.firstItem(), rows[i].first);
        EXPECT_EQ(c.firstAttribute(), rows[i].firstAttribute);
        EXPECT_EQ(c.secondItem(), rows[i].second);
        EXPECT_EQ(c.secondAttribute(), rows[i].secondAttribute);
        EXPECT_DOUBLE_EQ(c.multiplier(), rows[i].multiplier);
        EXPECT_EQ(c.constant(), 0.0);
    }
    EXPECT_EQ(p.container->layoutPassCount(), 1u);
}

TEST(ProportionalPlacement, AViewWithSubviewsKeepsItsOwnConstraints) {
    Placement p;
    p.view->addSubview(View::make());
    Utils().setConstraintsForSubview(p.view, Rect(10, 20, 100, 50), Rect(0, 0, 200, 400));
    ASSERT_EQ(p.view->constraints().size(), 1u);
    EXPECT_EQ(p.view->constraints()[0], p.own);
}

TEST(ProportionalPlacement, ZeroOffsetsPinToTheContainersOwnEdges) {
    Placement p;
    Utils().setConstraintsForSubview(p.view, Rect(0, 0, 100, 50), Rect(0, 0, 200, 400));
    const auto& list = p.container->constraints();
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[1]->secondAttribute(), LayoutAttribute::Top);
    EXPECT_EQ(list[1]->multiplier(), 1.0);
    EXPECT_EQ(list[3]->firstAttribute(), LayoutAttribute::Leading);
    EXPECT_EQ(list[3]->secondAttribute(), LayoutAttribute::Leading);
    EXPECT_EQ(list[3]->multiplier(), 1.0);
}

// A zero frame used to divide by zero; it now leaves everything as it was.
TEST(ProportionalPlacement, ZeroFramesAndMissingContainerChangeNothing) {
    const Rect cases[][2] = {
        {Rect(), Rect()},
        {Rect(10, 20, 100, 50), Rect(0, 0, 0, 400)},
        {Rect(10, 20, 100, 50), Rect(0, 0, 200, 0)},
        {Rect(0, 0, 0, 50), Rect(0, 0, 200, 400)},
        {Rect(0, 0, 100, 0), Rect(0, 0, 200, 400)},
        {Rect(-50, 0, 50, 50), Rect(0, 0, 200, 400)},  // x + w = 0
    };
    for (const auto& frames : cases) {
        SCOPED_TRACE(rectDescription(frames[0]) + " in " + rectDescription(frames[1]));
        Placement p;
        Utils().setConstraintsForSubview(p.view, frames[0], frames[1]);
        EXPECT_EQ(p.container->constraints().size(), 2u);
        EXPECT_EQ(p.view->constraints().size(), 1u);
        EXPECT_TRUE(p.view->translatesAutoresizingMaskIntoConstraints());
    }
    Ref<View> lone = View::make();
    Utils().setConstraintsForSubview(lone, Rect(10, 20, 100, 50), Rect(0, 0, 200, 400));
    EXPECT_TRUE(lone->constraints().empty());
    EXPECT_TRUE(lone->translatesAutoresizingMaskIntoConstraints());
}

}  // namespace
}  // namespace lv
