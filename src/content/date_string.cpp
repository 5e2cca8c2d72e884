#include "content/date_string.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "platform/base/clock.h"
#include "platform/base/format.h"
#include "platform/text/strings.h"
#include "platform/time/calendar.h"
#include "platform/time/date_formatter.h"
#include "platform/time/time_zone.h"

namespace lv {

namespace {

std::string formatted(Date date, std::string_view pattern) {
    return DateFormatter(std::string(pattern)).stringFromDate(date);
}

// Pacific time, as the platform's abbreviation table names it.
std::string formattedInPacificTime(Date date, std::string_view pattern) {
    DateFormatter formatter{std::string(pattern)};
    if (std::optional<TimeZone> pacific = TimeZone::withAbbreviation("PST")) formatter.setTimeZone(*pacific);
    return formatter.stringFromDate(date);
}

std::string styled(Date date, DateFormatter::Style dateStyle, DateFormatter::Style timeStyle) {
    DateFormatter formatter;
    formatter.setDateStyle(dateStyle);
    formatter.setTimeStyle(timeStyle);
    return formatter.stringFromDate(date);
}

// Whole seconds from the date to now, cut toward zero and kept within 32 bits.
std::int32_t secondsAgo(Date date) {
    const double elapsed = std::trunc(currentTimeSince1970() - date.since1970());
    if (std::isnan(elapsed)) return 0;
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
    if (elapsed >= static_cast<double>(kMax)) return kMax;
    if (elapsed <= static_cast<double>(kMin)) return kMin;
    return static_cast<std::int32_t>(elapsed);
}

std::string padded(std::string part, std::string_view prefix, std::size_t whenLength) {
    if (text::length(part) == whenLength) return std::string(prefix) + part;
    return part;
}

}  // namespace

std::string DateString::microblogStyle(Date date) {
    std::int32_t d = secondsAgo(date);
    if (d < 1) d = 60;
    if (d <= 59) return format("%d秒前", d);
    if (d <= 3599) return format("%d分钟前", d / 60);
    if (d < 86400) return format("%d小时前", d / 3600);
    if (d <= 1727999) return format("%d天前", d / 86400);
    const DateComponents components = Calendar::current().components(date);
    return format("%d - %d", components.month, components.day);
}

std::string DateString::dayMonthYearString(Date date) { return dateStringAccordingFormat(date, "dd MMMM yyyy"); }
std::string DateString::dateStringAccordingFormat(Date date, std::string_view pattern) { return formatted(date, pattern); }
std::string DateString::yearMonthDayString(Date date) { return formatted(date, "yyyy-MM-dd"); }
std::string DateString::yearMonthDayPSTString(Date date) { return formattedInPacificTime(date, "yyyy-MM-dd"); }
std::string DateString::datePSTIncludeHMA(Date date) { return formattedInPacificTime(date, "hh:mm aa"); }
std::string DateString::dateIncludeYMD(Date date) { return formatted(date, "MM/dd/yyyy"); }
std::string DateString::dateIncludeHMA(Date date) { return formatted(date, "hh:mm aa"); }
// Calendar years ("yyyy") in the label and the server cursors: the week-based year would date the last
// days of December a year ahead.
std::string DateString::dateIncludeYMDHMAZ(Date date) { return formatted(date, "yyyy-MM-dd h:mm a"); }
std::string DateString::dateAllPart(Date date) { return formatted(date, "MM/dd/yy hh:mm a"); }
std::string DateString::dateServerStyle(Date date) { return formatted(date, "yyyy-MM-dd HH:mm:ss"); }
std::string DateString::dateServerStyleHanteoDay(Date date) { return formatted(date, "yyyy-MM-dd"); }
std::string DateString::dateServerStyleNaver(Date date) { return formatted(date, "yyyy-M-d HH:mm:ss"); }

std::string DateString::dateLongStyle(Date date) {
    return styled(date, DateFormatter::Style::Long, DateFormatter::Style::Short);
}

std::string DateString::dateShortStyle(Date date) {
    return styled(date, DateFormatter::Style::Long, DateFormatter::Style::None);
}

std::string DateString::dateChineseStyle(Date date) { return formatted(date, "上次更新 M月d日 HH:mm"); }

std::optional<Date> DateString::dateFromYearMonthDayString(std::string_view text) {
    return DateFormatter("yyyy-MM-dd").dateFromString(text);
}

std::string DateString::monthOfDate(std::string_view text) {
    std::string month;
    if (std::optional<std::size_t> slash = text::find(text, "/")) {
        month = std::string(text.substr(0, *slash));
    } else {
        if (text::length(text) < 2) return {};
        month = text::substringUtf16(text, 0, 2);
    }
    return padded(std::move(month), "0", 1);
}

std::string DateString::dayOfDate(std::string_view text) {
    std::string day;
    if (std::optional<std::size_t> first = text::find(text, "/")) {
        std::optional<std::size_t> second = text::find(text, "/", *first + 1);
        if (!second) return {};
        day = std::string(text.substr(*first + 1, *second - *first - 1));
    } else {
        if (text::length(text) < 4) return {};
        day = text::substringUtf16(text, 2, 2);
    }
    return padded(std::move(day), "0", 1);
}

std::string DateString::yearOfDate(std::string_view text) {
    std::string year;
    if (std::optional<std::size_t> first = text::find(text, "/")) {
        std::optional<std::size_t> second = text::find(text, "/", *first + 1);
        if (!second) return {};
        year = std::string(text.substr(*second + 1));
    } else {
        if (text::length(text) < 4) return {};
        year = text::substringFromUtf16(text, 4);
    }
    return padded(std::move(year), "19", 2);
}

}  // namespace lv
