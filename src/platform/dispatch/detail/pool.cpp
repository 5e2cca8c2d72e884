#include "platform/dispatch/detail/pool.h"

#include "platform/base/process.h"
#include "platform/dispatch/detail/spin_wait.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace lv::detail {

// ---- Pool ----

struct Pool::Impl {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::function<void()>> jobs[4];
    std::atomic<std::size_t> pending{0};  // written under mutex; read without it while spinning
    int workers = 0;
    int spinning = 0;  // at most one idle worker spins before it sleeps
    SpinBudget spinBudget;
    int idle = 0;
    int base = 4;
    bool growCheckScheduled = false;

    void spawnLocked() {
        ++workers;
        std::thread([this] { work(); }).detach();
    }

    void work() {
        ::pthread_setname_np(::pthread_self(), "lv.worker");
        process::ensureAlternateSignalStack();  // a stack overflow here still reaches a crash handler
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            const auto began = SpinBudget::Clock::now();
            if (pending == 0 && spinning == 0) {
                // One idle worker looks for new work a little longer before sleeping: work handed over
                // in that time needs no wake-up.
                ++spinning;
                lock.unlock();
                spinBudget.spin([&] { return pending.load(std::memory_order_acquire) > 0; }, SpinBudget::Clock::time_point::max());
                lockAfterSpin(lock);
                --spinning;
            }
            bool slept = false;
            while (pending == 0) {
                ++idle;
                slept = true;
                bool timedOut = false;
                if (workers > base) {
                    timedOut = !cv.wait_for(lock, std::chrono::seconds(kIdleRetireSeconds), [&] { return pending > 0; });
                } else {
                    cv.wait(lock, [&] { return pending > 0; });
                }
                --idle;
                if (timedOut && pending == 0) {
                    --workers;
                    return;
                }
            }
            if (slept) spinBudget.missed(SpinBudget::Clock::now() - began);
            std::function<void()> job;
            for (auto& q : jobs) {
                if (!q.empty()) {
                    job = std::move(q.front());
                    q.pop_front();
                    break;
                }
            }
            --pending;
            lock.unlock();
            job();
            job = nullptr;  // captured state is released outside the lock
            lock.lock();
        }
    }

    void growCheck() {
        std::lock_guard<std::mutex> guard(mutex);
        growCheckScheduled = false;
        const long waiting = static_cast<long>(pending) - idle;
        if (waiting <= 0) return;
        const long room = kMaxWorkers - workers;
        for (long i = 0; i < std::min(waiting, room); ++i) spawnLocked();
    }
};

Pool& Pool::shared() {
    static Pool* pool = new Pool;  // never destroyed: workers outlive static destruction
    return *pool;
}

Pool::Pool() : impl_(new Impl) {
    unsigned n = std::thread::hardware_concurrency();
    impl_->base = std::max(4, static_cast<int>(n));
}

void Pool::submit(int priorityIndex, std::function<void()> job) {
    Impl& p = *impl_;
    std::lock_guard<std::mutex> guard(p.mutex);
    p.jobs[std::clamp(priorityIndex, 0, 3)].push_back(std::move(job));
    ++p.pending;
    if (p.idle > 0 && p.pending > static_cast<std::size_t>(p.spinning)) p.cv.notify_one();
    if (static_cast<long>(p.pending) <= p.idle + p.spinning) return;
    if (p.workers < p.base) {
        p.spawnLocked();
        return;
    }
    // Every worker is busy (some may be blocked on purpose): add workers if the work still waits
    // after a short delay.
    if (!p.growCheckScheduled && p.workers < kMaxWorkers) {
        p.growCheckScheduled = true;
        Impl* impl = impl_;
        Scheduler::shared().at(std::chrono::steady_clock::now() + std::chrono::milliseconds(kGrowDelayMilliseconds),
                               [impl] { impl->growCheck(); });
    }
}

int Pool::workerCount() const {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    return impl_->workers;
}

// ---- Scheduler ----

struct Scheduler::Impl {
    struct Action {
        SteadyTime when;
        std::uint64_t seq;
        std::function<void()> fn;
    };
    struct Later {
        bool operator()(const Action& a, const Action& b) const {
            return a.when != b.when ? a.when > b.when : a.seq > b.seq;
        }
    };
    std::mutex mutex;
    std::condition_variable cv;
    std::priority_queue<Action, std::vector<Action>, Later> actions;
    std::uint64_t nextSeq = 0;

    void run() {
        ::pthread_setname_np(::pthread_self(), "lv.scheduler");
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (actions.empty()) {
                cv.wait(lock, [&] { return !actions.empty(); });
                continue;
            }
            SteadyTime when = actions.top().when;
            if (when > std::chrono::steady_clock::now()) {
                const std::uint64_t before = nextSeq;
                cv.wait_until(lock, when, [&] { return nextSeq != before; });
                continue;
            }
            std::function<void()> fn = std::move(const_cast<Action&>(actions.top()).fn);
            actions.pop();
            lock.unlock();
            fn();
            fn = nullptr;
            lock.lock();
        }
    }
};

Scheduler& Scheduler::shared() {
    static Scheduler* scheduler = new Scheduler;  // never destroyed
    return *scheduler;
}

Scheduler::Scheduler() : impl_(new Impl) {
    Impl* impl = impl_;
    std::thread([impl] { impl->run(); }).detach();
}

void Scheduler::at(SteadyTime when, std::function<void()> action) {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    impl_->actions.push(Impl::Action{when, impl_->nextSeq++, std::move(action)});
    impl_->cv.notify_all();
}

}  // namespace lv::detail
