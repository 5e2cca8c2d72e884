#include "push/wire_records.h"

namespace lv {

LV_TLV_RECORD_DEFINE(PNAppInfo)
const ClassInfo* PNAppInfo::runtimeClass() {
    static const ClassInfo* cls = [] {
        return TlvRecordDef<PNAppInfo>("PNAppInfo")
            .field("tlvv2_p_0_r_accessId", &PNAppInfo::accessId_)
            .field("tlvv2_p_1_r_accessKey", &PNAppInfo::accessKey_, "String")
            .field("tlvv2_p_2_r_appCert", &PNAppInfo::appCert_, "String")
            .field("tlvv2_p_3_o_keyEncrypted", &PNAppInfo::keyEncrypted_)
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNUnregInfo)
const ClassInfo* PNUnregInfo::runtimeClass() {
    static const ClassInfo* cls = [] {
        PNAppInfo::runtimeClass();
        return TlvRecordDef<PNUnregInfo>("PNUnregInfo")
            .field("tlvv2_p_0_r_appInfo", &PNUnregInfo::appInfo_, "PNAppInfo")
            .field("tlvv2_p_1_r_isUninstall", &PNUnregInfo::isUninstall_)
            .field("tlvv2_p_2_o_timestamp", &PNUnregInfo::timestamp_)
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNMutableInfo)
const ClassInfo* PNMutableInfo::runtimeClass() {
    static const ClassInfo* cls = [] {
        return TlvRecordDef<PNMutableInfo>("PNMutableInfo")
            .field("tlvv2_p_0_o_ssid", &PNMutableInfo::ssid_, "String")
            .field("tlvv2_p_1_o_bssid", &PNMutableInfo::bssid_, "String")
            .field("tlvv2_p_2_o_mac", &PNMutableInfo::mac_, "String")
            .field("tlvv2_p_3_o_wflist", &PNMutableInfo::wflist_, "String")
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNDeviceInfo)
const ClassInfo* PNDeviceInfo::runtimeClass() {
    static const ClassInfo* cls = [] {
        return TlvRecordDef<PNDeviceInfo>("PNDeviceInfo")
            .field("tlvv2_p_0_o_imei", &PNDeviceInfo::imei_, "String")
            .field("tlvv2_p_1_o_model", &PNDeviceInfo::model_, "String")
            .field("tlvv2_p_2_o_os", &PNDeviceInfo::os_, "String")
            .field("tlvv2_p_3_o_network", &PNDeviceInfo::network_, "String")
            .field("tlvv2_p_4_o_sdCard", &PNDeviceInfo::sdCard_, "String")
            .field("tlvv2_p_5_o_sdDouble", &PNDeviceInfo::sdDouble_, "String")
            .field("tlvv2_p_6_o_resolution", &PNDeviceInfo::resolution_, "String")
            .field("tlvv2_p_7_o_manu", &PNDeviceInfo::manu_, "String")
            .field("tlvv2_p_8_o_apiLevel", &PNDeviceInfo::apiLevel_, "String")
            .field("tlvv2_p_9_o_sdkVersion", &PNDeviceInfo::sdkVersion_, "String")
            .field("tlvv2_p_10_o_sdkVersionName", &PNDeviceInfo::sdkVersionName_, "String")
            .field("tlvv2_p_12_o_appList", &PNDeviceInfo::appList_, "String")
            .field("tlvv2_p_13_o_cpuInfo", &PNDeviceInfo::cpuInfo_, "String")
            .field("tlvv2_p_14_o_language", &PNDeviceInfo::language_, "String")
            .field("tlvv2_p_15_o_timezone", &PNDeviceInfo::timezone_, "String")
            .field("tlvv2_p_16_o_launcherName", &PNDeviceInfo::launcherName_, "String")
            .field("tlvv2_p_17_o_pnAppList", &PNDeviceInfo::pnAppList_, "String")
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNWireClickClientReport)
const ClassInfo* PNWireClickClientReport::runtimeClass() {
    static const ClassInfo* cls = [] {
        return TlvRecordDef<PNWireClickClientReport>("PNWireClickClientReport")
            .field("tlvv2_p_0_r_msgId", &PNWireClickClientReport::msgId_)
            .field("tlvv2_p_1_r_accessId", &PNWireClickClientReport::accessId_)
            .field("tlvv2_p_2_o_broadcastId", &PNWireClickClientReport::broadcastId_)
            .field("tlvv2_p_3_o_timestamp", &PNWireClickClientReport::timestamp_)
            .field("tlvv2_p_4_o_type", &PNWireClickClientReport::type_)
            .field("tlvv2_p_5_o_clickTime", &PNWireClickClientReport::clickTime_)
            .field("tlvv2_p_6_o_action", &PNWireClickClientReport::action_)
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNWirePushMsg)
const ClassInfo* PNWirePushMsg::runtimeClass() {
    static const ClassInfo* cls = [] {
        return TlvRecordDef<PNWirePushMsg>("PNWirePushMsg")
            .field("tlvv2_p_0_r_msgId", &PNWirePushMsg::msgId_)
            .field("tlvv2_p_1_r_accessId", &PNWirePushMsg::accessId_)
            .field("tlvv2_p_2_r_busiMsgId", &PNWirePushMsg::busiMsgId_)
            .field("tlvv2_p_3_r_title", &PNWirePushMsg::title_, "String")
            .field("tlvv2_p_4_r_content", &PNWirePushMsg::content_, "String")
            .field("tlvv2_p_5_r_type", &PNWirePushMsg::type_)
            .field("tlvv2_p_6_o_appPkgName", &PNWirePushMsg::appPkgName_, "String")
            .field("tlvv2_p_7_o_timestamp", &PNWirePushMsg::timestamp_)
            .field("tlvv2_p_8_o_multiPkg", &PNWirePushMsg::multiPkg_)
            .field("tlvv2_p_9_o_date", &PNWirePushMsg::date_, "String")
            .field("tlvv2_p_10_o_serverTime", &PNWirePushMsg::serverTime_)
            .field("tlvv2_p_11_o_ttl", &PNWirePushMsg::ttl_)
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNWirePushClientReport)
const ClassInfo* PNWirePushClientReport::runtimeClass() {
    static const ClassInfo* cls = [] {
        return TlvRecordDef<PNWirePushClientReport>("PNWirePushClientReport")
            .field("tlvv2_p_0_r_msgId", &PNWirePushClientReport::msgId_)
            .field("tlvv2_p_1_r_accessId", &PNWirePushClientReport::accessId_)
            .field("tlvv2_p_2_o_isp", &PNWirePushClientReport::isp_)
            .field("tlvv2_p_3_o_apn", &PNWirePushClientReport::apn_)
            .field("tlvv2_p_4_o_pack", &PNWirePushClientReport::pack_)
            .field("tlvv2_p_5_o_qua", &PNWirePushClientReport::qua_, "String")
            .field("tlvv2_p_6_o_locip", &PNWirePushClientReport::locip_)
            .field("tlvv2_p_7_o_locport", &PNWirePushClientReport::locport_)
            .field("tlvv2_p_8_o_serviceHost", &PNWirePushClientReport::serviceHost_, "String")
            .field("tlvv2_p_9_o_timeUs", &PNWirePushClientReport::timeUs_)
            .field("tlvv2_p_10_o_confirmMs", &PNWirePushClientReport::confirmMs_)
            .field("tlvv2_p_11_o_broadcastId", &PNWirePushClientReport::broadcastId_)
            .field("tlvv2_p_12_o_timestamp", &PNWirePushClientReport::timestamp_)
            .field("tlvv2_p_13_o_type", &PNWirePushClientReport::type_)
            .field("tlvv2_p_14_o_receiveTime", &PNWirePushClientReport::receiveTime_)
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNWireRegisterReq)
const ClassInfo* PNWireRegisterReq::runtimeClass() {
    static const ClassInfo* cls = [] {
        PNDeviceInfo::runtimeClass();
        PNMutableInfo::runtimeClass();
        return TlvRecordDef<PNWireRegisterReq>("PNWireRegisterReq")
            .field("tlvv2_p_0_r_accessId", &PNWireRegisterReq::accessId_)
            .field("tlvv2_p_1_r_accessKey", &PNWireRegisterReq::accessKey_, "String")
            .field("tlvv2_p_2_r_deviceId", &PNWireRegisterReq::deviceId_, "String")
            .field("tlvv2_p_3_r_appCert", &PNWireRegisterReq::appCert_, "String")
            .field("tlvv2_p_4_o_account", &PNWireRegisterReq::account_, "String")
            .field("tlvv2_p_5_o_ticket", &PNWireRegisterReq::ticket_, "String")
            .field("tlvv2_p_6_o_ticketType", &PNWireRegisterReq::ticketType_)
            .field("tlvv2_p_7_o_deviceType", &PNWireRegisterReq::deviceType_)
            .field("tlvv2_p_8_o_deviceInfo", &PNWireRegisterReq::deviceInfo_, "PNDeviceInfo")
            .field("tlvv2_p_9_o_token", &PNWireRegisterReq::token_, "String")
            .field("tlvv2_p_10_o_version", &PNWireRegisterReq::version_)
            .field("tlvv2_p_11_o_keyEncrypted", &PNWireRegisterReq::keyEncrypted_)
            .field("tlvv2_p_12_o_mutableInfo", &PNWireRegisterReq::mutableInfo_, "PNMutableInfo")
            .field("tlvv2_p_13_o_updateAutoTag", &PNWireRegisterReq::updateAutoTag_)
            .field("tlvv2_p_14_o_appVersion", &PNWireRegisterReq::appVersion_, "String")
            .field("tlvv2_p_15_o_reserved", &PNWireRegisterReq::reserved_, "String")
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNWireRegisterRsp)
const ClassInfo* PNWireRegisterRsp::runtimeClass() {
    static const ClassInfo* cls = [] {
        return TlvRecordDef<PNWireRegisterRsp>("PNWireRegisterRsp")
            .field("tlvv2_p_0_r_confVersion", &PNWireRegisterRsp::confVersion_)
            .field("tlvv2_p_1_r_token", &PNWireRegisterRsp::token_, "String")
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNWireReconnectReq)
const ClassInfo* PNWireReconnectReq::runtimeClass() {
    static const ClassInfo* cls = [] {
        PNMutableInfo::runtimeClass();
        PNUnregInfo::runtimeClass();
        PNWireClickClientReport::runtimeClass();
        PNWirePushClientReport::runtimeClass();
        return TlvRecordDef<PNWireReconnectReq>("PNWireReconnectReq")
            .field("tlvv2_p_0_r_token", &PNWireReconnectReq::token_, "String")
            .field("tlvv2_p_1_r_deviceId", &PNWireReconnectReq::deviceId_, "String")
            .field("tlvv2_p_2_r_networkType", &PNWireReconnectReq::networkType_)
            .field("tlvv2_p_3_o_unregInfoList__b0x9i_VOPNUnregInfo", &PNWireReconnectReq::unregInfoList_, "Array")
            .field("tlvv2_p_4_o_recvMsgList__b0x9i_VOPNWirePushClientReport", &PNWireReconnectReq::recvMsgList_,
                   "Array")
            .field("tlvv2_p_5_o_mutableInfo", &PNWireReconnectReq::mutableInfo_, "PNMutableInfo")
            .field("tlvv2_p_6_o_deviceType", &PNWireReconnectReq::deviceType_)
            .field("tlvv2_p_7_o_msgClickList__b0x9i_VOPNWireClickClientReport", &PNWireReconnectReq::msgClickList_,
                   "Array")
            .field("tlvv2_p_8_o_sdkVersion", &PNWireReconnectReq::sdkVersion_, "String")
            .field("tlvv2_p_9_o_reserved", &PNWireReconnectReq::reserved_, "String")
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNWireReconnectRsp)
const ClassInfo* PNWireReconnectRsp::runtimeClass() {
    static const ClassInfo* cls = [] {
        PNWirePushMsg::runtimeClass();
        return TlvRecordDef<PNWireReconnectRsp>("PNWireReconnectRsp")
            .field("tlvv2_p_0_r_confVersion", &PNWireReconnectRsp::confVersion_)
            .field("tlvv2_p_1_o_appOfflinePushMsgList__b0x9i_VOPNWirePushMsg",
                   &PNWireReconnectRsp::appOfflinePushMsgList_, "Array")
            .field("tlvv2_p_2_o_timeUs", &PNWireReconnectRsp::timeUs_)
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNWireUnregisterReq)
const ClassInfo* PNWireUnregisterReq::runtimeClass() {
    static const ClassInfo* cls = [] {
        PNUnregInfo::runtimeClass();
        return TlvRecordDef<PNWireUnregisterReq>("PNWireUnregisterReq")
            .field("tlvv2_p_0_r_unregInfo", &PNWireUnregisterReq::unregInfo_, "PNUnregInfo")
            .field("tlvv2_p_1_o_deviceType", &PNWireUnregisterReq::deviceType_)
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNWireUnregisterRsp)
const ClassInfo* PNWireUnregisterRsp::runtimeClass() {
    static const ClassInfo* cls = [] {
        return TlvRecordDef<PNWireUnregisterRsp>("PNWireUnregisterRsp")
            .field("tlvv2_p_0_r_unregResult", &PNWireUnregisterRsp::unregResult_)
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNWireTokenTagReq)
const ClassInfo* PNWireTokenTagReq::runtimeClass() {
    static const ClassInfo* cls = [] {
        return TlvRecordDef<PNWireTokenTagReq>("PNWireTokenTagReq")
            .field("tlvv2_p_0_r_accessId", &PNWireTokenTagReq::accessId_)
            .field("tlvv2_p_1_r_tag", &PNWireTokenTagReq::tag_, "String")
            .field("tlvv2_p_2_r_flag", &PNWireTokenTagReq::flag_)
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNWireTokenTagRsp)
const ClassInfo* PNWireTokenTagRsp::runtimeClass() {
    static const ClassInfo* cls = [] {
        return TlvRecordDef<PNWireTokenTagRsp>("PNWireTokenTagRsp")
            .field("tlvv2_p_0_o_padding", &PNWireTokenTagRsp::padding_)
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNWirePushClickReq)
const ClassInfo* PNWirePushClickReq::runtimeClass() {
    static const ClassInfo* cls = [] {
        PNWireClickClientReport::runtimeClass();
        return TlvRecordDef<PNWirePushClickReq>("PNWirePushClickReq")
            .field("tlvv2_p_1_r_msgClickList__b0x9i_VOPNWireClickClientReport", &PNWirePushClickReq::msgClickList_,
                   "Array")
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNWirePushClickRsp)
const ClassInfo* PNWirePushClickRsp::runtimeClass() {
    static const ClassInfo* cls = [] {
        return TlvRecordDef<PNWirePushClickRsp>("PNWirePushClickRsp")
            .field("tlvv2_p_0_r_padding", &PNWirePushClickRsp::padding_)
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNWirePushClientReq)
const ClassInfo* PNWirePushClientReq::runtimeClass() {
    static const ClassInfo* cls = [] {
        PNWirePushMsg::runtimeClass();
        return TlvRecordDef<PNWirePushClientReq>("PNWirePushClientReq")
            .field("tlvv2_p_0_r_msgList__b0x9i_VOPNWirePushMsg", &PNWirePushClientReq::msgList_, "Array")
            .field("tlvv2_p_1_r_timeUs", &PNWirePushClientReq::timeUs_)
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNWirePushVerifyReq)
const ClassInfo* PNWirePushVerifyReq::runtimeClass() {
    static const ClassInfo* cls = [] {
        PNWirePushClientReport::runtimeClass();
        return TlvRecordDef<PNWirePushVerifyReq>("PNWirePushVerifyReq")
            .field("tlvv2_p_1_r_msgReportList__b0x9i_VOPNWirePushClientReport", &PNWirePushVerifyReq::msgReportList_,
                   "Array")
            .registerClass();
    }();
    return cls;
}

LV_TLV_RECORD_DEFINE(PNWirePushVerifyRsp)
const ClassInfo* PNWirePushVerifyRsp::runtimeClass() {
    static const ClassInfo* cls = [] {
        return TlvRecordDef<PNWirePushVerifyRsp>("PNWirePushVerifyRsp")
            .field("tlvv2_p_0_r_padding", &PNWirePushVerifyRsp::padding_)
            .registerClass();
    }();
    return cls;
}
}  // namespace lv
