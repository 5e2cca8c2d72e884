#include "analytics/tally_event.h"

#include "analytics/items.h"
#include "analytics/tally_internal.h"
#include "analytics/tly_util.h"
#include "analytics/work_dispatch.h"
#include "platform/base/log.h"

namespace lv {

namespace {

constexpr std::int64_t kMaxDurationMs = TallyInternal::kMaxDurationMs;
constexpr std::size_t kMaxAttributes = 10;

std::string textOf(const Value& value) { return value.isString() ? value.string() : std::string(); }

// The attributes a keyed event keeps: "__ct__" (when kept) and the first 10 other entries.
Dictionary cutAttributes(const Dictionary& attributes, bool keepCounter) {
    const bool hasCounter = keepCounter && attributes.contains("__ct__");
    if (attributes.size() <= kMaxAttributes + (hasCounter ? 1 : 0)) return attributes;
    Dictionary kept;
    if (hasCounter) kept.set("__ct__", attributes.get("__ct__"));
    std::size_t taken = 0;
    for (const auto& [key, value] : attributes) {
        if (taken == kMaxAttributes) break;
        if (hasCounter && key == "__ct__") continue;
        kept.set(key, value);
        ++taken;
    }
    return kept;
}

void keyedEvent(const Value& eventId, const Value& attributes, std::int32_t durationMs, bool game) {
    if (!TallyEvent::validEventID(eventId) || !attributes.isDictionary() || attributes.dictionary().empty()) return;
    const Dictionary kept = cutAttributes(attributes.dictionary(), !game);
    auto item = TLYEkv::make(eventId.string(), std::string(), kept, game);
    if (item && durationMs >= 1) item->du = durationMs;
    // A refused item still travels as an empty work event, which the engine files nowhere.
    TLYWorkDispatch::sendEvent(item ? Value(item) : Value(), TallyInternal::kKeyedEvent);
}

}  // namespace

std::string TallyEvent::cutLabel(const Value& label) {
    return TLYUtil::getString(label.string(), static_cast<std::int32_t>(kMaxLabelBytes));
}

bool TallyEvent::validEventID(const Value& eventId) {
    if (!eventId.isString() || TLYUtil::isEmptyString(eventId)) return false;
    const std::string& text = eventId.string();
    if (text.size() <= kMaxEventIdBytes) return true;
    logLine(format("TLYLOG: (Warning) event_id (%@) max bytes length > %d", text, static_cast<int>(kMaxEventIdBytes)));
    return false;
}

void TallyEvent::eventJob(const Value& eventId, const Value& label, std::int64_t acc, std::int64_t durationMs) {
    if (!validEventID(eventId)) return;
    // Negative durations (a caller's clock going back) are dropped like over-long ones.
    if (durationMs < 0 || durationMs >= kMaxDurationMs) return;
    auto item = makeRef<TLYEvent>();
    item->event_id = eventId.string();
    if (label.isString() && !label.string().empty()) item->label = cutLabel(label);
    item->acc = acc;
    item->du = durationMs;
    TLYWorkDispatch::sendEvent(Value(item), TallyInternal::kEvent);
}

void TallyEvent::event(const Value& eventId) { eventJob(eventId, Value(), 1, 0); }
void TallyEvent::event(const Value& eventId, const Value& label) { eventJob(eventId, label, 1, 0); }
void TallyEvent::event(const Value& eventId, std::int64_t acc) { eventJob(eventId, Value(), acc, 0); }
void TallyEvent::event(const Value& eventId, const Value& label, std::int64_t acc) { eventJob(eventId, label, acc, 0); }
void TallyEvent::eventDurations(const Value& eventId, std::int32_t durationMs) { eventJob(eventId, Value(), 1, durationMs); }
void TallyEvent::eventDurations(const Value& eventId, const Value& label, std::int32_t durationMs) {
    eventJob(eventId, label, 1, durationMs);
}

void TallyEvent::beginEvent(const Value& eventId) { beginEvent(eventId, Value()); }
void TallyEvent::endEvent(const Value& eventId) { endEvent(eventId, Value()); }

void TallyEvent::beginEvent(const Value& eventId, const Value& label) {
    if (!validEventID(eventId)) return;
    auto item = makeRef<TLYEvent>();
    item->event_id = eventId.string();
    if (!TLYUtil::isEmptyString(label)) item->label = cutLabel(label);
    item->acc = 0;
    TLYWorkDispatch::sendEvent(Value(item), TallyInternal::kEventBegin);
}

void TallyEvent::endEvent(const Value& eventId, const Value& label) {
    if (!validEventID(eventId)) return;
    auto item = makeRef<TLYEvent>();
    item->event_id = eventId.string();
    if (!TLYUtil::isEmptyString(label)) item->label = cutLabel(label);
    TLYWorkDispatch::sendEvent(Value(item), TallyInternal::kEventEnd);
}

void TallyEvent::beginEvent(const Value& eventId, const Value& primaryKey, const Value& attributes) {
    if (!validEventID(eventId) || TLYUtil::isEmptyString(primaryKey) || !attributes.isDictionary() ||
        attributes.dictionary().empty()) {
        return;
    }
    auto item = TLYEkv::make(eventId.string(), primaryKey.string(), attributes.dictionary(), false);
    TLYWorkDispatch::sendEvent(item ? Value(item) : Value(), TallyInternal::kKeyedEventBegin);
}

void TallyEvent::endEventPrimarykey(const Value& eventId, const Value& primaryKey) {
    if (!validEventID(eventId)) return;
    auto item = TLYEkv::make(eventId.string(), textOf(primaryKey), Dictionary(), false);
    TLYWorkDispatch::sendEvent(item ? Value(item) : Value(), TallyInternal::kKeyedEventEnd);
}

void TallyEvent::eventAttributes(const Value& eventId, const Value& attributes) { keyedEvent(eventId, attributes, 0, false); }
void TallyEvent::eventAttributes(const Value& eventId, const Value& attributes, std::int32_t durationMs) {
    keyedEvent(eventId, attributes, durationMs, false);
}
void TallyEvent::gameEvent(const Value& eventId, const Value& attributes) { keyedEvent(eventId, attributes, 0, true); }
void TallyEvent::gameEvent(const Value& eventId, const Value& attributes, std::int32_t durationMs) {
    keyedEvent(eventId, attributes, durationMs, true);
}

void TallyEvent::logPageView(const Value& pageName, std::int32_t seconds) {
    if (seconds < 1 || TLYUtil::isEmptyString(pageName)) return;
    TLYWorkDispatch::sendEvent(Value::array({pageName, Value(seconds)}), TallyInternal::kPageDuration);
}

void TallyEvent::beginLogPageView(const Value& pageName) {
    if (TLYUtil::isEmptyString(pageName)) return;
    TLYWorkDispatch::sendEvent(pageName, TallyInternal::kPageBegin);
}

void TallyEvent::endLogPageView(const Value& pageName) { TLYWorkDispatch::sendEvent(pageName, TallyInternal::kPageEnd); }

}  // namespace lv
