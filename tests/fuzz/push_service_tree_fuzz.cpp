// The push service's Tlv tree reader on arbitrary records: whatever it reads, its writer writes a
// record that reads back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tlv_tree.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto fields = lv::tools::decodeTlvRecord(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!fields) {
        return 0;
    }
    const std::string written = lv::tools::encodeTlvRecord(*fields);
    const auto again = lv::tools::decodeTlvRecord(written);
    if (!again || lv::tools::encodeTlvRecord(*again) != written) {
        std::abort();
    }
    return 0;
}
