#include "push/tlv_report.h"

#include "platform/base/log.h"

namespace lv {

void tlvAssertionReport(std::string_view method, int line, std::string_view condition) {
    log("exception.name= %@", std::string_view("TlvSerializableException"));
    log("exception.reason= %@", format("%s, %d: assert(%@) fail!", std::string(method).c_str(), line, condition));
}

}  // namespace lv
