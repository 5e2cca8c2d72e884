// Colours: red, green, blue and alpha components from 0 to 1, immutable and shared by reference
// (a colour can sit in a text-attribute dictionary as a Value).
#pragma once

#include <string>

#include "platform/base/object.h"

namespace lv {

class Color : public Object {
public:
    // Components are stored as given (the caller keeps them in 0…1).
    Color(double red, double green, double blue, double alpha);

    static Ref<Color> colorWithRed(double red, double green, double blue, double alpha);
    static Ref<Color> colorWithWhite(double white, double alpha);
    // Red, green, blue and alpha all 0.
    static Ref<Color> clearColor();
    static Ref<Color> whiteColor();
    static Ref<Color> blackColor();

    double red() const { return red_; }
    double green() const { return green_; }
    double blue() const { return blue_; }
    double alpha() const { return alpha_; }
    // All four components at once; any pointer may be null.
    bool getRed(double* red, double* green, double* blue, double* alpha) const;

    // Equal when all four components are equal.
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override;
    // "RGBA 0.168627 0.239216 0.34902 1" (components as "%g").
    std::string description() const override;

private:
    double red_;
    double green_;
    double blue_;
    double alpha_;
};

}  // namespace lv
