// JSON and property-list request serializers.
#include "http/json_plist_request_serializers.h"

#include "platform/runtime/runtime.h"

namespace lv {

namespace {

using Writer = std::function<std::optional<Bytes>(const Value&, Ref<Error>*)>;

// The body-carrying path shared by both serializers: default headers, then (with parameters) the
// media type unless one is set and the written body; nothing with the writer's error when it fails.
std::optional<URLRequest> requestWithBody(URLRequest request, const Value& parameters, std::string_view mediaType,
                                          const Writer& write, Ref<Error>* error) {
    if (parameters.isNil()) return request;
    if (!request.valueForHTTPHeaderField("Content-Type")) request.setValue(std::string(mediaType), "Content-Type");
    Ref<Error> writeError;
    auto body = write(parameters, &writeError);
    if (!body) {
        setError(error, std::move(writeError));
        return std::nullopt;
    }
    request.setHTTPBody(std::move(*body));
    return request;
}

}  // namespace

Ref<HCJSONRequestSerializer> HCJSONRequestSerializer::serializerWithWritingOptions(JSONWritingOptions options) {
    auto serializer = makeRef<HCJSONRequestSerializer>();
    serializer->setWritingOptions(options);
    return serializer;
}

std::optional<URLRequest> HCJSONRequestSerializer::requestBySerializingRequest(const URLRequest& request,
                                                                               const Value& parameters,
                                                                               Ref<Error>* error) const {
    if (encodesParametersInURI(request.HTTPMethod()))
        return HCHTTPRequestSerializer::requestBySerializingRequest(request, parameters, error);
    const JSONWritingOptions options = writingOptions();
    return requestWithBody(requestWithDefaultHeaders(request), parameters, "application/json",
                           [options](const Value& value, Ref<Error>* writeError) {
                               return JSONSerialization::dataWithJSONObject(value, options, writeError);
                           },
                           error);
}

Ref<HCHTTPRequestSerializer> HCJSONRequestSerializer::copy() const {
    auto copy = makeRef<HCJSONRequestSerializer>();
    copyConfigurationInto(*copy);
    copy->setWritingOptions(writingOptions());
    return copy;
}

Ref<HCPropertyListRequestSerializer> HCPropertyListRequestSerializer::serializerWithFormat(PropertyListFormat format,
                                                                                          unsigned writeOptions) {
    auto serializer = makeRef<HCPropertyListRequestSerializer>();
    serializer->setFormat(format);
    serializer->setWriteOptions(writeOptions);
    return serializer;
}

std::optional<URLRequest> HCPropertyListRequestSerializer::requestBySerializingRequest(const URLRequest& request,
                                                                                       const Value& parameters,
                                                                                       Ref<Error>* error) const {
    if (encodesParametersInURI(request.HTTPMethod()))
        return HCHTTPRequestSerializer::requestBySerializingRequest(request, parameters, error);
    const PropertyListFormat plistFormat = format();
    const unsigned options = writeOptions();
    return requestWithBody(requestWithDefaultHeaders(request), parameters, "application/x-plist",
                           [plistFormat, options](const Value& value, Ref<Error>* writeError) {
                               return PropertyListSerialization::dataWithPropertyList(value, plistFormat, options,
                                                                                      writeError);
                           },
                           error);
}

Ref<HCHTTPRequestSerializer> HCPropertyListRequestSerializer::copy() const {
    auto copy = makeRef<HCPropertyListRequestSerializer>();
    copyConfigurationInto(*copy);
    copy->setFormat(format());
    copy->setWriteOptions(writeOptions());
    return copy;
}

const ClassInfo* HCJSONRequestSerializer::runtimeClass() {
    static const ClassInfo* cls = ClassDef<HCJSONRequestSerializer>("HCJSONRequestSerializer")
                                      .superclass<HCHTTPRequestSerializer>()
                                      .factory()
                                      .registerClass();
    return cls;
}

void HCJSONRequestSerializer::encodeWithCoder(Coder& coder) const {
    HCHTTPRequestSerializer::encodeWithCoder(coder);
    coder.encodeInteger(writingOptions(), "writingOptions");
}

bool HCJSONRequestSerializer::initWithCoder(Coder& coder) {
    if (!HCHTTPRequestSerializer::initWithCoder(coder)) return false;
    setWritingOptions(static_cast<JSONWritingOptions>(coder.decodeInteger("writingOptions")));
    return true;
}

const ClassInfo* HCPropertyListRequestSerializer::runtimeClass() {
    static const ClassInfo* cls = ClassDef<HCPropertyListRequestSerializer>("HCPropertyListRequestSerializer")
                                      .superclass<HCHTTPRequestSerializer>()
                                      .factory()
                                      .registerClass();
    return cls;
}

void HCPropertyListRequestSerializer::encodeWithCoder(Coder& coder) const {
    HCHTTPRequestSerializer::encodeWithCoder(coder);
    coder.encodeInteger(static_cast<std::int64_t>(format()), "format");
    coder.encodeObject(Value(writeOptions()), "writeOptions");
}

bool HCPropertyListRequestSerializer::initWithCoder(Coder& coder) {
    if (!HCHTTPRequestSerializer::initWithCoder(coder)) return false;
    setFormat(static_cast<PropertyListFormat>(coder.decodeInteger("format")));
    setWriteOptions(static_cast<unsigned>(coder.decodeObjectOfClass(classNamed("Number"), "writeOptions").unsignedLongLongValue()));
    return true;
}

}  // namespace lv
