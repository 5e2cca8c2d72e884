// The headless controls: a button's images per state, the progress view's range.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/runtime/runtime.h"
#include "platform/ui/button.h"
#include "platform/ui/progress_view.h"

namespace lv {
namespace {

Ref<Image> anImage() { return makeRef<Image>("dot", Bytes{}, Size{1, 1}, 1.0); }

TEST(HeadlessControls, ButtonImagesPerStateFallBackToNormal) {
    auto button = Button::make();
    const auto normal = anImage(), selected = anImage(), background = anImage();
    EXPECT_FALSE(button->imageForState(kControlStateNormal));
    button->setImage(normal, kControlStateNormal);
    button->setImage(selected, kControlStateSelected);
    button->setBackgroundImage(background, kControlStateHighlighted);
    struct Case {
        ControlState state;
        Ref<Image> image, backgroundImage;
    } cases[] = {{kControlStateNormal, normal, nullptr},
                 {kControlStateSelected, selected, nullptr},
                 {kControlStateHighlighted, normal, background},
                 {kControlStateSelected | kControlStateHighlighted, normal, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        EXPECT_EQ(button->imageForState(c.state), c.image);
        EXPECT_EQ(button->backgroundImageForState(c.state), c.backgroundImage);
    }
    button->setImage(nullptr, kControlStateSelected);  // clears: the normal image shows again
    EXPECT_EQ(button->imageForState(kControlStateSelected), normal);
    const ClassInfo* cls = Button::runtimeClass();
    EXPECT_EQ(classOf(*button), cls);
    EXPECT_EQ(cls->name(), "Button");
}

TEST(HeadlessControls, ProgressIsPinnedToZeroThroughOne) {
    struct Case {
        float given, kept;
    } cases[] = {{0.25f, 0.25f}, {-0.5f, 0.0f}, {1.5f, 1.0f}, {NAN, 0.0f}, {1.0f, 1.0f}};
    auto view = ProgressView::make();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given);
        view->setProgress(c.given, true);
        EXPECT_EQ(view->progress(), c.kept);
        EXPECT_TRUE(view->lastChangeAnimated());
        view->setProgress(c.given);
        EXPECT_FALSE(view->lastChangeAnimated());
    }
}

}  // namespace
}  // namespace lv
