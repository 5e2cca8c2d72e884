// Certificates, keys and trust evaluation over generated chains (no sockets).
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>
#include <fstream>
#include <functional>

#include "platform/security/trust.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"

namespace {

// The suite is named Trust, so the class is reached as ServerTrust.
using ServerTrust = lv::Trust;
using lv::Bytes;
using lv::Certificate;
using lv::kSecSuccess;
using lv::Policy;
using lv::Ref;
using lv::TrustAnchors;
using lv::TrustResult;
namespace test = lv::test;

Ref<Certificate> certificate(const Bytes& der) { return Certificate::createWithData(der); }

std::vector<Bytes> dataOf(const ServerTrust& trust) {
    std::vector<Bytes> out;
    for (std::size_t i = 0; i < trust.certificateCount(); ++i) out.push_back(trust.certificateAtIndex(i)->data());
    return out;
}

class Trust : public ::testing::Test {
protected:
    void SetUp() override {
        TrustAnchors::clear();
        TrustAnchors::addCertificate(certificate(pki.root.der));
    }
    void TearDown() override { TrustAnchors::clear(); }
    Ref<ServerTrust> trustFor(const test::Identity& leaf, std::optional<std::string> host) {
        return ServerTrust::create({certificate(leaf.der), certificate(pki.intermediate.der)}, {Policy::SSL(true, std::move(host))});
    }
    const test::TestPKI& pki = test::TestPKI::shared();
};

TEST_F(Trust, EvaluatesChainHostAndValidity) {
    struct Case {
        const char* name;
        const test::Identity* leaf;
        std::optional<std::string> host;
        TrustResult result;
        int verifyError;
    };
    const Case cases[] = {
        {"dns name", &pki.leaf, "localhost", TrustResult::Unspecified, 0},
        {"host case", &pki.leaf, "LOCALHOST", TrustResult::Unspecified, 0},
        {"ip literal", &pki.leaf, "127.0.0.1", TrustResult::Unspecified, 0},
        {"no host", &pki.leaf, std::nullopt, TrustResult::Unspecified, 0},
        {"another host", &pki.leaf, "other.test", TrustResult::RecoverableTrustFailure, X509_V_ERR_HOSTNAME_MISMATCH},
        {"another ip", &pki.leaf, "127.0.0.2", TrustResult::RecoverableTrustFailure, X509_V_ERR_IP_ADDRESS_MISMATCH},
        {"other leaf", &pki.otherHost, "other.test", TrustResult::Unspecified, 0},
        {"expired", &pki.expired, "localhost", TrustResult::RecoverableTrustFailure, X509_V_ERR_CERT_HAS_EXPIRED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto trust = trustFor(*c.leaf, c.host);
        TrustResult result = TrustResult::Invalid;
        ASSERT_EQ(trust->evaluate(&result), kSecSuccess);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(trust->lastVerifyError(), c.verifyError) << trust->lastVerifyErrorString();
        if (c.result == TrustResult::Unspecified) {
            // The evaluated chain runs from the leaf to the anchor.
            EXPECT_EQ(dataOf(*trust), (std::vector<Bytes>{c.leaf->der, pki.intermediate.der, pki.root.der}));
        } else {
            EXPECT_EQ(dataOf(*trust), (std::vector<Bytes>{c.leaf->der, pki.intermediate.der}));
        }
    }
    // A basic X.509 policy ignores host names; a self-signed leaf is not trusted; nor is anything once the
    // test root is gone.
    auto basic = ServerTrust::create({certificate(pki.otherHost.der), certificate(pki.intermediate.der)}, {Policy::basicX509()});
    TrustResult result;
    basic->evaluate(&result);
    EXPECT_EQ(result, TrustResult::Unspecified);
    auto selfSigned = ServerTrust::create({certificate(pki.selfSigned.der)}, {Policy::SSL(true, "localhost")});
    selfSigned->evaluate(&result);
    EXPECT_EQ(result, TrustResult::RecoverableTrustFailure);
    TrustAnchors::clear();
    auto untrusted = trustFor(pki.leaf, "localhost");
    untrusted->evaluate(&result);
    EXPECT_EQ(result, TrustResult::RecoverableTrustFailure);
    // A chain missing its intermediate cannot be built.
    TrustAnchors::addCertificate(certificate(pki.root.der));
    auto incomplete = ServerTrust::create({certificate(pki.leaf.der)}, {Policy::SSL(true, "localhost")});
    incomplete->evaluate(&result);
    EXPECT_EQ(result, TrustResult::RecoverableTrustFailure);
}

TEST_F(Trust, CustomAnchorsReplaceTheOthers) {
    TrustResult result;
    const struct {
        std::vector<const test::Identity*> anchors;
        TrustResult expected;
        std::size_t chainLength;
    } cases[] = {
        {{&pki.root}, TrustResult::Unspecified, 3},
        {{&pki.intermediate}, TrustResult::Unspecified, 2},
        {{&pki.leaf}, TrustResult::Unspecified, 2},  // OpenSSL keeps the presented intermediate
        {{&pki.selfSigned}, TrustResult::RecoverableTrustFailure, 2},
        {{}, TrustResult::RecoverableTrustFailure, 2},
    };
    for (const auto& c : cases) {
        auto trust = trustFor(pki.leaf, "localhost");
        std::vector<Ref<Certificate>> anchors;
        for (const auto* anchor : c.anchors) anchors.push_back(certificate(anchor->der));
        trust->setAnchorCertificates(anchors);
        ASSERT_EQ(trust->evaluate(&result), kSecSuccess);
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(trust->certificateCount(), c.chainLength);
    }
    // Policies can be replaced after creation.
    auto trust = trustFor(pki.leaf, "other.test");
    trust->setPolicies({Policy::SSL(true, "localhost")});
    trust->evaluate(&result);
    EXPECT_EQ(result, TrustResult::Unspecified);
}

TEST_F(Trust, CertificatesAndKeys) {
    auto leaf = certificate(pki.leaf.der);
    ASSERT_TRUE(leaf);
    EXPECT_EQ(leaf->data(), pki.leaf.der);
    EXPECT_EQ(leaf->subjectSummary(), "localhost");
    // Not DER, truncated, or followed by more bytes: no certificate.
    Bytes trailing = pki.leaf.der;
    trailing.push_back(0);
    for (const Bytes& bad : {Bytes{}, Bytes{1, 2, 3}, Bytes(pki.leaf.der.begin(), pki.leaf.der.end() - 1), trailing}) {
        EXPECT_FALSE(Certificate::createWithData(bad));
    }
    // Keys are DER SubjectPublicKeyInfo, equal exactly when the bytes are.
    auto key = leaf->publicKey();
    ASSERT_TRUE(key);
    EXPECT_EQ(key->data()[0], 0x30);
    EXPECT_TRUE(key->isEqual(*certificate(pki.leaf.der)->publicKey()));
    EXPECT_FALSE(key->isEqual(*certificate(pki.intermediate.der)->publicKey()));
    test::CertificateSpec twinSpec{"twin"};
    twinSpec.key = pki.leaf.key;
    twinSpec.serial = 9;
    const auto twin = test::makeCertificate(twinSpec, &pki.intermediate);
    EXPECT_TRUE(key->isEqual(*certificate(twin.der)->publicKey()));
    EXPECT_TRUE(trustFor(pki.leaf, std::nullopt)->copyPublicKey()->isEqual(*key));
    EXPECT_FALSE(ServerTrust::create({}, {}));
}

TEST_F(Trust, AnchorsFromPEMFiles) {
    TrustAnchors::clear();
    test::TempDir dir;
    std::ofstream(dir.file("anchors.pem")) << test::pemOf(pki.selfSigned.der) << test::pemOf(pki.root.der);
    std::ofstream(dir.file("empty.pem")) << "no certificates here\n";
    EXPECT_FALSE(TrustAnchors::addPEMFile(dir.file("missing.pem")));
    EXPECT_FALSE(TrustAnchors::addPEMFile(dir.file("empty.pem")));
    ASSERT_TRUE(TrustAnchors::addPEMFile(dir.file("anchors.pem")));
    EXPECT_EQ(TrustAnchors::certificates().size(), 2u);
    TrustResult result;
    trustFor(pki.leaf, "localhost")->evaluate(&result);
    EXPECT_EQ(result, TrustResult::Unspecified);
}

// The system's anchor file is read once per process: changing the extra anchors makes the shared store
// again from the certificates already read, so the first connection after the change does not spend
// the file's reading between its TLS handshake and its request (long enough under load for a server
// to give up on the connection). The second process names its own anchor file as the system's.
TEST(TrustChildProcess, ReadsTheSystemAnchorFileOnce) {
    const char* dir = std::getenv("LV_TRUST_CHILD_DIR");
    if (!dir) GTEST_SKIP() << "runs only as the second process of TrustAcrossProcesses";
    const test::TestPKI& pki = test::TestPKI::shared();
    const std::string file = std::string(dir) + "/system.pem";
    std::ofstream(file) << test::pemOf(pki.root.der);
    ASSERT_EQ(::setenv("SSL_CERT_FILE", file.c_str(), 1), 0);
    ASSERT_EQ(::setenv("SSL_CERT_DIR", dir, 1), 0);  // no other system anchors
    const auto evaluate = [&] {
        TrustResult result = TrustResult::Invalid;
        ServerTrust::create({certificate(pki.leaf.der), certificate(pki.intermediate.der)}, {Policy::SSL(true, "localhost")})
            ->evaluate(&result);
        return result;
    };
    TrustAnchors::clear();
    EXPECT_EQ(evaluate(), TrustResult::Unspecified);  // anchored by the system's file
    std::ofstream(file, std::ios::trunc).flush();      // read again, it would anchor nothing
    for (const auto& change : {std::function<void()>([&] { TrustAnchors::addCertificate(certificate(pki.selfSigned.der)); }),
                               std::function<void()>([] { TrustAnchors::clear(); })}) {
        change();
        EXPECT_EQ(evaluate(), TrustResult::Unspecified);
    }
}

TEST(TrustAcrossProcesses, TheSystemAnchorFileIsReadOncePerProcess) {
    test::TempDir dir;
    EXPECT_EQ(test::runThisBinary("TrustChildProcess.*", {{"LV_TRUST_CHILD_DIR", dir.path().string()}}), 0);
}

}  // namespace
