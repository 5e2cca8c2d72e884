#include "analytics/tally_app.h"

#include "analytics/analytics_log.h"
#include "analytics/crash_capture.h"
#include "analytics/log_records.h"
#include "analytics/tally_config.h"
#include "analytics/tly_util.h"
#include "platform/base/log.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/thread.h"
#include "platform/storage/bundle.h"
#include "platform/ui/application.h"

namespace lv {
namespace {

constexpr double kMinInterval = 90;
constexpr double kMaxInterval = 86400;

double clampedInterval(double seconds) { return seconds < kMinInterval || seconds > kMaxInterval ? kMinInterval : seconds; }

void onMainQueue(std::function<void()> work) {
    if (Thread::isMainThread()) {
        work();
    } else {
        Queue::main()->async(std::move(work));
    }
}

}  // namespace

TallyApp::TallyApp() {
    const Value version = Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleVersion");
    if (version.isString()) appVersion_ = version.string();
    logSendInterval_ = minReportInterval();
    const Value appkey = TallyConfig::configureWithKey("appkey");
    if (appkey.isString() && !appkey.string().empty()) appid_ = appkey.string();
}

Ref<TallyApp> TallyApp::sharedInstance() {
    static const Ref<TallyApp>& shared = *new Ref<TallyApp>(makeRef<TallyApp>());  // never destroyed
    return shared;
}

bool TallyApp::isIntegratedTestModel() {
    const auto value = TallyPack::imprintPropertyValueWithKey("integrated_test");
    return value && Value(*value).intValue() == 1;
}

double TallyApp::minReportInterval() {
    if (!isIntegratedTestModel()) {
        const Value experiment = TallyConfig::configureWithKey("tlyExperimentRPT");
        const auto testInterval = TallyPack::imprintPropertyValueWithKey("test_report_interval");
        if (!experiment.isNil() && experiment.intValue() == 6 && testInterval && !TLYUtil::isEmptyString(Value(*testInterval))) {
            return clampedInterval(Value(*testInterval).doubleValue());
        }
    }
    if (auto imprinted = TallyPack::imprintPropertyValueWithKey("report_interval");
        imprinted && !TLYUtil::isEmptyString(Value(*imprinted))) {
        return clampedInterval(Value(*imprinted).doubleValue());
    }
    for (std::string_view key : {"tally_report_interval", "tlycReportInterval"}) {
        const Value stored = TallyConfig::configureWithKey(key);
        if (!stored.isNil()) return clampedInterval(stored.doubleValue());
    }
    return kMinInterval;
}

std::int32_t TallyApp::verifyReportPolicy(std::int32_t policy) {
    switch (policy) {
        case 1:
        case 6:
        case 8: return policy;
        case 0: return isIntegratedTestModel() ? 0 : 1;
        default: return 1;
    }
}

void TallyApp::setEncryptEnabled(bool enabled) { sharedInstance()->setEncryptEnabledFlag(enabled); }
void TallyApp::setBackgroundTaskEnabled(bool enabled) { sharedInstance()->setBackgroundTaskEnabledFlag(enabled); }
void TallyApp::setLogEnabled(bool enabled) { sharedInstance()->setLogEnabledFlag(enabled); }

void TallyApp::setCrashReportEnabled(bool enabled) {
    auto app = sharedInstance();
    bool switched = false;
    {
        std::lock_guard lock(app->mutex_);
        app->crashReportEnabled_ = enabled;
        switched = enabled != app->appCrashedHandlerInstalled_;
        if (switched) app->appCrashedHandlerInstalled_ = enabled;
    }
    if (switched) crashCaptureSwitched(enabled);
}

void TallyApp::setAppVersion(std::string_view version) {
    if (TLYUtil::isEmptyString(Value(version))) return;
    sharedInstance()->setAppVersionText(std::string(version));
}

bool TallyApp::crashReportEnabled() const {
    std::lock_guard lock(mutex_);
    return crashReportEnabled_;
}
void TallyApp::setCrashReportEnabledFlag(bool enabled) {
    std::lock_guard lock(mutex_);
    crashReportEnabled_ = enabled;
}
bool TallyApp::backgroundTaskEnabled() const {
    std::lock_guard lock(mutex_);
    return backgroundTaskEnabled_;
}
void TallyApp::setBackgroundTaskEnabledFlag(bool enabled) {
    std::lock_guard lock(mutex_);
    backgroundTaskEnabled_ = enabled;
}
bool TallyApp::logEnabled() const { return analyticsLogEnabled(); }
void TallyApp::setLogEnabledFlag(bool enabled) { setAnalyticsLogEnabled(enabled); }
double TallyApp::logSendInterval() const {
    std::lock_guard lock(mutex_);
    return logSendInterval_;
}
void TallyApp::setLogSendInterval(double seconds) {
    std::lock_guard lock(mutex_);
    logSendInterval_ = seconds;
}
std::uint64_t TallyApp::backgroundTaskIdentifier() const {
    std::lock_guard lock(mutex_);
    return backgroundTaskIdentifier_;
}
std::string TallyApp::appVersion() const {
    std::lock_guard lock(mutex_);
    return appVersion_;
}
void TallyApp::setAppVersionText(std::string version) {
    std::lock_guard lock(mutex_);
    appVersion_ = std::move(version);
}
std::string TallyApp::channel() const {
    std::lock_guard lock(mutex_);
    return channel_;
}
void TallyApp::setChannel(std::string channel) {
    std::lock_guard lock(mutex_);
    channel_ = std::move(channel);
}
bool TallyApp::encryptEnabled() const {
    std::lock_guard lock(mutex_);
    return encryptEnabled_;
}
void TallyApp::setEncryptEnabledFlag(bool enabled) {
    std::lock_guard lock(mutex_);
    encryptEnabled_ = enabled;
}
bool TallyApp::appCrashedHandlerInstalled() const {
    std::lock_guard lock(mutex_);
    return appCrashedHandlerInstalled_;
}
void TallyApp::setAppCrashedHandlerInstalled(bool installed) {
    std::lock_guard lock(mutex_);
    appCrashedHandlerInstalled_ = installed;
}
std::string TallyApp::appid() const {
    std::lock_guard lock(mutex_);
    return appid_;
}
void TallyApp::setAppid(std::string appid) {
    std::lock_guard lock(mutex_);
    appid_ = std::move(appid);
}

std::int32_t TallyApp::reportPolicy() const {
    Value candidate;
    const Value experiment = TallyConfig::configureWithKey("tlyExperimentRPT");
    if (!experiment.isNil() && !isIntegratedTestModel()) {
        candidate = experiment;
    } else if (auto imprinted = TallyPack::imprintPropertyValueWithKey("report_policy")) {
        candidate = Value(*imprinted);
    } else {
        candidate = TallyConfig::configureWithKey("report_policy");
        if (candidate.isNil()) candidate = TallyConfig::configureWithKey("tlycReportPolicy");
    }
    std::int32_t policy;
    {
        std::lock_guard lock(mutex_);
        policy = candidate.isNil() ? reportPolicy_ : candidate.intValue();
    }
    policy = verifyReportPolicy(policy);
    std::lock_guard lock(mutex_);
    reportPolicy_ = policy;
    return policy;
}

void TallyApp::activeBackgroundTask() {
    {
        std::lock_guard lock(mutex_);
        if (!backgroundTaskEnabled_ || backgroundTaskIdentifier_ != kBackgroundTaskInvalid) return;
        // Reserve the slot so that two callers cannot both begin a task.
        backgroundTaskIdentifier_ = ~std::uint64_t{0};
    }
    std::weak_ptr<TallyApp> weak = std::static_pointer_cast<TallyApp>(shared_from_this());
    const BackgroundTaskIdentifier task =
        Application::sharedApplication()->beginBackgroundTaskWithExpirationHandler([weak] {
            if (auto self = weak.lock()) onMainQueue([self] { self->endTaskOnMain(); });
        });
    std::lock_guard lock(mutex_);
    backgroundTaskIdentifier_ = task;
}

void TallyApp::endBackgroundTask() {
    auto self = std::static_pointer_cast<TallyApp>(shared_from_this());
    onMainQueue([self] { self->endTaskOnMain(); });
}

void TallyApp::endTaskOnMain() {
    BackgroundTaskIdentifier task;
    {
        std::lock_guard lock(mutex_);
        task = backgroundTaskIdentifier_;
        if (task == kBackgroundTaskInvalid || task == ~std::uint64_t{0}) return;
        backgroundTaskIdentifier_ = kBackgroundTaskInvalid;
    }
    Application::sharedApplication()->endBackgroundTask(task);
}

void TallyApp::noAppKeyException() const {
    log("TLYLOG: appkey can not be found or not valid. Tally methods must be called after [Tally startWithAppkey...]!");
}

std::string TallyApp::description() const {
    const std::int32_t policy = reportPolicy();
    std::lock_guard lock(mutex_);
    std::string text = format("<%@: ", "TallyApp");
    text += format("logEnabled=%d", analyticsLogEnabled() ? 1 : 0);
    text += format(", crashReportEnabled=%d", crashReportEnabled_ ? 1 : 0);
    text += format(", sendInterval=%f", logSendInterval_);
    text += format(", reportPolicy=%d", policy);
    text += format(", appVersion=%@", appVersion_);
    text += format(", appid=%@", appid_.empty() ? Value() : Value(appid_));
    text += format(", channel=%@", channel_);
    return text + ">";
}

}  // namespace lv
