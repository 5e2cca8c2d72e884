// The properties every way of handing work to a thread shares, checked once over all of them: FIFO
// order one block at a time on the target, waiting calls, inline waiting calls on the target itself;
// and timers of the run loop and of the dispatch sources firing until stopped.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "dispatch_support.h"
#include "platform/dispatch/operation.h"
#include "platform/dispatch/source.h"

namespace lv {
namespace {

using test::Events;
using test::Recorder;

enum Entry {
    MainQueue, MainThreadPerform, MainQueueAndPerformsInTurn, MainOperationQueue, SerialQueue, LoopThreadPerform, SerialOperationQueue
};

const char* const kEntryNames[] = {"MainQueue",   "MainThreadPerform", "MainQueueAndPerformsInTurn", "MainOperationQueue",
                                   "SerialQueue", "LoopThreadPerform", "SerialOperationQueue"};

// One target of each kind, reached through the entry point under test.
class Delivery : public ::testing::TestWithParam<Entry> {
protected:
    void async(std::function<void()> block) {
        switch (GetParam()) {
            case MainQueue: Queue::main()->async(std::move(block)); break;
            case MainThreadPerform: performOnMainThread(std::move(block), false); break;
            case MainQueueAndPerformsInTurn:
                if (turn_++ % 2) {
                    Queue::main()->async(std::move(block));
                } else {
                    performOnMainThread(std::move(block), false);
                }
                break;
            case MainOperationQueue: OperationQueue::mainQueue()->addOperationWithBlock(std::move(block)); break;
            case SerialQueue: serial_->async(std::move(block)); break;
            case LoopThreadPerform: loop_.thread->perform(std::move(block), false); break;
            case SerialOperationQueue: operations_->addOperationWithBlock(std::move(block)); break;
        }
    }
    // Returns once the block ran on the target.
    void sync(const std::function<void()>& block) {
        switch (GetParam()) {
            case MainQueue: Queue::main()->sync(block); break;
            case MainThreadPerform:
            case MainQueueAndPerformsInTurn: performOnMainThread(block, true); break;
            case MainOperationQueue: OperationQueue::mainQueue()->addOperations({BlockOperation::make(block)}, true); break;
            case SerialQueue: serial_->sync(block); break;
            case LoopThreadPerform: loop_.thread->perform(block, true); break;
            case SerialOperationQueue: operations_->addOperations({BlockOperation::make(block)}, true); break;
        }
    }
    // Returns once every block queued before has run to its end. The main thread's targets need no
    // wait: their blocks run on this thread, between the turns of the main loop.
    void finishQueued() {
        switch (GetParam()) {
            case SerialQueue:
            case LoopThreadPerform:
            case SerialOperationQueue: sync([] {}); break;
            default: break;
        }
    }
    bool onTarget() const {
        switch (GetParam()) {
            case MainQueue: return Thread::isMainThread() && Queue::main()->isCurrent();
            case MainThreadPerform:
            case MainQueueAndPerformsInTurn: return Thread::isMainThread();
            case MainOperationQueue: return Thread::isMainThread() && OperationQueue::current() == OperationQueue::mainQueue();
            case SerialQueue: return serial_->isCurrent();
            case LoopThreadPerform: return Thread::current() == loop_.thread;
            case SerialOperationQueue: return OperationQueue::current() == operations_;
        }
        return false;
    }

private:
    int turn_ = 0;
    Ref<Queue> serial_ = Queue::makeSerial("com.example.serial");
    test::LoopThread loop_{"worker-loop"};
    Ref<OperationQueue> operations_ = [] {
        Ref<OperationQueue> q = OperationQueue::make();
        q->setMaxConcurrentOperationCount(1);
        return q;
    }();
};

const auto kEntryName = [](const ::testing::TestParamInfo<Entry>& info) { return std::string(kEntryNames[info.param]); };

INSTANTIATE_TEST_SUITE_P(EveryEntry, Delivery,
                         ::testing::Values(MainQueue, MainThreadPerform, MainQueueAndPerformsInTurn, MainOperationQueue,
                                           SerialQueue, LoopThreadPerform, SerialOperationQueue),
                         kEntryName);

// More blocks than a queue's drain runs in one batch, queued while the first one waits, half from this
// thread and half from another: they run in order, one at a time, on the target, never inside the call.
TEST_P(Delivery, BlocksRunInOrderOneAtATimeOnTheTarget) {
    constexpr int kBlocks = 200;
    Recorder r;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false}, offTarget{false}, inline_{false};
    std::atomic<std::thread::id> submitter{};
    Ref<Semaphore> allQueued = Semaphore::make();
    auto submit = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            submitter = std::this_thread::get_id();
            async([&, i] {
                if (std::this_thread::get_id() == submitter.load()) inline_ = true;
                EXPECT_TRUE(i > 0 || allQueued->wait(5));
                if (++inside > 1) overlapped = true;
                if (!onTarget()) offTarget = true;
                r.add(std::to_string(i));
                --inside;
            });
            submitter = std::thread::id();
        }
    };
    submit(0, kBlocks / 2);
    std::thread([&] { submit(kBlocks / 2, kBlocks); }).join();
    allQueued->signal();
    const bool allRan = runMainUntil([&] { return r.size() == kBlocks; }, 10);
    // The last block is still running once it recorded itself, and uses this test's locals after.
    finishQueued();
    ASSERT_TRUE(allRan) << r.size() << " of " << kBlocks << " ran";
    EXPECT_EQ(r.events(), test::counting(kBlocks));
    EXPECT_FALSE(overlapped.load());
    EXPECT_FALSE(offTarget.load());
    EXPECT_FALSE(inline_.load());
}

// A waiting call from another thread runs on the target after the blocks queued before it and returns
// once it ran; a serial queue runs it on the calling thread.
TEST_P(Delivery, AWaitingCallFromAnotherThreadRunsAfterEarlierBlocksAndReturnsOnceItRan) {
    Recorder r;
    std::atomic<bool> onTargetWhenRun{false}, onCaller{false}, returned{false};
    std::thread caller([&] {
        async([&] { r.add("first"); });
        async([&] { r.add("second"); });
        const std::thread::id callerId = std::this_thread::get_id();
        sync([&] {
            onTargetWhenRun = onTarget();
            onCaller = std::this_thread::get_id() == callerId;
            r.add("waited");
        });
        r.add("returned");
        returned = true;
    });
    EXPECT_TRUE(runMainUntil([&] { return returned.load(); }, 5));
    caller.join();
    EXPECT_EQ(r.events(), (Events{"first", "second", "waited", "returned"}));
    EXPECT_TRUE(onTargetWhenRun.load());
    EXPECT_TRUE(GetParam() != SerialQueue || onCaller.load());
}

// On the target itself a waiting call runs at once (queued behind the running block it would never run).
using InlineDelivery = Delivery;

INSTANTIATE_TEST_SUITE_P(EveryEntryWithAnInlineWait, InlineDelivery,
                         ::testing::Values(MainQueue, MainThreadPerform, SerialQueue, LoopThreadPerform), kEntryName);

TEST_P(InlineDelivery, AWaitingCallOnTheTargetItselfRunsInline) {
    Recorder r;
    sync([&] {
        async([&] { r.add("later"); });
        sync([&] { r.add("inline"); });
        r.add("after-inline");
    });
    ASSERT_TRUE(runMainUntil([&] { return r.size() == 3; }, 5));
    EXPECT_EQ(r.events(), (Events{"inline", "after-inline", "later"}));
}

// Timers of the main run loop and timer sources on a queue: a one-shot fires once; a repeating one
// fires until stopped from its handler or from another thread; one stopped before its date never fires.
enum TimerKind { LoopTimer, TimerSource };
enum StopWhen { Never, AtTheThirdFire, BeforeItsDate, FromAnotherThread };

class Timers : public ::testing::TestWithParam<TimerKind> {};

INSTANTIATE_TEST_SUITE_P(BothKinds, Timers, ::testing::Values(LoopTimer, TimerSource),
                         [](const auto& param) { return std::string(param.param == LoopTimer ? "LoopTimer" : "TimerSource"); });

TEST_P(Timers, FireUntilStoppedAndNeverAfter) {
    struct Row { bool repeats; StopWhen stop; int fires; /* -1: at least two */ };
    const Row rows[] = {{false, Never, 1}, {true, AtTheThirdFire, 3}, {false, BeforeItsDate, 0}, {true, FromAnotherThread, -1}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.stop);
        std::atomic<int> fired{0};
        std::atomic<bool> cancelHandlerRan{false}, stopped{false};
        Ref<Timer> timer;
        Ref<Source> source;
        std::function<void()> stop;
        auto onFire = [&] {
            if (++fired == 3 && row.stop == AtTheThirdFire) stop();
        };
        if (GetParam() == LoopTimer) {
            timer = Timer::scheduled(0.005, row.repeats, [&](Timer&) { onFire(); });
            stop = [&] { timer->invalidate(); };
        } else {
            source = Source::makeTimer(Queue::makeSerial("timers"));
            stop = [&] { source->cancel(); };
            source->setEventHandler(onFire);
            source->setCancelHandler([&] { cancelHandlerRan = true; });
            source->setTimer(0.005, row.repeats ? 0.002 : 0);
            source->resume();
        }
        if (row.stop == BeforeItsDate) stop();
        std::thread other([&] {
            if (row.stop != FromAnotherThread) return;
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (fired.load() < 2 && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
            stop();
            stopped = true;
        });
        EXPECT_TRUE(runMainUntil([&] { return row.fires < 0 ? stopped.load() : fired.load() == row.fires; }, 5));
        other.join();
        const int seen = fired.load();
        test::pumpMain(0.03);
        EXPECT_LE(fired.load(), seen + (row.stop == FromAnotherThread));  // a fire under way when it was stopped
        EXPECT_TRUE(row.fires < 0 || fired.load() == row.fires) << fired.load();
        if (timer) {
            EXPECT_FALSE(timer->isValid());
        } else {  // the cancel handler runs once stopped, and before this row's state goes
            source->cancel();
            EXPECT_TRUE(runMainUntil([&] { return cancelHandlerRan.load(); }, 5));
        }
    }
}

}  // namespace
}  // namespace lv
