#include "platform/ui/color.h"

#include <functional>

#include "platform/base/format.h"

namespace lv {

Color::Color(double red, double green, double blue, double alpha)
    : red_(red), green_(green), blue_(blue), alpha_(alpha) {}

Ref<Color> Color::colorWithRed(double red, double green, double blue, double alpha) {
    return makeRef<Color>(red, green, blue, alpha);
}

Ref<Color> Color::colorWithWhite(double white, double alpha) { return makeRef<Color>(white, white, white, alpha); }

Ref<Color> Color::clearColor() { return makeRef<Color>(0.0, 0.0, 0.0, 0.0); }
Ref<Color> Color::whiteColor() { return makeRef<Color>(1.0, 1.0, 1.0, 1.0); }
Ref<Color> Color::blackColor() { return makeRef<Color>(0.0, 0.0, 0.0, 1.0); }

bool Color::getRed(double* red, double* green, double* blue, double* alpha) const {
    if (red) *red = red_;
    if (green) *green = green_;
    if (blue) *blue = blue_;
    if (alpha) *alpha = alpha_;
    return true;
}

bool Color::isEqual(const Object& other) const {
    const auto* color = dynamic_cast<const Color*>(&other);
    return color && color->red_ == red_ && color->green_ == green_ && color->blue_ == blue_ && color->alpha_ == alpha_;
}

std::size_t Color::hash() const {
    std::size_t h = std::hash<double>()(red_);
    for (double c : {green_, blue_, alpha_}) h = h * 31 + std::hash<double>()(c);
    return h;
}

std::string Color::description() const { return format("RGBA %g %g %g %g", red_, green_, blue_, alpha_); }

}  // namespace lv
