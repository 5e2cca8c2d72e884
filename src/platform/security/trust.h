// Server trust: the certificate chain a server presented, the policies to judge it by (basic X.509, or
// SSL server with an optional host name) and optional custom anchors, evaluated with OpenSSL's chain
// verification. A Trust is used by one thread at a time (evaluation changes it); Policy is immutable;
// TrustAnchors is locked and callable from any thread.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/object.h"
#include "platform/security/certificate.h"
#include "platform/security/status.h"

namespace lv {

// Results of an evaluation, numbered as the platform numbers them.
enum class TrustResult : unsigned {
    Invalid = 0,
    Proceed = 1,
    Confirm = 2,
    Deny = 3,
    Unspecified = 4,
    RecoverableTrustFailure = 5,
    FatalTrustFailure = 6,
    OtherError = 7,
};

class Policy : public Object {
public:
    // Chain validity only.
    static Ref<Policy> basicX509();
    // Chain validity for a TLS server (server true) or client certificate; with a host name, the leaf
    // must also name that host (a DNS name, or an IP address literal).
    static Ref<Policy> SSL(bool server, std::optional<std::string> hostName);

    bool isSSL() const { return ssl_; }
    bool isServer() const { return server_; }
    const std::optional<std::string>& hostName() const { return hostName_; }

    Policy(bool ssl, bool server, std::optional<std::string> hostName)
        : ssl_(ssl), server_(server), hostName_(std::move(hostName)) {}

private:
    bool ssl_;
    bool server_;
    std::optional<std::string> hostName_;
};

// Anchors trusted by every evaluation without custom anchors, besides the system's (tests add the
// root they generate; the app may add a PEM file).
class TrustAnchors {
public:
    // Adds every certificate of a PEM file. False when the file cannot be read or holds none.
    static bool addPEMFile(const std::string& path);
    static void addCertificate(const Ref<Certificate>& certificate);
    static void clear();
    static std::vector<Ref<Certificate>> certificates();
};

class Trust : public Object {
public:
    // A trust over the chain (leaf first) and policies; nothing when the chain is empty.
    static Ref<Trust> create(std::vector<Ref<Certificate>> certificates, std::vector<Ref<Policy>> policies);

    void setPolicies(std::vector<Ref<Policy>> policies);
    const std::vector<Ref<Policy>>& policies() const { return policies_; }
    // Makes these certificates the only anchors of later evaluations (the system's and TrustAnchors'
    // no longer count); a chain may end at any of them, self-signed or not.
    void setAnchorCertificates(std::vector<Ref<Certificate>> anchors);

    // Builds and checks the chain from the leaf to an anchor under the policies. The status is
    // kSecSuccess when the evaluation ran; *result is Unspecified when the chain is trusted and
    // RecoverableTrustFailure when it is not (untrusted anchor, expired, wrong host, bad signature).
    int evaluate(TrustResult* result);
    // OpenSSL's verification error of the last failed evaluation (0 otherwise), and its text.
    int lastVerifyError() const { return lastVerifyError_; }
    std::string lastVerifyErrorString() const;

    // The evaluated chain (leaf through anchor) after a successful evaluation, else the presented one.
    std::size_t certificateCount() const { return chain().size(); }
    Ref<Certificate> certificateAtIndex(std::size_t index) const;
    // The leaf's public key.
    Ref<PublicKey> copyPublicKey() const;
    // The chain as presented.
    const std::vector<Ref<Certificate>>& presentedCertificates() const { return certificates_; }

    Trust(std::vector<Ref<Certificate>> certificates, std::vector<Ref<Policy>> policies)
        : certificates_(std::move(certificates)), policies_(std::move(policies)) {}

private:
    const std::vector<Ref<Certificate>>& chain() const { return evaluated_.empty() ? certificates_ : evaluated_; }

    std::vector<Ref<Certificate>> certificates_;
    std::vector<Ref<Policy>> policies_;
    std::optional<std::vector<Ref<Certificate>>> anchors_;
    std::vector<Ref<Certificate>> evaluated_;
    int lastVerifyError_ = 0;
};

}  // namespace lv
