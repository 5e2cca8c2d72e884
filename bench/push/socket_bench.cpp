// PNAsyncSocket on loopback beside a blocking raw socket doing the same work in the same binary:
// 10,000 round trips of 64 bytes against an echo thread, and 64 MiB one way to a draining thread.
// Prints the ratios socket / raw.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "platform/dispatch/queue.h"
#include "push/async_socket.h"
#include "support/deadline.h"
#include "support/ratio_reporter.h"

namespace {

using namespace lv;

constexpr int kRoundTrips = 10000;
constexpr std::size_t kMessage = 64;
constexpr std::size_t kBulk = 64u << 20;

// A loopback listener whose one connection is served by a thread: echoing, or draining and counting.
class Peer {
public:
    enum class Mode { Echo, Drain };
    explicit Peer(Mode mode) : mode_(mode) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~Peer() {
        ::shutdown(listener_, SHUT_RDWR);
        if (const int fd = connection_.load(); fd >= 0) ::shutdown(fd, SHUT_RDWR);  // ends a recv in progress
        thread_.join();
        ::close(listener_);
    }
    std::uint16_t port() const { return port_; }
    // Drain mode: waits until this many more bytes have arrived; false (the benchmark failed) when
    // they do not arrive in time.
    bool awaitBytes(benchmark::State& state, std::size_t count) {
        for (std::size_t got = 0; got < count; got += kChunk) {
            if (!bench::awaitSignal(state, *drained_, "the peer stopped receiving")) return false;
        }
        return true;
    }

private:
    static constexpr std::size_t kChunk = 1u << 20;
    void serve() {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        connection_ = fd;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::vector<char> buffer(kChunk);
        std::size_t pending = 0;
        for (;;) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) break;
            if (mode_ == Mode::Echo) {
                ::send(fd, buffer.data(), static_cast<std::size_t>(n), MSG_NOSIGNAL);
            } else {
                for (pending += static_cast<std::size_t>(n); pending >= kChunk; pending -= kChunk) drained_->signal();
            }
        }
        connection_ = -1;
        ::close(fd);
    }
    Mode mode_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<int> connection_{-1};
    std::thread thread_;
    Ref<Semaphore> drained_ = Semaphore::make();
};

int rawConnect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

// Signals each awaited event; a disconnect ends every wait too, and fails the benchmark.
class Waiter : public PNAsyncSocketDelegate {
public:
    void didConnectToHost(const Ref<PNAsyncSocket>&, const std::string&, std::uint16_t) override { done->signal(); }
    void didReadData(const Ref<PNAsyncSocket>&, const PNSocketData&, std::int64_t) override { done->signal(); }
    void didWriteDataWithTag(const Ref<PNAsyncSocket>&, std::int64_t tag) override {
        if (tag == 1) done->signal();
    }
    void socketDidDisconnect(const Ref<PNAsyncSocket>&, const Ref<Error>&) override {
        disconnected = true;
        done->signal();
    }
    // The next event, in time and before any disconnect; otherwise the benchmark is marked failed.
    bool await(benchmark::State& state) {
        if (!bench::awaitSignal(state, *done, "no socket event in time")) return false;
        if (!disconnected) return true;
        state.SkipWithError("the socket disconnected");
        return false;
    }
    Ref<Semaphore> done = Semaphore::make();
    std::atomic<bool> disconnected{false};
};

struct Client {
    Ref<Waiter> waiter = std::make_shared<Waiter>();
    Ref<PNAsyncSocket> socket = PNAsyncSocket::makeWithDelegate(waiter, Queue::makeSerial("bench delegate"));
    // Connects; false (the benchmark failed) when it does not connect in time.
    bool connect(benchmark::State& state, std::uint16_t port) {
        socket->connectToHost("127.0.0.1", port, nullptr);
        return waiter->await(state);
    }
    ~Client() { socket->disconnect(); }
};

void RoundTripSocket(benchmark::State& state) {
    Peer echo(Peer::Mode::Echo);
    Client client;
    if (!client.connect(state, echo.port())) return;
    auto message = std::make_shared<const Bytes>(kMessage, 0x42);
    for (auto _ : state) {
        for (int i = 0; i < kRoundTrips; ++i) {
            client.socket->writeData(message, -1, 0);
            client.socket->readDataToLength(kMessage, -1, 0);
            if (!client.waiter->await(state)) return;
        }
    }
}
BENCHMARK(RoundTripSocket)->Unit(benchmark::kMillisecond);

void RoundTripRaw(benchmark::State& state) {
    Peer echo(Peer::Mode::Echo);
    const int fd = rawConnect(echo.port());
    char out[kMessage] = {0x42};
    char in[kMessage];
    for (auto _ : state) {
        for (int i = 0; i < kRoundTrips; ++i) {
            ::send(fd, out, sizeof out, MSG_NOSIGNAL);
            for (std::size_t got = 0; got < sizeof in;) {
                const ssize_t n = ::recv(fd, in + got, sizeof in - got, 0);
                if (n <= 0) break;
                got += static_cast<std::size_t>(n);
            }
        }
    }
    ::close(fd);
}
BENCHMARK(RoundTripRaw)->Unit(benchmark::kMillisecond);

void BulkSocket(benchmark::State& state) {
    Peer sink(Peer::Mode::Drain);
    Client client;
    if (!client.connect(state, sink.port())) return;
    auto bulk = std::make_shared<const Bytes>(kBulk, 0x5A);
    for (auto _ : state) {
        client.socket->writeData(bulk, -1, 1);
        if (!client.waiter->await(state) || !sink.awaitBytes(state, kBulk)) return;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBulk));
}
BENCHMARK(BulkSocket)->Unit(benchmark::kMillisecond);

void BulkRaw(benchmark::State& state) {
    Peer sink(Peer::Mode::Drain);
    const int fd = rawConnect(sink.port());
    const Bytes bulk(kBulk, 0x5A);
    for (auto _ : state) {
        for (std::size_t sent = 0; sent < bulk.size();) {
            const ssize_t n = ::send(fd, bulk.data() + sent, bulk.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        if (!sink.awaitBytes(state, kBulk)) break;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBulk));
    ::close(fd);
}
BENCHMARK(BulkRaw)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    lv::bench::RatioReporter reporter;
    reporter.runRounds();
    reporter.printRatio("RoundTripSocket", "RoundTripRaw", "3x");
    reporter.printRatio("BulkSocket", "BulkRaw", "1.5x");
    benchmark::Shutdown();
    return 0;
}
