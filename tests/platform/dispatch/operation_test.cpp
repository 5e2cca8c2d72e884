#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "dispatch_support.h"
#include "platform/dispatch/operation.h"

namespace lv {
namespace {

using test::Events;
using test::Recorder;

// Order of operations on a serial queue and the main operation queue's thread are checked with the
// other entry points in delivery_test, the concurrency limit with the concurrent queue in queue_test.

TEST(OperationTest, StartRunsEveryBlockInOrderAndAnnouncesTheStatesUnlessCancelledBefore) {
    Recorder r;
    Ref<BlockOperation> op = BlockOperation::make([&] { r.add("1"); });
    op->addExecutionBlock([&] { r.add("2"); });
    op->addStateObserver([&](Operation&, std::string_view key) { r.add(std::string(key)); });
    EXPECT_TRUE(op->isReady());
    op->start();
    EXPECT_TRUE(op->isFinished() && !op->isExecuting());
    EXPECT_EQ(r.events(), (Events{"isExecuting", "1", "2", "isExecuting", "isFinished"}));
    Ref<BlockOperation> cancelled = BlockOperation::make([&] { r.add("cancelled ran"); });
    cancelled->cancel();
    cancelled->start();
    cancelled->cancel();  // finished: nothing changes
    EXPECT_TRUE(cancelled->isCancelled() && cancelled->isFinished());
    EXPECT_EQ(r.size(), 5u);
}

// An operation waits for its dependencies, on its own queue or another; a suspended queue starts
// nothing until resumed, and an operation added twice is queued once.
TEST(OperationQueueTest, DependenciesAndSuspensionHoldOperations) {
    Ref<OperationQueue> held = OperationQueue::make();
    Ref<OperationQueue> q = OperationQueue::make();
    held->setSuspended(true);
    Recorder r;
    auto named = [&](const char* name) { return BlockOperation::make([&r, name] { r.add(name); }); };
    Ref<BlockOperation> first = named("first"), a = named("a"), b = named("b"), c = named("c");
    c->addDependency(b);
    b->addDependency(a);
    a->addDependency(first);
    EXPECT_FALSE(c->isReady());
    held->addOperation(first);
    held->addOperation(first);
    q->addOperations({c, b, a}, false);
    test::pumpMain(0.03);
    EXPECT_EQ(r.size(), 0u);
    EXPECT_EQ(held->operationCount(), 1u);
    held->setSuspended(false);
    q->waitUntilAllOperationsAreFinished();
    // `held` lets go of its finished operation on its own worker, which may come after q's last.
    held->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(r.events(), (Events{"first", "a", "b", "c"}));
    EXPECT_EQ(q->operationCount() + held->operationCount(), 0u);
}

// Cancelling reaches queued operations (finished without running) and the running one (which learns of
// it through its flag). Every completion block runs once, off the main thread, after its operation
// finished, and is then cleared; announcing finished again does not run it a second time.
TEST(OperationQueueTest, CancelAllReachesQueuedAndRunningOperationsAndCompletionsRunOnce) {
    Ref<OperationQueue> q = OperationQueue::make();
    q->setMaxConcurrentOperationCount(1);
    Ref<Semaphore> started = Semaphore::make();
    Ref<Semaphore> cancelled = Semaphore::make();
    std::atomic<bool> runningSawCancel{false};
    std::atomic<int> queuedMains{0}, completions{0}, completedBeforeFinishing{0}, completedOnMain{0};
    std::vector<Ref<Operation>> ops{BlockOperation::make([] {})};
    Operation* running = ops[0].get();
    std::static_pointer_cast<BlockOperation>(ops[0])->addExecutionBlock([&, running] {
        started->signal();
        EXPECT_TRUE(cancelled->wait(10));  // holds its slot until the last queued operation is cancelled too
        runningSawCancel = running->isCancelled();
    });
    for (int i = 0; i < 3; ++i) ops.push_back(BlockOperation::make([&] { ++queuedMains; }));
    for (const Ref<Operation>& op : ops) {
        op->setCompletionBlock([&, raw = op.get()] {
            completedBeforeFinishing += !raw->isFinished();
            completedOnMain += Thread::isMainThread();
            ++completions;
        });
    }
    ops.back()->addStateObserver([&](Operation&, std::string_view key) {
        if (key == kOperationIsCancelledKey) cancelled->signal();
    });
    q->addOperations(ops, false);
    ASSERT_TRUE(started->wait(5));
    q->cancelAllOperations();
    q->waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(runningSawCancel.load());
    EXPECT_EQ(queuedMains.load(), 0);
    for (auto& op : ops) EXPECT_TRUE(op->isCancelled() && op->isFinished());
    ASSERT_TRUE(runMainUntil([&] { return completions.load() == 4; }, 5));
    ops[0]->didChangeValueForKey(kOperationIsFinishedKey);
    test::pumpMain(0.02);
    EXPECT_EQ(completions.load(), 4);
    EXPECT_EQ(completedBeforeFinishing.load() + completedOnMain.load(), 0);
    EXPECT_FALSE(ops[0]->completionBlock());
}

// A worker that finished an operation goes on with the queue's next one itself, so the queue must
// still start others while one runs: a running operation of an unlimited queue waits for one added
// after it (held back, it would wait forever), and on a serial queue operations added from inside a
// running one follow it in order, each seeing its queue as the current one.
TEST(OperationQueueTest, RunningOperationsNeitherHoldBackOthersNorLoseTheOrder) {
    Ref<OperationQueue> unlimited = OperationQueue::make();
    std::atomic<bool> sawLater{false};
    Ref<Semaphore> laterRan = Semaphore::make();
    unlimited->addOperationWithBlock([&, unlimited, laterRan] {
        unlimited->addOperationWithBlock([laterRan] { laterRan->signal(); });
        sawLater = laterRan->wait(5);
    });
    unlimited->waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(sawLater.load());

    Ref<OperationQueue> serial = OperationQueue::make();
    serial->setMaxConcurrentOperationCount(1);
    Recorder r;
    std::atomic<int> foreign{0};
    std::function<void(int)> chain = [&](int i) {
        if (OperationQueue::current() != serial) ++foreign;
        r.add(std::to_string(i));
        if (i % 5 == 0 && i < 40) {
            for (int k = 1; k <= 5; ++k) serial->addOperationWithBlock([&, next = i + k] { chain(next); });
        }
    };
    serial->addOperationWithBlock([&] { chain(0); });
    ASSERT_TRUE(runMainUntil([&] { return r.size() == 41u; }, 10));
    serial->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(r.events(), test::counting(41));
    EXPECT_EQ(foreign.load(), 0);
}

TEST(OperationQueueTest, TheMainOperationQueueIsSerialAndCurrentOnTheMainThread) {
    EXPECT_EQ(OperationQueue::mainQueue()->maxConcurrentOperationCount(), 1);
    EXPECT_EQ(OperationQueue::current(), OperationQueue::mainQueue());
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
        std::thread([this, self] {
            std::lock_guard<std::recursive_mutex> workerGuard(lock_);
            setState(State::Finished);
        }).detach();
    }

private:
    static std::string_view keyOf(State s) {
        const std::string_view keys[] = {kOperationIsReadyKey, kOperationIsExecutingKey, kOperationIsFinishedKey};
        return keys[static_cast<int>(s)];
    }
    void setState(State s) {
        // Announced while holding the operation's own lock, as such operations do.
        const std::string_view oldKey = keyOf(state_.load()), newKey = keyOf(s);
        willChangeValueForKey(newKey);
        willChangeValueForKey(oldKey);
        state_.store(s);
        didChangeValueForKey(oldKey);
        didChangeValueForKey(newKey);
    }

    std::recursive_mutex lock_;
    std::atomic<State> state_{State::Ready};
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

}  // namespace
}  // namespace lv
