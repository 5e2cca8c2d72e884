// The HTTP session manager over loopback: base URL rules, the verbs, HEAD's task-only success, a
// multipart POST read back part by part, request-building failures, description and copies.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>

#include "http/http_session_manager.h"
#include "http_test_support.h"
#include "platform/net/echo.h"
#include "session_manager_test_support.h"

namespace lv {
namespace {

using test::text;
const auto echoManager = &test::echoManager<HCHTTPSessionManager>;

TEST(HTTPSessionManager, BaseURLRules) {
    struct Case {
        std::string base;
        std::string stored;
        std::string path;
        std::string resolved;
    } cases[] = {
        {"http://content.test", "http://content.test", "api", "http://content.test/api"},
        {"http://content.test/base", "http://content.test/base/", "api", "http://content.test/base/api"},
        {"http://content.test/base", "http://content.test/base/", "http://other.test/a", "http://other.test/a"},
        {"", "", "http://other.test/a", "http://other.test/a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.base);
        auto manager = HCHTTPSessionManager::make(c.base.empty() ? nullptr : URL::URLWithString(c.base));
        EXPECT_EQ(manager->baseURL() ? manager->baseURL()->absoluteString() : "", c.stored);
        auto task = manager->dataTaskWithHTTPMethod("GET", c.path, Value(), nullptr, nullptr);
        ASSERT_TRUE(task);
        EXPECT_EQ(task->originalRequest().URL()->absoluteString(), c.resolved);
        EXPECT_EQ(task->state(), URLSessionTaskState::Suspended);
        test::endManager(manager);
    }
}

TEST(HTTPSessionManager, VerbsStartTheirTaskAndHeadGetsTheTaskAlone) {
    auto manager = echoManager();
    const Value parameters(Dictionary{{"a", "1"}});
    using Call = std::function<Ref<URLSessionDataTask>(HCHTTPSessionManager::Success, HCHTTPSessionManager::Failure)>;
    const std::pair<std::string, Call> cases[] = {
        {"GET", [&](auto s, auto f) { return manager->GET("echo", parameters, s, f); }},
        {"POST", [&](auto s, auto f) { return manager->POST("echo", parameters, s, f); }},
        {"PUT", [&](auto s, auto f) { return manager->PUT("echo", parameters, s, f); }},
        {"PATCH", [&](auto s, auto f) { return manager->PATCH("echo", parameters, s, f); }},
        {"DELETE", [&](auto s, auto f) { return manager->DELETE("echo", parameters, s, f); }},
    };
    for (const auto& [method, call] : cases) {
        SCOPED_TRACE(method);
        std::string reply;
        Ref<URLSessionDataTask> succeeded;
        auto task = call([&](const Ref<URLSessionDataTask>& t, const Value& object) { succeeded = t; reply = text(object); },
                         [&](const Ref<URLSessionDataTask>&, const Ref<Error>& error) { ADD_FAILURE() << error->description(); });
        ASSERT_TRUE(task);
        ASSERT_TRUE(runMainUntil([&] { return !reply.empty(); }, 10));
        EXPECT_EQ(succeeded, task);
        const test::Echo echo(reply);
        EXPECT_EQ(echo.requestLine.substr(0, echo.requestLine.find(' ')), method);
    }
    Ref<URLSessionDataTask> headTask;
    auto head = manager->HEAD("echo", Value(), [&](const Ref<URLSessionDataTask>& t) { headTask = t; }, nullptr);
    ASSERT_TRUE(runMainUntil([&] { return headTask != nullptr; }, 10));
    EXPECT_EQ(headTask, head);
    EXPECT_EQ(head->originalRequest().HTTPMethod(), "HEAD");
    // A failing status reaches the failure block with the task.
    Ref<URLSessionDataTask> failedTask;
    Ref<Error> failure;
    auto missing = manager->GET("status/404", Value(), nullptr, [&](const Ref<URLSessionDataTask>& t, const Ref<Error>& e) {
        failedTask = t;
        failure = e;
    });
    ASSERT_TRUE(runMainUntil([&] { return failure != nullptr; }, 10));
    EXPECT_EQ(failedTask, missing);
    EXPECT_EQ(failure->code(), -1011);
    test::endManager(manager);
}

TEST(HTTPSessionManager, MultipartPostStreamsEveryPart) {
    auto manager = echoManager();
    std::string reply;
    auto task = manager->POST(
        "multipart", Value(Dictionary{{"name", "value"}}),
        [](HCMultipartFormData& form) { form.appendPartWithFormData(test::bytes("extra\r\nline"), "more"); },
        [&](const Ref<URLSessionDataTask>&, const Value& object) { reply = text(object); }, nullptr);
    ASSERT_TRUE(std::dynamic_pointer_cast<URLSessionUploadTask>(task));
    ASSERT_TRUE(runMainUntil([&] { return !reply.empty(); }, 10));
    EXPECT_EQ(reply, "more=extra\r\nline\nname=value\n");
    test::endManager(manager);
}

TEST(HTTPSessionManager, RequestBuildingFailureGivesNilAndOneFailure) {
    auto manager = HCHTTPSessionManager::make(URL::URLWithString("http://content.test"));
    const auto refused = test::refuseQueryStrings(manager);
    std::atomic<int> failures{0};
    auto task = manager->GET("api", Value(Dictionary{{"a", "1"}}), nullptr,
                             [&](const Ref<URLSessionDataTask>& failed, const Ref<Error>& error) {
                                 EXPECT_TRUE(Thread::isMainThread());
                                 EXPECT_EQ(failed, nullptr);
                                 EXPECT_EQ(error, refused);
                                 ++failures;
                             });
    EXPECT_EQ(task, nullptr);
    EXPECT_TRUE(manager->tasks().empty());
    ASSERT_TRUE(runMainUntil([&] { return failures == 1; }, 5));
    test::drainMainQueue();
    EXPECT_EQ(failures, 1);
    test::endManager(manager);
}

TEST(HTTPSessionManager, DescriptionAndCopy) {
    auto manager = HCHTTPSessionManager::make(URL::URLWithString("http://content.test/base"));
    manager->requestSerializer()->setValue("yes", "X-Custom");
    EXPECT_TRUE(std::regex_match(
        manager->description(),
        std::regex("<HCHTTPSessionManager: 0x[0-9a-f]+, baseURL: http://content.test/base/, session: .+, operationQueue: .+>")))
        << manager->description();
    auto copy = manager->copy();
    EXPECT_EQ(copy->baseURL()->absoluteString(), "http://content.test/base/");
    EXPECT_NE(copy->requestSerializer(), manager->requestSerializer());
    EXPECT_NE(copy->responseSerializer(), manager->responseSerializer());
    EXPECT_TRUE(std::dynamic_pointer_cast<HCJSONResponseSerializer>(copy->responseSerializer()));
    auto request = copy->dataTaskWithHTTPMethod("GET", "api", Value(), nullptr, nullptr)->originalRequest();
    EXPECT_EQ(request.valueForHTTPHeaderField("X-Custom"), "yes");
    test::endManager(manager);
    test::endManager(copy);
}

}  // namespace
}  // namespace lv
