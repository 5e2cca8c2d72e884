#include "analytics/tly_util.h"

#include <chrono>
#include <cmath>
#include <ctime>

#include "analytics/deflated.h"
#include "analytics/protocol_data.h"
#include "analytics/tally_app.h"
#include "analytics/string_encoding.h"
#include "platform/base/clock.h"
#include "platform/base/format.h"
#include "platform/base/log.h"
#include "platform/security/aes.h"
#include "platform/security/digest.h"
#include "platform/storage/json.h"
#include "platform/text/escape.h"
#include "platform/text/strings.h"
#include "platform/time/time_zone.h"
#include "platform/ui/device.h"

namespace lv {

namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

Bytes TLYUtil::md5BytesWithString(std::string_view text) { return md5Digest(text); }
Bytes TLYUtil::md5DataWithData(std::span<const std::uint8_t> data) { return md5Digest(data); }

std::string TLYUtil::bytesToHexString(const std::uint8_t* bytes, std::int32_t length) {
    if (length < 1 || !bytes) return {};
    return hexString(std::span(bytes, static_cast<std::size_t>(length)));
}

std::string TLYUtil::md5(std::string_view text) { return hexString(md5Digest(text), true); }
std::string TLYUtil::sha1WithString(std::string_view text) { return sha1WithData(bytesOf(text)); }
std::string TLYUtil::sha1WithData(std::span<const std::uint8_t> data) { return hexString(sha1Digest(data)); }

std::string TLYUtil::urlEncode(std::string_view text) {
    return text::percentEscape(text, "", "!*'();:@&=+$,/?%#[]\" ").value_or("");
}

std::optional<Bytes> TLYUtil::deflatedData(std::span<const std::uint8_t> source) {
    return TLYDeflated::deflatedData(source);
}

std::optional<Bytes> TLYUtil::deflatedDataPrefixedWith(std::span<const std::uint8_t> prefix, int level,
                                                       std::span<const std::uint8_t> source) {
    return TLYDeflated::deflatedDataPrefixedWith(prefix, level, source);
}

std::string TLYUtil::sessionId(std::string_view appid) {
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    Bytes random = randomBytes(8).value_or(Bytes(8, 0));
    auto word = [&](std::size_t at) {
        return (std::uint32_t{random[at]} << 24) | (std::uint32_t{random[at + 1]} << 16) |
               (std::uint32_t{random[at + 2]} << 8) | std::uint32_t{random[at + 3]};
    };
    return md5(format("%f%@%u%u", now, std::string(appid), word(0), word(4)));
}

std::string TLYUtil::getString(std::string_view text, std::int32_t maxBytes) {
    std::size_t end = 0;
    bool cut = false;
    const std::size_t limit = maxBytes > 0 ? static_cast<std::size_t>(maxBytes) : 0;
    for (std::size_t i = 0; i < text.size();) {
        bool valid = true;
        decodeUtf8(text, i, &valid);
        if (!valid) return std::string(text);  // not UTF-8: the conversion fails, the text comes back
        if (i > limit) cut = true;
        if (!cut) end = i;
    }
    return std::string(text.substr(0, end));
}

bool TLYUtil::isEmptyString(const Value& text) {
    if (text.isNilOrNull()) return true;
    if (!text.isString()) return false;
    return text::trimWhitespaceAndNewlines(text.string()).empty();
}

std::optional<std::string> TLYUtils::JSONFragment(const Value& object) {
    Ref<Error> error;
    auto json = JSONSerialization::stringWithJSONObject(object, kJSONWritingFragmentsAllowed, &error);
    if (!json) log("-JSONFragment failed. Error trace is: %@", error);
    return json;
}

Value TLYUtils::JSONValue(std::string_view text) {
    Ref<Error> error;
    Value value = JSONSerialization::JSONObjectWithData(text, kJSONReadingAllowFragments, &error);
    if (!value) log("-JSONValue failed. Error trace is: %@", error);
    return value;
}

std::string TLYUtils::base64Encode(std::string_view text) {
    return TLYStringEncoding::rfc4648Base64StringEncoding().encodeString(text);
}

std::string TLYUtils::base64EncodeData(std::span<const std::uint8_t> data) {
    return TLYStringEncoding::rfc4648Base64StringEncoding().encode(data);
}

namespace {
std::string localAt(const char* pattern, double now) {
    // The device's time zone (settable), not the process's TZ.
    const int offset = TimeZone::defaultTimeZone().secondsFromGMT(Date::fromSince1970(now));
    const auto seconds = static_cast<std::time_t>(std::floor(now)) + offset;
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, pattern, &parts));
}
}  // namespace

std::string TLYUtil::countryString() { return TLYProtocolData::countryString(); }
std::string TLYUtil::languageString() { return TLYProtocolData::languageString(); }
std::string TLYUtil::deviceModelString() { return TLYProtocolData::deviceModelString(); }
std::string TLYUtil::appShortVersionString() { return TLYProtocolData::appShortVersionString(); }
std::string TLYUtil::osString() { return TLYProtocolData::osString(); }
std::string TLYUtil::osVersionString() { return TLYProtocolData::osVersionString(); }
std::string TLYUtil::timezoneString() { return TLYProtocolData::timezoneString(); }
std::string TLYUtil::resolutionString() { return TLYProtocolData::resolutionString(); }
std::string TLYUtil::accessString() { return TLYProtocolData::accessString(); }
std::string TLYUtil::carrierString() { return TLYProtocolData::carrierString(); }
std::string TLYUtil::deviceUIDString() { return TLYProtocolData::deviceUIDString(); }
std::string TLYUtil::idfv() { return TLYProtocolData::deviceIDVendorString(); }
std::string TLYUtil::appPackageNameString() { return TLYProtocolData::appPackageNameString(); }
std::string TLYUtil::appDisplayNameString() { return TLYProtocolData::appDisplayNameString(); }
bool TLYUtil::isPad() { return TLYProtocolData::isPad(); }

std::string TLYUtil::appVersionString() {
    const std::string settings = TallyApp::sharedInstance()->appVersion();
    return settings.empty() ? TLYProtocolData::appBundleVersionString() : settings;
}

long TLYUtil::timezone() {
    const int offset = TimeZone::defaultTimeZone().secondsFromGMT(Date::fromSince1970(currentTimeSince1970()));
    return offset / 3600;  // integer division truncates toward zero
}

std::int32_t TLYUtil::resolutionHeight() {
    const DeviceFacts facts = DeviceFacts::current();
    const double scale = facts.screenScale > 0 ? facts.screenScale : 1;
    return static_cast<std::int32_t>(facts.screenSize.height * scale);
}

std::int32_t TLYUtil::resolutionWidth() {
    const DeviceFacts facts = DeviceFacts::current();
    const double scale = facts.screenScale > 0 ? facts.screenScale : 1;
    return static_cast<std::int32_t>(facts.screenSize.width * scale);
}

std::string TLYUtil::sessionId() { return sessionId(TallyApp::sharedInstance()->appid()); }

std::string TLYUtil::dateString() { return dateString(currentTimeSince1970()); }
std::string TLYUtil::timeString() { return timeString(currentTimeSince1970()); }
std::string TLYUtil::dateString(double since1970) { return localAt("%Y-%m-%d", since1970); }
std::string TLYUtil::timeString(double since1970) { return localAt("%H:%M:%S", since1970); }

}  // namespace lv
