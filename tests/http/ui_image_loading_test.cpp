// Image views and buttons loading images from a loopback server through request operations.
#include <gtest/gtest.h>
#include <httplib.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "http/ui_image_loading.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/thread.h"
#include "platform/ui/application.h"
#include "platform/ui/control_channel.h"
#include "platform/ui/image_fixtures.h"

namespace lv::test {
namespace {

// Routes: /png/<w>x<h>[?delay_ms=N] a w × h PNG; /held.png a 3 × 3 PNG once released; /notimage.png
// text served as image/png; /missing.png a 404. Counts requests and keeps the Accept field per path.
class PNGServer {
public:
    PNGServer() {
        server_.Get(R"(/png/(\d+)x(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
            note(req);
            if (req.has_param("delay_ms")) {
                std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(req.get_param_value("delay_ms"))));
            }
            res.set_content(png(std::stoul(req.matches[1]), std::stoul(req.matches[2])), "image/png");
        });
        server_.Get("/held.png", [this](const httplib::Request& req, httplib::Response& res) {
            note(req);
            std::unique_lock lock(mutex_);
            released_.wait(lock, [this] { return isReleased_; });
            res.set_content(png(3, 3), "image/png");
        });
        server_.Get("/notimage.png", [this](const httplib::Request& req, httplib::Response& res) {
            note(req);
            res.set_content("not an image at all", "image/png");
        });
        server_.Get("/missing.png", [this](const httplib::Request& req, httplib::Response& res) {
            note(req);
            res.status = 404;
            res.set_content("gone", "text/plain");
        });
        server_.set_keep_alive_max_count(1);
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::yield();
    }
    ~PNGServer() {
        release();
        server_.stop();
        thread_.join();
    }
    Ref<URL> url(const std::string& path) const {
        return URL::URLWithString("http://127.0.0.1:" + std::to_string(port_) + path);
    }
    int requests(const std::string& path) const {
        std::lock_guard lock(mutex_);
        return requests_.count(path) ? requests_.at(path) : 0;
    }
    std::string accept(const std::string& path) const {
        std::lock_guard lock(mutex_);
        return accept_.count(path) ? accept_.at(path) : "";
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            isReleased_ = true;
        }
        released_.notify_all();
    }

private:
    static std::string png(std::uint32_t w, std::uint32_t h) {
        const Bytes bytes = makePNG(w, h, 8, 6, [](std::uint32_t x, std::uint32_t y) { return patternPixel(x, y, true); });
        return std::string(bytes.begin(), bytes.end());
    }
    void note(const httplib::Request& req) {
        std::lock_guard lock(mutex_);
        ++requests_[req.path];
        accept_[req.path] = req.get_header_value("Accept");
    }

    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool isReleased_ = false;
    std::map<std::string, int> requests_;
    std::map<std::string, std::string> accept_;
};

// A button that checks every image change happens on the main thread.
class MainThreadButton : public Button {
public:
    static Ref<MainThreadButton> make() { return makeRef<MainThreadButton>(); }
    void setImage(const Ref<Image>& image, ControlState state) override {
        EXPECT_TRUE(Thread::isMainThread());
        Button::setImage(image, state);
    }
    void setBackgroundImage(const Ref<Image>& image, ControlState state) override {
        EXPECT_TRUE(Thread::isMainThread());
        Button::setBackgroundImage(image, state);
    }
};

double pixelWidth(const Ref<Image>& image) { return image ? image->size().width * image->scale() : 0; }

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

    PNGServer server_;
    Ref<HCImageCache> cache_ = HCImageCache::make();
    Ref<Image> placeholder_ = Image::imageWithData(makePNG(1, 1, 8, 6, [](auto, auto) { return RGBA{1, 2, 3, 4}; }), 1);
};

class ImageViewLoading : public ImageLoadingTest {};
class ButtonLoading : public ImageLoadingTest {};

TEST_F(ImageViewLoading, LoadsCachesAndAnswersLaterLoadsFromTheCache) {
    auto view = ImageView::make();
    ImageViewHCNetworking::setImageWithURL(view, server_.url("/png/6x4"), placeholder_);
    EXPECT_EQ(view->image(), placeholder_);
    ASSERT_TRUE(wait([&] { return view->image() != placeholder_; }));
    EXPECT_EQ(pixelWidth(view->image()), 6);
    EXPECT_EQ(server_.accept("/png/6x4"), "image/*");
    EXPECT_FALSE(ImageViewHCNetworking::hc_imageRequestOperation(*view));

    // A second view is answered from the cache, at once, with no request and no response.
    auto other = ImageView::make();
    bool called = false;
    ImageViewHCNetworking::setImageWithURLRequest(
        other, URLRequest(server_.url("/png/6x4")), placeholder_,
        [&](const std::optional<URLRequest>& request, const Ref<HTTPURLResponse>& response, const Ref<Image>& image) {
            called = true;
            EXPECT_FALSE(request.has_value());
            EXPECT_FALSE(response);
            EXPECT_EQ(image, view->image());
        },
        nullptr);
    EXPECT_TRUE(called);
    EXPECT_FALSE(other->image());  // the success block took the image
    EXPECT_EQ(server_.requests("/png/6x4"), 1);
}

TEST_F(ImageViewLoading, SecondLoadCancelsTheFirst) {
    auto view = ImageView::make();
    ImageViewHCNetworking::setImageWithURL(view, server_.url("/held.png"));
    const auto first = ImageViewHCNetworking::hc_imageRequestOperation(*view);
    ASSERT_TRUE(first);
    ImageViewHCNetworking::setImageWithURL(view, server_.url("/png/6x4"));
    EXPECT_TRUE(first->isCancelled());
    ASSERT_TRUE(wait([&] { return view->image() != nullptr; }));
    server_.release();
    ASSERT_TRUE(wait([&] { return first->isFinished(); }));
    ASSERT_TRUE(wait([&] { return ImageViewHCNetworking::hc_sharedImageRequestOperationQueue()->operationCount() == 0; }));
    EXPECT_EQ(pixelWidth(view->image()), 6);
}

TEST_F(ImageViewLoading, CachePoliciesThatIgnoreLocalDataLoadAndStillStore) {
    for (auto policy : {URLRequestCachePolicy::ReloadIgnoringLocalCacheData,
                        URLRequestCachePolicy::ReloadIgnoringLocalAndRemoteCacheData}) {
        SCOPED_TRACE(static_cast<int>(policy));
        const std::string path = "/png/5x" + std::to_string(static_cast<int>(policy));
        auto view = ImageView::make();
        ImageViewHCNetworking::setImageWithURL(view, server_.url(path));
        ASSERT_TRUE(wait([&] { return view->image() != nullptr; }));
        const Ref<Image> first = view->image();
        URLRequest request(server_.url(path), policy);
        EXPECT_FALSE(cache_->cachedImageForRequest(request));

        ImageViewHCNetworking::setImageWithURLRequest(view, request, nullptr, nullptr, nullptr);
        ASSERT_TRUE(wait([&] { return view->image() != first; }));
        EXPECT_EQ(server_.requests(path), 2);
        EXPECT_EQ(cache_->cachedImageForRequest(URLRequest(server_.url(path))), view->image());
    }
}

TEST_F(ImageViewLoading, NilImageIsNeitherCachedNorShownByViewsOrButtons) {
    auto view = ImageView::make();
    ImageViewHCNetworking::setImageWithURL(view, server_.url("/notimage.png"), placeholder_);
    ASSERT_TRUE(wait([&] { return !ImageViewHCNetworking::hc_imageRequestOperation(*view); }));
    EXPECT_EQ(view->image(), placeholder_);
    EXPECT_EQ(cache_->count(), 0u);

    auto button = MainThreadButton::make();
    ButtonHCNetworking::setImageForState(button, kControlStateNormal, server_.url("/notimage.png"), placeholder_);
    ASSERT_TRUE(wait([&] { return !ButtonHCNetworking::hc_imageRequestOperationForState(*button, 0); }));
    EXPECT_EQ(button->imageForState(kControlStateNormal), placeholder_);
    EXPECT_EQ(cache_->count(), 0u);
}

TEST_F(ImageViewLoading, FailureKeepsThePlaceholder) {
    auto view = ImageView::make();
    Ref<Error> failed;
    ImageViewHCNetworking::setImageWithURLRequest(
        view, URLRequest(server_.url("/missing.png")), placeholder_,
        [](const std::optional<URLRequest>&, const Ref<HTTPURLResponse>&, const Ref<Image>&) { ADD_FAILURE(); },
        [&](const URLRequest& request, const Ref<HTTPURLResponse>& response, const Ref<Error>& error) {
            EXPECT_TRUE(Thread::isMainThread());
            EXPECT_EQ(request.URL()->absoluteString(), server_.url("/missing.png")->absoluteString());
            EXPECT_EQ(response->statusCode(), 404);
            failed = error;
        });
    ASSERT_TRUE(wait([&] { return failed != nullptr; }));
    EXPECT_EQ(failed->code(), -1011);
    EXPECT_EQ(view->image(), placeholder_);
    EXPECT_FALSE(ImageViewHCNetworking::hc_imageRequestOperation(*view));
}

TEST_F(ImageViewLoading, MemoryWarningEmptiesTheDefaultCache) {
    ImageViewHCNetworking::setSharedImageCache(nullptr);
    const auto defaultCache = ImageViewHCNetworking::sharedImageCache();
    EXPECT_EQ(ButtonHCNetworking::sharedImageCache(), defaultCache);
    auto view = ImageView::make();
    ImageViewHCNetworking::setImageWithURL(view, server_.url("/png/2x2"));
    ASSERT_TRUE(wait([&] { return view->image() != nullptr; }));
    EXPECT_EQ(defaultCache->count(), 1u);

    Application::resetSharedApplication();
    ASSERT_TRUE(Application::sharedApplication()->launch());
    EXPECT_TRUE(ControlChannel::execute("memory-warning"));
    EXPECT_EQ(defaultCache->count(), 0u);
    Application::resetSharedApplication();
}

TEST_F(ButtonLoading, FallsBackToTheImageViewCacheUntilGivenItsOwn) {
    EXPECT_EQ(ButtonHCNetworking::sharedImageCache(), cache_);
    auto own = HCImageCache::make();
    ButtonHCNetworking::setSharedImageCache(own);
    EXPECT_EQ(ButtonHCNetworking::sharedImageCache(), own);
    EXPECT_EQ(ImageViewHCNetworking::sharedImageCache(), cache_);

    auto button = MainThreadButton::make();
    ButtonHCNetworking::setBackgroundImageForState(button, kControlStateSelected, server_.url("/png/7x7"));
    ASSERT_TRUE(wait([&] { return button->backgroundImageForState(kControlStateSelected) != nullptr; }));
    EXPECT_EQ(pixelWidth(button->backgroundImageForState(kControlStateSelected)), 7);
    EXPECT_FALSE(button->imageForState(kControlStateSelected));
    EXPECT_EQ(server_.accept("/png/7x7"), "image/*");
    EXPECT_EQ(own->count(), 1u);
    EXPECT_EQ(cache_->count(), 0u);
}

TEST_F(ButtonLoading, StateSlots) {
    // Loading the second state while the first one's held load runs: does it cancel that load?
    struct Case {
        ControlState first, second;
        bool background;  // the second load is a background image
        bool cancels;
    } cases[] = {
        {kControlStateNormal, 3, false, true},
        {kControlStateNormal, 8, false, true},
        {kControlStateHighlighted, kControlStateHighlighted, false, true},
        {kControlStateNormal, kControlStateHighlighted, false, false},
        {kControlStateDisabled, kControlStateSelected, false, false},
        {kControlStateNormal, kControlStateNormal, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.second) + (c.background ? " background" : ""));
        auto button = MainThreadButton::make();
        ButtonHCNetworking::setImageForState(button, c.first, server_.url("/held.png"));
        const auto held = ButtonHCNetworking::hc_imageRequestOperationForState(*button, c.first);
        ASSERT_TRUE(held);
        if (c.background) {
            ButtonHCNetworking::setBackgroundImageForState(button, c.second, server_.url("/png/4x4"));
        } else {
            ButtonHCNetworking::setImageForState(button, c.second, server_.url("/png/4x4"));
        }
        EXPECT_EQ(held->isCancelled(), c.cancels);
        ButtonHCNetworking::cancelImageRequestOperationForState(*button, c.first);
        EXPECT_TRUE(held->isCancelled());
        EXPECT_FALSE(ButtonHCNetworking::hc_imageRequestOperationForState(*button, c.first));
    }
}

// A load that finished just before a newer load of the same slot replaced it must not overwrite what
// the newer load shows, neither while that one is still on its way (held back by the server) nor after.
TEST_F(ButtonLoading, SupersededLoadThatAlreadyFinishedNeverOverwrites) {
    auto button = MainThreadButton::make();
    int olderCalls = 0;
    const URLRequest olderRequest(server_.url("/png/3x3"));
    ButtonHCNetworking::setImageForState(
        button, kControlStateNormal, olderRequest, nullptr,
        [&](const std::optional<URLRequest>&, const Ref<HTTPURLResponse>&, const Ref<Image>&) { ++olderCalls; },
        [&](const Ref<Error>&) { ++olderCalls; });
    const auto older = ButtonHCNetworking::hc_imageRequestOperationForState(*button, kControlStateNormal);
    older->waitUntilFinished();  // finished; its completion has not reached the main thread yet

    ButtonHCNetworking::setImageForState(button, kControlStateNormal, server_.url("/png/9x9?delay_ms=300"), placeholder_);
    ASSERT_TRUE(wait([&] { return cache_->cachedImageForRequest(olderRequest) != nullptr; }));  // its completion ran
    EXPECT_EQ(olderCalls, 0);
    ASSERT_TRUE(wait([&] { return button->imageForState(kControlStateNormal) != placeholder_; }));
    EXPECT_EQ(pixelWidth(button->imageForState(kControlStateNormal)), 9);
}

TEST_F(ButtonLoading, SuccessAndFailureBlocks) {
    auto button = MainThreadButton::make();
    std::optional<URLRequest> loadedRequest;
    Ref<Image> loaded;
    ButtonHCNetworking::setImageForState(
        button, kControlStateDisabled, URLRequest(server_.url("/png/5x5")), placeholder_,
        [&](const std::optional<URLRequest>& request, const Ref<HTTPURLResponse>& response, const Ref<Image>& image) {
            EXPECT_TRUE(Thread::isMainThread());
            EXPECT_EQ(response->statusCode(), 200);
            loadedRequest = request;
            loaded = image;
        },
        nullptr);
    EXPECT_EQ(button->imageForState(kControlStateDisabled), placeholder_);
    ASSERT_TRUE(wait([&] { return loaded != nullptr; }));
    EXPECT_EQ(loadedRequest->URL()->absoluteString(), server_.url("/png/5x5")->absoluteString());
    EXPECT_EQ(button->imageForState(kControlStateDisabled), placeholder_);  // the block took the image
    EXPECT_FALSE(ButtonHCNetworking::hc_imageRequestOperationForState(*button, kControlStateDisabled));

    Ref<Error> failed;
    ButtonHCNetworking::setBackgroundImageForState(button, kControlStateNormal, URLRequest(server_.url("/missing.png")),
                                                   placeholder_, nullptr, [&](const Ref<Error>& error) { failed = error; });
    ASSERT_TRUE(wait([&] { return failed != nullptr; }));
    EXPECT_EQ(button->backgroundImageForState(kControlStateNormal), placeholder_);
    EXPECT_FALSE(ButtonHCNetworking::hc_backgroundImageRequestOperationForState(*button, kControlStateNormal));
}

}  // namespace
}  // namespace lv::test
