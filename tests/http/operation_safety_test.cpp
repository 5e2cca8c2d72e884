// What operations and session managers must not do with what the caller gave them, against loopback
// servers: credentials and cookies follow a redirect only to the same server, a wrong credential is
// offered once, the caching hook decides and a cancelled operation caches nothing, and a background
// task's expiry cancels its operation.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "http/http_request_operation_manager.h"
#include "http/http_session_manager.h"
#include "http/url_connection_operation.h"
#include "http_test_support.h"
#include "operation_test_support.h"
#include "platform/net/echo.h"
#include "platform/net/errors.h"
#include "platform/net/url_cache.h"
#include "platform/ui/application.h"

namespace lv {
namespace {

using test::HttpFixture;

using test::writeAll;

// Another server (another port of 127.0.0.1): records each request head and answers "landed".
struct OtherServer {
    std::mutex mutex;
    std::vector<std::string> heads;
    test::RawFixture fixture{[this](int fd, const std::string& head) {
        {
            std::lock_guard lock(mutex);
            heads.push_back(head);
        }
        writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\nlanded");
        ::close(fd);
    }};
    std::string lastHead() {
        std::lock_guard lock(mutex);
        return heads.empty() ? "" : heads.back();
    }
};

bool hasField(const std::string& head, const std::string& field) {
    std::string lower = head;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("\r\n" + field + ":") != std::string::npos;
}

// The reply text of a GET through either road, with the serializer's Authorization and Cookie set.
using Road = std::function<std::string(const std::string& path)>;

std::string getByOperation(const std::string& path, bool addBack) {
    auto manager = test::echoManager<HCHTTPRequestOperationManager>();
    manager->requestSerializer()->setAuthorizationHeaderFieldWithUsername("user", "secret");
    manager->requestSerializer()->setValue("session=abc", "Cookie");
    std::string reply;
    bool done = false;
    auto op = manager->HTTPRequestOperationWithHTTPMethod(
        "GET", path, Value(), [&](const Ref<HCHTTPRequestOperation>&, const Value& object) { reply = test::text(object), done = true; },
        [&](const Ref<HCHTTPRequestOperation>&, const Ref<Error>& error) { reply = error->description(), done = true; });
    if (addBack) {
        // A redirect hook may put the credentials back on purpose.
        op->setRedirectResponseBlock([](URLConnection&, const URLRequest& proposed, const Ref<URLResponse>&) {
            URLRequest next = proposed;
            next.setValue("Basic dXNlcjpzZWNyZXQ=", "Authorization");
            return std::optional<URLRequest>(next);
        });
    }
    manager->operationQueue()->addOperation(op);
    EXPECT_TRUE(runMainUntil([&] { return done; }, 10));
    return reply;
}

std::string getBySessionManager(const std::string& path) {
    auto manager = test::echoManager<HCHTTPSessionManager>();
    manager->requestSerializer()->setAuthorizationHeaderFieldWithUsername("user", "secret");
    manager->requestSerializer()->setValue("session=abc", "Cookie");
    std::string reply;
    bool done = false;
    manager->GET(path, Value(), [&](const Ref<URLSessionDataTask>&, const Value& object) { reply = test::text(object), done = true; },
                 [&](const Ref<URLSessionDataTask>&, const Ref<Error>& error) { reply = error->description(), done = true; });
    EXPECT_TRUE(runMainUntil([&] { return done; }, 10));
    manager->invalidateSessionCancelingTasks(true);
    return reply;
}

TEST(OperationSafety, CredentialsAndCookiesFollowARedirectOnlyToTheSameServer) {
    OtherServer other;
    const std::pair<const char*, Road> roads[] = {
        {"operation", [](const std::string& path) { return getByOperation(path, false); }},
        {"session manager", getBySessionManager},
    };
    for (const auto& [roadName, road] : roads) {
        for (const int status : {301, 302, 303, 307, 308}) {
            const std::string label = std::string(roadName) + " " + std::to_string(status);
            // To another server: the fields stay behind.
            EXPECT_EQ(road("redirect/" + std::to_string(status) + "?to=" + other.fixture.url("/landing")), "landed") << label;
            const std::string head = other.lastHead();
            EXPECT_EQ(head.substr(0, head.find("\r\n")), "GET /landing HTTP/1.1") << label;
            EXPECT_FALSE(hasField(head, "authorization")) << label << "\n" << head;
            EXPECT_FALSE(hasField(head, "cookie")) << label << "\n" << head;
            // On the same server they are kept.
            const test::Echo echo(road("redirect/" + std::to_string(status) + "?to=/echo"));
            EXPECT_EQ(echo.requestLine, "GET /echo") << label;
            EXPECT_EQ(echo.header("Authorization"), "Basic dXNlcjpzZWNyZXQ=") << label;
            EXPECT_EQ(echo.header("Cookie"), "session=abc") << label;
        }
    }
    // The same host under another scheme or port is another server too; a redirect hook may add back.
    EXPECT_EQ(getByOperation("redirect/302?to=" + other.fixture.url("/landing"), true), "landed");
    EXPECT_TRUE(hasField(other.lastHead(), "authorization"));
}

// A 401 answered with the operation's credential is retried once; a wrong password is not offered
// again, so the load ends with the server's 401.
TEST(OperationSafety, AWrongCredentialIsOfferedOnlyAtTheFirstChallenge) {
    std::atomic<int> requests{0};
    std::atomic<int> withCredential{0};
    test::RawFixture denying([&](int fd, const std::string& head) {
        ++requests;
        if (hasField(head, "authorization")) ++withCredential;
        writeAll(fd, "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"r\"\r\nContent-Length: 6\r\n"
                     "Connection: close\r\n\r\ndenied");
        ::close(fd);
    });
    auto op = HCURLConnectionOperation::make(test::requestFor(denying.url("/private")));
    op->setCredential(URLCredential::make("user", "wrong"));
    op->start();
    ASSERT_TRUE(test::waitFinished(op));
    auto response = std::dynamic_pointer_cast<HTTPURLResponse>(op->response());
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->statusCode(), 401);
    EXPECT_EQ(op->responseString(), "denied");
    EXPECT_EQ(requests.load(), 2);
    EXPECT_EQ(withCredential.load(), 1);
}

// The caching hook's answer is what the cache stores.
TEST(OperationSafety, TheCacheResponseBlockDecidesWhatIsCached) {
    URLCache::shared().removeAllCachedResponses();
    for (const bool keep : {true, false}) {
        const std::string url = HttpFixture::shared().url("/cache/max-age/60?keep=" + std::to_string(keep));
        auto op = HCURLConnectionOperation::make(test::requestFor(url));
        int asked = 0;
        op->setCacheResponseBlock([&](URLConnection&, const Ref<CachedURLResponse>& proposed) -> Ref<CachedURLResponse> {
            ++asked;
            return keep ? proposed : nullptr;
        });
        op->start();
        ASSERT_TRUE(test::waitFinished(op));
        EXPECT_EQ(op->error(), nullptr);
        EXPECT_EQ(asked, 1) << keep;
        EXPECT_EQ(URLCache::shared().cachedResponseForRequest(test::requestFor(url)) != nullptr, keep) << keep;
    }
    URLCache::shared().removeAllCachedResponses();
}

// An output stream that cancels its operation when the body arrives.
class CancellingStream : public OutputStream {
public:
    Weak<HCURLConnectionOperation> op;
    void open() override { setStatus(StreamStatus::Open); }
    void close() override { setStatus(StreamStatus::Closed); }
    bool hasSpaceAvailable() const override { return true; }
    long write(const std::uint8_t*, std::size_t length) override {
        if (auto strong = op.lock()) strong->cancel();
        return static_cast<long>(length);
    }
};

// Without a hook, an operation cancelled while its reply ends caches nothing.
TEST(OperationSafety, ACancelledOperationCachesNothing) {
    URLCache::shared().removeAllCachedResponses();
    for (int i = 0; i < 5; ++i) {
        const std::string url = HttpFixture::shared().url("/cache/max-age/60?cancelled=" + std::to_string(i));
        auto op = HCURLConnectionOperation::make(test::requestFor(url));
        auto stream = makeRef<CancellingStream>();
        stream->op = op;
        op->setOutputStream(stream);
        op->start();
        ASSERT_TRUE(test::waitFinished(op));
        EXPECT_TRUE(op->isCancelled());
        EXPECT_EQ(URLCache::shared().cachedResponseForRequest(test::requestFor(url)), nullptr) << i;
    }
    URLCache::shared().removeAllCachedResponses();
}

// The expiry of an operation's background task runs the caller's handler and cancels the operation.
TEST(OperationSafety, ABackgroundTasksExpiryCancelsItsOperation) {
    test::RawFixture silent(test::RawFixture::Mode::NeverAnswer);
    auto op = HCURLConnectionOperation::make(test::requestFor(silent.url("/slow")));
    int handled = 0;
    op->setShouldExecuteAsBackgroundTaskWithExpirationHandler([&] { ++handled; });
    const BackgroundTaskIdentifier task = op->backgroundTaskIdentifier();
    EXPECT_NE(task, kBackgroundTaskInvalid);
    op->start();
    ASSERT_TRUE(runMainUntil([&] { return op->isExecuting(); }, 10));
    EXPECT_GE(Application::sharedApplication()->expireBackgroundTasks(), 1u);
    ASSERT_TRUE(test::waitFinished(op));
    EXPECT_EQ(handled, 1);
    EXPECT_TRUE(op->isCancelled());
    ASSERT_NE(op->error(), nullptr);
    EXPECT_EQ(op->error()->code(), URLErrorCancelled);
    EXPECT_EQ(op->backgroundTaskIdentifier(), kBackgroundTaskInvalid);
    const auto running = Application::sharedApplication()->runningBackgroundTasks();
    EXPECT_EQ(std::count(running.begin(), running.end(), task), 0);
}

}  // namespace
}  // namespace lv
