// Decoding, drawing and encoding of images, the header scanner, and the LRU cache.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>
#include <utility>

#include "platform/base/error.h"
#include "platform/ui/cache.h"
#include "platform/ui/image.h"
#include "platform/ui/image_fixtures.h"
#include "platform/ui/image_view.h"

namespace lv {
namespace {

using test::JPEGKind;

Bytes patternPNG(std::uint32_t width, std::uint32_t height, bool alpha = true) {
    return test::makePNG(width, height, 8, alpha ? 6 : 2,
                         [&](std::uint32_t x, std::uint32_t y) { return test::patternPixel(x, y, alpha); });
}

// A 2 × 1 24-bit BMP: blue-green-red pixels, rows padded to 4 bytes.
Bytes smallBMP() {
    Bytes out = {'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0};
    out.resize(54, 0);
    out.insert(out.end(), {10, 20, 30, 40, 50, 60, 0, 0});
    return out;
}

// A JPEG with an APP1 Exif segment (big-endian TIFF) carrying the orientation value.
Bytes withExifOrientation(const Bytes& jpeg, std::uint8_t orientation) {
    const Bytes exif = {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8,  // TIFF header, IFD0 at 8
                        0, 1,                                                   // one entry
                        0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, orientation, 0, 0,     // orientation, SHORT
                        0, 0, 0, 0};
    Bytes out(jpeg.begin(), jpeg.begin() + 2);
    const std::size_t length = exif.size() + 2;
    out.insert(out.end(), {0xFF, 0xE1, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)});
    out.insert(out.end(), exif.begin(), exif.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

// Where a JPEG's segment of the marker starts (its 0xFF), and where it ends.
std::pair<std::size_t, std::size_t> jpegSegment(const Bytes& jpeg, std::uint8_t marker) {
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
        const std::size_t next = at + 2 + ((std::size_t{jpeg[at + 2]} << 8) | jpeg[at + 3]);
        if (jpeg[at + 1] == marker) return {at, next};
        at = next;
    }
    return {jpeg.size(), jpeg.size()};
}

// The JPEG without its segments of one marker, or cut at a position and closed with an end marker.
Bytes jpegWithout(Bytes jpeg, std::uint8_t marker) {
    for (auto [from, to] = jpegSegment(jpeg, marker); from < jpeg.size(); std::tie(from, to) = jpegSegment(jpeg, marker)) {
        jpeg.erase(jpeg.begin() + static_cast<std::ptrdiff_t>(from), jpeg.begin() + static_cast<std::ptrdiff_t>(to));
    }
    return jpeg;
}
Bytes jpegCut(const Bytes& jpeg, std::size_t at) {
    Bytes out(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(at));
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

TEST(ImageHeaders, FactsOfEachType) {
    struct Case {
        const char* name;
        Bytes data;
        ImageFileType type;
        std::uint32_t width, height;
        int bits, components;
        ColorSpaceModel model;
        bool alpha;
        std::uint32_t frames;
        int adobe;
    };
    const Case cases[] = {
        {"png rgba", patternPNG(3, 2), ImageFileType::PNG, 3, 2, 8, 4, ColorSpaceModel::RGB, true, 1, -1},
        {"png 16-bit rgb", test::makePNG(4, 5, 16, 2, [](auto, auto) { return test::RGBA{1, 2, 3, 4}; }),
         ImageFileType::PNG, 4, 5, 16, 3, ColorSpaceModel::RGB, false, 1, -1},
        {"png grey", test::makePNG(2, 2, 8, 0, [](auto, auto) { return test::RGBA{9, 0, 0, 0}; }),
         ImageFileType::PNG, 2, 2, 8, 1, ColorSpaceModel::Monochrome, false, 1, -1},
        {"jpeg rgb", test::makeJPEG(9, 7, JPEGKind::RGB), ImageFileType::JPEG, 9, 7, 8, 3, ColorSpaceModel::RGB,
         false, 1, -1},
        {"jpeg cmyk", test::makeJPEG(8, 8, JPEGKind::CMYK), ImageFileType::JPEG, 8, 8, 8, 4, ColorSpaceModel::CMYK,
         false, 1, 0},
        {"jpeg ycck", test::makeJPEG(8, 8, JPEGKind::YCCK), ImageFileType::JPEG, 8, 8, 8, 4, ColorSpaceModel::CMYK,
         false, 1, 2},
        {"gif one frame", test::oneFrameGIF(), ImageFileType::GIF, 1, 1, 8, 4, ColorSpaceModel::RGB, true, 1, -1},
        {"gif two frames", test::twoFrameGIF(), ImageFileType::GIF, 1, 1, 8, 4, ColorSpaceModel::RGB, true, 2, -1},
        {"bmp", smallBMP(), ImageFileType::BMP, 2, 1, 8, 3, ColorSpaceModel::RGB, false, 1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImageHeader header;
        ASSERT_TRUE(scanImageHeader(c.data, &header));
        EXPECT_EQ(header.type, c.type);
        EXPECT_EQ(header.width, c.width);
        EXPECT_EQ(header.height, c.height);
        EXPECT_EQ(header.bitsPerComponent, c.bits);
        EXPECT_EQ(header.components, c.components);
        EXPECT_EQ(header.colorModel, c.model);
        EXPECT_EQ(header.hasAlpha, c.alpha);
        EXPECT_EQ(header.frameCount, c.frames);
        EXPECT_EQ(header.adobeTransform, c.adobe);
    }
}

TEST(ImageHeaders, UnreadableAndTruncatedInput) {
    const Bytes png = patternPNG(4, 4);
    const Bytes bmp = smallBMP();
    const Bytes jpeg = test::makeJPEG(16, 8, JPEGKind::RGB);
    Bytes bigFrame = jpeg;  // its frame header claims 8000 x 8000
    const std::size_t frame = jpegSegment(bigFrame, 0xC0).first;
    for (std::size_t at : {frame + 5, frame + 7}) bigFrame[at] = 0x1F, bigFrame[at + 1] = 0x40;
    struct Case {
        const char* name;
        Bytes data;
        ImageFileType type;
    };
    const Case cases[] = {
        {"empty", {}, ImageFileType::Unknown},
        {"text", Value::data("<html>not an image</html>").bytes(), ImageFileType::Unknown},
        {"tiff", test::tiffBytes(), ImageFileType::TIFF},
        {"ico", test::icoBytes(), ImageFileType::ICO},
        {"png cut in its header", Bytes(png.begin(), png.begin() + 20), ImageFileType::PNG},
        {"jpeg without a frame header", Bytes{0xFF, 0xD8, 0xFF, 0xD9}, ImageFileType::JPEG},
        // A frame header of 8000 x 8000 and nothing else would decode to a blank 256 MB image.
        {"jpeg frame header alone", Bytes{0xFF, 0xD8, 0xFF, 0xC0, 0, 11, 8, 0x1F, 0x40, 0x1F, 0x40, 1, 1, 0x11, 0,
                                          0xFF, 0xD9}, ImageFileType::JPEG},
        {"jpeg without quantisation tables", jpegWithout(jpeg, 0xDB), ImageFileType::JPEG},
        {"jpeg without Huffman tables", jpegWithout(jpeg, 0xC4), ImageFileType::JPEG},
        {"jpeg cut before its scan", jpegCut(jpeg, jpegSegment(jpeg, 0xDA).first), ImageFileType::JPEG},
        {"jpeg scan without coded data", jpegCut(jpeg, jpegSegment(jpeg, 0xDA).second), ImageFileType::JPEG},
        // A few coded bytes where the frame needs a bit per block: the decoder would pad them with zeros.
        {"jpeg of 8000 x 8000 with a scan of one byte", jpegCut(bigFrame, jpegSegment(bigFrame, 0xDA).second + 1),
         ImageFileType::JPEG},
        {"jpeg with fill bytes and an end after its scan header",
         [&] { Bytes b = jpegCut(bigFrame, jpegSegment(bigFrame, 0xDA).second); b.insert(b.end() - 2, 0xFF); return b; }(),
         ImageFileType::JPEG},
        {"jpeg with empty tables", Bytes{0xFF, 0xD8, 0xFF, 0xDB, 0, 2, 0xFF, 0xC4, 0, 2, 0xFF, 0xC0, 0, 11, 8, 0, 8, 0, 8,
                                         1, 1, 0x11, 0, 0xFF, 0xDA, 0, 8, 1, 1, 0, 0, 63, 0, 0x00, 0xFF, 0xD9},
         ImageFileType::JPEG},
        // An Exif segment shorter than its own signature (read past the segment once).
        {"jpeg with a short Exif segment", Bytes{0xFF, 0xD8, 0xFF, 0xE1, 0, 4, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0,
                                                0, 1, 0, 0, 0, 0},  // IFD0 at 256, past the data
         ImageFileType::JPEG},
        {"bmp shorter than its rows", Bytes(bmp.begin(), bmp.end() - 3), ImageFileType::BMP},
        {"gif without an image", Bytes{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, 0x3B}, ImageFileType::GIF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImageHeader header;
        EXPECT_FALSE(scanImageHeader(c.data, &header));
        EXPECT_EQ(header.type, c.type);
        EXPECT_EQ(Image::imageWithData(c.data), nullptr);
    }
}

// The scanner counts the frames the decoder makes (the bound on pixels is checked on its count): a
// graphic control block of another length than 4 is followed by no sub-blocks.
TEST(ImageHeaders, GIFFramesAreCountedAsTheDecoderReadsThem) {
    const Bytes frame = {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 0x01, 0};
    Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0xFF, 0, 0, 0, 0, 0xFF, 0x21, 0xF9, 1, 0};
    for (int i = 0; i < 3; ++i) gif.insert(gif.end(), frame.begin(), frame.end());
    gif.push_back(0x3B);
    ImageHeader header;
    ASSERT_TRUE(scanImageHeader(gif, &header));
    EXPECT_EQ(header.frameCount, 3u);
    const Ref<Image> image = Image::imageWithData(gif);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->images().size(), 3u);
}

TEST(ImageHeaders, ExifOrientationTurnsTheSize) {
    const Bytes jpeg = test::makeJPEG(16, 8, JPEGKind::RGB);
    const struct {
        std::uint8_t exif;
        ImageOrientation orientation;
        Size size;
    } cases[] = {{1, ImageOrientation::Up, {16, 8}}, {3, ImageOrientation::Down, {16, 8}},
                 {6, ImageOrientation::Right, {8, 16}}, {8, ImageOrientation::Left, {8, 16}},
                 {5, ImageOrientation::LeftMirrored, {8, 16}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int{c.exif});
        const Ref<Image> image = Image::imageWithData(withExifOrientation(jpeg, c.exif));
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->imageOrientation(), c.orientation);
        EXPECT_EQ(image->size().width, c.size.width);
        EXPECT_EQ(image->size().height, c.size.height);
    }
}

TEST(ImageHeaders, ClaimsOverTheLimitAreRefusedBeforeDecoding) {
    // 10000 × 10000 in a PNG header over a few bytes of data: refused by the scan, not by stb.
    Bytes png = patternPNG(1, 1);
    const Bytes big = {0, 0, 0x27, 0x10, 0, 0, 0x27, 0x10};
    std::copy(big.begin(), big.end(), png.begin() + 16);
    EXPECT_EQ(Bitmap::createWithData(std::make_shared<const Bytes>(png)), nullptr);
    EXPECT_EQ(Image::imageWithData(png), nullptr);
    // Two frames of 8000 × 8000 are 128 megapixels together, though each alone is under the limit.
    Bytes gif = test::twoFrameGIF();
    gif[6] = gif[8] = 0x40;
    gif[7] = gif[9] = 0x1F;
    ImageHeader header;
    ASSERT_TRUE(scanImageHeader(gif, &header));
    EXPECT_GT(header.totalPixels(), kMaxImagePixels);
    EXPECT_EQ(Image::imageWithData(gif), nullptr);
}

TEST(ImageHeaders, PNGChunkLongerThanTheFileIsRefused) {
    // A chunk claiming nearly 4 GiB after a valid start: stb would grow its buffer to the claim.
    Bytes png = patternPNG(2, 2);
    const std::size_t idat = 33;  // the first chunk after IHDR
    ASSERT_EQ(std::string(png.begin() + idat + 4, png.begin() + idat + 8), "IDAT");
    png[idat] = png[idat + 1] = png[idat + 2] = 0xFF;
    ImageHeader header;
    EXPECT_FALSE(scanImageHeader(png, &header));
    EXPECT_EQ(Bitmap::createWithData(std::make_shared<const Bytes>(png)), nullptr);
}

TEST(ImageDecode, PixelsFactsAndScale) {
    const Bytes png = patternPNG(5, 3);
    const Ref<Image> image = Image::imageWithData(png, 2);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->scale(), 2);
    EXPECT_EQ(image->size().width, 2.5);
    EXPECT_EQ(image->size().height, 1.5);
    EXPECT_EQ(image->bytes(), png);
    const Ref<Bitmap>& bitmap = image->bitmap();
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(bitmap->alphaInfo(), ImageAlphaInfo::Last);
    const Bytes rgba = bitmap->rgbaPixels();
    ASSERT_EQ(rgba.size(), 5u * 3 * 4);
    for (std::uint32_t y = 0; y < 3; ++y) {
        for (std::uint32_t x = 0; x < 5; ++x) {
            const test::RGBA p = test::patternPixel(x, y, true);
            const std::uint8_t* at = rgba.data() + (y * 5 + x) * 4;
            EXPECT_EQ((Bytes{at[0], at[1], at[2], at[3]}), (Bytes{std::uint8_t(p.r), std::uint8_t(p.g),
                                                                 std::uint8_t(p.b), std::uint8_t(p.a)}));
        }
    }
    // A 16-bit PNG reports 16 bits and decodes to the high bytes; a large PNG keeps its size.
    const Bytes deep = test::makePNG(2, 1, 16, 2, [](auto x, auto) {
        return test::RGBA{static_cast<std::uint16_t>(x ? 0xABCD : 0x1234), 0xFFFF, 0, 0xFFFF};
    });
    const Ref<Image> deepImage = Image::imageWithData(deep);
    ASSERT_NE(deepImage, nullptr);
    EXPECT_EQ(deepImage->bitmap()->bitsPerComponent(), 16);
    EXPECT_EQ(deepImage->bitmap()->alphaInfo(), ImageAlphaInfo::None);
    EXPECT_EQ(deepImage->bitmap()->rgbaPixels(), (Bytes{0x12, 0xFF, 0, 0xFF, 0xAB, 0xFF, 0, 0xFF}));
    const Ref<Image> large = Image::imageWithData(patternPNG(2048, 1024, false));
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(large->bitmap()->width() * large->bitmap()->height(), 2048u * 1024);
}

TEST(ImageDecode, TypedDecodersGifFramesAndCmyk) {
    const Bytes png = patternPNG(2, 2);
    const Bytes jpeg = test::makeJPEG(8, 8, JPEGKind::CMYK);
    EXPECT_NE(Bitmap::createWithPNGData(png), nullptr);
    EXPECT_EQ(Bitmap::createWithPNGData(jpeg), nullptr);
    const Ref<Bitmap> cmyk = Bitmap::createWithJPEGData(jpeg);
    ASSERT_NE(cmyk, nullptr);
    EXPECT_EQ(cmyk->colorModel(), ColorSpaceModel::CMYK);
    EXPECT_EQ(Bitmap::createWithJPEGData(png), nullptr);
    const Ref<Image> cmykImage = Image::imageWithData(jpeg);
    ASSERT_NE(cmykImage, nullptr);
    EXPECT_EQ(cmykImage->bitmap()->rgbaPixels().size(), 8u * 8 * 4);

    const Ref<Image> still = Image::imageWithData(test::oneFrameGIF());
    ASSERT_NE(still, nullptr);
    EXPECT_TRUE(still->images().empty());
    EXPECT_EQ(still->bitmap()->rgbaPixels(), (Bytes{0xFF, 0, 0, 0xFF}));
    const Ref<Image> animated = Image::imageWithData(test::twoFrameGIF(), 2);
    ASSERT_NE(animated, nullptr);
    EXPECT_EQ(animated->bitmap(), nullptr);
    ASSERT_EQ(animated->images().size(), 2u);
    EXPECT_DOUBLE_EQ(animated->duration(), 0.2);
    EXPECT_EQ(animated->scale(), 2);
    EXPECT_EQ(animated->images()[0]->bitmap()->rgbaPixels(), (Bytes{0xFF, 0, 0, 0xFF}));
    EXPECT_EQ(animated->images()[1]->bitmap()->rgbaPixels(), (Bytes{0, 0, 0xFF, 0xFF}));

    // Data cut inside the image stream scans but does not decode.
    EXPECT_EQ(Image::imageWithData(Bytes(png.begin(), png.end() - 20)), nullptr);
}

TEST(ImageDecode, DrawingIntoDeviceRGBLayouts) {
    // One pixel r 200, g 100, b 50, alpha 128.
    const Ref<Bitmap> source = Bitmap::withRGBAPixels(1, 1, Bytes{200, 100, 50, 128});
    ASSERT_NE(source, nullptr);
    const struct {
        std::uint32_t info;
        Bytes pixel;  // empty: no context
    } cases[] = {
        {2, {128, 100, 50, 25}},                              // premultiplied first
        {1, {100, 50, 25, 128}},                              // premultiplied last
        {6, {255, 100, 50, 25}},                              // skip first: over black
        {5, {100, 50, 25, 255}},                              // skip last
        {2 | kBitmapByteOrder32Little, {25, 50, 100, 128}},   // BGRA
        {0, {}}, {3, {}}, {4, {}}, {7, {}}, {2 | (1u << 12), {}}, {2 | 0x100, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.info);
        const Ref<Bitmap> drawn = Bitmap::drawInDeviceRGB(*source, 1, 1, 8, c.info);
        if (c.pixel.empty()) {
            EXPECT_EQ(drawn, nullptr);
            continue;
        }
        ASSERT_NE(drawn, nullptr);
        EXPECT_EQ(Bytes(drawn->pixels().begin(), drawn->pixels().end()), c.pixel);
        EXPECT_EQ(drawn->bitmapInfo(), c.info);
        EXPECT_EQ(drawn->colorModel(), ColorSpaceModel::RGB);
    }
    EXPECT_EQ(Bitmap::drawInDeviceRGB(*source, 1, 1, 16, 2), nullptr);
    EXPECT_EQ(Bitmap::drawInDeviceRGB(*source, 0, 1, 8, 2), nullptr);
    // Drawn premultiplied pixels read back straight; opaque ones exactly.
    const Ref<Bitmap> opaque = Bitmap::withRGBAPixels(2, 1, Bytes{1, 2, 3, 255, 250, 128, 7, 255});
    EXPECT_EQ(Bitmap::drawInDeviceRGB(*opaque, 2, 1, 8, 2)->rgbaPixels(), opaque->rgbaPixels());
    // Drawn larger, each source pixel covers its share of the area.
    EXPECT_EQ(Bitmap::drawInDeviceRGB(*opaque, 4, 1, 8, 1)->rgbaPixels(),
              (Bytes{1, 2, 3, 255, 1, 2, 3, 255, 250, 128, 7, 255, 250, 128, 7, 255}));
}

TEST(ImageDecode, DrawingOpaqueFilesIntoEveryLayout) {
    // A file without alpha takes the opaque road: each pixel's bytes moved to the layout, alpha 255.
    // Seven pixels wide, so rows end with pixels that do not fill a whole group of four.
    const Bytes png = patternPNG(7, 3, false);
    const Bytes straight = Bitmap::createWithPNGData(png)->rgbaPixels();
    ASSERT_EQ(straight.size(), 7u * 3 * 4);
    const struct {
        std::uint32_t info;
        int r, g, b, a;
    } layouts[] = {
        {2, 1, 2, 3, 0}, {1, 0, 1, 2, 3}, {6, 1, 2, 3, 0}, {5, 0, 1, 2, 3},
        {2 | kBitmapByteOrder32Little, 2, 1, 0, 3}, {1 | kBitmapByteOrder32Little, 3, 2, 1, 0},
        {6 | kBitmapByteOrder32Little, 2, 1, 0, 3}, {5 | kBitmapByteOrder32Little, 3, 2, 1, 0},
    };
    for (const auto& l : layouts) {
        SCOPED_TRACE(l.info);
        Bytes expected(straight.size());
        for (std::size_t at = 0; at < straight.size(); at += 4) {
            expected[at + l.r] = straight[at];
            expected[at + l.g] = straight[at + 1];
            expected[at + l.b] = straight[at + 2];
            expected[at + l.a] = 0xFF;
        }
        const Ref<Bitmap> source = Bitmap::createWithPNGData(png);
        const Ref<Bitmap> copied = Bitmap::drawInDeviceRGB(*source, 7, 3, 8, l.info);
        ASSERT_NE(copied, nullptr);
        EXPECT_EQ(Bytes(copied->pixels().begin(), copied->pixels().end()), expected);
        EXPECT_EQ(source->rgbaPixels(), straight);  // the source is left as it was
        Ref<Bitmap> only = Bitmap::createWithPNGData(png);
        const std::uint8_t* decoded = only->pixels().data();
        const Ref<Bitmap> inPlace = Bitmap::drawInDeviceRGB(std::move(only), 7, 3, 8, l.info);
        ASSERT_NE(inPlace, nullptr);
        EXPECT_EQ(inPlace->pixels().data(), decoded);
        EXPECT_EQ(Bytes(inPlace->pixels().begin(), inPlace->pixels().end()), expected);
    }
}

TEST(ImageDecode, DrawingTranslucentPixelsIntoEveryLayout) {
    // Every colour value under every alpha, premultiplied as (c × a + 127) / 255, in each layout, into a
    // new buffer and in place over a decoded file. 13 pixels wide, so the area ends with pixels that do
    // not fill a whole group of four.
    const std::uint32_t width = 13, height = (256 * 256 + width - 1) / width;
    Bytes straight(std::size_t{width} * height * 4);
    for (std::size_t i = 0; i < std::size_t{width} * height; ++i) {
        const auto v = static_cast<std::uint8_t>(i);
        straight[i * 4] = v;
        straight[i * 4 + 1] = static_cast<std::uint8_t>(255 - v);
        straight[i * 4 + 2] = static_cast<std::uint8_t>(v * 7 + 3);
        straight[i * 4 + 3] = static_cast<std::uint8_t>(i >> 8);
    }
    const std::optional<Bytes> png =
        imagePNGRepresentation(Image(Bitmap::withRGBAPixels(width, height, straight), 1, ImageOrientation::Up));
    ASSERT_TRUE(png);
    const struct {
        std::uint32_t info;
        int r, g, b, a;
        bool hasAlpha;
    } layouts[] = {
        {2, 1, 2, 3, 0, true}, {1, 0, 1, 2, 3, true}, {6, 1, 2, 3, 0, false}, {5, 0, 1, 2, 3, false},
        {2 | kBitmapByteOrder32Little, 2, 1, 0, 3, true}, {1 | kBitmapByteOrder32Little, 3, 2, 1, 0, true},
        {6 | kBitmapByteOrder32Little, 2, 1, 0, 3, false}, {5 | kBitmapByteOrder32Little, 3, 2, 1, 0, false},
    };
    for (const auto& l : layouts) {
        SCOPED_TRACE(l.info);
        Bytes expected(straight.size());
        for (std::size_t at = 0; at < straight.size(); at += 4) {
            const int alpha = straight[at + 3];
            expected[at + l.r] = static_cast<std::uint8_t>((straight[at] * alpha + 127) / 255);
            expected[at + l.g] = static_cast<std::uint8_t>((straight[at + 1] * alpha + 127) / 255);
            expected[at + l.b] = static_cast<std::uint8_t>((straight[at + 2] * alpha + 127) / 255);
            expected[at + l.a] = static_cast<std::uint8_t>(l.hasAlpha ? alpha : 0xFF);
        }
        const Ref<Bitmap> given = Bitmap::withRGBAPixels(width, height, straight);
        const Ref<Bitmap> drawn = Bitmap::drawInDeviceRGB(*given, width, height, 8, l.info);
        ASSERT_NE(drawn, nullptr);
        EXPECT_TRUE(Bytes(drawn->pixels().begin(), drawn->pixels().end()) == expected);
        EXPECT_TRUE(given->rgbaPixels() == straight);  // the source is left as it was
        Ref<Bitmap> only = Bitmap::createWithPNGData(*png);
        ASSERT_NE(only, nullptr);
        const std::uint8_t* decoded = only->pixels().data();
        const Ref<Bitmap> inPlace = Bitmap::drawInDeviceRGB(std::move(only), width, height, 8, l.info);
        ASSERT_NE(inPlace, nullptr);
        EXPECT_EQ(inPlace->pixels().data(), decoded);
        EXPECT_TRUE(Bytes(inPlace->pixels().begin(), inPlace->pixels().end()) == expected);
    }
}

TEST(ImageDecode, EncodingRoundTrips) {
    const Ref<Image> image = Image::imageWithData(patternPNG(31, 17));
    ASSERT_NE(image, nullptr);
    const std::optional<Bytes> png = imagePNGRepresentation(*image);
    ASSERT_TRUE(png);
    const Ref<Image> again = Image::imageWithData(*png);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->bitmap()->rgbaPixels(), image->bitmap()->rgbaPixels());

    const Ref<Image> photo = Image::imageWithData(test::makeJPEG(40, 24, JPEGKind::RGB, 95));
    ASSERT_NE(photo, nullptr);
    const std::optional<Bytes> jpeg = imageJPEGRepresentation(*photo, 0.95);
    ASSERT_TRUE(jpeg);
    const Ref<Image> decoded = Image::imageWithData(*jpeg);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->bitmap()->header().type, ImageFileType::JPEG);
    const Bytes before = photo->bitmap()->rgbaPixels();
    const Bytes after = decoded->bitmap()->rgbaPixels();
    ASSERT_EQ(before.size(), after.size());
    long total = 0;
    for (std::size_t i = 0; i < before.size(); ++i) total += std::abs(int{before[i]} - int{after[i]});
    EXPECT_LT(static_cast<double>(total) / static_cast<double>(before.size()), 4.0);  // lossy, but close

    // An image without pixels encodes to nothing.
    EXPECT_FALSE(imagePNGRepresentation(Image(nullptr, 1, ImageOrientation::Up)));
}

TEST(ImageDecode, ImageViewSizesToItsImage) {
    const Ref<ImageView> view = ImageView::withImage(Image::imageWithData(patternPNG(6, 4), 2));
    EXPECT_EQ(view->frame().size.width, 3);
    EXPECT_EQ(view->frame().size.height, 2);
    ASSERT_NE(view->image(), nullptr);
}

TEST(Cache, LeastRecentlyUsedGoesFirstUnderCountAndCostLimits) {
    const Ref<Cache> cache = Cache::make();
    auto object = [] { return Error::make("x", 0); };
    cache->setCountLimit(3);
    cache->setObject("a", object(), 1);
    cache->setObject("b", object(), 1);
    cache->setObject("c", object(), 1);
    EXPECT_NE(cache->objectForKey("a"), nullptr);  // a is now the most recent
    cache->setObject("d", object(), 1);            // b goes
    EXPECT_EQ(cache->objectForKey("b"), nullptr);
    EXPECT_EQ(cache->count(), 3u);
    cache->setTotalCostLimit(10);
    cache->setObject("c", object(), 9);  // replaced: cost 1 + 1 + 9 = 11 > 10, so the oldest (a) goes
    EXPECT_EQ(cache->objectForKey("a"), nullptr);
    EXPECT_EQ(cache->totalCost(), 10u);
    cache->setObject("d", nullptr);
    EXPECT_EQ(cache->count(), 1u);
    cache->removeAllObjects();
    EXPECT_EQ(cache->count(), 0u);
    EXPECT_EQ(cache->totalCost(), 0u);
}

}  // namespace
}  // namespace lv
