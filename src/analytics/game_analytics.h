// Game analytics (TallyGameAnalytics): play levels (start, pause, resume, finish, fail, with the time
// played in each), the in-game economy (payments, purchases, item use, bonuses) and the player's
// level, each turned into a game keyed event of the event API; also the player sign-in forwards.
// The level state lives in memory only.
//
// Threads: any thread (one lock guards the state, never held while calling out); the app-state
// notifications arrive on the posting thread, the main thread in the app.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/dispatch/notification_center.h"

namespace lv {

// One level's record.
struct TLYGameLevel {
    std::string name;
    double ts = 0;  // monotonicTime() when the current stretch of play began (wall-clock steps move nothing)
    bool running = false;
    double du = 0;  // seconds played so far

    // du 0, ts now, running.
    static TLYGameLevel levelWithName(std::string name);
};

class TallyGameAnalytics : public Object {
public:
    TallyGameAnalytics();
    ~TallyGameAnalytics() override;
    // The one shared object, made on first use; it observes the app becoming active, resigning
    // active and terminating.
    static Ref<TallyGameAnalytics> sharedInstance();
    // Replaces the shared object by a fresh one (tests play a new launch this way).
    static void resetSharedInstance();

    static void startLevel(const Value& level);
    // Nil stands for the running level.
    static void finishLevel(const Value& level);
    static void failLevel(const Value& level);
    static void pauseLevel(const Value& level);
    static void resumeLevel(const Value& level);
    // Text that is not empty after trimming spaces and tabs.
    static bool validLevel(const Value& level);

    static void pay(double cash, std::int32_t source, double coin);
    static void pay(double cash, std::int32_t source, const Value& item, std::int32_t amount, double price);
    static void buy(const Value& item, std::int32_t amount, double price);
    static void use(const Value& item, std::int32_t amount, double price);
    static void bonus(double coin, std::int32_t source);
    static void bonus(const Value& item, std::int32_t amount, double price, std::int32_t source);

    static void setUserLevelId(std::int32_t level);
    static Dictionary userInfo();
    // Deprecated: only print a warning.
    static void setUserLevel(std::string_view level);
    static void setUserID(std::string_view userId, std::int32_t sex, std::int32_t age, std::string_view platform);

    static void profileSignInWithPUID(std::string_view puid);
    static void profileSignInWithPUID(std::string_view puid, std::string_view provider);
    static void profileSignOff();

    // Keeps a valid text as the player's level; anything else leaves the old one.
    void assignUserLevel(const Value& level);
    // Forgets every level record and zeroes levelBeginTime.
    void clean();

    // Milliseconds played in the level (0 without a record); time since the stamp is added first when
    // it is the running level and running.
    std::int64_t calculateLevelDuration(const std::string& level);

    std::optional<std::string> runningLevel() const;
    std::optional<std::string> lastLevel() const;
    std::optional<std::string> userLevel() const;
    std::optional<TLYGameLevel> levelRecord(const std::string& level) const;
    double levelBeginTime() const;
    double lastLevelBeginTime() const;
    void setLastLevelBeginTime(double seconds);

private:
    void start(const std::string& level);
    void end(const std::string& level, const char* status);
    void pause(const std::optional<std::string>& level);
    void resume(const std::string& level);
    // Economy events carry "user_level" and the running "level" when set.
    void sendEconomyEvent(const char* eventId, Dictionary attributes);

    // Callers hold mutex_.
    void addElapsedTime(const std::optional<std::string>& level);
    void renewTimestamp(const std::optional<std::string>& level);
    void pauseLocked(const std::optional<std::string>& level);
    std::int64_t playedMsLocked(const std::string& level);
    void addUserLevelLocked(Dictionary& attributes) const;

    void appBecameActive();
    void appResigned();
    void appTerminating();

    mutable std::mutex mutex_;
    std::optional<std::string> runningLevel_;
    std::optional<std::string> lastLevel_;
    std::map<std::string, TLYGameLevel> levels_;
    double levelBeginTime_ = 0;
    std::optional<std::string> userLevel_;
    Dictionary userInfo_;
    double lastLevelBeginTime_ = 0;
    // Resigned and not active again: the time played was already added at the resign.
    bool resigned_ = false;
};

}  // namespace lv
