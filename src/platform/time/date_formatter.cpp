#include "platform/time/date_formatter.h"

#include <map>
#include <memory>

#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/parsepos.h>
#include <unicode/smpdtfmt.h>

#include "platform/text/detail/icu_util.h"
#include "platform/time/detail/icu_time.h"

namespace lv {

namespace {

using text::detail::fromIcu;
using text::detail::toIcu;

icu::DateFormat::EStyle icuStyle(DateFormatter::Style style) {
    switch (style) {
        case DateFormatter::Style::None: return icu::DateFormat::kNone;
        case DateFormatter::Style::Short: return icu::DateFormat::kShort;
        case DateFormatter::Style::Medium: return icu::DateFormat::kMedium;
        case DateFormatter::Style::Long: return icu::DateFormat::kLong;
        case DateFormatter::Style::Full: return icu::DateFormat::kFull;
    }
    return icu::DateFormat::kNone;
}

// The locale with the Gregorian calendar and ASCII (Latin) digits forced.
std::string formattingLocale(const Locale& locale) {
    const std::string& id = locale.identifier();
    return id + (id.find('@') == std::string::npos ? "@" : ";") + "calendar=gregorian;numbers=latn";
}

struct CachedFormat {
    std::unique_ptr<icu::SimpleDateFormat> format;
    std::unique_ptr<icu::Calendar> parseCalendar;  // working calendar for parsing
};

// Every thread keeps its own ICU formatters, keyed by everything that shapes them; nothing is shared.
CachedFormat* cachedFormat(const DateFormatter& formatter, bool usesStyles) {
    thread_local std::map<std::string, CachedFormat> cache;
    const TimeZone zone = formatter.timeZone();
    const std::string locale = formattingLocale(formatter.locale());
    std::string key;
    if (usesStyles) {
        key = "S" + std::to_string(static_cast<int>(formatter.dateStyle())) +
              std::to_string(static_cast<int>(formatter.timeStyle()));
    } else {
        key = "P" + formatter.dateFormat();
    }
    key += '\x1f';
    key += locale;
    key += '\x1f';
    key += zone.icuID();
    auto it = cache.find(key);
    if (it != cache.end()) return &it->second;

    UErrorCode status = U_ZERO_ERROR;
    const icu::Locale icuLocale(locale.c_str());
    std::unique_ptr<icu::SimpleDateFormat> format;
    if (usesStyles) {
        std::unique_ptr<icu::DateFormat> styled(
            icu::DateFormat::createDateTimeInstance(icuStyle(formatter.dateStyle()), icuStyle(formatter.timeStyle()), icuLocale));
        auto* simple = dynamic_cast<icu::SimpleDateFormat*>(styled.get());
        if (!simple) return nullptr;
        styled.release();
        format.reset(simple);
    } else {
        format = std::make_unique<icu::SimpleDateFormat>(toIcu(formatter.dateFormat()), icuLocale, status);
        if (U_FAILURE(status)) return nullptr;
    }
    auto calendar = time_detail::gregorianCalendar(zone, locale.c_str(), false);
    if (!calendar) return nullptr;
    format->adoptCalendar(calendar->clone());
    format->setLenient(false);
    // Literals must match in full; no partial matches of literal text.
    format->setBooleanAttribute(UDAT_PARSE_PARTIAL_LITERAL_MATCH, false, status);
    status = U_ZERO_ERROR;
    if (cache.size() >= 64) cache.clear();
    CachedFormat entry{std::move(format), std::unique_ptr<icu::Calendar>(calendar.release())};
    return &cache.emplace(std::move(key), std::move(entry)).first->second;
}

}  // namespace

std::string DateFormatter::effectivePattern() const {
    if (!usesStyles_) return pattern_;
    if (dateStyle_ == Style::None && timeStyle_ == Style::None) return std::string();
    CachedFormat* cached = cachedFormat(*this, true);
    if (!cached) return std::string();
    icu::UnicodeString pattern;
    cached->format->toPattern(pattern);
    return fromIcu(pattern);
}

std::string DateFormatter::stringFromDate(Date date) const {
    if (usesStyles_ ? (dateStyle_ == Style::None && timeStyle_ == Style::None) : pattern_.empty()) return std::string();
    CachedFormat* cached = cachedFormat(*this, usesStyles_);
    if (!cached) return std::string();
    icu::UnicodeString out;
    cached->format->format(time_detail::toUDate(date), out);
    return fromIcu(out);
}

std::optional<Date> DateFormatter::dateFromString(std::string_view text) const {
    if (usesStyles_ ? (dateStyle_ == Style::None && timeStyle_ == Style::None) : pattern_.empty()) return std::nullopt;
    CachedFormat* cached = cachedFormat(*this, usesStyles_);
    if (!cached) return std::nullopt;
    const icu::UnicodeString input = toIcu(text);
    icu::Calendar& calendar = *cached->parseCalendar;
    calendar.clear();
    calendar.set(2000, UCAL_JANUARY, 1, 0, 0, 0);
    icu::ParsePosition position(0);
    cached->format->parse(input, calendar, position);
    if (position.getErrorIndex() >= 0 || position.getIndex() != input.length()) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    const UDate udate = calendar.getTime(status);
    if (U_FAILURE(status)) return std::nullopt;
    return time_detail::fromUDate(udate);
}

}  // namespace lv
