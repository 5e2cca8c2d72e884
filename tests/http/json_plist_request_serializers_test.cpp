// JSON and property-list request serializers: URL encoding kept for URI methods, bodies with their
// media types, writer failures failing the request, copies and archives.
#include <gtest/gtest.h>

#include "http/json_plist_request_serializers.h"
#include "http/query_string.h"
#include "http_test_support.h"

namespace lv {
namespace {

using test::FixedDevice;

TEST(JsonPlistRequestSerializers, BodiesAndTheirMediaTypes) {
    FixedDevice device;
    const Value params = Value::dictionary({{"b", Value::array({true, Value::null(), 1.5})}, {"a", "x/y"}});
    auto json = HCJSONRequestSerializer::serializer();
    auto get = json->requestWithMethod("GET", "http://h/api", Value::dictionary({{"b", 2}, {"a", "x y"}}));
    EXPECT_EQ(get->URL()->absoluteString(), "http://h/api?a=x%20y&b=2");
    EXPECT_FALSE(get->valueForHTTPHeaderField("Content-Type") || get->HTTPBody());
    auto post = json->requestWithMethod("POST", "http://h/api", params);
    EXPECT_EQ(post->valueForHTTPHeaderField("Content-Type"), "application/json");
    EXPECT_EQ(test::text(*post->HTTPBody()), R"({"a":"x\/y","b":[true,null,1.5]})");
    EXPECT_EQ(post->valueForHTTPHeaderField("User-Agent"), "Lunavexa/1.2 (iPhone; iOS 7.1; Scale/2.00)");
    auto bare = json->requestWithMethod("POST", "http://h/api", Value());
    EXPECT_FALSE(bare->HTTPBody() || bare->valueForHTTPHeaderField("Content-Type"));
    URLRequest typed(URL::URLWithString("http://h/api"));
    typed.setHTTPMethod("POST");
    typed.setValue("application/vnd.x+json", "Content-Type");
    auto kept = json->requestBySerializingRequest(typed, params, nullptr);
    EXPECT_EQ(kept->valueForHTTPHeaderField("Content-Type"), "application/vnd.x+json");
    EXPECT_EQ(test::text(*kept->HTTPBody()), R"({"a":"x\/y","b":[true,null,1.5]})");

    const Value plistParams = Value::dictionary({{"n", 3}, {"s", "韩"}});
    auto xml = HCPropertyListRequestSerializer::serializer()->requestWithMethod("POST", "http://h/api", plistParams);
    EXPECT_EQ(xml->valueForHTTPHeaderField("Content-Type"), "application/x-plist");
    EXPECT_EQ(test::text(*xml->HTTPBody()).rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);
    EXPECT_EQ(PropertyListSerialization::propertyListWithData(*xml->HTTPBody(), 0, nullptr, nullptr), plistParams);
}

// Parameters the writer cannot hold fail the request in every form, with the writer's error.
TEST(JsonPlistRequestSerializers, WriterFailuresReturnNoRequest) {
    FixedDevice device;
    const std::pair<Ref<HCHTTPRequestSerializer>, Value> cases[] = {
        {HCJSONRequestSerializer::serializer(), Value::dictionary({{"d", Value::data("x")}})},
        {HCJSONRequestSerializer::serializer(), Value::dictionary({{"s", Value(ValueSet::make({1}))}})},
        {HCPropertyListRequestSerializer::serializer(), Value::dictionary({{"n", Value::null()}})},
        {makeRef<HCPropertyListRequestSerializer>(), Value::dictionary({{"a", 1}})},  // no format chosen
    };
    for (const auto& [serializer, parameters] : cases) {
        Ref<Error> error;
        EXPECT_FALSE(serializer->requestWithMethod("POST", "http://h/", parameters, &error));
        EXPECT_EQ(error ? error->domain() : "", kCocoaErrorDomain);
        EXPECT_FALSE(serializer->requestWithMethod("POST", "http://h/", parameters));
    }
}

TEST(JsonPlistRequestSerializers, CopiesArchivesAndInheritedMultipart) {
    FixedDevice device;
    auto json = HCJSONRequestSerializer::serializerWithWritingOptions(kJSONWritingPrettyPrinted);
    json->setValue("v", "X-Custom");
    auto plist = HCPropertyListRequestSerializer::serializerWithFormat(PropertyListFormat::Binary, 7);
    for (int archived = 0; archived < 2; ++archived) {
        auto again = [&](const auto& s) {
            using T = typename std::decay_t<decltype(s)>::element_type;
            if (!archived) return std::dynamic_pointer_cast<T>(s->copy());
            auto data = KeyedArchiver::archivedDataWithRootObject(Value(s), true, nullptr);
            return KeyedUnarchiver::unarchivedObjectOfClass(T::runtimeClass(), data.value_or(Bytes()), nullptr).template objectAs<T>();
        };
        auto jsonAgain = again(json);
        auto plistAgain = again(plist);
        ASSERT_TRUE(jsonAgain && plistAgain) << archived;
        EXPECT_EQ(jsonAgain->writingOptions(), kJSONWritingPrettyPrinted);
        EXPECT_EQ(jsonAgain->valueForHTTPHeaderField("X-Custom"), "v");
        EXPECT_EQ(std::pair(plistAgain->format(), plistAgain->writeOptions()), std::pair(PropertyListFormat::Binary, 7u));
    }
    auto multipart = json->multipartFormRequestWithMethod("POST", "http://h/", Value::dictionary({{"a", "1"}}), nullptr);
    EXPECT_FALSE(multipart->HTTPBody());
    EXPECT_NE(test::readAll(*multipart->HTTPBodyStream()).find("name=\"a\"\r\n\r\n1\r\n"), std::string::npos);
}

}  // namespace
}  // namespace lv
