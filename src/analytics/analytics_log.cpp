#include "analytics/analytics_log.h"

#include <atomic>

#include "platform/base/log.h"

namespace lv {
namespace {
std::atomic<bool> gLogEnabled{false};
}

bool analyticsLogEnabled() { return gLogEnabled.load(std::memory_order_relaxed); }
void setAnalyticsLogEnabled(bool enabled) { gLogEnabled.store(enabled, std::memory_order_relaxed); }

void analyticsLogLine(std::string_view text) {
    if (analyticsLogEnabled()) log("TLYLOG: %@", text);
}

}  // namespace lv
