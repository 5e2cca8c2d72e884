#include "platform/ui/image.h"

#include <cmath>
#include <cstring>

#include "platform/base/format.h"
#include "platform/storage/bundle.h"
#include "platform/storage/file_manager.h"
#include "platform/ui/device.h"

namespace lv {

Image::Image(std::string name, Bytes bytes, Size pixelSize, double scale)
    : name_(std::move(name)), bytes_(std::move(bytes)), pixelSize_(pixelSize), scale_(scale > 0 ? scale : 1) {}

bool pngPixelSize(const Bytes& bytes, Size* size) {
    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    // Signature, then the IHDR chunk: length (4), type (4), width (4), height (4), big-endian.
    if (bytes.size() < 24 || std::memcmp(bytes.data(), kSignature, 8) != 0 ||
        std::memcmp(bytes.data() + 12, "IHDR", 4) != 0) {
        return false;
    }
    auto be32 = [&](std::size_t at) {
        return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
               (std::uint32_t{bytes[at + 2]} << 8) | std::uint32_t{bytes[at + 3]};
    };
    *size = Size{static_cast<double>(be32(16)), static_cast<double>(be32(20))};
    return true;
}

Ref<Image> Image::imageNamed(std::string_view name) {
    if (name.empty()) return nullptr;
    const Ref<Bundle> bundle = Bundle::mainBundle();
    // The screen's own scale first, then the plain file, then the other scales.
    const int screenScale = static_cast<int>(std::lround(Screen::mainScreen()->scale()));
    for (int scale : {screenScale, 1, 2, 3}) {
        if (scale < 1) continue;
        const std::string file = scale == 1 ? std::string(name) : format("%@@%dx", name, scale);
        const std::optional<std::string> path = bundle->pathForResource(file, "png");
        if (!path) continue;
        std::optional<Bytes> bytes = dataWithContentsOfFile(*path);
        Size pixels;
        if (!bytes || !pngPixelSize(*bytes, &pixels)) return nullptr;
        return makeRef<Image>(std::string(name), std::move(*bytes), pixels, scale);
    }
    return nullptr;
}

std::string Image::description() const {
    const Size points = size();
    return format("<Image: %p> \"%@\" {%g, %g} @%gx", static_cast<const void*>(this), name_, points.width,
                  points.height, scale_);
}

}  // namespace lv
