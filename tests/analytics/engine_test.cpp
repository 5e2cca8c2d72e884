#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>

#include "analytics/tally_event.h"
#include "analytics/tally_utility.h"
#include "engine_test_support.h"
#include "platform/base/clock.h"
#include "platform/base/log.h"
#include "platform/storage/keyed_archive.h"
#include "platform/storage/property_list.h"
#include "platform/ui/application.h"

namespace lv {
namespace {

using test::drainMain;
using test::relaunch;

class Engine : public test::EngineLaunch {};
class CacheArchive : public test::EngineLaunch {};
class TimedEvents : public test::EngineLaunch {};

std::vector<std::string> eventIds(const TallyInternal::ItemList& items) {
    std::vector<std::string> ids;
    for (const auto& item : items) {
        if (auto event = std::dynamic_pointer_cast<TLYEvent>(item)) ids.push_back(event->event_id);
        if (auto ekv = std::dynamic_pointer_cast<TLYEkv>(item)) ids.push_back(ekv->id);
    }
    return ids;
}

TEST_F(Engine, ItemsBeforeTheFirstSessionWaitThenMoveIntoTheirCaches) {
    test::setNetwork(false);  // offline the session begin sends nothing: the items stay cached
    TallyEvent::event(Value("early"));
    TallyEvent::eventAttributes(Value("keyed"), Value::dictionary({{"k", Value("v")}}));
    drainMain();
    EXPECT_EQ(engine()->tmpContainer().size(), 2u);
    EXPECT_TRUE(engine()->events().empty());
    const std::string firstID = engine()->sessionID();

    beginFirstSession();
    EXPECT_TRUE(engine()->tmpContainer().empty());
    EXPECT_EQ(eventIds(engine()->events()), std::vector<std::string>{"early"});
    EXPECT_EQ(eventIds(engine()->ekv()), std::vector<std::string>{"keyed"});
    EXPECT_EQ(engine()->events()[0]->session_id, firstID);
    EXPECT_EQ(engine()->sessionID(), firstID);  // the first session keeps the engine's id

    // In the background items wait in the temporary container again.
    session()->setAppInBackGround(true);
    TallyEvent::event(Value("late"));
    drainMain();
    EXPECT_EQ(engine()->tmpContainer().size(), 1u);
}

TEST_F(Engine, WorkItemsAreAlwaysQueuedNeverRunInline) {
    beginFirstSession();
    TallyEvent::event(Value("queued"));
    EXPECT_TRUE(engine()->events().empty());
    drainMain();
    EXPECT_EQ(engine()->events().size(), 1u);

    LogCapture capture;
    TLYWorkDispatch::sendEvent(Value(), 42);
    drainMain();
    EXPECT_TRUE(capture.contains("TLYLOG: WARNING: unkown event type"));
}

TEST_F(Engine, EventLimitCountsSentAndCachedEventsPerEightHours) {
    const double start = currentTimeSince1970();
    double now = start;
    ScopedClock clock([&now] { return now; });
    beginFirstSession();
    TallyConfig::setConfigure(Value(start), "tlySeparatedTime");
    TallyConfig::setConfigure(Value(4990), "tlyPeriodEvtCount");
    for (int i = 0; i < 11; ++i) TallyEvent::event(Value("e"));
    LogCapture capture;
    drainMain();
    EXPECT_EQ(engine()->events().size(), 10u);
    EXPECT_TRUE(capture.contains("WARNING event max count 5000 per 8 hours."));

    now = start + 28801;
    TallyEvent::event(Value("e"));
    drainMain();
    EXPECT_EQ(engine()->events().size(), 11u);
    EXPECT_EQ(TallyConfig::configureWithKey("tlyPeriodEvtCount").intValue(), 0);
    EXPECT_EQ(TallyConfig::configureWithKey("tlySeparatedTime").doubleValue(), now);
}

// A period start ahead of now (a launch with the clock once set ahead) opens a new period rather than
// holding the count until that date.
TEST_F(Engine, APeriodStartInTheFutureOpensANewPeriod) {
    const double now = 1'700'000'000;
    ScopedClock clock([now] { return now; });
    beginFirstSession();
    for (const double ahead : {0.5, 3600.0, 28801.0, 5 * 365 * 86400.0}) {
        TallyConfig::setConfigure(Value(now + ahead), "tlySeparatedTime");
        TallyConfig::setConfigure(Value(5000), "tlyPeriodEvtCount");
        const std::size_t before = engine()->events().size();
        TallyEvent::event(Value("e"));
        drainMain();
        EXPECT_EQ(engine()->events().size(), before + 1) << ahead;
        EXPECT_EQ(TallyConfig::configureWithKey("tlySeparatedTime").doubleValue(), now) << ahead;
    }
}

// Page views and timed events last what the monotonic clock says, whatever the wall clock is set to
// meanwhile; the items keep their wall-clock stamps.
TEST_F(Engine, AWallClockStepInsideAPageOrTimedEventMovesNoDuration) {
    double wall = 1'700'000'000;
    double steady = 5'000;
    ScopedClock clock([&wall] { return wall; });
    setMonotonicClockOverride([&steady] { return steady; });
    beginFirstSession();
    const struct {
        double step, played;
        int page;
        std::int64_t du;
    } cases[] = {{-3600, 5, 5, 5000}, {86400, 1.8, 1, 1800}};
    for (const auto& c : cases) {
        const double began = wall;
        TallyEvent::beginLogPageView(Value("p"));
        TallyEvent::beginEvent(Value("timed"));
        TallyEvent::beginEvent(Value("keyed"), Value("key"), Value::dictionary({{"k", Value("v")}}));
        drainMain();
        wall += c.step;
        steady += c.played;
        TallyEvent::endLogPageView(Value("p"));
        TallyEvent::endEvent(Value("timed"));
        TallyEvent::endEventPrimarykey(Value("keyed"), Value("key"));
        drainMain();
        ASSERT_FALSE(engine()->pageItems().empty()) << c.step;
        EXPECT_EQ(engine()->pageItems().back(), Value::array({Value("p"), Value(c.page)})) << c.step;
        ASSERT_EQ(engine()->events().size(), 1u) << c.step;
        ASSERT_EQ(engine()->ekv().size(), 1u) << c.step;
        EXPECT_EQ(std::dynamic_pointer_cast<TLYEvent>(engine()->events()[0])->du, c.du);
        EXPECT_EQ(std::dynamic_pointer_cast<TLYEkv>(engine()->ekv()[0])->du, c.du);
        EXPECT_EQ(engine()->events()[0]->ts, began);
        engine()->removeCacheData();
    }
    setMonotonicClockOverride(nullptr);
}

TEST_F(Engine, PagesAreTimedInWholeSecondsAndEndedOnce) {
    double now = 1'700'000'000;
    ScopedClock clock([&now] { return now; });
    beginFirstSession();
    struct Case {
        const char* name;
        std::vector<double> beginsAt;  // seconds from now
        double endAt;
        std::optional<int> recorded;
    } cases[] = {
        {"short", {0}, 0.8, std::nullopt},   // under a second: no pair, the begin is cleared
        {"twice", {0, 3}, 5.5, 2},           // a second begin replaces the first
        {"long", {0}, 61.9, 61},
    };
    for (const auto& c : cases) {
        const double base = now;
        for (double at : c.beginsAt) {
            now = base + at;
            TallyEvent::beginLogPageView(Value(c.name));
            drainMain();
        }
        now = base + c.endAt;
        const std::size_t before = engine()->pageItems().size();
        TallyEvent::endLogPageView(Value(c.name));
        TallyEvent::endLogPageView(Value(c.name));  // an end without a begin is ignored
        drainMain();
        EXPECT_FALSE(engine()->pageItemsHash().contains(c.name)) << c.name;
        if (c.recorded) {
            ASSERT_EQ(engine()->pageItems().size(), before + 1) << c.name;
            EXPECT_EQ(engine()->pageItems().back(), Value::array({Value(c.name), Value(*c.recorded)}));
        } else {
            EXPECT_EQ(engine()->pageItems().size(), before) << c.name;
        }
    }
    TallyEvent::logPageView(Value("given"), 7);
    TallyEvent::logPageView(Value("zero"), 0);
    drainMain();
    EXPECT_EQ(engine()->pageItems().back(), Value::array({Value("given"), Value(7)}));

    // The session-end item takes the pairs and the location, each once.
    TallyLocation::setLatitude(31.5, 121.25);
    engine()->stopSession(12);
    const auto item = std::dynamic_pointer_cast<TLYTerminate>(engine()->terminates().back());
    ASSERT_TRUE(item);
    EXPECT_EQ(item->pageViews.size(), 3u);
    EXPECT_EQ(item->latitude, 31.5);
    EXPECT_EQ(item->gps_time, static_cast<std::int64_t>(now * 1000));
    EXPECT_TRUE(engine()->pageItems().empty());
    EXPECT_EQ(TallyLocation::sharedInstance()->latitude(), 0);
}

TEST_F(Engine, SessionEndItemKeepsTheIdOfTheSessionThatEnded) {
    TallyApp::sharedInstance()->setBackgroundTaskEnabledFlag(true);
    beginFirstSession();
    const std::string ending = engine()->sessionID();
    session()->appInactivate(nullptr);  // queues the session end
    session()->appActivate(nullptr);    // a quick re-activation renews the id first
    drainMain();
    EXPECT_NE(engine()->sessionID(), ending);
    // Archived by the session end, then reloaded by the next session begin.
    ASSERT_EQ(engine()->terminates().size(), 1u);
    EXPECT_EQ(engine()->terminates()[0]->session_id, ending);
}

TEST_F(Engine, QueuedSessionEndEndsTheBackgroundTaskWhenNoUploadRuns) {
    auto app = TallyApp::sharedInstance();
    app->setBackgroundTaskEnabledFlag(true);
    beginFirstSession();  // policy 1: the begin's upload run fails against the closed port
    finishUploads();
    ASSERT_FALSE(TallyJob::sharedInstance()->jobRunning());
    session()->appInactivate(nullptr);
    EXPECT_NE(app->backgroundTaskIdentifier(), kBackgroundTaskInvalid);
    drainMain();
    EXPECT_EQ(app->backgroundTaskIdentifier(), kBackgroundTaskInvalid);
}

TEST_F(Engine, SignInAndSignOffSplitTheSessionOncePerChange) {
    test::setNetwork(false);  // offline nothing is posted: each closed session stays in its envelope file
    beginFirstSession();
    const std::string first = engine()->sessionID();
    struct Step {
        std::function<void()> call;
        std::size_t sessionsClosed;  // cumulative; each closed session is written to an envelope file
        const char* storedPuid;       // nullptr: none
    } steps[] = {
        {[] { TallySession::profileSignOff(); }, 0, nullptr},  // nobody signed in
        {[] { TallySession::profileSignInPUID("user"); }, 1, "user"},
        {[] { TallySession::profileSignInPUID("user", ""); }, 1, "user"},  // the same "_adhoc" user
        {[] { TallySession::profileSignInPUID("user", "other"); }, 2, "user"},
        {[] { TallySession::profileSignInPUID(std::string(65, 'p')); }, 2, "user"},
        {[] { TallySession::profileSignInPUID("x", std::string(33, 'p')); }, 2, "user"},
        {[] { TallySession::profileSignInPUID("   "); }, 2, "user"},
        {[] { TallySession::profileSignInPUID(std::string(64, 'p')); }, 3, nullptr},
        {[] { TallySession::profileSignOff(); }, 4, nullptr},
    };
    int index = 0;
    for (const auto& step : steps) {
        step.call();
        drainMain();
        EXPECT_EQ(TallyUtility::envelopeFiles().size(), step.sessionsClosed) << index;
        EXPECT_TRUE(engine()->terminates().empty()) << index;
        if (step.storedPuid) {
            EXPECT_EQ(TallyConfig::configureWithKey("TLYProfilePUID"), Value(step.storedPuid)) << index;
        }
        ++index;
    }
    EXPECT_TRUE(TallyConfig::configureWithKey("TLYProfilePUID").isNil());
    EXPECT_EQ(session()->sessionStatus(), 1);
    EXPECT_NE(engine()->sessionID(), first);
}

// ---- Cache archive ----

TEST_F(CacheArchive, CachesSurviveARelaunchAndTheFileGoesWithTheirEnvelope) {
    beginFirstSession();
    TallyEvent::event(Value("counted"), std::int64_t{1} << 40);
    TallyEvent::eventAttributes(Value("keyed"), Value::dictionary({{"k", Value("v")}}));
    drainMain();
    session()->appInactivate(nullptr);  // background work off: archived at once
    const std::string path = TallyUtility::cacheFilePath();
    const Value root = dictionaryWithContentsOfFile(path);
    ASSERT_TRUE(root.isDictionary());
    EXPECT_EQ(root.dictionary().keys(), std::vector<std::string>{"body"});
    EXPECT_EQ(root["body"].dictionary().keys(), (std::vector<std::string>{"ekv", "event", "terminate"}));
    EXPECT_TRUE(engine()->events().empty());

    relaunch();
    beginFirstSession();  // the first launch's activation envelope is still there: no new one yet
    ASSERT_EQ(eventIds(engine()->events()), std::vector<std::string>{"counted"});
    EXPECT_EQ(std::dynamic_pointer_cast<TLYEvent>(engine()->events()[0])->acc, std::int64_t{1} << 40);
    EXPECT_EQ(eventIds(engine()->ekv()), std::vector<std::string>{"keyed"});
    EXPECT_EQ(engine()->terminates().size(), 1u);
    // Loaded but in no envelope yet: the archive stays and follows the caches.
    EXPECT_TRUE(engine()->archiveFollowsCaches());
    EXPECT_EQ(dictionaryWithContentsOfFile(path)["body"].dictionary().keys(),
              (std::vector<std::string>{"ekv", "event", "terminate"}));
    TallyEvent::event(Value("second"));
    drainMain();
    relaunch();  // as after a kill: nothing saved the caches, the batch write did
    engine()->loadCache();
    EXPECT_EQ(eventIds(engine()->events()), (std::vector<std::string>{"counted", "second"}));

    engine()->generateEnvelopeFile();
    EXPECT_TRUE(engine()->events().empty());
    EXPECT_FALSE(TallyUtility::isExistAtPath(path));  // its items are in the envelope file
}

TEST_F(CacheArchive, ShortOrDamagedEntriesAreSkipped) {
    const Bytes good = KeyedArchiver::archivedDataWithRootObject(Value(Array{Value(makeRef<TLYTerminate>(5.0))}));
    struct Case {
        const char* name;
        Bytes eventData;
    } cases[] = {{"ten bytes", Bytes(10, 'x')}, {"damaged", Bytes(64, 'x')}};
    const std::string path = TallyUtility::cacheFilePath();
    for (const auto& c : cases) {
        const Value root = Value::dictionary(
            {{"body", Value::dictionary({{"event", Value(c.eventData)}, {"terminate", Value(good)}})}});
        ASSERT_TRUE(writePropertyListToFile(root, path, true));
        engine()->loadCache();
        EXPECT_TRUE(engine()->events().empty()) << c.name;
        EXPECT_EQ(engine()->terminates().size(), 1u) << c.name;
        // The next write keeps what was read and drops the bad entry.
        engine()->writeArchive();
        EXPECT_EQ(dictionaryWithContentsOfFile(path)["body"].dictionary().keys(), std::vector<std::string>{"terminate"})
            << c.name;
        engine()->saveAndCleanCache();
        TallyUtility::removeFile(path);
    }
    // A file that is no archive at all is not read twice.
    std::ofstream(path) << "damaged";
    engine()->loadCache();
    EXPECT_FALSE(TallyUtility::isExistAtPath(path));
}

TEST_F(CacheArchive, CrashReportsReloadOnlyUnderTheVersionThatRecordedThem) {
    struct Case {
        std::optional<const char*> recordedUnder;
        const char* running;
        std::size_t reloaded;
    } cases[] = {{"1.0", "1.0", 1}, {"1.0", "1.1", 0}, {"ABC", "abc", 1}, {std::nullopt, "1.0", 0}};
    for (const auto& c : cases) {
        auto error = makeRef<TLYError>();
        error->context = "report";
        const Bytes data = KeyedArchiver::archivedDataWithRootObject(Value(Array{Value(error)}));
        ASSERT_TRUE(writePropertyListToFile(Value::dictionary({{"body", Value::dictionary({{"error", Value(data)}})}}),
                                            TallyUtility::cacheFilePath(), true));
        if (c.recordedUnder) {
            TallyConfig::setConfigure(Value(*c.recordedUnder), "TLYAppVersion");
        } else {
            TallyConfig::removeConfigureWithKey("TLYAppVersion");
        }
        TallyApp::sharedInstance()->setAppVersionText(c.running);
        engine()->loadCache();
        EXPECT_EQ(engine()->errors().size(), c.reloaded) << c.running;
        relaunch();  // a launch reads the archive once: the caches hold it from then on
    }
}

TEST_F(CacheArchive, NothingWrittenKeepsTheCachesAndEmptyCachesRemoveTheFile) {
    test::setNetwork(false);
    beginFirstSession();
    TallyEvent::event(Value("kept"));
    drainMain();
    // A plain file takes the envelope folder's place: the writer can save no envelope.
    const std::string folder = TallyUtility::tallyDirectory();
    std::filesystem::remove_all(folder);
    std::ofstream(folder) << "x";
    engine()->generateEnvelopeFile();
    EXPECT_EQ(engine()->events().size(), 1u);
    EXPECT_TRUE(TallyConfig::configureWithKey("tlyPeriodEvtCount").isNil());
    EXPECT_TRUE(TallyConfig::configureWithKey("tlyActivateMsg").isNil());

    std::ofstream(TallyUtility::cacheFilePath()) << "stale";
    engine()->removeCacheData();
    engine()->buildDummySession();
    engine()->removeSessions();
    engine()->archiveCacheToFile();
    EXPECT_FALSE(TallyUtility::isExistAtPath(TallyUtility::cacheFilePath()));
}

void writeEnvelope(const std::string& path, std::size_t size, double ageSeconds) {
    std::ofstream(path) << std::string(size, 'e');
    const double when = currentTimeSince1970() - ageSeconds;
    struct timeval times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(when);
    times[0].tv_usec = times[1].tv_usec = 0;
    ASSERT_EQ(::utimes(path.c_str(), times), 0);
}

TEST_F(CacheArchive, EnvelopeFilesAreCheckedAndCutToTheNewestTen) {
    const double now = std::floor(currentTimeSince1970());
    ScopedClock clock([now] { return now; });
    const std::string dir = TallyUtility::tallyDirectory();
    struct Case {
        const char* name;
        std::size_t size;
        double age;
        bool kept;
    } cases[] = {
        {"1_envelope.log", 10, 100, false},       {"2_envelope.log", 11, 100, true},
        {"3_envelope.log", 262143, 100, true},    {"4_envelope.log", 262144, 100, false},
        {"5_envelope.log", 50, 1209600, true},    {"6_envelope.log", 50, 1209601, false},
    };
    std::vector<std::string> paths;
    for (const auto& c : cases) {
        paths.push_back(dir + "/" + c.name);
        writeEnvelope(paths.back(), c.size, c.age);
    }
    paths.push_back(dir + "/missing_envelope.log");
    TallyInternal::validateEnvelopeFiles(paths);
    for (const auto& c : cases) EXPECT_EQ(TallyUtility::isExistAtPath(dir + "/" + c.name), c.kept) << c.name;
    EXPECT_EQ(paths, (std::vector<std::string>{dir + "/5_envelope.log", dir + "/2_envelope.log", dir + "/3_envelope.log"}));
    for (const auto& path : paths) TallyUtility::removeFile(path);

    for (int i = 0; i < 12; ++i) writeEnvelope(dir + "/" + std::to_string(100 + i) + "_envelope.log", 20, 1000 - i);
    beginFirstSession();  // policy 1 commits at the session begin
    EXPECT_FALSE(TallyUtility::isExistAtPath(dir + "/100_envelope.log"));
    EXPECT_FALSE(TallyUtility::isExistAtPath(dir + "/101_envelope.log"));
    EXPECT_EQ(TallyUtility::envelopeFiles().size(), 10u);
    engine()->sendLogQueue()->waitUntilAllOperationsAreFinished();
    EXPECT_FALSE(TallyJob::sharedInstance()->jobRunning());
}

// ---- Timed events ----

TEST_F(TimedEvents, EventIdsAndAttributesAreCheckedBeforeSending) {
    beginFirstSession();
    struct Case {
        std::string id;
        bool accepted;
    } ids[] = {{std::string(128, 'a'), true}, {std::string(129, 'a'), false}, {"   ", false}, {"", false},
               {[] { std::string s; for (int i = 0; i < 43; ++i) s += "\xe4\xb8\xad"; return s; }(), false}};
    for (const auto& c : ids) EXPECT_EQ(TallyEvent::validEventID(Value(c.id)), c.accepted) << c.id;
    LogCapture capture;
    EXPECT_FALSE(TallyEvent::validEventID(Value(std::string(129, 'a'))));
    EXPECT_TRUE(capture.contains("TLYLOG: (Warning) event_id (" + std::string(129, 'a') + ") max bytes length > 128"));

    Dictionary twelve, elevenWithCounter;
    for (int i = 0; i < 12; ++i) twelve.set(format("k%02d", i), Value("v"));
    for (int i = 0; i < 10; ++i) elevenWithCounter.set(format("k%02d", i), Value("v"));
    elevenWithCounter.set("__ct__", Value("3"));
    TallyEvent::eventAttributes(Value("twelve"), Value(twelve));
    TallyEvent::eventAttributes(Value("counter"), Value(elevenWithCounter));
    TallyEvent::eventAttributes(Value("reserved"), Value::dictionary({{"du", Value("1")}, {"k", Value("v")}}));
    TallyEvent::eventDurations(Value("negative"), -5);
    TallyEvent::eventDurations(Value("too long"), 7200000);
    TallyEvent::eventDurations(Value("longest"), 7199999);
    drainMain();
    ASSERT_EQ(eventIds(engine()->ekv()), (std::vector<std::string>{"twelve", "counter"}));
    EXPECT_EQ(std::dynamic_pointer_cast<TLYEkv>(engine()->ekv()[0])->values.size(), 10u);
    EXPECT_EQ(std::dynamic_pointer_cast<TLYEkv>(engine()->ekv()[1])->values.size(), 11u);
    EXPECT_EQ(eventIds(engine()->events()), std::vector<std::string>{"longest"});
}

TEST_F(TimedEvents, TheNewestBeginIsRecordedFirst) {
    double now = 1'700'000'000;
    ScopedClock clock([&now] { return now; });
    beginFirstSession();
    struct Step {
        double at;
        std::function<void()> call;
    } steps[] = {
        {0, [] { TallyEvent::endEvent(Value("solo")); }},  // no begin: nothing
        {0, [] { TallyEvent::beginEvent(Value("e")); }},
        {1, [] { TallyEvent::beginEvent(Value("e"), Value("  ")); }},  // a blank label: timed under the id
        {3, [] { TallyEvent::endEvent(Value("e")); }},
        {4, [] { TallyEvent::endEvent(Value("e")); }},
        {5, [] { TallyEvent::endEvent(Value("e")); }},  // the list is empty now
    };
    const double base = now;
    for (const auto& step : steps) {
        now = base + step.at;
        step.call();
        drainMain();
    }
    std::vector<std::pair<std::int64_t, std::string>> recorded;
    for (const auto& item : engine()->events()) {
        const auto& event = dynamic_cast<const TLYEvent&>(*item);
        recorded.emplace_back(event.du, event.label);
    }
    EXPECT_EQ(recorded, (std::vector<std::pair<std::int64_t, std::string>>{{2000, ""}, {4000, ""}}));
}

TEST_F(TimedEvents, DurationsOutsideTheRangeAreDropped) {
    double now = 1'700'000'000;
    ScopedClock clock([&now] { return now; });
    beginFirstSession();
    const Value attributes = Value::dictionary({{"k", Value("v")}});
    struct Case {
        const char* name;
        double after;  // seconds between begin and end
        bool recorded;
    } cases[] = {
        {"clock back", -5, false},
        {"just under two hours", 7199.999, true},
        {"two hours", 7200, false},
        {"wraps at 32 bits", 4294967.296 + 1, false},  // 1 s once cut to 32 bits
    };
    for (const auto& c : cases) {
        const double base = now;
        TallyEvent::beginEvent(Value(c.name));
        TallyEvent::beginEvent(Value(c.name), Value("key"), attributes);
        drainMain();
        now = base + c.after;
        TallyEvent::endEvent(Value(c.name));
        TallyEvent::endEventPrimarykey(Value(c.name), Value("key"));
        drainMain();
        now = base;
        const std::size_t expected = c.recorded ? 1 : 0;
        EXPECT_EQ(engine()->events().size(), expected) << c.name;
        EXPECT_EQ(engine()->ekv().size(), expected) << c.name;
        engine()->removeCacheData();
    }
    EXPECT_EQ(engine()->pendingTimedEvents(), 0u);
    // Timed events in progress are dropped with the caches, as the client always did.
    TallyEvent::beginEvent(Value("open"));
    drainMain();
    engine()->removeCacheData();
    TallyEvent::endEvent(Value("open"));
    drainMain();
    EXPECT_TRUE(engine()->events().empty());
}

}  // namespace
}  // namespace lv
