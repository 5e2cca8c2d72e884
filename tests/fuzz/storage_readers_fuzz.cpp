// The readers of outside files and replies: JSON, property lists (XML and binary) and keyed archives.
// Every input must give a value or an error; what a reader accepts must write back and read back equal.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/base/log.h"
#include "platform/storage/json.h"
#include "platform/storage/keyed_archive.h"
#include "platform/storage/property_list.h"

namespace {

// XML dates carry whole seconds.
lv::Value wholeSeconds(const lv::Value& v) {
    if (const lv::Date* d = v.date()) return lv::Value(lv::Date::fromSinceReferenceDate(std::floor(d->sinceReferenceDate())));
    if (v.isArray()) {
        lv::Array items;
        for (const lv::Value& item : v.array()) items.push_back(wholeSeconds(item));
        return lv::Value(std::move(items));
    }
    if (v.isDictionary()) {
        lv::Dictionary entries;
        for (const auto& [key, item] : v.dictionary()) entries.appendUnsorted(key, wholeSeconds(item));
        entries.finishAppending();
        return lv::Value(std::move(entries));
    }
    return v;
}

void checkPlistRoundTrip(const lv::Value& plist) {
    for (lv::PropertyListFormat format : {lv::PropertyListFormat::Binary, lv::PropertyListFormat::XML}) {
        lv::Ref<lv::Error> error;
        auto bytes = lv::PropertyListSerialization::dataWithPropertyList(plist, format, 0, &error);
        if (!bytes) {
            // Only XML may refuse what was read (characters XML 1.0 cannot hold, years beyond 9999).
            if (format == lv::PropertyListFormat::Binary || !error ||
                error->code() != lv::kPropertyListWriteInvalidError ||
                lv::PropertyListSerialization::propertyListIsValidForFormat(plist, format)) {
                __builtin_trap();
            }
            continue;
        }
        lv::PropertyListFormat detected{};
        const lv::Value back = lv::PropertyListSerialization::propertyListWithData(*bytes, 0, &detected, nullptr);
        const lv::Value expected = format == lv::PropertyListFormat::XML ? wholeSeconds(plist) : plist;
        if (detected != format || !(back == expected)) __builtin_trap();
    }
}

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
    if (plist.isNil() == (error == nullptr)) __builtin_trap();
    if (!plist.isNil()) checkPlistRoundTrip(plist);

    error = nullptr;
    const lv::Value root = lv::KeyedUnarchiver::unarchivedObject(bytes, &error);
    if (!root.isNil()) {
        auto archive = lv::KeyedArchiver::archivedDataWithRootObject(root, false, &error);
        if (!archive || !(lv::KeyedUnarchiver::unarchivedObject(*archive, nullptr) == root)) __builtin_trap();
    }
    return 0;
}
