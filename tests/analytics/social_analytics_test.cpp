// Social analytics against the stand-in's social route, reached through the host map.
#include <gtest/gtest.h>

#include <thread>

#include "analytics/analytics_log.h"
#include "analytics/protocol_data.h"
#include "analytics/social_analytics.h"
#include "analytics/tly_util.h"
#include "analytics_service.h"
#include "platform/base/clock.h"
#include "platform/base/log.h"
#include "platform/dispatch/run_loop.h"
#include "platform/net/host_map.h"
#include "settings_test_support.h"

namespace lv {
namespace {

const std::string kSocialAppKey = "9f3b6c2a41e07d58b2c4a6e1";

Value shares(std::initializer_list<Ref<TallySocialMicroblog>> list) {
    Array array;
    for (const auto& share : list) array.emplace_back(share);
    return Value(std::move(array));
}

struct Reply {
    int calls = 0;
    Value result;
    Ref<Error> error;
    bool onMainThread = false;
};

TallySocialAnalytics::Completion recordInto(Reply& reply, std::thread::id mainThread) {
    return [&reply, mainThread](const Value& result, const Ref<Error>& error) {
        ++reply.calls;
        reply.result = result;
        reply.error = error;
        reply.onMainThread = std::this_thread::get_id() == mainThread;
    };
}

class SocialRequest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service_.start());
        HostMap::set(upload_protocol::kSocialAnalyticsHost, "127.0.0.1", service_.port());
    }
    void TearDown() override { HostMap::remove(upload_protocol::kSocialAnalyticsHost); }

    // Posts and waits for the completion; the request as the service saw it.
    tools::SocialRequest postAndWait(const Value& list, const std::optional<std::string>& topic, Reply& reply) {
        const std::size_t before = service_.socialRequests().size();
        TallySocialAnalytics::postMicroblogCounts(list, kSocialAppKey, topic, recordInto(reply, std::this_thread::get_id()));
        EXPECT_TRUE(runMainUntil([&] { return reply.calls > 0; }, 10));
        auto requests = service_.socialRequests();
        EXPECT_EQ(requests.size(), before + 1);
        return requests.empty() ? tools::SocialRequest{} : requests.back();
    }

    test::ScopedAnalyticsSandbox sandbox_;
    ScopedClock clock_{[] { return 1700000000.75; }};
    tools::AnalyticsService service_{kSocialAppKey};
};

TEST_F(SocialRequest, QueryPartsInOrderWithEachValueEscaped) {
    const std::string head = "deviceid=" + TLYDeviceUID::value() + ",02:00:00:00:00:00&idtype=deviceuid,mac&platform=";
    struct Case {
        const char* name;
        Value list;
        std::optional<std::string> topic;
        std::string query;
    };
    const std::vector<Case> cases{
        {"one share without post id", shares({TallySocialMicroblog::make("mblog", "", "u1")}), std::nullopt,
         head + "mblog&channel=3&version=3.6.7&usid=u1&date=1700000000"},
        {"two shares, one id missing each",
         shares({TallySocialMicroblog::make("mblog", "m1", std::nullopt), TallySocialMicroblog::make("chat", std::nullopt, "u2")}),
         std::nullopt, head + "mblog,chat&channel=3&version=3.6.7&usid=,u2&microblogid=m1,&date=1700000000"},
        {"topic with blanks and Chinese", shares({TallySocialMicroblog::make("mblog", "m1", "u1")}), "韩流 news",
         head + "mblog&channel=3&version=3.6.7&usid=u1&microblogid=m1&topic=%E9%9F%A9%E6%B5%81%20news&date=1700000000"},
        {"share without platform name", shares({TallySocialMicroblog::make(std::nullopt, "m1", "u1")}), std::nullopt,
         head + "&channel=3&version=3.6.7&usid=u1&microblogid=m1&date=1700000000"},
        {"values that would break the query",
         shares({TallySocialMicroblog::make("a&b#c", "x=1", "é"), TallySocialMicroblog::make("q,q", "2", "3")}), "",
         head + "a%26b%23c,q%2Cq&channel=3&version=3.6.7&usid=%C3%A9,3&microblogid=x%3D1,2&topic=&date=1700000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Reply reply;
        auto request = postAndWait(c.list, c.topic, reply);
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.appKey, kSocialAppKey);
        EXPECT_EQ(request.query, c.query);
        EXPECT_TRUE(request.body.empty());
        EXPECT_EQ(reply.result["st"], Value(200));
        EXPECT_FALSE(reply.error);
        EXPECT_TRUE(reply.onMainThread);
    }
}

TEST_F(SocialRequest, DateAfter2038KeepsAllDigits) {
    ScopedClock later([] { return 4102444800.0; });
    Reply reply;
    auto request = postAndWait(shares({TallySocialMicroblog::make("mblog", "m1", "u1")}), std::nullopt, reply);
    EXPECT_TRUE(request.query.ends_with("&date=4102444800")) << request.query;
}

TEST_F(SocialRequest, ExtraParametersMakeAPostWithTheLaterShareWinning) {
    LogCapture capture;
    setAnalyticsLogEnabled(true);
    Reply reply;
    auto request = postAndWait(shares({TallySocialMicroblog::make("mblog", "m1", "u1", Value::dictionary({{"k", "v"}})),
                                       TallySocialMicroblog::make("chat", "m2", "u2", Value::dictionary({{"a", 1}})),
                                       TallySocialMicroblog::make("mblog", "m3", "u3", Value::dictionary({{"k", "w"}}))}),
                               std::nullopt, reply);
    EXPECT_EQ(request.method, "POST");
    ASSERT_EQ(request.body.rfind("data=", 0), 0u);
    Value data = TLYUtils::JSONValue(request.body.substr(5));
    ASSERT_TRUE(data.isDictionary());
    EXPECT_EQ(data.dictionary().size(), 2u);
    EXPECT_EQ(data["mblog"]["k"], Value("w"));
    EXPECT_EQ(data["chat"]["a"], Value(1));
    setAnalyticsLogEnabled(false);
    EXPECT_EQ(capture.count("TLYLOG: (Social  Analytics param) "), 1u);
    EXPECT_EQ(capture.count("TLYLOG: (Social  Analytics) "), 1u);
}

TEST_F(SocialRequest, RefusedInputSendsNothingAndSays) {
    LogCapture capture;
    auto share = TallySocialMicroblog::make("", "m1", std::nullopt);
    EXPECT_EQ(capture.count("TallySocialAnalytics: 请提供分享平台名称"), 1u);
    EXPECT_EQ(share->description().find("usid"), std::string::npos);
    EXPECT_NE(share->description().find("microblogId"), std::string::npos);

    struct Case {
        Value list;
        std::optional<std::string> key;
        const char* message;
    };
    const std::vector<Case> cases{
        {Value(), kSocialAppKey, "请提供分享平台名称"},
        {Value(Array()), kSocialAppKey, "请提供分享平台名称"},
        {shares({share}), std::string(), "appKey 不能为空"},
        {shares({share}), std::nullopt, "appKey 不能为空"},
    };
    for (const auto& c : cases) {
        capture.clear();
        TallySocialAnalytics::postMicroblogCounts(c.list, c.key, std::nullopt, nullptr);
        EXPECT_EQ(capture.count(c.message), 1u) << c.message;
    }
    EXPECT_EQ(TallySocialAnalytics::sharedInstance()->operationQueue()->operationCount(), 0u);
    EXPECT_FALSE(TallySocialAnalytics::sharedInstance()->convertArrayToString(Value("not a list")));
    EXPECT_TRUE(service_.socialRequests().empty());
}

TEST_F(SocialRequest, AnElementThatIsNoShareEndsTheWalk) {
    LogCapture capture;
    Array list{Value(TallySocialMicroblog::make("mblog", "m1", "u1")), Value("text"),
               Value(TallySocialMicroblog::make("chat", "m2", "u2"))};
    Reply reply;
    auto request = postAndWait(Value(std::move(list)), std::nullopt, reply);
    EXPECT_EQ(capture.count("the element in microblogs must be TallySocialMicroblog object!"), 1u);
    EXPECT_NE(request.query.find("&platform=mblog&"), std::string::npos) << request.query;
}

TEST_F(SocialRequest, RepliesThatAreNoJsonOrNoReplyAtAll) {
    service_.setSocialReply(false);
    Reply text;
    postAndWait(shares({TallySocialMicroblog::make("mblog", "m1", "u1")}), std::nullopt, text);
    EXPECT_TRUE(text.result.isNil());
    EXPECT_FALSE(text.error);
    EXPECT_TRUE(text.onMainThread);

    service_.stop();
    Reply failed;
    TallySocialAnalytics::postMicroblogCounts(shares({TallySocialMicroblog::make("mblog", "m1", "u1")}), kSocialAppKey,
                                              std::nullopt, recordInto(failed, std::this_thread::get_id()));
    ASSERT_TRUE(runMainUntil([&] { return failed.calls > 0; }, 10));
    EXPECT_TRUE(failed.result.isNil());
    ASSERT_TRUE(failed.error);
    EXPECT_EQ(failed.error->domain(), "NSURLErrorDomain");
}

// A reply up to the bound is read; one byte more, or one that never ends, is the transport's -1103
// with no result, refused as it arrives (the service sees the client leave).
TEST_F(SocialRequest, RepliesPastTheBoundFailAsTheyArrive) {
    EXPECT_EQ(TallySocialOperation::kMaxReplyBytes, 1 << 20);
    const struct {
        const char* name;
        std::size_t padTo;
        bool endless;
        bool read;
    } cases[] = {{"at the bound", TallySocialOperation::kMaxReplyBytes, false, true},
                 {"one byte over", TallySocialOperation::kMaxReplyBytes + 1, false, false},
                 {"endless", 0, true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service_.setSocialReplySize(c.padTo, c.endless);
        Reply reply;
        postAndWait(shares({TallySocialMicroblog::make("mblog", "m1", "u1")}), std::nullopt, reply);
        if (c.read) {
            EXPECT_EQ(reply.result["st"], Value(200));
            EXPECT_FALSE(reply.error);
            continue;
        }
        EXPECT_TRUE(reply.result.isNil());
        ASSERT_TRUE(reply.error);
        EXPECT_EQ(reply.error->domain(), "NSURLErrorDomain");
        EXPECT_EQ(reply.error->code(), -1103);
    }
    ASSERT_TRUE(runMainUntil([&] { return service_.socialEndlessAbandoned() == 1; }, 10));
}

TEST_F(SocialRequest, TwoPostsInFlightEachReachTheirOwnCompletion) {
    service_.setSocialReply(true, 0.3);
    Reply first, second;
    const auto mainThread = std::this_thread::get_id();
    TallySocialAnalytics::postMicroblogCounts(shares({TallySocialMicroblog::make("mblog", "m1", "u1")}), kSocialAppKey,
                                              std::nullopt, recordInto(first, mainThread));
    TallySocialAnalytics::postMicroblogCounts(shares({TallySocialMicroblog::make("chat", "m2", "u2")}), kSocialAppKey,
                                              std::nullopt, recordInto(second, mainThread));
    ASSERT_TRUE(runMainUntil([&] { return first.calls + second.calls >= 2; }, 10));
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 1);
    EXPECT_EQ(service_.socialRequests().size(), 2u);
}

}  // namespace
}  // namespace lv
