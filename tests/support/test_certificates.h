// Certificates made in the test process with the OpenSSL API (P-256 keys, SHA-256 signatures): a
// root → intermediate → leaf chain for "localhost" and 127.0.0.1, a leaf for another host, a
// self-signed leaf and an expired leaf; and installation of one as a TLS server's identity.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/base/value.h"

struct evp_pkey_st;
struct ssl_ctx_st;

namespace lv::test {

struct Identity {
    Bytes der;                          // the certificate
    std::shared_ptr<evp_pkey_st> key;   // its private key
};

struct CertificateSpec {
    explicit CertificateSpec(std::string name, std::string altNames = {})
        : commonName(std::move(name)), subjectAltNames(std::move(altNames)) {}
    std::string commonName;
    std::string subjectAltNames;        // e.g. "DNS:localhost,IP:127.0.0.1"; empty for none
    bool authority = false;             // basicConstraints CA:TRUE
    long notBeforeSeconds = -3600;      // relative to now
    long notAfterSeconds = 86400;
    std::shared_ptr<evp_pkey_st> key;   // reused when set, else a fresh key
    long serial = 1;
};

// Signed by the issuer, or self-signed when there is none.
Identity makeCertificate(const CertificateSpec& spec, const Identity* issuer = nullptr);

// One set per process, made on first use.
struct TestPKI {
    Identity root, intermediate, leaf, otherHost, selfSigned, expired;
    static const TestPKI& shared();
};

// The certificate as PEM text.
std::string pemOf(const Bytes& der);

// Makes the context serve the identity with the extra chain certificates after it.
bool installServerIdentity(ssl_ctx_st* context, const Identity& identity, const std::vector<Bytes>& chain);

}  // namespace lv::test
