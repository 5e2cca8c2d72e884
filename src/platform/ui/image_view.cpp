#include "platform/ui/image_view.h"

#include "platform/runtime/runtime.h"

namespace lv {

const ClassInfo* ImageView::runtimeClass() {
    static const ClassInfo* cls = ClassDef<ImageView>("ImageView").registerClass();
    return cls;
}

Ref<ImageView> ImageView::withImage(const Ref<Image>& image) {
    auto view = make(image ? Rect{Point{0, 0}, image->size()} : Rect{});
    view->setImage(image);
    return view;
}

}  // namespace lv
