#include "platform/base/terminal_text.h"

#include "platform/base/value.h"

namespace lv {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void appendHex(std::string& out, const char* prefix, unsigned value, int digits) {
    out += prefix;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 15];
}

// Characters that reorder or break the text around them on a Unicode-aware reader.
bool isLayoutControl(char32_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) ||
           c == 0x2028 || c == 0x2029;
}

}  // namespace

std::string terminalText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7F) {
            if (byte == '\\') out += '\\';
            out += static_cast<char>(byte);
            ++i;
        } else if (byte < 0x80) {
            if (byte == '\t') {
                out += "\\t";
            } else if (byte == '\n') {
                out += "\\n";
            } else if (byte == '\r') {
                out += "\\r";
            } else {
                appendHex(out, "\\x", byte, 2);
            }
            ++i;
        } else {
            const std::size_t start = i;
            bool valid = true;
            const char32_t c = decodeUtf8(text, i, &valid);
            if (!valid) {
                appendHex(out, "\\x", byte, 2);  // decodeUtf8 stepped over this one byte
            } else if (c <= 0x9F || isLayoutControl(c)) {
                appendHex(out, "\\u", static_cast<unsigned>(c), 4);
            } else {
                out.append(text.substr(start, i - start));
            }
        }
    }
    return out;
}

}  // namespace lv
