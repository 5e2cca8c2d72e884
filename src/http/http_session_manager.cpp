#include "http/http_session_manager.h"

#include <utility>

#include "http/detail/base_url.h"
#include "platform/runtime/runtime.h"

namespace lv {

HCHTTPSessionManager::HCHTTPSessionManager(Ref<URL> baseURL, Ref<URLSessionConfiguration> configuration)
    : HCURLSessionManager(std::move(configuration)),
      baseURL_(detail::baseURLWithTrailingSlash(baseURL)),
      requestSerializer_(HCHTTPRequestSerializer::serializer()) {
    runtimeClass();
}

Ref<HCHTTPSessionManager> HCHTTPSessionManager::make(Ref<URL> baseURL, Ref<URLSessionConfiguration> configuration) {
    auto manager = makeRef<HCHTTPSessionManager>(std::move(baseURL), std::move(configuration));
    manager->setUp();
    return manager;
}

Ref<HCHTTPRequestSerializer> HCHTTPSessionManager::requestSerializer() const {
    std::lock_guard guard(serializerMutex_);
    return requestSerializer_;
}
void HCHTTPSessionManager::setRequestSerializer(Ref<HCHTTPRequestSerializer> serializer) {
    std::lock_guard guard(serializerMutex_);
    requestSerializer_ = std::move(serializer);
}

std::string HCHTTPSessionManager::resolve(std::string_view URLString) const {
    auto url = URL::URLWithString(URLString, baseURL_);
    return url ? url->absoluteString() : std::string(URLString);
}

Ref<URLSessionDataTask> HCHTTPSessionManager::failBuilding(const Ref<Error>& error, const Failure& failure) const {
    if (failure) {
        Ref<Queue> queue = completionQueue();
        if (!queue) queue = Queue::main();
        queue->async([failure, error] { failure(nullptr, error); });
    }
    return nullptr;
}

// The task is known only once the factory returned: the handler reads it from the slot then filled.
HCURLSessionManager::CompletionHandler HCHTTPSessionManager::completionFor(const std::shared_ptr<TaskSlot>& slot,
                                                                           Success success, Failure failure) {
    return [slot, success = std::move(success), failure = std::move(failure)](
               const Ref<URLResponse>&, const Value& object, const Ref<Error>& error) {
        const auto task = slot->lock();
        if (error) {
            if (failure) failure(task, error);
        } else if (success) {
            success(task, object);
        }
    };
}

Ref<URLSessionDataTask> HCHTTPSessionManager::dataTaskWithHTTPMethod(std::string_view method, std::string_view URLString,
                                                                     const Value& parameters, Success success,
                                                                     Failure failure) {
    Ref<Error> error;
    auto request = requestSerializer()->requestWithMethod(method, resolve(URLString), parameters, &error);
    if (!request || error) return failBuilding(error, failure);
    auto slot = std::make_shared<TaskSlot>();
    auto task = dataTaskWithRequest(*request, completionFor(slot, std::move(success), std::move(failure)));
    *slot = task;
    return task;
}

Ref<URLSessionDataTask> HCHTTPSessionManager::GET(std::string_view URLString, const Value& parameters, Success success,
                                                  Failure failure) {
    auto task = dataTaskWithHTTPMethod("GET", URLString, parameters, std::move(success), std::move(failure));
    if (task) task->resume();
    return task;
}

Ref<URLSessionDataTask> HCHTTPSessionManager::HEAD(std::string_view URLString, const Value& parameters,
                                                   HeadSuccess success, Failure failure) {
    Success wrapped;
    if (success) wrapped = [success](const Ref<URLSessionDataTask>& task, const Value&) { success(task); };
    auto task = dataTaskWithHTTPMethod("HEAD", URLString, parameters, std::move(wrapped), std::move(failure));
    if (task) task->resume();
    return task;
}

Ref<URLSessionDataTask> HCHTTPSessionManager::POST(std::string_view URLString, const Value& parameters, Success success,
                                                   Failure failure) {
    auto task = dataTaskWithHTTPMethod("POST", URLString, parameters, std::move(success), std::move(failure));
    if (task) task->resume();
    return task;
}

Ref<URLSessionDataTask> HCHTTPSessionManager::POST(std::string_view URLString, const Value& parameters,
                                                   const BodyConstruction& block, Success success, Failure failure) {
    Ref<Error> error;
    auto request = requestSerializer()->multipartFormRequestWithMethod("POST", resolve(URLString), parameters, block, &error);
    if (!request || error) return failBuilding(error, failure);
    auto slot = std::make_shared<TaskSlot>();
    Ref<URLSessionDataTask> task =
        uploadTaskWithStreamedRequest(*request, nullptr, completionFor(slot, std::move(success), std::move(failure)));
    *slot = task;
    if (task) task->resume();
    return task;
}

Ref<URLSessionDataTask> HCHTTPSessionManager::PUT(std::string_view URLString, const Value& parameters, Success success,
                                                  Failure failure) {
    auto task = dataTaskWithHTTPMethod("PUT", URLString, parameters, std::move(success), std::move(failure));
    if (task) task->resume();
    return task;
}

Ref<URLSessionDataTask> HCHTTPSessionManager::PATCH(std::string_view URLString, const Value& parameters,
                                                    Success success, Failure failure) {
    auto task = dataTaskWithHTTPMethod("PATCH", URLString, parameters, std::move(success), std::move(failure));
    if (task) task->resume();
    return task;
}

Ref<URLSessionDataTask> HCHTTPSessionManager::DELETE(std::string_view URLString, const Value& parameters,
                                                     Success success, Failure failure) {
    auto task = dataTaskWithHTTPMethod("DELETE", URLString, parameters, std::move(success), std::move(failure));
    if (task) task->resume();
    return task;
}

std::string HCHTTPSessionManager::description() const {
    return "<" + className() + ": " + addressText(this) + ", baseURL: " + (baseURL_ ? baseURL_->absoluteString() : "(null)") +
           ", session: " + session()->description() + ", operationQueue: " + operationQueue()->description() + ">";
}

Ref<HCURLSessionManager> HCHTTPSessionManager::makeCopy() const {
    auto copy = make(baseURL_, session()->configuration());
    if (auto serializer = requestSerializer()) copy->setRequestSerializer(serializer->copy());
    if (auto serializer = responseSerializer()) copy->setResponseSerializer(serializer->copy());
    return copy;
}

const ClassInfo* HCHTTPSessionManager::runtimeClass() {
    static const ClassInfo* cls =
        ClassDef<HCHTTPSessionManager>("HCHTTPSessionManager")
            .superclassNamed(HCURLSessionManager::runtimeClass())
            .factory([] { return std::static_pointer_cast<Object>(makeRef<HCHTTPSessionManager>(nullptr, nullptr)); })
            .registerClass();
    return cls;
}

void HCHTTPSessionManager::encodeWithCoder(Coder& coder) const {
    coder.encodeObject(Value(baseURL_), "baseURL");
    const Ref<URLSessionConfiguration> configuration = session()->configuration();
    if (configuration->supportsArchiving()) {
        coder.encodeObject(Value(configuration), "sessionConfiguration");
    } else {
        coder.encodeObject(Value(*configuration->identifier()), "identifier");
    }
    coder.encodeObject(Value(requestSerializer()), "requestSerializer");
    coder.encodeObject(Value(responseSerializer()), "responseSerializer");
}

bool HCHTTPSessionManager::initWithCoder(Coder& coder) {
    const Value url = coder.decodeObjectOfClass(URL::runtimeClass(), "baseURL");
    const Value configuration =
        coder.decodeObjectOfClass(URLSessionConfiguration::runtimeClass(), "sessionConfiguration");
    const Value identifier = coder.decodeObjectOfClass(classNamed("String"), "identifier");
    const Value request = coder.decodeObjectOfClass(HCHTTPRequestSerializer::runtimeClass(), "requestSerializer");
    const Value response = coder.decodeObjectOfClass(HCHTTPResponseSerializer::runtimeClass(), "responseSerializer");
    const auto base = url.objectAs<URL>();
    auto sessionConfiguration = configuration.objectAs<URLSessionConfiguration>();
    const auto requestSerializer = request.objectAs<HCHTTPRequestSerializer>();
    const auto responseSerializer = response.objectAs<HCHTTPResponseSerializer>();
    if ((!url.isNil() && !base) || (!configuration.isNil() && !sessionConfiguration) ||
        (!request.isNil() && !requestSerializer) || (!response.isNil() && !responseSerializer)) {
        return false;
    }
    if (!sessionConfiguration && identifier.isString()) {
        sessionConfiguration =
            URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(identifier.string());
    }
    baseURL_ = detail::baseURLWithTrailingSlash(base);
    setConfigurationBeforeSetUp(std::move(sessionConfiguration));
    setUp();
    if (requestSerializer) setRequestSerializer(requestSerializer);
    if (responseSerializer) setResponseSerializer(responseSerializer);
    return true;
}

}  // namespace lv
