// The Tlv writer: every encoding rule against bytes worked out by hand, its reports, its capacity.
#include <gtest/gtest.h>

#include <limits>

#include "platform/base/log.h"
#include "push/tlv_stream.h"
#include "wire_cases.h"

namespace lv::test {
namespace {

TEST(TlvWriter, EncodesEveryGoldenWorkedOutByHand) {
    for (const WireCase& c : wireCases()) EXPECT_EQ(hexText(c.golden), hexText(c.encoded)) << c.name;
}

TEST(TlvWriter, ReportsNilAndForeignValuesAndWritesNothingForThem) {
    using Write = void (*)(PNTlvOutputStream&);
    struct Case {
        const char* what;
        Write write;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"optional nil", [](PNTlvOutputStream& w) { w.writeString(Value(), 1, false); }, {}},
        {"required nil",
         [](PNTlvOutputStream& w) { w.writeString(Value(), 1, true); },
         {"-[PNTlvOutputStream writeString:tag:required:] required == __objc_no"}},
        {"nil to the dispatcher",
         [](PNTlvOutputStream& w) { w.writeAnything(Value(), 1, false); },
         {"-[PNTlvOutputStream writeAnything:tag:required:] 0"}},
        {"null to the dispatcher",
         [](PNTlvOutputStream& w) { w.writeAnything(Value::null(), 1, true); },
         {"-[PNTlvOutputStream writeAnything:tag:required:] 0"}},
        {"number as text",
         [](PNTlvOutputStream& w) { w.writeString(Value(5), 1, true); },
         {"-[PNTlvOutputStream writeString:tag:required:] [string isKindOfClass:[NSString class]]"}},
        {"text as number",
         [](PNTlvOutputStream& w) { w.writeNumber(Value("5"), 1, true); },
         {"-[PNTlvOutputStream writeNumber:tag:required:] [number isKindOfClass:[NSNumber class]]"}},
        {"text as data",
         [](PNTlvOutputStream& w) { w.writeData(Value("x"), 1, true); },
         {"-[PNTlvOutputStream writeData:tag:required:] [data isKindOfClass:[NSData class]]"}},
        {"text as record",
         [](PNTlvOutputStream& w) { w.writeObject(Value("x"), 1, true); },
         {"-[PNTlvOutputStream writeObject:tag:required:] [object isKindOfClass:[PNTlvObject class]]"}},
        {"text as list",
         [](PNTlvOutputStream& w) { w.writeArray(Value("x"), 1, true); },
         {"-[PNTlvOutputStream writeArray:tag:required:] [array isKindOfClass:[NSArray class]]"}},
        {"list as map",
         [](PNTlvOutputStream& w) { w.writeDictionary(Value(Array{}), 1, true); },
         {"-[PNTlvOutputStream writeDictionary:tag:required:] [dictionary isKindOfClass:[NSDictionary class]]"}},
        {"tag 256",
         [](PNTlvOutputStream& w) { w.writeInt(7, 256); },
         {"-[PNTlvOutputStream writeInt:tag:] tag >= 0 && tag <= 255"}},
        {"negative tag",
         [](PNTlvOutputStream& w) { w.writeString(Value("abc"), -1, true); },
         {"-[PNTlvOutputStream writeString:tag:required:] tag >= 0 && tag <= 255"}},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        PNTlvOutputStream writer;
        c.write(writer);
        EXPECT_EQ(writer.cursor(), 0) << c.what;
        EXPECT_EQ(reports(capture.lines()), c.expected) << c.what;
    }
}

TEST(TlvWriter, AListWithANilElementReportsItAndKeepsTheRest) {
    LogCapture capture;
    PNTlvOutputStream writer;
    writer.writeArray(Value::array({1, Value::null(), 2}), 0, true);
    EXPECT_EQ(hexText(*writer.data()),
              "0900030001"
              "0002");
    EXPECT_EQ(reports(capture.lines()), std::vector<std::string>{"-[PNTlvOutputStream writeAnything:tag:required:] 0"});
}

TEST(TlvWriter, MapsWithKeysOfAnyKindKeepTheirOrderAndLastValue) {
    auto map = makeRef<TlvMap>();
    map->set(Value(2), Value("b"));
    map->set(Value(1), Value("a"));
    map->set(Value(2), Value("c"));             // replaces in place
    map->set(Value(std::int64_t{1}), Value());  // equal key of another width: removes
    map->set(Value(3), Value(Bytes{9}));
    PNTlvOutputStream writer;
    writer.writeAnything(Value(map), 0, true);
    EXPECT_EQ(hexText(*writer.data()),
              "08"
              "0002"
              "0002"
              "160163"
              "0003"
              "1D00000109");
}

TEST(TlvWriter, CapacityStartsAsAskedAndDoubles) {
    PNTlvOutputStream standard;
    EXPECT_EQ(standard.streamSize(), 4096);
    const Bytes chunk(5000, 0xAB);
    standard.writeBytes(chunk.data(), static_cast<std::int32_t>(chunk.size()));
    EXPECT_EQ(standard.streamSize(), 8192);
    EXPECT_EQ(standard.data()->size(), 5000u);

    PNTlvOutputStream tiny(0);
    EXPECT_EQ(tiny.streamSize(), 1);
    tiny.writeInt2(0x0102);
    EXPECT_EQ(tiny.streamSize(), 2);
    EXPECT_EQ(hexText(*tiny.data()), "0102");
    EXPECT_EQ(PNTlvOutputStream::streamWithCapability(10)->streamSize(), 74);

    EXPECT_EQ(PNTlvOutputStream().data(), Bytes{});
    EXPECT_FALSE(PNTlvStream().data().has_value());
}

TEST(TlvWriter, RefusesGrowthPastTheSigned32BitLimitWithoutWriting) {
    LogCapture capture;
    PNTlvOutputStream writer(16);
    writer.writeInt1(1);
    EXPECT_FALSE(writer.preventBufferOverflow(std::numeric_limits<std::int32_t>::max()));
    EXPECT_EQ(writer.streamSize(), 16);
    EXPECT_EQ(writer.cursor(), 1);
    EXPECT_EQ(reports(capture.lines()),
              std::vector<std::string>{"-[PNTlvOutputStream preventBufferOverflow:] _cursor + n <= INT32_MAX"});
}

TEST(TlvWriter, DescriptionSplitsTheContentAtTheCursor) {
    PNTlvOutputStream writer;
    writer.writeInt(300, 1);
    EXPECT_EQ(writer.description(), "<11012c> ^cursor <>");
}

}  // namespace
}  // namespace lv::test
