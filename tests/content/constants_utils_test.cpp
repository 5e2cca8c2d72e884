#include <array>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "content/constants.h"
#include "content/launch_glue.h"
#include "content/utils.h"

namespace lv {
namespace {

TEST(Utils, SharedObjectAndNetworkFlagAcrossThreads) {
    const Ref<Utils>& shared = Utils::sharedUtils();
    shared->setIsNetworkRunning(false);
    std::array<Utils*, 4> seen{};
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] {
            seen[i] = Utils::sharedUtils().get();
            if (i == 0) Utils::sharedUtils()->setIsNetworkRunning(true);
            (void)Utils::sharedUtils()->isNetworkRunning();
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(seen, (std::array<Utils*, 4>{shared.get(), shared.get(), shared.get(), shared.get()}));
    EXPECT_TRUE(shared->isNetworkRunning());
}

// One expected constraint: first item and attribute = multiplier × second item and attribute + constant.
struct ConstraintRow { Ref<View> first; LayoutAttribute firstAttribute; Ref<View> second; LayoutAttribute secondAttribute; double multiplier, constant = 0; };

void expectConstraints(const std::vector<Ref<LayoutConstraint>>& list, const std::vector<ConstraintRow>& rows) {
    ASSERT_EQ(list.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        const LayoutConstraint& c = *list[i];
        EXPECT_EQ(c.firstItem(), rows[i].first);
        EXPECT_EQ(c.firstAttribute(), rows[i].firstAttribute);
        EXPECT_EQ(c.relation(), LayoutRelation::Equal);
        EXPECT_EQ(c.secondItem(), rows[i].second);
        EXPECT_EQ(c.secondAttribute(), rows[i].secondAttribute);
        EXPECT_DOUBLE_EQ(c.multiplier(), rows[i].multiplier);
        EXPECT_EQ(c.constant(), rows[i].constant);
    }
}

using A = LayoutAttribute;

TEST(FillParent, MovesTheViewAndPinsFourEdgesWithPaddingWidenedFromFloat) {
    Ref<View> oldParent = View::make();
    Ref<View> parent = View::make(Rect(0, 0, 320, 480));
    Ref<View> view = View::make();
    oldParent->addSubview(view);
    oldParent->addConstraint(LayoutConstraint::constraintWithItem(view, A::Top, LayoutRelation::Equal, oldParent, A::Top, 1, 0));
    Utils::sharedUtils()->fillParentConstraintsFrom(view, parent);
    EXPECT_EQ(view->superview(), parent);
    EXPECT_TRUE(oldParent->subviews().empty());
    EXPECT_TRUE(oldParent->constraints().empty());  // went with the view
    EXPECT_FALSE(view->translatesAutoresizingMaskIntoConstraints());
    // The item order differs per edge: the view first for the top, the parent first for the others.
    expectConstraints(parent->constraints(), {{view, A::Top, parent, A::Top, 1}, {parent, A::Leading, view, A::Leading, 1},
                                              {parent, A::Bottom, view, A::Bottom, 1}, {parent, A::Trailing, view, A::Trailing, 1}});
    EXPECT_EQ(parent->layoutPassCount(), 1u);

    Ref<View> padded = View::make();
    const Utils::Padding padding{{{1.0f, 8.0f}, {0.5f, 0.1f}, {2.0f, -4.0f}, {1.0f, 16.0f}}};
    Utils().fillParentConstraintsFrom(view, padded, &padding);
    expectConstraints(padded->constraints(), {{view, A::Top, padded, A::Top, 1, 8}, {padded, A::Leading, view, A::Leading, 0.5, 0.1f},
                                              {padded, A::Bottom, view, A::Bottom, 2, -4}, {padded, A::Trailing, view, A::Trailing, 1, 16}});
}

// A container with the view, a sibling, a constraint naming the view, one that does not, and the
// view's own width.
struct Placement {
    Ref<View> container = View::make(Rect(0, 0, 200, 400));
    Ref<View> view = View::make();
    Ref<View> other = View::make();
    Ref<LayoutConstraint> unrelated = LayoutConstraint::constraintWithItem(other, A::Top, LayoutRelation::Equal, container, A::Top, 1, 0);
    Ref<LayoutConstraint> own = LayoutConstraint::constraintWithItem(view, A::Width, LayoutRelation::Equal, nullptr, A::NotAnAttribute, 1, 44);
    Placement() {
        container->addSubview(view);
        container->addSubview(other);
        container->addConstraints({LayoutConstraint::constraintWithItem(other, A::Top, LayoutRelation::Equal, view, A::Bottom, 1, 0), unrelated});
        view->addConstraint(own);
    }
};

TEST(ProportionalPlacement, ReplacesTheViewsConstraintsWithFourProportions) {
    Placement p;
    Utils().setConstraintsForSubview(p.view, Rect(10, 20, 100, 50), Rect(0, 0, 200, 400));
    EXPECT_FALSE(p.view->translatesAutoresizingMaskIntoConstraints());
    EXPECT_TRUE(p.view->constraints().empty());  // a view without subviews loses its own
    expectConstraints(p.container->constraints(),
                      {{p.other, A::Top, p.container, A::Top, 1},
                       {p.view, A::Top, p.container, A::Bottom, 20.0 / 400},
                       {p.container, A::Bottom, p.view, A::Bottom, 400.0 / 70},
                       {p.view, A::Leading, p.container, A::Trailing, 10.0 / 200},
                       {p.container, A::Trailing, p.view, A::Trailing, 200.0 / 110}});
    EXPECT_EQ(p.container->layoutPassCount(), 1u);

    // Zero offsets pin to the container's own edges; a view with subviews keeps its own constraints.
    Placement q;
    q.view->addSubview(View::make());
    Utils().setConstraintsForSubview(q.view, Rect(0, 0, 100, 50), Rect(0, 0, 200, 400));
    expectConstraints(q.container->constraints(),
                      {{q.other, A::Top, q.container, A::Top, 1},
                       {q.view, A::Top, q.container, A::Top, 1},
                       {q.container, A::Bottom, q.view, A::Bottom, 400.0 / 50},
                       {q.view, A::Leading, q.container, A::Leading, 1},
                       {q.container, A::Trailing, q.view, A::Trailing, 200.0 / 100}});
    EXPECT_EQ(q.view->constraints(), std::vector<Ref<LayoutConstraint>>{q.own});
}

// A zero frame used to divide by zero; it now leaves everything as it was.
TEST(ProportionalPlacement, ZeroFramesAndMissingContainerChangeNothing) {
    const Rect cases[][2] = {
        {Rect(), Rect()}, {Rect(10, 20, 100, 50), Rect(0, 0, 0, 400)}, {Rect(10, 20, 100, 50), Rect(0, 0, 200, 0)},
        {Rect(0, 0, 0, 50), Rect(0, 0, 200, 400)}, {Rect(0, 0, 100, 0), Rect(0, 0, 200, 400)},
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

// The push glue tells an installed observer of each call and keeps nothing itself: ten thousand calls
// without an observer leave nothing for a later observer to see.
TEST(PushHelperCalls, ReachTheObserverAndAreNotKept) {
    const Ref<PushHelper>& glue = PushHelper::instance();
    for (int i = 0; i < 10000; ++i) glue->didRegisterUserNotificationSettings(nullptr);
    std::vector<std::string> seen;
    glue->setCallObserver([&seen](const std::string& call) { seen.push_back(call); });
    int completions = 0;
    glue->handleActionWithIdentifier("OTHER", {}, [&completions] { ++completions; });
    glue->didRegisterUserNotificationSettings(nullptr);
    glue->setCallObserver(nullptr);
    glue->handleActionWithIdentifier("OTHER", {}, [&completions] { ++completions; });
    EXPECT_EQ(seen, (std::vector<std::string>{"handleActionWithIdentifier", "didRegisterUserNotificationSettings"}));
    EXPECT_EQ(completions, 2);
}

}  // namespace
}  // namespace lv
