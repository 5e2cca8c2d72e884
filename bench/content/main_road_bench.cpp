// The main road: a 1,000-item news reply served by the stand-in on loopback, requested through
// APIProcessor, parsed, mapped, checked against the store, stored and saved; beside the raw floor in
// the same binary (a libcurl POST, a RapidJSON parse, and in one SQLite transaction the delete of the
// category, one read of the "msgId"s that stay into a hash set, as the road's known-item test, and
// prepared inserts). Prints the ratio main road / raw floor. Beside them, a 6 MB reply of four items
// with 1.5-million-character time texts, through the same road.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <curl/curl.h>
#include <rapidjson/document.h>
#include <sqlite3.h>

#include <cstdio>
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
BENCHMARK(BM_MainRoad)->Unit(benchmark::kMillisecond)->MinTime(0.5);

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

void BM_RawFloor(benchmark::State& state) {
    // Each run has files of its own: two benchmark programs at once must not share a store.
    const std::string path =
        (std::filesystem::temp_directory_path() / ("lv_content_bench_raw-" + std::to_string(::getpid()) + ".sqlite"))
            .string();
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "CREATE TABLE News (cat_name TEXT, createTime TEXT, detailPageLink TEXT, msgId TEXT, tag_name TEXT,"
                 " thumbLink TEXT, title TEXT, update_time TEXT)",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* known = nullptr;
    sqlite3_prepare_v2(db, "SELECT msgId FROM News", -1, &known, nullptr);
    // Rows go in several to a statement (64, then 16, 4 and 1 for the rest): SQLite's work per row is
    // about a fifth less than one statement per row, for the same rows in the same order.
    constexpr int kRowsPerStatement[] = {64, 16, 4, 1};
    sqlite3_stmt* inserts[4] = {};
    for (int s = 0; s < 4; ++s) {
        std::string sql = "INSERT INTO News VALUES ";
        for (int r = 0; r < kRowsPerStatement[s]; ++r) sql += r ? ", (?, ?, ?, ?, ?, ?, ?, ?)" : "(?, ?, ?, ?, ?, ?, ?, ?)";
        sqlite3_prepare_v2(db, sql.c_str(), -1, &inserts[s], nullptr);
    }
    std::vector<const rapidjson::Value*> rows;
    CURL* curl = curl_easy_init();
    const std::string url = service().baseURL() + "/api";
    const char* fields[] = {"cat_name", "createTime", "detailPageLink", "msgId", "tag_name", "thumbLink", "title", "update_time"};
    for (auto _ : state) {
        std::string body;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "action=newsList&cat=ent&time=");
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
                    for (int i = 0; i < 8; ++i) {
                        const auto& value = (*rows[next + r])[fields[i]];
                        sqlite3_bind_text(inserts[s], static_cast<int>(r * 8) + i + 1, value.GetString(),
                                          static_cast<int>(value.GetStringLength()), SQLITE_STATIC);
                    }
                }
                sqlite3_step(inserts[s]);
                sqlite3_reset(inserts[s]);
            }
        }
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    state.SetItemsProcessed(state.iterations() * kItems);
    curl_easy_cleanup(curl);
    sqlite3_finalize(known);
    for (sqlite3_stmt* insert : inserts) sqlite3_finalize(insert);
    sqlite3_close(db);
    std::filesystem::remove(path);
}
BENCHMARK(BM_RawFloor)->Unit(benchmark::kMillisecond)->MinTime(0.5);

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
    reporter.printRatio("BM_MainRoad/min_time:0.500", "BM_RawFloor/min_time:0.500", "2x", "main road / raw floor",
                        "1000 news items: loopback POST, parse, map, store, save");
    service().stop();
    RecordStack::cleanUp();
    std::filesystem::remove_all(root);
    benchmark::Shutdown();
    return 0;
}
