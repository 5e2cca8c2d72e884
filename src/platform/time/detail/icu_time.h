// Internal: ICU objects for the time library, cached per thread (ICU calendars and formatters are not
// shared between threads). Not part of the public interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <unicode/gregocal.h>
#include <unicode/timezone.h>

#include "platform/text/locale.h"
#include "platform/time/time_zone.h"

namespace lv::time_detail {

// The default zone (what TimeZone::defaultTimeZone() gives), kept by the calling thread and looked up
// again only when it may have changed: a zone set or restored with setDefault, TZ changed in the
// environment (setenv, putenv, unsetenv, clearenv, or an edit in place of TZ's putenv buffer), or the
// host's zone file due for its look (as system() looks at it). The reference stays valid until the
// thread's next call.
const TimeZone& defaultTimeZoneOfThread();
// The same, with the number of the look-up that gave it on this thread (from 1): while the number
// stays, the zone is the one given with it, so what was learnt of it may be kept.
const TimeZone& defaultTimeZoneOfThread(std::uint64_t& resolution);
// The ICU zone for a TimeZone, cached per thread (read-only use).
std::shared_ptr<const icu::TimeZone> icuZone(const TimeZone& zone);
// A new Gregorian calendar in the zone for the locale (ICU identifier), non-lenient when asked.
std::unique_ptr<icu::GregorianCalendar> gregorianCalendar(const TimeZone& zone, const char* locale, bool lenient);

// The ICU identifier of the locale with the Gregorian calendar, and with ASCII (Latin) digits when asked:
// the keywords are set, replacing any the identifier holds ("ar_EG@numbers=arab", "th_TH@calendar=buddhist").
std::string gregorianLocaleID(const Locale& locale, bool latinDigits);

inline double toUDate(Date date) { return date.since1970() * 1000.0; }
inline Date fromUDate(double udate) { return Date::fromSince1970(udate / 1000.0); }

}  // namespace lv::time_detail
