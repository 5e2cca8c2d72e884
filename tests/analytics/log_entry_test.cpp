#include <gtest/gtest.h>

#include <algorithm>

#include "analytics/tally_config.h"
#include "analytics/tally_envelope.h"
#include "analytics/tally_pack.h"
#include "analytics/imprint.h"
#include "platform/base/clock.h"
#include "platform/base/log.h"
#include "upload_test_support.h"

namespace lv {
namespace {

using test::PackFixture;

TEST(LogEntry, EmptyCachesAtLevelZeroWriteEmptyListsBesideTheStartUpRecords) {
    PackFixture f;
    TallyConfig::incrementRequest(true, 40);
    TallyConfig::incrementRequest(false, 0);
    const TPKUALogEntry entry = f.build();
    ASSERT_TRUE(entry.sessions() && entry.instant_msgs());
    EXPECT_TRUE(entry.sessions()->empty());
    EXPECT_TRUE(entry.instant_msgs()->empty());
    ASSERT_TRUE(entry.app_info() && entry.device_info() && entry.misc_info() && entry.activate_msg());
    EXPECT_EQ(entry.app_info()->sdk_type(), 1);
    EXPECT_FALSE(entry.app_info()->wrapper_typeIsSet());
    EXPECT_EQ(entry.device_info()->mac_address(), "02:00:00:00:00:00");
    ASSERT_TRUE(entry.client_stats());
    EXPECT_EQ(entry.client_stats()->successful_requests(), 1);
    EXPECT_EQ(entry.client_stats()->failed_requests(), 1);
    EXPECT_EQ(entry.client_stats()->last_request_spent_ms(), 40);
    EXPECT_FALSE(entry.control_policyIsSet());
    EXPECT_FALSE(entry.active_userIsSet());
    EXPECT_FALSE(entry.group_infoIsSet());
    ASSERT_TRUE(entry.id_tracking());

    f.engine->wrapper = "unity";  // read once, at start-up
    f.restart();
    EXPECT_EQ(f.build().app_info()->wrapper_type(), "unity");
    EXPECT_EQ(f.pack->UALogEntry().app_info()->wrapper_version(), "1.2");
}

TEST(LogEntry, BackOffLevelsThinTheContent) {
    struct Case {
        std::int32_t level;
        std::vector<std::string> calls;
        std::size_t sessions, messages;
    } cases[] = {
        {0, {}, 1, 1},
        {1, {"removeInstanceMsgs"}, 1, 0},
        {7, {"removeInstanceMsgs"}, 1, 0},
        {2, {"removeInstanceMsgs", "removeSessions", "buildDummySession"}, 1, 0},
        {3, {"removeInstanceMsgs", "removeSessions"}, 0, 0},
    };
    for (const auto& c : cases) {
        PackFixture f;
        f.engine->level = c.level;
        f.engine->addSession("s1", 5);
        f.engine->addEvent("s1", "tap");
        const TPKUALogEntry entry = f.build();
        EXPECT_EQ(f.engine->calls, c.calls) << c.level;
        EXPECT_EQ(entry.sessions()->size(), c.sessions) << c.level;
        ASSERT_TRUE(entry.instant_msgs()) << c.level;
        EXPECT_EQ(entry.instant_msgs()->size(), c.messages) << c.level;
        if (c.level == 2) {
            EXPECT_EQ((*entry.sessions())[0].duration(), 60000);
        }
    }
}

TEST(LogEntry, SessionsCarryMillisecondsPagesAndTheLocation) {
    PackFixture f;
    LogCapture capture;
    // 3 s, 2.7 s (whole seconds first), a day-long page (past 32 bits once in milliseconds), a bad entry.
    auto terminate = f.engine->addSession("s1", 12.5,
                                          {Value::array({"A", 3}), Value::array({"B", 2.7}), Value::array({"C", 3000000}),
                                           Value("not a pair"), Value::array({"D"})});
    terminate->ts = 1700000000.25;
    terminate->latitude = 31.5;
    terminate->longitude = 121.25;
    terminate->gps_time = 1700000000000;
    f.engine->addSession("s2", 1);
    const TPKUALogEntry entry = f.build();
    ASSERT_EQ(entry.sessions()->size(), 2u);
    const TPKSession& s = (*entry.sessions())[0];
    EXPECT_EQ(s.id(), "s1");
    EXPECT_EQ(s.start_time(), 1699999987750);
    EXPECT_EQ(s.end_time(), 1700000000250);
    EXPECT_EQ(s.duration(), 12500);
    ASSERT_TRUE(s.pages());
    std::vector<std::pair<std::string, std::int64_t>> pages;
    for (const auto& p : *s.pages()) pages.emplace_back(*p.page_name(), p.duration());
    EXPECT_EQ(pages, (std::vector<std::pair<std::string, std::int64_t>>{{"A", 3000}, {"B", 2000}, {"C", 3000000000}}));
    EXPECT_EQ(capture.count("Exception occurred: "), 2u);
    ASSERT_TRUE(s.locations());
    EXPECT_EQ((*s.locations())[0].lat(), 31.5);
    EXPECT_EQ((*s.locations())[0].ts(), 1700000000000);
    EXPECT_FALSE((*entry.sessions())[1].pagesIsSet());
    EXPECT_FALSE((*entry.sessions())[1].locationsIsSet());
}

TEST(LogEntry, ControlPolicyGroupInfoAndActiveUserFollowTheirSources) {
    struct Case {
        std::int32_t level, latency;
        bool disguised;
        double elapsed;
        bool set;
        std::int64_t interval;
    } cases[] = {
        {0, 0, false, 10, false, 0}, {0, 5, false, 2.5, true, 2500}, {0, 0, true, -1, true, 0},
        {1, 5, true, 10, false, 0},
    };
    for (const auto& c : cases) {
        PackFixture f;
        f.engine->level = c.level;
        f.engine->latencySeconds = c.latency;
        f.engine->disguised = c.disguised;
        f.engine->elapsed = c.elapsed;
        const TPKUALogEntry entry = f.build();
        ASSERT_EQ(entry.control_policyIsSet(), c.set) << c.latency << c.disguised;
        if (c.set) {
            EXPECT_EQ(entry.control_policy()->latent()->latency(), c.latency);
            EXPECT_EQ(entry.control_policy()->latent()->interval(), c.interval);
        }
    }

    PackFixture f;
    TallyConfig::setConfigure(Value::dictionary({{"RPT", 2}}), "tlyExperimentGroupInfo");
    TallyConfig::setConfigure(Value("u-7"), "TLYProfilePUID");
    TallyConfig::setConfigure(Value("microblog"), "TLYProfileProvider");
    TPKUALogEntry entry = f.build();
    EXPECT_EQ(entry.group_info(), (std::map<std::string, std::int32_t>{{"RPT", 2}}));
    EXPECT_EQ(entry.active_user()->puid(), "u-7");
    EXPECT_EQ(entry.active_user()->provider(), "microblog");

    // Integrated test mode keeps group info off the wire; signing off clears the user.
    TPKImprint imprint;
    TPKImprintValue on;
    on.setValue(std::string("1"));
    imprint.setProperty(std::map<std::string, TPKImprintValue>{{"integrated_test", on}});
    imprint.setChecksum(imprintChecksum(imprint));
    storeImprint(imprint);
    TallyConfig::removeConfigureWithKey("TLYProfilePUID");
    entry = f.build();
    EXPECT_FALSE(entry.group_infoIsSet());
    EXPECT_FALSE(entry.active_userIsSet());
    EXPECT_EQ(entry.imprint(), imprint);
}

TEST(LogEntry, TheActivationMessageGoesOutUntilAnEnvelopeWasMade) {
    PackFixture f;
    ScopedClock clock([] { return 1700000000.5; });
    f.restart();
    EXPECT_EQ(f.build().activate_msg()->ts(), 1700000000500);
    f.pack->setActivateMsgFlag();
    EXPECT_EQ(TallyConfig::configureWithKey("tlyActivateMsg").longLongValue(), 1700000000500);
    EXPECT_FALSE(f.build().activate_msgIsSet());
    f.restart();
    EXPECT_FALSE(f.build().activate_msgIsSet());
    f.pack->setActivateMsgFlag();  // nothing to clear
    EXPECT_EQ(TallyConfig::configureWithKey("tlyActivateMsg").longLongValue(), 1700000000500);
}

TEST(InstantMessages, ItemsGroupByTheLastMessageOfTheirSession) {
    struct Case {
        bool withError;
        // Per message: session id, events, errors.
        std::vector<std::tuple<std::string, std::size_t, std::size_t>> expected;
    } cases[] = {
        {false, {{"s1", 3, 0}}},
        {true, {{"s1", 2, 0}, {"s1", 1, 1}}},
    };
    for (const auto& c : cases) {
        PackFixture f;
        f.engine->addEvent("s1", "a", "x");
        f.engine->addEvent("s1", "b");
        if (c.withError) f.engine->addError("s1", "boom");
        f.engine->addEkv("s1", "k", Dictionary{{"p", Value("v")}});
        const TPKUALogEntry entry = f.build();
        std::vector<std::tuple<std::string, std::size_t, std::size_t>> got;
        for (const auto& m : *entry.instant_msgs()) {
            got.emplace_back(*m.id(), m.events() ? m.events()->size() : 0, m.errors() ? m.errors()->size() : 0);
        }
        EXPECT_EQ(got, c.expected) << c.withError;
    }
}

TEST(InstantMessages, RecordsConvertFromTheCachedItems) {
    PackFixture f;
    auto event = f.engine->addEvent("s1", "newsTab");
    event->ts = 1700000000.123;
    event->acc = 3;
    event->du = 250;
    auto error = f.engine->addError("s2", "trace");
    error->ts = 1700000001;
    f.engine->addEkv("s3", "buy", Dictionary{{"item", Value("hat")}, {"n", Value(7)}, {"when", Value(Date::fromSince1970(5))}});
    f.engine->addEkv("s4", "level", Dictionary{{"stage", Value("2")}}, true);
    const TPKUALogEntry entry = f.build();
    const auto& messages = *entry.instant_msgs();
    ASSERT_EQ(messages.size(), 4u);

    const TPKEvent& tap = (*messages[0].events())[0];
    EXPECT_EQ(tap.name(), "newsTab");
    EXPECT_EQ(tap.properties()->at("newsTab").string_value(), "");  // no label
    EXPECT_EQ(tap.acc(), 3);
    EXPECT_EQ(tap.duration(), 250);
    EXPECT_EQ(tap.ts(), 1700000000123);

    EXPECT_EQ((*messages[1].errors())[0].context(), "trace");
    EXPECT_EQ((*messages[1].errors())[0].ts(), 1700000001000);
    EXPECT_FALSE((*messages[1].errors())[0].sourceIsSet());

    const auto& props = *(*messages[2].events())[0].properties();
    EXPECT_EQ(props.at("item").string_value(), "hat");
    EXPECT_EQ(props.at("n").long_value(), 7);
    EXPECT_FALSE(props.at("n").string_valueIsSet());
    EXPECT_FALSE(props.at("when").string_valueIsSet() || props.at("when").long_valueIsSet());
    EXPECT_FALSE((*messages[2].events())[0].accIsSet());

    // A game item lists its message but sends no event.
    EXPECT_EQ(messages[3].id(), "s4");
    EXPECT_TRUE(messages[3].events()->empty());
}

// The wire count is 32 bits: larger counts saturate rather than wrap (2^40 would read as 0).
TEST(InstantMessages, CountsSaturateAtThe32BitWireRange) {
    struct Case {
        std::int64_t acc;
        std::int32_t sent;
    } cases[] = {
        {1, 1},
        {std::int64_t{1} << 40, INT32_MAX},
        {-(std::int64_t{1} << 40), INT32_MIN},
        {INT32_MAX, INT32_MAX},
        {std::int64_t{INT32_MAX} + 1, INT32_MAX},
    };
    for (const auto& c : cases) {
        TLYEvent event;
        event.event_id = "e";
        event.acc = c.acc;
        EXPECT_EQ(TallyPack::eventFromEvent(event).acc(), c.sent) << c.acc;
    }
}

TEST(SizeCaps, OverACapTheOldestEventsGoAndSessionsAndCrashReportsStay) {
    ScopedClock clock([] { return 1700000000.0; });
    PackFixture f;
    auto fill = [&f] {
        f.engine->addSession("s1", 30);
        f.engine->addError("s1", "crash");
        for (int i = 0; i < 100; ++i) f.engine->addEvent("s1", "e" + std::to_string(i), std::string(200, static_cast<char>('a' + i % 26)));
    };
    fill();
    const std::size_t raw = f.pack->toData()->size();
    const std::size_t deflated = f.pack->entityData()->size();
    EXPECT_EQ(TallyEnvelope::sharedInstance()->length(), static_cast<std::int32_t>(raw));
    f.engine->removeCacheData();

    struct Case {
        const char* name;
        TallyPack::SizeCaps caps;
        bool trimmed;
    } cases[] = {
        {"under both", {raw + 1, deflated + 1}, false},
        {"at the raw cap", {raw, deflated + 1}, true},
        {"at the deflated cap", {raw + 1, deflated}, true},
        {"half the raw size", {raw / 2, deflated + 1}, true},
        {"a third of the deflated size", {raw + 1, deflated / 3}, true},
        {"defaults", {}, false},  // 4 MiB raw, 205 KiB deflated
    };
    for (const auto& c : cases) {
        fill();
        f.engine->calls.clear();
        f.pack->setSizeCaps(c.caps);
        const auto entity = f.pack->entityData();
        ASSERT_TRUE(entity.has_value()) << c.name;
        EXPECT_LT(entity->size(), c.caps.deflatedBytes) << c.name;
        EXPECT_LT(static_cast<std::size_t>(TallyEnvelope::sharedInstance()->length()), c.caps.rawBytes) << c.name;
        const auto& calls = f.engine->calls;
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "removeCacheData"), 0) << c.name;
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "removeOldestEvents") > 0, c.trimmed) << c.name;
        // The session and the crash report stay; the events left are the newest.
        EXPECT_EQ(f.engine->terminates().size(), 1u) << c.name;
        EXPECT_EQ(f.engine->errors().size(), 1u) << c.name;
        const auto events = f.engine->events();
        ASSERT_FALSE(events.empty()) << c.name;
        EXPECT_EQ(events.back()->event_id, "e99") << c.name;
        EXPECT_EQ(events.size() < 100, c.trimmed) << c.name;
        f.engine->removeCacheData();
    }

    // Sessions alone over the cap: nothing can go, so the caches are dropped as before.
    f.engine->addSession("s1", 30, Array(2000, Value::array({Value(std::string(100, 'p')), Value(1)})));
    f.engine->addEvent("s1", "tap");
    f.engine->calls.clear();
    f.pack->setSizeCaps({4096, 205 * 1024});
    EXPECT_FALSE(f.pack->entityData().has_value());
    EXPECT_EQ(f.engine->calls.back(), "removeCacheData");
    EXPECT_TRUE(f.engine->terminates().empty());
}

}  // namespace
}  // namespace lv
