// The security policy on trusts built from generated chains (no sockets).
#include <gtest/gtest.h>

#include <fstream>

#include "http/security_policy.h"
#include "platform/storage/bundle.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"

namespace lv {
namespace {

using test::Identity;
using test::TestPKI;

class SecurityPolicy : public ::testing::Test {
protected:
    void SetUp() override {
        TrustAnchors::clear();
        TrustAnchors::addCertificate(Certificate::createWithData(pki.root.der));
    }
    void TearDown() override { TrustAnchors::clear(); }

    // The server's presented chain: the leaf and, unless self-signed, the intermediate.
    Ref<Trust> serverTrust(const Identity& leaf) const {
        std::vector<Ref<Certificate>> chain{Certificate::createWithData(leaf.der)};
        if (&leaf != &pki.selfSigned) chain.push_back(Certificate::createWithData(pki.intermediate.der));
        return Trust::create(std::move(chain), {Policy::basicX509()});
    }
    static Ref<HCSecurityPolicy> pinning(unsigned mode, std::vector<Bytes> pins, bool validatesChain = true) {
        auto policy = makeRef<HCSecurityPolicy>();
        policy->setSSLPinningMode(mode);
        policy->setPinnedCertificates(std::move(pins));
        policy->setValidatesCertificateChain(validatesChain);
        return policy;
    }
    const TestPKI& pki = TestPKI::shared();
};

TEST_F(SecurityPolicy, DefaultPolicyNeedsAValidTrustForTheHost) {
    const auto policy = HCSecurityPolicy::defaultPolicy();
    struct Case {
        const Identity* leaf;
        std::optional<std::string> domain;
        bool expected;
    };
    const Case cases[] = {
        {&pki.leaf, "localhost", true},          {&pki.leaf, "127.0.0.1", true},
        {&pki.leaf, "other.test", false},        {&pki.otherHost, "other.test", true},
        {&pki.selfSigned, "localhost", false},   {&pki.expired, "localhost", false},
        {&pki.otherHost, std::nullopt, true},  // no host name: any host
    };
    for (const auto& c : cases) {
        EXPECT_EQ(policy->evaluateServerTrust(serverTrust(*c.leaf), c.domain), c.expected) << c.domain.value_or("(none)");
    }
    EXPECT_TRUE(policy->evaluateServerTrust(serverTrust(pki.otherHost)));
    EXPECT_FALSE(policy->evaluateServerTrust(nullptr, "localhost"));
}

TEST_F(SecurityPolicy, PolicyIsInstalledFirstInEveryMode) {
    for (const unsigned mode : {0u, 1u, 2u, 3u}) {
        auto policy = pinning(mode, {});
        policy->setAllowInvalidCertificates(true);
        auto trust = serverTrust(pki.selfSigned);
        // Mode 0 with invalid certificates allowed answers yes without evaluating.
        EXPECT_EQ(policy->evaluateServerTrust(trust, "localhost"), mode == 0) << mode;
        ASSERT_EQ(trust->policies().size(), 1u);
        EXPECT_TRUE(trust->policies()[0]->isSSL());
        EXPECT_EQ(trust->policies()[0]->hostName(), std::optional<std::string>("localhost"));
    }
    auto policy = HCSecurityPolicy::defaultPolicy();
    policy->setValidatesDomainName(false);
    auto trust = serverTrust(pki.leaf);
    EXPECT_TRUE(policy->evaluateServerTrust(trust, "other.test"));  // a basic policy checks no host
    EXPECT_FALSE(trust->policies()[0]->isSSL());
}

TEST_F(SecurityPolicy, CertificatePinning) {
    const Bytes& leaf = pki.leaf.der;
    const Bytes& intermediate = pki.intermediate.der;
    const Bytes& root = pki.root.der;
    struct Case {
        const char* name;
        std::vector<Bytes> pins;
        bool validatesChain;
        bool allowInvalid;
        const Identity* server;
        bool expected;
    };
    const Case cases[] = {
        {"leaf only", {leaf}, true, false, &pki.leaf, false},
        {"the whole chain", {leaf, intermediate, root}, true, false, &pki.leaf, true},
        {"root only, chain not validated", {root}, false, false, &pki.leaf, true},
        {"root only, chain validated", {root}, true, false, &pki.leaf, false},
        {"another certificate", {pki.selfSigned.der}, false, false, &pki.leaf, false},
        {"no pins", {}, false, false, &pki.leaf, false},
        {"invalid trust refused", {pki.selfSigned.der}, true, false, &pki.selfSigned, false},
        {"invalid trust allowed, then pinned", {pki.selfSigned.der}, true, true, &pki.selfSigned, true},
        {"invalid trust allowed, unpinned, chain not validated", {leaf}, false, true, &pki.selfSigned, false},
        {"invalid trust allowed, pinned, chain not validated", {pki.selfSigned.der}, false, true, &pki.selfSigned,
         true},
        {"garbage pins skipped", {Bytes{1, 2, 3}, leaf, intermediate, root}, true, false, &pki.leaf, true},
    };
    for (const auto& c : cases) {
        auto policy = pinning(HCSSLPinningModeCertificate, c.pins, c.validatesChain);
        policy->setAllowInvalidCertificates(c.allowInvalid);
        EXPECT_EQ(policy->evaluateServerTrust(serverTrust(*c.server), "localhost"), c.expected) << c.name;
    }
}

TEST_F(SecurityPolicy, PublicKeyPinning) {
    test::CertificateSpec twinSpec("twin");
    twinSpec.key = pki.leaf.key;
    twinSpec.serial = 9;
    const Bytes twin = test::makeCertificate(twinSpec, &pki.intermediate).der;  // the leaf's key
    const Bytes& leaf = pki.leaf.der;
    const Bytes& intermediate = pki.intermediate.der;
    const Bytes& root = pki.root.der;
    struct Case {
        const char* name;
        std::vector<Bytes> pins;
        bool validatesChain;
        bool expected;
    };
    const Case cases[] = {
        {"leaf key, chain not validated", {leaf}, false, true},
        {"a certificate with the leaf's key", {twin}, false, true},
        {"intermediate key alone, chain not validated", {intermediate}, false, false},
        {"every key, chain validated", {root, intermediate, leaf}, true, true},
        {"two of three keys, chain validated", {leaf, intermediate}, true, false},
        {"no pins", {}, false, false},
        // One key pinned twice must not stand in for the unpinned root.
        {"duplicate pins", {leaf, leaf, intermediate}, true, false},
        {"two certificates with one key", {leaf, twin, intermediate}, true, false},
    };
    for (const auto& c : cases) {
        auto policy = pinning(HCSSLPinningModePublicKey, c.pins, c.validatesChain);
        EXPECT_EQ(policy->evaluateServerTrust(serverTrust(pki.leaf), "localhost"), c.expected) << c.name;
    }
}

TEST_F(SecurityPolicy, PinnedKeysFollowThePinnedCertificates) {
    auto policy = pinning(HCSSLPinningModePublicKey, {pki.leaf.der, Bytes{0x30, 0x00}, pki.root.der});
    ASSERT_TRUE(policy->pinnedPublicKeys());
    ASSERT_EQ(policy->pinnedPublicKeys()->size(), 2u);
    EXPECT_TRUE((*policy->pinnedPublicKeys())[0]->isEqual(*Certificate::createWithData(pki.leaf.der)->publicKey()));
    EXPECT_TRUE((*policy->pinnedPublicKeys())[1]->isEqual(*Certificate::createWithData(pki.root.der)->publicKey()));
    policy->setPinnedCertificates(std::nullopt);
    EXPECT_FALSE(policy->pinnedPublicKeys());
    EXPECT_FALSE(policy->evaluateServerTrust(serverTrust(pki.leaf), "localhost"));
}

TEST_F(SecurityPolicy, UnknownModeRefuses) {
    auto policy = pinning(3, {pki.leaf.der, pki.intermediate.der, pki.root.der});
    EXPECT_FALSE(policy->evaluateServerTrust(serverTrust(pki.leaf), "localhost"));
}

TEST_F(SecurityPolicy, DefaultPinnedCertificatesAreTheBundlesCerResources) {
    // The list is read once per process, so this test gives the bundle its certificates first.
    test::TempDir bundle;
    std::ofstream(bundle.file("b.cer"), std::ios::binary).write(reinterpret_cast<const char*>(pki.root.der.data()),
                                                                static_cast<std::streamsize>(pki.root.der.size()));
    std::ofstream(bundle.file("a.cer"), std::ios::binary).write(reinterpret_cast<const char*>(pki.leaf.der.data()),
                                                                static_cast<std::streamsize>(pki.leaf.der.size()));
    std::ofstream(bundle.file("notes.txt")) << "not a certificate";
    const std::string previous = Bundle::mainBundle()->bundlePath();
    Bundle::setMainBundlePath(bundle.path().string());
    const auto& pinned = HCSecurityPolicy::defaultPinnedCertificates();
    Bundle::setMainBundlePath(previous);
    EXPECT_EQ(pinned, (std::vector<Bytes>{pki.leaf.der, pki.root.der}));
    EXPECT_EQ(&HCSecurityPolicy::defaultPinnedCertificates(), &pinned);

    auto policy = HCSecurityPolicy::policyWithPinningMode(HCSSLPinningModeCertificate);
    EXPECT_EQ(policy->pinnedCertificates(), std::optional<std::vector<Bytes>>(pinned));
    policy->setValidatesCertificateChain(false);
    EXPECT_TRUE(policy->evaluateServerTrust(serverTrust(pki.leaf), "localhost"));
    EXPECT_EQ(HCSecurityPolicy::policyWithPinningMode(HCSSLPinningModePublicKey)->pinnedPublicKeys()->size(), 2u);
}

}  // namespace
}  // namespace lv
