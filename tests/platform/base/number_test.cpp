#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/base/value.h"

namespace lv {
namespace {

TEST(NumberKinds, KeepTheStoredKind) {
    EXPECT_EQ(Number::of(true).objCType(), 'c');
    EXPECT_TRUE(Number::of(true).isBool());
    EXPECT_EQ(Number::of(std::int16_t{1}).objCType(), 's');
    EXPECT_EQ(Number::of(1).objCType(), 'i');
    EXPECT_EQ(Number::of(1L).objCType(), 'q');
    EXPECT_EQ(Number::of(1u).objCType(), 'I');
    EXPECT_EQ(Number::of(std::uint64_t{1}).objCType(), 'Q');
    EXPECT_EQ(Number::of(1.0f).objCType(), 'f');
    EXPECT_EQ(Number::of(1.0).objCType(), 'd');
}

TEST(NumberReadings, ConvertAtTheEdges) {
    // intValue keeps the low 32 bits of the 64-bit value.
    EXPECT_EQ(Number::of(std::int64_t{0x1'0000'0005}).intValue(), 5);
    EXPECT_EQ(Number::of(std::int64_t{0xFFFF'FFFF}).intValue(), -1);
    EXPECT_EQ(Number::of(-1).unsignedIntValue(), 0xFFFFFFFFu);
    EXPECT_EQ(Number::of(std::numeric_limits<std::uint64_t>::max()).longLongValue(), -1);
    EXPECT_EQ(Number::of(3.9).intValue(), 3);
    EXPECT_EQ(Number::of(-3.9).longLongValue(), -3);
    EXPECT_EQ(Number::of(1e300).longLongValue(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(Number::of(std::nan("")).longLongValue(), 0);
    EXPECT_TRUE(Number::of(0.1).boolValue());
    EXPECT_FALSE(Number::of(0).boolValue());
    EXPECT_DOUBLE_EQ(Number::of(std::uint64_t{1} << 63).doubleValue(), 9223372036854775808.0);
}

TEST(NumberReadings, RealsAtTheEdgesOfTheIntegerRanges) {
    // Integer readings truncate and saturate at the 64-bit limits; the unsigned reading of a negative
    // real is its signed reading's bits. intValue keeps the low 32 bits of the 64-bit reading.
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    constexpr std::uint64_t kTwoTo63 = std::uint64_t{1} << 63;
    const struct {
        double real;
        std::int64_t longLong;
        std::uint64_t unsignedLongLong;
        std::int32_t integer;
    } cases[] = {
        {0x1p63, kMax, kTwoTo63, -1},
        {std::nextafter(0x1p63, 0.0), 0x7FFF'FFFF'FFFF'FC00, 0x7FFF'FFFF'FFFF'FC00, -1024},
        {-0x1p63, kMin, kTwoTo63, 0},
        {std::nextafter(-0x1p63, -HUGE_VAL), kMin, kTwoTo63, 0},
        {0x1p64, kMax, std::numeric_limits<std::uint64_t>::max(), -1},
        {std::nextafter(0x1p64, 0.0), kMax, 0xFFFF'FFFF'FFFF'F800, -1},
    };
    for (const auto& c : cases) {
        const auto asFloat = static_cast<float>(c.real);
        for (const Number n : {Number::of(c.real), asFloat == c.real ? Number::of(asFloat) : Number::of(c.real)}) {
            EXPECT_EQ(n.longLongValue(), c.longLong) << c.real;
            EXPECT_EQ(n.unsignedLongLongValue(), c.unsignedLongLong) << c.real;
            EXPECT_EQ(n.intValue(), c.integer) << c.real;
        }
        EXPECT_EQ(Value(c.real).longLongValue(), c.longLong) << c.real;
        EXPECT_EQ(Value(c.real).unsignedLongLongValue(), c.unsignedLongLong) << c.real;
    }
    // Equal across kinds at 2^63 and -2^63, and hashed alike.
    EXPECT_EQ(Number::of(0x1p63), Number::of(kTwoTo63));
    EXPECT_EQ(Number::of(0x1p63).hash(), Number::of(kTwoTo63).hash());
    EXPECT_EQ(Number::of(-0x1p63), Number::of(kMin));
    EXPECT_EQ(Number::of(-0x1p63).hash(), Number::of(kMin).hash());
}

TEST(NumberReadings, StringValues) {
    struct {
        Number n;
        const char* text;
    } cases[] = {
        {Number::of(true), "1"},
        {Number::of(false), "0"},
        {Number::of(1.5), "1.5"},
        {Number::of(0.1), "0.1"},
        {Number::of(2.0), "2"},
        {Number::of(-3), "-3"},
        {Number::of(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
        {Number::of(1.0 / 3), "0.3333333333333333"},
        {Number::of(0.1f), "0.1"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.n.stringValue(), c.text);
}

TEST(NumberCompare, SignedAgainstUnsigned) {
    EXPECT_LT(Number::of(-1).compare(Number::of(std::numeric_limits<std::uint64_t>::max())), 0);
    EXPECT_GT(Number::of(std::uint64_t{5}).compare(Number::of(-5)), 0);
    EXPECT_EQ(Number::of(std::nan("")).compare(Number::of(std::nan(""))), 0);
    EXPECT_LT(Number::of(std::nan("")).compare(Number::of(-1e308)), 0);
}

TEST(Decimal, ParsesAndPrintsExactly) {
    struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"199.90", "199.9"},   {"0.05", "0.05"},  {"-12.500", "-12.5"}, {"  42abc", "42"},  {"1e3", "1000"},
        {"1.5E-2", "0.015"},   {"000", "0"},      {"-0", "0"},          {"abc", "NaN"},     {"", "NaN"},
        {".5", "0.5"},         {"7.", "7"},       {"+3", "3"},          {"-", "NaN"},
        {"12345678901234567890", "12345678901234567890"},
        {"0.1234567890123456789", "0.1234567890123456789"},
        // 38 significant digits are kept; the 39th rounds the 38th half up.
        {"123456789012345678901.5", "123456789012345678901.5"},
        {"-12345678901234567890123456789012345678", "-12345678901234567890123456789012345678"},
        {"1234567890123456789.0123456789012345678", "1234567890123456789.0123456789012345678"},
        {"123456789012345678901234567890123456789", "123456789012345678901234567890123456790"},
        {"99999999999999999999999999999999999999.5", "100000000000000000000000000000000000000"},
        {"0.00000000000000000000000000000000000000000000000001", "0.00000000000000000000000000000000000000000000000001"},
    };
    for (const auto& c : cases) EXPECT_EQ(Decimal::fromString(c.in).stringValue(), c.out) << c.in;
    EXPECT_TRUE(Decimal::fromString("x").isNaN());
    EXPECT_FALSE(Decimal::parse("12abc").has_value());
    EXPECT_EQ(Decimal::parse(" 12.0 ")->stringValue(), "12");
}

TEST(Decimal, ComparesExactly) {
    auto d = [](const char* s) { return Decimal::fromString(s); };
    EXPECT_EQ(d("199.90"), d("199.9"));
    EXPECT_LT(d("0.1").compare(d("0.10000000000000001")), 0);
    EXPECT_GT(d("-1").compare(d("-2")), 0);
    EXPECT_LT(d("-100").compare(d("0.001")), 0);
    EXPECT_GT(d("1000").compare(d("999.999")), 0);
    EXPECT_LT(d("NaN").compare(d("-1e100")), 0);
    EXPECT_EQ(d("x"), Decimal::notANumber());
    EXPECT_GT(d("123456789012345678901.5").compare(d("123456789012345678901.4")), 0);
    EXPECT_LT(d("12345678901234567890123456789012345677").compare(d("12345678901234567890123456789012345678")), 0);
    EXPECT_NE(d("123456789012345678901.5"), d("123456789012345678900"));
    EXPECT_EQ(Value(d("123456789012345678901.5")).hash(), Value(d("123456789012345678901.50")).hash());
}

TEST(Decimal, NumericReadings) {
    EXPECT_EQ(Decimal::fromString("199.9").intValue(), 199);
    EXPECT_EQ(Decimal::fromString("-2.7").longLongValue(), -2);
    EXPECT_EQ(Decimal::fromString("1e30").longLongValue(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(Decimal::fromString("-1e30").longLongValue(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(Decimal::fromString("9223372036854775807.9").longLongValue(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(Decimal::fromString("-9223372036854775808.9").longLongValue(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(Decimal::fromString("123456789012345678901234567890.5e-20").longLongValue(), 1234567890);
    EXPECT_DOUBLE_EQ(Decimal::fromString("123456789012345678901.5").doubleValue(), 123456789012345678901.5);
    EXPECT_DOUBLE_EQ(Decimal::fromString("199.9").doubleValue(), 199.9);
    EXPECT_EQ(Decimal::fromDouble(0.1).stringValue(), "0.1");
    EXPECT_TRUE(Decimal::fromDouble(INFINITY).isNaN());
    EXPECT_EQ(Decimal::fromNumber(Number::of(std::numeric_limits<std::uint64_t>::max())).stringValue(),
              "18446744073709551615");
}

TEST(TextReadings, ReadNumbersAsThePlatformDoes) {
    EXPECT_EQ(readInt("  -42xyz"), -42);
    EXPECT_EQ(readInt("+7"), 7);
    EXPECT_EQ(readInt("abc"), 0);
    EXPECT_EQ(readInt("99999999999"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(readInt("-99999999999"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(readLongLong("9223372036854775808"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(readLongLong("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
    EXPECT_DOUBLE_EQ(readDouble(" 1.5e2kg"), 150.0);
    EXPECT_DOUBLE_EQ(readDouble("-.25"), -0.25);
    EXPECT_DOUBLE_EQ(readDouble("nan"), 0.0);
    EXPECT_DOUBLE_EQ(readDouble("1e999"), HUGE_VAL);
    EXPECT_DOUBLE_EQ(readDouble("1e-999"), 0.0);
    struct {
        const char* text;
        bool value;
    } bools[] = {{"YES", true}, {"yes", true}, {"true", true}, {"T", true}, {"1", true}, {" 007", true},
                 {"-5", true},  {"NO", false}, {"0", false},   {"", false}, {"false", false}, {"000", false}};
    for (const auto& b : bools) EXPECT_EQ(readBool(b.text), b.value) << b.text;
    EXPECT_EQ(Value("12").intValue(), 12);
    EXPECT_TRUE(Value("Y").boolValue());
}

}  // namespace
}  // namespace lv
