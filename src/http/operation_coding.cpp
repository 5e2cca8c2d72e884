// Keyed archiving of the request operations.
#include "http/http_request_operation.h"
#include "http/url_connection_operation.h"
#include "platform/runtime/runtime.h"

namespace lv {

using State = HCConnectionOperationState;

namespace {

// The platform operation, registered here (the runtime sits above the dispatch layer) so that an
// operation's archive names its whole class chain.
const ClassInfo* operationClass() {
    static const ClassInfo* cls = ClassDef<Operation>("NSOperation").registerClass();
    return cls;
}

}  // namespace

const ClassInfo* HCURLConnectionOperation::runtimeClass() {
    static const ClassInfo* cls =
        ClassDef<HCURLConnectionOperation>("HCURLConnectionOperation")
            .superclassNamed(operationClass())
            .factory([] { return std::static_pointer_cast<Object>(make(URLRequest())); })
            .registerClass();
    return cls;
}

void HCURLConnectionOperation::encodeWithCoder(Coder& coder) const {
    // Archiving takes the operation out of its run: an executing operation stops its connection.
    const_cast<HCURLConnectionOperation*>(this)->pause();
    coder.encodeObject(Value(URLRequestObject::make(request())), "request");
    State archived = state();
    if (archived == State::Executing || archived == State::Paused) archived = State::Ready;
    coder.encodeInteger(static_cast<std::int64_t>(archived), "state");
    coder.encodeObject(Value(response()), "response");
    coder.encodeObject(Value(error()), "error");
    coder.encodeObject(responseDataValue(), "responseData");
    coder.encodeInt64(totalBytesRead(), "totalBytesRead");
}

bool HCURLConnectionOperation::initWithCoder(Coder& coder) {
    const Value request = coder.decodeObjectOfClass(URLRequestObject::runtimeClass(), "request");
    const auto requestObject = request.objectAs<URLRequestObject>();
    if (!request.isNil() && !requestObject) return false;
    setRequest(requestObject ? requestObject->request() : URLRequest());
    const Value state = coder.decodeObjectOfClass(classNamed("Number"), "state");
    if (state.isNumber()) setState(static_cast<State>(state.longLongValue()));
    const Value response = coder.decodeObjectOfClass(HTTPURLResponse::runtimeClass(), "response");
    const Value error = coder.decodeObjectOfClass(classNamed("Error"), "error");
    const Value data = coder.decodeObjectOfClass(classNamed("Data"), "responseData");
    const Value total = coder.decodeObjectOfClass(classNamed("Number"), "totalBytesRead");
    if ((!response.isNil() && !response.objectAs<URLResponse>()) || (!error.isNil() && !error.objectAs<Error>()) ||
        (!data.isNil() && !data.isData())) {
        return false;
    }
    std::lock_guard guard(lock_);
    response_ = response.objectAs<URLResponse>();
    error_ = error.objectAs<Error>();
    responseData_ = data.isData() ? data : Value();
    totalBytesRead_.store(total.longLongValue());
    return true;
}

const ClassInfo* HCHTTPRequestOperation::runtimeClass() {
    static const ClassInfo* cls =
        ClassDef<HCHTTPRequestOperation>("HCHTTPRequestOperation")
            .superclassNamed(HCURLConnectionOperation::runtimeClass())
            .factory([] { return std::static_pointer_cast<Object>(make(URLRequest())); })
            .registerClass();
    return cls;
}

void HCHTTPRequestOperation::encodeWithCoder(Coder& coder) const {
    HCURLConnectionOperation::encodeWithCoder(coder);
    coder.encodeObject(Value(responseSerializer()), "responseSerializer");
}

bool HCHTTPRequestOperation::initWithCoder(Coder& coder) {
    if (!HCURLConnectionOperation::initWithCoder(coder)) return false;
    const Value serializer = coder.decodeObjectOfClass(HCHTTPResponseSerializer::runtimeClass(), "responseSerializer");
    if (!serializer.isNil() && !serializer.objectAs<HCHTTPResponseSerializer>()) return false;
    setResponseSerializer(serializer.objectAs<HCHTTPResponseSerializer>());
    return true;
}

}  // namespace lv
