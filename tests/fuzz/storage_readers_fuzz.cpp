// The readers of outside files and replies: JSON, property lists (XML and binary) and keyed archives.
// Every input must give a value or an error; a value read back must survive a write.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/base/log.h"
#include "platform/storage/json.h"
#include "platform/storage/keyed_archive.h"
#include "platform/storage/property_list.h"

namespace {

// JSON: a value or an error, never both; what is read is written, and the written bytes read back
// as the same value and write the same bytes again.
void checkJSONRoundTrip(std::span<const std::uint8_t> bytes) {
    using lv::JSONSerialization;
    lv::Ref<lv::Error> error;
    const lv::Value json = JSONSerialization::JSONObjectWithData(bytes, lv::kJSONReadingAllowFragments, &error);
    if (json.isNil() == (error == nullptr)) __builtin_trap();
    if (json.isNil()) return;
    const auto written = JSONSerialization::dataWithJSONObject(json, lv::kJSONWritingFragmentsAllowed, &error);
    if (!written) __builtin_trap();
    const lv::Value back = JSONSerialization::JSONObjectWithData(*written, lv::kJSONReadingAllowFragments, &error);
    if (back != json) __builtin_trap();
    const auto rewritten = JSONSerialization::dataWithJSONObject(back, lv::kJSONWritingFragmentsAllowed, &error);
    if (!rewritten || *rewritten != *written) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static lv::LogCapture quiet;  // the readers log one line per refused input
    quiet.clear();
    const std::span<const std::uint8_t> bytes(data, size);

    checkJSONRoundTrip(bytes);

    lv::Ref<lv::Error> error;
    lv::PropertyListFormat format{};
    const lv::Value plist = lv::PropertyListSerialization::propertyListWithData(bytes, 0, &format, &error);
    if (plist.isNil() && !error) __builtin_trap();

    error = nullptr;
    (void)lv::KeyedUnarchiver::unarchivedObject(bytes, &error);
    return 0;
}
