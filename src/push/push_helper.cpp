#include "push/push_helper.h"

#include <zlib.h>

#include <cmath>
#include <limits>

#include "platform/base/log.h"
#include "platform/security/digest.h"
#include "platform/storage/bundle.h"
#include "platform/storage/json.h"
#include "platform/storage/user_defaults.h"
#include "platform/time/date_formatter.h"
#include "platform/ui/device.h"

namespace lv {

namespace {

constexpr const char* kTimeFormat = "yyyy-MM-dd HH:mm:ss";
constexpr std::size_t kGZipStep = 8192;

std::optional<NetworkInterface> interfaceEn0() {
    for (auto& item : DeviceFacts::currentNetworkInterfaces()) {
        if (item.name == "en0") return item;
    }
    return std::nullopt;
}

}  // namespace

PNHelper& PNHelper::getInstance() {
    static auto& instance = *new PNHelper;
    return instance;
}

int PNHelper::GZip(const Bytes& input, Bytes* out) {
    if (input.empty() || !out) return -1;
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) return -1;
    Bytes buffer(kGZipStep);
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    do {
        if (stream.total_out >= buffer.size()) buffer.resize(buffer.size() + kGZipStep);
        stream.next_out = buffer.data() + stream.total_out;
        stream.avail_out = static_cast<uInt>(buffer.size() - stream.total_out);
        deflate(&stream, Z_FINISH);
    } while (stream.avail_out == 0);
    deflateEnd(&stream);
    buffer.resize(stream.total_out);
    *out = std::move(buffer);
    return 0;
}

int PNHelper::GUnzip(const Bytes& input, Bytes* out) {
    if (input.empty() || !out) return -1;
    const std::size_t half = input.size() / 2;
    // One byte of room past the limit tells a stream of exactly the limit from a longer one.
    const std::size_t ceiling = kPNGunzipLimit + 1;
    Bytes buffer(std::min(input.size() + half, ceiling));
    z_stream stream{};
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    if (inflateInit2(&stream, 47) != Z_OK) {
        log("Failed to init gunzip.");
        return -1;
    }
    int status = Z_OK;
    while (status == Z_OK) {
        if (stream.total_out >= buffer.size()) {
            if (buffer.size() >= ceiling) break;
            buffer.resize(std::min(buffer.size() + half, ceiling));
        }
        stream.next_out = buffer.data() + stream.total_out;
        stream.avail_out = static_cast<uInt>(buffer.size() - stream.total_out);
        status = inflate(&stream, Z_SYNC_FLUSH);
    }
    const bool overLimit = stream.total_out > kPNGunzipLimit;
    if (inflateEnd(&stream) != Z_OK) {
        log("Gunzip inflateEnd failed.");
        return -1;
    }
    if (overLimit) {
        log("Gunzip output is over %lu bytes.", static_cast<unsigned long>(kPNGunzipLimit));
        return -1;
    }
    if (status != Z_STREAM_END) {
        log("Gunzip failed with status == %d", status);
        return -1;
    }
    buffer.resize(stream.total_out);
    *out = std::move(buffer);
    return 0;
}

bool PNHelper::isWiFiAvailable() {
    const auto en0 = interfaceEn0();
    return en0 && !en0->ipv4Address.empty() && !en0->loopback;
}

std::string PNHelper::getMacAddress() {
    const auto en0 = interfaceEn0();
    std::string failure;
    if (!en0) {
        failure = "if_nametoindex failure";
    } else if (en0->hardwareAddress.size() != 6) {
        failure = "sysctl msgBuffer failure";
    } else {
        const auto& a = en0->hardwareAddress;
        return format("%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
    }
    log("Error: %@", failure);
    return failure;
}

std::string PNHelper::getJson(const Value& object) const {
    if (!JSONSerialization::isValidJSONObject(object)) {
        log("error json format");
        return {};
    }
    auto text = JSONSerialization::stringWithJSONObject(object, 0, nullptr);
    return text ? *text : std::string();
}

Value PNHelper::json2Obj(std::string_view text) const {
    Value parsed = JSONSerialization::JSONObjectWithData(text, kJSONReadingAllowFragments, nullptr);
    if (parsed.isNil()) return {};
    log("Successfully deserialized...");
    if (parsed.isDictionary()) {
        log("Dersialized JSON Dictionary = %@", parsed);
        return parsed;
    }
    if (parsed.isArray()) {
        log("Dersialized JSON Array = %@", parsed);
        return parsed;
    }
    log("An error happened while deserializing the JSON data.");
    return {};
}

std::string PNHelper::DeviceTypeName() const { return DeviceFacts::current().machineName; }

bool PNHelper::IsSimulatorDevice() const {
    const std::string name = DeviceTypeName();
    return name == "x86_64" || name == "i386" || name == "i586";
}

std::string PNHelper::getAppVersion() const {
    const Ref<Bundle> bundle = Bundle::mainBundle();
    for (const char* key : {"CFBundleShortVersionString", "CFBundleVersion"}) {
        const Value version = bundle->objectForInfoDictionaryKey(key);
        if (version.isString()) return version.string();
    }
    return "unknown";
}

Dictionary PNHelper::fetchSSIDInfo() const { return Dictionary{{"SSID", Value("Not Found")}, {"BSSID", Value("Not Found")}}; }

std::string PNHelper::md5(std::string_view text) const { return hexString(md5Digest(text)); }

std::string PNHelper::getCurrentTime() const { return timeToStr(Date::now()); }

std::string PNHelper::timeToStr(const Date& date) const { return DateFormatter(kTimeFormat).stringFromDate(date); }

std::optional<Date> PNHelper::strToTime(std::string_view text) const {
    return DateFormatter(kTimeFormat).dateFromString(text);
}

std::int32_t PNHelper::secondsBetweenTimes(const Date& start, const Date& end) const {
    const double seconds = std::trunc(end.since(start));
    if (!(seconds > std::numeric_limits<std::int32_t>::min())) return std::numeric_limits<std::int32_t>::min();
    if (seconds > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(seconds);
}

PNText PNHelper::getLanguage() const {
    const Value languages = UserDefaults::standardUserDefaults()->objectForKey(kAppleLanguagesKey);
    const Value& first = languages[0];
    if (first.isString()) return first.string();
    return std::nullopt;
}

PNText PNHelper::getCompanyDomain() const {
    const Value identifier = Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleIdentifier");
    if (!identifier.isString()) return std::nullopt;
    const std::string& text = identifier.string();
    const auto lastDot = text.rfind('.');
    if (lastDot == std::string::npos) return text;
    return text.substr(0, lastDot);
}

}  // namespace lv
