// The operation manager against the loopback servers: base URL rules, the verbs and where their
// parameters go, time-outs, request-building failures, cancel-all, and where the blocks run.
#include <gtest/gtest.h>

#include <atomic>

#include "http/http_request_operation_manager.h"
#include "http_test_support.h"
#include "operation_server.h"
#include "operation_test_support.h"
#include "platform/net/echo.h"
#include "platform/net/fixtures.h"

namespace lv {
namespace {

using test::HttpFixture;
using test::text;
const auto echoManager = &test::echoManager<HCHTTPRequestOperationManager>;

TEST(OperationManager, BaseURLRules) {
    struct Case {
        std::string base;
        std::string stored;
        std::string path;
        std::string resolved;
    };
    const Case cases[] = {
        {"http://content.test", "http://content.test", "api", "http://content.test/api"},
        {"http://content.test/base", "http://content.test/base/", "api", "http://content.test/base/api"},
        {"http://content.test/base/", "http://content.test/base/", "api?x=1", "http://content.test/base/api?x=1"},
        {"http://content.test/base", "http://content.test/base/", "http://other.test/a", "http://other.test/a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.base);
        auto manager = HCHTTPRequestOperationManager::make(URL::URLWithString(c.base));
        EXPECT_EQ(manager->baseURL()->absoluteString(), c.stored);
        auto op = manager->HTTPRequestOperationWithHTTPMethod("GET", c.path, Value(), nullptr, nullptr);
        ASSERT_NE(op, nullptr);
        EXPECT_EQ(op->request().URL()->absoluteString(), c.resolved);
        EXPECT_EQ(manager->operationQueue()->operationCount(), 0u);
    }
    EXPECT_EQ(HCHTTPRequestOperationManager::manager()->baseURL(), nullptr);
}

TEST(OperationManager, VerbsPutParametersInTheQueryOrTheSortedFormBody) {
    auto manager = echoManager();
    const Value parameters(Dictionary{{"b", "2"}, {"a", "1 x"}});
    using Call = std::function<Ref<HCHTTPRequestOperation>(HCHTTPRequestOperationManager::Success,
                                                           HCHTTPRequestOperationManager::Failure)>;
    struct Case {
        std::string name;
        Call call;
        std::string method;
        bool formBody;
    };
    const Case cases[] = {
        {"GET", [&](auto s, auto f) { return manager->GET("echo", parameters, s, f); }, "GET", false},
        {"DELETE", [&](auto s, auto f) { return manager->DELETE("echo", parameters, s, f); }, "DELETE", false},
        {"POST", [&](auto s, auto f) { return manager->POST("echo", parameters, s, f); }, "POST", true},
        {"PUT", [&](auto s, auto f) { return manager->PUT("echo", parameters, s, f); }, "PUT", true},
        {"PATCH", [&](auto s, auto f) { return manager->PATCH("echo", parameters, s, f); }, "PATCH", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string reply;
        bool onMain = false;
        auto op = c.call(
            [&](const Ref<HCHTTPRequestOperation>&, const Value& object) {
                onMain = Thread::isMainThread();
                reply = text(object);
            },
            [&](const Ref<HCHTTPRequestOperation>&, const Ref<Error>& error) { ADD_FAILURE() << error->description(); });
        ASSERT_NE(op, nullptr);
        ASSERT_TRUE(runMainUntil([&] { return !reply.empty(); }, 10));
        EXPECT_TRUE(onMain);
        const test::Echo echo(reply);
        EXPECT_EQ(echo.requestLine.substr(0, echo.requestLine.find(' ')), c.method);
        const std::string sent = op->request().URL()->absoluteString();
        if (c.formBody) {
            EXPECT_EQ(sent, HttpFixture::shared().url("/echo"));
            EXPECT_EQ(echo.header("Content-Type"), "application/x-www-form-urlencoded");
            EXPECT_EQ(echo.body, "a=1%20x&b=2");
        } else {
            EXPECT_EQ(sent, HttpFixture::shared().url("/echo?a=1%20x&b=2"));
            EXPECT_EQ(echo.body, "");
        }
    }
    std::atomic<int> heads{0};
    auto head = manager->HEAD("echo", Value(), [&](const Ref<HCHTTPRequestOperation>& op) {
        EXPECT_EQ(op->HTTPResponse()->statusCode(), 200);
        ++heads;
    }, nullptr);
    EXPECT_EQ(head->request().HTTPMethod(), "HEAD");
    EXPECT_TRUE(runMainUntil([&] { return heads == 1; }, 10));
}

TEST(OperationManager, MultipartPostSendsTheParametersAsParts) {
    auto manager = echoManager();
    std::string reply;
    manager->POST("echo", Value(Dictionary{{"name", "value"}}),
                  [](HCMultipartFormData& form) { form.appendPartWithFormData(test::bytes("extra"), "more"); },
                  [&](const Ref<HCHTTPRequestOperation>&, const Value& object) { reply = text(object); }, nullptr);
    ASSERT_TRUE(runMainUntil([&] { return !reply.empty(); }, 10));
    const test::Echo echo(reply);
    EXPECT_EQ(echo.requestLine.rfind("POST /echo", 0), 0u);
    EXPECT_EQ(echo.header("Content-Type").value_or("").rfind("multipart/form-data; boundary=Boundary+", 0), 0u);
    // "--B\r\n" (29, B being 25 long), the disposition line (45), "\r\n", "value"; "\r\n--B\r\n" (31),
    // its line (45), "\r\n", "extra"; "\r\n--B--\r\n" (33).
    EXPECT_EQ(echo.header("Content-Length"), "197");
}

TEST(OperationManager, TimeOutsFollowTheSerializerAtBuildTime) {
    auto manager = HCHTTPRequestOperationManager::make(URL::URLWithString("http://content.test"));
    auto build = [&] { return manager->HTTPRequestOperationWithHTTPMethod("GET", "api", Value(), nullptr, nullptr); };
    EXPECT_EQ(build()->request().timeoutInterval(), 60);
    manager->requestSerializer()->setTimeoutInterval(4);
    auto first = build();
    manager->requestSerializer()->setTimeoutInterval(30);
    auto second = build();
    EXPECT_EQ(first->request().timeoutInterval(), 4);
    EXPECT_EQ(second->request().timeoutInterval(), 30);
}

TEST(OperationManager, RequestBuildingFailureReachesTheFailureBlockOnce) {
    auto manager = HCHTTPRequestOperationManager::make(URL::URLWithString("http://content.test"));
    const auto refused = test::refuseQueryStrings(manager);
    std::atomic<int> failures{0};
    auto op = manager->GET("api", Value(Dictionary{{"a", "1"}}), nullptr,
                           [&](const Ref<HCHTTPRequestOperation>& failed, const Ref<Error>& error) {
                               EXPECT_TRUE(Thread::isMainThread());
                               EXPECT_EQ(failed, nullptr);
                               EXPECT_EQ(error, refused);
                               ++failures;
                           });
    EXPECT_EQ(op, nullptr);
    EXPECT_EQ(manager->operationQueue()->operationCount(), 0u);
    ASSERT_TRUE(runMainUntil([&] { return failures == 1; }, 5));
    runMainUntil([] { return false; }, 0.05);
    EXPECT_EQ(failures, 1);
}

TEST(OperationManager, CancelAllFailsEveryRequestInFlightWithCancelled) {
    test::OperationServer server;  // holds its bodies back until released
    auto manager = HCHTTPRequestOperationManager::make(URL::URLWithString(server.url("/")));
    std::vector<Ref<Error>> errors;
    std::atomic<int> started{0};
    std::vector<Ref<Object>> tokens;
    for (int i = 0; i < 2; ++i) {
        auto op = manager->GET("resumable", Value(), [](const Ref<HCHTTPRequestOperation>&, const Value&) {
            ADD_FAILURE() << "success after cancel";
        }, [&](const Ref<HCHTTPRequestOperation>&, const Ref<Error>& error) {
            EXPECT_TRUE(Thread::isMainThread());
            errors.push_back(error);
        });
        tokens.push_back(NotificationCenter::defaultCenter()->addObserverForName(
            "com.httpclient.networking.operation.start", op, nullptr, [&](const Notification&) { ++started; }));
    }
    ASSERT_TRUE(runMainUntil([&] { return started == 2; }, 10));
    manager->operationQueue()->cancelAllOperations();
    ASSERT_TRUE(runMainUntil([&] { return errors.size() == 2; }, 5));
    for (const auto& error : errors) {
        EXPECT_EQ(error->domain(), "NSURLErrorDomain");
        EXPECT_EQ(error->code(), -999);
    }
    for (const auto& token : tokens) NotificationCenter::defaultCenter()->removeObserver(token.get());
    server.release();
}

TEST(OperationManager, BlocksRunOnTheCompletionQueueWithinTheGroup) {
    auto manager = echoManager();
    auto group = Group::make();
    auto queue = Queue::makeSerial("manager-completions");
    manager->setCompletionGroup(group);
    manager->setCompletionQueue(queue);
    std::atomic<bool> onQueue{false};
    std::atomic<bool> entered{false};
    auto hold = Semaphore::make();
    auto op = manager->GET("echo", Value(), [&](const Ref<HCHTTPRequestOperation>&, const Value&) {
        onQueue = queue->isCurrent();
        entered = true;
        hold->wait();
    }, nullptr);
    EXPECT_EQ(op->completionGroup(), group);
    ASSERT_TRUE(runMainUntil([&] { return entered.load(); }, 10));
    EXPECT_FALSE(group->wait(0.05));  // the running block is inside the group
    hold->signal();
    EXPECT_TRUE(group->wait(5));
    EXPECT_TRUE(onQueue);
}

TEST(OperationManager, CopyKeepsBaseURLAndSerializerCopiesOnly) {
    auto manager = HCHTTPRequestOperationManager::make(URL::URLWithString("http://content.test/base"));
    manager->setCredential(URLCredential::make("u", "p"));
    manager->setCompletionQueue(Queue::global());
    auto copy = manager->copy();
    EXPECT_EQ(copy->baseURL()->absoluteString(), "http://content.test/base/");
    EXPECT_NE(copy->requestSerializer(), manager->requestSerializer());
    EXPECT_NE(std::dynamic_pointer_cast<HCJSONResponseSerializer>(copy->responseSerializer()), nullptr);
    EXPECT_NE(copy->responseSerializer(), manager->responseSerializer());
    EXPECT_NE(copy->operationQueue(), manager->operationQueue());
    EXPECT_EQ(copy->credential(), nullptr);
    EXPECT_EQ(copy->completionQueue(), nullptr);
    EXPECT_EQ(copy->reachabilityManager(), HCNetworkReachabilityManager::sharedManager());
    EXPECT_EQ(copy->description().rfind("<HCHTTPRequestOperationManager: 0x", 0), 0u);
    EXPECT_NE(copy->description().find(", baseURL: http://content.test/base/, operationQueue: "), std::string::npos);
}

}  // namespace
}  // namespace lv
