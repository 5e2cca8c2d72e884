// Wall clock with a test override.
#pragma once

#include <functional>

namespace lv {

// Seconds since 1970 from the system clock, or from the override when one is set.
double currentTimeSince1970();

// Replaces the clock (pass nullptr to restore the system clock). Thread-safe.
void setClockOverride(std::function<double()> since1970);

// Sets a fixed time (or an offset from the real time) for the scope's duration.
class ScopedClock {
public:
    explicit ScopedClock(std::function<double()> since1970) { setClockOverride(std::move(since1970)); }
    ~ScopedClock() { setClockOverride(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace lv
