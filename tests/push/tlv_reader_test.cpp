// The Tlv reader: strict lookup, the wire's number kinds, strings, containers, the skip loop, and
// every way input can end early or lie about its sizes.
#include <gtest/gtest.h>

#include "platform/base/log.h"
#include "platform/runtime/runtime.h"
#include "push/tlv_input_stream.h"
#include "test_records.h"
#include "wire_cases.h"

namespace lv::test {
namespace {

TEST(TlvReader, AnUndeclaredLowerTagHidesLaterFieldsAtTopLevelAndTheSkipLoopRecoversInside) {
    LogCapture capture;
    const auto top = SparseRecord::fromData(hexBytes("00 05 10 06 20 07"));
    ASSERT_TRUE(top);
    EXPECT_EQ(top->tlv_first(), 5);
    EXPECT_EQ(top->tlv_third(), 0);  // tag 1 stands where tag 2 is asked for

    const auto holder = HolderRecord::fromData(hexBytes("0A 00 05 10 06 20 07 0B 10 09"));
    ASSERT_TRUE(holder && holder->tlv_inner());
    EXPECT_EQ(holder->tlv_inner()->tlv_first(), 5);
    EXPECT_EQ(holder->tlv_inner()->tlv_third(), 0);
    EXPECT_EQ(holder->tlv_after(), 9);

    // Extra content with higher tags, nested records and lists of records among it, is passed over.
    const auto extra = HolderRecord::fromData(
        hexBytes("0A 00 05 20 07 3A 0C 4A 0B 0B 59 00 02 0A 0B 0A 16 01 61 0B 6D 00 00 01 FF 7C 0B 10 09"));
    ASSERT_TRUE(extra);
    EXPECT_EQ(extra->tlv_inner()->tlv_third(), 7);
    EXPECT_EQ(extra->tlv_after(), 9);
    EXPECT_TRUE(reports(capture.lines()).empty());
}

TEST(TlvReader, NumbersComeBackInTheWiresKind) {
    struct Case {
        const char* bytes;
        int tag;
        NumberKind kind;
        double value;
    };
    const Case cases[] = {
        {"00 FF", 0, NumberKind::Int8, -1},
        {"1C", 1, NumberKind::Int8, 0},
        {"21 01 2C", 2, NumberKind::Int16, 300},
        {"02 FF FF 7F FF", 0, NumberKind::Int32, -32769},
        {"03 00 00 00 00 B2 D0 5E 00", 0, NumberKind::Int64, 3000000000.0},
        {"24 3F 80 00 00", 2, NumberKind::Float, 1},
        {"25 3F F0 00 00 00 00 00 00", 2, NumberKind::Double, 1},
        {"F0 02 01", 2, NumberKind::Int8, 1},  // a long head below 15 is accepted
        {"E0 01", 14, NumberKind::Int8, 1},
        {"F0 0F 01", 15, NumberKind::Int8, 1},
    };
    for (const Case& c : cases) {
        const Bytes bytes = hexBytes(c.bytes);
        PNTlvInputStream reader(bytes);
        const Value number = reader.readNumber(c.tag, true);
        ASSERT_TRUE(number.isNumber()) << c.bytes;
        EXPECT_EQ(number.number()->kind(), c.kind) << c.bytes;
        EXPECT_EQ(number.doubleValue(), c.value) << c.bytes;
        EXPECT_EQ(reader.cursor(), static_cast<std::int32_t>(bytes.size())) << c.bytes;
    }
}

TEST(TlvReader, StringsByteListsAndContainers) {
    const ClassInfo* string = classNamed("String");
    const ClassInfo* number = classNamed("Number");
    struct Case {
        const char* bytes;
        TlvDescription description;
        const char* expected;  // description of the value
    };
    const Case cases[] = {
        {"06 00", string, ""},
        {"06 02 FF FE", string, ""},  // not UTF-8
        {"07 00 00 00 05 68 65 6C 6C 6F", string, "hello"},
        {"0D 00 0C", classNamed("Data"), "<>"},
        {"0D 00 00 02 CA FE", classNamed("Data"), "<cafe>"},
        {"09 0C", PNTlvPair::pairWithValue(number, {}), "(\n)"},
        {"08 0C", PNTlvPair::pairWithValue(string, number), "{\n}"},
        {"09 00 02 00 01 00 02", PNTlvPair::pairWithValue(number, {}), "(\n    1,\n    2\n)"},
        // the same key twice keeps the second value
        {"08 00 02 00 01 16 01 61 00 01 16 01 62", PNTlvPair::pairWithValue(string, number), "{\n    1 = b;\n}"},
    };
    for (const Case& c : cases) {
        const Bytes bytes = hexBytes(c.bytes);
        PNTlvInputStream reader(bytes);
        const Value value = reader.readAnything(0, true, c.description);
        EXPECT_EQ(value.description(), c.expected) << c.bytes;
        EXPECT_EQ(reader.cursor(), static_cast<std::int32_t>(bytes.size())) << c.bytes;
        EXPECT_FALSE(reader.failed()) << c.bytes;
    }
}

TEST(TlvReader, AMapValueThatReadsAsNilRemovesTheEarlierEntry) {
    LogCapture capture;
    const Bytes bytes = hexBytes("08 00 02 00 01 11 00 05 00 01 16");
    PNTlvInputStream reader(bytes);
    const Value map =
        reader.readAnything(0, true, PNTlvPair::pairWithValue(classNamed("Number"), classNamed("Number")));
    const auto entries = map.objectAs<TlvMap>();
    ASSERT_TRUE(entries);
    EXPECT_EQ(entries->size(), 0u);
    EXPECT_EQ(reports(capture.lines()), std::vector<std::string>{"-[PNTlvInputStream readNumber:required:] 0"});
}

TEST(TlvReader, AListOfTwoRecordsGivesTwoFilledRecords) {
    const Bytes bytes = hexBytes("09 00 02 0A 00 05 0B 0A 00 06 20 07 0B");
    PNTlvInputStream reader(bytes);
    const Value list = reader.readAnything(0, true, PNTlvPair::pairWithValue(SparseRecord::runtimeClass(), {}));
    ASSERT_EQ(list.count(), 2u);
    EXPECT_EQ(list[0].objectAs<SparseRecord>()->tlv_first(), 5);
    EXPECT_EQ(list[1].objectAs<SparseRecord>()->tlv_first(), 6);
    EXPECT_EQ(list[1].objectAs<SparseRecord>()->tlv_third(), 7);
}

TEST(TlvReader, AFieldMissingBetweenTwoIsReportedOnlyWhenRequired) {
    LogCapture capture;
    const auto request = PNWireTokenTagReq::fromData(hexBytes("00 07 20 01"));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->tlv_accessId(), 7u);
    EXPECT_EQ(request->tlv_tag(), Value(""));
    EXPECT_EQ(request->tlv_flag(), 1);
    EXPECT_EQ(capture.lines().size(), 2u);
    EXPECT_EQ(reports(capture.lines()),
              std::vector<std::string>{"-[PNTlvInputStream readString:required:] required == __objc_no"});

    capture.clear();
    const auto info = PNMutableInfo::fromData(hexBytes("06 01 61 26 01 63"));
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->tlv_bssid() == Value(""));
    EXPECT_TRUE(capture.lines().empty());
}

TEST(TlvReader, ANestedRecordWithoutFieldsIsNotUnpacked) {
    LogCapture capture;
    // An unpacked UnregInfo would report its two required fields missing.
    const auto request = PNWireUnregisterReq::fromData(hexBytes("0A 0B 10 01"));
    ASSERT_TRUE(request && request->tlv_unregInfo());
    EXPECT_EQ(request->tlv_unregInfo()->tlv_appInfo()->tlv_accessKey(), Value(""));
    EXPECT_EQ(request->tlv_deviceType(), 1);
    EXPECT_TRUE(capture.lines().empty());
}

TEST(TlvReader, InputThatEndsEarlyOrLiesAboutSizesAbortsTheDecode) {
    struct Case {
        const char* what;
        const char* bytes;
        std::function<bool(const Bytes&)> decodes;
        const char* line;
    };
    const auto tokenTag = [](const Bytes& b) { return PNWireTokenTagReq::fromData(b) != nullptr; };
    const auto click = [](const Bytes& b) { return PNWirePushClickReq::fromData(b) != nullptr; };
    const auto unregister = [](const Bytes& b) { return PNWireUnregisterReq::fromData(b) != nullptr; };
    const Case cases[] = {
        {"long head without its tag byte", "F0", tokenTag, "Tlv data ends inside a field"},
        {"integer payload cut", "03 00 00", tokenTag, "Tlv data ends inside a field"},
        {"String1 past the end", "00 01 16 05 61 62", tokenTag, "Tlv data ends inside a field"},
        {"String4 length near 2^32", "0C 17 FF FF FF FF 61", tokenTag, "Tlv data ends inside a field"},
        {"list count 2^31-1 with nothing after", "19 02 7F FF FF FF", click, "Tlv list element is nil"},
        {"list shorter than its count", "19 00 02 0A 00 01 10 02 0B", click, "Tlv list element is nil"},
        {"nested record without its end", "0A 0A 0C 16 00 26 00 0B", unregister, "Tlv data ends inside a field"},
        {"skip loop meets the end", "0A 0A 0C 16 00 26 00 0B 10 01 39", unregister, "Tlv data ends inside a field"},
        {"byte list of negative length inside a skipped field", "0A 0A 0C 16 00 26 00 0B 10 01 3D 00 00 FF 0B",
         unregister, "Tlv data carries a negative length"},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        EXPECT_FALSE(c.decodes(hexBytes(c.bytes))) << c.what;
        EXPECT_TRUE(capture.contains(c.line)) << c.what;
    }
}

TEST(TlvReader, ReaderLevelLengthsAreBoundedByTheInput) {
    const Bytes negative = hexBytes("0D 00 00 FF");
    PNTlvInputStream byteList(negative);
    EXPECT_TRUE(byteList.readData(0, true).isNil());
    EXPECT_EQ(byteList.failureReason(), "Tlv data carries a negative length");

    const Bytes hugeMap = hexBytes("08 02 7F FF FF FF 00 01");
    PNTlvInputStream map(hugeMap);
    EXPECT_TRUE(
        map.readAnything(0, true, PNTlvPair::pairWithValue(classNamed("Number"), classNamed("Number"))).isNil());
    EXPECT_TRUE(map.failed());
    // after a failure nothing more is read
    EXPECT_TRUE(map.readNumber(0, false).isNil());

    const Bytes three = hexBytes("01 02 03");
    PNTlvInputStream raw(three);
    EXPECT_FALSE(raw.readBytes(4).has_value());
    EXPECT_TRUE(raw.failed());

    PNTlvInputStream skipping(three);
    skipping.skip(10);
    EXPECT_EQ(skipping.cursor(), 3);
    EXPECT_FALSE(skipping.peakHead());
    EXPECT_FALSE(skipping.failed());
}

TEST(TlvReader, EveryPrefixOfEveryGoldenDecodesOrAbortsWithinItsBytes) {
    for (const WireCase& c : wireCases()) {
        for (std::size_t n = 0; n < c.golden.size(); ++n) {
            const Bytes prefix(c.golden.begin(), c.golden.begin() + static_cast<std::ptrdiff_t>(n));
            LogCapture capture;
            const bool click = PNWirePushClickReq::fromData(prefix) != nullptr;
            PNWireRegisterReq::fromData(prefix);
            PNWireReconnectReq::fromData(prefix);
            PNWireUnregisterReq::fromData(prefix);
            PNWireReconnectRsp::fromData(prefix);
            // The click request is one list field: every proper prefix cuts it.
            if (c.name == "click_request") {
                EXPECT_FALSE(click) << n;
            }
        }
    }
}

TEST(TlvReader, EmptyInputReadsEveryFieldAsAbsent) {
    PNTlvInputStream reader;
    EXPECT_TRUE(reader.readNumber(0, false).isNil());
    EXPECT_FALSE(reader.peakHead());
    EXPECT_EQ(reader.headType(), 14);
    EXPECT_FALSE(PNWireTokenTagReq::fromData({}));
}

TEST(TlvReader, DescriptionShowsTheInputSplitAtTheCursor) {
    const Bytes bytes = hexBytes("11 01 2C 3C");
    PNTlvInputStream reader(bytes);
    reader.readNumber(1, true);
    EXPECT_EQ(reader.description(), "<11012c> ^cursor <3c>");
}

TEST(TlvReader, StreamWithDataHoldsItsByteStringForItsLife) {
    EXPECT_EQ(PNTlvInputStream::streamWithData(Value()), nullptr);
    EXPECT_EQ(PNTlvInputStream::streamWithData(Value("11 01 2C")), nullptr);  // text is no byte string

    const auto empty = PNTlvInputStream::streamWithData(Value(Bytes{}));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->streamSize(), 0);
    EXPECT_TRUE(empty->readNumber(0, false).isNil());

    Ref<PNTlvInputStream> reader;
    {
        Value input(hexBytes("11 01 2C 26 03 61 62 63"));
        reader = PNTlvInputStream::streamWithData(input);
        input.mutableBytes()[0] = 0x21;  // the caller's copy detaches; the reader's bytes stay
    }
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->streamBuffer(), reader->dataHolders().bytes().data());  // no copy
    EXPECT_EQ(reader->streamSize(), 8);
    EXPECT_EQ(reader->readNumber(1, true), Value(300));
    EXPECT_EQ(reader->readString(2, true), Value("abc"));

    Value other(Bytes{1});
    reader->setDataHolders(other);
    EXPECT_EQ(reader->dataHolders().bytes().data(), other.bytes().data());
    // The bytes being read outlive their replaced holder: the reader is their last owner.
    reader->setCursor(0);
    EXPECT_EQ(reader->readNumber(1, true), Value(300));
    reader->setDataHolders(Value());
    EXPECT_EQ(reader->readInt1(), 0x26);
    EXPECT_EQ(reader->readInt1(), 0x03);

    // Replaced while reading and then pointed at its new holder's bytes: those are read.
    Ref<PNTlvInputStream> moved = PNTlvInputStream::streamWithData(Value(hexBytes("00 09")));
    const Value next(hexBytes("00 07"));
    moved->setDataHolders(next);
    moved->setStreamBuffer(const_cast<std::uint8_t*>(next.bytes().data()));
    moved->setDataHolders(Value(Bytes{9}));
    moved->setDataHolders(next);
    EXPECT_EQ(moved->readNumber(0, true).longLongValue(), 7);
}

// The tagged float and double reads: a head, then 4 or 8 raw big-endian bytes, read whatever the head
// said (another tag or type is reported).
TEST(TlvReader, TaggedFloatAndDoubleReads) {
    struct Case {
        const char* bytes;
        bool isDouble;
        int tag;
        double value;
        std::vector<std::string> reports;
    };
    const Case cases[] = {
        {"34 3F C0 00 00", false, 3, 1.5, {}},
        {"35 C0 04 00 00 00 00 00 00", true, 3, -2.5, {}},
        {"44 3F C0 00 00", false, 3, 1.5, {"-[PNTlvInputStream readFloat:] _headTag == tag"}},
        {"35 3F F8 00 00 00 00 00 00", false, 3, 1.9375, {"-[PNTlvInputStream readFloat:] _headType == (4)"}},
        {"34 3F F8 00 00 00 00 00 00", true, 3, 1.5, {"-[PNTlvInputStream readDouble:] _headType == (5)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        LogCapture capture;
        const Bytes input = hexBytes(c.bytes);
        PNTlvInputStream reader(input);
        const double value = c.isDouble ? reader.readDouble(c.tag) : reader.readFloat(c.tag);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(reader.cursor(), c.isDouble ? 9 : 5);
        EXPECT_EQ(reports(capture.lines()), c.reports);
    }
}

// The raw setters point a reader at part of a buffer, rewind it, or leave it outside its input.
TEST(TlvReader, RawSettersMoveTheWindowAndReadsStayInsideIt) {
    // The record inside a frame, read in place after the 17-byte header.
    Bytes frame = join({hexBytes("50 0A 03 00 00 00 00 00 00 2C 00 00 00 00 01 10 00"),
                        hexBytes("19 00 01 0A 0C 13 00 00 00 00 88 80 EA 70 21 30 39 32 53 72 4E 00 40 01 5C 6C 0B")});
    PNTlvInputStream window;
    window.setStreamBuffer(frame.data() + 17);
    window.setStreamSize(static_cast<std::int32_t>(frame.size() - 17));
    auto click = PNWirePushClickReq::object();
    click->unpack(window);
    EXPECT_FALSE(window.failed());
    ASSERT_EQ(click->tlv_msgClickList().count(), 1u);
    EXPECT_EQ(click->tlv_msgClickList()[0].objectAs<PNWireClickClientReport>()->tlv_broadcastId(), 12345u);
    EXPECT_EQ(window.cursor(), window.streamSize());

    const Bytes input = hexBytes("11 01 2C 26 03 61 62 63");
    PNTlvInputStream reader(input);
    EXPECT_EQ(reader.readNumber(1, true), Value(300));
    reader.setCursor(0);  // read again
    EXPECT_EQ(reader.readNumber(1, true), Value(300));
    reader.setStreamSize(5);  // the text now runs past the end
    EXPECT_TRUE(reader.readString(2, true).isNil());
    EXPECT_TRUE(reader.failed());

    struct Case {
        const char* what;
        std::int32_t cursor;
        std::int32_t size;
        std::vector<std::string> expected;  // reports of description()
    };
    const Case cases[] = {
        {"negative cursor", -2, 8, {"-[PNTlvStream description] _cursor <= originData.length"}},
        {"cursor past the end", 11, 8, {"-[PNTlvStream description] _cursor <= originData.length"}},
        {"negative size", 0, -4, {}},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        PNTlvInputStream outside(input);
        outside.setCursor(c.cursor);
        outside.setStreamSize(c.size);
        EXPECT_FALSE(outside.peakHead()) << c.what;
        EXPECT_TRUE(outside.readNumber(1, false).isNil()) << c.what;
        EXPECT_EQ(outside.readInt1(), 0) << c.what;
        EXPECT_FALSE(outside.readBytes(1).has_value()) << c.what;
        outside.description();
        const auto found = reports(capture.lines());
        EXPECT_EQ(std::vector<std::string>(found.end() - static_cast<std::ptrdiff_t>(c.expected.size()), found.end()),
                  c.expected)
            << c.what;
    }

    PNTlvInputStream unset;
    unset.setStreamSize(4);  // a size without a buffer: nothing to read
    EXPECT_FALSE(unset.peakHead());
    EXPECT_EQ(unset.data(), Bytes{});
    unset.setHeadType(static_cast<int>(TlvType::Map));
    EXPECT_EQ(unset.headType(), 8);
}

}  // namespace
}  // namespace lv::test
