// Certificate generation for tests.
#include "support/test_certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace lv::test {

namespace {

std::shared_ptr<evp_pkey_st> freshKey() { return {EVP_EC_gen("P-256"), EVP_PKEY_free}; }

X509* parse(const Bytes& der) {
    const unsigned char* cursor = der.data();
    return d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
}

Bytes derOf(X509* x509) {
    unsigned char* out = nullptr;
    const int length = i2d_X509(x509, &out);
    Bytes bytes(out, out + length);
    OPENSSL_free(out);
    return bytes;
}

}  // namespace

Identity makeCertificate(const CertificateSpec& spec, const Identity* issuer) {
    Identity identity{{}, spec.key ? spec.key : freshKey()};
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), spec.serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), spec.notBeforeSeconds);
    X509_gmtime_adj(X509_getm_notAfter(cert), spec.notAfterSeconds);
    X509_set_pubkey(cert, identity.key.get());
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(spec.commonName.c_str()),
                               -1, -1, 0);
    X509* issuerCert = issuer ? parse(issuer->der) : nullptr;
    X509_set_issuer_name(cert, issuerCert ? X509_get_subject_name(issuerCert) : name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuerCert ? issuerCert : cert, cert, nullptr, nullptr, 0);
    std::vector<std::pair<int, std::string>> extensions;
    extensions.emplace_back(NID_basic_constraints, spec.authority ? "critical,CA:TRUE" : "critical,CA:FALSE");
    if (spec.authority) extensions.emplace_back(NID_key_usage, "critical,keyCertSign,cRLSign");
    if (!spec.subjectAltNames.empty()) extensions.emplace_back(NID_subject_alt_name, spec.subjectAltNames);
    extensions.emplace_back(NID_subject_key_identifier, "hash");
    for (const auto& [nid, value] : extensions) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
        X509_add_ext(cert, extension, -1);
        X509_EXTENSION_free(extension);
    }
    X509_sign(cert, issuer ? issuer->key.get() : identity.key.get(), EVP_sha256());
    identity.der = derOf(cert);
    X509_free(cert);
    X509_free(issuerCert);
    return identity;
}

const TestPKI& TestPKI::shared() {
    static const TestPKI pki = [] {
        TestPKI p;
        CertificateSpec authority{"Test Root"};
        authority.authority = true;
        p.root = makeCertificate(authority);
        authority.commonName = "Test Intermediate";
        authority.serial = 2;
        p.intermediate = makeCertificate(authority, &p.root);
        CertificateSpec local{"localhost", "DNS:localhost,IP:127.0.0.1"};
        local.serial = 3;
        p.leaf = makeCertificate(local, &p.intermediate);
        CertificateSpec other{"other.test", "DNS:other.test"};
        other.serial = 4;
        p.otherHost = makeCertificate(other, &p.intermediate);
        local.serial = 5;
        p.selfSigned = makeCertificate(local);
        local.serial = 6;
        local.notBeforeSeconds = -3 * 86400;
        local.notAfterSeconds = -86400;
        p.expired = makeCertificate(local, &p.intermediate);
        return p;
    }();
    return pki;
}

std::string pemOf(const Bytes& der) {
    X509* cert = parse(der);
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    X509_free(cert);
    return text;
}

bool installServerIdentity(ssl_ctx_st* context, const Identity& identity, const std::vector<Bytes>& chain) {
    X509* cert = parse(identity.der);
    bool ok = SSL_CTX_use_certificate(context, cert) == 1 && SSL_CTX_use_PrivateKey(context, identity.key.get()) == 1;
    X509_free(cert);
    for (const Bytes& der : chain) {
        X509* extra = parse(der);
        ok = ok && SSL_CTX_add1_chain_cert(context, extra) == 1;
        X509_free(extra);
    }
    return ok;
}

}  // namespace lv::test
