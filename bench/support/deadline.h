// Deadlines for the benchmarks' waits: a wait that is not over in time marks the benchmark as failed
// (SkipWithError: it then reports no time, so its program prints no ratio) instead of hanging the test
// command. After a false answer the benchmark leaves its loop.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/dispatch/queue.h"

namespace lv::bench {

// Far beyond any wait of a healthy run, and well within the test script's time-out per program.
inline constexpr double kWaitSeconds = 30;

// Takes one unit of the semaphore in time; otherwise marks the benchmark failed with the text.
inline bool awaitSignal(benchmark::State& state, Semaphore& semaphore, const char* what,
                        double seconds = kWaitSeconds) {
    if (semaphore.wait(seconds)) return true;
    state.SkipWithError(what);
    return false;
}

// Waits until the predicate holds, in time; otherwise marks the benchmark failed with the text.
template <class Predicate>
bool awaitCondition(benchmark::State& state, std::condition_variable& changed, std::unique_lock<std::mutex>& lock,
                    Predicate predicate, const char* what, double seconds = kWaitSeconds) {
    if (changed.wait_for(lock, std::chrono::duration<double>(seconds), predicate)) return true;
    state.SkipWithError(what);
    return false;
}

}  // namespace lv::bench
