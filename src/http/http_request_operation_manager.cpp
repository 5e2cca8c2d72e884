#include "http/http_request_operation_manager.h"

#include <utility>

#include "http/detail/base_url.h"
#include "platform/runtime/runtime.h"

namespace lv {

HCHTTPRequestOperationManager::HCHTTPRequestOperationManager(Ref<URL> baseURL)
    : baseURL_(detail::baseURLWithTrailingSlash(baseURL)),
      requestSerializer_(HCHTTPRequestSerializer::serializer()),
      responseSerializer_(HCJSONResponseSerializer::serializer()),
      operationQueue_(OperationQueue::make()),
      securityPolicy_(HCSecurityPolicy::defaultPolicy()),
      reachabilityManager_(HCNetworkReachabilityManager::sharedManager()) {
    runtimeClass();
}

Ref<URL> HCHTTPRequestOperationManager::baseURL() const {
    std::lock_guard guard(mutex_);
    return baseURL_;
}
Ref<HCHTTPRequestSerializer> HCHTTPRequestOperationManager::requestSerializer() const {
    std::lock_guard guard(mutex_);
    return requestSerializer_;
}
void HCHTTPRequestOperationManager::setRequestSerializer(Ref<HCHTTPRequestSerializer> serializer) {
    std::lock_guard guard(mutex_);
    requestSerializer_ = std::move(serializer);
}
Ref<HCHTTPResponseSerializer> HCHTTPRequestOperationManager::responseSerializer() const {
    std::lock_guard guard(mutex_);
    return responseSerializer_;
}
void HCHTTPRequestOperationManager::setResponseSerializer(Ref<HCHTTPResponseSerializer> serializer) {
    std::lock_guard guard(mutex_);
    responseSerializer_ = std::move(serializer);
}
Ref<OperationQueue> HCHTTPRequestOperationManager::operationQueue() const {
    std::lock_guard guard(mutex_);
    return operationQueue_;
}
bool HCHTTPRequestOperationManager::shouldUseCredentialStorage() const {
    std::lock_guard guard(mutex_);
    return shouldUseCredentialStorage_;
}
void HCHTTPRequestOperationManager::setShouldUseCredentialStorage(bool use) {
    std::lock_guard guard(mutex_);
    shouldUseCredentialStorage_ = use;
}
Ref<URLCredential> HCHTTPRequestOperationManager::credential() const {
    std::lock_guard guard(mutex_);
    return credential_;
}
void HCHTTPRequestOperationManager::setCredential(Ref<URLCredential> credential) {
    std::lock_guard guard(mutex_);
    credential_ = std::move(credential);
}
Ref<HCSecurityPolicy> HCHTTPRequestOperationManager::securityPolicy() const {
    std::lock_guard guard(mutex_);
    return securityPolicy_;
}
void HCHTTPRequestOperationManager::setSecurityPolicy(Ref<HCSecurityPolicy> policy) {
    std::lock_guard guard(mutex_);
    securityPolicy_ = std::move(policy);
}
Ref<HCNetworkReachabilityManager> HCHTTPRequestOperationManager::reachabilityManager() const {
    std::lock_guard guard(mutex_);
    return reachabilityManager_;
}
void HCHTTPRequestOperationManager::setReachabilityManager(Ref<HCNetworkReachabilityManager> manager) {
    std::lock_guard guard(mutex_);
    reachabilityManager_ = std::move(manager);
}
Ref<Queue> HCHTTPRequestOperationManager::completionQueue() const {
    std::lock_guard guard(mutex_);
    return completionQueue_;
}
void HCHTTPRequestOperationManager::setCompletionQueue(Ref<Queue> queue) {
    std::lock_guard guard(mutex_);
    completionQueue_ = std::move(queue);
}
Ref<Group> HCHTTPRequestOperationManager::completionGroup() const {
    std::lock_guard guard(mutex_);
    return completionGroup_;
}
void HCHTTPRequestOperationManager::setCompletionGroup(Ref<Group> group) {
    std::lock_guard guard(mutex_);
    completionGroup_ = std::move(group);
}

std::string HCHTTPRequestOperationManager::resolve(std::string_view URLString) const {
    auto url = URL::URLWithString(URLString, baseURL());
    return url ? url->absoluteString() : std::string(URLString);
}

Ref<HCHTTPRequestOperation> HCHTTPRequestOperationManager::failBuilding(const Ref<Error>& error,
                                                                        const Failure& failure) const {
    if (failure) {
        Ref<Queue> queue = completionQueue();
        if (!queue) queue = Queue::main();
        queue->async([failure, error] { failure(nullptr, error); });
    }
    return nullptr;
}

Ref<HCHTTPRequestOperation> HCHTTPRequestOperationManager::HTTPRequestOperationWithHTTPMethod(
    std::string_view method, std::string_view URLString, const Value& parameters, Success success, Failure failure) {
    Ref<Error> error;
    auto request = requestSerializer()->requestWithMethod(method, resolve(URLString), parameters, &error);
    if (!request || error) return failBuilding(error, failure);
    return HTTPRequestOperationWithRequest(*request, std::move(success), std::move(failure));
}

Ref<HCHTTPRequestOperation> HCHTTPRequestOperationManager::HTTPRequestOperationWithRequest(const URLRequest& request,
                                                                                           Success success,
                                                                                           Failure failure) {
    auto op = HCHTTPRequestOperation::make(request);
    std::lock_guard guard(mutex_);
    op->setResponseSerializer(responseSerializer_);
    op->setShouldUseCredentialStorage(shouldUseCredentialStorage_);
    op->setCredential(credential_);
    op->setSecurityPolicy(securityPolicy_);
    op->setCompletionBlockWithSuccess(std::move(success), std::move(failure));
    op->setCompletionQueue(completionQueue_);
    op->setCompletionGroup(completionGroup_);
    return op;
}

Ref<HCHTTPRequestOperation> HCHTTPRequestOperationManager::enqueue(Ref<HCHTTPRequestOperation> op) {
    if (op) operationQueue()->addOperation(op);
    return op;
}

Ref<HCHTTPRequestOperation> HCHTTPRequestOperationManager::GET(std::string_view URLString, const Value& parameters,
                                                               Success success, Failure failure) {
    return enqueue(HTTPRequestOperationWithHTTPMethod("GET", URLString, parameters, std::move(success), std::move(failure)));
}

Ref<HCHTTPRequestOperation> HCHTTPRequestOperationManager::HEAD(std::string_view URLString, const Value& parameters,
                                                                HeadSuccess success, Failure failure) {
    Success wrapped;
    if (success) wrapped = [success](const Ref<HCHTTPRequestOperation>& op, const Value&) { success(op); };
    return enqueue(HTTPRequestOperationWithHTTPMethod("HEAD", URLString, parameters, std::move(wrapped), std::move(failure)));
}

Ref<HCHTTPRequestOperation> HCHTTPRequestOperationManager::POST(std::string_view URLString, const Value& parameters,
                                                                Success success, Failure failure) {
    return enqueue(HTTPRequestOperationWithHTTPMethod("POST", URLString, parameters, std::move(success), std::move(failure)));
}

Ref<HCHTTPRequestOperation> HCHTTPRequestOperationManager::POST(std::string_view URLString, const Value& parameters,
                                                                const BodyConstruction& block, Success success,
                                                                Failure failure) {
    Ref<Error> error;
    auto request = requestSerializer()->multipartFormRequestWithMethod("POST", resolve(URLString), parameters, block,
                                                                       &error);
    if (!request || error) return failBuilding(error, failure);
    return enqueue(HTTPRequestOperationWithRequest(*request, std::move(success), std::move(failure)));
}

Ref<HCHTTPRequestOperation> HCHTTPRequestOperationManager::PUT(std::string_view URLString, const Value& parameters,
                                                               Success success, Failure failure) {
    return enqueue(HTTPRequestOperationWithHTTPMethod("PUT", URLString, parameters, std::move(success), std::move(failure)));
}

Ref<HCHTTPRequestOperation> HCHTTPRequestOperationManager::PATCH(std::string_view URLString, const Value& parameters,
                                                                 Success success, Failure failure) {
    return enqueue(HTTPRequestOperationWithHTTPMethod("PATCH", URLString, parameters, std::move(success), std::move(failure)));
}

Ref<HCHTTPRequestOperation> HCHTTPRequestOperationManager::DELETE(
    std::string_view URLString, const Value& parameters, Success success, Failure failure) {
    return enqueue(HTTPRequestOperationWithHTTPMethod("DELETE", URLString, parameters, std::move(success), std::move(failure)));
}

std::string HCHTTPRequestOperationManager::description() const {
    auto base = baseURL();
    return "<" + className() + ": " + addressText(this) + ", baseURL: " + (base ? base->absoluteString() : "(null)") +
           ", operationQueue: " + operationQueue()->description() + ">";
}

Ref<HCHTTPRequestOperationManager> HCHTTPRequestOperationManager::copy() const {
    auto copy = make(baseURL());
    if (auto serializer = requestSerializer()) copy->setRequestSerializer(serializer->copy());
    if (auto serializer = responseSerializer()) copy->setResponseSerializer(serializer->copy());
    return copy;
}

const ClassInfo* HCHTTPRequestOperationManager::runtimeClass() {
    static const ClassInfo* cls =
        ClassDef<HCHTTPRequestOperationManager>("HCHTTPRequestOperationManager").factory().registerClass();
    return cls;
}

void HCHTTPRequestOperationManager::encodeWithCoder(Coder& coder) const {
    coder.encodeObject(Value(baseURL()), "baseURL");
    coder.encodeObject(Value(requestSerializer()), "requestSerializer");
    coder.encodeObject(Value(responseSerializer()), "responseSerializer");
}

bool HCHTTPRequestOperationManager::initWithCoder(Coder& coder) {
    // The base URL is read as a URL (also under secure coding, where an unrestricted read would refuse it).
    const Value url = coder.decodeObjectOfClass(URL::runtimeClass(), "baseURL");
    const Value request = coder.decodeObjectOfClass(HCHTTPRequestSerializer::runtimeClass(), "requestSerializer");
    const Value response = coder.decodeObjectOfClass(HCHTTPResponseSerializer::runtimeClass(), "responseSerializer");
    const auto base = url.objectAs<URL>();
    const auto requestSerializer = request.objectAs<HCHTTPRequestSerializer>();
    const auto responseSerializer = response.objectAs<HCHTTPResponseSerializer>();
    if ((!url.isNil() && !base) || (!request.isNil() && !requestSerializer) ||
        (!response.isNil() && !responseSerializer)) {
        return false;
    }
    std::lock_guard guard(mutex_);
    baseURL_ = detail::baseURLWithTrailingSlash(base);
    if (requestSerializer) requestSerializer_ = requestSerializer;
    if (responseSerializer) responseSerializer_ = responseSerializer;
    return true;
}

}  // namespace lv
