// Loading a remote image into an image view: ImageViewRemoteImage::ri_setImageWithURL cancels the
// view's current load, shows the placeholder, and takes the image from memory at once, else from the
// disk (read and decoded on the cache's disk queue), else downloads it on the image download queue
// and decodes it there. The image is set and the completion called on the main thread, only while
// that load is still the view's current one. A response that is not 2xx, a body that is not an
// image, or a body past kRIImageMaxDownloadBytes, is a failure: nothing is cached and the placeholder
// stays.
//
// Threads: call from the main thread; every callback runs on it.
#pragma once

#include <cstdint>
#include <functional>

#include "images/image_cache.h"
#include "platform/base/error.h"
#include "platform/net/url.h"
#include "platform/ui/image_view.h"

namespace lv {

// The most bytes a downloaded image body may hold (decoded, when sent compressed). The app's pictures
// (posters, thumbnails, animated GIFs sized for a phone screen) are well under 2 MiB; a body past the
// bound fails as it arrives (-1103, "resource exceeds maximum size"), so an endless or hostile reply
// never makes the process hold more than this per download.
inline constexpr std::int64_t kRIImageMaxDownloadBytes = 8 * 1024 * 1024;

using RIImageOptions = unsigned;
// Bytes received so far and expected (-1 when unknown).
using RIImageProgressBlock = std::function<void(std::int64_t receivedSize, std::int64_t expectedSize)>;
using RIImageCompletedBlock =
    std::function<void(const Ref<Image>& image, const Ref<Error>& error, RIImageCacheType cacheType, const Ref<URL>& url)>;

class ImageViewRemoteImage {
public:
    // The options are accepted and ignored (none are defined). progress runs once, on the main
    // thread, when a download's body has arrived. A nil URL fails at once with -1000 (bad URL).
    static void ri_setImageWithURL(const Ref<ImageView>& view, const Ref<URL>& url, const Ref<Image>& placeholder,
                                   RIImageOptions options, RIImageProgressBlock progress,
                                   RIImageCompletedBlock completed);
    // Cancels the view's current load: nothing of it reaches the view or its completion afterwards.
    static void ri_cancelCurrentImageLoad(const Ref<ImageView>& view);
    // The cache loads go through; the shared one unless set (tests give one over a temporary directory).
    static Ref<RIImageCache> imageCache();
    static void setImageCache(Ref<RIImageCache> cache);
};

// The two forwarding forms: options 0, no progress or completion.
class ImageViewRemoteImageDeprecated {
public:
    static void setImageWithURL(const Ref<ImageView>& view, const Ref<URL>& url);
    static void setImageWithURL(const Ref<ImageView>& view, const Ref<URL>& url, const Ref<Image>& placeholder);
};

}  // namespace lv
