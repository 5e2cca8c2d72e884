// What the URL engine keeps whole on the wire, on both roads (connections and session tasks): a
// caller's framing fields never split a body into a second request, header names are tokens, a
// compressed reply is whole or a failure, a reply's length is never ambiguous, libcurl's results map to
// the platform's codes, and transfers wait for a connection instead of opening one per request.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <curl/curl.h>
#include <mutex>

#include "echo.h"
#include "fixtures.h"
#include "platform/net/detail/engine.h"
#include "platform/net/errors.h"
#include "recorder.h"
#include "roads.h"
#include "session_recorder.h"

namespace lv {
namespace {

using test::load;
using test::requestFor;

using test::writeAll;
using test::compressed;

// Serves one kept-alive connection: each whole request (head and Content-Length body) in `have` goes
// to `answer`, until the peer closes or `stop` is set. The bytes of no whole request are left in `have`.
void serveKeptAlive(int fd, std::string have, const std::atomic<bool>& stop,
                    const std::function<void(int fd, const std::string& request)>& answer) {
    for (;;) {
        const auto headEnd = have.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
            std::size_t length = 0;
            const auto field = have.find("Content-Length: ");
            if (field != std::string::npos && field < headEnd) length = std::stoul(have.substr(field + 16));
            if (have.size() >= headEnd + 4 + length) {
                const std::string request = have.substr(0, headEnd + 4 + length);
                have.erase(0, request.size());
                answer(fd, request);
                continue;
            }
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 20);
        if (stop.load()) break;
        if (ready <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        have.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
}

std::string requestLine(const std::string& request) { return request.substr(0, request.find("\r\n")); }

using test::kRoads;
using test::Outcome;

// A caller's Content-Length or Transfer-Encoding never frames the body: the server reads the whole body
// as one request, nothing in it as a request of its own, and the next request on the connection gets
// its own reply.
TEST(WireIntegrity, ACallersFramingFieldsCannotSmuggleARequest) {
    const std::string smuggled = "GET /smuggled HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::string body = "abcd" + smuggled;
    const struct {
        const char* name;
        const char* field;
        std::string value;
    } cases[] = {
        {"a shorter length", "Content-Length", "4"},
        {"a zero length", "content-length", "0"},
        {"a longer length", "Content-Length", std::to_string(body.size() + 50)},
        {"chunked", "Transfer-Encoding", "chunked"},
    };
    for (const auto& [roadName, road] : kRoads) {
        for (const auto& c : cases) {
            std::mutex mutex;
            std::vector<std::string> requests;
            std::atomic<bool> stop{false};
            test::RawFixture server([&](int fd, const std::string& head) {
                serveKeptAlive(fd, head, stop, [&](int client, const std::string& request) {
                    {
                        std::lock_guard lock(mutex);
                        requests.push_back(request);
                    }
                    const std::string line = requestLine(request);
                    writeAll(client, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(line.size()) + "\r\n\r\n" + line);
                });
            });
            const std::string label = std::string(roadName) + ", " + c.name;
            auto post = requestFor(server.url("/upload"), "POST");
            post.setHTTPBody(test::bytesOf(body));
            post.setValue(c.value, c.field);
            post.setTimeoutInterval(5);
            const Outcome posted = road(post);
            const Outcome next = road(requestFor(server.url("/next")));
            stop = true;
            EXPECT_EQ(posted.code, 0) << label;
            EXPECT_EQ(posted.body, "POST /upload HTTP/1.1") << label;
            EXPECT_EQ(next.body, "GET /next HTTP/1.1") << label;
            std::lock_guard lock(mutex);
            ASSERT_EQ(requests.size(), 2u) << label;
            EXPECT_EQ(requestLine(requests[1]), "GET /next HTTP/1.1") << label;
            EXPECT_EQ(requests[0].substr(requests[0].find("\r\n\r\n") + 4), body) << label;
            EXPECT_NE(requests[0].find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos)
                << label;
            EXPECT_EQ(requests[0].find("Transfer-Encoding"), std::string::npos) << label;
        }
    }
}

// Field names must be HTTP tokens: anything else is refused as a line break is, before a connection.
TEST(WireIntegrity, HeaderNamesThatAreNotTokensAreRefusedUnsent) {
    std::atomic<int> connections{0};
    test::RawFixture counter([&](int fd, const std::string&) {
        ++connections;
        writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        ::close(fd);
    });
    const std::string refused[] = {"Host: evil.example", "X A", "", "X\tA", "X(A)", "X\"A", "X/A", "X@A",
                                   "X\x7f", "\xc3\xa9t\xc3\xa9"};
    for (const auto& [roadName, road] : kRoads) {
        for (const auto& name : refused) {
            auto request = requestFor(counter.url("/x"));
            request.setValue("1", name);
            const Outcome outcome = road(request);
            EXPECT_EQ(outcome.code, URLErrorBadURL) << roadName << " \"" << name << "\"";
        }
    }
    EXPECT_EQ(connections.load(), 0);
    // Every token character passes as given.
    auto clean = requestFor(test::HttpFixture::shared().url("/echo"));
    clean.setValue("1", "X-Aa0!#$%&'*+.^_`|~");
    const auto r = load(clean);
    EXPECT_EQ(test::Echo(r->bodyText()).header("X-Aa0!#$%&'*+.^_`|~"), "1");
    const auto error = load([&] {
        auto request = requestFor(counter.url("/x"));
        request.setValue("1", "X A");
        return request;
    }());
    ASSERT_TRUE(error->error);
    EXPECT_EQ(error->error->localizedDescription(), "Header field name \"X A\" is not a token; the request was not sent.");
}

// A compressed reply is decoded whole and checked to its end; one that stops early (its framing
// honoured), lacks its trailer, fails its check value or runs on past its end is a decoding failure.
TEST(WireIntegrity, ACompressedReplyIsWholeOrAFailure) {
    std::string text;
    for (int i = 0; text.size() < 100000; ++i) text += std::to_string(i * 7919) + ",";
    text.resize(100000);
    const std::string gz = compressed(text, 16 + MAX_WBITS);
    std::string badCrc = gz;
    badCrc[badCrc.size() - 8] = static_cast<char>(badCrc[badCrc.size() - 8] ^ 0x01);
    const struct {
        const char* name;
        const char* encoding;
        std::string body;
        bool chunked;
        bool whole;  // the text arrives whole; otherwise the load fails with -1015
    } cases[] = {
        {"gzip", "gzip", gz, false, true},
        {"gzip, chunked", "gzip", gz, true, true},
        {"x-gzip", "x-gzip", gz, false, true},
        {"deflate", "deflate", compressed(text, MAX_WBITS), false, true},
        {"raw deflate", "deflate", compressed(text, -MAX_WBITS), false, true},
        {"gzip under deflate", "gzip, deflate", compressed(gz, MAX_WBITS), false, true},
        {"gzip cut in half", "gzip", gz.substr(0, gz.size() / 2), false, false},
        {"gzip cut in half, chunked", "gzip", gz.substr(0, gz.size() / 2), true, false},
        {"gzip without its trailer", "gzip", gz.substr(0, gz.size() - 8), false, false},
        {"gzip with a bad CRC", "gzip", badCrc, false, false},
        {"gzip with bytes after it", "gzip", gz + "trailing", false, false},
        {"gzip followed by a second member", "gzip", gz + compressed("more", 16 + MAX_WBITS), false, false},
        {"deflate cut short", "deflate", compressed(text, MAX_WBITS).substr(0, 100), false, false},
        {"an unknown coding", "br", "abc", false, false},
    };
    for (const auto& c : cases) {
        test::RawFixture server([&](int fd, const std::string&) {
            std::string reply = "HTTP/1.1 200 OK\r\nContent-Encoding: " + std::string(c.encoding) + "\r\n";
            if (c.chunked) {
                char size[32];
                std::snprintf(size, sizeof size, "%zx", c.body.size());
                reply += "Transfer-Encoding: chunked\r\n\r\n" + std::string(size) + "\r\n" + c.body + "\r\n0\r\n\r\n";
            } else {
                reply += "Content-Length: " + std::to_string(c.body.size()) + "\r\n\r\n" + c.body;
            }
            writeAll(fd, reply);
            ::close(fd);
        });
        for (const auto& [roadName, road] : kRoads) {
            const std::string label = std::string(roadName) + ", " + c.name;
            const Outcome outcome = road(requestFor(server.url("/text")));
            if (c.whole) {
                EXPECT_EQ(outcome.code, 0) << label;
                EXPECT_EQ(outcome.body.size(), text.size()) << label;
                EXPECT_TRUE(outcome.body == text) << label;
            } else {
                EXPECT_EQ(outcome.code, URLErrorCannotDecodeContentData) << label;
                EXPECT_LE(outcome.body.size(), text.size()) << label;
            }
        }
    }
}

// A reply body that declares no coding, or one that is empty, passes unchanged.
TEST(WireIntegrity, EmptyAndIdentityBodiesPassUnchanged) {
    const struct {
        const char* name;
        std::string reply;
        std::string body;
    } cases[] = {
        {"empty gzip body", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 0\r\n\r\n", ""},
        {"identity", "HTTP/1.1 200 OK\r\nContent-Encoding: identity\r\nContent-Length: 5\r\n\r\nplain", "plain"},
        {"gzip 204", "HTTP/1.1 204 No Content\r\nContent-Encoding: gzip\r\n\r\n", ""},
    };
    for (const auto& c : cases) {
        test::RawFixture server([&](int fd, const std::string&) {
            writeAll(fd, c.reply);
            ::close(fd);
        });
        for (const auto& [roadName, road] : kRoads) {
            const Outcome outcome = road(requestFor(server.url("/x")));
            EXPECT_EQ(outcome.code, 0) << roadName << ", " << c.name;
            EXPECT_EQ(outcome.body, c.body) << roadName << ", " << c.name;
        }
    }
}

// A reply whose length two readers could read differently is a bad server response; a repeated equal
// length is one length.
TEST(WireIntegrity, AnAmbiguousReplyLengthIsABadServerResponse) {
    const struct {
        const char* name;
        std::string fields;
        int code;
        std::string body;
    } cases[] = {
        {"two different fields", "Content-Length: 10\r\nContent-Length: 5\r\n", URLErrorBadServerResponse, ""},
        {"a list of two lengths", "Content-Length: 5, 10\r\n", URLErrorBadServerResponse, ""},
        {"a length that is not a number", "Content-Length: ten\r\n", URLErrorBadServerResponse, ""},
        {"a repeated equal field", "Content-Length: 10\r\nContent-Length: 10\r\n", 0, "0123456789"},
        {"a list of one length repeated", "Content-Length: 10, 10\r\n", 0, "0123456789"},
    };
    for (const auto& c : cases) {
        test::RawFixture server([&](int fd, const std::string&) {
            writeAll(fd, "HTTP/1.1 200 OK\r\n" + c.fields + "\r\n0123456789");
            ::close(fd);
        });
        for (const auto& [roadName, road] : kRoads) {
            const Outcome outcome = road(requestFor(server.url("/x")));
            EXPECT_EQ(outcome.code, c.code) << roadName << ", " << c.name;
            EXPECT_EQ(outcome.body, c.body) << roadName << ", " << c.name;
        }
    }
}

// Every libcurl result an HTTP transfer can meet has the nearest platform code; -1 stays for those
// with none.
TEST(WireIntegrity, LibcurlResultsMapToTheNearestPlatformCode) {
    const struct {
        CURLcode result;
        int code;
    } table[] = {
        {CURLE_OK, 0},
        {CURLE_URL_MALFORMAT, URLErrorBadURL},
        {CURLE_NOT_BUILT_IN, URLErrorUnsupportedURL},
        {CURLE_COULDNT_RESOLVE_HOST, URLErrorCannotFindHost},
        {CURLE_COULDNT_RESOLVE_PROXY, URLErrorCannotFindHost},
        {CURLE_COULDNT_CONNECT, URLErrorCannotConnectToHost},
        {CURLE_INTERFACE_FAILED, URLErrorCannotConnectToHost},
        {CURLE_NO_CONNECTION_AVAILABLE, URLErrorCannotConnectToHost},
        {CURLE_OPERATION_TIMEDOUT, URLErrorTimedOut},
        {CURLE_GOT_NOTHING, URLErrorNetworkConnectionLost},
        {CURLE_SEND_ERROR, URLErrorNetworkConnectionLost},
        {CURLE_RECV_ERROR, URLErrorNetworkConnectionLost},
        {CURLE_PARTIAL_FILE, URLErrorNetworkConnectionLost},
        {CURLE_SEND_FAIL_REWIND, URLErrorNetworkConnectionLost},
        {CURLE_UPLOAD_FAILED, URLErrorNetworkConnectionLost},
        {CURLE_UNSUPPORTED_PROTOCOL, URLErrorBadServerResponse},
        {CURLE_WEIRD_SERVER_REPLY, URLErrorBadServerResponse},
        {CURLE_OUT_OF_MEMORY, URLErrorBadServerResponse},
        {CURLE_AUTH_ERROR, URLErrorBadServerResponse},
        {CURLE_RANGE_ERROR, URLErrorBadServerResponse},
        {CURLE_TOO_MANY_REDIRECTS, URLErrorHTTPTooManyRedirects},
        {CURLE_BAD_CONTENT_ENCODING, URLErrorCannotDecodeContentData},
        {CURLE_FILESIZE_EXCEEDED, URLErrorDataLengthExceedsMaximum},
        {CURLE_READ_ERROR, URLErrorRequestBodyStreamExhausted},
        {CURLE_ABORTED_BY_CALLBACK, URLErrorCancelled},
        {CURLE_SSL_CONNECT_ERROR, URLErrorSecureConnectionFailed},
        {CURLE_SSL_CERTPROBLEM, URLErrorSecureConnectionFailed},
        {CURLE_SSL_CIPHER, URLErrorSecureConnectionFailed},
        {CURLE_SSL_SHUTDOWN_FAILED, URLErrorSecureConnectionFailed},
        {CURLE_SSL_CLIENTCERT, URLErrorSecureConnectionFailed},
        {CURLE_PEER_FAILED_VERIFICATION, URLErrorServerCertificateUntrusted},
        {CURLE_SSL_CACERT_BADFILE, URLErrorServerCertificateUntrusted},
        {CURLE_SSL_ISSUER_ERROR, URLErrorServerCertificateUntrusted},
        {CURLE_SSL_PINNEDPUBKEYNOTMATCH, URLErrorServerCertificateUntrusted},
        {CURLE_FAILED_INIT, URLErrorUnknown},
        {CURLE_WRITE_ERROR, URLErrorUnknown},
        {CURLE_BAD_FUNCTION_ARGUMENT, URLErrorUnknown},
        {CURLE_UNKNOWN_OPTION, URLErrorUnknown},
        {CURLE_REMOTE_ACCESS_DENIED, URLErrorUnknown},
    };
    for (const auto& row : table) {
        EXPECT_EQ(net_detail::urlErrorCodeForCurlResult(row.result), row.code) << row.result;
    }
    // The one reaching it from a real peer: a header line past what libcurl will hold.
    test::RawFixture server([](int fd, const std::string&) {
        writeAll(fd, "HTTP/1.1 200 OK\r\nX-Long: " + std::string(2 * 1024 * 1024, 'a') + "\r\nContent-Length: 2\r\n\r\nok");
        ::close(fd);
    });
    for (const auto& [roadName, road] : kRoads) {
        EXPECT_EQ(road(requestFor(server.url("/x"))).code, URLErrorBadServerResponse) << roadName;
    }
}

// A server that counts the connections made to it and answers every request at once, keeping each
// connection until the client closes it.
struct CountingServer {
    std::atomic<int> accepted{0};
    std::atomic<int> open{0};
    std::atomic<int> peak{0};
    std::atomic<bool> stop{false};
    test::RawFixture fixture{[this](int fd, const std::string& head) {
        ++accepted;
        const int now = ++open;
        for (int seen = peak.load(); now > seen && !peak.compare_exchange_weak(seen, now);) {
        }
        serveKeptAlive(fd, head, stop, [](int client, const std::string&) {
            writeAll(client, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        });
        --open;
    }};
    ~CountingServer() { stop = true; }
};

// A burst of requests to one server runs over at most the pool's connections per host (the session
// configuration's limit for session tasks, six for connections); the rest wait and all succeed.
TEST(WireIntegrity, ABurstOfRequestsWaitsForTheConnectionLimit) {
    constexpr int kRequests = 60;
    for (const long limit : {6L, 2L}) {
        CountingServer server;
        auto recorder = std::make_shared<test::SessionRecorder>();
        auto configuration = URLSessionConfiguration::defaultSessionConfiguration();
        if (limit != 6) configuration->setHTTPMaximumConnectionsPerHost(limit);
        auto session = URLSession::sessionWithConfiguration(configuration, recorder);
        std::vector<Ref<URLSessionTask>> tasks;
        for (int i = 0; i < kRequests; ++i) tasks.push_back(session->dataTaskWithRequest(requestFor(server.fixture.url("/" + std::to_string(i)))));
        for (auto& task : tasks) task->resume();
        EXPECT_TRUE(runMainUntil([&] { return recorder->completions.load() == kRequests; }, 30)) << limit;
        for (auto& task : tasks) EXPECT_EQ(task->error(), nullptr) << limit;
        EXPECT_LE(server.peak.load(), limit);
        EXPECT_GE(server.accepted.load(), 1);
        session->invalidateAndCancel();
    }
    CountingServer server;
    std::vector<std::shared_ptr<test::Recorder>> recorders;
    std::vector<Ref<URLConnection>> connections;
    for (int i = 0; i < kRequests; ++i) {
        recorders.push_back(std::make_shared<test::Recorder>());
        connections.push_back(URLConnection::make(requestFor(server.fixture.url("/" + std::to_string(i))), recorders.back()));
    }
    EXPECT_TRUE(runMainUntil([&] {
        return std::all_of(recorders.begin(), recorders.end(), [](const auto& r) { return r->done; });
    }, 30));
    for (const auto& r : recorders) EXPECT_EQ(r->events.back(), "finish");
    EXPECT_LE(server.peak.load(), net_detail::kDefaultConnectionsPerHost);
}

// A transfer waiting for a connection keeps its time-outs: it fails with -1001 while the transfers it
// waits behind stay busy.
TEST(WireIntegrity, AWaitingTransferKeepsItsTimeOuts) {
    test::RawFixture silent(test::RawFixture::Mode::NeverAnswer);
    auto holding = [&] {
        auto request = requestFor(silent.url("/hold"));
        request.setTimeoutInterval(60);
        return request;
    };
    const struct {
        const char* name;
        double timeout;
        double resourceTimeout;
    } cases[] = {{"idle time-out", 0.3, 0}, {"resource time-out", 60, 0.3}};
    // A session allowing one connection per host, held by a request the server never answers.
    auto configuration = URLSessionConfiguration::defaultSessionConfiguration();
    configuration->setHTTPMaximumConnectionsPerHost(1);
    auto recorder = std::make_shared<test::SessionRecorder>();
    auto session = URLSession::sessionWithConfiguration(configuration, recorder);
    auto holder = session->dataTaskWithRequest(holding());
    holder->resume();
    for (const auto& c : cases) {
        auto request = requestFor(silent.url("/waiting"));
        request.setTimeoutInterval(c.timeout);
        request.setResourceTimeoutInterval(c.resourceTimeout);
        auto task = session->dataTaskWithRequest(request);
        test::runTask(task, *recorder);
        EXPECT_EQ(test::errorCode(task->error()), URLErrorTimedOut) << "session, " << c.name;
    }
    EXPECT_EQ(holder->state(), URLSessionTaskState::Running);
    session->invalidateAndCancel();
    // Connections: six held.
    std::vector<Ref<URLConnection>> holders;
    std::vector<std::shared_ptr<test::Recorder>> held;
    for (long i = 0; i < net_detail::kDefaultConnectionsPerHost; ++i) {
        held.push_back(std::make_shared<test::Recorder>());
        holders.push_back(URLConnection::make(holding(), held.back()));
    }
    for (const auto& c : cases) {
        auto request = requestFor(silent.url("/waiting"));
        request.setTimeoutInterval(c.timeout);
        request.setResourceTimeoutInterval(c.resourceTimeout);
        const auto r = load(request);
        ASSERT_TRUE(r->error) << "connection, " << c.name;
        EXPECT_EQ(r->error->code(), URLErrorTimedOut) << "connection, " << c.name;
        const auto underlying = r->error->userInfo().get(kUnderlyingErrorKey);
        ASSERT_TRUE(underlying.isObject());
        EXPECT_EQ(underlying.objectAs<Error>()->localizedDescription(), c.name);
    }
    for (const auto& r : held) EXPECT_FALSE(r->done);
    for (auto& connection : holders) connection->cancel();
}

// Idle connections past the engine's pool are closed, not kept one per server ever reached.
TEST(WireIntegrity, IdleConnectionsBeyondThePoolAreClosed) {
    constexpr int kServers = net_detail::Engine::kIdleConnections + 8;
    std::vector<std::unique_ptr<CountingServer>> servers;
    for (int i = 0; i < kServers; ++i) servers.push_back(std::make_unique<CountingServer>());
    // All at once, so that every connection is in use together before any goes idle.
    std::vector<std::shared_ptr<test::Recorder>> recorders;
    std::vector<Ref<URLConnection>> connections;
    for (auto& server : servers) {
        recorders.push_back(std::make_shared<test::Recorder>());
        connections.push_back(URLConnection::make(requestFor(server->fixture.url("/x")), recorders.back()));
    }
    EXPECT_TRUE(runMainUntil([&] {
        return std::all_of(recorders.begin(), recorders.end(), [](const auto& r) { return r->done; });
    }, 30));
    for (const auto& r : recorders) EXPECT_EQ(r->events.back(), "finish");
    auto stillOpen = [&] {
        int open = 0;
        for (auto& server : servers) open += server->open.load();
        return open;
    };
    EXPECT_TRUE(runMainUntil([&] { return stillOpen() <= net_detail::Engine::kIdleConnections; }, 10)) << stillOpen();
}

}  // namespace
}  // namespace lv
