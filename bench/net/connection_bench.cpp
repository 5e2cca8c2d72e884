// 1,000 sequential GETs of a small body over one kept-alive loopback connection: through the
// connection API (engine thread, delegate calls on the main run loop), beside a plain libcurl easy
// handle looping on the calling thread, and beside a bare libcurl loop on a thread of its own (the
// cost of the hand-overs alone). Prints the ratios of wall time, and of process CPU time (every thread,
// the in-process loopback server's included on both sides) against the plain loop.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <string>

#include "platform/net/fixtures.h"  // the loopback test server
#include "support/deadline.h"
#include "support/ratio_reporter.h"

#include "platform/dispatch/run_loop.h"
#include "platform/net/connection.h"

namespace {

constexpr int kRequests = 1000;

std::string smallBodyURL() { return lv::test::HttpFixture::shared().url("/bytes/64"); }

class Collector : public lv::URLConnectionDelegate {
public:
    void didReceiveData(lv::URLConnection&, const lv::Bytes& chunk) override { bytes += chunk.size(); }
    void didFinishLoading(lv::URLConnection&) override { done = true; }
    void didFailWithError(lv::URLConnection&, const lv::Ref<lv::Error>&) override { std::abort(); }
    std::size_t bytes = 0;
    bool done = false;
};

void ConnectionGet(benchmark::State& state) {
    const lv::URLRequest request(lv::URL::URLWithString(smallBodyURL()));
    for (auto _ : state) {
        auto collector = std::make_shared<Collector>();
        auto connection = lv::URLConnection::make(request, collector);
        if (!lv::runMainUntil([&] { return collector->done; }, lv::bench::kWaitSeconds)) {
            state.SkipWithError("the load did not finish in time");
            break;
        }
        if (collector->bytes != 64) std::abort();
    }
}
BENCHMARK(ConnectionGet)->Iterations(kRequests)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

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

// The floor of any one-engine-thread design: the caller hands each GET to a thread running a bare
// libcurl multi loop and waits for it (two thread hand-overs per request, nothing else).
void CurlMultiOnThread(benchmark::State& state) {
    std::mutex m;
    std::condition_variable cv;
    bool want = false, stop = false;
    bool done = false;
    const std::string url = smallBodyURL();
    std::thread engine([&] {
        CURLM* multi = curl_multi_init();
        std::size_t bytes = 0;
        for (;;) {
            {
                std::unique_lock lock(m);
                cv.wait(lock, [&] { return want || stop; });
                if (stop) return;
                want = false;
            }
            CURL* easy = curl_easy_init();
            curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
            curl_easy_setopt(easy, CURLOPT_PROXY, "");
            curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, countBytes);
            curl_easy_setopt(easy, CURLOPT_WRITEDATA, &bytes);
            curl_multi_add_handle(multi, easy);
            int running = 1;
            while (running) {
                curl_multi_perform(multi, &running);
                if (running) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
            }
            int q;
            while (curl_multi_info_read(multi, &q)) {}
            curl_multi_remove_handle(multi, easy);
            curl_easy_cleanup(easy);
            {
                std::lock_guard lock(m);
                done = true;
            }
            cv.notify_all();
        }
    });
    for (auto _ : state) {
        std::unique_lock lock(m);
        want = true;
        done = false;
        cv.notify_all();
        if (!lv::bench::awaitCondition(state, cv, lock, [&] { return done; }, "the GET did not end in time")) break;
    }
    {
        std::lock_guard lock(m);
        stop = true;
    }
    cv.notify_all();
    engine.join();
}
BENCHMARK(CurlMultiOnThread)->Iterations(kRequests)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    lv::bench::RatioReporter reporter;
    reporter.runRounds();
    benchmark::Shutdown();
    const std::string ours = "ConnectionGet/iterations:1000/process_time";
    const std::string easy = "CurlEasyGet/iterations:1000/process_time";
    const std::string multi = "CurlMultiOnThread/iterations:1000/process_time";
    const auto perGet = [&](const std::string& a, const std::string& b) {
        char text[64];
        std::snprintf(text, sizeof text, "%.1f us vs %.1f us per GET", reporter.times[a], reporter.times[b]);
        return std::string(text);
    };
    reporter.printRatio(ours, easy, "1.3x", "ConnectionGet / CurlEasyGet", perGet(ours, easy));
    reporter.printRatio(ours, multi, "-", "ConnectionGet / CurlMultiOnThread", perGet(ours, multi));
    reporter.printCpuRatio(ours, easy, "1.5x", "ConnectionGet / CurlEasyGet", "GET");
    return 0;
}
