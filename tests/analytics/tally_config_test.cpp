#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "analytics/analytics_log.h"
#include "analytics/tally_config.h"
#include "platform/base/clock.h"
#include "platform/base/log.h"
#include "settings_test_support.h"
#include "support/device_settings.h"
#include "support/scoped_env.h"

namespace lv {
namespace {

using test::ScopedAnalyticsSandbox;

TEST(TallyConfig, BlankKeysAndNilValuesStoreNothing) {
    ScopedAnalyticsSandbox sandbox;
    struct Case {
        Value value;
        std::string key;
    } cases[] = {{Value("x"), "  "}, {Value("x"), ""}, {Value(), "k"}};
    for (const auto& c : cases) TallyConfig::setConfigure(c.value, c.key);
    EXPECT_TRUE(UserDefaults::standardUserDefaults()->dictionaryRepresentation().empty());

    TallyConfig::setConfigure(Value("9f3b"), "appkey");
    TallyConfig::removeConfigureWithKey(" ");
    EXPECT_EQ(TallyConfig::configureWithKey("appkey").string(), "9f3b");
    TallyConfig::removeConfigureWithKey("appkey");
    EXPECT_TRUE(TallyConfig::configureWithKey("appkey").isNil());
}

TEST(TallyConfig, RequestCountersAndSpentTime) {
    ScopedAnalyticsSandbox sandbox;
    auto store = UserDefaults::standardUserDefaults();
    TallyConfig::incrementRequest(false, 0);
    EXPECT_EQ(store->integerForKey("tlyFailedRequests"), 1);
    EXPECT_TRUE(store->objectForKey("tlyLastRequestSpentMS").isNil());
    EXPECT_TRUE(store->objectForKey("tlySuccessfulRequests").isNil());

    TallyConfig::incrementRequest(true, 250);
    TallyConfig::incrementRequest(true, -4);
    EXPECT_EQ(store->integerForKey("tlySuccessfulRequests"), 2);
    EXPECT_EQ(store->integerForKey("tlyLastRequestSpentMS"), 250);

    TallyConfig::accumulateCount(5, "tlyPeriodEvtCount");
    TallyConfig::accumulateCount(-2, "tlyPeriodEvtCount");
    EXPECT_EQ(store->integerForKey("tlyPeriodEvtCount"), 3);
}

TEST(TallyConfig, LastPostDateAndValuesSurviveAReopen) {
    ScopedAnalyticsSandbox sandbox;
    {
        test::DeviceSettings device("Asia/Shanghai", "zh_CN");
        ScopedClock clock([] { return 1700000000.5; });  // 2023-11-14 22:13:20 UTC, the 15th in Shanghai
        TallyConfig::setLastPostDate();
    }
    TallyConfig::incrementRequest(true, 12);
    UserDefaults::resetStandardUserDefaults();  // as the next process reads the file
    EXPECT_EQ(TallyConfig::configureWithKey("lastPostDate").string(), "2023-11-15");
    EXPECT_DOUBLE_EQ(TallyConfig::configureWithKey("lastPostInterval").doubleValue(), 1700000000.5);
    EXPECT_EQ(TallyConfig::configureWithKey("tlySuccessfulRequests").longLongValue(), 1);
    EXPECT_EQ(TallyConfig::configureWithKey("tlyLastRequestSpentMS").longLongValue(), 12);
}

// THREADED: the main thread and the upload worker count at the same time.
TEST(TallyConfig, TwoThreadsLoseNoIncrement) {
    // Each change is written through with a flush: a memory-backed folder keeps 40,000 writes quick.
    test::ScopedEnv memoryTemp("TMPDIR", std::filesystem::is_directory("/dev/shm") ? std::optional<std::string>("/dev/shm")
                                                                                   : std::nullopt);
    ScopedAnalyticsSandbox sandbox;
    constexpr int kEach = 10000;
    auto work = [](bool success) {
        for (int i = 0; i < kEach; ++i) {
            TallyConfig::incrementRequest(success, 0);
            TallyConfig::accumulateCount(1, "tlyPeriodEvtCount");
        }
    };
    std::thread main(work, true);
    std::thread worker(work, false);
    main.join();
    worker.join();
    UserDefaults::resetStandardUserDefaults();
    auto store = UserDefaults::standardUserDefaults();
    EXPECT_EQ(store->integerForKey("tlySuccessfulRequests"), kEach);
    EXPECT_EQ(store->integerForKey("tlyFailedRequests"), kEach);
    EXPECT_EQ(store->integerForKey("tlyPeriodEvtCount"), 2 * kEach);
}

TEST(TallyConfig, LocationRefusesZeroCoordinatesAndIsTakenOnce) {
    setAnalyticsLogEnabled(true);
    LogCapture capture;
    auto location = TallyLocation::sharedInstance();
    location->take();
    {
        ScopedClock clock([] { return 1000.0; });
        TallyLocation::setLatitude(39.9, 116.4);
    }
    for (auto [lat, lng] : {std::pair{0.0, 116.4}, std::pair{39.9, 0.0}}) TallyLocation::setLatitude(lat, lng);
    EXPECT_EQ(capture.count("TLYLOG: Latitude or longitude may be wrong."), 2u);
    EXPECT_DOUBLE_EQ(location->latitude(), 39.9);
    EXPECT_DOUBLE_EQ(location->gps_time(), 1000.0);
    const auto taken = location->take();
    EXPECT_DOUBLE_EQ(taken.longitude, 116.4);
    EXPECT_EQ(location->latitude(), 0);
    EXPECT_EQ(location->gps_time(), 0);
    setAnalyticsLogEnabled(false);
}

// THREADED: the app sets positions while the main thread takes them; every taken position is whole.
TEST(TallyConfig, LocationSetAndTakenFromTwoThreads) {
    auto location = TallyLocation::sharedInstance();
    location->take();
    std::thread setter([] {
        for (int i = 1; i <= 2000; ++i) TallyLocation::setLatitude(i, -i);
    });
    for (int i = 0; i < 2000; ++i) {
        const auto p = location->take();
        if (p.latitude != 0) {
            EXPECT_EQ(p.longitude, -p.latitude);
        }
    }
    setter.join();
}

}  // namespace
}  // namespace lv
