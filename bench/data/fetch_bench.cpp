// Fetching 10,000 chart rows with a predicate and a sort: through a fetch request on the coordinator,
// beside the same query through raw SQLite statements on the same file. Prints the ratio.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>

#include "support/chart_model.h"
#include "support/ratio_reporter.h"

#include "platform/data/coordinator.h"

namespace {

constexpr int kMatchingRows = 10000;
std::string gPath;

using lv::bench::chartModel;

// Two chart sites of 10,000 rows each, written in one change set.
void fillStore(const std::string& path) {
    auto coordinator = lv::makeRef<lv::PersistentStoreCoordinator>(chartModel());
    if (!coordinator->addPersistentStore(lv::kSQLiteStoreType, "", path, {}, nullptr)) std::abort();
    auto entity = coordinator->managedObjectModel()->entityNamed("Toptenz");
    lv::ChangeSet changes;
    for (int sid = 1; sid <= 2; ++sid) {
        for (int i = 0; i < kMatchingRows; ++i) {
            const int rank = (i * 7919) % kMatchingRows + 1;  // inserted out of rank order
            const std::string n = std::to_string(i);
            changes.inserts.push_back({lv::ManagedObjectID::makeTemporary(entity),
                                       {{"album", lv::Value("Album " + n)},
                                        {"album_cn", lv::Value("\xe4\xb8\x93\xe8\xbe\x91 " + n)},
                                        {"artist", lv::Value("Artist " + n)},
                                        {"artist_cn", lv::Value("\xe6\xad\x8c\xe6\x89\x8b " + n)},
                                        {"avatar", lv::Value("http://img.example/" + n + ".jpg")},
                                        {"title", lv::Value("Song " + n)},
                                        {"title_cn", lv::Value("\xe6\xad\x8c " + n)},
                                        {"rank", lv::Value(rank)},
                                        {"sid", lv::Value(sid)},
                                        {"type", lv::Value(1)},
                                        {"translate", lv::Value(0)},
                                        {"currentLanguage", lv::Value(1)},
                                        {"update_time", lv::Value(lv::Date::fromSinceReferenceDate(447296822.0 + i))}}});
        }
    }
    lv::Ref<lv::Error> error;
    if (!coordinator->saveChanges(changes, nullptr, &error)) {
        std::fprintf(stderr, "fill failed: %s\n", error->description().c_str());
        std::abort();
    }
}

void FetchRequestPath(benchmark::State& state) {
    auto coordinator = lv::makeRef<lv::PersistentStoreCoordinator>(chartModel());
    coordinator->addPersistentStore(lv::kSQLiteStoreType, "", gPath, {}, nullptr);
    lv::FetchRequest request("Toptenz");
    request.setPredicate(lv::Predicate::format("sid = %@ AND rank > %d", nullptr, lv::Decimal::fromInteger(2), 0));
    request.setSortDescriptors({lv::SortDescriptor("rank", true)});
    request.setFetchBatchSize(20);
    std::size_t rows = 0;
    for (auto _ : state) {
        auto result = coordinator->executeFetchRequest(request, nullptr);
        rows = result->rows.size();
        benchmark::DoNotOptimize(result);
    }
    if (rows != kMatchingRows) state.SkipWithError("wrong row count");
    state.counters["rows"] = static_cast<double>(rows);
}

struct RawRow {
    std::int64_t key, version;
    std::string text[8];
    std::int64_t integers[5];
    double updateTime;
};

void RawSQLite(benchmark::State& state) {
    sqlite3* db = nullptr;
    // One thread uses the connection, as the store's own: no connection mutex around each call.
    sqlite3_open_v2(gPath.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT \"_pk\", \"_opt\", \"album\", \"album_cn\", \"artist\", \"artist_cn\", \"avatar\", "
                       "\"extern_link\", \"title\", \"title_cn\", \"rank\", \"sid\", \"type\", \"translate\", "
                       "\"currentLanguage\", \"update_time\" FROM \"Toptenz\" WHERE \"sid\" = ? AND \"rank\" > ? "
                       "ORDER BY \"rank\" ASC, \"_pk\" ASC",
                       -1, &stmt, nullptr);
    std::size_t rows = 0;
    for (auto _ : state) {
        std::vector<RawRow> out;
        sqlite3_bind_int64(stmt, 1, 2);
        sqlite3_bind_int64(stmt, 2, 0);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            RawRow& r = out.emplace_back();  // filled in its place: nothing moved, no temporary destroyed
            r.key = sqlite3_column_int64(stmt, 0);
            r.version = sqlite3_column_int64(stmt, 1);
            for (int i = 0; i < 8; ++i) {
                const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2 + i));
                if (t) r.text[i].assign(t, static_cast<std::size_t>(sqlite3_column_bytes(stmt, 2 + i)));
            }
            for (int i = 0; i < 5; ++i) r.integers[i] = sqlite3_column_int64(stmt, 10 + i);
            r.updateTime = sqlite3_column_double(stmt, 15);
        }
        sqlite3_reset(stmt);
        rows = out.size();
        benchmark::DoNotOptimize(out);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    if (rows != kMatchingRows) state.SkipWithError("wrong row count");
    state.counters["rows"] = static_cast<double>(rows);
}

BENCHMARK(FetchRequestPath)->Unit(benchmark::kMillisecond);
BENCHMARK(RawSQLite)->Unit(benchmark::kMillisecond);

using lv::bench::RatioReporter;

}  // namespace

int main(int argc, char** argv) {
    const auto dir = std::filesystem::temp_directory_path() / ("lunavexa-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    gPath = (dir / "chart.sqlite").string();
    fillStore(gPath);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    reporter.runRounds();
    benchmark::Shutdown();
    std::filesystem::remove_all(dir);
    char note[96];
    std::snprintf(note, sizeof note, "%.2f ms vs %.2f ms for %d rows", reporter.times["FetchRequestPath"],
                  reporter.times["RawSQLite"], kMatchingRows);
    reporter.printRatio("FetchRequestPath", "RawSQLite", "1.3x", "fetch request / raw SQLite", note);
    return 0;
}
