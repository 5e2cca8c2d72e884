// Digests through OpenSSL's own MD5 and SHA-1 functions. They are deprecated in OpenSSL 3 in favour of
// EVP, whose first call sets up the library context and its default provider (about a millisecond of a
// launch, for a session id's MD5); these compute the same digests without it.
#include "platform/security/digest.h"

#include <openssl/md5.h>
#include <openssl/sha.h>

#include "platform/security/crypto_library.h"

namespace lv {

namespace {

[[maybe_unused]] const bool kDigestCryptoKept = keepCryptoLibraryForProcess();  // before any other OpenSSL use

// (Deprecated declarations are allowed here alone; a unity build may have seen OpenSSL's headers first.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

Bytes md5(const void* data, std::size_t size) {
    Bytes out(MD5_DIGEST_LENGTH);
    MD5_CTX context;
    if (MD5_Init(&context) != 1 || MD5_Update(&context, data, size) != 1 || MD5_Final(out.data(), &context) != 1) return {};
    return out;
}

Bytes sha1(const void* data, std::size_t size) {
    Bytes out(SHA_DIGEST_LENGTH);
    SHA_CTX context;
    if (SHA1_Init(&context) != 1 || SHA1_Update(&context, data, size) != 1 || SHA1_Final(out.data(), &context) != 1) {
        return {};
    }
    return out;
}

#pragma GCC diagnostic pop

}  // namespace

Bytes md5Digest(std::span<const std::uint8_t> data) { return md5(data.data(), data.size()); }
Bytes md5Digest(std::string_view text) { return md5(text.data(), text.size()); }
Bytes sha1Digest(std::span<const std::uint8_t> data) { return sha1(data.data(), data.size()); }
Bytes sha1Digest(std::string_view text) { return sha1(text.data(), text.size()); }

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
