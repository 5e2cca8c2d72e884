// The analytics client's own log function: "TLYLOG: <text>" on the system log, only while logging
// is switched on (TallyApp's logEnabled). Any thread: the switch is one atomic flag.
#pragma once

#include <string_view>

#include "platform/base/format.h"

namespace lv {

// The switch behind TallyApp's logEnabled; off at start.
bool analyticsLogEnabled();
void setAnalyticsLogEnabled(bool enabled);

// Prints "TLYLOG: <text>" when logging is on.
void analyticsLogLine(std::string_view text);

template <class... Args>
void TLYAnalyticsLog(std::string_view fmt, const Args&... args) {
    if (analyticsLogEnabled()) analyticsLogLine(format(fmt, args...));
}

}  // namespace lv
