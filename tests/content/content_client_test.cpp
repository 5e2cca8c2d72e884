// The content client and the request processor end to end: the stand-in content service on 127.0.0.1
// (the content host mapped to it), the app's record stack over a real SQLite file read back through a
// connection of its own, and the callbacks' threads.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "content/api_processor.h"
#include "content/date_string.h"
#include "content/rest_api_helper.h"
#include "content_service.h"
#include "content_test_support.h"
#include "platform/base/log.h"
#include "platform/dispatch/thread.h"
#include "platform/net/host_map.h"
#include "platform/storage/bundle.h"
#include "platform/ui/application.h"

namespace lv::test {
namespace {

using tools::ContentBehaviour;
using Body = ContentBehaviour::Body;

// What one call delivered: the items or the error, and whether it ran on the main thread.
struct Outcome {
    std::mutex mutex;
    bool done = false;
    bool succeeded = false;
    bool onMain = false;
    Value items;
    Ref<Error> error;

    APISuccessBlock success() {
        return [this](const Value& value) { finish(true, value, nullptr); };
    }
    APIFailureBlock failure() {
        return [this](const Ref<Error>& e) { finish(false, Value(), e); };
    }
    void finish(bool ok, const Value& value, const Ref<Error>& e) {
        std::lock_guard lock(mutex);
        succeeded = ok;
        items = value;
        error = e;
        onMain = Thread::isMainThread();
        done = true;
    }
    bool isDone() {
        std::lock_guard lock(mutex);
        return done;
    }
    bool wait(double seconds = 15) { return runMainUntil([this] { return isDone(); }, seconds); }
};

ContentBehaviour behaving(Body body, int status = 200, std::string type = "application/json", double delay = 0,
                          std::string customBody = {}) {
    return {status, std::move(type), delay, body, std::move(customBody)};
}

class ContentClient : public AppStack {
protected:
    void SetUp() override {
        AppStack::SetUp();
        ASSERT_TRUE(service.start());
        HostMap::set(*URL::URLWithString(lv::RestAPIHelper::kContentServiceBaseURL)->host(), "127.0.0.1",
                     service.port());
        Bundle::setMainBundlePath(sourceDirectory() + "/bundle");
        Application::resetSharedApplication();
        setUpStack();
    }
    void TearDown() override {
        service.stop();
        HostMap::clear();
        AppStack::TearDown();
    }
    static Ref<lv::APIProcessor> processor() { return lv::APIProcessor::sharedAPIProcessor(); }
    // Loads news for the category and waits for the success on the main thread.
    void loadNews(const std::string& category, std::optional<Date> time = std::nullopt) {
        Outcome outcome;
        processor()->loadNewsWithCatname(category, time, outcome.success(), outcome.failure());
        ASSERT_TRUE(outcome.wait());
        ASSERT_TRUE(outcome.succeeded) << describe(outcome.error);
        EXPECT_TRUE(outcome.onMain);
    }
    std::string lastBody() const {
        auto log = service.requests();
        return log.empty() ? std::string() : log.back().body;
    }

    tools::ContentService service{sourceDirectory() + "/tools/content-service/fixtures"};
};

// 2015-03-05 00:07:02 UTC: 09:07:02 in Seoul, 16:07:02 the day before in Los Angeles.
const Date kCursor = Date::fromSince1970(1425514022);

class RestAPIHelper : public ContentClient {};
class APIProcessor : public ContentClient {};
class MainRoad : public ContentClient {};

TEST_F(RestAPIHelper, TwoPostsBackToBackTheFirstIsCancelled) {
    service.setBehaviour("newsList", behaving(Body::Fixture, 200, "application/json", 0.5));
    auto helper = makeRef<lv::RestAPIHelper>();
    Outcome first, second;
    helper->asyncRequestWithParams(Value::dictionary({{"action", "newsList"}, {"cat", "ent"}, {"time", ""}}),
                                   first.success(), first.failure());
    helper->asyncRequestWithParams(Value::dictionary({{"action", "rank"}, {"site", "melon"}, {"time", ""}}),
                                   second.success(), second.failure());
    ASSERT_TRUE(first.wait());
    ASSERT_TRUE(second.wait());
    ASSERT_FALSE(first.succeeded);
    EXPECT_EQ(first.error->domain(), "NSURLErrorDomain");
    EXPECT_EQ(first.error->code(), -999);
    EXPECT_FALSE(first.onMain);
    ASSERT_TRUE(second.succeeded) << describe(second.error);
    EXPECT_EQ(second.items["mItems"].count(), 5u);
    EXPECT_FALSE(second.onMain);
}

TEST_F(RestAPIHelper, TheIndicatorStaysOnWhileANewerRequestRuns) {
    service.setBehaviour("newsList", behaving(Body::Fixture, 200, "application/json", 5));
    service.setBehaviour("rank", behaving(Body::Fixture, 200, "application/json", 1));
    auto helper = makeRef<lv::RestAPIHelper>();
    auto application = Application::sharedApplication();
    Outcome first, second;
    helper->asyncRequestWithParams(Value::dictionary({{"action", "newsList"}, {"cat", "ent"}, {"time", ""}}),
                                   first.success(), first.failure());
    EXPECT_TRUE(application->isNetworkActivityIndicatorVisible());
    helper->asyncRequestWithParams(Value::dictionary({{"action", "rank"}, {"site", "melon"}, {"time", ""}}),
                                   second.success(), second.failure());
    ASSERT_TRUE(first.wait());
    drainMain();
    // The cancelled request has ended and hidden its share; the newer one still runs.
    EXPECT_FALSE(second.isDone());
    EXPECT_TRUE(application->isNetworkActivityIndicatorVisible());
    ASSERT_TRUE(second.wait());
    EXPECT_TRUE(runMainUntil([&] { return !application->isNetworkActivityIndicatorVisible(); }, 5));
}

TEST_F(RestAPIHelper, TheGetSetsFourSecondsAndThirtyOnceHandedOn) {
    auto helper = makeRef<lv::RestAPIHelper>();
    auto serializer = helper->networkOperation()->requestSerializer();
    Ref<Error> error;
    auto url = URL::URLWithString("api", helper->networkOperation()->baseURL())->absoluteString();
    // Before any GET a POST carries the loading layer's default.
    auto before = serializer->requestWithMethod("POST", url, Value::dictionary({}), &error);
    ASSERT_TRUE(before);
    EXPECT_EQ(before->timeoutInterval(), URLRequest().timeoutInterval());

    service.setBehaviour("videoConfig", behaving(Body::Fixture, 200, "application/json", 6));
    Outcome outcome;
    auto started = std::chrono::steady_clock::now();
    helper->asyncGetWithParams(Value::dictionary({{"action", "videoConfig"}, {"time", "2015-03-05"}, {"version", "1.0"}}),
                               outcome.success(), outcome.failure());
    EXPECT_EQ(serializer->timeoutInterval(), 4);
    ASSERT_TRUE(outcome.wait());
    const auto waited = std::chrono::steady_clock::now() - started;
    ASSERT_FALSE(outcome.succeeded);
    EXPECT_EQ(outcome.error->code(), -1001);
    EXPECT_GE(waited, std::chrono::milliseconds(3900));
    EXPECT_LT(waited, std::chrono::milliseconds(5900));
    EXPECT_TRUE(runMainUntil([&] { return serializer->timeoutInterval() == 30; }, 5));
    EXPECT_EQ(serializer->requestWithMethod("POST", url, Value::dictionary({}), &error)->timeoutInterval(), 30);
}

TEST_F(RestAPIHelper, TheSynchronousPostGivesNilWhenNothingAnswers) {
    service.stop();
    EXPECT_TRUE(makeRef<lv::RestAPIHelper>()->syncPostRequestWithParams(Value::dictionary({{"action", "rank"}})).isNil());
}

TEST_F(APIProcessor, EveryActionSendsItsExactRequestInTwoTimeZones) {
    struct Zone {
        const char* name;
        std::string serverTime, naverTime, hanteoDay;
    };
    const std::vector<Zone> zones{
        {"Asia/Seoul", "2015-03-05%2009%3A07%3A02", "2015-3-5%2009%3A07%3A02", "2015-03-05"},
        {"America/Los_Angeles", "2015-03-04%2016%3A07%3A02", "2015-3-4%2016%3A07%3A02", "2015-03-04"},
    };
    for (const auto& zone : zones) {
        DeviceSettings device(zone.name, "en_US");
        using Call = std::function<void(Outcome&)>;
        const std::vector<std::pair<Call, std::string>> calls{
            {[](Outcome& o) { processor()->loadMicroblogWithGap("hot", kCursor, o.success(), o.failure()); },
             "action=microblog&gap=hot&time=" + zone.serverTime},
            {[](Outcome& o) { processor()->loadTaobaoWithStore("beauty", "new", kCursor, o.success(), o.failure()); },
             "action=taobao&store=beauty&time=" + zone.serverTime + "&type=new"},
            {[](Outcome& o) { processor()->loadNewsWithCatname("ent", kCursor, o.success(), o.failure()); },
             "action=newsList&cat=ent&time=" + zone.serverTime},
            {[](Outcome& o) { processor()->loadToptenzWithSite("melon", kCursor, o.success(), o.failure()); },
             "action=rank&site=melon&time=" + zone.serverTime},
            {[](Outcome& o) { processor()->loadToptenzWithSite("naver", kCursor, o.success(), o.failure()); },
             "action=rank&site=naver&time=" + zone.naverTime},
            {[](Outcome& o) { processor()->loadToptenzWithSite("hanteo_day", kCursor, o.success(), o.failure()); },
             "action=rank&site=hanteo_day&time=" + zone.hanteoDay},
            {[](Outcome& o) { processor()->loadVideoWithType("teach", kCursor, o.success(), o.failure()); },
             "action=video&time=" + zone.serverTime + "&type=teach"},
            {[](Outcome& o) { processor()->loadMediaWithType("tv", false, kCursor, o.success(), o.failure()); },
             "action=video&is_end=no&time=" + zone.serverTime + "&type=tv"},
            {[](Outcome& o) { processor()->loadNovelsWithTitle("love", kCursor, o.success(), o.failure()); },
             "action=novel&time=" + zone.serverTime + "&title=love"},
            {[](Outcome& o) { processor()->checkToptenzUpdateWithSite("naver", kCursor, o.success(), o.failure()); },
             "action=checkUpdate&site=naver&time=" + zone.naverTime},
            {[](Outcome& o) { processor()->loadMediaWithType("tv", true, std::nullopt, o.success(), o.failure()); },
             "action=video&is_end=yes&time=&type=tv"},
        };
        for (const auto& [call, body] : calls) {
            Outcome outcome;
            call(outcome);
            ASSERT_TRUE(outcome.wait()) << body;
            EXPECT_TRUE(outcome.succeeded) << body << ": " << describe(outcome.error);
            auto request = service.requests().back();
            EXPECT_EQ(request.method, "POST");
            EXPECT_EQ(request.path, "/api");
            EXPECT_EQ(request.contentType, "application/x-www-form-urlencoded");
            EXPECT_EQ(request.body, body) << zone.name;
        }
        Outcome config;
        processor()->videoConfigSuccess(config.success(), config.failure());
        ASSERT_TRUE(config.wait());
        EXPECT_FALSE(config.onMain);
        EXPECT_EQ(config.items.count(), 2u);
        auto request = service.requests().back();
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.query, "action=videoConfig&time=" + DateString::yearMonthDayString(Date::now()) + "&version=1.0");
    }
}

TEST_F(APIProcessor, NewsStoresEachMsgIdOnceAndSkipsItemsStoredUnderAnotherCategory) {
    // The four newest items (msgId 1001, 1002, 1003, 1002 again) under "sports", then all six under "ent".
    DeviceSettings device("Asia/Seoul", "en_US");
    loadNews("sports", kCursor.adding(-1));
    EXPECT_EQ(column("News", "msgId", "cat_name = 'sports'"), (std::vector<std::string>{"1001", "1002", "1003"}));
    loadNews("ent");
    EXPECT_EQ(column("News", "msgId", "cat_name = 'ent'"), (std::vector<std::string>{"1004", "1005"}));
    EXPECT_EQ(column("News", "msgId").size(), 5u);
}

TEST_F(APIProcessor, RepliesThatReplaceNothingKeepTheCache) {
    DeviceSettings device("Asia/Seoul", "en_US");
    loadNews("ent");
    const auto stored = column("News", "msgId");
    ASSERT_EQ(stored.size(), 5u);
    struct Case {
        ContentBehaviour behaviour;
        Value::Type items;  // what the success block receives
        bool logged;
    };
    const std::vector<Case> cases{
        {behaving(Body::Null), Value::Type::Null, false},
        {behaving(Body::NoItems), Value::Type::Nil, true},
        {behaving(Body::Fixture, 200, "application/json", 0, "[{\"mItems\":[]}]"), Value::Type::Nil, true},
        {behaving(Body::Fixture, 200, "application/json", 0, "{\"mItems\":\"none\"}"), Value::Type::Nil, true},
        {behaving(Body::Fixture, 200, "application/json", 0, "{\"mItems\":{\"a\":1}}"), Value::Type::Nil, true},
    };
    for (const auto& c : cases) {
        service.setBehaviour("newsList", c.behaviour);
        LogCapture capture;
        Outcome outcome;
        processor()->loadNewsWithCatname("ent", std::nullopt, outcome.success(), outcome.failure());
        ASSERT_TRUE(outcome.wait());
        ASSERT_TRUE(outcome.succeeded) << c.behaviour.customBody << describe(outcome.error);
        EXPECT_TRUE(outcome.onMain);
        EXPECT_EQ(outcome.items.type(), c.items) << c.behaviour.customBody;
        EXPECT_EQ(column("News", "msgId"), stored) << c.behaviour.customBody;
        EXPECT_EQ(capture.lines().size(), c.logged ? 1u : 0u) << c.behaviour.customBody;
    }
}

TEST_F(APIProcessor, FailuresPassTheErrorOnAndKeepTheCache) {
    loadNews("ent");
    const auto stored = column("News", "msgId");
    const std::vector<std::pair<ContentBehaviour, int>> cases{
        {behaving(Body::Fixture, 500), -1011},
        {behaving(Body::Fixture, 200, "text/html"), -1016},
        {behaving(Body::Malformed), 3840},
        {behaving(Body::CloseEarly), 0},
    };
    for (const auto& [behaviour, code] : cases) {
        service.setBehaviour("newsList", behaviour);
        Outcome outcome;
        processor()->loadNewsWithCatname("ent", std::nullopt, outcome.success(), outcome.failure());
        ASSERT_TRUE(outcome.wait());
        ASSERT_FALSE(outcome.succeeded) << code;
        EXPECT_FALSE(outcome.onMain);
        if (code != 0) {
            EXPECT_EQ(outcome.error->code(), code) << describe(outcome.error);
        }
        drainMain();
        EXPECT_EQ(column("News", "msgId"), stored) << code;
    }
}

TEST_F(APIProcessor, AnEmptyListClearsTheCategoryAndSaves) {
    loadNews("ent");
    loadNews("sports");
    service.setBehaviour("newsList", behaving(Body::EmptyList));
    Outcome outcome;
    processor()->loadNewsWithCatname("ent", std::nullopt, outcome.success(), outcome.failure());
    ASSERT_TRUE(outcome.wait());
    ASSERT_TRUE(outcome.items.isArray());
    EXPECT_EQ(outcome.items.count(), 0u);
    EXPECT_TRUE(column("News", "msgId", "cat_name = 'ent'").empty());
}

TEST_F(APIProcessor, UnmappableItemsAreSkippedAndSortWeightKeepsTheReplyIndex) {
    Array items = fixtureItems("microblog");
    ASSERT_EQ(items.size(), 3u);
    Array reply{items[0], Value("not an item"), items[1], Value::dictionary({{"text", 12}}), items[2]};
    auto body = JSONSerialization::stringWithJSONObject(Value::dictionary({{"mItems", Value(reply)}}), 0, nullptr);
    service.setBehaviour("microblog", behaving(Body::Fixture, 200, "application/json", 0, *body));
    LogCapture capture;
    Outcome outcome;
    processor()->loadMicroblogWithGap("hot", std::nullopt, outcome.success(), outcome.failure());
    ASSERT_TRUE(outcome.wait());
    ASSERT_TRUE(outcome.succeeded);
    EXPECT_EQ(column("Microblog", "sortWeight"), (std::vector<std::string>{"0", "2", "4"}));
    EXPECT_EQ(capture.lines().size(), 2u);
}

TEST_F(APIProcessor, ServerOrderNovelDescriptionsAndTheVideoClear) {
    struct Case {
        std::function<void(Outcome&)> call;
        std::string entity, attribute;
        std::vector<std::string> values;
    };
    const std::vector<Case> cases{
        {[](Outcome& o) { processor()->loadMicroblogWithGap("hot", std::nullopt, o.success(), o.failure()); },
         "Microblog", "sortWeight", {"0", "1", "2"}},
        {[](Outcome& o) { processor()->loadMediaWithType("tv", false, std::nullopt, o.success(), o.failure()); },
         "Teleplay", "sortWeight", {"0", "1", "2"}},
        {[](Outcome& o) { processor()->loadVideoWithType("music", std::nullopt, o.success(), o.failure()); },
         "Video", "type", {"music", "music", "music"}},
        // A video request clears the videos of its own type: the music ones stay.
        {[](Outcome& o) { processor()->loadVideoWithType("teach", std::nullopt, o.success(), o.failure()); },
         "Video", "sortWeight", {"0", "0", "1", "1", "2", "2"}},
        {[](Outcome& o) { processor()->loadToptenzWithSite("melon", std::nullopt, o.success(), o.failure()); },
         "Toptenz", "rank", {"1", "2", "3", "4"}},
    };
    for (const auto& c : cases) {
        Outcome outcome;
        c.call(outcome);
        ASSERT_TRUE(outcome.wait());
        ASSERT_TRUE(outcome.succeeded) << c.entity << describe(outcome.error);
        EXPECT_EQ(column(c.entity, c.attribute), c.values) << c.entity;
    }
    LogCapture capture;
    Outcome novels;
    processor()->loadNovelsWithTitle("love", std::nullopt, novels.success(), novels.failure());
    ASSERT_TRUE(novels.wait());
    EXPECT_EQ(column("Novel", "novel_desc", "novel_desc IS NULL").size(), 1u);
    EXPECT_EQ(column("Novel", "novel_desc", "novel_desc IS NOT NULL").size(), 2u);
    EXPECT_EQ(capture.lines().size(), 3u);
}

TEST_F(MainRoad, EveryListReachesTheFileThroughTheStandIn) {
    using Call = std::function<void(Outcome&)>;
    const std::vector<std::pair<Call, std::pair<std::string, std::size_t>>> calls{
        {[](Outcome& o) { processor()->loadMicroblogWithGap("hot", std::nullopt, o.success(), o.failure()); }, {"Microblog", 3}},
        {[](Outcome& o) { processor()->loadTaobaoWithStore("beauty", "new", std::nullopt, o.success(), o.failure()); }, {"Taobao", 3}},
        {[](Outcome& o) { processor()->loadNewsWithCatname("ent", std::nullopt, o.success(), o.failure()); }, {"News", 5}},
        {[](Outcome& o) { processor()->loadToptenzWithSite("melon", std::nullopt, o.success(), o.failure()); }, {"Toptenz", 4}},
        {[](Outcome& o) { processor()->loadVideoWithType("teach", std::nullopt, o.success(), o.failure()); }, {"Video", 3}},
        {[](Outcome& o) { processor()->loadMediaWithType("tv", false, std::nullopt, o.success(), o.failure()); }, {"Teleplay", 3}},
        {[](Outcome& o) { processor()->loadNovelsWithTitle("love", std::nullopt, o.success(), o.failure()); }, {"Novel", 3}},
    };
    for (const auto& [call, expected] : calls) {
        Outcome outcome;
        call(outcome);
        ASSERT_TRUE(outcome.wait());
        ASSERT_TRUE(outcome.succeeded) << expected.first << describe(outcome.error);
        EXPECT_TRUE(outcome.onMain);
        EXPECT_TRUE(outcome.items.isArray());
        EXPECT_EQ(rawTexts(storePath(), "SELECT COUNT(*) FROM \"" + expected.first + "\""),
                  std::vector<std::string>{std::to_string(expected.second)})
            << expected.first;
    }
    // A second round replaces each list instead of adding to it.
    Outcome again;
    processor()->loadNewsWithCatname("ent", std::nullopt, again.success(), again.failure());
    ASSERT_TRUE(again.wait());
    EXPECT_EQ(rawTexts(storePath(), "SELECT COUNT(*) FROM \"News\""), std::vector<std::string>{"5"});
}

}  // namespace
}  // namespace lv::test
