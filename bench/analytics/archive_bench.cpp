// Saving then loading the engine's cache archive with 5,000 events and 100 sessions, beside the
// platform's binary property-list writer and reader on the same values as plain dictionaries, saved
// the same way (a flushed temporary file renamed over the old one) and read back from the file.
// Prints the ratio archive / plain property list.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "analytics/tally_internal.h"
#include "analytics/tally_session.h"
#include "analytics/tally_utility.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/property_list.h"
#include "platform/storage/sandbox.h"
#include "support/ratio_reporter.h"

namespace {

using namespace lv;

constexpr int kEvents = 5000;
constexpr int kSessions = 100;
constexpr int kPages = 5;

Ref<TallyInternal> filledEngine() {
    auto engine = makeRef<TallyInternal>();
    TallySession::sharedInstance()->setSessionStatus(1);
    for (int i = 0; i < kEvents; ++i) {
        auto event = makeRef<TLYEvent>();
        event->event_id = "newsTab";
        event->label = "page" + std::to_string(i % 37);
        event->acc = 1;
        event->du = i * 10;
        engine->workEvent({TallyInternal::kEvent, Value(event), std::nullopt});
    }
    for (int s = 0; s < kSessions; ++s) {
        for (int p = 0; p < kPages; ++p) {
            engine->workEvent({TallyInternal::kPageDuration, Value::array({Value("ScreenController" + std::to_string(p)), Value(12)}), std::nullopt});
        }
        engine->stopSession(60.0 + s);
    }
    return engine;
}

// The same values as plain dictionaries.
Value plainRoot(const TallyInternal& engine) {
    Array events, sessions;
    for (const auto& item : engine.events()) {
        const auto& e = dynamic_cast<const TLYEvent&>(*item);
        events.emplace_back(Value::dictionary({{"ts", Value(e.ts)}, {"type", Value(e.type)}, {"date", Value(e.date)},
                                               {"time", Value(e.time)}, {"session_id", Value(e.session_id)},
                                               {"sendingFlag", Value(e.sendingFlag)}, {"event_id", Value(e.event_id)},
                                               {"label", Value(e.label)}, {"acc", Value(e.acc)}, {"du", Value(e.du)}}));
    }
    for (const auto& item : engine.terminates()) {
        const auto& t = dynamic_cast<const TLYTerminate&>(*item);
        sessions.emplace_back(Value::dictionary({{"ts", Value(t.ts)}, {"type", Value(t.type)}, {"date", Value(t.date)},
                                                 {"time", Value(t.time)}, {"session_id", Value(t.session_id)},
                                                 {"sendingFlag", Value(t.sendingFlag)}, {"duration", Value(t.duration)},
                                                 {"pageViews", Value(t.pageViews)}, {"latitude", Value(t.latitude)},
                                                 {"longitude", Value(t.longitude)}, {"gps_time", Value(t.gps_time)}}));
    }
    return Value::dictionary(
        {{"body", Value::dictionary({{"event", Value(std::move(events))}, {"terminate", Value(std::move(sessions))}})}});
}

struct Fixture {
    Fixture() {
        char pattern[] = "/tmp/lv_archive_bench_XXXXXX";
        root = ::mkdtemp(pattern);
        Sandbox::setRoot(root);
        engine = filledEngine();
        plain = plainRoot(*engine);
    }
    ~Fixture() { std::filesystem::remove_all(root); }
    std::string root;
    Ref<TallyInternal> engine;
    Value plain;
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void SaveThenLoadArchive(benchmark::State& state) {
    auto& f = fixture();
    const std::string path = TallyUtility::cacheFilePath();
    for (auto _ : state) {
        // The engine leaves a file that already holds its bytes as it is; without the last round's
        // file every round saves, as after a change of the caches.
        state.PauseTiming();
        std::filesystem::remove(path);
        state.ResumeTiming();
        f.engine->archiveCacheToFile();
        auto loaded = makeRef<TallyInternal>();
        loaded->loadCache();
        benchmark::DoNotOptimize(loaded->events().size());
    }
}
BENCHMARK(SaveThenLoadArchive)->Unit(benchmark::kMillisecond);

// Writes the bytes as a crash-safe save: a temporary file, flushed, renamed over the target.
bool saveFlushed(const Bytes& bytes, const std::string& path) {
    const std::string temp = path + ".new";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    const bool written = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && ::fsync(fd) == 0;
    return ::close(fd) == 0 && written && ::rename(temp.c_str(), path.c_str()) == 0;
}

void SaveThenLoadPlist(benchmark::State& state) {
    auto& f = fixture();
    const std::string path = f.root + "/plain.plist";
    for (auto _ : state) {
        const auto bytes = PropertyListSerialization::dataWithPropertyList(f.plain, PropertyListFormat::Binary, 0, nullptr);
        if (!bytes || !saveFlushed(*bytes, path)) {
            state.SkipWithError("the save failed");
            break;
        }
        const auto read = FileManager::defaultManager().contentsAtPath(path);
        benchmark::DoNotOptimize(PropertyListSerialization::propertyListWithData(*read, 0, nullptr, nullptr));
    }
}
BENCHMARK(SaveThenLoadPlist)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    auto& f = fixture();
    f.engine->archiveCacheToFile();
    auto check = makeRef<TallyInternal>();
    check->loadCache();
    if (check->events().size() != kEvents || check->terminates().size() != kSessions) {
        std::fprintf(stderr, "the archive did not read back\n");
        return 1;
    }
    lv::bench::RatioReporter reporter;
    reporter.runRounds();
    reporter.printRatio("SaveThenLoadArchive", "SaveThenLoadPlist", "3x");
    benchmark::Shutdown();
    return 0;
}
