// Thread-safe progress counts and handlers.
#include "platform/net/progress.h"

namespace lv {

Ref<Progress> Progress::progressWithTotalUnitCount(std::int64_t total) {
    auto progress = makeRef<Progress>();
    progress->setTotalUnitCount(total);
    return progress;
}

std::int64_t Progress::totalUnitCount() const {
    std::lock_guard lock(mutex_);
    return total_;
}

void Progress::setTotalUnitCount(std::int64_t total) {
    std::lock_guard lock(mutex_);
    total_ = total;
}

std::int64_t Progress::completedUnitCount() const {
    std::lock_guard lock(mutex_);
    return completed_;
}

void Progress::setCompletedUnitCount(std::int64_t completed) {
    std::lock_guard lock(mutex_);
    completed_ = completed;
}

double Progress::fractionCompleted() const {
    std::lock_guard lock(mutex_);
    if (total_ <= 0) return 0;
    return static_cast<double>(completed_) / static_cast<double>(total_);
}

bool Progress::isCancellable() const {
    std::lock_guard lock(mutex_);
    return cancellable_;
}

void Progress::setCancellable(bool cancellable) {
    std::lock_guard lock(mutex_);
    cancellable_ = cancellable;
}

bool Progress::isPausable() const {
    std::lock_guard lock(mutex_);
    return pausable_;
}

void Progress::setPausable(bool pausable) {
    std::lock_guard lock(mutex_);
    pausable_ = pausable;
}

bool Progress::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

bool Progress::isPaused() const {
    std::lock_guard lock(mutex_);
    return paused_;
}

void Progress::setCancellationHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    onCancel_ = std::move(handler);
}

void Progress::setPausingHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    onPause_ = std::move(handler);
}

void Progress::setResumingHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    onResume_ = std::move(handler);
}

void Progress::cancel() {
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        cancelled_ = true;
        handler = onCancel_;
    }
    if (handler) handler();
}

void Progress::pause() {
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        if (paused_ || cancelled_) return;
        paused_ = true;
        handler = onPause_;
    }
    if (handler) handler();
}

void Progress::resume() {
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        if (!paused_ || cancelled_) return;
        paused_ = false;
        handler = onResume_;
    }
    if (handler) handler();
}

}  // namespace lv
