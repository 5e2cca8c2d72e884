// HCHTTPSessionManager: a URL session manager with a base URL and a request serializer, offering one
// call per HTTP verb that builds the request relative to the base URL, starts a data task (a streamed
// upload task for multipart POST) and reports through success and failure blocks on the completion
// queue. Threads: calls from any thread; the serializers are locked. A manager can be copied and
// keyed-archived ("baseURL", "sessionConfiguration" or, for a background configuration, "identifier",
// "requestSerializer", "responseSerializer").
#pragma once

#include <string_view>

#include "http/request_serializer.h"
#include "http/url_session_manager.h"

namespace lv {

class HCHTTPSessionManager : public HCURLSessionManager {
public:
    using Success = std::function<void(const Ref<URLSessionDataTask>&, const Value& responseObject)>;
    // The task is nil when no request could be built.
    using Failure = std::function<void(const Ref<URLSessionDataTask>&, const Ref<Error>&)>;
    using HeadSuccess = std::function<void(const Ref<URLSessionDataTask>&)>;
    using BodyConstruction = HCHTTPRequestSerializer::BodyConstruction;

    // A base URL with a non-empty path gains a final "/" so relative strings resolve inside it.
    static Ref<HCHTTPSessionManager> make(Ref<URL> baseURL = nullptr, Ref<URLSessionConfiguration> configuration = nullptr);
    static Ref<HCHTTPSessionManager> manager() { return make(); }

    const Ref<URL>& baseURL() const { return baseURL_; }
    Ref<HCHTTPRequestSerializer> requestSerializer() const;
    void setRequestSerializer(Ref<HCHTTPRequestSerializer> serializer);

    // Each builds the request, starts the task and returns it; nil when the request serializer failed
    // (the failure block then gets (nil, error) asynchronously on the completion queue).
    Ref<URLSessionDataTask> GET(std::string_view URLString, const Value& parameters, Success success, Failure failure);
    Ref<URLSessionDataTask> HEAD(std::string_view URLString, const Value& parameters, HeadSuccess success, Failure failure);
    Ref<URLSessionDataTask> POST(std::string_view URLString, const Value& parameters, Success success, Failure failure);
    Ref<URLSessionDataTask> POST(std::string_view URLString, const Value& parameters, const BodyConstruction& block,
                                 Success success, Failure failure);
    Ref<URLSessionDataTask> PUT(std::string_view URLString, const Value& parameters, Success success, Failure failure);
    Ref<URLSessionDataTask> PATCH(std::string_view URLString, const Value& parameters, Success success, Failure failure);
    Ref<URLSessionDataTask> DELETE(std::string_view URLString, const Value& parameters, Success success, Failure failure);
    // The data task for the method, not started; nil as above.
    Ref<URLSessionDataTask> dataTaskWithHTTPMethod(std::string_view method, std::string_view URLString,
                                                   const Value& parameters, Success success, Failure failure);

    // "<HCHTTPSessionManager: 0x…, baseURL: …, session: …, operationQueue: …>".
    std::string description() const override;
    // A manager on the same base URL and configuration with copies of both serializers.
    Ref<HCHTTPSessionManager> copy() const { return std::static_pointer_cast<HCHTTPSessionManager>(makeCopy()); }

    // The class "HCHTTPSessionManager" (registered by every new manager).
    static const ClassInfo* runtimeClass();
    // The configuration goes under "sessionConfiguration" when it can be archived, else its identifier
    // under "identifier", so a background configuration never reaches the archiver.
    void encodeWithCoder(Coder& coder) const override;
    // The base URL (the final "/" rule applies again), the configuration (a background one made again
    // from "identifier"), then both serializers.
    bool initWithCoder(Coder& coder) override;

    HCHTTPSessionManager(Ref<URL> baseURL, Ref<URLSessionConfiguration> configuration);

protected:
    Ref<HCURLSessionManager> makeCopy() const override;

private:
    std::string resolve(std::string_view URLString) const;
    Ref<URLSessionDataTask> failBuilding(const Ref<Error>& error, const Failure& failure) const;
    using TaskSlot = Weak<URLSessionDataTask>;
    static CompletionHandler completionFor(const std::shared_ptr<TaskSlot>& slot, Success success, Failure failure);

    Ref<URL> baseURL_;  // set at construction (or decoding, before setUp), then fixed
    mutable std::mutex serializerMutex_;
    Ref<HCHTTPRequestSerializer> requestSerializer_;
};

}  // namespace lv
