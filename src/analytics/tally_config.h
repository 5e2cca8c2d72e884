// The analytics client's persistent settings store (TallyConfig, class functions over the standard
// user defaults, written through at once) and the last position the app gave (TallyLocation).
//
// Threads: any thread. The counters add under the user defaults' own lock, so increments from the
// main thread and the upload worker are never lost; the position has its own lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string_view>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

class TallyConfig {
public:
    // The stored value, nil when none.
    static Value configureWithKey(std::string_view key);
    // Stores the value and writes the defaults; nothing for nil or an empty (blank) key.
    static void setConfigure(const Value& value, std::string_view key);
    // Removes the entry; nothing for an empty key.
    static void removeConfigureWithKey(std::string_view key);
    // Adds 1 to "tlySuccessfulRequests" or "tlyFailedRequests"; ms of 1 or more go to
    // "tlyLastRequestSpentMS".
    static void incrementRequest(bool success, std::int32_t usedTimeMs);
    // "lastPostDate" = today ("yyyy-MM-dd"), "lastPostInterval" = now in seconds since 1970.
    static void setLastPostDate();
    // Adds the count to the key's integer (0 when absent).
    // Adds in one locked step and answers the stored sum (0 for a blank key).
    static std::int64_t accumulateCount(std::int32_t count, std::string_view key);
};

// The last position given by the app, until a session end takes it.
class TallyLocation : public Object {
public:
    struct Position {
        double latitude = 0;
        double longitude = 0;
        double gpsTime = 0;  // seconds since 1970
    };

    static Ref<TallyLocation> sharedInstance();
    // Refuses a zero coordinate with "Latitude or longitude may be wrong."; otherwise stores both,
    // stamped now.
    static void setLatitude(double latitude, double longitude);

    double latitude() const { return position().latitude; }
    double longitude() const { return position().longitude; }
    double gps_time() const { return position().gpsTime; }
    Position position() const;
    // The position, leaving all three fields 0 (a session end reports each position once).
    Position take();

private:
    mutable std::mutex mutex_;
    Position position_;
};

}  // namespace lv
