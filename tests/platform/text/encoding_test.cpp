#include "platform/text/encoding.h"

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace lv::text {
namespace {

Bytes bytes(std::initializer_list<int> list) {
    Bytes out;
    for (const int b : list) out.push_back(static_cast<std::uint8_t>(b));
    return out;
}

TEST(CharsetNames, NamesAndAliasesInAnyCaseAndQuoting) {
    const struct {
        const char* name;
        std::optional<StringEncoding> encoding;
    } cases[] = {
        {"UTF-8", StringEncoding::UTF8},          {"utf8", StringEncoding::UTF8},
        {"\"utf-8\"", StringEncoding::UTF8},      {"ascii", StringEncoding::ASCII},
        {"ISO_8859-1", StringEncoding::ISOLatin1}, {"latin1", StringEncoding::ISOLatin1},
        {"UTF-16BE", StringEncoding::UTF16BigEndian}, {"cp1251", StringEncoding::WindowsCP1251},
        {"gb2312", StringEncoding::EUCCN},         {"GBK", StringEncoding::GBK},
        {"macintosh", StringEncoding::MacOSRoman}, {"x-no-such-charset", std::nullopt},
        {"", std::nullopt},                        {"utf-9", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(encodingFromIANACharsetName(c.name), c.encoding) << c.name;
    EXPECT_EQ(ianaCharsetName(StringEncoding::ASCII), "us-ascii");
    EXPECT_EQ(ianaCharsetName(static_cast<StringEncoding>(12345)), std::nullopt);
    EXPECT_TRUE(isSupported(StringEncoding::GBK));
    EXPECT_FALSE(isSupported(StringEncoding::NEXTSTEP));
    // Every named encoding reads its own name back.
    for (auto e : {StringEncoding::UTF8, StringEncoding::ASCII, StringEncoding::ISOLatin1, StringEncoding::UTF16,
                   StringEncoding::UTF16BigEndian, StringEncoding::UTF32LittleEndian, StringEncoding::WindowsCP1250,
                   StringEncoding::ShiftJIS, StringEncoding::EUCCN, StringEncoding::Big5, StringEncoding::KOI8U}) {
        const auto name = ianaCharsetName(e);
        ASSERT_TRUE(name);
        EXPECT_EQ(encodingFromIANACharsetName(*name), e) << *name;
    }
}

TEST(Encodings, LosslessTest) {
    EXPECT_TRUE(canBeConverted("Mozilla/5.0 (iPhone; iOS 8.1; Scale/2.00)", StringEncoding::ASCII));
    EXPECT_FALSE(canBeConverted("Café/1.0", StringEncoding::ASCII));
    EXPECT_FALSE(canBeConverted("中文/1.0", StringEncoding::ASCII));
    EXPECT_TRUE(canBeConverted("Café", StringEncoding::ISOLatin1));
    EXPECT_FALSE(canBeConverted("€", StringEncoding::ISOLatin1));
    EXPECT_TRUE(canBeConverted("€", StringEncoding::WindowsCP1252));
    EXPECT_TRUE(canBeConverted("中文", StringEncoding::UTF8));
    EXPECT_FALSE(canBeConverted("\xC3\x28", StringEncoding::UTF8));
    EXPECT_TRUE(canBeConverted("中文", StringEncoding::GBK));
    EXPECT_FALSE(canBeConverted("한", StringEncoding::EUCCN));
}

// A faulty byte is found wherever it sits against the eight-byte ASCII runs the check skips: at the
// start, inside a run, right after one, at the very end, and as a sequence cut off by the end.
TEST(Encodings, Utf8CheckFindsFaultsAroundAsciiRuns) {
    const std::string run = "abcdefgh";
    const struct {
        std::string text;
        bool valid;
    } cases[] = {
        {"", true},
        {run + run + "\xC3\xA9" + run + "xyz", true},
        {run + "\xE4\xB8\xAD\xE6\x96\x87" + run + run, true},
        {"\xF0\x9F\x98\x80" + run, true},
        {"\xFF" + run + run, false},
        {run + "\x80" + run, false},
        {"abc\xC0\xAF" + run + run, false},  // overlong
        {run + run + "abcdefg\xC3", false},   // cut off at the end
        {run + run + run + "\xED\xA0\x80", false},  // surrogate
        {run + "abcd\xC3\x28" + run, false},
        {run + run + "\x7F", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(canBeConverted(c.text, StringEncoding::UTF8), c.valid) << c.text.size();
    }
}

TEST(Encodings, StrictEncode) {
    EXPECT_EQ(encode("é", StringEncoding::UTF8), bytes({0xC3, 0xA9}));
    EXPECT_EQ(encode("é", StringEncoding::ISOLatin1), bytes({0xE9}));
    EXPECT_EQ(encode("é", StringEncoding::ASCII), std::nullopt);
    EXPECT_EQ(encode("中", StringEncoding::ISOLatin1), std::nullopt);
    EXPECT_EQ(encode("中", StringEncoding::GBK), bytes({0xD6, 0xD0}));
    EXPECT_EQ(encode("€", StringEncoding::WindowsCP1252), bytes({0x80}));
    EXPECT_EQ(encode("", StringEncoding::UTF8), Bytes{});
    EXPECT_EQ(encode("\xFF", StringEncoding::UTF8), std::nullopt);
}

TEST(Encodings, Utf16AndUtf32) {
    EXPECT_EQ(encode("a", StringEncoding::UTF16), bytes({0xFF, 0xFE, 0x61, 0x00}));  // mark, host order
    EXPECT_EQ(encode("é", StringEncoding::UTF16LittleEndian), bytes({0xE9, 0x00}));
    EXPECT_EQ(encode("😀", StringEncoding::UTF16BigEndian), bytes({0xD8, 0x3D, 0xDE, 0x00}));
    EXPECT_EQ(encode("a", StringEncoding::UTF32BigEndian), bytes({0, 0, 0, 0x61}));
    EXPECT_EQ(encode("a", StringEncoding::UTF32), bytes({0xFF, 0xFE, 0, 0, 0x61, 0, 0, 0}));

    EXPECT_EQ(decode(bytes({0xFE, 0xFF, 0x00, 0x61}), StringEncoding::UTF16), "a");
    EXPECT_EQ(decode(bytes({0xFF, 0xFE, 0x61, 0x00}), StringEncoding::UTF16), "a");
    EXPECT_EQ(decode(bytes({0x00, 0x61}), StringEncoding::UTF16), "a");  // no mark: big-endian
    EXPECT_EQ(decode(bytes({0xD8, 0x3D, 0xDE, 0x00}), StringEncoding::UTF16BigEndian), "😀");
    EXPECT_EQ(decode(bytes({0x61}), StringEncoding::UTF16), std::nullopt);                     // odd length
    EXPECT_EQ(decode(bytes({0xD8, 0x3D, 0x00, 0x61}), StringEncoding::UTF16BigEndian), std::nullopt);  // lone high
    EXPECT_EQ(decode(bytes({0xDE, 0x00}), StringEncoding::UTF16BigEndian), std::nullopt);              // lone low
    EXPECT_EQ(decode(bytes({0, 0, 0xFE, 0xFF, 0, 0, 0, 0x61}), StringEncoding::UTF32), "a");
    EXPECT_EQ(decode(bytes({0, 0x11, 0, 0}), StringEncoding::UTF32BigEndian), std::nullopt);  // beyond U+10FFFF
}

TEST(Encodings, StrictDecode) {
    EXPECT_EQ(decode(std::string_view("\xC3\x28"), StringEncoding::UTF8), std::nullopt);
    EXPECT_EQ(decode(std::string_view("\xE9"), StringEncoding::ISOLatin1), "é");
    EXPECT_EQ(decode(std::string_view("\xE9"), StringEncoding::ASCII), std::nullopt);
    EXPECT_EQ(decode(std::string_view("\xD6\xD0\xCE\xC4"), StringEncoding::EUCCN), "中文");
    EXPECT_EQ(decode(std::string_view("\xFF\xFF"), StringEncoding::ShiftJIS), std::nullopt);
    EXPECT_EQ(decode(std::string_view("a\0b", 3), StringEncoding::UTF8), std::string("a\0b", 3));
}

TEST(Encodings, LossyConversion) {
    EXPECT_EQ(encode("café", StringEncoding::ASCII, true), bytes({'c', 'a', 'f', 'e'}));  // accent dropped
    EXPECT_EQ(encode("Ünïcode", StringEncoding::ASCII, true), bytes({'U', 'n', 'i', 'c', 'o', 'd', 'e'}));
    EXPECT_EQ(encode("中a", StringEncoding::ASCII, true), bytes({'?', 'a'}));
    EXPECT_EQ(encode("€", StringEncoding::ISOLatin1, true), bytes({'?'}));
    // To UTF-8 a lossy conversion drops what cannot be encoded (malformed input bytes).
    EXPECT_EQ(encode("a\xFF" "b", StringEncoding::UTF8, true), bytes({'a', 'b'}));
    EXPECT_EQ(encode("a\xFF" "b", StringEncoding::UTF8, false), std::nullopt);
}

TEST(Encodings, CutAtCharacterBoundary) {
    // Three 3-byte characters, limit 7 → the first two (6 bytes); limit 9 → all.
    const std::string text = "中文字";
    auto cut = getBytes(text, StringEncoding::UTF8, 7);
    EXPECT_TRUE(cut.converted);
    EXPECT_EQ(cut.consumedBytes, 6u);
    EXPECT_EQ(std::string(cut.bytes.begin(), cut.bytes.end()), "中文");
    cut = getBytes(text, StringEncoding::UTF8, 9);
    EXPECT_EQ(std::string(cut.bytes.begin(), cut.bytes.end()), text);
    // Nothing fits: the platform reports failure (the caller keeps the input).
    EXPECT_FALSE(getBytes(text, StringEncoding::UTF8, 2).converted);
    EXPECT_FALSE(getBytes("", StringEncoding::UTF8, 10).converted);
    // A surrogate pair is never split.
    cut = getBytes("a😀", StringEncoding::UTF16LittleEndian, 3);
    EXPECT_EQ(cut.bytes, bytes({'a', 0}));
    EXPECT_EQ(cut.consumedBytes, 1u);
    // Conversion stops at the first character without a form.
    cut = getBytes("ab中c", StringEncoding::ASCII, 10);
    EXPECT_TRUE(cut.converted);
    EXPECT_EQ(cut.bytes, bytes({'a', 'b'}));

    EXPECT_EQ(prefixFittingUtf8Bytes("中文字", 7), "中文");
    EXPECT_EQ(prefixFittingUtf8Bytes("中文字", 2), "");
    EXPECT_EQ(prefixFittingUtf8Bytes("abc", 3), "abc");
}

TEST(Transform, AnyLatinToAscii) {
    // A User-Agent that is not lossless ASCII goes through this transform.
    EXPECT_EQ(transform("中文", kToAsciiTransform), "zhong wen");
    EXPECT_EQ(transform("Café Müller/1.0", kToAsciiTransform), "Cafe Muller/1.0");
    EXPECT_EQ(transform("新闻/2.1 (iPhone; iOS 8.1; Scale/2.00)", kToAsciiTransform),
              "xin wen/2.1 (iPhone; iOS 8.1; Scale/2.00)");
    EXPECT_EQ(transform("Ελληνικά", kToAsciiTransform), "Ellenika");
    EXPECT_EQ(transform("a😀b", kToAsciiTransform), "ab");  // what has no Latin form is removed
    EXPECT_EQ(transform("x", "No-Such-Transform"), std::nullopt);
    EXPECT_EQ(transform("Ab", "Any-Upper"), "AB");
}

TEST(Transform, FromManyThreads) {
    std::vector<std::thread> threads;
    std::vector<int> failures(6, 0);
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                if (transform("Café", kToAsciiTransform) != "Cafe") ++failures[t];
            }
        });
    }
    for (auto& t : threads) t.join();
    for (const int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
}  // namespace lv::text
