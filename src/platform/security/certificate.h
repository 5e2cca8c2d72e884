// X.509 certificates (from and to DER) and public keys (DER SubjectPublicKeyInfo, equal when their
// bytes are). Immutable after creation; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/base/object.h"
#include "platform/base/value.h"

struct x509_st;

namespace lv {

class PublicKey : public Object {
public:
    explicit PublicKey(Bytes subjectPublicKeyInfo) : data_(std::move(subjectPublicKeyInfo)) {}
    // The DER SubjectPublicKeyInfo.
    const Bytes& data() const { return data_; }
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override;

private:
    Bytes data_;
};

class Certificate : public Object {
public:
    // A certificate from its DER bytes; nothing when they are not exactly one DER X.509 certificate.
    static Ref<Certificate> createWithData(std::span<const std::uint8_t> der);
    ~Certificate() override;
    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;

    // The DER bytes.
    const Bytes& data() const { return data_; }
    // The subject's common name, else the whole subject in one line.
    std::string subjectSummary() const;
    // The certificate's public key.
    Ref<PublicKey> publicKey() const;
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override;
    std::string description() const override;

    // The OpenSSL certificate, owned by this object (for the trust evaluation).
    x509_st* x509() const { return x509_; }

private:
    Certificate(x509_st* x509, Bytes der) : x509_(x509), data_(std::move(der)) {}
    x509_st* x509_;
    Bytes data_;
};

}  // namespace lv
