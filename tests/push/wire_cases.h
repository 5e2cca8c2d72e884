// Golden byte vectors worked out by hand from the encoding rules, each beside what our encoder gives
// for the same input; shared by the test binary and the reference tool.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/value.h"
#include "push/wire_records.h"

namespace lv::test {

// "19 00 01" → {0x19, 0x00, 0x01}.
Bytes hexBytes(std::string_view hex);
Bytes ascii(std::string_view text);
Bytes join(std::initializer_list<Bytes> parts);
std::string hexText(const Bytes& bytes);

// Each assertion report among the log lines as "<method> <condition>", e.g.
// "-[PNTlvOutputStream writeString:tag:required:] required == __objc_no"; a reason line without the
// name line before it is marked "(unnamed) ".
std::vector<std::string> reports(const std::vector<std::string>& lines);

constexpr std::uint32_t kAccessId = 2290150000u;
constexpr std::string_view kAccessKey = "0123456789abcdef0123456789abcdef";

// The five requests as the push operations fill them.
Ref<PNWireRegisterReq> registerRequest();
Ref<PNWireReconnectReq> reconnectRequest();
Ref<PNWireUnregisterReq> unregisterRequest();
Ref<PNWireTokenTagReq> tokenTagRequest(std::int32_t flag);
Ref<PNWirePushClickReq> clickRequest();

struct WireCase {
    std::string name;
    Bytes golden;   // by hand
    Bytes encoded;  // by our writer
};
// The writer's edge cases and the five requests.
std::vector<WireCase> wireCases();

}  // namespace lv::test
