// Driver for json_interop.py: writes the sample value with our writer ("write", "write-pretty"), or
// reads JSON from standard input and exits 0 when it equals the sample ("read"), or reads JSON from
// standard input and writes back what it read, exiting 1 when it refuses it ("echo"). The sample is
// the same value json_interop.py builds.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <limits>
#include <string>
#include <string_view>

#include "platform/storage/json.h"

namespace {

lv::Value sample() {
    using lv::Value;
    return Value::dictionary({
        {"text", Value::array({"韩剧 \U0001F3B5 é", "quote \" backslash \\ slash / http://a.b/c",
                               "controls \x01\x1f\t\n\r\b\f\x7f end", std::string(1, '\0'), ""})},
        {"integers", Value::array({0, -1, std::numeric_limits<std::int64_t>::max(),
                                   std::numeric_limits<std::int64_t>::min(),
                                   std::numeric_limits<std::uint64_t>::max()})},
        {"doubles", Value::array({0.1, 1e300, -2.5e-300, 5e-324, 1.7976931348623157e308, 123456.789})},
        {"kinds", Value::array({true, false, Value::null()})},
        {"nested", Value::dictionary({{"a", Value::array({Value::array({}), Value::dictionary({})})},
                                      {"é/\"k\"", Value::dictionary({{"deeper", Value::array({1, Value::array({2})})}})}})},
    });
}

// Equal values, and equal kinds: booleans, integers and reals write differently.
bool sameAsSample(const lv::Value& read) {
    const lv::Value expected = sample();
    return read == expected && lv::JSONSerialization::stringWithJSONObject(read, 0, nullptr) ==
                                   lv::JSONSerialization::stringWithJSONObject(expected, 0, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "write" || mode == "write-pretty") {
        lv::Ref<lv::Error> error;
        const auto text = lv::JSONSerialization::stringWithJSONObject(
            sample(), mode == "write" ? 0 : lv::kJSONWritingPrettyPrinted, &error);
        if (!text) return 2;
        std::fwrite(text->data(), 1, text->size(), stdout);
        return 0;
    }
    if (mode == "read" || mode == "echo") {
        std::string input;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;) input.append(buffer, n);
        lv::Ref<lv::Error> error;
        const lv::Value value = lv::JSONSerialization::JSONObjectWithData(input, 0, &error);
        if (error) {
            std::cerr << error->description() << "\n";
            return 1;
        }
        if (mode == "echo") {
            const auto text = lv::JSONSerialization::stringWithJSONObject(value, 0, &error);
            if (!text) return 2;
            std::fwrite(text->data(), 1, text->size(), stdout);
            return 0;
        }
        if (!sameAsSample(value)) {
            std::cerr << "read " << value.description() << "\n";
            return 1;
        }
        return 0;
    }
    std::cerr << "usage: json_interop write|write-pretty|read|echo\n";
    return 2;
}
