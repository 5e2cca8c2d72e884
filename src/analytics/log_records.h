// The records of the analytics log and of the server's reply, written and read with the Pack
// protocol: the log entry (TPKUALogEntry) and its parts, the reply (TPKResponse), the imprint and the
// id-tracking record. Each field has a getter, a setter that marks it set (even when given nothing),
// xIsSet and unsetX; write() emits set fields holding a value in id order, read() skips unknown ids
// and fields of another type. TPKSession's traffic (7) and TPKInstantMsg's game_events (4) are never
// set and are skipped when read. Maps are kept in key order, so equal records write equal bytes.
// Thread rule: a record is a value; one thread uses it at a time.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "analytics/detail/pack_record.h"

namespace lv {

class TPKLatent : public PackStruct<TPKLatent> {
    LV_PACK_RECORD(TPKLatent)
    LV_PACK_FIELD(std::int32_t, latency, Latency)
    LV_PACK_FIELD(std::int64_t, interval, Interval)
};

class TPKResolution : public PackStruct<TPKResolution> {
    LV_PACK_RECORD(TPKResolution)
    LV_PACK_FIELD(std::int32_t, height, Height)
    LV_PACK_FIELD(std::int32_t, width, Width)
};

class TPKPropertyValue : public PackStruct<TPKPropertyValue> {
    LV_PACK_RECORD(TPKPropertyValue)
    LV_PACK_FIELD(PackText, string_value, String_value)
    LV_PACK_FIELD(std::int64_t, long_value, Long_value)
};

class TPKImprintValue : public PackStruct<TPKImprintValue> {
    LV_PACK_RECORD(TPKImprintValue)
    LV_PACK_FIELD(PackText, value, Value)
    LV_PACK_FIELD(std::int64_t, ts, Ts)
    LV_PACK_FIELD(PackText, guid, Guid)
};

class TPKIdSnapshot : public PackStruct<TPKIdSnapshot> {
    LV_PACK_RECORD(TPKIdSnapshot)
    LV_PACK_FIELD(PackText, identity, Identity)
    LV_PACK_FIELD(std::int64_t, ts, Ts)
    LV_PACK_FIELD(std::int32_t, version, Version)
};

class TPKIdJournal : public PackStruct<TPKIdJournal> {
    LV_PACK_RECORD(TPKIdJournal)
    LV_PACK_FIELD(PackText, domain, Domain)
    LV_PACK_FIELD(PackText, old_id, Old_id)
    LV_PACK_FIELD(PackText, new_id, New_id)
    LV_PACK_FIELD(std::int64_t, ts, Ts)
};

class TPKPage : public PackStruct<TPKPage> {
    LV_PACK_RECORD(TPKPage)
    LV_PACK_FIELD(PackText, page_name, Page_name)
    LV_PACK_FIELD(std::int64_t, duration, Duration)
};

class TPKLocation : public PackStruct<TPKLocation> {
    LV_PACK_RECORD(TPKLocation)
    LV_PACK_FIELD(double, lat, Lat)
    LV_PACK_FIELD(double, lng, Lng)
    LV_PACK_FIELD(std::int64_t, ts, Ts)
};

class TPKError : public PackStruct<TPKError> {
    LV_PACK_RECORD(TPKError)
    LV_PACK_FIELD(std::int64_t, ts, Ts)
    LV_PACK_FIELD(PackText, context, Context)
    LV_PACK_FIELD(std::int32_t, source, Source)
};

class TPKEvent : public PackStruct<TPKEvent> {
    LV_PACK_RECORD(TPKEvent)
    LV_PACK_FIELD(PackText, name, Name)
    LV_PACK_FIELD(PackMap<TPKPropertyValue>, properties, Properties)
    LV_PACK_FIELD(std::int64_t, duration, Duration)
    LV_PACK_FIELD(std::int32_t, acc, Acc)
    LV_PACK_FIELD(std::int64_t, ts, Ts)
};

class TPKActivateMsg : public PackStruct<TPKActivateMsg> {
    LV_PACK_RECORD(TPKActivateMsg)
    LV_PACK_FIELD(std::int64_t, ts, Ts)
};

class TPKActiveUser : public PackStruct<TPKActiveUser> {
    LV_PACK_RECORD(TPKActiveUser)
    LV_PACK_FIELD(PackText, provider, Provider)
    LV_PACK_FIELD(PackText, puid, Puid)
};

class TPKAppInfo : public PackStruct<TPKAppInfo> {
    LV_PACK_RECORD(TPKAppInfo)
    LV_PACK_FIELD(PackText, key, Key)
    LV_PACK_FIELD(PackText, version, Version)
    LV_PACK_FIELD(std::int32_t, version_index, Version_index)
    LV_PACK_FIELD(PackText, package_name, Package_name)
    LV_PACK_FIELD(std::int32_t, sdk_type, Sdk_type)
    LV_PACK_FIELD(PackText, sdk_version, Sdk_version)
    LV_PACK_FIELD(PackText, channel, Channel)
    LV_PACK_FIELD(PackText, wrapper_type, Wrapper_type)
    LV_PACK_FIELD(PackText, wrapper_version, Wrapper_version)
    LV_PACK_FIELD(std::int32_t, vertical_type, Vertical_type)
};

class TPKClientStats : public PackStruct<TPKClientStats> {
    LV_PACK_RECORD(TPKClientStats)
    LV_PACK_FIELD(std::int32_t, successful_requests, Successful_requests)
    LV_PACK_FIELD(std::int32_t, failed_requests, Failed_requests)
    LV_PACK_FIELD(std::int32_t, last_request_spent_ms, Last_request_spent_ms)
};

class TPKControlPolicy : public PackStruct<TPKControlPolicy> {
    LV_PACK_RECORD(TPKControlPolicy)
    LV_PACK_FIELD(std::optional<TPKLatent>, latent, Latent)
};

class TPKDeviceInfo : public PackStruct<TPKDeviceInfo> {
    LV_PACK_RECORD(TPKDeviceInfo)
    LV_PACK_FIELD(PackText, device_id, Device_id)
    LV_PACK_FIELD(PackText, idmd5, Idmd5)
    LV_PACK_FIELD(PackText, mac_address, Mac_address)
    LV_PACK_FIELD(PackText, device_uid, Device_uid)
    LV_PACK_FIELD(PackText, model, Model)
    LV_PACK_FIELD(PackText, cpu, Cpu)
    LV_PACK_FIELD(PackText, os, Os)
    LV_PACK_FIELD(PackText, os_version, Os_version)
    LV_PACK_FIELD(std::optional<TPKResolution>, resolution, Resolution)
    LV_PACK_FIELD(PackText, device_board, Device_board)
    LV_PACK_FIELD(PackText, device_brand, Device_brand)
    LV_PACK_FIELD(std::int64_t, device_manutime, Device_manutime)
    LV_PACK_FIELD(PackText, device_manufacturer, Device_manufacturer)
    LV_PACK_FIELD(PackText, device_manuid, Device_manuid)
    LV_PACK_FIELD(PackText, device_name, Device_name)
};

class TPKImprint : public PackStruct<TPKImprint> {
    LV_PACK_RECORD(TPKImprint)
    LV_PACK_FIELD(PackMap<TPKImprintValue>, property, Property)
    LV_PACK_FIELD(std::int32_t, version, Version)
    LV_PACK_FIELD(PackText, checksum, Checksum)
};

class TPKIdTracking : public PackStruct<TPKIdTracking> {
    LV_PACK_RECORD(TPKIdTracking)
    LV_PACK_FIELD(PackMap<TPKIdSnapshot>, snapshots, Snapshots)
    LV_PACK_FIELD(PackList<TPKIdJournal>, journals, Journals)
    LV_PACK_FIELD(PackText, checksum, Checksum)
};

class TPKInstantMsg : public PackStruct<TPKInstantMsg> {
    LV_PACK_RECORD(TPKInstantMsg)
    LV_PACK_FIELD(PackText, id, Id)
    LV_PACK_FIELD(PackList<TPKError>, errors, Errors)
    LV_PACK_FIELD(PackList<TPKEvent>, events, Events)
};

class TPKMiscInfo : public PackStruct<TPKMiscInfo> {
    LV_PACK_RECORD(TPKMiscInfo)
    LV_PACK_FIELD(std::int32_t, time_zone, Time_zone)
    LV_PACK_FIELD(PackText, language, Language)
    LV_PACK_FIELD(PackText, country, Country)
    LV_PACK_FIELD(double, latitude, Latitude)
    LV_PACK_FIELD(double, longitude, Longitude)
    LV_PACK_FIELD(PackText, carrier, Carrier)
    LV_PACK_FIELD(std::int32_t, latency, Latency)
    LV_PACK_FIELD(PackText, display_name, Display_name)
    LV_PACK_FIELD(std::int32_t, access_type, Access_type)
    LV_PACK_FIELD(PackText, access_subtype, Access_subtype)
};

class TPKResponse : public PackStruct<TPKResponse> {
    LV_PACK_RECORD(TPKResponse)
    LV_PACK_FIELD(std::int32_t, resp_code, Resp_code)
    LV_PACK_FIELD(PackText, msg, Msg)
    LV_PACK_FIELD(std::optional<TPKImprint>, imprint, Imprint)
};

class TPKSession : public PackStruct<TPKSession> {
    LV_PACK_RECORD(TPKSession)
    LV_PACK_FIELD(PackText, id, Id)
    LV_PACK_FIELD(std::int64_t, start_time, Start_time)
    LV_PACK_FIELD(std::int64_t, end_time, End_time)
    LV_PACK_FIELD(std::int64_t, duration, Duration)
    LV_PACK_FIELD(PackList<TPKPage>, pages, Pages)
    LV_PACK_FIELD(PackList<TPKLocation>, locations, Locations)
};

class TPKUALogEntry : public PackStruct<TPKUALogEntry> {
    LV_PACK_RECORD(TPKUALogEntry)
    LV_PACK_FIELD(std::optional<TPKClientStats>, client_stats, Client_stats)
    LV_PACK_FIELD(std::optional<TPKAppInfo>, app_info, App_info)
    LV_PACK_FIELD(std::optional<TPKDeviceInfo>, device_info, Device_info)
    LV_PACK_FIELD(std::optional<TPKMiscInfo>, misc_info, Misc_info)
    LV_PACK_FIELD(std::optional<TPKActivateMsg>, activate_msg, Activate_msg)
    LV_PACK_FIELD(PackList<TPKInstantMsg>, instant_msgs, Instant_msgs)
    LV_PACK_FIELD(PackList<TPKSession>, sessions, Sessions)
    LV_PACK_FIELD(std::optional<TPKImprint>, imprint, Imprint)
    LV_PACK_FIELD(std::optional<TPKIdTracking>, id_tracking, Id_tracking)
    LV_PACK_FIELD(std::optional<TPKActiveUser>, active_user, Active_user)
    LV_PACK_FIELD(std::optional<TPKControlPolicy>, control_policy, Control_policy)
    LV_PACK_FIELD(PackMap<std::int32_t>, group_info, Group_info)
};

// Convenience makers matching the records' initialisers.
TPKLocation makeLocation(double lat, double lng, std::int64_t ts);
TPKResolution makeResolution(std::int32_t height, std::int32_t width);

}  // namespace lv
