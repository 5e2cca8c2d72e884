#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "analytics/tally_event.h"
#include "analytics/tally_pack.h"
#include "analytics/tally_utility.h"
#include "analytics/upload_link.h"
#include "engine_test_support.h"
#include "platform/base/clock.h"
#include "platform/base/log.h"
#include "platform/storage/file_manager.h"
#include "platform/ui/application.h"

namespace lv {
namespace {

using test::drainMain;
using test::relaunch;
using test::storeImprint;

class Sessions : public test::EngineLaunch {};
class CommitPolicy : public test::EngineLaunch {};

TEST_F(Sessions, LengthsOverTwoHoursCountAsOneHour) {
    double now = 1'700'000'000;
    ScopedClock clock([&now] { return now; });
    beginFirstSession();
    for (auto [after, expected] : {std::pair{7200.0, 7200.0}, {7200.5, 3600.0}, {0.25, 0.25}}) {
        now = session()->lastLaunchTime() + after;
        EXPECT_EQ(session()->endSessionTime(), expected) << after;
    }
}

// A wall clock set back mid-session does not make the session negative: its length is monotonic.
TEST_F(Sessions, LengthsAreMeasuredOnTheMonotonicClock) {
    double wall = 1'700'000'000;
    double steady = 5'000;
    ScopedClock clock([&wall] { return wall; });
    setMonotonicClockOverride([&steady] { return steady; });
    beginFirstSession();
    wall -= 3600;  // the clock set back an hour
    steady += 2.5;
    EXPECT_EQ(session()->endSessionTime(), 2.5);
    session()->appInactivate(nullptr);
    setMonotonicClockOverride(nullptr);
    relaunch();
    engine()->loadCache();
    ASSERT_EQ(engine()->terminates().size(), 1u);
    const TPKSession record = TallyPack::buildSessionFrom(*std::dynamic_pointer_cast<TLYTerminate>(engine()->terminates()[0]));
    EXPECT_EQ(record.duration(), 2500);
    EXPECT_LE(record.start_time(), record.end_time());
}

// User ids and providers are measured in UTF-16 units, as the platform's strings count: 64 CJK
// characters (192 bytes) are a valid id, 33 emoji (66 units) are not.
TEST_F(Sessions, SignInLengthsCountUtf16Units) {
    auto repeat = [](std::string_view text, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) out += text;
        return out;
    };
    struct Case {
        std::string puid, provider;
        bool accepted;
    } cases[] = {
        {std::string(64, 'a'), "p", true},
        {std::string(65, 'a'), "p", false},
        {repeat("\xE4\xB8\xAD", 64), "p", true},
        {repeat("\xE4\xB8\xAD", 65), "p", false},
        {repeat("\xF0\x9F\x98\x80", 32), "p", true},
        {repeat("\xF0\x9F\x98\x80", 33), "p", false},
        {"u", repeat("\xE4\xB8\xAD", 32), true},
        {"u", repeat("\xE4\xB8\xAD", 33), false},
    };
    beginFirstSession();
    for (const auto& c : cases) {
        TallyConfig::removeConfigureWithKey("TLYProfilePUID");
        TallyConfig::removeConfigureWithKey("TLYProfileProvider");
        TallySession::signInPUID(c.puid, c.provider);
        drainMain();
        EXPECT_EQ(TallyConfig::configureWithKey("TLYProfilePUID") == Value(c.puid), c.accepted) << c.puid.size();
    }
}

TEST_F(Sessions, ResigningWithoutBackgroundWorkArchivesAtOnce) {
    beginFirstSession();
    TallyEvent::event(Value("e"));
    drainMain();
    session()->appInactivate(nullptr);
    // Closed on the spot, before the main loop runs again.
    EXPECT_TRUE(TallyUtility::isExistAtPath(TallyUtility::cacheFilePath()));
    EXPECT_TRUE(engine()->terminates().empty());
    EXPECT_EQ(session()->sessionStatus(), 2);
    EXPECT_TRUE(session()->appInBackGround());
    EXPECT_FALSE(session()->appBeKilling());
}

TEST_F(Sessions, TerminationClosesAgainButLeavesTheArchiveAsTheLastEndWroteIt) {
    beginFirstSession();
    TallyEvent::event(Value("e"));
    drainMain();
    const auto application = Application::sharedApplication();
    const auto resign = Notification::make(std::string(kApplicationWillResignActiveNotification), application);
    const auto terminate = Notification::make(std::string(kApplicationWillTerminateNotification), application);
    session()->appInactivate(resign.get());
    const auto archived = FileManager::defaultManager().contentsAtPath(TallyUtility::cacheFilePath());
    ASSERT_TRUE(archived);

    session()->appInactivate(terminate.get());
    EXPECT_TRUE(session()->appBeKilling());
    EXPECT_TRUE(engine()->terminates().empty());  // the duplicate close is discarded
    EXPECT_EQ(FileManager::defaultManager().contentsAtPath(TallyUtility::cacheFilePath()), archived);
    EXPECT_FALSE(TallyJob::shouldCommitJob(0));
}

TEST_F(Sessions, StartRegistersOnceAndLaunchesTheFirstSession) {
    LogCapture capture;
    TallySession::startWithAppkey("   ");
    drainMain();
    EXPECT_EQ(session()->sessionStatus(), 0);
    EXPECT_FALSE(session()->observerRegistered());

    TallyConfig::setConfigure(Value("old key"), "appkey");
    TallySession::startWithAppkey("key-1", 6, "store");
    TallySession::startWithAppkey("key-2", 1, "");
    EXPECT_EQ(capture.count("WARNING: Appkey is different from the past."), 2u);
    drainMain();
    EXPECT_TRUE(session()->observerRegistered());
    EXPECT_EQ(session()->sessionStatus(), 1);
    EXPECT_EQ(TallyConfig::configureWithKey("appkey"), Value("key-2"));
    EXPECT_EQ(TallyConfig::configureWithKey("tlycReportPolicy").intValue(), 1);
    EXPECT_EQ(TallyApp::sharedInstance()->channel(), "store");
    EXPECT_FALSE(TallyConfig::configureWithKey("tlySeparatedTime").isNil());
    EXPECT_EQ(capture.count("TLYLOG: WARNING app has already activate."), 0u);

    // The app-state notifications reach the session once each.
    auto center = NotificationCenter::defaultCenter();
    const auto application = Application::sharedApplication();
    center->post(std::string(kApplicationWillResignActiveNotification), application);
    EXPECT_EQ(session()->sessionStatus(), 2);
    const std::string before = engine()->sessionID();
    center->post(std::string(kApplicationDidBecomeActiveNotification), application);
    EXPECT_EQ(session()->sessionStatus(), 1);
    EXPECT_NE(engine()->sessionID(), before);
    center->post(std::string(kApplicationDidBecomeActiveNotification), application);
    EXPECT_EQ(capture.count("TLYLOG: WARNING app has already activate."), 1u);
    EXPECT_EQ(session()->description(), "<TallySession:   observerRegistered=1, sessionStatus=1>");
}

// ---- Commit policy ----

TEST_F(CommitPolicy, PolicyForegroundBackgroundAndTimeSinceThePost) {
    beginFirstSession();
    const double now = 1'700'000'000;
    ScopedClock clock([now] { return now; });
    struct Case {
        int policy;
        bool background;
        bool backgroundWork;
        double elapsed;  // -1: no post stored
        bool trigger0;
        bool trigger1;
    } cases[] = {
        {8, true, true, 16, true, true},          {8, true, false, 16, false, false},
        {8, false, true, -1, true, true},         {8, false, true, 10801, false, false},
        {8, false, true, 129601, true, true},     {8, false, false, 10801, true, true},
        {8, false, true, 129599, false, false},   {8, false, false, 10799, false, false},
        {8, false, false, 16, false, false},      {6, false, false, -1, true, true},
        {6, false, false, 16, false, false},      {6, true, false, 129601, true, true},
        {0, false, false, 16, true, true},        {0, false, false, 10801, true, true},
        {1, false, false, -1, true, false},       {1, true, true, 129601, true, false},
    };
    storeImprint({{"integrated_test", "1"}});  // lets policy 0 stand
    for (const auto& c : cases) {
        TallyConfig::setConfigure(Value(c.policy), "tlycReportPolicy");
        session()->setAppInBackGround(c.background);
        TallyApp::sharedInstance()->setBackgroundTaskEnabledFlag(c.backgroundWork);
        TallyApp::sharedInstance()->setLogSendInterval(90);
        if (c.elapsed < 0) {
            TallyConfig::removeConfigureWithKey("lastPostInterval");
        } else {
            TallyConfig::setConfigure(Value(now - c.elapsed), "lastPostInterval");
        }
        const std::string label = format("policy %d bg %d work %d elapsed %f", c.policy, c.background, c.backgroundWork, c.elapsed);
        EXPECT_EQ(TallyJob::shouldCommitJob(0), c.trigger0) << label;
        EXPECT_EQ(TallyJob::shouldCommitJob(1), c.trigger1) << label;
    }
    test::setNetwork(false);
    TallyConfig::setConfigure(Value(0), "tlycReportPolicy");
    TallyConfig::removeConfigureWithKey("lastPostInterval");
    EXPECT_FALSE(TallyJob::shouldCommitJob(0));
}

TEST_F(CommitPolicy, LatencyComesFromTheImprintWithinTheBound) {
    auto job = TallyJob::sharedInstance();
    EXPECT_EQ(job->computeLatency(), 0);
    EXPECT_FALSE(job->bDisguisedLatency());
    storeImprint({{"latent", "3"}, {"latent_hours", "9"}});
    for (int i = 0; i < 20; ++i) {
        const int latency = job->computeLatency();
        EXPECT_GE(latency, 1);
        EXPECT_LE(latency, 3);
    }
    EXPECT_TRUE(job->bDisguisedLatency());
    storeImprint({{"latent", "100000"}});
    job->setLatency_sdk(2);
    for (int i = 0; i < 20; ++i) EXPECT_LE(job->computeLatency(), 2);
    job->setLatency_sdk(0);
    for (int i = 0; i < 20; ++i) EXPECT_LE(job->computeLatency(), 1800);
    storeImprint({{"latent", "-4"}});
    EXPECT_EQ(job->computeLatency(), 0);
}

TEST_F(CommitPolicy, ADelayedRunFiringInTheBackgroundDoesNotBlockLaterRuns) {
    storeImprint({{"latent", "1"}});
    beginFirstSession();  // policy 1, trigger 0: a delayed run is scheduled
    auto job = TallyJob::sharedInstance();
    ASSERT_TRUE(job->delayedRunPending());
    EXPECT_FALSE(TallyJob::shouldCommitJob(0));
    session()->setAppInBackGround(true);
    ASSERT_TRUE(runMainUntil([&job] { return !job->delayedRunPending(); }, 5));
    EXPECT_FALSE(job->jobRunning());  // in the background the run itself is skipped
    session()->setAppInBackGround(false);
    EXPECT_TRUE(TallyJob::shouldCommitJob(0));
}

TEST_F(CommitPolicy, TheServersBackOffLevelLastsAcrossLaunches) {
    struct Case {
        Value stored;
        std::int32_t level;
    } cases[] = {{Value("3"), 3}, {Value("2"), 2}, {Value("0"), 0}, {Value("7"), 0}, {Value("-1"), 0}, {Value(), 0}};
    for (const auto& c : cases) {
        TallyConfig::removeConfigureWithKey("tlyDefcon");
        if (!c.stored.isNil()) TallyConfig::setConfigure(c.stored, "tlyDefcon");
        relaunch();
        EXPECT_EQ(TallyJob::sharedInstance()->defcon(), c.level) << c.stored.description();
        // What the log builder thins the next entry by.
        EXPECT_EQ(UploadLink::packEngine()->defcon(), c.level) << c.stored.description();
    }
}

// Only policy 8 (with background work) uploads when a session ends in the background.
TEST_F(CommitPolicy, PolicyEightUploadsAtTheSessionEnd) {
    struct Case {
        std::int32_t policy;
        std::size_t envelopesAtTheEnd;
    } cases[] = {{8, 1}, {1, 0}, {6, 0}};
    TallyApp::sharedInstance()->setBackgroundTaskEnabledFlag(true);
    for (const auto& c : cases) {
        TallyConfig::setConfigure(Value(c.policy), "tlycReportPolicy");
        TallyConfig::setConfigure(Value(currentTimeSince1970()), "lastPostInterval");  // no run at the begin
        beginFirstSession();
        finishUploads();
        for (const auto& file : TallyUtility::envelopeFiles()) TallyUtility::removeFile(file);
        TallyEvent::event(Value("e"));
        drainMain();
        session()->appInactivate(nullptr);
        drainMain();
        finishUploads();
        EXPECT_EQ(TallyUtility::envelopeFiles().size(), c.envelopesAtTheEnd) << c.policy;
        for (const auto& file : TallyUtility::envelopeFiles()) TallyUtility::removeFile(file);
        TallyApp::sharedInstance()->endBackgroundTask();
        drainMain();
        relaunch();
    }
    TallyApp::sharedInstance()->setBackgroundTaskEnabledFlag(false);
}

TEST_F(CommitPolicy, NoRunWhileOneRunsOrBeforeTheFirstSession) {
    TallyJob::preparePerformJob(0);
    EXPECT_FALSE(TallyJob::sharedInstance()->jobRunning());
    const std::string folder = TallyUtility::tallyDirectory();
    std::filesystem::remove_all(folder);
    std::ofstream(folder) << "x";  // a plain file in the envelope folder's place
    beginFirstSession();
    TallyEvent::event(Value("e"));
    drainMain();
    // Activation has not been sent and an event is cached, but the writer can save no file: no run.
    EXPECT_FALSE(TallyJob::sharedInstance()->jobRunning());
    EXPECT_EQ(engine()->events().size(), 1u);
    std::filesystem::remove(folder);
    std::filesystem::create_directory(folder);
    std::ofstream(TallyUtility::tallyDirectory() + "/1_envelope.log") << "0123456789ab";
    TallyJob::sharedInstance()->setJobRunning(true);
    TallyJob::preparePerformJob(0);
    EXPECT_TRUE(TallyUtility::isExistAtPath(TallyUtility::tallyDirectory() + "/1_envelope.log"));
    TallyJob::sharedInstance()->setJobRunning(false);
    engine()->sendLogQueue()->setSuspended(true);
    TallyJob::preparePerformJob(0);
    EXPECT_TRUE(TallyJob::sharedInstance()->jobRunning());
    EXPECT_EQ(engine()->sendLogQueue()->operationCount(), 1u);
    engine()->sendLogQueue()->setSuspended(false);
    engine()->sendLogQueue()->waitUntilAllOperationsAreFinished();
    EXPECT_FALSE(TallyJob::sharedInstance()->jobRunning());
}

}  // namespace
}  // namespace lv
