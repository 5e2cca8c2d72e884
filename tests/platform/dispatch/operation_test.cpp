#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/dispatch/operation.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/thread.h"
#include "recorder.h"

namespace lv {
namespace {

using test::Recorder;
using Events = std::vector<std::string>;

TEST(OperationTest, StartRunsMainAndAnnouncesTheStates) {
    Recorder keys;
    Ref<BlockOperation> op = BlockOperation::make([] {});
    op->addStateObserver([&](Operation&, std::string_view key) { keys.add(std::string(key)); });
    EXPECT_TRUE(op->isReady());
    op->start();
    EXPECT_TRUE(op->isFinished());
    EXPECT_FALSE(op->isExecuting());
    EXPECT_EQ(keys.events(), (Events{"isExecuting", "isExecuting", "isFinished"}));
}

TEST(OperationTest, CancelledBeforeStartFinishesWithoutRunningMain) {
    bool ran = false;
    Ref<BlockOperation> op = BlockOperation::make([&] { ran = true; });
    op->cancel();
    EXPECT_TRUE(op->isCancelled());
    op->start();
    EXPECT_TRUE(op->isFinished());
    EXPECT_FALSE(ran);
    op->cancel();  // finished: nothing changes
    EXPECT_TRUE(op->isFinished());
}

TEST(OperationTest, BlockOperationRunsEveryBlockInOrder) {
    Recorder r;
    Ref<BlockOperation> op = BlockOperation::make([&] { r.add("1"); });
    op->addExecutionBlock([&] { r.add("2"); });
    op->start();
    EXPECT_EQ(r.events(), (Events{"1", "2"}));
}

TEST(OperationQueueTest, DependenciesHoldAnOperationUntilTheyFinish) {
    Ref<OperationQueue> q = OperationQueue::make();
    Recorder r;
    Ref<BlockOperation> a = BlockOperation::make([&] { r.add("a"); });
    Ref<BlockOperation> b = BlockOperation::make([&] { r.add("b"); });
    Ref<BlockOperation> c = BlockOperation::make([&] { r.add("c"); });
    c->addDependency(b);
    b->addDependency(a);
    EXPECT_FALSE(c->isReady());
    q->addOperations({c, b, a}, true);
    EXPECT_EQ(r.events(), (Events{"a", "b", "c"}));
    q->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(q->operationCount(), 0u);
}

TEST(OperationQueueTest, DependencyOnAnOperationOfAnotherQueue) {
    Ref<OperationQueue> q1 = OperationQueue::make();
    Ref<OperationQueue> q2 = OperationQueue::make();
    q1->setSuspended(true);
    Recorder r;
    Ref<BlockOperation> first = BlockOperation::make([&] { r.add("first"); });
    Ref<BlockOperation> second = BlockOperation::make([&] { r.add("second"); });
    second->addDependency(first);
    q1->addOperation(first);
    q2->addOperation(second);
    EXPECT_EQ(r.size(), 0u);
    q1->setSuspended(false);
    second->waitUntilFinished();
    EXPECT_EQ(r.events(), (Events{"first", "second"}));
}

TEST(OperationQueueTest, CompletionBlockRunsExactlyOnceOffTheMainThreadAfterFinishing) {
    Ref<OperationQueue> q = OperationQueue::make();
    std::atomic<int> completions{0};
    std::atomic<bool> finishedWhenRun{false};
    std::atomic<bool> onMain{true};
    Ref<BlockOperation> op = BlockOperation::make([] {});
    Operation* raw = op.get();
    op->setCompletionBlock([&, raw] {
        finishedWhenRun = raw->isFinished();
        onMain = Thread::isMainThread();
        ++completions;
    });
    q->addOperation(op);
    ASSERT_TRUE(runMainUntil([&] { return completions.load() == 1; }, 5));
    // Announcing finished again does not run it a second time.
    op->didChangeValueForKey(kOperationIsFinishedKey);
    runMainUntil([] { return false; }, 0.02);
    EXPECT_EQ(completions.load(), 1);
    EXPECT_TRUE(finishedWhenRun.load());
    EXPECT_FALSE(onMain.load());
    EXPECT_FALSE(op->completionBlock());  // cleared once taken
}

TEST(OperationQueueTest, MaximumConcurrencyIsRespected) {
    Ref<OperationQueue> q = OperationQueue::make();
    q->setMaxConcurrentOperationCount(2);
    std::atomic<int> running{0};
    std::atomic<int> peak{0};
    Ref<Semaphore> gate = Semaphore::make();
    std::vector<Ref<Operation>> ops;
    const int count = 6;
    for (int i = 0; i < count; ++i) {
        ops.push_back(BlockOperation::make([&] {
            int now = ++running;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {
            }
            EXPECT_TRUE(gate->wait(10));
            --running;
        }));
    }
    q->addOperations(ops, false);
    // Operations hold their slot until released one at a time; a queue ignoring its limit would
    // start all of them at once.
    for (int released = 0; released < count; ++released) {
        const int expected = std::min(2, count - released);
        ASSERT_TRUE(runMainUntil([&] { return running.load() == expected; }, 5));
        gate->signal();
    }
    q->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(peak.load(), 2);
}

TEST(OperationQueueTest, SerialQueueRunsOperationsInOrder) {
    Ref<OperationQueue> q = OperationQueue::make();
    q->setMaxConcurrentOperationCount(1);
    Recorder r;
    std::vector<Ref<Operation>> ops;
    for (int i = 0; i < 20; ++i) ops.push_back(BlockOperation::make([&, i] { r.add(std::to_string(i)); }));
    q->addOperations(ops, true);
    Events expected;
    for (int i = 0; i < 20; ++i) expected.push_back(std::to_string(i));
    EXPECT_EQ(r.events(), expected);
}

TEST(OperationQueueTest, SuspendedQueueStartsNothingUntilResumed) {
    Ref<OperationQueue> q = OperationQueue::make();
    q->setSuspended(true);
    std::atomic<bool> ran{false};
    q->addOperationWithBlock([&] { ran = true; });
    runMainUntil([] { return false; }, 0.03);
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(q->operationCount(), 1u);
    q->setSuspended(false);
    q->waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(ran.load());
}

TEST(OperationQueueTest, CancelAllReachesQueuedAndRunningOperations) {
    Ref<OperationQueue> q = OperationQueue::make();
    q->setMaxConcurrentOperationCount(1);
    Ref<Semaphore> started = Semaphore::make();
    std::atomic<bool> runningSawCancel{false};
    std::atomic<int> queuedMains{0};
    std::atomic<int> completions{0};
    Ref<Semaphore> cancelled = Semaphore::make();
    Ref<BlockOperation> running = BlockOperation::make([] {});
    Operation* runningRaw = running.get();
    running->addExecutionBlock([&, runningRaw] {
        started->signal();
        // Cooperative cancellation: the running operation learns of it and checks its flag. It
        // holds its slot until the last queued operation is cancelled too.
        EXPECT_TRUE(cancelled->wait(10));
        runningSawCancel = runningRaw->isCancelled();
    });
    running->setCompletionBlock([&] { ++completions; });
    std::vector<Ref<Operation>> queued;
    for (int i = 0; i < 3; ++i) {
        Ref<BlockOperation> op = BlockOperation::make([&] { ++queuedMains; });
        op->setCompletionBlock([&] { ++completions; });
        queued.push_back(op);
    }
    queued.back()->addStateObserver([&](Operation&, std::string_view key) {
        if (key == kOperationIsCancelledKey) cancelled->signal();
    });
    q->addOperation(running);
    for (auto& op : queued) q->addOperation(op);
    ASSERT_TRUE(started->wait(5));
    q->cancelAllOperations();
    q->waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(runningSawCancel.load());
    EXPECT_EQ(queuedMains.load(), 0);
    for (auto& op : queued) {
        EXPECT_TRUE(op->isCancelled());
        EXPECT_TRUE(op->isFinished());
    }
    ASSERT_TRUE(runMainUntil([&] { return completions.load() == 4; }, 5));
}

TEST(OperationQueueTest, MainOperationQueueRunsOnTheMainThread) {
    Ref<OperationQueue> main = OperationQueue::mainQueue();
    EXPECT_EQ(main->maxConcurrentOperationCount(), 1);
    EXPECT_EQ(OperationQueue::current(), main);
    std::atomic<bool> onMain{false};
    std::atomic<bool> currentIsMain{false};
    Ref<BlockOperation> op = main->addOperationWithBlock([&] {
        onMain = Thread::isMainThread();
        currentIsMain = OperationQueue::current() == OperationQueue::mainQueue();
    });
    ASSERT_TRUE(runMainUntil([&] { return op->isFinished(); }, 5));
    EXPECT_TRUE(onMain.load());
    EXPECT_TRUE(currentIsMain.load());
}

// A concurrent operation in the style of a connection operation: start() hands the work to another
// thread and returns; the operation announces its own transitions, and the queue follows them.
class SelfFinishingOperation : public Operation {
public:
    enum class State { Ready, Executing, Finished };

    bool isConcurrent() const override { return true; }
    bool isReady() const override { return state_.load() == State::Ready && Operation::isReady(); }
    bool isExecuting() const override { return state_.load() == State::Executing; }
    bool isFinished() const override { return state_.load() == State::Finished; }

    void start() override {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        if (isCancelled()) {
            setState(State::Finished);
            return;
        }
        setState(State::Executing);
        Ref<Operation> self = refAs<Operation>();
        worker_ = std::thread([this, self] {
            std::lock_guard<std::recursive_mutex> workerGuard(lock_);
            setState(State::Finished);
        });
        worker_.detach();
    }

private:
    static std::string_view keyOf(State s) {
        switch (s) {
            case State::Ready: return kOperationIsReadyKey;
            case State::Executing: return kOperationIsExecutingKey;
            case State::Finished: return kOperationIsFinishedKey;
        }
        return {};
    }
    void setState(State s) {
        // Announced while holding the operation's own lock, as such operations do.
        std::string_view oldKey = keyOf(state_.load());
        std::string_view newKey = keyOf(s);
        willChangeValueForKey(newKey);
        willChangeValueForKey(oldKey);
        state_.store(s);
        didChangeValueForKey(oldKey);
        didChangeValueForKey(newKey);
    }

    std::recursive_mutex lock_;
    std::atomic<State> state_{State::Ready};
    std::thread worker_;
};

TEST(OperationQueueTest, QueueLearnsTheTransitionsOfAConcurrentOperation) {
    Ref<OperationQueue> q = OperationQueue::make();
    q->setMaxConcurrentOperationCount(1);
    std::atomic<int> completions{0};
    std::vector<Ref<Operation>> ops;
    for (int i = 0; i < 5; ++i) {
        Ref<Operation> op = makeRef<SelfFinishingOperation>();
        op->setCompletionBlock([&] { ++completions; });
        ops.push_back(op);
    }
    ops[4]->addDependency(ops[0]);
    q->addOperations(ops, true);
    for (auto& op : ops) EXPECT_TRUE(op->isFinished());
    ASSERT_TRUE(runMainUntil([&] { return completions.load() == 5; }, 5));
    q->waitUntilAllOperationsAreFinished();
}

TEST(OperationQueueTest, AnOperationIsQueuedOnlyOnce) {
    Ref<OperationQueue> q = OperationQueue::make();
    q->setSuspended(true);
    Ref<BlockOperation> op = BlockOperation::make([] {});
    q->addOperation(op);
    q->addOperation(op);
    EXPECT_EQ(q->operationCount(), 1u);
    q->setSuspended(false);
    q->waitUntilAllOperationsAreFinished();
}

}  // namespace
}  // namespace lv
