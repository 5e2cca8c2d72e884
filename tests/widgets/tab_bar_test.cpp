#include <gtest/gtest.h>

#include "widgets/tab_bar_controller.h"

namespace lv {
namespace {

Ref<ViewController> titled(const char* title) {
    auto controller = makeRef<ViewController>();
    controller->setTitle(title);
    return controller;
}

std::vector<std::string> itemTitles(const TCTabBar& bar) {
    std::vector<std::string> titles;
    for (const auto& item : bar.items()) titles.push_back(item->title());
    return titles;
}

TEST(TabBar, SetViewControllersMakesOneItemPerControllerTitledFromIt) {
    auto container = TCTabBarController::make();
    const Ref<TCTabBar> bar = container->tabBar();
    ASSERT_NE(bar, nullptr);
    EXPECT_TRUE(bar->items().empty());

    const std::vector<Ref<ViewController>> first = {titled("音乐排行榜"), titled("新闻资讯"), titled("岚朵商城")};
    container->setViewControllers(first);
    EXPECT_EQ(itemTitles(*bar), (std::vector<std::string>{"音乐排行榜", "新闻资讯", "岚朵商城"}));
    for (const auto& controller : first) EXPECT_EQ(tcTabBarController(*controller), container);
    ASSERT_EQ(bar->subviews().size(), 3u);
    EXPECT_EQ(bar->subviews()[2], bar->items()[2]);
    const Ref<TCTabBarItem> firstItem = bar->items()[0];

    // A second list replaces the first: its controllers leave the container, their items the bar.
    first[0]->view();  // a loaded view goes too
    container->view()->addSubview(first[0]->view());
    const std::vector<Ref<ViewController>> second = {first[1], titled("韩流生活")};
    container->setViewControllers(second);
    EXPECT_EQ(itemTitles(*bar), (std::vector<std::string>{"新闻资讯", "韩流生活"}));
    EXPECT_EQ(container->viewControllers(), second);
    EXPECT_EQ(container->childViewControllers(), second);
    EXPECT_EQ(tcTabBarController(*first[0]), nullptr);
    EXPECT_EQ(first[0]->view()->superview(), nullptr);
    EXPECT_EQ(tcTabBarController(*first[1]), container);
    EXPECT_EQ(firstItem->superview(), nullptr);
    EXPECT_EQ(bar->subviews().size(), 2u);

    // The container keeps its own copy of the list; titles are read when the items are made.
    second[1]->setTitle("later");
    EXPECT_EQ(bar->items()[1]->title(), "韩流生活");
}

TEST(TabBar, FinishedImagesChangeOnlyWhatIsGivenAndDifferent) {
    const auto a = makeRef<Image>("a", Bytes{}, Size{2, 2}, 2);
    const auto b = makeRef<Image>("b", Bytes{}, Size{2, 2}, 2);
    const auto sameAsA = makeRef<Image>("a", Bytes{}, Size{2, 2}, 2);
    struct Row {
        Ref<Image> selected, unselected;            // given
        Ref<Image> expectSelected, expectUnselected;  // afterwards, starting from (a, b)
    };
    const std::vector<Row> rows = {
        {nullptr, nullptr, a, b}, {b, nullptr, b, b}, {nullptr, a, a, a},
        {a, b, a, b},             {sameAsA, a, sameAsA, a},
    };
    for (const Row& row : rows) {
        auto item = TCTabBarItem::make();
        item->setFinishedSelectedImage(a, b);
        item->setFinishedSelectedImage(row.selected, row.unselected);
        EXPECT_EQ(item->finishedSelectedImage(), row.expectSelected);
        EXPECT_EQ(item->finishedUnselectedImage(), row.expectUnselected);
    }
}

}  // namespace
}  // namespace lv
