// A bounded busy wait before a thread goes to sleep. Waking a sleeping thread costs tens of
// microseconds on virtual machines (the wake crosses the hypervisor), more than a loopback request
// takes; an event that comes within a short spin is taken at once instead. The spin adapts to the
// waits it meets: it grows to cover waits that ended soon after the thread fell asleep and shrinks
// while the thread's waits are long, so an idle thread spends next to nothing. Any thread; one
// `SpinBudget` may be shared (its state is one relaxed atomic).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace lv::detail {

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

// Takes `lock` after a spin saw its event. The thread that handed the event over publishes it under
// that lock and may still hold it for a moment; blocking on it then would put this thread to sleep
// and make the other pay a wake-up when it lets go, the very cost the spin saved. So the lock is tried
// 64 times first (between a fraction of a microsecond and a few microseconds, as the processor's
// pause takes), then waited for as usual.
inline void lockAfterSpin(std::unique_lock<std::mutex>& lock) {
    for (int i = 0; i < 64; ++i) {
        if (lock.try_lock()) return;
        cpuRelax();
    }
    lock.lock();
}

class SpinBudget {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::nanoseconds kShortest{2'000};
    static constexpr std::chrono::nanoseconds kLongest{200'000};
    static constexpr std::chrono::nanoseconds kFirst{50'000};

    // Looks between two yields of the processor (and two reads of the clock) for a cheap `ready`.
    static constexpr int kLooksPerYield = 4;

    // Spins until `ready()`, the budget or `deadline`, whichever comes first; true when ready. The
    // thread yields the processor after every `looksPerYield` looks (pass 1 for a `ready` that is
    // itself a system call), then reads the clock. On a processor nothing else wants the yield returns
    // at once, so the spin sees its event as soon as it would without yielding. On a processor another
    // thread is waiting for (the one that will hand the event over, a peer's, another program's; always
    // so on a machine with fewer cores than busy threads) that thread runs at once instead of after the
    // spin or the scheduler's next tick, and the spinner burns no processor time while it waits there.
    template <class Ready>
    bool spin(Ready&& ready, Clock::time_point deadline, int looksPerYield = kLooksPerYield) {
        if (ready()) return true;
        const Clock::time_point until = std::min(deadline, Clock::now() + budget());
        for (;;) {
            for (int i = 0; i < looksPerYield; ++i) {
                cpuRelax();
                if (ready()) return true;
            }
            if (Clock::now() >= until) return ready();
            std::this_thread::yield();
        }
    }

    // After a spin that gave up and a sleep that an event ended: the whole wait, from the start of the
    // spin. A wait the longest spin would have covered widens the spin to it; a longer one halves it.
    void missed(Clock::duration wholeWait) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wholeWait).count();
        const std::int64_t now = budgetNs_.load(std::memory_order_relaxed);
        const std::int64_t next = ns <= kLongest.count() ? std::max(now, ns + ns / 4) : now / 2;
        budgetNs_.store(std::clamp<std::int64_t>(next, kShortest.count(), kLongest.count()), std::memory_order_relaxed);
    }

    std::chrono::nanoseconds budget() const { return std::chrono::nanoseconds(budgetNs_.load(std::memory_order_relaxed)); }

private:
    std::atomic<std::int64_t> budgetNs_{kFirst.count()};
};

}  // namespace lv::detail
