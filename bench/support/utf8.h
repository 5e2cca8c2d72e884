// Well-formed UTF-8, checked as the records' readers check every text (text that is not reads as
// nothing), for floors that must give the same result; plain ASCII takes one pass without decoding.
// Any thread.
#pragma once

#include <string_view>

namespace lv::bench {

inline bool wellFormedUtf8(std::string_view text) {
    unsigned char high = 0;
    for (char c : text) high |= static_cast<unsigned char>(c);
    if (high < 0x80) return true;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        const unsigned char b = *p;
        const int extra = b >= 0xC2 && b <= 0xDF ? 1 : b >= 0xE0 && b <= 0xEF ? 2 : b >= 0xF0 && b <= 0xF4 ? 3 : -1;
        if (extra < 0 || end - p <= extra) return false;
        const unsigned char low = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
        const unsigned char top = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
        if (p[1] < low || p[1] > top) return false;
        for (int i = 2; i <= extra; ++i) {
            if (p[i] < 0x80 || p[i] > 0xBF) return false;
        }
        p += extra + 1;
    }
    return true;
}

}  // namespace lv::bench
