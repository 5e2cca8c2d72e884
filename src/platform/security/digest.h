// Message digests (MD5, SHA-1) and their hexadecimal text. Stateless; any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/value.h"

namespace lv {

// The 16-byte MD5 digest of the bytes.
Bytes md5Digest(std::span<const std::uint8_t> data);
Bytes md5Digest(std::string_view text);
// The 20-byte SHA-1 digest of the bytes.
Bytes sha1Digest(std::span<const std::uint8_t> data);
Bytes sha1Digest(std::string_view text);

// Two hexadecimal digits per byte, in byte order; lower case unless asked otherwise.
std::string hexString(std::span<const std::uint8_t> bytes, bool upperCase = false);

}  // namespace lv
