#include <cstdint>
#include <functional>
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
    const char* pstDay;            // yearMonthDayPSTString of 5 March 2015 09:07:02 local
    const char* pstTime;           // datePSTIncludeHMA of the same
    const char* utcTime;           // the same in UTC
    const char* twentyDaysBefore;  // microblogStyle of the date 1,728,000 s before the fixed now
};

class InZone : public ::testing::TestWithParam<Zone> {
protected:
    DeviceSettings device_{GetParam().name, "en_US"};
    int offset() const { return GetParam().offset; }
};

INSTANTIATE_TEST_SUITE_P(TwoZones, InZone,
                         ::testing::Values(Zone{"Asia/Shanghai", 8 * 3600, "2015-03-04", "05:07 PM", "01:07:02", "3 - 7"},
                                           Zone{"America/Los_Angeles", -8 * 3600, "2015-03-05", "09:07 AM", "17:07:02", "3 - 6"}),
                         [](const auto& param) { return std::string(param.param.offset > 0 ? "Shanghai" : "LosAngeles"); });

struct FormatRow {
    const char* name;
    std::function<std::string(Date)> format;
    std::string march5;            // of Thursday 5 March 2015, 09:07:02.345 local time
    const char* december29;        // of Monday 29 December 2014, 17:07:02 local, whose week belongs to 2015
};

// The server cursors and the last-pull label carry the calendar year (the week-based year of 29 December
// 2014 is already 2015, which would send a cursor a year ahead); the Pacific forms leave later calls in
// the device's zone; the ISO 8601 and log texts are UTC. Four threads format at once.
TEST_P(InZone, EveryFormatFromManyThreadsAtOnce) {
    const Date march5 = wallClock(2015, 3, 5, 9, 7, 2, offset(), 0.345);
    const Date december29 = wallClock(2014, 12, 29, 17, 7, 2, offset());
    ASSERT_EQ(DateFormatter("YYYY").stringFromDate(december29), "2015");  // the edge is real
    const FormatRow rows[] = {
        {"dayMonthYearString", &DateString::dayMonthYearString, "05 March 2015", "29 December 2014"},
        {"yearMonthDayString", &DateString::yearMonthDayString, "2015-03-05", "2014-12-29"},
        {"dateIncludeYMD", &DateString::dateIncludeYMD, "03/05/2015", "12/29/2014"},
        {"yearMonthDayPSTString", &DateString::yearMonthDayPSTString, GetParam().pstDay, nullptr},
        {"datePSTIncludeHMA", &DateString::datePSTIncludeHMA, GetParam().pstTime, nullptr},
        {"dateIncludeHMA", &DateString::dateIncludeHMA, "09:07 AM", "05:07 PM"},
        {"dateIncludeYMDHMAZ", &DateString::dateIncludeYMDHMAZ, "2015-03-05 9:07 AM", "2014-12-29 5:07 PM"},
        {"dateAllPart", &DateString::dateAllPart, "03/05/15 09:07 AM", "12/29/14 05:07 PM"},
        {"dateServerStyle", &DateString::dateServerStyle, "2015-03-05 09:07:02", "2014-12-29 17:07:02"},
        {"dateServerStyleHanteoDay", &DateString::dateServerStyleHanteoDay, "2015-03-05", "2014-12-29"},
        {"dateServerStyleNaver", &DateString::dateServerStyleNaver, "2015-3-5 09:07:02", "2014-12-29 17:07:02"},
        {"dateChineseStyle", &DateString::dateChineseStyle, "上次更新 3月5日 09:07", "上次更新 12月29日 17:07"},
        {"dateShortStyle", &DateString::dateShortStyle, "March 5, 2015", "December 29, 2014"},
        {"d/M HH", [](Date d) { return DateString::dateStringAccordingFormat(d, "d/M HH"); }, "5/3 09", "29/12 17"},
        {"dateAsISO8601String", &DateISO8601::dateAsISO8601String, "2015-03-05T" + std::string(GetParam().utcTime) + "Z", nullptr},
        {"dateAsLogString", &DateISO8601::dateAsLogString, "2015-03-05 " + std::string(GetParam().utcTime) + ".345", nullptr},
    };
    auto check = [&] {
        for (const FormatRow& row : rows) {
            SCOPED_TRACE(row.name);
            EXPECT_EQ(row.format(march5), row.march5);
            if (row.december29) {
                EXPECT_EQ(row.format(december29), row.december29);
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(check);
    for (auto& t : threads) t.join();
    EXPECT_TRUE(DateString::dateLongStyle(march5).starts_with("March 5, 2015 at 9:07")) << DateString::dateLongStyle(march5);
    // Day texts read as local midnight; ISO 8601 texts as UTC.
    EXPECT_EQ(DateString::dateFromYearMonthDayString("2015-03-05"), wallClock(2015, 3, 5, 0, 0, 0, offset()));
    EXPECT_FALSE(DateString::dateFromYearMonthDayString("2015-03-05 09:07").has_value());
    EXPECT_FALSE(DateString::dateFromYearMonthDayString("March").has_value());
    EXPECT_EQ(DateISO8601::dateFromISO8601("2015-03-05T01:07:02Z"), wallClock(2015, 3, 5, 1, 7, 2, 0));
    EXPECT_FALSE(DateISO8601::dateFromISO8601("2015-03-05 01:07:02").has_value());
    EXPECT_FALSE(DateISO8601::dateFromISO8601("2015-03-05T01:07:02+0800").has_value());
}

// Differences beyond 32 bits are clamped before narrowing: a date ~95 years old reads as its month and
// day, one ~95 years ahead as a future date.
TEST_P(InZone, RelativeTimeThresholds) {
    // Now: 27 March 2015 04:00:00 UTC.
    const double now = static_cast<double>(daysFromCivil(2015, 3, 27) * 86400 + 4 * 3600);
    ScopedClock clock([now] { return now; });
    const std::pair<double, const char*> rows[] = {
        {0, "1分钟前"},      {-5, "1分钟前"},     {0.5, "1分钟前"},     {1, "1秒前"},       {59, "59秒前"},
        {59.9, "59秒前"},    {60, "1分钟前"},     {3599, "59分钟前"},   {3600, "1小时前"},  {86399, "23小时前"},
        {86400, "1天前"},    {1727999, "19天前"}, {1728000, GetParam().twentyDaysBefore},
        {now - wallClock(1920, 6, 15, 12, 0, 0, 0).since1970(), "6 - 15"}, {-3e9, "1分钟前"},
    };
    for (const auto& [ago, text] : rows) EXPECT_EQ(DateString::microblogStyle(Date::fromSince1970(now - ago)), text) << ago;
}

struct SplitRow { const char* text; const char* month; const char* day; const char* year; };

TEST(DateTextSplitting, ShapesAndShortInput) {
    const SplitRow rows[] = {
        {"3/5/2015", "03", "05", "2015"}, {"12/25/15", "12", "25", "1915"}, {"03/05/2015", "03", "05", "2015"},
        {"030515", "03", "05", "1915"},   {"03052015", "03", "05", "2015"}, {"0305", "03", "05", ""},
        // Outside the accepted shapes: the empty text instead of reading past the end.
        {"3/5", "03", "", ""}, {"", "", "", ""}, {"3", "", "", ""}, {"031", "03", "", ""},
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
