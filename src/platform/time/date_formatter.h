// Date formatters over ICU date patterns, as the platform's date formatter: a pattern (or date and
// time styles), a time zone and a locale. Always the Gregorian calendar and ASCII digits, whatever the
// locale. Parsing is strict: the whole text must match the pattern, otherwise there is no date.
//
// A DateFormatter is a value. Formatting and parsing are const and share no mutable state between
// threads (each thread keeps its own ICU formatters), so one formatter may be used from several
// threads at once as long as nobody changes its settings meanwhile.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/value.h"
#include "platform/text/locale.h"
#include "platform/time/time_zone.h"

namespace lv {

namespace time_detail {
struct PlainPattern;
// The compiled form of a numeric pattern's text, made once per pattern for the process and never
// freed (nullptr once a bound on their number is reached).
const PlainPattern* internedPlainPattern(const std::string& pattern);
}  // namespace time_detail

class DateFormatter {
public:
    // The platform's formatter styles, with their numbers.
    enum class Style : std::uint8_t { None = 0, Short = 1, Medium = 2, Long = 3, Full = 4 };

    // An empty pattern: formats to "" and parses nothing.
    DateFormatter() = default;
    explicit DateFormatter(std::string pattern)
        : pattern_(std::move(pattern)), plain_(time_detail::internedPlainPattern(pattern_)) {}
    DateFormatter(std::string pattern, TimeZone zone)
        : pattern_(std::move(pattern)), plain_(time_detail::internedPlainPattern(pattern_)), zone_(std::move(zone)) {}

    // The pattern: an ICU pattern ("yyyy-MM-dd HH:mm:ss", "YYYY" is the week-based year, quoted
    // literals 'T', non-ASCII text such as 月 is literal). Setting a pattern replaces the styles.
    const std::string& dateFormat() const { return pattern_; }
    void setDateFormat(std::string pattern) {
        pattern_ = std::move(pattern);
        plain_ = time_detail::internedPlainPattern(pattern_);
        usesStyles_ = false;
    }
    // Date and time styles: the locale's pattern for the pair of styles replaces the pattern
    // (both None formats to "").
    Style dateStyle() const { return dateStyle_; }
    Style timeStyle() const { return timeStyle_; }
    void setDateStyle(Style style) {
        dateStyle_ = style;
        usesStyles_ = true;
    }
    void setTimeStyle(Style style) {
        timeStyle_ = style;
        usesStyles_ = true;
    }

    // The zone set with setTimeZone, else the default zone (TimeZone::defaultTimeZone(), which is the
    // device's zone unless set), resolved at each call.
    TimeZone timeZone() const { return zone_ ? *zone_ : TimeZone::defaultTimeZone(); }
    void setTimeZone(TimeZone zone) { zone_ = std::move(zone); }
    void resetTimeZone() { zone_.reset(); }
    // The locale set with setLocale, else Locale::current(), resolved at each call.
    Locale locale() const { return locale_ ? *locale_ : Locale::current(); }
    void setLocale(Locale locale) { locale_ = std::move(locale); }

    // The text of a date.
    std::string stringFromDate(Date date) const;
    // The date of a text: the date when the whole text matches, otherwise nothing: ICU's non-lenient
    // parse must consume every character and the fields must form a real date ("2015-02-30" and
    // "25:00" fail). Like the platform, which parses with ICU, it still skips white space before a
    // number and accepts a text that lacks a literal standing at the very end of the pattern. Fields
    // the pattern does not give are taken from 1 January 2000, 00:00:00 in the formatter's zone, as the
    // platform does (so "HH:mm" reads a time on that day). A text without a time of day whose day's
    // midnight the zone skips (a change to daylight saving time at 00:00) reads as the day's first
    // instant. A standard-time zone name reads as standard
    // time ("PST" is −8 h even in summer). A text longer than the pattern's longest match is refused
    // before parsing (nothing), however it is made: the longest match counts ten digits and a sign for
    // each number field, 64 characters for each name field (month and day names, eras, zones), and
    // literals as written; padding beyond that (runs of leading zeros or white space) is not read.
    std::optional<Date> dateFromString(std::string_view text) const;

    // The pattern in effect: the pattern, or the locale's pattern for the styles.
    std::string effectivePattern() const;

private:
    std::string pattern_;
    const time_detail::PlainPattern* plain_ = nullptr;  // pattern_ compiled, when interned
    std::optional<TimeZone> zone_;
    std::optional<Locale> locale_;
    Style dateStyle_ = Style::None;
    Style timeStyle_ = Style::None;
    bool usesStyles_ = false;
};

}  // namespace lv
