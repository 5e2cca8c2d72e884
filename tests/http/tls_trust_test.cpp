// The security policy judging real server-trust challenges over loopback TLS, as the HTTP client's
// connections use it: yes answers with a credential for the trust, no cancels the challenge.
#include <gtest/gtest.h>

#include "http/security_policy.h"
#include "platform/net/errors.h"
#include "platform/net/recorder.h"
#include "support/tls_server.h"

namespace lv {
namespace {

using test::TestPKI;

class TlsTrust : public ::testing::Test {
protected:
    void SetUp() override {
        TrustAnchors::clear();
        TrustAnchors::addCertificate(Certificate::createWithData(pki.root.der));
    }
    void TearDown() override { TrustAnchors::clear(); }

    // Loads /hello from the server as "localhost", answering the trust challenge by the policy.
    std::shared_ptr<test::Recorder> loadJudgedBy(const Ref<HCSecurityPolicy>& policy, const test::TlsServer& server) {
        auto recorder = std::make_shared<test::Recorder>();
        recorder->onChallenge = [policy](URLConnection&, const Ref<AuthenticationChallenge>& challenge) {
            const auto& space = challenge->protectionSpace();
            if (policy->evaluateServerTrust(space->serverTrust(), space->host())) {
                challenge->sender()->useCredential(URLCredential::credentialForTrust(space->serverTrust()), *challenge);
            } else {
                challenge->sender()->cancelAuthenticationChallenge(*challenge);
            }
        };
        return test::load(test::requestFor("https://localhost:" + std::to_string(server.port()) + "/hello"), recorder);
    }
    const TestPKI& pki = TestPKI::shared();
};

TEST_F(TlsTrust, PinningAcceptsAndRefuses) {
    struct Case {
        const char* name;
        unsigned mode;
        std::vector<Bytes> pins;
        bool validatesChain;
        const test::Identity* server;
        bool accepted;
    };
    const Case cases[] = {
        {"default policy", HCSSLPinningModeNone, {}, true, &pki.leaf, true},
        {"pinned root certificate", HCSSLPinningModeCertificate, {pki.root.der}, false, &pki.leaf, true},
        {"pinned key of another server", HCSSLPinningModePublicKey, {pki.otherHost.der}, false, &pki.leaf, false},
        {"duplicate key pins", HCSSLPinningModePublicKey, {pki.leaf.der, pki.leaf.der, pki.intermediate.der}, true,
         &pki.leaf, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TlsServer server(*c.server, c.server == &pki.selfSigned ? std::vector<Bytes>{} : std::vector<Bytes>{pki.intermediate.der});
        auto policy = makeRef<HCSecurityPolicy>();
        policy->setSSLPinningMode(c.mode);
        if (c.mode != HCSSLPinningModeNone) policy->setPinnedCertificates(c.pins);
        policy->setValidatesCertificateChain(c.validatesChain);
        const auto recorder = loadJudgedBy(policy, server);
        EXPECT_EQ(recorder->events.front(), "challenge");
        if (c.accepted) {
            EXPECT_EQ(recorder->bodyText(), "secure");
        } else {
            EXPECT_EQ(recorder->error ? recorder->error->code() : 0, URLErrorUserCancelledAuthentication);
            EXPECT_EQ(server.requests(), 0);
        }
    }
}

}  // namespace
}  // namespace lv
