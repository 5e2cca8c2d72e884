#include "platform/time/time_zone.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/scoped_env.h"

namespace lv {
namespace {

using test::ScopedEnv;

// 2014-12-29 00:00:00 UTC and 2015-07-01 12:00:00 UTC, worked out by hand from 2015-01-01 = 1420070400.
const Date kWinter = Date::fromSince1970(1419811200);
const Date kSummer = Date::fromSince1970(1420070400 + 181 * 86400 + 12 * 3600);

TEST(TimeZone, ByName) {
    const auto shanghai = TimeZone::named("Asia/Shanghai");
    ASSERT_TRUE(shanghai);
    EXPECT_EQ(shanghai->secondsFromGMT(kWinter), 8 * 3600);
    EXPECT_EQ(shanghai->secondsFromGMT(kSummer), 8 * 3600);

    const auto la = TimeZone::named("America/Los_Angeles");
    ASSERT_TRUE(la);
    EXPECT_EQ(la->secondsFromGMT(kWinter), -8 * 3600);
    EXPECT_EQ(la->secondsFromGMT(kSummer), -7 * 3600);
    EXPECT_FALSE(la->isDaylightSavingTime(kWinter));
    EXPECT_TRUE(la->isDaylightSavingTime(kSummer));

    EXPECT_EQ(TimeZone::named("UTC")->secondsFromGMT(kSummer), 0);
    EXPECT_EQ(TimeZone::named("GMT+0800")->secondsFromGMT(kWinter), 8 * 3600);
    EXPECT_EQ(TimeZone::named("GMT+0800")->name(), "GMT+0800");
    EXPECT_EQ(TimeZone::named("EST5EDT")->secondsFromGMT(kWinter), -5 * 3600);
    EXPECT_EQ(TimeZone::named("Mars/Olympus_Mons"), std::nullopt);
    EXPECT_EQ(TimeZone::named(""), std::nullopt);
}

TEST(TimeZone, ByAbbreviation) {
    // "PST" is the Pacific zone, daylight saving time included.
    const auto pst = TimeZone::withAbbreviation("PST");
    ASSERT_TRUE(pst);
    EXPECT_EQ(pst->name(), "America/Los_Angeles");
    EXPECT_EQ(pst->secondsFromGMT(kWinter), -8 * 3600);
    EXPECT_EQ(pst->secondsFromGMT(kSummer), -7 * 3600);
    EXPECT_EQ(pst->abbreviation(kWinter), "PST");
    EXPECT_EQ(pst->abbreviation(kSummer), "PDT");
    EXPECT_EQ(TimeZone::withAbbreviation("GMT")->name(), "GMT");
    EXPECT_EQ(TimeZone::withAbbreviation("JST")->name(), "Asia/Tokyo");
    EXPECT_EQ(TimeZone::withAbbreviation("IST")->secondsFromGMT(kWinter), 19800);
    EXPECT_EQ(TimeZone::withAbbreviation("pst"), std::nullopt);  // exact spelling
    EXPECT_EQ(TimeZone::named("PST")->name(), "America/Los_Angeles");
}

TEST(TimeZone, FixedOffsets) {
    EXPECT_EQ(TimeZone::forSecondsFromGMT(0), TimeZone::gmt());

    // Names of fixed offsets, half and three-quarter hours included.
    const TimeZone minusFiveHalf = TimeZone::forSecondsFromGMT(-19800);
    EXPECT_EQ(minusFiveHalf.name(), "GMT-0530");
    EXPECT_EQ(minusFiveHalf.secondsFromGMT(kWinter), -19800);
    EXPECT_EQ(TimeZone::forSecondsFromGMT(9 * 3600).name(), "GMT+0900");
    EXPECT_EQ(TimeZone::forSecondsFromGMT(20700).secondsFromGMT(kWinter), 20700);  // +05:45
}

TEST(TimeZone, DeviceZoneFollowsTZ) {
    {
        ScopedEnv tz("TZ", "Asia/Shanghai");
        EXPECT_EQ(TimeZone::system().name(), "Asia/Shanghai");
        EXPECT_EQ(TimeZone::defaultTimeZone().name(), "Asia/Shanghai");
    }
    {
        ScopedEnv tz("TZ", ":America/Los_Angeles");
        EXPECT_EQ(TimeZone::system().name(), "America/Los_Angeles");
        EXPECT_EQ(TimeZone::system().secondsFromGMT(kWinter), -8 * 3600);
    }
    {
        ScopedEnv tz("TZ", "/usr/share/zoneinfo/Asia/Kolkata");
        EXPECT_EQ(TimeZone::system().name(), "Asia/Kolkata");
        EXPECT_EQ(TimeZone::system().secondsFromGMT(kWinter), 19800);
    }
    {
        ScopedEnv tz("TZ", "");
        EXPECT_EQ(TimeZone::system().secondsFromGMT(kWinter), 0);
    }
}

TEST(TimeZone, OuterZoneIsSeen) {
    // Whatever TZ the test runs under (CTest runs this binary under several), the device zone is it.
    const char* tz = std::getenv("TZ");
    if (!tz || !*tz) GTEST_SKIP() << "TZ not set";
    std::string name(tz);
    if (name.front() == ':') name.erase(0, 1);
    EXPECT_EQ(TimeZone::system().name(), name);
}

TEST(TimeZone, DefaultZoneOverride) {
    ScopedEnv tz("TZ", "Asia/Shanghai");
    TimeZone::setDefault(TimeZone::withAbbreviation("PST"));
    EXPECT_EQ(TimeZone::defaultTimeZone().name(), "America/Los_Angeles");
    EXPECT_EQ(TimeZone::system().name(), "Asia/Shanghai");
    TimeZone::setDefault(std::nullopt);
    EXPECT_EQ(TimeZone::defaultTimeZone().name(), "Asia/Shanghai");
}

}  // namespace
}  // namespace lv
