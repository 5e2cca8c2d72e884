#include <gtest/gtest.h>

#include <regex>

#include "analytics/analytics_log.h"
#include "analytics/items.h"
#include "platform/base/clock.h"
#include "platform/base/log.h"
#include "platform/runtime/runtime.h"

namespace lv {
namespace {

template <class T>
Ref<T> roundTrip(const Ref<T>& item) {
    const Bytes archive = KeyedArchiver::archivedDataWithRootObject(Value(item));
    return KeyedUnarchiver::unarchiveObjectWithData(archive).template objectAs<T>();
}

class LoggingOn {
public:
    explicit LoggingOn(bool on) { setAnalyticsLogEnabled(on); }
    ~LoggingOn() { setAnalyticsLogEnabled(false); }
    LoggingOn(const LoggingOn&) = delete;
    LoggingOn& operator=(const LoggingOn&) = delete;
};

Dictionary entries(int count, bool withCounter) {
    Dictionary d;
    if (withCounter) d.set("__ct__", Value("3"));
    for (int i = 0; i < count; ++i) d.set("k" + std::to_string(100 + i), Value("v"));
    return d;
}

TEST(CachedItems, EveryKindRoundTripsTheKeyedArchiver) {
    TLYBaseEvent::registerClasses();
    for (const char* name : {"TLYBaseEvent", "TLYEvent", "TLYError", "TLYEkv", "TLYTerminate"}) {
        EXPECT_NE(classNamed(name), nullptr) << name;
    }
    ScopedClock clock([] { return 1700000000.25; });
    auto event = makeRef<TLYEvent>();
    event->session_id = "S1";
    event->event_id = "newsTab";
    event->label = "refresh";
    event->acc = std::int64_t{1} << 40;
    event->du = (std::int64_t{1} << 33) + 7;
    event->values = Value::dictionary({{"a", Value("b")}});
    event->sendingFlag = true;
    auto back = roundTrip(event);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->acc, std::int64_t{1} << 40);
    EXPECT_EQ(back->du, (std::int64_t{1} << 33) + 7);
    EXPECT_EQ(back->event_id, "newsTab");
    EXPECT_EQ(back->label, "refresh");
    EXPECT_EQ(back->type, "event");
    EXPECT_EQ(back->session_id, "S1");
    EXPECT_EQ(back->ts, 1700000000.25);
    EXPECT_TRUE(back->sendingFlag);
    EXPECT_TRUE(back->values.isEqual(event->values));
    EXPECT_TRUE(back->isEqual(*event));

    auto error = makeRef<TLYError>();
    error->context = "crash report";
    EXPECT_EQ(roundTrip(error)->context, "crash report");
    EXPECT_EQ(roundTrip(error)->type, "error");
    EXPECT_FALSE(error->isEqual(*event));  // same ts, other class

    auto ekv = TLYEkv::make("buy", "item", entries(2, false), true);
    ekv->du = 1500;
    auto ekvBack = roundTrip(ekv);
    EXPECT_EQ(ekvBack->type, "gkv");
    EXPECT_EQ(ekvBack->du, 1500);
    EXPECT_EQ(ekvBack->key, "item");
    EXPECT_TRUE(Value(ekvBack->values).isEqual(Value(ekv->values)));

    auto end = makeRef<TLYTerminate>(42.5);
    end->pageViews = {Value(Array{Value("NewsViewController"), Value(3)})};
    end->latitude = 39.9;
    end->longitude = 116.4;
    end->gps_time = 1700000000123;
    auto endBack = roundTrip(end);
    EXPECT_EQ(endBack->type, "terminate");
    EXPECT_EQ(endBack->duration, 42.5);
    EXPECT_EQ(endBack->gps_time, 1700000000123);
    EXPECT_EQ(endBack->latitude, 39.9);
    EXPECT_TRUE(Value(endBack->pageViews).isEqual(Value(end->pageViews)));
}

// The cache archive of a mixed list keeps the bytes the writer has always given (other programs read
// it), and every field of every kind reads back.
TEST(CachedItems, AMixedListKeepsItsArchiveBytesAndEveryField) {
    TLYBaseEvent::registerClasses();
    Array list;
    std::vector<Ref<TLYBaseEvent>> items;
    for (int i = 0; i < 40; ++i) {
        Ref<TLYBaseEvent> item;
        switch (i % 4) {
            case 0: {
                auto event = makeRef<TLYEvent>();
                event->event_id = i % 8 ? "newsTab" : "韩剧";
                event->label = i % 3 ? "page" + std::to_string(i % 5) : "";
                event->acc = i;
                event->du = (std::int64_t{1} << 33) * (i % 2) - i;
                if (i % 8 == 4) event->values = Value::dictionary({{"a", Value("b")}, {"n", Value(i)}});
                item = event;
                break;
            }
            case 1: {
                auto ekv = TLYEkv::make("buy" + std::to_string(i % 3), i % 2 ? "item" : "", entries(i % 4, i % 5 == 0), i % 3 == 0);
                ekv->du = -i * 1000;
                item = ekv;
                break;
            }
            case 2: {
                auto error = makeRef<TLYError>();
                error->context = std::string("crash\0report ", 13) + std::to_string(i);
                item = error;
                break;
            }
            default: {
                auto end = makeRef<TLYTerminate>(i * 1.5);
                if (i % 8 == 3) end->pageViews = {Value(Array{Value("NewsViewController"), Value(i)})};
                end->latitude = i * 0.25;
                end->longitude = -i * 0.5;
                end->gps_time = 1700000000123 + i;
                item = end;
            }
        }
        item->ts = 1700000000.25 + i;
        item->date = i % 7 ? "2026-12-08" : "";
        item->time = "10:0" + std::to_string(i % 10) + ":00";
        item->session_id = i % 6 ? "S" + std::to_string(i % 4) : "";
        item->sendingFlag = i % 5 == 1;
        items.push_back(item);
        list.emplace_back(item);
    }
    const Bytes archive = KeyedArchiver::archivedDataWithRootObject(Value(list));
    std::uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a
    for (std::uint8_t b : archive) h = (h ^ b) * 0x100000001b3ULL;
    EXPECT_EQ(archive.size(), 5834U);
    EXPECT_EQ(h, 13505976883238875141ULL);

    const Value back = KeyedUnarchiver::unarchiveObjectWithData(archive);
    ASSERT_TRUE(back.isArray());
    ASSERT_EQ(back.array().size(), items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto& want = *items[i];
        const auto got = back.array()[i].objectAs<TLYBaseEvent>();
        ASSERT_TRUE(got) << i;
        const TLYBaseEvent& gotItem = *got;
        ASSERT_EQ(typeid(gotItem), typeid(want)) << i;
        EXPECT_EQ(got->ts, want.ts);
        EXPECT_EQ(got->type, want.type) << i;
        EXPECT_EQ(got->date, want.date);
        EXPECT_EQ(got->time, want.time);
        EXPECT_EQ(got->session_id, want.session_id);
        EXPECT_EQ(got->sendingFlag, want.sendingFlag);
        if (auto event = std::dynamic_pointer_cast<TLYEvent>(got)) {
            const auto& w = dynamic_cast<const TLYEvent&>(want);
            EXPECT_EQ(event->event_id, w.event_id);
            EXPECT_EQ(event->label, w.label);
            EXPECT_EQ(event->acc, w.acc);
            EXPECT_EQ(event->du, w.du);
            EXPECT_TRUE(event->values.isEqual(w.values)) << i;
        } else if (auto ekv = std::dynamic_pointer_cast<TLYEkv>(got)) {
            const auto& w = dynamic_cast<const TLYEkv&>(want);
            EXPECT_EQ(ekv->du, w.du);
            EXPECT_EQ(ekv->id, w.id);
            EXPECT_EQ(ekv->key, w.key);
            EXPECT_TRUE(Value(ekv->values).isEqual(Value(w.values))) << i;
        } else if (auto error = std::dynamic_pointer_cast<TLYError>(got)) {
            EXPECT_EQ(error->context, dynamic_cast<const TLYError&>(want).context);
        } else {
            const auto& end = dynamic_cast<const TLYTerminate&>(*got);
            const auto& w = dynamic_cast<const TLYTerminate&>(want);
            EXPECT_EQ(end.duration, w.duration);
            EXPECT_TRUE(Value(end.pageViews).isEqual(Value(w.pageViews)));
            EXPECT_EQ(end.latitude, w.latitude);
            EXPECT_EQ(end.longitude, w.longitude);
            EXPECT_EQ(end.gps_time, w.gps_time);
        }
    }
}

TEST(CachedItems, AttributesAreCutAndCounted) {
    LogCapture capture;
    struct Case {
        const char* what;
        Dictionary given;
        bool gkv;
        std::size_t kept;
    } cases[] = {
        {"12 entries", entries(12, false), false, 10},
        {"11 with __ct__", entries(10, true), false, 11},
        {"13 with __ct__", entries(12, true), false, 11},
        {"game 12", entries(12, false), true, 10},
    };
    for (const auto& c : cases) EXPECT_EQ(TLYEkv::make("e", "", c.given, c.gkv)->values.size(), c.kept) << c.what;

    Dictionary reserved = entries(1, false);
    reserved.set("du", Value("1"));
    EXPECT_FALSE(TLYEkv::make("e", "", reserved, false));
    EXPECT_TRUE(capture.contains("TLYLOG: (ERROR) 关键字id, ts, du是统计SDK保留字段，不能作为key使用。"));

    const std::string cjk = "\xE4\xB8\xAD";  // one 3-byte character
    std::string cjkValue;
    for (int i = 0; i < 100; ++i) cjkValue += cjk;  // 300 bytes
    Dictionary cut;
    cut.set(std::string(200, 'k'), Value(std::string(300, 'v')));
    cut.set("cjk", Value(cjkValue));
    cut.set("number", Value(5));  // not text: skipped for ekv, counted
    auto ekv = TLYEkv::make("e", "", cut, false);
    EXPECT_EQ(ekv->values.get(std::string(128, 'k')).string(), std::string(256, 'v'));
    EXPECT_EQ(ekv->values.get("cjk").string().size(), 255u);  // 85 whole characters
    EXPECT_FALSE(ekv->values.contains("number"));
    EXPECT_TRUE(capture.contains("must be string ,key's max length 128 and value's max length 256"));

    auto gkv = TLYEkv::make("e", "", cut, true);
    EXPECT_TRUE(gkv->values.get("number").isEqual(Value(5)));
    EXPECT_EQ(gkv->values.get("cjk").string(), cjkValue);
}

TEST(CachedItems, SessionEndLocationAndDurations) {
    struct Case {
        double lat, lng;
        std::int64_t gps;
        bool has;
    } cases[] = {{39.9, 116.4, 1, true}, {0, 116.4, 1, false}, {39.9, 0, 1, false}, {39.9, 116.4, 0, false}};
    for (const auto& c : cases) {
        TLYTerminate end;
        end.latitude = c.lat;
        end.longitude = c.lng;
        end.gps_time = c.gps;
        EXPECT_EQ(end.hasGPSInfo(), c.has) << c.lat << "," << c.lng << "," << c.gps;
    }
    double now = 1000;
    ScopedClock clock([&] { return now; });
    TLYEvent event;
    TLYEkv ekv;
    now = 1002.5;
    event.updateDu();
    ekv.updateDu();
    EXPECT_EQ(event.du, 2500);
    EXPECT_EQ(ekv.du, 2500);
}

TEST(CachedItems, LogLinesOnlyWhileLoggingIsOn) {
    TLYEvent event;
    event.session_id = "S";
    event.event_id = "newsTab";
    TLYError error;
    error.session_id = "S";
    error.context = "boom";
    TLYTerminate end(3.5);
    end.session_id = "S";
    auto ekv = TLYEkv::make("pay", "order", Dictionary(), false);
    ekv->session_id = "S";
    {
        LoggingOn on(false);
        LogCapture capture;
        event.outputUMLog();
        end.outputUMLog();
        EXPECT_TRUE(capture.lines().empty());
    }
    LoggingOn on(true);
    LogCapture capture;
    event.outputUMLog();
    event.label = "x";
    event.du = 12;
    event.outputUMLog();
    error.outputUMLog();
    end.outputUMLog();
    ekv->outputUMLog();
    ekv->du = 7;
    ekv->type = "gkv";
    ekv->outputUMLog();
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{
                                   "TLYLOG: event: session_id=S, event=newsTab",
                                   "TLYLOG: event: session_id=S, event=newsTab, label=x, du=12",
                                   "TLYLOG: error: session_id=S, context=boom",
                                   "TLYLOG: session: session_id=S, duration=3.500000",
                                   "TLYLOG: ekv: session_id=S, id=pay,key=order",
                                   "TLYLOG: gkv: session_id=S, id=pay, duration=7,key=order",
                               }));
    capture.clear();
    end.pageViews = {Value(Array{Value("A"), Value(1)}), Value(Array{Value("B"), Value(2)})};
    end.outputUMLog();
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(std::regex_match(capture.lines()[0],
                                 std::regex(R"(TLYLOG: session: session_id=S, duration=3\.500000,pageViews=<1,2,0x[0-9a-f]+>,(\[0x[0-9a-f]+--\-?\d+\] ){2})")))
        << capture.lines()[0];
}

}  // namespace
}  // namespace lv
