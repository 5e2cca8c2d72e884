// Digests and AES against published test vectors: RFC 1321 (MD5), FIPS 180 examples (SHA-1) and
// NIST SP 800-38A F.2.1/F.2.2 (AES-128-CBC).
#include <gtest/gtest.h>

#include <string>

#include "platform/security/aes.h"
#include "platform/security/digest.h"

namespace lv {
namespace {

Bytes fromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

TEST(Digests, PublishedVectors) {
    struct Case {
        std::string input;
        const char* md5;
        const char* sha1;
    };
    const std::string digits = "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0", nullptr},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b", nullptr},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f", nullptr},
        {digits, "57edf4a22be3c955ac49da2e2107b67a", nullptr},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", nullptr,
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21", "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 20));
        if (c.md5) {
            EXPECT_EQ(hexString(md5Digest(c.input)), c.md5);
        }
        if (c.sha1) {
            EXPECT_EQ(hexString(sha1Digest(Bytes(c.input.begin(), c.input.end()))), c.sha1);
        }
    }
    EXPECT_EQ(hexString(md5Digest("abc"), true), "900150983CD24FB0D6963F7D28E17F72");
}

const char* kKey = "2b7e151628aed2a6abf7158809cf4f3c";
const char* kIV = "000102030405060708090a0b0c0d0e0f";
const char* kPlain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
const char* kCipher =
    "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
    "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7";

TEST(Aes, SP800_38AVectorsBothWays) {
    const auto encrypted = aes128CBCEncrypt(fromHex(kKey), fromHex(kIV), fromHex(kPlain), AESPadding::None);
    ASSERT_TRUE(encrypted);
    EXPECT_EQ(hexString(*encrypted), kCipher);
    const auto decrypted = aes128CBCDecrypt(fromHex(kKey), fromHex(kIV), fromHex(kCipher), AESPadding::None);
    ASSERT_TRUE(decrypted);
    EXPECT_EQ(hexString(*decrypted), kPlain);
}

TEST(Aes, PKCS7PadsWithAWholeBlockAndChecksThePadding) {
    const Bytes key = fromHex(kKey);
    const Bytes iv = fromHex(kIV);
    // With padding, the vector's 64 bytes gain one block: the published ciphertext, then 16 × 0x10 encrypted.
    const auto padded = aes128CBCEncrypt(key, iv, fromHex(kPlain));
    ASSERT_TRUE(padded);
    ASSERT_EQ(padded->size(), 80u);
    EXPECT_EQ(hexString(Bytes(padded->begin(), padded->begin() + 64)), kCipher);
    const auto lastRaw = aes128CBCDecrypt(key, Bytes(padded->begin() + 48, padded->begin() + 64),
                                          Bytes(padded->begin() + 64, padded->end()), AESPadding::None);
    EXPECT_EQ(*lastRaw, Bytes(16, 0x10));
    for (const std::size_t length : {0u, 1u, 15u, 16u, 17u}) {
        const Bytes plain(length, 0x41);
        const auto cipher = aes128CBCEncrypt(key, {}, plain);  // empty IV: all zeros
        ASSERT_TRUE(cipher);
        EXPECT_EQ(cipher->size(), (length / 16 + 1) * 16);
        EXPECT_EQ(aes128CBCDecrypt(key, Bytes(16, 0), *cipher), plain);
    }
    // A last block whose padding is not k bytes of value k is refused.
    const auto bad = aes128CBCEncrypt(key, iv, Bytes(16, 0x00), AESPadding::None);
    EXPECT_FALSE(aes128CBCDecrypt(key, iv, *bad));
    // Wrong sizes are refused, not truncated.
    EXPECT_FALSE(aes128CBCEncrypt(Bytes(15, 1), iv, Bytes(16, 0)));
    EXPECT_FALSE(aes128CBCEncrypt(key, Bytes(8, 0), Bytes(16, 0)));
    EXPECT_FALSE(aes128CBCEncrypt(key, iv, Bytes(15, 0), AESPadding::None));
    EXPECT_FALSE(aes128CBCDecrypt(key, iv, Bytes(20, 0)));
}

TEST(Aes, RandomBytesDiffer) {
    const auto a = randomBytes(32);
    const auto b = randomBytes(32);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->size(), 32u);
    EXPECT_NE(*a, *b);
}

}  // namespace
}  // namespace lv
