// The elastic worker pool behind every global, serial and concurrent queue, and the timer thread
// that submits delayed work.
#pragma once

#include <cstddef>
#include <functional>

#include "platform/dispatch/run_loop.h"

namespace lv::detail {

class Pool {
public:
    static constexpr int kMaxWorkers = 64;
    // How long queued work waits with every worker busy before the pool adds workers.
    static constexpr int kGrowDelayMilliseconds = 20;

    static Pool& shared();
    // Priority index: 0 high, 1 default, 2 low, 3 background.
    void submit(int priorityIndex, std::function<void()> job);
    int workerCount() const;
    // Workers beyond the base count end after this many seconds without work.
    static constexpr int kIdleRetireSeconds = 10;

private:
    Pool();
    struct Impl;
    Impl* impl_;
};

// One thread running actions at their deadlines (equal deadlines in submission order). Actions must
// be short: they hand work on to queues.
class Scheduler {
public:
    static Scheduler& shared();
    void at(SteadyTime when, std::function<void()> action);

private:
    Scheduler();
    struct Impl;
    Impl* impl_;
};

}  // namespace lv::detail
