// The twenty wire records: type names, defaults, and the five requests read back from their goldens.
#include <gtest/gtest.h>

#include "platform/base/log.h"
#include "wire_cases.h"

namespace lv::test {
namespace {

TEST(WireRecords, TypeNamesAndClassNames) {
    struct Name {
        std::string typeName;
        const ClassInfo* cls;
        std::string shortName;
    };
    const Name names[] = {
        {PNWireRegisterReq::classTlvType(), PNWireRegisterReq::runtimeClass(), "WireRegisterReq"},
        {PNWireRegisterRsp::classTlvType(), PNWireRegisterRsp::runtimeClass(), "WireRegisterRsp"},
        {PNWireReconnectReq::classTlvType(), PNWireReconnectReq::runtimeClass(), "WireReconnectReq"},
        {PNWireReconnectRsp::classTlvType(), PNWireReconnectRsp::runtimeClass(), "WireReconnectRsp"},
        {PNWireUnregisterReq::classTlvType(), PNWireUnregisterReq::runtimeClass(), "WireUnregisterReq"},
        {PNWireUnregisterRsp::classTlvType(), PNWireUnregisterRsp::runtimeClass(), "WireUnregisterRsp"},
        {PNWireTokenTagReq::classTlvType(), PNWireTokenTagReq::runtimeClass(), "WireTokenTagReq"},
        {PNWireTokenTagRsp::classTlvType(), PNWireTokenTagRsp::runtimeClass(), "WireTokenTagRsp"},
        {PNWirePushClickReq::classTlvType(), PNWirePushClickReq::runtimeClass(), "WirePushClickReq"},
        {PNWirePushClickRsp::classTlvType(), PNWirePushClickRsp::runtimeClass(), "WirePushClickRsp"},
        {PNWireClickClientReport::classTlvType(), PNWireClickClientReport::runtimeClass(), "WireClickClientReport"},
        {PNMutableInfo::classTlvType(), PNMutableInfo::runtimeClass(), "MutableInfo"},
        {PNDeviceInfo::classTlvType(), PNDeviceInfo::runtimeClass(), "DeviceInfo"},
        {PNUnregInfo::classTlvType(), PNUnregInfo::runtimeClass(), "UnregInfo"},
        {PNAppInfo::classTlvType(), PNAppInfo::runtimeClass(), "AppInfo"},
        {PNWirePushMsg::classTlvType(), PNWirePushMsg::runtimeClass(), "WirePushMsg"},
        {PNWirePushClientReport::classTlvType(), PNWirePushClientReport::runtimeClass(), "WirePushClientReport"},
        {PNWirePushClientReq::classTlvType(), PNWirePushClientReq::runtimeClass(), "WirePushClientReq"},
        {PNWirePushVerifyReq::classTlvType(), PNWirePushVerifyReq::runtimeClass(), "WirePushVerifyReq"},
        {PNWirePushVerifyRsp::classTlvType(), PNWirePushVerifyRsp::runtimeClass(), "WirePushVerifyRsp"},
    };
    for (const auto& [typeName, cls, shortName] : names) {
        EXPECT_EQ(typeName, "PNWIRE_CLIENT_PROTOCOL." + shortName);
        EXPECT_EQ(cls, classNamed("PN" + shortName)) << shortName;
        EXPECT_TRUE(cls->isSubclassOf("PNTlvObjectV2")) << shortName;
    }
    EXPECT_EQ(PNWireUnregisterRsp::object()->tlvType(), "PNWIRE_CLIENT_PROTOCOL.WireUnregisterRsp");
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
    const auto request = PNWireRegisterReq::object();
    EXPECT_FALSE(request->tlv_deviceInfo());
    EXPECT_FALSE(request->tlv_mutableInfo());
    EXPECT_TRUE(PNWireReconnectReq::object()->tlv_unregInfoList().isNil());
    EXPECT_EQ(PNWireUnregisterReq::object()->tlv_unregInfo()->tlv_appInfo()->tlv_appCert(), Value(""));
}

TEST(WireRecords, TheFiveRequestsReadBackFromTheirGoldens) {
    std::map<std::string, Bytes> golden;
    for (const WireCase& c : wireCases()) golden[c.name] = c.golden;
    LogCapture capture;

    const auto reg = PNWireRegisterReq::fromData(golden["register_request"]);
    ASSERT_TRUE(reg && reg->tlv_deviceInfo() && reg->tlv_mutableInfo());
    EXPECT_EQ(reg->tlv_accessId(), kAccessId);
    EXPECT_EQ(reg->tlv_deviceInfo()->tlv_language(), Value("zh-Hans"));
    EXPECT_EQ(reg->tlv_mutableInfo()->tlv_mac(), Value("if_nametoindex failure"));
    EXPECT_EQ(reg->tlv_reserved(), Value("{}"));
    EXPECT_EQ(reg->toData(), golden["register_request"]);

    const auto reconnect = PNWireReconnectReq::fromData(golden["reconnect_request"]);
    ASSERT_TRUE(reconnect && reconnect->tlv_mutableInfo());
    EXPECT_TRUE(reconnect->tlv_mutableInfo()->tlv_ssid() == Value(""));  // absent: keeps its default
    EXPECT_EQ(reconnect->tlv_deviceType(), 1);

    const auto unregister = PNWireUnregisterReq::fromData(golden["unregister_request"]);
    ASSERT_TRUE(unregister);
    EXPECT_EQ(unregister->tlv_unregInfo()->tlv_timestamp(), 1400000000u);
    EXPECT_EQ(unregister->tlv_unregInfo()->tlv_appInfo()->tlv_accessId(), kAccessId);
    EXPECT_EQ(unregister->toData(), golden["unregister_request"]);

    const auto tag = PNWireTokenTagReq::fromData(golden["token_tag_request_delete"]);
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->tlv_flag(), 2);
    EXPECT_EQ(tag->tlv_tag(), Value("vip"));

    const auto click = PNWirePushClickReq::fromData(golden["click_request"]);
    ASSERT_TRUE(click);
    ASSERT_EQ(click->tlv_msgClickList().count(), 1u);
    const auto report = click->tlv_msgClickList()[0].objectAs<PNWireClickClientReport>();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->tlv_accessId(), kAccessId);
    EXPECT_EQ(report->tlv_broadcastId(), 12345u);
    EXPECT_EQ(report->tlv_timestamp(), 1400000000u);
    EXPECT_EQ(click->toData(), golden["click_request"]);
    EXPECT_TRUE(capture.lines().empty());
}

TEST(WireRecords, ReconnectReplyWithAndWithoutItsOfflineList) {
    const auto bare = PNWireReconnectRsp::fromData(hexBytes("00 01"));
    ASSERT_TRUE(bare);
    EXPECT_TRUE(bare->tlv_appOfflinePushMsgList().isNil());

    auto message = PNWirePushMsg::object();
    message->setTlv_msgId(9);
    message->setTlv_title("标题");
    message->setTlv_ttl(-1);
    auto reply = PNWireReconnectRsp::object();
    reply->setTlv_confVersion(1);
    reply->setTlv_appOfflinePushMsgList(Value::array({Value(message), Value(PNWirePushMsg::object())}));
    reply->setTlv_timeUs(std::int64_t{1} << 40);
    const auto decoded = PNWireReconnectRsp::fromData(reply->toData());
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->tlv_appOfflinePushMsgList().count(), 2u);
    const auto first = decoded->tlv_appOfflinePushMsgList()[0].objectAs<PNWirePushMsg>();
    EXPECT_EQ(first->tlv_title(), Value("标题"));
    EXPECT_EQ(first->tlv_ttl(), -1);
    EXPECT_EQ(decoded->tlv_timeUs(), std::int64_t{1} << 40);
    EXPECT_EQ(decoded->toData(), reply->toData());
}

}  // namespace
}  // namespace lv::test
