// The analytics client's settings object (TallyApp): key, channel, version, the switches, the report
// policy and send interval worked out from the caller, the user defaults and the server's imprint,
// and the one background task that keeps uploads running. Also the stored imprint's look-up
// (TallyPack::imprintPropertyValueWithKey), which the policy and interval read.
//
// Threads: any thread. Each TallyApp guards its fields with its own lock, never held while calling
// out (user defaults, imprint, application). The background task is begun from any thread and ended
// on the main queue.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

class TallyPack {
public:
    // The stored imprint's ("tlyImprint", read afresh on each call, checksum not checked) value for
    // the key; nothing when no imprint is stored, the key is absent or its value unset. A damaged
    // imprint logs "Exception occurred: %@, %@" and what was read before the damage is used.
    static std::optional<std::string> imprintPropertyValueWithKey(std::string_view key);
};

class TallyApp : public Object {
public:
    // A settings object with the defaults: channel "App Store", log, encryption and the crash-handler
    // mark off, background work and crash capture on, the bundle's "CFBundleVersion", the current
    // minimum report interval and the stored "appkey" (when not empty).
    TallyApp();

    // The one shared object, made on first use.
    static Ref<TallyApp> sharedInstance();

    // The imprint's "integrated_test" has integer value 1.
    static bool isIntegratedTestModel();
    // Seconds between uploads under policy 6: within [90, 86400], else 90.
    static double minReportInterval();
    // 1, 6 and 8 unchanged; 0 only in integrated-test mode; everything else 1.
    static std::int32_t verifyReportPolicy(std::int32_t policy);

    // Setters on the shared object.
    static void setEncryptEnabled(bool enabled);
    static void setBackgroundTaskEnabled(bool enabled);
    static void setLogEnabled(bool enabled);
    // Sets the flag; switching on the first time (or again after off) installs crash capture once and
    // observes "TallyCrashCatch"; switching off stops observing and leaves the handlers installed.
    static void setCrashReportEnabled(bool enabled);
    // Ignores an empty or blank text.
    static void setAppVersion(std::string_view version);

    bool crashReportEnabled() const;
    void setCrashReportEnabledFlag(bool enabled);
    bool backgroundTaskEnabled() const;
    void setBackgroundTaskEnabledFlag(bool enabled);
    // The process-wide switch of TLYAnalyticsLog.
    bool logEnabled() const;
    void setLogEnabledFlag(bool enabled);
    double logSendInterval() const;
    void setLogSendInterval(double seconds);
    std::uint64_t backgroundTaskIdentifier() const;
    std::string appVersion() const;
    void setAppVersionText(std::string version);
    std::string channel() const;
    void setChannel(std::string channel);
    bool encryptEnabled() const;
    void setEncryptEnabledFlag(bool enabled);
    bool appCrashedHandlerInstalled() const;
    void setAppCrashedHandlerInstalled(bool installed);
    std::string appid() const;
    void setAppid(std::string appid);

    // The policy in force: "tlyExperimentRPT" (outside integrated-test mode), else the imprint's
    // "report_policy", the defaults' "report_policy", "tlycReportPolicy", else the last one; mapped by
    // verifyReportPolicy and kept.
    std::int32_t reportPolicy() const;
    // Begins the background task when background work is on and none is running; its expiry ends it
    // on the main queue.
    void activeBackgroundTask();
    // Ends the running background task (on the main queue) and stores the invalid identifier; nothing
    // when none runs (after expiry, say).
    void endBackgroundTask();

    // Printed whatever the log switch says.
    void noAppKeyException() const;
    std::string description() const override;

private:
    void endTaskOnMain();

    mutable std::mutex mutex_;
    bool crashReportEnabled_ = true;
    bool backgroundTaskEnabled_ = true;
    double logSendInterval_ = 90;
    std::uint64_t backgroundTaskIdentifier_ = 0;
    std::string appVersion_;
    std::string channel_ = "App Store";
    mutable std::int32_t reportPolicy_ = 0;  // the last policy worked out
    bool encryptEnabled_ = false;
    bool appCrashedHandlerInstalled_ = false;
    std::string appid_;
};

}  // namespace lv
