// Remote images for image views and buttons through HTTP request operations: a process-wide memory
// cache of decoded images keyed by URL (HCImageCache), a per-view image response serializer, and one
// current load per image view (per state slot for a button) that a newer load cancels. Loads run on one
// operation queue for image views and another for buttons; the default cache empties itself on a
// memory warning. A request that sets no reply bound of its own is sent with kHCImageMaxReplyBytes,
// so an endless or hostile reply fails as it arrives (-1103) instead of filling memory.
//
// Threads: call the view methods on the main thread; completions (and so every change to a view) run
// on the main queue. The cache and the class-level settings may be used from any thread.
#pragma once

#include <functional>
#include <optional>

#include "http/http_request_operation.h"
#include "http/image_response_serializer.h"
#include "platform/dispatch/operation.h"
#include "platform/net/request.h"
#include "platform/ui/button.h"
#include "platform/ui/cache.h"
#include "platform/ui/image_view.h"

namespace lv {

// The most bytes an image reply body may hold (decoded, when sent compressed) unless the request sets
// its own bound: pictures sized for a phone screen, animated ones included, are well under 2 MiB.
inline constexpr std::int64_t kHCImageMaxReplyBytes = 8 * 1024 * 1024;

// Decoded images by the request URL's absolute string.
// The limit a made image cache starts with, in decoded pixel bytes (least recently used go first).
inline constexpr std::size_t kHCImageCacheCostLimit = 96u * 1024 * 1024;

class HCImageCache : public Cache {
public:
    // A cache holding at most kHCImageCacheCostLimit pixel bytes.
    static Ref<HCImageCache> make() {
        auto cache = makeRef<HCImageCache>();
        cache->setTotalCostLimit(kHCImageCacheCostLimit);
        return cache;
    }
    // Nil when the request reloads ignoring local data (cache policies 1 and 4), or has no URL.
    virtual Ref<Image> cachedImageForRequest(const URLRequest& request);
    // Stores the image under the request's URL at its pixel bytes' cost; a nil image (or a request
    // without URL) stores nothing.
    virtual void cacheImage(const Ref<Image>& image, const URLRequest& request);
};

// Loading an image view's image from a URL.
class ImageViewHCNetworking {
public:
    // The request is nil when the image came from the cache (and so is the response).
    using Success = std::function<void(const std::optional<URLRequest>& request, const Ref<HTTPURLResponse>& response,
                                       const Ref<Image>& image)>;
    using Failure = std::function<void(const URLRequest& request, const Ref<HTTPURLResponse>& response,
                                       const Ref<Error>& error)>;

    // The cache set for image views, else the default cache (made on first use).
    static Ref<HCImageCache> sharedImageCache();
    // Nil goes back to the default cache.
    static void setSharedImageCache(const Ref<HCImageCache>& cache);
    // The queue image-view loads run on.
    static const Ref<OperationQueue>& hc_sharedImageRequestOperationQueue();

    // The view's own serializer, else one shared HCImageResponseSerializer.
    static Ref<HCHTTPResponseSerializer> imageResponseSerializer(const ImageView& view);
    static void setImageResponseSerializer(ImageView& view, const Ref<HCHTTPResponseSerializer>& serializer);

    // The operation loading the view's image now, or nil.
    static Ref<HCHTTPRequestOperation> hc_imageRequestOperation(const ImageView& view);
    static void hc_setImageRequestOperation(ImageView& view, const Ref<HCHTTPRequestOperation>& operation);

    // A GET of the URL with "Accept: image/*", showing the placeholder (when given) until it loads.
    static void setImageWithURL(const Ref<ImageView>& view, const Ref<URL>& url, const Ref<Image>& placeholder = nullptr);
    // Cancels the view's current load; a cached image is shown (or handed to success) at once; otherwise
    // the placeholder is shown and the request loaded. Only the load that is still current reaches the
    // view and the blocks: success (else the image is set unless nil), or failure (the placeholder
    // stays). A loaded image is cached in every case.
    static void setImageWithURLRequest(const Ref<ImageView>& view, const URLRequest& request,
                                       const Ref<Image>& placeholder, Success success, Failure failure);
    // Cancels the current load and forgets it.
    static void cancelImageRequestOperation(ImageView& view);
};

// Loading a button's images from URLs. States 1 (highlighted), 2 (disabled) and 4 (selected) have a
// load slot each; every other state shares the normal state's slot. Images and background images have
// separate slots.
class ButtonHCNetworking {
public:
    // The request is nil when the image came from the cache (and so is the response).
    using Success = std::function<void(const std::optional<URLRequest>& request, const Ref<HTTPURLResponse>& response,
                                       const Ref<Image>& image)>;
    using Failure = std::function<void(const Ref<Error>& error)>;

    // The cache set for buttons, else the image views' shared cache.
    static Ref<HCImageCache> sharedImageCache();
    static void setSharedImageCache(const Ref<HCImageCache>& cache);
    // The queue button loads run on (not the image views' queue).
    static const Ref<OperationQueue>& hc_sharedImageRequestOperationQueue();

    static Ref<HCHTTPResponseSerializer> imageResponseSerializer(const Button& button);
    static void setImageResponseSerializer(Button& button, const Ref<HCHTTPResponseSerializer>& serializer);

    static Ref<HCHTTPRequestOperation> hc_imageRequestOperationForState(const Button& button, ControlState state);
    static void hc_setImageRequestOperation(Button& button, const Ref<HCHTTPRequestOperation>& operation,
                                            ControlState state);
    static Ref<HCHTTPRequestOperation> hc_backgroundImageRequestOperationForState(const Button& button,
                                                                                  ControlState state);
    static void hc_setBackgroundImageRequestOperation(Button& button, const Ref<HCHTTPRequestOperation>& operation,
                                                      ControlState state);

    // As the image view's methods, for the state's image (setImage(image, state)). A finished load
    // reaches the button and the blocks only while it is still its slot's operation, which it then
    // leaves; the success block gets the operation's request.
    static void setImageForState(const Ref<Button>& button, ControlState state, const Ref<URL>& url,
                                 const Ref<Image>& placeholder = nullptr);
    static void setImageForState(const Ref<Button>& button, ControlState state, const URLRequest& request,
                                 const Ref<Image>& placeholder, Success success, Failure failure);
    // The same for the background image (setBackgroundImage(image, state)) and its slots.
    static void setBackgroundImageForState(const Ref<Button>& button, ControlState state, const Ref<URL>& url,
                                           const Ref<Image>& placeholder = nullptr);
    static void setBackgroundImageForState(const Ref<Button>& button, ControlState state, const URLRequest& request,
                                           const Ref<Image>& placeholder, Success success, Failure failure);

    static void cancelImageRequestOperationForState(Button& button, ControlState state);
    static void cancelBackgroundImageRequestOperationForState(Button& button, ControlState state);
};

}  // namespace lv
