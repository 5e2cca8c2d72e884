#include "analytics/game_analytics.h"

#include <cmath>
#include <utility>

#include "analytics/detail/shared_slot.h"
#include "analytics/tally_event.h"
#include "analytics/tally_session.h"
#include "platform/base/clock.h"
#include "platform/base/format.h"
#include "platform/base/log.h"
#include "platform/text/strings.h"
#include "platform/ui/application.h"

namespace lv {

namespace {

constexpr double kLeastElapsedSeconds = 0.001;

using GameSlot = analytics_detail::SharedSlot<TallyGameAnalytics>;

bool validText(const Value& value) { return value.isString() && !text::trimWhitespace(value.string()).empty(); }

// value × 100 truncated toward zero; nothing when that is not a finite 64-bit number (so huge or
// non-numeric amounts are refused instead of converted out of range).
std::optional<std::int64_t> hundredths(double value) {
    const double scaled = std::trunc(value * 100);
    constexpr double kLimit = 9223372036854775808.0;  // 2^63
    if (!std::isfinite(scaled) || scaled >= kLimit || scaled < -kLimit) return std::nullopt;
    return static_cast<std::int64_t>(scaled);
}

// A payment needs at least one cent and no negative coins.
bool validPayment(std::optional<std::int64_t> cash, std::optional<std::int64_t> coin) {
    return cash && *cash >= 1 && coin && *coin >= 0;
}

// A purchase, use or item bonus needs an item, at least one piece and no negative price.
bool validPurchase(const Value& item, std::int32_t amount, double price) {
    return validText(item) && amount >= 1 && price >= 0;
}

void sendGameEvent(const char* eventId, Dictionary attributes) {
    TallyEvent::gameEvent(Value(eventId), Value(std::move(attributes)));
}

}  // namespace

TLYGameLevel TLYGameLevel::levelWithName(std::string name) {
    return TLYGameLevel{std::move(name), monotonicTime(), true, 0};
}

TallyGameAnalytics::TallyGameAnalytics() = default;

TallyGameAnalytics::~TallyGameAnalytics() { NotificationCenter::defaultCenter()->removeObserver(this); }

Ref<TallyGameAnalytics> TallyGameAnalytics::sharedInstance() {
    return GameSlot::instance().get([] {
        auto shared = makeRef<TallyGameAnalytics>();
        auto center = NotificationCenter::defaultCenter();
        Weak<TallyGameAnalytics> weak = shared;
        center->addObserver(shared.get(), kApplicationDidBecomeActiveNotification, nullptr, [weak](const Notification&) {
            if (auto self = weak.lock()) self->appBecameActive();
        });
        center->addObserver(shared.get(), kApplicationWillResignActiveNotification, nullptr, [weak](const Notification&) {
            if (auto self = weak.lock()) self->appResigned();
        });
        center->addObserver(shared.get(), kApplicationWillTerminateNotification, nullptr, [weak](const Notification&) {
            if (auto self = weak.lock()) self->appTerminating();
        });
        return shared;
    });
}

void TallyGameAnalytics::resetSharedInstance() {
    const auto old = GameSlot::instance().exchange(nullptr);
}

// ---- Time bookkeeping (callers hold mutex_) ----

void TallyGameAnalytics::addElapsedTime(const std::optional<std::string>& level) {
    if (!level || !validText(Value(*level))) return;
    const auto found = levels_.find(*level);
    if (found == levels_.end() || !found->second.running) return;
    const double now = monotonicTime();
    const double elapsed = now - found->second.ts;
    if (elapsed > kLeastElapsedSeconds) found->second.du += elapsed;
    // The stretch just added starts again from now, so no later addition counts it twice.
    found->second.ts = now;
}

void TallyGameAnalytics::renewTimestamp(const std::optional<std::string>& level) {
    if (!level || !validText(Value(*level))) return;
    const auto found = levels_.find(*level);
    if (found != levels_.end()) found->second.ts = monotonicTime();
}

void TallyGameAnalytics::pauseLocked(const std::optional<std::string>& level) {
    if (!level || !validText(Value(*level))) return;
    const auto found = levels_.find(*level);
    if (found == levels_.end()) return;
    addElapsedTime(level);
    found->second.running = false;
}

std::int64_t TallyGameAnalytics::playedMsLocked(const std::string& level) {
    const auto found = levels_.find(level);
    if (found == levels_.end()) return 0;
    if (runningLevel_ == level && found->second.running) addElapsedTime(level);
    return static_cast<std::int64_t>(found->second.du * 1000);
}

void TallyGameAnalytics::addUserLevelLocked(Dictionary& attributes) const {
    if (userLevel_) attributes.set("user_level", Value(*userLevel_));
}

std::int64_t TallyGameAnalytics::calculateLevelDuration(const std::string& level) {
    std::lock_guard lock(mutex_);
    return playedMsLocked(level);
}

// ---- Levels ----

void TallyGameAnalytics::start(const std::string& level) {
    Dictionary attributes;
    {
        std::lock_guard lock(mutex_);
        if (!(runningLevel_ == level && lastLevel_)) lastLevel_ = runningLevel_;
        runningLevel_ = level;
        // The level left keeps its running flag.
        if (lastLevel_ && *lastLevel_ != level) addElapsedTime(lastLevel_);
        if (auto found = levels_.find(level); found != levels_.end()) {
            found->second.du = 0;
        } else {
            levels_.emplace(level, TLYGameLevel::levelWithName(level));
        }
        attributes = {{"level", Value(level)}, {"status", Value("0")}};
        addUserLevelLocked(attributes);
        renewTimestamp(runningLevel_);
    }
    sendGameEvent("level", std::move(attributes));
}

void TallyGameAnalytics::end(const std::string& level, const char* status) {
    Dictionary attributes;
    {
        std::lock_guard lock(mutex_);
        const std::int64_t played = playedMsLocked(level);
        attributes = {{"level", Value(level)}, {"status", Value(status)}, {"duration", Value(played)}};
        addUserLevelLocked(attributes);
        levels_.erase(level);
    }
    sendGameEvent("level", std::move(attributes));
}

void TallyGameAnalytics::pause(const std::optional<std::string>& level) {
    std::lock_guard lock(mutex_);
    pauseLocked(level);
}

void TallyGameAnalytics::resume(const std::string& level) {
    std::lock_guard lock(mutex_);
    const auto found = levels_.find(level);
    if (found == levels_.end()) return;
    renewTimestamp(level);
    found->second.running = true;
    if (runningLevel_ != level) {
        lastLevel_ = runningLevel_;
        pauseLocked(lastLevel_);
    }
    runningLevel_ = level;
    if (lastLevel_ != level) pauseLocked(lastLevel_);
}

void TallyGameAnalytics::startLevel(const Value& level) {
    if (validLevel(level)) sharedInstance()->start(level.string());
}

void TallyGameAnalytics::finishLevel(const Value& level) {
    const auto self = sharedInstance();
    const Value name = level.isNil() ? (self->runningLevel() ? Value(*self->runningLevel()) : Value()) : level;
    if (validLevel(name)) self->end(name.string(), "1");
}

void TallyGameAnalytics::failLevel(const Value& level) {
    const auto self = sharedInstance();
    const Value name = level.isNil() ? (self->runningLevel() ? Value(*self->runningLevel()) : Value()) : level;
    if (validLevel(name)) self->end(name.string(), "-1");
}

void TallyGameAnalytics::pauseLevel(const Value& level) {
    if (validLevel(level)) sharedInstance()->pause(level.string());
}

void TallyGameAnalytics::resumeLevel(const Value& level) {
    if (validLevel(level)) sharedInstance()->resume(level.string());
}

bool TallyGameAnalytics::validLevel(const Value& level) { return validText(level); }

// ---- Economy ----

void TallyGameAnalytics::sendEconomyEvent(const char* eventId, Dictionary attributes) {
    {
        std::lock_guard lock(mutex_);
        addUserLevelLocked(attributes);
        if (runningLevel_) attributes.set("level", Value(*runningLevel_));
    }
    sendGameEvent(eventId, std::move(attributes));
}

void TallyGameAnalytics::pay(double cash, std::int32_t source, double coin) {
    const auto cents = hundredths(cash);
    const auto coins = hundredths(coin);
    if (!validPayment(cents, coins)) return;
    sharedInstance()->sendEconomyEvent(
        "pay", {{"cash", Value(*cents)}, {"source", Value(source)}, {"coin", Value(*coins)}});
}

void TallyGameAnalytics::pay(double cash, std::int32_t source, const Value& item, std::int32_t amount, double price) {
    const double coin = amount * price;
    pay(cash, source, coin);
    if (validPayment(hundredths(cash), hundredths(coin))) buy(item, amount, price);
}

void TallyGameAnalytics::buy(const Value& item, std::int32_t amount, double price) {
    if (!validPurchase(item, amount, price)) return;
    sharedInstance()->sendEconomyEvent(
        "buy", {{"coin", Value(amount * price * 100)}, {"item", item}, {"amount", Value(amount)}});
}

void TallyGameAnalytics::use(const Value& item, std::int32_t amount, double price) {
    if (!validPurchase(item, amount, price)) return;
    sharedInstance()->sendEconomyEvent(
        "use", {{"coin", Value(amount * price * 100)}, {"item", item}, {"amount", Value(amount)}});
}

void TallyGameAnalytics::bonus(double coin, std::int32_t source) {
    const auto coins = hundredths(coin);
    if (!coins || *coins < 0) return;
    sharedInstance()->sendEconomyEvent("bonus", {{"coin", Value(*coins)}, {"bonus_source", Value(source)}});
}

void TallyGameAnalytics::bonus(const Value& item, std::int32_t amount, double price, std::int32_t source) {
    if (!validPurchase(item, amount, price)) return;
    bonus(amount * price, source);
    buy(item, amount, price);
}

// ---- The player ----

void TallyGameAnalytics::setUserLevelId(std::int32_t level) {
    const auto self = sharedInstance();
    std::lock_guard lock(self->mutex_);
    self->userLevel_ = format("%d", level);
}

Dictionary TallyGameAnalytics::userInfo() {
    const auto self = sharedInstance();
    std::lock_guard lock(self->mutex_);
    return self->userInfo_;
}

void TallyGameAnalytics::setUserLevel(std::string_view) {
    logLine("TLYLOG: WARNING setUserLevel is deprecated, please use setUserLevelId: API");
}

void TallyGameAnalytics::setUserID(std::string_view, std::int32_t, std::int32_t, std::string_view) {
    logLine("TLYLOG: WARNING setUserID: is deprecated, please use active user relevant APIs");
}

void TallyGameAnalytics::assignUserLevel(const Value& level) {
    if (!validText(level)) return;
    std::lock_guard lock(mutex_);
    userLevel_ = level.string();
}

void TallyGameAnalytics::profileSignInWithPUID(std::string_view puid) { TallySession::profileSignInPUID(puid); }
void TallyGameAnalytics::profileSignInWithPUID(std::string_view puid, std::string_view provider) {
    TallySession::profileSignInPUID(puid, provider);
}
void TallyGameAnalytics::profileSignOff() { TallySession::profileSignOff(); }

void TallyGameAnalytics::clean() {
    std::lock_guard lock(mutex_);
    levelBeginTime_ = 0;
    levels_.clear();
}

// ---- App state ----

void TallyGameAnalytics::appBecameActive() {
    std::lock_guard lock(mutex_);
    resigned_ = false;
    renewTimestamp(runningLevel_);
}

void TallyGameAnalytics::appResigned() {
    std::lock_guard lock(mutex_);
    resigned_ = true;
    addElapsedTime(runningLevel_);
}

void TallyGameAnalytics::appTerminating() {
    std::lock_guard lock(mutex_);
    // After a resign the time played is already counted; the time since is not play.
    if (!resigned_) addElapsedTime(runningLevel_);
}

// ---- Accessors ----

std::optional<std::string> TallyGameAnalytics::runningLevel() const {
    std::lock_guard lock(mutex_);
    return runningLevel_;
}

std::optional<std::string> TallyGameAnalytics::lastLevel() const {
    std::lock_guard lock(mutex_);
    return lastLevel_;
}

std::optional<std::string> TallyGameAnalytics::userLevel() const {
    std::lock_guard lock(mutex_);
    return userLevel_;
}

std::optional<TLYGameLevel> TallyGameAnalytics::levelRecord(const std::string& level) const {
    std::lock_guard lock(mutex_);
    const auto found = levels_.find(level);
    if (found == levels_.end()) return std::nullopt;
    return found->second;
}

double TallyGameAnalytics::levelBeginTime() const {
    std::lock_guard lock(mutex_);
    return levelBeginTime_;
}

double TallyGameAnalytics::lastLevelBeginTime() const {
    std::lock_guard lock(mutex_);
    return lastLevelBeginTime_;
}

void TallyGameAnalytics::setLastLevelBeginTime(double seconds) {
    std::lock_guard lock(mutex_);
    lastLevelBeginTime_ = seconds;
}

}  // namespace lv
