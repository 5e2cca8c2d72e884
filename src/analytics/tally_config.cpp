#include "analytics/tally_config.h"

#include <utility>

#include "analytics/analytics_log.h"
#include "analytics/tly_util.h"
#include "platform/base/clock.h"
#include "platform/storage/user_defaults.h"

namespace lv {
namespace {
Ref<UserDefaults> defaults() { return UserDefaults::standardUserDefaults(); }
bool emptyKey(std::string_view key) { return TLYUtil::isEmptyString(Value(key)); }
}  // namespace

Value TallyConfig::configureWithKey(std::string_view key) { return defaults()->objectForKey(key); }

void TallyConfig::setConfigure(const Value& value, std::string_view key) {
    if (value.isNil() || emptyKey(key)) return;
    defaults()->setObject(value, key);
}

void TallyConfig::removeConfigureWithKey(std::string_view key) {
    if (emptyKey(key)) return;
    defaults()->removeObjectForKey(key);
}

void TallyConfig::incrementRequest(bool success, std::int32_t usedTimeMs) {
    // The count and the time spent in one write.
    Dictionary spent;
    if (usedTimeMs >= 1) spent.set("tlyLastRequestSpentMS", Value(static_cast<std::int64_t>(usedTimeMs)));
    defaults()->addInteger(1, success ? "tlySuccessfulRequests" : "tlyFailedRequests", spent);
}

void TallyConfig::setLastPostDate() {
    auto store = defaults();
    store->setObject(Value(TLYUtil::dateString()), "lastPostDate");
    store->setDouble(currentTimeSince1970(), "lastPostInterval");
}

std::int64_t TallyConfig::accumulateCount(std::int32_t count, std::string_view key) {
    if (emptyKey(key)) return 0;
    return defaults()->addInteger(count, key);
}

Ref<TallyLocation> TallyLocation::sharedInstance() {
    static const Ref<TallyLocation>& shared = *new Ref<TallyLocation>(makeRef<TallyLocation>());  // never destroyed
    return shared;
}

void TallyLocation::setLatitude(double latitude, double longitude) {
    if (latitude == 0 || longitude == 0) {
        TLYAnalyticsLog("Latitude or longitude may be wrong.");
        return;
    }
    auto self = sharedInstance();
    const double now = currentTimeSince1970();
    std::lock_guard lock(self->mutex_);
    self->position_ = {latitude, longitude, now};
}

TallyLocation::Position TallyLocation::position() const {
    std::lock_guard lock(mutex_);
    return position_;
}

TallyLocation::Position TallyLocation::take() {
    std::lock_guard lock(mutex_);
    return std::exchange(position_, Position{});
}

}  // namespace lv
