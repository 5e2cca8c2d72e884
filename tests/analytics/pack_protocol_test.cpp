#include <chrono>
#include <functional>

#include <gtest/gtest.h>

#include "analytics/pack_protocol.h"
#include "analytics/pack_cases.h"

namespace lv {
namespace {

using test::hexBytes;

Bytes written(const std::function<void(TPKProtocol&)>& write, bool strictWrite = true) {
    TPKMemoryBuffer buffer;
    TPKBinaryProtocol protocol(buffer, false, strictWrite);
    write(protocol);
    return buffer.getBuffer();
}

// Runs the read and returns the exception's name and reason ("" when nothing was raised).
std::string raised(const Bytes& bytes, const std::function<void(TPKProtocol&)>& read, bool strictRead = false) {
    TPKMemoryBuffer buffer(bytes);
    TPKBinaryProtocol protocol(buffer, strictRead, true);
    try {
        read(protocol);
    } catch (const TPKException& e) {
        return e.name() + ": " + e.reason();
    }
    return "";
}

TEST(PackProtocol, WritesTheWireTable) {
    struct Case {
        const char* what;
        std::function<void(TPKProtocol&)> write;
        const char* hex;
    } cases[] = {
        {"i32 -2", [](TPKProtocol& p) { p.writeI32(-2); }, "FF FF FF FE"},
        {"i16", [](TPKProtocol& p) { p.writeI16(0x1234); }, "12 34"},
        {"i64", [](TPKProtocol& p) { p.writeI64(-0x0102030405060708); }, "FE FD FC FB FA F9 F8 F8"},
        {"double 1.0", [](TPKProtocol& p) { p.writeDouble(1.0); }, "3F F0 00 00 00 00 00 00"},
        {"bools", [](TPKProtocol& p) { p.writeBool(true), p.writeBool(false); }, "01 00"},
        {"missing string", [](TPKProtocol& p) { p.writeString(std::nullopt); }, "00 00 00 00"},
        {"string with NUL", [](TPKProtocol& p) { p.writeString(std::string("a\0b", 3)); }, "00 00 00 03 61 00 62"},
        {"binary", [](TPKProtocol& p) { p.writeBinary(Bytes{0, 0xFF}); }, "00 00 00 02 00 FF"},
        {"field and stop", [](TPKProtocol& p) { p.writeFieldBegin("x", 8, 258), p.writeFieldStop(); }, "08 01 02 00"},
        {"map header", [](TPKProtocol& p) { p.writeMapBegin(11, 12, 3); }, "0B 0C 00 00 00 03"},
        {"list header", [](TPKProtocol& p) { p.writeListBegin(8, -1); }, "08 FF FF FF FF"},
        {"strict message", [](TPKProtocol& p) { p.writeMessageBegin("m", 1, 9); },
         "80 01 00 01 | 00 00 00 01 x m | 00 00 00 09"},
    };
    for (const auto& c : cases) EXPECT_EQ(written(c.write), hexBytes(c.hex)) << c.what;
    EXPECT_EQ(written([](TPKProtocol& p) { p.writeMessageBegin("m", 1, 9); }, false),
              hexBytes("00 00 00 01 x m | 01 | 00 00 00 09"));
}

TEST(PackProtocol, ReadsScalarsStringsAndBools) {
    TPKMemoryBuffer buffer(hexBytes("FF FE | 02 | 01 | 00 00 00 00 | 00 00 00 03 61 00 62 | 00 00 00 01 FF"));
    TPKBinaryProtocol protocol(buffer);
    EXPECT_EQ(protocol.readI16(), -2);
    EXPECT_FALSE(protocol.readBool());  // only the byte 1 is true
    EXPECT_TRUE(protocol.readBool());
    EXPECT_EQ(protocol.readString(), std::string());
    EXPECT_EQ(protocol.readString(), std::string("a\0b", 3));  // every byte kept
    EXPECT_EQ(protocol.readString(), std::nullopt);            // not UTF-8
}

TEST(PackProtocol, ShortReadRaisesAndConsumesNothing) {
    TPKMemoryBuffer buffer(hexBytes("01 02 03"));
    TPKBinaryProtocol protocol(buffer);
    try {
        protocol.readI32();
        FAIL();
    } catch (const TPKTransportException& e) {
        EXPECT_EQ(e.description(), "TTransportException: Not enough bytes remain in buffer");
    }
    EXPECT_EQ(buffer.bytesRemaining(), 3u);
}

TEST(PackProtocol, DropsConsumedBytesAfter4096) {
    Bytes data(5000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    TPKMemoryBuffer buffer(data);
    Bytes into(4096);
    buffer.readAll(into.data(), 0, 4095);
    EXPECT_EQ(buffer.getBuffer().size(), 5000u);
    buffer.readAll(into.data(), 0, 1);
    EXPECT_EQ(buffer.readPosition(), 0u);
    EXPECT_EQ(buffer.getBuffer(), Bytes(data.begin() + 4096, data.end()));
}

TEST(PackProtocol, SkipsByTheTypeTable) {
    struct Case {
        const char* what;
        std::uint8_t type;
        const char* hex;  // the value, then one trailing byte AA that must remain
    } cases[] = {
        {"struct with a type-7 field", 12, "07 00 01 | 08 00 02 00 00 00 05 | 00 | AA"},
        {"nested struct", 12, "0C 00 01 0B 00 01 00 00 00 01 x z 00 | 00 | AA"},
        {"list count -1", 15, "08 FF FF FF FF | AA"},
        {"map of lists", 13, "0B 0F 00 00 00 01 | 00 00 00 01 x k | 03 00 00 00 02 01 02 | AA"},
        {"set of doubles", 14, "04 00 00 00 01 3F F0 00 00 00 00 00 00 | AA"},
        {"string not UTF-8", 11, "00 00 00 01 FF | AA"},
        {"type 7", 7, "AA"},
    };
    for (const auto& c : cases) {
        TPKMemoryBuffer buffer(hexBytes(c.hex));
        TPKBinaryProtocol protocol(buffer);
        TPKProtocolUtil::skipType(c.type, protocol);
        EXPECT_EQ(buffer.bytesRemaining(), 1u) << c.what;
    }
}

TEST(PackProtocol, MessageHeaders) {
    Bytes strict = written([](TPKProtocol& p) { p.writeMessageBegin("call", 2, 7); });
    Bytes plain = written([](TPKProtocol& p) { p.writeMessageBegin("call", 2, 7); }, false);
    for (const Bytes& bytes : {strict, plain}) {
        TPKMemoryBuffer buffer(bytes);
        TPKBinaryProtocol protocol(buffer);  // lax read accepts both
        std::string name;
        std::uint8_t type = 0;
        std::int32_t sequence = 0;
        protocol.readMessageBegin(&name, &type, &sequence);
        EXPECT_EQ(name, "call");
        EXPECT_EQ(type, 2);
        EXPECT_EQ(sequence, 7);
    }
    auto begin = [](TPKProtocol& p) { p.readMessageBegin(nullptr, nullptr, nullptr); };
    EXPECT_EQ(raised(plain, begin, true), "TProtocolException: Missing version in readMessageBegin, old client?");
    EXPECT_EQ(raised(hexBytes("80 02 00 01"), begin), "TProtocolException: Bad version in readMessageBegin");
    EXPECT_EQ(raised(plain,
                     [](TPKProtocol& p) {
                         static_cast<TPKBinaryProtocol&>(p).setMessageSizeLimit(3);
                         p.readMessageBegin(nullptr, nullptr, nullptr);
                     }),
              "TProtocolException: Message too big.  Size limit is: 3 Message size is: 4");
}

TEST(PackProtocol, ExceptionDescriptions) {
    EXPECT_EQ(TPKProtocolException("bad").description(), "TProtocolException: bad");
    TPKTransportException withError("short", Error::make("D", 3));
    EXPECT_TRUE(withError.userInfo().contains("error"));
    EXPECT_EQ(withError.description().rfind("TTransportException: short\n  userInfo = ", 0), 0u);
    try {
        TPKException::raise("Custom");
    } catch (const TPKException& e) {
        EXPECT_EQ(e.description(), "Custom: unknown");
    }
    // Caught as the platform's exception (as the log lines catch them), the text still follows the class.
    struct Case {
        std::function<void()> raise;
        const char* text;
    } cases[] = {
        {[] { TPKMemoryBuffer().readAll(nullptr, 0, 1); }, "TTransportException: Not enough bytes remain in buffer"},
        {[] { TPKProtocolException::raise("bad"); }, "TProtocolException: bad"},
        {[] { TPKException::raise("Custom", "why"); }, "Custom: why"},
        {[] { Exception::raise("Plain", "reason only"); }, "reason only"},
    };
    for (const auto& c : cases) {
        try {
            c.raise();
            ADD_FAILURE() << c.text;
        } catch (const Exception& e) {
            EXPECT_EQ(e.description(), c.text);
        }
    }
}

// Hostile counts and nesting are refused before anything is allocated or looped over.
TEST(PackLimits, RefusesHostileInputFast) {
    std::string deepLists, deepStructs;
    for (int i = 0; i < 10000; ++i) deepLists += "0F 00 00 00 01 ";
    for (int i = 0; i < 10000; ++i) deepStructs += "0C 00 01 ";
    struct Case {
        const char* what;
        std::uint8_t type;
        std::string hex;
        const char* error;
    } cases[] = {
        {"2 GiB string", 11, "7F FF FF FF 61 62", "TTransportException: Not enough bytes remain in buffer"},
        {"string count -1", 11, "FF FF FF FF", "TTransportException: Not enough bytes remain in buffer"},
        {"type-7 list of 2^31-1", 15, "07 7F FF FF FF", "TProtocolException: Invalid container element type 7"},
        {"map key type 1", 13, "01 08 00 00 00 01", "TProtocolException: Invalid container element type 1"},
        {"list longer than its bytes", 15, "08 00 00 03 E8 00 00 00 01",
         "TProtocolException: Container size 1000 is larger than the bytes that remain"},
        {"map longer than its bytes", 13, "0B 0B 7F FF FF FF 00 00",
         "TProtocolException: Container size 2147483647 is larger than the bytes that remain"},
        {"lists 10,000 deep", 15, deepLists, "TProtocolException: Nesting deeper than 64 levels"},
        {"structs 10,000 deep", 12, deepStructs, "TProtocolException: Nesting deeper than 64 levels"},
    };
    for (const auto& c : cases) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(raised(hexBytes(c.hex), [&](TPKProtocol& p) { TPKProtocolUtil::skipType(c.type, p); }), c.error)
            << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << c.what;
    }
    EXPECT_EQ(raised(hexBytes("7F FF FF FF"), [](TPKProtocol& p) { p.readBinary(); }),
              "TTransportException: Not enough bytes remain in buffer");
}

TEST(PackLimits, AcceptsNestingOf64) {
    std::string hex;
    for (int i = 0; i < 63; ++i) hex += "0F 00 00 00 01 ";
    hex += "08 00 00 00 00 AA";
    TPKMemoryBuffer buffer(hexBytes(hex));
    TPKBinaryProtocol protocol(buffer);
    TPKProtocolUtil::skipType(15, protocol);
    EXPECT_EQ(buffer.bytesRemaining(), 1u);
}

}  // namespace
}  // namespace lv
