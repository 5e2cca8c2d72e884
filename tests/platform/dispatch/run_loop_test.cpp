// The main thread, run loops, threads and timers in modes. Ordering, waiting and stopping that every
// way of handing work over shares are in delivery_test.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "dispatch_support.h"
#include "platform/base/error.h"

namespace lv {
namespace {

using test::Events;
using test::onAnotherThread;
using test::Recorder;

TEST(MainThreadTest, TheInitialThreadIsTheMainThreadAndRunMainUntilTimesOut) {
    EXPECT_TRUE(Thread::isMainThread());
    EXPECT_EQ(Thread::current(), Thread::mainThread());
    EXPECT_EQ(Thread::mainThread()->name(), "main");
    EXPECT_EQ(RunLoop::current(), RunLoop::main());
    EXPECT_FALSE(onAnotherThread([] { return Thread::isMainThread(); }));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(runMainUntil([] { return false; }, 0.05));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

TEST(RunLoopTest, ReentrantRunKeepsTheFifoOrder) {
    Recorder r;
    Queue::main()->async([&] {
        r.add("outer-begin");
        // Nested turns pick up the requests queued behind this one, in order.
        RunLoop::main()->runMode(kDefaultRunLoopMode, steadyAfter(0.01));
        RunLoop::main()->runMode(kDefaultRunLoopMode, steadyAfter(0.01));
        r.add("outer-end");
    });
    Queue::main()->async([&] { r.add("second"); });
    Queue::main()->async([&] { r.add("third"); });
    ASSERT_TRUE(runMainUntil([&] { return r.size() == 4; }, 5));
    EXPECT_EQ(r.events(), (Events{"outer-begin", "second", "third", "outer-end"}));
}

// A loop runs only on its own thread; without sources a turn ends at once with false, while a timer to
// the distant future keeps it waiting until the deadline.
TEST(RunLoopTest, ALoopRunsOnlyOnItsOwnThreadAndOnlyWithSources) {
    EXPECT_FALSE(onAnotherThread([] { return RunLoop::current()->runMode(kDefaultRunLoopMode, steadyAfter(5)); }));
    EXPECT_TRUE(onAnotherThread([] {
        Ref<RunLoop> loop = RunLoop::current();
        loop->addTimer(Timer::make(Date::distantFuture().sinceNow(), true, [](Timer&) {}), kDefaultRunLoopMode);
        return loop->runMode(kDefaultRunLoopMode, steadyAfter(0.02));
    }));
    Ref<RunLoop> mainLoop = RunLoop::main();
    EXPECT_TRUE(onAnotherThread([&] {
        try {
            mainLoop->runMode(kDefaultRunLoopMode, steadyAfter(0.01));
        } catch (const Exception& e) {
            return e.name() == kInternalInconsistencyException;
        }
        return false;
    }));
}

// The shape of a network thread: a port keeps its loop from running dry. Stop from another thread ends a
// turn of runMode (a timer alone does not); run() goes on serving requests.
TEST(RunLoopTest, StopEndsOneTurnFromAnotherThreadAndRunGoesOn) {
    Ref<Semaphore> running = Semaphore::make(), turnEnded = Semaphore::make();
    Ref<Thread> t = Thread::detachNew(
        [&] {
            Ref<RunLoop> loop = RunLoop::current();
            loop->addPort(kDefaultRunLoopMode);
            loop->addTimer(Timer::make(0, false, [&](Timer&) { running->signal(); }), kDefaultRunLoopMode);
            loop->runMode(kDefaultRunLoopMode, steadyAfter(60));
            turnEnded->signal();
            loop->run();
        },
        "forever");
    ASSERT_TRUE(running->wait(5));
    t->runLoop()->stop();
    EXPECT_TRUE(turnEnded->wait(5));
    Recorder r;
    t->perform([&] { r.add(Thread::current()->name()); }, true);
    t->runLoop()->stop();
    t->perform([&] { r.add("still running"); }, true);
    EXPECT_EQ(r.events(), (Events{"forever", "still running"}));
    EXPECT_TRUE(t->isExecuting());
}

// A request to a finished thread is dropped without waiting; the thread dictionary holds values per thread.
TEST(ThreadTest, FinishedThreadsAndThreadDictionaries) {
    Ref<Thread> t = Thread::detachNew([] {});
    while (!t->isFinished()) std::this_thread::yield();
    bool ran = false;
    t->perform([&] { ran = true; }, true);
    EXPECT_FALSE(ran);
    Thread::current()->setDictionaryValue("key", Value(7));
    EXPECT_EQ(Thread::current()->dictionaryValue("key").intValue(), 7);
    EXPECT_TRUE(onAnotherThread([] { return Thread::current()->dictionaryValue("key").isNil(); }));
    Thread::current()->setDictionaryValue("key", Value());
    EXPECT_TRUE(Thread::current()->dictionaryValue("key").isNil());
}

// A timer fires only while its loop runs in one of its modes; common-mode timers serve every mode in
// the common set, and modes added to it later.
TEST(TimerTest, FiresOnlyInItsModes) {
    std::thread([] {
        int inCustom = 0, inCommon = 0, inTracking = 0;
        Ref<RunLoop> loop = RunLoop::current();
        loop->addTimer(Timer::make(0.001, false, [&](Timer&) { ++inCustom; }), "CustomMode");
        loop->addTimer(Timer::make(0.001, true, [&](Timer& t) {
                           if (++inCommon >= 2) t.invalidate();
                       }),
                       kRunLoopCommonModes);
        loop->addPort(kDefaultRunLoopMode);
        loop->runMode(kDefaultRunLoopMode, steadyAfter(0.03));
        EXPECT_EQ(inCustom, 0);
        EXPECT_GE(inCommon, 1);
        const int commonBefore = inCommon;
        loop->runMode("CustomMode", steadyAfter(0.02));  // not a common mode
        EXPECT_EQ(inCustom, 1);
        EXPECT_EQ(inCommon, commonBefore);
        loop->addCommonMode("Tracking");
        loop->addTimer(Timer::make(0.001, false, [&](Timer&) { ++inTracking; }), kRunLoopCommonModes);
        loop->runMode("Tracking", steadyAfter(0.05));
        EXPECT_EQ(inTracking, 1);
        const std::vector<std::string> modes = loop->allModes();
        EXPECT_EQ(modes.front(), kDefaultRunLoopMode);
        EXPECT_NE(std::find(modes.begin(), modes.end(), "Tracking"), modes.end());
    }).join();
}

TEST(TimerTest, PerformAfterDelayRunsOnTheCallingThreadsLoopAfterEarlierRequests) {
    Recorder r;
    RunLoop::current()->performAfterDelay(0.02, [&] { r.add("late"); });
    RunLoop::current()->performAfterDelay(0.0, [&] { r.add("soon"); });
    ASSERT_TRUE(runMainUntil([&] { return r.size() == 2; }, 5));
    EXPECT_EQ(r.events(), (Events{"soon", "late"}));
}

}  // namespace
}  // namespace lv
