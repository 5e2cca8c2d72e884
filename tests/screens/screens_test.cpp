#include <gtest/gtest.h>

#include "platform/runtime/runtime.h"
#include "screens/microblog_pager_view.h"
#include "screens/screens.h"

namespace lv {
namespace {

// Registers every screen class (as the first use of each does).
void registerScreens() {
    TopMusicViewController::runtimeClass();
    NewsViewController::runtimeClass();
    MarketViewController::runtimeClass();
    MediaViewController::runtimeClass();
    AboutUsViewController::runtimeClass();
    LiveViewController::runtimeClass();
}

TEST(Screens, MadeByClassNameFromTheInterfaceFileOfThatName) {
    registerScreens();
    struct Row {
        const char* name;
        bool microblogDelegate;
    };
    const Row rows[] = {{"TopMusicViewController", true}, {"NewsViewController", false},
                        {"MarketViewController", false},  {"MediaViewController", false},
                        {"AboutUsViewController", true},  {"LiveViewController", false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const ClassInfo* cls = classNamed(row.name);
        ASSERT_NE(cls, nullptr);
        EXPECT_TRUE(cls->isSubclassOf("ViewController"));
        auto screen = std::dynamic_pointer_cast<ViewController>(cls->create());
        ASSERT_NE(screen, nullptr);
        EXPECT_EQ(screen->className(), row.name);
        EXPECT_EQ(screen->nibName(), row.name);
        EXPECT_EQ(screen->nibBundle()->bundlePath(), Bundle::mainBundle()->bundlePath());
        auto* microblog = dynamic_cast<MicroblogResponseDelegate*>(screen.get());
        EXPECT_EQ(microblog != nullptr, row.microblogDelegate);
        if (microblog) {
            EXPECT_FALSE(microblog->respondsToDidSendMicroblogPost());
        }
    }
}

// The Microblog coordinator lives in a later layer; a program without it leaves the actions undone.
TEST(Screens, MicroblogActionsWithoutTheCoordinatorDoNothing) {
    ASSERT_EQ(classNamed("MicroblogHelper"), nullptr);
    auto chart = makeRef<TopMusicViewController>("TopMusicViewController", nullptr);
    chart->share("text", Bytes{1});
    EXPECT_EQ(chart->shareScreen(), nullptr);
    auto feed = makeRef<MicroblogPagerView>();
    feed->openPost("42");
    EXPECT_EQ(feed->postView(), nullptr);
    EXPECT_EQ(feed->className(), "MicroblogPagerView");
    auto about = makeRef<AboutUsViewController>("AboutUsViewController", nullptr);
    about->view();
    about->login();
    EXPECT_EQ(about->loginButtonTitle(), AboutUsViewController::kLoginTitle);
}

}  // namespace
}  // namespace lv
