// Big-endian numbers in buffers: each width writes exactly its bytes, most significant first, and
// reads back what was written, at widths fixed and known at run time; nothing past the width is touched.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "platform/base/big_endian.h"

namespace lv {
namespace {

TEST(BigEndian, EachWidthStoresItsLowBytesMostSignificantFirstAndReadsThemBack) {
    constexpr std::uint64_t kValue = 0x0102030405060708ULL;
    struct Case {
        unsigned width;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {0, {}},
        {1, {0x08}},
        {2, {0x07, 0x08}},
        {3, {0x06, 0x07, 0x08}},
        {4, {0x05, 0x06, 0x07, 0x08}},
        {5, {0x04, 0x05, 0x06, 0x07, 0x08}},
        {8, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.width);
        std::array<std::uint8_t, 10> buffer;
        buffer.fill(0xEE);
        storeBig(buffer.data() + 1, kValue, c.width);
        EXPECT_EQ(buffer[0], 0xEE);
        EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin() + 1, buffer.begin() + 1 + c.width), c.bytes);
        EXPECT_EQ(buffer[1 + c.width], 0xEE);
        const std::uint64_t low = c.width == 8 ? kValue : kValue & ((std::uint64_t{1} << (8 * c.width)) - 1);
        EXPECT_EQ(loadBig(buffer.data() + 1, c.width), low);
    }
    std::array<std::uint8_t, 8> buffer{};
    storeBig<2>(buffer.data(), 0xFFFE);
    EXPECT_EQ(loadBig<2>(buffer.data()), 0xFFFEu);
    storeBig<4>(buffer.data(), 0x80000001u);
    EXPECT_EQ(loadBig<4>(buffer.data()), 0x80000001u);
    storeBig<8>(buffer.data(), kValue);
    EXPECT_EQ(loadBig<8>(buffer.data()), kValue);
    EXPECT_EQ(loadBig<1>(buffer.data()), 0x01u);
}

}  // namespace
}  // namespace lv
