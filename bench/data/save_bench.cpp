// Saving 10,000 new chart records: inserted in a main-queue context, saved into its private-queue root
// and through the root to the SQLite file, beside raw SQLite prepared inserts of the same rows (several
// to a statement) in one transaction, in the same binary. Each iteration starts from an empty store
// file; opening it is not timed. Prints the ratio.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>

#include "support/chart_model.h"
#include "support/ratio_reporter.h"

#include "platform/data/context.h"
#include "platform/data/coordinator.h"
#include "platform/data/managed_object.h"

namespace {

constexpr int kRows = 10000;
std::filesystem::path gDir;

using lv::bench::chartModel;

// The values of row i, as the content service would send them.
struct Row {
    std::string text[8];
    int integers[5];
    double updateTime;
};

Row rowAt(int i) {
    const std::string n = std::to_string(i);
    Row r{{"Album " + n, "\xe4\xb8\x93\xe8\xbe\x91 " + n, "Artist " + n, "\xe6\xad\x8c\xe6\x89\x8b " + n,
           "http://img.example/" + n + ".jpg", "", "Song " + n, "\xe6\xad\x8c " + n},
          {i + 1, 4, 1, 0, 1},
          447296822.0 + i};
    return r;
}

const std::string kTextKeys[8] = {"album", "album_cn", "artist", "artist_cn", "avatar", "extern_link", "title", "title_cn"};
const std::string kIntegerKeys[5] = {"rank", "sid", "type", "translate", "currentLanguage"};
const std::string kUpdateTimeKey = "update_time";

// A fresh store file with the schema, made by a coordinator (not timed).
std::string freshStore(int n) {
    const std::string path = (gDir / ("save-" + std::to_string(n) + ".sqlite")).string();
    std::filesystem::remove(path);
    std::filesystem::remove(path + "-journal");
    return path;
}

// The same row as the values a parsed reply holds.
struct RowValues {
    lv::Value text[8];
    lv::Value integers[5];
    lv::Value updateTime;
};

void ContextSave(benchmark::State& state) {
    static int counter = 0;
    std::vector<RowValues> rows;
    for (int i = 0; i < kRows; ++i) {
        const Row r = rowAt(i);
        RowValues v;
        for (int k = 0; k < 8; ++k) {
            if (!r.text[k].empty()) v.text[k] = lv::Value(r.text[k]);
        }
        for (int k = 0; k < 5; ++k) v.integers[k] = lv::Value(r.integers[k]);
        v.updateTime = lv::Value(lv::Date::fromSinceReferenceDate(r.updateTime));
        rows.push_back(std::move(v));
    }
    std::size_t saved = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string path = freshStore(++counter);
        auto coordinator = lv::makeRef<lv::PersistentStoreCoordinator>(chartModel());
        if (!coordinator->addPersistentStore(lv::kSQLiteStoreType, "", path, {}, nullptr)) std::abort();
        auto root = lv::ManagedObjectContext::make(lv::ManagedObjectContextConcurrencyType::PrivateQueue);
        root->performAndWait([&] { root->setPersistentStoreCoordinator(coordinator); });
        auto main = lv::ManagedObjectContext::make(lv::ManagedObjectContextConcurrencyType::MainQueue);
        main->setParentContext(root);
        state.ResumeTiming();

        bool ok = true;
        main->performAndWait([&] {
            for (const RowValues& r : rows) {
                auto record = lv::ManagedObject::insertNewObject("Toptenz", main);
                for (int k = 0; k < 8; ++k) {
                    if (!r.text[k].isNil()) record->setValueForKey(r.text[k], kTextKeys[k]);
                }
                for (int k = 0; k < 5; ++k) record->setValueForKey(r.integers[k], kIntegerKeys[k]);
                record->setValueForKey(r.updateTime, kUpdateTimeKey);
            }
            ok = main->save(nullptr);
        });
        lv::Ref<lv::Error> error;
        if (ok) root->performAndWait([&] { ok = root->save(&error); });
        if (!ok) {
            state.SkipWithError("save failed");
            break;
        }

        state.PauseTiming();
        saved = coordinator->countForFetchRequest(lv::FetchRequest("Toptenz"), nullptr).value_or(0);
        main.reset();
        root.reset();
        coordinator.reset();
        std::filesystem::remove(path);
        state.ResumeTiming();
    }
    if (saved != kRows) state.SkipWithError("wrong row count");
}

void RawSQLite(benchmark::State& state) {
    static int counter = 100000;
    std::vector<Row> rows;
    for (int i = 0; i < kRows; ++i) rows.push_back(rowAt(i));
    for (auto _ : state) {
        state.PauseTiming();
        const std::string path = freshStore(++counter);
        {
            // The same schema as the object store's.
            auto coordinator = lv::makeRef<lv::PersistentStoreCoordinator>(chartModel());
            if (!coordinator->addPersistentStore(lv::kSQLiteStoreType, "", path, {}, nullptr)) std::abort();
        }
        sqlite3* db = nullptr;
        // One thread uses the connection, as the store's own: no connection mutex around each call.
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        state.ResumeTiming();

        // Rows go in several to a statement (64, then 16, 4 and 1 for the rest): SQLite's work per row
        // is about a fifth less than one statement per row, for the same rows.
        constexpr int kRowsPerStatement[] = {64, 16, 4, 1};
        sqlite3_stmt* inserts[4] = {};
        for (int s = 0; s < 4; ++s) {
            std::string sql =
                "INSERT INTO \"Toptenz\" (\"_pk\", \"_opt\", \"album\", \"album_cn\", \"artist\", \"artist_cn\", "
                "\"avatar\", \"extern_link\", \"title\", \"title_cn\", \"rank\", \"sid\", \"type\", \"translate\", "
                "\"currentLanguage\", \"update_time\") VALUES ";
            for (int r = 0; r < kRowsPerStatement[s]; ++r) {
                sql += r ? ", (?, 1, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)" : "(?, 1, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
            }
            sqlite3_prepare_v2(db, sql.c_str(), -1, &inserts[s], nullptr);
        }
        sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        std::int64_t key = 0;
        std::size_t next = 0;
        for (int s = 0; s < 4; ++s) {
            sqlite3_stmt* stmt = inserts[s];
            const std::size_t per = static_cast<std::size_t>(kRowsPerStatement[s]);
            for (; rows.size() - next >= per; next += per) {
                for (std::size_t i = 0; i < per; ++i) {
                    const Row& r = rows[next + i];
                    const int at = static_cast<int>(i) * 15;
                    sqlite3_bind_int64(stmt, at + 1, ++key);
                    for (int k = 0; k < 8; ++k) {
                        if (r.text[k].empty()) sqlite3_bind_null(stmt, at + 2 + k);
                        else sqlite3_bind_text(stmt, at + 2 + k, r.text[k].data(), static_cast<int>(r.text[k].size()), SQLITE_STATIC);
                    }
                    for (int k = 0; k < 5; ++k) sqlite3_bind_int64(stmt, at + 10 + k, r.integers[k]);
                    sqlite3_bind_double(stmt, at + 15, r.updateTime);
                }
                if (sqlite3_step(stmt) != SQLITE_DONE) std::abort();
                sqlite3_reset(stmt);
            }
        }
        // The store's key counter, as the road leaves it: one write per transaction.
        const std::string keyCounter = "UPDATE \"_lv_keys\" SET last = " + std::to_string(key) + " WHERE entity = 'Toptenz'";
        sqlite3_exec(db, keyCounter.c_str(), nullptr, nullptr, nullptr);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        for (sqlite3_stmt* stmt : inserts) sqlite3_finalize(stmt);

        state.PauseTiming();
        sqlite3_close(db);
        std::filesystem::remove(path);
        state.ResumeTiming();
    }
}

BENCHMARK(ContextSave)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RawSQLite)->Unit(benchmark::kMillisecond)->UseRealTime();

using lv::bench::RatioReporter;

}  // namespace

int main(int argc, char** argv) {
    gDir = std::filesystem::temp_directory_path() / ("lunavexa-save-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(gDir);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    reporter.runRounds();
    benchmark::Shutdown();
    std::filesystem::remove_all(gDir);
    std::string context, raw;
    for (const auto& [name, time] : reporter.times) {
        if (name.rfind("ContextSave", 0) == 0) context = name;
        if (name.rfind("RawSQLite", 0) == 0) raw = name;
    }
    if (!context.empty() && !raw.empty()) {
        char note[96];
        std::snprintf(note, sizeof note, "%.2f ms vs %.2f ms for %d rows", reporter.times[context], reporter.times[raw], kRows);
        reporter.printRatio(context, raw, "2x", "context save / raw SQLite", note);
    }
    return 0;
}
