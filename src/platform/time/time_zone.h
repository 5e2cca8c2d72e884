// Time zones as the platform names them: tz database names, the platform's abbreviation table
// ("PST" is America/Los_Angeles), fixed offsets from GMT, the device's zone and the default zone.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/value.h"

namespace lv {

class TimeZone {
public:
    // GMT.
    TimeZone();

    // By name: a tz database name ("Asia/Shanghai", "GMT", "UTC", "EST5EDT"), a fixed
    // offset name ("GMT+0800", "GMT-05:30"), or else an abbreviation of abbreviationDictionary();
    // nothing when none matches.
    static std::optional<TimeZone> named(std::string_view name);
    // By abbreviation: the abbreviation table only ("PST" → America/Los_Angeles, which
    // keeps its daylight saving time).
    static std::optional<TimeZone> withAbbreviation(std::string_view abbreviation);
    // A fixed offset, named "GMT" for 0, else "GMT+0530" / "GMT-0800"; an offset in whole minutes
    // (seconds beyond the minute are dropped).
    static TimeZone forSecondsFromGMT(int seconds);
    static TimeZone gmt() { return TimeZone(); }

    // The device's zone, read afresh on every call: the TZ environment variable when
    // it names a zone (":Europe/Paris" and ".../zoneinfo/Europe/Paris" forms included); any other TZ
    // but "/etc/localtime" as the C library reads it (a POSIX rule: "EST5EDT,M3.2.0,M11.1.0" keeps its
    // daylight saving time, named by TZ's text; "JST-9" and "GMT-8" are fixed offsets east, "GMT+0900"
    // and "GMT+0800"); without TZ the host's zone as ICU detects it (/etc/localtime).
    static TimeZone system();
    // The default zone: the zone set with setDefault, else system(). Formatters and calendars without
    // a zone of their own use it.
    static TimeZone defaultTimeZone();
    // Overrides (or, with nothing, restores) the default zone process-wide. Thread-safe.
    static void setDefault(std::optional<TimeZone> zone);

    // The platform's abbreviation table, abbreviation → tz name, in abbreviation order.
    static const std::vector<std::pair<std::string, std::string>>& abbreviationDictionary();

    // The zone's name ("America/Los_Angeles", "GMT", "GMT+0530").
    const std::string& name() const { return name_; }
    // Offset from GMT at the date, in seconds (daylight saving time included).
    int secondsFromGMT(Date date) const;
    int secondsFromGMT() const { return secondsFromGMT(Date::now()); }
    bool isDaylightSavingTime(Date date) const;
    // Short name at the date as the platform shows it in English ("PST", "PDT", "GMT+8").
    std::string abbreviation(Date date) const;

    // The identifier ICU uses for this zone.
    const std::string& icuID() const { return icuID_; }

    bool operator==(const TimeZone& other) const { return name_ == other.name_ && icuID_ == other.icuID_; }

private:
    TimeZone(std::string name, std::string icuID) : name_(std::move(name)), icuID_(std::move(icuID)) {}
    std::string name_;
    std::string icuID_;
};

}  // namespace lv
