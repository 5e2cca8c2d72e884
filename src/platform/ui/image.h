// Images as the screens hold them: the resource name, the file's bytes, the size in points and the
// scale. No decoding happens here; the size comes from the PNG header.
//
// Threads: an image is immutable once made and may be shared between threads.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/ui/geometry.h"

namespace lv {

class Image : public Object {
public:
    Image(std::string name, Bytes bytes, Size pixelSize, double scale);

    // The main bundle's PNG for the screen's scale n ("<name>@<n>x.png"; "<name>.png" at scale 1), else
    // the plain file, else the file of another scale (2, 3); null when none exists or it is no PNG.
    static Ref<Image> imageNamed(std::string_view name);

    const std::string& name() const { return name_; }
    const Bytes& bytes() const { return bytes_; }
    // The pixel size divided by the scale.
    Size size() const { return Size{pixelSize_.width / scale_, pixelSize_.height / scale_}; }
    double scale() const { return scale_; }

    std::string description() const override;

private:
    std::string name_;
    Bytes bytes_;
    Size pixelSize_;
    double scale_;
};

// The width and height in a PNG's header; false when the bytes do not start a PNG.
bool pngPixelSize(const Bytes& bytes, Size* size);

}  // namespace lv
