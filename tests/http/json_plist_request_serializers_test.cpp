// JSON and property-list request serializers: URL encoding kept for URI methods, bodies with their
// media types, writer failures failing the request, and copies.
#include <gtest/gtest.h>

#include "http/json_plist_request_serializers.h"
#include "http/query_string.h"
#include "http_test_support.h"

namespace lv {
namespace {

using test::FixedDevice;

TEST(JsonPlistRequestSerializers, URIMethodsEncodeAsTheFormSerializerDoes) {
    FixedDevice device;
    const Value params = Value::dictionary({{"b", 2}, {"a", "x y"}});
    const Ref<HCHTTPRequestSerializer> serializers[] = {HCJSONRequestSerializer::serializer(),
                                                        HCPropertyListRequestSerializer::serializer()};
    for (const auto& serializer : serializers) {
        auto request = serializer->requestWithMethod("GET", "http://h/api", params);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->URL()->absoluteString(), "http://h/api?a=x%20y&b=2");
        EXPECT_FALSE(request->valueForHTTPHeaderField("Content-Type"));
        EXPECT_FALSE(request->HTTPBody());
        EXPECT_EQ(request->valueForHTTPHeaderField("User-Agent"), "Lunavexa/1.2 (iPhone; iOS 7.1; Scale/2.00)");
    }
}

TEST(JsonPlistRequestSerializers, JSONBodies) {
    FixedDevice device;
    auto serializer = HCJSONRequestSerializer::serializer();
    serializer->setTimeoutInterval(5);
    const Value params = Value::dictionary({{"b", Value::array({true, Value::null(), 1.5})}, {"a", "x/y"}});
    auto post = serializer->requestWithMethod("POST", "http://h/api", params);
    ASSERT_TRUE(post);
    EXPECT_EQ(post->valueForHTTPHeaderField("Content-Type"), "application/json");
    EXPECT_EQ(test::text(*post->HTTPBody()), R"({"a":"x\/y","b":[true,null,1.5]})");
    EXPECT_EQ(post->timeoutInterval(), 5);
    EXPECT_EQ(post->valueForHTTPHeaderField("Accept-Language"), "zh-Hans;q=1, en;q=0.9");

    auto pretty = HCJSONRequestSerializer::serializerWithWritingOptions(kJSONWritingPrettyPrinted);
    EXPECT_EQ(test::text(*pretty->requestWithMethod("PUT", "http://h/", Value::dictionary({{"a", 1}}))->HTTPBody()),
              "{\n  \"a\" : 1\n}");

    URLRequest typed(URL::URLWithString("http://h/api"));
    typed.setHTTPMethod("POST");
    typed.setValue("application/vnd.x+json", "Content-Type");
    auto kept = serializer->requestBySerializingRequest(typed, params, nullptr);
    EXPECT_EQ(kept->valueForHTTPHeaderField("Content-Type"), "application/vnd.x+json");
    EXPECT_EQ(test::text(*kept->HTTPBody()), R"({"a":"x\/y","b":[true,null,1.5]})");

    auto bare = serializer->requestWithMethod("POST", "http://h/api", Value());
    EXPECT_FALSE(bare->HTTPBody());
    EXPECT_FALSE(bare->valueForHTTPHeaderField("Content-Type"));
}

TEST(JsonPlistRequestSerializers, PropertyListBodies) {
    FixedDevice device;
    const Value params = Value::dictionary({{"n", 3}, {"s", "韩"}});
    auto xml = HCPropertyListRequestSerializer::serializer();
    EXPECT_EQ(xml->format(), PropertyListFormat::XML);
    auto post = xml->requestWithMethod("POST", "http://h/api", params);
    ASSERT_TRUE(post);
    EXPECT_EQ(post->valueForHTTPHeaderField("Content-Type"), "application/x-plist");
    const std::string body = test::text(*post->HTTPBody());
    EXPECT_EQ(body.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);
    EXPECT_NE(body.find("<key>n</key>\n\t<integer>3</integer>"), std::string::npos);
    PropertyListFormat format{};
    EXPECT_EQ(PropertyListSerialization::propertyListWithData(*post->HTTPBody(), 0, &format, nullptr), params);

    auto binary = HCPropertyListRequestSerializer::serializerWithFormat(PropertyListFormat::Binary, 0);
    auto packed = binary->requestWithMethod("POST", "http://h/api", params);
    EXPECT_EQ(test::text(*packed->HTTPBody()).rfind("bplist00", 0), 0u);
    EXPECT_EQ(PropertyListSerialization::propertyListWithData(*packed->HTTPBody(), 0, &format, nullptr), params);
    EXPECT_EQ(format, PropertyListFormat::Binary);
}

// Parameters the writer cannot hold fail the request in every form, with the writer's error.
TEST(JsonPlistRequestSerializers, WriterFailuresReturnNoRequest) {
    FixedDevice device;
    struct Case {
        Ref<HCHTTPRequestSerializer> serializer;
        Value parameters;
    };
    const Case cases[] = {
        {HCJSONRequestSerializer::serializer(), Value::dictionary({{"d", Value::data("x")}})},
        {HCJSONRequestSerializer::serializer(), Value::dictionary({{"s", Value(ValueSet::make({1}))}})},
        {HCPropertyListRequestSerializer::serializer(), Value::dictionary({{"n", Value::null()}})},
        {makeRef<HCPropertyListRequestSerializer>(), Value::dictionary({{"a", 1}})},  // no format chosen
    };
    for (const auto& c : cases) {
        Ref<Error> error;
        EXPECT_FALSE(c.serializer->requestWithMethod("POST", "http://h/", c.parameters, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), kCocoaErrorDomain);
        EXPECT_FALSE(c.serializer->requestWithMethod("POST", "http://h/", c.parameters));
        URLRequest request(URL::URLWithString("http://h/"));
        request.setHTTPMethod("PATCH");
        EXPECT_FALSE(c.serializer->requestBySerializingRequest(request, c.parameters, nullptr));
    }
}

TEST(JsonPlistRequestSerializers, CopiesKeepWriterSettingsAndMultipartIsInherited) {
    FixedDevice device;
    auto json = HCJSONRequestSerializer::serializerWithWritingOptions(kJSONWritingPrettyPrinted);
    json->setValue("v", "X-Custom");
    auto jsonCopy = std::dynamic_pointer_cast<HCJSONRequestSerializer>(json->copy());
    ASSERT_TRUE(jsonCopy);
    EXPECT_EQ(jsonCopy->writingOptions(), kJSONWritingPrettyPrinted);
    EXPECT_EQ(jsonCopy->valueForHTTPHeaderField("X-Custom"), "v");

    auto plist = HCPropertyListRequestSerializer::serializerWithFormat(PropertyListFormat::Binary, 7);
    auto plistCopy = std::dynamic_pointer_cast<HCPropertyListRequestSerializer>(plist->copy());
    ASSERT_TRUE(plistCopy);
    EXPECT_EQ(plistCopy->format(), PropertyListFormat::Binary);
    EXPECT_EQ(plistCopy->writeOptions(), 7u);

    auto multipart = json->multipartFormRequestWithMethod("POST", "http://h/", Value::dictionary({{"a", "1"}}), nullptr);
    ASSERT_TRUE(multipart);
    EXPECT_FALSE(multipart->HTTPBody());
    EXPECT_EQ(multipart->valueForHTTPHeaderField("Content-Type").value_or("").rfind("multipart/form-data; boundary=", 0), 0u);
    EXPECT_NE(test::readAll(*multipart->HTTPBodyStream()).find("name=\"a\"\r\n\r\n1\r\n"), std::string::npos);
}

}  // namespace
}  // namespace lv
