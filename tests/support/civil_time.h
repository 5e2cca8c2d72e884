// Instants of calendar dates worked out by arithmetic alone, so that date tests do not check the
// date library against itself.
#pragma once

#include <cstdint>

#include "platform/base/value.h"

namespace lv::test {

// Days since 1970-01-01 of a proleptic Gregorian date.
inline std::int64_t daysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
}

// The instant of a wall-clock time in a zone `offset` seconds east of GMT.
inline Date wallClock(int y, int mo, int d, int h, int mi, int s, int offset, double fraction = 0) {
    return Date::fromSince1970(static_cast<double>(daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s - offset) +
                               fraction);
}

}  // namespace lv::test
