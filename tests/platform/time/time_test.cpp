// Time zones, calendars and date formatters. The formatter table runs in two device zones set through
// TZ; CTest also runs the whole binary under two further outer zones.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/time/calendar.h"
#include "platform/time/date_formatter.h"
#include "platform/time/time_zone.h"
#include "support/civil_time.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace lv {

void PrintTo(const Date& date, std::ostream* os) { *os << date.description() << " (" << date.since1970() << ")"; }

namespace {

using test::ScopedEnv;
using test::wallClock;

constexpr int kHour = 3600;
const Date kWinter = wallClock(2014, 12, 29, 0, 0, 0, 0);  // a Monday whose US week belongs to 2015
const Date kSummer = wallClock(2015, 7, 1, 12, 0, 0, 0);

enum Lookup { ByName, ByAbbreviation, ByOffset };

TEST(TimeZone, LookupsGiveNamesAndOffsets) {
    struct Row { Lookup lookup; const char* key; const char* name /* nullptr: no such zone */; int winter = 0, summer = 0; };
    const Row rows[] = {
        {ByName, "Asia/Shanghai", "Asia/Shanghai", 8 * kHour, 8 * kHour}, {ByName, "UTC", "UTC"}, {ByName, "", nullptr},
        {ByName, "America/Los_Angeles", "America/Los_Angeles", -8 * kHour, -7 * kHour}, {ByName, "Mars/Olympus_Mons", nullptr},
        {ByName, "GMT+0800", "GMT+0800", 8 * kHour, 8 * kHour}, {ByName, "EST5EDT", "EST5EDT", -5 * kHour, -4 * kHour},
        {ByName, "PST", "America/Los_Angeles", -8 * kHour, -7 * kHour}, {ByAbbreviation, "GMT", "GMT"},
        {ByAbbreviation, "PST", "America/Los_Angeles", -8 * kHour, -7 * kHour}, {ByAbbreviation, "pst", nullptr},  // exact spelling
        {ByAbbreviation, "JST", "Asia/Tokyo", 9 * kHour, 9 * kHour}, {ByAbbreviation, "IST", "Asia/Calcutta", 19800, 19800},
        {ByOffset, "-19800", "GMT-0530", -19800, -19800}, {ByOffset, "32400", "GMT+0900", 9 * kHour, 9 * kHour},
        {ByOffset, "20700", "GMT+0545", 20700, 20700}, {ByOffset, "0", "GMT"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key);
        const std::optional<TimeZone> zone = row.lookup == ByName           ? TimeZone::named(row.key)
                                             : row.lookup == ByAbbreviation ? TimeZone::withAbbreviation(row.key)
                                                                            : TimeZone::forSecondsFromGMT(std::stoi(row.key));
        if (!row.name) {
            EXPECT_EQ(zone, std::nullopt);
            continue;
        }
        ASSERT_TRUE(zone);
        EXPECT_EQ(zone->name(), row.name);
        EXPECT_EQ(zone->secondsFromGMT(kWinter), row.winter);
        EXPECT_EQ(zone->secondsFromGMT(kSummer), row.summer);
        EXPECT_FALSE(zone->isDaylightSavingTime(kWinter));
        EXPECT_EQ(zone->isDaylightSavingTime(kSummer), row.summer != row.winter);
    }
    EXPECT_EQ(TimeZone::withAbbreviation("PST")->abbreviation(kWinter), "PST");
    EXPECT_EQ(TimeZone::withAbbreviation("PST")->abbreviation(kSummer), "PDT");
}

// The device zone is TZ's, read at every call: by the zone, the current calendar and a formatter made before.
TEST(TimeZone, DeviceZoneFollowsTZ) {
    DateFormatter made("yyyy-MM-dd HH:mm");
    made.setLocale(Locale("en_US"));
    struct Row { const char* tz; const char* name; int offset; };
    const Row rows[] = {{"Asia/Shanghai", "Asia/Shanghai", 8 * kHour}, {":America/Los_Angeles", "America/Los_Angeles", -8 * kHour},
                        {"/usr/share/zoneinfo/Asia/Kolkata", "Asia/Kolkata", 19800}, {"", "UTC", 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tz);
        ScopedEnv env("TZ", row.tz);
        EXPECT_EQ(TimeZone::system().name(), row.name);
        EXPECT_EQ(TimeZone::defaultTimeZone(), TimeZone::system());
        EXPECT_EQ(made.timeZone(), TimeZone::system());
        EXPECT_EQ(TimeZone::system().secondsFromGMT(kWinter), row.offset);
        const Date local = wallClock(2014, 12, 29, 17, 7, 2, row.offset);
        const DateComponents c = Calendar::current().components(local);
        EXPECT_EQ((std::vector<int>{c.day, c.hour, c.minute}), (std::vector<int>{29, 17, 7}));
        EXPECT_EQ(made.stringFromDate(local), "2014-12-29 17:07");
    }
    // Whatever TZ CTest runs the binary under is the device zone.
    if (const char* outer = std::getenv("TZ"); outer && *outer) {
        EXPECT_EQ(TimeZone::system().name(), std::string(outer + (*outer == ':')));
    }
    // A default zone set by the app wins over TZ until it is cleared.
    ScopedEnv env("TZ", "Asia/Shanghai");
    TimeZone::setDefault(TimeZone::withAbbreviation("PST"));
    EXPECT_EQ(TimeZone::defaultTimeZone().name(), "America/Los_Angeles");
    EXPECT_EQ(TimeZone::system().name(), "Asia/Shanghai");
    TimeZone::setDefault(std::nullopt);
    EXPECT_EQ(TimeZone::defaultTimeZone().name(), "Asia/Shanghai");
}

// TZ that names no zone is what the C library reads in it, as for every other program: a POSIX rule
// with its daylight saving time (from the first second of each change), or a fixed offset, whose sign
// is east for "-" ("GMT-8" is 8 h east).
TEST(TimeZone, DeviceZoneFromAPosixRuleIsTheCLibrarys) {
    const Date marchChange = wallClock(2015, 3, 8, 7, 0, 0, 0);  // 02:00 EST
    struct Row { const char* tz; const char* name; int winter, summer, beforeMarchChange, atMarchChange; };
    const Row rows[] = {
        {"EST5EDT,M3.2.0,M11.1.0", "EST5EDT,M3.2.0,M11.1.0", -5 * kHour, -4 * kHour, -5 * kHour, -4 * kHour},
        {"CET-1CEST,M3.5.0,M10.5.0/3", "CET-1CEST,M3.5.0,M10.5.0/3", 1 * kHour, 2 * kHour, 1 * kHour, 1 * kHour},
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", "AEST-10AEDT,M10.1.0,M4.1.0/3", 11 * kHour, 10 * kHour, 11 * kHour, 11 * kHour},
        {"<+0545>-5:45", "GMT+0545", 20700, 20700, 20700, 20700}, {"JST-9", "GMT+0900", 9 * kHour, 9 * kHour, 9 * kHour, 9 * kHour},
        {"GMT-8", "GMT+0800", 8 * kHour, 8 * kHour, 8 * kHour, 8 * kHour}, {"GMT+5", "GMT-0500", -5 * kHour, -5 * kHour, -5 * kHour, -5 * kHour},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tz);
        ScopedEnv env("TZ", row.tz);
        const TimeZone zone = TimeZone::system();
        EXPECT_EQ(zone.name(), row.name);
        EXPECT_EQ((std::vector<int>{zone.secondsFromGMT(kWinter), zone.secondsFromGMT(kSummer), zone.secondsFromGMT(marchChange.adding(-1)),
                                    zone.secondsFromGMT(marchChange)}),
                  (std::vector<int>{row.winter, row.summer, row.beforeMarchChange, row.atMarchChange}));
        EXPECT_EQ(zone.isDaylightSavingTime(kSummer), row.summer > row.winter);
        EXPECT_EQ(zone.secondsFromGMT(wallClock(2090, 7, 1, 12, 0, 0, 0)), row.summer);  // the rule holds in later years
        // The device zone's wall-clock texts, both ways, through the plain and the full formatter.
        for (const char* pattern : {"yyyy-MM-dd HH:mm", "yyyy'-'MM'-'dd' 'HH':'mm"}) {
            const DateFormatter device(pattern);
            EXPECT_EQ(device.stringFromDate(wallClock(2015, 7, 1, 17, 7, 0, row.summer)), "2015-07-01 17:07");
            EXPECT_EQ(device.dateFromString("2014-12-29 17:07"), wallClock(2014, 12, 29, 17, 7, 0, row.winter));
        }
    }
    // A zone file outside any zoneinfo folder (a link to one here) is read by the C library too.
    const char* tokyo = "/usr/share/zoneinfo/Asia/Tokyo";
    if (std::filesystem::exists(tokyo)) {
        test::TempDir dir;
        const std::string link = dir.file("device-zone");
        std::filesystem::create_symlink(tokyo, link);
        ScopedEnv env("TZ", link);
        EXPECT_EQ(TimeZone::system().secondsFromGMT(kWinter), 9 * kHour);
    }
}

TEST(Calendar, ComponentsAndDates) {
    const Date march7 = wallClock(2015, 3, 7, 9, 5, 0, 0);  // a Saturday
    struct Row { const char* zone; Date date; std::vector<int> expected /* y m d h mi s weekday weekYear week */; };
    const Row rows[] = {
        {"GMT", march7, {2015, 3, 7, 9, 5, 0, 7, 2015, 10}}, {"GMT", kWinter, {2014, 12, 29, 0, 0, 0, 2, 2015, 1}},
        {"Asia/Tokyo", march7.adding(11 * kHour), {2015, 3, 8, 5, 5, 0, 1, 2015, 11}},  // the next day there
    };
    for (const Row& row : rows) {
        const DateComponents c = Calendar(*TimeZone::named(row.zone), Locale("en_US")).components(row.date);
        EXPECT_EQ((std::vector<int>{c.year, c.month, c.day, c.hour, c.minute, c.second, c.weekday, c.yearForWeekOfYear, c.weekOfYear}),
                  row.expected) << row.zone;
    }
    const Calendar shanghai(*TimeZone::named("Asia/Shanghai"));
    DateComponents c;
    c.year = 2015, c.month = 3, c.day = 7, c.hour = 17, c.minute = 5;
    EXPECT_EQ(shanghai.date(c), march7);
    c.month = 13, c.day = 1, c.hour = 8, c.minute = 0;  // rolls into January 2016
    EXPECT_EQ(shanghai.date(c), wallClock(2016, 1, 1, 0, 0, 0, 0));
    EXPECT_EQ(shanghai.startOfDay(march7), wallClock(2015, 3, 7, 0, 0, 0, 8 * kHour));
}

enum Way { Both, Format, Parse, Reject };  // format `at` into the text, parse the text into `at`, or refuse the text

struct Civil { int y, mo, d, h = 0, mi = 0, s = 0, ms = 0; };

// `at` is a local time in the device zone, or in the formatter's own `zone` (which wins over the device
// zone) whose offset then is `zoneOffset`.
struct FormatRow {
    Way way; const char* pattern; const char* text; Civil at; const char* zone = nullptr; int zoneOffset = 0; const char* locale = "en_US";
};

const Civil kDec29{2014, 12, 29, 17, 7, 2};
const Civil kMar7{2015, 3, 7, 9, 5, 0};
const Civil kMay13{2014, 5, 13, 16, 53, 20};
const char* const kIso = "yyyy'-'MM'-'dd'T'HH':'mm':'ss'Z'";
const char* const kLog = "yyyy'-'MM'-'dd' 'HH':'mm':'ss.SSS";

const FormatRow kFormatRows[] = {
    // Every pattern the app uses; "YYYY" is the US week-based year, fields a pattern lacks parse as 1 January 2000.
    {Both, "yyyy-MM-dd HH:mm:ss", "2014-12-29 17:07:02", kDec29},
    {Format, "YYYY-MM-dd HH:mm:ss", "2015-12-29 17:07:02", kDec29},
    {Format, "YYYY-M-d HH:mm:ss", "2015-12-29 17:07:02", kDec29}, {Both, "yyyy-MM-dd", "2014-12-29", {2014, 12, 29}},
    {Both, "yyyy-MM-dd:HH", "2014-12-29:17", {2014, 12, 29, 17}},
    {Both, "yyyy-M-d HH:mm:ss", "2014-12-29 17:07:02", kDec29}, {Parse, "yyyy-M-d HH:mm:ss", "2015-3-7 09:05:00", kMar7},
    {Parse, "yyyy-M-d HH:mm:ss", "2015-03-07 09:05:00", kMar7}, {Both, "dd MMMM yyyy", "29 December 2014", {2014, 12, 29}},
    {Both, "hh:mm aa", "05:07 PM", {2000, 1, 1, 17, 7}}, {Format, "hh:mm aa", "09:05 AM", kMar7},
    {Format, "hh:mm aa", "12:30 AM", {2015, 3, 7, 0, 30}}, {Both, "MM/dd/yyyy", "12/29/2014", {2014, 12, 29}},
    {Format, "YYYY-MM-dd h:mm a", "2015-12-29 5:07 PM", kDec29}, {Format, "YYYY-MM-dd h:mm a", "2015-03-07 9:05 AM", kMar7},
    {Both, "MM/dd/yy hh:mm a", "12/29/14 05:07 PM", {2014, 12, 29, 17, 7}},
    {Both, "上次更新 M月d日 HH:mm", "上次更新 12月29日 17:07", {2000, 12, 29, 17, 7}}, {Both, kIso, "2014-12-29T17:07:02Z", kDec29},
    {Both, kLog, "2014-12-29 17:07:02.345", {2014, 12, 29, 17, 7, 2, 345}},
    {Both, "HH:mm:ss", "17:07:02", {2000, 1, 1, 17, 7, 2}}, {Format, "", "", kDec29},
    // Week-year edges: US weeks start on Sunday and week 1 holds 1 January; ISO weeks (German) differ.
    {Format, "YYYY-MM-dd", "2014-12-27", {2014, 12, 27, 23, 59, 59}}, {Format, "YYYY-MM-dd", "2015-12-28", {2014, 12, 28}},
    {Format, "YYYY-MM-dd", "2015-12-31", {2014, 12, 31, 23}}, {Format, "YYYY-MM-dd", "2016-01-01", {2016, 1, 1, 12}},
    {Format, "YYYY-MM-dd", "2014-12-28", {2014, 12, 28, 12}, nullptr, 0, "de_DE"},
    {Format, "YYYY-MM-dd", "2015-12-29", {2014, 12, 29, 12}, nullptr, 0, "de_DE"},
    {Format, "YYYY-MM-dd", "2015-01-01", {2016, 1, 1, 12}, nullptr, 0, "de_DE"},
    // ASCII digits and the Gregorian calendar in every locale.
    {Format, "yyyy-MM-dd", "2014-12-29", kDec29, nullptr, 0, "ar_EG"}, {Format, "yyyy-MM-dd", "2014-12-29", kDec29, nullptr, 0, "th_TH"},
    {Format, "yyyy-MM-dd", "2014-12-29", kDec29, nullptr, 0, "ja_JP@calendar=japanese"},
    {Format, "dd MMMM yyyy", "29 十二月 2014", kDec29, nullptr, 0, "zh_CN"},
    // Strict parsing; what the platform's strict parse still lets through: white space before a number,
    // and a literal at the very end of the pattern.
    {Reject, "yyyy-MM-dd:HH", "2015-03-07", kMar7}, {Reject, "yyyy-MM-dd:HH", "2015-03-07 09", kMar7},
    {Reject, "yyyy-MM-dd", "2015-03-07 09:05:00", kMar7}, {Reject, "yyyy-MM-dd HH:mm:ss", "2015/03/07 09:05:00", kMar7},
    {Reject, "yyyy-M-d HH:mm:ss", "2015-3-7", kMar7}, {Reject, "yyyy-MM-dd", "", kMar7},
    {Reject, "yyyy-MM-dd", "2015-02-30", kMar7}, {Reject, "yyyy-MM-dd HH:mm:ss", "2015-03-07 25:00:00", kMar7},
    {Reject, "hh:mm aa", "05:07", kMar7}, {Reject, kIso, "2014-12-29 17:07:02Z", kMar7},
    {Reject, "dd MMMM yyyy", "29 Decembre 2014", kMar7}, {Reject, "", "2015-03-07", kMar7},
    {Parse, "yyyy-MM-dd", " 2015-03-07", {2015, 3, 7}}, {Parse, kIso, "2014-12-29T17:07:02", kDec29},
    // Formatters with zones of their own: the ISO 8601 and log texts in GMT, the record import's zone
    // names ("PST" is standard time even in May), and "PST" as a zone keeps daylight saving time.
    {Both, kIso, "2014-05-13T16:53:20Z", kMay13, "GMT"}, {Reject, kIso, "2014-05-13T16:53:20+0800", kMay13, "GMT"},
    {Format, kLog, "2014-05-13 16:53:20.250", {2014, 5, 13, 16, 53, 20, 250}, "GMT"},
    {Both, "yyyy-MM-dd'T'HH:mm:ssz", "2014-05-13T16:53:20GMT", kMay13, "GMT"},
    {Parse, "yyyy-MM-dd'T'HH:mm:ssz", "2014-05-13T16:53:20GMT+08:00", kMay13, "GMT", 8 * kHour},
    {Parse, "yyyy-MM-dd'T'HH:mm:ssz", "2014-05-13T16:53:20PST", kMay13, "GMT", -8 * kHour},
    {Parse, "yyyy-MM-dd'T'HH:mm:ssz", "2014-05-13T16:53:20PDT", kMay13, "GMT", -7 * kHour},
    {Reject, "yyyy-MM-dd'T'HH:mm:ssz", "2014-05-13T16:53:20", kMay13, "GMT"},
    {Format, "yyyy-MM-dd HH:mm:ss", "2015-07-01 05:00:00", {2015, 7, 1, 5}, "PST", -7 * kHour},
    {Format, "yyyy-MM-dd HH:mm:ss", "2014-12-28 16:00:00", {2014, 12, 28, 16}, "PST", -8 * kHour},
    {Format, "hh:mm aa", "04:00 PM", {2014, 12, 28, 16}, "PST", -8 * kHour},
};

// Two device zones, one east of GMT without daylight saving time and one west of it; every device-zone
// date above lies in its standard time.
class DateFormatterInZone : public ::testing::TestWithParam<std::pair<const char*, int>> {
protected:
    ScopedEnv tz_{"TZ", GetParam().first};
};

INSTANTIATE_TEST_SUITE_P(TwoZones, DateFormatterInZone,
                         ::testing::Values(std::pair("Asia/Shanghai", 8 * kHour), std::pair("America/Los_Angeles", -8 * kHour)),
                         [](const auto& param) { return std::string(param.param.second > 0 ? "Shanghai" : "LosAngeles"); });

// Four threads read the table at once through the same formatter objects, and each sees what one thread alone sees.
TEST_P(DateFormatterInZone, FormatsParsesAndRefusesByTheTable) {
    std::vector<DateFormatter> formatters;
    for (const FormatRow& row : kFormatRows) {
        DateFormatter& f = formatters.emplace_back(row.pattern);
        if (row.zone) f.setTimeZone(*TimeZone::named(row.zone));
        f.setLocale(Locale(row.locale));
    }
    auto check = [&] {
        for (std::size_t i = 0; i < formatters.size(); ++i) {
            const FormatRow& row = kFormatRows[i];
            SCOPED_TRACE(std::string(row.pattern) + " / \"" + row.text + "\" " + row.locale + " " + (row.zone ? row.zone : ""));
            const Civil& t = row.at;
            const Date at = wallClock(t.y, t.mo, t.d, t.h, t.mi, t.s, row.zone ? row.zoneOffset : GetParam().second, t.ms / 1000.0);
            if (row.way == Both || row.way == Format) {
                EXPECT_EQ(formatters[i].stringFromDate(at), row.text);
            }
            const std::optional<Date> parsed = formatters[i].dateFromString(row.text);
            if (row.way == Reject) {
                EXPECT_EQ(parsed, std::nullopt);
            } else if (row.way != Format) {
                EXPECT_NEAR(parsed.value_or(Date()).since1970(), at.since1970(), 1e-6);
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&] { for (int round = 0; round < 3; ++round) check(); });
    for (auto& t : threads) t.join();
}

// Plain numeric texts give what the full parser gives: each pattern beside the same pattern with its
// separators quoted (which the parser alone reads), in zones with and without daylight saving time,
// across its gap and its repeated hour.
TEST(DateFormatter, PlainNumericTextsParseAsThePatternParserDoes) {
    const std::pair<const char*, const char*> patterns[] = {{"yyyy-M-d HH:mm:ss", "yyyy'-'M'-'d' 'HH':'mm':'ss"},
                                                            {"yyyy-MM-dd", "yyyy'-'MM'-'dd"},
                                                            {"yyyy-MM-dd:HH", "yyyy'-'MM'-'dd':'HH"},
                                                            {"MM/dd/yyyy H.m", "MM'/'dd'/'yyyy' 'H'.'m"}};
    const char* texts[] = {"2015-03-05 09:07:02", "2015-3-5 9:07:02",    "2016-02-29 23:59:59", "2015-02-29 10:00:00",
                           "2015-13-01 00:00:00", "2015-03-08 02:30:00", "2015-11-01 01:30:00", "2015-03-29 02:30:00",
                           "1969-12-31 23:59:59", "2015-03-05",          "2015-3-05",           "2015-03-05:09",
                           "2015-03-05:24",       "03/05/2015 9.7",      "03/05/2015 09.07",    "2015-03-05 09:07:02 ",
                           "2015-03-05  09:07:02", "２０１５-03-05",
                           // Transitions at midnight (São Paulo), of half an hour (Lord Howe), a zone
                           // whose offset changed for good (Pyongyang, 2015-08-15 00:00 and 2018-05-05
                           // 00:00), and each zone's gap and repeated hour at their edges.
                           "2015-10-18 00:30:00", "2015-10-18 01:00:00", "2016-02-20 23:30:00", "2016-02-21 00:00:00",
                           "2015-10-04 02:15:00", "2015-10-04 02:30:00", "2016-04-03 01:45:00", "2016-04-03 02:00:00",
                           "2015-08-14 23:59:59", "2015-08-15 00:15:00", "2018-05-04 23:45:00", "2018-05-05 00:15:00",
                           "2015-03-08 01:59:59", "2015-03-08 03:00:00", "2015-11-01 00:59:59", "2015-11-01 02:00:00",
                           "2015-03-29 01:59:59", "2015-03-29 03:00:00", "2015-10-25 02:30:00", "2015-10-25 03:00:00",
                           "2015-10-18:00",       "2016-02-20:23",       "2015-10-18",          "",
                           // At each pattern's longest length (every field at its widest), one
                           // character off: a letter, a sign, another separator, a field shifted.
                           "2015-03-05 09:07:0a", "2015-03-05T09:07:02", "2015/03/05 09:07:02", "2015-03-5 09:07:021",
                           "+015-03-05 09:07:02", "2015-03-05 24:00:00", "2015-03-05 09:60:02", "2015-03-05 09:07:60",
                           "2015-02-29 09:07:02", "2015-03-05:0x",       "2015-00-05:09",       "0x/05/2015 09.07",
                           "03/05/2015 09:07",    "03/05/2015 9.007",    "12/31/2099 23.59",    "2100-12-31 23:59:59",
                           "2015-03-05 09:07:0:", "2015-03-05 09:/7:02", "03/05/2015 09.0:",    "2015-03-05:0:"};
    int dates = 0;
    // The fast road needs no locale: the answers are the parser's under any current locale.
    for (const char* locale : {"en_US", "ar_EG", "th_TH"}) {
        Locale::setCurrent(Locale(locale));
        for (const char* zone : {"UTC", "Asia/Shanghai", "America/New_York", "Europe/Berlin", "America/Sao_Paulo",
                                 "Australia/Lord_Howe", "Asia/Pyongyang", "GMT+0530"}) {
            for (const auto& [plain, quoted] : patterns) {
                DateFormatter fast(plain, *TimeZone::named(zone));
                DateFormatter full(quoted, *TimeZone::named(zone));
                for (const char* text : texts) {
                    SCOPED_TRACE(std::string(locale) + " " + zone + " " + plain + " / \"" + text + "\"");
                    const std::optional<Date> date = fast.dateFromString(text);
                    EXPECT_EQ(date, full.dateFromString(text));
                    dates += date ? 1 : 0;
                }
                EXPECT_EQ(fast.dateFromString(std::string_view()), std::nullopt);  // a view of no data at all
            }
        }
    }
    Locale::setCurrent(std::nullopt);
    EXPECT_GT(dates, 600);  // most of them are dates, so the comparison is not between two refusals
}

// Dates written under plain numeric patterns read as the full formatter writes them: each pattern
// beside the same pattern with its separators quoted (which only the full formatter writes), under
// locales with other digits and calendars, in zones with and without daylight saving time, around
// their transitions, with fractions of a second, at the edges of the years written without the full
// formatter (1970 to 2100) and beyond them, and through the default zone as it changes.
TEST(DateFormatter, PlainNumericPatternsFormatAsTheFullFormatterDoes) {
    const std::pair<const char*, const char*> patterns[] = {{"yyyy-MM-dd HH:mm:ss", "yyyy'-'MM'-'dd' 'HH':'mm':'ss"},
                                                            {"yyyy-M-d H:m:s", "yyyy'-'M'-'d' 'H':'m':'s"},
                                                            {"yyyy-MM-dd:HH", "yyyy'-'MM'-'dd':'HH"},
                                                            {"MM/dd/yyyy H.m", "MM'/'dd'/'yyyy' 'H'.'m"},
                                                            {"dd.MM.yyyy", "dd'.'MM'.'yyyy"}};
    const DateFormatter utc("yyyy-MM-dd HH:mm:ss", TimeZone::gmt());
    std::vector<Date> dates;
    for (const char* text : {"2015-03-05 09:07:02", "2016-02-29 23:59:59", "1970-01-01 00:00:00", "1970-01-01 07:59:59",
                             "2100-12-31 23:59:59", "2101-01-01 00:00:00", "1969-12-31 23:59:59", "2015-03-08 06:59:59",
                             "2015-03-08 07:00:00", "2015-11-01 05:30:00", "2015-11-01 06:30:00", "2015-03-29 00:59:59",
                             "2015-03-29 01:00:00", "2015-10-25 00:30:00", "2015-10-25 01:30:00", "2015-10-17 02:59:59",
                             "2015-10-17 03:00:00", "2015-10-03 15:29:59", "2015-10-03 15:30:00", "2015-08-14 14:59:59",
                             "2015-08-14 15:00:00", "2018-05-04 14:30:00", "2018-05-04 15:00:00", "2000-01-01 00:00:00"}) {
        dates.push_back(*utc.dateFromString(text));
    }
    for (const double fraction : {0.001, 0.5, 0.999}) dates.push_back(dates[0].adding(fraction));
    dates.push_back(dates[2].adding(-0.5));  // half a second before 1970
    int checked = 0;
    for (const char* locale : {"en_US", "ar_EG", "th_TH"}) {
        Locale::setCurrent(Locale(locale));
        for (const char* zone : {"UTC", "Asia/Shanghai", "America/New_York", "Europe/Berlin", "America/Sao_Paulo",
                                 "Australia/Lord_Howe", "Asia/Pyongyang", "GMT+0530", "GMT-0800"}) {
            for (const auto& [plain, quoted] : patterns) {
                const DateFormatter fast(plain, *TimeZone::named(zone));
                const DateFormatter full(quoted, *TimeZone::named(zone));
                for (const Date& date : dates) {
                    SCOPED_TRACE(std::string(locale) + " " + zone + " " + plain + " " + std::to_string(date.since1970()));
                    EXPECT_EQ(fast.stringFromDate(date), full.stringFromDate(date));
                    ++checked;
                }
            }
        }
    }
    Locale::setCurrent(std::nullopt);
    EXPECT_GT(checked, 1000);
    DateFormatter byDefault;
    byDefault.setDateFormat("yyyy-MM-dd HH:mm:ss");
    for (const char* zone : {"Asia/Shanghai", "America/New_York"}) {
        TimeZone::setDefault(TimeZone::named(zone));
        EXPECT_EQ(byDefault.stringFromDate(dates[0]), DateFormatter("yyyy'-'MM'-'dd' 'HH':'mm':'ss").stringFromDate(dates[0]));
    }
    TimeZone::setDefault(std::nullopt);
    EXPECT_EQ(DateFormatter("yyyy-MM-dd HH:mm:ss", *TimeZone::named("Asia/Shanghai")).stringFromDate(dates[0]), "2015-03-05 17:07:02");
}

// Many patterns read in turn on one thread, plain and not (fields missing, two-digit years, abutting
// fields, a name field), each beside its separators quoted: every text reads as the parser reads it
// under its own pattern, whichever pattern was read just before (more patterns than a thread keeps).
TEST(DateFormatter, PatternsReadInTurnEachParseAsThePatternParserDoes) {
    // Neighbours of one length read each other's texts differently ("yyyy-MM-dd" / "yyyy-dd-MM").
    const char* patterns[] = {"yyyy-MM-dd",       "yyyy-dd-MM",    "yyyy-M-d",          "yyyy/MM/dd",     "dd.MM.yyyy",
                              "MM.dd.yyyy",       "yyyy-MM-dd HH", "yyyy-MM-dd HH:mm",  "yyyy-MM-dd:HH",  "yyyy-M-d HH:mm:ss",
                              "MM/dd/yyyy H.m",   "d-M-yyyy",      "M-d-yyyy",          "yyyy-MM",        "yy-MM-dd",
                              "yyyy-MM-ddHH",     "HH:mm yyyy-MM-dd", "yyyy MM dd",     "M/d/yyyy",       "yyyy.M.d H:m:s",
                              "MM-dd yyyy",       "yyyy-MM-dd EEE"};
    const auto quoted = [](std::string_view pattern) {
        std::string out;
        for (const char c : pattern) {
            if (c == '-' || c == ':' || c == '/' || c == '.' || c == ' ') {
                out += '\'';
                out += c;
                out += '\'';
            } else {
                out += c;
            }
        }
        return out;
    };
    const TimeZone zone = *TimeZone::named("Europe/Berlin");
    const Date at = *DateFormatter("yyyy-MM-dd HH:mm:ss", TimeZone::gmt()).dateFromString("2015-03-29 01:30:07");
    std::vector<std::string> texts;
    for (const char* pattern : patterns) texts.push_back(DateFormatter(quoted(pattern), zone).stringFromDate(at));
    // Its own text, and the one before's, under each pattern: first by the parser alone, then the
    // plain patterns one after the other.
    std::vector<std::optional<Date>> expected;
    for (std::size_t i = 0; i < std::size(patterns); ++i) {
        for (const std::size_t t : {i, (i + texts.size() - 1) % texts.size()}) {
            expected.push_back(DateFormatter(quoted(patterns[i]), zone).dateFromString(texts[t]));
        }
    }
    int dates = 0;
    for (int round = 0; round < 2; ++round) {
        std::size_t k = 0;
        for (std::size_t i = 0; i < std::size(patterns); ++i) {
            for (const std::size_t t : {i, (i + texts.size() - 1) % texts.size()}) {
                SCOPED_TRACE(std::string(patterns[i]) + " / \"" + texts[t] + "\"");
                const std::optional<Date> date = DateFormatter(patterns[i], zone).dateFromString(texts[t]);
                EXPECT_EQ(date, expected[k++]);
                dates += date ? 1 : 0;
            }
        }
    }
    EXPECT_GT(dates, 40);
}

// Formatters alike but for their zone, read one after the other, each parse in their own zone; one
// without a zone follows the default zone as it changes between two reads.
TEST(DateFormatter, AlternatingZonesAndDefaultZoneChangesGiveEachZonesDate) {
    const char* text = "2015-03-05 09:07:02";
    const Date utc = *DateFormatter("yyyy-MM-dd HH:mm:ss", TimeZone::gmt()).dateFromString(text);
    const DateFormatter shanghai("yyyy-MM-dd HH:mm:ss", *TimeZone::named("Asia/Shanghai"));
    const DateFormatter newYork("yyyy-MM-dd HH:mm:ss", *TimeZone::named("America/New_York"));
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(shanghai.dateFromString(text), utc.adding(-8 * 3600.0));
        EXPECT_EQ(newYork.dateFromString(text), utc.adding(5 * 3600.0));
    }
    DateFormatter byDefault;
    byDefault.setDateFormat("yyyy-MM-dd HH:mm:ss");
    TimeZone::setDefault(TimeZone::named("Asia/Shanghai"));
    EXPECT_EQ(byDefault.dateFromString(text), utc.adding(-8 * 3600.0));
    TimeZone::setDefault(TimeZone::named("America/New_York"));
    EXPECT_EQ(byDefault.dateFromString(text), utc.adding(5 * 3600.0));
    TimeZone::setDefault(std::nullopt);
}

// Reads without a zone, between reads with a zone of their own, each take the default zone, whether
// or not it changed since the last read without a zone.
TEST(DateFormatter, ReadsInTheDefaultZoneBetweenReadsInOtherZonesTakeTheDefaultZone) {
    const char* text = "2015-03-05 09:07:02";
    const Date utc = *DateFormatter("yyyy-MM-dd HH:mm:ss", TimeZone::gmt()).dateFromString(text);
    const DateFormatter shanghai("yyyy-MM-dd HH:mm:ss", *TimeZone::named("Asia/Shanghai"));
    const DateFormatter newYork("yyyy-MM-dd HH:mm:ss", *TimeZone::named("America/New_York"));
    DateFormatter byDefault;
    byDefault.setDateFormat("yyyy-MM-dd HH:mm:ss");
    struct Case {
        const char* defaultZone;
        std::vector<const DateFormatter*> reads;
    };
    const Case cases[] = {
        {"Asia/Shanghai", {&byDefault, &newYork, &byDefault, &byDefault, &shanghai, &byDefault, &newYork, &newYork, &byDefault}},
        {"America/New_York", {&byDefault, &shanghai, &byDefault, &newYork, &byDefault, &shanghai, &shanghai, &byDefault}},
        {"UTC", {&shanghai, &byDefault, &newYork, &byDefault, &byDefault}},
    };
    const auto hoursOf = [](const std::string& zone) { return zone == "Asia/Shanghai" ? -8.0 : zone == "America/New_York" ? 5.0 : 0.0; };
    for (const Case& c : cases) {
        TimeZone::setDefault(TimeZone::named(c.defaultZone));
        for (std::size_t i = 0; i < c.reads.size(); ++i) {
            const DateFormatter& formatter = *c.reads[i];
            const std::string zone = &formatter == &byDefault ? c.defaultZone : formatter.timeZone().name();
            EXPECT_EQ(formatter.dateFromString(text), utc.adding(hoursOf(zone) * 3600.0)) << c.defaultZone << " read " << i;
        }
    }
    TimeZone::setDefault(std::nullopt);
}

// Wall times read one after the other in one zone, as a reply's dates are (each read may reuse what
// the one before learnt of the zone's offsets): every half hour through the days around each of the
// zone's transitions, in both directions, and every five hours and seventeen minutes through a whole
// year, each as the full parser reads it; in zones with daylight saving time in either hemisphere,
// half-hour changes, midnight changes, a one-off change, a zone of three offsets in a year, and fixed
// zones.
TEST(DateFormatter, WallTimesReadInSequenceParseAsThePatternParserDoes) {
    struct Zone { const char* name; std::vector<const char*> transitions; /* wall times near each change */ };
    const Zone zones[] = {
        {"America/New_York", {"2015-03-08 02:00", "2015-11-01 01:00"}},
        {"Europe/Berlin", {"2015-03-29 02:00", "2015-10-25 02:00"}},
        {"America/Sao_Paulo", {"2015-10-18 00:00", "2016-02-20 23:00"}},
        {"Australia/Lord_Howe", {"2015-10-04 02:00", "2016-04-03 01:30"}},
        {"Australia/Sydney", {"2015-10-04 02:00", "2016-04-03 02:00"}},
        {"Asia/Pyongyang", {"2015-08-15 00:00", "2018-05-05 00:00"}},
        {"Pacific/Apia", {"2011-12-29 23:00", "2012-04-01 03:00"}},  // a whole day skipped
        {"Antarctica/Troll", {"2015-03-29 01:00", "2015-10-25 03:00"}},
        {"America/Havana", {"2015-03-08 00:00", "2015-11-01 01:00"}},
        {"Asia/Shanghai", {}},
        {"UTC", {}},
        {"GMT+0530", {}},
    };
    const DateFormatter gmt("yyyy-MM-dd HH:mm", TimeZone::gmt());
    const DateFormatter writer("yyyy-MM-dd HH:mm:ss", TimeZone::gmt());
    int dates = 0;
    int refused = 0;
    for (const Zone& zone : zones) {
        const TimeZone tz = *TimeZone::named(zone.name);
        // Wall times written from a walk through GMT instants read as wall times of the zone.
        std::vector<std::string> walk;
        for (const char* near : zone.transitions) {
            const Date center = *gmt.dateFromString(near);
            for (int step = -4 * 48; step <= 4 * 48; ++step) walk.push_back(writer.stringFromDate(center.adding(step * 1800.0)));
        }
        const Date yearStart = *gmt.dateFromString("2015-01-01 00:00");
        for (int step = 0; step * (5 * 3600 + 17 * 60) < 366 * 86400; ++step) {
            walk.push_back(writer.stringFromDate(yearStart.adding(step * (5 * 3600.0 + 17 * 60))));
        }
        for (const bool backwards : {false, true}) {
            const DateFormatter fast("yyyy-MM-dd HH:mm:ss", tz);
            const DateFormatter full("yyyy'-'MM'-'dd' 'HH':'mm':'ss", tz);
            for (std::size_t i = 0; i < walk.size(); ++i) {
                const std::string& text = walk[backwards ? walk.size() - 1 - i : i];
                SCOPED_TRACE(std::string(zone.name) + " \"" + text + "\"");
                const std::optional<Date> date = fast.dateFromString(text);
                ASSERT_EQ(date, full.dateFromString(text));
                (date ? dates : refused) += 1;
            }
        }
    }
    EXPECT_GT(dates, 10000);
    EXPECT_GT(refused, 20);  // the skipped hours (and Apia's day) were met on the way
}

// A formatter without a zone reads and writes in the device's zone as TZ stands at each call, however
// TZ was changed since the call before: set, changed, unset, set again, and edited in place in the
// buffer given to putenv; and in the zone set with setDefault while one is set.
TEST(DateFormatter, DefaultZoneFollowsEveryChangeOfTZBetweenReads) {
    const DateFormatter byDevice("yyyy-MM-dd HH:mm:ss");
    const char* text = "2015-03-05 09:07:02";
    const Date utc = *DateFormatter("yyyy-MM-dd HH:mm:ss", TimeZone::gmt()).dateFromString(text);
    const auto expectZone = [&](int offset, const char* what) {
        SCOPED_TRACE(what);
        EXPECT_EQ(byDevice.dateFromString(text), utc.adding(-offset));
        EXPECT_EQ(byDevice.stringFromDate(utc.adding(-offset)), text);
        EXPECT_EQ(byDevice.dateFromString(text), utc.adding(-offset));  // the second read of the same state
    };
    const std::optional<std::string> outer = std::getenv("TZ") ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;
    {
        ScopedEnv none("TZ", std::nullopt);
        ScopedEnv other("LV_TIME_TEST_FILLER", "1");  // a variable added after TZ went
        byDevice.dateFromString(text);
        ::setenv("TZ", "Asia/Tokyo", 1);
        expectZone(9 * kHour, "set");
        ::setenv("TZ", "Asia/Kolkata", 1);
        expectZone(19800, "changed");
        ::setenv("TZ", "", 1);
        expectZone(0, "empty");
        ::unsetenv("TZ");
        ::setenv("LV_TIME_TEST_FILLER2", "1", 1);
        ::setenv("TZ", "America/New_York", 1);
        expectZone(-5 * kHour, "unset, another added, set again");
        ::unsetenv("LV_TIME_TEST_FILLER2");
        expectZone(-5 * kHour, "another removed");
        static char buffer[] = "TZ=Asia/Tokyo";
        ::putenv(buffer);
        expectZone(9 * kHour, "putenv");
        std::memcpy(buffer, "TZ=Asia/Seoul", sizeof buffer);
        expectZone(9 * kHour, "edited in place, same offset");
        std::memcpy(buffer, "TZ=Asia/Dubai", sizeof buffer);
        expectZone(4 * kHour, "edited in place");
        ::setenv("TZ", "Asia/Shanghai", 1);  // no longer the buffer
        TimeZone::setDefault(TimeZone::named("America/Los_Angeles"));
        expectZone(-8 * kHour, "set as default");
        ::setenv("TZ", "Asia/Tokyo", 1);
        expectZone(-8 * kHour, "TZ under a set default");
        TimeZone::setDefault(std::nullopt);
        expectZone(9 * kHour, "default restored");
    }
    // Back to the outer TZ (CTest's, or none).
    EXPECT_EQ(byDevice.dateFromString(text), DateFormatter("yyyy-MM-dd HH:mm:ss", TimeZone::system()).dateFromString(text));
    EXPECT_EQ(outer.has_value(), std::getenv("TZ") != nullptr);
}

// A default zone set on one thread is seen by threads that have been reading in the zone before: each
// reads the old zone's date until it reads the new one's, and never the old one's again.
TEST(DateFormatter, DefaultZoneSetOnAnotherThreadIsSeenAtTheNextRead) {
    const DateFormatter byDefault("yyyy-MM-dd HH:mm:ss");
    const char* text = "2015-03-05 09:07:02";
    const Date utc = *DateFormatter("yyyy-MM-dd HH:mm:ss", TimeZone::gmt()).dateFromString(text);
    const Date inTokyo = utc.adding(-9 * 3600.0);
    const Date inDubai = utc.adding(-4 * 3600.0);
    TimeZone::setDefault(TimeZone::named("Asia/Tokyo"));
    constexpr int kThreads = 4;
    std::atomic<int> readOld{0};
    std::atomic<bool> changed{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            bool counted = false;
            for (;;) {
                // A read begun after the change is known to have been made must see it.
                const bool after = changed.load(std::memory_order_acquire);
                const std::optional<Date> date = byDefault.dateFromString(text);
                if (after) {
                    if (date != inDubai) ++wrong;
                    break;
                }
                if (date != inTokyo && date != inDubai) ++wrong;
                if (!counted) {
                    counted = true;
                    ++readOld;
                }
            }
            for (int i = 0; i < 100; ++i) {
                if (byDefault.dateFromString(text) != inDubai) ++wrong;
            }
        });
    }
    while (readOld.load() < kThreads) std::this_thread::yield();  // every thread has read in the old zone
    TimeZone::setDefault(TimeZone::named("Asia/Dubai"));
    changed.store(true, std::memory_order_release);
    for (auto& thread : threads) thread.join();
    TimeZone::setDefault(std::nullopt);
    EXPECT_EQ(wrong.load(), 0);
}

// A day-only text names a day that exists even where daylight saving time skips its midnight: it reads
// as the day's first instant (01:00), in the formatter's zone and in the device zone, by the plain and
// the full parser; a time in the skipped hour and a day that does not exist are still refused.
TEST(DateFormatter, ADayWhoseMidnightIsSkippedReadsAsItsFirstInstant) {
    struct Row { const char* zone; const char* day; const char* longDay; Date firstInstant; };
    const Row rows[] = {{"America/Sao_Paulo", "2015-10-18", "18 October 2015", wallClock(2015, 10, 18, 1, 0, 0, -2 * kHour)},
                        {"America/Havana", "2015-03-08", "08 March 2015", wallClock(2015, 3, 8, 1, 0, 0, -4 * kHour)}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.zone);
        const TimeZone zone = *TimeZone::named(row.zone);
        EXPECT_EQ(zone.secondsFromGMT(row.firstInstant.adding(-1)) + kHour, zone.secondsFromGMT(row.firstInstant));  // the change
        ScopedEnv env("TZ", row.zone);
        for (const bool ownZone : {true, false}) {
            const auto formatter = [&](const char* pattern) {
                DateFormatter f(pattern);
                if (ownZone) f.setTimeZone(zone);
                f.setLocale(Locale("en_US"));
                return f;
            };
            EXPECT_EQ(formatter("yyyy-MM-dd").dateFromString(row.day), row.firstInstant);
            EXPECT_EQ(formatter("yyyy'-'MM'-'dd").dateFromString(row.day), row.firstInstant);
            EXPECT_EQ(formatter("dd MMMM yyyy").dateFromString(row.longDay), row.firstInstant);
            EXPECT_EQ(formatter("yyyy-MM-dd HH:mm").dateFromString(std::string(row.day) + " 00:30"), std::nullopt);
            EXPECT_EQ(formatter("yyyy-MM-dd").dateFromString(std::string(row.day, 8) + "32"), std::nullopt);
        }
        EXPECT_EQ(Calendar(zone).startOfDay(row.firstInstant.adding(12 * kHour)), row.firstInstant);
    }
}

// A locale whose identifier holds a numbering system or a calendar of its own (as LC_ALL may give)
// still writes wire texts in ASCII digits and Gregorian years, and reads them back: the formatter's
// keywords replace the locale's.
TEST(DateFormatter, LocaleKeywordsNeverReachTheWireTexts) {
    const Date dec29 = wallClock(2014, 12, 29, 17, 7, 2, 0);
    const Date far = wallClock(2150, 3, 5, 9, 7, 2, 0);  // past the years the plain formatter writes
    for (const char* id : {"ar-EG-u-nu-arab", "fa-IR-u-nu-arabext", "th-TH-u-ca-buddhist", "ar_SA@calendar=islamic;numbers=arab"}) {
        SCOPED_TRACE(id);
        ScopedEnv env("LC_ALL", id);
        DateFormatter iso(kIso, TimeZone::gmt());
        DateFormatter plain("yyyy-MM-dd HH:mm:ss", TimeZone::gmt());
        EXPECT_EQ(iso.stringFromDate(dec29), "2014-12-29T17:07:02Z");
        EXPECT_EQ(iso.dateFromString("2014-12-29T17:07:02Z"), dec29);
        EXPECT_EQ(plain.stringFromDate(far), "2150-03-05 09:07:02");
        EXPECT_EQ(plain.dateFromString("2150-03-05 09:07:02"), far);
        EXPECT_EQ(Calendar(TimeZone::gmt(), Locale(id)).components(dec29).year, 2014);
    }
}

// A text longer than the pattern's longest match is refused before the parser sees it, however the
// parser would have read it (runs of leading zeros or white space); within the bound nothing changes.
TEST(DateFormatter, TextsLongerThanThePatternsLongestMatchAreRefused) {
    struct Case {
        const char* pattern;
        std::string text;  // a date under the pattern
        std::size_t longest;
    };
    const Case cases[] = {{"yyyy-M-d HH:mm:ss", "2015-3-5 09:07:02", 71},
                          {"yyyy-MM-dd:HH", "2015-03-05:09", 47},
                          {"yyyy-MM-dd", "2015-03-05", 35},
                          {"dd MMMM yyyy", "05 March 2015", 11 + 1 + 64 + 1 + 11}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        DateFormatter formatter(c.pattern, TimeZone::gmt());
        formatter.setLocale(Locale("en_US"));  // the month names are English
        const std::optional<Date> date = formatter.dateFromString(c.text);
        ASSERT_TRUE(date);
        for (const char pad : {'0', ' '}) {
            // The parser reads the padding: up to the bound the date is as before, one more is refused.
            const std::string atTheBound = std::string(c.longest - c.text.size(), pad) + c.text;
            EXPECT_EQ(formatter.dateFromString(atTheBound), date) << "padded with '" << pad << "'";
            EXPECT_EQ(formatter.dateFromString(pad + atTheBound), std::nullopt) << "padded with '" << pad << "'";
            EXPECT_EQ(formatter.dateFromString(std::string(100000, pad) + c.text), std::nullopt);
        }
    }
}

TEST(DateFormatter, StylesUntilAPatternReplacesThem) {
    DateFormatter f("", TimeZone::gmt());
    f.setLocale(Locale("en_US"));
    const Date date = wallClock(2014, 12, 29, 17, 7, 0, 0);
    f.setDateStyle(DateFormatter::Style::Long);
    f.setTimeStyle(DateFormatter::Style::Short);
    const std::string longShort = f.stringFromDate(date);
    EXPECT_TRUE(longShort.starts_with("December 29, 2014") && longShort.find("5:07") != std::string::npos) << longShort;
    f.setTimeStyle(DateFormatter::Style::None);
    EXPECT_EQ(f.stringFromDate(date), "December 29, 2014");
    EXPECT_EQ(f.dateFromString("December 29, 2014"), wallClock(2014, 12, 29, 0, 0, 0, 0));
    f.setDateStyle(DateFormatter::Style::None);
    EXPECT_EQ(f.stringFromDate(date), "");
    f.setDateFormat("yyyy");
    EXPECT_EQ(f.stringFromDate(date), "2014");
}

// Each read takes the pattern the formatter holds at that read: one changed from one numeric pattern
// to another (and through styles back to one), a copy made before the change, and one moved from it
// read as fresh formatters of their patterns do.
TEST(DateFormatter, EachReadTakesThePatternTheFormatterHoldsThen) {
    const auto fresh = [](const std::string& pattern, std::string_view text) { return DateFormatter(pattern).dateFromString(text); };
    DateFormatter f("yyyy-MM-dd");
    const DateFormatter before = f;
    f.setDateFormat("dd/MM/yyyy");
    ASSERT_TRUE(f.dateFromString("05/03/2015"));
    EXPECT_EQ(f.dateFromString("05/03/2015"), fresh("dd/MM/yyyy", "05/03/2015"));
    EXPECT_FALSE(f.dateFromString("2015-03-05"));
    ASSERT_TRUE(before.dateFromString("2015-03-05"));
    EXPECT_EQ(before.dateFromString("2015-03-05"), fresh("yyyy-MM-dd", "2015-03-05"));
    EXPECT_FALSE(before.dateFromString("05/03/2015"));
    f.setDateStyle(DateFormatter::Style::Short);
    f.setDateFormat("yyyy-M-d HH:mm:ss");
    const DateFormatter moved = std::move(f);
    ASSERT_TRUE(moved.dateFromString("2015-3-5 09:07:02"));
    EXPECT_EQ(moved.dateFromString("2015-3-5 09:07:02"), fresh("yyyy-M-d HH:mm:ss", "2015-3-5 09:07:02"));
    EXPECT_FALSE(moved.dateFromString("05/03/2015"));
    EXPECT_EQ(moved.stringFromDate(*fresh("yyyy-MM-dd", "2015-03-05")), "2015-3-5 00:00:00");
}

}  // namespace
}  // namespace lv
