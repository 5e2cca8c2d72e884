// The facade's own checks over the real engine: the send-interval floor, the duration window, the
// latency cap, the counter copy, the wrapper texts, the location and the start's log lines.
#include <gtest/gtest.h>

#include <thread>

#include "analytics/tally.h"
#include "engine_test_support.h"
#include "platform/base/log.h"

namespace lv {
namespace {

using test::drainMain;

class Facade : public test::EngineLaunch {
protected:
    std::size_t recorded() const { return engine()->events().size() + engine()->ekv().size(); }
};

TEST_F(Facade, SendIntervalBelowNinetySecondsIsRefusedWhateverTheLogSwitch) {
    TallyApp::sharedInstance()->setLogEnabledFlag(false);
    LogCapture capture;
    const double before = TallyApp::sharedInstance()->logSendInterval();
    Tally::setLogSendInterval(89.9);
    EXPECT_EQ(capture.count("ERROR: can't less 90s for log send interval."), 1u);
    EXPECT_TRUE(TallyConfig::configureWithKey("tlycReportInterval").isNil());
    EXPECT_EQ(TallyApp::sharedInstance()->logSendInterval(), before);

    for (double seconds : {90.0, 120.0}) {
        Tally::setLogSendInterval(seconds);
        EXPECT_EQ(TallyConfig::configureWithKey("tlycReportInterval").doubleValue(), seconds);
        EXPECT_EQ(TallyApp::sharedInstance()->logSendInterval(), seconds);
    }
    EXPECT_EQ(capture.count("ERROR:"), 1u);
}

TEST_F(Facade, TimedEventsKeepOnlyDurationsFromOneMsToJustUnderTwoHours) {
    beginFirstSession();
    const Value attributes = Value::dictionary({{"k", Value("v")}});
    for (auto [durationMs, kept] : {std::pair{0, false}, {-5, false}, {1, true}, {7199999, true}, {7200000, false}}) {
        const std::size_t before = recorded();
        Tally::eventDurations("timed", "label", durationMs);
        Tally::eventAttributesDurations("keyed", attributes, durationMs);
        drainMain();
        EXPECT_EQ(recorded() - before, kept ? 2u : 0u) << durationMs;
    }
}

TEST_F(Facade, LatencyIsCappedAtHalfAnHourComparingUnsigned) {
    for (auto [given, kept] : {std::pair{5000, 1800}, {-1, 1800}, {600, 600}, {1800, 1800}, {0, 0}}) {
        Tally::setLatency(given);
        EXPECT_EQ(TallyJob::sharedInstance()->latency_sdk(), kept) << given;
    }
}

TEST_F(Facade, CounterTravelsInACopyOfTheAttributes) {
    beginFirstSession();
    const Value attributes = Value::dictionary({{"page", Value("news")}});
    Tally::eventAttributesCounter("shown", attributes, 3);
    Tally::eventAttributesCounter("shown", Value(), -7);
    drainMain();
    EXPECT_EQ(attributes.count(), 1u);
    EXPECT_TRUE(attributes["__ct__"].isNil());
    ASSERT_EQ(engine()->ekv().size(), 2u);
    const auto first = std::dynamic_pointer_cast<TLYEkv>(engine()->ekv()[0]);
    const auto second = std::dynamic_pointer_cast<TLYEkv>(engine()->ekv()[1]);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->id, "shown");
    EXPECT_EQ(first->values.get("__ct__"), Value("3"));
    EXPECT_EQ(first->values.get("page"), Value("news"));
    EXPECT_EQ(second->values.get("__ct__"), Value("-7"));
}

TEST_F(Facade, WrapperTextsIgnoreNilAndEmptyAndReachTheEngineFromAnyThread) {
    Tally::setWrapperType("unity", "5.1");
    EXPECT_EQ(engine()->wrapperType(), "unity");
    EXPECT_EQ(engine()->wrapperVersion(), "5.1");
    Tally::setWrapperType(Value(), "");
    Tally::setWrapperType(Value(7));
    EXPECT_EQ(engine()->wrapperType(), "unity");
    EXPECT_EQ(engine()->wrapperVersion(), "5.1");

    std::thread([] { Tally::setWrapperType("cocos", "2.0"); }).join();
    drainMain();
    EXPECT_EQ(engine()->wrapperType(), "cocos");
    EXPECT_EQ(engine()->wrapperVersion(), "2.0");
}

TEST_F(Facade, LocationTakesTheCoordinate) {
    Tally::setLocation(GeoLocation{{31.5, 121.25}});
    const auto position = TallyLocation::sharedInstance()->take();
    EXPECT_EQ(std::pair(position.latitude, position.longitude), std::pair(31.5, 121.25));
}

TEST_F(Facade, StartWithLoggingOffPrintsOnlyTheAppkeyWarning) {
    TallyApp::sharedInstance()->setLogEnabledFlag(false);
    TallyConfig::setConfigure(Value("old key"), "appkey");
    LogCapture capture;
    Tally::startWithAppkey("new key", 1, "");
    Tally::setEncryptEnabled(true);
    drainMain();
    EXPECT_EQ(capture.count("WARNING: Appkey is different from the past."), 1u);
    EXPECT_EQ(capture.count("TLYLOG:"), 0u);
    EXPECT_EQ(session()->sessionStatus(), 1);
    EXPECT_TRUE(TallyApp::sharedInstance()->encryptEnabled());
}

}  // namespace
}  // namespace lv
