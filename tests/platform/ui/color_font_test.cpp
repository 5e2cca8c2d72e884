#include <gtest/gtest.h>

#include "platform/base/value.h"
#include "platform/ui/color.h"
#include "platform/ui/font.h"
#include "platform/ui/geometry.h"

namespace lv {
namespace {

TEST(Color, GreysAndNamedColoursEqualTheirComponents) {
    double r = -1, g = -1, a = -1;
    EXPECT_TRUE(Color::colorWithWhite(0.5, 0.25)->getRed(&r, &g, nullptr, &a));  // null pointers are skipped
    EXPECT_EQ(r, 0.5);
    EXPECT_EQ(a, 0.25);
    EXPECT_TRUE(Color::clearColor()->isEqual(*Color::colorWithRed(0, 0, 0, 0)));
    EXPECT_FALSE(Color::clearColor()->isEqual(*Color::blackColor()));
    EXPECT_EQ(Color::clearColor()->hash(), Color::colorWithRed(0, 0, 0, 0)->hash());
    // Colours sit in text-attribute dictionaries and compare there by value.
    EXPECT_EQ(Value::dictionary({{"color", Value(Color::whiteColor())}}),
              Value::dictionary({{"color", Value(Color::colorWithWhite(1, 1))}}));
    EXPECT_EQ(Color::colorWithRed(1, 0.5, 0, 1)->description(), "RGBA 1 0.5 0 1");
}

TEST(Font, EqualByNameAndSize) {
    Ref<Font> f = Font::systemFontOfSize(11);
    EXPECT_TRUE(f->isEqual(*Font::systemFontOfSize(11)));
    EXPECT_FALSE(f->isEqual(*Font::systemFontOfSize(12)));
    EXPECT_FALSE(f->isEqual(*Color::clearColor()));
    EXPECT_EQ(f->description(), "System 11pt");
    EXPECT_EQ(rectDescription(Rect(0, 0.5, 320, 63)), "{{0, 0.5}, {320, 63}}");
}

}  // namespace
}  // namespace lv
