// HCSecurityPolicy: decides whether a server trust presented in a server-trust challenge is accepted,
// optionally pinning the server to certificates or public keys shipped with the app (the bundle's
// ".cer" resources). Holds no lock: a policy is configured before use; evaluation changes the trust
// passed in, so one trust is evaluated on one thread at a time. defaultPinnedCertificates() is
// computed once and safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/security/trust.h"

namespace lv {

enum HCSSLPinningMode : unsigned {
    HCSSLPinningModeNone = 0,
    HCSSLPinningModePublicKey = 1,
    HCSSLPinningModeCertificate = 2,
};

class HCSecurityPolicy : public Object {
public:
    // Every "cer" resource at the top of the main bundle, read whole, in path order; read once.
    static const std::vector<Bytes>& defaultPinnedCertificates();
    // No pinning; the trust must evaluate and name the host.
    static Ref<HCSecurityPolicy> defaultPolicy();
    // The mode, with the default pinned certificates.
    static Ref<HCSecurityPolicy> policyWithPinningMode(unsigned mode);
    // The key paths whose change changes pinnedPublicKeys.
    static std::vector<std::string> keyPathsForValuesAffectingPinnedPublicKeys() { return {"pinnedCertificates"}; }

    HCSecurityPolicy() = default;

    unsigned SSLPinningMode() const { return mode_; }
    void setSSLPinningMode(unsigned mode) { mode_ = mode; }
    bool validatesCertificateChain() const { return validatesCertificateChain_; }
    void setValidatesCertificateChain(bool value) { validatesCertificateChain_ = value; }
    // DER certificates; nothing when unset.
    const std::optional<std::vector<Bytes>>& pinnedCertificates() const { return pinnedCertificates_; }
    // Also recomputes pinnedPublicKeys (entries without a key are skipped).
    void setPinnedCertificates(std::optional<std::vector<Bytes>> certificates);
    bool allowInvalidCertificates() const { return allowInvalidCertificates_; }
    void setAllowInvalidCertificates(bool value) { allowInvalidCertificates_ = value; }
    bool validatesDomainName() const { return validatesDomainName_; }
    void setValidatesDomainName(bool value) { validatesDomainName_ = value; }
    const std::optional<std::vector<Ref<PublicKey>>>& pinnedPublicKeys() const { return pinnedPublicKeys_; }

    // Whether to accept the trust for the host (nothing: no host name check).
    bool evaluateServerTrust(const Ref<Trust>& serverTrust);
    bool evaluateServerTrust(const Ref<Trust>& serverTrust, const std::optional<std::string>& domain);

private:
    unsigned mode_ = HCSSLPinningModeNone;
    bool validatesCertificateChain_ = true;
    std::optional<std::vector<Bytes>> pinnedCertificates_;
    bool allowInvalidCertificates_ = false;
    bool validatesDomainName_ = true;
    std::optional<std::vector<Ref<PublicKey>>> pinnedPublicKeys_;
};

}  // namespace lv
