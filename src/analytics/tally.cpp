#include "analytics/tally.h"

#include <functional>

#include "analytics/tally_app.h"
#include "analytics/tally_config.h"
#include "analytics/tally_event.h"
#include "analytics/tally_internal.h"
#include "analytics/tally_job.h"
#include "analytics/tally_session.h"
#include "platform/base/format.h"
#include "platform/base/log.h"
#include "platform/dispatch/queue.h"

namespace lv {

namespace {

bool durationInRange(std::int32_t durationMs) { return durationMs >= 1 && durationMs <= Tally::kMaxDurationMs; }

bool isNonEmptyText(const Value& value) { return value.isString() && !value.string().empty(); }

// The engine's fields belong to the main thread: set them there.
void onMainThread(std::function<void()> block) {
    const auto main = Queue::main();
    if (main->isCurrent()) {
        block();
    } else {
        main->async(std::move(block));
    }
}

}  // namespace

void Tally::startWithAppkey(std::string_view appkey, std::int32_t reportPolicy, std::string_view channelId) {
    TallySession::startWithAppkey(appkey, reportPolicy, channelId);
}

void Tally::startWithAppkey(std::string_view appkey) { TallySession::startWithAppkey(appkey); }

void Tally::startSession(const Notification* notification) { TallySession::sharedInstance()->appActivate(notification); }

void Tally::setAppVersion(std::string_view version) { TallyApp::setAppVersion(version); }
void Tally::setCrashReportEnabled(bool enabled) { TallyApp::setCrashReportEnabled(enabled); }
void Tally::setLogEnabled(bool enabled) { TallyApp::setLogEnabled(enabled); }
void Tally::setBackgroundTaskEnabled(bool enabled) { TallyApp::setBackgroundTaskEnabled(enabled); }
void Tally::setEncryptEnabled(bool enabled) { TallyApp::setEncryptEnabled(enabled); }

void Tally::setLogSendInterval(double seconds) {
    if (seconds < kMinLogSendInterval) {
        logLine("ERROR: can't less 90s for log send interval.");
        return;
    }
    TallyConfig::setConfigure(Value(seconds), "tlycReportInterval");
    TallyApp::sharedInstance()->setLogSendInterval(TallyApp::minReportInterval());
}

void Tally::logPageView(const Value& pageName, std::int32_t seconds) { TallyEvent::logPageView(pageName, seconds); }
void Tally::beginLogPageView(const Value& pageName) { TallyEvent::beginLogPageView(pageName); }
void Tally::endLogPageView(const Value& pageName) { TallyEvent::endLogPageView(pageName); }

void Tally::event(const Value& eventId) { TallyEvent::event(eventId); }
void Tally::event(const Value& eventId, const Value& label) { TallyEvent::event(eventId, label); }
void Tally::event(const Value& eventId, std::int64_t acc) { TallyEvent::event(eventId, acc); }
void Tally::event(const Value& eventId, const Value& label, std::int64_t acc) { TallyEvent::event(eventId, label, acc); }
void Tally::eventAttributes(const Value& eventId, const Value& attributes) { TallyEvent::eventAttributes(eventId, attributes); }

void Tally::eventAttributesCounter(const Value& eventId, const Value& attributes, std::int32_t counter) {
    // The caller's dictionary stays as it was.
    Dictionary copy = attributes.isDictionary() ? attributes.dictionary() : Dictionary();
    copy.set("__ct__", Value(format("%d", counter)));
    eventAttributes(eventId, Value(std::move(copy)));
}

void Tally::beginEvent(const Value& eventId) { TallyEvent::beginEvent(eventId); }
void Tally::endEvent(const Value& eventId) { TallyEvent::endEvent(eventId); }
void Tally::beginEvent(const Value& eventId, const Value& label) { TallyEvent::beginEvent(eventId, label); }
void Tally::endEvent(const Value& eventId, const Value& label) { TallyEvent::endEvent(eventId, label); }

void Tally::beginEventPrimarykey(const Value& eventId, const Value& primaryKey, const Value& attributes) {
    TallyEvent::beginEvent(eventId, primaryKey, attributes);
}

void Tally::endEventPrimarykey(const Value& eventId, const Value& primaryKey) {
    TallyEvent::endEventPrimarykey(eventId, primaryKey);
}

void Tally::eventDurations(const Value& eventId, std::int32_t durationMs) { TallyEvent::eventDurations(eventId, durationMs); }

void Tally::eventDurations(const Value& eventId, const Value& label, std::int32_t durationMs) {
    if (durationInRange(durationMs)) TallyEvent::eventDurations(eventId, label, durationMs);
}

void Tally::eventAttributesDurations(const Value& eventId, const Value& attributes, std::int32_t durationMs) {
    if (durationInRange(durationMs)) TallyEvent::eventAttributes(eventId, attributes, durationMs);
}

void Tally::setLatitude(double latitude, double longitude) { TallyLocation::setLatitude(latitude, longitude); }

void Tally::setLocation(const GeoLocation& location) {
    TallyLocation::setLatitude(location.coordinate.latitude, location.coordinate.longitude);
}

void Tally::setLatency(std::int32_t seconds) {
    const auto asUnsigned = static_cast<std::uint32_t>(seconds);
    TallyJob::sharedInstance()->setLatency_sdk(asUnsigned > kMaxLatency ? static_cast<std::int32_t>(kMaxLatency) : seconds);
}

void Tally::setWrapperType(const Value& wrapperType) {
    if (!isNonEmptyText(wrapperType)) return;
    onMainThread([text = wrapperType.string()] { TallyInternal::sharedInstance()->setWrapperType(text); });
}

void Tally::setWrapperVersion(const Value& wrapperVersion) {
    if (!isNonEmptyText(wrapperVersion)) return;
    onMainThread([text = wrapperVersion.string()] { TallyInternal::sharedInstance()->setWrapperVersion(text); });
}

void Tally::setWrapperType(const Value& wrapperType, const Value& wrapperVersion) {
    setWrapperType(wrapperType);
    setWrapperVersion(wrapperVersion);
}

void Tally::profileSignInWithPUID(std::string_view puid) { TallySession::profileSignInPUID(puid); }
void Tally::profileSignInWithPUID(std::string_view puid, std::string_view provider) {
    TallySession::profileSignInPUID(puid, provider);
}
void Tally::profileSignOff() { TallySession::profileSignOff(); }

}  // namespace lv
