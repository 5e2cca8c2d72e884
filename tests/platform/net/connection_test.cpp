// Connection-style loading against loopback servers: bodies, streams, errors, cancellation, time-outs,
// flow control, cookies, the cache and the synchronous forms.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "echo.h"
#include "fixtures.h"
#include "platform/dispatch/operation.h"
#include "platform/net/cookie_storage.h"
#include "platform/net/errors.h"
#include "recorder.h"

namespace lv {
namespace {

using test::Echo;
using test::load;
using test::requestFor;

class Connection : public ::testing::Test {
protected:
    test::HttpFixture& server = test::HttpFixture::shared();
};

TEST_F(Connection, GetAndPostThroughEcho) {
    const struct {
        const char* method;
        std::optional<std::string> body;
        const char* contentType;
    } cases[] = {{"GET", std::nullopt, nullptr},
                 {"POST", std::string("a=1&b=2"), nullptr},
                 {"POST", std::string("{}"), "application/json"},
                 {"PUT", std::string("put body"), nullptr},
                 {"DELETE", std::nullopt, nullptr}};
    for (const auto& c : cases) {
        auto request = requestFor(server.url("/echo?x=1"), c.method);
        if (c.body) request.setHTTPBody(test::bytesOf(*c.body));
        if (c.contentType) request.setValue(std::string(c.contentType), "Content-Type");
        request.setValue("yes", "X-Custom");
        const auto r = load(request);
        ASSERT_TRUE(r->response) << c.method;
        std::vector<std::string> expected{"response 200", "data", "finish"};
        if (c.body) expected.insert(expected.begin(), "sent");
        EXPECT_EQ(r->events, expected) << c.method;
        const Echo echo(r->bodyText());
        EXPECT_EQ(echo.requestLine, std::string(c.method) + " /echo?x=1");
        EXPECT_EQ(echo.body, c.body.value_or(""));
        EXPECT_EQ(echo.header("Content-Type"), c.contentType ? std::optional<std::string>(c.contentType) : std::nullopt);
        EXPECT_FALSE(echo.header("Expect"));
        EXPECT_EQ(echo.header("X-Custom"), "yes");
        EXPECT_EQ(r->response->MIMEType(), "text/plain");
        // The server compresses the reply; the length announced is that of the encoded body.
        EXPECT_EQ(r->response->valueForHTTPHeaderField("content-encoding"), "gzip");
        EXPECT_GT(r->response->expectedContentLength(), 0);
    }
}

// A stream that gives its bytes in small pieces and can be told to fail after some of them.
class PieceStream : public InputStream {
public:
    PieceStream(std::string text, std::size_t failAfter) : text_(std::move(text)), failAfter_(failAfter) {}
    void open() override { setStatus(StreamStatus::Open); }
    void close() override { setStatus(StreamStatus::Closed); }
    long read(std::uint8_t* buffer, std::size_t length) override {
        if (offset_ >= failAfter_) {
            fail(Error::make("PieceStreamDomain", 7));
            return -1;
        }
        const std::size_t n = std::min({length, std::size_t(3), text_.size() - offset_});
        std::copy_n(text_.data() + offset_, n, buffer);
        offset_ += n;
        if (n == 0) setStatus(StreamStatus::AtEnd);
        return static_cast<long>(n);
    }
    bool hasBytesAvailable() const override { return offset_ < text_.size(); }

private:
    std::string text_;
    std::size_t offset_ = 0;
    std::size_t failAfter_;
};

TEST_F(Connection, StreamedUploads) {
    const std::string text = "streamed upload body";
    const struct {
        const char* name;
        std::optional<std::string> contentLength;
        std::size_t failAfter;
        std::string expectedEvent;
        std::string errorDomain;
    } cases[] = {
        {"with length", std::to_string(text.size()), SIZE_MAX, "finish", ""},
        {"chunked", std::nullopt, SIZE_MAX, "finish", ""},
        {"failing", std::nullopt, 6, "fail 7", "PieceStreamDomain"},
        {"short", std::to_string(text.size() + 10), SIZE_MAX, "fail -1005", "NSURLErrorDomain"},
    };
    for (const auto& c : cases) {
        auto request = requestFor(server.url("/echo"), "POST");
        request.setHTTPBodyStream(makeRef<PieceStream>(text, c.failAfter));
        if (c.contentLength) request.setValue(*c.contentLength, "Content-Length");
        request.setTimeoutInterval(5);
        const auto r = load(request);
        ASSERT_FALSE(r->events.empty()) << c.name;
        EXPECT_EQ(r->events.back(), c.expectedEvent) << c.name;
        if (c.errorDomain.empty()) {
            const Echo echo(r->bodyText());
            EXPECT_EQ(echo.body, text) << c.name;
            EXPECT_EQ(echo.header("Transfer-Encoding").has_value(), !c.contentLength) << c.name;
            EXPECT_EQ(r->events.front(), "sent") << c.name;
        } else {
            ASSERT_TRUE(r->error);
            EXPECT_EQ(r->error->domain(), c.errorDomain);
            EXPECT_EQ(r->error->userInfo().get(kURLErrorFailingURLStringErrorKey), Value(server.url("/echo")));
        }
    }
}

TEST_F(Connection, TransportErrors) {
    test::RawFixture midBody(test::RawFixture::Mode::CloseMidBody);
    test::RawFixture malformed(test::RawFixture::Mode::MalformedStatus);
    test::RawFixture shortBody(test::RawFixture::Mode::ShortBody);
    test::RawFixture silent(test::RawFixture::Mode::NeverAnswer);
    const int closedPort = [] {
        test::RawFixture gone(test::RawFixture::Mode::CloseMidBody);
        return gone.port();
    }();
    const struct {
        std::string url;
        double timeout;
        int code;
    } cases[] = {{midBody.url("/x"), 5, URLErrorNetworkConnectionLost},
                 {malformed.url("/x"), 5, URLErrorBadServerResponse},
                 {shortBody.url("/x"), 5, URLErrorNetworkConnectionLost},
                 {silent.url("/x"), 0.5, URLErrorTimedOut},
                 {"http://127.0.0.1:" + std::to_string(closedPort) + "/", 5, URLErrorCannotConnectToHost},
                 {"ftp://127.0.0.1/x", 5, URLErrorUnsupportedURL},
                 {"http://name.invalid/", 5, URLErrorCannotFindHost},
                 {server.url("/bad-gzip"), 5, URLErrorCannotDecodeContentData},
                 {"http://bad%00host/", 5, URLErrorBadURL}};
    for (const auto& c : cases) {
        auto request = requestFor(c.url);
        request.setTimeoutInterval(c.timeout);
        const auto r = load(request);
        ASSERT_TRUE(r->error) << c.url;
        EXPECT_EQ(r->error->domain(), kURLErrorDomain);
        EXPECT_EQ(r->error->code(), c.code) << c.url << " " << r->error->description();
        EXPECT_EQ(r->error->userInfo().get(kURLErrorFailingURLStringErrorKey), Value(c.url));
        EXPECT_TRUE(r->error->userInfo().get(kURLErrorFailingURLErrorKey).isObject());
        EXPECT_EQ(r->events.back(), "fail " + std::to_string(c.code));
    }
    const auto noURL = load(URLRequest());
    EXPECT_EQ(noURL->error ? noURL->error->code() : 0, URLErrorUnsupportedURL);
}

TEST_F(Connection, AHandshakeThatNeverEndsTimesOutAfterTheRequestTimeOut) {
    // The server takes the connection and never answers the TLS hello: only the time-out ends the
    // load. It is given in seconds; were it read as milliseconds the load would fail at once.
    test::RawFixture silent(test::RawFixture::Mode::NeverAnswer);
    auto request = requestFor("https://127.0.0.1:" + std::to_string(silent.port()) + "/x");
    request.setTimeoutInterval(1);
    const auto started = std::chrono::steady_clock::now();
    const auto r = load(request);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(r->error);
    EXPECT_EQ(r->error->code(), URLErrorTimedOut) << r->error->description();
    EXPECT_GE(elapsed.count(), 0.9);
}

TEST_F(Connection, CancelMidBodyIsFinal) {
    auto recorder = std::make_shared<test::Recorder>();
    recorder->onData = [&](URLConnection& connection, const Bytes&) {
        connection.cancel();
        recorder->cancelled = true;
    };
    auto connection = URLConnection::make(requestFor(server.url("/bytes/2000000?chunk=16384&delay_ms=1")), recorder);
    runMainUntil([&] { return recorder->cancelled; }, 10);
    ASSERT_TRUE(recorder->cancelled);
    // Give the engine time to have queued more deliveries; none may arrive.
    runMainUntil([] { return false; }, 0.3);
    EXPECT_EQ(recorder->afterCancel, 0);
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"response 200", "data"}));
    connection->cancel();  // a second cancel changes nothing
}

TEST_F(Connection, CancelFromAnotherTurnBeforeAnyEvent) {
    auto recorder = std::make_shared<test::Recorder>();
    auto connection = URLConnection::make(requestFor(server.url("/sleep/200")), recorder);
    connection->cancel();
    recorder->cancelled = true;
    auto notStarted = URLConnection::make(requestFor(server.url("/echo")), recorder, false);
    notStarted->cancel();
    notStarted->start();
    runMainUntil([] { return false; }, 0.5);
    EXPECT_TRUE(recorder->events.empty());
}

// A consumer slower than the wire: every chunk waits a little. The transfer is paused meanwhile
// and the body must arrive whole and in order.
TEST_F(Connection, LargeBodyToSlowConsumer) {
    constexpr std::size_t kSize = 5 * 1024 * 1024;
    auto recorder = std::make_shared<test::Recorder>();
    std::size_t chunks = 0;
    recorder->onData = [&](URLConnection&, const Bytes&) {
        if (++chunks % 2 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    const auto r = load(requestFor(server.url("/bytes/" + std::to_string(kSize))), recorder, 60);
    ASSERT_EQ(r->events.back(), "finish");
    ASSERT_EQ(r->body.size(), kSize);
    for (std::size_t i = 0; i < kSize; ++i) {
        if (r->body[i] != test::patternByte(i)) {
            FAIL() << "byte " << i << " differs";
        }
    }
}

// A consumer stuck inside a delegate call on its own thread holds up neither the engine nor other
// connections; its transfer is paused and completes intact once the consumer moves on.
TEST_F(Connection, StalledConsumerHoldsNoOneElse) {
    constexpr std::size_t kSize = 2 * 1024 * 1024;
    std::atomic<bool> release{false};
    std::atomic<std::size_t> received{0};
    std::atomic<bool> stalledIntact{false};
    std::thread consumer([&] {
        auto recorder = std::make_shared<test::Recorder>();
        recorder->onData = [&](URLConnection&, const Bytes& chunk) {
            received += chunk.size();
            while (!release) std::this_thread::yield();
        };
        auto connection = URLConnection::make(requestFor(server.url("/bytes/" + std::to_string(kSize))), recorder);
        RunLoop::current()->runUntil([&] { return recorder->done; }, 30);
        bool intact = recorder->body.size() == kSize;
        for (std::size_t i = 0; intact && i < kSize; ++i) intact = recorder->body[i] == test::patternByte(i);
        stalledIntact = intact;
    });
    ASSERT_TRUE(runMainUntil([&] { return received > 0; }, 10));
    const auto other = load(requestFor(server.url("/echo")));
    EXPECT_EQ(other->events.back(), "finish");
    release = true;
    consumer.join();
    EXPECT_TRUE(stalledIntact);
}

TEST_F(Connection, GzipIsDecoded) {
    const auto r = load(requestFor(server.url("/gzip")));
    EXPECT_EQ(r->bodyText(), std::string(2000, 'z') + "end");
    const auto echo = load(requestFor(server.url("/echo")));
    EXPECT_EQ(Echo(echo->bodyText()).header("Accept-Encoding"), "gzip, deflate");
}

TEST_F(Connection, CookiesOnAndOff) {
    auto& storage = HTTPCookieStorage::shared();
    storage.removeAllCookies();
    auto off = requestFor(server.url("/cookie/set?ignored=1"));
    off.setHTTPShouldHandleCookies(false);
    load(off);
    EXPECT_TRUE(storage.cookies().empty());

    load(requestFor(server.url("/cookie/set?flavour=oat")));
    const auto stored = storage.cookiesForURL(URL::URLWithString(server.url("/")));
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].name, "flavour");
    EXPECT_EQ(stored[0].value, "oat");
    EXPECT_EQ(load(requestFor(server.url("/cookie/show")))->bodyText(), "flavour=oat");
    auto withoutCookies = requestFor(server.url("/cookie/show"));
    withoutCookies.setHTTPShouldHandleCookies(false);
    EXPECT_EQ(load(withoutCookies)->bodyText(), "");

    storage.setCookie(HTTPCookie{"extra", "1", "127.0.0.1", "/", std::nullopt, false, false});
    EXPECT_EQ(load(requestFor(server.url("/cookie/show")))->bodyText().find("extra=1") != std::string::npos, true);
    storage.deleteCookie(stored[0]);
    EXPECT_EQ(storage.cookies().size(), 1u);
    storage.removeCookiesForDomain("127.0.0.1");
    EXPECT_TRUE(storage.cookies().empty());
}

TEST_F(Connection, CachePolicies) {
    URLCache::shared().removeAllCachedResponses();
    const std::string url = server.url("/cache/max-age/60");
    const std::string first = load(requestFor(url))->bodyText();  // "hit <n>": the server counts
    const struct {
        URLRequestCachePolicy policy;
        bool fromCache;
    } cases[] = {{URLRequestCachePolicy::UseProtocolCachePolicy, true},
                 {URLRequestCachePolicy::ReturnCacheDataDontLoad, true},
                 {URLRequestCachePolicy::ReloadIgnoringLocalCacheData, false},
                 {URLRequestCachePolicy::ReturnCacheDataElseLoad, true}};
    std::string latest = first;
    for (const auto& c : cases) {
        auto request = requestFor(url);
        request.setCachePolicy(c.policy);
        const std::string body = load(request)->bodyText();
        EXPECT_EQ(body == latest, c.fromCache) << static_cast<int>(c.policy) << " " << body;
        latest = body;  // a reload stores its reply
    }
    auto missing = requestFor(server.url("/echo"));
    missing.setCachePolicy(URLRequestCachePolicy::ReturnCacheDataDontLoad);
    EXPECT_EQ(load(missing)->error->code(), URLErrorResourceUnavailable);
    URLCache::shared().setMemoryCapacity(0);
    EXPECT_FALSE(URLCache::shared().cachedResponseForRequest(requestFor(url)));
    URLCache::shared().setMemoryCapacity(4u << 20);
}

TEST_F(Connection, SynchronousAndQueuedSends) {
    Ref<URLResponse> response;
    Ref<Error> error;
    auto data = URLConnection::sendSynchronousRequest(requestFor(server.url("/status/404")), &response, &error);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->end()), "status 404");
    const auto http = std::dynamic_pointer_cast<HTTPURLResponse>(response);
    ASSERT_TRUE(http);
    EXPECT_EQ(http->statusCode(), 404);
    EXPECT_FALSE(error);

    // From a worker thread too, while the main thread does nothing for it.
    std::atomic<bool> workerDone{false};
    std::thread worker([&] {
        Ref<Error> workerError;
        auto none = URLConnection::sendSynchronousRequest(requestFor("http://127.0.0.1:1/"), nullptr, &workerError);
        EXPECT_FALSE(none);
        EXPECT_EQ(workerError ? workerError->code() : 0, URLErrorCannotConnectToHost);
        workerDone = true;
    });
    worker.join();
    EXPECT_TRUE(workerDone);

    bool called = false;
    bool onMain = false;
    URLConnection::sendAsynchronousRequest(requestFor(server.url("/echo")), OperationQueue::mainQueue(),
                                           [&](Ref<URLResponse> r, std::optional<Bytes> body, Ref<Error> e) {
                                               called = true;
                                               onMain = Thread::isMainThread();
                                               EXPECT_TRUE(r && body && !e);
                                           });
    EXPECT_TRUE(runMainUntil([&] { return called; }, 10));
    EXPECT_TRUE(onMain);
}

}  // namespace
}  // namespace lv
