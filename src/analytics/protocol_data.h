// The facts about the device and the app that the analytics client reports (TLYProtocolData), read
// from the platform's device facts, locale, time zone, bundle and sandbox, and the install's DeviceUID
// (TLYDeviceUID). Every fact is a text; a missing one is "".
//
// Threads: any thread. The DeviceUID is made under a lock, so two first callers get the same value.
#pragma once

#include <string>

namespace lv {

class TLYProtocolData {
public:
    static std::string countryString();
    static std::string languageString();
    // The hardware machine name ("x86_64").
    static std::string deviceModelString();
    static std::string osString() { return "iOS"; }
    static std::string osVersionString();
    // "%ld" of the hours east of GMT, truncated toward zero.
    static std::string timezoneString();
    // "%d x %d": the screen's pixel height and width.
    static std::string resolutionString();
    // "WiFi" on a simulator (model "iPhone Simulator", machine "x86_64" or "i386") or when an up,
    // non-loopback IPv4 interface "en0" exists; "CellNetwork" when only other such interfaces exist;
    // "" when none (no network).
    static std::string accessString();
    static std::string carrierString();
    static std::string timeString();
    static std::string dateString();
    // TLYDeviceUID::value(), "" (after "Exception occurred: %@, %@") when it fails.
    static std::string deviceUIDString();
    static std::string deviceIDVendorString();
    static std::string appPackageNameString();
    static std::string appDisplayNameString();
    static std::string appBundleVersionString();
    static std::string appShortVersionString();
    static bool isPad();
};

class TLYDeviceUID {
public:
    // 40 lower-case hexadecimal digits of 20 random bytes, made on first use and kept under the user
    // defaults key "tlyDeviceUID" and in the persistent named pasteboard "tlyDeviceUID"; taken from
    // whichever holds a well-formed one (the defaults first), and written back to the other.
    static std::string value();
};

}  // namespace lv
