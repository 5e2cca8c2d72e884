// URL connection operations against the loopback servers: the load and its notifications, the state
// table, cancelling, pausing, refused output, hooks, text encodings, batches and copies.
#include <gtest/gtest.h>

#include <atomic>

#include "http/url_connection_operation.h"
#include "operation_server.h"
#include "operation_test_support.h"
#include "platform/net/errors.h"
#include "platform/net/fixtures.h"

namespace lv {
namespace {

using State = HCConnectionOperationState;
using test::HttpFixture;
using test::pattern;
using test::requestFor;

TEST(URLConnectionOperation, LoadsOnTheNetworkThreadAndReportsOnMain) {
    auto op = HCURLConnectionOperation::make(requestFor(HttpFixture::shared().url("/redirect/302?to=/bytes/5000")));
    test::OperationNotifications notifications(op);
    std::string hookThread;
    op->setRedirectResponseBlock([&](URLConnection&, const URLRequest& request, const Ref<URLResponse>&) {
        hookThread = Thread::current()->name();
        return std::optional<URLRequest>(request);
    });
    std::int64_t progressTotal = 0;
    bool progressOnMain = true;
    op->setDownloadProgressBlock([&](std::uint64_t, std::int64_t total, std::int64_t expected) {
        progressOnMain = progressOnMain && Thread::isMainThread();
        progressTotal = total;
        EXPECT_EQ(expected, 5000);
    });
    std::atomic<int> completions{0};
    op->setCompletionBlock([&] {
        EXPECT_TRUE(Thread::isMainThread());
        ++completions;
    });
    auto queue = OperationQueue::make();
    queue->addOperation(op);
    ASSERT_TRUE(runMainUntil([&] { return completions == 1 && notifications.names().size() == 2; }, 10));
    EXPECT_EQ(hookThread, "HCNetworking");
    EXPECT_EQ(op->state(), State::Finished);
    EXPECT_EQ(op->error(), nullptr);
    EXPECT_EQ(op->responseData(), pattern(5000));
    EXPECT_EQ(op->totalBytesRead(), 5000);
    EXPECT_EQ(progressTotal, 5000);
    EXPECT_TRUE(progressOnMain);
    EXPECT_EQ(notifications.names(), (std::vector<std::string>{"start", "finish"}));
    EXPECT_EQ(completions, 1);
}

TEST(URLConnectionOperation, TransitionTable) {
    struct Case {
        State from;
        State to;
        bool cancelled;
        bool valid;
    };
    const Case cases[] = {
        {State::Ready, State::Paused, false, true},        {State::Ready, State::Executing, false, true},
        {State::Ready, State::Finished, false, false},     {State::Ready, State::Finished, true, true},
        {State::Executing, State::Paused, false, true},    {State::Executing, State::Finished, false, true},
        {State::Executing, State::Ready, false, false},    {State::Finished, State::Ready, true, false},
        {State::Finished, State::Executing, false, false}, {State::Paused, State::Ready, false, true},
        {State::Paused, State::Executing, false, false},   {State::Paused, State::Finished, false, false},
        {State::Paused, State::Finished, true, true},      {State::None, State::Finished, false, true},
        {State::None, State::Paused, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.from) << " -> " << static_cast<int>(c.to));
        EXPECT_EQ(HCStateTransitionIsValid(c.from, c.to, c.cancelled), c.valid);
    }
    // Through the operation: the changes announced, old key before new; nothing for a refused move.
    auto op = HCURLConnectionOperation::make(requestFor("http://127.0.0.1:9/"));
    std::vector<std::string> keys;
    op->addStateObserver([&](Operation&, std::string_view key) { keys.emplace_back(key); });
    op->setState(State::Finished);
    op->setState(State::Paused);
    op->setState(State::Executing);
    op->setState(State::Ready);
    EXPECT_EQ(op->state(), State::Ready);
    EXPECT_EQ(keys, (std::vector<std::string>{"isReady", "isPaused", "isPaused", "isReady"}));
    EXPECT_EQ(HCKeyPathFromOperationState(State::None), "state");
}

TEST(URLConnectionOperation, CancelledBeforeStartFinishesWithCancelledError) {
    auto op = HCURLConnectionOperation::make(requestFor(HttpFixture::shared().url("/bytes/10")));
    test::OperationNotifications notifications(op);
    op->cancel();
    auto queue = OperationQueue::make();
    queue->addOperation(op);
    ASSERT_TRUE(test::waitFinished(op));
    ASSERT_TRUE(runMainUntil([&] { return !notifications.names().empty(); }, 5));
    auto error = op->error();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), "NSURLErrorDomain");
    EXPECT_EQ(error->code(), -999);
    EXPECT_EQ(error->userInfo().size(), 1u);
    EXPECT_EQ(error->userInfo().find("NSErrorFailingURLKey")->objectAs<URL>()->absoluteString(),
              HttpFixture::shared().url("/bytes/10"));
    EXPECT_EQ(notifications.names(), std::vector<std::string>{"finish"});
    op->cancel();
    op->pause();
    EXPECT_EQ(op->state(), State::Finished);
    EXPECT_EQ(op->error(), error);
}

TEST(URLConnectionOperation, PauseBeforeStartPostsNothingAndResumeNeedsAPause) {
    auto op = HCURLConnectionOperation::make(requestFor(HttpFixture::shared().url("/bytes/100")));
    test::OperationNotifications notifications(op);
    op->resume();
    EXPECT_EQ(op->state(), State::Ready);
    op->pause();
    EXPECT_TRUE(op->isPaused());
    runMainUntil([] { return false; }, 0.05);
    EXPECT_TRUE(notifications.names().empty());
    op->resume();  // Ready again, then started at once
    ASSERT_TRUE(test::waitFinished(op));
    EXPECT_EQ(op->responseData(), pattern(100));
}

// A paused operation that is cancelled finishes with the cancellation error and runs its completion.
TEST(URLConnectionOperation, CancellingAPausedOperationFinishesIt) {
    test::OperationServer server;
    auto op = HCURLConnectionOperation::make(requestFor(server.url("/resumable?mode=range")));
    std::atomic<int> completions{0};
    op->setCompletionBlock([&] { ++completions; });
    test::OperationNotifications notifications(op);
    op->start();
    ASSERT_TRUE(runMainUntil([&] { return op->totalBytesRead() == 1000; }, 10));
    op->pause();
    ASSERT_TRUE(runMainUntil([&] { return notifications.names().size() == 2; }, 5));
    EXPECT_EQ(notifications.names(), (std::vector<std::string>{"start", "finish"}));
    op->cancel();
    ASSERT_TRUE(runMainUntil([&] { return completions == 1; }, 5));
    EXPECT_EQ(op->state(), State::Finished);
    EXPECT_EQ(op->error()->code(), URLErrorCancelled);
    server.release();
}

// A stream that takes the first bytes, then refuses: -1 with its own error, or 0 without one.
class RefusingStream : public OutputStream {
public:
    explicit RefusingStream(bool withError) : withError_(withError) {}
    void open() override { setStatus(StreamStatus::Open); }
    void close() override { setStatus(StreamStatus::Closed); }
    bool hasSpaceAvailable() const override { return streamStatus() == StreamStatus::Open; }
    long write(const std::uint8_t*, std::size_t length) override {
        const std::size_t n = std::min(length, 100 - taken_);
        taken_ += n;
        if (n > 0) return static_cast<long>(n);
        if (!withError_) return 0;
        fail(Error::make("NSPOSIXErrorDomain", 28));
        return -1;
    }

private:
    bool withError_;
    std::size_t taken_ = 0;
};

TEST(URLConnectionOperation, RefusedOutputEndsTheLoadWithTheStreamsError) {
    for (const bool withError : {true, false}) {
        SCOPED_TRACE(withError);
        auto op = HCURLConnectionOperation::make(requestFor(HttpFixture::shared().url("/bytes/5000")));
        op->setOutputStream(makeRef<RefusingStream>(withError));
        op->start();
        ASSERT_TRUE(test::waitFinished(op));
        ASSERT_NE(op->error(), nullptr);
        EXPECT_EQ(op->error()->domain(), withError ? "NSPOSIXErrorDomain" : "NSURLErrorDomain");
        EXPECT_EQ(op->error()->code(), withError ? 28 : -3003);
        EXPECT_FALSE(op->responseData().has_value());
    }
}

TEST(URLConnectionOperation, CredentialAnswersAChallengeOnlyOnce) {
    for (const bool withCredential : {true, false}) {
        auto op = HCURLConnectionOperation::make(requestFor(HttpFixture::shared().url("/basic-auth")));
        if (withCredential) op->setCredential(URLCredential::make("user", "pass"));
        op->start();
        ASSERT_TRUE(test::waitFinished(op));
        auto response = std::dynamic_pointer_cast<HTTPURLResponse>(op->response());
        ASSERT_NE(response, nullptr);
        EXPECT_EQ(response->statusCode(), withCredential ? 200 : 401);
        EXPECT_EQ(op->responseString(), withCredential ? "authenticated" : "denied");
    }
}

TEST(URLConnectionOperation, ResponseStringEncodingFallsBackToUTF8) {
    test::OperationServer server;
    struct Case {
        std::string charset;
        StringEncoding encoding;
        std::optional<std::string> text;
    };
    const Case cases[] = {{"", StringEncoding::UTF8, std::nullopt},
                          {"no-such-charset", StringEncoding::UTF8, std::nullopt},
                          {"iso-8859-1", StringEncoding::ISOLatin1, "caf\xc3\xa9"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.charset);
        auto op = HCURLConnectionOperation::make(requestFor(server.url("/text?charset=" + c.charset)));
        EXPECT_EQ(op->responseStringEncoding(), StringEncoding{0});
        op->start();
        ASSERT_TRUE(test::waitFinished(op));
        EXPECT_EQ(op->responseStringEncoding(), c.encoding);
        EXPECT_EQ(op->responseString(), c.text);
    }
}

TEST(URLConnectionOperation, BatchReportsProgressThenCompletesOnMain) {
    std::vector<Ref<HCURLConnectionOperation>> ops;
    for (const char* path : {"/bytes/10", "/bytes/20"}) {
        ops.push_back(HCURLConnectionOperation::make(requestFor(HttpFixture::shared().url(path))));
    }
    std::vector<std::string> events;
    ops[0]->setCompletionBlock([&] { events.push_back("own"); });
    auto batch = HCURLConnectionOperation::batchOfRequestOperations(
        ops,
        [&](std::uint64_t finished, std::uint64_t total) {
            EXPECT_TRUE(Thread::isMainThread());
            events.push_back(std::to_string(finished) + "/" + std::to_string(total));
        },
        [&](const std::vector<Ref<Operation>>& done) {
            EXPECT_TRUE(Thread::isMainThread());
            EXPECT_EQ(done.size(), 2u);
            events.push_back("done");
        });
    ASSERT_EQ(batch.size(), 3u);
    auto queue = OperationQueue::make();
    for (const auto& op : batch) queue->addOperation(op);
    ASSERT_TRUE(runMainUntil([&] { return !events.empty() && events.back() == "done"; }, 10));
    // The own block hops to its queue on its own, so only the progress order is fixed.
    std::vector<std::string> progress;
    std::copy_if(events.begin(), events.end(), std::back_inserter(progress), [](const std::string& e) {
        return e.find('/') != std::string::npos;
    });
    EXPECT_EQ(std::count(events.begin(), events.end(), "own"), 1);
    ASSERT_EQ(progress.size(), 2u);
    EXPECT_EQ(progress.back(), "2/2");
    EXPECT_EQ(events.size(), 4u);

    bool emptyDone = false;
    auto empty = HCURLConnectionOperation::batchOfRequestOperations({}, nullptr,
                                                                    [&](const std::vector<Ref<Operation>>& done) {
                                                                        EXPECT_TRUE(Thread::isMainThread());
                                                                        EXPECT_TRUE(done.empty());
                                                                        emptyDone = true;
                                                                    });
    ASSERT_EQ(empty.size(), 1u);
    queue->addOperation(empty[0]);
    EXPECT_TRUE(runMainUntil([&] { return emptyDone; }, 5));
}

TEST(URLConnectionOperation, CopyCarriesBlocksQueueAndGroupOnly) {
    auto op = HCURLConnectionOperation::make(requestFor(HttpFixture::shared().url("/bytes/10")));
    int progressCalls = 0;
    op->setDownloadProgressBlock([&](std::uint64_t, std::int64_t, std::int64_t) { ++progressCalls; });
    auto queue = Queue::makeSerial("copy-test");
    auto group = Group::make();
    op->setCompletionQueue(queue);
    op->setCompletionGroup(group);
    op->setCredential(URLCredential::make("u", "p"));
    op->start();
    ASSERT_TRUE(test::waitFinished(op));
    auto copy = op->copy();
    EXPECT_EQ(copy->state(), State::Ready);
    EXPECT_EQ(copy->response(), nullptr);
    EXPECT_EQ(copy->credential(), nullptr);
    EXPECT_EQ(copy->completionQueue(), queue);
    EXPECT_EQ(copy->completionGroup(), group);
    EXPECT_EQ(copy->request().URL()->absoluteString(), op->request().URL()->absoluteString());
    const int before = progressCalls;
    copy->start();
    ASSERT_TRUE(test::waitFinished(copy));
    EXPECT_TRUE(runMainUntil([&] { return progressCalls > before; }, 5));
    EXPECT_EQ(copy->description().rfind("<HCURLConnectionOperation: 0x", 0), 0u);
    EXPECT_NE(copy->description().find(", state: isFinished, cancelled: NO request: "), std::string::npos);
}

}  // namespace
}  // namespace lv
