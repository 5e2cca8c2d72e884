// Certificates and public keys over OpenSSL's X509.
#include "platform/security/certificate.h"

#include <openssl/x509.h>

#include <functional>
#include <string_view>

#include "platform/security/crypto_library.h"

namespace lv {

namespace {

[[maybe_unused]] const bool kCertificateCryptoKept = keepCryptoLibraryForProcess();  // before any other OpenSSL use

std::size_t bytesHash(const Bytes& bytes) {
    return std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace

bool PublicKey::isEqual(const Object& other) const {
    const auto* key = dynamic_cast<const PublicKey*>(&other);
    return key && key->data_ == data_;
}

std::size_t PublicKey::hash() const { return bytesHash(data_); }

Ref<Certificate> Certificate::createWithData(std::span<const std::uint8_t> der) {
    const unsigned char* cursor = der.data();
    X509* x509 = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
    if (!x509) return nullptr;
    if (cursor != der.data() + der.size()) {  // trailing bytes: not one certificate
        X509_free(x509);
        return nullptr;
    }
    return Ref<Certificate>(new Certificate(x509, Bytes(der.begin(), der.end())));
}

Certificate::~Certificate() { X509_free(x509_); }

std::string Certificate::subjectSummary() const {
    const X509_NAME* subject = X509_get_subject_name(x509_);
    char text[256] = {};
    if (X509_NAME_get_text_by_NID(const_cast<X509_NAME*>(subject), NID_commonName, text, sizeof text) > 0) return text;
    X509_NAME_oneline(subject, text, sizeof text);
    return text;
}

Ref<PublicKey> Certificate::publicKey() const {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(X509_get0_pubkey(x509_), &der);
    if (length <= 0) return nullptr;
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    return makeRef<PublicKey>(std::move(bytes));
}

bool Certificate::isEqual(const Object& other) const {
    const auto* certificate = dynamic_cast<const Certificate*>(&other);
    return certificate && certificate->data_ == data_;
}

std::size_t Certificate::hash() const { return bytesHash(data_); }

std::string Certificate::description() const { return "<Certificate " + subjectSummary() + ">"; }

}  // namespace lv
