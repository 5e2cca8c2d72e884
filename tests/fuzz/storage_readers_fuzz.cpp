// The readers of outside files and replies: JSON, property lists (XML and binary) and keyed archives.
// Every input must give a value or an error; a value read back must survive a write.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/base/log.h"
#include "platform/storage/json.h"
#include "platform/storage/keyed_archive.h"
#include "platform/storage/property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static lv::LogCapture quiet;  // the readers log one line per refused input
    quiet.clear();
    const std::span<const std::uint8_t> bytes(data, size);

    lv::Ref<lv::Error> error;
    lv::Value json = lv::JSONSerialization::JSONObjectWithData(bytes, lv::kJSONReadingAllowFragments, &error);
    if (json.isNil() == (error == nullptr)) __builtin_trap();  // exactly one of value and error
    if (!json.isNil()) {
        lv::Ref<lv::Error> writeError;
        if (!lv::JSONSerialization::dataWithJSONObject(json, lv::kJSONWritingFragmentsAllowed, &writeError)) {
            __builtin_trap();  // what was read can be written
        }
    }

    lv::PropertyListFormat format{};
    error = nullptr;
    const lv::Value plist = lv::PropertyListSerialization::propertyListWithData(bytes, 0, &format, &error);
    if (plist.isNil() && !error) __builtin_trap();

    error = nullptr;
    (void)lv::KeyedUnarchiver::unarchivedObject(bytes, &error);
    return 0;
}
