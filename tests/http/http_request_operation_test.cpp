// HTTP request operations against the loopback servers: success and failure through the response
// serializer, cancelling, serializer replacement, the completion group, and resuming a paused download.
#include <gtest/gtest.h>

#include <atomic>

#include "http/http_request_operation.h"
#include "operation_server.h"
#include "operation_test_support.h"
#include "platform/net/fixtures.h"
#include "platform/net/errors.h"

namespace lv {
namespace {

using test::requestFor;

// Records the one block that ran, the thread it ran on and what it got.
struct Outcome {
    std::atomic<int> successes{0};
    std::atomic<int> failures{0};
    std::atomic<bool> onMain{true};
    Value object;
    Ref<Error> error;

    void install(const Ref<HCHTTPRequestOperation>& op) {
        op->setCompletionBlockWithSuccess(
            [this](const Ref<HCHTTPRequestOperation>&, const Value& o) {
                onMain = onMain && Thread::isMainThread();
                object = o;
                ++successes;
            },
            [this](const Ref<HCHTTPRequestOperation>&, const Ref<Error>& e) {
                onMain = onMain && Thread::isMainThread();
                error = e;
                ++failures;
            });
    }
    bool wait() { return runMainUntil([this] { return successes + failures > 0; }, 10); }
    // Only the failure block ran, once, with the domain and code.
    void expectFailure(std::string_view domain, std::int64_t code) const {
        EXPECT_EQ(successes, 0);
        ASSERT_EQ(failures, 1);
        EXPECT_EQ(error->domain(), domain);
        EXPECT_EQ(error->code(), code);
    }
};

TEST(HTTPRequestOperation, JSONSuccessAndFailureOnMain) {
    test::OperationServer server;
    for (const int status : {200, 404}) {
        SCOPED_TRACE(status);
        auto op = HCHTTPRequestOperation::make(requestFor(server.url("/json/" + std::to_string(status))));
        op->setResponseSerializer(HCJSONResponseSerializer::serializer());
        Outcome outcome;
        outcome.install(op);
        op->start();
        ASSERT_TRUE(outcome.wait());
        runMainUntil([] { return false; }, 0.05);
        EXPECT_TRUE(outcome.onMain);
        EXPECT_EQ(op->responseObject()["status"].intValue(), status);
        if (status == 200) {
            EXPECT_EQ(outcome.successes, 1);
            EXPECT_EQ(outcome.failures, 0);
            EXPECT_EQ(outcome.object["status"].intValue(), 200);
            EXPECT_EQ(op->error(), nullptr);
        } else {
            outcome.expectFailure("com.httpclient.error.serialization.response", -1011);
            EXPECT_EQ(op->responseSerializationError(), outcome.error);
            // Another serializer serializes again, and its verdict replaces the stored error.
            auto lenient = HCHTTPResponseSerializer::serializer();
            lenient->setAcceptableStatusCodes(std::nullopt);
            op->setResponseSerializer(lenient);
            EXPECT_EQ(op->error(), nullptr);
            EXPECT_EQ(op->responseObject(), Value::data("{\"status\":404}"));
            EXPECT_EQ(op->error(), nullptr);
        }
    }
}

TEST(HTTPRequestOperation, CancelledQueuedOperationFailsWithCancelled) {
    test::OperationServer server;
    auto op = HCHTTPRequestOperation::make(requestFor(server.url("/json/200")));
    Outcome outcome;
    outcome.install(op);
    auto queue = OperationQueue::make();
    queue->setSuspended(true);
    queue->addOperation(op);
    op->cancel();
    queue->setSuspended(false);
    ASSERT_TRUE(outcome.wait());
    runMainUntil([] { return false; }, 0.05);
    outcome.expectFailure("NSURLErrorDomain", -999);
    EXPECT_TRUE(outcome.onMain);
    EXPECT_TRUE(op->responseObject().isNil());
}

TEST(HTTPRequestOperation, CompletionGroupCoversTheBlocks) {
    test::OperationServer server;
    auto op = HCHTTPRequestOperation::make(requestFor(server.url("/json/200")));
    auto group = Group::make();
    op->setCompletionGroup(group);
    op->setCompletionQueue(Queue::global());
    std::atomic<bool> entered{false};
    auto hold = Semaphore::make();
    op->setCompletionBlockWithSuccess([&](const Ref<HCHTTPRequestOperation>&, const Value&) {
        entered = true;
        hold->wait();
    }, nullptr);
    op->start();
    ASSERT_TRUE(runMainUntil([&] { return entered.load(); }, 10));
    EXPECT_FALSE(group->wait(0.05));  // the running block is inside the group
    hold->signal();
    EXPECT_TRUE(group->wait(5));
}

// Pausing after 1,000 bytes asks for the rest with the ETag; what the server answers decides whether
// the body continues, starts again, or fails; a corrupted body never succeeds.
TEST(HTTPRequestOperation, ResumesAPausedDownloadOnlyWhereItStopped) {
    struct Case {
        std::string mode;
        bool succeeds;
    };
    const Case cases[] = {{"range", true}, {"ignore", true}, {"wrong", false}, {"refuse", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        test::OperationServer server;
        auto op = HCHTTPRequestOperation::make(requestFor(server.url("/resumable?mode=" + c.mode)));
        Outcome outcome;
        outcome.install(op);
        op->start();
        ASSERT_TRUE(runMainUntil([&] { return op->totalBytesRead() == 1000; }, 10));
        op->pause();
        EXPECT_TRUE(op->isPaused());
        EXPECT_EQ(op->request().valueForHTTPHeaderField("Range"), "bytes=1000-");
        EXPECT_EQ(op->request().valueForHTTPHeaderField("If-Range"), "\"resumable\"");
        server.release();
        op->resume();
        ASSERT_TRUE(outcome.wait());
        const auto fields = server.lastFields("/resumable");
        EXPECT_EQ(fields.at("range"), "bytes=1000-");
        EXPECT_EQ(fields.at("if-range"), "\"resumable\"");
        if (c.succeeds) {
            ASSERT_EQ(outcome.successes, 1);
            const Bytes expected = test::pattern(test::OperationServer::kResumableLength);
            EXPECT_EQ(op->responseData(), expected);
            EXPECT_EQ(outcome.object, Value(expected));
            EXPECT_TRUE(runMainUntil([&] { return op->totalBytesRead() == 2000; }, 5));
        } else {
            outcome.expectFailure("NSURLErrorDomain", URLErrorBadServerResponse);
        }
    }
}

TEST(HTTPRequestOperation, UnstartedOperationPausesFromZeroCopiesAndIsFreed) {
    auto op = HCHTTPRequestOperation::make(requestFor("http://127.0.0.1:9/file"));
    op->setResponseSerializer(HCJSONResponseSerializer::serializer());
    op->pause();
    EXPECT_EQ(op->request().valueForHTTPHeaderField("Range"), "bytes=0-");
    EXPECT_FALSE(op->request().valueForHTTPHeaderField("If-Range").has_value());
    auto copy = std::dynamic_pointer_cast<HCHTTPRequestOperation>(op->copy());
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->responseSerializer(), op->responseSerializer());
    EXPECT_NE(std::dynamic_pointer_cast<HCJSONResponseSerializer>(copy->responseSerializer()), nullptr);
    EXPECT_EQ(copy->description().rfind("<HCHTTPRequestOperation: 0x", 0), 0u);
    // An operation that never runs is freed with its blocks.
    Outcome outcome;
    outcome.install(copy);
    Weak<HCHTTPRequestOperation> weak = copy;
    copy.reset();
    EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace lv
