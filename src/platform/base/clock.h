// Wall clock with a test override.
#pragma once

#include <functional>

namespace lv {

// Seconds since 1970 from the system clock, or from the override when one is set.
double currentTimeSince1970();

// Replaces the clock (pass nullptr to restore the system clock). Thread-safe.
void setClockOverride(std::function<double()> since1970);

// Seconds on a clock that never goes back (setting the wall clock does not move it), for measuring
// how long something took. Its origin is arbitrary. A test's wall-clock override moves it too, unless
// a monotonic override is set apart.
double monotonicTime();
// Replaces the monotonic clock (pass nullptr to restore it). Thread-safe.
void setMonotonicClockOverride(std::function<double()> seconds);

// Sets a fixed time (or an offset from the real time) for the scope's duration.
class ScopedClock {
public:
    explicit ScopedClock(std::function<double()> since1970) { setClockOverride(std::move(since1970)); }
    ~ScopedClock() { setClockOverride(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace lv
