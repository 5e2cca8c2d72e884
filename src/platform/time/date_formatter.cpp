#include "platform/time/date_formatter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <unicode/basictz.h>
#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/parsepos.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/tztrans.h>

#include "platform/base/lifetime.h"
#include "platform/text/detail/icu_util.h"
#include "platform/time/detail/icu_time.h"

namespace lv {

namespace time_detail {

// A pattern made only of numeric fields (yyyy, M, MM, d, dd, H, HH, m, mm, s, ss; each at most once,
// none abutting another; year, month and day present) and unquoted punctuation, as steps: a field
// with its digit counts, or a separator to match exactly.
struct PlainStep {
    std::int8_t field;  // index in "yMdHms", or -1 for a separator
    char separator;
    std::uint8_t minDigits;
    std::uint8_t maxDigits;
};
// The longest text a plain pattern can match: six fields of at most four digits, and separators.
constexpr std::size_t kPlainLongest = 64;

struct PlainPattern {
    bool plain = false;  // false: the pattern has anything else, and its texts go to the full parser
    std::vector<PlainStep> steps;
    std::size_t longest = 0;  // characters of the longest text the pattern matches
    // A text of the longest length has every field at its widest (no field is wider, separators are
    // one character): each character then has a fixed place. Each field's place and width, and each
    // separator's place.
    struct Place {
        std::uint8_t offset;
        std::uint8_t width;  // digits; 0 for a separator
        std::int8_t field;   // index in "yMdHms", or -1 for a separator
        char separator;
    };
    std::vector<Place> places;  // the fields in place
    // The longest text's layout by 8-byte words (as read from memory, so the byte order does not
    // matter): each separator's character and '0' at each digit's place, and 0xFF at each digit's
    // place; both 0 past the end.
    std::array<std::uint64_t, kPlainLongest / 8> layout{};
    std::array<std::uint64_t, kPlainLongest / 8> digitMask{};
};

}  // namespace time_detail

namespace {

using time_detail::PlainPattern;
using time_detail::PlainStep;
using time_detail::kPlainLongest;
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
std::string formattingLocale(const Locale& locale) { return time_detail::gregorianLocaleID(locale, true); }

struct CachedFormat {
    std::unique_ptr<icu::SimpleDateFormat> format;
    std::unique_ptr<icu::Calendar> parseCalendar;  // working calendar for parsing
    std::size_t longestMatch = 0;                   // characters; longer texts are not parsed
    bool timeOfDay = false;                         // the pattern has a field of the time of day
};

// The longest text worth parsing under an ICU pattern, in characters: every number field at ten digits
// and a sign (the calendar's fields are 32-bit), every name field at 64 characters, quoted and other
// literals as written. ICU itself also reads any run of leading zeros or white space; such padding
// costs the parser time in proportion to the whole text at every position, so it is not read. Notes
// whether the pattern has a field of the time of day (hours, minutes, seconds, their fractions, a.m./p.m.).
std::size_t longestMatchOf(std::u16string_view pattern, bool& timeOfDay) {
    constexpr std::u16string_view kTimeOfDay = u"HhKkmsSAabB";
    timeOfDay = false;
    constexpr std::size_t kNumber = 11;
    constexpr std::size_t kName = 64;
    // Letters whose field is a name at any width, and those that are a name from three letters on.
    constexpr std::u16string_view kNames = u"GEazvVOXxZBbU";
    constexpr std::u16string_view kNamesFromThree = u"MLQqce";
    std::size_t total = 0;
    for (std::size_t i = 0; i < pattern.size();) {
        const char16_t c = pattern[i];
        if (c == u'\'') {
            std::size_t end = i + 1;
            if (end < pattern.size() && pattern[end] == u'\'') {  // '' is one quote
                ++total;
                i = end + 1;
                continue;
            }
            for (; end < pattern.size(); ++end) {
                if (pattern[end] != u'\'') {
                    ++total;
                } else if (end + 1 < pattern.size() && pattern[end + 1] == u'\'') {
                    ++total;
                    ++end;
                } else {
                    break;
                }
            }
            i = end + 1;
            continue;
        }
        if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')) {
            std::size_t count = 1;
            while (i + count < pattern.size() && pattern[i + count] == c) ++count;
            i += count;
            if (kTimeOfDay.find(c) != std::u16string_view::npos) timeOfDay = true;
            const bool name = kNames.find(c) != std::u16string_view::npos ||
                              (count >= 3 && kNamesFromThree.find(c) != std::u16string_view::npos);
            total += name ? kName : std::max(count, kNumber);
            continue;
        }
        ++total;
        ++i;
    }
    return total;
}

// The number of characters (UTF-16 units) of UTF-8 text, counted only up to the limit + 1.
std::size_t charactersUpTo(std::string_view text, std::size_t limit) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size() && count <= limit; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) != 0x80) count += byte >= 0xF0 ? 2 : 1;
    }
    return count;
}

// The first instant of the day the parsed fields name when they form a real date whose midnight the
// zone skips (a change to daylight saving time at 00:00): the instant of the change. Nothing when the
// fields form no date.
std::optional<Date> firstInstantOfSkippedDay(const icu::Calendar& parsed) {
    std::unique_ptr<icu::Calendar> inGMT(parsed.clone());
    std::unique_ptr<icu::Calendar> nextValid(parsed.clone());
    if (!inGMT || !nextValid) return std::nullopt;
    // GMT skips no wall time: the strict calendar there refuses only fields that form no date.
    inGMT->setTimeZone(*icu::TimeZone::getGMT());
    UErrorCode status = U_ZERO_ERROR;
    inGMT->getTime(status);
    if (U_FAILURE(status)) return std::nullopt;
    nextValid->setLenient(true);
    nextValid->setSkippedWallTimeOption(UCAL_WALLTIME_NEXT_VALID);
    const UDate udate = nextValid->getTime(status);
    if (U_FAILURE(status)) return std::nullopt;
    return time_detail::fromUDate(udate);
}

// Every thread keeps its own ICU formatters, keyed by everything that shapes them; nothing is shared.
CachedFormat* cachedFormat(std::map<std::string, CachedFormat>& cache, const DateFormatter& formatter, bool usesStyles,
                           const TimeZone& zone, const Locale& formatterLocale) {
    const std::string locale = formattingLocale(formatterLocale);
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
    icu::UnicodeString pattern;
    format->toPattern(pattern);
    bool timeOfDay = false;
    const std::size_t longest =
        longestMatchOf(std::u16string_view(reinterpret_cast<const char16_t*>(pattern.getBuffer()),
                                           static_cast<std::size_t>(pattern.length())),
                       timeOfDay);
    CachedFormat entry{std::move(format), std::unique_ptr<icu::Calendar>(calendar.release()), longest, timeOfDay};
    return &cache.emplace(std::move(key), std::move(entry)).first->second;
}

// The formats of one thread, and the one found last with what it was found for: a run of texts read
// with formatters alike (a reply's dates) finds it again without building the key.
struct FormatCache {
    std::map<std::string, CachedFormat> formats;
    CachedFormat* last = nullptr;
    bool lastUsesStyles = false;
    DateFormatter::Style lastDateStyle = DateFormatter::Style::None;
    DateFormatter::Style lastTimeStyle = DateFormatter::Style::None;
    std::string lastPattern;
    std::string lastLocale;
    std::string lastZone;
};

CachedFormat* cachedFormat(const DateFormatter& formatter, bool usesStyles) {
    static PerThread<FormatCache> caches;
    FormatCache& formats = caches.get();
    const TimeZone zone = formatter.timeZone();
    const Locale formatterLocale = formatter.locale();
    if (formats.last && formats.lastUsesStyles == usesStyles &&
        (usesStyles ? formats.lastDateStyle == formatter.dateStyle() && formats.lastTimeStyle == formatter.timeStyle()
                    : formats.lastPattern == formatter.dateFormat()) &&
        formats.lastLocale == formatterLocale.identifier() && formats.lastZone == zone.icuID()) {
        return formats.last;
    }
    CachedFormat* found = cachedFormat(formats.formats, formatter, usesStyles, zone, formatterLocale);
    formats.last = found;
    if (found) {
        formats.lastUsesStyles = usesStyles;
        formats.lastDateStyle = formatter.dateStyle();
        formats.lastTimeStyle = formatter.timeStyle();
        formats.lastPattern = formatter.dateFormat();
        formats.lastLocale = formatterLocale.identifier();
        formats.lastZone = zone.icuID();
    }
    return found;
}

// Days from 1970-01-01 to the Gregorian date (month 1 to 12).
std::int64_t daysFromCivil(int year, int month, int day) {
    const std::int64_t y = year - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

PlainPattern compilePlainPattern(std::string_view pattern) {
    constexpr std::string_view kLetters = "yMdHms";
    PlainPattern out;
    std::array<bool, 6> seen{};
    const auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    for (std::size_t i = 0; i < pattern.size();) {
        const char c = pattern[i];
        if (isLetter(c)) {
            std::size_t count = 1;
            while (i + count < pattern.size() && pattern[i + count] == c) ++count;
            i += count;
            const std::size_t field = kLetters.find(c);
            if (field == std::string_view::npos || seen[field]) return PlainPattern{};
            if (i < pattern.size() && isLetter(pattern[i])) return PlainPattern{};  // abutting fields are read by width
            PlainStep step{static_cast<std::int8_t>(field), 0, 0, 0};
            if (c == 'y') {
                if (count != 4) return PlainPattern{};
                step.minDigits = step.maxDigits = 4;
            } else if (count == 1) {
                step.minDigits = 1;
                step.maxDigits = 2;
            } else if (count == 2) {
                step.minDigits = step.maxDigits = 2;
            } else {
                return PlainPattern{};
            }
            seen[field] = true;
            out.steps.push_back(step);
        } else if (c == '-' || c == ':' || c == ' ' || c == '/' || c == '.') {
            out.steps.push_back(PlainStep{-1, c, 0, 0});
            ++i;
        } else {
            return PlainPattern{};
        }
    }
    out.plain = seen[0] && seen[1] && seen[2];
    for (const PlainStep& step : out.steps) out.longest += step.field < 0 ? 1 : step.maxDigits;
    if (out.longest > kPlainLongest) return PlainPattern{};
    std::array<unsigned char, kPlainLongest> layout{};
    std::array<unsigned char, kPlainLongest> digits{};
    std::size_t offset = 0;
    for (const PlainStep& step : out.steps) {
        if (step.field < 0) {
            layout[offset++] = static_cast<unsigned char>(step.separator);
            continue;
        }
        out.places.push_back(PlainPattern::Place{static_cast<std::uint8_t>(offset), step.maxDigits, step.field, 0});
        for (std::size_t i = 0; i < step.maxDigits; ++i, ++offset) {
            layout[offset] = '0';
            digits[offset] = 0xFF;
        }
    }
    std::memcpy(out.layout.data(), layout.data(), layout.size());
    std::memcpy(out.digitMask.data(), digits.data(), digits.size());
    return out;
}

// The steps of a pattern, kept per thread for the few patterns in use (formatters are values, made
// afresh for each text, so the pattern is found by its text).
const PlainPattern& plainPattern(const std::string& pattern) {
    struct Compiled {
        std::vector<std::pair<std::string, PlainPattern>> patterns;
        std::size_t last = 0;
    };
    static PerThread<Compiled> compiledPerThread;
    Compiled& compiled = compiledPerThread.get();
    if (compiled.last < compiled.patterns.size() && compiled.patterns[compiled.last].first == pattern) {
        return compiled.patterns[compiled.last].second;
    }
    for (std::size_t i = 0; i < compiled.patterns.size(); ++i) {
        if (compiled.patterns[i].first == pattern) {
            compiled.last = i;
            return compiled.patterns[i].second;
        }
    }
    if (compiled.patterns.size() >= 16) compiled.patterns.clear();
    compiled.patterns.emplace_back(pattern, compilePlainPattern(pattern));
    compiled.last = compiled.patterns.size() - 1;
    return compiled.patterns.back().second;
}

// Year, month, day, hour, minute and second read from text under a plain numeric pattern, with ASCII
// digits and every separator exactly as in the pattern and every value in its range (years 1970 to
// 2100, where the calendar is plain Gregorian). Anything else gives nothing, and the text is left to
// the full parser.
std::optional<std::array<int, 6>> readPlainNumericDate(const PlainPattern& compiled, std::string_view text) {
    if (!compiled.plain) return std::nullopt;
    // The text in a buffer ending in a character that is neither a digit nor a separator, so that no
    // read below needs a bound; a text longer than any the pattern matches is no plain text.
    if (text.size() > compiled.longest) return std::nullopt;
    const auto digit = [](char c) { return static_cast<unsigned>(static_cast<unsigned char>(c)) - '0'; };
    const auto inRange = [](const std::array<int, 6>& values) -> std::optional<std::array<int, 6>> {
        const auto [year, month, day, hour, minute, second] = values;
        if (year < 1970 || year > 2100 || month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59) {
            return std::nullopt;
        }
        static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        if (day < 1 || day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return std::nullopt;
        return values;
    };
    if (text.size() == compiled.longest && !text.empty()) {
        // Every field at its widest, each character in its fixed place: the steps below would read the
        // same values (each field ends at a separator or the end, neither a digit). Checked by words: a
        // separator's byte equals the layout's; a digit's byte, exclusive-or '0', is below 10 exactly
        // for '0' to '9' (per byte: bit 7 set, or bit 7 set after adding 118 to its low seven bits,
        // for 10 and more). A text that does not fit so is left to the steps.
        std::array<std::uint64_t, kPlainLongest / 8> words{};
        std::memcpy(words.data(), text.data(), text.size());
        constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
        constexpr std::uint64_t kAdd = 0x7676767676767676ULL;
        constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
        std::uint64_t wrong = 0;
        for (std::size_t i = 0, n = (text.size() + 7) / 8; i < n; ++i) {
            const std::uint64_t x = words[i] ^ compiled.layout[i];
            const std::uint64_t mask = compiled.digitMask[i];
            wrong |= (x & ~mask) | ((((x & kLow7) + kAdd) | x) & kHigh & mask);
        }
        if (wrong == 0) {
            std::array<int, 6> values{-1, -1, -1, 0, 0, 0};
            for (const PlainPattern::Place& place : compiled.places) {
                const char* at = text.data() + place.offset;
                const auto d = [at, &digit](std::size_t i) { return static_cast<int>(digit(at[i])); };
                // At its widest a field is 2 digits, the year 4.
                values[static_cast<std::size_t>(place.field)] =
                    place.width == 4 ? ((d(0) * 10 + d(1)) * 10 + d(2)) * 10 + d(3) : d(0) * 10 + d(1);
            }
            return inRange(values);
        }
    }
    std::array<char, kPlainLongest + 8> buffer;  // room past the end for a field's widest read
    if (!text.empty()) std::memcpy(buffer.data(), text.data(), text.size());  // an empty view may have no data
    buffer[text.size()] = '\0';
    const char* at = buffer.data();
    std::array<int, 6> values{-1, -1, -1, 0, 0, 0};
    for (const PlainStep& step : compiled.steps) {
        if (step.field < 0) {
            if (*at != step.separator) return std::nullopt;
            ++at;
            continue;
        }
        // Every field has a first digit; then more up to its widest, each one ending the field early
        // when it is no digit. A field read to its widest must not be followed by a digit.
        unsigned d = digit(*at);
        if (d > 9) return std::nullopt;
        int value = static_cast<int>(d);
        const char* const widest = at + step.maxDigits;
        for (++at; at != widest && (d = digit(*at)) <= 9; ++at) value = value * 10 + static_cast<int>(d);
        if (at == widest ? digit(*at) <= 9 : at - (widest - step.maxDigits) < step.minDigits) return std::nullopt;
        values[static_cast<std::size_t>(step.field)] = value;
    }
    if (at != buffer.data() + text.size()) return std::nullopt;
    return inRange(values);
}

// The zone of the last plain wall time read on this thread, by ICU identifier: a reply's dates are
// read in one zone, found again without a map lookup. With it, the span of instants around the last
// date read in which the zone's offset does not change (from the transition before it to the one after
// it) and that offset: a reply's dates mostly fall in one such span.
struct PlainZone {
    std::string icuID;
    std::shared_ptr<const icu::TimeZone> zone;
    const icu::BasicTimeZone* basic = nullptr;  // the zone, when ICU gives its offsets by wall time
    bool hasSpan = false;
    double spanStart = 0;  // UDate of the transition the offset starts at (−∞ for none)
    double spanEnd = 0;    // UDate of the next transition (+∞ for none)
    std::int32_t spanOffset = 0;
    // The thread's default-zone look-up (defaultTimeZoneOfThread's number) the zone is known to be the
    // default zone of; 0 when not known.
    std::uint64_t defaultResolution = 0;
};

PlainZone& plainZone(PlainZone& last, const TimeZone& zone) {
    if (!last.zone || last.icuID != zone.icuID()) {
        last.zone = time_detail::icuZone(zone);
        last.basic = dynamic_cast<const icu::BasicTimeZone*>(last.zone.get());
        last.icuID = zone.icuID();
        last.hasSpan = false;
        last.defaultResolution = 0;
    }
    return last;
}

PerThread<PlainZone>& lastPlainZones() {
    static PerThread<PlainZone> lastZones;
    return lastZones;
}

PlainZone& plainZone(const TimeZone& zone) { return plainZone(lastPlainZones().get(), zone); }

// The default zone's, found again without comparing its identifier while the thread's default-zone
// look-up that gave it is still the one in effect.
PlainZone& plainDefaultZone() {
    std::uint64_t resolution = 0;
    const TimeZone& zone = time_detail::defaultTimeZoneOfThread(resolution);
    PlainZone& last = lastPlainZones().get();
    if (last.defaultResolution == resolution && last.zone) return last;
    plainZone(last, zone);
    last.defaultResolution = resolution;
    return last;
}

// How far from the ends of its span an instant must be for its wall time to have no other instant in
// any zone: more than the widest difference of two offsets (−12 h to +14 h) and than any one change.
constexpr double kSpanMargin = 48.0 * 3600000.0;

// Notes the span of constant offset around the instant (whose offset is given), when ICU's transitions
// bound it and its ends read the same offset.
void noteSpan(PlainZone& last, UDate udate, std::int32_t offset) {
    last.hasSpan = false;
    icu::TimeZoneTransition transition;
    const double start = last.basic->getPreviousTransition(udate, true, transition) ? transition.getTime() : -HUGE_VAL;
    const double end = last.basic->getNextTransition(udate, false, transition) ? transition.getTime() : HUGE_VAL;
    if (!(start <= udate && udate < end)) return;
    for (const double at : {start, end - 1}) {
        if (std::isinf(at)) continue;
        std::int32_t rawOffset = 0;
        std::int32_t dstOffset = 0;
        UErrorCode status = U_ZERO_ERROR;
        last.basic->getOffset(at, false, rawOffset, dstOffset, status);
        if (U_FAILURE(status) || rawOffset + dstOffset != offset) return;
    }
    last.spanStart = start;
    last.spanEnd = end;
    last.spanOffset = offset;
    last.hasSpan = true;
}

// The date of the wall time (year 1970 to 2100, fields in range) in the zone, as a non-lenient ICU
// calendar computes it: the offsets at the wall time taking, in a repeated hour, the later of the two
// (the calendar's default). Nothing in a skipped hour (which the calendar refuses) and for a zone whose
// offsets ICU gives only by date; the full parser reads those. A wall time whose instant lies well
// inside the span of the last date read has that span's offset and no other instant: it is read
// without asking ICU.
std::optional<Date> plainWallTimeDate(PlainZone& last, const std::array<int, 6>& fields) {
    if (!last.basic) return std::nullopt;
    const auto [year, month, day, hour, minute, second] = fields;
    const double wallTime = static_cast<double>(daysFromCivil(year, month, day)) * 86400000.0 +
                            static_cast<double>((hour * 60 + minute) * 60 + second) * 1000.0;
    if (last.hasSpan) {
        const UDate udate = wallTime - last.spanOffset;
        if (udate - kSpanMargin >= last.spanStart && udate + kSpanMargin < last.spanEnd) return time_detail::fromUDate(udate);
    }
    std::int32_t rawOffset = 0;
    std::int32_t dstOffset = 0;
    UErrorCode status = U_ZERO_ERROR;
    last.basic->getOffsetFromLocal(wallTime, UCAL_TZ_LOCAL_FORMER, UCAL_TZ_LOCAL_LATTER, rawOffset, dstOffset, status);
    if (U_FAILURE(status)) return std::nullopt;
    const UDate udate = wallTime - rawOffset - dstOffset;
    // In a skipped hour the date found reads back as another wall time.
    last.basic->getOffset(udate, false, rawOffset, dstOffset, status);
    if (U_FAILURE(status) || udate + rawOffset + dstOffset != wallTime) return std::nullopt;
    noteSpan(last, udate, rawOffset + dstOffset);
    return time_detail::fromUDate(udate);
}

// The text of a date under a plain numeric pattern in the zone, as an ICU formatter writes it: the
// wall time is the instant plus the zone's offsets at that instant, each field is written in ASCII
// digits at least as wide as its letters ("M" 3, "MM" 03, "yyyy" 2015), the separators as written.
// Only for wall times in the years 1970 to 2100 (plain Gregorian, four-digit years); nothing for
// others, which the full formatter writes.
std::optional<std::string> plainNumericText(const PlainPattern& compiled, const TimeZone& zone, Date date) {
    if (!compiled.plain) return std::nullopt;
    const double udate = time_detail::toUDate(date);
    if (!(udate >= 0 && udate < 4200000000000.0)) return std::nullopt;  // 1970 to about 2103
    const PlainZone& last = plainZone(zone);
    if (!last.zone) return std::nullopt;
    std::int32_t rawOffset = 0;
    std::int32_t dstOffset = 0;
    UErrorCode status = U_ZERO_ERROR;
    last.zone->getOffset(udate, false, rawOffset, dstOffset, status);
    if (U_FAILURE(status)) return std::nullopt;
    // Whole seconds of the wall time, as the calendar takes its fields (milliseconds dropped).
    const double wallMillis = std::floor(udate + rawOffset + dstOffset);
    if (!(wallMillis >= 0)) return std::nullopt;
    const auto wallSeconds = static_cast<std::time_t>(std::floor(wallMillis / 1000.0));
    std::tm fields{};
    if (!::gmtime_r(&wallSeconds, &fields)) return std::nullopt;
    const std::array<int, 6> values{fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min,
                                    fields.tm_sec};
    if (values[0] < 1970 || values[0] > 2100) return std::nullopt;
    std::string out;
    out.reserve(compiled.longest + 4);
    for (const PlainStep& step : compiled.steps) {
        if (step.field < 0) {
            out += step.separator;
            continue;
        }
        const int value = values[static_cast<std::size_t>(step.field)];
        char digits[8];
        const int written = std::snprintf(digits, sizeof digits, "%0*d", static_cast<int>(step.minDigits), value);
        if (written <= 0) return std::nullopt;
        out.append(digits, static_cast<std::size_t>(written));
    }
    return out;
}

}  // namespace

namespace time_detail {

const PlainPattern* internedPlainPattern(const std::string& pattern) {
    // Process-wide, never destroyed: formatters on any thread point at their pattern's entry. Bounded:
    // past it, a formatter finds its pattern per thread at each use, as without an entry.
    constexpr std::size_t kMostPatterns = 256;
    static std::mutex& mutex = *new std::mutex();
    static auto& interned = *new std::map<std::string, std::unique_ptr<const PlainPattern>, std::less<>>();
    std::lock_guard lock(mutex);
    if (auto it = interned.find(pattern); it != interned.end()) return it->second.get();
    if (interned.size() >= kMostPatterns) return nullptr;
    return interned.emplace(pattern, std::make_unique<const PlainPattern>(compilePlainPattern(pattern))).first->second.get();
}

}  // namespace time_detail

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
    if (!usesStyles_) {
        // A plain numeric pattern (what services and local stores use) needs neither the locale (the
        // calendar is always Gregorian, the digits ASCII) nor a formatter, whose making reads the
        // locale's symbols: only the zone's offsets at the date.
        if (auto text = plainNumericText(plain_ ? *plain_ : plainPattern(pattern_),
                                         zone_ ? *zone_ : time_detail::defaultTimeZoneOfThread(), date)) {
            return std::move(*text);
        }
    }
    CachedFormat* cached = cachedFormat(*this, usesStyles_);
    if (!cached) return std::string();
    icu::UnicodeString out;
    cached->format->format(time_detail::toUDate(date), out);
    return fromIcu(out);
}

std::optional<Date> DateFormatter::dateFromString(std::string_view text) const {
    if (usesStyles_ ? (dateStyle_ == Style::None && timeStyle_ == Style::None) : pattern_.empty()) return std::nullopt;
    if (!usesStyles_) {
        // Plain numeric text (what services send) skips the full parser, and needs neither the locale
        // (the calendar is always Gregorian, the digits ASCII) nor a formatter: the date comes from the
        // zone's offsets at the wall time. Such a text is always within the pattern's longest match.
        if (const auto fields = readPlainNumericDate(plain_ ? *plain_ : plainPattern(pattern_), text)) {
            if (auto date = plainWallTimeDate(zone_ ? plainZone(*zone_) : plainDefaultZone(), *fields)) return date;
        }
    }
    CachedFormat* cached = cachedFormat(*this, usesStyles_);
    if (!cached) return std::nullopt;
    if (charactersUpTo(text, cached->longestMatch) > cached->longestMatch) return std::nullopt;
    icu::Calendar& calendar = *cached->parseCalendar;
    const icu::UnicodeString input = toIcu(text);
    calendar.clear();
    calendar.set(2000, UCAL_JANUARY, 1, 0, 0, 0);
    icu::ParsePosition position(0);
    cached->format->parse(input, calendar, position);
    if (position.getErrorIndex() >= 0 || position.getIndex() != input.length()) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    const UDate udate = calendar.getTime(status);
    if (U_FAILURE(status)) {
        // A day-only text names a day that exists even when its midnight was skipped.
        return cached->timeOfDay ? std::nullopt : firstInstantOfSkippedDay(calendar);
    }
    return time_detail::fromUDate(udate);
}

}  // namespace lv
