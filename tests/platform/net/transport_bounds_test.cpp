// What the URL engine refuses to put on the wire or to take from it: bodies past their declared
// length, header fields that would break the request's framing, replies past a size bound, loads past
// their resource time-out, and silent re-sends of a request whose body was sent in full.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

#include "echo.h"
#include "fixtures.h"
#include "platform/net/errors.h"
#include "recorder.h"
#include "session_recorder.h"

namespace lv {
namespace {

using test::Echo;
using test::load;
using test::requestFor;

using test::writeAll;

// Reads from fd until `have` holds a whole request (head and Content-Length body); the rest stays in
// `have`. False when the peer closes or stays silent for patienceMs first.
bool readRequest(int fd, std::string& have, std::string& request, int patienceMs = 2000) {
    for (;;) {
        const auto headEnd = have.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
            std::size_t length = 0;
            const auto field = have.find("Content-Length: ");
            if (field != std::string::npos && field < headEnd) length = std::stoul(have.substr(field + 16));
            if (have.size() >= headEnd + 4 + length) {
                request = have.substr(0, headEnd + 4 + length);
                have.erase(0, request.size());
                return true;
            }
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, patienceMs) <= 0) return false;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        have.append(buffer, static_cast<std::size_t>(n));
    }
}

class TransportBounds : public ::testing::Test {
protected:
    test::HttpFixture& server = test::HttpFixture::shared();
};

TEST_F(TransportBounds, AStreamRunningPastItsLengthIsRefusedAndSmugglesNothing) {
    const std::string smuggled = "GET /echo?smuggled=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::string body(100, 'a');
    const struct {
        const char* name;
        std::string stream;
        std::string expectedEvent;
    } cases[] = {
        {"exact", body, "finish"},
        {"a request appended", body + smuggled, "fail -1005"},
        {"one byte over", body + "b", "fail -1005"},
        {"far over", body + std::string(600 * 1024, 'c'), "fail -1005"},
    };
    for (const auto& c : cases) {
        std::mutex mutex;
        std::vector<std::string> requests;  // each whole request the server read, in order
        std::string leftover;               // bytes of a connection that made no whole request
        std::shared_ptr<test::Recorder> post, next;
        {
            // A kept-alive server: answers each whole request until the connection goes quiet.
            test::RawFixture keptAlive([&](int fd, const std::string& head) {
                std::string have = head;
                std::string request;
                while (readRequest(fd, have, request, 300)) {
                    {
                        std::lock_guard lock(mutex);
                        requests.push_back(request);
                    }
                    writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
                }
                ::close(fd);
                std::lock_guard lock(mutex);
                leftover += have;
            });
            auto request = requestFor(keptAlive.url("/upload"), "POST");
            request.setHTTPBodyStream(InputStream::withData(test::bytesOf(c.stream)));
            request.setValue("100", "Content-Length");
            request.setTimeoutInterval(5);
            post = load(request);
            next = load(requestFor(keptAlive.url("/next")));
        }  // every connection read to its end
        ASSERT_FALSE(post->events.empty()) << c.name;
        EXPECT_EQ(post->events.back(), c.expectedEvent) << c.name;
        EXPECT_EQ(next->events.back(), "finish") << c.name;
        // The server read the upload (whole only when the stream matched its length), then /next on
        // its own; the bytes past the length never reached it, not even on a connection of their own.
        std::vector<std::string> lines;
        for (const auto& r : requests) lines.push_back(r.substr(0, r.find("\r\n")));
        const std::vector<std::string> expected = c.expectedEvent == "finish"
                                                      ? std::vector<std::string>{"POST /upload HTTP/1.1", "GET /next HTTP/1.1"}
                                                      : std::vector<std::string>{"GET /next HTTP/1.1"};
        EXPECT_EQ(lines, expected) << c.name;
        const std::string sent = c.expectedEvent == "finish" ? requests.front() : leftover;
        ASSERT_NE(sent.find("\r\n\r\n"), std::string::npos) << c.name;
        const std::string sentBody = sent.substr(sent.find("\r\n\r\n") + 4);
        EXPECT_LE(sentBody.size(), 100u) << c.name;
        EXPECT_EQ(sentBody.find_first_not_of('a'), std::string::npos) << c.name;
    }
}

TEST_F(TransportBounds, HeaderFieldsWithLineBreaksOrNulAreRefusedUnsent) {
    std::atomic<int> connections{0};
    test::RawFixture counter([&](int fd, const std::string&) {
        ++connections;
        writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        ::close(fd);
    });
    const struct {
        const char* name;
        std::string field;
        std::string value;
    } cases[] = {
        {"CR LF in a value", "X-Evil", "a\r\nX-Injected: 1"},
        {"lone LF in a value", "X-Evil", "a\nX-Injected: 1"},
        {"lone CR in a value", "X-Evil", "a\rb"},
        {"NUL in a value", "X-Evil", std::string("a\0b", 3)},
        {"CR LF in a name", "X-Evil\r\nX-Injected", "1"},
        {"LF in a name", "X-Evil\nX", "1"},
        {"an Authorization token", "Authorization", "Token token=\"abc\r\nX-Injected: yes\""},
    };
    for (const auto& c : cases) {
        for (const char* method : {"GET", "POST"}) {
            auto request = requestFor(counter.url("/x"), method);
            if (std::string_view(method) == "POST") request.setHTTPBody(test::bytesOf("body"));
            request.setValue(c.value, c.field);
            const auto r = load(request);
            ASSERT_TRUE(r->error) << c.name;
            EXPECT_EQ(r->error->domain(), kURLErrorDomain);
            EXPECT_EQ(r->error->code(), URLErrorBadURL) << c.name;
            EXPECT_NE(r->error->localizedDescription().find("contains CR, LF or NUL"), std::string::npos)
                << r->error->localizedDescription();
            EXPECT_EQ(r->error->userInfo().get(kURLErrorFailingURLStringErrorKey), Value(counter.url("/x")));
            EXPECT_EQ(r->events, std::vector<std::string>{"fail -1000"}) << c.name;
        }
    }
    EXPECT_EQ(connections.load(), 0);
    // Tabs and other text pass as given.
    auto clean = requestFor(server.url("/echo"));
    clean.setValue("a\tb c", "X-Clean");
    EXPECT_EQ(Echo(load(clean)->bodyText()).header("X-Clean"), "a\tb c");
}

TEST_F(TransportBounds, ARepliesDecodedSizeIsBoundedAsItArrives) {
    constexpr std::int64_t kBound = 64 * 1024;
    // 8 MiB of JSON-like text that compresses to a few kilobytes.
    const std::string inflated = "[" + std::string(8 * 1024 * 1024 - 2, ' ') + "]";
    const std::string bomb = test::gzip(inflated);
    ASSERT_LT(bomb.size(), 64 * 1024u);
    test::RawFixture gzipServer([&](int fd, const std::string&) {
        writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + std::to_string(bomb.size()) +
                         "\r\n\r\n" + bomb);
        ::close(fd);
    });
    const struct {
        const char* name;
        std::string url;
        std::int64_t bound;
        std::size_t length;  // of the decoded reply; 0 when refused
    } cases[] = {
        {"plain, at the bound", server.url("/bytes/65536"), kBound, 65536},
        {"plain, one byte over", server.url("/bytes/65537"), kBound, 0},
        {"chunked over", server.url("/bytes/300000?chunk=1000"), kBound, 0},
        // Past the flow-control mark, so reading pauses and resumes on the way.
        {"large, over", server.url("/bytes/8000000"), 16 * kBound, 0},
        {"gzip inflating past it", gzipServer.url("/bomb"), kBound, 0},
        {"gzip without a bound", gzipServer.url("/bomb"), 0, inflated.size()},
    };
    for (const auto& c : cases) {
        auto request = requestFor(c.url);
        request.setMaximumResponseBodySize(c.bound);
        request.setTimeoutInterval(5);
        const auto r = load(request, nullptr, 20);
        if (c.length > 0) {
            EXPECT_EQ(r->events.back(), "finish") << c.name;
            EXPECT_EQ(r->body.size(), c.length) << c.name;
            continue;
        }
        ASSERT_TRUE(r->error) << c.name;
        EXPECT_EQ(r->error->code(), URLErrorDataLengthExceedsMaximum) << c.name;
        EXPECT_EQ(r->error->localizedDescription(), "resource exceeds maximum size");
        EXPECT_LE(static_cast<std::int64_t>(r->body.size()), c.bound) << c.name;
    }
}

TEST_F(TransportBounds, ATricklingReplyEndsAtTheResourceTimeOut) {
    std::atomic<bool> stop{false};
    test::RawFixture trickle([&](int fd, const std::string&) {
        writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        // One byte every 50 ms, well inside the idle time-out, until the client goes away.
        for (int i = 0; i < 1000 && !stop.load(); ++i) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) break;  // the client closed
            if (::send(fd, "x", 1, MSG_NOSIGNAL) != 1) break;
        }
        ::close(fd);
    });
    auto request = requestFor(trickle.url("/slow"));
    request.setTimeoutInterval(2);
    request.setResourceTimeoutInterval(0.5);
    const auto started = std::chrono::steady_clock::now();
    const auto r = load(request);
    stop = true;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(r->error);
    EXPECT_EQ(r->error->code(), URLErrorTimedOut);
    const auto underlying = r->error->userInfo().get(kUnderlyingErrorKey);
    ASSERT_TRUE(underlying.isObject());
    EXPECT_EQ(underlying.objectAs<Error>()->localizedDescription(), "resource time-out");
    EXPECT_FALSE(r->body.empty());  // bytes kept coming: the idle time-out never applied
    EXPECT_LT(seconds, 5.0);
}

// Session tasks share the engine: the same refusals, the reply bound and the request's resource
// time-out (the smaller of it and the configuration's) hold for them.
TEST_F(TransportBounds, SessionTasksKeepTheSameBounds) {
    test::RawFixture trickle([](int fd, const std::string&) {
        writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        for (int i = 0; i < 1000; ++i) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0 || ::send(fd, "x", 1, MSG_NOSIGNAL) != 1) break;
        }
        ::close(fd);
    });
    auto unsafe = test::fixtureRequest("/echo");
    unsafe.setValue("a\r\nX-Injected: 1", "X-Evil");
    auto bounded = test::fixtureRequest("/bytes/65537");
    bounded.setMaximumResponseBodySize(65536);
    auto slow = requestFor(trickle.url("/slow"));
    slow.setTimeoutInterval(2);
    slow.setResourceTimeoutInterval(0.5);
    const struct {
        const char* name;
        URLRequest request;
        int code;
    } cases[] = {{"header", unsafe, URLErrorBadURL},
                 {"bound", bounded, URLErrorDataLengthExceedsMaximum},
                 {"resource time-out", slow, URLErrorTimedOut}};
    for (const auto& c : cases) {
        auto recorder = std::make_shared<test::SessionRecorder>();
        auto session = URLSession::sessionWithConfiguration(nullptr, recorder);
        recorder->expectedQueue = session->delegateQueue();
        auto task = session->dataTaskWithRequest(c.request);
        test::runTask(task, *recorder);
        EXPECT_EQ(test::errorCode(task->error()), c.code) << c.name;
        EXPECT_LE(recorder->body.size(), 65536u) << c.name;
        session->invalidateAndCancel();
    }
}

// Each connection answers its first request and keeps the connection; it reads the second one whole
// and closes without a word, as a server that drops a kept-alive connection at the wrong moment.
TEST_F(TransportBounds, ARequestSentInFullIsNotSentAgainUnlessIdempotent) {
    enum Body { None, Data, Stream };
    const struct {
        const char* name;
        const char* method;
        Body body;
        std::string expectedEvent;
        int requests;  // that reached the server
    } cases[] = {
        {"POST with a body", "POST", Data, "fail -1005", 2},
        {"POST with a stream", "POST", Stream, "fail -1005", 2},
        {"POST without a body", "POST", None, "fail -1005", 2},
        {"PATCH with a body", "PATCH", Data, "fail -1005", 2},
        {"PUT with a body", "PUT", Data, "finish", 3},
        {"DELETE", "DELETE", None, "finish", 3},
        {"GET", "GET", None, "finish", 3},
    };
    for (const auto& c : cases) {
        std::atomic<int> requests{0};
        test::RawFixture dropper([&](int fd, const std::string& head) {
            std::string have = head;
            std::string request;
            if (readRequest(fd, have, request)) {
                ++requests;
                writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
                if (readRequest(fd, have, request, 500)) ++requests;
            }
            ::close(fd);
        });
        std::shared_ptr<test::Recorder> second;
        for (int i = 0; i < 2; ++i) {
            auto request = requestFor(dropper.url("/upload"), c.method);
            const Bytes body = test::bytesOf("{\"guid\":\"1\"}");
            if (c.body == Data) request.setHTTPBody(body);
            if (c.body == Stream) {
                request.setHTTPBodyStream(InputStream::withData(body));
                request.setValue(std::to_string(body.size()), "Content-Length");
            }
            request.setTimeoutInterval(5);
            second = load(request);
            if (i == 0) {
                ASSERT_EQ(second->events.back(), "finish") << c.name;
                ASSERT_TRUE(runMainUntil([&] { return requests.load() == 1; }, 5));
            }
        }
        EXPECT_EQ(second->events.back(), c.expectedEvent) << c.name << (second->error ? second->error->description() : "");
        // Whatever the server was sent arrived before the reply or failure that followed it.
        EXPECT_EQ(requests.load(), c.requests) << c.name;
        if (second->error) {
            EXPECT_EQ(second->error->domain(), kURLErrorDomain);
        }
    }
}

}  // namespace
}  // namespace lv
