// Game analytics over the real engine with a fixed clock: level time through starts, switches,
// pauses, resumes and app-state changes; the economy rules; the player's level and the warnings.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "analytics/game_analytics.h"
#include "engine_test_support.h"
#include "platform/base/clock.h"
#include "platform/base/log.h"
#include "platform/ui/application.h"

namespace lv {
namespace {

using test::drainMain;

class GameTest : public test::EngineLaunch {
protected:
    void SetUp() override {
        test::EngineLaunch::SetUp();
        TallyGameAnalytics::resetSharedInstance();
        beginFirstSession();
    }
    void TearDown() override {
        TallyGameAnalytics::resetSharedInstance();
        test::EngineLaunch::TearDown();
    }

    // The game events recorded since the last call, as (id, attributes).
    std::vector<std::pair<std::string, Dictionary>> takeGameEvents() {
        drainMain();
        std::vector<std::pair<std::string, Dictionary>> found;
        const auto& items = engine()->ekv();
        for (std::size_t i = seen_; i < items.size(); ++i) {
            const auto item = std::dynamic_pointer_cast<TLYEkv>(items[i]);
            EXPECT_TRUE(item && item->type == "gkv");
            if (item) found.emplace_back(item->id, item->values);
        }
        seen_ = items.size();
        return found;
    }
    // The played time in ms one finished level event carried.
    std::int64_t finishedDuration(const Value& level) {
        TallyGameAnalytics::finishLevel(level);
        const auto events = takeGameEvents();
        EXPECT_EQ(events.size(), 1u);
        return events.empty() ? -1 : events[0].second.get("duration").longLongValue();
    }
    static double du(const std::string& level) {
        return TallyGameAnalytics::sharedInstance()->levelRecord(level).value_or(TLYGameLevel{}).du;
    }
    static void post(std::string_view name) {
        NotificationCenter::defaultCenter()->post(std::string(name), Application::sharedApplication());
    }

    double now_ = 1'700'000'000;
    ScopedClock clock_{[this] { return now_; }};
    std::size_t seen_ = 0;
};

class GameLevels : public GameTest {};
class GameEconomy : public GameTest {};

TEST_F(GameLevels, StartAndEndEventsCarryStatusDurationAndUserLevel) {
    TallyGameAnalytics::finishLevel(Value());  // no running level
    for (const Value& name : {Value(""), Value(" \t "), Value(3)}) {
        EXPECT_FALSE(TallyGameAnalytics::validLevel(name));
        TallyGameAnalytics::startLevel(name);
        TallyGameAnalytics::failLevel(name);
    }
    TallyGameAnalytics::startLevel("L1");
    now_ += 2.5;
    TallyGameAnalytics::failLevel("L1");
    TallyGameAnalytics::setUserLevelId(12);
    TallyGameAnalytics::finishLevel("ghost");  // never started: played 0
    const auto events = takeGameEvents();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].first, "level");
    EXPECT_EQ(events[0].second, (Dictionary{{"level", Value("L1")}, {"status", Value("0")}}));
    EXPECT_EQ(events[1].second, (Dictionary{{"level", Value("L1")}, {"status", Value("-1")}, {"duration", Value(2500)}}));
    EXPECT_EQ(events[2].second, (Dictionary{{"level", Value("ghost")},
                                            {"status", Value("1")},
                                            {"duration", Value(0)},
                                            {"user_level", Value("12")}}));
    // The failed level's record is gone; it stays the running level, which nil finishes.
    EXPECT_FALSE(TallyGameAnalytics::sharedInstance()->levelRecord("L1"));
    TallyGameAnalytics::startLevel("L1");
    takeGameEvents();
    now_ += 4;
    EXPECT_EQ(finishedDuration(Value()), 4000);
}

// The played time is monotonic: a wall clock set back or ahead during a level moves nothing.
TEST_F(GameLevels, AWallClockStepDuringALevelMovesNoPlayedTime) {
    double steady = 100;
    setMonotonicClockOverride([&steady] { return steady; });
    for (const double step : {-3600.0, 86400.0}) {
        TallyGameAnalytics::startLevel("L");
        takeGameEvents();
        now_ += step;
        steady += 3;
        EXPECT_EQ(finishedDuration(Value("L")), 3000) << step;
    }
    setMonotonicClockOverride(nullptr);
}

TEST_F(GameLevels, SwitchingLevelsCountsEachStretchOnce) {
    TallyGameAnalytics::startLevel("A");
    now_ += 10;
    TallyGameAnalytics::startLevel("B");
    const auto game = TallyGameAnalytics::sharedInstance();
    EXPECT_EQ(game->runningLevel(), "B");
    EXPECT_EQ(game->lastLevel(), "A");
    EXPECT_EQ(du("A"), 10);
    EXPECT_TRUE(game->levelRecord("A")->running);  // the level left keeps its flag
    now_ += 5;
    TallyGameAnalytics::pauseLevel("A");
    EXPECT_EQ(du("A"), 15);
    now_ += 5;
    takeGameEvents();
    EXPECT_EQ(finishedDuration("B"), 10000);
    // Starting A again restarts its time; paused, it stays paused.
    TallyGameAnalytics::startLevel("A");
    EXPECT_EQ(du("A"), 0);
    EXPECT_FALSE(game->levelRecord("A")->running);
    now_ += 7;
    takeGameEvents();
    EXPECT_EQ(finishedDuration("A"), 0);
}

TEST_F(GameLevels, PauseAndResumeCountOnlyPlay) {
    TallyGameAnalytics::startLevel("A");
    now_ += 4;
    TallyGameAnalytics::pauseLevel("A");
    TallyGameAnalytics::pauseLevel("A");  // a second pause changes nothing
    now_ += 6;
    EXPECT_EQ(du("A"), 4);
    TallyGameAnalytics::resumeLevel("A");
    now_ += 3;
    TallyGameAnalytics::startLevel("B");  // A: 7 s, B runs
    now_ += 1;
    TallyGameAnalytics::pauseLevel("B");
    now_ += 2;
    // Resuming B pauses the last level A, which has played 7 + 3 s meanwhile (it kept its flag).
    TallyGameAnalytics::resumeLevel("B");
    const auto game = TallyGameAnalytics::sharedInstance();
    EXPECT_FALSE(game->levelRecord("A")->running);
    EXPECT_EQ(du("A"), 10);
    now_ += 4;
    TallyGameAnalytics::resumeLevel("A");  // B becomes the last level and is paused
    EXPECT_EQ(game->runningLevel(), "A");
    EXPECT_EQ(game->lastLevel(), "B");
    EXPECT_FALSE(game->levelRecord("B")->running);
    EXPECT_EQ(du("B"), 5);
}

TEST_F(GameLevels, AppStateCountsTheRunningLevelOnce) {
    TallyGameAnalytics::startLevel("A");
    now_ += 4;
    post(kApplicationWillResignActiveNotification);
    EXPECT_EQ(du("A"), 4);
    now_ += 60;
    post(kApplicationWillTerminateNotification);  // already counted at the resign
    EXPECT_EQ(du("A"), 4);
    post(kApplicationDidBecomeActiveNotification);
    now_ += 2;
    post(kApplicationWillTerminateNotification);
    EXPECT_EQ(du("A"), 6);
    now_ += 1;
    takeGameEvents();
    EXPECT_EQ(finishedDuration("A"), 7000);
}

TEST_F(GameLevels, UserLevelAndDeprecatedCallsWarnWhateverTheLogSwitch) {
    TallyApp::sharedInstance()->setLogEnabledFlag(false);
    LogCapture capture;
    const auto game = TallyGameAnalytics::sharedInstance();
    TallyGameAnalytics::setUserLevel("9");
    TallyGameAnalytics::setUserID("u", 1, 20, "p");
    EXPECT_FALSE(game->userLevel());
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{
                                   "TLYLOG: WARNING setUserLevel is deprecated, please use setUserLevelId: API",
                                   "TLYLOG: WARNING setUserID: is deprecated, please use active user relevant APIs"}));
    game->assignUserLevel("gold");
    game->assignUserLevel(" \t");
    EXPECT_EQ(game->userLevel(), "gold");
    TallyGameAnalytics::setUserLevelId(-3);
    EXPECT_EQ(game->userLevel(), "-3");
}

TEST_F(GameLevels, SignInForwardsToTheSession) {
    const std::string before = engine()->sessionID();
    TallyGameAnalytics::profileSignInWithPUID("player-1", "arena");
    drainMain();
    EXPECT_NE(engine()->sessionID(), before);
    EXPECT_EQ(TallyConfig::configureWithKey("TLYProfilePUID"), Value("player-1"));
    EXPECT_EQ(TallyConfig::configureWithKey("TLYProfileProvider"), Value("arena"));
    TallyGameAnalytics::profileSignOff();
    drainMain();
    EXPECT_TRUE(TallyConfig::configureWithKey("TLYProfilePUID").isNil());
}

TEST_F(GameEconomy, EachCallRecordsByItsRules) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    using Events = std::vector<std::pair<std::string, Dictionary>>;
    struct Case {
        const char* what;
        std::function<void()> call;
        Events expected;
    } cases[] = {
        {"half a cent", [] { TallyGameAnalytics::pay(0.005, 1, 0); }, {}},
        {"one cent", [] { TallyGameAnalytics::pay(0.01, 1, 0); },
         {{"pay", {{"cash", Value(1)}, {"source", Value(1)}, {"coin", Value(0)}}}}},
        {"negative coin", [] { TallyGameAnalytics::pay(1, 1, -0.01); }, {}},
        {"huge cash", [] { TallyGameAnalytics::pay(1e300, 1, 0); }, {}},
        {"cash not a number", [nan] { TallyGameAnalytics::pay(nan, 1, 0); }, {}},
        {"no pieces", [] { TallyGameAnalytics::buy("sword", 0, 1); }, {}},
        {"negative price", [] { TallyGameAnalytics::buy("sword", 1, -1); }, {}},
        {"blank item", [] { TallyGameAnalytics::use(" \t", 1, 1); }, {}},
        {"buy", [] { TallyGameAnalytics::buy("sword", 2, 1.5); },
         {{"buy", {{"coin", Value(300.0)}, {"item", Value("sword")}, {"amount", Value(2)}}}}},
        {"use for free", [] { TallyGameAnalytics::use("potion", 1, 0); },
         {{"use", {{"coin", Value(0.0)}, {"item", Value("potion")}, {"amount", Value(1)}}}}},
        {"bonus under a cent", [] { TallyGameAnalytics::bonus(-0.001, 3); },
         {{"bonus", {{"coin", Value(0)}, {"bonus_source", Value(3)}}}}},
        {"negative bonus", [] { TallyGameAnalytics::bonus(-0.01, 3); }, {}},
        {"pay for items", [] { TallyGameAnalytics::pay(2, 5, "gem", 3, 0.5); },
         {{"pay", {{"cash", Value(200)}, {"source", Value(5)}, {"coin", Value(150)}}},
          {"buy", {{"coin", Value(150.0)}, {"item", Value("gem")}, {"amount", Value(3)}}}}},
        {"items paid under a cent", [] { TallyGameAnalytics::pay(0.001, 5, "gem", 3, 0.5); }, {}},
        {"items given", [] { TallyGameAnalytics::bonus("gem", 2, 1, 4); },
         {{"bonus", {{"coin", Value(200)}, {"bonus_source", Value(4)}}},
          {"buy", {{"coin", Value(200.0)}, {"item", Value("gem")}, {"amount", Value(2)}}}}},
        {"no items given", [] { TallyGameAnalytics::bonus("gem", 0, 1, 4); }, {}},
    };
    for (const auto& c : cases) {
        c.call();
        EXPECT_EQ(takeGameEvents(), c.expected) << c.what;
    }
}

TEST_F(GameEconomy, EventsCarryTheRunningLevelAndUserLevelWhenSet) {
    TallyGameAnalytics::setUserLevelId(7);
    TallyGameAnalytics::startLevel("L1");
    takeGameEvents();
    TallyGameAnalytics::bonus(1, 2);
    TallyGameAnalytics::finishLevel("L1");  // the running level stays "L1"
    TallyGameAnalytics::bonus(1, 2);
    const auto events = takeGameEvents();
    ASSERT_EQ(events.size(), 3u);
    const Dictionary expected{
        {"coin", Value(100)}, {"bonus_source", Value(2)}, {"user_level", Value("7")}, {"level", Value("L1")}};
    EXPECT_EQ(events[0].second, expected);
    EXPECT_EQ(events[2].second, expected);
}

}  // namespace
}  // namespace lv
