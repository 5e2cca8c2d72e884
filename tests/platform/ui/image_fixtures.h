// Image files made by the tests with independent writers: PNGs with zlib, JPEGs with libjpeg-turbo
// (CMYK and YCCK too), GIFs as literal bytes.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/base/value.h"

namespace lv::test {

struct RGBA {
    std::uint16_t r, g, b, a;  // 0-255, or 0-65535 for 16-bit PNGs
};

// PNG colour types: 0 grey, 2 RGB, 6 RGBA; bit depth 8 or 16. Each row filtered with filter 0.
Bytes makePNG(std::uint32_t width, std::uint32_t height, int bitDepth, int colourType,
              const std::function<RGBA(std::uint32_t x, std::uint32_t y)>& pixel);
// The PNG with a "tEXt" chunk (ancillary, so decoders skip it) before its IEND, making the file exactly
// total bytes (at least the PNG's size plus 20).
Bytes padPNG(const Bytes& png, std::size_t total);
// A pattern pixel that differs across the image (8-bit, with alpha varying when withAlpha).
RGBA patternPixel(std::uint32_t x, std::uint32_t y, bool withAlpha);
// JPEG through libjpeg: 3-component RGB, or 4-component CMYK (Adobe transform 0) / YCCK (transform 2).
enum class JPEGKind { RGB, CMYK, YCCK };
Bytes makeJPEG(std::uint32_t width, std::uint32_t height, JPEGKind kind, int quality = 90);
// GIF89a, 1 × 1: one red frame, or a red and a blue frame of 10 cs each.
Bytes oneFrameGIF();
Bytes twoFrameGIF();
// The 8-byte magic of a little-endian TIFF and of an ICO, padded to a plausible length.
Bytes tiffBytes();
Bytes icoBytes();

}  // namespace lv::test
