// Fonts: a name and a point size. Only the system font exists here (nothing is drawn).
#pragma once

#include <string>
#include <string_view>

#include "platform/base/object.h"

namespace lv {

class Font : public Object {
public:
    // The name of the system font.
    static constexpr std::string_view kSystemFontName = "System";

    Font(std::string name, double pointSize);

    // The system font of the size.
    static Ref<Font> systemFontOfSize(double pointSize);

    const std::string& fontName() const { return name_; }
    double pointSize() const { return pointSize_; }

    // Equal when name and size are equal.
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override;
    // "<name> <size>pt", e.g. "System 11pt".
    std::string description() const override;

private:
    std::string name_;
    double pointSize_;
};

}  // namespace lv
