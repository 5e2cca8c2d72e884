// Digests through OpenSSL's one-shot EVP call.
#include "platform/security/digest.h"

#include <openssl/evp.h>

#include "platform/security/crypto_library.h"

namespace lv {

namespace {

[[maybe_unused]] const bool kDigestCryptoKept = keepCryptoLibraryForProcess();  // before any other OpenSSL use

Bytes digest(const EVP_MD* type, const void* data, std::size_t size) {
    Bytes out(static_cast<std::size_t>(EVP_MD_get_size(type)));
    unsigned int length = 0;
    if (EVP_Digest(data, size, out.data(), &length, type, nullptr) != 1) return {};
    out.resize(length);
    return out;
}

}  // namespace

Bytes md5Digest(std::span<const std::uint8_t> data) { return digest(EVP_md5(), data.data(), data.size()); }
Bytes md5Digest(std::string_view text) { return digest(EVP_md5(), text.data(), text.size()); }
Bytes sha1Digest(std::span<const std::uint8_t> data) { return digest(EVP_sha1(), data.data(), data.size()); }
Bytes sha1Digest(std::string_view text) { return digest(EVP_sha1(), text.data(), text.size()); }

std::string hexString(std::span<const std::uint8_t> bytes, bool upperCase) {
    const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace lv
