#include "platform/ui/image_view.h"

namespace lv {

Ref<ImageView> ImageView::withImage(const Ref<Image>& image) {
    auto view = make(image ? Rect{Point{0, 0}, image->size()} : Rect{});
    view->setImage(image);
    return view;
}

}  // namespace lv
