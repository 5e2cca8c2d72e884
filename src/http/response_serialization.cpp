#include "http/response_serialization.h"

#include "http/xml_parser.h"
#include "platform/base/format.h"
#include "platform/storage/bundle.h"

namespace lv {

namespace {

// A message text from the main bundle's "HCNetworking" table, the English text when it has no entry.
std::string localizedText(std::string_view english) {
    return Bundle::mainBundle()->localizedStringForKey(english, "", "HCNetworking");
}

std::span<const std::uint8_t> bytesOf(const Value& data) {
    const Bytes& bytes = data.bytes();
    return {bytes.data(), bytes.size()};
}

// User info of a validation error: description, failing URL, response, and the body when there is one.
Dictionary validationUserInfo(std::string description, const Ref<URLResponse>& response, const Value& data) {
    Dictionary info{{std::string(kLocalizedDescriptionKey), Value(std::move(description))},
                    {std::string(kURLErrorFailingURLErrorKey), Value(response->URL())},
                    {std::string(kHCNetworkingOperationFailingURLResponseErrorKey), Value(response)}};
    if (!data.isNil()) info.set(std::string(kHCNetworkingOperationFailingURLResponseDataErrorKey), data);
    return info;
}

Ref<Error> responseError(std::int64_t code, Dictionary userInfo) {
    return Error::make(std::string(kHCURLResponseSerializationErrorDomain), code, std::move(userInfo));
}

}  // namespace

HCStatusCodeSet HCStatusCodeRange(int location, int length) {
    HCStatusCodeSet codes;
    for (int code = location; code < location + length; ++code) codes.insert(code);
    return codes;
}

Ref<Error> chainUnderlyingError(const Ref<Error>& error, const Ref<Error>& underlying) {
    if (!error) return underlying;
    if (!underlying || error->userInfo().contains(kUnderlyingErrorKey)) return error;
    Dictionary info = error->userInfo();
    info.set(std::string(kUnderlyingErrorKey), Value(underlying));
    return Error::make(error->domain(), error->code(), std::move(info));
}

bool errorChainHasCode(const Ref<Error>& error) {
    for (Ref<Error> current = error; current; current = current->underlyingError()) {
        if (current->domain() == kHCURLResponseSerializationErrorDomain &&
            current->code() == kHCResponseErrorCannotDecodeContentData) {
            return true;
        }
    }
    return false;
}

Value removeNullValues(const Value& value, JSONReadingOptions options) {
    // Value containers are always mutable, so the mutable-containers bit changes nothing here.
    if (value.isArray()) {
        Array cleaned;
        cleaned.reserve(value.array().size());
        for (const Value& element : value.array()) cleaned.push_back(removeNullValues(element, options));
        return Value(std::move(cleaned));
    }
    if (value.isDictionary()) {
        Dictionary cleaned;
        for (const auto& [key, element] : value.dictionary()) {
            if (element.isNilOrNull()) continue;
            cleaned.appendUnsorted(key, element.isArray() || element.isDictionary() ? removeNullValues(element, options)
                                                                                     : element);
        }
        cleaned.finishAppending();
        return Value(std::move(cleaned));
    }
    return value;
}

// MARK: HTTP (base)

HCHTTPResponseSerializer::HCHTTPResponseSerializer() : acceptableStatusCodes_(HCStatusCodeRange(200, 100)) {
    runtimeClass();
}

StringEncoding HCHTTPResponseSerializer::stringEncoding() const {
    const std::lock_guard lock(mutex_);
    return stringEncoding_;
}

void HCHTTPResponseSerializer::setStringEncoding(StringEncoding encoding) {
    const std::lock_guard lock(mutex_);
    stringEncoding_ = encoding;
}

std::optional<HCStatusCodeSet> HCHTTPResponseSerializer::acceptableStatusCodes() const {
    const std::lock_guard lock(mutex_);
    return acceptableStatusCodes_;
}

void HCHTTPResponseSerializer::setAcceptableStatusCodes(std::optional<HCStatusCodeSet> codes) {
    const std::lock_guard lock(mutex_);
    acceptableStatusCodes_ = std::move(codes);
}

std::optional<std::set<std::string>> HCHTTPResponseSerializer::acceptableContentTypes() const {
    const std::lock_guard lock(mutex_);
    return acceptableContentTypes_;
}

void HCHTTPResponseSerializer::setAcceptableContentTypes(std::optional<std::set<std::string>> types) {
    const std::lock_guard lock(mutex_);
    acceptableContentTypes_ = std::move(types);
}

bool HCHTTPResponseSerializer::validateResponse(const Ref<URLResponse>& response, const Value& data,
                                                Ref<Error>* error) const {
    const auto http = std::dynamic_pointer_cast<HTTPURLResponse>(response);
    if (!http) return true;
    bool valid = true;
    Ref<Error> validationError;
    const auto types = acceptableContentTypes();
    const auto& mimeType = http->MIMEType();
    if (types && !(mimeType && types->contains(*mimeType))) {
        valid = false;
        if (data.count() > 0 && http->URL()) {
            const std::string description = format(localizedText("Request failed: unacceptable content-type: %@"),
                                                   mimeType ? Value(*mimeType) : Value());
            validationError = chainUnderlyingError(
                responseError(kHCResponseErrorCannotDecodeContentData, validationUserInfo(description, response, data)),
                validationError);
        }
    }
    const auto codes = acceptableStatusCodes();
    if (codes && !codes->contains(http->statusCode()) && http->URL()) {
        const std::string description =
            format(localizedText("Request failed: %@ (%ld)"),
                   Value(HTTPURLResponse::localizedStringForStatusCode(http->statusCode())),
                   static_cast<long>(http->statusCode()));
        validationError = chainUnderlyingError(
            responseError(kHCResponseErrorBadServerResponse, validationUserInfo(description, response, data)),
            validationError);
        valid = false;
    }
    if (error && !valid) *error = validationError;
    return valid;
}

Value HCHTTPResponseSerializer::responseObjectForResponse(const Ref<URLResponse>& response, const Value& data,
                                                          Ref<Error>* error) const {
    validateResponse(response, data, error);
    return data;
}

bool HCHTTPResponseSerializer::shouldParse(const Ref<URLResponse>& response, const Value& data,
                                           Ref<Error>* error) const {
    if (validateResponse(response, data, error)) return true;
    return error && !errorChainHasCode(*error);
}

void HCHTTPResponseSerializer::copyValidationInto(HCHTTPResponseSerializer& other) const {
    other.setAcceptableStatusCodes(acceptableStatusCodes());
    other.setAcceptableContentTypes(acceptableContentTypes());
}

Ref<HCHTTPResponseSerializer> HCHTTPResponseSerializer::copy() const {
    auto copied = makeRef<HCHTTPResponseSerializer>();
    copyValidationInto(*copied);
    return copied;
}

// MARK: JSON

HCJSONResponseSerializer::HCJSONResponseSerializer() {
    setAcceptableContentTypes(std::set<std::string>{"application/json", "text/json", "text/javascript"});
}

Ref<HCJSONResponseSerializer> HCJSONResponseSerializer::serializerWithReadingOptions(JSONReadingOptions options) {
    auto serializer = makeRef<HCJSONResponseSerializer>();
    serializer->setReadingOptions(options);
    return serializer;
}

JSONReadingOptions HCJSONResponseSerializer::readingOptions() const {
    const std::lock_guard lock(mutex_);
    return readingOptions_;
}

void HCJSONResponseSerializer::setReadingOptions(JSONReadingOptions options) {
    const std::lock_guard lock(mutex_);
    readingOptions_ = options;
}

bool HCJSONResponseSerializer::removesKeysWithNullValues() const {
    const std::lock_guard lock(mutex_);
    return removesKeysWithNullValues_;
}

void HCJSONResponseSerializer::setRemovesKeysWithNullValues(bool removes) {
    const std::lock_guard lock(mutex_);
    removesKeysWithNullValues_ = removes;
}

Value HCJSONResponseSerializer::responseObjectForResponse(const Ref<URLResponse>& response, const Value& data,
                                                          Ref<Error>* error) const {
    if (!shouldParse(response, data, error)) return Value();
    StringEncoding encoding = stringEncoding();
    if (response && response->textEncodingName()) {
        if (const auto named = text::encodingFromIANACharsetName(*response->textEncodingName())) encoding = *named;
    }
    const JSONReadingOptions options = readingOptions();
    Value object;
    Ref<Error> parseError;
    if (data.isData()) {
        // UTF-8 bytes are read in place: the decoding would only check them and copy them, and turning
        // the text back into UTF-8 would copy it again. Other encodings are converted to UTF-8 text.
        const std::span<const std::uint8_t> bytes = bytesOf(data);
        std::string_view body(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        std::optional<std::string> decoded;
        bool isText = false;
        if (encoding == StringEncoding::UTF8) {
            isText = text::canBeConverted(body, StringEncoding::UTF8);
        } else if ((decoded = text::decode(bytes, encoding))) {
            body = *decoded;
            isText = true;
        }
        if (!isText) {
            // Bytes that are not text in the encoding are an error, not an empty reply.
            Dictionary info{{std::string(kLocalizedDescriptionKey),
                             Value(localizedText("Data failed decoding as a UTF-8 string"))}};
            if (response) {
                if (response->URL()) info.set(std::string(kURLErrorFailingURLErrorKey), Value(response->URL()));
                info.set(std::string(kHCNetworkingOperationFailingURLResponseErrorKey), Value(response));
            }
            info.set(std::string(kHCNetworkingOperationFailingURLResponseDataErrorKey), data);
            parseError = responseError(kHCResponseErrorCannotDecodeContentData, std::move(info));
        } else if (body != " ") {
            if (encoding != StringEncoding::UTF8 && !text::canBeConverted(body, StringEncoding::UTF8)) {
                parseError = responseError(
                    kHCResponseErrorCannotDecodeContentData,
                    Dictionary{{std::string(kLocalizedDescriptionKey),
                                Value(localizedText("Data failed decoding as a UTF-8 string"))},
                               {std::string(kLocalizedFailureReasonErrorKey),
                                Value(format(localizedText("Could not decode string: %@"),
                                             Value(std::string(body))))}});
            } else if (body.empty()) {
                return Value();
            } else {
                object = JSONSerialization::JSONObjectWithData(body, options, &parseError);
            }
        }
    }
    if (removesKeysWithNullValues() && !object.isNil()) object = removeNullValues(object, options);
    if (error) *error = chainUnderlyingError(parseError, *error);
    return object;
}

Ref<HCHTTPResponseSerializer> HCJSONResponseSerializer::copy() const {
    auto copied = makeRef<HCJSONResponseSerializer>();
    copied->setReadingOptions(readingOptions());
    copied->setRemovesKeysWithNullValues(removesKeysWithNullValues());
    return copied;
}

// MARK: XML parser

HCXMLParserResponseSerializer::HCXMLParserResponseSerializer() {
    setAcceptableContentTypes(std::set<std::string>{"application/xml", "text/xml"});
}

Value HCXMLParserResponseSerializer::responseObjectForResponse(const Ref<URLResponse>& response, const Value& data,
                                                               Ref<Error>* error) const {
    if (!shouldParse(response, data, error) || !data.isData()) return Value();
    return Value(makeRef<XMLParser>(data.bytes()));
}

Ref<HCHTTPResponseSerializer> HCXMLParserResponseSerializer::copy() const {
    auto copied = makeRef<HCXMLParserResponseSerializer>();
    copyValidationInto(*copied);
    return copied;
}

// MARK: Property list

HCPropertyListResponseSerializer::HCPropertyListResponseSerializer() {
    setAcceptableContentTypes(std::set<std::string>{"application/x-plist"});
}

Ref<HCPropertyListResponseSerializer> HCPropertyListResponseSerializer::serializerWithFormat(
    PropertyListFormat format, PropertyListReadOptions readOptions) {
    auto serializer = makeRef<HCPropertyListResponseSerializer>();
    serializer->setFormat(format);
    serializer->setReadOptions(readOptions);
    return serializer;
}

PropertyListFormat HCPropertyListResponseSerializer::format() const {
    const std::lock_guard lock(mutex_);
    return format_;
}

void HCPropertyListResponseSerializer::setFormat(PropertyListFormat format) {
    const std::lock_guard lock(mutex_);
    format_ = format;
}

PropertyListReadOptions HCPropertyListResponseSerializer::readOptions() const {
    const std::lock_guard lock(mutex_);
    return readOptions_;
}

void HCPropertyListResponseSerializer::setReadOptions(PropertyListReadOptions options) {
    const std::lock_guard lock(mutex_);
    readOptions_ = options;
}

Value HCPropertyListResponseSerializer::responseObjectForResponse(const Ref<URLResponse>& response,
                                                                  const Value& data, Ref<Error>* error) const {
    if (!shouldParse(response, data, error)) return Value();
    Value object;
    Ref<Error> parseError;
    if (data.isData()) {
        object = PropertyListSerialization::propertyListWithData(bytesOf(data), readOptions(), nullptr, &parseError);
    }
    if (error) *error = chainUnderlyingError(parseError, *error);
    return object;
}

Ref<HCHTTPResponseSerializer> HCPropertyListResponseSerializer::copy() const {
    auto copied = makeRef<HCPropertyListResponseSerializer>();
    copied->setFormat(format());
    copied->setReadOptions(readOptions());
    return copied;
}

// MARK: Compound

Ref<HCCompoundResponseSerializer> HCCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
    Serializers serializers) {
    auto compound = makeRef<HCCompoundResponseSerializer>();
    compound->setResponseSerializers(std::move(serializers));
    return compound;
}

HCCompoundResponseSerializer::Serializers HCCompoundResponseSerializer::responseSerializers() const {
    const std::lock_guard lock(mutex_);
    return serializers_;
}

void HCCompoundResponseSerializer::setResponseSerializers(Serializers serializers) {
    const std::lock_guard lock(mutex_);
    serializers_ = std::move(serializers);
}

Value HCCompoundResponseSerializer::responseObjectForResponse(const Ref<URLResponse>& response, const Value& data,
                                                              Ref<Error>* error) const {
    for (const auto& member : responseSerializers()) {
        if (!dynamic_cast<const HCHTTPResponseSerializer*>(member.get())) continue;
        Ref<Error> memberError;
        Value object = member->responseObjectForResponse(response, data, &memberError);
        if (!object.isNil()) {
            if (error) *error = chainUnderlyingError(memberError, *error);
            return object;
        }
    }
    return HCHTTPResponseSerializer::responseObjectForResponse(response, data, error);
}

Ref<HCHTTPResponseSerializer> HCCompoundResponseSerializer::copy() const {
    auto copied = makeRef<HCCompoundResponseSerializer>();
    copied->setResponseSerializers(responseSerializers());
    return copied;
}

}  // namespace lv
