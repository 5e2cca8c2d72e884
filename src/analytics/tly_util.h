// The analytics client's small shared utilities: digests and hexadecimal text, URL encoding, JSON
// text with its failure log lines, Base64, byte-bounded cutting, the empty-text test, session ids,
// the SDK constants, and the AES helpers of the envelope body. Stateless; any thread.
//
// The AES helpers use a fixed IV and a key derived from data that travels in clear: they obfuscate
// the envelope body for the protocol; they do not keep it secret.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "analytics/tally_utility.h"
#include "platform/base/value.h"

namespace lv {

class TLYUtil {
public:
    static std::string sdkVersionString() { return "3.6.7"; }
    static std::string sdkTypeString() { return "iOS"; }
    static std::string deviceMacAddressString() { return "02:00:00:00:00:00"; }

    static Bytes md5BytesWithString(std::string_view text);
    static Bytes md5DataWithData(std::span<const std::uint8_t> data);
    // Two lower-case digits per byte; a length below 1 gives "".
    static std::string bytesToHexString(const std::uint8_t* bytes, std::int32_t length);
    // Upper-case hexadecimal MD5 of the UTF-8 bytes.
    static std::string md5(std::string_view text);
    // Lower-case hexadecimal SHA-1.
    static std::string sha1WithString(std::string_view text);
    static std::string sha1WithData(std::span<const std::uint8_t> data);
    static std::string returnCheck(const std::optional<std::string>& text) { return text.value_or(""); }
    // UTF-8 percent escaping that also escapes ! * ' ( ) ; : @ & = + $ , / ? % # [ ] " and space.
    static std::string urlEncode(std::string_view text);
    static std::optional<Bytes> deflatedData(std::span<const std::uint8_t> source);
    static std::optional<Bytes> deflatedDataPrefixedWith(std::span<const std::uint8_t> prefix, int level,
                                                         std::span<const std::uint8_t> source);
    // Upper-case MD5 of "%f%@%u%u" (now in seconds, the application key, two random numbers).
    static std::string sessionId(std::string_view appid);
    // The longest leading part whose UTF-8 form fits in maxBytes, cut between characters; text that
    // is not UTF-8 comes back unchanged.
    static std::string getString(std::string_view text, std::int32_t maxBytes);
    // True for nil, the null value, and text that is empty once white space and line breaks are trimmed.
    static bool isEmptyString(const Value& text);
    // The device and app facts (TLYProtocolData), "" when missing.
    static std::string countryString();
    static std::string languageString();
    static std::string deviceModelString();
    static std::string appShortVersionString();
    static std::string osString();
    static std::string osVersionString();
    static std::string timezoneString();
    static std::string resolutionString();
    static std::string accessString();
    static std::string carrierString();
    static std::string deviceUIDString();
    static std::string idfv();
    static std::string appPackageNameString();
    static std::string appDisplayNameString();
    static bool isPad();
    // The settings' app version when not empty, else the bundle's "CFBundleVersion".
    static std::string appVersionString();
    // Hours east of GMT of the device's time zone, truncated toward zero.
    static long timezone();
    // The main screen's size in pixels (points times scale).
    static std::int32_t resolutionHeight();
    static std::int32_t resolutionWidth();
    // sessionId with the settings' application key.
    static std::string sessionId();
    // Local date "yyyy-MM-dd" and time of day "HH:mm:ss" of the clock's now.
    static std::string dateString();
    static std::string timeString();
    // The same of a given time (seconds since 1970).
    static std::string dateString(double since1970);
    static std::string timeString(double since1970);
};

class TLYUtils {
public:
    // The JSON text; nothing after the log line "-JSONFragment failed. Error trace is: <error>".
    static std::optional<std::string> JSONFragment(const Value& object);
    // The parsed value; nil after the log line "-JSONValue failed. Error trace is: <error>".
    static Value JSONValue(std::string_view text);
    // RFC 4648 Base64 with "=" padding.
    static std::string base64Encode(std::string_view text);
    static std::string base64EncodeData(std::span<const std::uint8_t> data);
    static std::string md5Value(std::string_view text) { return TLYUtil::md5(text); }
    static std::string urlEncode(std::string_view text) { return TLYUtil::urlEncode(text); }
};

}  // namespace lv
