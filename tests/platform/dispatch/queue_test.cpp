#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/base/error.h"
#include "platform/dispatch/detail/pool.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/thread.h"
#include "recorder.h"

namespace lv {
namespace {

using test::Recorder;
using Events = std::vector<std::string>;

TEST(QueueTest, SerialQueueRunsOneBlockAtATimeInOrder) {
    // More blocks than one drain runs before handing the worker back: the later batches must follow.
    constexpr int kBlocks = 200;
    Ref<Queue> q = Queue::makeSerial("com.example.serial");
    Recorder r;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    Ref<Semaphore> allQueued = Semaphore::make();
    Ref<Group> g = Group::make();
    g->async(q, [&] { EXPECT_TRUE(allQueued->wait(5)); });
    for (int i = 0; i < kBlocks; ++i) {
        g->async(q, [&, i] {
            if (++inside > 1) overlapped = true;
            r.add(std::to_string(i));
            --inside;
        });
    }
    allQueued->signal();
    ASSERT_TRUE(g->wait(5)) << r.size() << " of " << kBlocks << " blocks ran";
    Events expected;
    for (int i = 0; i < kBlocks; ++i) expected.push_back(std::to_string(i));
    EXPECT_EQ(r.events(), expected);
    EXPECT_FALSE(overlapped.load());
}

TEST(QueueTest, ConcurrentQueueRunsBlocksAtTheSameTime) {
    Ref<Queue> q = Queue::makeConcurrent("com.example.concurrent");
    Ref<Semaphore> first = Semaphore::make();
    Ref<Semaphore> second = Semaphore::make();
    Ref<Group> g = Group::make();
    // Each block waits for the other: this finishes only if both run at once.
    g->async(q, [&] {
        first->signal();
        EXPECT_TRUE(second->wait(5));
    });
    g->async(q, [&] {
        second->signal();
        EXPECT_TRUE(first->wait(5));
    });
    EXPECT_TRUE(g->wait(10));
}

TEST(QueueTest, SyncOntoTheCurrentQueueRunsInline) {
    Ref<Queue> q = Queue::makeSerial("inline");
    Recorder r;
    q->sync([&] {
        r.add("outer");
        q->sync([&] { r.add("inner"); });  // would deadlock if queued behind the running block
        r.add("outer-end");
    });
    EXPECT_EQ(r.events(), (Events{"outer", "inner", "outer-end"}));
}

TEST(QueueTest, SyncOntoTheMainQueueFromTheMainThreadRunsInline) {
    bool ran = false;
    Queue::main()->sync([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(QueueTest, SyncOntoTheMainQueueFromAWorkerWaitsForTheMainThread) {
    std::atomic<bool> ranOnMain{false};
    std::atomic<bool> back{false};
    Queue::global()->async([&] {
        Queue::main()->sync([&] { ranOnMain = Thread::isMainThread() && Queue::main()->isCurrent(); });
        back = true;
    });
    ASSERT_TRUE(runMainUntil([&] { return back.load(); }, 5));
    EXPECT_TRUE(ranOnMain.load());
}

TEST(QueueTest, SyncOntoABusySerialQueueRunsOnTheCallerAfterEarlierBlocks) {
    Ref<Queue> q = Queue::makeSerial("busy");
    Recorder r;
    Ref<Semaphore> release = Semaphore::make();
    q->async([&] {
        EXPECT_TRUE(release->wait(5));
        r.add("first");
    });
    q->async([&] { r.add("second"); });
    std::thread releaser([&] { release->signal(); });
    std::thread::id caller = std::this_thread::get_id();
    std::thread::id ranOn;
    q->sync([&] {
        ranOn = std::this_thread::get_id();
        EXPECT_TRUE(q->isCurrent());
        r.add("sync");
    });
    q->async([&] { r.add("after"); });
    q->sync([] {});
    releaser.join();
    EXPECT_EQ(ranOn, caller);
    EXPECT_EQ(r.events(), (Events{"first", "second", "sync", "after"}));
}

TEST(QueueTest, AfterRunsBlocksInDeadlineOrder) {
    Recorder r;
    Ref<Queue> q = Queue::makeSerial("after");
    q->after(0.06, [&] { r.add("c"); });
    q->after(0.02, [&] { r.add("a"); });
    q->after(0.04, [&] { r.add("b"); });
    q->after(0.04, [&] { r.add("b2"); });  // same delay: submission order
    Queue::main()->after(0.01, [&] { r.add("main"); });
    ASSERT_TRUE(runMainUntil([&] { return r.size() == 5; }, 5));
    EXPECT_EQ(r.events(), (Events{"main", "a", "b", "b2", "c"}));
}

TEST(QueueTest, AfterDoesNotRunEarly) {
    auto start = std::chrono::steady_clock::now();
    std::atomic<bool> ran{false};
    std::chrono::steady_clock::duration waited{};
    Queue::global()->after(0.05, [&] {
        waited = std::chrono::steady_clock::now() - start;
        ran = true;
    });
    ASSERT_TRUE(runMainUntil([&] { return ran.load(); }, 5));
    EXPECT_GE(waited, std::chrono::milliseconds(50));
}

TEST(QueueTest, QueueSpecificValuesIdentifyTheCurrentQueue) {
    static const char kKey = 0;
    int context = 0;
    Ref<Queue> q = Queue::makeSerial("specific");
    q->setSpecific(&kKey, &context);
    EXPECT_EQ(Queue::currentSpecific(&kKey), nullptr);
    EXPECT_FALSE(q->isCurrent());
    void* seen = nullptr;
    bool current = false;
    q->sync([&] {
        seen = Queue::currentSpecific(&kKey);
        current = q->isCurrent() && Queue::current() == q;
    });
    EXPECT_EQ(seen, &context);
    EXPECT_TRUE(current);
    std::atomic<void*> seenAsync{nullptr};
    Ref<Group> g = Group::make();
    g->async(q, [&] { seenAsync = Queue::currentSpecific(&kKey); });
    ASSERT_TRUE(g->wait(5));
    EXPECT_EQ(seenAsync.load(), &context);
    q->setSpecific(&kKey, nullptr);
    EXPECT_EQ(q->getSpecific(&kKey), nullptr);
}

TEST(QueueTest, CurrentQueueOnTheMainThreadIsTheMainQueue) {
    EXPECT_EQ(Queue::current(), Queue::main());
    std::atomic<bool> none{false};
    std::thread([&] { none = Queue::current() == nullptr; }).join();
    EXPECT_TRUE(none.load());
    std::atomic<bool> global{false};
    Ref<Group> g = Group::make();
    g->async(Queue::global(Queue::Priority::Background),
             [&] { global = Queue::current() == Queue::global(Queue::Priority::Background); });
    ASSERT_TRUE(g->wait(5));
    EXPECT_TRUE(global.load());
    EXPECT_NE(Queue::global(Queue::Priority::High), Queue::global(Queue::Priority::Default));
}

TEST(QueueTest, PoolGrowsWhenEveryWorkerIsBlocked) {
    // Block more blocks than the pool starts with workers; the last one releases them all.
    // More blockers than the pool starts with, fewer than its cap (beyond which blocked workers
    // would starve the releasing block, as on any bounded pool).
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
    runMainUntil([] { return false; }, 0.02);
    EXPECT_EQ(r.events(), (Events{"work1"}));  // one enter still outstanding
    g->async(Queue::global(), [&] { r.add("work2"); });
    g->leave();
    ASSERT_TRUE(runMainUntil([&] { return r.size() == 3; }, 5));
    EXPECT_EQ(r.events().back(), "notified");
}

TEST(GroupTest, EmptyGroupsNotifyAtOnceWaitsTimeOutUnbalancedLeavesRaise) {
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

TEST(SemaphoreTest, WaitTakesSignalsAndTimesOut) {
    Ref<Semaphore> s = Semaphore::make(1);
    EXPECT_TRUE(s->wait(0));
    EXPECT_FALSE(s->wait(0.01));
    std::thread([&] { s->signal(); }).join();
    EXPECT_TRUE(s->wait(5));
}

}  // namespace
}  // namespace lv
