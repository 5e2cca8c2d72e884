// The analytics road through the whole app against the log-service stand-in: the launch starts the
// client (report policy 1, encryption on), each activation uploads what the caches hold through the
// host map, and the service's replies (errors, imprints, hostile bytes) steer the next uploads.
#include <gtest/gtest.h>

#include <algorithm>

#include "analytics/tally_app.h"
#include "analytics/tally_config.h"
#include "analytics/tally_internal.h"
#include "analytics/tally_job.h"
#include "analytics/tally_pack.h"
#include "analytics/tally_session.h"
#include "analytics/tally_utility.h"
#include "analytics/upload_protocol.h"
#include "analytics_service.h"
#include "app_end_to_end_support.h"
#include "platform/base/clock.h"
#include "platform/storage/bundle.h"

namespace lv::test {
namespace {

using tools::RecordedUpload;
using tools::UploadReply;

class AnalyticsEndToEnd : public AppEndToEnd {
protected:
    void SetUp() override {
        AppStack::SetUp();
        // The previous test's engine finishes its uploads before the new launch replaces it.
        TallyInternal::sharedInstance()->sendLogQueue()->waitUntilAllOperationsAreFinished();
        startStack("x86_64");  // the access type reads "WiFi": uploads may go
        ASSERT_TRUE(primary.start());
        ASSERT_TRUE(fallback.start());
        HostMap::set(upload_protocol::kLogHost, "127.0.0.1", primary.port());
        HostMap::set(upload_protocol::kLogFallbackHost, "127.0.0.1", fallback.port());
        Bundle::setMainBundlePath(sourceDirectory() + "/bundle");
        TallyInternal::resetSharedInstance();
        TallySession::resetSharedInstance();
        TallyJob::resetSharedInstance();
        TallyPack::resetSharedInstance();
        registerAppClasses();
    }
    void TearDown() override {
        settle();
        primary.stop();
        fallback.stop();
        AppEndToEnd::TearDown();
    }

    // Launches the app and makes it active, as the program's main does.
    void launch() {
        delegate = makeRef<AppDelegate>();
        Application::sharedApplication()->setDelegate(delegate);
        ASSERT_TRUE(Application::sharedApplication()->launch());
        Application::sharedApplication()->becomeActive();
    }
    static void reactivate() {
        Application::sharedApplication()->resignActive();
        drainMain();
        Application::sharedApplication()->becomeActive();
    }
    // The upload run has ended and what it queued on the main queue (the reply's imprint) has run.
    static void settle() {
        TallyInternal::sharedInstance()->sendLogQueue()->waitUntilAllOperationsAreFinished();
        drainMain();
    }
    // Waits until the service has recorded n uploads and the run that sent them has ended.
    static bool waitForUploads(const tools::AnalyticsService& service, std::size_t n) {
        const bool arrived = runMainUntil(
            [&] { return service.uploads().size() >= n && !TallyJob::sharedInstance()->jobRunning(); }, 15);
        settle();
        return arrived;
    }
    static const TPKUALogEntry& entryOf(const RecordedUpload& upload) {
        EXPECT_TRUE(upload.accepted) << upload.failure;
        static const TPKUALogEntry none;
        return upload.entry ? *upload.entry : none;
    }
    static std::vector<std::string> eventNames(const TPKUALogEntry& entry) {
        std::vector<std::string> names;
        for (const auto& message : entry.instant_msgs().value_or(std::vector<TPKInstantMsg>{})) {
            for (const auto& event : message.events().value_or(std::vector<TPKEvent>{})) {
                names.push_back(event.name().value_or(""));
            }
        }
        return names;
    }
    static UploadReply withImprint(std::map<std::string, std::string> entries) {
        UploadReply reply;
        tools::ReplyImprint imprint;
        for (const auto& [key, value] : entries) imprint.property[key] = {value, 1, std::string("g")};
        reply.imprint = imprint;
        return reply;
    }

    tools::AnalyticsService primary{AnalyticsHelper::kAppKey, "primary"};
    tools::AnalyticsService fallback{AnalyticsHelper::kAppKey, "fallback"};
};

TEST_F(AnalyticsEndToEnd, ActivationMessageThenTheClosedSessionWithItsPageAndEvent) {
    launch();
    ASSERT_TRUE(waitForUploads(primary, 1));
    {
        const RecordedUpload first = primary.uploads()[0];
        EXPECT_EQ(first.codex, 1);
        EXPECT_EQ(first.serialNum, 0);
        EXPECT_TRUE(entryOf(first).activate_msg());
        // The identifier journals travel in the first upload only; its success empties them.
        ASSERT_TRUE(entryOf(first).id_tracking());
        EXPECT_FALSE(entryOf(first).id_tracking()->journals().value_or(std::vector<TPKIdJournal>{}).empty());
        EXPECT_TRUE(TallyUtility::envelopeFiles().empty());
    }

    double now = currentTimeSince1970();
    ScopedClock clock([&now] { return now; });
    AnalyticsHelper::beginLogPageView("Screen");
    drainMain();
    now += 3;
    AnalyticsHelper::endLogPageView("Screen");
    AnalyticsHelper::event("newsTab", "kpop");
    drainMain();
    reactivate();
    ASSERT_TRUE(waitForUploads(primary, 2));

    const auto uploads = primary.uploads();
    ASSERT_EQ(uploads.size(), 2u);
    const RecordedUpload& second = uploads[1];
    EXPECT_EQ(second.codex, 1);
    EXPECT_EQ(second.serialNum, 1);
    const TPKUALogEntry& entry = entryOf(second);
    EXPECT_FALSE(entry.activate_msg());
    ASSERT_TRUE(entry.id_tracking());
    EXPECT_TRUE(entry.id_tracking()->journals().value_or(std::vector<TPKIdJournal>{}).empty());
    std::vector<std::pair<std::string, std::int64_t>> pages;
    for (const auto& session : entry.sessions().value_or(std::vector<TPKSession>{})) {
        for (const auto& page : session.pages().value_or(std::vector<TPKPage>{})) {
            pages.emplace_back(page.page_name().value_or(""), page.duration());
        }
    }
    EXPECT_NE(std::find(pages.begin(), pages.end(), std::pair<std::string, std::int64_t>("Screen", 3000)), pages.end());
    EXPECT_EQ(entry.instant_msgs().value_or(std::vector<TPKInstantMsg>{}).size(), 1u);
    EXPECT_EQ(eventNames(entry), std::vector<std::string>{"newsTab"});
    ASSERT_TRUE(entry.client_stats());
    EXPECT_EQ(entry.client_stats()->successful_requests(), 1);
    EXPECT_EQ(entry.client_stats()->failed_requests(), 0);
    EXPECT_TRUE(TallyUtility::envelopeFiles().empty());
    EXPECT_TRUE(fallback.uploads().empty());
}

TEST_F(AnalyticsEndToEnd, AServerErrorKeepsTheFileForTheNextRunAndIsCounted) {
    UploadReply failing;
    failing.status = 500;
    primary.queueReply(failing);
    fallback.queueReply(failing);  // a 5xx tries the fallback host once
    launch();
    ASSERT_TRUE(waitForUploads(fallback, 1));
    EXPECT_EQ(primary.uploads().size(), 1u);
    EXPECT_EQ(TallyUtility::envelopeFiles().size(), 1u);

    // The kept file goes first; the caches wait for a run that finds no file.
    reactivate();
    ASSERT_TRUE(waitForUploads(primary, 2));
    reactivate();
    ASSERT_TRUE(waitForUploads(primary, 3));
    const auto uploads = primary.uploads();
    ASSERT_EQ(uploads.size(), 3u);
    EXPECT_EQ(uploads[1].serialNum, 0);
    EXPECT_TRUE(entryOf(uploads[1]).activate_msg());
    EXPECT_EQ(uploads[2].serialNum, 1);
    const TPKUALogEntry& newer = entryOf(uploads[2]);
    EXPECT_FALSE(newer.activate_msg());
    ASSERT_TRUE(newer.client_stats());
    EXPECT_EQ(newer.client_stats()->failed_requests(), 1);
    EXPECT_EQ(newer.client_stats()->successful_requests(), 1);
    EXPECT_EQ(newer.sessions().value_or(std::vector<TPKSession>{}).size(), 2u);
    EXPECT_TRUE(TallyUtility::envelopeFiles().empty());
    EXPECT_EQ(fallback.uploads().size(), 1u);
}

TEST_F(AnalyticsEndToEnd, WithThePrimaryClosedTheFallbackGetsTheUpload) {
    primary.stop();  // its port stays mapped, nothing listens there
    launch();
    ASSERT_TRUE(waitForUploads(fallback, 1));
    EXPECT_TRUE(entryOf(fallback.uploads()[0]).activate_msg());
    EXPECT_TRUE(primary.uploads().empty());
    EXPECT_TRUE(TallyUtility::envelopeFiles().empty());
}

TEST_F(AnalyticsEndToEnd, ImprintsSteerTheNextUploads) {
    // "codex" "0": the next envelope goes plain.
    primary.queueReply(withImprint({{"codex", "0"}}));
    launch();
    ASSERT_TRUE(waitForUploads(primary, 1));
    EXPECT_EQ(primary.uploads()[0].codex, 1);
    EXPECT_EQ(TallyInternal::imprintValueWithKey("codex"), "0");

    // "defcon" "2": what follows is one 60 s session and no messages.
    primary.queueReply(withImprint({{"defcon", "2"}}));
    reactivate();
    ASSERT_TRUE(waitForUploads(primary, 2));
    EXPECT_EQ(primary.uploads()[1].codex, 0);
    EXPECT_TRUE(primary.uploads()[1].accepted) << primary.uploads()[1].failure;

    AnalyticsHelper::event("newsTab", "kpop");
    drainMain();
    reactivate();
    ASSERT_TRUE(waitForUploads(primary, 3));
    const auto uploads = primary.uploads();
    const TPKUALogEntry& entry = entryOf(uploads[2]);
    const auto sessions = entry.sessions().value_or(std::vector<TPKSession>{});
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].duration(), 60000);
    EXPECT_TRUE(eventNames(entry).empty());
    EXPECT_TRUE(entry.instant_msgs().value_or(std::vector<TPKInstantMsg>{}).empty());
}

TEST_F(AnalyticsEndToEnd, ImprintsSetTheReportPolicyAndExperimentGroups) {
    double now = currentTimeSince1970();
    ScopedClock clock([&now] { return now; });
    primary.queueReply(withImprint({{"report_policy", "6"}, {"report_interval", "120"}}));
    primary.queueReply(withImprint({{"client_test", "FIXED|1|SIG13|1|RPT|6"}}));
    launch();
    ASSERT_TRUE(waitForUploads(primary, 1));
    EXPECT_EQ(TallyApp::sharedInstance()->reportPolicy(), 6);
    EXPECT_EQ(TallyApp::minReportInterval(), 120);

    // Policy 6 posts only once the interval has passed since the last post.
    now += 60;
    reactivate();
    drainMain();
    settle();
    EXPECT_EQ(primary.uploads().size(), 1u);
    now += 61;
    reactivate();
    ASSERT_TRUE(waitForUploads(primary, 2));
    now += 121;
    reactivate();
    ASSERT_TRUE(waitForUploads(primary, 3));
    const auto uploads = primary.uploads();
    EXPECT_FALSE(entryOf(uploads[1]).group_info());
    EXPECT_EQ(entryOf(uploads[2]).group_info(), (std::map<std::string, std::int32_t>{{"RPT", 1}}));
}

TEST_F(AnalyticsEndToEnd, HostileRepliesLeaveTheWorkerRunningApplyNothingAndKeepTheFile) {
    for (auto body : {UploadReply::Body::HugeCount, UploadReply::Body::DeepNesting, UploadReply::Body::Garbage,
                      UploadReply::Body::Truncated}) {
        UploadReply hostile = withImprint({{"report_tag", "hostile"}});
        hostile.body = body;
        primary.queueReply(hostile);
    }
    launch();
    for (std::size_t n = 1; n <= 4; ++n) {
        SCOPED_TRACE(n);
        ASSERT_TRUE(waitForUploads(primary, n));
        EXPECT_TRUE(primary.uploads()[n - 1].accepted) << primary.uploads()[n - 1].failure;
        // A 200 whose body is not the service's reply record does not say the envelope arrived: the
        // file stays and the same envelope goes again at the next run.
        EXPECT_EQ(TallyUtility::envelopeFiles().size(), 1u);
        EXPECT_EQ(primary.uploads()[n - 1].guid, primary.uploads()[0].guid);
        EXPECT_FALSE(TallyInternal::imprintValueWithKey("report_tag"));
        reactivate();
    }
    // The worker still posts, and a sound reply removes the file and is applied.
    ASSERT_TRUE(waitForUploads(primary, 5));
    EXPECT_TRUE(primary.uploads()[4].accepted);
    EXPECT_EQ(primary.uploads()[4].guid, primary.uploads()[0].guid);
    EXPECT_TRUE(TallyUtility::envelopeFiles().empty());
    EXPECT_EQ(TallyConfig::configureWithKey("tlyFailedRequests").longLongValue(), 4);
    EXPECT_EQ(TallyConfig::configureWithKey("tlySuccessfulRequests").longLongValue(), 1);
}

}  // namespace
}  // namespace lv::test
