// The wall clock. CTest also runs this under a clock set past 2262 (libfaketime), where a count of
// nanoseconds since 1970 no longer fits in 64 bits.
#include <time.h>

#include <gtest/gtest.h>

#include "platform/base/clock.h"
#include "platform/base/value.h"

namespace lv {
namespace {

double systemClock() {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The clock reads what the system's clock says, in any year.
TEST(Clock, ReadsTheSystemClockInAnyYear) {
    const double before = systemClock();
    const double now = currentTimeSince1970();
    const double dateNow = Date::now().since1970();
    const double after = systemClock();
    EXPECT_GE(now, before - 1e-3);
    EXPECT_LE(now, after + 1e-3);
    EXPECT_GE(dateNow, now - 1e-3);
    EXPECT_LE(dateNow, after + 1e-3);
}

}  // namespace
}  // namespace lv
