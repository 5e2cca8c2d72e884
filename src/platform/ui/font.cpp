#include "platform/ui/font.h"

#include <functional>

#include "platform/base/format.h"

namespace lv {

Font::Font(std::string name, double pointSize) : name_(std::move(name)), pointSize_(pointSize) {}

Ref<Font> Font::systemFontOfSize(double pointSize) { return makeRef<Font>(std::string(kSystemFontName), pointSize); }

bool Font::isEqual(const Object& other) const {
    const auto* font = dynamic_cast<const Font*>(&other);
    return font && font->name_ == name_ && font->pointSize_ == pointSize_;
}

std::size_t Font::hash() const { return std::hash<std::string>()(name_) * 31 + std::hash<double>()(pointSize_); }

std::string Font::description() const { return format("%@ %gpt", name_, pointSize_); }

}  // namespace lv
