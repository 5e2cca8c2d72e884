// The analytics log-service stand-in, fed with envelopes made by hand from the codecs and read with a
// plain HTTP client.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>

#include "analytics/deflated.h"
#include "analytics/envelope_record.h"
#include "analytics/tally_utility.h"
#include "analytics_service.h"
#include "platform/security/digest.h"

namespace lv::tools {
namespace {

const std::string kAppKey = "9f3b6c2a41e07d58b2c4a6e1";
const std::string kSignature(64, 'a');
const std::string kGuid = std::string(32, '0') + std::string(32, 'f');

TPKUALogEntry sampleEntry() {
    TPKPage page;
    page.setPage_name("Screen");
    page.setDuration(3000);
    TPKSession session;
    session.setId("S1");
    session.setDuration(3000);
    session.setPages(std::vector<TPKPage>{page});
    TPKEvent event;
    event.setName("newsTab");
    event.setAcc(1);
    TPKInstantMsg message;
    message.setId("S1");
    message.setEvents(std::vector<TPKEvent>{event});
    TPKUALogEntry entry;
    entry.setSessions(std::vector<TPKSession>{session});
    entry.setInstant_msgs(std::vector<TPKInstantMsg>{message});
    entry.setGroup_info(std::map<std::string, std::int32_t>{{"RPT", 1}});
    return entry;
}

// The parts of a hand-made envelope; each test spoils one.
struct EnvelopeMaker {
    TPKUALogEntry entry = sampleEntry();
    std::int32_t codex = 0;
    bool encrypt = true;  // with codex 1
    std::string version = "V1.0";
    std::string address = kAppKey;
    std::string signature = kSignature;
    std::string guid = kGuid;
    std::int32_t lengthDelta = 0;
    bool badChecksum = false;
    bool leaveGuidUnset = false;
    std::optional<Bytes> rawOverride;  // stands for the packed log entry

    std::string make() const {
        Bytes raw = rawOverride ? *rawOverride : packBytes(entry);
        Bytes entity = *TLYDeflated::deflatedData(raw);
        if (codex == 1 && encrypt) {
            Bytes signatureBytes;
            for (std::size_t i = 0; i < signature.size(); i += 2) {
                signatureBytes.push_back(static_cast<std::uint8_t>(std::stoi(signature.substr(i, 2), nullptr, 16)));
            }
            entity = *TallyUtility::AES128EncryptData(entity, md5Digest(signatureBytes));
        }
        std::string checksum = hexString(md5Digest(entity));
        if (badChecksum) checksum[0] = checksum[0] == 'a' ? 'b' : 'a';
        TLYEnvelope envelope(version, address, signature, 7, 1700000000,
                             static_cast<std::int32_t>(raw.size()) + lengthDelta, entity, guid, checksum, codex);
        if (leaveGuidUnset) envelope.unsetGuid();
        Bytes bytes = packBytes(envelope);
        return std::string(bytes.begin(), bytes.end());
    }
};

TPKResponse readResponse(const std::string& body) {
    return unpackBytes<TPKResponse>(std::span(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
}

class AnalyticsService : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(service_.start()); }

    httplib::Result post(const std::string& body, const std::string& path = "/app_logs") {
        httplib::Client client("127.0.0.1", service_.port());
        client.set_read_timeout(5, 0);
        return client.Post(path.c_str(), body, "application/pack");
    }

    tools::AnalyticsService service_{kAppKey};
};

TEST_F(AnalyticsService, DecodesPlainAndEncryptedEnvelopes) {
    for (std::int32_t codex : {0, 1}) {
        SCOPED_TRACE(codex);
        service_.clear();
        EnvelopeMaker maker;
        maker.codex = codex;
        auto result = post(maker.make());
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 200);
        EXPECT_EQ(result->get_header_value("Content-Type"), "application/pack");
        TPKResponse response = readResponse(result->body);
        EXPECT_EQ(response.resp_code(), 1);
        EXPECT_EQ(response.msg(), "ok");
        EXPECT_FALSE(response.imprintIsSet());

        auto uploads = service_.uploads();
        ASSERT_EQ(uploads.size(), 1u);
        EXPECT_TRUE(uploads[0].accepted) << uploads[0].failure;
        EXPECT_EQ(uploads[0].codex, codex);
        EXPECT_EQ(uploads[0].serialNum, 7);
        EXPECT_EQ(uploads[0].tsSecs, 1700000000);
        ASSERT_TRUE(uploads[0].entry);
        EXPECT_EQ(*uploads[0].entry, maker.entry);
        EXPECT_EQ(describeUpload(uploads[0]),
                  "serial 7, codex " + std::to_string(codex) + ", " + std::to_string(uploads[0].length) +
                      " bytes: session of 3000 ms [Screen 3000 ms]; 0 error(s), events [newsTab]; group RPT=1");
    }
    // A crash report shows when it happened and its first line.
    tools::RecordedUpload crashed;
    crashed.accepted = true;
    TPKError error;
    error.setTs(1700000000123);
    error.setContext(std::string("Application received signal SIGSEGV\n(null)\n("));
    TPKInstantMsg message;
    message.setErrors(std::vector<TPKError>{error});
    TPKUALogEntry entry;
    entry.setInstant_msgs(std::vector<TPKInstantMsg>{message});
    crashed.entry = entry;
    EXPECT_EQ(describeUpload(crashed),
              "serial 0, codex 0, 0 bytes: 1 error(s) (at 1700000000123 ms: Application received signal SIGSEGV), events []");
}

TEST_F(AnalyticsService, RefusesBrokenEnvelopesWithTheReason) {
    struct Case {
        const char* name;
        std::function<void(EnvelopeMaker&)> spoil;
        const char* reason;
    };
    const Bytes notARecord{0x0B, 0x00, 0x01, 0x7F, 0xFF};  // a string field whose count runs past the end
    const std::vector<Case> cases{
        {"guid unset", [](EnvelopeMaker& m) { m.leaveGuidUnset = true; }, "Required field 'guid' is not set."},
        {"version", [](EnvelopeMaker& m) { m.version = "V2.0"; }, "version is \"V2.0\""},
        {"app key", [](EnvelopeMaker& m) { m.address = "other"; }, "is not the app key"},
        {"short signature", [](EnvelopeMaker& m) { m.signature.pop_back(); }, "signature is not 64"},
        {"upper-case guid", [](EnvelopeMaker& m) { m.guid = std::string(64, 'F'); }, "guid is not 64"},
        {"checksum", [](EnvelopeMaker& m) { m.badChecksum = true; }, "checksum does not match"},
        {"codex 2", [](EnvelopeMaker& m) { m.codex = 2; }, "codex 2 is unknown"},
        {"plain entity marked encrypted", [](EnvelopeMaker& m) { m.codex = 1; m.encrypt = false; }, "does not decrypt"},
        {"length too small", [](EnvelopeMaker& m) { m.lengthDelta = -1; }, "does not inflate"},
        {"length too large", [](EnvelopeMaker& m) { m.lengthDelta = 1; }, "length says"},
        {"entry unreadable", [&](EnvelopeMaker& m) { m.rawOverride = notARecord; }, "log entry unreadable"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service_.clear();
        EnvelopeMaker maker;
        c.spoil(maker);
        auto result = post(maker.make());
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 400);
        auto uploads = service_.uploads();
        ASSERT_EQ(uploads.size(), 1u);
        EXPECT_FALSE(uploads[0].accepted);
        EXPECT_NE(uploads[0].failure.find(c.reason), std::string::npos) << uploads[0].failure;
        EXPECT_EQ(result->body, uploads[0].failure);
    }
    // Bytes that are no envelope: a string field whose count is -1.
    const std::string noEnvelope("\x0B\x00\x01\xFF\xFF\xFF\xFF", 7);
    EXPECT_EQ(service_.decodeEnvelope(noEnvelope).failure, "envelope unreadable: Not enough bytes remain in buffer");
}

TEST_F(AnalyticsService, AnswersOnlyPostsToTheUploadPathAndLogsEveryRequest) {
    httplib::Client client("127.0.0.1", service_.port());
    EXPECT_EQ(client.Get("/app_logs")->status, 404);
    EXPECT_EQ(client.Post("/upload", "x", "application/pack")->status, 404);
    // An earlier test's workers may still post to this port (ports are reused): only this test's two
    // requests count.
    const auto ours = [&] {
        auto all = service_.requests();
        std::erase_if(all, [](const tools::LogServiceRequest& r) {
            return !(r.method == "GET" && r.target == "/app_logs") && !(r.method == "POST" && r.target == "/upload");
        });
        return all;
    };
    for (std::size_t seen = 2; ours().size() < 2; ++seen) ASSERT_TRUE(service_.waitForRequests(seen, 5));
    auto log = ours();
    ASSERT_EQ(log.size(), 2u);
    // Each request is logged once answered, by the server thread that answered it: the log need not
    // keep the order they were sent in.
    std::sort(log.begin(), log.end(), [](const auto& a, const auto& b) { return a.method < b.method; });
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].status, 404);
    EXPECT_EQ(log[1].target, "/upload");
    EXPECT_EQ(log[1].status, 404);
    // Only posts to the upload path are uploads (read first: a stray post is logged after its upload).
    const std::size_t uploads = service_.uploads().size();
    EXPECT_LE(uploads, service_.requests().size() - ours().size());
}

TEST_F(AnalyticsService, ImprintChecksumFollowsTheClientsRule) {
    // Keys in localized case-insensitive order: punctuation before letters, "_" before "-".
    ReplyImprint given;
    given.property["ab"] = {std::nullopt, 7, "g3"};
    given.property["A-c"] = {"x", 6, std::nullopt};
    given.property["a_b"] = {"1", 5, "g1"};
    given.version = 3;
    UploadReply reply;
    reply.imprint = given;
    service_.setReply(reply);
    auto result = post(EnvelopeMaker().make());
    ASSERT_TRUE(result);
    TPKResponse response = readResponse(result->body);
    ASSERT_TRUE(response.imprint());
    const TPKImprint& imprint = *response.imprint();
    EXPECT_EQ(imprint.checksum(), hexString(md5Digest(std::string_view("a_b15g1A-cx6(null)ab7g33"))));
    EXPECT_EQ(imprint.version(), 3);
    EXPECT_FALSE(imprint.property()->at("ab").valueIsSet());
    EXPECT_EQ(imprint.property()->at("a_b").value(), "1");

    reply.badImprintChecksum = true;
    service_.setReply(reply);
    TPKResponse spoiled = readResponse(post(EnvelopeMaker().make())->body);
    EXPECT_NE(spoiled.imprint()->checksum(), imprint.checksum());
    EXPECT_EQ(spoiled.imprint()->property(), imprint.property());
}

TEST_F(AnalyticsService, QueuedRepliesComeFirstThenTheStickyOne) {
    using Body = UploadReply::Body;
    struct Case {
        const char* name;
        UploadReply reply;
        std::function<void(const httplib::Result&)> check;
    };
    auto failsToRead = [](const char* fragment) {
        return [fragment](const httplib::Result& r) {
            ASSERT_TRUE(r);
            EXPECT_EQ(r->status, 200);
            const auto started = std::chrono::steady_clock::now();
            try {
                readResponse(r->body);
                ADD_FAILURE() << "read";
            } catch (const TPKException& e) {
                EXPECT_NE(e.reason().find(fragment), std::string::npos) << e.reason();
            }
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
        };
    };
    const std::vector<Case> cases{
        {"500", {.status = 500}, [](const httplib::Result& r) { EXPECT_EQ(r->status, 500); }},
        {"content type", {.contentType = "text/plain"},
         [](const httplib::Result& r) { EXPECT_EQ(r->get_header_value("Content-Type"), "text/plain"); }},
        {"empty", {.body = Body::Empty}, [](const httplib::Result& r) { EXPECT_TRUE(r->body.empty()); }},
        {"resp_code 0", {.respCode = 0}, [](const httplib::Result& r) { EXPECT_EQ(readResponse(r->body).resp_code(), 0); }},
        {"truncated", {.body = Body::Truncated}, failsToRead("Not enough bytes")},
        {"garbage", {.body = Body::Garbage}, [](const httplib::Result& r) { EXPECT_EQ(r->body.rfind("<html>", 0), 0u); }},
        {"2 GiB count", {.body = Body::HugeCount}, failsToRead("Container size 2147483647")},
        {"deep nesting", {.body = Body::DeepNesting}, failsToRead("Nesting deeper")},
        {"no reply", {.body = Body::NoReply}, [](const httplib::Result& r) { EXPECT_FALSE(r); }},
    };
    for (const auto& c : cases) service_.queueReply(c.reply);
    service_.setReply({.msg = "sticky"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.check(post(EnvelopeMaker().make()));
    }
    EXPECT_EQ(readResponse(post(EnvelopeMaker().make())->body).msg(), "sticky");
    EXPECT_EQ(service_.uploads().size(), cases.size() + 1);
}

TEST_F(AnalyticsService, DelaysPastTheClientsTimeOutAndStopsPromptly) {
    service_.setReply({.delaySeconds = 30});
    httplib::Client client("127.0.0.1", service_.port());
    client.set_read_timeout(0, 200000);
    EXPECT_FALSE(client.Post("/app_logs", EnvelopeMaker().make(), "application/pack"));
    EXPECT_EQ(service_.uploads().size(), 1u);
    const auto started = std::chrono::steady_clock::now();
    service_.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

}  // namespace
}  // namespace lv::tools
