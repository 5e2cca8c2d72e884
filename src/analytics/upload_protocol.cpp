#include "analytics/upload_protocol.h"

#include <algorithm>

#include "analytics/tly_util.h"
#include "platform/security/digest.h"

namespace lv::upload_protocol {

std::string logURL() { return "http://" + std::string(kLogHost) + std::string(kLogPath); }
std::string logFallbackURL() { return "http://" + std::string(kLogFallbackHost) + std::string(kLogPath); }

std::string lowerHex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0f]);
    }
    return text;
}

bool isLowerHex(std::string_view text, std::size_t byteCount) {
    return text.size() == byteCount * 2 &&
           std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::optional<Bytes> bytesFromLowerHex(std::string_view text) {
    if (!isLowerHex(text, text.size() / 2)) return std::nullopt;
    auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    Bytes bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(digit(text[i]) * 16 + digit(text[i + 1])));
    }
    return bytes;
}

std::string envelopeChecksum(std::span<const std::uint8_t> entity) { return lowerHex(md5Digest(entity)); }

Bytes entityKey(std::span<const std::uint8_t> signature) { return md5Digest(signature); }

std::string exchangeChecksum(std::span<const std::uint8_t> signature) {
    return TLYUtil::md5(lowerHex(signature.first(std::min<std::size_t>(16, signature.size()))));
}

}  // namespace lv::upload_protocol
