// Images: `Bitmap` (a decoded or drawn grid of pixels with the facts the platform's bitmap images
// report: size, bits per component, colour model, alpha info) and `Image` (a bitmap at a scale with an
// orientation, or the frames of an animated image), decoded from PNG, JPEG, BMP and GIF data through
// stb and encoded back as PNG or JPEG. Image bytes are outside input: the header scanner refuses a
// file that would decode to more than kMaxImagePixels (all frames together) before stb sees it, and
// TIFF and ICO data, which stb cannot read, give no image.
//
// Threads: bitmaps and images are immutable once made (a bitmap over file data decodes on first use,
// once, under its own once-flag) and may be shared and used from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/ui/geometry.h"
#include "platform/ui/image_header.h"

namespace lv {

// 64 megapixels: the most a decode may produce, all frames of an animation counted.
inline constexpr std::uint64_t kMaxImagePixels = 64ull * 1024 * 1024;

// The alpha part of a bitmap info (mask 0x1F), numbered as the platform numbers it.
enum class ImageAlphaInfo : std::uint32_t {
    None = 0, PremultipliedLast = 1, PremultipliedFirst = 2, Last = 3, First = 4, NoneSkipLast = 5,
    NoneSkipFirst = 6, Only = 7
};
inline constexpr std::uint32_t kBitmapAlphaInfoMask = 0x1F;
inline constexpr std::uint32_t kBitmapByteOrderMask = 0x7000;
inline constexpr std::uint32_t kBitmapByteOrder32Little = 2u << 12;
inline constexpr std::uint32_t kBitmapByteOrder32Big = 4u << 12;

class Bitmap : public Object {
public:
    // Which decoder a bitmap over file data may use.
    enum class Decoder { Any, PNGOnly, JPEGOnly };

    // A bitmap over image file data, decoded on first use. Null when the header is not one the
    // decoder reads, is malformed, or claims more than kMaxImagePixels.
    static Ref<Bitmap> createWithData(std::shared_ptr<const Bytes> data, Decoder decoder = Decoder::Any);
    static Ref<Bitmap> createWithPNGData(const Bytes& data);
    static Ref<Bitmap> createWithJPEGData(const Bytes& data);
    // A bitmap of straight RGBA pixels, 8 bits each (RGB, alpha last); null when the byte count is not
    // width × height × 4.
    static Ref<Bitmap> withRGBAPixels(std::uint32_t width, std::uint32_t height, Bytes pixels);
    // Draws the bitmap into a new device-RGB bitmap of the given size (nearest pixel when the size
    // differs), 8 bits per component, in the layout the bitmap info names (alpha info premultiplied
    // first or last, or skip first or last; byte order default, 32-big or 32-little). Null when no such
    // drawing context can be made (other depths or alpha infos, an empty or oversized area) or the
    // source does not decode.
    static Ref<Bitmap> drawInDeviceRGB(const Bitmap& source, std::uint32_t width, std::uint32_t height,
                                       int bitsPerComponent, std::uint32_t bitmapInfo);
    // The same for a source the caller gives up: when it is the only holder of a decoded file's pixels
    // and the size is the same, the drawing is made in that buffer, which saves a second allocation.
    static Ref<Bitmap> drawInDeviceRGB(Ref<Bitmap>&& source, std::uint32_t width, std::uint32_t height,
                                       int bitsPerComponent, std::uint32_t bitmapInfo);
    // Whether such a drawing context can be made.
    static bool canDrawInDeviceRGB(std::uint32_t width, std::uint32_t height, int bitsPerComponent,
                                   std::uint32_t bitmapInfo);

    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }
    int bitsPerComponent() const { return bitsPerComponent_; }
    ColorSpaceModel colorModel() const { return colorModel_; }
    std::uint32_t bitmapInfo() const { return bitmapInfo_; }
    ImageAlphaInfo alphaInfo() const { return static_cast<ImageAlphaInfo>(bitmapInfo_ & kBitmapAlphaInfoMask); }
    // The file type a bitmap over data was made from (Unknown for drawn bitmaps).
    ImageFileType sourceType() const { return header_.type; }
    const ImageHeader& header() const { return header_; }
    // Whether this bitmap reads the same data through the same decoder as the other.
    bool sharesSourceWith(const Bitmap& other) const { return data_ && data_ == other.data_; }

    // Decodes now when the pixels come from data; false when they do not decode.
    bool decode() const;
    // The pixels as straight (not premultiplied) RGBA, 8 bits each, rows top to bottom; empty when
    // they do not decode. Drawn bitmaps are converted from their own layout.
    Bytes rgbaPixels() const;
    // The pixels in the bitmap's own layout (decoded data: straight RGBA), 4 bytes per pixel; empty
    // when they do not decode. Valid as long as the bitmap (or a copy of it) lives.
    std::span<const std::uint8_t> pixels() const;

    // A bitmap with the same facts and pixels (the platform's image copy).
    Ref<Bitmap> copy() const;

    // Bitmaps are made through the factories above.
    Bitmap() = default;

private:
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    int bitsPerComponent_ = 8;
    ColorSpaceModel colorModel_ = ColorSpaceModel::RGB;
    std::uint32_t bitmapInfo_ = 0;
    ImageHeader header_;
    std::shared_ptr<const Bytes> data_;
    Decoder decoder_ = Decoder::Any;
    // Decoded file pixels are straight RGBA whatever the facts say; drawn ones follow bitmapInfo_.
    bool straightRGBA_ = false;
    // Shared between copies: decoded once.
    struct Pixels {
        std::once_flag once;
        Bytes bytes;  // drawn or given pixels
        std::unique_ptr<std::uint8_t, void (*)(void*)> decoded{nullptr, nullptr};  // stb's buffer, kept as is
        std::size_t decodedSize = 0;
        bool ok = false;
        std::span<const std::uint8_t> view() const {
            return decoded ? std::span<const std::uint8_t>(decoded.get(), decodedSize) : std::span<const std::uint8_t>(bytes);
        }
    };
    std::shared_ptr<Pixels> pixels_;
};

class Image : public Object {
public:
    // An image over a file's bytes with the pixel size read from its header (the bundle's images).
    Image(std::string name, Bytes bytes, Size pixelSize, double scale);
    Image(Ref<Bitmap> bitmap, double scale, ImageOrientation orientation);

    // The main bundle's PNG for the screen's scale n ("<name>@<n>x.png"; "<name>.png" at scale 1), else
    // the plain file, else the file of another scale (2, 3); null when none exists or it is no PNG.
    static Ref<Image> imageNamed(std::string_view name);
    // Decodes PNG, JPEG, BMP or GIF data (a GIF of several frames gives an animated image of all
    // of them, its duration the sum of the frame delays) at the scale, with a JPEG's EXIF orientation.
    // Null for anything else, for TIFF and ICO, for data that does not decode and for more than
    // kMaxImagePixels.
    static Ref<Image> imageWithData(std::span<const std::uint8_t> data, double scale = 1);
    static Ref<Image> imageWithBitmap(const Ref<Bitmap>& bitmap, double scale, ImageOrientation orientation);
    // An animated image of the frames; its size and scale are those of the first frame.
    static Ref<Image> animatedImageWithImages(std::vector<Ref<Image>> images, double duration);

    const std::string& name() const { return name_; }
    // The file bytes the image was made from (empty when made from a bitmap).
    const Bytes& bytes() const { return *bytes_; }
    // The pixel size divided by the scale, width and height exchanged for the left and right orientations.
    Size size() const;
    double scale() const { return scale_; }
    ImageOrientation imageOrientation() const { return orientation_; }
    // Null for an animated image.
    const Ref<Bitmap>& bitmap() const { return bitmap_; }
    // The frames of an animated image; empty for any other image.
    const std::vector<Ref<Image>>& images() const { return images_; }
    double duration() const { return duration_; }
    // The bytes its decoded pixels take, 4 a pixel over every frame: what a memory cache counts.
    std::size_t decodedByteCount() const;

    std::string description() const override;

private:
    std::string name_;
    std::shared_ptr<const Bytes> bytes_;
    Size pixelSize_;
    double scale_;
    ImageOrientation orientation_ = ImageOrientation::Up;
    Ref<Bitmap> bitmap_;
    std::vector<Ref<Image>> images_;
    double duration_ = 0;
};

// The image's pixels (the first frame of an animation) as a PNG of 8-bit RGBA; nothing when the image
// has no pixels.
std::optional<Bytes> imagePNGRepresentation(const Image& image);
// The same as a baseline JPEG (alpha dropped) at quality 0 to 1.
std::optional<Bytes> imageJPEGRepresentation(const Image& image, double quality);

// The width and height in a PNG's header; false when the bytes do not start a PNG.
bool pngPixelSize(const Bytes& bytes, Size* size);

}  // namespace lv
