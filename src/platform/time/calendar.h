// The Gregorian calendar in a time zone: the components of a date, and dates from components.
#pragma once

#include <climits>
#include <optional>

#include "platform/base/value.h"
#include "platform/text/locale.h"
#include "platform/time/time_zone.h"

namespace lv {

struct DateComponents {
    static constexpr int kUndefined = INT_MAX;  // the platform's "undefined component"
    int era = kUndefined;
    int year = kUndefined;
    int month = kUndefined;  // 1-12
    int day = kUndefined;    // day of the month, 1-31
    int hour = kUndefined;
    int minute = kUndefined;
    int second = kUndefined;
    int nanosecond = kUndefined;
    int weekday = kUndefined;          // 1 = Sunday … 7 = Saturday
    int weekOfYear = kUndefined;       // in the locale's week rules
    int yearForWeekOfYear = kUndefined;  // the week-based year ("YYYY")
};

class Calendar {
public:
    // The current calendar: Gregorian, the default time zone (read at each use), the current locale's week
    // rules.
    Calendar() = default;
    static Calendar current() { return Calendar(); }
    explicit Calendar(TimeZone zone) : zone_(std::move(zone)) {}
    Calendar(TimeZone zone, Locale locale) : zone_(std::move(zone)), locale_(std::move(locale)) {}

    TimeZone timeZone() const { return zone_ ? *zone_ : TimeZone::defaultTimeZone(); }
    void setTimeZone(TimeZone zone) { zone_ = std::move(zone); }
    Locale locale() const { return locale_ ? *locale_ : Locale::current(); }
    void setLocale(Locale locale) { locale_ = std::move(locale); }

    // All components of the date (every field filled).
    DateComponents components(Date date) const;
    int month(Date date) const { return components(date).month; }
    int day(Date date) const { return components(date).day; }
    int year(Date date) const { return components(date).year; }
    // The date of components: year/month/day/hour/minute/second/nanosecond, undefined ones taken as
    // 1 (year, month, day) or 0; out-of-range values roll over as the platform's calendar does
    // (month 13 is January of the next year). Nothing only when the calendar cannot compute a date.
    std::optional<Date> date(const DateComponents& components) const;
    // The first moment of the date's day in the zone.
    Date startOfDay(Date date) const;

private:
    std::optional<TimeZone> zone_;
    std::optional<Locale> locale_;
};

}  // namespace lv
