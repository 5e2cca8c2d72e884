// Server trust through the engine over loopback TLS: the default evaluation (system anchors plus
// TrustAnchors, the request's host), the trust challenge before every request (also on a kept-alive
// connection), and the delegate's answers.
#include <gtest/gtest.h>

#include <thread>

#include "platform/net/errors.h"
#include "fixtures.h"
#include "platform/net/host_map.h"
#include "recorder.h"
#include "support/test_certificates.h"
#include "support/tls_server.h"

namespace lv {
namespace {

using test::TestPKI;
using test::TlsServer;

Ref<Certificate> certificate(const Bytes& der) { return Certificate::createWithData(der); }

class TlsTrust : public ::testing::Test {
protected:
    void SetUp() override {
        TrustAnchors::clear();
        TrustAnchors::addCertificate(certificate(pki.root.der));
    }
    void TearDown() override {
        TrustAnchors::clear();
        HostMap::clear();
    }
    const TestPKI& pki = TestPKI::shared();
};

int errorCode(const test::Recorder& recorder) { return recorder.error ? static_cast<int>(recorder.error->code()) : 0; }

TEST_F(TlsTrust, DefaultEvaluationNeedsAnAnchorTheHostAndValidity) {
    struct Case {
        const char* name;
        const test::Identity* identity;
        bool withChain;
        std::string host;  // requested host, mapped to the server
        bool anchored;
        int expected;
    };
    const Case cases[] = {
        {"trusted by name", &pki.leaf, true, "localhost", true, 0},
        {"without the test anchor", &pki.leaf, true, "localhost", false, URLErrorServerCertificateUntrusted},
        {"wrong host", &pki.leaf, true, "secure.example", true, URLErrorServerCertificateUntrusted},
        {"self-signed", &pki.selfSigned, false, "localhost", true, URLErrorServerCertificateUntrusted},
        {"expired", &pki.expired, true, "localhost", true, URLErrorServerCertificateUntrusted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TlsServer server(*c.identity, c.withChain ? std::vector<Bytes>{pki.intermediate.der} : std::vector<Bytes>{});
        if (!c.anchored) TrustAnchors::clear();
        HostMap::set(c.host, "127.0.0.1", 0);
        const std::string url = "https://" + c.host + ":" + std::to_string(server.port()) + "/hello";
        const auto recorder = test::load(test::requestFor(url));
        EXPECT_EQ(errorCode(*recorder), c.expected);
        if (c.expected == 0) {
            EXPECT_EQ(recorder->bodyText(), "secure");
        } else {
            EXPECT_EQ(recorder->error->userInfo().get(kURLErrorFailingURLStringErrorKey), Value(url));
            EXPECT_EQ(server.requests(), 0) << "nothing may be sent to an untrusted server";
        }
        HostMap::clear();
        TrustAnchors::addCertificate(certificate(pki.root.der));
    }
}

TEST_F(TlsTrust, EveryRequestOnAKeptAliveConnectionReachesTheTrustStep) {
    TlsServer server(pki.selfSigned, {});
    std::vector<std::string> ports;
    std::vector<std::size_t> chainLengths;
    for (int i = 0; i < 2; ++i) {
        auto recorder = std::make_shared<test::Recorder>();
        recorder->onChallenge = [&](URLConnection&, const Ref<AuthenticationChallenge>& challenge) {
            const auto& space = challenge->protectionSpace();
            EXPECT_EQ(space->authenticationMethod(), kAuthenticationMethodServerTrust);
            EXPECT_EQ(space->host(), "localhost");
            EXPECT_EQ(space->port(), server.port());
            EXPECT_EQ(space->protocol(), "https");
            ASSERT_TRUE(space->serverTrust());
            chainLengths.push_back(space->serverTrust()->certificateCount());
            // The delegate vouches for the self-signed server.
            challenge->sender()->useCredential(URLCredential::credentialForTrust(space->serverTrust()), *challenge);
        };
        test::load(test::requestFor("https://localhost:" + std::to_string(server.port()) + "/port"), recorder);
        EXPECT_EQ(recorder->events, (std::vector<std::string>{"challenge", "response 200", "data", "finish"}));
        ports.push_back(recorder->bodyText());
    }
    EXPECT_EQ(chainLengths, (std::vector<std::size_t>{1, 1}));
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0], ports[1]) << "both requests travel on one connection";
}

TEST_F(TlsTrust, DelegateAnswers) {
    using Answer = std::function<void(const Ref<AuthenticationChallenge>&)>;
    auto sender = [](const Ref<AuthenticationChallenge>& c) { return c->sender(); };
    struct Case {
        const char* name;
        const test::Identity* identity;
        Answer answer;
        int expected;
    };
    const Case cases[] = {
        {"default handling, trusted", &pki.leaf, [&](auto& c) { sender(c)->performDefaultHandlingForAuthenticationChallenge(*c); }, 0},
        {"default handling, untrusted", &pki.selfSigned,
         [&](auto& c) { sender(c)->performDefaultHandlingForAuthenticationChallenge(*c); }, URLErrorServerCertificateUntrusted},
        {"password credential, untrusted", &pki.selfSigned,
         [&](auto& c) { sender(c)->useCredential(URLCredential::make("u", "p"), *c); }, URLErrorServerCertificateUntrusted},
        {"cancel, trusted", &pki.leaf, [&](auto& c) { sender(c)->cancelAuthenticationChallenge(*c); },
         URLErrorUserCancelledAuthentication},
        {"no answer", &pki.leaf, [](auto&) {}, URLErrorUserCancelledAuthentication},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TlsServer server(*c.identity, {pki.intermediate.der});
        auto recorder = std::make_shared<test::Recorder>();
        recorder->onChallenge = [&](URLConnection&, const Ref<AuthenticationChallenge>& challenge) { c.answer(challenge); };
        test::load(test::requestFor("https://localhost:" + std::to_string(server.port()) + "/hello"), recorder);
        EXPECT_EQ(errorCode(*recorder), c.expected);
        EXPECT_EQ(recorder->events.front(), "challenge");
        EXPECT_EQ(server.requests(), c.expected == 0 ? 1 : 0);
    }
}

TEST_F(TlsTrust, CancellingInsideTheChallengeEndsTheWaitAndDeliversNothing) {
    TlsServer server(pki.leaf, {pki.intermediate.der});
    auto recorder = std::make_shared<test::Recorder>();
    recorder->onChallenge = [&](URLConnection& connection, const Ref<AuthenticationChallenge>&) {
        recorder->cancelled = true;
        connection.cancel();
    };
    auto connection = URLConnection::make(test::requestFor("https://localhost:" + std::to_string(server.port()) + "/hello"), recorder);
    ASSERT_TRUE(runMainUntil([&] { return recorder->cancelled; }, 10));
    // The engine is free again at once: a plain load completes, and nothing reaches the cancelled one.
    const auto next = test::load(test::requestFor("https://localhost:" + std::to_string(server.port()) + "/hello"));
    EXPECT_EQ(next->bodyText(), "secure") << (next->error ? next->error->description() : "no error");
    runMainUntil([] { return false; }, 0.2);
    EXPECT_EQ(recorder->afterCancel, 0);
    EXPECT_EQ(server.requests(), 1);
}

TEST_F(TlsTrust, PlainHTTPRaisesNoTrustChallenge) {
    auto recorder = std::make_shared<test::Recorder>();
    recorder->onChallenge = [](URLConnection&, const Ref<AuthenticationChallenge>& c) { c->sender()->cancelAuthenticationChallenge(*c); };
    test::load(test::requestFor(test::HttpFixture::shared().url("/echo")), recorder);
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"response 200", "data", "finish"}));
}

}  // namespace
}  // namespace lv
