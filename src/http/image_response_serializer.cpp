#include "http/image_response_serializer.h"

#include "platform/runtime/runtime.h"
#include "platform/ui/device.h"
#include "platform/ui/image_header.h"

namespace lv {

namespace {

constexpr std::uint64_t kMaxInflatedPixels = 1024 * 1024;

}  // namespace

HCImageResponseSerializer::HCImageResponseSerializer() : imageScale_(Screen::mainScreen()->scale()) {
    runtimeClass();
    setAcceptableContentTypes(std::set<std::string>{"image/tiff", "image/jpeg", "image/gif", "image/png", "image/ico",
                                                    "image/x-icon", "image/bmp", "image/x-bmp", "image/x-xbitmap",
                                                    "image/x-win-bitmap"});
}

double HCImageResponseSerializer::imageScale() const {
    std::lock_guard lock(mutex_);
    return imageScale_;
}

void HCImageResponseSerializer::setImageScale(double scale) {
    std::lock_guard lock(mutex_);
    imageScale_ = scale;
}

bool HCImageResponseSerializer::automaticallyInflatesResponseImage() const {
    std::lock_guard lock(mutex_);
    return automaticallyInflatesResponseImage_;
}

void HCImageResponseSerializer::setAutomaticallyInflatesResponseImage(bool inflates) {
    std::lock_guard lock(mutex_);
    automaticallyInflatesResponseImage_ = inflates;
}

Value HCImageResponseSerializer::responseObjectForResponse(const Ref<URLResponse>& response, const Value& data,
                                                           Ref<Error>* error) const {
    if (!shouldParse(response, data, error)) return Value();
    const Bytes none;
    const Bytes& body = data.isData() ? data.bytes() : none;
    const double scale = imageScale();
    if (automaticallyInflatesResponseImage()) return Value(inflateResponseImage(response, body, scale));
    return Value(imageWithDataAtScale(body, scale));
}

Ref<HCHTTPResponseSerializer> HCImageResponseSerializer::copy() const {
    auto copy = makeRef<HCImageResponseSerializer>();
    copy->setImageScale(imageScale());
    copy->setAutomaticallyInflatesResponseImage(automaticallyInflatesResponseImage());
    return copy;
}

const ClassInfo* HCImageResponseSerializer::runtimeClass() {
    static const ClassInfo* cls = ClassDef<HCImageResponseSerializer>("HCImageResponseSerializer")
                                      .superclassNamed(HCHTTPResponseSerializer::runtimeClass())
                                      .factory()
                                      .registerClass();
    return cls;
}

void HCImageResponseSerializer::encodeWithCoder(Coder& coder) const {
    HCHTTPResponseSerializer::encodeWithCoder(coder);
    coder.encodeObject(Value(imageScale()), "imageScale");
    coder.encodeBool(automaticallyInflatesResponseImage(), "automaticallyInflatesResponseImage");
}

bool HCImageResponseSerializer::initWithCoder(Coder& coder) {
    if (!HCHTTPResponseSerializer::initWithCoder(coder)) return false;
    const Value scale = coder.decodeObjectOfClass(classNamed("Number"), "imageScale");
    setImageScale(scale.doubleValue());
    setAutomaticallyInflatesResponseImage(coder.decodeBool("automaticallyInflatesResponseImage"));
    return true;
}

Ref<Image> imageWithDataAtScale(const Bytes& data, double scale) {
    ImageHeader header;
    if (!scanImageHeader(data, &header) || header.totalPixels() > kHCImageMaxPixels) return nullptr;
    const Ref<Image> image = Image::imageWithData(data);
    if (!image) return nullptr;
    if (!image->images().empty()) return image;
    return Image::imageWithBitmap(image->bitmap(), scale, image->imageOrientation());
}

std::uint32_t inflatedBitmapInfo(std::uint32_t bitmapInfo) {
    const auto alpha = static_cast<ImageAlphaInfo>(bitmapInfo & kBitmapAlphaInfoMask);
    ImageAlphaInfo drawn = ImageAlphaInfo::PremultipliedFirst;
    if (alpha == ImageAlphaInfo::None) drawn = ImageAlphaInfo::NoneSkipFirst;
    if (alpha == ImageAlphaInfo::NoneSkipLast || alpha == ImageAlphaInfo::NoneSkipFirst) drawn = alpha;
    return (bitmapInfo & ~kBitmapAlphaInfoMask) | static_cast<std::uint32_t>(drawn);
}

Ref<Image> inflateResponseImage(const Ref<URLResponse>& response, const Bytes& data, double scale) {
    if (data.empty()) return nullptr;
    const std::optional<std::string> mimeType = response ? response->MIMEType() : std::nullopt;
    Ref<Image> image = imageWithDataAtScale(data, scale);
    // The bitmap read with the response type's own decoder. When the image was decoded from these same
    // bytes with that type, its bitmap is exactly that bitmap, so its pixels are used and not decoded twice.
    auto typedBitmap = [&](ImageFileType type) -> Ref<Bitmap> {
        if (image && image->bitmap() && image->bitmap()->sourceType() == type) return image->bitmap()->copy();
        return type == ImageFileType::PNG ? Bitmap::createWithPNGData(data) : Bitmap::createWithJPEGData(data);
    };
    Ref<Bitmap> bitmap;
    if (mimeType == "image/png") {
        bitmap = typedBitmap(ImageFileType::PNG);
    } else if (mimeType == "image/jpeg") {
        bitmap = typedBitmap(ImageFileType::JPEG);
        if (bitmap && bitmap->colorModel() == ColorSpaceModel::CMYK) bitmap = nullptr;
    }
    if (!bitmap) {
        if (!image || !image->images().empty()) return image;
        bitmap = image->bitmap() ? image->bitmap()->copy() : nullptr;
        if (!bitmap) return nullptr;
    }
    const std::uint32_t width = bitmap->width();
    const std::uint32_t height = bitmap->height();
    const int bitsPerComponent = bitmap->bitsPerComponent();
    if (std::uint64_t{width} * height > kMaxInflatedPixels || bitsPerComponent > 8) return image;
    const std::uint32_t bitmapInfo = inflatedBitmapInfo(bitmap->bitmapInfo());
    if (!Bitmap::canDrawInDeviceRGB(width, height, bitsPerComponent, bitmapInfo) || !bitmap->decode()) return image;
    // The drawing succeeds from here on and replaces the decoded image, so the decoded pixels are given
    // up with it and may be drawn over in place.
    const ImageOrientation orientation = image ? image->imageOrientation() : ImageOrientation::Up;
    image = nullptr;
    const Ref<Bitmap> drawn = Bitmap::drawInDeviceRGB(std::move(bitmap), width, height, bitsPerComponent, bitmapInfo);
    return Image::imageWithBitmap(drawn, scale, orientation);
}

}  // namespace lv
