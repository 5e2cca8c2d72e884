// The image header scanner: recognises an image file's type from its first bytes and reads the facts
// the decoder does not report (size, bit depth, a JPEG's component count and colour transform, so CMYK
// and YCCK are known, the EXIF orientation, a PNG's alpha, a GIF's frame count) without decoding pixels.
// Used by Image to refuse oversized or unsupported input before decoding.
//
// Threads: stateless; any thread.
#pragma once

#include <cstdint>
#include <span>

namespace lv {

enum class ImageFileType { Unknown, PNG, JPEG, GIF, BMP, TIFF, ICO };

// The platform's colour space models.
enum class ColorSpaceModel : int { Unknown = -1, Monochrome = 0, RGB = 1, CMYK = 2, Lab = 3, DeviceN = 4, Indexed = 5 };

// 1 Up, 2 Down, 3 Left, 4 Right and their mirrored forms, numbered as the platform numbers them.
enum class ImageOrientation : int {
    Up = 0, Down = 1, Left = 2, Right = 3, UpMirrored = 4, DownMirrored = 5, LeftMirrored = 6, RightMirrored = 7
};

struct ImageHeader {
    ImageFileType type = ImageFileType::Unknown;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int bitsPerComponent = 8;     // as stored: 1, 2, 4, 8 or 16
    int components = 0;           // in the file: a JPEG's 1, 3 or 4; a PNG's with alpha counted
    int adobeTransform = -1;      // JPEG: the Adobe segment's colour transform (2 with 4 components: YCCK)
    bool hasAlpha = false;
    ColorSpaceModel colorModel = ColorSpaceModel::Unknown;
    ImageOrientation orientation = ImageOrientation::Up;
    std::uint32_t frameCount = 0;  // GIF: images in the stream; 1 for the other types
    // width × height × frames, the pixels a full decode would make.
    std::uint64_t totalPixels() const { return std::uint64_t{width} * height * (frameCount ? frameCount : 1); }
};

// The type from the magic bytes alone.
ImageFileType detectImageFileType(std::span<const std::uint8_t> data);
// The type and as many facts as the headers hold; false when the type is unknown or the header that
// gives the size is missing or malformed (the facts are then partial).
bool scanImageHeader(std::span<const std::uint8_t> data, ImageHeader* header);

}  // namespace lv
