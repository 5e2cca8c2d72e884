#include "analytics/log_records.h"

namespace lv {

LV_PACK_TABLE(TPKLatent,
    packField<&TPKLatent::latency_>(1, "latency"),
    packField<&TPKLatent::interval_>(2, "interval"))

LV_PACK_TABLE(TPKResolution,
    packField<&TPKResolution::height_>(1, "height"),
    packField<&TPKResolution::width_>(2, "width"))

LV_PACK_TABLE(TPKPropertyValue,
    packField<&TPKPropertyValue::string_value_>(1, "string_value"),
    packField<&TPKPropertyValue::long_value_>(2, "long_value"))

LV_PACK_TABLE(TPKImprintValue,
    packField<&TPKImprintValue::value_>(1, "value"),
    packField<&TPKImprintValue::ts_>(2, "ts"),
    packField<&TPKImprintValue::guid_>(3, "guid"))

LV_PACK_TABLE(TPKIdSnapshot,
    packField<&TPKIdSnapshot::identity_>(1, "identity"),
    packField<&TPKIdSnapshot::ts_>(2, "ts"),
    packField<&TPKIdSnapshot::version_>(3, "version"))

LV_PACK_TABLE(TPKIdJournal,
    packField<&TPKIdJournal::domain_>(1, "domain"),
    packField<&TPKIdJournal::old_id_>(2, "old_id"),
    packField<&TPKIdJournal::new_id_>(3, "new_id"),
    packField<&TPKIdJournal::ts_>(4, "ts"))

LV_PACK_TABLE(TPKPage,
    packField<&TPKPage::page_name_>(1, "page_name"),
    packField<&TPKPage::duration_>(2, "duration"))

LV_PACK_TABLE(TPKLocation,
    packField<&TPKLocation::lat_>(1, "lat"),
    packField<&TPKLocation::lng_>(2, "lng"),
    packField<&TPKLocation::ts_>(3, "ts"))

LV_PACK_TABLE(TPKError,
    packField<&TPKError::ts_>(1, "ts"),
    packField<&TPKError::context_>(2, "context"),
    packField<&TPKError::source_>(3, "source"))

LV_PACK_TABLE(TPKEvent,
    packField<&TPKEvent::name_>(1, "name"),
    packField<&TPKEvent::properties_>(2, "properties"),
    packField<&TPKEvent::duration_>(3, "duration"),
    packField<&TPKEvent::acc_>(4, "acc"),
    packField<&TPKEvent::ts_>(5, "ts"))

LV_PACK_TABLE(TPKActivateMsg,
    packField<&TPKActivateMsg::ts_>(1, "ts"))

LV_PACK_TABLE(TPKActiveUser,
    packField<&TPKActiveUser::provider_>(1, "provider"),
    packField<&TPKActiveUser::puid_>(2, "puid"))

LV_PACK_TABLE(TPKAppInfo,
    packField<&TPKAppInfo::key_>(1, "key"),
    packField<&TPKAppInfo::version_>(2, "version"),
    packField<&TPKAppInfo::version_index_>(3, "version_index"),
    packField<&TPKAppInfo::package_name_>(4, "package_name"),
    packField<&TPKAppInfo::sdk_type_>(5, "sdk_type"),
    packField<&TPKAppInfo::sdk_version_>(6, "sdk_version"),
    packField<&TPKAppInfo::channel_>(7, "channel"),
    packField<&TPKAppInfo::wrapper_type_>(8, "wrapper_type"),
    packField<&TPKAppInfo::wrapper_version_>(9, "wrapper_version"),
    packField<&TPKAppInfo::vertical_type_>(10, "vertical_type"))

LV_PACK_TABLE(TPKClientStats,
    packField<&TPKClientStats::successful_requests_>(1, "successful_requests"),
    packField<&TPKClientStats::failed_requests_>(2, "failed_requests"),
    packField<&TPKClientStats::last_request_spent_ms_>(3, "last_request_spent_ms"))

LV_PACK_TABLE(TPKControlPolicy,
    packField<&TPKControlPolicy::latent_>(1, "latent"))

LV_PACK_TABLE(TPKDeviceInfo,
    packField<&TPKDeviceInfo::device_id_>(1, "device_id"),
    packField<&TPKDeviceInfo::idmd5_>(2, "idmd5"),
    packField<&TPKDeviceInfo::mac_address_>(3, "mac_address"),
    packField<&TPKDeviceInfo::device_uid_>(4, "device_uid"),
    packField<&TPKDeviceInfo::model_>(5, "model"),
    packField<&TPKDeviceInfo::cpu_>(6, "cpu"),
    packField<&TPKDeviceInfo::os_>(7, "os"),
    packField<&TPKDeviceInfo::os_version_>(8, "os_version"),
    packField<&TPKDeviceInfo::resolution_>(9, "resolution"),
    packField<&TPKDeviceInfo::device_board_>(12, "device_board"),
    packField<&TPKDeviceInfo::device_brand_>(13, "device_brand"),
    packField<&TPKDeviceInfo::device_manutime_>(14, "device_manutime"),
    packField<&TPKDeviceInfo::device_manufacturer_>(15, "device_manufacturer"),
    packField<&TPKDeviceInfo::device_manuid_>(16, "device_manuid"),
    packField<&TPKDeviceInfo::device_name_>(17, "device_name"))

LV_PACK_TABLE(TPKImprint,
    packField<&TPKImprint::property_>(1, "property"),
    packField<&TPKImprint::version_>(2, "version"),
    packField<&TPKImprint::checksum_>(3, "checksum"))

LV_PACK_TABLE(TPKIdTracking,
    packField<&TPKIdTracking::snapshots_>(1, "snapshots"),
    packField<&TPKIdTracking::journals_>(2, "journals"),
    packField<&TPKIdTracking::checksum_>(3, "checksum"))

LV_PACK_TABLE(TPKInstantMsg,
    packField<&TPKInstantMsg::id_>(1, "id"),
    packField<&TPKInstantMsg::errors_>(2, "errors"),
    packField<&TPKInstantMsg::events_>(3, "events"))

LV_PACK_TABLE(TPKMiscInfo,
    packField<&TPKMiscInfo::time_zone_>(1, "time_zone"),
    packField<&TPKMiscInfo::language_>(2, "language"),
    packField<&TPKMiscInfo::country_>(3, "country"),
    packField<&TPKMiscInfo::latitude_>(4, "latitude"),
    packField<&TPKMiscInfo::longitude_>(5, "longitude"),
    packField<&TPKMiscInfo::carrier_>(6, "carrier"),
    packField<&TPKMiscInfo::latency_>(7, "latency"),
    packField<&TPKMiscInfo::display_name_>(8, "display_name"),
    packField<&TPKMiscInfo::access_type_>(9, "access_type"),
    packField<&TPKMiscInfo::access_subtype_>(10, "access_subtype"))

LV_PACK_TABLE(TPKResponse,
    packField<&TPKResponse::resp_code_>(1, "resp_code"),
    packField<&TPKResponse::msg_>(2, "msg"),
    packField<&TPKResponse::imprint_>(3, "imprint"))

LV_PACK_TABLE(TPKSession,
    packField<&TPKSession::id_>(1, "id"),
    packField<&TPKSession::start_time_>(2, "start_time"),
    packField<&TPKSession::end_time_>(3, "end_time"),
    packField<&TPKSession::duration_>(4, "duration"),
    packField<&TPKSession::pages_>(5, "pages"),
    packField<&TPKSession::locations_>(6, "locations"))

LV_PACK_TABLE(TPKUALogEntry,
    packField<&TPKUALogEntry::client_stats_>(1, "client_stats"),
    packField<&TPKUALogEntry::app_info_>(2, "app_info"),
    packField<&TPKUALogEntry::device_info_>(3, "device_info"),
    packField<&TPKUALogEntry::misc_info_>(4, "misc_info"),
    packField<&TPKUALogEntry::activate_msg_>(5, "activate_msg"),
    packField<&TPKUALogEntry::instant_msgs_>(6, "instant_msgs"),
    packField<&TPKUALogEntry::sessions_>(7, "sessions"),
    packField<&TPKUALogEntry::imprint_>(8, "imprint"),
    packField<&TPKUALogEntry::id_tracking_>(9, "id_tracking"),
    packField<&TPKUALogEntry::active_user_>(10, "active_user"),
    packField<&TPKUALogEntry::control_policy_>(11, "control_policy"),
    packField<&TPKUALogEntry::group_info_>(12, "group_info"))

TPKLocation makeLocation(double lat, double lng, std::int64_t ts) {
    TPKLocation location;
    location.setLat(lat);
    location.setLng(lng);
    location.setTs(ts);
    return location;
}

TPKResolution makeResolution(std::int32_t height, std::int32_t width) {
    TPKResolution resolution;
    resolution.setHeight(height);
    resolution.setWidth(width);
    return resolution;
}

}  // namespace lv
