// PNAsyncSocket listening on loopback, with raw clients connecting to it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/net/socket_address.h"
#include "push/socket_peer.h"
#include "support/tls_peer.h"

namespace lv {
namespace {

using test::RawPeer;
using test::RecordingDelegate;

// The bound address of a descriptor, as host text and port.
std::pair<std::string, std::uint16_t> boundAddress(int fd) {
    if (fd < 0) return {"", 0};
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
    const auto* begin = reinterpret_cast<const std::uint8_t*>(&storage);
    const Bytes address(begin, begin + length);
    return {socketAddressHost(address).value_or(""), socketAddressPort(address).value_or(0)};
}

std::pair<int, int> listeningDescriptors(const Ref<PNAsyncSocket>& socket) {
    std::pair<int, int> fds{-1, -1};
    socket->performBlock([&] { fds = {socket->socket4FD(), socket->socket6FD()}; });
    return fds;
}

RawPeer connectTo(const std::string& host, std::uint16_t port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    const Bytes address = ipv6 ? *makeSocketAddress6(host, port) : *makeSocketAddress4(host, port);
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(address.data()), static_cast<socklen_t>(address.size())) != 0) {
        ::close(fd);
        return RawPeer();
    }
    return RawPeer(fd);
}

bool loopback6Available() { return test::RawListener(1, true).valid(); }

TEST(AsyncSocketAccept, RefusesMisuseInOrder) {
    struct Case {
        const char* name;
        std::function<bool(const Ref<PNAsyncSocket>&, Ref<Error>*)> attempt;
        int code;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"no delegate", [](auto& s, Ref<Error>* e) { return s->synchronouslySetDelegate(nullptr), s->acceptOnPort(0, e); },
         1, "Attempting to accept without a delegate. Set a delegate first."},
        {"no delegate queue",
         [](auto& s, Ref<Error>* e) { return s->synchronouslySetDelegateQueue(nullptr), s->acceptOnPort(0, e); }, 1,
         "Attempting to accept without a delegate queue. Set a delegate queue first."},
        {"both families off",
         [](auto& s, Ref<Error>* e) { return s->setIPv4Enabled(false), s->setIPv6Enabled(false), s->acceptOnPort(0, e); },
         1, "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."},
        {"accepting twice", [](auto& s, Ref<Error>* e) { return !s->acceptOnPort(0, e) || s->acceptOnPort(0, e); }, 1,
         "Attempting to accept while connected or accepting connections. Disconnect first."},
        {"unknown interface",
         [](auto& s, Ref<Error>* e) { return s->acceptOnInterface(std::string("no-such-if0"), 0, e); }, 2,
         "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
        {"IPv4 off on an IPv4 address",
         [](auto& s, Ref<Error>* e) { return s->setIPv4Enabled(false), s->acceptOnInterface(std::string("127.0.0.1"), 0, e); },
         2, "IPv4 has been disabled and specified interface doesn't support IPv6."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto delegate = RecordingDelegate::make();
        auto socket = PNAsyncSocket::makeWithDelegate(delegate, Queue::main());
        Ref<Error> error;
        EXPECT_FALSE(c.attempt(socket, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), kPNAsyncSocketErrorDomain);
        EXPECT_EQ(error->code(), c.code);
        EXPECT_EQ(error->localizedDescription(), c.text);
        socket->disconnect();
    }
}

TEST(AsyncSocketAccept, ListensWhereAskedAndOnOnePortForBothFamilies) {
    const bool have6 = loopback6Available();
    struct Case {
        const char* name;
        std::optional<std::string> interface;
        bool ipv6Enabled;
        std::string host4, host6;  // empty: no such listener
    };
    const std::vector<Case> cases = {
        {"every interface", std::nullopt, true, "0.0.0.0", have6 ? "::" : ""},
        {"loopback", std::string("loopback"), true, "127.0.0.1", have6 ? "::1" : ""},
        {"IPv6 disabled", std::nullopt, false, "0.0.0.0", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto delegate = RecordingDelegate::make();
        auto listener = PNAsyncSocket::makeWithDelegate(delegate, Queue::main());
        listener->setIPv6Enabled(c.ipv6Enabled);
        Ref<Error> error;
        ASSERT_TRUE(listener->acceptOnInterface(c.interface, 0, &error)) << (error ? error->description() : "");
        const auto [fd4, fd6] = listeningDescriptors(listener);
        const auto [host4, port4] = boundAddress(fd4);
        const auto [host6, port6] = boundAddress(fd6);
        EXPECT_EQ(host4, c.host4);
        EXPECT_EQ(host6, c.host6);
        EXPECT_EQ(listener->isIPv6(), !c.host6.empty());
        EXPECT_TRUE(listener->isIPv4());
        if (!c.host6.empty()) {
            EXPECT_EQ(port6, port4);
        }

        // A connection on each family becomes a connected socket of its own.
        RawPeer peer4 = connectTo("127.0.0.1", port4);
        RawPeer peer6 = c.host6.empty() ? RawPeer() : connectTo("::1", port6);
        const std::size_t expected = c.host6.empty() ? 1 : 2;
        ASSERT_TRUE(runMainUntil([&] { return delegate->accepted.size() == expected; }, 5));
        for (const auto& accepted : delegate->accepted) {
            EXPECT_TRUE(accepted->isConnected());
            accepted->writeData(Bytes{'o', 'k'}, -1, 7);
        }
        EXPECT_EQ(peer4.receive(2), "ok");
        if (peer6) {
            EXPECT_EQ(peer6.receive(2), "ok");
        }

        // Closing the listener leaves the accepted sockets be and refuses new connections.
        listener->disconnect();
        EXPECT_TRUE(delegate->waitFor("disconnect"));
        // The listening descriptor closes once its source's cancellation has run.
        EXPECT_TRUE(runMainUntil([&, port = port4] { return !connectTo("127.0.0.1", port); }, 5));
        for (const auto& accepted : delegate->accepted) EXPECT_TRUE(accepted->isConnected());
        for (const auto& accepted : delegate->accepted) accepted->disconnect();
    }
}

TEST(AsyncSocketAccept, ConnectionsPendingTogetherAreAcceptedInOneEvent) {
    // The listener's queue is held while three clients connect; a marker queued behind the accept event
    // must reach main after all three accepts, not between them.
    bool conclusive = false;
    for (int attempt = 0; attempt < 20 && !conclusive; ++attempt) {
        auto delegate = RecordingDelegate::make();
        const Ref<Queue> socketQueue = Queue::makeSerial("listener");
        auto listener = PNAsyncSocket::makeWithDelegate(delegate, Queue::main(), socketQueue);
        ASSERT_TRUE(listener->acceptOnInterface(std::string("127.0.0.1"), 0, nullptr));
        const std::uint16_t port = listener->localPort();
        std::promise<void> release;
        socketQueue->async([held = release.get_future().share()] { held.wait(); });
        std::vector<RawPeer> peers;
        for (int i = 0; i < 3; ++i) peers.push_back(connectTo("127.0.0.1", port));
        socketQueue->async([delegate] { Queue::main()->async([delegate] { delegate->events.push_back("marker"); }); });
        release.set_value();
        ASSERT_TRUE(runMainUntil([&] { return delegate->accepted.size() == 3 && delegate->has("marker"); }, 5));
        const auto& events = delegate->events;
        const auto marker = std::find(events.begin(), events.end(), "marker") - events.begin();
        EXPECT_TRUE(marker == 0 || marker == 3) << ::testing::PrintToString(events);
        conclusive = marker == 3;  // at 0 the event had not been queued yet: try again
        listener->disconnect();
        for (const auto& accepted : delegate->accepted) accepted->disconnect();
    }
    // On a heavily loaded machine the marker can win every time; that proves nothing either way.
    if (!conclusive) GTEST_SKIP() << "the accept event was never queued before the marker";
}

TEST(AsyncSocketAccept, WithoutADelegateToTakeItTheConnectionIsClosed) {
    auto delegate = RecordingDelegate::make();
    delegate->answersAccept = false;
    auto listener = PNAsyncSocket::makeWithDelegate(delegate, Queue::main());
    ASSERT_TRUE(listener->acceptOnInterface(std::string("loopback"), 0, nullptr));
    RawPeer peer = connectTo("127.0.0.1", listener->localPort());
    ASSERT_TRUE(peer);
    // The delegate queue (main) must run for the new socket to be made and dropped.
    bool ended = false;
    std::atomic<bool> watched{false};
    std::thread watcher([&] {
        ended = peer.seesEndOfStream(5);
        watched = true;
    });
    runMainUntil([&] { return watched.load(); }, 6);
    watcher.join();
    EXPECT_TRUE(ended);
    EXPECT_TRUE(delegate->accepted.empty());
    listener->disconnect();
}

}  // namespace
}  // namespace lv
