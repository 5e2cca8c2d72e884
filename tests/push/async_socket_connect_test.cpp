// Connecting, closing and the address utilities of PNAsyncSocket against raw loopback peers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/net/host_map.h"
#include "platform/net/socket_address.h"
#include "push/socket_peer.h"

namespace lv {
namespace {

using test::RawListener;
using test::RawPeer;
using test::RecordingDelegate;

Ref<PNAsyncSocket> makeSocket(const Ref<RecordingDelegate>& delegate) {
    return PNAsyncSocket::makeWithDelegate(delegate, Queue::main());
}

// Fills the listener's accept queue (backlog 0 holds one) so further connection attempts hang; the
// fillers' local ports tell their connections apart.
std::vector<int> fillBacklog(const RawListener& listener, std::vector<std::uint16_t>* ports = nullptr) {
    std::vector<int> fillers;
    const Bytes address = *makeSocketAddress4("127.0.0.1", listener.port());
    for (int i = 0; i < 3; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<const sockaddr*>(address.data()), static_cast<socklen_t>(address.size()));
        fillers.push_back(fd);
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        if (ports) ports->push_back(ntohs(local.sin_port));
    }
    return fillers;
}

TEST(AsyncSocketConnect, RefusesMisuseBeforeStartingInOrder) {
    struct Case {
        const char* name;
        std::function<bool(const Ref<PNAsyncSocket>&, const Ref<RecordingDelegate>&, Ref<Error>*)> attempt;
        int code;
        std::string text;
    };
    RawListener listener;
    const std::uint16_t port = listener.port();
    auto toLoopback = [port](auto& s, Ref<Error>* e) { return s->connectToHost("127.0.0.1", port, e); };
    const std::vector<Case> cases = {
        {"empty host", [&](auto& s, auto&, Ref<Error>* e) { return s->connectToHost("", port, e); }, 2,
         "Invalid host parameter (nil or \"\"). Should be a domain name or IP address string."},
        {"no delegate", [&](auto& s, auto&, Ref<Error>* e) { return s->synchronouslySetDelegate(nullptr), toLoopback(s, e); },
         1, "Attempting to connect without a delegate. Set a delegate first."},
        {"no delegate queue",
         [&](auto& s, auto&, Ref<Error>* e) { return s->synchronouslySetDelegateQueue(nullptr), toLoopback(s, e); }, 1,
         "Attempting to connect without a delegate queue. Set a delegate queue first."},
        {"both families off",
         [&](auto& s, auto&, Ref<Error>* e) { return s->setIPv4Enabled(false), s->setIPv6Enabled(false), toLoopback(s, e); },
         1, "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."},
        {"unknown interface",
         [&](auto& s, auto&, Ref<Error>* e) { return s->connectToHost("127.0.0.1", port, std::string("no-such-if0"), -1, e); },
         2, "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
        {"address of 15 bytes", [&](auto& s, auto&, Ref<Error>* e) { return s->connectToAddress(Bytes(15, 0), e); }, 2,
         "A valid IPv4 or IPv6 address was not given"},
        {"IPv4 address with IPv4 off",
         [&](auto& s, auto&, Ref<Error>* e) {
             return s->setIPv4Enabled(false), s->connectToAddress(*makeSocketAddress4("127.0.0.1", port), e);
         },
         2, "IPv4 has been disabled and an IPv4 address was passed."},
        {"second connect", [&](auto& s, auto&, Ref<Error>* e) { return !toLoopback(s, e) || toLoopback(s, e); }, 1,
         "Attempting to connect while connected or accepting connections. Disconnect first."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto delegate = RecordingDelegate::make();
        auto socket = makeSocket(delegate);
        Ref<Error> error;
        EXPECT_FALSE(c.attempt(socket, delegate, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), "PNAsyncSocketErrorDomain");
        EXPECT_EQ(error->code(), c.code);
        EXPECT_EQ(error->localizedDescription(), c.text);
        socket->disconnect();
        EXPECT_TRUE(socket->isDisconnected());
    }
}

TEST(AsyncSocketConnect, GlobalSocketQueueIsRefused) {
    EXPECT_THROW(PNAsyncSocket::makeWithSocketQueue(Queue::global(Queue::Priority::High)), Exception);
    EXPECT_EQ(PNAsyncSocket::make()->delegateQueue(), nullptr);
}

TEST(AsyncSocketConnect, NamesReachLoopbackWithoutOrThroughTheResolver) {
    struct Case {
        const char* host;
        std::uint64_t resolverCalls;
    };
    RawListener listener;
    HostMap::set("push.example.invalid", "127.0.0.1", listener.port());
    for (const Case& c : {Case{"localhost", 0}, Case{"loopback", 0}, Case{"push.example.invalid", 1}}) {
        SCOPED_TRACE(c.host);
        auto delegate = RecordingDelegate::make();
        auto socket = makeSocket(delegate);
        const std::uint64_t before = resolverCallCount(c.host);
        // The mapped name is asked for on the push port; the map sends it to the listener.
        const std::uint16_t port = c.resolverCalls ? 8080 : listener.port();
        ASSERT_TRUE(socket->connectToHost(c.host, port, nullptr));
        RawPeer peer = listener.accept();
        ASSERT_TRUE(peer.valid());
        ASSERT_TRUE(delegate->waitFor("connect"));
        EXPECT_EQ(delegate->events.front(), "connect 127.0.0.1");
        EXPECT_EQ(resolverCallCount(c.host) - before, c.resolverCalls);
        EXPECT_TRUE(socket->isIPv4());
        EXPECT_EQ(socket->connectedPort(), listener.port());
        EXPECT_EQ(socket->localHost(), "127.0.0.1");
    }
    HostMap::remove("push.example.invalid");
}

TEST(AsyncSocketConnect, PrefersIPv6OnlyWhenAsked) {
    RawListener listener6(16, true);
    if (!listener6.valid()) GTEST_SKIP() << "no ::1 on this machine";
    auto delegate = RecordingDelegate::make();
    auto socket = makeSocket(delegate);
    socket->setPreferIPv4OverIPv6(false);
    ASSERT_TRUE(socket->connectToHost("localhost", listener6.port(), nullptr));
    RawPeer peer = listener6.accept();
    ASSERT_TRUE(delegate->waitFor("connect"));
    EXPECT_EQ(delegate->events.front(), "connect ::1");
    EXPECT_TRUE(socket->isIPv6());
    EXPECT_FALSE(socket->isIPv4());
}

TEST(AsyncSocketConnect, RefusedPortIsAPosixError) {
    auto delegate = RecordingDelegate::make();
    auto socket = makeSocket(delegate);
    ASSERT_TRUE(socket->connectToHost("127.0.0.1", test::closedLoopbackPort(), nullptr));
    ASSERT_TRUE(delegate->waitFor("disconnect"));
    ASSERT_TRUE(delegate->disconnectError);
    EXPECT_EQ(delegate->disconnectError->domain(), "NSPOSIXErrorDomain");
    EXPECT_EQ(delegate->disconnectError->code(), ECONNREFUSED);
    EXPECT_EQ(delegate->disconnectError->localizedFailureReason(), "Error in connect() function");
    EXPECT_EQ(delegate->disconnectError->localizedDescription(), std::strerror(ECONNREFUSED));
    EXPECT_FALSE(delegate->has("connect"));
}

// A time-out only cancels the pending connect on the socket queue: the descriptor is gone at once
// and no attempt of the abandoned socket reaches the listener later.
TEST(AsyncSocketConnect, TimeOutAbandonsAHangingConnect) {
    RawListener listener(0);
    std::vector<std::uint16_t> fillerPorts;
    std::vector<int> fillers = fillBacklog(listener, &fillerPorts);
    const int descriptorsBefore = test::openDescriptorCount();
    auto delegate = RecordingDelegate::make();
    auto socket = makeSocket(delegate);
    ASSERT_TRUE(socket->connectToHost("127.0.0.1", listener.port(), 0.2, nullptr));
    ASSERT_TRUE(delegate->waitFor("disconnect"));
    EXPECT_EQ(delegate->events, std::vector<std::string>{"disconnect PNAsyncSocketErrorDomain 3"});
    EXPECT_EQ(delegate->disconnectError->localizedDescription(), "Attempt to connect to host timed out");
    // At most as many as before: an earlier test's sockets may still be closing theirs meanwhile.
    EXPECT_TRUE(runMainUntil([&] { return test::openDescriptorCount() <= descriptorsBefore; }, 5));
    // Free the queue: only fillers may come through it, never a retry of the abandoned attempt (the
    // first retry of a dropped connection request comes after one second).
    while (RawPeer late = listener.accept(1.5)) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        ::getpeername(late.fd(), reinterpret_cast<sockaddr*>(&peer), &length);
        EXPECT_NE(std::find(fillerPorts.begin(), fillerPorts.end(), ntohs(peer.sin_port)), fillerPorts.end());
    }
    for (int fd : fillers) ::close(fd);
}

TEST(AsyncSocketClose, CloseWhileConnectingThenReconnect) {
    RawListener busy(0);
    std::vector<int> fillers = fillBacklog(busy);
    auto delegate = RecordingDelegate::make();
    auto socket = makeSocket(delegate);
    socket->setAutoDisconnectOnClosedReadStream(false);
    ASSERT_TRUE(socket->connectToHost("127.0.0.1", busy.port(), nullptr));
    socket->disconnect();
    EXPECT_TRUE(socket->isDisconnected());
    ASSERT_TRUE(delegate->waitFor("disconnect"));
    EXPECT_EQ(delegate->events, std::vector<std::string>{"disconnect"});

    // The same socket, delegate and settings connect again.
    RawListener listener;
    ASSERT_TRUE(socket->connectToHost("127.0.0.1", listener.port(), nullptr));
    RawPeer peer = listener.accept();
    ASSERT_TRUE(delegate->waitFor("connect"));
    EXPECT_TRUE(socket->isConnected());
    EXPECT_FALSE(socket->autoDisconnectOnClosedReadStream());
    for (int fd : fillers) ::close(fd);
}

TEST(AsyncSocketClose, NeverStartedSocketReportsNothing) {
    auto delegate = RecordingDelegate::make();
    auto socket = makeSocket(delegate);
    socket->readDataWithTimeout(-1, 0);
    socket->writeData(Bytes{1, 2, 3}, -1, 0);
    socket->disconnect();
    bool marker = false;
    Queue::main()->async([&] { marker = true; });
    ASSERT_TRUE(runMainUntil([&] { return marker; }, 5));
    EXPECT_TRUE(delegate->events.empty());
}

// Destroying a started socket closes its descriptor and sends nothing to the delegate.
TEST(AsyncSocketClose, DestroyingAStartedSocketTellsNoOne) {
    RawListener listener;
    auto delegate = RecordingDelegate::make();
    auto socket = makeSocket(delegate);
    ASSERT_TRUE(socket->connectToHost("127.0.0.1", listener.port(), nullptr));
    RawPeer peer = listener.accept();
    ASSERT_TRUE(delegate->waitFor("connect"));
    socket->readDataWithTimeout(-1, 0);
    Weak<PNAsyncSocket> weak = socket;
    socket.reset();
    bool marker = false;
    Queue::main()->async([&] { marker = true; });
    ASSERT_TRUE(runMainUntil([&] { return marker && weak.expired(); }, 5));
    EXPECT_EQ(delegate->events, std::vector<std::string>{"connect 127.0.0.1"});
    EXPECT_TRUE(peer.seesEndOfStream());
}

TEST(AsyncSocketClose, DisconnectAfterWritingFinishesBothWrites) {
    RawListener listener;
    auto delegate = RecordingDelegate::make();
    auto socket = makeSocket(delegate);
    socket->writeData(Bytes{'x'}, -1, 9);  // queued before connecting: dropped
    ASSERT_TRUE(socket->connectToHost("127.0.0.1", listener.port(), nullptr));
    socket->writeData(Bytes{'o', 'n', 'e'}, -1, 1);
    socket->writeData(Bytes{'t', 'w', 'o'}, -1, 2);
    socket->disconnectAfterWriting();
    socket->readDataWithTimeout(-1, 3);  // after the disconnect-after call: dropped
    RawPeer peer = listener.accept();
    peer.send("unread");
    EXPECT_EQ(peer.receive(6), "onetwo");
    EXPECT_TRUE(peer.seesEndOfStream());
    ASSERT_TRUE(delegate->waitFor("disconnect"));
    EXPECT_EQ(delegate->events, (std::vector<std::string>{"connect 127.0.0.1", "write 1", "write 2", "disconnect"}));
}

// disconnectAfterReading waits for the queued reads only: a write that finished first does not close
// the socket, the read still completes, and anything queued after the call is dropped.
TEST(AsyncSocketClose, DisconnectAfterReadingWaitsForTheReadsOnly) {
    RawListener listener;
    auto delegate = RecordingDelegate::make();
    auto socket = makeSocket(delegate);
    ASSERT_TRUE(socket->connectToHost("127.0.0.1", listener.port(), nullptr));
    socket->readDataToLength(3, -1, 1);
    socket->writeData(Bytes{'a', 'b', 'c'}, -1, 2);
    socket->disconnectAfterReading();
    socket->writeData(Bytes{'x'}, -1, 3);    // after the disconnect-after call: dropped
    socket->readDataWithTimeout(-1, 4);     // likewise
    RawPeer peer = listener.accept();
    EXPECT_EQ(peer.receive(3), "abc");
    ASSERT_TRUE(delegate->waitFor("write 2"));
    peer.send("xyz");
    ASSERT_TRUE(delegate->waitFor("disconnect"));
    EXPECT_EQ(delegate->events,
              (std::vector<std::string>{"connect 127.0.0.1", "write 2", "read 1 xyz", "disconnect"}));
    EXPECT_TRUE(peer.seesEndOfStream());
}

// Connecting through an interface binds its address (and port, when one is given) before connecting:
// the peer sees the connection come from there.
TEST(AsyncSocketConnect, ThroughAnInterfaceBindsItFirst) {
    RawListener listener;
    const std::uint16_t byAddress = test::closedLoopbackPort();
    const std::uint16_t byName = test::closedLoopbackPort();
    const struct {
        std::string interface;
        std::uint16_t port;  // 0: any
    } cases[] = {
        {"127.0.0.1:" + std::to_string(byAddress), byAddress},
        {"localhost:" + std::to_string(byName), byName},
        {"loopback", 0},
        {"127.0.0.1", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.interface);
        auto delegate = RecordingDelegate::make();
        auto socket = makeSocket(delegate);
        Ref<Error> error;
        ASSERT_TRUE(socket->connectToHost("127.0.0.1", listener.port(), c.interface, -1, &error)) << error;
        RawPeer peer = listener.accept();
        ASSERT_TRUE(peer.valid());
        ASSERT_TRUE(delegate->waitFor("connect"));
        sockaddr_in seen{};
        socklen_t length = sizeof seen;
        ASSERT_EQ(::getpeername(peer.fd(), reinterpret_cast<sockaddr*>(&seen), &length), 0);
        EXPECT_EQ(ntohl(seen.sin_addr.s_addr), INADDR_LOOPBACK);
        if (c.port != 0) {
            EXPECT_EQ(ntohs(seen.sin_port), c.port);
        }
        EXPECT_EQ(socket->localPort(), ntohs(seen.sin_port));
        socket->disconnect();
    }
}

// The owner's free slot: nil at first, then what was set last, from any thread.
TEST(AsyncSocketConnect, UserDataIsKeptForTheOwner) {
    auto socket = makeSocket(RecordingDelegate::make());
    EXPECT_TRUE(socket->userData().isNil());
    auto marker = std::make_shared<Object>();
    socket->setUserData(Value(Ref<Object>(marker)));
    socket->setUserData(Value(Ref<Object>(marker)));  // the same object again
    EXPECT_EQ(socket->userData().object(), marker);
    Value seen;
    socket->performBlock([&] { seen = socket->userData(); });
    EXPECT_EQ(seen.object(), marker);
    socket->setUserData(Value("fan"));
    std::thread([&] { seen = socket->userData(); }).join();
    EXPECT_EQ(seen, Value("fan"));
}

TEST(SocketAddress, HostAndPortFromAddressBytes) {
    struct Case {
        const char* name;
        Bytes address;
        bool ok;
        std::string host;
        std::uint16_t port;
    };
    Bytes ipv6FamilyIn16(16, 0);
    const sa_family_t family6 = AF_INET6;
    std::memcpy(ipv6FamilyIn16.data(), &family6, sizeof family6);
    Bytes ipv4In20 = *makeSocketAddress4("10.1.2.3", 80);
    ipv4In20.resize(20, 0xEE);
    const std::vector<Case> cases = {
        {"IPv4", *makeSocketAddress4("127.0.0.1", 8080), true, "127.0.0.1", 8080},
        {"IPv4 with trailing bytes", ipv4In20, true, "10.1.2.3", 80},
        {"IPv6", *makeSocketAddress6("::1", 443), true, "::1", 443},
        {"15 bytes", Bytes(ipv4In20.begin(), ipv4In20.begin() + 15), false, "", 0},
        {"IPv6 family in 16 bytes", ipv6FamilyIn16, false, "", 0},
        {"unknown family", Bytes(28, 0), false, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string host = "untouched";
        std::uint16_t port = 7;
        EXPECT_EQ(PNAsyncSocket::getHost(&host, &port, c.address), c.ok);
        EXPECT_EQ(host, c.ok ? c.host : "untouched");
        EXPECT_EQ(port, c.ok ? c.port : 7);
        EXPECT_EQ(PNAsyncSocket::portFromAddress(c.address), c.port);
        EXPECT_EQ(PNAsyncSocket::hostFromAddress(c.address), c.ok ? std::optional<std::string>(c.host) : std::nullopt);
    }
    // Raw layout independently of the helpers: family at offset 0, port in network order at 2.
    const Bytes raw = *makeSocketAddress4("127.0.0.1", 8080);
    EXPECT_EQ(raw.size(), 16u);
    EXPECT_EQ(raw[2], 0x1F);
    EXPECT_EQ(raw[3], 0x90);
    EXPECT_EQ(PNAsyncSocket::CRLFData(), (Bytes{0x0D, 0x0A}));
    EXPECT_EQ(PNAsyncSocket::ZeroData(), (Bytes{0x00}));
}

}  // namespace
}  // namespace lv
