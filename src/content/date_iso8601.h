// Date texts in UTC: ISO 8601 time stamps ("2015-03-05T01:07:02Z") and log time stamps
// ("2015-03-05 01:07:02.345"). Every call makes a new formatter.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/base/value.h"
#include "platform/time/date_formatter.h"

namespace lv {

class DateISO8601 {
public:
    static std::string dateAsISO8601String(Date date);
    static std::string dateAsLogString(Date date);
    // A new formatter with "yyyy'-'MM'-'dd'T'HH':'mm':'ss'Z'" (a literal Z) in the zone of zero
    // seconds from GMT.
    static DateFormatter iso8601Formatter();
    // A new formatter with "yyyy'-'MM'-'dd' 'HH':'mm':'ss.SSS" in the same zone.
    static DateFormatter logFormatter();
    // The date of an ISO 8601 text in the form above, or nothing when it does not match.
    static std::optional<Date> dateFromISO8601(std::string_view text);
};

}  // namespace lv
