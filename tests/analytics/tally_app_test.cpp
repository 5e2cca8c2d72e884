#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "analytics/log_records.h"
#include "analytics/tally_app.h"
#include "analytics/tally_config.h"
#include "platform/base/log.h"
#include "platform/dispatch/run_loop.h"
#include "platform/ui/application.h"
#include "settings_test_support.h"

namespace lv {
namespace {

using test::ScopedAnalyticsSandbox;

using test::storeImprint;

TEST(ReportPolicy, ImprintLookUpReadsTheStoredImprintAfresh) {
    ScopedAnalyticsSandbox sandbox;
    EXPECT_FALSE(TallyPack::imprintPropertyValueWithKey("codex"));
    storeImprint({{"codex", "1"}, {"gone", std::nullopt}});
    EXPECT_EQ(TallyPack::imprintPropertyValueWithKey("codex"), "1");
    EXPECT_FALSE(TallyPack::imprintPropertyValueWithKey("gone"));
    EXPECT_FALSE(TallyPack::imprintPropertyValueWithKey("absent"));
    storeImprint({{"codex", "0"}});
    EXPECT_EQ(TallyPack::imprintPropertyValueWithKey("codex"), "0");

    // Cut short after the map (inside the version): the entries read before the damage still answer.
    storeImprint({{"a", "1"}, {"z", "2"}});
    Bytes bytes = TallyConfig::configureWithKey("tlyImprint").bytes();
    bytes.resize(bytes.size() - 3);
    TallyConfig::setConfigure(Value(bytes), "tlyImprint");
    LogCapture capture;
    EXPECT_EQ(TallyPack::imprintPropertyValueWithKey("a"), "1");
    EXPECT_TRUE(capture.contains("Exception occurred: "));
}

TEST(ReportPolicy, PoliciesAreMappedAndSourcesTakenInOrder) {
    ScopedAnalyticsSandbox sandbox;
    TallyApp app;
    struct Case {
        std::int32_t stored;
        std::int32_t expected;
    } cases[] = {{1, 1}, {6, 6}, {8, 8}, {0, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {7, 1}, {9, 1}, {-1, 1}};
    for (const auto& c : cases) {
        TallyConfig::setConfigure(Value(c.stored), "tlycReportPolicy");
        EXPECT_EQ(app.reportPolicy(), c.expected) << c.stored;
    }
    storeImprint({{"integrated_test", "1"}});
    TallyConfig::setConfigure(Value(0), "tlycReportPolicy");
    EXPECT_EQ(app.reportPolicy(), 0);

    // Precedence: experiment (not in test mode), imprint, defaults' "report_policy", "tlycReportPolicy".
    storeImprint({{"report_policy", "8"}});
    TallyConfig::setConfigure(Value(6), "report_policy");
    TallyConfig::setConfigure(Value(1), "tlycReportPolicy");
    EXPECT_EQ(app.reportPolicy(), 8);
    TallyConfig::setConfigure(Value(6), "tlyExperimentRPT");
    EXPECT_EQ(app.reportPolicy(), 6);
    storeImprint({{"report_policy", "8"}, {"integrated_test", "1"}});
    EXPECT_EQ(app.reportPolicy(), 8);
    storeImprint({});
    TallyConfig::removeConfigureWithKey("tlyExperimentRPT");
    EXPECT_EQ(app.reportPolicy(), 6);
    TallyConfig::removeConfigureWithKey("report_policy");
    EXPECT_EQ(app.reportPolicy(), 1);
    TallyConfig::removeConfigureWithKey("tlycReportPolicy");
    TallyConfig::setConfigure(Value(8), "tlycReportPolicy");
    EXPECT_EQ(app.reportPolicy(), 8);
    TallyConfig::removeConfigureWithKey("tlycReportPolicy");
    EXPECT_EQ(app.reportPolicy(), 8);  // nothing stored: the last one worked out
}

TEST(ReportPolicy, DefaultsVersionSwitchesAndDescription) {
    ScopedAnalyticsSandbox sandbox;
    TallyConfig::setConfigure(Value("9f3b6c2a"), "appkey");
    TallyApp app;
    EXPECT_EQ(app.appid(), "9f3b6c2a");

    auto shared = TallyApp::sharedInstance();
    TallyApp::setAppVersion("2.1");
    TallyApp::setAppVersion("  ");
    EXPECT_EQ(shared->appVersion(), "2.1");
    for (bool on : {true, false, true}) {
        TallyApp::setCrashReportEnabled(on);
        EXPECT_EQ(shared->crashReportEnabled(), on);
        EXPECT_EQ(shared->appCrashedHandlerInstalled(), on);
    }

    TallyConfig::setConfigure(Value(6), "tlycReportPolicy");
    app.setAppVersionText("7");
    EXPECT_EQ(app.description(),
              "<TallyApp: logEnabled=0, crashReportEnabled=1, sendInterval=90.000000, reportPolicy=6, appVersion=7, "
              "appid=9f3b6c2a, channel=App Store>");
    LogCapture capture;
    app.noAppKeyException();
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"TLYLOG: appkey can not be found or not valid. Tally methods "
                                                        "must be called after [Tally startWithAppkey...]!"});
}

TEST(SendInterval, BoundsAndSources) {
    ScopedAnalyticsSandbox sandbox;
    EXPECT_EQ(TallyApp::minReportInterval(), 90);
    struct Case {
        const char* imprinted;
        double expected;
    } cases[] = {{"30", 90}, {"100000", 90}, {"86400", 86400}, {"90", 90}, {"3600", 3600}};
    for (const auto& c : cases) {
        storeImprint({{"report_interval", c.imprinted}});
        EXPECT_EQ(TallyApp::minReportInterval(), c.expected) << c.imprinted;
    }
    TallyConfig::setConfigure(Value(120.0), "tlycReportInterval");
    EXPECT_EQ(TallyApp::minReportInterval(), 3600);  // the imprint still takes precedence
    storeImprint({{"report_interval", "  "}});
    EXPECT_EQ(TallyApp::minReportInterval(), 120);
    TallyConfig::setConfigure(Value(600), "tally_report_interval");
    EXPECT_EQ(TallyApp::minReportInterval(), 600);

    // The experiment's test interval, only outside integrated-test mode.
    TallyConfig::setConfigure(Value(6), "tlyExperimentRPT");
    storeImprint({{"test_report_interval", "200"}, {"report_interval", "3600"}});
    EXPECT_EQ(TallyApp::minReportInterval(), 200);
    storeImprint({{"test_report_interval", "20"}});
    EXPECT_EQ(TallyApp::minReportInterval(), 90);
    storeImprint({{"test_report_interval", "200"}, {"report_interval", "3600"}, {"integrated_test", "1"}});
    EXPECT_EQ(TallyApp::minReportInterval(), 3600);
}

class BackgroundTask : public ::testing::Test {
protected:
    void SetUp() override {
        Application::resetSharedApplication();
        application_ = Application::sharedApplication();
        ApplicationConfiguration configuration;
        configuration.controlInput = -1;
        configuration.handleSignals = false;
        application_->setConfiguration(configuration);
    }
    void TearDown() override { Application::resetSharedApplication(); }

    ScopedAnalyticsSandbox sandbox_;
    Ref<Application> application_;
};

TEST_F(BackgroundTask, OneTaskAtATimeEndedWhenTheWorkIsDone) {
    auto app = makeRef<TallyApp>();
    app->activeBackgroundTask();
    const auto first = app->backgroundTaskIdentifier();
    EXPECT_NE(first, kBackgroundTaskInvalid);
    app->activeBackgroundTask();
    EXPECT_EQ(application_->runningBackgroundTasks(), std::vector<BackgroundTaskIdentifier>{first});

    // Ended from the worker's thread: the end happens on the main queue.
    std::thread worker([app] { app->endBackgroundTask(); });
    worker.join();
    EXPECT_TRUE(runMainUntil([&] { return application_->runningBackgroundTasks().empty(); }, 5));
    EXPECT_EQ(app->backgroundTaskIdentifier(), kBackgroundTaskInvalid);

    app->activeBackgroundTask();
    EXPECT_NE(app->backgroundTaskIdentifier(), first);
}

TEST_F(BackgroundTask, ExpiryEndsItAndALaterEndIsHarmless) {
    auto app = makeRef<TallyApp>();
    app->activeBackgroundTask();
    LogCapture capture;
    EXPECT_EQ(application_->expireBackgroundTasks(), 1u);
    EXPECT_EQ(app->backgroundTaskIdentifier(), kBackgroundTaskInvalid);
    EXPECT_TRUE(capture.lines().empty());  // ended by the handler, not by the application
    app->endBackgroundTask();
    EXPECT_EQ(app->backgroundTaskIdentifier(), kBackgroundTaskInvalid);
    EXPECT_TRUE(application_->runningBackgroundTasks().empty());

    app->setBackgroundTaskEnabledFlag(false);
    app->activeBackgroundTask();
    EXPECT_TRUE(application_->runningBackgroundTasks().empty());
}

// THREADED: settings are written on one thread and read on another.
TEST(ReportPolicy, FieldsSetAndReadFromTwoThreads) {
    TallyApp app;
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) app.setChannel(i % 2 ? "odd channel" : "even channel");
    });
    for (int i = 0; i < 2000; ++i) {
        const std::string channel = app.channel();
        EXPECT_TRUE(channel == "App Store" || channel == "odd channel" || channel == "even channel") << channel;
    }
    writer.join();
}

}  // namespace
}  // namespace lv
