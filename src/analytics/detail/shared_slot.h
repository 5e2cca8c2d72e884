// The replaceable process-wide instance of an analytics class: made on first use, swapped out by
// tests, never destroyed (workers may still reach it while the process exits).
//
// Threads: any; one lock per class guards the slot.
#pragma once

#include <mutex>
#include <utility>

#include "platform/base/object.h"

namespace lv::analytics_detail {

template <class T>
class SharedSlot {
public:
    static SharedSlot& instance() {
        static auto& slot = *new SharedSlot;
        return slot;
    }

    // The current instance, made by `make` (under the lock) when there is none.
    template <class Make>
    Ref<T> get(Make make) {
        std::lock_guard lock(mutex_);
        if (!ref_) ref_ = make();
        return ref_;
    }

    // Installs `next` and hands back the previous instance, to be released outside the lock.
    Ref<T> exchange(Ref<T> next) {
        std::lock_guard lock(mutex_);
        return std::exchange(ref_, std::move(next));
    }

private:
    SharedSlot() = default;

    std::mutex mutex_;
    Ref<T> ref_;
};

}  // namespace lv::analytics_detail
