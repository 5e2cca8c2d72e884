#include <gtest/gtest.h>

#include <random>

#include "platform/base/log.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/property_list.h"
#include "support/temp_dir.h"

#include "storage_test_support.h"

namespace lv {
namespace {

Value sample() {
    return Value::dictionary({
        {"title", "韩剧 \U0001F3B5 <&>"},
        {"count", -42},
        {"big", INT64_MAX},
        {"ratio", 0.1},
        {"flag", true},
        {"off", false},
        {"blob", Value(Bytes{0, 1, 2, 0xFF})},
        {"when", Value(Date::fromSince1970(1425517622.0))},
        {"list", Value::array({1, "two", Value::array({}), Value::dictionary({})})},
        {"nested", Value::dictionary({{"k", Value::array({3.5})}})},
    });
}

Bytes encode(const Value& v, PropertyListFormat format) {
    Ref<Error> error;
    auto bytes = PropertyListSerialization::dataWithPropertyList(v, format, 0, &error);
    EXPECT_TRUE(bytes) << (error ? error->description() : "");
    return bytes.value_or(Bytes{});
}

TEST(PropertyLists, RoundTripInBothFormatsWithTheFormatDetected) {
    for (PropertyListFormat format : {PropertyListFormat::XML, PropertyListFormat::Binary}) {
        const Bytes bytes = encode(sample(), format);
        PropertyListFormat detected = PropertyListFormat::OpenStep;
        Ref<Error> error;
        const Value back = PropertyListSerialization::propertyListWithData(bytes, 0, &detected, &error);
        EXPECT_EQ(detected, format);
        EXPECT_FALSE(error);
        EXPECT_EQ(back, sample()) << back.description();
        EXPECT_EQ(test::kindOf(back["count"]), NumberKind::Int64);
        EXPECT_EQ(test::kindOf(back["flag"]), NumberKind::Bool);
        EXPECT_EQ(test::kindOf(back["ratio"]), NumberKind::Double);
    }
    const std::string xml(reinterpret_cast<const char*>(encode(sample(), PropertyListFormat::XML).data()),
                          encode(sample(), PropertyListFormat::XML).size());
    EXPECT_NE(xml.find("<key>title</key>"), std::string::npos);
    EXPECT_NE(xml.find("<integer>-42</integer>"), std::string::npos);
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);
}

TEST(PropertyLists, BinaryDatesKeepFractionsAndXmlDatesWholeSeconds) {
    for (double since1970 : {1425517622.25, 978307100.5, 978307200.0, 0.0}) {
        const Value v = Value::array({Value(Date::fromSince1970(since1970))});
        const Value binary = PropertyListSerialization::propertyListWithData(encode(v, PropertyListFormat::Binary), 0,
                                                                            nullptr, nullptr);
        EXPECT_NEAR(test::since1970(binary[0]), since1970, 1e-6) << since1970;
        const Value xml =
            PropertyListSerialization::propertyListWithData(encode(v, PropertyListFormat::XML), 0, nullptr, nullptr);
        EXPECT_NEAR(test::since1970(xml[0]), since1970, 1.0) << since1970;
    }
}

TEST(PropertyLists, ValuesAPropertyListCannotHoldAreWriteErrors) {
    for (const Value& bad : {Value::array({Value::null()}), Value::dictionary({{"d", Value(Date::distantFuture())}}),
                             Value(), Value::array({std::string("a\0b", 3)})}) {
        Ref<Error> error;
        EXPECT_FALSE(PropertyListSerialization::dataWithPropertyList(bad, PropertyListFormat::Binary, 0, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), kPropertyListWriteInvalidError);
        EXPECT_FALSE(PropertyListSerialization::propertyListIsValidForFormat(bad, PropertyListFormat::XML));
    }
    Ref<Error> error;
    EXPECT_FALSE(PropertyListSerialization::dataWithPropertyList(sample(), PropertyListFormat::OpenStep, 0, &error));
    EXPECT_TRUE(error);
}

void expectCorrupt(std::span<const std::uint8_t> bytes, const std::string& what) {
    LogCapture capture;
    Ref<Error> error;
    EXPECT_TRUE(PropertyListSerialization::propertyListWithData(bytes, 0, nullptr, &error).isNil()) << what;
    ASSERT_TRUE(error) << what;
    EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(error->code(), kPropertyListReadCorruptError);
    EXPECT_EQ(capture.lines().size(), 1u) << what;
}

TEST(PropertyLists, TruncatedAndGarbageInputIsRejectedWithoutCrashing) {
    expectCorrupt({}, "empty");
    const std::string garbage = "this is not a property list";
    expectCorrupt(std::span(reinterpret_cast<const std::uint8_t*>(garbage.data()), garbage.size()), "text");
    for (PropertyListFormat format : {PropertyListFormat::XML, PropertyListFormat::Binary}) {
        const Bytes bytes = encode(sample(), format);
        // Cuts before the end of the root (the XML closing tags are needed, so is the binary trailer).
        const std::size_t keep = format == PropertyListFormat::XML ? bytes.size() - 10 : bytes.size() - 1;
        for (std::size_t cut = 1; cut < keep; cut += (cut < 64 ? 1 : 7)) {
            expectCorrupt(std::span(bytes.data(), cut), "cut at " + std::to_string(cut));
        }
    }
}

TEST(PropertyLists, DamagedBytesNeverCrashTheReader) {
    std::mt19937 random(1234);
    LogCapture quiet;
    for (PropertyListFormat format : {PropertyListFormat::XML, PropertyListFormat::Binary}) {
        const Bytes original = encode(sample(), format);
        int rejected = 0;
        for (int round = 0; round < 3000; ++round) {
            Bytes damaged = original;
            for (int flips = 1 + static_cast<int>(random() % 4); flips > 0; --flips) {
                damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
            }
            Ref<Error> error;
            const Value v = PropertyListSerialization::propertyListWithData(damaged, 0, nullptr, &error);
            EXPECT_EQ(v.isNil(), error != nullptr);
            rejected += v.isNil() ? 1 : 0;
        }
        EXPECT_GT(rejected, 0);
    }
}

// A binary property list from raw objects (4-byte offsets and references), for input no writer makes.
Bytes binaryPlist(const std::vector<Bytes>& objects, std::uint32_t top) {
    Bytes out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<std::uint32_t> offsets;
    for (const Bytes& object : objects) {
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        out.insert(out.end(), object.begin(), object.end());
    }
    auto put32 = [&](std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
    };
    const auto table = static_cast<std::uint32_t>(out.size());
    for (std::uint32_t offset : offsets) put32(offset);
    out.insert(out.end(), {0, 0, 0, 0, 0, 0, 4, 4, 0, 0, 0, 0});
    put32(static_cast<std::uint32_t>(objects.size()));
    out.insert(out.end(), {0, 0, 0, 0});
    put32(top);
    out.insert(out.end(), {0, 0, 0, 0});
    put32(table);
    return out;
}

Bytes ref32(std::uint8_t marker, std::uint32_t ref) {
    return {marker, static_cast<std::uint8_t>(ref >> 24), static_cast<std::uint8_t>(ref >> 16),
            static_cast<std::uint8_t>(ref >> 8), static_cast<std::uint8_t>(ref)};
}

TEST(PropertyLists, HandMadeBinaryInputIsReadAndItsTrapsAreRefused) {
    // {"k": "x"} built by hand reads back.
    EXPECT_EQ(PropertyListSerialization::propertyListWithData(
                  binaryPlist({{0xD1, 0, 0, 0, 1, 0, 0, 0, 2}, {0x51, 'k'}, {0x51, 'x'}}, 0), 0, nullptr, nullptr),
              Value::dictionary({{"k", "x"}}));
    // A key holding a NUL character.
    const Bytes nulKey = binaryPlist({{0xD1, 0, 0, 0, 1, 0, 0, 0, 2}, {0x62, 0, 'a', 0, 0}, {0x51, 'x'}}, 0);
    expectCorrupt(nulKey, "NUL in a key");
    // 100000 nested arrays, and an array that contains itself.
    std::vector<Bytes> chain;
    for (std::uint32_t i = 0; i < 100000; ++i) chain.push_back(i + 1 < 100000 ? ref32(0xA1, i + 1) : Bytes{0xA0});
    expectCorrupt(binaryPlist(chain, 0), "deep binary nesting");
    expectCorrupt(binaryPlist({ref32(0xA1, 0)}, 0), "a cycle");
    std::vector<Bytes> shallow(chain.end() - 400, chain.end());
    for (std::uint32_t i = 0; i + 1 < shallow.size(); ++i) shallow[i] = ref32(0xA1, i + 1);
    EXPECT_TRUE(PropertyListSerialization::propertyListWithData(binaryPlist(shallow, 0), 0, nullptr, nullptr).isArray());
}

TEST(PropertyLists, DeeplyNestedXmlIsRefused) {
    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < 1000000; ++i) xml += "<array>";
    for (int i = 0; i < 1000000; ++i) xml += "</array>";
    xml += "</plist>";
    expectCorrupt(std::span(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()), "deep XML nesting");
    const std::string fine = "<plist version=\"1.0\"><array><array/><dict><key>a</key><array></array></dict></array></plist>";
    EXPECT_EQ(PropertyListSerialization::propertyListWithData(
                  std::span(reinterpret_cast<const std::uint8_t*>(fine.data()), fine.size()), 0, nullptr, nullptr),
              Value::array({Value::array({}), Value::dictionary({{"a", Value::array({})}})}));
}

TEST(PropertyLists, FileFormsReadAndWriteCollections) {
    test::TempDir dir;
    const std::string file = dir.file("LNPreferences.plist");
    EXPECT_TRUE(dictionaryWithContentsOfFile(file).isNil());
    ASSERT_TRUE(writePropertyListToFile(sample(), file, true));
    EXPECT_EQ(dictionaryWithContentsOfFile(file), sample());
    EXPECT_TRUE(arrayWithContentsOfFile(file).isNil());
    EXPECT_FALSE(writePropertyListToFile(Value("text"), file, true));
    EXPECT_FALSE(writePropertyListToFile(Value::array({Value::null()}), file, true));
    EXPECT_EQ(dictionaryWithContentsOfFile(file), sample());
    ASSERT_TRUE(writePropertyListToFile(Value::array({"a"}), file, false));
    EXPECT_EQ(arrayWithContentsOfFile(file), Value::array({"a"}));
}

}  // namespace
}  // namespace lv
