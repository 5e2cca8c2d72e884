#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/base/error.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/thread.h"
#include "recorder.h"

namespace lv {
namespace {

using test::Recorder;
using Events = std::vector<std::string>;

TEST(MainThreadTest, TheInitialThreadIsTheMainThread) {
    EXPECT_TRUE(Thread::isMainThread());
    EXPECT_EQ(Thread::current(), Thread::mainThread());
    EXPECT_EQ(Thread::mainThread()->name(), "main");
    EXPECT_EQ(RunLoop::current(), RunLoop::main());
    std::atomic<bool> workerIsMain{true};
    std::thread([&] { workerIsMain = Thread::isMainThread(); }).join();
    EXPECT_FALSE(workerIsMain.load());
}

TEST(MainThreadTest, MainQueueAndMainThreadPerformsShareOneFifoFromAnyThread) {
    Recorder r;
    std::atomic<bool> allOnMain{true};
    auto step = [&](std::string name) {
        return [&, name] {
            if (!Thread::isMainThread()) allOnMain = false;
            r.add(name);
        };
    };
    Queue::main()->async(step("q1"));
    performOnMainThread(step("p1"), false);
    EXPECT_EQ(r.size(), 0u);  // queued, even though the caller is the main thread
    std::thread([&] {
        for (int i = 0; i < 20; ++i) {
            if (i % 2) {
                Queue::main()->async(step(std::to_string(i)));
            } else {
                performOnMainThread(step(std::to_string(i)), false);
            }
        }
    }).join();
    ASSERT_TRUE(runMainUntil([&] { return r.size() == 22; }, 5));
    Events expected{"q1", "p1"};
    for (int i = 0; i < 20; ++i) expected.push_back(std::to_string(i));
    EXPECT_EQ(r.events(), expected);
    EXPECT_TRUE(allOnMain.load());
}

TEST(MainThreadTest, AWaitingPerformFromAnotherThreadReturnsAfterTheMainThreadRanIt) {
    std::atomic<bool> ran{false};
    std::atomic<bool> returned{false};
    std::atomic<bool> ranOnMain{false};
    std::thread worker([&] {
        performOnMainThread(
            [&] {
                ranOnMain = Thread::isMainThread();
                ran = true;
            },
            true);
        EXPECT_TRUE(ran.load());
        returned = true;
    });
    EXPECT_TRUE(runMainUntil([&] { return returned.load(); }, 5));
    worker.join();
    EXPECT_TRUE(ranOnMain.load());
}

TEST(MainThreadTest, AWaitingPerformOnTheMainThreadRunsInline) {
    bool ran = false;
    performOnMainThread([&] { ran = true; }, true);
    EXPECT_TRUE(ran);
}

TEST(MainThreadTest, RunMainUntilReportsATimeOut) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(runMainUntil([] { return false; }, 0.05));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

TEST(RunLoopTest, ReentrantRunKeepsTheFifoOrder) {
    Recorder r;
    Ref<RunLoop> loop = RunLoop::main();
    Queue::main()->async([&] {
        r.add("outer-begin");
        // Nested turn: picks up the requests queued behind this one, in order.
        loop->runMode(kDefaultRunLoopMode, steadyAfter(0.01));
        loop->runMode(kDefaultRunLoopMode, steadyAfter(0.01));
        r.add("outer-end");
    });
    Queue::main()->async([&] { r.add("second"); });
    Queue::main()->async([&] { r.add("third"); });
    ASSERT_TRUE(runMainUntil([&] { return r.size() == 4; }, 5));
    EXPECT_EQ(r.events(), (Events{"outer-begin", "second", "third", "outer-end"}));
}

TEST(RunLoopTest, RunModeReturnsFalseWhenTheModeHasNoSources) {
    std::atomic<int> result{-1};
    std::thread([&] { result = RunLoop::current()->runMode(kDefaultRunLoopMode, steadyAfter(5)) ? 1 : 0; }).join();
    EXPECT_EQ(result.load(), 0);
}

TEST(RunLoopTest, OnlyTheOwnerThreadMayRunALoop) {
    Ref<RunLoop> mainLoop = RunLoop::main();
    std::atomic<bool> raised{false};
    std::thread([&] {
        try {
            mainLoop->runMode(kDefaultRunLoopMode, steadyAfter(0.01));
        } catch (const Exception& e) {
            raised = e.name() == kInternalInconsistencyException;
        }
    }).join();
    EXPECT_TRUE(raised.load());
}

// A thread whose run loop is kept alive by a port until told to stop.
struct LoopThread {
    Ref<Thread> thread;
    std::atomic<bool> quit{false};
    Ref<Semaphore> done = Semaphore::make();

    explicit LoopThread(std::string name) {
        thread = Thread::detachNew(
            [this] {
                Ref<RunLoop> loop = RunLoop::current();
                loop->addPort(kDefaultRunLoopMode);
                while (!quit.load()) loop->runMode(kDefaultRunLoopMode, steadyAfter(10));
                done->signal();
            },
            std::move(name));
    }
    ~LoopThread() {
        thread->perform([this] { quit = true; }, false);
        EXPECT_TRUE(done->wait(10));
    }
};

TEST(ThreadTest, PerformOnAThreadRunsThereInOrderAndWaitsWhenAsked) {
    LoopThread t("worker-loop");
    Recorder r;
    std::atomic<bool> onTarget{true};
    for (int i = 0; i < 5; ++i) {
        t.thread->perform(
            [&, i] {
                if (Thread::current() != t.thread) onTarget = false;
                r.add(std::to_string(i));
            },
            false);
    }
    t.thread->perform([&] { r.add("waited"); }, true);
    EXPECT_EQ(r.events(), (Events{"0", "1", "2", "3", "4", "waited"}));
    EXPECT_TRUE(onTarget.load());
}

TEST(ThreadTest, AWaitingPerformOnTheTargetThreadItselfRunsInline) {
    LoopThread t("inline");
    Recorder r;
    t.thread->perform(
        [&] {
            t.thread->perform([&] { r.add("later"); }, false);
            t.thread->perform([&] { r.add("inline"); }, true);
            r.add("after-inline");
        },
        true);
    t.thread->perform([] {}, true);
    EXPECT_EQ(r.events(), (Events{"inline", "after-inline", "later"}));
}

TEST(ThreadTest, AThreadKeptAliveByAPortRunsForEverAndServesRequests) {
    // The shape of a network thread: a port keeps its loop from running dry, run() never returns.
    Ref<Thread> t = Thread::detachNew(
        [] {
            Ref<RunLoop> loop = RunLoop::current();
            loop->addPort(kDefaultRunLoopMode);
            loop->run();
        },
        "forever");
    Recorder r;
    for (int i = 0; i < 3; ++i) t->perform([&, i] { r.add(std::to_string(i)); }, false);
    t->perform([&] { r.add(Thread::current()->name()); }, true);
    EXPECT_EQ(r.events(), (Events{"0", "1", "2", "forever"}));
    t->runLoop()->stop();  // ends one turn only: run() goes on
    t->perform([&] { r.add("still running"); }, true);
    EXPECT_EQ(r.size(), 5u);
    EXPECT_TRUE(t->isExecuting());
}

TEST(ThreadTest, ARequestToAFinishedThreadIsDroppedWithoutWaiting) {
    Ref<Thread> t = Thread::detachNew([] {});
    while (!t->isFinished()) std::this_thread::yield();
    bool ran = false;
    t->perform([&] { ran = true; }, true);
    EXPECT_FALSE(ran);
}

TEST(ThreadTest, ThreadDictionaryHoldsValuesPerThread) {
    Thread::current()->setDictionaryValue("key", Value(7));
    EXPECT_EQ(Thread::current()->dictionaryValue("key").intValue(), 7);
    std::atomic<bool> emptyElsewhere{false};
    std::thread([&] { emptyElsewhere = Thread::current()->dictionaryValue("key").isNil(); }).join();
    EXPECT_TRUE(emptyElsewhere.load());
    Thread::current()->setDictionaryValue("key", Value());
    EXPECT_TRUE(Thread::current()->dictionaryValue("key").isNil());
}

TEST(TimerTest, OneShotTimerFiresOnceAndIsThenInvalid) {
    int fired = 0;
    Ref<Timer> t = Timer::scheduled(0.01, false, [&](Timer&) { ++fired; });
    EXPECT_TRUE(t->isValid());
    ASSERT_TRUE(runMainUntil([&] { return fired == 1; }, 5));
    EXPECT_FALSE(t->isValid());
    runMainUntil([] { return false; }, 0.03);
    EXPECT_EQ(fired, 1);
}

TEST(TimerTest, RepeatingTimerFiresUntilInvalidated) {
    int fired = 0;
    Ref<Timer> t = Timer::scheduled(0.005, true, [&](Timer& self) {
        if (++fired == 3) self.invalidate();
    });
    ASSERT_TRUE(runMainUntil([&] { return !t->isValid(); }, 5));
    runMainUntil([] { return false; }, 0.03);
    EXPECT_EQ(fired, 3);
}

TEST(TimerTest, InvalidatedBeforeItsDateItNeverFires) {
    bool fired = false;
    Ref<Timer> t = Timer::scheduled(0.01, false, [&](Timer&) { fired = true; });
    t->invalidate();
    runMainUntil([] { return false; }, 0.05);
    EXPECT_FALSE(fired);
}

TEST(TimerTest, InvalidatedFromAnotherThreadWhileItsLoopRuns) {
    std::atomic<int> fired{0};
    Ref<Timer> t = Timer::scheduled(0.001, true, [&](Timer&) { ++fired; });
    std::atomic<bool> invalidated{false};
    std::thread other([&] {
        while (fired.load() < 2) std::this_thread::yield();
        t->invalidate();
        invalidated = true;
    });
    ASSERT_TRUE(runMainUntil([&] { return invalidated.load(); }, 5));
    other.join();
    int after = fired.load();
    runMainUntil([] { return false; }, 0.02);
    EXPECT_FALSE(t->isValid());
    EXPECT_LE(fired.load(), after + 1);  // at most a fire already under way when it was invalidated
}

TEST(TimerTest, FiresOnlyWhileTheLoopRunsInOneOfItsModes) {
    std::atomic<int> inCustom{0};
    std::atomic<int> inCommon{0};
    std::atomic<bool> done{false};
    std::thread([&] {
        Ref<RunLoop> loop = RunLoop::current();
        loop->addTimer(Timer::make(0.001, false, [&](Timer&) { ++inCustom; }), "CustomMode");
        loop->addTimer(Timer::make(0.001, true, [&](Timer& t) {
                           if (++inCommon >= 2) t.invalidate();
                       }),
                       kRunLoopCommonModes);
        loop->addPort(kDefaultRunLoopMode);
        // The default mode never serves the custom-mode timer.
        loop->runMode(kDefaultRunLoopMode, steadyAfter(0.03));
        EXPECT_EQ(inCustom.load(), 0);
        EXPECT_GE(inCommon.load(), 1);
        // The custom mode is not a common mode yet, so only its own timer fires there.
        int commonBefore = inCommon.load();
        loop->runMode("CustomMode", steadyAfter(0.02));
        EXPECT_EQ(inCustom.load(), 1);
        EXPECT_EQ(inCommon.load(), commonBefore);
        done = true;
    }).join();
    EXPECT_TRUE(done.load());
}

TEST(TimerTest, CommonModeSourcesServeModesAddedToTheCommonSet) {
    std::atomic<int> fired{0};
    std::thread([&] {
        Ref<RunLoop> loop = RunLoop::current();
        loop->addCommonMode("Tracking");
        loop->addTimer(Timer::make(0.001, false, [&](Timer&) { ++fired; }), kRunLoopCommonModes);
        loop->runMode("Tracking", steadyAfter(0.05));
        std::vector<std::string> modes = loop->allModes();
        EXPECT_EQ(modes.front(), kDefaultRunLoopMode);
        EXPECT_NE(std::find(modes.begin(), modes.end(), "Tracking"), modes.end());
    }).join();
    EXPECT_EQ(fired.load(), 1);
}

TEST(TimerTest, PerformAfterDelayRunsOnTheCallingThreadsLoopAfterEarlierRequests) {
    Recorder r;
    RunLoop::current()->performAfterDelay(0.02, [&] { r.add("late"); });
    RunLoop::current()->performAfterDelay(0.0, [&] { r.add("soon"); });
    ASSERT_TRUE(runMainUntil([&] { return r.size() == 2; }, 5));
    EXPECT_EQ(r.events(), (Events{"soon", "late"}));
}

TEST(TimerTest, ATimerToTheDistantFutureKeepsALoopWaiting) {
    std::atomic<bool> returned{false};
    std::thread([&] {
        Ref<RunLoop> loop = RunLoop::current();
        double interval = Date::distantFuture().sinceNow();
        loop->addTimer(Timer::make(interval, true, [](Timer&) {}), kDefaultRunLoopMode);
        returned = loop->runMode(kDefaultRunLoopMode, steadyAfter(0.02));
    }).join();
    EXPECT_TRUE(returned.load());  // waited until the date instead of finding no source
}

TEST(RunLoopTest, StopEndsARunningTurnFromAnotherThread) {
    Ref<Semaphore> running = Semaphore::make();
    Ref<Semaphore> finished = Semaphore::make();
    Ref<Thread> t = Thread::detachNew([&] {
        Ref<RunLoop> loop = RunLoop::current();
        loop->addPort(kDefaultRunLoopMode);
        loop->addTimer(Timer::make(0, false, [&](Timer&) { running->signal(); }), kDefaultRunLoopMode);
        loop->runMode(kDefaultRunLoopMode, steadyAfter(60));  // a timer alone does not end the turn
        finished->signal();
    });
    ASSERT_TRUE(running->wait(5));
    t->runLoop()->stop();
    EXPECT_TRUE(finished->wait(5));
}

}  // namespace
}  // namespace lv
