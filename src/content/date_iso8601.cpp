#include "content/date_iso8601.h"

#include "platform/time/time_zone.h"

namespace lv {

DateFormatter DateISO8601::iso8601Formatter() {
    return DateFormatter("yyyy'-'MM'-'dd'T'HH':'mm':'ss'Z'", TimeZone::forSecondsFromGMT(0));
}

DateFormatter DateISO8601::logFormatter() {
    return DateFormatter("yyyy'-'MM'-'dd' 'HH':'mm':'ss.SSS", TimeZone::forSecondsFromGMT(0));
}

std::string DateISO8601::dateAsISO8601String(Date date) { return iso8601Formatter().stringFromDate(date); }
std::string DateISO8601::dateAsLogString(Date date) { return logFormatter().stringFromDate(date); }

std::optional<Date> DateISO8601::dateFromISO8601(std::string_view text) {
    return iso8601Formatter().dateFromString(text);
}

}  // namespace lv
