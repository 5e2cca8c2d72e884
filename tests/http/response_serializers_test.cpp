#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "http/response_serialization.h"
#include "http/xml_parser.h"
#include "platform/base/log.h"
#include "platform/net/url.h"

namespace lv {
namespace {

Ref<HTTPURLResponse> httpResponse(int status, const char* contentType, const char* url = "http://127.0.0.1/api") {
    HTTPHeaders headers;
    if (contentType) headers.set("Content-Type", contentType);
    return makeRef<HTTPURLResponse>(url ? URL::URLWithString(url) : nullptr, status, headers);
}

Value body(std::string_view text) { return Value::data(text); }

std::int64_t codeOf(const Ref<Error>& e) { return e ? e->code() : 0; }

// The validation matrix through the JSON serializer: object or nil, the top error and the one beneath.
TEST(ResponseSerializers, JSONStatusAndContentTypeMatrix) {
    struct Case {
        const char* name;
        int status;
        const char* type;
        Value data;
        Value object;
        std::int64_t code;
        std::int64_t underlying;
    };
    const Value parsed = Value::dictionary({{"a", 1}});
    const std::vector<Case> cases = {
        {"one space", 200, "application/json", body(" "), Value(), 0, 0},
        {"empty body", 200, "application/json", body(""), Value(), 0, 0},
        {"no body", 200, "application/json", Value(), Value(), 0, 0},
        {"plain JSON", 200, "text/json", body("{\"a\":1}"), parsed, 0, 0},
        {"JSON with a charset", 200, "text/javascript; charset=utf-8", body("{\"a\":1}"), parsed, 0, 0},
        {"server error still parses", 500, "application/json", body("{\"a\":1}"), parsed, -1011, 0},
        {"wrong type", 200, "text/html", body("<html/>"), Value(), -1016, 0},
        {"wrong type and status", 404, "text/html", body("<html/>"), Value(), -1011, -1016},
        {"wrong type, empty body", 200, "text/html", body(""), Value(), 0, 0},
        {"no content type", 200, nullptr, body("{\"a\":1}"), Value(), -1016, 0},
        {"malformed JSON", 200, "application/json", body("{\"a\":"), Value(), 3840, 0},
        {"malformed JSON, bad status", 503, "application/json", body("{"), Value(), 3840, -1011},
        {"undecodable bytes", 200, "application/json", body("\xff\xfe{\x80}"), Value(), -1016, 0},
        {"undecodable bytes, bad status", 500, "application/json", body("\xc3("), Value(), -1016, -1011},
    };
    const auto serializer = HCJSONResponseSerializer::serializer();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Ref<Error> error;
        const Value object = serializer->responseObjectForResponse(httpResponse(c.status, c.type), c.data, &error);
        EXPECT_EQ(object, c.object);
        EXPECT_EQ(codeOf(error), c.code);
        EXPECT_EQ(codeOf(error ? error->underlyingError() : nullptr), c.underlying);
    }
}

TEST(ResponseSerializers, ValidationErrorsCarryResponseDataURLAndTexts) {
    const auto serializer = HCJSONResponseSerializer::serializer();
    const auto response = httpResponse(404, "text/html");
    const Value data = body("<p>gone</p>");
    Ref<Error> error;
    EXPECT_FALSE(serializer->validateResponse(response, data, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "com.httpclient.error.serialization.response");
    EXPECT_EQ(error->localizedDescription(), "Request failed: not found (404)");
    const Dictionary& info = error->userInfo();
    EXPECT_EQ(info.get("com.httpclient.serialization.response.error.response").object(), response);
    EXPECT_EQ(info.get("com.httpclient.serialization.response.error.data"), data);
    const Ref<URL> failingURL = info.get("NSErrorFailingURLKey").objectAs<URL>();
    ASSERT_TRUE(failingURL);
    EXPECT_EQ(failingURL->absoluteString(), "http://127.0.0.1/api");
    const Ref<Error> beneath = error->underlyingError();
    ASSERT_TRUE(beneath);
    EXPECT_EQ(beneath->localizedDescription(), "Request failed: unacceptable content-type: text/html");
    EXPECT_TRUE(errorChainHasCode(error));

    // Without a body the data key is absent; without a URL the status is not tested.
    Ref<Error> noBody;
    HCHTTPResponseSerializer::serializer()->validateResponse(httpResponse(500, "text/plain"), Value(), &noBody);
    ASSERT_TRUE(noBody);
    EXPECT_FALSE(noBody->userInfo().contains("com.httpclient.serialization.response.error.data"));
    Ref<Error> noURL;
    EXPECT_TRUE(HCHTTPResponseSerializer::serializer()->validateResponse(httpResponse(500, "x/y", nullptr), data, &noURL));
    EXPECT_FALSE(noURL);
}

TEST(ResponseSerializers, UndecodableBodyReportsResponseAndData) {
    const auto response = httpResponse(200, "application/json");
    const Value data = body("\xff\xff\xff");
    Ref<Error> error;
    EXPECT_TRUE(HCJSONResponseSerializer::serializer()->responseObjectForResponse(response, data, &error).isNil());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), kHCURLResponseSerializationErrorDomain);
    EXPECT_EQ(error->code(), -1016);
    EXPECT_EQ(error->localizedDescription(), "Data failed decoding as a UTF-8 string");
    EXPECT_EQ(error->userInfo().get(kHCNetworkingOperationFailingURLResponseErrorKey).object(), response);
    EXPECT_EQ(error->userInfo().get(kHCNetworkingOperationFailingURLResponseDataErrorKey), data);
}

TEST(ResponseSerializers, WithoutOutParameterAFailedValidationGivesNil) {
    const auto serializer = HCJSONResponseSerializer::serializer();
    EXPECT_TRUE(serializer->responseObjectForResponse(httpResponse(500, "application/json"), body("[1]"), nullptr).isNil());
    EXPECT_EQ(serializer->responseObjectForResponse(httpResponse(200, "application/json"), body("[1]"), nullptr),
              Value::array({1}));
}

TEST(ResponseSerializers, CharsetChoosesTheDecodingAndUnknownNamesFallBack) {
    const auto serializer = HCJSONResponseSerializer::serializer();
    Ref<Error> error;
    // 0xE9 is "é" in Latin-1 and not UTF-8 on its own.
    EXPECT_EQ(serializer->responseObjectForResponse(httpResponse(200, "application/json; charset=iso-8859-1"),
                                                    body("[\"caf\xe9\"]"), &error),
              Value::array({"café"}));
    EXPECT_FALSE(error);
    EXPECT_EQ(serializer->responseObjectForResponse(httpResponse(200, "application/json; charset=x-no-such"),
                                                    body("[\"caf\xc3\xa9\"]"), &error),
              Value::array({"café"}));
    EXPECT_FALSE(error);
    serializer->setStringEncoding(StringEncoding::ISOLatin1);
    EXPECT_EQ(serializer->responseObjectForResponse(httpResponse(200, "application/json"), body("[\"\xe9\"]"), &error),
              Value::array({"é"}));
}

TEST(ResponseSerializers, NullRemoval) {
    const Value reply = Value::dictionary(
        {{"k1", Value::null()}, {"k2", Value::array({Value::null(), Value::dictionary({{"k3", Value::null()}})})}});
    EXPECT_EQ(removeNullValues(reply, 0),
              Value::dictionary({{"k2", Value::array({Value::null(), Value::dictionary({})})}}));
    EXPECT_EQ(removeNullValues(Value::array({Value::null(), 1}), 1), Value::array({Value::null(), 1}));
    EXPECT_EQ(removeNullValues(Value::null(), 0), Value::null());

    const auto serializer = HCJSONResponseSerializer::serializer();
    const auto response = httpResponse(200, "application/json");
    const Value data = body(R"({"k1":null,"k2":[null,{"k3":null,"k4":"v"}]})");
    Ref<Error> error;
    EXPECT_EQ(serializer->responseObjectForResponse(response, data, &error)["k1"], Value::null());
    serializer->setRemovesKeysWithNullValues(true);
    EXPECT_EQ(serializer->responseObjectForResponse(response, data, &error),
              Value::dictionary({{"k2", Value::array({Value::null(), Value::dictionary({{"k4", "v"}})})}}));
    EXPECT_FALSE(error);
}

TEST(ResponseSerializers, FragmentsNeedTheReadingOption) {
    Ref<Error> error;
    const auto response = httpResponse(200, "application/json");
    EXPECT_TRUE(HCJSONResponseSerializer::serializer()->responseObjectForResponse(response, body("42"), &error).isNil());
    EXPECT_EQ(codeOf(error), 3840);
    error = nullptr;
    EXPECT_EQ(HCJSONResponseSerializer::serializerWithReadingOptions(kJSONReadingAllowFragments)
                  ->responseObjectForResponse(response, body("42"), &error),
              Value(42));
    EXPECT_FALSE(error);
}

TEST(ResponseSerializers, NonHTTPResponseIsAlwaysValid) {
    const auto fileResponse = makeRef<URLResponse>(URL::fileURLWithPath("/tmp/x.json"), "text/plain", 3, std::nullopt);
    Ref<Error> error;
    EXPECT_TRUE(HCJSONResponseSerializer::serializer()->validateResponse(fileResponse, body("[1]"), &error));
    EXPECT_EQ(HCJSONResponseSerializer::serializer()->responseObjectForResponse(fileResponse, body("[1]"), &error),
              Value::array({1}));
    EXPECT_TRUE(HCHTTPResponseSerializer::serializer()->validateResponse(nullptr, body("x"), &error));
    EXPECT_FALSE(error);
}

TEST(ResponseSerializers, BaseReturnsTheBodyWhateverTheOutcome) {
    const auto base = HCHTTPResponseSerializer::serializer();
    Ref<Error> error;
    EXPECT_EQ(base->responseObjectForResponse(httpResponse(418, "image/png"), body("raw"), &error), body("raw"));
    EXPECT_EQ(codeOf(error), -1011);
    base->setAcceptableStatusCodes(std::nullopt);
    error = nullptr;
    EXPECT_EQ(base->responseObjectForResponse(httpResponse(418, "image/png"), body("raw"), &error), body("raw"));
    EXPECT_FALSE(error);
}

// Records the parser's delegate calls as text.
class RecordingDelegate : public XMLParserDelegate {
public:
    std::vector<std::string> events;
    std::string abortAt;
    void parserDidStartDocument(XMLParser&) override { events.push_back("start"); }
    void parserDidEndDocument(XMLParser&) override { events.push_back("end"); }
    void didStartElement(XMLParser& parser, const std::string& name, const std::string&, const std::string&,
                         const Dictionary& attributes) override {
        events.push_back("<" + name + Value(attributes).description() + ">");
        if (name == abortAt) parser.abortParsing();
    }
    void didEndElement(XMLParser&, const std::string& name, const std::string&, const std::string&) override {
        events.push_back("</" + name + ">");
    }
    void foundCharacters(XMLParser&, const std::string& text) override { events.push_back("text:" + text); }
    void foundCDATA(XMLParser&, const Bytes& block) override {
        events.push_back("cdata:" + std::string(block.begin(), block.end()));
    }
    void foundComment(XMLParser&, const std::string& comment) override { events.push_back("comment:" + comment); }
    void parseErrorOccurred(XMLParser&, const Ref<Error>& error) override {
        events.push_back("error:" + std::to_string(error->code()));
    }
};

Ref<XMLParser> xmlParserFor(std::string_view xml, Ref<Error>* error = nullptr) {
    Ref<Error> local;
    const Value object = HCXMLParserResponseSerializer::serializer()->responseObjectForResponse(
        httpResponse(200, "text/xml"), body(xml), error ? error : &local);
    return object.objectAs<XMLParser>();
}

TEST(ResponseSerializers, XMLParserReportsTheDocumentThroughItsDelegate) {
    const auto parser = xmlParserFor("<?xml version=\"1.0\"?><r a=\"1\" b=\"&amp;\">x&lt;y<!--c--><e/><![CDATA[<z>]]></r>");
    ASSERT_TRUE(parser);
    const auto delegate = std::make_shared<RecordingDelegate>();
    parser->setDelegate(delegate);
    EXPECT_TRUE(delegate->events.empty());  // handed back unparsed
    EXPECT_TRUE(parser->parse());
    EXPECT_FALSE(parser->parserError());
    std::string joined;
    for (const auto& e : delegate->events) joined += e + "|";
    // Character data may come in pieces; join the text events to compare.
    EXPECT_NE(joined.find("start|<r{\n    a = 1;\n    b = \"&\";\n}>|"), std::string::npos) << joined;
    std::string text;
    for (const auto& e : delegate->events) {
        if (e.starts_with("text:")) text += e.substr(5);
    }
    EXPECT_EQ(text, "x<y");
    EXPECT_NE(joined.find("comment:c|<e{\n}>|</e>|cdata:<z>|</r>|end|"), std::string::npos) << joined;
    EXPECT_FALSE(parser->parse());  // a parser runs once
}

TEST(ResponseSerializers, XMLParserErrorsAndAbort) {
    struct Case {
        const char* xml;
        const char* abortAt;
        int code;
    };
    const Case cases[] = {{"", "", XMLParserEmptyDocumentError},
                          {"<a><b></a>", "", XMLParserTagNameMismatchError},
                          {"<a>&nope;</a>", "", XMLParserUndeclaredEntityError},
                          {"<a></a><b/>", "", XMLParserNotWellBalancedError},
                          {"<a><b/><c/></a>", "b", XMLParserDelegateAbortedParseError}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xml);
        const auto parser = makeRef<XMLParser>(Bytes(c.xml, c.xml + std::strlen(c.xml)));
        const auto delegate = std::make_shared<RecordingDelegate>();
        delegate->abortAt = c.abortAt;
        parser->setDelegate(delegate);
        EXPECT_FALSE(parser->parse());
        ASSERT_TRUE(parser->parserError());
        EXPECT_EQ(parser->parserError()->domain(), kXMLParserErrorDomain);
        EXPECT_EQ(parser->parserError()->code(), c.code);
        const bool aborted = c.code == XMLParserDelegateAbortedParseError;
        EXPECT_EQ(std::count_if(delegate->events.begin(), delegate->events.end(),
                                [](const std::string& e) { return e.starts_with("error:"); }),
                  aborted ? 0 : 1);
        if (aborted) {
            EXPECT_EQ(delegate->events.back(), "<b{\n}>");  // nothing after the abort
        }
    }
}

TEST(ResponseSerializers, XMLSerializerValidatesLikeTheOthers) {
    Ref<Error> error;
    EXPECT_FALSE(xmlParserFor("<a/>", &error) == nullptr);
    const auto serializer = HCXMLParserResponseSerializer::serializer();
    EXPECT_TRUE(serializer->responseObjectForResponse(httpResponse(200, "application/json"), body("<a/>"), &error).isNil());
    EXPECT_EQ(codeOf(error), -1016);
    error = nullptr;
    EXPECT_TRUE(serializer->responseObjectForResponse(httpResponse(500, "application/xml"), body("<a/>"), &error)
                    .objectAs<XMLParser>());
    EXPECT_EQ(codeOf(error), -1011);
    EXPECT_TRUE(serializer->responseObjectForResponse(httpResponse(200, "text/xml"), Value(), &error).isNil());
}

TEST(ResponseSerializers, PropertyListBodies) {
    const Value expected = Value::dictionary({{"name", "lunavexa"}, {"n", Value::array({1, 2.5, true})}});
    // Written by hand, and by Python's plistlib in the binary format.
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\"><dict><key>n</key><array>"
        "<integer>1</integer><real>2.5</real><true/></array><key>name</key><string>lunavexa</string></dict></plist>";
    const std::string binaryHex =
        "62706c6973743030d201020307516e546e616d65a3040506100123400400000000000009586c756e6176657861080d0f14181a23240000"
        "00000000010100000000000000080000000000000000000000000000002d";
    std::string binary;
    for (std::size_t i = 0; i < binaryHex.size(); i += 2) {
        binary.push_back(static_cast<char>(std::stoi(binaryHex.substr(i, 2), nullptr, 16)));
    }
    const auto serializer = HCPropertyListResponseSerializer::serializer();
    EXPECT_EQ(serializer->format(), PropertyListFormat::XML);
    const auto response = httpResponse(200, "application/x-plist");
    for (const auto& text : {xml, binary}) {
        Ref<Error> error;
        EXPECT_EQ(serializer->responseObjectForResponse(response, body(text), &error), expected);
        EXPECT_FALSE(error);
    }
    Ref<Error> error;
    const LogCapture quiet;
    EXPECT_TRUE(serializer->responseObjectForResponse(response, body("<plist><dict>"), &error).isNil());
    EXPECT_EQ(codeOf(error), 3840);
    error = nullptr;
    EXPECT_EQ(serializer->responseObjectForResponse(httpResponse(500, "application/x-plist"), body(xml), &error), expected);
    EXPECT_EQ(codeOf(error), -1011);
    error = nullptr;
    EXPECT_TRUE(serializer->responseObjectForResponse(response, Value(), &error).isNil());
    EXPECT_FALSE(error);
}

// A serializer that only adopts the protocol; the compound skips it.
class ProtocolOnly : public HCURLResponseSerialization {
public:
    Value responseObjectForResponse(const Ref<URLResponse>&, const Value&, Ref<Error>*) const override {
        return Value("protocol only");
    }
};

TEST(ResponseSerializers, CompoundTriesMembersInOrder) {
    const auto json = HCJSONResponseSerializer::serializer();
    const auto compound = HCCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
        {std::make_shared<ProtocolOnly>(), json, HCXMLParserResponseSerializer::serializer(),
         HCPropertyListResponseSerializer::serializer()});
    Ref<Error> error;
    EXPECT_EQ(compound->responseObjectForResponse(httpResponse(200, "application/json"), body("[7]"), &error),
              Value::array({7}));
    EXPECT_FALSE(error);
    EXPECT_TRUE(compound->responseObjectForResponse(httpResponse(200, "text/xml"), body("<a/>"), &error)
                    .objectAs<XMLParser>());
    EXPECT_FALSE(error);
    // The member's status error comes along with its object.
    EXPECT_EQ(compound->responseObjectForResponse(httpResponse(500, "application/json"), body("[7]"), &error),
              Value::array({7}));
    EXPECT_EQ(codeOf(error), -1011);
    // Nobody takes text/html: the body, validated by the compound's own rules (any type, 2xx).
    error = nullptr;
    EXPECT_EQ(compound->responseObjectForResponse(httpResponse(200, "text/html"), body("<p/>"), &error), body("<p/>"));
    EXPECT_FALSE(error);
    EXPECT_EQ(compound->responseObjectForResponse(httpResponse(502, "text/html"), body("<p/>"), &error), body("<p/>"));
    EXPECT_EQ(codeOf(error), -1011);
    // Order decides: a base serializer first takes everything as data.
    const auto baseFirst = HCCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
        {HCHTTPResponseSerializer::serializer(), json});
    EXPECT_EQ(baseFirst->responseObjectForResponse(httpResponse(200, "application/json"), body("[7]"), &error),
              body("[7]"));
}

TEST(ResponseSerializers, CopiesKeepWhatEachClassCopies) {
    const auto json = HCJSONResponseSerializer::serializerWithReadingOptions(kJSONReadingAllowFragments);
    json->setRemovesKeysWithNullValues(true);
    json->setAcceptableContentTypes(std::set<std::string>{"text/plain"});
    json->setStringEncoding(StringEncoding::ISOLatin1);
    const auto jsonCopy = std::dynamic_pointer_cast<HCJSONResponseSerializer>(json->copy());
    ASSERT_TRUE(jsonCopy);
    EXPECT_EQ(jsonCopy->readingOptions(), kJSONReadingAllowFragments);
    EXPECT_TRUE(jsonCopy->removesKeysWithNullValues());
    EXPECT_EQ(jsonCopy->acceptableContentTypes()->count("application/json"), 1u);
    EXPECT_EQ(jsonCopy->stringEncoding(), StringEncoding::UTF8);

    const auto base = HCHTTPResponseSerializer::serializer();
    base->setAcceptableStatusCodes(HCStatusCodeRange(200, 1));
    base->setAcceptableContentTypes(std::set<std::string>{"a/b"});
    const auto baseCopy = base->copy();
    EXPECT_EQ(baseCopy->acceptableStatusCodes(), HCStatusCodeSet{200});
    EXPECT_EQ(baseCopy->acceptableContentTypes(), std::set<std::string>{"a/b"});

    const auto xml = HCXMLParserResponseSerializer::serializer();
    xml->setAcceptableContentTypes(std::set<std::string>{"c/d"});
    EXPECT_TRUE(std::dynamic_pointer_cast<HCXMLParserResponseSerializer>(xml->copy()));
    EXPECT_EQ(xml->copy()->acceptableContentTypes(), std::set<std::string>{"c/d"});

    const auto plist = HCPropertyListResponseSerializer::serializerWithFormat(PropertyListFormat::Binary, 2);
    const auto plistCopy = std::dynamic_pointer_cast<HCPropertyListResponseSerializer>(plist->copy());
    EXPECT_EQ(plistCopy->format(), PropertyListFormat::Binary);
    EXPECT_EQ(plistCopy->readOptions(), 2u);

    const auto compound = HCCompoundResponseSerializer::compoundSerializerWithResponseSerializers({json});
    const auto compoundCopy = std::dynamic_pointer_cast<HCCompoundResponseSerializer>(compound->copy());
    ASSERT_EQ(compoundCopy->responseSerializers().size(), 1u);
    EXPECT_EQ(compoundCopy->responseSerializers()[0], compound->responseSerializers()[0]);
}

TEST(ResponseSerializers, ErrorChaining) {
    const auto a = Error::make(std::string(kHCURLResponseSerializationErrorDomain), -1011);
    const auto b = Error::make(std::string(kHCURLResponseSerializationErrorDomain), -1016);
    const auto c = Error::make("NSCocoaErrorDomain", 3840);
    EXPECT_EQ(chainUnderlyingError(nullptr, b), b);
    EXPECT_EQ(chainUnderlyingError(a, nullptr), a);
    const auto ab = chainUnderlyingError(a, b);
    EXPECT_EQ(ab->code(), -1011);
    EXPECT_EQ(ab->underlyingError(), b);
    EXPECT_EQ(chainUnderlyingError(ab, c), ab);  // already has one beneath
    EXPECT_TRUE(errorChainHasCode(chainUnderlyingError(c, ab)));
    EXPECT_FALSE(errorChainHasCode(chainUnderlyingError(c, a)));
    EXPECT_FALSE(errorChainHasCode(nullptr));
    EXPECT_FALSE(errorChainHasCode(Error::make("other", -1016)));
}

}  // namespace
}  // namespace lv
