#include "images/remote_image.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "platform/dispatch/operation.h"
#include "platform/net/connection.h"
#include "platform/net/errors.h"
#include "platform/net/request.h"

namespace lv {
namespace {

// One load of one view; cancelled when the view starts another.
struct Load {
    std::atomic<bool> cancelled{false};
};

struct ViewLoad {
    Weak<ImageView> view;
    std::shared_ptr<Load> load;
};

// Current loads by view, main thread only.
std::unordered_map<const ImageView*, ViewLoad>& currentLoads() {
    static auto* loads = new std::unordered_map<const ImageView*, ViewLoad>();
    return *loads;
}

std::mutex cacheMutex;
Ref<RIImageCache>& configuredCache() {
    static auto* cache = new Ref<RIImageCache>();
    return *cache;
}

// The image download queue: downloads and their decoding run here, off the main thread.
const Ref<OperationQueue>& downloadQueue() {
    static const Ref<OperationQueue>& queue = *new Ref<OperationQueue>([] {  // never destroyed
        auto made = OperationQueue::make();
        made->setName("com.lunavexa.images.download");
        made->setMaxConcurrentOperationCount(4);
        return made;
    }());
    return queue;
}

// The platform's URL error code for content that cannot be decoded.
constexpr int kCannotDecodeContentData = -1016;

void finish(const Ref<ImageView>& view, const std::shared_ptr<Load>& load, const Ref<Image>& image,
            const Ref<Error>& error, RIImageCacheType type, const Ref<URL>& url,
            const RIImageCompletedBlock& completed) {
    if (load->cancelled.load()) return;
    if (image) view->setImage(image);
    if (completed) completed(image, error, type, url);
}

void download(const Weak<ImageView>& weakView, const std::shared_ptr<Load>& load, const Ref<URL>& url,
              const Ref<RIImageCache>& cache, RIImageProgressBlock progress, RIImageCompletedBlock completed) {
    URLRequest request(url);
    request.setMaximumResponseBodySize(kRIImageMaxDownloadBytes);
    URLConnection::sendAsynchronousRequest(
        request, downloadQueue(),
        [weakView, load, url, cache, progress = std::move(progress), completed = std::move(completed)](
            Ref<URLResponse> response, std::optional<Bytes> body, Ref<Error> error) {
            if (load->cancelled.load()) return;
            Ref<Image> image;
            const auto http = std::dynamic_pointer_cast<HTTPURLResponse>(response);
            if (!error && http && (http->statusCode() < 200 || http->statusCode() > 299)) {
                error = makeURLError(URLErrorBadServerResponse, url);
            } else if (!error) {
                image = body ? RIImageCache::decodeImageData(*body) : nullptr;
                if (!image) error = makeURLError(kCannotDecodeContentData, url);
            }
            if (image) cache->storeImage(image, *body, url->absoluteString());
            const std::int64_t size = body ? static_cast<std::int64_t>(body->size()) : 0;
            const std::int64_t expected = response ? response->expectedContentLength() : -1;
            Queue::main()->async([weakView, load, url, image, error, progress, completed, size, expected] {
                const Ref<ImageView> view = weakView.lock();
                if (!view || load->cancelled.load()) return;
                if (progress && !error) progress(size, expected);
                finish(view, load, image, error, RIImageCacheType::None, url, completed);
            });
        });
}

}  // namespace

Ref<RIImageCache> ImageViewRemoteImage::imageCache() {
    std::lock_guard lock(cacheMutex);
    if (!configuredCache()) configuredCache() = RIImageCache::sharedImageCache();
    return configuredCache();
}

void ImageViewRemoteImage::setImageCache(Ref<RIImageCache> cache) {
    std::lock_guard lock(cacheMutex);
    configuredCache() = std::move(cache);
}

void ImageViewRemoteImage::ri_cancelCurrentImageLoad(const Ref<ImageView>& view) {
    auto& loads = currentLoads();
    const auto found = loads.find(view.get());
    if (found == loads.end()) return;
    found->second.load->cancelled.store(true);
    loads.erase(found);
}

void ImageViewRemoteImage::ri_setImageWithURL(const Ref<ImageView>& view, const Ref<URL>& url,
                                              const Ref<Image>& placeholder, RIImageOptions /*options*/,
                                              RIImageProgressBlock progress, RIImageCompletedBlock completed) {
    if (!view) return;
    ri_cancelCurrentImageLoad(view);
    // Entries of views that are gone are dropped as loads start.
    std::erase_if(currentLoads(), [](const auto& entry) { return entry.second.view.expired(); });
    view->setImage(placeholder);
    auto load = std::make_shared<Load>();
    currentLoads()[view.get()] = ViewLoad{view, load};
    const Weak<ImageView> weakView = view;
    if (!url) {
        Queue::main()->async([weakView, load, completed] {
            if (const Ref<ImageView> target = weakView.lock()) {
                finish(target, load, nullptr, makeURLError(URLErrorBadURL, nullptr), RIImageCacheType::None, nullptr,
                       completed);
            }
        });
        return;
    }
    const Ref<RIImageCache> cache = imageCache();
    const std::string key = url->absoluteString();
    if (const Ref<Image> image = cache->imageFromMemoryCacheForKey(key)) {
        finish(view, load, image, nullptr, RIImageCacheType::Memory, url, completed);
        return;
    }
    cache->queryDiskCacheForKey(key, [weakView, load, url, cache, progress = std::move(progress),
                                      completed = std::move(completed)](const Ref<Image>& image, RIImageCacheType type) {
        const Ref<ImageView> target = weakView.lock();
        if (!target || load->cancelled.load()) return;
        if (image) {
            finish(target, load, image, nullptr, type, url, completed);
            return;
        }
        download(weakView, load, url, cache, progress, completed);
    });
}

void ImageViewRemoteImageDeprecated::setImageWithURL(const Ref<ImageView>& view, const Ref<URL>& url) {
    ImageViewRemoteImage::ri_setImageWithURL(view, url, nullptr, 0, nullptr, nullptr);
}

void ImageViewRemoteImageDeprecated::setImageWithURL(const Ref<ImageView>& view, const Ref<URL>& url,
                                                     const Ref<Image>& placeholder) {
    ImageViewRemoteImage::ri_setImageWithURL(view, url, placeholder, 0, nullptr, nullptr);
}

}  // namespace lv
