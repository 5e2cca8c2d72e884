#include "http/http_request_operation.h"

#include <cctype>
#include <charconv>
#include <mutex>
#include <string>

#include "platform/net/errors.h"

namespace lv {

namespace {

// The first byte position of a "bytes first-last/length" Content-Range.
std::optional<std::uint64_t> contentRangeStart(std::string_view value) {
    constexpr std::string_view unit = "bytes";
    if (value.size() <= unit.size()) return std::nullopt;
    for (std::size_t i = 0; i < unit.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(value[i])) != unit[i]) return std::nullopt;
    }
    value.remove_prefix(unit.size());
    while (!value.empty() && (value.front() == ' ' || value.front() == '=')) value.remove_prefix(1);
    std::uint64_t start = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), start);
    if (ec != std::errc() || end == value.data() || end == value.data() + value.size() || *end != '-') {
        return std::nullopt;
    }
    return start;
}

}  // namespace

HCHTTPRequestOperation::HCHTTPRequestOperation(URLRequest request)
    : HCURLConnectionOperation(std::move(request)), responseSerializer_(HCHTTPResponseSerializer::serializer()) {
    runtimeClass();
}

const Ref<Queue>& HCHTTPRequestOperation::processingQueue() {
    static const auto& queue =
        *new Ref<Queue>(Queue::makeConcurrent("com.httpclient.networking.http-request.processing"));  // never destroyed
    return queue;
}

const Ref<Group>& HCHTTPRequestOperation::operationCompletionGroup() {
    static const Ref<Group>& group = *new Ref<Group>(Group::make());  // never destroyed
    return group;
}

Ref<HTTPURLResponse> HCHTTPRequestOperation::HTTPResponse() const {
    return std::dynamic_pointer_cast<HTTPURLResponse>(response());
}

Ref<HCHTTPResponseSerializer> HCHTTPRequestOperation::responseSerializer() const {
    std::lock_guard guard(lock());
    return responseSerializer_;
}

void HCHTTPRequestOperation::setResponseSerializer(Ref<HCHTTPResponseSerializer> serializer) {
    std::lock_guard guard(lock());
    responseSerializer_ = std::move(serializer);
    responseObject_ = Value();
    responseSerializationError_ = nullptr;
}

Value HCHTTPRequestOperation::responseObject() {
    std::lock_guard guard(lock());
    if (responseObject_.isNil() && isFinished() && !error() && responseSerializer_) {
        Ref<Error> serializationError;
        // The serializer reads the collected body in place: it is shared, never copied.
        responseObject_ = responseSerializer_->responseObjectForResponse(response(), responseDataValue(),
                                                                         &serializationError);
        if (serializationError) responseSerializationError_ = serializationError;
    }
    return responseObject_;
}

void HCHTTPRequestOperation::setResponseObject(Value object) {
    std::lock_guard guard(lock());
    responseObject_ = std::move(object);
}

Ref<Error> HCHTTPRequestOperation::responseSerializationError() const {
    std::lock_guard guard(lock());
    return responseSerializationError_;
}

Ref<Error> HCHTTPRequestOperation::error() const {
    std::lock_guard guard(lock());
    return responseSerializationError_ ? responseSerializationError_ : HCURLConnectionOperation::error();
}

void HCHTTPRequestOperation::setCompletionBlockWithSuccess(Success success, Failure failure) {
    // Held weakly: the wrapper keeps a finished operation alive until this has run.
    Weak<HCHTTPRequestOperation> weak = selfAs<HCHTTPRequestOperation>();
    setCompletionBlock([weak, success = std::move(success), failure = std::move(failure)] {
        auto op = weak.lock();
        if (!op) return;
        const Ref<Group> group = op->completionGroup();
        if (group) group->enter();
        processingQueue()->async([op, group, success, failure] {
            Ref<Queue> queue = op->completionQueue();
            if (!queue) queue = Queue::main();
            const Ref<Group> blockGroup = group ? group : operationCompletionGroup();
            if (!op->error()) {
                Value object = op->responseObject();
                if (!op->error()) {
                    if (success) blockGroup->async(queue, [op, success, object] { success(op, object); });
                    if (group) group->leave();
                    return;
                }
            }
            if (failure) blockGroup->async(queue, [op, failure] { failure(op, op->error()); });
            if (group) group->leave();
        });
    });
}

void HCHTTPRequestOperation::pause() {
    HCURLConnectionOperation::pause();
    std::lock_guard guard(lock());
    auto stream = outputStream();
    std::uint64_t offset = 0;
    const Value fileOffset = stream->propertyForKey(kStreamFileCurrentOffsetKey);
    if (fileOffset.isNumber()) {
        offset = fileOffset.unsignedLongLongValue();
    } else if (auto* memory = dynamic_cast<MemoryOutputStream*>(stream.get())) {
        offset = memory->contents().size();
    }
    URLRequest rewritten = request();
    if (auto http = HTTPResponse()) {
        if (auto etag = http->valueForHTTPHeaderField("ETag")) rewritten.setValue(*etag, "If-Range");
    }
    rewritten.setValue("bytes=" + std::to_string(offset) + "-", "Range");
    setRequest(std::move(rewritten));
    resumeOffset_ = offset;
}

Ref<Error> HCHTTPRequestOperation::refusalOfResponse(const Ref<URLResponse>& response) {
    const auto offset = resumeOffset_;
    resumeOffset_.reset();
    auto http = std::dynamic_pointer_cast<HTTPURLResponse>(response);
    if (!offset || !http) return nullptr;
    const Ref<URL> url = response->URL();
    if (http->statusCode() == 200) {
        return restartBody() ? nullptr : makeURLError(URLErrorCannotWriteToFile, url);
    }
    if (http->statusCode() == 206) {
        const auto range = http->valueForHTTPHeaderField("Content-Range");
        if (range && contentRangeStart(*range) == offset) return nullptr;
    }
    return makeURLError(URLErrorBadServerResponse, url);
}

Ref<HCURLConnectionOperation> HCHTTPRequestOperation::copy() const {
    auto op = make(request());
    copyConfigurationInto(*op);
    if (auto serializer = responseSerializer()) op->setResponseSerializer(serializer->copy());
    return op;
}

}  // namespace lv
