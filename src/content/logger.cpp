#include "content/logger.h"

namespace lv {

const Ref<Logger>& Logger::sharedLogger() {
    static const Ref<Logger>& shared = *new Ref<Logger>(makeRef<Logger>());  // never destroyed
    return shared;
}

void Logger::setLogLevel(std::int32_t level, const Value& area) {
    std::string key = format("%@", area);
    std::lock_guard lock(mutex_);
    if (!logLevelForArea_) logLevelForArea_.emplace();
    logLevelForArea_->set(std::move(key), Value(level));
}

std::optional<std::int32_t> Logger::logLevelForArea(const Value& area) const {
    const std::string key = format("%@", area);
    std::lock_guard lock(mutex_);
    if (!logLevelForArea_) return std::nullopt;
    const Value* level = logLevelForArea_->find(key);
    if (!level) return std::nullopt;
    return level->intValue();
}

bool Logger::shouldLog(std::int32_t level, const Value& area) const {
    const std::int32_t threshold = logLevelForArea(area).value_or(logLevel_.load());
    return static_cast<std::uint32_t>(level) >= static_cast<std::uint32_t>(threshold);
}

void Logger::writeLine(std::int32_t level, const Value& area, const char* function, const std::string& message) const {
    log("%d %@ %s %@", level, area, function, message);
}

}  // namespace lv
