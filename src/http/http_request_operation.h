// HCHTTPRequestOperation: a URL connection operation for HTTP that turns the finished response into a
// response object through its response serializer, counts a serialization failure as its error, runs
// one success or failure block, and on pause rewrites its request into a range request so that a
// resume continues the download. Threads: as HCURLConnectionOperation; the serializer is asked under
// the operation's lock on the processing queue (or the reader's thread).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "http/response_serialization.h"
#include "http/url_connection_operation.h"

namespace lv {

class HCHTTPRequestOperation : public HCURLConnectionOperation {
public:
    using Success = std::function<void(const Ref<HCHTTPRequestOperation>&, const Value& responseObject)>;
    using Failure = std::function<void(const Ref<HCHTTPRequestOperation>&, const Ref<Error>&)>;

    explicit HCHTTPRequestOperation(URLRequest request);
    static Ref<HCHTTPRequestOperation> make(URLRequest request) {
        return makeRef<HCHTTPRequestOperation>(std::move(request));
    }

    // The concurrent queue "com.httpclient.networking.http-request.processing".
    static const Ref<Queue>& processingQueue();
    // The default group of success and failure blocks.
    static const Ref<Group>& operationCompletionGroup();

    Ref<HTTPURLResponse> HTTPResponse() const;
    Ref<HCHTTPResponseSerializer> responseSerializer() const;
    // Stores the serializer and clears the response object and the serialization error.
    void setResponseSerializer(Ref<HCHTTPResponseSerializer> serializer);
    // Serialized once the operation has finished without an error; nil before.
    Value responseObject();
    void setResponseObject(Value object);
    Ref<Error> responseSerializationError() const;
    // The serialization error when there is one, else the connection's error.
    Ref<Error> error() const override;

    // Exactly one of the blocks runs, once, on the completion queue within the completion group.
    void setCompletionBlockWithSuccess(Success success, Failure failure);

    // The base pause, then the request asks for the rest: "Range: bytes=<received>-", with "If-Range"
    // set to the response's ETag when it had one.
    void pause() override;

    Ref<HCURLConnectionOperation> copy() const override;

    // The class "HCHTTPRequestOperation"; archived with the base keys and "responseSerializer".
    static const ClassInfo* runtimeClass();
    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;

protected:
    // A resumed load continues only on a 206 whose range starts where the body stopped; a 200 starts
    // the body again (a memory stream is emptied); anything else fails.
    Ref<Error> refusalOfResponse(const Ref<URLResponse>& response) override;

private:
    Ref<HCHTTPResponseSerializer> responseSerializer_;
    Value responseObject_;
    Ref<Error> responseSerializationError_;
    std::optional<std::uint64_t> resumeOffset_;
};

}  // namespace lv
