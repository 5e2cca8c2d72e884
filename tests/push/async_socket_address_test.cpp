// One family's addresses of PNAsyncSocket over IPv4 and IPv6 loopback, the delegate setters that take
// their form as a flag, and the errno error without a reason.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "push/socket_peer.h"

namespace lv {
namespace {

using test::RawListener;
using test::RawPeer;
using test::RecordingDelegate;

struct FamilyView {
    std::optional<std::string> connectedHost;
    std::uint16_t connectedPort = 0;
    std::optional<std::string> localHost;
    std::uint16_t localPort = 0;
    bool operator==(const FamilyView&) const = default;
};

std::ostream& operator<<(std::ostream& out, const FamilyView& v) {
    return out << v.connectedHost.value_or("nil") << ":" << v.connectedPort << " local "
               << v.localHost.value_or("nil") << ":" << v.localPort;
}

FamilyView view4(const PNAsyncSocket& s) {
    return {s.connectedHost4(), s.connectedPort4(), s.localHost4(), s.localPort4()};
}
FamilyView view6(const PNAsyncSocket& s) {
    return {s.connectedHost6(), s.connectedPort6(), s.localHost6(), s.localPort6()};
}
FamilyView fromSocket4(int fd) {
    return {PNAsyncSocket::connectedHostFromSocket4(fd), PNAsyncSocket::connectedPortFromSocket4(fd),
            PNAsyncSocket::localHostFromSocket4(fd), PNAsyncSocket::localPortFromSocket4(fd)};
}
FamilyView fromSocket6(int fd) {
    return {PNAsyncSocket::connectedHostFromSocket6(fd), PNAsyncSocket::connectedPortFromSocket6(fd),
            PNAsyncSocket::localHostFromSocket6(fd), PNAsyncSocket::localPortFromSocket6(fd)};
}

// The port the peer sees the socket connect from.
std::uint16_t remotePortSeenBy(const RawPeer& peer) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(peer.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return address.ss_family == AF_INET ? ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port)
                                        : ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
}

// Connects over one family's loopback and compares both families' accessors, and the descriptor
// helpers, with what the peer sees.
void checkOneFamily(bool ipv6) {
    RawListener listener(16, ipv6);
    ASSERT_TRUE(listener.valid());
    const std::string loopback = ipv6 ? "::1" : "127.0.0.1";
    auto delegate = RecordingDelegate::make();
    auto socket = PNAsyncSocket::makeWithDelegate(delegate, Queue::main());
    ASSERT_TRUE(socket->connectToHost(loopback, listener.port(), nullptr));
    RawPeer peer = listener.accept();
    ASSERT_TRUE(peer);
    ASSERT_TRUE(delegate->waitFor("connect"));

    const FamilyView used{loopback, listener.port(), loopback, remotePortSeenBy(peer)};
    ASSERT_NE(used.localPort, 0);
    FamilyView v4, v6, helpers4, helpers6, crossed4, crossed6;
    socket->performBlock([&] {
        v4 = view4(*socket);
        v6 = view6(*socket);
        helpers4 = fromSocket4(socket->socket4FD());
        helpers6 = fromSocket6(socket->socket6FD());
        // A descriptor of the other family answers nothing.
        crossed4 = fromSocket4(socket->socketFD());
        crossed6 = fromSocket6(socket->socketFD());
    });
    EXPECT_EQ(ipv6 ? v6 : v4, used);
    EXPECT_EQ(ipv6 ? v4 : v6, FamilyView{});
    EXPECT_EQ(ipv6 ? helpers6 : helpers4, used);
    EXPECT_EQ(ipv6 ? helpers4 : helpers6, FamilyView{});
    EXPECT_EQ(ipv6 ? crossed4 : crossed6, FamilyView{});
    EXPECT_EQ(ipv6 ? crossed6 : crossed4, used);
    // The queue-changing accessors agree.
    EXPECT_EQ(socket->connectedHost(), loopback);
    EXPECT_EQ(socket->localPort(), used.localPort);

    // Off the socket queue, on this thread and on a worker, the accessors ask the socket queue and
    // answer the same.
    EXPECT_EQ(ipv6 ? view6(*socket) : view4(*socket), used);
    EXPECT_EQ(ipv6 ? view4(*socket) : view6(*socket), FamilyView{});
    FamilyView fromWorker;
    std::thread([&] { fromWorker = ipv6 ? view6(*socket) : view4(*socket); }).join();
    EXPECT_EQ(fromWorker, used);

    socket->disconnect();
    socket->performBlock([&] {
        v4 = view4(*socket);
        v6 = view6(*socket);
    });
    EXPECT_EQ(v4, FamilyView{});
    EXPECT_EQ(v6, FamilyView{});
    EXPECT_EQ(view4(*socket), FamilyView{});
    EXPECT_EQ(view6(*socket), FamilyView{});
}

TEST(AsyncSocketAddress, OneFamilyAccessorsOverIPv4Loopback) { checkOneFamily(false); }

TEST(AsyncSocketAddress, OneFamilyAccessorsOverIPv6Loopback) {
    if (!RawListener(16, true).valid()) GTEST_SKIP() << "no ::1 on this machine";
    checkOneFamily(true);
}

TEST(AsyncSocketAddress, DescriptorHelpersOnListeningAndMissingDescriptors) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    const std::uint16_t port = ntohs(address.sin_port);

    // Listening: a local address, no peer (getpeername fails).
    EXPECT_EQ(fromSocket4(fd), (FamilyView{std::nullopt, 0, "127.0.0.1", port}));
    EXPECT_EQ(fromSocket6(fd), FamilyView{});
    ::close(fd);
    EXPECT_EQ(fromSocket4(-1), FamilyView{});
    EXPECT_EQ(fromSocket6(-1), FamilyView{});
}

// Holds the socket queue until released, or for ten seconds; answers whether it was released.
std::future<bool> holdQueue(const Ref<Queue>& queue, std::shared_future<void> release,
                            const std::shared_ptr<std::atomic<bool>>& done) {
    auto result = std::make_shared<std::promise<bool>>();
    auto answer = result->get_future();
    queue->async([release, done, result] {
        const bool released = release.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        done->store(true);
        result->set_value(released);
    });
    return answer;
}

TEST(AsyncSocketAddress, DelegateSettersTakeTheirFormAsAFlag) {
    struct Case {
        const char* what;
        std::function<void(PNAsyncSocket&, const Ref<PNAsyncSocketDelegate>&, const Ref<Queue>&, bool)> set;
        bool setsDelegate;
        bool setsQueue;
    };
    const Case cases[] = {
        {"delegate", [](auto& s, auto& d, auto&, bool sync) { s.setDelegate(d, sync); }, true, false},
        {"delegate queue", [](auto& s, auto&, auto& q, bool sync) { s.setDelegateQueue(q, sync); }, false, true},
        {"both", [](auto& s, auto& d, auto& q, bool sync) { s.setDelegate(d, q, sync); }, true, true},
    };
    for (const Case& c : cases) {
        for (const bool sync : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (sync ? " synchronously" : " queued"));
            const auto first = RecordingDelegate::make();
            const auto second = RecordingDelegate::make();
            const Ref<Queue> socketQueue = Queue::makeSerial("AsyncSocketAddressTest");
            const Ref<Queue> otherQueue = Queue::makeSerial("AsyncSocketAddressTestDelegate");
            auto socket = PNAsyncSocket::makeWithDelegate(first, Queue::main(), socketQueue);

            std::promise<void> release;
            auto done = std::make_shared<std::atomic<bool>>(false);
            std::future<bool> held = holdQueue(socketQueue, release.get_future().share(), done);
            if (!sync) {
                // The queued form returns while the socket queue is still held.
                c.set(*socket, second, otherQueue, false);
                EXPECT_FALSE(done->load());
                release.set_value();
            } else {
                // The synchronous form returns only once the queue has run the change, after the hold.
                std::atomic<bool> calling{false};
                bool doneWhenReturned = false;
                std::thread setter([&] {
                    calling = true;
                    c.set(*socket, second, otherQueue, true);
                    doneWhenReturned = done->load();
                });
                EXPECT_TRUE(runMainUntil([&] { return calling.load(); }, 5));
                release.set_value();
                setter.join();
                EXPECT_TRUE(doneWhenReturned);
            }
            EXPECT_TRUE(held.get());  // released, not timed out

            Ref<PNAsyncSocketDelegate> delegate;
            Ref<Queue> delegateQueue;
            socket->getDelegate(&delegate, &delegateQueue);
            EXPECT_EQ(delegate, c.setsDelegate ? Ref<PNAsyncSocketDelegate>(second) : Ref<PNAsyncSocketDelegate>(first));
            EXPECT_EQ(delegateQueue, c.setsQueue ? otherQueue : Queue::main());
        }
    }
}

TEST(AsyncSocketAddress, ErrnoErrorCarriesTheCurrentErrnoWithoutAReason) {
    for (const int code : {ECONNREFUSED, EPIPE, ENOENT}) {
        errno = code;
        const Ref<Error> error = PNAsyncSocket::errnoError();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), "NSPOSIXErrorDomain");
        EXPECT_EQ(error->code(), code);
        EXPECT_EQ(error->localizedDescription(), std::strerror(code));
        EXPECT_FALSE(error->userInfo().contains(std::string(kLocalizedFailureReasonErrorKey)));
    }
}

}  // namespace
}  // namespace lv
