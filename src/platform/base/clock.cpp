#include "platform/base/clock.h"

#include <time.h>

#include <chrono>
#include <mutex>

#include "platform/base/value.h"

namespace lv {

namespace {
std::mutex gClockMutex;
std::shared_ptr<std::function<double()>>& gOverride = *new std::shared_ptr<std::function<double()>>;  // never destroyed
std::shared_ptr<std::function<double()>>& gMonotonicOverride = *new std::shared_ptr<std::function<double()>>;  // never destroyed
}  // namespace

double monotonicTime() {
    std::shared_ptr<std::function<double()>> clock;
    {
        std::lock_guard lock(gClockMutex);
        clock = gMonotonicOverride ? gMonotonicOverride : gOverride;
    }
    if (clock) return (*clock)();
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void setMonotonicClockOverride(std::function<double()> seconds) {
    std::lock_guard lock(gClockMutex);
    gMonotonicOverride = seconds ? std::make_shared<std::function<double()>>(std::move(seconds)) : nullptr;
}

double currentTimeSince1970() {
    std::shared_ptr<std::function<double()>> clock;
    {
        std::lock_guard lock(gClockMutex);
        clock = gOverride;
    }
    if (clock) return (*clock)();
    // Seconds and nanoseconds apart: a count of nanoseconds in 64 bits ends in 2262.
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void setClockOverride(std::function<double()> since1970) {
    std::lock_guard lock(gClockMutex);
    gOverride = since1970 ? std::make_shared<std::function<double()>>(std::move(since1970)) : nullptr;
}

Date Date::now() { return fromSince1970(currentTimeSince1970()); }
double Date::sinceNow() const { return seconds_ - now().seconds_; }
Date Date::distantFuture() { return Date(63113904000.0); }
Date Date::distantPast() { return Date(-63114076800.0); }

}  // namespace lv
