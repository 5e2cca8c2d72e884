// 1,000 sequential data tasks for a small body over one kept-alive loopback connection (engine thread,
// delegate calls on the session's serial delegate queue), beside a plain libcurl easy handle looping
// on the calling thread. Prints the ratios of wall time and of process CPU time (every thread, the
// in-process loopback server's included on both sides).
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <string>

#include "platform/net/fixtures.h"  // the loopback test server
#include "platform/net/session.h"
#include "support/deadline.h"
#include "support/ratio_reporter.h"

namespace {

constexpr int kRequests = 1000;

std::string smallBodyURL() { return lv::test::HttpFixture::shared().url("/bytes/64"); }

class Collector : public lv::URLSessionDelegate {
public:
    bool respondsTo(lv::URLSessionDelegateCall call) const override {
        return call == lv::URLSessionDelegateCall::DidReceiveData || call == lv::URLSessionDelegateCall::DidComplete;
    }
    void didReceiveData(lv::URLSession&, lv::URLSessionDataTask&, const lv::Bytes& chunk) override { bytes += chunk.size(); }
    void didCompleteWithError(lv::URLSession&, lv::URLSessionTask&, const lv::Ref<lv::Error>& error) override {
        if (error) std::abort();
        completed.signal();
    }
    // The task's completion, in time; otherwise the benchmark is marked failed. The caller waits on
    // the platform's semaphore, as a thread waiting for a delegate queue's event does.
    bool wait(benchmark::State& state) {
        return lv::bench::awaitSignal(state, completed, "the task did not complete in time");
    }
    std::size_t bytes = 0;  // delegate queue only until wait() returns

private:
    lv::Semaphore completed;
};

void SessionDataTask(benchmark::State& state) {
    auto collector = std::make_shared<Collector>();
    auto session = lv::URLSession::sessionWithConfiguration(nullptr, collector);
    const lv::URLRequest request(lv::URL::URLWithString(smallBodyURL()));
    for (auto _ : state) {
        session->dataTaskWithRequest(request)->resume();
        if (!collector->wait(state)) break;
    }
    if (!state.error_occurred() && collector->bytes != 64u * static_cast<std::size_t>(state.iterations())) std::abort();
    session->finishTasksAndInvalidate();
}
BENCHMARK(SessionDataTask)->Iterations(kRequests)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

std::size_t countBytes(char*, std::size_t size, std::size_t count, void* user) {
    *static_cast<std::size_t*>(user) += size * count;
    return size * count;
}

void CurlEasyGet(benchmark::State& state) {
    CURL* easy = curl_easy_init();
    const std::string url = smallBodyURL();
    std::size_t bytes = 0;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, countBytes);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &bytes);
    for (auto _ : state) {
        bytes = 0;
        if (curl_easy_perform(easy) != CURLE_OK || bytes != 64) std::abort();
    }
    curl_easy_cleanup(easy);
}
BENCHMARK(CurlEasyGet)->Iterations(kRequests)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    lv::bench::RatioReporter reporter;
    reporter.runRounds();
    benchmark::Shutdown();
    const std::string ours = "SessionDataTask/iterations:1000/process_time";
    const std::string theirs = "CurlEasyGet/iterations:1000/process_time";
    char perTask[64];
    std::snprintf(perTask, sizeof perTask, "%.1f us vs %.1f us per task", reporter.times[ours], reporter.times[theirs]);
    reporter.printRatio(ours, theirs, "1.5x", "SessionDataTask / CurlEasyGet", perTask);
    reporter.printCpuRatio(ours, theirs, "1.5x", "SessionDataTask / CurlEasyGet", "task");
    return 0;
}
