#include "http/ui_image_loading.h"

#include "platform/dispatch/notification_center.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/application.h"

namespace lv {
namespace {

// Keys of the associated storage (their addresses are the keys).
const char kSharedImageCacheKey = 0;
const char kImageViewOperationKey = 0;
const char kImageViewSerializerKey = 0;
const char kButtonSerializerKey = 0;
// Button slots: [image or background][slot].
const char kButtonOperationKeys[2][4] = {};

enum class ButtonImageKind { Image = 0, Background = 1 };

std::optional<std::string> cacheKey(const URLRequest& request) {
    if (!request.URL()) return std::nullopt;
    return request.URL()->absoluteString();
}

bool sameURL(const Ref<URL>& a, const Ref<URL>& b) {
    if (!a || !b) return !a && !b;
    return a->isEqual(*b);
}

URLRequest imageRequest(const Ref<URL>& url) {
    URLRequest request(url);
    request.addValue("image/*", "Accept");
    return request;
}

// The request as sent: the image reply bound unless the caller chose one.
URLRequest boundedRequest(const URLRequest& request) {
    URLRequest sent = request;
    if (sent.maximumResponseBodySize() <= 0) sent.setMaximumResponseBodySize(kHCImageMaxReplyBytes);
    return sent;
}

Ref<HCImageCache> classCache(const ClassInfo* cls) { return cls->associatedValue(&kSharedImageCacheKey).objectAs<HCImageCache>(); }

void setClassCache(const ClassInfo* cls, const Ref<HCImageCache>& cache) {
    cls->setAssociatedValue(&kSharedImageCacheKey, cache ? Value(cache) : Value());
}

// The default cache, emptied on every memory warning (the observer runs on the main operation queue).
const Ref<HCImageCache>& defaultImageCache() {
    static const Ref<HCImageCache>& cache = *new Ref<HCImageCache>([] {  // never destroyed
        auto made = HCImageCache::make();
        NotificationCenter::defaultCenter()->addObserverForName(
            kApplicationDidReceiveMemoryWarningNotification, nullptr, OperationQueue::mainQueue(),
            [weak = Weak<HCImageCache>(made)](const Notification&) {
                if (auto c = weak.lock()) c->removeAllObjects();
            });
        return made;
    }());
    return cache;
}

Ref<OperationQueue> makeQueue(std::string name) {
    auto queue = OperationQueue::make();
    queue->setName(std::move(name));
    return queue;
}

template <class V>
Ref<HCHTTPResponseSerializer> viewSerializer(const V& view, const void* key,
                                             const Ref<HCHTTPResponseSerializer>& fallback) {
    if (auto own = view.associatedValue(key).template objectAs<HCHTTPResponseSerializer>()) return own;
    return fallback;
}

// The slot a state loads in: its own for highlighted, disabled and selected, else the normal one.
int slotOfState(ControlState state) {
    switch (state) {
        case kControlStateHighlighted: return 1;
        case kControlStateDisabled: return 2;
        case kControlStateSelected: return 3;
        default: return 0;
    }
}

const void* buttonSlotKey(ButtonImageKind kind, ControlState state) {
    return &kButtonOperationKeys[static_cast<int>(kind)][slotOfState(state)];
}

Ref<HCHTTPRequestOperation> buttonSlot(const Button& button, ButtonImageKind kind, ControlState state) {
    return button.associatedValue(buttonSlotKey(kind, state)).objectAs<HCHTTPRequestOperation>();
}

void setButtonSlot(Button& button, ButtonImageKind kind, ControlState state, const Ref<HCHTTPRequestOperation>& op) {
    button.setAssociatedValue(buttonSlotKey(kind, state), op ? Value(op) : Value());
}

void cancelButtonSlot(Button& button, ButtonImageKind kind, ControlState state) {
    if (auto op = buttonSlot(button, kind, state)) op->cancel();
    setButtonSlot(button, kind, state, nullptr);
}

void applyButtonImage(Button& button, ButtonImageKind kind, const Ref<Image>& image, ControlState state) {
    if (kind == ButtonImageKind::Image) {
        button.setImage(image, state);
    } else {
        button.setBackgroundImage(image, state);
    }
}

void loadButtonImage(ButtonImageKind kind, const Ref<Button>& button, ControlState state, const URLRequest& request,
                     const Ref<Image>& placeholder, ButtonHCNetworking::Success success,
                     ButtonHCNetworking::Failure failure) {
    cancelButtonSlot(*button, kind, state);
    if (auto cached = ButtonHCNetworking::sharedImageCache()->cachedImageForRequest(request)) {
        if (success) {
            success(std::nullopt, nullptr, cached);
        } else {
            applyButtonImage(*button, kind, cached, state);
        }
        return;
    }
    if (placeholder) applyButtonImage(*button, kind, placeholder, state);

    auto operation = HCHTTPRequestOperation::make(boundedRequest(request));
    operation->setResponseSerializer(ButtonHCNetworking::imageResponseSerializer(*button));
    setButtonSlot(*button, kind, state, operation);
    const Weak<Button> weakButton = button;
    // A finished load counts only while it is still the slot's operation: a load that finished just
    // before a newer one cancelled it must not overwrite the newer image.
    auto takeSlot = [weakButton, kind, state](const Ref<HCHTTPRequestOperation>& op) -> Ref<Button> {
        auto target = weakButton.lock();
        if (!target || buttonSlot(*target, kind, state) != op) return nullptr;
        setButtonSlot(*target, kind, state, nullptr);
        return target;
    };
    operation->setCompletionBlockWithSuccess(
        [takeSlot, kind, state, success = std::move(success)](const Ref<HCHTTPRequestOperation>& op,
                                                              const Value& responseObject) {
            const Ref<Image> image = responseObject.objectAs<Image>();
            if (auto target = takeSlot(op)) {
                if (success) {
                    success(op->request(), op->HTTPResponse(), image);
                } else if (image) {
                    applyButtonImage(*target, kind, image, state);
                }
            }
            ButtonHCNetworking::sharedImageCache()->cacheImage(image, op->request());
        },
        [takeSlot, failure = std::move(failure)](const Ref<HCHTTPRequestOperation>& op, const Ref<Error>& error) {
            if (takeSlot(op) && failure) failure(error);
        });
    ButtonHCNetworking::hc_sharedImageRequestOperationQueue()->addOperation(operation);
}

}  // namespace

// ---- HCImageCache ----

Ref<Image> HCImageCache::cachedImageForRequest(const URLRequest& request) {
    switch (request.cachePolicy()) {
        case URLRequestCachePolicy::ReloadIgnoringLocalCacheData:
        case URLRequestCachePolicy::ReloadIgnoringLocalAndRemoteCacheData: return nullptr;
        default: break;
    }
    const auto key = cacheKey(request);
    return key ? std::dynamic_pointer_cast<Image>(objectForKey(*key)) : nullptr;
}

void HCImageCache::cacheImage(const Ref<Image>& image, const URLRequest& request) {
    const auto key = cacheKey(request);
    if (image && key) setObject(*key, image, image->decodedByteCount());
}

// ---- Image views ----

Ref<HCImageCache> ImageViewHCNetworking::sharedImageCache() {
    if (auto set = classCache(ImageView::runtimeClass())) return set;
    return defaultImageCache();
}

void ImageViewHCNetworking::setSharedImageCache(const Ref<HCImageCache>& cache) {
    setClassCache(ImageView::runtimeClass(), cache);
}

const Ref<OperationQueue>& ImageViewHCNetworking::hc_sharedImageRequestOperationQueue() {
    static const auto& queue = *new Ref<OperationQueue>(makeQueue("com.httpclient.networking.image-view.requests"));
    return queue;
}

Ref<HCHTTPResponseSerializer> ImageViewHCNetworking::imageResponseSerializer(const ImageView& view) {
    static const auto& shared = *new Ref<HCHTTPResponseSerializer>(HCImageResponseSerializer::serializer());
    return viewSerializer(view, &kImageViewSerializerKey, shared);
}

void ImageViewHCNetworking::setImageResponseSerializer(ImageView& view, const Ref<HCHTTPResponseSerializer>& serializer) {
    view.setAssociatedValue(&kImageViewSerializerKey, serializer ? Value(serializer) : Value());
}

Ref<HCHTTPRequestOperation> ImageViewHCNetworking::hc_imageRequestOperation(const ImageView& view) {
    return view.associatedValue(&kImageViewOperationKey).objectAs<HCHTTPRequestOperation>();
}

void ImageViewHCNetworking::hc_setImageRequestOperation(ImageView& view, const Ref<HCHTTPRequestOperation>& operation) {
    view.setAssociatedValue(&kImageViewOperationKey, operation ? Value(operation) : Value());
}

void ImageViewHCNetworking::setImageWithURL(const Ref<ImageView>& view, const Ref<URL>& url,
                                            const Ref<Image>& placeholder) {
    setImageWithURLRequest(view, imageRequest(url), placeholder, nullptr, nullptr);
}

void ImageViewHCNetworking::setImageWithURLRequest(const Ref<ImageView>& view, const URLRequest& request,
                                                   const Ref<Image>& placeholder, Success success, Failure failure) {
    cancelImageRequestOperation(*view);
    if (auto cached = sharedImageCache()->cachedImageForRequest(request)) {
        if (success) {
            success(std::nullopt, nullptr, cached);
        } else {
            view->setImage(cached);
        }
        hc_setImageRequestOperation(*view, nullptr);
        return;
    }
    if (placeholder) view->setImage(placeholder);

    auto operation = HCHTTPRequestOperation::make(boundedRequest(request));
    hc_setImageRequestOperation(*view, operation);
    operation->setResponseSerializer(imageResponseSerializer(*view));
    const Weak<ImageView> weakView = view;
    // The view that is still loading the request's URL (no newer load replaced it), or nil.
    auto stillLoading = [weakView, url = request.URL()]() -> Ref<ImageView> {
        auto target = weakView.lock();
        if (!target) return nullptr;
        auto current = hc_imageRequestOperation(*target);
        return current && sameURL(url, current->request().URL()) ? target : nullptr;
    };
    auto forget = [](ImageView& target, const Ref<HCHTTPRequestOperation>& op) {
        if (hc_imageRequestOperation(target) == op) hc_setImageRequestOperation(target, nullptr);
    };
    operation->setCompletionBlockWithSuccess(
        [stillLoading, forget, request, success = std::move(success)](const Ref<HCHTTPRequestOperation>& op,
                                                                    const Value& responseObject) {
            const Ref<Image> image = responseObject.objectAs<Image>();
            if (auto target = stillLoading()) {
                if (success) {
                    success(request, op->HTTPResponse(), image);
                } else if (image) {
                    target->setImage(image);
                }
                forget(*target, op);
            }
            sharedImageCache()->cacheImage(image, request);
        },
        [stillLoading, forget, request, failure = std::move(failure)](const Ref<HCHTTPRequestOperation>& op,
                                                                    const Ref<Error>& error) {
            if (auto target = stillLoading()) {
                if (failure) failure(request, op->HTTPResponse(), error);
                forget(*target, op);
            }
        });
    hc_sharedImageRequestOperationQueue()->addOperation(operation);
}

void ImageViewHCNetworking::cancelImageRequestOperation(ImageView& view) {
    if (auto op = hc_imageRequestOperation(view)) op->cancel();
    hc_setImageRequestOperation(view, nullptr);
}

// ---- Buttons ----

Ref<HCImageCache> ButtonHCNetworking::sharedImageCache() {
    if (auto set = classCache(Button::runtimeClass())) return set;
    return ImageViewHCNetworking::sharedImageCache();
}

void ButtonHCNetworking::setSharedImageCache(const Ref<HCImageCache>& cache) {
    setClassCache(Button::runtimeClass(), cache);
}

const Ref<OperationQueue>& ButtonHCNetworking::hc_sharedImageRequestOperationQueue() {
    static const auto& queue = *new Ref<OperationQueue>(makeQueue("com.httpclient.networking.button.requests"));
    return queue;
}

Ref<HCHTTPResponseSerializer> ButtonHCNetworking::imageResponseSerializer(const Button& button) {
    static const auto& shared = *new Ref<HCHTTPResponseSerializer>(HCImageResponseSerializer::serializer());
    return viewSerializer(button, &kButtonSerializerKey, shared);
}

void ButtonHCNetworking::setImageResponseSerializer(Button& button, const Ref<HCHTTPResponseSerializer>& serializer) {
    button.setAssociatedValue(&kButtonSerializerKey, serializer ? Value(serializer) : Value());
}

Ref<HCHTTPRequestOperation> ButtonHCNetworking::hc_imageRequestOperationForState(const Button& button,
                                                                                 ControlState state) {
    return buttonSlot(button, ButtonImageKind::Image, state);
}

void ButtonHCNetworking::hc_setImageRequestOperation(Button& button, const Ref<HCHTTPRequestOperation>& operation,
                                                     ControlState state) {
    setButtonSlot(button, ButtonImageKind::Image, state, operation);
}

Ref<HCHTTPRequestOperation> ButtonHCNetworking::hc_backgroundImageRequestOperationForState(const Button& button,
                                                                                           ControlState state) {
    return buttonSlot(button, ButtonImageKind::Background, state);
}

void ButtonHCNetworking::hc_setBackgroundImageRequestOperation(Button& button,
                                                               const Ref<HCHTTPRequestOperation>& operation,
                                                               ControlState state) {
    setButtonSlot(button, ButtonImageKind::Background, state, operation);
}

void ButtonHCNetworking::setImageForState(const Ref<Button>& button, ControlState state, const Ref<URL>& url,
                                          const Ref<Image>& placeholder) {
    setImageForState(button, state, imageRequest(url), placeholder, nullptr, nullptr);
}

void ButtonHCNetworking::setImageForState(const Ref<Button>& button, ControlState state, const URLRequest& request,
                                          const Ref<Image>& placeholder, Success success, Failure failure) {
    loadButtonImage(ButtonImageKind::Image, button, state, request, placeholder, std::move(success),
                    std::move(failure));
}

void ButtonHCNetworking::setBackgroundImageForState(const Ref<Button>& button, ControlState state,
                                                    const Ref<URL>& url, const Ref<Image>& placeholder) {
    setBackgroundImageForState(button, state, imageRequest(url), placeholder, nullptr, nullptr);
}

void ButtonHCNetworking::setBackgroundImageForState(const Ref<Button>& button, ControlState state,
                                                    const URLRequest& request, const Ref<Image>& placeholder,
                                                    Success success, Failure failure) {
    loadButtonImage(ButtonImageKind::Background, button, state, request, placeholder, std::move(success),
                    std::move(failure));
}

void ButtonHCNetworking::cancelImageRequestOperationForState(Button& button, ControlState state) {
    cancelButtonSlot(button, ButtonImageKind::Image, state);
}

void ButtonHCNetworking::cancelBackgroundImageRequestOperationForState(Button& button, ControlState state) {
    cancelButtonSlot(button, ButtonImageKind::Background, state);
}

}  // namespace lv
