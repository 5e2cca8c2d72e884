// Numbers with a stored kind, exact decimals, and numeric readings of text.
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "platform/base/value.h"

namespace lv {

namespace {

constexpr double kTwoTo63 = 9223372036854775808.0;
constexpr double kTwoTo64 = 18446744073709551616.0;

std::int64_t saturatingTruncate(double d) {
    if (std::isnan(d)) return 0;
    if (d >= kTwoTo63) return std::numeric_limits<std::int64_t>::max();
    if (d < -kTwoTo63) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
}

std::size_t hashInteger(std::int64_t v) { return std::hash<std::int64_t>{}(v); }

// One hash for every numeric value, so equal numbers and decimals hash alike.
std::size_t hashReal(double d) {
    if (std::isnan(d)) return 0x7ff8;
    if (d == std::trunc(d) && d >= -kTwoTo63 && d < kTwoTo63) return hashInteger(static_cast<std::int64_t>(d));
    if (d == std::trunc(d) && d >= kTwoTo63 && d < kTwoTo64) return std::hash<std::uint64_t>{}(static_cast<std::uint64_t>(d));
    return std::hash<double>{}(d);
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::size_t skipBlanks(std::string_view text, std::size_t i = 0) {
    while (i < text.size() && isBlank(text[i])) ++i;
    return i;
}

}  // namespace

// ---- Number ----

Number Number::withKind(NumberKind kind, double v) {
    switch (kind) {
        case NumberKind::Bool: return of(v != 0);
        case NumberKind::Float: return of(static_cast<float>(v));
        case NumberKind::Double: return of(v);
        default: return withKind(kind, saturatingTruncate(v));
    }
}

Number Number::withKind(NumberKind kind, std::int64_t v) {
    switch (kind) {
        case NumberKind::Bool: return of(v != 0);
        case NumberKind::Int8: return of(static_cast<std::int8_t>(v));
        case NumberKind::Int16: return of(static_cast<std::int16_t>(v));
        case NumberKind::Int32: return of(static_cast<std::int32_t>(v));
        case NumberKind::Int64: return of(v);
        case NumberKind::UInt8: return of(static_cast<std::uint8_t>(v));
        case NumberKind::UInt16: return of(static_cast<std::uint16_t>(v));
        case NumberKind::UInt32: return of(static_cast<std::uint32_t>(v));
        case NumberKind::UInt64: return of(static_cast<std::uint64_t>(v));
        case NumberKind::Float: return of(static_cast<float>(v));
        case NumberKind::Double: return of(static_cast<double>(v));
    }
    return of(v);
}

bool Number::isUnsigned() const {
    return kind_ == NumberKind::Bool || kind_ == NumberKind::UInt8 || kind_ == NumberKind::UInt16 ||
           kind_ == NumberKind::UInt32 || kind_ == NumberKind::UInt64;
}

char Number::objCType() const {
    switch (kind_) {
        case NumberKind::Bool:
        case NumberKind::Int8: return 'c';
        case NumberKind::Int16: return 's';
        case NumberKind::Int32: return 'i';
        case NumberKind::Int64: return 'q';
        case NumberKind::UInt8: return 'C';
        case NumberKind::UInt16: return 'S';
        case NumberKind::UInt32: return 'I';
        case NumberKind::UInt64: return 'Q';
        case NumberKind::Float: return 'f';
        case NumberKind::Double: return 'd';
    }
    return 'q';
}

std::int64_t Number::longLongValue() const {
    if (isFloatingPoint()) return saturatingTruncate(d_);
    if (isUnsigned()) return static_cast<std::int64_t>(u_);
    return i_;
}

std::uint64_t Number::unsignedLongLongValue() const {
    if (isFloatingPoint()) {
        if (std::isnan(d_)) return 0;
        if (d_ >= kTwoTo64) return std::numeric_limits<std::uint64_t>::max();
        if (d_ >= 0) return static_cast<std::uint64_t>(d_);
        return static_cast<std::uint64_t>(saturatingTruncate(d_));
    }
    if (isUnsigned()) return u_;
    return static_cast<std::uint64_t>(i_);
}

double Number::doubleValue() const {
    if (isFloatingPoint()) return d_;
    if (isUnsigned()) return static_cast<double>(u_);
    return static_cast<double>(i_);
}

bool Number::boolValue() const {
    if (isFloatingPoint()) return d_ != 0;
    return u_ != 0;
}

std::string Number::stringValue() const {
    char buffer[64];
    switch (kind_) {
        case NumberKind::Float: std::snprintf(buffer, sizeof buffer, "%.7g", d_); break;
        case NumberKind::Double: std::snprintf(buffer, sizeof buffer, "%.16g", d_); break;
        default:
            if (isUnsigned()) std::snprintf(buffer, sizeof buffer, "%llu", static_cast<unsigned long long>(u_));
            else std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(i_));
    }
    return buffer;
}

int Number::compare(const Number& other) const {
    if (isFloatingPoint() || other.isFloatingPoint()) {
        const double a = doubleValue();
        const double b = other.doubleValue();
        const bool aNaN = std::isnan(a);
        const bool bNaN = std::isnan(b);
        if (aNaN || bNaN) return aNaN == bNaN ? 0 : aNaN ? -1 : 1;
        return a < b ? -1 : a > b ? 1 : 0;
    }
    const bool aNegative = !isUnsigned() && i_ < 0;
    const bool bNegative = !other.isUnsigned() && other.i_ < 0;
    if (aNegative != bNegative) return aNegative ? -1 : 1;
    if (aNegative) return i_ < other.i_ ? -1 : i_ > other.i_ ? 1 : 0;
    return u_ < other.u_ ? -1 : u_ > other.u_ ? 1 : 0;
}

std::size_t Number::hash() const {
    if (isFloatingPoint()) return hashReal(d_);
    if (isUnsigned() && u_ > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::hash<std::uint64_t>{}(u_);
    }
    return hashInteger(static_cast<std::int64_t>(u_));
}

// ---- Decimal ----

namespace {
constexpr int kMaxDigits = 38;  // 10^38 - 1 < 2^128

// 10^0 … 10^38.
constexpr auto kPowersOfTen = [] {
    std::array<UInt128, kMaxDigits + 1> powers{};
    UInt128 p = 1;
    for (auto& power : powers) {
        power = p;
        p *= 10;
    }
    return powers;
}();

int digitCount(UInt128 v) {
    int n = 1;
    while (n <= kMaxDigits && v >= kPowersOfTen[static_cast<std::size_t>(n)]) ++n;
    return n;
}

std::string digitsOf(UInt128 v) {
    char buffer[40];
    char* end = buffer + sizeof buffer;
    char* p = end;
    do {
        *--p = static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    } while (v != 0);
    return std::string(p, end);
}

// Scans a decimal number at text[i...]; returns the index after it, or npos when there is none.
std::size_t scanDecimal(std::string_view text, std::size_t i, Decimal& out) {
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    UInt128 mantissa = 0;
    int digits = 0;
    long exponent = 0;
    bool sawDigit = false;
    bool roundUp = false;
    bool dropped = false;
    auto take = [&](char c, bool fraction) {
        sawDigit = true;
        const int d = c - '0';
        if (digits == 0 && d == 0) {
            if (fraction) --exponent;
            return;
        }
        if (digits < kMaxDigits) {
            mantissa = mantissa * 10 + static_cast<UInt128>(d);
            ++digits;
            if (fraction) --exponent;
        } else {
            if (!dropped) roundUp = d >= 5;
            dropped = true;
            if (!fraction) ++exponent;
        }
    };
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') take(text[i++], false);
    if (i < text.size() && text[i] == '.') {
        std::size_t j = i + 1;
        if (j < text.size() && text[j] >= '0' && text[j] <= '9') {
            i = j;
            while (i < text.size() && text[i] >= '0' && text[i] <= '9') take(text[i++], true);
        } else if (sawDigit) {
            i = j;
        }
    }
    if (!sawDigit) return std::string_view::npos;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        bool expNegative = false;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) expNegative = text[j++] == '-';
        if (j < text.size() && text[j] >= '0' && text[j] <= '9') {
            long e = 0;
            while (j < text.size() && text[j] >= '0' && text[j] <= '9') {
                if (e < 100000) e = e * 10 + (text[j] - '0');
                ++j;
            }
            exponent += expNegative ? -e : e;
            i = j;
        }
    }
    if (roundUp) ++mantissa;
    if (exponent > 1000 || exponent < -1000) {
        out = mantissa == 0 || exponent < 0 ? Decimal::withMantissa(0, 0, false) : Decimal::notANumber();
        return i;
    }
    out = Decimal::withMantissa(mantissa, static_cast<int>(exponent), negative);
    return i;
}

}  // namespace

Decimal Decimal::notANumber() {
    Decimal d;
    d.nan_ = true;
    return d;
}

Decimal Decimal::withMantissa(UInt128 mantissa, int exponent, bool negative) {
    Decimal d;
    d.mantissa_ = mantissa;
    d.exponent_ = exponent;
    d.negative_ = negative;
    d.normalize();
    return d;
}

Decimal Decimal::fromInteger(std::int64_t v) {
    const bool negative = v < 0;
    const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    return withMantissa(UInt128{magnitude}, 0, negative);
}

Decimal Decimal::fromUnsigned(std::uint64_t v) { return withMantissa(UInt128{v}, 0, false); }

Decimal Decimal::fromDouble(double v) {
    if (!std::isfinite(v)) return notANumber();
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
    return fromString(std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
}

Decimal Decimal::fromNumber(const Number& n) {
    if (n.isFloatingPoint()) return fromDouble(n.doubleValue());
    if (n.isUnsigned()) return fromUnsigned(n.unsignedLongLongValue());
    return fromInteger(n.longLongValue());
}

Decimal Decimal::fromString(std::string_view text) {
    Decimal d;
    if (scanDecimal(text, skipBlanks(text), d) == std::string_view::npos) return notANumber();
    return d;
}

std::optional<Decimal> Decimal::parse(std::string_view text) {
    Decimal d;
    const std::size_t end = scanDecimal(text, skipBlanks(text), d);
    if (end == std::string_view::npos || skipBlanks(text, end) != text.size()) return std::nullopt;
    return d;
}

void Decimal::normalize() {
    if (nan_) return;
    if (mantissa_ == 0) {
        exponent_ = 0;
        negative_ = false;
        return;
    }
    while (mantissa_ > kPowersOfTen[kMaxDigits] - 1) {  // past 38 digits: rounded half up
        const bool up = mantissa_ % 10 >= 5;
        mantissa_ /= 10;
        if (up) ++mantissa_;
        ++exponent_;
    }
    while (mantissa_ % 10 == 0) {
        mantissa_ /= 10;
        ++exponent_;
    }
}

std::string Decimal::stringValue() const {
    if (nan_) return "NaN";
    if (mantissa_ == 0) return "0";
    std::string digits = digitsOf(mantissa_);
    std::string out = negative_ ? "-" : "";
    if (exponent_ >= 0) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent_), '0');
    } else {
        const std::size_t fraction = static_cast<std::size_t>(-exponent_);
        if (digits.size() <= fraction) {
            out += "0.";
            out.append(fraction - digits.size(), '0');
            out += digits;
        } else {
            out += digits.substr(0, digits.size() - fraction);
            out += '.';
            out += digits.substr(digits.size() - fraction);
        }
    }
    return out;
}

double Decimal::doubleValue() const {
    if (nan_) return std::nan("");
    const std::string text = stringValue();
    double result = 0;
    std::from_chars(text.data(), text.data() + text.size(), result);
    return result;
}

std::int64_t Decimal::longLongValue() const {
    if (nan_ || mantissa_ == 0) return 0;
    UInt128 magnitude = mantissa_;
    if (exponent_ < 0) {
        magnitude = -exponent_ > kMaxDigits ? 0 : magnitude / kPowersOfTen[static_cast<std::size_t>(-exponent_)];
    } else {
        for (int e = 0; e < exponent_ && magnitude <= (static_cast<UInt128>(1) << 64); ++e) magnitude *= 10;
    }
    constexpr UInt128 max = static_cast<UInt128>(std::numeric_limits<std::int64_t>::max());
    if (negative_) {
        if (magnitude > max + 1) return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(magnitude));
    }
    if (magnitude > max) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(magnitude);
}

int Decimal::compare(const Decimal& other) const {
    if (nan_ || other.nan_) return nan_ == other.nan_ ? 0 : nan_ ? -1 : 1;
    const int signA = mantissa_ == 0 ? 0 : negative_ ? -1 : 1;
    const int signB = other.mantissa_ == 0 ? 0 : other.negative_ ? -1 : 1;
    if (signA != signB) return signA < signB ? -1 : 1;
    if (signA == 0) return 0;
    // Compare magnitudes: first by order of magnitude, then digit by digit.
    int magnitudeOrder = 0;
    const long orderA = digitCount(mantissa_) + static_cast<long>(exponent_);
    const long orderB = digitCount(other.mantissa_) + static_cast<long>(other.exponent_);
    if (orderA != orderB) {
        magnitudeOrder = orderA < orderB ? -1 : 1;
    } else {
        std::string a = digitsOf(mantissa_);
        std::string b = digitsOf(other.mantissa_);
        const std::size_t width = std::max(a.size(), b.size());
        a.resize(width, '0');
        b.resize(width, '0');
        const int c = a.compare(b);
        magnitudeOrder = c < 0 ? -1 : c > 0 ? 1 : 0;
    }
    return signA > 0 ? magnitudeOrder : -magnitudeOrder;
}

std::size_t Decimal::hash() const {
    if (nan_) return 0x7ff8;
    if (exponent_ >= 0 && exponent_ < 19) {
        const std::int64_t v = longLongValue();
        if (Decimal::fromInteger(v) == *this) return hashInteger(v);
    }
    return hashReal(doubleValue());
}

// ---- readings of text ----

std::int64_t readLongLong(std::string_view text) {
    std::size_t i = skipBlanks(text);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint64_t magnitude = 0;
    constexpr std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1;
    bool overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const auto digit = static_cast<std::uint64_t>(text[i] - '0');
        if (!overflow) {
            // Checked before multiplying: a wrapped product would hide the overflow.
            if (magnitude > (limit - digit) / 10) overflow = true;
            else magnitude = magnitude * 10 + digit;
        }
    }
    if (negative) return overflow ? std::numeric_limits<std::int64_t>::min() : static_cast<std::int64_t>(0 - magnitude);
    if (overflow || magnitude == limit) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(magnitude);
}

std::int32_t readInt(std::string_view text) {
    const std::int64_t v = readLongLong(text);
    if (v > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (v < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(v);
}

double readDouble(std::string_view text) {
    std::size_t i = skipBlanks(text);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Only plain decimal notation: no hexadecimal floats, infinities or NaN words.
    if (i >= text.size() || !((text[i] >= '0' && text[i] <= '9') || text[i] == '.')) return 0.0;
    double value = 0;
    const char* begin = text.data() + i;
    auto result = std::from_chars(begin, text.data() + text.size(), value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        // Find whether the magnitude overflowed or underflowed from the exponent's sign.
        const std::string_view rest(begin, static_cast<std::size_t>(result.ptr - begin));
        const auto e = rest.find_first_of("eE");
        const bool tiny = e != std::string_view::npos && e + 1 < rest.size() && rest[e + 1] == '-';
        value = tiny ? 0.0 : HUGE_VAL;
    } else if (result.ec != std::errc()) {
        return 0.0;
    }
    return negative ? -value : value;
}

bool readBool(std::string_view text) {
    std::size_t i = skipBlanks(text);
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    while (i < text.size() && text[i] == '0') ++i;
    if (i >= text.size()) return false;
    const char c = text[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

}  // namespace lv
