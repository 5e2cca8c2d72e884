// The main thread's cost of one recorded event while 4,000 are cached and the archive follows the
// caches: filing it and the turn's write (one journal record appended). Beside it, the cost of the
// whole archive rewritten for that event (what every turn once paid). Prints the time per event
// against its target of at most 1 ms, and the ratio of the two.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "analytics/tally_internal.h"
#include "analytics/tally_session.h"
#include "analytics/tally_utility.h"
#include "platform/storage/sandbox.h"
#include "support/ratio_reporter.h"

namespace {

using namespace lv;

constexpr int kCached = 4000;

Ref<TLYEvent> makeEvent(int i) {
    auto event = makeRef<TLYEvent>();
    event->event_id = "newsTab";
    event->label = "page" + std::to_string(i % 37);
    event->acc = 1;
    return event;
}

struct Fixture {
    Fixture() {
        char pattern[] = "/tmp/lv_record_bench_XXXXXX";
        root = ::mkdtemp(pattern);
        Sandbox::setRoot(root);
        TallySession::sharedInstance()->setSessionStatus(1);
        engine = makeRef<TallyInternal>();
        engine->loadCache();  // the archive follows the caches from here
        for (int i = 0; i < kCached; ++i) engine->addEvent(makeEvent(i), engine->arrayWithEventType(TallyInternal::kEvent, true));
        engine->writeArchive();
    }
    ~Fixture() { std::filesystem::remove_all(root); }
    std::string root;
    Ref<TallyInternal> engine;
    int next = kCached;
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

// One event filed and its turn's write.
void RecordEvent(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) {
        f.engine->addEvent(makeEvent(f.next++), f.engine->arrayWithEventType(TallyInternal::kEvent, true));
        f.engine->writeArchive();
    }
}
BENCHMARK(RecordEvent)->Unit(benchmark::kMillisecond)->Iterations(400);

// One event filed and the whole archive written again for it.
void RecordEventRewritingTheArchive(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) {
        f.engine->addEvent(makeEvent(f.next++), f.engine->arrayWithEventType(TallyInternal::kEvent, true));
        f.engine->archiveCacheToFile();
    }
}
BENCHMARK(RecordEventRewritingTheArchive)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    auto& f = fixture();
    if (f.engine->events().size() != kCached || !TallyUtility::isExistAtPath(TallyUtility::cacheFilePath())) {
        std::fprintf(stderr, "the cached events are not archived\n");
        return 1;
    }
    lv::bench::RatioReporter reporter;
    reporter.runRounds();
    if (const auto found = reporter.times.find("RecordEvent/iterations:400"); found != reporter.times.end()) {
        std::printf("per recorded event with %d cached: %.3f ms (target: at most 1 ms)\n", kCached, found->second);
    }
    reporter.printRatio("RecordEvent/iterations:400", "RecordEventRewritingTheArchive/iterations:20", "-",
                        "journal / whole rewrite");
    // Every event filed is on disk and reads back.
    auto check = makeRef<TallyInternal>();
    check->loadCache();
    if (check->events().size() != f.engine->events().size()) {
        std::fprintf(stderr, "the journal did not read back: %zu of %zu\n", check->events().size(), f.engine->events().size());
        return 1;
    }
    benchmark::Shutdown();
    return 0;
}
