// The platform's old-style description texts of values and collections.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/base/value.h"

namespace lv {

namespace {

void indent(std::string& out, int level) { out.append(static_cast<std::size_t>(level) * 4, ' '); }

bool needsQuotes(std::string_view text) {
    if (text.empty()) return true;
    for (char c : text) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum) return true;
    }
    return false;
}

// Inside collections text is written bare when it is plain ASCII letters and digits, otherwise quoted
// with backslash escapes and \Uxxxx for every non-ASCII UTF-16 unit.
void appendQuotedIfNeeded(std::string& out, std::string_view text) {
    if (!needsQuotes(text)) {
        out += text;
        return;
    }
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\U%04x", c);
            out += buffer;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            // Gather the whole multi-byte sequence and escape its UTF-16 units.
            std::size_t end = i + 1;
            while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
            for (char16_t unit : toUtf16(text.substr(i, end - i))) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\U%04x", static_cast<unsigned>(unit));
                out += buffer;
            }
            i = end - 1;
        }
    }
    out += '"';
}

void appendHex(std::string& out, const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    out += '<';
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && i % 4 == 0) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    out += '>';
}

}  // namespace

std::string Date::description() const {
    // Years 1 to 9999: beyond them the conversion to time_t would overflow, and no calendar text fits.
    constexpr double kFirst = -62135596800.0;  // 0001-01-01 00:00:00
    constexpr double kLast = 253402300799.0;   // 9999-12-31 23:59:59
    const double raw = since1970();
    const double seconds = std::isnan(raw) ? kFirst : std::clamp(std::floor(raw), kFirst, kLast);
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&t, &parts);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d +0000", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return buffer;
}

std::string Value::description() const {
    std::string out;
    appendDescription(out, 0);
    return out;
}

// Collections print their opening bracket after the caller's indentation of the current level, their
// entries one level deeper, and their closing bracket at the current level: the platform's layout,
// where a nested collection's bracket follows "key = " after four more blanks.
void Value::appendDescription(std::string& out, int level) const {
    const bool nested = level > 0;
    switch (type()) {
        case Type::Nil: out += "(null)"; break;
        case Type::Null:
            if (nested) appendQuotedIfNeeded(out, "<null>");
            else out += "<null>";
            break;
        case Type::Number: out += number()->stringValue(); break;
        case Type::Decimal: out += decimal()->stringValue(); break;
        case Type::String:
            if (nested) appendQuotedIfNeeded(out, textView());
            else out += textView();
            break;
        case Type::Date:
            if (nested) appendQuotedIfNeeded(out, date()->description());
            else out += date()->description();
            break;
        case Type::Data: appendHex(out, bytes()); break;
        case Type::Object:
            if (nested) appendQuotedIfNeeded(out, object()->description());
            else out += object()->description();
            break;
        case Type::Array: {
            if (nested) indent(out, level);
            out += "(\n";
            const Array& items = array();
            for (std::size_t i = 0; i < items.size(); ++i) {
                indent(out, level + 1);
                items[i].appendDescription(out, level + 1);
                if (i + 1 < items.size()) out += ',';
                out += '\n';
            }
            indent(out, level);
            out += ')';
            break;
        }
        case Type::Dictionary: {
            if (nested) indent(out, level);
            out += "{\n";
            for (const auto& [key, value] : dictionary()) {
                indent(out, level + 1);
                appendQuotedIfNeeded(out, key);
                out += " = ";
                value.appendDescription(out, level + 1);
                out += ";\n";
            }
            indent(out, level);
            out += '}';
            break;
        }
    }
}

}  // namespace lv
