// The content client and the request processor end to end: the stand-in content service on 127.0.0.1
// (the content host mapped to it), the app's record stack over a real SQLite file read back through a
// connection of its own, and the callbacks' threads.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <regex>

#include "content/api_processor.h"
#include "content/content_models.h"
#include "content/content_records.h"
#include "content/date_string.h"
#include "content/rest_api_helper.h"
#include "content_service.h"
#include "content_test_support.h"
#include "platform/base/log.h"
#include "platform/data/errors.h"
#include "platform/data/predicate.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/thread.h"
#include "platform/net/host_map.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/bundle.h"
#include "platform/storage/sandbox.h"
#include "platform/storage/user_defaults.h"
#include "platform/ui/application.h"
#include "support/child_process.h"
#include "support/scoped_env.h"
#include "support/scoped_resolver.h"

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
    // Two refreshes of "ent" with three new items each: each replaces the category's rows, in the
    // file and in the default context.
    void refreshEntTwiceWithNewItems();
    // The next news replies: `count` items of the fixture's news, each with its own "msgId" and a
    // title of `titleLength` characters.
    void serveBigNewsReply(int count, std::size_t titleLength);
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
    // Timed out before the reply, which comes after 6 s: the four seconds, not the thirty (a bound
    // above on the wait would only measure how loaded the machine is).
    EXPECT_EQ(outcome.error->code(), -1001);
    EXPECT_GE(waited, std::chrono::milliseconds(3900));
    EXPECT_TRUE(runMainUntil([&] { return serializer->timeoutInterval() == 30; }, 5));
    EXPECT_EQ(serializer->requestWithMethod("POST", url, Value::dictionary({}), &error)->timeoutInterval(), 30);
}

TEST_F(RestAPIHelper, EveryRequestCarriesTheReplyBoundAndAResourceTimeOut) {
    auto helper = makeRef<lv::RestAPIHelper>();
    auto serializer = helper->networkOperation()->requestSerializer();
    const auto url = URL::URLWithString("api", helper->networkOperation()->baseURL())->absoluteString();
    // The loading layer's default idle time-out, the GET's 4 seconds and the 30 seconds after it.
    const std::vector<std::pair<std::optional<double>, double>> cases{{std::nullopt, 120}, {4, 16}, {30, 120}};
    for (const auto& [timeout, resource] : cases) {
        if (timeout) serializer->setTimeoutInterval(*timeout);
        for (const char* method : {"GET", "POST"}) {
            Ref<Error> error;
            const auto request = serializer->requestWithMethod(method, url, Value::dictionary({{"action", "rank"}}), &error);
            ASSERT_TRUE(request) << describe(error);
            EXPECT_EQ(request->maximumResponseBodySize(), 8 * 1024 * 1024) << method;
            EXPECT_EQ(request->resourceTimeoutInterval(), resource) << method;
        }
    }
}

TEST_F(RestAPIHelper, AReplyPastTheBoundFailsAndKeepsTheCache) {
    loadNews("ent");
    const auto stored = column("News", "msgId");
    ASSERT_FALSE(stored.empty());
    // A valid empty list padded past 8 MiB: read whole, it would empty the category.
    service.setBehaviour("newsList", behaving(Body::Fixture, 200, "application/json", 0,
                                              "{\"mItems\": [" + std::string(9 * 1024 * 1024, ' ') + "]}"));
    Outcome outcome;
    processor()->loadNewsWithCatname("ent", std::nullopt, outcome.success(), outcome.failure());
    ASSERT_TRUE(outcome.wait());
    ASSERT_FALSE(outcome.succeeded);
    EXPECT_EQ(outcome.error->code(), -1103) << describe(outcome.error);
    drainMain();
    EXPECT_EQ(column("News", "msgId"), stored);
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
        UserDefaults::standardUserDefaults()->removeObjectForKey(kServiceTimeZoneKey);  // a device in this zone from the start
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

// The store keeps instants; the cursor is written in the zone the service's texts were read in, so a
// zone change between two loads (either way) still sends the newest text received. Rows stored before
// a zone was remembered were read in the device's zone, which the next stored reply remembers.
TEST_F(APIProcessor, AZoneChangeBetweenLoadsSendsTheNewestTextReceived) {
    struct Case {
        const char* first;
        const char* second;
        bool storedBeforeRemembering;
    };
    const std::vector<Case> cases{{"America/Los_Angeles", "Asia/Seoul", false},
                                  {"Asia/Seoul", "America/Los_Angeles", false},
                                  {"Asia/Seoul", "Pacific/Kiritimati", true}};
    const auto newestCursor = [this] {
        std::optional<Date> newest;
        for (const auto& record : readBack("News", "update_time")) {
            const Value time = record->valueForKey("update_time");
            if (const Date* date = time.date(); date && (!newest || *newest < *date)) newest = *date;
        }
        return lv::APIProcessor::timeCursor(newest);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " then " + c.second);
        UserDefaults::standardUserDefaults()->removeObjectForKey(kServiceTimeZoneKey);
        {
            DeviceSettings device(c.first, "en_US");
            loadNews("ent");
            if (c.storedBeforeRemembering) {
                UserDefaults::standardUserDefaults()->removeObjectForKey(kServiceTimeZoneKey);
                EXPECT_EQ(newestCursor(), "2015-03-05 09:07:02");
                loadNews("ent", kCursor.adding(-1));  // the first reply stored since: the zone is remembered
            }
        }
        DeviceSettings device(c.second, "en_US");
        EXPECT_EQ(newestCursor(), "2015-03-05 09:07:02");
        Outcome outcome;
        processor()->loadNewsWithCatname("ent", std::nullopt, outcome.success(), outcome.failure());
        ASSERT_TRUE(outcome.wait());
        drainMain();
        EXPECT_EQ(newestCursor(), "2015-03-05 09:07:02");
    }
    // Device zones whose names read back as no zone or another one ("HST" is also the table's
    // abbreviation of Honolulu; a rule from TZ) are remembered as their offsets.
    for (const char* tz : {"HST", "JST-9"}) {
        SCOPED_TRACE(tz);
        UserDefaults::standardUserDefaults()->removeObjectForKey(kServiceTimeZoneKey);
        {
            const test::ScopedEnv zone("TZ", tz);
            loadNews("ent");
        }
        DeviceSettings device("America/Los_Angeles", "en_US");
        EXPECT_EQ(newestCursor(), "2015-03-05 09:07:02");
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

// A reply body with the items; a "@@" text value is replaced by the raw JSON number given.
std::string replyWith(const Array& items, const std::string& rawNumber = {}) {
    auto body = JSONSerialization::stringWithJSONObject(Value::dictionary({{"mItems", Value(items)}}), 0, nullptr);
    std::string text = body ? *body : std::string();
    if (const auto at = text.find("\"@@\""); at != std::string::npos) text.replace(at, 4, rawNumber);
    return text;
}

void ContentClient::serveBigNewsReply(int count, std::size_t titleLength) {
    Array big;
    const Array news = fixtureItems("newsList");
    for (int i = 0; i < count; ++i) {
        Value item = news[static_cast<std::size_t>(i) % news.size()];
        item.mutableDictionary().set("msgId", Value("big" + std::to_string(i)));
        item.mutableDictionary().set("title", Value(std::string(titleLength, 'x')));
        big.push_back(item);
    }
    service.setBehaviour("newsList", behaving(Body::Fixture, 200, "application/json", 0, replyWith(big)));
}

void ContentClient::refreshEntTwiceWithNewItems() {
    for (const std::string round : {"a", "b"}) {
        Array fresh;
        for (int i = 0; i < 3; ++i) {
            Value item = fixtureItems("newsList")[static_cast<std::size_t>(i)];
            item.mutableDictionary().set("msgId", Value(round + std::to_string(i)));
            fresh.push_back(item);
        }
        service.setBehaviour("newsList", behaving(Body::Fixture, 200, "application/json", 0, replyWith(fresh)));
        loadNews("ent");
        const std::vector<std::string> expected{round + "0", round + "1", round + "2"};
        EXPECT_EQ(column("News", "msgId", "cat_name = 'ent'"), expected);
        auto shown = News::RS_findAllWithPredicate(Predicate::format("cat_name = %@", nullptr, "ent"), RS_defaultContext());
        ASSERT_TRUE(shown);
        EXPECT_EQ(shown->size(), 3u);
    }
}

TEST_F(APIProcessor, AnItemTheStoreCannotHoldIsSkippedAndTheRestStored) {
    // Counts no 64-bit integer holds, each in the middle item of three, one after the other in one
    // process: every reply stores its two good items, and every later load still saves.
    const Array items = fixtureItems("video");
    ASSERT_EQ(items.size(), 3u);
    for (const std::string number : {"1.5e19", "18446744073709551615", "1e300", "-1e300", "9223372036854775808"}) {
        Array reply = items;
        reply[1].mutableDictionary().set("playCount", Value("@@"));
        service.setBehaviour("video", behaving(Body::Fixture, 200, "application/json", 0, replyWith(reply, number)));
        LogCapture capture;
        Outcome outcome;
        processor()->loadVideoWithType("teach", std::nullopt, outcome.success(), outcome.failure());
        ASSERT_TRUE(outcome.wait());
        ASSERT_TRUE(outcome.succeeded) << number << describe(outcome.error);
        EXPECT_EQ(column("Video", "sortWeight"), (std::vector<std::string>{"0", "2"})) << number;
        EXPECT_EQ(column("Video", "playCount"), (std::vector<std::string>{"3456", "15890"})) << number;
        ASSERT_EQ(capture.lines().size(), 1u) << number;  // the skipped item, once
        EXPECT_NE(capture.lines()[0].find("item 1 skipped"), std::string::npos) << capture.lines()[0];
        EXPECT_FALSE(RS_defaultContext()->hasChanges()) << number;
    }
    loadNews("ent");
    EXPECT_EQ(rawTexts(storePath(), "SELECT COUNT(*) FROM News"), std::vector<std::string>{"5"});
}

TEST_F(APIProcessor, WideCountsRanksAndPricesReachTheFileWhole) {
    // Chart ranks are compared as 64-bit numbers: 4294967297 is not rank 1, and a rank past 2^31 sent
    // twice is stored once. A drama's count of 3000000000 and a price of 22 digits are stored as they are.
    const Array charts = fixtureItems("rank");
    Array ranks;
    for (const std::int64_t rank : {std::int64_t{1}, std::int64_t{4294967297}, std::int64_t{2147483649}, std::int64_t{2147483649}}) {
        Value item = charts[0];
        item.mutableDictionary().set("rank", Value(rank));
        ranks.push_back(item);
    }
    service.setBehaviour("rank", behaving(Body::Fixture, 200, "application/json", 0, replyWith(ranks)));
    Outcome chart;
    processor()->loadToptenzWithSite("melon", std::nullopt, chart.success(), chart.failure());
    ASSERT_TRUE(chart.wait());
    ASSERT_TRUE(chart.succeeded) << describe(chart.error);
    EXPECT_EQ(column("Toptenz", "rank"), (std::vector<std::string>{"1", "2147483649", "4294967297"}));

    Value drama = Value::dictionary({{"titleCn", "长剧"}, {"type", "tv"}, {"is_end", "no"}, {"totalCount", "3000000000"}});
    service.setBehaviour("video", behaving(Body::Fixture, 200, "application/json", 0, replyWith(Array{drama})));
    Outcome media;
    processor()->loadMediaWithType("tv", false, std::nullopt, media.success(), media.failure());
    ASSERT_TRUE(media.wait());
    ASSERT_TRUE(media.succeeded) << describe(media.error);
    EXPECT_EQ(column("Teleplay", "totalCount"), std::vector<std::string>{"3000000000"});

    Value product = fixtureItems("taobao")[0];
    product.mutableDictionary().set("price", Value("123456789012345678901.5"));
    product.mutableDictionary().set("type", Value("new"));
    product.mutableDictionary().set("store", Value("beauty"));
    service.setBehaviour("taobao", behaving(Body::Fixture, 200, "application/json", 0, replyWith(Array{product})));
    Outcome shop;
    processor()->loadTaobaoWithStore("beauty", "new", std::nullopt, shop.success(), shop.failure());
    ASSERT_TRUE(shop.wait());
    ASSERT_TRUE(shop.succeeded) << describe(shop.error);
    EXPECT_EQ(rawTexts(storePath(), "SELECT typeof(price) || ' ' || price FROM Taobao"),
              std::vector<std::string>{"text 123456789012345678901.5"});
    auto stored = readBack("Taobao", "price");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]->valueForKey("price"), Value(*Decimal::parse("123456789012345678901.5")));
}

TEST_F(APIProcessor, KnownItemsAreTheOnesAFetchPerItemWouldFind) {
    // The known-item test is answered from one fetch after the truncation and the keys of what the
    // reply stores; it must agree with a fetch per item: a record of another category is known, one of
    // the refreshed category is not (it is being replaced), an item repeated in the reply is stored
    // once, and an item without a key is never known (each is a record of its own).
    auto load = [&](const std::string& category, const std::vector<Value>& ids) {
        Array items;
        for (const Value& id : ids) {
            Value item = fixtureItems("newsList")[0];
            item.mutableDictionary().set("cat_name", Value(category));
            if (id.isNil()) {
                item.mutableDictionary().remove("msgId");
            } else {
                item.mutableDictionary().set("msgId", id);
            }
            items.push_back(item);
        }
        service.setBehaviour("newsList", behaving(Body::Fixture, 200, "application/json", 0, replyWith(items)));
        loadNews(category);
    };
    load("kpop", {Value("k1")});
    load("ent", {Value("e1"), Value("e2")});
    load("ent", {Value("e1"), Value("k1"), Value("n1"), Value("n1"), Value(), Value(), Value("n2")});
    auto ids = [&](const std::string& category) {
        return rawTexts(storePath(), "SELECT coalesce(msgId, '-') FROM News WHERE cat_name = '" + category +
                                         "' ORDER BY 1");
    };
    EXPECT_EQ(ids("ent"), (std::vector<std::string>{"-", "-", "e1", "n1", "n2"}));
    EXPECT_EQ(ids("kpop"), std::vector<std::string>{"k1"});
}

TEST_F(APIProcessor, KnownItemsAmongHundredsOfKeysAreTheOnesAFetchPerItemWouldFind) {
    // Hundreds of keys, so the known-key table's places collide and its probe runs grow: each item is
    // still known exactly when a fetch for its msgId would find a record (another category's, or one
    // this reply stored before it), and each one stored appears once.
    auto load = [&](const std::string& category, const std::vector<std::string>& ids) {
        Array items;
        for (const std::string& id : ids) {
            Value item = fixtureItems("newsList")[0];
            item.mutableDictionary().set("cat_name", Value(category));
            item.mutableDictionary().set("msgId", Value(id));
            items.push_back(item);
        }
        service.setBehaviour("newsList", behaving(Body::Fixture, 200, "application/json", 0, replyWith(items)));
        loadNews(category);
    };
    auto ids = [&](const std::string& category) {
        return rawTexts(storePath(), "SELECT msgId FROM News WHERE cat_name = '" + category + "' ORDER BY 1");
    };
    std::vector<std::string> kpop;
    std::vector<std::string> ent;
    for (int i = 0; i < 200; ++i) kpop.push_back("k" + std::to_string(i));
    for (int i = 0; i < 300; ++i) ent.push_back("e" + std::to_string(i));
    load("kpop", kpop);
    load("ent", ent);
    std::vector<std::string> reply;
    std::vector<std::string> expected;
    for (int i = 0; i < 200; i += 3) reply.push_back("k" + std::to_string(i));  // known: kpop keeps them
    for (int i = 0; i < 300; i += 2) {
        reply.push_back("e" + std::to_string(i));  // the category is replaced: stored again
        expected.push_back("e" + std::to_string(i));
    }
    for (int i = 0; i < 150; ++i) {
        reply.push_back("n" + std::to_string(i));
        reply.push_back("n" + std::to_string(i));  // the second is known: stored once
        expected.push_back("n" + std::to_string(i));
    }
    load("ent", reply);
    std::sort(expected.begin(), expected.end());
    std::sort(kpop.begin(), kpop.end());
    EXPECT_EQ(ids("ent"), expected);
    EXPECT_EQ(ids("kpop"), kpop);
}

TEST_F(APIProcessor, TheRequestSetsEveryItemsCategoryWhateverTheirOtherKeys) {
    // The category is the request's on each item, its "cat_name" absent, null or another, as the keys
    // before it in the item come and go from one item to the next.
    struct Item {
        const char* msgId;
        std::vector<std::pair<const char*, Value>> extra;  // other keys, some sorting before "cat_name"
        std::optional<Value> category;                      // nothing: absent
        const char* stored;
    };
    const std::vector<Item> items = {
        {"i1", {}, Value("other"), "ent"},
        {"i2", {}, std::nullopt, "ent"},
        {"i3", {{"aaa", Value("x")}}, Value::null(), "ent"},
        {"i4", {{"aaa", Value("x")}, {"abc", Value(1)}}, Value("second"), "ent"},
        {"i5", {{"aaa", Value("x")}}, std::nullopt, "ent"},
        {"i6", {{"aaa", Value("cat")}, {"abc", Value(2)}}, std::nullopt, "ent"},
        {"i7", {}, Value("ent"), "ent"},
    };
    Array reply;
    std::vector<std::string> expected;
    for (const Item& i : items) {
        Value item = fixtureItems("newsList")[0];
        item.mutableDictionary().remove("cat_name");
        item.mutableDictionary().set("msgId", Value(i.msgId));
        for (const auto& [key, value] : i.extra) item.mutableDictionary().set(key, value);
        if (i.category) item.mutableDictionary().set("cat_name", *i.category);
        reply.push_back(item);
        expected.push_back(std::string(i.msgId) + " " + i.stored);
    }
    service.setBehaviour("newsList", behaving(Body::Fixture, 200, "application/json", 0, replyWith(reply)));
    loadNews("ent");
    EXPECT_EQ(rawTexts(storePath(), "SELECT msgId || ' ' || cat_name FROM News ORDER BY msgId"), expected);
}

TEST_F(APIProcessor, KnownChartItemsAreTheOnesAFetchPerItemWouldFind) {
    // A chart item is known when a record has its site and its rank: another site's record of the same
    // rank is not, nor is a record of the site being replaced; an item naming another site's number is
    // the requested site's; a rank repeated in the reply is stored once.
    struct Item {
        const char* title;
        std::int64_t rank;
        std::optional<std::int64_t> sid;  // nothing: the site's number is filled in
    };
    auto load = [&](const std::string& site, const std::vector<Item>& items) {
        Array reply;
        for (const Item& i : items) {
            Value item = fixtureItems("rank")[0];
            item.mutableDictionary().set("title", Value(i.title));
            item.mutableDictionary().set("rank", Value(i.rank));
            if (i.sid) {
                item.mutableDictionary().set("sid", Value(*i.sid));
            } else {
                item.mutableDictionary().remove("sid");
            }
            reply.push_back(item);
        }
        service.setBehaviour("rank", behaving(Body::Fixture, 200, "application/json", 0, replyWith(reply)));
        Outcome outcome;
        processor()->loadToptenzWithSite(site, std::nullopt, outcome.success(), outcome.failure());
        ASSERT_TRUE(outcome.wait());
        ASSERT_TRUE(outcome.succeeded) << describe(outcome.error);
    };
    load("melon", {{"m1", 1, {}}, {"m2", 2, {}}});  // site 4
    load("bugs", {{"old", 1, {}}});                 // site 5, replaced below
    load("bugs", {{"b1", 1, {}}, {"b1 again", 1, {}}, {"b2", 2, {}}, {"melon's 2", 2, 4}, {"melon's 7", 7, 4},
                  {"b3", 3, {}}, {"old", 1, {}}});
    EXPECT_EQ(rawTexts(storePath(), "SELECT sid || ' ' || rank || ' ' || title FROM Toptenz ORDER BY sid, rank, title"),
              (std::vector<std::string>{"4 1 m1", "4 2 m2", "5 1 b1", "5 2 b2", "5 3 b3", "5 7 melon's 7"}));
}

TEST_F(APIProcessor, AListWithNoStorableItemKeepsTheCategoryAndFails) {
    loadNews("ent");
    const auto stored = column("News", "msgId");
    ASSERT_EQ(stored.size(), 5u);
    Array reply{Value::dictionary({{"title", 12}}), Value("not an item")};
    service.setBehaviour("newsList", behaving(Body::Fixture, 200, "application/json", 0, replyWith(reply)));
    Outcome outcome;
    processor()->loadNewsWithCatname("ent", std::nullopt, outcome.success(), outcome.failure());
    ASSERT_TRUE(outcome.wait());
    ASSERT_FALSE(outcome.succeeded);
    EXPECT_FALSE(outcome.onMain);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain(), "JMTransformerErrorHandlingErrorDomain") << describe(outcome.error);
    drainMain();
    EXPECT_EQ(column("News", "msgId"), stored);
    EXPECT_FALSE(RS_defaultContext()->hasChanges());
}

TEST_F(APIProcessor, ARefreshReachesTheFileInOneTransaction) {
    // Every commit of the file during a refresh leaves the category with its old rows or its new ones,
    // never without rows: the deletion and the new records are written together.
    using Call = std::function<void(Outcome&)>;
    struct Case {
        std::string entity, where;
        Call call;
    };
    const std::vector<Case> cases{
        {"News", "cat_name = 'ent'", [](Outcome& o) { processor()->loadNewsWithCatname("ent", std::nullopt, o.success(), o.failure()); },},
        {"Video", "type = 'teach'", [](Outcome& o) { processor()->loadVideoWithType("teach", std::nullopt, o.success(), o.failure()); }},
        {"Toptenz", "sid = 4", [](Outcome& o) { processor()->loadToptenzWithSite("melon", std::nullopt, o.success(), o.failure()); },},
    };
    for (const auto& c : cases) {
        Outcome first;
        c.call(first);
        ASSERT_TRUE(first.wait());
        ASSERT_TRUE(first.succeeded) << c.entity;
        const std::string count = "SELECT COUNT(*) FROM \"" + c.entity + "\" WHERE " + c.where;
        const auto before = rawTexts(storePath(), count);
        ASSERT_NE(before, std::vector<std::string>{"0"}) << c.entity;

        std::mutex mutex;
        std::vector<std::vector<std::string>> atCommits;
        const int observer = 0;
        NotificationCenter::defaultCenter()->addObserver(
            &observer, kManagedObjectContextDidSaveNotification, RS_rootSavingContext(), [&](const Notification&) {
                auto rows = rawTexts(storePath(), count);
                std::lock_guard lock(mutex);
                atCommits.push_back(rows);
            });
        Outcome again;
        c.call(again);
        const bool done = again.wait();
        NotificationCenter::defaultCenter()->removeObserver(&observer);
        ASSERT_TRUE(done);
        ASSERT_TRUE(again.succeeded) << c.entity;
        std::lock_guard lock(mutex);
        ASSERT_EQ(atCommits.size(), 1u) << c.entity;
        EXPECT_EQ(atCommits[0], before) << c.entity;  // the same reply again: as many rows as before
    }
}

// The folder of the store the second process of the kill test refreshes.
constexpr const char* kKilledRefreshRoot = "LV_KILLED_REFRESH_ROOT";

// The second process: refreshes the news of "ent" and is killed (SIGKILL) the moment the file's first
// commit of that refresh is done.
TEST_F(APIProcessor, ChildKilledAtTheFirstCommitOfARefresh) {
    const char* root = std::getenv(kKilledRefreshRoot);
    if (!root) GTEST_SKIP() << "the second process of ARefreshKilledAtItsFirstCommitLeavesOldOrNewRows";
    drainMain();
    RecordStack::cleanUp();
    drainMain();
    const std::string ownFolder = dir.path().string();  // never removed by the killed process otherwise
    ASSERT_TRUE(Sandbox::setRoot(root));
    setUpStack();
    NotificationCenter::defaultCenter()->addObserver(kKilledRefreshRoot, kManagedObjectContextDidSaveNotification,
                                                     RS_rootSavingContext(), [ownFolder](const Notification&) {
                                                         std::error_code ignored;
                                                         std::filesystem::remove_all(ownFolder, ignored);
                                                         ::kill(::getpid(), SIGKILL);
                                                     });
    Outcome outcome;
    processor()->loadNewsWithCatname("ent", std::nullopt, outcome.success(), outcome.failure());
    outcome.wait();
    FAIL() << "the refresh ended without a commit";
}

// A process killed right after the first commit of a refresh leaves the category with its old rows or
// its new ones, never without rows.
TEST_F(APIProcessor, ARefreshKilledAtItsFirstCommitLeavesOldOrNewRows) {
    Array old;
    for (const char* id : {"old1", "old2"}) {
        Value item = fixtureItems("newsList")[0];
        item.mutableDictionary().set("msgId", Value(id));
        old.push_back(item);
    }
    service.setBehaviour("newsList", behaving(Body::Fixture, 200, "application/json", 0, replyWith(old)));
    loadNews("ent");
    const std::vector<std::string> before{"old1", "old2"};
    ASSERT_EQ(column("News", "msgId"), before);
    drainMain();
    RecordStack::cleanUp();
    drainMain();
    EXPECT_EQ(runThisBinary("APIProcessor.ChildKilledAtTheFirstCommitOfARefresh", {{kKilledRefreshRoot, dir.path().string()}}), -1);
    const auto after = column("News", "msgId", "cat_name = 'ent'");
    const std::vector<std::string> refreshed{"1001", "1002", "1003", "1004", "1005"};
    EXPECT_TRUE(after == before || after == refreshed) << testing::PrintToString(after);
}

TEST_F(APIProcessor, AFailedSaveReachesTheFailureBlockKeepsTheRowsAndLaterLoadsSave) {
    // A full disk (a page limit just above the file's size), a store the connection may only read
    // (which holds for root as well) and a commit refused (another connection's read blocks it once
    // every statement ran): a reply that cannot be written fails with the store's error, the cached
    // rows and every context level stay as the file has them, and where room is left later loads in
    // the same process are saved, of the same category too.
    struct Case {
        const char* name;
        const char* pragma;
        const char* message;
        bool roomForSmallLoads;
        bool readerBlocksCommit;
    };
    const Case cases[] = {
        {"disk full", "max_page_count", "database or disk is full", true, false},
        {"read-only", "query_only", "readonly", false, false},
        {"commit refused", "busy_timeout", "database is locked", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        drainMain();
        RecordStack::cleanUp();
        drainMain();
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(storePath() + suffix);
        setUpStack();
        loadNews("ent");
        const auto stored = column("News", "msgId");
        ASSERT_EQ(stored.size(), 5u);
        const auto pages = rawTexts(storePath(), "PRAGMA page_count");
        ASSERT_EQ(pages.size(), 1u);
        drainMain();
        RecordStack::cleanUp();
        drainMain();
        const Value setting = std::string(c.pragma) == "max_page_count" ? Value(std::stoll(pages[0]) + 4)
                              : std::string(c.pragma) == "query_only"   ? Value(1)
                                                                         : Value(0);
        Dictionary pragmas = Value::dictionary({{c.pragma, setting}}).dictionary();
        // A rollback journal: the commit then needs every reader gone.
        if (c.readerBlocksCommit) pragmas.set("journal_mode", Value("DELETE"));
        const Dictionary options{{std::string(kSQLitePragmasOption), Value(std::move(pragmas))}};
        auto coordinator = RS_coordinatorWithSqliteStoreNamed("lunavexa.sqlite", options);
        ASSERT_TRUE(coordinator && !coordinator->persistentStores().empty());
        RS_setDefaultStoreCoordinator(coordinator);
        RS_initializeDefaultContextWithCoordinator(coordinator);

        serveBigNewsReply(3000, 200);
        sqlite3* reader = nullptr;
        sqlite3_stmt* reading = nullptr;
        if (c.readerBlocksCommit) {
            ASSERT_EQ(sqlite3_open(storePath().c_str(), &reader), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(reader, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
            ASSERT_EQ(sqlite3_prepare_v2(reader, "SELECT 1 FROM News", -1, &reading, nullptr), SQLITE_OK);
            ASSERT_EQ(sqlite3_step(reading), SQLITE_ROW);
        }
        Outcome failed;
        processor()->loadNewsWithCatname("ent", std::nullopt, failed.success(), failed.failure());
        const bool waited = failed.wait(60);
        sqlite3_finalize(reading);
        sqlite3_close_v2(reader);
        ASSERT_TRUE(waited);
        ASSERT_FALSE(failed.succeeded);
        EXPECT_FALSE(failed.onMain);
        ASSERT_TRUE(failed.error);
        EXPECT_EQ(failed.error->code(), kPersistentStoreSaveError) << describe(failed.error);
        EXPECT_NE(describe(failed.error).find(c.message), std::string::npos) << describe(failed.error);
        drainMain();
        EXPECT_EQ(column("News", "msgId"), stored);
        EXPECT_FALSE(RS_defaultContext()->hasChanges());
        EXPECT_FALSE(RS_rootSavingContext()->hasChanges());
        auto held = News::RS_findAllWithPredicate(Predicate::format("cat_name = %@", nullptr, "ent"), RS_defaultContext());
        ASSERT_TRUE(held);
        EXPECT_EQ(held->size(), 5u);

        if (c.roomForSmallLoads) {
            Outcome small;
            processor()->loadVideoWithType("teach", std::nullopt, small.success(), small.failure());
            ASSERT_TRUE(small.wait());
            ASSERT_TRUE(small.succeeded) << describe(small.error);
            EXPECT_EQ(rawTexts(storePath(), "SELECT COUNT(*) FROM Video"), std::vector<std::string>{"3"});
            EXPECT_EQ(column("News", "msgId", "cat_name = 'ent'"), stored);
            refreshEntTwiceWithNewItems();  // the category that failed
        }
        service.setBehaviour("newsList", behaving(Body::Fixture));
    }
}

constexpr const char* kDiskFullAtCommit = "LV_DISK_FULL_AT_COMMIT";

// The second process: on the app's own store (write-ahead log), a file-size limit stands in for a
// disk that fills while a refresh commits. The refresh fails at its commit, the disk is freed, and
// the later refreshes of the category in this process store their items.
TEST_F(APIProcessor, ChildWhoseDiskFillsAtACommit) {
    if (!std::getenv(kDiskFullAtCommit)) GTEST_SKIP() << "the second process of ADiskFullAtACommitLosesNoLaterRefresh";
    loadNews("ent");
    const auto stored = column("News", "msgId");
    ASSERT_EQ(stored.size(), 5u);
    std::uintmax_t largest = 0;
    for (const char* suffix : {"", "-wal"}) {
        std::error_code ignored;
        largest = std::max(largest, std::filesystem::file_size(storePath() + suffix, ignored));
    }
    serveBigNewsReply(1000, 400);
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit full{static_cast<rlim_t>(largest + 16 * 1024), RLIM_INFINITY};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
    Outcome failed;
    processor()->loadNewsWithCatname("ent", std::nullopt, failed.success(), failed.failure());
    const bool waited = failed.wait(60);
    struct rlimit freed{RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &freed), 0);
    ASSERT_TRUE(waited);
    ASSERT_FALSE(failed.succeeded);
    // SQLite reads the refused write as an I/O error; it came at the commit.
    EXPECT_NE(describe(failed.error).find("reason=COMMIT"), std::string::npos) << describe(failed.error);
    drainMain();
    auto held = News::RS_findAllWithPredicate(Predicate::format("cat_name = %@", nullptr, "ent"), RS_defaultContext());
    ASSERT_TRUE(held);
    EXPECT_EQ(held->size(), 5u);
    refreshEntTwiceWithNewItems();
}

TEST_F(APIProcessor, ADiskFullAtACommitLosesNoLaterRefresh) {
    EXPECT_EQ(runThisBinary("APIProcessor.ChildWhoseDiskFillsAtACommit", {{kDiskFullAtCommit, "1"}}), 0);
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

// A category replaced by a reply, as the main road does it: the file's rows, every column as SQLite
// reads it; the root's did-save (what it inserted and deleted); the main context's records of the
// replaced items (no longer in any context, no change left) and of the new ones (saved, under
// permanent IDs).
TEST_F(MainRoad, AReplacedCategoryGivesExactRowsAndAnnouncesItsChanges) {
    auto news = [](const std::string& category, const std::string& id, const std::string& title) {
        Value item = fixtureItems("newsList")[0];
        item.mutableDictionary().set("cat_name", Value(category));
        item.mutableDictionary().set("msgId", Value(id));
        item.mutableDictionary().set("title", Value(title));
        return item;
    };
    auto load = [&](const std::string& category, const Array& items) {
        service.setBehaviour("newsList", behaving(Body::Fixture, 200, "application/json", 0, replyWith(items)));
        loadNews(category);
    };
    load("kpop", Array{news("kpop", "k1", "K one")});
    load("ent", Array{news("ent", "e1", "E one"), news("ent", "e2", "E two")});
    auto context = RS_defaultContext();
    std::vector<Ref<ManagedObject>> replaced;
    context->performAndWait([&] {
        for (const auto& record : context->registeredObjects()) {
            if (record->valueForKey("cat_name") == Value("ent")) replaced.push_back(record);
        }
    });
    ASSERT_EQ(replaced.size(), 2u);

    std::mutex mutex;
    std::vector<std::string> saved;  // per did-save of the root: "+inserted -deleted ~updated"
    auto observer = NotificationCenter::defaultCenter()->addObserverForName(
        kManagedObjectContextDidSaveNotification, RS_rootSavingContext(), nullptr, [&](const Notification& n) {
            const Dictionary& info = n.userInfo();
            std::lock_guard lock(mutex);
            saved.push_back("+" + std::to_string(info.get(kInsertedObjectsKey).array().size()) + " -" +
                            std::to_string(info.get(kDeletedObjectsKey).array().size()) + " ~" +
                            std::to_string(info.get(kUpdatedObjectsKey).array().size()));
        });
    // k1 is kept by another category (known), e2 is stored anew (its record is being replaced), n1 once.
    load("ent", Array{news("ent", "k1", "K again"), news("ent", "e2", "E two again"), news("ent", "n1", "N one"),
                      news("ent", "n1", "N one twice")});
    NotificationCenter::defaultCenter()->removeObserver(observer.get());
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(saved, std::vector<std::string>{"+2 -2 ~0"});
    }
    const Value fixture = fixtureItems("newsList")[0];
    const std::string rest = "|" + fixture["tag_name"].stringValue() + "|" + fixture["detailPageLink"].stringValue() + "|" +
                             fixture["thumbLink"].stringValue();
    EXPECT_EQ(rawTexts(storePath(), "SELECT cat_name || '|' || msgId || '|' || title || '|' || tag_name || '|' || "
                                    "detailPageLink || '|' || thumbLink || '|' || typeof(createTime) || '|' || "
                                    "typeof(update_time) FROM News ORDER BY _pk"),
              (std::vector<std::string>{"kpop|k1|K one" + rest + "|real|real", "ent|e2|E two again" + rest + "|real|real",
                                        "ent|n1|N one" + rest + "|real|real"}));
    context->performAndWait([&] {
        EXPECT_FALSE(context->hasChanges());
        for (const auto& record : replaced) {
            EXPECT_EQ(record->managedObjectContext(), nullptr);
            EXPECT_FALSE(record->hasChanges());
            EXPECT_EQ(context->objectRegisteredForID(record->objectID()), nullptr);
        }
        std::vector<std::string> held;
        for (const auto& record : context->registeredObjects()) {
            if (record->valueForKey("cat_name") != Value("ent")) continue;
            EXPECT_FALSE(record->objectID()->isTemporaryID());
            EXPECT_FALSE(record->isFault());
            held.push_back(record->valueForKey("msgId").stringValue());
        }
        std::sort(held.begin(), held.end());
        EXPECT_EQ(held, (std::vector<std::string>{"e2", "n1"}));
    });
}

// Items of a class whose models would only hold and copy the values read are stored without a model;
// everything observable equals the model road's: the rows (every column), the log lines (items
// skipped as unmappable, without attributes, known or unstorable, the error texts, each novel record)
// and the outcome. The model road is the one a class takes once its lookups may vary: here a method
// resolver that resolves nothing and counts the per-item class selections it is asked about.
TEST_F(APIProcessor, ItemsStoredWithoutAModelEqualTheModelRoad) {
    auto with = [](Value item, std::initializer_list<std::pair<std::string, Value>> values) {
        for (const auto& [key, value] : values) item.mutableDictionary().set(key, value);
        return item;
    };
    const Array news = fixtureItems("newsList"), blog = fixtureItems("microblog"), videos = fixtureItems("video"),
                charts = fixtureItems("rank"), novels = fixtureItems("novel");
    const Value noAttribute = Value::dictionary({{"other", 1}});
    struct Case {
        std::string action, entity;
        const ClassInfo* cls;
        Array reply;
        std::function<void(Outcome&)> load;
        std::string rawNumber;
    };
    const Case cases[] = {
        {"newsList", "News", JM_News::runtimeClass(),
         Array{news[0], news[1], Value("not an item"), Value::dictionary({{"title", 12}, {"msgId", "x1"}}), noAttribute,
               with(news[2], {{"title", Value::null()}, {"msgId", Value::null()}}), news[0],
               with(news[3], {{"createTime", "not a date"}, {"update_time", "2015-3-5 9:07:02"}}),
               with(news[4], {{"msgId", 77}}), with(news[5], {{"cat_name", Value::null()}})},
         [](Outcome& o) { processor()->loadNewsWithCatname("ent", std::nullopt, o.success(), o.failure()); }, ""},
        {"microblog", "Microblog", JM_Microblog::runtimeClass(),
         Array{blog[0], Value::dictionary({{"text", 12}}), with(blog[1], {{"screenName", Value::null()}}), Value(3),
               with(blog[2], {{"created_at", "2015-3-5 10:00:00"}}), blog[0]},  // (no "now" date: it differs per load)
         [](Outcome& o) { processor()->loadMicroblogWithGap("hot", std::nullopt, o.success(), o.failure()); }, ""},
        {"video", "Video", JM_Video::runtimeClass(),
         Array{videos[0], with(videos[1], {{"playCount", "@@"}}), videos[2], Value::dictionary({{"title", Value::null()}})},
         [](Outcome& o) { processor()->loadVideoWithType("teach", std::nullopt, o.success(), o.failure()); }, "1e300"},
        {"rank", "Toptenz", JM_Toptenz::runtimeClass(),
         Array{charts[0], charts[1], charts[0], with(charts[2], {{"rank", "x"}}), with(charts[3], {{"sid", Value::null()}}),
               with(charts[4], {{"rank", 4294967297}})},
         [](Outcome& o) { processor()->loadToptenzWithSite("melon", std::nullopt, o.success(), o.failure()); }, ""},
        {"novel", "Novel", JM_Novel::runtimeClass(),
         Array{novels[0], with(novels[1], {{"description", Value::null()}}), with(novels[2], {{"update_time", "2015-03-06"}})},
         [](Outcome& o) { processor()->loadNovelsWithTitle("t", std::nullopt, o.success(), o.failure()); }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.action);
        std::string columns;
        for (const std::string& name : rawTexts(storePath(), "SELECT name FROM pragma_table_info('" + c.entity + "')")) {
            if (name.starts_with("_")) continue;  // the row's own keys differ from load to load
            columns += (columns.empty() ? "quote(\"" : " || '|' || quote(\"") + name + "\")";
        }
        ASSERT_FALSE(columns.empty());
        struct Stored {
            bool succeeded = false;
            std::vector<std::string> rows, lines;
        };
        auto store = [&] {
            service.setBehaviour(c.action, behaving(Body::Fixture, 200, "application/json", 0, replyWith(c.reply, c.rawNumber)));
            LogCapture capture;
            Outcome outcome;
            c.load(outcome);
            EXPECT_TRUE(outcome.wait());
            Stored stored{outcome.succeeded, rawTexts(storePath(), "SELECT " + columns + " FROM \"" + c.entity + "\" ORDER BY _pk"), {}};
            // A record's description names its row and address, which differ from load to load.
            static const std::regex varying("0x[0-9a-f]+|/p[0-9]+|-[0-9]+>");
            for (const std::string& line : capture.lines()) stored.lines.push_back(std::regex_replace(line, varying, "#"));
            return stored;
        };
        const Stored plain = store();
        std::size_t asked = 0;
        const Stored general = [&] {
            // Put back however the load ends: this resolver counts into a local.
            const ScopedMethodResolver resolver(c.cls, HookSide::Class, [&asked](const ClassInfo&, std::string_view name) {
                if (name == "classForParsingJSONDictionary:") ++asked;
                return false;
            });
            return store();
        }();
        const auto items = static_cast<std::size_t>(
            std::count_if(c.reply.begin(), c.reply.end(), [](const Value& item) { return item.isDictionary(); }));
        EXPECT_GE(asked, items - 1);  // every item that has an attribute took the model road
        EXPECT_TRUE(plain.succeeded);
        EXPECT_EQ(plain.succeeded, general.succeeded);
        EXPECT_EQ(plain.rows, general.rows);
        EXPECT_EQ(plain.lines, general.lines);
        EXPECT_GE(plain.rows.size(), 3u);
        EXPECT_GE(plain.lines.size(), 1u);
    }
}

}  // namespace
}  // namespace lv::test
