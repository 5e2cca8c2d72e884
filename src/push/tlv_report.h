// The Tlv codec's assertion report: a failed check is logged as two lines and the caller goes on
// (nothing is thrown). Safe from any thread.
#pragma once

#include <string_view>

namespace lv {

// Logs "exception.name= TlvSerializableException", then
// "exception.reason= <method>, <line>: assert(<condition>) fail!".
void tlvAssertionReport(std::string_view method, int line, std::string_view condition);

}  // namespace lv

// Reports the condition text when the condition does not hold; evaluates to the condition.
#define LV_TLV_CHECK(method, condition, text) \
    ((condition) ? true : (::lv::tlvAssertionReport((method), __LINE__, (text)), false))
