#include "analytics/tally_internal.h"

#include <algorithm>

#include "analytics/analytics_log.h"
#include "analytics/crash_capture.h"
#include "analytics/detail/shared_slot.h"
#include "analytics/tally_app.h"
#include "analytics/tally_config.h"
#include "analytics/tally_job.h"
#include "analytics/tally_session.h"
#include "analytics/tly_util.h"
#include "platform/base/clock.h"

namespace lv {

namespace {

using EngineSlot = analytics_detail::SharedSlot<TallyInternal>;

// The timing key of a begun event: "%@%@" of the two parts, a missing part printing as "(null)".
std::string timingKey(const std::string& first, const std::string& second) {
    return format("%@%@", first.empty() ? Value() : Value(first), second.empty() ? Value() : Value(second));
}

}  // namespace

TallyInternal::TallyInternal() : sendLogQueue_(OperationQueue::make()) {
    sendLogQueue_->setMaxConcurrentOperationCount(1);
    sessionID_ = TLYUtil::sessionId();
}

Ref<TallyInternal> TallyInternal::sharedInstance() {
    return EngineSlot::instance().get([] { return makeRef<TallyInternal>(); });
}

void TallyInternal::resetSharedInstance() {
    const auto old = EngineSlot::instance().exchange(makeRef<TallyInternal>());
}

std::optional<std::string> TallyInternal::imprintValueWithKey(std::string_view key) {
    return TallyPack::imprintPropertyValueWithKey(key);
}

void TallyInternal::setErrorSupportInfo(const Dictionary& info) {
    if (info.empty()) return;
    sharedInstance()->setErrorSupportInfoDictionary(info);
}

void TallyInternal::setErrorSupportInfoDictionary(Dictionary info) {
    errorSupportInfo_ = std::move(info);
    refreshSignalReportHead(*this);
}

void TallyInternal::setSessionID(std::string sessionID) {
    sessionID_ = std::move(sessionID);
    refreshSignalReportHead(*this);
}

void TallyInternal::workEvent(const TLYDispatchEvent& event) {
    const auto session = TallySession::sharedInstance();
    const Value& object = event.object;
    switch (event.eEventType) {
    case kSessionBegin:
        loadCacheFromTempContainer();
        loadCache();
        fileSignalCrashReport();
        // What the archive lacks (items recorded before the session, a crash filed now) is on disk
        // before anything else runs, and the journal is folded into it.
        rewriteNeeded_ = true;
        writeArchive();
        refreshSignalReportHead(*this);
        if (!session->appInBackGround()) TallyJob::preparePerformJob(0);
        TLYAnalyticsLog("session begin:%@", sessionID_);
        break;
    case kSessionEnd: {
        // The object carries the duration and the id of the session that ended, so a re-activation
        // before this runs cannot give the session-end item the new session's id.
        const std::string endingID = object["sessionID"].stringValue();
        stopSession(object["duration"].doubleValue(), endingID);
        if (TallyApp::sharedInstance()->reportPolicy() == 8 && TallyApp::sharedInstance()->backgroundTaskEnabled()) {
            TallyJob::preparePerformJob(1);
        }
        saveAndCleanCache();
        // The background task was begun for this work; it ends here unless an upload now runs.
        if (!TallyJob::sharedInstance()->jobRunning()) TallyApp::sharedInstance()->endBackgroundTask();
        TLYAnalyticsLog("session end:%@", endingID);
        break;
    }
    case kEvent:
    case kError:
    case kKeyedEvent: {
        if (!checkEventLimit()) break;
        const auto item = object.objectAs<TLYBaseEvent>();
        if (item) setEventSessionID(*item);
        addEvent(item, arrayWithEventType(event.eEventType, event.inSession));
        break;
    }
    case kEventBegin:
    case kEventEnd: {
        const auto item = object.objectAs<TLYEvent>();
        if (item) setEventSessionID(*item);
        endingInSession_ = event.inSession;
        event.eEventType == kEventBegin ? eventBegin(item) : eventEnd(item);
        endingInSession_.reset();
        break;
    }
    case kKeyedEventBegin:
    case kKeyedEventEnd: {
        const auto item = object.objectAs<TLYEkv>();
        if (item) setEventSessionID(*item);
        endingInSession_ = event.inSession;
        event.eEventType == kKeyedEventBegin ? ekvBegin(item) : ekvEnd(item);
        endingInSession_.reset();
        break;
    }
    case kPageDuration:
        pageItems_.push_back(object);
        refreshSignalReportHead(*this);
        TLYAnalyticsLog("pageDuration:%@", object);
        break;
    case kPageBegin: {
        // The duration is measured on the monotonic clock: a wall clock set meanwhile moves neither end.
        const double began = monotonicTime();
        pageItemsHash_.set(object.stringValue(), Value(began));
        TLYAnalyticsLog("pageBegin=%@, beginTime:%@", object, Value(currentTimeSince1970()));
        break;
    }
    case kPageEnd:
        pageEnd(object.isString() ? object.string() : std::string());
        break;
    case kSignIn:
        signInOrOff(object, true);
        break;
    case kSignOff:
        signInOrOff(object, false);
        break;
    default:
        TLYAnalyticsLog("WARNING: unkown event type");
        break;
    }
}

TallyInternal::ItemList* TallyInternal::arrayWithEventType(std::int32_t type, std::optional<bool> inSession) {
    const auto session = TallySession::sharedInstance();
    if (inSession) {
        if (!*inSession) return &tmpContainer_;
        switch (type) {
        case kSessionEnd: return &terminates_;
        case kEvent: return &events_;
        case kError: return &errors_;
        case kKeyedEvent: return &ekv_;
        default: return &tmpContainer_;
        }
    }
    ItemList* candidate = nullptr;
    if (!session->appInBackGround()) {
        switch (type) {
        case kSessionEnd: candidate = &terminates_; break;
        case kEvent: candidate = &events_; break;
        case kError: candidate = &errors_; break;
        case kKeyedEvent: candidate = &ekv_; break;
        default: break;
        }
    }
    if (!session->appInBackGround() && session->sessionStatus() != 0) return candidate;
    return &tmpContainer_;
}

void TallyInternal::addEvent(const Ref<TLYBaseEvent>& item, ItemList* container) {
    if (!item || !container) return;
    container->push_back(item);
    if (container != &tmpContainer_) noteFiled(item);
    item->outputUMLog();
    if (!TallySession::sharedInstance()->appInBackGround()) TallyJob::preparePerformJob(1);
}

void TallyInternal::setEventSessionID(TLYBaseEvent& item) const {
    if (TLYUtil::isEmptyString(Value(sessionID_))) {
        TLYAnalyticsLog("WARNING: session id is empty");
        return;
    }
    item.session_id = sessionID_;
}

bool TallyInternal::checkEventLimit() const {
    const Value separated = TallyConfig::configureWithKey("tlySeparatedTime");
    const double now = currentTimeSince1970();
    if (separated.isNil()) {
        TallyConfig::setConfigure(Value(now), "tlySeparatedTime");
        return true;
    }
    // A start in the future (the clock was once set ahead) opens a new period as an elapsed one does;
    // kept, it would hold the count until that date.
    const double elapsed = now - separated.doubleValue();
    if (!(elapsed >= 0 && elapsed <= kEventPeriodSeconds)) {
        TallyConfig::setConfigure(Value(std::int64_t{0}), "tlyPeriodEvtCount");
        TallyConfig::setConfigure(Value(now), "tlySeparatedTime");
    }
    // Events waiting in the temporary container (recorded in the background or before the first
    // session) count as well: they are sent with the next session's.
    const auto waiting = std::count_if(tmpContainer_.begin(), tmpContainer_.end(), [](const Ref<TLYBaseEvent>& item) {
        return std::dynamic_pointer_cast<TLYEvent>(item) || std::dynamic_pointer_cast<TLYEkv>(item);
    });
    const std::int64_t count = static_cast<std::int64_t>(events_.size() + ekv_.size()) + static_cast<std::int64_t>(waiting) +
                               TallyConfig::configureWithKey("tlyPeriodEvtCount").longLongValue();
    if (count >= kMaxEventsPerPeriod) {
        TLYAnalyticsLog("WARNING event max count %d per 8 hours.", static_cast<int>(kMaxEventsPerPeriod));
        return false;
    }
    return true;
}

bool TallyInternal::hasJob() const {
    return !terminates_.empty() || !events_.empty() || !ekv_.empty() || !errors_.empty();
}

void TallyInternal::stopSession(double seconds, const std::optional<std::string>& endingSessionID) {
    auto item = makeRef<TLYTerminate>(seconds);
    if (endingSessionID && !TLYUtil::isEmptyString(Value(*endingSessionID))) {
        item->session_id = *endingSessionID;
    } else {
        setEventSessionID(*item);
    }
    const auto location = TallyLocation::sharedInstance();
    const auto position = location->position();
    if (position.latitude != 0 && position.longitude != 0) {
        item->latitude = position.latitude;
        item->longitude = position.longitude;
        item->gps_time = static_cast<std::int64_t>(position.gpsTime * 1000);
        location->take();
    }
    if (!pageItems_.empty()) {
        for (auto& pair : pageItems_) item->pageViews.push_back(pair);
        pageItems_.clear();
    }
    terminates_.push_back(item);
    noteFiled(item);
    refreshSignalReportHead(*this);
    item->outputUMLog();
}

void TallyInternal::pageEnd(const std::string& name) {
    if (name.empty() || pageItemsHash_.empty()) return;
    const Value* begin = pageItemsHash_.find(name);
    if (!begin) return;
    const double elapsed = monotonicTime() - begin->doubleValue();
    const auto duration = static_cast<std::int32_t>(std::clamp(elapsed, -2147483648.0, 2147483647.0));
    if (duration >= 1) {
        pageItems_.push_back(Value::array({Value(name), Value(duration)}));
        refreshSignalReportHead(*this);
        TLYAnalyticsLog("pageEnd=%@, duration:%d", name, duration);
    }
    pageItemsHash_.remove(name);
}

void TallyInternal::removeSessions() { terminates_.clear(); }

void TallyInternal::removeInstanceMsgs() {
    ekv_.clear();
    events_.clear();
    errors_.clear();
}

void TallyInternal::buildDummySession() {
    auto item = makeRef<TLYTerminate>(60.0);
    item->ts = currentTimeSince1970();
    item->session_id = sessionID_;
    terminates_.push_back(item);
}

// ---- Timed events ----

void TallyInternal::eventBegin(const Ref<TLYEvent>& event) {
    if (!event) return;
    auto& list = eventBeginTimes_[timingKey(event->event_id, event->label)];
    list.push_back(event);  // newest last
    TLYAnalyticsLog("eventBegin eventId=%@, label=%@", event->event_id, event->label);
}

void TallyInternal::eventEnd(const Ref<TLYEvent>& event) {
    if (!event || TLYUtil::isEmptyString(Value(event->event_id))) return;
    const auto found = eventBeginTimes_.find(timingKey(event->event_id, event->label));
    if (found == eventBeginTimes_.end() || found->second.empty()) return;
    auto& list = found->second;
    const Ref<TLYEvent> begun = list.back();
    begun->updateDu();
    // Negative durations (a clock set back) are dropped like over-long ones.
    if (begun->du >= 0 && begun->du < kMaxDurationMs && checkEventLimit()) {
        addEvent(begun, arrayWithEventType(kEvent, endingInSession_));
    }
    if (!list.empty()) list.pop_back();
}

void TallyInternal::ekvBegin(const Ref<TLYEkv>& ekv) {
    if (!ekv) return;
    auto& list = ekvBeginTimes_[timingKey(ekv->id, ekv->key)];
    list.push_back(ekv);  // newest last
    TLYAnalyticsLog("ekvBegin ekvEvent.id=%@, ekvEvent.key=%@", ekv->id, ekv->key);
}

void TallyInternal::ekvEnd(const Ref<TLYEkv>& ekv) {
    if (!ekv || TLYUtil::isEmptyString(Value(ekv->id)) || TLYUtil::isEmptyString(Value(ekv->key))) return;
    const auto found = ekvBeginTimes_.find(timingKey(ekv->id, ekv->key));
    if (found == ekvBeginTimes_.end() || found->second.empty()) return;
    auto& list = found->second;
    const Ref<TLYEkv> begun = list.back();
    // The range is checked on the 64-bit duration before it is stored in the item's 32-bit field.
    const auto elapsed = static_cast<std::int64_t>((monotonicTime() - begun->began) * 1000);
    if (elapsed >= 0 && elapsed < kMaxDurationMs && checkEventLimit()) {
        begun->du = static_cast<std::int32_t>(elapsed);
        addEvent(begun, arrayWithEventType(kKeyedEvent, endingInSession_));
    }
    if (!list.empty()) list.pop_back();
}

// ---- Sign-in and sign-off ----

void TallyInternal::splitSession() {
    const auto session = TallySession::sharedInstance();
    if (session->sessionStatus() == 0) return;
    stopSession(session->endSessionTime());
    generateEnvelopeFile();
    session->beginSessionTime();
}

void TallyInternal::signInOrOff(const Value& object, bool signIn) {
    if (signIn) {
        const Value provider = object["TLYProfileProvider"];
        const Value puid = object["TLYProfilePUID"];
        if (TallyConfig::configureWithKey("TLYProfileProvider") == provider &&
            TallyConfig::configureWithKey("TLYProfilePUID") == puid) {
            return;
        }
        splitSession();
        TallyConfig::setConfigure(provider, "TLYProfileProvider");
        TallyConfig::setConfigure(puid, "TLYProfilePUID");
        return;
    }
    if (TallyConfig::configureWithKey("TLYProfilePUID").isNil()) return;
    splitSession();
    TallyConfig::removeConfigureWithKey("TLYProfileProvider");
    TallyConfig::removeConfigureWithKey("TLYProfilePUID");
}

}  // namespace lv
