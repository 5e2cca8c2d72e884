// The Tlv writer: every encoding rule against bytes worked out by hand, its reports, its capacity.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
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

// The raw setters leave states the creation operations never make; each write then reports and
// writes nothing, or brings the buffer to the capacity first, and data() never reads past the buffer.
TEST(TlvWriter, RawSettersLeaveEveryWriteInsideTheBuffer) {
    struct Case {
        const char* what;
        void (*set)(PNTlvOutputStream&);
        void (*write)(PNTlvOutputStream&);
        std::int32_t size;    // streamSize afterwards
        std::int32_t cursor;  // cursor afterwards
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"capacity cut below a field", [](PNTlvOutputStream& w) { w.setStreamSize(2); },
         [](PNTlvOutputStream& w) { w.writeInt(300, 1); }, 4, 3, {}},
        {"capacity raised above the buffer", [](PNTlvOutputStream& w) { w.setStreamSize(64); },
         [](PNTlvOutputStream& w) { w.fillWithZero(40); }, 64, 40, {}},
        {"capacity 0", [](PNTlvOutputStream& w) { w.setStreamSize(0); },
         [](PNTlvOutputStream& w) { w.writeInt(1, 0); }, 0, 0,
         {"-[PNTlvOutputStream preventBufferOverflow:] _streamSize != 0"}},
        {"negative capacity", [](PNTlvOutputStream& w) { w.setStreamSize(-8); },
         [](PNTlvOutputStream& w) { w.writeString(Value("abc"), 1, true); }, -8, 0,
         {"-[PNTlvOutputStream preventBufferOverflow:] _streamSize > 0"}},
        {"negative cursor", [](PNTlvOutputStream& w) { w.setCursor(-1); },
         [](PNTlvOutputStream& w) { w.writeInt1(7); }, 4, -1,
         {"-[PNTlvOutputStream preventBufferOverflow:] _cursor >= 0"}},
        {"cursor beyond the capacity", [](PNTlvOutputStream& w) { w.setCursor(6); },
         [](PNTlvOutputStream& w) { w.writeInt1(7); }, 8, 7, {}},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        PNTlvOutputStream writer(4);
        c.set(writer);
        c.write(writer);
        EXPECT_EQ(writer.streamSize(), c.size) << c.what;
        EXPECT_EQ(writer.cursor(), c.cursor) << c.what;
        EXPECT_EQ(reports(capture.lines()), c.expected) << c.what;
        const std::size_t length = writer.data()->size();
        EXPECT_EQ(length, static_cast<std::size_t>(std::max(0, std::min(c.cursor, std::max(c.size, 0))))) << c.what;
    }

    PNTlvOutputStream cut(4);
    cut.setStreamSize(2);
    cut.writeInt(300, 1);
    EXPECT_EQ(hexText(*cut.data()), "11012C");
    PNTlvOutputStream skipped(4);
    skipped.setCursor(6);
    skipped.writeInt1(7);
    EXPECT_EQ(skipped.streamBuffer()[6], 7);
}

TEST(TlvWriter, ACursorPastTheContentIsReportedByTheDescriptionAndDataStopsAtTheBuffer) {
    LogCapture capture;
    PNTlvOutputStream writer(4);
    writer.writeInt(300, 1);
    writer.setCursor(100);
    EXPECT_EQ(writer.data()->size(), 4u);
    writer.description();
    EXPECT_EQ(reports(capture.lines()), std::vector<std::string>{"-[PNTlvStream description] _cursor <= originData.length"});
}

// The caller may take the buffer out (it then owns it) and the writer goes on with a fresh one; a
// buffer handed in is the writer's to grow and free.
TEST(TlvWriter, BuffersChangeHandsThroughTheSetters) {
    PNTlvOutputStream writer;
    writer.writeInt(300, 1);
    std::uint8_t* taken = writer.streamBuffer();
    writer.setStreamBuffer(nullptr);
    writer.setCursor(0);
    EXPECT_EQ(writer.data(), Bytes{});
    writer.writeString(Value("abc"), 2, true);
    EXPECT_EQ(hexText(*writer.data()), "2603616263");
    EXPECT_NE(writer.streamBuffer(), nullptr);
    EXPECT_EQ(hexText(Bytes(taken, taken + 3)), "11012C");
    std::free(taken);

    std::free(writer.streamBuffer());  // replaced below: the caller's to free
    auto* handed = static_cast<std::uint8_t*>(std::malloc(1));
    writer.setStreamBuffer(handed);
    writer.setStreamSize(1);
    writer.setCursor(0);
    const Bytes chunk(300, 0x5A);
    writer.writeBytes(chunk.data(), static_cast<std::int32_t>(chunk.size()));
    EXPECT_EQ(writer.streamSize(), 512);
    EXPECT_EQ(writer.data(), chunk);
}

}  // namespace
}  // namespace lv::test
