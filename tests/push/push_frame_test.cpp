// The push frame: building requests (header, random field, length, command) and stripping replies.
#include <gtest/gtest.h>

#include "platform/base/log.h"
#include "push/tlv_frame.h"
#include "wire_cases.h"

namespace lv::test {
namespace {

class PushFrame : public ::testing::Test {
protected:
    void TearDown() override { PNTlv::setRandomSource(nullptr); }
};

TEST_F(PushFrame, ARequestFrameCarriesItsLengthCommandAndRandomField) {
    PNTlv::setRandomSource([] { return std::uint32_t{7}; });
    LogCapture capture;
    const Bytes record(100, 0x5A);
    const auto frame = PNTlv::toFullTlvData(record, 0x84);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->size(), 117u);
    EXPECT_EQ(hexText(Bytes(frame->begin(), frame->begin() + 17)),
              "500A"
              "02000000"
              "00000075"
              "00000000"
              "01"
              "04"
              "00");
    EXPECT_EQ(Bytes(frame->begin() + 17, frame->end()), record);
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"package Size is 117"});
}

TEST_F(PushFrame, TheRandomFieldStaysBelowFive) {
    for (std::uint32_t raw : {0u, 4u, 5u, 0xFFFFFFFFu}) {
        PNTlv::setRandomSource([raw] { return raw; });
        const auto frame = PNTlv::toFullTlvData({}, 16);
        ASSERT_TRUE(frame);
        EXPECT_EQ((*frame)[2], raw % 5);
        EXPECT_EQ(hexText(Bytes(frame->begin() + 3, frame->end())), "0000000000001100000000011000");
    }
}

TEST_F(PushFrame, AFrameTooLongForItsLengthFieldIsRefused) {
    LogCapture capture;
    EXPECT_TRUE(PNTlv::toFullTlvData(Bytes(65535 - 17, 0), 4));
    capture.clear();
    EXPECT_FALSE(PNTlv::toFullTlvData(Bytes(65536 - 17, 0), 4));
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"[pnpush error]package Size is 65536, too large for a frame"});
}

TEST_F(PushFrame, RepliesAreJudgedByTheirResultCodeOnly) {
    struct Case {
        Bytes frame;
        std::optional<Bytes> record;
        std::vector<std::string> lines;
    };
    const Bytes header = hexBytes("50 0A 00 00 00 00 00 00 00 13 00 00 00 00 01 06");
    const Case cases[] = {
        {join({header, hexBytes("00")}),
         Bytes{},
         {"[pnpush info]msgLen's length is 7", "[pnpush success]rspCode is 0"}},
        {join({header, hexBytes("00 00 01")}),
         hexBytes("00 01"),
         {"[pnpush info]msgLen's length is 9", "[pnpush success]rspCode is 0"}},
        {header, std::nullopt, {"[pnpush info]msgLen's length is 6", "[pnpush error]tlvData is wrong! tlvLen<=0"}},
        {Bytes(header.begin(), header.begin() + 10),
         std::nullopt,
         {"[pnpush info]msgLen's length is 0", "[pnpush error]tlvData is wrong! msgLen<=0"}},
        {Bytes{}, std::nullopt, {"[pnpush info]msgLen's length is -10", "[pnpush error]tlvData is wrong! msgLen<=0"}},
        {join({header, hexBytes("03 00 01")}),
         std::nullopt,
         {"[pnpush info]msgLen's length is 9", "[pnpush warning!]rspCode is 3"}},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        EXPECT_EQ(PNTlv::fromFullTlvData(c.frame), c.record) << hexText(c.frame);
        EXPECT_EQ(capture.lines(), c.lines) << hexText(c.frame);
    }
}

TEST_F(PushFrame, ARequestFrameStripsBackToItsRecord) {
    const Bytes record = clickRequest()->toData();
    const auto frame = PNTlv::toFullTlvData(record, 16);
    ASSERT_TRUE(frame);
    EXPECT_EQ(PNTlv::fromFullTlvData(*frame), record);
}

}  // namespace
}  // namespace lv::test
