#include "platform/time/calendar.h"

#include <cmath>

#include <unicode/locid.h>

#include "platform/time/detail/icu_time.h"

namespace lv {

namespace {

std::string calendarLocale(const Locale& locale) { return time_detail::gregorianLocaleID(locale, false); }

}  // namespace

namespace time_detail {

std::string gregorianLocaleID(const Locale& locale, bool latinDigits) {
    icu::Locale id(locale.identifier().c_str());
    UErrorCode status = U_ZERO_ERROR;
    id.setKeywordValue("calendar", "gregorian", status);
    if (latinDigits) id.setKeywordValue("numbers", "latn", status);
    if (U_FAILURE(status) || id.isBogus()) return latinDigits ? "en@calendar=gregorian;numbers=latn" : "en@calendar=gregorian";
    return id.getName();
}

}  // namespace time_detail

DateComponents Calendar::components(Date date) const {
    DateComponents c;
    auto cal = time_detail::gregorianCalendar(timeZone(), calendarLocale(locale()).c_str(), true);
    if (!cal) return c;
    UErrorCode status = U_ZERO_ERROR;
    const double udate = time_detail::toUDate(date);
    cal->setTime(udate, status);
    if (U_FAILURE(status)) return c;
    c.era = cal->get(UCAL_ERA, status);
    c.year = cal->get(UCAL_YEAR, status);
    c.month = cal->get(UCAL_MONTH, status) + 1;
    c.day = cal->get(UCAL_DATE, status);
    c.hour = cal->get(UCAL_HOUR_OF_DAY, status);
    c.minute = cal->get(UCAL_MINUTE, status);
    c.second = cal->get(UCAL_SECOND, status);
    // Nanoseconds from the date's own fraction of a second (ICU keeps milliseconds).
    const double seconds = date.since1970();
    double fraction = seconds - std::floor(seconds);
    c.nanosecond = static_cast<int>(std::lround(fraction * 1e9));
    if (c.nanosecond >= 1000000000) c.nanosecond = 999999999;
    c.weekday = cal->get(UCAL_DAY_OF_WEEK, status);
    c.weekOfYear = cal->get(UCAL_WEEK_OF_YEAR, status);
    c.yearForWeekOfYear = cal->get(UCAL_YEAR_WOY, status);
    return c;
}

std::optional<Date> Calendar::date(const DateComponents& components) const {
    const auto value = [](int v, int fallback) { return v == DateComponents::kUndefined ? fallback : v; };
    auto cal = time_detail::gregorianCalendar(timeZone(), calendarLocale(locale()).c_str(), true);
    if (!cal) return std::nullopt;
    cal->clear();
    if (components.era != DateComponents::kUndefined) cal->set(UCAL_ERA, components.era);
    cal->set(UCAL_YEAR, value(components.year, 1));
    cal->set(UCAL_MONTH, value(components.month, 1) - 1);
    cal->set(UCAL_DATE, value(components.day, 1));
    cal->set(UCAL_HOUR_OF_DAY, value(components.hour, 0));
    cal->set(UCAL_MINUTE, value(components.minute, 0));
    cal->set(UCAL_SECOND, value(components.second, 0));
    UErrorCode status = U_ZERO_ERROR;
    const double udate = cal->getTime(status);
    if (U_FAILURE(status)) return std::nullopt;
    const int nanos = value(components.nanosecond, 0);
    return time_detail::fromUDate(udate).adding(nanos / 1e9);
}

Date Calendar::startOfDay(Date date) const {
    DateComponents c = components(date);
    DateComponents day;
    day.era = c.era;
    day.year = c.year;
    day.month = c.month;
    day.day = c.day;
    return this->date(day).value_or(date);
}

}  // namespace lv
