#include <gtest/gtest.h>

#include "platform/base/value.h"
#include "platform/ui/color.h"
#include "platform/ui/font.h"
#include "platform/ui/geometry.h"

namespace lv {
namespace {

TEST(Color, KeepsItsComponents) {
    Ref<Color> c = Color::colorWithRed(0x2B / 255.0, 0x3D / 255.0, 0x59 / 255.0, 1.0);
    double r = -1, g = -1, b = -1, a = -1;
    EXPECT_TRUE(c->getRed(&r, &g, &b, &a));
    EXPECT_DOUBLE_EQ(r, 43 / 255.0);
    EXPECT_DOUBLE_EQ(g, 61 / 255.0);
    EXPECT_DOUBLE_EQ(b, 89 / 255.0);
    EXPECT_EQ(a, 1.0);
    EXPECT_TRUE(c->getRed(nullptr, &g, nullptr, nullptr));  // null pointers are skipped
}

TEST(Color, NamedColours) {
    Ref<Color> clear = Color::clearColor();
    EXPECT_EQ(clear->red() + clear->green() + clear->blue() + clear->alpha(), 0.0);
    EXPECT_EQ(Color::whiteColor()->red(), 1.0);
    EXPECT_EQ(Color::whiteColor()->alpha(), 1.0);
    EXPECT_EQ(Color::blackColor()->blue(), 0.0);
    EXPECT_EQ(Color::blackColor()->alpha(), 1.0);
    Ref<Color> grey = Color::colorWithWhite(0.5, 0.25);
    EXPECT_EQ(grey->red(), 0.5);
    EXPECT_EQ(grey->blue(), 0.5);
    EXPECT_EQ(grey->alpha(), 0.25);
}

TEST(Color, EqualityByComponentsAlsoInsideValues) {
    EXPECT_TRUE(Color::clearColor()->isEqual(*Color::colorWithRed(0, 0, 0, 0)));
    EXPECT_FALSE(Color::clearColor()->isEqual(*Color::blackColor()));
    EXPECT_EQ(Color::clearColor()->hash(), Color::colorWithRed(0, 0, 0, 0)->hash());
    // Colours sit in text-attribute dictionaries and compare there by value.
    Value a = Value::dictionary({{"color", Value(Color::whiteColor())}});
    Value b = Value::dictionary({{"color", Value(Color::colorWithWhite(1, 1))}});
    EXPECT_EQ(a, b);
    EXPECT_EQ(Color::colorWithRed(1, 0.5, 0, 1)->description(), "RGBA 1 0.5 0 1");
}

TEST(Font, SystemFontOfASize) {
    Ref<Font> f = Font::systemFontOfSize(11);
    EXPECT_EQ(f->fontName(), "System");
    EXPECT_EQ(f->pointSize(), 11.0);
    EXPECT_TRUE(f->isEqual(*Font::systemFontOfSize(11)));
    EXPECT_FALSE(f->isEqual(*Font::systemFontOfSize(12)));
    EXPECT_FALSE(f->isEqual(*Color::clearColor()));
    EXPECT_EQ(f->description(), "System 11pt");
}

TEST(Geometry, RectReadings) {
    Rect r(10, 20, 30, 40);
    EXPECT_EQ(r.maxX(), 40.0);
    EXPECT_EQ(r.maxY(), 60.0);
    EXPECT_FALSE(r.isEmpty());
    EXPECT_TRUE(Rect().isEmpty());
    EXPECT_EQ(rectDescription(Rect(0, 0.5, 320, 63)), "{{0, 0.5}, {320, 63}}");
}

}  // namespace
}  // namespace lv
