// Writes a pattern image as PNG and JPEG for image_encode_reader.py: "<dir>/pattern.png",
// "<dir>/pattern.jpg" (the pattern is the fixtures' patternPixel with alpha).
#include <cstdio>
#include <string>

#include "platform/storage/file_manager.h"
#include "platform/ui/image.h"
#include "platform/ui/image_fixtures.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <dir> <width> <height>\n", argv[0]);
        return 2;
    }
    const auto width = static_cast<std::uint32_t>(std::stoul(argv[2]));
    const auto height = static_cast<std::uint32_t>(std::stoul(argv[3]));
    lv::Bytes pixels;
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const lv::test::RGBA p = lv::test::patternPixel(x, y, true);
            pixels.insert(pixels.end(), {static_cast<std::uint8_t>(p.r), static_cast<std::uint8_t>(p.g),
                                         static_cast<std::uint8_t>(p.b), static_cast<std::uint8_t>(p.a)});
        }
    }
    const lv::Image image(lv::Bitmap::withRGBAPixels(width, height, pixels), 1, lv::ImageOrientation::Up);
    const std::optional<lv::Bytes> png = lv::imagePNGRepresentation(image);
    const std::optional<lv::Bytes> jpeg = lv::imageJPEGRepresentation(image, 0.8);
    const std::string dir = argv[1];
    if (!png || !jpeg || !lv::writeToFile(*png, dir + "/pattern.png", true) ||
        !lv::writeToFile(*jpeg, dir + "/pattern.jpg", true)) {
        return 1;
    }
    return 0;
}
