#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/base/error.h"
#include "platform/base/format.h"

namespace lv {
namespace {

template <class... T>
std::string c(const char* fmt, T... args) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, fmt, args...);
    return buffer;
}

// Every numeric conversion prints exactly as C's printf prints the matching argument.
TEST(Format, NumericConversionsMatchPrintf) {
    EXPECT_EQ(format("%d", -42), c("%d", -42));
    EXPECT_EQ(format("%i|%5d|%-5d|%+d|% d|%05d", 7, 7, 7, 7, 7, -7), c("%i|%5d|%-5d|%+d|% d|%05d", 7, 7, 7, 7, 7, -7));
    EXPECT_EQ(format("%u", 4000000000u), c("%u", 4000000000u));
    EXPECT_EQ(format("%ld %lu", -5L, 5UL), c("%ld %lu", -5L, 5UL));
    EXPECT_EQ(format("%lld %llu", -9223372036854775807LL, 18446744073709551615ULL),
              c("%lld %llu", -9223372036854775807LL, 18446744073709551615ULL));
    EXPECT_EQ(format("%hu", 70000), c("%hu", 70000));
    EXPECT_EQ(format("%x %X %02X %08X %08x %02x", 255, 255, 10, 0xBEEF, 0xbeef, 1),
              c("%x %X %02X %08X %08x %02x", 255, 255, 10, 0xBEEF, 0xbeef, 1));
    EXPECT_EQ(format("%#x %lx", 255, 0x1234567890ABCDEFUL), c("%#x %lx", 255, 0x1234567890ABCDEFUL));
    EXPECT_EQ(format("%f %0.2f %.3f %10.4f %-10.1f|", 3.14159, 2.005, -0.5, 1e5, 2.25),
              c("%f %0.2f %.3f %10.4f %-10.1f|", 3.14159, 2.005, -0.5, 1e5, 2.25));
    EXPECT_EQ(format("%0.1g %g %e %E %G", 0.05, 1e20, 12345.678, 0.000123, 1e-10),
              c("%0.1g %g %e %E %G", 0.05, 1e20, 12345.678, 0.000123, 1e-10));
    EXPECT_EQ(format("%c%c", 'o', 'k'), "ok");
    EXPECT_EQ(format("%*d|%.*f", 6, 42, 2, 1.0), c("%*d|%.*f", 6, 42, 2, 1.0));
}

TEST(Format, IntegerConversionsReadTheArgumentWidthOfTheConversion) {
    // %d of a 64-bit value prints its low 32 bits, as C reads an int.
    EXPECT_EQ(format("%d", 0x1'0000'0002LL), "2");
    EXPECT_EQ(format("%x", -1), "ffffffff");
    EXPECT_EQ(format("%lx", -1), "ffffffffffffffff");
    EXPECT_EQ(format("%hhd", 300), "44");
    EXPECT_EQ(format("%qx", 0x1'0000'0000LL), "100000000");
}

TEST(Format, ObjectConversion) {
    Value nil;
    auto error = Error::make("D", 3);
    Ref<Error> none;
    EXPECT_EQ(format("%@", nil), "(null)");
    EXPECT_EQ(format("%@", none), "(null)");
    EXPECT_EQ(format("%@ and %@", Value("text"), std::string("std")), "text and std");
    EXPECT_EQ(format("[%@]", Value::array({1})), "[(\n    1\n)]");
    EXPECT_EQ(format("%@", error), error->description());
    EXPECT_EQ(format("%@|%5@|%-5@|", Value(1), Value("ab"), Value("ab")), "1|   ab|ab   |");
    EXPECT_EQ(format("%@", 42), "42");
}

TEST(Format, PositionalArguments) {
    EXPECT_EQ(format("%2$@ %1$@", Value("world"), Value("hello")), "hello world");
    EXPECT_EQ(format("%1$@-%1$@", Value("x")), "x-x");
    EXPECT_EQ(format("%2$d/%1$s", "b", 7), "7/b");
}

TEST(Format, TextPointersAndOddSequences) {
    const char* none = nullptr;
    EXPECT_EQ(format("%s|%s|%.2s", "abc", none, "xyz"), "abc|(null)|xy");
    int x = 0;
    EXPECT_EQ(format("%p", static_cast<const void*>(&x)), addressText(&x));
    EXPECT_EQ(format("%p", static_cast<const void*>(nullptr)), "0x0");
    EXPECT_EQ(format("100%%"), "100%");
    EXPECT_EQ(format("%y is kept"), "%y is kept");
    EXPECT_EQ(format("trailing %"), "trailing %");
    EXPECT_EQ(format("%d %d", 1), "1 0");  // a missing argument prints as zero, never reads past the list
    // Absurd widths are capped instead of overflowing the count or allocating gigabytes.
    EXPECT_EQ(format("%99999999999d", 1).size(), 65536u);
    EXPECT_EQ(format("%*d", -2147483647 - 1, 1).size(), 65536u);
}

}  // namespace
}  // namespace lv
