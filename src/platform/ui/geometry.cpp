#include "platform/ui/geometry.h"

#include "platform/base/format.h"

namespace lv {

std::string rectDescription(const Rect& rect) {
    return format("{{%g, %g}, {%g, %g}}", rect.origin.x, rect.origin.y, rect.size.width, rect.size.height);
}

}  // namespace lv
