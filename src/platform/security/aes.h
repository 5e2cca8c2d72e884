// AES-128 in CBC mode, with PKCS#7 padding or none, and cryptographically random bytes. Stateless;
// any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/base/value.h"

namespace lv {

enum class AESPadding { None, PKCS7 };

// The key is 16 bytes; the IV is 16 bytes, or empty for an all-zero IV. Without padding the input
// must be a whole number of 16-byte blocks. Nothing when the key, IV or input do not fit, or (on
// decryption) when the padding is malformed.
std::optional<Bytes> aes128CBCEncrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                                      std::span<const std::uint8_t> input, AESPadding padding = AESPadding::PKCS7);
std::optional<Bytes> aes128CBCDecrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                                      std::span<const std::uint8_t> input, AESPadding padding = AESPadding::PKCS7);

// count bytes from the system's secure generator; nothing if it fails.
std::optional<Bytes> randomBytes(std::size_t count);

}  // namespace lv
