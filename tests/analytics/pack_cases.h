// Golden records shared by the unit tests and the file writer the Python reader checks.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

#include "analytics/envelope_record.h"
#include "analytics/log_records.h"

namespace lv::test {

// Hexadecimal text to bytes; blanks and '|' are ignored, 'x' quotes the next non-blank character.
inline Bytes hexBytes(std::string_view text) {
    Bytes out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == ' ' || c == '|' || c == '\n') continue;
        if (c == 'x') {
            while (text[i + 1] == ' ') ++i;
            out.push_back(static_cast<std::uint8_t>(text[++i]));
            continue;
        }
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
        ++i;
    }
    return out;
}

inline TLYEnvelope tenFieldEnvelope() {
    return TLYEnvelope("V1.0", "k", "s", 7, 1000, 3, Bytes{1, 2}, "g", "c", 1);
}

// Instant message "s1" with no errors and one event "e" whose property "k" holds the number 5;
// group "g" → 2.
inline TPKUALogEntry nestedLogEntry() {
    TPKPropertyValue value;
    value.setLong_value(5);
    TPKEvent event;
    event.setName("e");
    event.setProperties(std::map<std::string, TPKPropertyValue>{{"k", value}});
    TPKInstantMsg message;
    message.setId("s1");
    message.setErrors(std::vector<TPKError>{});
    message.setEvents(std::vector<TPKEvent>{event});
    TPKUALogEntry entry;
    entry.setInstant_msgs(std::vector<TPKInstantMsg>{message});
    entry.setGroup_info(std::map<std::string, std::int32_t>{{"g", 2}});
    return entry;
}

}  // namespace lv::test
