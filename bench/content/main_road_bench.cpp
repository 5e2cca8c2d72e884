// The main road: a 1,000-item news reply served by the stand-in on loopback, requested through
// APIProcessor, parsed, mapped, checked against the store, stored and saved; beside the raw floor in
// the same binary (the same libcurl POST asking for the same compressed reply, a RapidJSON parse, and
// in one SQLite transaction the delete of the category, one read of the "msgId"s that stay into a hash
// set, as the road's known-item test, and prepared inserts of the road's rows: keys, texts, dates as
// seconds). Prints the ratio main road / raw floor, in wall time and in process CPU (every thread), and
// fails the floor if its rows are not the road's. Beside them, a 6 MB reply of four items with
// 1.5-million-character time texts, through the same road.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <curl/curl.h>
#include <rapidjson/document.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "content/api_processor.h"
#include "content_service.h"
#include "platform/dispatch/run_loop.h"
#include "platform/net/host_map.h"
#include "platform/net/url.h"
#include "platform/storage/bundle.h"
#include "platform/storage/json.h"
#include "platform/storage/sandbox.h"
#include "store/persistence.h"
#include "store/record_stack.h"
#include "support/deadline.h"
#include "support/ratio_reporter.h"

namespace {

using namespace lv;

constexpr int kItems = 1000;

std::string newsReply() {
    Array items;
    for (int i = 0; i < kItems; ++i) {
        const std::string n = std::to_string(i);
        items.push_back(Value::dictionary({
            {"cat_name", "ent"},
            {"createTime", "2015-03-05 08:30:00"},
            {"detailPageLink", "http://127.0.0.1:8765/n/" + n},
            {"msgId", "m" + n},
            {"tag_name", "tag"},
            {"thumbLink", "http://127.0.0.1:8765/img/" + n + ".jpg"},
            {"title", "Headline number " + n + " of the day"},
            {"update_time", "2015-03-05 09:07:02"},
        }));
    }
    return *JSONSerialization::stringWithJSONObject(Value::dictionary({{"mItems", Value(std::move(items))}}), 0, nullptr);
}

// A 6 MB video reply of four items whose time texts are 1.5 million characters each: no date, and
// refused before the date parser reads them (which took seconds per text).
std::string longTextReply() {
    const std::string longText(1500000, '9');
    Array items;
    for (int i = 0; i < 4; ++i) {
        items.push_back(Value::dictionary({{"link", "l" + std::to_string(i)}, {"type", "teach"}, {"update_time", longText}}));
    }
    return *JSONSerialization::stringWithJSONObject(Value::dictionary({{"mItems", Value(std::move(items))}}), 0, nullptr);
}

tools::ContentService& service() {
    static tools::ContentService* running = [] {
        auto* s = new tools::ContentService(LV_SOURCE_DIR "/tools/content-service/fixtures");
        s->setBehaviour("newsList", {200, "application/json", 0, tools::ContentBehaviour::Body::Fixture, newsReply()});
        s->setBehaviour("video", {200, "application/json", 0, tools::ContentBehaviour::Body::Fixture, longTextReply()});
        s->start();
        return s;
    }();
    return *running;
}

void BM_MainRoad(benchmark::State& state) {
    for (auto _ : state) {
        bool done = false;
        std::size_t count = 0;
        APIProcessor::sharedAPIProcessor()->loadNewsWithCatname(
            "ent", std::nullopt,
            [&](const Value& items) {
                count = items.count();
                done = true;
            },
            [&](const Ref<Error>&) { done = true; });
        if (!runMainUntil([&] { return done; }, bench::kWaitSeconds) || count != kItems) {
            state.SkipWithError("the reply did not arrive in time");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_MainRoad)->Unit(benchmark::kMillisecond)->MinTime(0.5)->MeasureProcessCPUTime();

void BM_LongTextReply(benchmark::State& state) {
    for (auto _ : state) {
        bool done = false;
        std::size_t count = 0;
        APIProcessor::sharedAPIProcessor()->loadVideoWithType(
            "teach", std::nullopt,
            [&](const Value& items) {
                count = items.count();
                done = true;
            },
            [&](const Ref<Error>&) { done = true; });
        if (!runMainUntil([&] { return done; }, bench::kWaitSeconds) || count != 4) {
            state.SkipWithError("the reply did not arrive in time");
            break;
        }
    }
}
BENCHMARK(BM_LongTextReply)->Unit(benchmark::kMillisecond)->MinTime(0.5);

std::size_t collect(char* data, std::size_t size, std::size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// Seconds since 2001-01-01 00:00 UTC of a "yyyy-MM-dd HH:mm:ss" text read in the process's zone, as
// the road stores the news dates; nullopt for any other text. The fields are read by hand; the zone's
// offset is libc's for that instant, guessed from the last date's offset and checked with one
// localtime_r (a second only when the offset differs), so a reply of dates in one offset span costs one
// zone look-up each.
std::optional<double> floorDate(std::string_view text, long& offset) {
    if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' || text[16] != ':') {
        return std::nullopt;
    }
    auto number = [&](std::size_t at, std::size_t width, int& out) {
        out = 0;
        for (std::size_t i = at; i < at + width; ++i) {
            if (text[i] < '0' || text[i] > '9') return false;
            out = out * 10 + (text[i] - '0');
        }
        return true;
    };
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0;
    if (!number(0, 4, y) || !number(5, 2, mo) || !number(8, 2, d) || !number(11, 2, h) || !number(14, 2, mi) ||
        !number(17, 2, se) || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 59) {
        return std::nullopt;
    }
    // Days from 1970-01-01 of the civil date (proleptic Gregorian).
    const int ya = y - (mo <= 2);
    const int era = (ya >= 0 ? ya : ya - 399) / 400;
    const int yoe = ya - era * 400;
    const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long days = era * 146097L + yoe * 365L + yoe / 4 - yoe / 100 + doy - 719468L;
    const long local = days * 86400L + h * 3600L + mi * 60L + se;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::time_t t = local - offset;
        std::tm parts{};
        localtime_r(&t, &parts);
        if (parts.tm_gmtoff == offset) break;
        offset = parts.tm_gmtoff;
    }
    return static_cast<double>(local - offset) - 978307200.0;
}

void BM_RawFloor(benchmark::State& state) {
    // Each run has files of its own: two benchmark programs at once must not share a store.
    const std::string path =
        (std::filesystem::temp_directory_path() / ("lv_content_bench_raw-" + std::to_string(::getpid()) + ".sqlite"))
            .string();
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    // One thread uses the connection, as the store's own: no connection mutex around each call (the
    // store opens its file the same way).
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    // The road's table: its key and version columns, the texts, the two dates as seconds (REAL).
    sqlite3_exec(db,
                 "CREATE TABLE News (_pk INTEGER PRIMARY KEY, _opt INTEGER NOT NULL DEFAULT 1, cat_name TEXT,"
                 " createTime REAL, detailPageLink TEXT, msgId TEXT, tag_name TEXT, thumbLink TEXT, title TEXT,"
                 " update_time REAL)",
                 nullptr, nullptr, nullptr);
    sqlite3_exec(db, "CREATE TABLE _lv_keys (entity TEXT PRIMARY KEY, last INTEGER NOT NULL); INSERT INTO _lv_keys VALUES ('News', 0)",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* known = nullptr;
    sqlite3_prepare_v2(db, "SELECT msgId FROM News", -1, &known, nullptr);
    sqlite3_stmt* keyCounter = nullptr;
    sqlite3_prepare_v2(db, "UPDATE _lv_keys SET last = ? WHERE entity = 'News'", -1, &keyCounter, nullptr);
    // Rows go in several to a statement (64, then 16, 4 and 1 for the rest): SQLite's work per row is
    // about a fifth less than one statement per row, for the same rows in the same order.
    constexpr int kRowsPerStatement[] = {64, 16, 4, 1};
    constexpr int kColumns = 9;  // the key, then the eight values
    sqlite3_stmt* inserts[4] = {};
    for (int s = 0; s < 4; ++s) {
        std::string sql =
            "INSERT INTO News (_pk, cat_name, createTime, detailPageLink, msgId, tag_name, thumbLink, title, update_time) VALUES ";
        for (int r = 0; r < kRowsPerStatement[s]; ++r) sql += r ? ", (?, ?, ?, ?, ?, ?, ?, ?, ?)" : "(?, ?, ?, ?, ?, ?, ?, ?, ?)";
        sqlite3_prepare_v2(db, sql.c_str(), -1, &inserts[s], nullptr);
    }
    std::vector<const rapidjson::Value*> rows;
    CURL* curl = curl_easy_init();
    const std::string url = service().baseURL() + "/api";
    const char* fields[] = {"cat_name", "createTime", "detailPageLink", "msgId", "tag_name", "thumbLink", "title", "update_time"};
    constexpr bool kIsDate[] = {false, true, false, false, false, false, false, true};
    std::int64_t lastKey = 0;  // the file's key counter, as last written (the floor is its only writer)
    long offset = 0;           // the zone offset of the last date read
    for (auto _ : state) {
        std::string body;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "action=newsList&cat=ent&time=");
        // The road's engine asks for a compressed reply; the same request gets the same bytes back.
        curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
        curl_easy_perform(curl);
        rapidjson::Document reply;
        reply.ParseInsitu(body.data());  // the texts stay in the body, which outlives the document
        if (!reply.IsObject() || !reply["mItems"].IsArray()) {
            state.SkipWithError("the reply did not parse");
            break;
        }
        sqlite3_exec(db, "BEGIN; DELETE FROM News WHERE cat_name = 'ent'", nullptr, nullptr, nullptr);
        // The keys that stay after the delete, then each stored item's: an item whose key is there is
        // skipped, as the road skips a known item. The set views the reply's own texts (and the read
        // keys held in `kept`), so no key is copied twice.
        std::vector<std::string> kept;
        while (sqlite3_step(known) == SQLITE_ROW) {
            kept.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(known, 0)),
                              static_cast<std::size_t>(sqlite3_column_bytes(known, 0)));
        }
        sqlite3_reset(known);
        std::unordered_set<std::string_view> keys(kept.begin(), kept.end());
        keys.reserve(kept.size() + reply["mItems"].Size());
        rows.clear();
        for (const auto& item : reply["mItems"].GetArray()) {
            const auto& msgId = item["msgId"];
            if (keys.emplace(msgId.GetString(), msgId.GetStringLength()).second) rows.push_back(&item);
        }
        std::size_t next = 0;
        for (int s = 0; s < 4; ++s) {
            const std::size_t per = static_cast<std::size_t>(kRowsPerStatement[s]);
            for (; rows.size() - next >= per; next += per) {
                for (std::size_t r = 0; r < per; ++r) {
                    const int first = static_cast<int>(r) * kColumns + 1;
                    sqlite3_bind_int64(inserts[s], first, ++lastKey);
                    for (int i = 0; i < 8; ++i) {
                        const auto& value = (*rows[next + r])[fields[i]];
                        if (!kIsDate[i]) {
                            sqlite3_bind_text(inserts[s], first + 1 + i, value.GetString(),
                                              static_cast<int>(value.GetStringLength()), SQLITE_STATIC);
                        } else if (auto date = floorDate({value.GetString(), value.GetStringLength()}, offset)) {
                            sqlite3_bind_double(inserts[s], first + 1 + i, *date);
                        } else {
                            sqlite3_bind_null(inserts[s], first + 1 + i);
                        }
                    }
                }
                sqlite3_step(inserts[s]);
                sqlite3_reset(inserts[s]);
            }
        }
        sqlite3_bind_int64(keyCounter, 1, lastKey);
        sqlite3_step(keyCounter);
        sqlite3_reset(keyCounter);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    state.SetItemsProcessed(state.iterations() * kItems);
    // Not timed: where the road has run, the floor must have stored what it stored (keys aside, which
    // follow each file's history): every column of every row, the dates to the second.
    const std::string road = RS_urlForStoreName("lunavexa.sqlite").string();
    const std::string columns = "_opt, cat_name, createTime, detailPageLink, msgId, tag_name, thumbLink, title, update_time";
    const std::string compare = "SELECT CASE WHEN (SELECT count(*) FROM road.News) = 0 THEN 0 ELSE "
                                "(SELECT count(*) FROM (SELECT " + columns + " FROM News EXCEPT SELECT " + columns +
                                " FROM road.News)) + (SELECT count(*) FROM (SELECT " + columns + " FROM road.News EXCEPT SELECT " +
                                columns + " FROM News)) + abs((SELECT count(*) FROM News) - (SELECT count(*) FROM road.News)) END";
    long long differences = -1;
    sqlite3_stmt* attach = nullptr;
    sqlite3_prepare_v2(db, "ATTACH DATABASE ? AS road", -1, &attach, nullptr);
    sqlite3_bind_text(attach, 1, road.c_str(), static_cast<int>(road.size()), SQLITE_STATIC);  // any path, quotes included
    const bool attached = sqlite3_step(attach) == SQLITE_DONE;
    sqlite3_finalize(attach);
    sqlite3_stmt* count = nullptr;
    if (attached && sqlite3_prepare_v2(db, compare.c_str(), -1, &count, nullptr) == SQLITE_OK && sqlite3_step(count) == SQLITE_ROW) {
        differences = sqlite3_column_int64(count, 0);
    }
    sqlite3_finalize(count);
    if (differences != 0) state.SkipWithError("the floor's rows are not the road's");
    curl_easy_cleanup(curl);
    sqlite3_finalize(known);
    sqlite3_finalize(keyCounter);
    for (sqlite3_stmt* insert : inserts) sqlite3_finalize(insert);
    sqlite3_close(db);
    std::filesystem::remove(path);
}
BENCHMARK(BM_RawFloor)->Unit(benchmark::kMillisecond)->MinTime(0.5)->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const auto root = std::filesystem::temp_directory_path() / ("lv_content_bench-" + std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    Sandbox::setRoot(root.string());
    Bundle::setMainBundlePath(LV_SOURCE_DIR "/bundle");
    RecordStack::setupCoreDataStackWithStoreNamed("lunavexa.sqlite");
    HostMap::set(*URL::URLWithString(RestAPIHelper::kContentServiceBaseURL)->host(), "127.0.0.1", service().port());
    lv::bench::RatioReporter reporter;
    reporter.runRounds();
    reporter.printRatio("BM_MainRoad/min_time:0.500/process_time", "BM_RawFloor/min_time:0.500/process_time", "2x", "main road / raw floor",
                        "1000 news items: loopback POST, parse, map, store, save");
    reporter.printCpuRatio("BM_MainRoad/min_time:0.500/process_time", "BM_RawFloor/min_time:0.500/process_time", "2x",
                           "main road / raw floor", "reply");
    service().stop();
    RecordStack::cleanUp();
    std::filesystem::remove_all(root);
    benchmark::Shutdown();
    return 0;
}
