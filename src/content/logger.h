// The app's levelled logger: a message is written when its level reaches the threshold of its area
// (the area's own level, else the common one), comparing the two as unsigned 32-bit numbers. Lines go
// to the system log as "<level> <area> <function> <message>".
//
// Threads: the threshold and the per-area table are guarded by a lock; nLog may be called from any
// thread. The lock is not held while the message is formatted or written.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/log.h"
#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

class Logger : public Object {
public:
    // The common threshold starts at 1.
    Logger() = default;

    // The shared object, made once on first use (from any thread).
    static const Ref<Logger>& sharedLogger();
    static const Ref<Logger>& instance() { return sharedLogger(); }

    std::int32_t logLevel() const { return logLevel_.load(); }
    // The threshold of every area without a level of its own.
    void setLogLevel(std::int32_t level) { logLevel_.store(level); }
    // The threshold of one area (stored under the area's description, "%@").
    void setLogLevel(std::int32_t level, const Value& area);
    // The area's own threshold, when it has one.
    std::optional<std::int32_t> logLevelForArea(const Value& area) const;

    // True when a message of the level in the area would be written.
    bool shouldLog(std::int32_t level, const Value& area) const;

    // Writes "%d %@ %s %@" (level, area, function, the formatted message) as one line of the system
    // log when the level reaches the area's threshold (unsigned comparison: level -1 is always
    // written). The message is formatted only then.
    template <class... Args>
    void nLog(std::int32_t level, const Value& area, const char* function, std::string_view fmt, const Args&... args) {
        if (!shouldLog(level, area)) return;
        writeLine(level, area, function, format(fmt, args...));
    }

private:
    void writeLine(std::int32_t level, const Value& area, const char* function, const std::string& message) const;

    std::atomic<std::int32_t> logLevel_{1};
    mutable std::mutex mutex_;
    std::optional<Dictionary> logLevelForArea_;  // made by the first setLogLevel(level, area)
};

}  // namespace lv
