// The twenty wire records: type names, defaults, and the five requests read back from their goldens.
#include <gtest/gtest.h>

#include "platform/base/log.h"
#include "wire_cases.h"

namespace lv::test {
namespace {

TEST(WireRecords, TypeNamesAreTheShortNamesUnderTheProtocolPrefix) {
    const ClassInfo* classes[] = {PNWireRegisterReq::runtimeClass(),
                                  PNWireRegisterRsp::runtimeClass(),
                                  PNWireReconnectReq::runtimeClass(),
                                  PNWireReconnectRsp::runtimeClass(),
                                  PNWireUnregisterReq::runtimeClass(),
                                  PNWireUnregisterRsp::runtimeClass(),
                                  PNWireTokenTagReq::runtimeClass(),
                                  PNWireTokenTagRsp::runtimeClass(),
                                  PNWirePushClickReq::runtimeClass(),
                                  PNWirePushClickRsp::runtimeClass(),
                                  PNWireClickClientReport::runtimeClass(),
                                  PNMutableInfo::runtimeClass(),
                                  PNDeviceInfo::runtimeClass(),
                                  PNUnregInfo::runtimeClass(),
                                  PNAppInfo::runtimeClass(),
                                  PNWirePushMsg::runtimeClass(),
                                  PNWirePushClientReport::runtimeClass(),
                                  PNWirePushClientReq::runtimeClass(),
                                  PNWirePushVerifyReq::runtimeClass(),
                                  PNWirePushVerifyRsp::runtimeClass()};
    const char* shortNames[] = {
        "WireRegisterReq",       "WireRegisterRsp",      "WireReconnectReq",  "WireReconnectRsp",  "WireUnregisterReq",
        "WireUnregisterRsp",     "WireTokenTagReq",      "WireTokenTagRsp",   "WirePushClickReq",  "WirePushClickRsp",
        "WireClickClientReport", "MutableInfo",          "DeviceInfo",        "UnregInfo",         "AppInfo",
        "WirePushMsg",           "WirePushClientReport", "WirePushClientReq", "WirePushVerifyReq", "WirePushVerifyRsp"};
    for (std::size_t i = 0; i < std::size(classes); ++i) {
        const auto record = std::dynamic_pointer_cast<PNTlvObject>(classes[i]->create());
        ASSERT_TRUE(record) << shortNames[i];
        EXPECT_EQ(record->tlvType(), std::string("PNWIRE_CLIENT_PROTOCOL.") + shortNames[i]);
        EXPECT_EQ(classes[i], classNamed(std::string("PN") + shortNames[i]));
    }
}

TEST(WireRecords, FreshRecordsEncodeTheirDefaults) {
    const std::pair<Bytes, const char*> cases[] = {
        {PNWireRegisterReq::object()->toData(), "0C 16 00 26 00 36 00 46 00 56 00 6C 7C 96 00 AC BC DC E6 00 F6 0F 00"},
        {PNWireUnregisterReq::object()->toData(), "0A 0A 0C 16 00 26 00 3C 0B 1C 2C 0B 1C"},
        {PNWireReconnectReq::object()->toData(), "06 00 16 00 2C 6C 86 00 96 00"},
        {PNWirePushClickReq::object()->toData(), "19 0C"},
        {PNWirePushVerifyReq::object()->toData(), "19 0C"},
        {PNWirePushClientReq::object()->toData(), "09 0C 1C"},
        {PNWireTokenTagRsp::object()->toData(), "0C"},
        {PNMutableInfo::object()->toData(), "06 00 16 00 26 00 36 00"},
    };
    for (const auto& [encoded, golden] : cases) EXPECT_EQ(hexText(encoded), hexText(hexBytes(golden))) << golden;
    EXPECT_FALSE(PNWireRegisterReq::object()->tlv_deviceInfo());
    EXPECT_FALSE(PNWireRegisterReq::object()->tlv_mutableInfo());
    EXPECT_TRUE(PNWireReconnectReq::object()->tlv_unregInfoList().isNil());
}

TEST(WireRecords, TheFiveRequestsReadBackFromTheirGoldens) {
    std::map<std::string, Bytes> golden;
    for (const WireCase& c : wireCases()) golden[c.name] = c.golden;
    LogCapture capture;
    const auto reg = PNWireRegisterReq::fromData(golden["register_request"]);
    const auto reconnect = PNWireReconnectReq::fromData(golden["reconnect_request"]);
    const auto unregister = PNWireUnregisterReq::fromData(golden["unregister_request"]);
    const auto tag = PNWireTokenTagReq::fromData(golden["token_tag_request_delete"]);
    const auto click = PNWirePushClickReq::fromData(golden["click_request"]);
    ASSERT_TRUE(reg && reconnect && unregister && tag && click);
    EXPECT_EQ(reg->toData(), golden["register_request"]);
    EXPECT_EQ(reconnect->tlv_mutableInfo()->tlv_ssid(), Value(""));  // absent: keeps its default
    EXPECT_EQ(unregister->toData(), golden["unregister_request"]);
    EXPECT_EQ(tag->toData(), golden["token_tag_request_delete"]);
    EXPECT_EQ(click->toData(), golden["click_request"]);
    EXPECT_EQ(reg->tlv_deviceInfo()->tlv_language(), Value("zh-Hans"));
    EXPECT_EQ(unregister->tlv_unregInfo()->tlv_appInfo()->tlv_accessId(), kAccessId);
    EXPECT_EQ(click->tlv_msgClickList()[0].objectAs<PNWireClickClientReport>()->tlv_broadcastId(), 12345u);
    EXPECT_TRUE(capture.lines().empty());
}

TEST(WireRecords, ReconnectReplyWithAndWithoutItsOfflineList) {
    const auto bare = PNWireReconnectRsp::fromData(hexBytes("00 01"));
    ASSERT_TRUE(bare);
    EXPECT_TRUE(bare->tlv_appOfflinePushMsgList().isNil());

    auto message = PNWirePushMsg::object();
    message->setTlv_title("标题");
    message->setTlv_ttl(-1);
    auto reply = PNWireReconnectRsp::object();
    reply->setTlv_appOfflinePushMsgList(Value::array({Value(message), Value(PNWirePushMsg::object())}));
    reply->setTlv_timeUs(std::int64_t{1} << 40);
    const auto decoded = PNWireReconnectRsp::fromData(reply->toData());
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->tlv_appOfflinePushMsgList().count(), 2u);
    const auto first = decoded->tlv_appOfflinePushMsgList()[0].objectAs<PNWirePushMsg>();
    EXPECT_EQ(first->tlv_title(), Value("标题"));
    EXPECT_EQ(first->tlv_ttl(), -1);
    EXPECT_EQ(decoded->tlv_timeUs(), std::int64_t{1} << 40);
}

}  // namespace
}  // namespace lv::test
