// The engine's limits on transfers running at once: at most Engine::kMaxRunningTransfers over every
// pool and origin, the rest waiting; and a waiting transfer that is cancelled never reaches the wire.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "fixtures.h"
#include "platform/net/detail/engine.h"
#include "platform/net/errors.h"
#include "recorder.h"
#include "session_recorder.h"

namespace lv {
namespace {

using test::requestFor;
using test::writeAll;

// Records the request line of every request; holds the connections of "/hold" unanswered until it
// ends, and answers the rest at once.
struct HoldingServer {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<int> held;
    test::RawFixture fixture{[this](int fd, const std::string& head) {
        const std::string line = head.substr(0, head.find("\r\n"));
        std::lock_guard lock(mutex);
        lines.push_back(line);
        if (line.rfind("GET /hold", 0) == 0) {
            held.push_back(fd);
            return;
        }
        writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
        ::close(fd);
    }};
    std::size_t count(const std::string& line) {
        std::lock_guard lock(mutex);
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
    }
    ~HoldingServer() {
        for (const int fd : held) ::close(fd);
    }
};

// With as many transfers running as the engine allows (one session whose pool may open that many to
// one server), a request to another server waits: it ends at its idle time-out without reaching it,
// and goes out once one of the running transfers ends.
TEST(TransferLimits, AtMostTheEnginesLimitRunAtOnce) {
    constexpr auto kLimit = static_cast<long>(net_detail::Engine::kMaxRunningTransfers);
    HoldingServer holding;
    HoldingServer other;
    auto configuration = URLSessionConfiguration::defaultSessionConfiguration();
    configuration->setHTTPMaximumConnectionsPerHost(kLimit + 16);
    auto recorder = std::make_shared<test::SessionRecorder>();
    auto session = URLSession::sessionWithConfiguration(configuration, recorder);
    std::vector<Ref<URLSessionTask>> holders;
    for (long i = 0; i < kLimit; ++i) {
        holders.push_back(session->dataTaskWithRequest(requestFor(holding.fixture.url("/hold"))));
        holders.back()->resume();
    }
    ASSERT_TRUE(runMainUntil([&] { return holding.count("GET /hold HTTP/1.1") == static_cast<std::size_t>(kLimit); }, 60));
    auto waiting = requestFor(other.fixture.url("/waiting"));
    waiting.setTimeoutInterval(1);
    const auto timedOut = test::load(waiting, nullptr, 60);
    ASSERT_TRUE(timedOut->error);
    EXPECT_EQ(timedOut->error->code(), URLErrorTimedOut);
    EXPECT_EQ(other.count("GET /waiting HTTP/1.1"), 0u);
    // Room again: the next request goes out.
    holders.front()->cancel();
    EXPECT_EQ(test::load(requestFor(other.fixture.url("/next")), nullptr, 60)->events.back(), "finish");
    EXPECT_EQ(other.count("GET /next HTTP/1.1"), 1u);
    session->invalidateAndCancel();
}

// A request cancelled while it waits for a connection leaves the queue: when room appears the
// requests behind it go out, and it never does (a cancelled POST is never sent).
TEST(TransferLimits, ACancelledWaitingTransferNeverGoesOut) {
    HoldingServer server;
    std::vector<Ref<URLConnection>> holders;
    std::vector<std::shared_ptr<test::Recorder>> held;
    for (long i = 0; i < net_detail::kDefaultConnectionsPerHost; ++i) {
        held.push_back(std::make_shared<test::Recorder>());
        holders.push_back(URLConnection::make(requestFor(server.fixture.url("/hold")), held.back()));
    }
    ASSERT_TRUE(runMainUntil([&] {
        return server.count("GET /hold HTTP/1.1") == static_cast<std::size_t>(net_detail::kDefaultConnectionsPerHost);
    }, 60));
    auto post = requestFor(server.fixture.url("/cancelled"), "POST");
    post.setHTTPBody(test::bytesOf("{\"guid\":\"1\"}"));
    auto cancelledRecorder = std::make_shared<test::Recorder>();
    auto cancelled = URLConnection::make(post, cancelledRecorder);
    cancelled->cancel();
    auto after = std::make_shared<test::Recorder>();
    auto next = URLConnection::make(requestFor(server.fixture.url("/after")), after);
    // One connection's room: the first waiting request takes it, and the next one waits for it.
    holders.front()->cancel();
    ASSERT_TRUE(runMainUntil([&] { return after->done; }, 60));
    EXPECT_EQ(after->events.back(), "finish");
    EXPECT_EQ(server.count("POST /cancelled HTTP/1.1"), 0u);
    EXPECT_TRUE(cancelledRecorder->events.empty());
    for (auto& connection : holders) connection->cancel();
}

}  // namespace
}  // namespace lv
