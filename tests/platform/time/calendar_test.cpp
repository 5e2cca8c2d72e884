#include "platform/time/calendar.h"

#include <vector>

#include <gtest/gtest.h>

#include "support/scoped_env.h"

namespace lv {
namespace {

using test::ScopedEnv;

// 2015-03-07 09:05:00 UTC (2015-01-01 = 1420070400, plus 65 days).
const Date kMarch7 = Date::fromSince1970(1420070400 + 65 * 86400 + 9 * 3600 + 5 * 60);

TEST(Calendar, ComponentsInAZone) {
    const Calendar utc(TimeZone::gmt(), Locale("en_US"));
    const DateComponents c = utc.components(kMarch7);
    EXPECT_EQ((std::vector<int>{c.year, c.month, c.day, c.hour, c.minute, c.second, c.weekday}),
              (std::vector<int>{2015, 3, 7, 9, 5, 0, 7}));  // a Saturday

    // 2015-03-07 09:05 UTC is 17:05 on the 7th in Shanghai and 01:05 on the 7th in Los Angeles.
    EXPECT_EQ(Calendar(*TimeZone::named("Asia/Shanghai")).components(kMarch7).hour, 17);
    EXPECT_EQ(Calendar(*TimeZone::named("America/Los_Angeles")).components(kMarch7).hour, 1);
    // 20:00 UTC on the 7th is the 8th in Tokyo.
    EXPECT_EQ(Calendar(*TimeZone::named("Asia/Tokyo")).day(kMarch7.adding(11 * 3600)), 8);
    EXPECT_EQ(Calendar(*TimeZone::named("Asia/Tokyo")).month(kMarch7), 3);
}

TEST(Calendar, WeekBasedYear) {
    const Calendar us(TimeZone::gmt(), Locale("en_US"));
    const Date dec29 = Date::fromSince1970(1419811200);  // Monday 29 December 2014
    EXPECT_EQ(us.components(dec29).year, 2014);
    EXPECT_EQ(us.components(dec29).yearForWeekOfYear, 2015);
    EXPECT_EQ(us.components(dec29).weekOfYear, 1);
}

TEST(Calendar, CurrentCalendarUsesTheDeviceZone) {
    ScopedEnv tz("TZ", "Asia/Shanghai");
    EXPECT_EQ(Calendar::current().components(kMarch7).hour, 17);
    ScopedEnv tz2("TZ", "America/Los_Angeles");
    EXPECT_EQ(Calendar::current().components(kMarch7).hour, 1);
}

TEST(Calendar, DateFromComponents) {
    const Calendar shanghai(*TimeZone::named("Asia/Shanghai"));
    DateComponents c;
    c.year = 2015;
    c.month = 3;
    c.day = 7;
    c.hour = 17;
    c.minute = 5;
    EXPECT_EQ(shanghai.date(c), kMarch7);
    c.month = 13;  // rolls into January 2016
    c.day = 1;
    c.hour = 8;
    c.minute = 0;
    EXPECT_EQ(shanghai.date(c), Date::fromSince1970(1451606400));  // 2016-01-01 00:00 UTC
    EXPECT_EQ(shanghai.startOfDay(kMarch7), Date::fromSince1970(1420070400 + 65 * 86400 - 8 * 3600));
}

}  // namespace
}  // namespace lv
