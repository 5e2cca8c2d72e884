#include "platform/ui/image.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include "platform/base/format.h"
#include "platform/storage/bundle.h"
#include "platform/storage/file_manager.h"
#include "platform/ui/device.h"

namespace lv {
namespace {

int stbLength(std::size_t size) {
    return static_cast<int>(std::min<std::size_t>(size, static_cast<std::size_t>(INT32_MAX)));
}

// The header facts a bitmap over data reports: 16 bits only for 16-bit PNGs (stb's lower depths
// are expanded to 8), alpha last (not premultiplied) when the file has alpha.
void applyHeaderFacts(const ImageHeader& header, std::uint32_t* bitmapInfo, int* bitsPerComponent) {
    *bitsPerComponent = header.bitsPerComponent == 16 ? 16 : 8;
    *bitmapInfo = static_cast<std::uint32_t>(header.hasAlpha ? ImageAlphaInfo::Last : ImageAlphaInfo::None);
}

bool readable(const ImageHeader& header) {
    switch (header.type) {
        case ImageFileType::PNG: case ImageFileType::JPEG: case ImageFileType::GIF: case ImageFileType::BMP:
            return header.totalPixels() <= kMaxImagePixels;
        default:
            return false;
    }
}

// Where R, G, B and alpha (or the skipped byte) sit within a 4-byte pixel of a drawn bitmap.
struct Layout {
    int r, g, b, a;
    bool premultiplied;
    bool hasAlpha;
};

std::optional<Layout> layoutFor(std::uint32_t bitmapInfo) {
    const auto alpha = static_cast<ImageAlphaInfo>(bitmapInfo & kBitmapAlphaInfoMask);
    const std::uint32_t order = bitmapInfo & kBitmapByteOrderMask;
    if ((bitmapInfo & ~(kBitmapAlphaInfoMask | kBitmapByteOrderMask)) != 0) return std::nullopt;
    if (order != 0 && order != kBitmapByteOrder32Big && order != kBitmapByteOrder32Little) return std::nullopt;
    Layout layout{};
    switch (alpha) {
        case ImageAlphaInfo::PremultipliedFirst: layout = {1, 2, 3, 0, true, true}; break;
        case ImageAlphaInfo::PremultipliedLast: layout = {0, 1, 2, 3, true, true}; break;
        case ImageAlphaInfo::NoneSkipFirst: layout = {1, 2, 3, 0, false, false}; break;
        case ImageAlphaInfo::NoneSkipLast: layout = {0, 1, 2, 3, false, false}; break;
        default: return std::nullopt;  // the platform's contexts take no other RGB layout
    }
    if (order == kBitmapByteOrder32Little) layout = {3 - layout.r, 3 - layout.g, 3 - layout.b, 3 - layout.a,
                                                     layout.premultiplied, layout.hasAlpha};
    return layout;
}

std::uint8_t premultiply(std::uint8_t value, std::uint8_t alpha) {
    return static_cast<std::uint8_t>((value * alpha + 127) / 255);
}

struct DrawArea {
    const std::uint8_t* source;  // straight RGBA
    std::uint32_t sourceWidth, sourceHeight;
    std::uint8_t* out;
    std::uint32_t width, height;
    bool opaque;  // every source alpha is 255
};

// The shift of the byte at a memory offset within a 4-byte word read in native order.
constexpr int byteShift(int offset) { return 8 * (std::endian::native == std::endian::little ? offset : 3 - offset); }

// The shift of the alpha byte (memory offset 3) within a straight RGBA word.
constexpr int kAlphaShift = byteShift(3);

// One straight RGBA pixel (or four in a vector), read as native words, moved to the layout's byte
// offsets; the alpha byte goes to offset A with HasAlpha and 255 is written there without.
template <int R, int G, int B, int A, bool HasAlpha, class Word>
Word shuffleWords(Word rgba) {
    const Word colour = ((rgba >> byteShift(0)) & 0xFFu) << byteShift(R) |
                        ((rgba >> byteShift(1)) & 0xFFu) << byteShift(G) |
                        ((rgba >> byteShift(2)) & 0xFFu) << byteShift(B);
    if constexpr (HasAlpha) return colour | ((rgba >> kAlphaShift) & 0xFFu) << byteShift(A);
    return colour | (0xFFu << byteShift(A));
}

using Words = std::uint32_t __attribute__((vector_size(16)));
using Halves = std::uint16_t __attribute__((vector_size(16)));

// (c × a + 127) / 255 for every byte c of the halves' low bytes (or high bytes, shifted down) with the
// alpha in each half: the division by 255 is (t + 1 + (t >> 8)) >> 8, exact for every t up to 65534,
// and t is at most 255 × 255 + 127, so no half overflows.
[[gnu::always_inline]] inline Halves premultiplyHalves(Halves channels, Halves alpha) {
    const Halves t = channels * alpha + 127;
    return (t + 1 + (t >> 8)) >> 8;
}

// Four straight RGBA pixels with their colour bytes premultiplied by their alpha, alpha kept: the
// colour of every pixel exactly as premultiply() gives it (alpha 255 leaves colour as it is).
[[gnu::always_inline]] inline Words premultiplyWords(Words rgba) {
    const Words alpha = (rgba >> kAlphaShift) & 0xFFu;
    const Halves alphas = reinterpret_cast<Halves>(alpha | (alpha << 16));
    const Halves halves = reinterpret_cast<Halves>(rgba);
    const Halves low = premultiplyHalves(halves & 0xFF, alphas);
    const Halves high = premultiplyHalves(halves >> 8, alphas);
    const Words product = reinterpret_cast<Words>(static_cast<Halves>(low | (high << 8)));
    const std::uint32_t alphaMask = 0xFFu << kAlphaShift;
    return (product & ~alphaMask) | (rgba & alphaMask);
}

// Draws a run of straight RGBA pixels into the layout, four at a time in a vector (the build's
// optimisation level does not vectorise loops by itself). Colour is premultiplied unless the run is
// known to be opaque. The output is either the input itself or a buffer apart from it.
template <int R, int G, int B, int A, bool HasAlpha>
void drawRun(const std::uint8_t* in, std::uint8_t* out, std::size_t count, bool opaque) {
    std::size_t x = 0;
    if (opaque) {
        for (; x + 4 <= count; x += 4) {
            Words words;
            std::memcpy(&words, in + x * 4, sizeof words);
            words = shuffleWords<R, G, B, A, false>(words);
            std::memcpy(out + x * 4, &words, sizeof words);
        }
    } else {
        for (; x + 4 <= count; x += 4) {
            Words words;
            std::memcpy(&words, in + x * 4, sizeof words);
            words = shuffleWords<R, G, B, A, HasAlpha>(premultiplyWords(words));
            std::memcpy(out + x * 4, &words, sizeof words);
        }
    }
    for (; x < count; ++x) {
        const std::uint8_t* source = in + x * 4;
        const std::uint8_t alpha = opaque ? 0xFF : source[3];
        const std::uint8_t r = premultiply(source[0], alpha), g = premultiply(source[1], alpha),
                           b = premultiply(source[2], alpha);
        std::uint8_t* pixel = out + x * 4;
        pixel[R] = r;
        pixel[G] = g;
        pixel[B] = b;
        pixel[A] = HasAlpha ? alpha : 0xFF;
    }
}

// Draws straight RGBA into a 4-byte layout (offsets fixed at compile time so the loops stay tight), the
// nearest source pixel when the sizes differ. Every layout a context takes is premultiplied or without
// alpha (drawn over black, as a context without alpha shows it), so colour is always scaled by alpha.
template <int R, int G, int B, int A, bool HasAlpha>
void drawRows(const DrawArea& area) {
    if (area.width == area.sourceWidth && area.height == area.sourceHeight) {
        // Rows of the same size follow one another in both buffers: one run over the whole area.
        drawRun<R, G, B, A, HasAlpha>(area.source, area.out, std::size_t{area.width} * area.height, area.opaque);
        return;
    }
    for (std::uint32_t y = 0; y < area.height; ++y) {
        const std::size_t sourceRow = std::size_t{y} * area.sourceHeight / area.height;
        const std::uint8_t* row = area.source + sourceRow * area.sourceWidth * 4;
        std::uint8_t* pixel = area.out + std::size_t{y} * area.width * 4;
        for (std::uint32_t x = 0; x < area.width; ++x, pixel += 4) {
            const std::uint8_t* in = row + std::size_t{x} * area.sourceWidth / area.width * 4;
            const std::uint8_t r = in[0], g = in[1], b = in[2], alpha = in[3];
            pixel[R] = premultiply(r, alpha);
            pixel[G] = premultiply(g, alpha);
            pixel[B] = premultiply(b, alpha);
            pixel[A] = HasAlpha ? alpha : 0xFF;
        }
    }
}

void drawLayout(const Layout& layout, const DrawArea& area) {
    switch ((layout.r << 4) | (layout.a << 2) | (layout.hasAlpha ? 1 : 0)) {
        case (1 << 4) | (0 << 2) | 1: drawRows<1, 2, 3, 0, true>(area); break;   // ARGB
        case (0 << 4) | (3 << 2) | 1: drawRows<0, 1, 2, 3, true>(area); break;   // RGBA
        case (1 << 4) | (0 << 2) | 0: drawRows<1, 2, 3, 0, false>(area); break;  // XRGB
        case (0 << 4) | (3 << 2) | 0: drawRows<0, 1, 2, 3, false>(area); break;  // RGBX
        case (2 << 4) | (3 << 2) | 1: drawRows<2, 1, 0, 3, true>(area); break;   // BGRA
        case (3 << 4) | (0 << 2) | 1: drawRows<3, 2, 1, 0, true>(area); break;   // ABGR
        case (2 << 4) | (3 << 2) | 0: drawRows<2, 1, 0, 3, false>(area); break;  // BGRX
        default: drawRows<3, 2, 1, 0, false>(area); break;                        // XBGR
    }
}

}  // namespace

// ---- Bitmap ----

Ref<Bitmap> Bitmap::createWithData(std::shared_ptr<const Bytes> data, Decoder decoder) {
    if (!data) return nullptr;
    ImageHeader header;
    if (!scanImageHeader(*data, &header) || !readable(header)) return nullptr;
    if ((decoder == Decoder::PNGOnly && header.type != ImageFileType::PNG) ||
        (decoder == Decoder::JPEGOnly && header.type != ImageFileType::JPEG)) {
        return nullptr;
    }
    auto bitmap = makeRef<Bitmap>();
    bitmap->width_ = header.width;
    bitmap->height_ = header.height;
    bitmap->colorModel_ = header.colorModel;
    applyHeaderFacts(header, &bitmap->bitmapInfo_, &bitmap->bitsPerComponent_);
    bitmap->header_ = header;
    bitmap->data_ = std::move(data);
    bitmap->decoder_ = decoder;
    bitmap->straightRGBA_ = true;
    bitmap->pixels_ = std::make_shared<Pixels>();
    return bitmap;
}

Ref<Bitmap> Bitmap::createWithPNGData(const Bytes& data) {
    return createWithData(std::make_shared<const Bytes>(data), Decoder::PNGOnly);
}

Ref<Bitmap> Bitmap::createWithJPEGData(const Bytes& data) {
    return createWithData(std::make_shared<const Bytes>(data), Decoder::JPEGOnly);
}

bool Bitmap::decode() const {
    if (!pixels_) return false;
    std::call_once(pixels_->once, [this] {
        if (!data_) return;  // drawn bitmaps are made with their pixels
        int width = 0, height = 0, components = 0;
        stbi_uc* decoded = stbi_load_from_memory(data_->data(), stbLength(data_->size()), &width, &height,
                                                 &components, 4);
        if (!decoded) return;
        // The header and stb must agree on the size, or the facts would lie about the pixels.
        std::unique_ptr<std::uint8_t, void (*)(void*)> owned(decoded, stbi_image_free);
        if (static_cast<std::uint32_t>(width) == width_ && static_cast<std::uint32_t>(height) == height_) {
            pixels_->decoded = std::move(owned);
            pixels_->decodedSize = std::size_t{width_} * height_ * 4;
            pixels_->ok = true;
        }
    });
    return pixels_->ok;
}

std::span<const std::uint8_t> Bitmap::pixels() const {
    return decode() ? pixels_->view() : std::span<const std::uint8_t>();
}

Bytes Bitmap::rgbaPixels() const {
    if (!decode()) return {};
    const std::span<const std::uint8_t> source = pixels_->view();
    if (straightRGBA_) return Bytes(source.begin(), source.end());
    const std::optional<Layout> layout = layoutFor(bitmapInfo_);
    if (!layout) return {};
    Bytes rgba(source.size());
    for (std::size_t at = 0; at + 4 <= source.size(); at += 4) {
        const std::uint8_t alpha = layout->hasAlpha ? source[at + layout->a] : 255;
        auto channel = [&](int offset) -> std::uint8_t {
            const std::uint8_t value = source[at + offset];
            if (!layout->premultiplied || alpha == 255) return value;
            if (alpha == 0) return 0;
            return static_cast<std::uint8_t>(std::min(255, (value * 255 + alpha / 2) / alpha));
        };
        rgba[at] = channel(layout->r);
        rgba[at + 1] = channel(layout->g);
        rgba[at + 2] = channel(layout->b);
        rgba[at + 3] = alpha;
    }
    return rgba;
}

Ref<Bitmap> Bitmap::copy() const {
    auto bitmap = makeRef<Bitmap>();
    bitmap->width_ = width_;
    bitmap->height_ = height_;
    bitmap->bitsPerComponent_ = bitsPerComponent_;
    bitmap->colorModel_ = colorModel_;
    bitmap->bitmapInfo_ = bitmapInfo_;
    bitmap->header_ = header_;
    bitmap->data_ = data_;
    bitmap->decoder_ = decoder_;
    bitmap->straightRGBA_ = straightRGBA_;
    bitmap->pixels_ = pixels_;
    return bitmap;
}

Ref<Bitmap> Bitmap::withRGBAPixels(std::uint32_t width, std::uint32_t height, Bytes pixels) {
    if (pixels.size() != std::size_t{width} * height * 4 || pixels.empty()) return nullptr;
    auto bitmap = makeRef<Bitmap>();
    bitmap->width_ = width;
    bitmap->height_ = height;
    bitmap->bitmapInfo_ = static_cast<std::uint32_t>(ImageAlphaInfo::Last);
    bitmap->straightRGBA_ = true;
    bitmap->pixels_ = std::make_shared<Pixels>();
    bitmap->pixels_->bytes = std::move(pixels);
    std::call_once(bitmap->pixels_->once, [&] { bitmap->pixels_->ok = true; });
    return bitmap;
}

bool Bitmap::canDrawInDeviceRGB(std::uint32_t width, std::uint32_t height, int bitsPerComponent,
                                std::uint32_t bitmapInfo) {
    return layoutFor(bitmapInfo) && bitsPerComponent == 8 && width > 0 && height > 0 &&
           std::uint64_t{width} * height <= kMaxImagePixels;
}

Ref<Bitmap> Bitmap::drawInDeviceRGB(Ref<Bitmap>&& source, std::uint32_t width, std::uint32_t height,
                                    int bitsPerComponent, std::uint32_t bitmapInfo) {
    if (!source) return nullptr;
    const Ref<Bitmap> given = std::move(source);
    const bool reusable = given.use_count() == 1 && given->pixels_ && given->pixels_.use_count() == 1 &&
                          given->straightRGBA_ && width == given->width_ && height == given->height_ &&
                          given->decode() && given->pixels_->decoded;
    if (!reusable || !canDrawInDeviceRGB(width, height, bitsPerComponent, bitmapInfo)) {
        return drawInDeviceRGB(*given, width, height, bitsPerComponent, bitmapInfo);
    }
    auto bitmap = makeRef<Bitmap>();
    bitmap->width_ = width;
    bitmap->height_ = height;
    bitmap->colorModel_ = ColorSpaceModel::RGB;
    bitmap->bitmapInfo_ = bitmapInfo;
    bitmap->pixels_ = std::move(given->pixels_);
    std::uint8_t* buffer = bitmap->pixels_->decoded.get();
    const bool opaque = given->data_ && !given->header_.hasAlpha;
    drawLayout(*layoutFor(bitmapInfo), DrawArea{buffer, width, height, buffer, width, height, opaque});
    return bitmap;
}

Ref<Bitmap> Bitmap::drawInDeviceRGB(const Bitmap& source, std::uint32_t width, std::uint32_t height,
                                    int bitsPerComponent, std::uint32_t bitmapInfo) {
    if (!canDrawInDeviceRGB(width, height, bitsPerComponent, bitmapInfo)) return nullptr;
    const std::optional<Layout> layout = layoutFor(bitmapInfo);
    // Straight RGBA pixels are read in place; other layouts are converted first.
    Bytes converted;
    std::span<const std::uint8_t> rgba;
    if (source.straightRGBA_) {
        rgba = source.pixels();
    } else {
        converted = source.rgbaPixels();
        rgba = converted;
    }
    if (rgba.empty() || source.width_ == 0 || source.height_ == 0) return nullptr;
    auto bitmap = makeRef<Bitmap>();
    bitmap->width_ = width;
    bitmap->height_ = height;
    bitmap->bitsPerComponent_ = 8;
    bitmap->colorModel_ = ColorSpaceModel::RGB;
    bitmap->bitmapInfo_ = bitmapInfo;
    bitmap->pixels_ = std::make_shared<Pixels>();
    // Every pixel is written below, so the buffer is not cleared first.
    const std::size_t size = std::size_t{width} * height * 4;
    auto* out = static_cast<std::uint8_t*>(std::malloc(size));
    if (!out) return nullptr;
    bitmap->pixels_->decoded = std::unique_ptr<std::uint8_t, void (*)(void*)>(out, std::free);
    bitmap->pixels_->decodedSize = size;
    // Files without alpha decode with alpha 255 throughout.
    const bool opaque = source.data_ && source.straightRGBA_ && !source.header_.hasAlpha;
    const DrawArea area{rgba.data(), source.width_, source.height_, out, width, height, opaque};
    drawLayout(*layout, area);
    std::call_once(bitmap->pixels_->once, [&] { bitmap->pixels_->ok = true; });
    return bitmap;
}

// ---- Image ----

Image::Image(std::string name, Bytes bytes, Size pixelSize, double scale)
    : name_(std::move(name)),
      bytes_(std::make_shared<const Bytes>(std::move(bytes))),
      pixelSize_(pixelSize),
      scale_(scale > 0 ? scale : 1),
      bitmap_(Bitmap::createWithData(bytes_)) {}

Image::Image(Ref<Bitmap> bitmap, double scale, ImageOrientation orientation)
    : bytes_(std::make_shared<const Bytes>()),
      pixelSize_(bitmap ? Size{static_cast<double>(bitmap->width()), static_cast<double>(bitmap->height())} : Size{}),
      scale_(scale > 0 ? scale : 1),
      orientation_(orientation),
      bitmap_(std::move(bitmap)) {}

Ref<Image> Image::imageWithBitmap(const Ref<Bitmap>& bitmap, double scale, ImageOrientation orientation) {
    if (!bitmap) return nullptr;
    return makeRef<Image>(bitmap, scale, orientation);
}

Ref<Image> Image::animatedImageWithImages(std::vector<Ref<Image>> images, double duration) {
    std::erase(images, nullptr);
    if (images.empty()) return nullptr;
    auto image = makeRef<Image>(nullptr, images.front()->scale(), ImageOrientation::Up);
    image->pixelSize_ = images.front()->pixelSize_;
    image->images_ = std::move(images);
    image->duration_ = duration;
    return image;
}

Ref<Image> Image::imageWithData(std::span<const std::uint8_t> data, double scale) {
    ImageHeader header;
    if (!scanImageHeader(data, &header) || !readable(header)) return nullptr;
    auto bytes = std::make_shared<const Bytes>(data.begin(), data.end());
    if (header.type == ImageFileType::GIF && header.frameCount > 1) {
        int* delays = nullptr;
        int width = 0, height = 0, frames = 0, components = 0;
        stbi_uc* decoded = stbi_load_gif_from_memory(bytes->data(), stbLength(bytes->size()), &delays, &width,
                                                     &height, &frames, &components, 4);
        if (!decoded) return nullptr;
        std::vector<Ref<Image>> images;
        double milliseconds = 0;
        const std::size_t frameBytes = std::size_t(width) * std::size_t(height) * 4;
        for (int i = 0; i < frames; ++i) {
            auto bitmap = Bitmap::withRGBAPixels(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                                                 Bytes(decoded + frameBytes * i, decoded + frameBytes * (i + 1)));
            images.push_back(makeRef<Image>(bitmap, scale, ImageOrientation::Up));
            milliseconds += delays ? delays[i] : 0;
        }
        stbi_image_free(decoded);
        stbi_image_free(delays);
        if (images.size() == 1) {
            // stb found one frame where the header scan counted more: an ordinary image.
            auto image = images.front();
            image->bytes_ = bytes;
            return image;
        }
        auto animated = animatedImageWithImages(std::move(images), milliseconds / 1000.0);
        animated->bytes_ = bytes;
        return animated;
    }
    Ref<Bitmap> bitmap = Bitmap::createWithData(bytes);
    if (!bitmap || !bitmap->decode()) return nullptr;
    auto image = makeRef<Image>(bitmap, scale, header.orientation);
    image->bytes_ = bytes;
    return image;
}

Size Image::size() const {
    const bool sideways = orientation_ == ImageOrientation::Left || orientation_ == ImageOrientation::Right ||
                          orientation_ == ImageOrientation::LeftMirrored ||
                          orientation_ == ImageOrientation::RightMirrored;
    const Size points{pixelSize_.width / scale_, pixelSize_.height / scale_};
    return sideways ? Size{points.height, points.width} : points;
}

std::size_t Image::decodedByteCount() const {
    std::size_t pixels = 0;
    if (bitmap_) pixels = std::size_t{bitmap_->width()} * bitmap_->height();
    for (const Ref<Image>& frame : images_) {
        if (frame->bitmap_) pixels += std::size_t{frame->bitmap_->width()} * frame->bitmap_->height();
    }
    return pixels * 4;
}

bool pngPixelSize(const Bytes& bytes, Size* size) {
    ImageHeader header;
    if (detectImageFileType(bytes) != ImageFileType::PNG || !scanImageHeader(bytes, &header)) return false;
    *size = Size{static_cast<double>(header.width), static_cast<double>(header.height)};
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

// ---- Encoding ----

namespace {

const Bitmap* firstBitmap(const Image& image) {
    if (image.bitmap()) return image.bitmap().get();
    if (!image.images().empty()) return image.images().front()->bitmap().get();
    return nullptr;
}

void appendToBytes(void* context, void* data, int size) {
    auto* out = static_cast<Bytes*>(context);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size);
}

}  // namespace

std::optional<Bytes> imagePNGRepresentation(const Image& image) {
    const Bitmap* bitmap = firstBitmap(image);
    if (!bitmap) return std::nullopt;
    const Bytes rgba = bitmap->rgbaPixels();
    if (rgba.empty()) return std::nullopt;
    const int width = static_cast<int>(bitmap->width());
    Bytes out;
    if (!stbi_write_png_to_func(appendToBytes, &out, width, static_cast<int>(bitmap->height()), 4, rgba.data(),
                                width * 4)) {
        return std::nullopt;
    }
    return out;
}

std::optional<Bytes> imageJPEGRepresentation(const Image& image, double quality) {
    const Bitmap* bitmap = firstBitmap(image);
    if (!bitmap) return std::nullopt;
    const Bytes rgba = bitmap->rgbaPixels();
    if (rgba.empty()) return std::nullopt;
    const int stbQuality = std::clamp(static_cast<int>(std::lround(quality * 100)), 1, 100);
    Bytes out;
    if (!stbi_write_jpg_to_func(appendToBytes, &out, static_cast<int>(bitmap->width()),
                                static_cast<int>(bitmap->height()), 4, rgba.data(), stbQuality)) {
        return std::nullopt;
    }
    return out;
}

}  // namespace lv
