// The image response serializer: defaults, validation with images, inflation and its fall-backs, the
// alpha mapping, copies and archives.
#include <gtest/gtest.h>

#include "http/image_response_serializer.h"
#include "platform/net/url.h"
#include "platform/storage/keyed_archive.h"
#include "platform/ui/device.h"
#include "platform/ui/image_fixtures.h"

namespace lv {
namespace {

Ref<HTTPURLResponse> imageResponse(int status, const char* contentType) {
    HTTPHeaders headers;
    headers.set("Content-Type", contentType);
    return makeRef<HTTPURLResponse>(URL::URLWithString("http://127.0.0.1/image"), status, headers);
}

Bytes pngOf(std::uint32_t width, std::uint32_t height, int depth = 8, int colourType = 6) {
    return test::makePNG(width, height, depth, colourType, [&](std::uint32_t x, std::uint32_t y) {
        const test::RGBA p = test::patternPixel(x, y, colourType == 6);
        const std::uint16_t scale = depth == 16 ? 257 : 1;
        return test::RGBA{static_cast<std::uint16_t>(p.r * scale), static_cast<std::uint16_t>(p.g * scale),
                          static_cast<std::uint16_t>(p.b * scale), static_cast<std::uint16_t>(p.a * scale)};
    });
}

class ScreenScale {
public:
    explicit ScreenScale(double scale) {
        DeviceFacts facts = DeviceFacts::machineDefaults();
        facts.screenScale = scale;
        DeviceFacts::set(facts);
    }
    ~ScreenScale() { DeviceFacts::reset(); }
};

TEST(ImageResponseSerializer, DefaultsFollowTheScreen) {
    const ScreenScale screen(3);
    const auto serializer = HCImageResponseSerializer::serializer();
    EXPECT_EQ(serializer->imageScale(), 3);
    EXPECT_TRUE(serializer->automaticallyInflatesResponseImage());
    EXPECT_EQ(serializer->acceptableContentTypes(),
              (std::set<std::string>{"image/tiff", "image/jpeg", "image/gif", "image/png", "image/ico", "image/x-icon",
                                     "image/bmp", "image/x-bmp", "image/x-xbitmap", "image/x-win-bitmap"}));
    EXPECT_EQ(serializer->acceptableStatusCodes(), HCStatusCodeRange(200, 100));
}

TEST(ImageResponseSerializer, AlphaMappingOfInflation) {
    const struct {
        std::uint32_t in, out;
    } cases[] = {{0, 6}, {1, 2}, {2, 2}, {3, 2}, {4, 2}, {5, 5}, {6, 6}, {7, 2}, {0x1F, 2},
                 {kBitmapByteOrder32Little | 3, kBitmapByteOrder32Little | 2},
                 {kBitmapByteOrder32Big | 0, kBitmapByteOrder32Big | 6}, {0x100 | 5, 0x100 | 5}};
    for (const auto& c : cases) EXPECT_EQ(inflatedBitmapInfo(c.in), c.out) << c.in;
}

TEST(ImageResponseSerializer, ImagesInflatedOrNot) {
    const ScreenScale screen(2);
    const auto serializer = HCImageResponseSerializer::serializer();
    const auto plain = HCImageResponseSerializer::serializer();
    plain->setAutomaticallyInflatesResponseImage(false);
    struct Case {
        const char* name;
        Ref<HCImageResponseSerializer> serializer;
        const char* type;
        Bytes body;
        bool inflated;           // drawn into device RGB
        std::uint32_t info;      // the bitmap info of the result
        std::size_t frames;
        Size size;               // in points
    };
    const Case cases[] = {
        {"rgba png", serializer, "image/png", pngOf(4, 2), true, 2, 0, {2, 1}},
        {"rgb png", serializer, "image/png", pngOf(4, 2, 8, 2), true, 6, 0, {2, 1}},
        {"png served as jpeg", serializer, "image/jpeg", pngOf(4, 2), true, 2, 0, {2, 1}},
        {"rgb jpeg", serializer, "image/jpeg", test::makeJPEG(8, 6, test::JPEGKind::RGB), true, 6, 0, {4, 3}},
        {"cmyk jpeg: the decoded image is drawn", serializer, "image/jpeg",
         test::makeJPEG(8, 6, test::JPEGKind::CMYK), true, 6, 0, {4, 3}},
        {"one-frame gif", serializer, "image/gif", test::oneFrameGIF(), true, 2, 0, {0.5, 0.5}},
        // Returned as decoded, so at the decoder's scale 1.
        {"animated gif", serializer, "image/gif", test::twoFrameGIF(), false, 0, 2, {1, 1}},
        // The inflation bound: 1,048,576 pixels are drawn, one more are not.
        {"1024 x 1024 png", serializer, "image/png", pngOf(1024, 1024, 8, 2), true, 6, 0, {512, 512}},
        {"61681 x 17 png", serializer, "image/png", pngOf(61681, 17, 8, 2), false, 0, 0, {30840.5, 8.5}},
        {"2048 x 1024 png", serializer, "image/png", pngOf(2048, 1024, 8, 2), false, 0, 0, {1024, 512}},
        {"16-bit png", serializer, "image/png", pngOf(4, 2, 16, 6), false, 3, 0, {2, 1}},
        {"inflation off", plain, "image/png", pngOf(4, 2), false, 3, 0, {2, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Ref<Error> error;
        const Value object = c.serializer->responseObjectForResponse(imageResponse(200, c.type), Value(c.body), &error);
        EXPECT_EQ(error, nullptr);
        const Ref<Image> image = object.objectAs<Image>();
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->scale(), c.frames ? 1 : 2);
        EXPECT_EQ(image->size().width, c.size.width);
        EXPECT_EQ(image->size().height, c.size.height);
        EXPECT_EQ(image->images().size(), c.frames);
        if (c.frames) continue;
        const Ref<Bitmap>& bitmap = image->bitmap();
        ASSERT_NE(bitmap, nullptr);
        EXPECT_EQ(bitmap->sourceType() == ImageFileType::Unknown, c.inflated);
        EXPECT_EQ(bitmap->bitmapInfo(), c.info);
        if (c.inflated) {
            EXPECT_EQ(bitmap->colorModel(), ColorSpaceModel::RGB);
            EXPECT_EQ(bitmap->bitsPerComponent(), 8);
        }
    }
    // Inflation draws over the decoded buffer in place; the pixels equal a drawing into a new bitmap.
    const struct {
        const char* type;
        Bytes body;
        std::uint32_t info;
    } draws[] = {{"image/png", pngOf(37, 11), 2}, {"image/png", pngOf(37, 11, 8, 2), 6},
                 {"image/jpeg", test::makeJPEG(19, 13, test::JPEGKind::RGB), 6}};
    for (const auto& d : draws) {
        SCOPED_TRACE(d.info);
        const Ref<Image> inflated =
            serializer->responseObjectForResponse(imageResponse(200, d.type), Value(d.body), nullptr).objectAs<Image>();
        ASSERT_NE(inflated, nullptr);
        const Ref<Bitmap> decoded = Image::imageWithData(d.body)->bitmap();
        const Ref<Bitmap> expected = Bitmap::drawInDeviceRGB(*decoded, decoded->width(), decoded->height(), 8, d.info);
        const std::span<const std::uint8_t> got = inflated->bitmap()->pixels();
        const std::span<const std::uint8_t> want = expected->pixels();
        EXPECT_EQ(Bytes(got.begin(), got.end()), Bytes(want.begin(), want.end()));
        // Pattern pixel (5, 1) of the RGBA PNG, premultiplied and alpha first: a 16, r 35 → 2, g 5 → 0, b 6 → 0.
        if (d.info == 2) {
            EXPECT_EQ(Bytes(got.begin() + (37 + 5) * 4, got.begin() + (37 + 5) * 4 + 4), (Bytes{16, 2, 0, 0}));
        }
    }
}

TEST(ImageResponseSerializer, ValidationAndUndecodableBodies) {
    const auto serializer = HCImageResponseSerializer::serializer();
    const Bytes png = pngOf(2, 2);
    // 404 image/png: the image and -1011 with an out-parameter; nil without.
    Ref<Error> error;
    const Value notFound = serializer->responseObjectForResponse(imageResponse(404, "image/png"), Value(png), &error);
    EXPECT_NE(notFound.objectAs<Image>(), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), kHCURLResponseSerializationErrorDomain);
    EXPECT_EQ(error->code(), kHCResponseErrorBadServerResponse);
    EXPECT_TRUE(serializer->responseObjectForResponse(imageResponse(404, "image/png"), Value(png), nullptr).isNil());
    // HTML: nil and -1016.
    error = nullptr;
    EXPECT_TRUE(serializer->responseObjectForResponse(imageResponse(200, "text/html"), Value::data("<html/>"), &error)
                    .isNil());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), kHCResponseErrorCannotDecodeContentData);
    // Not an image, TIFF and ICO (acceptable types stb cannot read), no body: nil and no error.
    const struct {
        const char* type;
        Value body;
    } empties[] = {{"image/png", Value::data("garbage")}, {"image/tiff", Value(test::tiffBytes())},
                   {"image/x-icon", Value(test::icoBytes())}, {"image/png", Value()}, {"image/png", Value(Bytes{})},
                   {"image/png", Value(Bytes(png.begin(), png.end() - 30))},
                   // Past the screen-image bound of 16 M pixels (it would decode to 64 MiB and more).
                   {"image/png", Value(pngOf(8193, 2048, 8, 0))}};
    for (const auto& c : empties) {
        for (bool inflate : {true, false}) {
            SCOPED_TRACE(std::string(c.type) + (inflate ? " inflated" : ""));
            serializer->setAutomaticallyInflatesResponseImage(inflate);
            error = nullptr;
            EXPECT_TRUE(serializer->responseObjectForResponse(imageResponse(200, c.type), c.body, &error).isNil());
            EXPECT_EQ(error, nullptr);
        }
    }
}

TEST(ImageResponseSerializer, CopiesAndArchives) {
    const auto serializer = HCImageResponseSerializer::serializer();
    serializer->setImageScale(1.5);
    serializer->setAutomaticallyInflatesResponseImage(false);
    serializer->setAcceptableContentTypes(std::set<std::string>{"image/png"});
    const auto copy = std::dynamic_pointer_cast<HCImageResponseSerializer>(serializer->copy());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->imageScale(), 1.5);
    EXPECT_FALSE(copy->automaticallyInflatesResponseImage());
    EXPECT_EQ(copy->acceptableContentTypes()->size(), 10u);  // the -init defaults

    HCImageResponseSerializer::runtimeClass();
    const Bytes archive = KeyedArchiver::archivedDataWithRootObject(Value(serializer));
    KeyedUnarchiver reader(archive);
    reader.setRequiresSecureCoding(false);
    const Ref<HCImageResponseSerializer> decoded = reader.decodeObject("root").objectAs<HCImageResponseSerializer>();
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->imageScale(), 1.5);
    EXPECT_FALSE(decoded->automaticallyInflatesResponseImage());
    // The keys are the property names.
    const Value plist = PropertyListSerialization::propertyListWithData(archive, 0, nullptr, nullptr);
    std::set<std::string> keys;
    for (const Value& object : plist["$objects"].array()) {
        if (object.isDictionary()) {
            for (const auto& [key, value] : object.dictionary()) keys.insert(key);
        }
    }
    EXPECT_TRUE(keys.count("imageScale"));
    EXPECT_TRUE(keys.count("automaticallyInflatesResponseImage"));
}

}  // namespace
}  // namespace lv
