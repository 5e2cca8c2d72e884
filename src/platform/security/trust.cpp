// Trust evaluation with X509_verify_cert; host and IP checks through the verification parameters.
#include "platform/security/trust.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>

#include "platform/security/crypto_library.h"
#include "platform/security/system_anchors.h"

namespace lv {

namespace {

[[maybe_unused]] const bool kTrustCryptoKept = keepCryptoLibraryForProcess();  // before any other OpenSSL use

// The extra anchors, and a store of the system's anchors plus them, made again after a change (a
// store is safe to share between threads). The system's anchor file is read once per process into
// `system`: reading it takes tens of milliseconds (far more under a sanitizer), which the first
// connection after every change of the anchors would otherwise spend between its TLS handshake and
// its request.
struct AnchorTable {
    std::mutex mutex;
    std::vector<Ref<Certificate>> certificates;
    X509_STORE* store = nullptr;
    X509_STORE* system = nullptr;  // the system's default paths, never used to verify
};

AnchorTable& anchorTable() {
    static auto* table = new AnchorTable;  // never destroyed: transfers may evaluate during exit
    return *table;
}

Bytes derOf(X509* x509) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(x509, &der);
    if (length <= 0) return {};
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

using StorePtr = std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)>;

void dropStore(AnchorTable& table) {
    X509_STORE_free(table.store);
    table.store = nullptr;
}

// A store with what X509_STORE_set_default_paths gives: the system's anchor file (its certificates and
// revocation lists, copied from the table's system store), and the system's certificate directory and
// store, which are looked in only when a certificate is asked for. Called with the table's lock.
X509_STORE* newSystemStore(AnchorTable& table) {
    if (!table.system) {
        table.system = X509_STORE_new();
        if (!table.system) return nullptr;
        X509_STORE_set_default_paths(table.system);
    }
    X509_STORE* store = X509_STORE_new();
    if (!store) return nullptr;
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(table.system);
    for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
        X509_OBJECT* object = sk_X509_OBJECT_value(objects, i);
        if (X509* x509 = X509_OBJECT_get0_X509(object)) X509_STORE_add_cert(store, x509);
        if (X509_CRL* crl = X509_OBJECT_get0_X509_CRL(object)) X509_STORE_add_crl(store, crl);
    }
    if (X509_LOOKUP* directory = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir())) {
        X509_LOOKUP_add_dir(directory, nullptr, X509_FILETYPE_DEFAULT);
    }
    if (X509_LOOKUP* system = X509_STORE_add_lookup(store, X509_LOOKUP_store())) {
        X509_LOOKUP_add_store_ex(system, nullptr, nullptr, nullptr);
    }
    ERR_clear_error();
    return store;
}

// The shared default store, with a reference for the caller.
X509_STORE* defaultStore() {
    AnchorTable& table = anchorTable();
    std::lock_guard lock(table.mutex);
    if (!table.store) {
        table.store = newSystemStore(table);
        if (!table.store) return nullptr;
        for (const auto& anchor : table.certificates) X509_STORE_add_cert(table.store, anchor->x509());
    }
    X509_STORE_up_ref(table.store);
    return table.store;
}

}  // namespace

X509_STORE* newSystemAnchorStore() {
    AnchorTable& table = anchorTable();
    std::lock_guard lock(table.mutex);
    return newSystemStore(table);
}

namespace {

using ContextPtr = std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)>;
struct StackFree {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
using StackPtr = std::unique_ptr<STACK_OF(X509), StackFree>;

}  // namespace

Ref<Policy> Policy::basicX509() { return makeRef<Policy>(false, false, std::nullopt); }

Ref<Policy> Policy::SSL(bool server, std::optional<std::string> hostName) {
    return makeRef<Policy>(true, server, std::move(hostName));
}

bool TrustAnchors::addPEMFile(const std::string& path) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path.c_str(), "rb"), BIO_free);
    if (!bio) return false;
    std::vector<Ref<Certificate>> found;
    while (X509* x509 = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        const Bytes der = derOf(x509);
        X509_free(x509);
        if (auto certificate = Certificate::createWithData(der)) found.push_back(std::move(certificate));
    }
    if (found.empty()) return false;
    std::lock_guard lock(anchorTable().mutex);
    for (auto& certificate : found) anchorTable().certificates.push_back(std::move(certificate));
    dropStore(anchorTable());
    return true;
}

void TrustAnchors::addCertificate(const Ref<Certificate>& certificate) {
    if (!certificate) return;
    std::lock_guard lock(anchorTable().mutex);
    anchorTable().certificates.push_back(certificate);
    dropStore(anchorTable());
}

void TrustAnchors::clear() {
    std::lock_guard lock(anchorTable().mutex);
    anchorTable().certificates.clear();
    dropStore(anchorTable());
}

std::vector<Ref<Certificate>> TrustAnchors::certificates() {
    std::lock_guard lock(anchorTable().mutex);
    return anchorTable().certificates;
}

Ref<Trust> Trust::create(std::vector<Ref<Certificate>> certificates, std::vector<Ref<Policy>> policies) {
    std::erase(certificates, nullptr);
    if (certificates.empty()) return nullptr;
    return makeRef<Trust>(std::move(certificates), std::move(policies));
}

void Trust::setPolicies(std::vector<Ref<Policy>> policies) {
    policies_ = std::move(policies);
    evaluated_.clear();
}

void Trust::setAnchorCertificates(std::vector<Ref<Certificate>> anchors) {
    std::erase(anchors, nullptr);
    anchors_ = std::move(anchors);
    evaluated_.clear();
}

int Trust::evaluate(TrustResult* result) {
    evaluated_.clear();
    lastVerifyError_ = 0;
    if (result) *result = TrustResult::Invalid;
    StorePtr store(anchors_ ? X509_STORE_new() : defaultStore(), X509_STORE_free);
    ContextPtr context(X509_STORE_CTX_new(), X509_STORE_CTX_free);
    StackPtr untrusted(sk_X509_new_null());
    if (!store || !context || !untrusted) return kSecAllocate;
    if (anchors_) {
        for (const auto& anchor : *anchors_) X509_STORE_add_cert(store.get(), anchor->x509());
    }
    for (std::size_t i = 1; i < certificates_.size(); ++i) sk_X509_push(untrusted.get(), certificates_[i]->x509());
    if (X509_STORE_CTX_init(context.get(), store.get(), certificates_[0]->x509(), untrusted.get()) != 1) {
        return kSecAllocate;
    }
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
    // Custom anchors need not be self-signed: the chain may end at any of them.
    if (anchors_) X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    for (const auto& policy : policies_) {
        if (!policy->isSSL()) continue;
        X509_STORE_CTX_set_purpose(context.get(), policy->isServer() ? X509_PURPOSE_SSL_SERVER : X509_PURPOSE_SSL_CLIENT);
        if (const auto& host = policy->hostName(); host && !host->empty()) {
            // An address literal is checked against the IP entries, any other text as a DNS name.
            std::string name = *host;
            if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
            if (X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) != 1) {
                X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size());
            }
        }
    }
    if (X509_verify_cert(context.get()) == 1) {
        STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
        for (int i = 0; i < sk_X509_num(chain); ++i) {
            if (auto certificate = Certificate::createWithData(derOf(sk_X509_value(chain, i)))) {
                evaluated_.push_back(std::move(certificate));
            }
        }
        if (result) *result = TrustResult::Unspecified;
    } else {
        lastVerifyError_ = X509_STORE_CTX_get_error(context.get());
        if (lastVerifyError_ == 0) lastVerifyError_ = X509_V_ERR_UNSPECIFIED;
        if (result) *result = TrustResult::RecoverableTrustFailure;
    }
    return kSecSuccess;
}

std::string Trust::lastVerifyErrorString() const {
    return lastVerifyError_ ? X509_verify_cert_error_string(lastVerifyError_) : "";
}

Ref<Certificate> Trust::certificateAtIndex(std::size_t index) const {
    const auto& certificates = chain();
    return index < certificates.size() ? certificates[index] : nullptr;
}

Ref<PublicKey> Trust::copyPublicKey() const { return certificates_.front()->publicKey(); }

}  // namespace lv
