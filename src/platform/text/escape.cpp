#include "platform/text/escape.h"

#include <algorithm>

#include "platform/text/detail/icu_util.h"

namespace lv::text {

namespace {

bool containsCharacter(std::string_view set, char32_t c) {
    for (std::size_t i = 0; i < set.size();) {
        if (detail::decodeUtf8(set, i) == c) return true;
    }
    return false;
}

constexpr char kUpperHex[] = "0123456789ABCDEF";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

bool isLegalURLCharacter(char32_t c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '!':
        case '$':
        case '&':
        case '\'':
        case '(':
        case ')':
        case '*':
        case '+':
        case ',':
        case '-':
        case '.':
        case '/':
        case ':':
        case ';':
        case '=':
        case '?':
        case '@':
        case '_':
        case '~': return true;
        default: return false;
    }
}

std::optional<std::string> percentEscape(std::string_view text, std::string_view leaveUnescaped,
                                         std::string_view forceEscaped, StringEncoding encoding) {
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t start = i;
        bool valid = true;
        const char32_t c = detail::decodeUtf8(text, i, &valid);
        if (!valid) return std::nullopt;
        const bool escape = containsCharacter(leaveUnescaped, c)  ? false
                            : containsCharacter(forceEscaped, c) ? true
                                                                 : !isLegalURLCharacter(c);
        if (!escape) {
            out.append(text.substr(start, i - start));
            continue;
        }
        // Escape the run of characters to escape together, so that stateful encodings stay whole.
        std::size_t end = i;
        while (end < text.size()) {
            std::size_t probe = end;
            bool ok = true;
            const char32_t next = detail::decodeUtf8(text, probe, &ok);
            if (!ok) return std::nullopt;
            const bool escapeNext = containsCharacter(leaveUnescaped, next)  ? false
                                    : containsCharacter(forceEscaped, next) ? true
                                                                            : !isLegalURLCharacter(next);
            if (!escapeNext) break;
            end = probe;
        }
        const auto bytes = encode(text.substr(start, end - start), encoding, false);
        if (!bytes) return std::nullopt;
        for (const std::uint8_t b : *bytes) {
            out += '%';
            out += kUpperHex[b >> 4];
            out += kUpperHex[b & 0x0F];
        }
        i = end;
    }
    return out;
}

std::optional<std::string> percentUnescape(std::string_view text, StringEncoding encoding) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '%') {
            const std::size_t start = i;
            while (i < text.size() && text[i] != '%') ++i;
            out.append(text.substr(start, i - start));
            continue;
        }
        Bytes run;
        while (i < text.size() && text[i] == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int hi = hexValue(text[i + 1]);
            const int lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            run.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
            i += 3;
        }
        auto decoded = decode(std::span<const std::uint8_t>(run), encoding);
        if (!decoded) return std::nullopt;
        out += *decoded;
    }
    return out;
}

std::string base64Encode(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (static_cast<std::uint32_t>(bytes[i]) << 16) |
                                (static_cast<std::uint32_t>(bytes[i + 1]) << 8) | bytes[i + 2];
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += kBase64Alphabet[(v >> 6) & 63];
        out += kBase64Alphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t v = static_cast<std::uint32_t>(bytes[i]) << 16;
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        const std::uint32_t v = (static_cast<std::uint32_t>(bytes[i]) << 16) | (static_cast<std::uint32_t>(bytes[i + 1]) << 8);
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += kBase64Alphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string base64Encode(std::string_view bytes) {
    return base64Encode(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::optional<Bytes> base64Decode(std::string_view text, bool ignoreUnknownCharacters) {
    std::string symbols;
    symbols.reserve(text.size());
    for (const char c : text) {
        if (base64Value(c) >= 0 || c == '=') {
            symbols += c;
        } else if (!ignoreUnknownCharacters) {
            return std::nullopt;
        }
    }
    if (symbols.size() % 4 != 0) return std::nullopt;
    const std::size_t firstPad = symbols.find('=');
    std::size_t padding = 0;
    if (firstPad != std::string::npos) {
        padding = symbols.size() - firstPad;
        if (padding > 2) return std::nullopt;
        for (std::size_t k = firstPad; k < symbols.size(); ++k) {
            if (symbols[k] != '=') return std::nullopt;
        }
    }
    Bytes out;
    out.reserve(symbols.size() / 4 * 3);
    for (std::size_t i = 0; i < symbols.size(); i += 4) {
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const int d = symbols[i + k] == '=' ? 0 : base64Value(symbols[i + k]);
            v = (v << 6) | static_cast<std::uint32_t>(d);
        }
        out.push_back(static_cast<std::uint8_t>(v >> 16));
        out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
        out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    }
    out.resize(out.size() - padding);
    return out;
}

}  // namespace lv::text
