// Launch and memory: the lunavexa command as a whole process (a cold launch through the fast path to an
// installed tab set over a store of 10,000 news records, then exit) beside the smallest program that
// opens the same SQLite file and counts its rows. Each run is a fresh process started by a small
// measuring program, which times it and reads its peak resident size from wait4's resource usage;
// every launch starts from the analytics state one launch leaves (restored before each run).
// Prints the ratio and both peak sizes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "content/content_records.h"
#include "content/ln_preferences.h"
#include "content/property_persistance.h"
#include "content_service.h"
#include "platform/storage/bundle.h"
#include "platform/storage/sandbox.h"
#include "store/contexts.h"
#include "store/record_stack.h"
#include "store/saves.h"
#include "support/ratio_reporter.h"

extern char** environ;

namespace {

using namespace lv;

constexpr int kRecords = 10000;
std::filesystem::path gHome;
std::string gPort;
long gLaunchPeakKB = 0;
long gCountPeakKB = 0;

std::string storePath() { return (gHome / "Library/Application Support/lunavexa/lunavexa.sqlite").string(); }

// The analytics state a launch leaves behind (its cache archive and envelope files) as after one
// launch. The stand-in service refuses every upload, so without a reset each launch would carry the
// sessions of all earlier ones and the measured work would grow with the number of runs.
std::filesystem::path cachesPath() { return gHome / "Library/Caches"; }
std::filesystem::path cachesSnapshotPath() { return gHome.string() + "-caches"; }

// Replaces the folder `to` with a copy of the folder `from`.
bool copyFolderOver(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::error_code error;
    std::filesystem::remove_all(to, error);
    if (error) return false;
    std::filesystem::copy(from, to, std::filesystem::copy_options::recursive, error);
    return !error;
}

bool restoreCaches() { return copyFolderOver(cachesSnapshotPath(), cachesPath()); }

// A home folder whose settings take the fast path (videos shown, the running version) and whose store
// holds kRecords news records, written by the app's own store code.
void prepareHome() {
    std::filesystem::remove_all(gHome);
    std::filesystem::create_directories(gHome / "Documents");
    Sandbox::setRoot(gHome.string());
    Bundle::setMainBundlePath(LV_SOURCE_DIR "/bundle");
    registerAppClasses();
    auto settings = makeRef<LNPreferences>();
    PropertyPersistance::setPersistanceOn(*settings);
    settings->setHideVideos(Value(false));
    settings->setAppVersion(Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleShortVersionString"));

    RecordStack::setupCoreDataStackWithAutoMigratingSqliteStoreNamed("lunavexa.sqlite");
    auto context = RS_defaultContext();
    context->performAndWait([&] {
        for (int i = 0; i < kRecords; ++i) {
            const std::string n = std::to_string(i);
            auto news = News::RS_createEntityInContext(context);
            news->setValueForKey(Value(i % 2 ? "ent" : "kpop"), "cat_name");
            news->setValueForKey(Value("m" + n), "msgId");
            news->setValueForKey(Value("Headline number " + n + " of the day"), "title");
            news->setValueForKey(Value("http://127.0.0.1/n/" + n), "detailPageLink");
            news->setValueForKey(Value("http://127.0.0.1/img/" + n + ".jpg"), "thumbLink");
            news->setValueForKey(Value(Date::fromSince1970(1425544022.0 + i)), "update_time");
        }
    });
    RS_saveToPersistentStoreAndWait(context);
    RecordStack::cleanUp();
}

// Runs the program to its end through the measuring program; its wall time in seconds, or nothing when
// it did not exit 0.
std::optional<double> runProcess(const std::vector<std::string>& arguments, long& peakKB) {
    std::vector<char*> argv{const_cast<char*>(LV_MEASURE_PROGRAM)};
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string report;
    char buffer[256];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    if (spawned != 0) return std::nullopt;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    long long ns = 0;
    long kb = 0;
    int code = -1;
    if (std::sscanf(report.c_str(), "%lld %ld %d", &ns, &kb, &code) != 3 || code != 0) return std::nullopt;
    peakKB = std::max(peakKB, kb);
    return static_cast<double>(ns) / 1e9;
}

// The analytics upload every launch makes (the envelope the last one left) goes to the stand-in
// service too, which refuses it at once: no launch waits on a name lookup of the machine's resolver.
std::vector<std::string> launchCommand() {
    return {LV_LUNAVEXA_PROGRAM, "--home", gHome.string(), "--bundle", LV_SOURCE_DIR "/bundle",
            "--service", gPort, "--map", "tally-log.invalid=127.0.0.1:" + gPort,
            "--map", "tally-log2.invalid=127.0.0.1:" + gPort, "launch"};
}

// One launch, untimed, leaves the analytics state every measured launch then starts from.
bool snapshotCachesAfterOneLaunch() {
    long peakKB = 0;
    return runProcess(launchCommand(), peakKB) && copyFolderOver(cachesPath(), cachesSnapshotPath());
}

void BM_LunavexaLaunch(benchmark::State& state) {
    const std::vector<std::string> command = launchCommand();
    for (auto _ : state) {
        if (!restoreCaches()) {
            state.SkipWithError("cannot restore the analytics caches");
            break;
        }
        const auto seconds = runProcess(command, gLaunchPeakKB);
        if (!seconds) {
            state.SkipWithError("lunavexa launch failed");
            break;
        }
        state.SetIterationTime(*seconds);
    }
}
BENCHMARK(BM_LunavexaLaunch)->Unit(benchmark::kMillisecond)->UseManualTime();

void BM_CountRows(benchmark::State& state) {
    const std::vector<std::string> command{LV_COUNT_ROWS_PROGRAM, storePath()};
    for (auto _ : state) {
        const auto seconds = runProcess(command, gCountPeakKB);
        if (!seconds) {
            state.SkipWithError("counting the rows failed");
            break;
        }
        state.SetIterationTime(*seconds);
    }
}
BENCHMARK(BM_CountRows)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    gHome = std::filesystem::temp_directory_path() / ("lunavexa-launch-bench-" + std::to_string(::getpid()));
    tools::ContentService service(LV_SOURCE_DIR "/tools/content-service/fixtures");
    if (!service.start()) return 1;
    gPort = std::to_string(service.port());
    prepareHome();
    if (!snapshotCachesAfterOneLaunch()) {
        std::fprintf(stderr, "the first launch failed\n");
        return 1;
    }
    lv::bench::RatioReporter reporter;
    reporter.runRounds();
    reporter.printRatio("BM_LunavexaLaunch/manual_time", "BM_CountRows/manual_time", "5x");
    if (gLaunchPeakKB > 0 && gCountPeakKB > 0) {
        std::printf("peak RSS: launch %.1f MB (target: at most 30 MB), count rows %.1f MB\n", gLaunchPeakKB / 1024.0,
                    gCountPeakKB / 1024.0);
    }
    service.stop();
    std::filesystem::remove_all(gHome);
    std::filesystem::remove_all(cachesSnapshotPath());
    benchmark::Shutdown();
    return 0;
}
