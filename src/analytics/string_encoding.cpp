#include "analytics/string_encoding.h"

#include <bit>
#include <numeric>

#include "platform/base/error.h"
#include "platform/base/format.h"

namespace lv {

namespace {

bool isAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

TLYStringEncoding ready(std::string_view alphabet, bool padded, std::string_view synonyms = {}) {
    TLYStringEncoding encoding = *TLYStringEncoding::stringEncodingWithString(alphabet);
    if (padded) {
        encoding.setPaddingChar('=');
        encoding.setDoPad(true);
    }
    if (!synonyms.empty()) encoding.addDecodeSynonyms(synonyms);
    return encoding;
}

}  // namespace

std::optional<TLYStringEncoding> TLYStringEncoding::stringEncodingWithString(std::string_view alphabet) {
    if (!isAscii(alphabet)) return std::nullopt;
    const std::size_t length = alphabet.size();
    if (length < 2 || length > 128 || !std::has_single_bit(length)) return std::nullopt;
    TLYStringEncoding encoding;
    encoding.alphabet_ = std::string(alphabet);
    encoding.reverseCharMap_.fill(kUnknown);
    for (std::size_t i = 0; i < length; ++i) {
        int& entry = encoding.reverseCharMap_[static_cast<unsigned char>(alphabet[i])];
        if (entry != kUnknown) return std::nullopt;  // repeated character
        entry = static_cast<int>(i);
    }
    encoding.shift_ = std::countr_zero(length);
    encoding.mask_ = (1 << encoding.shift_) - 1;
    encoding.padLen_ = std::lcm(8, encoding.shift_) / encoding.shift_;
    return encoding;
}

TLYStringEncoding TLYStringEncoding::binaryStringEncoding() { return ready("01", false); }
TLYStringEncoding TLYStringEncoding::hexStringEncoding() {
    return ready("0123456789ABCDEF", false, "AaBbCcDdEeFf");
}
TLYStringEncoding TLYStringEncoding::rfc4648Base32StringEncoding() {
    return ready("ABCDEFGHIJKLMNOPQRSTUVWXYZ234567", true);
}
TLYStringEncoding TLYStringEncoding::rfc4648Base32HexStringEncoding() {
    return ready("0123456789ABCDEFGHIJKLMNOPQRSTUV", true);
}
TLYStringEncoding TLYStringEncoding::crockfordBase32StringEncoding() {
    return ready("0123456789ABCDEFGHJKMNPQRSTVWXYZ", false, "0oO1iIlLAaBbCcDdEeFfGgHhJjKkMmNnPpQqRrSsTtVvWwXxYyZz");
}
TLYStringEncoding TLYStringEncoding::rfc4648Base64StringEncoding() {
    return ready("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", true);
}
TLYStringEncoding TLYStringEncoding::rfc4648Base64WebsafeStringEncoding() {
    return ready("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", true);
}

void TLYStringEncoding::addDecodeSynonyms(std::string_view synonyms) {
    int current = kUnknown;
    for (char c : synonyms) {
        if (static_cast<unsigned char>(c) >= 0x80) continue;
        int& entry = reverseCharMap_[static_cast<unsigned char>(c)];
        if (entry != kUnknown) {
            current = entry;
        } else {
            entry = current;
        }
    }
}

void TLYStringEncoding::ignoreCharacters(std::string_view characters) {
    for (char c : characters) {
        if (static_cast<unsigned char>(c) >= 0x80) continue;
        int& entry = reverseCharMap_[static_cast<unsigned char>(c)];
        if (entry != kUnknown) Exception::raise(std::string(kInternalInconsistencyException), "Character already mapped");
        entry = kIgnored;
    }
}

void TLYStringEncoding::setPaddingChar(char c) {
    paddingChar_ = c;
    if (static_cast<unsigned char>(c) < 0x80) reverseCharMap_[static_cast<unsigned char>(c)] = kPadding;
}

std::string TLYStringEncoding::encode(std::span<const std::uint8_t> data) const {
    if (data.empty()) return {};
    const auto shift = static_cast<std::size_t>(shift_);
    std::size_t length = (data.size() * 8 + shift - 1) / shift;
    if (doPad_) {
        const auto pad = static_cast<std::size_t>(padLen_);
        length = (length + pad - 1) / pad * pad;
    }
    std::string out;
    out.reserve(length);
    std::uint32_t buffer = 0;
    int bits = 0;
    for (std::uint8_t byte : data) {
        buffer = (buffer << 8) | byte;
        bits += 8;
        while (bits >= shift_) {
            bits -= shift_;
            out.push_back(alphabet_[(buffer >> bits) & static_cast<std::uint32_t>(mask_)]);
        }
        buffer &= (1u << bits) - 1;
    }
    if (bits > 0) out.push_back(alphabet_[(buffer << (shift_ - bits)) & static_cast<std::uint32_t>(mask_)]);
    out.resize(std::max(out.size(), length), paddingChar_);
    return out;
}

std::string TLYStringEncoding::encodeString(std::string_view text) const {
    return encode(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::optional<Bytes> TLYStringEncoding::decode(std::string_view text) const {
    if (!isAscii(text)) return std::nullopt;
    Bytes out;
    out.reserve(static_cast<std::size_t>(shift_) * text.size() / 8);
    std::uint32_t buffer = 0;
    int bits = 0;
    bool padding = false;
    for (char c : text) {
        const int value = reverseCharMap_[static_cast<unsigned char>(c)];
        if (value == kIgnored) continue;
        if (value == kUnknown) return std::nullopt;
        if (value == kPadding) {
            padding = true;
            continue;
        }
        if (padding) return std::nullopt;  // a digit after padding
        buffer = (buffer << shift_) | static_cast<std::uint32_t>(value);
        bits += shift_;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(buffer >> bits));
            buffer &= (1u << bits) - 1;
        }
    }
    if (buffer != 0) return std::nullopt;  // spare bits must be zero
    return out;
}

std::optional<std::string> TLYStringEncoding::stringByDecoding(std::string_view text) const {
    auto bytes = decode(text);
    if (!bytes) return std::nullopt;
    std::string decoded(bytes->begin(), bytes->end());
    bool valid = true;
    for (std::size_t i = 0; i < decoded.size() && valid;) decodeUtf8(decoded, i, &valid);
    if (!valid) return std::nullopt;
    return decoded;
}

std::string TLYStringEncoding::description() const {
    return format("<Base%d StringEncoder: %@>", 1 << shift_, Value(Bytes(alphabet_.begin(), alphabet_.end())));
}

}  // namespace lv
