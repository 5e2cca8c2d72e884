// HCHTTPRequestOperationManager: the operation-based HTTP client. Resolves URL strings against its base
// URL, builds requests through its request serializer, wraps them in HTTP request operations configured
// from its own settings and runs them on its operation queue; success and failure blocks run on the
// completion queue (the main queue by default). Threads: request calls from any thread; settings are
// locked, and a change reaches only operations built after it. A manager can be copied and
// keyed-archived ("baseURL", "requestSerializer", "responseSerializer").
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "http/http_request_operation.h"
#include "http/network_reachability_manager.h"
#include "http/request_serializer.h"
#include "platform/storage/keyed_archive.h"

namespace lv {

class HCHTTPRequestOperationManager : public Object, public Coding {
public:
    using Success = HCHTTPRequestOperation::Success;
    // The operation is nil when no request could be built.
    using Failure = HCHTTPRequestOperation::Failure;
    using HeadSuccess = std::function<void(const Ref<HCHTTPRequestOperation>&)>;
    using BodyConstruction = HCHTTPRequestSerializer::BodyConstruction;

    // A base URL with a non-empty path gains a trailing "/" so relative paths resolve below it.
    explicit HCHTTPRequestOperationManager(Ref<URL> baseURL = nullptr);
    static Ref<HCHTTPRequestOperationManager> manager() { return makeRef<HCHTTPRequestOperationManager>(); }
    static Ref<HCHTTPRequestOperationManager> make(Ref<URL> baseURL) {
        return makeRef<HCHTTPRequestOperationManager>(std::move(baseURL));
    }

    Ref<URL> baseURL() const;
    Ref<HCHTTPRequestSerializer> requestSerializer() const;
    void setRequestSerializer(Ref<HCHTTPRequestSerializer> serializer);
    Ref<HCHTTPResponseSerializer> responseSerializer() const;
    void setResponseSerializer(Ref<HCHTTPResponseSerializer> serializer);
    Ref<OperationQueue> operationQueue() const;
    bool shouldUseCredentialStorage() const;
    void setShouldUseCredentialStorage(bool use);
    Ref<URLCredential> credential() const;
    void setCredential(Ref<URLCredential> credential);
    Ref<HCSecurityPolicy> securityPolicy() const;
    void setSecurityPolicy(Ref<HCSecurityPolicy> policy);
    Ref<HCNetworkReachabilityManager> reachabilityManager() const;
    void setReachabilityManager(Ref<HCNetworkReachabilityManager> manager);
    Ref<Queue> completionQueue() const;
    void setCompletionQueue(Ref<Queue> queue);
    Ref<Group> completionGroup() const;
    void setCompletionGroup(Ref<Group> group);

    // An operation for the method and the URL string resolved against the base URL, not queued; nil
    // when the request serializer fails (the failure block then gets (nil, error) asynchronously on
    // the completion queue).
    Ref<HCHTTPRequestOperation> HTTPRequestOperationWithHTTPMethod(std::string_view method, std::string_view URLString,
                                                                   const Value& parameters, Success success,
                                                                   Failure failure);
    // An operation for the request configured from the manager's settings, not queued.
    Ref<HCHTTPRequestOperation> HTTPRequestOperationWithRequest(const URLRequest& request, Success success,
                                                                Failure failure);

    // Each builds, queues and returns the operation (nil when no request could be built).
    Ref<HCHTTPRequestOperation> GET(std::string_view URLString, const Value& parameters, Success success,
                                    Failure failure);
    Ref<HCHTTPRequestOperation> HEAD(std::string_view URLString, const Value& parameters, HeadSuccess success,
                                     Failure failure);
    Ref<HCHTTPRequestOperation> POST(std::string_view URLString, const Value& parameters, Success success,
                                     Failure failure);
    Ref<HCHTTPRequestOperation> POST(std::string_view URLString, const Value& parameters, const BodyConstruction& block,
                                     Success success, Failure failure);
    Ref<HCHTTPRequestOperation> PUT(std::string_view URLString, const Value& parameters, Success success,
                                    Failure failure);
    Ref<HCHTTPRequestOperation> PATCH(std::string_view URLString, const Value& parameters, Success success,
                                      Failure failure);
    Ref<HCHTTPRequestOperation> DELETE(std::string_view URLString, const Value& parameters, Success success,
                                       Failure failure);

    // "<HCHTTPRequestOperationManager: 0x…, baseURL: …, operationQueue: …>".
    std::string description() const override;
    // A manager on the same base URL with copies of both serializers; everything else the defaults.
    Ref<HCHTTPRequestOperationManager> copy() const;

    // The class "HCHTTPRequestOperationManager" (registered by every new manager).
    static const ClassInfo* runtimeClass();
    void encodeWithCoder(Coder& coder) const override;
    // The base URL (the trailing "/" rule applies again) and both serializers; everything else keeps
    // the defaults.
    bool initWithCoder(Coder& coder) override;
    bool supportsSecureCoding() const override { return true; }

private:
    std::string resolve(std::string_view URLString) const;
    Ref<HCHTTPRequestOperation> failBuilding(const Ref<Error>& error, const Failure& failure) const;
    Ref<HCHTTPRequestOperation> enqueue(Ref<HCHTTPRequestOperation> op);

    mutable std::mutex mutex_;
    Ref<URL> baseURL_;
    Ref<HCHTTPRequestSerializer> requestSerializer_;
    Ref<HCHTTPResponseSerializer> responseSerializer_;
    Ref<OperationQueue> operationQueue_;
    bool shouldUseCredentialStorage_ = true;
    Ref<URLCredential> credential_;
    Ref<HCSecurityPolicy> securityPolicy_;
    Ref<HCNetworkReachabilityManager> reachabilityManager_;
    Ref<Queue> completionQueue_;
    Ref<Group> completionGroup_;
};

}  // namespace lv
