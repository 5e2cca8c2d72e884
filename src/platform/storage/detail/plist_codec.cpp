#include "platform/storage/detail/plist_codec.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <typeinfo>

#include "platform/base/format.h"
#include "platform/storage/detail/value_access.h"

namespace lv::detail {

bool PlistUID::isEqual(const Object& other) const {
    const auto* uid = dynamic_cast<const PlistUID*>(&other);
    return uid && uid->value == value;
}

Value makeUID(std::uint64_t value) { return Value(makeRef<PlistUID>(value)); }

std::string escapedArchiveKey(std::string_view key) {
    std::string out;
    if (!key.empty() && key[0] == '$') out.push_back('$');
    out.append(key);
    return out;
}

std::optional<std::uint64_t> uidOf(const Value& value) {
    if (value.isObject()) {
        // PlistUID is final: its exact type tells, without a counted copy of the reference.
        const Object* object = value.object().get();
        if (object && typeid(*object) == typeid(PlistUID)) return static_cast<const PlistUID*>(object)->value;
        return std::nullopt;
    }
    if (value.isDictionary() && value.dictionary().size() == 1) {
        const Value& inner = value["CF$UID"];
        const Number n = numberOf(inner);
        if (inner.isNumber() && !n.isBool() && !n.isFloatingPoint()) {
            if (n.isUnsigned()) return n.unsignedLongLongValue();
            if (n.longLongValue() >= 0) return static_cast<std::uint64_t>(n.longLongValue());
        }
    }
    return std::nullopt;
}

Value plistNumberOfDecimal(const Decimal& d) {
    if (d.isNaN()) return Value(std::numeric_limits<double>::quiet_NaN());
    if (d.exponent() >= 0 && d.exponent() <= 18 && std::fabs(d.doubleValue()) < 9.2e18) return Value(d.longLongValue());
    return Value(d.doubleValue());
}

bool plistStringIsValid(std::string_view text, bool forXml) {
    for (std::size_t i = 0; i < text.size();) {
        bool valid = true;
        const char32_t c = decodeUtf8(text, i, &valid);
        if (!valid || c == 0) return false;
        if (forXml && ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0xFFFE || c == 0xFFFF)) return false;
    }
    return true;
}

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
    std::int64_t year;
    unsigned month, day;
};

Civil civilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

constexpr std::int64_t kReferenceSince1970 = 978307200;
constexpr std::int64_t kSecondsPerDay = 86400;

bool isLeap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned daysInMonth(std::int64_t y, unsigned m) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

// "YYYY-MM-DDTHH:MM:SSZ" bounds in seconds since the reference date.
const double kFirstXmlSecond = static_cast<double>(daysFromCivil(1, 1, 1) * kSecondsPerDay - kReferenceSince1970);
const double kAfterLastXmlSecond =
    static_cast<double>(daysFromCivil(10000, 1, 1) * kSecondsPerDay - kReferenceSince1970);

bool validate(const Value& value, bool forXml, bool uids, int depth, std::string* failure) {
    auto refuse = [&](std::string why) {
        if (failure && failure->empty()) *failure = std::move(why);
        return false;
    };
    switch (value.type()) {
        case Value::Type::Number:
        case Value::Type::Decimal:
        case Value::Type::Data: return true;
        case Value::Type::String:
            if (!plistStringIsValid(value.string(), forXml)) {
                return refuse(forXml ? "A string with NUL, invalid UTF-8 or characters XML cannot hold"
                                     : "A string with NUL or invalid UTF-8");
            }
            return true;
        case Value::Type::Date: {
            const double t = dateOf(value).sinceReferenceDate();
            if (!std::isfinite(t) || (forXml && (t < kFirstXmlSecond || t >= kAfterLastXmlSecond))) {
                return refuse(format("Date out of range for the property-list format: %g seconds since 2001", t));
            }
            return true;
        }
        case Value::Type::Array:
            if (depth > kMaxPlistDepth) return refuse("Too many nested arrays or dictionaries");
            for (const Value& item : value.array()) {
                if (!validate(item, forXml, uids, depth + 1, failure)) return false;
            }
            return true;
        case Value::Type::Dictionary:
            if (depth > kMaxPlistDepth) return refuse("Too many nested arrays or dictionaries");
            for (const auto& [key, item] : value.dictionary()) {
                if (!plistStringIsValid(key, forXml)) return refuse("A dictionary key that the format cannot hold");
                if (!validate(item, forXml, uids, depth + 1, failure)) return false;
            }
            return true;
        case Value::Type::Object:
            if (uids && value.objectAs<PlistUID>()) return true;
            return refuse("property lists cannot contain objects of type 'Object'");
        case Value::Type::Null: return refuse("property lists cannot contain objects of type 'Null'");
        case Value::Type::Nil: break;
    }
    return refuse("property lists cannot contain objects of type 'nil'");
}

bool startsWith(std::span<const std::uint8_t> data, std::string_view prefix) {
    return data.size() >= prefix.size() && std::memcmp(data.data(), prefix.data(), prefix.size()) == 0;
}

// XML when the first thing after white space (and a UTF-8 byte-order mark) is "<".
bool looksLikeXml(std::span<const std::uint8_t> data) {
    std::size_t i = startsWith(data, "\xEF\xBB\xBF") ? 3 : 0;
    while (i < data.size() && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n')) ++i;
    return i < data.size() && data[i] == '<';
}

}  // namespace

std::optional<std::string> xmlDateText(double t) {
    // XML dates carry whole seconds: the second the date falls in.
    if (!std::isfinite(t) || t < kFirstXmlSecond || t >= kAfterLastXmlSecond) return std::nullopt;
    const auto seconds = static_cast<std::int64_t>(std::floor(t)) + kReferenceSince1970;
    std::int64_t days = seconds / kSecondsPerDay;
    std::int64_t rest = seconds % kSecondsPerDay;
    if (rest < 0) rest += kSecondsPerDay, --days;
    const Civil c = civilFromDays(days);
    return format("%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<long long>(c.year), c.month, c.day,
                  static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                  static_cast<long long>(rest % 60));
}

std::optional<double> xmlDateSeconds(std::string_view text) {
    // Exactly "YYYY-MM-DDTHH:MM:SSZ" with every field in range.
    static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != kShape.size()) return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return std::nullopt;
    }
    auto field = [&](std::size_t at, std::size_t width) {
        unsigned v = 0;
        for (std::size_t i = at; i < at + width; ++i) v = v * 10 + static_cast<unsigned>(text[i] - '0');
        return v;
    };
    const unsigned year = field(0, 4), month = field(5, 2), day = field(8, 2);
    const unsigned hour = field(11, 2), minute = field(14, 2), second = field(17, 2);
    if (year == 0 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59) {
        return std::nullopt;
    }
    const std::int64_t since1970 = daysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
    return static_cast<double>(since1970 - kReferenceSince1970);
}

bool plistIsValid(const Value& value, PropertyListFormat format, PlistOptions options, std::string* failure) {
    return validate(value, format == PropertyListFormat::XML, options.uidsAsObjects, 1, failure);
}

Value readPlist(std::span<const std::uint8_t> data, PlistOptions options, PropertyListFormat* format,
                std::string* failure) {
    auto reject = [&](const char* why) {
        if (failure) *failure = why;
        return Value();
    };
    if (data.empty()) return reject("Cannot parse a NULL or zero-length data");
    std::string reason;
    Value value;
    if (startsWith(data, "bplist00")) {
        if (format) *format = PropertyListFormat::Binary;
        value = readBinaryPlist(data, options.uidsAsObjects, &reason);
    } else if (looksLikeXml(data)) {
        if (format) *format = PropertyListFormat::XML;
        value = readXmlPlist(data, &reason);
    } else {
        return reject("Unexpected character at the start of the data");
    }
    if (value.isNil() && failure) *failure = reason.empty() ? "Damaged property list" : reason;
    return value;
}

std::optional<Bytes> writePlist(const Value& value, PropertyListFormat format, PlistOptions options,
                                std::string* failure, bool* invalid) {
    if (invalid) *invalid = true;
    if (!plistIsValid(value, format, options, failure)) return std::nullopt;
    if (format == PropertyListFormat::XML) return writeXmlPlist(value);
    if (format == PropertyListFormat::Binary) return writeBinaryPlist(value);
    if (invalid) *invalid = false;
    if (failure) {
        *failure = format == PropertyListFormat::OpenStep ? "Writing the OpenStep format is not supported"
                                                          : "Unknown property-list format";
    }
    return std::nullopt;
}

}  // namespace lv::detail
