// Arbitrary bodies and content types through every response serializer: each answers an object or
// an error (or, for the bodies the rules name, neither), never a crash. Parsed objects are written back
// and read again to the same value.
//
// Input: one byte choosing the status code, the Content-Type up to the first newline, then the body.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "http/response_serialization.h"
#include "http/xml_parser.h"
#include "platform/base/log.h"
#include "platform/net/url.h"

namespace {

using namespace lv;

[[noreturn]] void fail() { __builtin_trap(); }

bool accepted(const HCHTTPResponseSerializer& serializer, const Ref<HTTPURLResponse>& response) {
    const auto types = serializer.acceptableContentTypes();
    return !types || (response->MIMEType() && types->contains(*response->MIMEType()));
}

void checkJSON(const HCJSONResponseSerializer& serializer, const Ref<HTTPURLResponse>& response, const Value& body) {
    Ref<Error> error;
    const Value object = serializer.responseObjectForResponse(response, body, &error);
    serializer.responseObjectForResponse(response, body, nullptr);
    if (!object.isNil()) {
        Ref<Error> writeError;
        const auto written = JSONSerialization::dataWithJSONObject(object, kJSONWritingFragmentsAllowed, &writeError);
        if (!written) fail();
        Ref<Error> readError;
        const Value again = JSONSerialization::JSONObjectWithData(std::span<const std::uint8_t>(*written),
                                                                  kJSONReadingAllowFragments, &readError);
        if (!(again == object)) fail();
        return;
    }
    // Neither object nor error only for no text: an empty body, one space, or text that decodes to
    // nothing in the response's own charset.
    const Bytes& bytes = body.bytes();
    const bool blank = bytes.empty() || (bytes.size() == 1 && bytes[0] == ' ');
    if (!error && accepted(serializer, response) && !blank && !response->textEncodingName()) fail();
}

void checkPropertyList(const HCPropertyListResponseSerializer& serializer, const Ref<HTTPURLResponse>& response,
                       const Value& body) {
    Ref<Error> error;
    const Value object = serializer.responseObjectForResponse(response, body, &error);
    serializer.responseObjectForResponse(response, body, nullptr);
    if (object.isNil()) {
        if (!error && accepted(serializer, response) && !body.bytes().empty()) fail();
        return;
    }
    const auto written = PropertyListSerialization::dataWithPropertyList(object, PropertyListFormat::Binary, 0, nullptr);
    if (!written) return;  // text the writer refuses (a NUL inside a string) may be read
    const Value again = PropertyListSerialization::propertyListWithData(std::span<const std::uint8_t>(*written), 0,
                                                                        nullptr, nullptr);
    if (!(again == object)) fail();
}

void checkXML(const HCXMLParserResponseSerializer& serializer, const Ref<HTTPURLResponse>& response, const Value& body) {
    Ref<Error> error;
    const Value object = serializer.responseObjectForResponse(response, body, &error);
    if (object.isNil()) {
        if (!error && accepted(serializer, response)) fail();
        return;
    }
    const auto parser = object.objectAs<XMLParser>();
    if (!parser) fail();
    const auto delegate = std::make_shared<XMLParserDelegate>();
    parser->setDelegate(delegate);
    if (!parser->parse() && !parser->parserError()) fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static LogCapture quiet;
    quiet.clear();
    if (size == 0) return 0;
    static const int statuses[] = {200, 201, 204, 299, 300, 304, 400, 404, 500, 503, 0, 99};
    const int status = statuses[data[0] % std::size(statuses)];
    std::size_t at = 1;
    std::string contentType;
    while (at < size && data[at] != '\n' && contentType.size() < 80) contentType.push_back(static_cast<char>(data[at++]));
    if (at < size && data[at] == '\n') ++at;
    const Value body(Bytes(data + at, data + size));

    static const Ref<URL> url = URL::URLWithString("http://127.0.0.1/api");
    HTTPHeaders headers;
    headers.set("Content-Type", contentType);
    const auto response = makeRef<HTTPURLResponse>(url, status, headers);

    static const auto base = HCHTTPResponseSerializer::serializer();
    static const auto json = HCJSONResponseSerializer::serializer();
    static const auto lenientJSON = [] {
        auto s = HCJSONResponseSerializer::serializerWithReadingOptions(kJSONReadingAllowFragments);
        s->setRemovesKeysWithNullValues(true);
        s->setAcceptableContentTypes(std::nullopt);
        return s;
    }();
    static const auto xml = HCXMLParserResponseSerializer::serializer();
    static const auto plist = HCPropertyListResponseSerializer::serializer();
    static const auto compound =
        HCCompoundResponseSerializer::compoundSerializerWithResponseSerializers({json, xml, plist});

    Ref<Error> error;
    if (!(base->responseObjectForResponse(response, body, &error) == body)) fail();
    checkJSON(*json, response, body);
    checkJSON(*lenientJSON, response, body);
    checkXML(*xml, response, body);
    checkPropertyList(*plist, response, body);
    error = nullptr;
    if (compound->responseObjectForResponse(response, body, &error).isNil()) fail();
    compound->responseObjectForResponse(response, Value(), nullptr);
    return 0;
}
