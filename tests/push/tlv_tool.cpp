// Prints every golden and our encoder's output for it, one case per line: "<name> <golden hex>
// <encoded hex>", then a framed click request as "frame_click <hex> <hex>"; for tlv_reference.py.
#include <cstdio>

#include "push/tlv_frame.h"
#include "wire_cases.h"

int main() {
    using namespace lv::test;
    for (const WireCase& c : wireCases()) {
        std::printf("%s %s %s\n", c.name.c_str(), hexText(c.golden).c_str(), hexText(c.encoded).c_str());
    }
    lv::PNTlv::setRandomSource([] { return std::uint32_t{3}; });
    const auto frame = lv::PNTlv::toFullTlvData(clickRequest()->toData(), 16);
    const lv::Bytes golden =
        join({hexBytes("50 0A 03 00 00 00 00 00 00 2C 00 00 00 00 01 10 00"),
              hexBytes("19 00 01 0A 0C 13 00 00 00 00 88 80 EA 70 21 30 39 32 53 72 4E 00 40 01 5C 6C 0B")});
    std::printf("frame_click %s %s\n", hexText(golden).c_str(), hexText(frame ? *frame : lv::Bytes{}).c_str());
    return 0;
}
