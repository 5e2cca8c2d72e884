#include <gtest/gtest.h>

#include "analytics/tly_util.h"
#include "platform/base/log.h"

namespace lv {
namespace {

TEST(TlyUtilities, EmptyStrings) {
    struct Case {
        Value input;
        bool empty;
    } cases[] = {{Value(), true},         {Value::null(), true}, {Value(" \n\t"), true},
                 {Value(" a "), false},   {Value(""), true},     {Value("\xE2\x80\xA8"), true}};
    for (const auto& c : cases) EXPECT_EQ(TLYUtil::isEmptyString(c.input), c.empty) << c.input.description();
}

TEST(TlyUtilities, ByteBoundedCut) {
    const std::string three = "\xE4\xBD\xA0\xE5\xA5\xBD\xE5\x90\x97";  // three 3-byte characters
    struct Case {
        std::string text;
        std::int32_t limit;
        std::string expected;
    } cases[] = {
        {three, 7, three.substr(0, 6)}, {three, 9, three},     {three, 100, three}, {three, 2, ""},
        {"abc", 0, ""},                 {"abc", -1, ""},       {"ab\xFF", 1, "ab\xFF"},
    };
    for (const auto& c : cases) EXPECT_EQ(TLYUtil::getString(c.text, c.limit), c.expected) << c.limit;
}

TEST(TlyUtilities, DigestsAndHex) {
    const std::uint8_t bytes[] = {0x00, 0xAB, 0x10};
    EXPECT_EQ(TLYUtil::bytesToHexString(bytes, 3), "00ab10");
    EXPECT_EQ(TLYUtil::bytesToHexString(bytes, 0), "");
    EXPECT_EQ(TLYUtil::bytesToHexString(bytes, -1), "");
    EXPECT_EQ(TLYUtils::md5Value("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(TLYUtil::sha1WithString("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    std::string id1 = TLYUtil::sessionId("key"), id2 = TLYUtil::sessionId("key");
    EXPECT_NE(id1, id2);
    EXPECT_EQ(id1.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(id1.size(), 32u);
}

TEST(TlyUtilities, UrlEncode) {
    EXPECT_EQ(TLYUtils::urlEncode("!*'();:@&=+$,/?%#[]\" "),
              "%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D%22%20");
    EXPECT_EQ(TLYUtil::urlEncode("a-b_c.d~e"), "a-b_c.d~e");
    EXPECT_EQ(TLYUtil::urlEncode("\xE4\xB8\xAD\xE6\x96\x87"), "%E4%B8%AD%E6%96%87");
}

TEST(TlyUtilities, JsonWithFailureLines) {
    LogCapture capture;
    EXPECT_EQ(TLYUtils::JSONFragment(Value::dictionary({{"a", 1}, {"b", "x"}})), "{\"a\":1,\"b\":\"x\"}");
    EXPECT_EQ(TLYUtils::JSONFragment(Value("t")), "\"t\"");
    EXPECT_EQ(TLYUtils::JSONValue("[1,\"x\"]"), Value::array({1, "x"}));
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_FALSE(TLYUtils::JSONFragment(Value(Bytes{1})));
    EXPECT_EQ(capture.count("-JSONFragment failed. Error trace is: Error Domain=NSCocoaErrorDomain Code=3852"), 1u);
    EXPECT_TRUE(TLYUtils::JSONValue("{").isNil());
    EXPECT_EQ(capture.count("-JSONValue failed. Error trace is: Error Domain=NSCocoaErrorDomain Code=3840"), 1u);
}

TEST(TlyUtilities, Base64) {
    EXPECT_EQ(TLYUtils::base64Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(TLYUtils::base64EncodeData(Bytes{0xFF, 0xFE}), "//4=");
}

}  // namespace
}  // namespace lv
