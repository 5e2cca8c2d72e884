#include <gtest/gtest.h>
#include <zlib.h>

#include "analytics/deflated.h"
#include "analytics/pack_cases.h"
#include "analytics/string_encoding.h"
#include "analytics/tly_util.h"
#include "platform/base/error.h"

namespace lv {
namespace {

using test::hexBytes;

std::string text(const std::optional<Bytes>& bytes) {
    return bytes ? std::string(bytes->begin(), bytes->end()) : "<nothing>";
}

TEST(StringEncoding, Rfc4648Vectors) {
    struct Case {
        const char* input;
        const char* base64;
        const char* base32;
        const char* base32hex;
        const char* base16;
    } cases[] = {
        {"", "", "", "", ""},
        {"f", "Zg==", "MY======", "CO======", "66"},
        {"fo", "Zm8=", "MZXQ====", "CPNG====", "666F"},
        {"foo", "Zm9v", "MZXW6===", "CPNMU===", "666F6F"},
        {"foob", "Zm9vYg==", "MZXW6YQ=", "CPNMUOG=", "666F6F62"},
        {"fooba", "Zm9vYmE=", "MZXW6YTB", "CPNMUOJ1", "666F6F6261"},
        {"foobar", "Zm9vYmFy", "MZXW6YTBOI======", "CPNMUOJ1E8======", "666F6F626172"},
    };
    const TLYStringEncoding encoders[] = {TLYStringEncoding::rfc4648Base64StringEncoding(),
                                          TLYStringEncoding::rfc4648Base32StringEncoding(),
                                          TLYStringEncoding::rfc4648Base32HexStringEncoding(),
                                          TLYStringEncoding::hexStringEncoding()};
    for (const auto& c : cases) {
        const char* expected[] = {c.base64, c.base32, c.base32hex, c.base16};
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(encoders[i].encodeString(c.input), expected[i]) << encoders[i].description();
            EXPECT_EQ(encoders[i].stringByDecoding(expected[i]), c.input) << encoders[i].description();
        }
    }
    EXPECT_EQ(TLYStringEncoding::binaryStringEncoding().encode(Bytes{0xA5}), "10100101");
    EXPECT_EQ(TLYStringEncoding::rfc4648Base64WebsafeStringEncoding().encode(Bytes{0xFB, 0xFF}), "-_8=");
    EXPECT_EQ(TLYStringEncoding::rfc4648Base64StringEncoding().description(),
              "<Base64 StringEncoder: <41424344 45464748 494a4b4c 4d4e4f50 51525354 55565758 595a6162 63646566 "
              "6768696a 6b6c6d6e 6f707172 73747576 7778797a 30313233 34353637 38392b2f>>");
}

TEST(StringEncoding, DecodingRules) {
    auto base64 = TLYStringEncoding::rfc4648Base64StringEncoding();
    auto crockford = TLYStringEncoding::crockfordBase32StringEncoding();
    auto hex = TLYStringEncoding::hexStringEncoding();
    struct Case {
        const char* what;
        const TLYStringEncoding& encoding;
        const char* input;
        const char* decoded;
    } cases[] = {
        {"lower-case hex", hex, "6f6F", "oo"},
        {"spare bits zero", base64, "Zm8", "fo"},
        {"spare bits set", base64, "Zm9", "<nothing>"},
        {"digit after padding", base64, "Zg=a", "<nothing>"},
        {"unknown character", base64, "Zm 8", "<nothing>"},
        {"not ASCII", base64, "Zm\xC3\xA9", "<nothing>"},
    };
    for (const auto& c : cases) EXPECT_EQ(text(c.encoding.decode(c.input)), c.decoded) << c.what;
    ASSERT_TRUE(crockford.decode("00111100"));
    EXPECT_EQ(crockford.decode("oOiIlL00"), crockford.decode("00111100"));  // O as 0, I and L as 1
    auto lines = TLYStringEncoding::rfc4648Base64StringEncoding();
    lines.ignoreCharacters("\n ");
    EXPECT_EQ(text(lines.decode("Zm9v\nYmFy ")), "foobar");
    EXPECT_THROW(lines.ignoreCharacters("A"), Exception);
}

TEST(StringEncoding, RefusesBadAlphabets) {
    std::string repeated = "ABCA";
    std::string nonAscii = "A\xC3\xA9" "B";
    for (const std::string& alphabet : {std::string("ABC"), std::string(129, 'a'), std::string(256, 'a'),
                                        std::string("A"), repeated, nonAscii}) {
        EXPECT_FALSE(TLYStringEncoding::stringEncodingWithString(alphabet)) << alphabet;
    }
    std::string all128;
    for (int c = 0; c < 128; ++c) all128.push_back(static_cast<char>(c));
    auto base128 = TLYStringEncoding::stringEncodingWithString(all128);
    ASSERT_TRUE(base128);
    Bytes data{0xDE, 0xAD, 0xBE, 0xEF, 0x01};
    EXPECT_EQ(base128->decode(base128->encode(data)), data);
}

Bytes inflate(std::span<const std::uint8_t> stream, std::size_t capacity) {
    Bytes out(capacity + 1);
    uLongf length = out.size();
    EXPECT_EQ(uncompress(out.data(), &length, stream.data(), stream.size()), Z_OK);
    out.resize(length);
    return out;
}

TEST(Deflate, ZlibStreamsBehindAPrefix) {
    auto empty = TLYDeflated::deflatedData({});
    ASSERT_TRUE(empty);
    EXPECT_EQ(inflate(*empty, 0), Bytes());
    std::string source(10000, 'a');
    Bytes sourceBytes(source.begin(), source.end());
    auto prefixed = TLYDeflated::deflatedDataPrefixedWith(Bytes{0xAB, 0xCD}, 9, sourceBytes);
    ASSERT_TRUE(prefixed);
    EXPECT_EQ((*prefixed)[0], 0xAB);
    EXPECT_EQ((*prefixed)[1], 0xCD);
    EXPECT_EQ((*prefixed)[2], 0x78);  // zlib header, not gzip or raw deflate
    EXPECT_EQ(inflate(std::span(*prefixed).subspan(2), source.size()), sourceBytes);
    EXPECT_FALSE(TLYDeflated::deflatedDataPrefixedWith({}, 42, sourceBytes));  // zlib refuses the level
}

TEST(Deflate, OutputCapacityDoesNotWrap) {
    // Near 4 GiB a 32-bit sum of prefix + L×1001/1000 + 12 wraps to a few megabytes.
    const std::size_t source = 4294000000u;
    EXPECT_GT(TLYDeflated::outputCapacity(16, source), source + 16);
}

TEST(AesHelpers, CbcWithTheFixedIV) {
    const Bytes key = hexBytes("000102030405060708090a0b0c0d0e0f");
    EXPECT_EQ(TallyUtility::AES128EncryptData({}, key)->size(), 16u);
    EXPECT_EQ(TallyUtility::AES128EncryptData(Bytes(16, 7), key)->size(), 32u);
    // printf 'analytics envelope body' | openssl enc -aes-128-cbc -K 0001…0e0f -iv 7c41e0b95a2d38f6c19e04b7d2853a6f
    const std::string plain = "analytics envelope body";
    const Bytes vector = hexBytes("6ce8e410e8c3fcb58f7941e2533d0b70a2d99da3857be48d93313618897b2058");
    EXPECT_EQ(TallyUtility::AES128EncryptData(Bytes(plain.begin(), plain.end()), key), vector);
    EXPECT_EQ(text(TallyUtility::AES128DecryptData(vector, key)), plain);
    EXPECT_FALSE(TallyUtility::AES128EncryptData(Bytes{1}, Bytes(15, 0)));  // key of the wrong size
    EXPECT_FALSE(TallyUtility::AES128DecryptData(Bytes(15, 0), key));      // not whole blocks
}

}  // namespace
}  // namespace lv
