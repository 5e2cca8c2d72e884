// The engine, the envelope writer and the upload worker together against the log-service stand-in
// on 127.0.0.1: a session's events reach the service, the file goes, the reply's imprint is kept.
#include <gtest/gtest.h>

#include "analytics/tally_event.h"
#include "analytics/tally_utility.h"
#include "analytics_service.h"
#include "engine_test_support.h"

namespace lv {
namespace {

constexpr const char* kLinkAppKey = "0123456789abcdef01234567";

class UploadLink : public test::EngineLaunch {
protected:
    void SetUp() override {
        test::EngineLaunch::SetUp();
        ASSERT_TRUE(service_.start());
        // Replaces the fixture's closed port: both log hosts lead to the stand-in.
        HostMap::set(upload_protocol::kLogHost, "127.0.0.1", service_.port());
        HostMap::set(upload_protocol::kLogFallbackHost, "127.0.0.1", service_.port());
        TallyApp::sharedInstance()->setAppid(kLinkAppKey);
        TallyApp::sharedInstance()->setEncryptEnabledFlag(true);
    }
    void TearDown() override {
        test::EngineLaunch::TearDown();
        service_.stop();
    }

    tools::AnalyticsService service_{kLinkAppKey, "upload-link"};
};

TEST_F(UploadLink, ASessionsEventsReachTheServiceAndItsImprintIsKept) {
    tools::UploadReply reply;
    reply.imprint = tools::ReplyImprint{{{"report_tag", {std::string("from-service"), 42, std::string("g1")}}}, 3};
    service_.setReply(reply);

    // Recorded before the first session: they move into the caches at its begin, which (policy 1)
    // writes them into an envelope and starts an upload run on the send queue.
    TallyEvent::event(Value("opened"));
    TallyEvent::eventAttributes(Value("chosen"), Value::dictionary({{"tab", Value("news")}}));
    beginFirstSession();
    const std::string sessionID = engine()->sessionID();

    // The reply is checked on the worker; its imprint is applied on the main queue.
    ASSERT_TRUE(runMainUntil([] { return TallyInternal::imprintValueWithKey("report_tag").has_value(); }, 10));
    engine()->sendLogQueue()->waitUntilAllOperationsAreFinished();
    test::drainMain();

    const auto uploads = service_.uploads();
    ASSERT_EQ(uploads.size(), 1u);
    const tools::RecordedUpload& upload = uploads[0];
    ASSERT_TRUE(upload.accepted) << upload.failure;
    EXPECT_EQ(upload.codex, 1);
    EXPECT_EQ(upload.serialNum, 0);
    ASSERT_TRUE(upload.entry);
    ASSERT_TRUE(upload.entry->instant_msgs());
    ASSERT_EQ(upload.entry->instant_msgs()->size(), 1u);
    const TPKInstantMsg& message = upload.entry->instant_msgs()->front();
    EXPECT_EQ(message.id(), sessionID);
    std::vector<std::string> names;
    if (message.events()) {
        for (const auto& event : *message.events()) names.push_back(event.name().value_or(""));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"opened", "chosen"}));

    EXPECT_TRUE(TallyUtility::envelopeFiles().empty());
    EXPECT_TRUE(engine()->events().empty());
    EXPECT_TRUE(engine()->ekv().empty());
    EXPECT_FALSE(TallyJob::sharedInstance()->jobRunning());
    EXPECT_EQ(TallyInternal::imprintValueWithKey("report_tag"), "from-service");
}

}  // namespace
}  // namespace lv
