// The push client's configuration: `PNConfig` (start values, account, token, keychain service, fixed
// reporting defaults, two user-defaults operations) and `PNSetting` (the channel and game-server labels
// of the register request). Neither is saved: both start from their defaults at every launch.
//
// Threads: the singletons are made once (thread-safe); their fields belong to the main thread, where
// the push client reaches them. The user-defaults operations may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/value.h"

namespace lv {

// The push server's host name; the TCP protocol and the HTTP channel both go there (tests send it to
// 127.0.0.1 through the host map).
inline constexpr std::string_view kPNPushServerHost = "push.lunavexa.net";

// User-defaults keys of the push client.
inline constexpr std::string_view kPNLastAccessIDKey = "LastAccessID";
inline constexpr std::string_view kPNStatDBVersionKey = "PNSTAT_DB_VER";

// Nil-able text (nil and "" are different values here).
using PNText = std::optional<std::string>;

class PNConfig {
public:
    static PNConfig& getInstance();

    // True when appId is non-zero and appkey is set; a zero appId logs " appID is not inited". Reads
    // the shared instance whatever the receiver.
    bool isStarted() const;
    // Stores the value under the key in the standard user defaults, synchronises them at once and
    // answers the synchronisation's result.
    static bool saveKeyValue(std::string_view key, const Value& value);
    // The value stored under the key, or nil.
    static Value loadValueByKey(std::string_view key);
    // Stores appId under "LastAccessID" as its (unsigned) decimal text.
    bool saveLastAccessID() const { return saveKeyValue(kPNLastAccessIDKey, Value(std::to_string(appId_))); }

    bool debugEnable() const { return debugEnable_; }
    void setDebugEnable(bool v) { debugEnable_ = v; }
    std::uint32_t sessionTimeoutSecs() const { return sessionTimeoutSecs_; }
    void setSessionTimeoutSecs(std::uint32_t v) { sessionTimeoutSecs_ = v; }
    const PNText& appkey() const { return appkey_; }
    void setAppkey(PNText v) { appkey_ = std::move(v); }
    std::uint32_t appId() const { return appId_; }
    void setAppId(std::uint32_t v) { appId_ = v; }
    const PNText& account() const { return account_; }
    void setAccount(PNText v) { account_ = std::move(v); }
    const PNText& deviceToken() const { return deviceToken_; }
    void setDeviceToken(PNText v) { deviceToken_ = std::move(v); }
    const PNText& channel() const { return channel_; }
    void setChannel(PNText v) { channel_ = std::move(v); }
    std::int32_t reportStrategy() const { return reportStrategy_; }
    void setReportStrategy(std::int32_t v) { reportStrategy_ = v; }
    std::uint32_t maxStoreEventCount() const { return maxStoreEventCount_; }
    void setMaxStoreEventCount(std::uint32_t v) { maxStoreEventCount_ = v; }
    std::uint32_t maxLoadEventCount() const { return maxLoadEventCount_; }
    void setMaxLoadEventCount(std::uint32_t v) { maxLoadEventCount_ = v; }
    std::uint32_t minBatchReportCount() const { return minBatchReportCount_; }
    void setMinBatchReportCount(std::uint32_t v) { minBatchReportCount_ = v; }
    std::uint32_t maxSendRetryCount() const { return maxSendRetryCount_; }
    void setMaxSendRetryCount(std::uint32_t v) { maxSendRetryCount_ = v; }
    std::uint32_t sendPeriodMinutes() const { return sendPeriodMinutes_; }
    void setSendPeriodMinutes(std::uint32_t v) { sendPeriodMinutes_ = v; }
    std::uint32_t maxParallelTimingEvents() const { return maxParallelTimingEvents_; }
    void setMaxParallelTimingEvents(std::uint32_t v) { maxParallelTimingEvents_ = v; }
    bool smartReporting() const { return smartReporting_; }
    void setSmartReporting(bool v) { smartReporting_ = v; }
    bool autoExceptionCaught() const { return autoExceptionCaught_; }
    void setAutoExceptionCaught(bool v) { autoExceptionCaught_ = v; }
    std::uint32_t maxReportEventLength() const { return maxReportEventLength_; }
    void setMaxReportEventLength(std::uint32_t v) { maxReportEventLength_ = v; }
    const PNText& qq() const { return qq_; }
    void setQq(PNText v) { qq_ = std::move(v); }
    const PNText& customerUserID() const { return customerUserID_; }
    void setCustomerUserID(PNText v) { customerUserID_ = std::move(v); }
    const PNText& customerAppVersion() const { return customerAppVersion_; }
    void setCustomerAppVersion(PNText v) { customerAppVersion_ = std::move(v); }
    bool needRegister() const { return needRegister_; }
    void setNeedRegister(bool v) { needRegister_ = v; }
    const PNText& keyForKeyChain() const { return keyForKeyChain_; }
    void setKeyForKeyChain(PNText v) { keyForKeyChain_ = std::move(v); }

    // A fresh configuration with the defaults (what init gives).
    PNConfig() = default;

private:
    bool debugEnable_ = false;
    std::uint32_t sessionTimeoutSecs_ = 30;
    PNText appkey_;
    std::uint32_t appId_ = 0;
    PNText account_;
    PNText deviceToken_;
    PNText channel_ = std::string("appstore");
    std::int32_t reportStrategy_ = 3;
    std::uint32_t maxStoreEventCount_ = 1024;
    std::uint32_t maxLoadEventCount_ = 30;
    std::uint32_t minBatchReportCount_ = 30;
    std::uint32_t maxSendRetryCount_ = 3;
    std::uint32_t sendPeriodMinutes_ = 1440;
    std::uint32_t maxParallelTimingEvents_ = 1024;
    bool smartReporting_ = true;
    bool autoExceptionCaught_ = true;
    std::uint32_t maxReportEventLength_ = 4096;
    PNText qq_;
    PNText customerUserID_;
    PNText customerAppVersion_;
    bool needRegister_ = true;
    PNText keyForKeyChain_;
};

class PNSetting {
public:
    static PNSetting& getInstance();

    const PNText& Channel() const { return channel_; }
    void setChannel(PNText v) { channel_ = std::move(v); }
    const PNText& GameServer() const { return gameServer_; }
    void setGameServer(PNText v) { gameServer_ = std::move(v); }

private:
    PNText channel_;
    PNText gameServer_;
};

}  // namespace lv
