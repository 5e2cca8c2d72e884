// AES-128-CBC over OpenSSL's EVP interface; random bytes from the kernel's generator.
#include "platform/security/aes.h"

#include <openssl/evp.h>
#include <sys/random.h>

#include <cerrno>
#include <memory>

#include "platform/security/crypto_library.h"

namespace lv {

namespace {

[[maybe_unused]] const bool kAesCryptoKept = keepCryptoLibraryForProcess();  // before any other OpenSSL use

constexpr std::size_t kBlock = 16;

std::optional<Bytes> run(bool encrypt, std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                         std::span<const std::uint8_t> input, AESPadding padding) {
    if (key.size() != kBlock || (!iv.empty() && iv.size() != kBlock)) return std::nullopt;
    if ((padding == AESPadding::None || !encrypt) && input.size() % kBlock != 0) return std::nullopt;
    const std::uint8_t zeros[kBlock] = {};
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (!context) return std::nullopt;
    if (EVP_CipherInit_ex(context.get(), EVP_aes_128_cbc(), nullptr, key.data(), iv.empty() ? zeros : iv.data(),
                          encrypt ? 1 : 0) != 1) {
        return std::nullopt;
    }
    EVP_CIPHER_CTX_set_padding(context.get(), padding == AESPadding::PKCS7 ? 1 : 0);
    Bytes out(input.size() + kBlock);
    int written = 0;
    if (EVP_CipherUpdate(context.get(), out.data(), &written, input.data(), static_cast<int>(input.size())) != 1) {
        return std::nullopt;
    }
    int last = 0;
    if (EVP_CipherFinal_ex(context.get(), out.data() + written, &last) != 1) return std::nullopt;
    out.resize(static_cast<std::size_t>(written + last));
    return out;
}

}  // namespace

std::optional<Bytes> aes128CBCEncrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                                      std::span<const std::uint8_t> input, AESPadding padding) {
    return run(true, key, iv, input, padding);
}

std::optional<Bytes> aes128CBCDecrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                                      std::span<const std::uint8_t> input, AESPadding padding) {
    return run(false, key, iv, input, padding);
}

std::optional<Bytes> randomBytes(std::size_t count) {
    // getrandom(2) straight from the kernel's generator (the source OpenSSL seeds from): a process's
    // first OpenSSL RAND_bytes would set up its generator first, fetching AES-CTR through the providers,
    // which costs a launch more than a millisecond for a few bytes of session id.
    Bytes out(count);
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::getrandom(out.data() + got, count - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        got += static_cast<std::size_t>(n);
    }
    return out;
}

}  // namespace lv
