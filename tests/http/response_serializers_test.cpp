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

const Value kParsed = Value::dictionary({{"a", 1}});
const Value kPlist = Value::dictionary({{"name", "lunavexa"}, {"n", Value::array({1, 2.5, true})}});
const Value kAnXMLParser = Value("an XML parser");
// Written by hand, and by Python's plistlib in the binary format.
const char* const kXMLPlist =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>n</key><array><integer>1</integer>"
    "<real>2.5</real><true/></array><key>name</key><string>lunavexa</string></dict></plist>";
const char* const kBinaryPlistHex =
    "62706c6973743030d201020307516e546e616d65a3040506100123400400000000000009586c756e6176657861080d0f14181a23240000"
    "00000000010100000000000000080000000000000000000000000000002d";

Value fromHex(std::string_view hex) {
    Bytes bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return Value(std::move(bytes));
}

// Every serializer against statuses, content types and bodies: the object, the error and the one beneath.
TEST(ResponseSerializers, StatusAndContentTypeMatrix) {
    struct Case {
        const char* name;
        Ref<HCHTTPResponseSerializer> serializer;
        int status;
        const char* type;
        Value data;
        Value object;
        std::int64_t code;
        std::int64_t underlying;
    };
    const auto json = HCJSONResponseSerializer::serializer();
    const auto fragments = HCJSONResponseSerializer::serializerWithReadingOptions(kJSONReadingAllowFragments);
    const auto xml = HCXMLParserResponseSerializer::serializer();
    const auto plist = HCPropertyListResponseSerializer::serializer();
    const auto compound = HCCompoundResponseSerializer::compoundSerializerWithResponseSerializers({json, xml, plist});
    const std::vector<Case> cases = {
        {"JSON one space", json, 200, "application/json", body(" "), {}, 0, 0},
        {"JSON empty body", json, 200, "application/json", body(""), {}, 0, 0},
        {"JSON no body", json, 200, "application/json", {}, {}, 0, 0},
        {"JSON", json, 200, "text/json", body("{\"a\":1}"), kParsed, 0, 0},
        {"JSON with charset", json, 200, "text/javascript; charset=utf-8", body("{\"a\":1}"), kParsed, 0, 0},
        {"JSON server error still parses", json, 500, "application/json", body("{\"a\":1}"), kParsed, -1011, 0},
        {"JSON last accepted status", json, 299, "application/json", body("{\"a\":1}"), kParsed, 0, 0},
        {"JSON first refused status", json, 300, "application/json", body("{\"a\":1}"), kParsed, -1011, 0},
        {"JSON status below the range", json, 199, "application/json", body("{\"a\":1}"), kParsed, -1011, 0},
        {"JSON wrong type", json, 200, "text/html", body("<html/>"), {}, -1016, 0},
        {"JSON wrong type and status", json, 404, "text/html", body("<html/>"), {}, -1011, -1016},
        {"JSON wrong type, empty body", json, 200, "text/html", body(""), {}, 0, 0},
        {"JSON no content type", json, 200, nullptr, body("{\"a\":1}"), {}, -1016, 0},
        {"JSON malformed", json, 200, "application/json", body("{\"a\":"), {}, 3840, 0},
        {"JSON malformed, bad status", json, 503, "application/json", body("{"), {}, 3840, -1011},
        {"JSON undecodable", json, 200, "application/json", body("\xff\xfe{\x80}"), {}, -1016, 0},
        {"JSON undecodable, bad status", json, 500, "application/json", body("\xc3("), {}, -1016, -1011},
        {"JSON Latin-1 charset", json, 200, "application/json; charset=iso-8859-1", body("[\"caf\xe9\"]"),
         Value::array({"café"}), 0, 0},
        // UTF-8 is read in place: it is checked exactly as a decoding would check it.
        {"JSON invalid UTF-8 with utf-8 charset", json, 200, "application/json; charset=utf-8", body("[\"\xe9\"]"),
         {}, -1016, 0},
        {"JSON encoded surrogate", json, 200, "application/json", body("[\"\xed\xa0\x80\"]"), {}, -1016, 0},
        {"JSON overlong form", json, 200, "application/json", body("[\"\xc0\xaf\"]"), {}, -1016, 0},
        {"JSON cut sequence at the end", json, 200, "application/json", body("[1]\xe2\x82"), {}, -1016, 0},
        {"JSON byte-order mark", json, 200, "application/json", body("\xef\xbb\xbf[\"caf\xc3\xa9\"]"),
         Value::array({"café"}), 0, 0},
        {"JSON UTF-16 charset", json, 200, "application/json; charset=utf-16",
         body(std::string_view("\xfe\xff\0[\0\"\0\xe9\0\"\0]", 12)), Value::array({"é"}), 0, 0},
        {"JSON Latin-1 single space", json, 200, "application/json; charset=iso-8859-1", body(" "), {}, 0, 0},
        {"JSON unknown charset falls back", json, 200, "application/json; charset=x-no-such",
         body("[\"caf\xc3\xa9\"]"), Value::array({"café"}), 0, 0},
        {"JSON fragment refused", json, 200, "application/json", body("42"), {}, 3840, 0},
        {"JSON fragment allowed", fragments, 200, "application/json", body("42"), Value(42), 0, 0},
        {"XML", xml, 200, "text/xml", body("<a/>"), kAnXMLParser, 0, 0},
        {"XML server error", xml, 500, "application/xml", body("<a/>"), kAnXMLParser, -1011, 0},
        {"XML wrong type", xml, 200, "application/json", body("<a/>"), {}, -1016, 0},
        {"XML no body", xml, 200, "text/xml", {}, {}, 0, 0},
        {"plist XML", plist, 200, "application/x-plist", body(kXMLPlist), kPlist, 0, 0},
        {"plist binary", plist, 200, "application/x-plist", fromHex(kBinaryPlistHex), kPlist, 0, 0},
        {"plist server error", plist, 500, "application/x-plist", body(kXMLPlist), kPlist, -1011, 0},
        {"plist malformed", plist, 200, "application/x-plist", body("<plist><dict>"), {}, 3840, 0},
        {"plist no body", plist, 200, "application/x-plist", {}, {}, 0, 0},
        {"base keeps the body", HCHTTPResponseSerializer::serializer(), 418, "image/png", body("raw"), body("raw"),
         -1011, 0},
        {"compound: JSON member", compound, 200, "application/json", body("[7]"), Value::array({7}), 0, 0},
        {"compound: XML member", compound, 200, "text/xml", body("<a/>"), kAnXMLParser, 0, 0},
        {"compound: member's error", compound, 500, "application/json", body("[7]"), Value::array({7}), -1011, 0},
        {"compound: nobody takes it", compound, 200, "text/html", body("<p/>"), body("<p/>"), 0, 0},
        {"compound: own status rule", compound, 502, "text/html", body("<p/>"), body("<p/>"), -1011, 0},
    };
    const LogCapture quiet;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Ref<Error> error;
        const Value object = c.serializer->responseObjectForResponse(httpResponse(c.status, c.type), c.data, &error);
        if (c.object == kAnXMLParser) {
            EXPECT_TRUE(object.objectAs<XMLParser>());
        } else {
            EXPECT_EQ(object, c.object);
        }
        EXPECT_EQ(codeOf(error), c.code);
        EXPECT_EQ(codeOf(error ? error->underlyingError() : nullptr), c.underlying);
    }
}

TEST(ResponseSerializers, ValidationErrorsCarryResponseDataURLAndTexts) {
    const auto response = httpResponse(404, "text/html");
    const Value data = body("<p>gone</p>");
    Ref<Error> error;
    EXPECT_FALSE(HCJSONResponseSerializer::serializer()->validateResponse(response, data, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "com.httpclient.error.serialization.response");
    EXPECT_EQ(error->localizedDescription(), "Request failed: not found (404)");
    const Dictionary& info = error->userInfo();
    EXPECT_EQ(info.get("com.httpclient.serialization.response.error.response").object(), response);
    EXPECT_EQ(info.get("com.httpclient.serialization.response.error.data"), data);
    const Ref<URL> failingURL = info.get("NSErrorFailingURLKey").objectAs<URL>();
    ASSERT_TRUE(failingURL);
    EXPECT_EQ(failingURL->absoluteString(), "http://127.0.0.1/api");
    ASSERT_TRUE(error->underlyingError());
    EXPECT_EQ(error->underlyingError()->localizedDescription(), "Request failed: unacceptable content-type: text/html");

    const auto base = HCHTTPResponseSerializer::serializer();
    Ref<Error> noBody;  // without a body the data key is absent
    base->validateResponse(httpResponse(500, "text/plain"), Value(), &noBody);
    ASSERT_TRUE(noBody);
    EXPECT_FALSE(noBody->userInfo().contains("com.httpclient.serialization.response.error.data"));
    Ref<Error> none;  // without a URL the status is not tested; other responses are always valid
    EXPECT_TRUE(base->validateResponse(httpResponse(500, "x/y", nullptr), data, &none));
    EXPECT_TRUE(base->validateResponse(makeRef<URLResponse>(URL::fileURLWithPath("/tmp/x"), "a/b", 3, std::nullopt),
                                       data, &none));
    EXPECT_TRUE(base->validateResponse(nullptr, data, &none));
    EXPECT_FALSE(none);
    base->setAcceptableStatusCodes(std::nullopt);
    EXPECT_TRUE(base->validateResponse(httpResponse(999, "x/y"), data, &none));
    // Without an out-parameter a refused status gives no object.
    EXPECT_TRUE(HCJSONResponseSerializer::serializer()
                    ->responseObjectForResponse(httpResponse(500, "application/json"), body("[1]"), nullptr)
                    .isNil());
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

TEST(ResponseSerializers, NullRemoval) {
    const Value reply = Value::dictionary(
        {{"k1", Value::null()}, {"k2", Value::array({Value::null(), Value::dictionary({{"k3", Value::null()}})})}});
    EXPECT_EQ(removeNullValues(reply, 0),
              Value::dictionary({{"k2", Value::array({Value::null(), Value::dictionary({})})}}));
    EXPECT_EQ(removeNullValues(Value::null(), 1), Value::null());

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

// Records the parser's delegate calls as text.
class RecordingDelegate : public XMLParserDelegate {
public:
    std::vector<std::string> events;
    std::string abortAt;
    void parserDidStartDocument(XMLParser&) override { events.push_back("start"); }
    void parserDidEndDocument(XMLParser&) override { events.push_back("end"); }
    void didStartElement(XMLParser& parser, const std::string& name, const std::string&, const std::string&,
                         const Dictionary& attributes) override {
        std::string text = "<" + name;
        for (const auto& [key, value] : attributes) text += " " + key + "=" + value.string();
        events.push_back(text + ">");
        if (name == abortAt) parser.abortParsing();
    }
    void didEndElement(XMLParser&, const std::string& name, const std::string&, const std::string&) override {
        events.push_back("</" + name + ">");
    }
    void foundCharacters(XMLParser&, const std::string& text) override {
        if (events.back().starts_with("text:")) {
            events.back() += text;  // text may come in pieces
        } else {
            events.push_back("text:" + text);
        }
    }
    void foundCDATA(XMLParser&, const Bytes& block) override {
        events.push_back("cdata:" + std::string(block.begin(), block.end()));
    }
    void foundComment(XMLParser&, const std::string& comment) override { events.push_back("comment:" + comment); }
    void parseErrorOccurred(XMLParser&, const Ref<Error>& error) override {
        events.push_back("error:" + std::to_string(error->code()));
    }
};

TEST(ResponseSerializers, XMLParserReportsTheDocumentThroughItsDelegate) {
    Ref<Error> error;
    const auto parser = HCXMLParserResponseSerializer::serializer()
                            ->responseObjectForResponse(httpResponse(200, "text/xml"),
                                                        body("<?xml version=\"1.0\"?><r a=\"1\" b=\"&amp;\">x&lt;y"
                                                             "<!--c--><e/><![CDATA[<z>]]></r>"),
                                                        &error)
                            .objectAs<XMLParser>();
    ASSERT_TRUE(parser);
    const auto delegate = std::make_shared<RecordingDelegate>();
    parser->setDelegate(delegate);
    EXPECT_TRUE(delegate->events.empty());  // handed back unparsed
    EXPECT_TRUE(parser->parse());
    EXPECT_FALSE(parser->parserError());
    EXPECT_EQ(delegate->events, (std::vector<std::string>{"start", "<r a=1 b=&>", "text:x<y", "comment:c", "<e>", "</e>",
                                                          "cdata:<z>", "</r>", "end"}));
    EXPECT_FALSE(parser->parse());  // a parser runs once
}

TEST(ResponseSerializers, XMLParserErrorsAndAbort) {
    const std::pair<const char*, int> cases[] = {{"", XMLParserEmptyDocumentError},
                                                 {"<a><b></a>", XMLParserTagNameMismatchError},
                                                 {"<a>&nope;</a>", XMLParserUndeclaredEntityError},
                                                 {"<a></a><b/>", XMLParserNotWellBalancedError},
                                                 {"<a><b/><c/></a>", XMLParserDelegateAbortedParseError}};
    for (const auto& [xml, code] : cases) {
        SCOPED_TRACE(xml);
        const auto parser = makeRef<XMLParser>(Bytes(xml, xml + std::strlen(xml)));
        const auto delegate = std::make_shared<RecordingDelegate>();
        delegate->abortAt = "c";
        parser->setDelegate(delegate);
        EXPECT_FALSE(parser->parse());
        ASSERT_TRUE(parser->parserError());
        EXPECT_EQ(parser->parserError()->domain(), kXMLParserErrorDomain);
        EXPECT_EQ(parser->parserError()->code(), code);
        // The delegate hears of a malformed document once; an abort ends the events at once.
        EXPECT_EQ(delegate->events.back(), code == XMLParserDelegateAbortedParseError ? "<c>" : "error:" + std::to_string(code));
    }
}

// A serializer that only adopts the protocol; the compound skips it.
class ProtocolOnly : public HCURLResponseSerialization {
public:
    Value responseObjectForResponse(const Ref<URLResponse>&, const Value&, Ref<Error>*) const override {
        return Value("protocol only");
    }
};

TEST(ResponseSerializers, CompoundOrderDecides) {
    const auto json = HCJSONResponseSerializer::serializer();
    const auto response = httpResponse(200, "application/json");
    Ref<Error> error;
    EXPECT_EQ(HCCompoundResponseSerializer::compoundSerializerWithResponseSerializers({std::make_shared<ProtocolOnly>(), json})
                  ->responseObjectForResponse(response, body("[7]"), &error),
              Value::array({7}));
    EXPECT_EQ(HCCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
                  {HCHTTPResponseSerializer::serializer(), json})
                  ->responseObjectForResponse(response, body("[7]"), &error),
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

    const auto xml = HCXMLParserResponseSerializer::serializer();
    xml->setAcceptableStatusCodes(HCStatusCodeRange(200, 1));
    xml->setAcceptableContentTypes(std::set<std::string>{"c/d"});
    const auto xmlCopy = xml->copy();
    EXPECT_TRUE(std::dynamic_pointer_cast<HCXMLParserResponseSerializer>(xmlCopy));
    EXPECT_EQ(xmlCopy->acceptableStatusCodes(), HCStatusCodeSet{200});
    EXPECT_EQ(xmlCopy->acceptableContentTypes(), std::set<std::string>{"c/d"});

    const auto plistCopy = std::dynamic_pointer_cast<HCPropertyListResponseSerializer>(
        HCPropertyListResponseSerializer::serializerWithFormat(PropertyListFormat::Binary, 2)->copy());
    EXPECT_EQ(plistCopy->format(), PropertyListFormat::Binary);
    EXPECT_EQ(plistCopy->readOptions(), 2u);
}

TEST(ResponseSerializers, ErrorChaining) {
    const auto a = Error::make(std::string(kHCURLResponseSerializationErrorDomain), -1011);
    const auto b = Error::make(std::string(kHCURLResponseSerializationErrorDomain), -1016);
    const auto c = Error::make("NSCocoaErrorDomain", 3840);
    EXPECT_EQ(chainUnderlyingError(nullptr, b), b);
    EXPECT_EQ(chainUnderlyingError(a, nullptr), a);
    const auto ab = chainUnderlyingError(a, b);
    EXPECT_EQ(ab->underlyingError(), b);
    EXPECT_EQ(chainUnderlyingError(ab, c), ab);  // already has one beneath
    EXPECT_TRUE(errorChainHasCode(chainUnderlyingError(c, ab)));
    EXPECT_FALSE(errorChainHasCode(chainUnderlyingError(c, a)));
    EXPECT_FALSE(errorChainHasCode(Error::make("other", -1016)));
}

}  // namespace
}  // namespace lv
