#include "analytics/tally_job.h"

#include <algorithm>
#include <mutex>
#include <random>

#include "analytics/detail/shared_slot.h"
#include "analytics/tally_app.h"
#include "analytics/tally_config.h"
#include "analytics/tally_internal.h"
#include "analytics/tally_session.h"
#include "analytics/tly_util.h"
#include "platform/base/clock.h"

namespace lv {

namespace {

constexpr double kPolicy0Interval = 15;
constexpr double kPolicy8ForegroundWithBackground = 129600;
constexpr double kPolicy8ForegroundWithoutBackground = 10800;

using JobSlot = analytics_detail::SharedSlot<TallyJob>;

}  // namespace

TallyJob::TallyJob() {
    // The level the server set lasts across launches: the log builder thins what it sends by it.
    const Value stored = TallyConfig::configureWithKey("tlyDefcon");
    if (stored.isNil()) return;
    const std::int32_t level = readInt(stored.stringValue());
    if (level >= 0 && level <= 3) defcon_.store(level);
}

Ref<TallyJob> TallyJob::sharedInstance() {
    return JobSlot::instance().get([] { return makeRef<TallyJob>(); });
}

void TallyJob::resetSharedInstance() {
    const auto old = JobSlot::instance().exchange(makeRef<TallyJob>());
}

TallyJob::~TallyJob() {
    if (delayTimer_) delayTimer_->invalidate();
}

double TallyJob::elapsedTimeFromPost() {
    const Value last = TallyConfig::configureWithKey("lastPostInterval");
    if (last.isNil()) return -1.0;
    return currentTimeSince1970() - last.doubleValue();
}

bool TallyJob::defconAllowsPost(std::int32_t) { return true; }

bool TallyJob::shouldCommitJob(std::int32_t trigger) {
    const auto session = TallySession::sharedInstance();
    if (sharedInstance()->delayedRunPending() || session->appBeKilling()) return false;
    if (TLYUtil::accessString().empty()) return false;
    const auto app = TallyApp::sharedInstance();
    const double elapsed = elapsedTimeFromPost();
    switch (app->reportPolicy()) {
    case 8:
        if (session->appInBackGround()) return app->backgroundTaskEnabled();
        return elapsed < 0 || elapsed > (app->backgroundTaskEnabled() ? kPolicy8ForegroundWithBackground
                                                                       : kPolicy8ForegroundWithoutBackground);
    case 6:
        return elapsed < 0 || elapsed > app->logSendInterval();
    case 0:
        return elapsed < 0 || elapsed > kPolicy0Interval;
    case 1:
        return trigger == 0;
    default:
        return false;
    }
}

std::int32_t TallyJob::computeLatency() {
    std::int64_t latent = 0;
    if (const auto text = TallyInternal::imprintValueWithKey("latent")) latent = readLongLong(*text);
    if (latent <= 0) {
        latency_.store(0);
        disguisedLatency_.store(false);
        return 0;
    }
    const std::int32_t sdk = latencySdk_.load();
    const std::int64_t bound = std::min<std::int64_t>(latent, sdk > 0 ? sdk : kDefaultLatencyBound);
    std::random_device device;
    std::uniform_int_distribution<std::int64_t> pick(1, std::max<std::int64_t>(bound, 1));
    const auto chosen = static_cast<std::int32_t>(pick(device));
    latency_.store(chosen);
    disguisedLatency_.store(true);
    return chosen;
}

void TallyJob::preparePerformJob(std::int32_t trigger) {
    const auto job = sharedInstance();
    if (TallySession::sharedInstance()->sessionStatus() == 0 || job->jobRunning()) return;
    if (!defconAllowsPost(job->defcon()) || !shouldCommitJob(trigger)) return;
    const auto engine = TallyInternal::sharedInstance();
    const std::int32_t latency = job->computeLatency();
    if (latency <= 0) {
        engine->beginPerformJob();
        return;
    }
    if (engine->hasJob()) engine->generateEnvelopeFile();
    job->pending_.store(true);
    Weak<TallyJob> weak = job;
    job->delayTimer_ = Timer::make(latency, false, [weak](Timer&) {
        if (auto self = weak.lock()) self->beginPerformJobDelay();
    });
    RunLoop::main()->addTimer(job->delayTimer_, kDefaultRunLoopMode);
}

void TallyJob::beginPerformJobDelay() {
    // Cleared whenever the timer fires, so a run that finds the app in the background does not
    // block every later run.
    pending_.store(false);
    delayTimer_ = nullptr;
    if (!TallySession::sharedInstance()->appInBackGround()) TallyInternal::sharedInstance()->beginPerformJob();
}

}  // namespace lv
