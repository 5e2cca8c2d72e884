// ImageView: a view that shows one image (nothing is drawn; the view keeps the image it is given).
//
// Registered with the runtime as "ImageView" (per-class storage of loaders).
//
// Threads: main thread only, as every view.
#pragma once

#include "platform/ui/image.h"
#include "platform/ui/view.h"

namespace lv {

class ClassInfo;

class ImageView : public View {
public:
    ImageView() = default;
    explicit ImageView(const Rect& frame) : View(frame) {}
    // The runtime's class, registered on first use.
    static const ClassInfo* runtimeClass();
    static Ref<ImageView> make(const Rect& frame = {}) { return makeRef<ImageView>(frame); }
    // An image view sized to the image's size in points.
    static Ref<ImageView> withImage(const Ref<Image>& image);

    const Ref<Image>& image() const { return image_; }
    void setImage(Ref<Image> image) { image_ = std::move(image); }

private:
    Ref<Image> image_;
};

}  // namespace lv
