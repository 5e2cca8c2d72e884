// The security policy's evaluation.
#include "http/security_policy.h"

#include <algorithm>

#include "platform/storage/bundle.h"
#include "platform/storage/file_manager.h"

namespace lv {

namespace {

// Evaluation ran and the result is proceed or unspecified.
bool trustIsValid(Trust& trust) {
    TrustResult result = TrustResult::Invalid;
    if (trust.evaluate(&result) != kSecSuccess) return false;
    return result == TrustResult::Unspecified || result == TrustResult::Proceed;
}

// The key of a certificate alone in a trust under a basic X.509 policy, when evaluation runs.
Ref<PublicKey> publicKeyOf(const Ref<Certificate>& certificate) {
    if (!certificate) return nullptr;
    auto trust = Trust::create({certificate}, {Policy::basicX509()});
    if (!trust) return nullptr;
    TrustResult result;
    if (trust->evaluate(&result) != kSecSuccess) return nullptr;
    return trust->copyPublicKey();
}

std::vector<Bytes> certificateChain(const Trust& trust) {
    std::vector<Bytes> chain;
    for (std::size_t i = 0; i < trust.certificateCount(); ++i) chain.push_back(trust.certificateAtIndex(i)->data());
    return chain;
}

std::vector<Ref<PublicKey>> publicKeyChain(const Trust& trust) {
    std::vector<Ref<PublicKey>> keys;
    for (std::size_t i = 0; i < trust.certificateCount(); ++i) {
        if (auto key = publicKeyOf(trust.certificateAtIndex(i))) keys.push_back(std::move(key));
    }
    return keys;
}

}  // namespace

const std::vector<Bytes>& HCSecurityPolicy::defaultPinnedCertificates() {
    static const auto& certificates = *new std::vector<Bytes>([] {
        std::vector<Bytes> found;
        for (const std::string& path : Bundle::mainBundle()->pathsForResourcesOfType("cer", ".")) {
            if (auto data = FileManager::defaultManager().contentsAtPath(path)) found.push_back(std::move(*data));
        }
        return found;
    }());
    return certificates;
}

Ref<HCSecurityPolicy> HCSecurityPolicy::defaultPolicy() {
    auto policy = makeRef<HCSecurityPolicy>();
    policy->setSSLPinningMode(HCSSLPinningModeNone);
    return policy;
}

Ref<HCSecurityPolicy> HCSecurityPolicy::policyWithPinningMode(unsigned mode) {
    auto policy = makeRef<HCSecurityPolicy>();
    policy->setSSLPinningMode(mode);
    policy->setPinnedCertificates(defaultPinnedCertificates());
    return policy;
}

void HCSecurityPolicy::setPinnedCertificates(std::optional<std::vector<Bytes>> certificates) {
    pinnedCertificates_ = std::move(certificates);
    if (!pinnedCertificates_) {
        pinnedPublicKeys_.reset();
        return;
    }
    std::vector<Ref<PublicKey>> keys;
    for (const Bytes& data : *pinnedCertificates_) {
        if (auto key = publicKeyOf(Certificate::createWithData(data))) keys.push_back(std::move(key));
    }
    pinnedPublicKeys_ = std::move(keys);
}

bool HCSecurityPolicy::evaluateServerTrust(const Ref<Trust>& serverTrust) {
    return evaluateServerTrust(serverTrust, std::nullopt);
}

bool HCSecurityPolicy::evaluateServerTrust(const Ref<Trust>& serverTrust, const std::optional<std::string>& domain) {
    if (!serverTrust) return false;
    serverTrust->setPolicies({validatesDomainName_ ? Policy::SSL(true, domain) : Policy::basicX509()});
    if (mode_ == HCSSLPinningModeNone) return allowInvalidCertificates_ || trustIsValid(*serverTrust);
    if (!trustIsValid(*serverTrust) && !allowInvalidCertificates_) return false;
    const std::vector<Bytes> chain = certificateChain(*serverTrust);

    if (mode_ == HCSSLPinningModeCertificate) {
        const std::vector<Bytes> pinned = pinnedCertificates_.value_or(std::vector<Bytes>{});
        std::vector<Ref<Certificate>> anchors;
        for (const Bytes& data : pinned) {
            if (auto certificate = Certificate::createWithData(data)) anchors.push_back(std::move(certificate));
        }
        serverTrust->setAnchorCertificates(std::move(anchors));
        if (!trustIsValid(*serverTrust)) return false;
        if (!validatesCertificateChain_) return true;
        const auto count = std::count_if(chain.begin(), chain.end(), [&](const Bytes& data) {
            return std::find(pinned.begin(), pinned.end(), data) != pinned.end();
        });
        return static_cast<std::size_t>(count) == chain.size();
    }

    if (mode_ == HCSSLPinningModePublicKey) {
        std::vector<Ref<PublicKey>> keys = publicKeyChain(*serverTrust);
        if (!validatesCertificateChain_ && !keys.empty()) keys.resize(1);
        const auto& pinnedKeys = pinnedPublicKeys_.value_or(std::vector<Ref<PublicKey>>{});
        // Each server certificate counts once when its key is pinned, however often it is pinned, so
        // duplicate pins cannot make up for an unpinned certificate.
        const auto count = std::count_if(keys.begin(), keys.end(), [&](const Ref<PublicKey>& key) {
            return std::any_of(pinnedKeys.begin(), pinnedKeys.end(),
                               [&](const Ref<PublicKey>& pinnedKey) { return pinnedKey->isEqual(*key); });
        });
        if (count == 0) return false;
        return !validatesCertificateChain_ || static_cast<std::size_t>(count) == chain.size();
    }
    return false;
}

}  // namespace lv
