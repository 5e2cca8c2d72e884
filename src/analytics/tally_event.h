// The event API behind the facade (TallyEvent): checks event ids, labels, attribute dictionaries and
// durations, builds the cached item for each call and sends it to the engine as a work event.
//
// Threads: any thread; the calls only build items and send work events.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/value.h"

namespace lv {

class TallyEvent {
public:
    static constexpr std::size_t kMaxEventIdBytes = 128;
    static constexpr std::size_t kMaxLabelBytes = 256;

    // The label cut to at most 256 UTF-8 bytes on a character boundary (begin and end cut alike, so
    // a long label still pairs them).
    static std::string cutLabel(const Value& label);

    // Not empty, at most 128 UTF-8 bytes and not white space only (the warning for longer ids).
    static bool validEventID(const Value& eventId);
    // An absent label is nil; an absent duration is 0.
    static void eventJob(const Value& eventId, const Value& label, std::int64_t acc, std::int64_t durationMs);
    static void event(const Value& eventId);
    static void event(const Value& eventId, const Value& label);
    static void event(const Value& eventId, std::int64_t acc);
    static void event(const Value& eventId, const Value& label, std::int64_t acc);
    static void eventDurations(const Value& eventId, std::int32_t durationMs);
    static void eventDurations(const Value& eventId, const Value& label, std::int32_t durationMs);
    static void beginEvent(const Value& eventId);
    static void endEvent(const Value& eventId);
    static void beginEvent(const Value& eventId, const Value& label);
    static void endEvent(const Value& eventId, const Value& label);
    static void beginEvent(const Value& eventId, const Value& primaryKey, const Value& attributes);
    static void endEventPrimarykey(const Value& eventId, const Value& primaryKey);
    static void eventAttributes(const Value& eventId, const Value& attributes);
    static void eventAttributes(const Value& eventId, const Value& attributes, std::int32_t durationMs);
    static void gameEvent(const Value& eventId, const Value& attributes);
    static void gameEvent(const Value& eventId, const Value& attributes, std::int32_t durationMs);
    static void logPageView(const Value& pageName, std::int32_t seconds);
    static void beginLogPageView(const Value& pageName);
    static void endLogPageView(const Value& pageName);
};

}  // namespace lv
