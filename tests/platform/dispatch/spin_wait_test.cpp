// Waiting threads spin a little before they sleep. A hand-over that lands while the waiter spins,
// while it gives up, or after it sleeps must each wake it: these cases hand work over after delays
// spread around the spin, for the worker pool, semaphores and a run loop. And the spin itself must
// shrink while waits are long, so that an idle thread spends next to nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "platform/dispatch/detail/spin_wait.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"

namespace lv {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The producer's delays, busy-waited so that they are exact: 0 to 400 us, across the spin's range.
void busyFor(std::chrono::microseconds delay) {
    const auto until = Clock::now() + delay;
    while (Clock::now() < until) detail::cpuRelax();
}

std::vector<std::chrono::microseconds> delays() {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> micros(0, 400);
    std::vector<std::chrono::microseconds> list;
    for (int i = 0; i < 300; ++i) list.emplace_back(micros(random));
    return list;
}

TEST(SpinWait, WorkHandedToThePoolAfterAnyDelayIsTaken) {
    std::atomic<int> ran{0};
    int sent = 0;
    for (const auto delay : delays()) {
        busyFor(delay);
        Queue::global()->async([&] { ran.fetch_add(1); });
        ++sent;
        const auto deadline = Clock::now() + 5s;
        while (ran.load() < sent && Clock::now() < deadline) std::this_thread::yield();
        ASSERT_EQ(ran.load(), sent) << "a block handed over after " << delay.count() << " us never ran";
    }
}

TEST(SpinWait, ASignalAfterAnyDelayReachesTheWaiter) {
    Ref<Semaphore> request = Semaphore::make();
    Ref<Semaphore> answer = Semaphore::make();
    const auto list = delays();
    std::thread peer([&] {
        for (const auto delay : list) {
            if (!request->wait(5)) return;
            busyFor(delay);
            answer->signal();
        }
    });
    for (const auto delay : list) {
        request->signal();
        ASSERT_TRUE(answer->wait(5)) << "a signal after " << delay.count() << " us was lost";
    }
    peer.join();
}

TEST(SpinWait, ARunLoopTakesWorkPostedAfterAnyDelay) {
    Ref<RunLoop> main = RunLoop::main();
    std::atomic<int> ran{0};
    int sent = 0;
    for (const auto delay : delays()) {
        std::thread poster([&, delay] {
            busyFor(delay);
            main->perform([&] { ran.fetch_add(1); });
        });
        ++sent;
        // A long wait in one mode: only the posted block (or a lost wake-up's deadline) ends it.
        main->runMode(kDefaultRunLoopMode, steadyAfter(5));
        poster.join();
        ASSERT_EQ(ran.load(), sent) << "a block posted after " << delay.count() << " us was not run";
    }
}

TEST(SpinWait, TheSpinWidensToShortWaitsAndShrinksWhileWaitsAreLong) {
    detail::SpinBudget budget;
    const auto first = budget.budget();
    budget.missed(120us);  // an event soon after the thread fell asleep: the spin grows to cover it
    EXPECT_GE(budget.budget(), 120us);
    EXPECT_GT(budget.budget(), first);
    budget.missed(10ms);  // long waits: spinning would have been wasted
    for (int i = 0; i < 20; ++i) budget.missed(1s);
    EXPECT_EQ(budget.budget(), detail::SpinBudget::kShortest);
    for (int i = 0; i < 20; ++i) budget.missed(199us);
    EXPECT_LE(budget.budget(), detail::SpinBudget::kLongest);
}

}  // namespace
}  // namespace lv
