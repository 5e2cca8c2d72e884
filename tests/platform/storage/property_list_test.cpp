#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
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
        {"cr", "a\rb\tc\nd"},
        {"count", -42},
        {"max", UINT64_MAX},
        {"min", INT64_MIN},
        {"ratio", 0.1},
        {"flag", true},
        {"off", false},
        {"blob", Value(Bytes{0, 1, 2, 0xFF})},
        {"when", Value(Date::fromSince1970(1425517622.0))},
        {"old", Value(Date::fromSince1970(-5364617385.0))},   // 1800-01-01T12:30:15Z
        {"future", Value(Date::fromSince1970(7273756799.0))},  // 2200-06-30T23:59:59Z
        {"list", Value::array({1, "two", Value::array({}), Value::dictionary({})})},
        {"nested", Value::dictionary({{"k", Value::array({3.5})}})},
    });
}

using test::bytesOf;

Bytes encode(const Value& v, PropertyListFormat format) {
    Ref<Error> error;
    auto bytes = PropertyListSerialization::dataWithPropertyList(v, format, 0, &error);
    EXPECT_TRUE(bytes) << (error ? error->description() : "");
    return bytes.value_or(Bytes{});
}

Value decode(std::span<const std::uint8_t> bytes) {
    return PropertyListSerialization::propertyListWithData(bytes, 0, nullptr, nullptr);
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
        EXPECT_EQ(back["max"].unsignedLongLongValue(), UINT64_MAX);
        EXPECT_EQ(test::kindOf(back["max"]), NumberKind::UInt64);
        EXPECT_EQ(test::kindOf(back["count"]), NumberKind::Int64);
        EXPECT_EQ(test::kindOf(back["flag"]), NumberKind::Bool);
        EXPECT_EQ(test::kindOf(back["ratio"]), NumberKind::Double);
    }
}

TEST(PropertyLists, XmlIsWrittenInThePlatformLayout) {
    const Value v = Value::dictionary({
        {"a", Value(Bytes(60, 0))},
        {"b", Value::array({Value::dictionary({{"x", Value(Bytes{1, 2, 3, 4})}}), Value::array({}), Value::dictionary({})})},
        {"c", Value::array({1.0, 0.1, 0.0, -2.5e-300, std::numeric_limits<double>::infinity()})},
        {"d", Value(Date::fromSince1970(1425517622.0))},
        {"e", "<&> \"'\r"},
        {"f", Value::array({true, false, UINT64_MAX, INT64_MIN})},
    });
    const Bytes bytes = encode(v, PropertyListFormat::XML);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
              "<plist version=\"1.0\">\n"
              "<dict>\n"
              "\t<key>a</key>\n"
              "\t<data>\n"
              "\tAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n"
              "\tAAAAAAAAAAAA\n"
              "\t</data>\n"
              "\t<key>b</key>\n"
              "\t<array>\n"
              "\t\t<dict>\n"
              "\t\t\t<key>x</key>\n"
              "\t\t\t<data>\n"
              "\t\t\tAQIDBA==\n"
              "\t\t\t</data>\n"
              "\t\t</dict>\n"
              "\t\t<array/>\n"
              "\t\t<dict/>\n"
              "\t</array>\n"
              "\t<key>c</key>\n"
              "\t<array>\n"
              "\t\t<real>1</real>\n"
              "\t\t<real>0.10000000000000001</real>\n"
              "\t\t<real>0.0</real>\n"
              "\t\t<real>-2.5e-300</real>\n"
              "\t\t<real>+infinity</real>\n"
              "\t</array>\n"
              "\t<key>d</key>\n"
              "\t<date>2015-03-05T01:07:02Z</date>\n"
              "\t<key>e</key>\n"
              "\t<string>&lt;&amp;&gt; \"'&#13;</string>\n"
              "\t<key>f</key>\n"
              "\t<array>\n"
              "\t\t<true/>\n"
              "\t\t<false/>\n"
              "\t\t<integer>18446744073709551615</integer>\n"
              "\t\t<integer>-9223372036854775808</integer>\n"
              "\t</array>\n"
              "</dict>\n"
              "</plist>\n");
    EXPECT_EQ(decode(bytes), v);
}

TEST(PropertyLists, DatesAreExactInBinaryAndWholeSecondsRoundedDownInXml) {
    struct Case {
        double since1970;
        const char* xml;
    } cases[] = {
        {1425517622.25, "2015-03-05T01:07:02Z"},
        {978307199.75, "2000-12-31T23:59:59Z"},  // before 2001 with a fraction
        {-5364617385.5, "1800-01-01T12:30:14Z"},
        {7273756799.0, "2200-06-30T23:59:59Z"},
        {-62135596800.0, "0001-01-01T00:00:00Z"},
        {253402300799.0, "9999-12-31T23:59:59Z"},
    };
    for (const Case& c : cases) {
        const Value v = Value::array({Value(Date::fromSince1970(c.since1970))});
        EXPECT_EQ(test::since1970(decode(encode(v, PropertyListFormat::Binary))[0]), c.since1970) << c.xml;
        const Bytes xml = encode(v, PropertyListFormat::XML);
        EXPECT_NE(std::string(xml.begin(), xml.end()).find(std::string("<date>") + c.xml + "</date>"), std::string::npos)
            << c.xml;
        EXPECT_EQ(test::since1970(decode(xml)[0]), std::floor(c.since1970)) << c.xml;
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

Bytes ref32(std::uint8_t marker, std::uint32_t ref, std::uint32_t second = UINT32_MAX) {
    Bytes out{marker};
    for (std::uint32_t r : {ref, second}) {
        if (r == UINT32_MAX) break;
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(r >> shift));
    }
    return out;
}

Bytes dateObject(double seconds) {
    Bytes out{0x33};
    const auto bits = std::bit_cast<std::uint64_t>(seconds);
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(bits >> shift));
    return out;
}

TEST(PropertyLists, OtherWritersInputIsReadExactly) {
    // Dates far from 2001, as another writer stores them.
    for (double seconds : {-6342924585.0, 6295449599.5, -1e11}) {
        const Value v = decode(binaryPlist({dateObject(seconds)}, 0));
        ASSERT_TRUE(v.isDate());
        EXPECT_EQ(v.date()->sinceReferenceDate(), seconds);
    }
    EXPECT_EQ(decode(bytesOf("<plist><date>1800-01-01T12:30:15Z</date></plist>")),
              Value(Date::fromSince1970(-5364617385.0)));
    // 2^64-1 as a 16-byte integer, a negative one sign-extended; {"k": "x"}; hex integers in XML.
    Bytes wide{0x14};
    wide.insert(wide.end(), 8, 0);
    wide.insert(wide.end(), 8, 0xFF);
    EXPECT_EQ(decode(binaryPlist({wide}, 0)).unsignedLongLongValue(), UINT64_MAX);
    Bytes minusOne(17, 0xFF);
    minusOne[0] = 0x14;
    EXPECT_EQ(decode(binaryPlist({minusOne}, 0)), Value(-1));
    EXPECT_EQ(decode(binaryPlist({ref32(0xD1, 1, 2), {0x51, 'k'}, {0x51, 'x'}}, 0)), Value::dictionary({{"k", "x"}}));
    EXPECT_EQ(decode(bytesOf("<plist><array><integer> 0x1F </integer><real>-inf</real></array></plist>")),
              Value::array({31, -std::numeric_limits<double>::infinity()}));
}

void expectCorrupt(std::span<const std::uint8_t> bytes, const std::string& what) {
    LogCapture capture;
    Ref<Error> error;
    EXPECT_TRUE(PropertyListSerialization::propertyListWithData(bytes, 0, nullptr, &error).isNil()) << what;
    ASSERT_TRUE(error) << what;
    EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(error->code(), kPropertyListReadCorruptError) << what;
    EXPECT_EQ(capture.lines().size(), 1u) << what;
}

TEST(PropertyLists, DamagedValuesAreCorruptNeverNumbersOrWrongDates) {
    for (const char* value : {"<integer>99999999999999999999</integer>", "<integer>-9223372036854775809</integer>",
                              "<integer>12abc</integer>", "<integer></integer>", "<real>abc</real>", "<real></real>",
                              "<real>1e999</real>", "<date>not a date</date>", "<date>2015-13-45T99:99:99Z</date>",
                              "<date>2015-02-29T00:00:00Z</date>", "<date>0000-01-01T00:00:00Z</date>",
                              "<data>AB$C</data>", "<true>x</true>", "<string>\xFF</string>", "<string>a<b/></string>",
                              "<dict><key>a</key></dict>", "<dict><string>a</string></dict>", "<key>a</key>",
                              "<array>text</array>", "<unknown/>", "", "<string>a</string><string>b</string>"}) {
        const std::string xml = std::string("<?xml version=\"1.0\"?><plist version=\"1.0\">") + value + "</plist>";
        expectCorrupt(bytesOf(xml), value);
    }
    expectCorrupt(binaryPlist({{0x51, 0xC3}}, 0), "non-ASCII byte in an ASCII string");
    expectCorrupt(binaryPlist({{0x61, 0xD8, 0x00}}, 0), "unpaired surrogate");
    expectCorrupt(binaryPlist({dateObject(std::nan(""))}, 0), "NaN date");
    expectCorrupt(binaryPlist({Bytes{0x14, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}, 0), "integer beyond 64 bits");
    expectCorrupt(binaryPlist({ref32(0xD1, 1, 2), {0x62, 0, 'a', 0, 0}, {0x51, 'x'}}, 0), "NUL in a key");
    expectCorrupt(binaryPlist({ref32(0xD1, 1, 1), {0x10, 1}}, 0), "a key that is not a string");
}

// Elements the reader refuses, alone or anywhere in a document: the reader stops at the first refusal,
// whatever the parser still reports for the element it stopped in (an empty element's end comes with it).
TEST(PropertyLists, HostileXmlIsCorruptNeverACrash) {
    for (const char* xml : {
             "<x/>",
             "<x></x>",
             "<key/>",
             "<key>a</key>",
             "<plist><plist/></plist>",
             "<plist><key/></plist>",
             "<plist><x/></plist>",
             "<array><x/></array>",
             "<array><key/></array>",
             "<dict><x/></dict>",
             "<dict><string/></dict>",
             "<dict><key>a</key><key/></dict>",
             "<string><x/></string>",
             "<key><x/></key>",
             "<true><false/></true>",
             "<plist><array/><array/></plist>",
             "<plist/>",
             "<array><plist/></array>",
         }) {
        for (const std::string& document : {std::string(xml), "<?xml version=\"1.0\"?>" + std::string(xml)}) {
            expectCorrupt(bytesOf(document), document);
        }
    }
    // Refusals at the nesting bound, where the refused element is empty.
    std::string deep = "<plist>";
    for (int i = 0; i < 600; ++i) deep += "<array>";
    deep += "<array/><dict/><x/>";
    expectCorrupt(bytesOf(deep), "an empty element past the nesting bound");
}

TEST(PropertyLists, WritingRefusesWhatTheFormatCannotHold) {
    struct Case {
        Value value;
        bool binaryOk;
    } cases[] = {
        {Value::array({Value::null()}), false},
        {Value(), false},
        {Value::array({std::string("a\0b", 3)}), false},
        {Value::array({std::string("bad \xFF utf-8")}), false},
        {Value::dictionary({{std::string("\xC3"), 1}}), false},
        {Value::array({Value(Date::fromSince1970(std::nan("")))}), false},
        {Value::array({"\x01 control"}), true},                           // XML 1.0 cannot hold U+0001
        {Value::array({Value(Date::fromSince1970(1e12))}), true},          // year 33658
    };
    for (const Case& c : cases) {
        for (PropertyListFormat format : {PropertyListFormat::XML, PropertyListFormat::Binary}) {
            const bool ok = format == PropertyListFormat::Binary && c.binaryOk;
            Ref<Error> error;
            const auto bytes = PropertyListSerialization::dataWithPropertyList(c.value, format, 0, &error);
            EXPECT_EQ(bytes.has_value(), ok) << c.value.description();
            EXPECT_EQ(PropertyListSerialization::propertyListIsValidForFormat(c.value, format), ok);
            if (ok) {
                EXPECT_EQ(decode(*bytes), c.value);
            } else {
                ASSERT_TRUE(error) << c.value.description();
                EXPECT_EQ(error->code(), kPropertyListWriteInvalidError);
            }
        }
    }
    Ref<Error> error;
    EXPECT_FALSE(PropertyListSerialization::dataWithPropertyList(sample(), PropertyListFormat::OpenStep, 0, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kPropertyListWriteStreamError);
}

TEST(PropertyLists, CutOrDamagedBytesNeverCrashTheReaderAndWhatIsReadWritesBack) {
    expectCorrupt({}, "empty");
    expectCorrupt(bytesOf("this is not a property list"), "text");
    std::mt19937 random(1234);
    for (PropertyListFormat format : {PropertyListFormat::XML, PropertyListFormat::Binary}) {
        const Bytes original = encode(sample(), format);
        // Cuts before the end of the root (the XML closing tags are needed, so is the binary trailer).
        const std::size_t keep = format == PropertyListFormat::XML ? original.size() - 10 : original.size() - 1;
        for (std::size_t cut = 1; cut < keep; cut += (cut < 64 ? 1 : 7)) {
            expectCorrupt(std::span(original.data(), cut), "cut at " + std::to_string(cut));
        }
        LogCapture quiet;
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
            if (!v.isNil()) {
                EXPECT_EQ(decode(encode(v, PropertyListFormat::Binary)), v);
            }
        }
        EXPECT_GT(rejected, 0);
    }
}

TEST(PropertyLists, NestingCyclesSharingAndEntitiesAreBounded) {
    // 100000 nested arrays, an array that contains itself, and 400 levels that are fine.
    std::vector<Bytes> chain;
    for (std::uint32_t i = 0; i < 100000; ++i) chain.push_back(i + 1 < 100000 ? ref32(0xA1, i + 1) : Bytes{0xA0});
    expectCorrupt(binaryPlist(chain, 0), "deep binary nesting");
    expectCorrupt(binaryPlist({ref32(0xA1, 0)}, 0), "a cycle");
    std::vector<Bytes> shallow(chain.end() - 400, chain.end());
    for (std::uint32_t i = 0; i + 1 < shallow.size(); ++i) shallow[i] = ref32(0xA1, i + 1);
    EXPECT_TRUE(decode(binaryPlist(shallow, 0)).isArray());
    // Each array holding the next one twice: 2^60 elements when expanded.
    std::vector<Bytes> doubling;
    for (std::uint32_t i = 0; i < 60; ++i) doubling.push_back(ref32(0xA2, i + 1, i + 1));
    doubling.push_back({0x51, 'x'});
    expectCorrupt(binaryPlist(doubling, 0), "shared references expanding without bound");

    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < 1000000; ++i) xml += "<array>";
    for (int i = 0; i < 1000000; ++i) xml += "</array>";
    xml += "</plist>";
    expectCorrupt(bytesOf(xml), "deep XML nesting");
    expectCorrupt(bytesOf("<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY a \"aaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]>"
                          "<plist><string>&b;</string></plist>"),
                  "entity declarations");
    EXPECT_EQ(decode(bytesOf("<plist version=\"1.0\"><array><array/><dict><key>a</key><array></array></dict></array></plist>")),
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
