#include "analytics/protocol_data.h"

#include <algorithm>
#include <mutex>

#include "analytics/tly_util.h"
#include "platform/base/clock.h"
#include "platform/base/error.h"
#include "platform/base/log.h"
#include "platform/security/aes.h"
#include "platform/storage/bundle.h"
#include "platform/storage/user_defaults.h"
#include "platform/text/locale.h"
#include "platform/time/time_zone.h"
#include "platform/ui/device.h"
#include "platform/ui/pasteboard.h"

namespace lv {
namespace {

constexpr std::string_view kDeviceUIDKey = "tlyDeviceUID";

std::string bundleText(std::string_view key) {
    const Value value = Bundle::mainBundle()->objectForInfoDictionaryKey(key);
    return value.isString() ? value.string() : std::string();
}

bool wellFormedUID(const std::string& text) {
    return text.size() == 40 &&
           std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

std::string TLYProtocolData::countryString() { return Locale::current().countryCode(); }

std::string TLYProtocolData::languageString() {
    const auto languages = UserDefaults::preferredLanguages();
    return languages.empty() ? std::string() : languages.front();
}

std::string TLYProtocolData::deviceModelString() { return DeviceFacts::current().machineName; }
std::string TLYProtocolData::osVersionString() { return DeviceFacts::current().systemVersion; }

std::string TLYProtocolData::timezoneString() { return format("%ld", static_cast<long>(TLYUtil::timezone())); }

std::string TLYProtocolData::resolutionString() {
    return format("%d x %d", TLYUtil::resolutionHeight(), TLYUtil::resolutionWidth());
}

std::string TLYProtocolData::accessString() {
    const DeviceFacts facts = DeviceFacts::current();
    if (facts.model == "iPhone Simulator" || facts.machineName == "x86_64" || facts.machineName == "i386") return "WiFi";
    bool wifi = false;
    bool other = false;
    for (const auto& item : DeviceFacts::currentNetworkInterfaces()) {
        if (!item.up || item.loopback || item.ipv4Address.empty()) continue;
        (item.name == "en0" ? wifi : other) = true;
    }
    return wifi ? "WiFi" : other ? "CellNetwork" : "";
}

std::string TLYProtocolData::carrierString() { return DeviceFacts::current().carrierName; }
std::string TLYProtocolData::timeString() { return TLYUtil::timeString(); }
std::string TLYProtocolData::dateString() { return TLYUtil::dateString(); }

std::string TLYProtocolData::deviceUIDString() {
    try {
        return TLYDeviceUID::value();
    } catch (const Exception& e) {
        log("Exception occurred: %@, %@", e.name(), e.reason());
        return {};
    }
}

std::string TLYProtocolData::deviceIDVendorString() { return Device::currentDevice()->identifierForVendor(); }
std::string TLYProtocolData::appPackageNameString() { return bundleText("CFBundleIdentifier"); }
std::string TLYProtocolData::appDisplayNameString() { return bundleText("CFBundleDisplayName"); }
std::string TLYProtocolData::appBundleVersionString() { return bundleText("CFBundleVersion"); }
std::string TLYProtocolData::appShortVersionString() { return bundleText("CFBundleShortVersionString"); }
bool TLYProtocolData::isPad() { return DeviceFacts::current().tabletIdiom; }

std::string TLYDeviceUID::value() {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    auto defaults = UserDefaults::standardUserDefaults();
    auto pasteboard = Pasteboard::pasteboardWithName(kDeviceUIDKey, true);
    const std::string stored = defaults->stringForKey(kDeviceUIDKey).value_or("");
    const std::string shared = pasteboard ? pasteboard->string().value_or("") : std::string();
    std::string uid = wellFormedUID(stored) ? stored : wellFormedUID(shared) ? shared : std::string();
    if (uid.empty()) {
        const auto random = randomBytes(20);
        if (!random) Exception::raise("TLYDeviceUIDException", "no random bytes for the DeviceUID");
        uid = TLYUtil::bytesToHexString(random->data(), 20);
    }
    if (stored != uid) defaults->setObject(Value(uid), kDeviceUIDKey);
    if (pasteboard && shared != uid) {
        pasteboard->setPersistent(true);
        pasteboard->setString(uid);
    }
    return uid;
}

}  // namespace lv
