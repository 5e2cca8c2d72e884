// The push client's toolbox: `PNHelper` (gzip and gunzip of byte buffers, the Wi-Fi and MAC facts of
// "en0", MD5 text, the registration database's time text, JSON text conversion, app version and
// language, the simulator test, the company domain) and `PNEnv`, the device-environment model it
// holds (left empty).
//
// Threads: every helper may be called from any thread and keeps no shared state; the shared instance
// is made once (thread-safe). Device and interface facts come from the platform's device facts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/value.h"
#include "push/push_config.h"

namespace lv {

// Gunzip output beyond this many bytes is refused.
inline constexpr std::size_t kPNGunzipLimit = 16u << 20;

class PNEnv {
public:
#define LV_PNENV_FIELD(name, Name)                 \
    const PNText& name() const { return name##_; } \
    void set##Name(PNText v) { name##_ = std::move(v); }
    LV_PNENV_FIELD(platform, Platform)
    LV_PNENV_FIELD(os_version, Os_version)
    LV_PNENV_FIELD(language, Language)
    LV_PNENV_FIELD(resolution, Resolution)
    LV_PNENV_FIELD(deviceid, Deviceid)
    LV_PNENV_FIELD(mccmnc, Mccmnc)
    LV_PNENV_FIELD(timezone, Timezone)
    LV_PNENV_FIELD(app_name, App_name)
    LV_PNENV_FIELD(app_version, App_version)
    LV_PNENV_FIELD(sdk_version, Sdk_version)
    LV_PNENV_FIELD(devicename, Devicename)
    LV_PNENV_FIELD(modulename, Modulename)
    LV_PNENV_FIELD(ifa, Ifa)  // a UUID, as its text
    LV_PNENV_FIELD(ifv, Ifv)  // a UUID, as its text
#undef LV_PNENV_FIELD

private:
    PNText platform_, os_version_, language_, resolution_, deviceid_, mccmnc_, timezone_, app_name_, app_version_,
        sdk_version_, devicename_, modulename_, ifa_, ifv_;
};

class PNHelper {
public:
    static PNHelper& getInstance();

    // gzip compression (zlib: default level, method 8, window bits 31, memory level 8): 0 and the
    // bytes in *out; -1 (out untouched) for empty input or no out.
    static int GZip(const Bytes& input, Bytes* out);
    // gzip or zlib decompression (window bits 47): 0 and the bytes in *out; -1 (out untouched) for
    // empty input, no out, a damaged or truncated stream, or output beyond kPNGunzipLimit.
    static int GUnzip(const Bytes& input, Bytes* out);
    // YES when an interface named "en0" has an IPv4 address and is not loopback.
    static bool isWiFiAvailable();
    // "en0"'s MAC address as "%02X:%02X:%02X:%02X:%02X:%02X", or the failure text (logged as
    // "Error: %@"): "if_nametoindex failure" without "en0", "sysctl msgBuffer failure" when it has none.
    static std::string getMacAddress();

    PNEnv& getEnv() { return env_; }
    // Compact JSON text of a dictionary or array; "" (and "error json format") otherwise.
    std::string getJson(const Value& object) const;
    // The dictionary or array of the JSON text (fragments allowed), or nil.
    Value json2Obj(std::string_view text) const;
    // The hardware machine name, e.g. "x86_64".
    std::string DeviceTypeName() const;
    // YES when the machine name is "x86_64", "i386" or "i586".
    bool IsSimulatorDevice() const;
    // "CFBundleShortVersionString", else "CFBundleVersion", else "unknown".
    std::string getAppVersion() const;
    // {"SSID": …, "BSSID": …}; this platform has no captive-network facts, so both are "Not Found".
    Dictionary fetchSSIDInfo() const;
    // The MD5 of every byte of the text, as 32 lower-case hexadecimal digits.
    std::string md5(std::string_view text) const;
    // Local time as "yyyy-MM-dd HH:mm:ss" (device locale and time zone).
    std::string getCurrentTime() const;
    std::string timeToStr(const Date& date) const;
    // The date of a text in that form (the whole text must match), else nothing.
    std::optional<Date> strToTime(std::string_view text) const;
    // Whole seconds from start to end, truncated toward zero (negative when end is earlier).
    std::int32_t secondsBetweenTimes(const Date& start, const Date& end) const;
    // Element 0 of "AppleLanguages", or nil.
    PNText getLanguage() const;
    // "CFBundleIdentifier" without its last dot-separated component (unchanged without a dot); nil
    // when the bundle has none.
    PNText getCompanyDomain() const;

private:
    PNEnv env_;
};

}  // namespace lv
