// PNAsyncSocket's TLS upgrade against raw OpenSSL servers on loopback, and between two of our sockets.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "push/socket_peer.h"
#include "support/temp_dir.h"
#include "support/tls_peer.h"

namespace lv {
namespace {

using test::RawTls;
using test::RecordingDelegate;
using test::TestPKI;

std::string receivePlain(int fd, std::size_t n) {
    std::string out(n, '\0');
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = ::recv(fd, out.data() + done, n - done, 0);
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    out.resize(done);
    return out;
}

bool plainEndOfStream(int fd) {
    char byte = 0;
    return ::recv(fd, &byte, 1, 0) <= 0;
}

std::size_t indexOf(const std::vector<std::string>& events, const std::string& prefix) {
    auto found = std::find_if(events.begin(), events.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    return static_cast<std::size_t>(found - events.begin());
}

// A loopback listener whose one connection a thread serves with the script; joined on destruction.
class ScriptedServer {
public:
    explicit ScriptedServer(std::function<void(int fd)> script) {
        listener_ = test::listenLoopback(&port_);
        thread_ = std::thread([this, script = std::move(script)] {
            const int fd = test::acceptWithin(listener_, 5);
            if (fd >= 0) script(fd);
        });
    }
    ~ScriptedServer() {
        thread_.join();
        ::close(listener_);
    }
    std::uint16_t port() const { return port_; }

private:
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

struct TlsFixture {
    test::TempDir folder;
    const TestPKI& pki = TestPKI::shared();
    test::TlsFiles files = test::writeTlsFiles(folder, "leaf", pki.leaf, {pki.intermediate.der}, pki.root);
    Dictionary client{{std::string(kTlsCAFileKey), Value(files.caFile)}};
    Dictionary server{{std::string(kTlsIsServerKey), Value(true)},
                      {std::string(kTlsCertificateFileKey), Value(files.certificateFile)},
                      {std::string(kTlsPrivateKeyFileKey), Value(files.keyFile)}};
};

Ref<PNAsyncSocket> connectedSocket(const Ref<RecordingDelegate>& delegate, std::uint16_t port) {
    auto socket = PNAsyncSocket::makeWithDelegate(delegate, Queue::main());
    Ref<Error> error;
    EXPECT_TRUE(socket->connectToHost("127.0.0.1", port, &error));
    return socket;
}

TEST(AsyncSocketTls, WorkQueuedAfterStartTLSWaitsForSecureThenGoesThroughTheSession) {
    TlsFixture f;
    std::string plain, secret;
    ScriptedServer server([&](int fd) {
        plain = receivePlain(fd, 6);
        auto raw = RawTls::server(fd, f.pki.leaf, {f.pki.intermediate.der});
        if (!raw->handshake()) return;
        secret = raw->receive(6);
        raw->sendAll("reply!");
        raw->receive(1);
    });
    auto delegate = RecordingDelegate::make();
    auto socket = connectedSocket(delegate, server.port());
    socket->writeData(Bytes{'P', 'L', 'A', 'I', 'N', '\n'}, -1, 1);
    socket->startTLS(f.client);
    socket->writeData(Bytes{'s', 'e', 'c', 'r', 'e', 't'}, -1, 2);
    socket->readDataToLength(6, -1, 3);
    ASSERT_TRUE(delegate->waitFor("read 3", 10)) << ::testing::PrintToString(delegate->events);
    EXPECT_TRUE(socket->isSecure());
    socket->disconnect();
    const auto& events = delegate->events;
    EXPECT_EQ(events[0], "connect 127.0.0.1");
    EXPECT_EQ(events[1], "write 1");
    EXPECT_LT(indexOf(events, "secure"), indexOf(events, "write 2"));
    EXPECT_LT(indexOf(events, "secure"), indexOf(events, "read 3"));
    EXPECT_EQ(events[indexOf(events, "read 3")], "read 3 reply!");
    EXPECT_EQ(plain, "PLAIN\n");
    EXPECT_EQ(secret, "secret");
}

TEST(AsyncSocketTls, StartTLSIsDroppedUnlessStartedOpenAndFirst) {
    TlsFixture f;
    struct Case {
        const char* name;
        bool startsBeforeConnect;
        std::function<void(const Ref<PNAsyncSocket>&, TlsFixture&)> afterConnect;
        bool secures;
        std::string received;  // by the server, plain or through TLS
    };
    const std::vector<Case> cases = {
        {"before connect", true, [](auto& s, auto&) { s->writeData(Bytes{'p', 'l', 'a', 'i', 'n'}, -1, 1); }, false,
         "plain"},
        {"second start", false,
         [](auto& s, auto& fx) { s->startTLS(fx.client), s->startTLS(fx.client), s->writeData(Bytes{'x'}, -1, 1); },
         true, "x"},
        {"after disconnectAfterWriting", false,
         [](auto& s, auto& fx) {
             s->writeData(Bytes{'b', 'y', 'e'}, -1, 1), s->disconnectAfterWriting(), s->startTLS(fx.client);
         },
         false, "bye"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string received;
        auto delegate = RecordingDelegate::make();
        {
            ScriptedServer server([&](int fd) {
                if (c.secures) {
                    auto raw = RawTls::server(fd, f.pki.leaf, {f.pki.intermediate.der});
                    if (raw->handshake()) received = raw->receive(c.received.size());
                    raw->receive(1);
                    return;
                }
                received = receivePlain(fd, c.received.size());
                plainEndOfStream(fd);
                ::close(fd);
            });
            auto socket = PNAsyncSocket::makeWithDelegate(delegate, Queue::main());
            if (c.startsBeforeConnect) socket->startTLS(f.client);
            ASSERT_TRUE(socket->connectToHost("127.0.0.1", server.port(), nullptr));
            c.afterConnect(socket, f);
            ASSERT_TRUE(delegate->waitFor("write 1", 10));
            // Closing after the writes is not held up by a marker queued behind them.
            if (c.name == std::string("after disconnectAfterWriting")) {
                EXPECT_TRUE(delegate->waitFor("disconnect"));
            }
            socket->disconnect();
        }
        EXPECT_EQ(delegate->has("secure"), c.secures);
        EXPECT_EQ(received, c.received);
    }
}

TEST(AsyncSocketTls, PlaintextLeftInThePreBufferAtTheMarkerCloses) {
    TlsFixture f;
    ScriptedServer server([](int fd) {
        ::send(fd, "AB\nCD", 5, MSG_NOSIGNAL);
        plainEndOfStream(fd);
        ::close(fd);
    });
    auto delegate = RecordingDelegate::make();
    auto socket = connectedSocket(delegate, server.port());
    socket->readDataToData(PNAsyncSocket::LFData(), -1, 1);
    ASSERT_TRUE(delegate->waitFor("read 1 AB\n"));
    socket->startTLS(f.client);
    ASSERT_TRUE(delegate->waitFor("disconnect"));
    ASSERT_TRUE(delegate->disconnectError);
    EXPECT_EQ(delegate->disconnectError->code(), PNAsyncSocketOtherError);
    EXPECT_EQ(delegate->disconnectError->localizedDescription(),
              "Invalid TLS transition. Handshake has already been read from socket.");
    EXPECT_FALSE(delegate->has("secure"));
}

TEST(AsyncSocketTls, AnUntrustedPeerClosesWithAnSSLErrorAndDeliversNothing) {
    TlsFixture f;
    struct Case {
        const char* name;
        const test::Identity* served;
    };
    for (const Case& c : {Case{"another host", &f.pki.otherHost}, Case{"self-signed", &f.pki.selfSigned},
                          Case{"expired", &f.pki.expired}}) {
        SCOPED_TRACE(c.name);
        auto delegate = RecordingDelegate::make();
        {
            ScriptedServer server([&](int fd) {
                auto raw = RawTls::server(fd, *c.served, {f.pki.intermediate.der});
                if (raw->handshake()) raw->sendAll("data");
            });
            auto socket = connectedSocket(delegate, server.port());
            socket->startTLS(f.client);
            socket->readDataWithTimeout(-1, 1);
            ASSERT_TRUE(delegate->waitFor("disconnect", 10));
        }
        ASSERT_TRUE(delegate->disconnectError);
        EXPECT_EQ(delegate->disconnectError->domain(), kStreamErrorDomainSSL);
        EXPECT_NE(delegate->disconnectError->code(), 0);
        EXPECT_FALSE(delegate->disconnectError->localizedRecoverySuggestion().empty());
        EXPECT_FALSE(delegate->has("read"));
        EXPECT_FALSE(delegate->has("secure"));
    }
}

TEST(AsyncSocketTls, APeerClosingMidHandshakeCloses) {
    TlsFixture f;
    ScriptedServer server([](int fd) {
        receivePlain(fd, 16);  // part of the first flight
        ::close(fd);
    });
    auto delegate = RecordingDelegate::make();
    auto socket = connectedSocket(delegate, server.port());
    socket->startTLS(f.client);
    ASSERT_TRUE(delegate->waitFor("disconnect", 10));
    EXPECT_EQ(delegate->events.back(), "disconnect PNAsyncSocketErrorDomain 7");
}

// Accepts, secures and echoes every connection on its own queue, reading once startReading is called
// (until then the bytes stay in the kernel, so a large write must wait for room).
class EchoServer : public PNAsyncSocketDelegate {
public:
    explicit EchoServer(Dictionary settings) : settings_(std::move(settings)) {}
    const Ref<Queue> queue = Queue::makeSerial("echo");
    std::atomic<int> secured{0};

    void didAcceptNewSocket(const Ref<PNAsyncSocket>&, const Ref<PNAsyncSocket>& accepted) override {
        sockets_.push_back(accepted);
        accepted->startTLS(settings_);
        if (reading_) accepted->readDataWithTimeout(-1, 0);
    }
    void startReading() {
        queue->sync([&] {
            reading_ = true;
            for (auto& socket : sockets_) socket->readDataWithTimeout(-1, 0);
        });
    }
    void didReadData(const Ref<PNAsyncSocket>& socket, const PNSocketData& data, std::int64_t) override {
        socket->writeData(data.bytes(), -1, 0);
        socket->readDataWithTimeout(-1, 0);
    }
    void socketDidSecure(const Ref<PNAsyncSocket>&) override { ++secured; }
    void closeAll() {
        queue->sync([&] {
            for (auto& socket : sockets_) socket->disconnect();
            sockets_.clear();
        });
    }

private:
    Dictionary settings_;
    std::vector<Ref<PNAsyncSocket>> sockets_;  // on the queue
    bool reading_ = false;                     // on the queue
};

TEST(AsyncSocketTls, SixteenMebibytesEchoIntactBetweenOurServerAndClient) {
    TlsFixture f;
    auto echo = std::make_shared<EchoServer>(f.server);
    auto listener = PNAsyncSocket::makeWithDelegate(echo, echo->queue);
    ASSERT_TRUE(listener->acceptOnInterface(std::string("127.0.0.1"), 0, nullptr));

    auto delegate = RecordingDelegate::make();
    auto client = connectedSocket(delegate, listener->localPort());
    auto payload = std::make_shared<Bytes>(16u << 20);
    for (std::size_t i = 0; i < payload->size(); ++i) (*payload)[i] = static_cast<std::uint8_t>(i * 7 + (i >> 13));
    client->startTLS(f.client);
    client->writeData(std::shared_ptr<const Bytes>(payload), -1, 1);
    client->readDataToLength(payload->size(), -1, 2);
    // The server reads only once the client's write has had to wait for room: more than the kernel's
    // buffers hold, so partial progress is reported whatever the machine's speed.
    ASSERT_TRUE(runMainUntil([&] { return delegate->partialWrites > 0; }, 30));
    echo->startReading();
    ASSERT_TRUE(delegate->waitFor("read 2", 120));
    ASSERT_TRUE(delegate->has("write 1"));
    ASSERT_EQ(delegate->reads.size(), 1u);
    EXPECT_TRUE(delegate->reads[0].bytes() == *payload);
    EXPECT_EQ(echo->secured.load(), 1);
    client->disconnect();
    listener->disconnect();
    echo->closeAll();
}

TEST(AsyncSocketTls, DescriptorsOnlyOnTheSocketQueueAndNoBackgroundService) {
    ScriptedServer server([](int fd) {
        plainEndOfStream(fd);
        ::close(fd);
    });
    auto delegate = RecordingDelegate::make();
    auto socket = connectedSocket(delegate, server.port());
    ASSERT_TRUE(delegate->waitFor("connect"));
    EXPECT_EQ(socket->socketFD(), -1);
    EXPECT_EQ(socket->socket4FD(), -1);
    int inside = -1, inside4 = -1, inside6 = 0;
    socket->performBlock([&] {
        inside = socket->socketFD();
        inside4 = socket->socket4FD();
        inside6 = socket->socket6FD();
    });
    EXPECT_GE(inside, 0);
    EXPECT_EQ(inside4, inside);
    EXPECT_EQ(inside6, -1);
    EXPECT_FALSE(socket->enableBackgroundingOnSocket());
    EXPECT_FALSE(socket->enableBackgroundingOnSocketWithCaveat());
    EXPECT_FALSE(socket->readStream());
    socket->disconnect();
}

}  // namespace
}  // namespace lv
