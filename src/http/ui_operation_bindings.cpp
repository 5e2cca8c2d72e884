#include "http/ui_operation_bindings.h"

#include <mutex>

#include "platform/base/format.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/thread.h"
#include "platform/storage/bundle.h"

namespace lv {
namespace {

// Keys of the associated storage (their addresses are the keys).
const char kIndicatorObservationKey = 0;
const char kRefreshObservationKey = 0;
const char kUploadAnimatedKey = 0;
const char kDownloadAnimatedKey = 0;

// Observer registrations that end with this object: a view keeps one under a key, so replacing it
// (or the view going away) stops the observing.
class Observations : public Object {
public:
    ~Observations() override {
        for (const auto& token : tokens) NotificationCenter::defaultCenter()->removeObserver(token.get());
    }
    std::vector<Ref<Object>> tokens;
};

// Follows the operation's start and finish with the view's two actions, run on the main queue.
template <class V>
void bindToOperation(const Ref<V>& view, const void* key, const Ref<HCURLConnectionOperation>& operation,
                     void (V::*onStart)(), void (V::*onFinish)()) {
    view->setAssociatedValue(key, Value());  // ends following the earlier operation
    if (!operation || operation->isFinished()) return;

    const Weak<V> weakView = view;
    auto observe = [&](std::string_view name, void (V::*action)()) {
        return NotificationCenter::defaultCenter()->addObserverForName(
            name, operation, nullptr, [weakView, action](const Notification&) {
                Queue::main()->async([weakView, action] {
                    if (auto target = weakView.lock()) ((*target).*action)();
                });
            });
    };
    auto observations = makeRef<Observations>();
    observations->tokens.push_back(observe(kHCNetworkingOperationDidStartNotification, onStart));
    observations->tokens.push_back(observe(kHCNetworkingOperationDidFinishNotification, onFinish));
    view->setAssociatedValue(key, Value(observations));
    // Read after registering: a finish in between is then either seen here or heard by the observer.
    if (operation->isExecuting()) {
        ((*view).*onStart)();
    } else {
        ((*view).*onFinish)();
    }
}

std::string localized(std::string_view key) {
    return Bundle::mainBundle()->localizedStringForKey(key, "", "HCNetworking");
}

void showAlertForError(const Error& error, const Weak<AlertViewDelegate>& delegate, const std::string& cancelTitle,
                       const std::vector<std::string>& otherTitles) {
    std::string title;
    std::string message;
    const std::string suggestion = error.localizedRecoverySuggestion();
    const std::string reason = error.localizedFailureReason();
    if (error.hasLocalizedDescription() && (!suggestion.empty() || !reason.empty())) {
        title = error.localizedDescription();
        message = suggestion.empty() ? reason : suggestion;
    } else {
        title = localized("Error");
        message = error.hasLocalizedDescription() ? error.localizedDescription()
                                                  : format(localized("%@ Error: %ld"), error.domain(), error.code());
    }
    AlertView::make(title, message, delegate, cancelTitle, otherTitles)->show();
}

// The one decision of an alert binding: taken by the finish observer or, for an operation that has
// finished already, by the binding itself, whichever comes first.
struct AlertObservation {
    std::atomic<bool> decided{false};
    std::mutex mutex;
    Ref<Object> token;  // under mutex

    bool claim() { return !decided.exchange(true); }
    void stopObserving() {
        Ref<Object> done;
        {
            std::lock_guard guard(mutex);
            done = std::move(token);
        }
        if (done) NotificationCenter::defaultCenter()->removeObserver(done.get());
    }
};

}  // namespace

void ActivityIndicatorViewHCNetworking::setAnimatingWithStateOfOperation(const Ref<ActivityIndicatorView>& view,
                                                                         const Ref<HCURLConnectionOperation>& operation) {
    bindToOperation(view, &kIndicatorObservationKey, operation, &ActivityIndicatorView::startAnimating,
                    &ActivityIndicatorView::stopAnimating);
}

void RefreshControlHCNetworking::setRefreshingWithStateOfOperation(const Ref<RefreshControl>& control,
                                                                   const Ref<HCURLConnectionOperation>& operation) {
    bindToOperation(control, &kRefreshObservationKey, operation, &RefreshControl::beginRefreshing,
                    &RefreshControl::endRefreshing);
}

namespace {

// The progress callback that runs the earlier one, then shows the fraction on the main queue.
template <class Step>
auto progressForwarder(std::function<void(Step, std::int64_t, std::int64_t)> previous, const Ref<ProgressView>& view,
                       bool animated) {
    return [previous = std::move(previous), weakView = Weak<ProgressView>(view), animated](
               Step step, std::int64_t total, std::int64_t expected) {
        if (previous) previous(step, total, expected);
        if (expected <= 0) return;
        const float fraction = static_cast<float>(total) / static_cast<float>(expected);
        Queue::main()->async([weakView, fraction, animated] {
            if (auto target = weakView.lock()) target->setProgress(fraction, animated);
        });
    };
}

}  // namespace

void ProgressViewHCNetworking::setProgressWithUploadProgressOfOperation(const Ref<ProgressView>& view,
                                                                        const Ref<HCURLConnectionOperation>& operation,
                                                                        bool animated) {
    operation->setUploadProgressBlock(progressForwarder(operation->uploadProgress(), view, animated));
}

void ProgressViewHCNetworking::setProgressWithDownloadProgressOfOperation(
    const Ref<ProgressView>& view, const Ref<HCURLConnectionOperation>& operation, bool animated) {
    operation->setDownloadProgressBlock(progressForwarder(operation->downloadProgress(), view, animated));
}

bool ProgressViewHCNetworking::hc_uploadProgressAnimated(const ProgressView& view) {
    return view.associatedValue(&kUploadAnimatedKey).boolValue();
}
void ProgressViewHCNetworking::hc_setUploadProgressAnimated(ProgressView& view, bool animated) {
    view.setAssociatedValue(&kUploadAnimatedKey, Value(animated));
}
bool ProgressViewHCNetworking::hc_downloadProgressAnimated(const ProgressView& view) {
    return view.associatedValue(&kDownloadAnimatedKey).boolValue();
}
void ProgressViewHCNetworking::hc_setDownloadProgressAnimated(ProgressView& view, bool animated) {
    view.setAssociatedValue(&kDownloadAnimatedKey, Value(animated));
}

void AlertViewHCNetworking::showAlertViewForRequestOperationWithErrorOnCompletion(
    const Ref<HCURLConnectionOperation>& operation, const Weak<AlertViewDelegate>& delegate) {
    showAlertViewForRequestOperationWithErrorOnCompletion(operation, delegate, localized("Dismiss"), {});
}

void AlertViewHCNetworking::showAlertViewForRequestOperationWithErrorOnCompletion(
    const Ref<HCURLConnectionOperation>& operation, const Weak<AlertViewDelegate>& delegate,
    const std::string& cancelButtonTitle, const std::vector<std::string>& otherButtonTitles) {
    if (!operation) return;
    auto observation = std::make_shared<AlertObservation>();
    auto show = [delegate, cancelButtonTitle, otherButtonTitles](const Ref<Error>& error) {
        if (error) showAlertForError(*error, delegate, cancelButtonTitle, otherButtonTitles);
    };
    auto token = NotificationCenter::defaultCenter()->addObserverForName(
        kHCNetworkingOperationDidFinishNotification, operation, OperationQueue::mainQueue(),
        [observation, show](const Notification& notification) {
            if (!observation->claim()) return;
            observation->stopObserving();
            if (auto finished = std::dynamic_pointer_cast<HCURLConnectionOperation>(notification.object())) {
                show(finished->error());
            }
        });
    {
        std::lock_guard guard(observation->mutex);
        observation->token = std::move(token);
    }
    if (observation->decided.load()) observation->stopObserving();  // heard while the token was stored
    // An operation that finished before the observer was in place is judged now.
    if (!operation->isFinished() || !observation->claim()) return;
    observation->stopObserving();
    if (Thread::isMainThread()) {
        show(operation->error());
    } else {
        Queue::main()->async([show, error = operation->error()] { show(error); });
    }
}

}  // namespace lv
