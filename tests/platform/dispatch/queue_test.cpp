// Queues, groups, semaphores and locks, and how many blocks concurrent queues run at once. Order,
// waiting and inline calls of serial queues are checked with the other entry points in delivery_test.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "dispatch_support.h"
#include "platform/base/error.h"
#include "platform/dispatch/detail/pool.h"
#include "platform/dispatch/lock.h"
#include "platform/dispatch/operation.h"

namespace lv {
namespace {

using test::Events;
using test::onAnotherThread;
using test::Recorder;

// A concurrent queue runs its blocks at once; an operation queue runs no more than its limit at once.
// Blocks hold their slot until released one at a time.
TEST(QueueTest, ConcurrentQueuesRunBlocksAtOnceUpToTheirLimit) {
    Ref<Queue> concurrent = Queue::makeConcurrent("com.example.concurrent");
    Ref<OperationQueue> operations = OperationQueue::make();
    operations->setMaxConcurrentOperationCount(2);
    for (const bool operationQueue : {false, true}) {
        SCOPED_TRACE(operationQueue ? "operation queue" : "concurrent queue");
        const int count = operationQueue ? 6 : 2;
        std::atomic<int> running{0}, peak{0}, done{0};
        Ref<Semaphore> gate = Semaphore::make();
        for (int i = 0; i < count; ++i) {
            std::function<void()> block = [&] {
                const int now = ++running;
                for (int seen = peak.load(); now > seen && !peak.compare_exchange_weak(seen, now);) {
                }
                EXPECT_TRUE(gate->wait(10));
                --running;
                ++done;
            };
            if (operationQueue) {
                operations->addOperationWithBlock(block);
            } else {
                concurrent->async(block);
            }
        }
        for (int released = 0; released < count; ++released) {
            const int expected = std::min(2, count - released);
            ASSERT_TRUE(runMainUntil([&] { return running.load() == expected; }, 5));
            gate->signal();
        }
        ASSERT_TRUE(runMainUntil([&] { return done.load() == count; }, 5));
        EXPECT_EQ(peak.load(), 2);
    }
}

// Blocks given to one queue run in deadline order (equal deadlines in submission order), and no block,
// on a serial queue or the main queue, runs before its delay. Order across queues is not promised: the
// two run on different threads, and a loaded machine may run a later deadline first.
TEST(QueueTest, AfterRunsBlocksInDeadlineOrderAndNeverEarly) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    Recorder r;
    std::atomic<int> early{0};
    auto at = [&](std::string name, int delayMs) {
        return [&, name = std::move(name), delayMs] {
            if (Clock::now() - start < std::chrono::milliseconds(delayMs)) ++early;
            r.add(name);
        };
    };
    Ref<Queue> q = Queue::makeSerial("after");
    q->after(0.06, at("c", 60));
    q->after(0.02, at("a", 20));
    q->after(0.04, at("b", 40));
    q->after(0.04, at("b2", 40));  // same delay: submission order
    Queue::main()->after(0.01, at("main", 10));
    ASSERT_TRUE(runMainUntil([&] { return r.size() == 5; }, 5));
    Events onQueue;
    for (const std::string& e : r.events()) {
        if (e != "main") onQueue.push_back(e);
    }
    EXPECT_EQ(onQueue, (Events{"a", "b", "b2", "c"}));
    EXPECT_EQ(early.load(), 0);
}

// The current queue: the main queue on the main thread, none on a thread of its own, the queue running a
// block otherwise, with the values it carries.
TEST(QueueTest, TheCurrentQueueAndItsSpecificValues) {
    static const char kKey = 0;
    int context = 0;
    Ref<Queue> q = Queue::makeSerial("specific");
    q->setSpecific(&kKey, &context);
    EXPECT_EQ(Queue::current(), Queue::main());
    EXPECT_EQ(Queue::currentSpecific(&kKey), nullptr);
    EXPECT_TRUE(test::onAnotherThread([] { return Queue::current() == nullptr; }));
    void* seen = nullptr;
    q->sync([&] { seen = Queue::current() == q ? Queue::currentSpecific(&kKey) : nullptr; });
    EXPECT_EQ(seen, &context);
    std::atomic<void*> seenAsync{nullptr};
    std::atomic<bool> global{false};
    Ref<Group> g = Group::make();
    g->async(q, [&] { seenAsync = Queue::currentSpecific(&kKey); });
    g->async(Queue::global(Queue::Priority::Background), [&] { global = Queue::current() == Queue::global(Queue::Priority::Background); });
    ASSERT_TRUE(g->wait(5));
    EXPECT_EQ(seenAsync.load(), &context);
    EXPECT_TRUE(global.load());
    EXPECT_NE(Queue::global(Queue::Priority::High), Queue::global(Queue::Priority::Default));
    q->setSpecific(&kKey, nullptr);
    EXPECT_EQ(q->getSpecific(&kKey), nullptr);
}

TEST(QueueTest, PoolGrowsWhenEveryWorkerIsBlocked) {
    // More blockers than the pool starts with, fewer than its cap (beyond which blocked workers would
    // starve the releasing block, as on any bounded pool); the last block releases them all.
    const int base = std::max(4, static_cast<int>(std::thread::hardware_concurrency()));
    const int blockers = std::min(base + 8, detail::Pool::kMaxWorkers - 1);
    Ref<Semaphore> gate = Semaphore::make();
    Ref<Group> g = Group::make();
    std::atomic<int> started{0};
    for (int i = 0; i < blockers; ++i) {
        g->async(Queue::global(), [&] {
            ++started;
            EXPECT_TRUE(gate->wait(20));
        });
    }
    g->async(Queue::global(), [&] {
        for (int i = 0; i < blockers; ++i) gate->signal();
    });
    EXPECT_TRUE(g->wait(20));
    EXPECT_EQ(started.load(), blockers);
    EXPECT_LE(detail::Pool::shared().workerCount(), detail::Pool::kMaxWorkers);
}

TEST(GroupTest, NotifyRunsAfterManualEnterAndLeave) {
    Ref<Group> g = Group::make();
    Recorder r;
    g->enter();
    g->enter();
    g->notify(Queue::main(), [&] { r.add("notified"); });
    Queue::global()->async([&, g] {
        r.add("work1");
        g->leave();
    });
    ASSERT_TRUE(runMainUntil([&] { return r.size() == 1; }, 5));
    test::pumpMain(0.02);
    EXPECT_EQ(r.events(), (Events{"work1"}));  // one enter still outstanding
    g->async(Queue::global(), [&] { r.add("work2"); });
    g->leave();
    ASSERT_TRUE(runMainUntil([&] { return r.size() == 3; }, 5));
    EXPECT_EQ(r.events().back(), "notified");
}

// Semaphores and groups: waits take signals and time out; an empty group notifies at once; an
// unbalanced leave raises.
TEST(GroupTest, WaitsTimeOutEmptyGroupsNotifyAtOnceUnbalancedLeavesRaise) {
    Ref<Semaphore> s = Semaphore::make(1);
    EXPECT_TRUE(s->wait(0));
    EXPECT_FALSE(s->wait(0.01));
    std::thread([&] { s->signal(); }).join();
    EXPECT_TRUE(s->wait(5));
    Ref<Group> g = Group::make();
    bool ran = false;
    g->notify(Queue::main(), [&] { ran = true; });
    EXPECT_TRUE(runMainUntil([&] { return ran; }, 5));
    g->enter();
    EXPECT_FALSE(g->wait(0.02));
    g->leave();
    EXPECT_TRUE(g->wait(0.0));
    EXPECT_THROW(g->leave(), Exception);
}

TEST(LockTest, ARecursiveLocksOwnerMayTakeItAgainOthersWaitForTheLastUnlock) {
    RecursiveLock lock("com.example.lock");
    lock.lock();
    EXPECT_TRUE(lock.tryLock());
    EXPECT_FALSE(onAnotherThread([&] { return lock.tryLock(); }));
    lock.unlock();
    lock.unlock();
    EXPECT_TRUE(onAnotherThread([&] {
        const bool taken = lock.tryLock();
        if (taken) lock.unlock();
        return taken;
    }));
}

// One monitor per object, recursive on its thread, excluding other threads; distinct objects do not
// share one (holding `a` while another thread takes `b` would block for ever).
TEST(LockTest, SynchronizedExcludesOtherThreadsOnTheSameObjectOnly) {
    static const char kLockText[] = "__EXAMPLE_LOCK__";
    long counter = 0;  // guarded by the monitor of kLockText only
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) synchronized(kLockText, [&] { synchronized(kLockText, [&] { ++counter; }); });
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 16000);
    int a = 0, b = 0;
    Synchronized holdA(&a);
    EXPECT_TRUE(onAnotherThread([&] {
        Synchronized holdB(&b);
        return true;
    }));
}

TEST(LockTest, OnceRunsExactlyOnceAcrossThreads) {
    OnceFlag flag;
    std::atomic<int> runs{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) threads.emplace_back([&] { once(flag, [&] { ++runs; }); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(runs.load(), 1);
}

}  // namespace
}  // namespace lv
