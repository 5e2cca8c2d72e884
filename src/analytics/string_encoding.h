// Byte-to-text encodings in any power-of-two base from 2 to 128 over a given ASCII alphabet
// (binary, hexadecimal, RFC 4648 Base32, Base32-hex and Base64, Crockford Base32, web-safe Base64),
// most significant bit first, with optional padding, decode synonyms and ignored characters.
// Thread rule: configure an encoder on one thread; encoding and decoding only read it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/value.h"

namespace lv {

class TLYStringEncoding {
public:
    // Nothing for an alphabet that is not ASCII, whose length is not a power of two from 2 to 128,
    // or that repeats a character.
    static std::optional<TLYStringEncoding> stringEncodingWithString(std::string_view alphabet);

    static TLYStringEncoding binaryStringEncoding();
    static TLYStringEncoding hexStringEncoding();
    static TLYStringEncoding rfc4648Base32StringEncoding();
    static TLYStringEncoding rfc4648Base32HexStringEncoding();
    static TLYStringEncoding crockfordBase32StringEncoding();
    static TLYStringEncoding rfc4648Base64StringEncoding();
    static TLYStringEncoding rfc4648Base64WebsafeStringEncoding();

    // Characters decoded like the last already-mapped character before them ("AaBb": a as A, b as B).
    void addDecodeSynonyms(std::string_view synonyms);
    // Characters skipped when decoding; one already mapped raises NSInternalInconsistencyException.
    void ignoreCharacters(std::string_view characters);
    bool doPad() const { return doPad_; }
    void setDoPad(bool doPad) { doPad_ = doPad; }
    void setPaddingChar(char c);

    std::string encode(std::span<const std::uint8_t> data) const;
    std::string encodeString(std::string_view text) const;
    // Nothing for a character outside the alphabet, a digit after padding, or non-zero spare bits.
    std::optional<Bytes> decode(std::string_view text) const;
    // The decoded bytes as UTF-8 text; nothing when they are not.
    std::optional<std::string> stringByDecoding(std::string_view text) const;

    // "<Base<n> StringEncoder: <alphabet bytes>>".
    std::string description() const;

private:
    TLYStringEncoding() = default;

    static constexpr int kUnknown = -1;
    static constexpr int kPadding = -2;
    static constexpr int kIgnored = -3;

    std::string alphabet_;
    std::array<int, 128> reverseCharMap_{};
    int shift_ = 0;
    int mask_ = 0;
    bool doPad_ = false;
    char paddingChar_ = 0;
    int padLen_ = 0;
};

}  // namespace lv
