// The upload scheduler (TallyJob): decides whether an upload run may start now under the report
// policy and the server's back-off level, and starts it at once or after a latency.
//
// Decided here:
// - Every back-off (defcon) level allows a post; the log builder thins the content at levels 1 to 3.
// - The latency is 0 unless the imprint's "latent" holds L > 0 seconds; then it is uniform in
//   [1, min(L, latency_sdk or 1800 when that is not set)] and bDisguisedLatency is true.
//   "latent_hours" is ignored.
//
// Threads: preparePerformJob and the delayed run belong to the main thread; jobRunning, defcon and
// the latency values are atomics, read and written from any thread (the upload worker ends its run on
// the send queue).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/base/object.h"
#include "platform/dispatch/run_loop.h"

namespace lv {

class TallyJob : public Object {
public:
    static constexpr std::int32_t kDefaultLatencyBound = 1800;

    // The back-off level starts as stored under "tlyDefcon" (0 when absent or not 0 to 3).
    TallyJob();
    static Ref<TallyJob> sharedInstance();
    // Replaces the shared scheduler (tests play a new launch this way); a pending delayed run is
    // cancelled.
    static void resetSharedInstance();
    ~TallyJob() override;

    // Trigger 0: a session begin; 1: a filed item or a background session end.
    static void preparePerformJob(std::int32_t trigger);
    static bool shouldCommitJob(std::int32_t trigger);
    // Seconds since "lastPostInterval", -1 when none is stored.
    static double elapsedTimeFromPost();
    // Whether the back-off level lets an upload run (every level does).
    static bool defconAllowsPost(std::int32_t defcon);

    std::int32_t defcon() const { return defcon_.load(); }
    void setDefcon(std::int32_t level) { defcon_.store(level); }
    std::int32_t latency() const { return latency_.load(); }
    bool bDisguisedLatency() const { return disguisedLatency_.load(); }
    std::int32_t latency_sdk() const { return latencySdk_.load(); }
    void setLatency_sdk(std::int32_t seconds) { latencySdk_.store(seconds); }
    bool jobRunning() const { return jobRunning_.load(); }
    void setJobRunning(bool running) { jobRunning_.store(running); }
    // A latency-delayed run is waiting for its timer.
    bool delayedRunPending() const { return pending_.load(); }

    // Works out the latency of the next run (and bDisguisedLatency) from the imprint.
    std::int32_t computeLatency();

private:
    void beginPerformJobDelay();

    std::atomic<std::int32_t> defcon_{0};
    std::atomic<std::int32_t> latency_{0};
    std::atomic<bool> disguisedLatency_{false};
    std::atomic<std::int32_t> latencySdk_{0};
    std::atomic<bool> jobRunning_{false};
    std::atomic<bool> pending_{false};
    Ref<Timer> delayTimer_;  // main thread only
};

}  // namespace lv
