// TlsSession against raw OpenSSL peers on loopback sockets (our own client against our own server is
// the push socket's TLS echo test).
#include "platform/net/tls_session.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/security/trust.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/tls_peer.h"

namespace lv {
namespace {

using test::Identity;
using test::RawTls;
using test::TestPKI;
using Status = TlsSession::Status;

void makeNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Repeats the step, waiting on the descriptor as it asks, until it finishes (5 s at most).
Status drive(int fd, const std::function<Status()>& step) {
    for (int round = 0; round < 10000; ++round) {
        const Status status = step();
        if (status != Status::WantRead && status != Status::WantWrite) return status;
        pollfd entry{fd, static_cast<short>(status == Status::WantRead ? POLLIN : POLLOUT), 0};
        if (::poll(&entry, 1, 5000) <= 0) break;
    }
    return Status::Failed;
}

std::string readExactly(TlsSession& session, int fd, std::size_t n) {
    std::string out(n, '\0');
    std::size_t done = 0;
    while (done < n) {
        TlsSession::Transfer transfer{Status::Failed, 0};
        if (drive(fd, [&] { return (transfer = session.read(out.data() + done, n - done)).status; }) != Status::Done) break;
        done += transfer.bytes;
    }
    out.resize(done);
    return out;
}

// A session over a fresh non-blocking connection, set up with the settings; null when a step refused.
std::unique_ptr<TlsSession> openSession(int fd, const Dictionary& settings, const std::string& host) {
    makeNonBlocking(fd);
    auto session = TlsSession::create(fd);
    if (!session || !session->configure(settings, host) || !session->open()) return nullptr;
    return session;
}

// A client handshake with a raw server serving the identity and its intermediate; a secured client
// must then read the server's greeting.
Status handshakeWith(const Identity& served, const TestPKI& pki, const Dictionary& settings, const std::string& host) {
    std::uint16_t port = 0;
    const int listener = test::listenLoopback(&port);
    std::thread server([&] {
        auto raw = RawTls::server(test::acceptWithin(listener, 5), served, {pki.intermediate.der});
        if (raw->handshake()) {
            raw->sendAll("hi");
            raw->receive(1);  // until the client goes
        }
    });
    const int fd = test::connectLoopback(port);
    auto session = openSession(fd, settings, host);
    const Status status = session ? drive(fd, [&] { return session->handshake(); }) : Status::Failed;
    if (status == Status::Done) {
        EXPECT_EQ(readExactly(*session, fd, 2), "hi");
    } else if (session) {
        EXPECT_NE(session->errorCode(), 0u);
        EXPECT_FALSE(session->errorReason().empty());
    }
    session.reset();
    ::close(fd);
    server.join();
    ::close(listener);
    return status;
}

struct Fixture {
    test::TempDir folder;
    const TestPKI& pki = TestPKI::shared();
    test::TlsFiles leafFiles = test::writeTlsFiles(folder, "leaf", pki.leaf, {pki.intermediate.der}, pki.root);
};

TEST(TlsSession, ClientVerifiesChainAndNameUnlessAKeyTurnsACheckOff) {
    Fixture f;
    struct Case {
        const char* name;
        const Identity* served;
        Dictionary settings;
        std::string host;
        bool secures;
    };
    const std::string ca = f.leafFiles.caFile;
    const std::vector<Case> cases = {
        {"trusted leaf by address", &f.pki.leaf, {{std::string(kTlsCAFileKey), Value(ca)}}, "127.0.0.1", true},
        {"trusted leaf by name", &f.pki.leaf, {{std::string(kTlsCAFileKey), Value(ca)}}, "localhost", true},
        {"empty settings: the system store alone", &f.pki.leaf, {}, "localhost", false},
        {"certificate of another host", &f.pki.otherHost, {{std::string(kTlsCAFileKey), Value(ca)}}, "localhost", false},
        {"another host with the name check off", &f.pki.otherHost,
         {{std::string(kTlsCAFileKey), Value(ca)}, {std::string(kTlsPeerNameKey), Value::null()}}, "localhost", true},
        {"peer name given differs", &f.pki.leaf,
         {{std::string(kTlsCAFileKey), Value(ca)}, {std::string(kTlsPeerNameKey), Value("other.test")}}, "localhost",
         false},
        {"self-signed", &f.pki.selfSigned, {{std::string(kTlsCAFileKey), Value(ca)}}, "localhost", false},
        {"self-signed with the chain check off", &f.pki.selfSigned,
         {{std::string(kTlsValidatesCertificateChainKey), Value(false)}}, "localhost", true},
        {"expired", &f.pki.expired, {{std::string(kTlsCAFileKey), Value(ca)}}, "localhost", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(handshakeWith(*c.served, f.pki, c.settings, c.host), c.secures ? Status::Done : Status::Failed);
    }
}

TEST(TlsSession, ServesARawClientWithPendingBytesAndAnOrderlyClose) {
    Fixture f;
    std::uint16_t port = 0;
    const int listener = test::listenLoopback(&port);
    bool clientSawCloseNotify = false;
    std::string reply;
    std::thread client([&] {
        auto raw = RawTls::client(test::connectLoopback(port), f.pki.root, "localhost");
        if (!raw->handshake()) return;
        raw->sendAll("0123456789");
        reply = raw->receive(4);
        clientSawCloseNotify = raw->seesCloseNotify();
    });
    const int fd = test::acceptWithin(listener, 5);
    auto session = openSession(fd,
                               {{std::string(kTlsIsServerKey), Value(true)},
                                {std::string(kTlsCertificateFileKey), Value(f.leafFiles.certificateFile)},
                                {std::string(kTlsPrivateKeyFileKey), Value(f.leafFiles.keyFile)}},
                               "");
    ASSERT_TRUE(session);
    EXPECT_TRUE(session->isServer());
    ASSERT_EQ(drive(fd, [&] { return session->handshake(); }), Status::Done);
    EXPECT_EQ(readExactly(*session, fd, 4), "0123");
    EXPECT_EQ(session->pending(), 6u);  // the rest of the record, readable without the descriptor
    EXPECT_EQ(readExactly(*session, fd, 6), "456789");
    EXPECT_EQ(drive(fd, [&] { return session->write("pong", 4).status; }), Status::Done);
    session->shutdown();
    client.join();
    EXPECT_EQ(reply, "pong");
    EXPECT_TRUE(clientSawCloseNotify);
    session.reset();
    ::close(fd);
    ::close(listener);
}

TEST(TlsSession, SettingsNamingUnusableFilesAreRefused) {
    Fixture f;
    const test::TlsFiles other = test::writeTlsFiles(f.folder, "other", f.pki.otherHost, {}, f.pki.root);
    const std::vector<std::pair<const char*, Dictionary>> cases = {
        {"missing CA file", {{std::string(kTlsCAFileKey), Value(f.folder.file("none.pem"))}}},
        {"missing certificate file", {{std::string(kTlsCertificateFileKey), Value(f.folder.file("none.pem"))}}},
        {"key of another certificate",
         {{std::string(kTlsCertificateFileKey), Value(f.leafFiles.certificateFile)},
          {std::string(kTlsPrivateKeyFileKey), Value(other.keyFile)}}},
    };
    for (const auto& [name, settings] : cases) {
        SCOPED_TRACE(name);
        auto session = TlsSession::create(-1);
        ASSERT_TRUE(session);
        EXPECT_FALSE(session->configure(settings, "localhost"));
    }
}

// A client checking the chain takes the system's anchors from the file read once per process, not
// from a fresh read per connection (tens of milliseconds before every handshake). The second process
// names its own anchor file as the system's.
TEST(TlsSessionChildProcess, ReadsTheSystemAnchorFileOnce) {
    const char* dir = std::getenv("LV_TLS_CHILD_DIR");
    if (!dir) GTEST_SKIP() << "runs only as the second process of TlsSessionAcrossProcesses";
    const TestPKI& pki = TestPKI::shared();
    const std::string file = std::string(dir) + "/system.pem";
    std::ofstream(file) << test::pemOf(pki.root.der);
    ASSERT_EQ(::setenv("SSL_CERT_FILE", file.c_str(), 1), 0);
    ASSERT_EQ(::setenv("SSL_CERT_DIR", dir, 1), 0);  // no other system anchors
    EXPECT_EQ(handshakeWith(pki.leaf, pki, {}, "localhost"), Status::Done);
    std::ofstream(file, std::ios::trunc).flush();  // read again, it would anchor nothing
    EXPECT_EQ(handshakeWith(pki.leaf, pki, {}, "localhost"), Status::Done);
    // Anchors added for server trust are not the system's.
    TrustAnchors::addCertificate(Certificate::createWithData(pki.selfSigned.der));
    EXPECT_EQ(handshakeWith(pki.selfSigned, pki, {}, "localhost"), Status::Failed);
    TrustAnchors::clear();
}

TEST(TlsSessionAcrossProcesses, TheSystemAnchorFileIsReadOncePerProcess) {
    test::TempDir dir;
    EXPECT_EQ(test::runThisBinary("TlsSessionChildProcess.*", {{"LV_TLS_CHILD_DIR", dir.path().string()}}), 0);
}

}  // namespace
}  // namespace lv
