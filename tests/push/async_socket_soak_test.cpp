// A bounded soak of PNAsyncSocket's read path: several connections play 64-byte ping-pong with echo
// peers on 127.0.0.1 for a fixed time. Readiness reported late or twice must never look like the
// peer's end of stream: no connection may end before the test ends it.
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "push/socket_peer.h"

namespace lv {
namespace {

constexpr std::size_t kMessage = 64;

// Echoes what arrives until the end of the stream (or 5 s of silence).
void echo(test::RawPeer peer) {
    timeval wait{5, 0};
    ::setsockopt(peer.fd(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::recv(peer.fd(), buffer, sizeof buffer, 0);
        if (got <= 0) return;
        if (::send(peer.fd(), buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL) != got) return;
    }
}

// Sends a message, gathers its echo through available-bytes reads with no time-out, and sends the
// next one, until told to stop. Runs on its own serial delegate queue.
class PingPong : public PNAsyncSocketDelegate {
public:
    std::atomic<bool> stop{false};
    std::atomic<bool> disconnected{false};
    std::atomic<std::uint64_t> roundTrips{0};
    std::atomic<int> disconnectCode{0};

    bool answers(PNAsyncSocketDelegateMethod method) const override {
        return method == PNAsyncSocketDelegateMethod::DidConnectToHost ||
               method == PNAsyncSocketDelegateMethod::DidReadData || method == PNAsyncSocketDelegateMethod::DidDisconnect;
    }
    void didConnectToHost(const Ref<PNAsyncSocket>& socket, const std::string&, std::uint16_t) override { ping(socket); }
    void didReadData(const Ref<PNAsyncSocket>& socket, const PNSocketData& data, std::int64_t) override {
        gathered_ += data.size();
        if (gathered_ < kMessage) {
            socket->readDataWithTimeout(-1, 0);
            return;
        }
        gathered_ = 0;
        ++roundTrips;
        if (!stop) ping(socket);
    }
    void socketDidDisconnect(const Ref<PNAsyncSocket>&, const Ref<Error>& error) override {
        disconnectCode = error ? static_cast<int>(error->code()) : 0;
        disconnected = true;
    }

private:
    void ping(const Ref<PNAsyncSocket>& socket) {
        socket->writeData(Bytes(kMessage, 0x5A), -1, 0);
        socket->readDataWithTimeout(-1, 0);
    }
    std::size_t gathered_ = 0;
};

TEST(AsyncSocketSoak, PingPongSeesNoFalseEndOfStream) {
    constexpr int kConnections = 4;
    constexpr double kSeconds = 2;
    test::RawListener listener;
    std::vector<std::shared_ptr<PingPong>> players;
    std::vector<Ref<PNAsyncSocket>> sockets;
    std::vector<std::thread> peers;
    for (int i = 0; i < kConnections; ++i) {
        players.push_back(std::make_shared<PingPong>());
        sockets.push_back(PNAsyncSocket::makeWithDelegate(players.back(), Queue::makeSerial("soak.delegate")));
        ASSERT_TRUE(sockets.back()->connectToHost("127.0.0.1", listener.port(), nullptr));
        test::RawPeer peer = listener.accept();
        ASSERT_TRUE(peer.valid());
        peers.emplace_back(echo, std::move(peer));
    }
    const auto anyDisconnected = [&] {
        for (const auto& player : players) {
            if (player->disconnected) return true;
        }
        return false;
    };
    // Runs for the whole period unless a connection ends early.
    EXPECT_FALSE(runMainUntil(anyDisconnected, kSeconds));
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < players.size(); ++i) {
        EXPECT_FALSE(players[i]->disconnected) << "connection " << i << " ended with code " << players[i]->disconnectCode
                                               << " after " << players[i]->roundTrips << " round trips";
        players[i]->stop = true;
        total += players[i]->roundTrips;
    }
    EXPECT_GT(total, 1000u);
    for (const auto& socket : sockets) socket->disconnect();
    for (std::thread& peer : peers) peer.join();
    std::printf("[ soak ] %llu round trips\n", static_cast<unsigned long long>(total));
}

}  // namespace
}  // namespace lv
