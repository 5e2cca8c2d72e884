// The push protocol's twenty records. Each declares its fields (tag, required or optional, width,
// Default) as reflective record fields; encoding, decoding and field order are PNTlvObjectV2's. Text
// Fields start as "" and lists and nested records as none, except required lists (empty) and required
// Nested records (a fresh instance). Every class answers its type name,
// "PNWIRE_CLIENT_PROTOCOL." + its name without "PN".
//
// Accessors: tlv_<name>() and setTlv_<name>(v). Text and list fields are Values (nil = none, a list is
// An Array of records in the object slot); nested records are Refs (nullptr = none).
//
// Threads: a record is used by one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "push/tlv_object_v2.h"

namespace lv {

// The application's credentials; nested in PNUnregInfo.
class PNAppInfo final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNAppInfo, "PNWIRE_CLIENT_PROTOCOL.AppInfo")
    LV_TLV_SCALAR(std::uint32_t, accessId)
    LV_TLV_VALUE(accessKey, tlvEmptyText())
    LV_TLV_VALUE(appCert, tlvEmptyText())
    LV_TLV_SCALAR(std::int8_t, keyEncrypted)
};

// One unregistration; nested in the unregister request, element of the reconnect request's list.
class PNUnregInfo final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNUnregInfo, "PNWIRE_CLIENT_PROTOCOL.UnregInfo")
    LV_TLV_NESTED(PNAppInfo, appInfo, makeRef<PNAppInfo>())
    LV_TLV_SCALAR(std::int8_t, isUninstall)
    LV_TLV_SCALAR(std::uint32_t, timestamp)
};

// Network facts of the device; nested in the register and reconnect requests.
class PNMutableInfo final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNMutableInfo, "PNWIRE_CLIENT_PROTOCOL.MutableInfo")
    LV_TLV_VALUE(ssid, tlvEmptyText())
    LV_TLV_VALUE(bssid, tlvEmptyText())
    LV_TLV_VALUE(mac, tlvEmptyText())
    LV_TLV_VALUE(wflist, tlvEmptyText())
};

// Device facts; nested in the register request (there is no tag 11).
class PNDeviceInfo final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNDeviceInfo, "PNWIRE_CLIENT_PROTOCOL.DeviceInfo")
    LV_TLV_VALUE(imei, tlvEmptyText())
    LV_TLV_VALUE(model, tlvEmptyText())
    LV_TLV_VALUE(os, tlvEmptyText())
    LV_TLV_VALUE(network, tlvEmptyText())
    LV_TLV_VALUE(sdCard, tlvEmptyText())
    LV_TLV_VALUE(sdDouble, tlvEmptyText())
    LV_TLV_VALUE(resolution, tlvEmptyText())
    LV_TLV_VALUE(manu, tlvEmptyText())
    LV_TLV_VALUE(apiLevel, tlvEmptyText())
    LV_TLV_VALUE(sdkVersion, tlvEmptyText())
    LV_TLV_VALUE(sdkVersionName, tlvEmptyText())
    LV_TLV_VALUE(appList, tlvEmptyText())
    LV_TLV_VALUE(cpuInfo, tlvEmptyText())
    LV_TLV_VALUE(language, tlvEmptyText())
    LV_TLV_VALUE(timezone, tlvEmptyText())
    LV_TLV_VALUE(launcherName, tlvEmptyText())
    LV_TLV_VALUE(pnAppList, tlvEmptyText())
};

// One click report; element of the click lists.
class PNWireClickClientReport final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNWireClickClientReport, "PNWIRE_CLIENT_PROTOCOL.WireClickClientReport")
    LV_TLV_SCALAR(std::uint32_t, msgId)
    LV_TLV_SCALAR(std::uint32_t, accessId)
    LV_TLV_SCALAR(std::uint32_t, broadcastId)
    LV_TLV_SCALAR(std::uint32_t, timestamp)
    LV_TLV_SCALAR(std::uint32_t, type)
    LV_TLV_SCALAR(std::uint32_t, clickTime)
    LV_TLV_SCALAR(std::uint32_t, action)
};

// One push message; element of the reconnect reply's offline list and of the push-client request.
class PNWirePushMsg final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNWirePushMsg, "PNWIRE_CLIENT_PROTOCOL.WirePushMsg")
    LV_TLV_SCALAR(std::uint32_t, msgId)
    LV_TLV_SCALAR(std::uint32_t, accessId)
    LV_TLV_SCALAR(std::uint32_t, busiMsgId)
    LV_TLV_VALUE(title, tlvEmptyText())
    LV_TLV_VALUE(content, tlvEmptyText())
    LV_TLV_SCALAR(std::uint32_t, type)
    LV_TLV_VALUE(appPkgName, tlvEmptyText())
    LV_TLV_SCALAR(std::uint32_t, timestamp)
    LV_TLV_SCALAR(std::uint32_t, multiPkg)
    LV_TLV_VALUE(date, tlvEmptyText())
    LV_TLV_SCALAR(std::uint32_t, serverTime)
    LV_TLV_SCALAR(std::int32_t, ttl)
};

// One receipt report; element of the verify and reconnect requests' lists.
class PNWirePushClientReport final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNWirePushClientReport, "PNWIRE_CLIENT_PROTOCOL.WirePushClientReport")
    LV_TLV_SCALAR(std::uint32_t, msgId)
    LV_TLV_SCALAR(std::uint32_t, accessId)
    LV_TLV_SCALAR(std::int8_t, isp)
    LV_TLV_SCALAR(std::int8_t, apn)
    LV_TLV_SCALAR(std::int8_t, pack)
    LV_TLV_VALUE(qua, tlvEmptyText())
    LV_TLV_SCALAR(std::uint32_t, locip)
    LV_TLV_SCALAR(std::uint16_t, locport)
    LV_TLV_VALUE(serviceHost, tlvEmptyText())
    LV_TLV_SCALAR(std::int64_t, timeUs)
    LV_TLV_SCALAR(std::uint32_t, confirmMs)
    LV_TLV_SCALAR(std::uint32_t, broadcastId)
    LV_TLV_SCALAR(std::uint32_t, timestamp)
    LV_TLV_SCALAR(std::uint32_t, type)
    LV_TLV_SCALAR(std::uint32_t, receiveTime)
};

// Body of the register command (4).
class PNWireRegisterReq final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNWireRegisterReq, "PNWIRE_CLIENT_PROTOCOL.WireRegisterReq")
    LV_TLV_SCALAR(std::uint32_t, accessId)
    LV_TLV_VALUE(accessKey, tlvEmptyText())
    LV_TLV_VALUE(deviceId, tlvEmptyText())
    LV_TLV_VALUE(appCert, tlvEmptyText())
    LV_TLV_VALUE(account, tlvEmptyText())
    LV_TLV_VALUE(ticket, tlvEmptyText())
    LV_TLV_SCALAR(std::uint8_t, ticketType)
    LV_TLV_SCALAR(std::uint8_t, deviceType)
    LV_TLV_NESTED(PNDeviceInfo, deviceInfo, nullptr)
    LV_TLV_VALUE(token, tlvEmptyText())
    LV_TLV_SCALAR(std::uint8_t, version)
    LV_TLV_SCALAR(std::int8_t, keyEncrypted)
    LV_TLV_NESTED(PNMutableInfo, mutableInfo, nullptr)
    LV_TLV_SCALAR(std::uint8_t, updateAutoTag)
    LV_TLV_VALUE(appVersion, tlvEmptyText())
    LV_TLV_VALUE(reserved, tlvEmptyText())
};

// Register reply.
class PNWireRegisterRsp final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNWireRegisterRsp, "PNWIRE_CLIENT_PROTOCOL.WireRegisterRsp")
    LV_TLV_SCALAR(std::uint32_t, confVersion)
    LV_TLV_VALUE(token, tlvEmptyText())
};

// Body of the reconnect command (6), the first frame of the unregister, tag and click connections.
class PNWireReconnectReq final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNWireReconnectReq, "PNWIRE_CLIENT_PROTOCOL.WireReconnectReq")
    LV_TLV_VALUE(token, tlvEmptyText())
    LV_TLV_VALUE(deviceId, tlvEmptyText())
    LV_TLV_SCALAR(std::uint8_t, networkType)
    LV_TLV_VALUE(unregInfoList, Value())
    LV_TLV_VALUE(recvMsgList, Value())
    LV_TLV_NESTED(PNMutableInfo, mutableInfo, nullptr)
    LV_TLV_SCALAR(std::uint8_t, deviceType)
    LV_TLV_VALUE(msgClickList, Value())
    LV_TLV_VALUE(sdkVersion, tlvEmptyText())
    LV_TLV_VALUE(reserved, tlvEmptyText())
};

// Reply to the reconnect frame.
class PNWireReconnectRsp final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNWireReconnectRsp, "PNWIRE_CLIENT_PROTOCOL.WireReconnectRsp")
    LV_TLV_SCALAR(std::uint32_t, confVersion)
    LV_TLV_VALUE(appOfflinePushMsgList, Value())
    LV_TLV_SCALAR(std::int64_t, timeUs)
};

// Body of the unregister command (5).
class PNWireUnregisterReq final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNWireUnregisterReq, "PNWIRE_CLIENT_PROTOCOL.WireUnregisterReq")
    LV_TLV_NESTED(PNUnregInfo, unregInfo, makeRef<PNUnregInfo>())
    LV_TLV_SCALAR(std::uint8_t, deviceType)
};

// Unregister reply.
class PNWireUnregisterRsp final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNWireUnregisterRsp, "PNWIRE_CLIENT_PROTOCOL.WireUnregisterRsp")
    LV_TLV_SCALAR(std::int8_t, unregResult)
};

// Body of the token-tag command (15).
class PNWireTokenTagReq final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNWireTokenTagReq, "PNWIRE_CLIENT_PROTOCOL.WireTokenTagReq")
    LV_TLV_SCALAR(std::uint32_t, accessId)
    LV_TLV_VALUE(tag, tlvEmptyText())
    LV_TLV_SCALAR(std::int32_t, flag)
};

// Token-tag reply.
class PNWireTokenTagRsp final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNWireTokenTagRsp, "PNWIRE_CLIENT_PROTOCOL.WireTokenTagRsp")
    LV_TLV_SCALAR(std::int8_t, padding)
};

// Body of the push-click command (16); its only field has tag 1.
class PNWirePushClickReq final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNWirePushClickReq, "PNWIRE_CLIENT_PROTOCOL.WirePushClickReq")
    LV_TLV_VALUE(msgClickList, tlvEmptyList())
};

// Push-click reply.
class PNWirePushClickRsp final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNWirePushClickRsp, "PNWIRE_CLIENT_PROTOCOL.WirePushClickRsp")
    LV_TLV_SCALAR(std::int8_t, padding)
};

// Message delivery record.
class PNWirePushClientReq final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNWirePushClientReq, "PNWIRE_CLIENT_PROTOCOL.WirePushClientReq")
    LV_TLV_VALUE(msgList, tlvEmptyList())
    LV_TLV_SCALAR(std::int64_t, timeUs)
};

// Receipt verification request; its only field has tag 1.
class PNWirePushVerifyReq final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNWirePushVerifyReq, "PNWIRE_CLIENT_PROTOCOL.WirePushVerifyReq")
    LV_TLV_VALUE(msgReportList, tlvEmptyList())
};

// Receipt verification reply.
class PNWirePushVerifyRsp final : public PNTlvObjectV2 {
    LV_TLV_RECORD(PNWirePushVerifyRsp, "PNWIRE_CLIENT_PROTOCOL.WirePushVerifyRsp")
    LV_TLV_SCALAR(std::int8_t, padding)
};
}  // namespace lv
