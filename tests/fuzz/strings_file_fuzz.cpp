// String tables (".strings" files) from the bundle: any text gives a table or nothing; a table read
// writes back, quoted and escaped, as a text that reads back the same table.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/storage/bundle.h"

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + '"';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto table = lv::detail::parseStringsText(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!table) return 0;
    std::string written;
    for (const auto& [key, value] : *table) {
        if (!value.isString()) std::abort();
        written += quoted(key) + " = " + quoted(value.string()) + ";\n";
    }
    const auto back = lv::detail::parseStringsText(written);
    if (!back || !(*back == *table)) std::abort();
    return 0;
}
