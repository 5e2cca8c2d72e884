// Image views and buttons loading images from a loopback server through request operations.
#include <gtest/gtest.h>

#include "http/ui_image_loading.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/thread.h"
#include "platform/ui/application.h"
#include "platform/ui/control_channel.h"
#include "platform/ui/image_fixtures.h"
#include "platform/ui/image_server.h"

namespace lv::test {
namespace {

// A button that checks every image change happens on the main thread.
class MainThreadButton : public Button {
public:
    void setImage(const Ref<Image>& image, ControlState state) override {
        EXPECT_TRUE(Thread::isMainThread());
        Button::setImage(image, state);
    }
    void setBackgroundImage(const Ref<Image>& image, ControlState state) override {
        EXPECT_TRUE(Thread::isMainThread());
        Button::setBackgroundImage(image, state);
    }
};

double side(const Ref<Image>& image) { return image ? image->size().width * image->scale() : 0; }

class ImageLoadingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ImageViewHCNetworking::setSharedImageCache(cache_);
        ButtonHCNetworking::setSharedImageCache(nullptr);
    }
    void TearDown() override {
        server_.release();
        ImageViewHCNetworking::hc_sharedImageRequestOperationQueue()->waitUntilAllOperationsAreFinished();
        ButtonHCNetworking::hc_sharedImageRequestOperationQueue()->waitUntilAllOperationsAreFinished();
        ImageViewHCNetworking::setSharedImageCache(nullptr);
    }
    static bool wait(const std::function<bool()>& done) { return runMainUntil(done, 10); }
    Ref<URL> url(const std::string& path) const { return URL::URLWithString(server_.url(path)); }

    ImageServer server_;
    Ref<HCImageCache> cache_ = HCImageCache::make();
    Ref<Image> placeholder_ = Image::imageWithData(makePNG(1, 1, 8, 6, [](auto, auto) { return RGBA{1, 2, 3, 4}; }));
    Ref<ImageView> view_ = ImageView::make();
    Ref<Button> button_ = makeRef<MainThreadButton>();
};
class ImageViewLoading : public ImageLoadingTest {};
class ButtonLoading : public ImageLoadingTest {};

TEST_F(ImageViewLoading, LoadsOnceThenAnswersFromTheCacheUnlessThePolicyIgnoresIt) {
    ImageViewHCNetworking::setImageWithURL(view_, url("/a?size=6"), placeholder_);
    EXPECT_EQ(view_->image(), placeholder_);
    ASSERT_TRUE(wait([&] { return view_->image() != placeholder_; }));
    EXPECT_EQ(side(view_->image()), 6);
    EXPECT_EQ(server_.accept(), "image/*");
    EXPECT_FALSE(ImageViewHCNetworking::hc_imageRequestOperation(*view_));

    // From the cache: at once, no request, the success block with no request and no response.
    bool called = false;
    ImageViewHCNetworking::setImageWithURLRequest(
        ImageView::make(), URLRequest(url("/a?size=6")), nullptr,
        [&](const std::optional<URLRequest>& request, const Ref<HTTPURLResponse>& response, const Ref<Image>& image) {
            called = !request && !response && image == view_->image();
        },
        nullptr);
    EXPECT_TRUE(called);
    EXPECT_EQ(server_.requests("/a"), 1);

    int loads = 1;
    for (auto policy : {URLRequestCachePolicy::ReloadIgnoringLocalCacheData,
                        URLRequestCachePolicy::ReloadIgnoringLocalAndRemoteCacheData}) {
        const Ref<Image> before = view_->image();
        ImageViewHCNetworking::setImageWithURLRequest(view_, URLRequest(url("/a?size=6"), policy), nullptr,
                                                      nullptr, nullptr);
        ASSERT_TRUE(wait([&] { return view_->image() != before; }));
        EXPECT_EQ(server_.requests("/a"), ++loads);
        EXPECT_EQ(cache_->cachedImageForRequest(URLRequest(url("/a?size=6"))), view_->image());
    }
}

TEST_F(ImageViewLoading, SecondLoadCancelsTheFirst) {
    ImageViewHCNetworking::setImageWithURL(view_, url("/held"));
    const auto first = ImageViewHCNetworking::hc_imageRequestOperation(*view_);
    ImageViewHCNetworking::setImageWithURL(view_, url("/b?size=6"));
    EXPECT_TRUE(first->isCancelled());
    server_.release();
    ASSERT_TRUE(wait([&] { return view_->image() && first->isFinished(); }));
    ASSERT_TRUE(wait([&] { return ImageViewHCNetworking::hc_sharedImageRequestOperationQueue()->operationCount() == 0; }));
    EXPECT_EQ(side(view_->image()), 6);
}

TEST_F(ImageViewLoading, NilImagesAndFailuresKeepThePlaceholder) {
    Ref<Error> failed;
    ImageViewHCNetworking::setImageWithURLRequest(
        view_, URLRequest(url("/missing")), placeholder_, nullptr,
        [&](const URLRequest& request, const Ref<HTTPURLResponse>& response, const Ref<Error>& error) {
            EXPECT_TRUE(Thread::isMainThread());
            EXPECT_EQ(request.URL()->absoluteString(), url("/missing")->absoluteString());
            EXPECT_EQ(response->statusCode(), 404);
            failed = error;
        });
    ASSERT_TRUE(wait([&] { return failed != nullptr; }));
    EXPECT_EQ(failed->code(), -1011);

    ImageViewHCNetworking::setImageWithURL(view_, url("/bad"), placeholder_);
    ButtonHCNetworking::setImageForState(button_, kControlStateNormal, url("/bad"), placeholder_);
    ASSERT_TRUE(wait([&] {
        return !ImageViewHCNetworking::hc_imageRequestOperation(*view_) &&
               !ButtonHCNetworking::hc_imageRequestOperationForState(*button_, kControlStateNormal);
    }));
    EXPECT_EQ(view_->image(), placeholder_);
    EXPECT_EQ(button_->imageForState(kControlStateNormal), placeholder_);
    EXPECT_EQ(cache_->count(), 0u);
}

// Image views and buttons send a request without a bound of its own with the image bound: a reply up
// to it loads, one byte more or an endless one fails with the transport's -1103 as it arrives (the
// server sees the client leave), the placeholder stays and nothing is cached. A request's own bound
// holds instead.
TEST_F(ImageViewLoading, RepliesPastTheBoundFailAsTheyArrive) {
    EXPECT_EQ(kHCImageMaxReplyBytes, 8 * 1024 * 1024);
    const auto padded = [](std::int64_t bytes) { return "/padded?bytes=" + std::to_string(bytes); };
    const struct {
        std::string path;
        std::int64_t ownBound;  // 0: none
        bool loads;
    } cases[] = {{padded(kHCImageMaxReplyBytes), 0, true},
                 {padded(kHCImageMaxReplyBytes + 1), 0, false},
                 {"/endless", 0, false},
                 {padded(4096), 4096, true},
                 {padded(4097), 4096, false}};
    int endless = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.path == "/endless") endless += 2;
        for (const std::string owner : {"view", "button"}) {
            SCOPED_TRACE(owner);
            URLRequest request(url(c.path + (c.path.find('?') == std::string::npos ? "?" : "&") + "for=" + owner));
            request.setMaximumResponseBodySize(c.ownBound);
            Ref<Image> loaded;
            Ref<Error> failed;
            bool ended = false;
            if (owner == "view") {
                const Ref<ImageView> view = ImageView::make();
                ImageViewHCNetworking::setImageWithURLRequest(
                    view, request, placeholder_,
                    [&](const std::optional<URLRequest>&, const Ref<HTTPURLResponse>&, const Ref<Image>& image) {
                        loaded = image;
                        ended = true;
                    },
                    [&](const URLRequest&, const Ref<HTTPURLResponse>&, const Ref<Error>& error) {
                        failed = error;
                        ended = true;
                    });
                ASSERT_TRUE(wait([&] { return ended; }));
                EXPECT_EQ(view->image(), placeholder_);  // the blocks take the outcome
            } else {
                ButtonHCNetworking::setImageForState(
                    button_, kControlStateNormal, request, placeholder_,
                    [&](const std::optional<URLRequest>&, const Ref<HTTPURLResponse>&, const Ref<Image>& image) {
                        loaded = image;
                        ended = true;
                    },
                    [&](const Ref<Error>& error) {
                        failed = error;
                        ended = true;
                    });
                ASSERT_TRUE(wait([&] { return ended; }));
                EXPECT_EQ(button_->imageForState(kControlStateNormal), placeholder_);
            }
            if (c.loads) {
                EXPECT_FALSE(failed);
                EXPECT_EQ(side(loaded), 3);
                EXPECT_EQ(cache_->cachedImageForRequest(request), loaded);
                continue;
            }
            EXPECT_FALSE(loaded);
            ASSERT_TRUE(failed);
            EXPECT_EQ(failed->code(), -1103);
            EXPECT_FALSE(cache_->cachedImageForRequest(request));
        }
    }
    // The plain form: the default bound, no blocks; the placeholder stays.
    ImageViewHCNetworking::setImageWithURL(view_, url("/endless?for=plain"), placeholder_);
    ++endless;
    ASSERT_TRUE(wait([&] { return !ImageViewHCNetworking::hc_imageRequestOperation(*view_); }));
    EXPECT_EQ(view_->image(), placeholder_);
    ASSERT_TRUE(wait([&] { return server_.endlessAbandoned() == endless; }));
    EXPECT_EQ(cache_->count(), 4u);  // the loads at either bound, by a view and a button
}

TEST_F(ImageViewLoading, MemoryWarningEmptiesTheDefaultCache) {
    ImageViewHCNetworking::setSharedImageCache(nullptr);
    const auto defaultCache = ImageViewHCNetworking::sharedImageCache();
    ImageViewHCNetworking::setImageWithURL(view_, url("/c"));
    ASSERT_TRUE(wait([&] { return view_->image() != nullptr; }));
    EXPECT_EQ(defaultCache->count(), 1u);

    Application::resetSharedApplication();
    ASSERT_TRUE(Application::sharedApplication()->launch());
    EXPECT_TRUE(ControlChannel::execute("memory-warning"));
    EXPECT_EQ(defaultCache->count(), 0u);
    Application::resetSharedApplication();
}

TEST_F(ButtonLoading, StateSlots) {
    // The second load starts while the first state's held load runs: does it cancel that load?
    struct Case {
        ControlState first, second;
        bool background, cancels;
    } cases[] = {{0, 3, false, true},  {0, 8, false, true},  {1, 1, false, true},
                 {0, 1, false, false}, {2, 4, false, false}, {0, 0, true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.second) + (c.background ? " background" : ""));
        auto button = makeRef<MainThreadButton>();
        ButtonHCNetworking::setImageForState(button, c.first, url("/held"));
        const auto held = ButtonHCNetworking::hc_imageRequestOperationForState(*button, c.first);
        if (c.background) {
            ButtonHCNetworking::setBackgroundImageForState(button, c.second, url("/d"));
        } else {
            ButtonHCNetworking::setImageForState(button, c.second, url("/d"));
        }
        EXPECT_EQ(held->isCancelled(), c.cancels);
        ButtonHCNetworking::cancelImageRequestOperationForState(*button, c.first);
        EXPECT_TRUE(held->isCancelled());
        // The second load has left its slot (so it caches nothing into a later test's cache).
        ASSERT_TRUE(wait([&] {
            return !(c.background ? ButtonHCNetworking::hc_backgroundImageRequestOperationForState(*button, c.second)
                                  : ButtonHCNetworking::hc_imageRequestOperationForState(*button, c.second));
        }));
    }
}

TEST_F(ButtonLoading, OwnCacheOrTheImageViewsAndTheBlocks) {
    EXPECT_EQ(ButtonHCNetworking::sharedImageCache(), cache_);
    auto own = HCImageCache::make();
    ButtonHCNetworking::setSharedImageCache(own);
    ButtonHCNetworking::setBackgroundImageForState(button_, kControlStateSelected, url("/e?size=7"));
    ASSERT_TRUE(wait([&] { return button_->backgroundImageForState(kControlStateSelected) != nullptr; }));
    EXPECT_EQ(side(button_->backgroundImageForState(kControlStateSelected)), 7);
    EXPECT_FALSE(button_->imageForState(kControlStateSelected));
    EXPECT_EQ(server_.accept(), "image/*");
    EXPECT_EQ(own->count(), 1u);
    EXPECT_EQ(own->totalCost(), 7u * 7 * 4);  // its pixel bytes count against the cache's limit
    EXPECT_EQ(cache_->count(), 0u);
    // Images past the limit push out the least recently used.
    const std::uint32_t side = 2048;  // 16 MiB of pixels each
    const std::size_t last = kHCImageCacheCostLimit / (std::size_t{side} * side * 4);
    for (std::size_t i = 0; i <= last; ++i) {
        auto bitmap = Bitmap::withRGBAPixels(side, side, Bytes(std::size_t{side} * side * 4, 0x40));
        own->cacheImage(Image::imageWithBitmap(bitmap, 1, ImageOrientation::Up), URLRequest(url("/big" + std::to_string(i))));
    }
    EXPECT_LE(own->totalCost(), kHCImageCacheCostLimit);
    EXPECT_EQ(own->cachedImageForRequest(URLRequest(url("/e?size=7"))), nullptr);
    EXPECT_NE(own->cachedImageForRequest(URLRequest(url("/big" + std::to_string(last)))), nullptr);

    std::optional<URLRequest> loaded;
    Ref<Error> failed;
    ButtonHCNetworking::setImageForState(
        button_, kControlStateDisabled, URLRequest(url("/f")), placeholder_,
        [&](const std::optional<URLRequest>& request, const Ref<HTTPURLResponse>&, const Ref<Image>&) { loaded = request; },
        nullptr);
    ButtonHCNetworking::setImageForState(button_, kControlStateNormal, URLRequest(url("/missing")), nullptr,
                                         nullptr, [&](const Ref<Error>& error) { failed = error; });
    ASSERT_TRUE(wait([&] { return loaded && failed; }));
    EXPECT_EQ(loaded->URL()->absoluteString(), url("/f")->absoluteString());
    EXPECT_EQ(button_->imageForState(kControlStateDisabled), placeholder_);  // the block took the image
}

// A load that finished just before a newer load of the same slot replaced it must not overwrite what
// the newer load shows, neither while that one is still on its way (held back by the server) nor after.
TEST_F(ButtonLoading, SupersededLoadThatAlreadyFinishedNeverOverwrites) {
    int olderCalls = 0;
    const URLRequest olderRequest(url("/g"));
    ButtonHCNetworking::setImageForState(
        button_, kControlStateNormal, olderRequest, nullptr,
        [&](const std::optional<URLRequest>&, const Ref<HTTPURLResponse>&, const Ref<Image>&) { ++olderCalls; },
        [&](const Ref<Error>&) { ++olderCalls; });
    ButtonHCNetworking::hc_imageRequestOperationForState(*button_, kControlStateNormal)->waitUntilFinished();
    // Finished; its completion has not reached the main thread yet.
    ButtonHCNetworking::setImageForState(button_, kControlStateNormal, url("/held?size=9"), placeholder_);
    ASSERT_TRUE(wait([&] { return cache_->cachedImageForRequest(olderRequest) != nullptr; }));  // it ran
    EXPECT_EQ(olderCalls, 0);
    EXPECT_EQ(button_->imageForState(kControlStateNormal), placeholder_);
    server_.release();
    ASSERT_TRUE(wait([&] { return button_->imageForState(kControlStateNormal) != placeholder_; }));
    EXPECT_EQ(side(button_->imageForState(kControlStateNormal)), 9);
}

}  // namespace
}  // namespace lv::test
