#include "analytics/tally_session.h"

#include <algorithm>
#include <mutex>

#include "analytics/analytics_log.h"
#include "analytics/crash_capture.h"
#include "analytics/detail/shared_slot.h"
#include "analytics/tally_app.h"
#include "analytics/tally_config.h"
#include "analytics/tally_internal.h"
#include "analytics/tly_util.h"
#include "analytics/work_dispatch.h"
#include "platform/base/clock.h"
#include "platform/base/log.h"
#include "platform/dispatch/queue.h"
#include "platform/ui/application.h"

namespace lv {

namespace {

constexpr double kLongestSessionSeconds = 7200;
constexpr double kLongSessionRecordedSeconds = 3600;
constexpr std::size_t kMaxPuidLength = 64;
constexpr std::size_t kMaxProviderLength = 32;

using SessionSlot = analytics_detail::SharedSlot<TallySession>;

}  // namespace

TallySession::TallySession() : lastLaunchTime_(currentTimeSince1970()), lastLaunchMonotonic_(monotonicTime()) {}

TallySession::~TallySession() {
    if (observerRegistered_.load()) NotificationCenter::defaultCenter()->removeObserver(this);
}

Ref<TallySession> TallySession::sharedInstance() {
    return SessionSlot::instance().get([] { return makeRef<TallySession>(); });
}

void TallySession::resetSharedInstance() {
    const auto old = SessionSlot::instance().exchange(makeRef<TallySession>());
}

void TallySession::startWithAppkey(std::string_view appkey) { startWithAppkey(appkey, 1, {}); }

void TallySession::startWithAppkey(std::string_view appkey, std::int32_t reportPolicy, std::string_view channelId) {
    TLYAnalyticsLog("analytics sdk version %@ , app version %@", TLYUtil::sdkVersionString(), TLYUtil::appVersionString());
    const auto app = TallyApp::sharedInstance();
    if (TLYUtil::isEmptyString(Value(appkey))) {
        app->noAppKeyException();
        return;
    }
    const Value stored = TallyConfig::configureWithKey("appkey");
    if (!stored.isNil() && stored.stringValue() != appkey) logLine("WARNING: Appkey is different from the past.");
    TallyConfig::setConfigure(Value(appkey), "appkey");
    TallyConfig::setConfigure(Value(static_cast<std::uint32_t>(reportPolicy)), "tlycReportPolicy");
    app->setAppid(std::string(appkey));
    // Opens the first 8-hour event-count period.
    if (TallyConfig::configureWithKey("tlySeparatedTime").isNil()) {
        TallyConfig::setConfigure(Value(currentTimeSince1970()), "tlySeparatedTime");
    }
    NotificationCenter::defaultCenter()->post("tlyGotAppkeyNotification");
    if (!TLYUtil::isEmptyString(Value(channelId))) app->setChannel(std::string(channelId));

    const auto session = sharedInstance();
    if (!session->observerRegistered_.exchange(true)) {
        session->registerObservers();
        TallyApp::setCrashReportEnabled(app->crashReportEnabled());
    }
    Queue::main()->async([session] { session->ensureSessionLaunch(); });
}

void TallySession::registerObservers() {
    auto center = NotificationCenter::defaultCenter();
    const auto application = Application::sharedApplication();
    Weak<TallySession> weak = refAs<TallySession>();
    center->addObserver(this, kApplicationDidBecomeActiveNotification, application, [weak](const Notification& note) {
        if (auto self = weak.lock()) self->appActivate(&note);
    });
    for (auto name : {kApplicationWillResignActiveNotification, kApplicationWillTerminateNotification}) {
        center->addObserver(this, name, application, [weak](const Notification& note) {
            if (auto self = weak.lock()) self->appInactivate(&note);
        });
    }
}

void TallySession::ensureSessionLaunch() {
    if (sessionStatus_.load() == 0) appActivate(nullptr);
}

void TallySession::appActivate(const Notification*) {
    appInBackGround_.store(false);
    if (sessionStatus_.load() == 1) TLYAnalyticsLog("WARNING app has already activate.");
    beginSessionTime();
    TLYWorkDispatch::sendEvent(Value(), TallyInternal::kSessionBegin);
}

void TallySession::beginSessionTime() {
    // The first session keeps the id the engine made when it was created.
    if (sessionStatus_.load() != 0) TallyInternal::sharedInstance()->setSessionID(TLYUtil::sessionId());
    sessionStatus_.store(1);
    lastLaunchTime_.store(currentTimeSince1970());
    lastLaunchMonotonic_.store(monotonicTime());
    // A fatal signal from here on closes this session at the next launch.
    refreshSignalReportHead(*TallyInternal::sharedInstance());
}

double TallySession::endSessionTime() const {
    // Measured on the monotonic clock: a wall clock set back mid-session cannot make it negative.
    const double seconds = std::max(0.0, monotonicTime() - lastLaunchMonotonic_.load());
    // Kept as the client always recorded it: a session over two hours counts as one hour.
    return seconds > kLongestSessionSeconds ? kLongSessionRecordedSeconds : seconds;
}

void TallySession::appInactivate(const Notification* notification) {
    appInBackGround_.store(true);
    sessionStatus_.store(2);
    if (notification && notification->name() == kApplicationWillTerminateNotification) appBeKilling_.store(true);
    const double duration = endSessionTime();
    const auto app = TallyApp::sharedInstance();
    const auto engine = TallyInternal::sharedInstance();
    if (!appCrashed_.load() && !appBeKilling_.load() && app->backgroundTaskEnabled()) {
        app->activeBackgroundTask();
        TLYWorkDispatch::sendEvent(Value::dictionary({{"duration", Value(duration)}, {"sessionID", Value(engine->sessionID())}}),
                                   TallyInternal::kSessionEnd);
        return;
    }
    // Closed at once. On will-terminate after a resign this closes the already-closed session again
    // and leaves the archive on disk as the last session end wrote it, as the client always did.
    engine->stopSession(duration);
    engine->saveAndCleanCache();
}

void TallySession::signInPUID(std::string_view puid, std::string_view provider) {
    if (TLYUtil::isEmptyString(Value(puid))) {
        TLYAnalyticsLog("ERROR, invalid puid.");
        return;
    }
    if (utf16Length(puid) > kMaxPuidLength) {
        TLYAnalyticsLog("ERROR, puid's max length is 64 byte.");
        return;
    }
    if (utf16Length(provider) > kMaxProviderLength) {
        TLYAnalyticsLog("ERROR, provider's max length is 32 byte.");
        return;
    }
    TLYWorkDispatch::sendEvent(
        Value::dictionary({{"TLYProfileProvider", Value(provider)}, {"TLYProfilePUID", Value(puid)}}),
        TallyInternal::kSignIn);
}

void TallySession::profileSignInPUID(std::string_view puid) { signInPUID(puid, "_adhoc"); }

void TallySession::profileSignInPUID(std::string_view puid, std::string_view provider) {
    signInPUID(puid, TLYUtil::isEmptyString(Value(provider)) ? std::string_view("_adhoc") : provider);
}

void TallySession::profileSignOff() { TLYWorkDispatch::sendEvent(Value(), TallyInternal::kSignOff); }

std::string TallySession::description() const {
    return format("<%@: ", className()) + format("  observerRegistered=%d", observerRegistered_.load() ? 1 : 0) +
           format(", sessionStatus=%d", sessionStatus_.load()) + ">";
}

}  // namespace lv
