#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/device_settings.h"
#include "support/civil_time.h"
#include "content/date_iso8601.h"
#include "content/date_string.h"
#include "platform/base/clock.h"
#include "platform/text/locale.h"
#include "platform/time/date_formatter.h"
#include "platform/time/time_zone.h"

namespace lv {
namespace {

using test::daysFromCivil;
using test::wallClock;

using test::DeviceSettings;

// Two device zones east and west of GMT; the dates used lie in their standard time (March before the
// 8th and December, 2015 and 2014).
struct Zone {
    const char* name;
    int offset;
    const char* pstDay;   // yearMonthDayPSTString of 5 March 2015 09:07:02 local
    const char* pstTime;  // datePSTIncludeHMA of the same
    const char* twentyDaysBefore;  // microblogStyle of the date 1,728,000 s before the fixed now
};

class InZone : public ::testing::TestWithParam<Zone> {
protected:
    DeviceSettings device_{GetParam().name, "en_US"};
    int offset() const { return GetParam().offset; }
    // Thursday 5 March 2015, 09:07:02 local time.
    Date march5() const { return wallClock(2015, 3, 5, 9, 7, 2, offset()); }
    // Monday 29 December 2014, 17:07:02 local time: its week belongs to 2015.
    Date december29() const { return wallClock(2014, 12, 29, 17, 7, 2, offset()); }
};

INSTANTIATE_TEST_SUITE_P(TwoZones, InZone,
                         ::testing::Values(Zone{"Asia/Shanghai", 8 * 3600, "2015-03-04", "05:07 PM", "3 - 7"},
                                           Zone{"America/Los_Angeles", -8 * 3600, "2015-03-05", "09:07 AM", "3 - 6"}),
                         [](const auto& param) { return std::string(param.param.offset > 0 ? "Shanghai" : "LosAngeles"); });

struct FormatRow {
    const char* name;
    std::string (*format)(Date);
    const char* march5;
    const char* december29;
};

// The server cursors and the last-pull label carry the calendar year: on 29 December 2014 the
// week-based year is already 2015, which would send a cursor a year ahead.
TEST_P(InZone, EveryPatternFormatWithTheCalendarYear) {
    ASSERT_EQ(DateFormatter("YYYY").stringFromDate(december29()), "2015");  // the edge is real
    const FormatRow rows[] = {
        {"dayMonthYearString", &DateString::dayMonthYearString, "05 March 2015", "29 December 2014"},
        {"yearMonthDayString", &DateString::yearMonthDayString, "2015-03-05", "2014-12-29"},
        {"dateIncludeYMD", &DateString::dateIncludeYMD, "03/05/2015", "12/29/2014"},
        {"dateIncludeHMA", &DateString::dateIncludeHMA, "09:07 AM", "05:07 PM"},
        {"dateIncludeYMDHMAZ", &DateString::dateIncludeYMDHMAZ, "2015-03-05 9:07 AM", "2014-12-29 5:07 PM"},
        {"dateAllPart", &DateString::dateAllPart, "03/05/15 09:07 AM", "12/29/14 05:07 PM"},
        {"dateServerStyle", &DateString::dateServerStyle, "2015-03-05 09:07:02", "2014-12-29 17:07:02"},
        {"dateServerStyleHanteoDay", &DateString::dateServerStyleHanteoDay, "2015-03-05", "2014-12-29"},
        {"dateServerStyleNaver", &DateString::dateServerStyleNaver, "2015-3-5 09:07:02", "2014-12-29 17:07:02"},
        {"dateChineseStyle", &DateString::dateChineseStyle, "上次更新 3月5日 09:07", "上次更新 12月29日 17:07"},
        {"dateShortStyle", &DateString::dateShortStyle, "March 5, 2015", "December 29, 2014"},
    };
    for (const FormatRow& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.format(march5()), row.march5);
        EXPECT_EQ(row.format(december29()), row.december29);
    }
    EXPECT_EQ(DateString::dateStringAccordingFormat(march5(), "d/M HH"), "5/3 09");
    EXPECT_EQ(DateString::dateLongStyle(march5()).rfind("March 5, 2015 at 9:07", 0), 0u) << DateString::dateLongStyle(march5());
}

// The Pacific forms, then later calls in the device's zone again; day texts read as local midnight.
TEST_P(InZone, PacificTimeFormsAndDayParsing) {
    EXPECT_EQ(DateString::yearMonthDayPSTString(march5()), GetParam().pstDay);
    EXPECT_EQ(DateString::datePSTIncludeHMA(march5()), GetParam().pstTime);
    EXPECT_EQ(DateString::dateIncludeHMA(march5()), "09:07 AM");
    EXPECT_EQ(DateString::dateFromYearMonthDayString("2015-03-05"), wallClock(2015, 3, 5, 0, 0, 0, offset()));
    EXPECT_FALSE(DateString::dateFromYearMonthDayString("2015-03-05 09:07").has_value());
    EXPECT_FALSE(DateString::dateFromYearMonthDayString("March").has_value());
}

TEST_P(InZone, RelativeTimeThresholds) {
    // Now: 27 March 2015 04:00:00 UTC.
    const double now = static_cast<double>(daysFromCivil(2015, 3, 27) * 86400 + 4 * 3600);
    ScopedClock clock([now] { return now; });
    struct Row {
        double ago;
        const char* text;
    };
    const Row rows[] = {
        {0, "1分钟前"},         {-5, "1分钟前"},        {0.5, "1分钟前"},       {1, "1秒前"},
        {59, "59秒前"},         {59.9, "59秒前"},       {60, "1分钟前"},        {3599, "59分钟前"},
        {3600, "1小时前"},      {86399, "23小时前"},    {86400, "1天前"},       {1727999, "19天前"},
        {1728000, GetParam().twentyDaysBefore},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.ago);
        EXPECT_EQ(DateString::microblogStyle(Date::fromSince1970(now - row.ago)), row.text);
    }
}

// Differences beyond 32 bits are clamped before narrowing: a date ~95 years old reads as its month and
// day, one ~95 years ahead as a future date.
TEST_P(InZone, RelativeTimeOfFarDates) {
    const double now = static_cast<double>(daysFromCivil(2015, 3, 27) * 86400);
    ScopedClock clock([now] { return now; });
    EXPECT_EQ(DateString::microblogStyle(wallClock(1920, 6, 15, 12, 0, 0, 0)), "6 - 15");
    EXPECT_EQ(DateString::microblogStyle(Date::fromSince1970(now + 3e9)), "1分钟前");
}

TEST_P(InZone, FormattingFromManyThreadsAtOnce) {
    const Date date = march5();
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                if (DateString::dateServerStyle(date) != "2015-03-05 09:07:02") ++mismatches[t];
                if (DateString::yearMonthDayPSTString(date) != GetParam().pstDay) ++mismatches[t];
                if (DateString::dateServerStyleNaver(date) != "2015-3-5 09:07:02") ++mismatches[t];
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST_P(InZone, Iso8601AndLogTextsAreUtc) {
    const Date date = march5().adding(0.345);
    const std::string utcHour = offset() > 0 ? "01" : "17";
    EXPECT_EQ(DateISO8601::dateAsISO8601String(date), "2015-03-05T" + utcHour + ":07:02Z");
    EXPECT_EQ(DateISO8601::dateAsLogString(date), "2015-03-05 " + utcHour + ":07:02.345");
    EXPECT_EQ(DateISO8601::dateFromISO8601("2015-03-05T01:07:02Z"), wallClock(2015, 3, 5, 1, 7, 2, 0));
    EXPECT_FALSE(DateISO8601::dateFromISO8601("2015-03-05 01:07:02").has_value());
    EXPECT_FALSE(DateISO8601::dateFromISO8601("2015-03-05T01:07:02+0800").has_value());
}

struct SplitRow {
    const char* text;
    const char* month;
    const char* day;
    const char* year;
};

TEST(DateTextSplitting, ShapesAndShortInput) {
    const SplitRow rows[] = {
        {"3/5/2015", "03", "05", "2015"},
        {"12/25/15", "12", "25", "1915"},
        {"03/05/2015", "03", "05", "2015"},
        {"030515", "03", "05", "1915"},
        {"03052015", "03", "05", "2015"},
        {"0305", "03", "05", ""},
        // Outside the accepted shapes: the empty text instead of reading past the end.
        {"3/5", "03", "", ""},
        {"", "", "", ""},
        {"3", "", "", ""},
        {"031", "03", "", ""},
    };
    for (const SplitRow& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(DateString::monthOfDate(row.text), row.month);
        EXPECT_EQ(DateString::dayOfDate(row.text), row.day);
        EXPECT_EQ(DateString::yearOfDate(row.text), row.year);
    }
}

}  // namespace
}  // namespace lv
