// Progress of a piece of work: total and completed unit counts, the fraction done, and the handlers
// run when it is paused, resumed or cancelled. Thread-safe: any thread may read or change it; a
// handler runs on the thread that paused, resumed or cancelled, outside the lock.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/base/object.h"

namespace lv {

class Progress : public Object {
public:
    using Handler = std::function<void()>;

    static Ref<Progress> progressWithTotalUnitCount(std::int64_t total);

    std::int64_t totalUnitCount() const;
    void setTotalUnitCount(std::int64_t total);
    std::int64_t completedUnitCount() const;
    void setCompletedUnitCount(std::int64_t completed);
    // completed / total; 0 while the total is not positive.
    double fractionCompleted() const;

    bool isCancellable() const;
    void setCancellable(bool cancellable);
    bool isPausable() const;
    void setPausable(bool pausable);
    bool isCancelled() const;
    bool isPaused() const;

    void setCancellationHandler(Handler handler);
    void setPausingHandler(Handler handler);
    void setResumingHandler(Handler handler);
    // Each runs its handler only on a real change; a cancelled progress stays cancelled.
    void cancel();
    void pause();
    void resume();

private:
    mutable std::mutex mutex_;
    std::int64_t total_ = 0;
    std::int64_t completed_ = 0;
    bool cancellable_ = true;
    bool pausable_ = false;
    bool cancelled_ = false;
    bool paused_ = false;
    Handler onCancel_;
    Handler onPause_;
    Handler onResume_;
};

}  // namespace lv
