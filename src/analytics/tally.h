// The analytics client's public face (Tally): start-up, switches, events, page views, a position and
// the signed-in user. Each call checks its arguments where noted and hands the work on to the settings
// object, the session, the event API, the location holder, the engine or the upload scheduler.
//
// Threads: any thread; the facade holds no state. Work on the engine's state travels to the main
// thread (the wrapper texts are set there too).
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/base/value.h"
#include "platform/dispatch/notification_center.h"

namespace lv {

// A position as the app's location service gives it.
struct GeoLocation {
    struct Coordinate {
        double latitude = 0;
        double longitude = 0;
    };
    Coordinate coordinate;
};

class Tally {
public:
    // Shortest period in seconds setLogSendInterval accepts.
    static constexpr double kMinLogSendInterval = 90.0;
    // Longest upload delay in seconds setLatency accepts.
    static constexpr std::uint32_t kMaxLatency = 1800;
    // Timed events with a duration in ms outside [1, 7199999] are dropped.
    static constexpr std::int32_t kMaxDurationMs = 7199999;

    static void startWithAppkey(std::string_view appkey, std::int32_t reportPolicy, std::string_view channelId);
    // Report policy 1, no channel.
    static void startWithAppkey(std::string_view appkey);
    // Begins a session as if the app became active (main thread).
    static void startSession(const Notification* notification);

    static void setAppVersion(std::string_view version);
    static void setCrashReportEnabled(bool enabled);
    static void setLogEnabled(bool enabled);
    static void setBackgroundTaskEnabled(bool enabled);
    static void setEncryptEnabled(bool enabled);
    // Below 90 s: prints "ERROR: can't less 90s for log send interval." whatever the log switch says
    // and changes nothing. Otherwise stores "tlycReportInterval" and renews the send interval.
    static void setLogSendInterval(double seconds);

    static void logPageView(const Value& pageName, std::int32_t seconds);
    static void beginLogPageView(const Value& pageName);
    static void endLogPageView(const Value& pageName);

    static void event(const Value& eventId);
    static void event(const Value& eventId, const Value& label);
    static void event(const Value& eventId, std::int64_t acc);
    static void event(const Value& eventId, const Value& label, std::int64_t acc);
    static void eventAttributes(const Value& eventId, const Value& attributes);
    // Sends a copy of the attributes with "__ct__" = the counter as decimal text.
    static void eventAttributesCounter(const Value& eventId, const Value& attributes, std::int32_t counter);

    static void beginEvent(const Value& eventId);
    static void endEvent(const Value& eventId);
    static void beginEvent(const Value& eventId, const Value& label);
    static void endEvent(const Value& eventId, const Value& label);
    static void beginEventPrimarykey(const Value& eventId, const Value& primaryKey, const Value& attributes);
    static void endEventPrimarykey(const Value& eventId, const Value& primaryKey);

    static void eventDurations(const Value& eventId, std::int32_t durationMs);
    // These two drop a duration outside [1, 7199999] ms.
    static void eventDurations(const Value& eventId, const Value& label, std::int32_t durationMs);
    static void eventAttributesDurations(const Value& eventId, const Value& attributes, std::int32_t durationMs);

    static void setLatitude(double latitude, double longitude);
    static void setLocation(const GeoLocation& location);

    // The upload delay bound, at most 1800 s; a negative value reads as a large unsigned one, so it
    // becomes 1800 too.
    static void setLatency(std::int32_t seconds);

    // A nil or empty text is ignored.
    static void setWrapperType(const Value& wrapperType);
    static void setWrapperVersion(const Value& wrapperVersion);
    static void setWrapperType(const Value& wrapperType, const Value& wrapperVersion);

    static void profileSignInWithPUID(std::string_view puid);
    static void profileSignInWithPUID(std::string_view puid, std::string_view provider);
    static void profileSignOff();
};

}  // namespace lv
