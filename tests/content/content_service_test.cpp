// The content-service stand-in: the protocol (path, methods, fixture replies with the request's values
// written in, the time cursor), the request log and each misbehaviour, seen by a plain HTTP client.
#include <httplib.h>

#include <gtest/gtest.h>

#include "content_service.h"
#include "content_test_support.h"
#include "platform/storage/json.h"

namespace lv::test {
namespace {

using tools::ContentBehaviour;

class ContentService : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(service.start()); }

    httplib::Result post(const std::string& body) {
        httplib::Client client("127.0.0.1", service.port());
        client.set_read_timeout(5, 0);
        return client.Post("/api", body, "application/x-www-form-urlencoded");
    }
    static Value parse(const std::string& body) { return JSONSerialization::JSONObjectWithData(body, 0, nullptr); }

    tools::ContentService service{sourceDirectory() + "/tools/content-service/fixtures"};
};

TEST_F(ContentService, ServesEachActionsFixtureWithTheRequestsValuesWrittenIn) {
    struct Case {
        std::string body;
        std::string field;
        Value expected;
        std::size_t count;
    };
    const std::vector<Case> cases{
        {"action=newsList&cat=sports&time=", "cat_name", Value("sports"), 6},
        {"action=rank&site=naver&time=", "sid", Value(6), 5},
        {"action=taobao&store=food&time=&type=hot", "store", Value("food"), 3},
        {"action=microblog&gap=new&time=", "type", Value("new"), 3},
        {"action=video&time=&type=music", "type", Value("music"), 3},
        {"action=is_end=yes&time=&type=tv", "", Value(), 0},
        {"action=video&is_end=yes&time=&type=tv", "is_end", Value("yes"), 3},
        {"action=novel&time=&title=x", "", Value(), 3},
    };
    for (const auto& c : cases) {
        auto result = post(c.body);
        ASSERT_TRUE(result) << c.body;
        if (c.count == 0) {
            EXPECT_EQ(result->status, 404) << c.body;
            continue;
        }
        EXPECT_EQ(result->status, 200) << c.body;
        EXPECT_EQ(result->get_header_value("Content-Type"), "application/json") << c.body;
        Value reply = parse(result->body);
        ASSERT_TRUE(reply["mItems"].isArray()) << c.body;
        EXPECT_EQ(reply["mItems"].count(), c.count) << c.body;
        if (!c.field.empty()) {
            for (const auto& item : reply["mItems"].array()) EXPECT_EQ(item[c.field], c.expected) << c.body;
        }
    }
    // The drama list is the media fixture: its items carry "totalCount".
    EXPECT_TRUE(parse(post("action=video&is_end=no&time=&type=tv")->body)["mItems"][0]["totalCount"].isString());
}

TEST_F(ContentService, TheTimeCursorSelectsNewerItemsOrNull) {
    // Four news items were updated at 2015-03-05 09:07:02, two at 2015-03-04 22:15:00.
    struct Case {
        std::string body;
        Value::Type type;
        std::size_t count;
    };
    const std::vector<Case> cases{
        {"action=newsList&cat=ent&time=2015-03-05%2009%3A07%3A01", Value::Type::Array, 4},
        {"action=newsList&cat=ent&time=2015-3-4%2022%3A14%3A59", Value::Type::Array, 6},
        {"action=newsList&cat=ent&time=2015-03-05%2009%3A07%3A02", Value::Type::Null, 0},
        {"action=newsList&cat=ent&time=2015-3-5%2010%3A00%3A00", Value::Type::Null, 0},
        {"action=newsList&cat=ent&time=2015-03-05", Value::Type::Array, 4},
        {"action=microblog&gap=hot&time=2030-01-01%2000%3A00%3A00", Value::Type::Null, 0},
        {"action=checkUpdate&site=melon&time=2030-01-01%2000%3A00%3A00", Value::Type::Array, 1},
    };
    for (const auto& c : cases) {
        Value reply = parse(post(c.body)->body);
        ASSERT_EQ(reply["mItems"].type(), c.type) << c.body;
        EXPECT_EQ(reply["mItems"].count(), c.count) << c.body;
    }
}

TEST_F(ContentService, OnlyTheApiPathAndEachActionsMethodAnswer) {
    httplib::Client client("127.0.0.1", service.port());
    auto config = client.Get("/api?action=videoConfig&time=2015-03-05&version=1.0");
    ASSERT_TRUE(config);
    EXPECT_EQ(config->status, 200);
    EXPECT_EQ(parse(config->body)["mItems"][1]["name"], Value("version"));
    EXPECT_EQ(client.Get("/api?action=newsList&cat=ent&time=")->status, 400);
    EXPECT_EQ(client.Post("/api", "action=videoConfig", "application/x-www-form-urlencoded")->status, 400);
    EXPECT_EQ(client.Post("/other", "action=newsList", "application/x-www-form-urlencoded")->status, 404);

    auto log = service.requests();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].query, "action=videoConfig&time=2015-03-05&version=1.0");
    EXPECT_EQ(log[2].body, "action=videoConfig");
    EXPECT_EQ(log[2].contentType, "application/x-www-form-urlencoded");
    EXPECT_EQ(log[3].path, "/other");
    service.clearRequests();
    EXPECT_TRUE(service.requests().empty());
}

TEST_F(ContentService, BehavioursChangeOnlyTheirAction) {
    using Body = ContentBehaviour::Body;
    struct Case {
        ContentBehaviour behaviour;
        int status;
        std::string contentType;
        Value::Type items;  // Nil: the reply is not JSON or has no "mItems"
    };
    const std::vector<Case> cases{
        {{500, "application/json", 0, Body::Fixture, ""}, 500, "application/json", Value::Type::Array},
        {{200, "text/html", 0, Body::Fixture, ""}, 200, "text/html", Value::Type::Array},
        {{200, "application/json", 0, Body::Malformed, ""}, 200, "application/json", Value::Type::Nil},
        {{200, "application/json", 0, Body::NoItems, ""}, 200, "application/json", Value::Type::Nil},
        {{200, "application/json", 0, Body::Null, ""}, 200, "application/json", Value::Type::Null},
        {{200, "application/json", 0, Body::EmptyList, ""}, 200, "application/json", Value::Type::Array},
        {{200, "application/json", 0, Body::Fixture, "{\"mItems\":7}"}, 200, "application/json", Value::Type::Number},
    };
    for (const auto& c : cases) {
        service.setBehaviour("newsList", c.behaviour);
        auto result = post("action=newsList&cat=ent&time=");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, c.status);
        EXPECT_EQ(result->get_header_value("Content-Type"), c.contentType);
        EXPECT_EQ(parse(result->body)["mItems"].type(), c.items) << result->body;
        EXPECT_EQ(parse(post("action=rank&site=melon&time=")->body)["mItems"].count(), 5u);
    }
    service.setBehaviour("newsList", {200, "application/json", 0, Body::EmptyList, ""});
    EXPECT_EQ(parse(post("action=newsList&cat=ent&time=")->body)["mItems"].count(), 0u);
    service.resetBehaviours();
    EXPECT_EQ(parse(post("action=newsList&cat=ent&time=")->body)["mItems"].count(), 6u);
}

TEST_F(ContentService, CloseEarlySendsPartOfTheReplyAndDelayHoldsIt) {
    service.setBehaviour("newsList", {200, "application/json", 0, ContentBehaviour::Body::CloseEarly, ""});
    EXPECT_FALSE(post("action=newsList&cat=ent&time="));

    service.setBehaviour("rank", {200, "application/json", 0.3, ContentBehaviour::Body::Fixture, ""});
    auto started = std::chrono::steady_clock::now();
    auto result = post("action=rank&site=melon&time=");
    ASSERT_TRUE(result);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));
    EXPECT_EQ(result->status, 200);
}

// A client that takes gzip gets each reply compressed (the service keeps the last few compressed
// bodies): decoded, every reply is the one a plain client gets, however the bodies follow each other.
TEST_F(ContentService, GzipRepliesDecodeToThePlainReplyOfEachRequest) {
    httplib::Client plain("127.0.0.1", service.port());
    httplib::Client packed("127.0.0.1", service.port());
    packed.set_decompress(false);
    httplib::Client decoding("127.0.0.1", service.port());
    const httplib::Headers gzip{{"Accept-Encoding", "gzip, deflate"}};
    const std::vector<std::string> bodies{"action=newsList&cat=ent&time=", "action=rank&site=naver&time=",
                                          "action=newsList&cat=sports&time=", "action=newsList&cat=ent&time=",
                                          "action=taobao&store=food&time=&type=hot", "action=microblog&gap=new&time=",
                                          "action=video&time=&type=music", "action=rank&site=naver&time=",
                                          "action=newsList&cat=ent&time="};
    for (int round = 0; round < 2; ++round) {
        for (const std::string& body : bodies) {
            const std::string form = "application/x-www-form-urlencoded";
            auto expected = plain.Post("/api", body, form);
            auto raw = packed.Post("/api", gzip, body, form);
            auto decoded = decoding.Post("/api", gzip, body, form);
            ASSERT_TRUE(expected && raw && decoded) << body;
            EXPECT_EQ(expected->get_header_value("Content-Encoding"), "") << body;
            EXPECT_EQ(raw->get_header_value("Content-Encoding"), "gzip") << body;
            EXPECT_EQ(raw->get_header_value("Content-Type"), "application/json") << body;
            EXPECT_EQ(raw->body.substr(0, 2), std::string("\x1f\x8b", 2)) << body;
            EXPECT_EQ(decoded->body, expected->body) << body;
        }
        // A custom body in place of the fixture is compressed as itself.
        service.setBehaviour("rank", {200, "application/json", 0, ContentBehaviour::Body::Fixture, "{\"mItems\":[]}"});
    }
}

TEST(ContentServiceLifetime, StopEndsADelayedReplyAtOnce) {
    tools::ContentService service(sourceDirectory() + "/tools/content-service/fixtures");
    ASSERT_TRUE(service.start());
    service.setBehaviour("rank", {200, "application/json", 60, ContentBehaviour::Body::Fixture, ""});
    std::thread client([&] {
        httplib::Client c("127.0.0.1", service.port());
        c.Post("/api", "action=rank&site=melon&time=", "application/x-www-form-urlencoded");
    });
    while (service.requests().empty()) std::this_thread::yield();
    auto started = std::chrono::steady_clock::now();
    service.stop();
    client.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

}  // namespace
}  // namespace lv::test
