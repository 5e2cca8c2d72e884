// The two-level image cache and remote image loading against a loopback server.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "images/remote_image.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/run_loop.h"
#include "platform/storage/file_manager.h"
#include "platform/ui/application.h"
#include "platform/ui/image_fixtures.h"
#include "platform/ui/image_server.h"
#include "support/temp_dir.h"

namespace lv {
namespace {

struct Outcome {
    Ref<Image> image;
    Ref<Error> error;
    RIImageCacheType type = RIImageCacheType::None;
    int calls = 0;
};

class RemoteImage : public ::testing::Test {
protected:
    void SetUp() override {
        cache_ = RIImageCache::make(dir_.file("RIImageCache"));
        ImageViewRemoteImage::setImageCache(cache_);
    }
    void TearDown() override { ImageViewRemoteImage::setImageCache(nullptr); }

    // Starts loading the path (no URL when empty) into the view; the outcome fills in on completion.
    std::shared_ptr<Outcome> start(const Ref<ImageView>& view, const std::string& path,
                                   const Ref<Image>& placeholder = nullptr) {
        auto outcome = std::make_shared<Outcome>();
        ImageViewRemoteImage::ri_setImageWithURL(
            view, path.empty() ? nullptr : URL::URLWithString(server_.url(path)), placeholder, 0, nullptr,
            [outcome](const Ref<Image>& image, const Ref<Error>& error, RIImageCacheType type, const Ref<URL>&) {
                *outcome = {image, error, type, outcome->calls + 1};
            });
        return outcome;
    }
    // Starts the load and pumps the main loop until the completion ran.
    std::shared_ptr<Outcome> load(const Ref<ImageView>& view, const std::string& path,
                                  const Ref<Image>& placeholder = nullptr) {
        auto outcome = start(view, path, placeholder);
        EXPECT_TRUE(runMainUntil([&] { return outcome->calls > 0; }, 10));
        return outcome;
    }
    std::string fileFor(const std::string& path) const { return cache_->defaultCachePathForKey(server_.url(path)); }
    void flushDisk() const { cache_->ioQueue()->sync([] {}); }

    test::TempDir dir_;
    test::ImageServer server_;
    Ref<RIImageCache> cache_;
};
using ImageCache = RemoteImage;

TEST_F(RemoteImage, DownloadThenDiskThenMemory) {
    const Ref<ImageView> view = ImageView::make();
    const auto first = load(view, "/image.png");
    ASSERT_NE(first->image, nullptr);
    EXPECT_EQ(first->error, nullptr);
    EXPECT_EQ(first->type, RIImageCacheType::None);
    EXPECT_EQ(view->image(), first->image);
    EXPECT_EQ(first->image->bitmap()->width(), 3u);
    flushDisk();
    // The bytes as served (the file name: image_cache_reader.py).
    EXPECT_EQ(dataWithContentsOfFile(fileFor("/image.png")), test::ImageServer::png(3));

    // A fresh cache object over the same directory serves the file without a request.
    cache_ = RIImageCache::make(dir_.file("RIImageCache"));
    ImageViewRemoteImage::setImageCache(cache_);
    const auto second = load(ImageView::make(), "/image.png");
    EXPECT_EQ(second->type, RIImageCacheType::Disk);
    ASSERT_NE(second->image, nullptr);
    EXPECT_EQ(server_.requests("/image.png"), 1);

    // Now in memory: answered at once, before the call returns, with no file needed.
    std::filesystem::remove(fileFor("/image.png"));
    const Ref<ImageView> other = ImageView::make();
    const auto third = start(other, "/image.png");
    EXPECT_EQ(third->calls, 1);
    EXPECT_EQ(third->type, RIImageCacheType::Memory);
    EXPECT_EQ(other->image(), second->image);
    EXPECT_EQ(server_.requests("/image.png"), 1);

    // The forwarding form loads without blocks.
    const Ref<ImageView> plain = ImageView::make();
    ImageViewRemoteImageDeprecated::setImageWithURL(plain, URL::URLWithString(server_.url("/photo.jpg")));
    EXPECT_TRUE(runMainUntil([&] { return plain->image() != nullptr; }, 10));
    EXPECT_EQ(RIImageCache::decodesOnMainThread(), 0u);
}

TEST_F(RemoteImage, FailuresKeepThePlaceholderAndCacheNothing) {
    const Ref<Image> placeholder = Image::imageWithData(test::oneFrameGIF());
    const struct {
        const char* path;
        std::int64_t code;
    } cases[] = {{"/missing.png", -1011}, {"/page", -1016}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const Ref<ImageView> view = ImageView::make();
        const auto outcome = load(view, c.path, placeholder);
        EXPECT_EQ(outcome->image, nullptr);
        ASSERT_NE(outcome->error, nullptr);
        EXPECT_EQ(outcome->error->code(), c.code);
        EXPECT_EQ(view->image(), placeholder);
        flushDisk();
        EXPECT_FALSE(std::filesystem::exists(fileFor(c.path)));
        EXPECT_EQ(cache_->imageFromMemoryCacheForKey(server_.url(c.path)), nullptr);
    }
    const auto none = load(ImageView::make(), "", placeholder);
    ASSERT_NE(none->error, nullptr);
    EXPECT_EQ(none->error->code(), -1000);
}

// A body up to the bound loads; one byte more, or a body that never ends, fails as it arrives with
// the transport's -1103, keeps the placeholder and caches nothing, and the download lets go of the
// endless reply (the server sees its client leave) instead of gathering it.
TEST_F(RemoteImage, BodiesPastTheBoundFailAsTheyArrive) {
    EXPECT_EQ(kRIImageMaxDownloadBytes, 8 * 1024 * 1024);
    const std::string atBound = "/padded?bytes=" + std::to_string(kRIImageMaxDownloadBytes);
    const std::string overBound = "/padded?bytes=" + std::to_string(kRIImageMaxDownloadBytes + 1);
    const Ref<Image> placeholder = Image::imageWithData(test::oneFrameGIF());
    const struct {
        std::string path;
        bool loads;
    } cases[] = {{atBound, true}, {overBound, false}, {"/endless", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const Ref<ImageView> view = ImageView::make();
        const auto outcome = load(view, c.path, placeholder);
        flushDisk();
        if (c.loads) {
            ASSERT_NE(outcome->image, nullptr);
            EXPECT_EQ(outcome->error, nullptr);
            EXPECT_EQ(outcome->image->bitmap()->width(), 3u);
            EXPECT_EQ(view->image(), outcome->image);
            EXPECT_EQ(std::filesystem::file_size(fileFor(c.path)), static_cast<std::uintmax_t>(kRIImageMaxDownloadBytes));
            continue;
        }
        EXPECT_EQ(outcome->image, nullptr);
        ASSERT_NE(outcome->error, nullptr);
        EXPECT_EQ(outcome->error->domain(), "NSURLErrorDomain");
        EXPECT_EQ(outcome->error->code(), -1103);
        EXPECT_EQ(view->image(), placeholder);
        EXPECT_FALSE(std::filesystem::exists(fileFor(c.path)));
        EXPECT_EQ(cache_->imageFromMemoryCacheForKey(server_.url(c.path)), nullptr);
    }
    ASSERT_TRUE(runMainUntil([&] { return server_.endlessAbandoned() == 1; }, 10));
    EXPECT_LT(server_.endlessSent(), 256ull * 1024 * 1024);
}

TEST_F(RemoteImage, UndecodableCacheFileIsDeletedAndLoadedAgain) {
    // Text, and a JPEG frame header of 8000 x 8000 with no tables and no scan (it would decode blank).
    const Bytes damaged[] = {Value::data("no longer an image").bytes(),
                             Bytes{0xFF, 0xD8, 0xFF, 0xC0, 0, 11, 8, 0x1F, 0x40, 0x1F, 0x40, 1, 1, 0x11, 0, 0xFF, 0xD9}};
    int requests = 0;
    for (const Bytes& file : damaged) {
        cache_->clearMemory();
        writeToFile(file, fileFor("/image.png"), true);
        const auto outcome = load(ImageView::make(), "/image.png");
        ASSERT_NE(outcome->image, nullptr);
        EXPECT_EQ(outcome->type, RIImageCacheType::None);
        EXPECT_EQ(server_.requests("/image.png"), ++requests);
        flushDisk();
        EXPECT_EQ(dataWithContentsOfFile(fileFor("/image.png")), test::ImageServer::png(3));
    }
}

// The memory level keeps at most its cost limit of pixel bytes, the least recently used leaving
// first; an image past the pixel bound is refused before it is decoded.
TEST_F(ImageCache, MemoryLevelAndImagesAreBounded) {
    const std::uint32_t width = 4096, height = 1024;  // 16 MiB of pixels each
    const std::size_t images = kRIImageMemoryCostLimit / (std::size_t{width} * height * 4) + 2;
    for (std::size_t i = 0; i < images; ++i) {
        auto bitmap = Bitmap::withRGBAPixels(width, height, Bytes(std::size_t{width} * height * 4, 0x7F));
        cache_->storeImage(Image::imageWithBitmap(bitmap, 1, ImageOrientation::Up), {}, "big" + std::to_string(i), false);
    }
    EXPECT_LE(cache_->memoryCache()->totalCost(), kRIImageMemoryCostLimit);
    EXPECT_NE(cache_->imageFromMemoryCacheForKey("big" + std::to_string(images - 1)), nullptr);
    EXPECT_EQ(cache_->imageFromMemoryCacheForKey("big0"), nullptr);

    const Bytes tooLarge = test::makePNG(8193, 2048, 8, 0, [](std::uint32_t, std::uint32_t) { return test::RGBA{9, 9, 9, 255}; });
    EXPECT_EQ(RIImageCache::decodeImageData(tooLarge), nullptr);
}

TEST_F(RemoteImage, SecondCallCancelsTheFirst) {
    const Ref<ImageView> view = ImageView::make();
    const auto held = start(view, "/held.png");
    ASSERT_TRUE(runMainUntil([&] { return server_.requests("/held.png") == 1; }, 10));
    const auto second = load(view, "/image.png");
    ASSERT_NE(second->image, nullptr);
    server_.release();
    // Another view loads the same URL; by its completion the first response has long arrived.
    const auto later = load(ImageView::make(), "/held.png");
    ASSERT_NE(later->image, nullptr);
    EXPECT_EQ(held->calls, 0);
    EXPECT_EQ(view->image(), second->image);
}

TEST_F(ImageCache, MemoryWarningEmptiesTheMemoryLevel) {
    const auto outcome = load(ImageView::make(), "/image.png");
    ASSERT_EQ(cache_->imageFromMemoryCacheForKey(server_.url("/image.png")), outcome->image);
    NotificationCenter::defaultCenter()->post(std::string(kApplicationDidReceiveMemoryWarningNotification));
    EXPECT_EQ(cache_->memoryCache()->count(), 0u);
}

TEST_F(ImageCache, FilesAgeOutByModificationTime) {
    const struct {
        std::string_view notification;
        double maxAge;
        double fileAge;
        bool kept;
    } cases[] = {{kApplicationDidEnterBackgroundNotification, 0, 8 * 86400, false},
                 {kApplicationDidEnterBackgroundNotification, 0, 6 * 86400, true},
                 {kApplicationWillTerminateNotification, 3600, 7200, false},
                 {kApplicationWillTerminateNotification, 3600, 60, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fileAge);
        if (c.maxAge > 0) cache_->setMaxCacheAge(c.maxAge);
        const std::string file = cache_->defaultCachePathForKey("http://127.0.0.1/aged");
        ASSERT_TRUE(writeToFile(test::ImageServer::png(3), file, true));
        ASSERT_TRUE(FileManager::defaultManager().setAttributes(
            Dictionary{{std::string(kFileModificationDate), Value(Date::fromSince1970(Date::now().since1970() - c.fileAge))}},
            file, nullptr));
        NotificationCenter::defaultCenter()->post(std::string(c.notification));
        flushDisk();
        EXPECT_EQ(std::filesystem::exists(file), c.kept);
    }
}

// The file names, the lower-case MD5 of the URL: image_cache_reader.py.
TEST_F(ImageCache, SharedCacheIsInLibraryCaches) {
    EXPECT_TRUE(RIImageCache::sharedImageCache()->diskCachePath().ends_with("Library/Caches/RIImageCache"));
}

}  // namespace
}  // namespace lv
