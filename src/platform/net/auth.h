// Credentials, protection spaces and authentication challenges with their sender. A challenge is
// answered synchronously, on the thread that received it, inside the delegate call. A server-trust
// challenge's protection space carries the server's trust; a credential made for that trust accepts it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/error.h"
#include "platform/net/request.h"
#include "platform/security/trust.h"

namespace lv {

inline constexpr std::string_view kAuthenticationMethodDefault = "NSURLAuthenticationMethodDefault";
inline constexpr std::string_view kAuthenticationMethodHTTPBasic = "NSURLAuthenticationMethodHTTPBasic";
inline constexpr std::string_view kAuthenticationMethodHTTPDigest = "NSURLAuthenticationMethodHTTPDigest";
inline constexpr std::string_view kAuthenticationMethodServerTrust = "NSURLAuthenticationMethodServerTrust";
inline constexpr std::string_view kAuthenticationMethodClientCertificate = "NSURLAuthenticationMethodClientCertificate";

enum class URLCredentialPersistence : int { None = 0, ForSession = 1, Permanent = 2, Synchronizable = 3 };

// A user and password, or (credentialForTrust) an accepted server trust.
class URLCredential : public Object {
public:
    URLCredential(std::string user, std::string password, URLCredentialPersistence persistence)
        : user_(std::move(user)), password_(std::move(password)), persistence_(persistence) {}
    static Ref<URLCredential> make(std::string user, std::string password,
                                   URLCredentialPersistence persistence = URLCredentialPersistence::ForSession) {
        return makeRef<URLCredential>(std::move(user), std::move(password), persistence);
    }
    // Accepts the server trust of a server-trust challenge.
    static Ref<URLCredential> credentialForTrust(Ref<Trust> trust) {
        auto credential = makeRef<URLCredential>("", "", URLCredentialPersistence::ForSession);
        credential->trust_ = std::move(trust);
        return credential;
    }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    URLCredentialPersistence persistence() const { return persistence_; }
    const Ref<Trust>& trust() const { return trust_; }

private:
    std::string user_;
    std::string password_;
    URLCredentialPersistence persistence_;
    Ref<Trust> trust_;
};

class ProtectionSpace : public Object {
public:
    ProtectionSpace(std::string host, int port, std::string protocol, std::optional<std::string> realm,
                    std::string authenticationMethod, Ref<Trust> serverTrust = nullptr)
        : host_(std::move(host)),
          port_(port),
          protocol_(std::move(protocol)),
          realm_(std::move(realm)),
          method_(std::move(authenticationMethod)),
          serverTrust_(std::move(serverTrust)) {}
    const std::string& host() const { return host_; }
    int port() const { return port_; }
    const std::string& protocol() const { return protocol_; }
    const std::optional<std::string>& realm() const { return realm_; }
    const std::string& authenticationMethod() const { return method_; }
    // The server's trust, for kAuthenticationMethodServerTrust.
    const Ref<Trust>& serverTrust() const { return serverTrust_; }

private:
    std::string host_;
    int port_;
    std::string protocol_;
    std::optional<std::string> realm_;
    std::string method_;
    Ref<Trust> serverTrust_;
};

class AuthenticationChallenge;

// Answers to a challenge. The connection that raised the challenge is its sender.
class AuthenticationChallengeSender {
public:
    virtual ~AuthenticationChallengeSender() = default;
    virtual void useCredential(const Ref<URLCredential>& credential, const AuthenticationChallenge& challenge) = 0;
    virtual void continueWithoutCredentialForAuthenticationChallenge(const AuthenticationChallenge& challenge) = 0;
    virtual void cancelAuthenticationChallenge(const AuthenticationChallenge& challenge) = 0;
    virtual void performDefaultHandlingForAuthenticationChallenge(const AuthenticationChallenge& challenge) = 0;
    virtual void rejectProtectionSpaceAndContinueWithChallenge(const AuthenticationChallenge& challenge) = 0;
};

class AuthenticationChallenge : public Object {
public:
    AuthenticationChallenge(Ref<ProtectionSpace> space, Ref<URLCredential> proposedCredential,
                            std::int64_t previousFailureCount, Ref<URLResponse> failureResponse,
                            AuthenticationChallengeSender* sender)
        : space_(std::move(space)),
          proposed_(std::move(proposedCredential)),
          previousFailureCount_(previousFailureCount),
          failureResponse_(std::move(failureResponse)),
          sender_(sender) {}
    const Ref<ProtectionSpace>& protectionSpace() const { return space_; }
    const Ref<URLCredential>& proposedCredential() const { return proposed_; }
    std::int64_t previousFailureCount() const { return previousFailureCount_; }
    const Ref<URLResponse>& failureResponse() const { return failureResponse_; }
    const Ref<Error>& error() const { return error_; }
    // Valid during the delegate call that received the challenge.
    AuthenticationChallengeSender* sender() const { return sender_; }

private:
    Ref<ProtectionSpace> space_;
    Ref<URLCredential> proposed_;
    std::int64_t previousFailureCount_;
    Ref<URLResponse> failureResponse_;
    Ref<Error> error_;
    AuthenticationChallengeSender* sender_;
};

}  // namespace lv
