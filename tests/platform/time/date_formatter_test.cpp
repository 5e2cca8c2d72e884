#include "support/civil_time.h"
#include "platform/time/date_formatter.h"

#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/scoped_env.h"

namespace lv {

// Readable dates in failure messages.
void PrintTo(const Date& date, std::ostream* os) { *os << date.description() << " (" << date.since1970() << ")"; }

namespace {

using test::ScopedEnv;

using test::daysFromCivil;

// The instant of a local wall-clock time in a zone `offset` seconds east of GMT.
Date localTime(int y, int mo, int d, int h, int mi, int s, int offset, int ms = 0) {
    const double seconds = static_cast<double>(daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s - offset);
    return Date::fromSince1970(seconds + ms / 1000.0);
}

// The date tests run in two device zones, set through TZ: one east of GMT without daylight saving
// time, one west of it (every date below lies in its standard time: December, and March before the
// 8th in 2015).
struct ZoneCase {
    const char* tz;
    int offset;  // seconds east of GMT on the dates used
};

class DateFormatterInZone : public ::testing::TestWithParam<ZoneCase> {
protected:
    void SetUp() override { tz_ = std::make_unique<ScopedEnv>("TZ", GetParam().tz); }
    void TearDown() override { tz_.reset(); }

    int offset() const { return GetParam().offset; }
    DateFormatter formatter(const char* pattern) const {
        DateFormatter f(pattern);  // device zone
        f.setLocale(Locale("en_US"));
        return f;
    }

private:
    std::unique_ptr<ScopedEnv> tz_;
};

INSTANTIATE_TEST_SUITE_P(TwoZones, DateFormatterInZone,
                         ::testing::Values(ZoneCase{"Asia/Shanghai", 8 * 3600}, ZoneCase{"America/Los_Angeles", -8 * 3600}),
                         [](const auto& param) { return std::string(param.param.offset > 0 ? "Shanghai" : "LosAngeles"); });

struct FormatRow {
    const char* pattern;
    const char* expected;
};

// Every pattern the app uses, formatting Monday 29 December 2014, 17:07:02.345 local time.
TEST_P(DateFormatterInZone, FormatsEveryPatternTheAppUses) {
    const Date date = localTime(2014, 12, 29, 17, 7, 2, offset(), 345);
    const FormatRow rows[] = {
        {"yyyy-MM-dd HH:mm:ss", "2014-12-29 17:07:02"},        // push database, record import
        {"YYYY-MM-dd HH:mm:ss", "2015-12-29 17:07:02"},        // dateServerStyle: week-based year
        {"YYYY-MM-dd", "2015-12-29"},                          // dateServerStyleHanteoDay
        {"YYYY-M-d HH:mm:ss", "2015-12-29 17:07:02"},          // dateServerStyleNaver
        {"yyyy-MM-dd", "2014-12-29"},                          // yearMonthDayString, analytics dateString
        {"yyyy-MM-dd:HH", "2014-12-29:17"},                    // dateFormatter1
        {"yyyy-M-d HH:mm:ss", "2014-12-29 17:07:02"},          // dateFormatter2
        {"dd MMMM yyyy", "29 December 2014"},                  // dayMonthYearString
        {"hh:mm aa", "05:07 PM"},                              // dateIncludeHMA
        {"MM/dd/yyyy", "12/29/2014"},                          // dateIncludeYMD
        {"YYYY-MM-dd h:mm a", "2015-12-29 5:07 PM"},           // dateIncludeYMDHMAZ
        {"MM/dd/yy hh:mm a", "12/29/14 05:07 PM"},             // dateAllPart
        {"上次更新 M月d日 HH:mm", "上次更新 12月29日 17:07"},  // dateChineseStyle
        {"yyyy'-'MM'-'dd'T'HH':'mm':'ss'Z'", "2014-12-29T17:07:02Z"},
        {"yyyy'-'MM'-'dd' 'HH':'mm':'ss.SSS", "2014-12-29 17:07:02.345"},
        {"HH:mm:ss", "17:07:02"},                              // analytics timeString
        {"yyyy-MM-dd'T'HH:mm:ss", "2014-12-29T17:07:02"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(formatter(row.pattern).stringFromDate(date), row.expected) << row.pattern;
    }
    // Morning hours: 12-hour forms pad as their pattern says.
    const Date morning = localTime(2015, 3, 7, 9, 5, 0, offset());
    EXPECT_EQ(formatter("hh:mm aa").stringFromDate(morning), "09:05 AM");
    EXPECT_EQ(formatter("YYYY-MM-dd h:mm a").stringFromDate(morning), "2015-03-07 9:05 AM");
    EXPECT_EQ(formatter("hh:mm aa").stringFromDate(localTime(2015, 3, 7, 0, 30, 0, offset())), "12:30 AM");
}

struct ParseRow {
    const char* pattern;
    const char* text;
    int y, mo, d, h, mi, s;
};

TEST_P(DateFormatterInZone, ParsesTheServicesTexts) {
    const ParseRow rows[] = {
        // The content service's time texts, as local times of the device.
        {"yyyy-MM-dd:HH", "2015-03-07:09", 2015, 3, 7, 9, 0, 0},
        {"yyyy-M-d HH:mm:ss", "2015-3-7 09:05:00", 2015, 3, 7, 9, 5, 0},
        {"yyyy-M-d HH:mm:ss", "2015-03-07 09:05:00", 2015, 3, 7, 9, 5, 0},  // two-digit fields too
        {"yyyy-MM-dd", "2015-03-07", 2015, 3, 7, 0, 0, 0},
        {"yyyy-MM-dd HH:mm:ss", "2015-03-07 09:05:00", 2015, 3, 7, 9, 5, 0},  // the push database's time text
        {"dd MMMM yyyy", "29 December 2014", 2014, 12, 29, 0, 0, 0},
        {"MM/dd/yyyy", "12/29/2014", 2014, 12, 29, 0, 0, 0},
        {"MM/dd/yy hh:mm a", "12/29/14 05:07 PM", 2014, 12, 29, 17, 7, 0},
        {"yyyy'-'MM'-'dd'T'HH':'mm':'ss'Z'", "2014-12-29T17:07:02Z", 2014, 12, 29, 17, 7, 2},
        // Fields the pattern does not give come from 1 January 2000.
        {"hh:mm aa", "05:07 PM", 2000, 1, 1, 17, 7, 0},
        {"HH:mm:ss", "17:07:02", 2000, 1, 1, 17, 7, 2},
        {"上次更新 M月d日 HH:mm", "上次更新 12月29日 17:07", 2000, 12, 29, 17, 7, 0},
    };
    for (const auto& row : rows) {
        const auto parsed = formatter(row.pattern).dateFromString(row.text);
        ASSERT_TRUE(parsed) << row.pattern << " / " << row.text;
        EXPECT_EQ(*parsed, localTime(row.y, row.mo, row.d, row.h, row.mi, row.s, offset()))
            << row.pattern << " / " << row.text << " gave " << parsed->description();
    }
    // Milliseconds survive a round trip.
    const DateFormatter log = formatter("yyyy'-'MM'-'dd' 'HH':'mm':'ss.SSS");
    const auto ms = log.dateFromString("2014-12-29 17:07:02.345");
    ASSERT_TRUE(ms);
    EXPECT_NEAR(ms->since1970(), localTime(2014, 12, 29, 17, 7, 2, offset(), 345).since1970(), 1e-6);
}

TEST_P(DateFormatterInZone, StrictParsingRejects) {
    const FormatRow rejected[] = {
        {"yyyy-MM-dd:HH", "2015-03-07"},              // a date-only text with the date-and-hour pattern
        {"yyyy-MM-dd:HH", "2015-03-07 09"},
        {"yyyy-MM-dd", "2015-03-07 09:05:00"},        // trailing text
        {"yyyy-MM-dd HH:mm:ss", "2015/03/07 09:05:00"},  // slashes instead of dashes
        {"yyyy-M-d HH:mm:ss", "2015-3-7"},
        {"yyyy-MM-dd", ""},
        {"yyyy-MM-dd", "2015-02-30"},                 // no such day
        {"yyyy-MM-dd HH:mm:ss", "2015-03-07 25:00:00"},
        {"hh:mm aa", "05:07"},
        {"yyyy'-'MM'-'dd'T'HH':'mm':'ss'Z'", "2014-12-29 17:07:02Z"},
        {"dd MMMM yyyy", "29 Decembre 2014"},
    };
    for (const auto& row : rejected) {
        EXPECT_EQ(formatter(row.pattern).dateFromString(row.expected), std::nullopt)
            << row.pattern << " / \"" << row.expected << "\"";
    }
    EXPECT_EQ(DateFormatter().dateFromString("2015-03-07"), std::nullopt);  // empty pattern
    // What ICU's strict parse (the platform's) still lets through: white space before a number, and a
    // literal at the very end of the pattern missing from the text.
    EXPECT_EQ(formatter("yyyy-MM-dd").dateFromString(" 2015-03-07"), localTime(2015, 3, 7, 0, 0, 0, offset()));
    EXPECT_EQ(formatter("yyyy'-'MM'-'dd'T'HH':'mm':'ss'Z'").dateFromString("2014-12-29T17:07:02"),
              localTime(2014, 12, 29, 17, 7, 2, offset()));
    EXPECT_EQ(DateFormatter().stringFromDate(Date::now()), "");
}

TEST_P(DateFormatterInZone, WeekYearEdges) {
    const DateFormatter week = formatter("YYYY-MM-dd");
    // US weeks start on Sunday and week 1 holds 1 January: Saturday 27 December 2014 is still 2014,
    // Sunday the 28th already 2015; 31 December 2014 as well; 1 January 2016 (a Friday) is 2016.
    EXPECT_EQ(week.stringFromDate(localTime(2014, 12, 27, 23, 59, 59, offset())), "2014-12-27");
    EXPECT_EQ(week.stringFromDate(localTime(2014, 12, 28, 0, 0, 0, offset())), "2015-12-28");
    EXPECT_EQ(week.stringFromDate(localTime(2014, 12, 31, 23, 0, 0, offset())), "2015-12-31");
    EXPECT_EQ(week.stringFromDate(localTime(2016, 1, 1, 12, 0, 0, offset())), "2016-01-01");
    EXPECT_EQ(week.stringFromDate(localTime(2015, 3, 7, 12, 0, 0, offset())), "2015-03-07");
    // ISO weeks (German locale): Sunday 28 December 2014 belongs to 2014, Friday 1 January 2016 to 2015.
    DateFormatter iso("YYYY-MM-dd");
    iso.setLocale(Locale("de_DE"));
    EXPECT_EQ(iso.stringFromDate(localTime(2014, 12, 28, 12, 0, 0, offset())), "2014-12-28");
    EXPECT_EQ(iso.stringFromDate(localTime(2014, 12, 29, 12, 0, 0, offset())), "2015-12-29");
    EXPECT_EQ(iso.stringFromDate(localTime(2016, 1, 1, 12, 0, 0, offset())), "2015-01-01");
}

TEST_P(DateFormatterInZone, DeviceZoneIsReadAtEachCall) {
    DateFormatter f = formatter("yyyy-MM-dd HH:mm:ss");
    const Date date = localTime(2014, 12, 29, 17, 7, 2, offset());
    EXPECT_EQ(f.timeZone().name(), GetParam().tz);
    EXPECT_EQ(f.stringFromDate(date), "2014-12-29 17:07:02");
    {
        ScopedEnv other("TZ", "Asia/Tokyo");
        EXPECT_EQ(f.stringFromDate(date), formatter("yyyy-MM-dd HH:mm:ss").stringFromDate(date));
        EXPECT_EQ(f.timeZone().name(), "Asia/Tokyo");
    }
    // A zone of its own wins over the device zone.
    f.setTimeZone(TimeZone::gmt());
    EXPECT_EQ(f.stringFromDate(localTime(2014, 12, 29, 17, 7, 2, 0)), "2014-12-29 17:07:02");
}

TEST_P(DateFormatterInZone, DigitsAreAsciiAndTheCalendarGregorianInEveryLocale) {
    const Date date = localTime(2014, 12, 29, 12, 0, 0, offset());
    for (const char* locale : {"ar_EG", "th_TH", "ja_JP@calendar=japanese"}) {
        DateFormatter f("yyyy-MM-dd");
        f.setLocale(Locale(locale));
        EXPECT_EQ(f.stringFromDate(date), "2014-12-29") << locale;
    }
    DateFormatter chinese("dd MMMM yyyy");
    chinese.setLocale(Locale("zh_CN"));
    EXPECT_EQ(chinese.stringFromDate(date), "29 十二月 2014");
}

// Zones fixed by the formatter itself.

TEST(DateFormatter, Iso8601InGmt) {
    // The ISO 8601 and log formatters: zero seconds from GMT.
    const DateFormatter iso("yyyy'-'MM'-'dd'T'HH':'mm':'ss'Z'", TimeZone::forSecondsFromGMT(0));
    const DateFormatter log("yyyy'-'MM'-'dd' 'HH':'mm':'ss.SSS", TimeZone::forSecondsFromGMT(0));
    const Date date = Date::fromSince1970(1400000000.25);
    EXPECT_EQ(iso.stringFromDate(date), "2014-05-13T16:53:20Z");
    EXPECT_EQ(log.stringFromDate(date), "2014-05-13 16:53:20.250");
    EXPECT_EQ(iso.dateFromString("2014-05-13T16:53:20Z"), Date::fromSince1970(1400000000));
    EXPECT_EQ(iso.dateFromString("2014-05-13T16:53:20+0800"), std::nullopt);
}

TEST(DateFormatter, ZoneNameParsesGmt) {
    // The record import's default pattern, read in UTC; "z" reads "GMT".
    DateFormatter f("yyyy-MM-dd'T'HH:mm:ssz", TimeZone::forSecondsFromGMT(0));
    f.setLocale(Locale("en_US"));
    EXPECT_EQ(f.dateFromString("2014-05-13T16:53:20GMT"), Date::fromSince1970(1400000000));
    EXPECT_EQ(f.dateFromString("2014-05-13T16:53:20GMT+08:00"), Date::fromSince1970(1400000000 - 8 * 3600));
    // A standard-time name reads as standard time, even in May.
    EXPECT_EQ(f.dateFromString("2014-05-13T16:53:20PST"), Date::fromSince1970(1400000000 + 8 * 3600));
    EXPECT_EQ(f.dateFromString("2014-05-13T16:53:20PDT"), Date::fromSince1970(1400000000 + 7 * 3600));
    EXPECT_EQ(f.stringFromDate(Date::fromSince1970(1400000000)), "2014-05-13T16:53:20GMT");
    EXPECT_EQ(f.dateFromString("2014-05-13T16:53:20"), std::nullopt);
}

TEST(DateFormatter, PacificZoneKeepsDaylightSavingTime) {
    // The zone with the abbreviation "PST" is America/Los_Angeles.
    DateFormatter f("yyyy-MM-dd HH:mm:ss", *TimeZone::withAbbreviation("PST"));
    f.setLocale(Locale("en_US"));
    EXPECT_EQ(f.stringFromDate(Date::fromSince1970(1420070400 + 181 * 86400 + 12 * 3600)), "2015-07-01 05:00:00");
    EXPECT_EQ(f.stringFromDate(Date::fromSince1970(1419811200)), "2014-12-28 16:00:00");
    DateFormatter hma("hh:mm aa", *TimeZone::withAbbreviation("PST"));
    hma.setLocale(Locale("en_US"));
    EXPECT_EQ(hma.stringFromDate(Date::fromSince1970(1419811200)), "04:00 PM");
}

TEST(DateFormatter, Styles) {
    DateFormatter f;
    f.setTimeZone(TimeZone::gmt());
    f.setLocale(Locale("en_US"));
    const Date date = Date::fromSince1970(1419811200 + 17 * 3600 + 7 * 60);
    f.setDateStyle(DateFormatter::Style::Long);
    f.setTimeStyle(DateFormatter::Style::Short);
    const std::string longShort = f.stringFromDate(date);
    EXPECT_EQ(longShort.rfind("December 29, 2014", 0), 0u) << longShort;
    EXPECT_NE(longShort.find("5:07"), std::string::npos) << longShort;
    EXPECT_FALSE(f.effectivePattern().empty());
    f.setTimeStyle(DateFormatter::Style::None);
    EXPECT_EQ(f.stringFromDate(date), "December 29, 2014");
    EXPECT_EQ(f.dateFromString("December 29, 2014"), Date::fromSince1970(1419811200));
    f.setDateStyle(DateFormatter::Style::None);
    EXPECT_EQ(f.stringFromDate(date), "");
    f.setDateFormat("yyyy");  // a pattern replaces the styles
    EXPECT_EQ(f.stringFromDate(date), "2014");
}

TEST(DateFormatter, FormattersAreValuesSharedAcrossThreads) {
    // One formatter read from many threads at once: each thread formats with its own ICU objects, and
    // every thread sees exactly the single-threaded output.
    DateFormatter shared("YYYY-MM-dd HH:mm:ss", *TimeZone::named("Asia/Shanghai"));
    shared.setLocale(Locale("en_US"));
    DateFormatter other("dd MMMM yyyy", *TimeZone::withAbbreviation("PST"));
    other.setLocale(Locale("en_US"));
    DateFormatter parser("yyyy-MM-dd HH:mm:ss", *TimeZone::named("America/Los_Angeles"));
    std::vector<Date> dates;
    std::vector<std::string> parseTexts;
    std::vector<std::string> expected;
    std::vector<std::string> expectedOther;
    for (int i = 0; i < 50; ++i) {
        dates.push_back(Date::fromSince1970(1419811200.0 + i * 86399.0));
        expected.push_back(shared.stringFromDate(dates.back()));
        expectedOther.push_back(other.stringFromDate(dates.back()));
        parseTexts.push_back(parser.stringFromDate(dates.back()));
    }
    std::vector<int> failures(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                for (std::size_t i = 0; i < dates.size(); ++i) {
                    if (shared.stringFromDate(dates[i]) != expected[i]) ++failures[t];
                    if (other.stringFromDate(dates[i]) != expectedOther[i]) ++failures[t];
                    if (parser.dateFromString(parseTexts[i]) != dates[i]) ++failures[t];
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    for (const int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
}  // namespace lv
