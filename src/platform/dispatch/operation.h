// Operations and operation queues. An operation reports its state through isReady / isExecuting /
// isFinished / isCancelled and announces every change of them with willChangeValueForKey /
// didChangeValueForKey; queues, dependent operations and the completion block follow those
// announcements, so an operation that manages its own state (a concurrent operation overriding
// start() and the state getters) only has to announce its transitions.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/object.h"
#include "platform/dispatch/queue.h"

namespace lv {

class OperationQueue;

inline constexpr std::string_view kOperationIsReadyKey = "isReady";
inline constexpr std::string_view kOperationIsExecutingKey = "isExecuting";
inline constexpr std::string_view kOperationIsFinishedKey = "isFinished";
inline constexpr std::string_view kOperationIsCancelledKey = "isCancelled";

class Operation : public Object {
public:
    using Block = std::function<void()>;
    // Called after every announced change (didChangeValueForKey) with the key, on the announcing
    // thread, with no lock of the layer held.
    using StateObserver = std::function<void(Operation&, std::string_view key)>;

    Operation();
    ~Operation() override;

    // Plain operations: start() runs main() on the calling thread between the Executing and Finished
    // announcements; a cancelled operation goes straight to Finished without running main().
    // Concurrent operations override start() (and the state getters) and finish themselves.
    virtual void start();
    virtual void main() {}

    virtual bool isReady() const;  // all dependencies finished, or cancelled
    virtual bool isExecuting() const;
    virtual bool isFinished() const;
    virtual bool isCancelled() const;
    virtual bool isConcurrent() const { return false; }
    bool isAsynchronous() const { return isConcurrent(); }

    // Marks the operation cancelled (announces isCancelled and isReady); running code checks
    // isCancelled() itself. Nothing happens once it is finished or already cancelled.
    virtual void cancel();

    void addDependency(const Ref<Operation>& op);
    void removeDependency(const Ref<Operation>& op);
    std::vector<Ref<Operation>> dependencies() const;

    // Runs once, on a worker thread, after the operation announces that it is finished.
    virtual void setCompletionBlock(Block block);
    Block completionBlock() const;

    // Blocks until the operation has announced that it is finished.
    void waitUntilFinished();

    std::string name() const;
    void setName(std::string name);

    // Change announcements. An override of a state getter announces through these.
    void willChangeValueForKey(std::string_view key);
    void didChangeValueForKey(std::string_view key);

    // Observers of the announcements; the token removes the observer.
    std::uint64_t addStateObserver(StateObserver observer);
    void removeStateObserver(std::uint64_t token);

protected:
    // State helpers for subclasses that keep the built-in state: each stores and announces.
    void setExecutingState(bool executing);
    void setFinishedState();

private:
    friend class OperationQueue;
    void addDependent(const Weak<Operation>& op);
    void announceReadinessChange();

    std::atomic<bool> inQueue_{false};

    mutable std::mutex mutex_;
    std::condition_variable finishedCv_;
    std::atomic<bool> executing_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> cancelled_{false};
    bool finishAnnounced_ = false;
    bool completionDone_ = false;
    std::string name_;
    Block completionBlock_;
    std::vector<Ref<Operation>> dependencies_;
    std::vector<Weak<Operation>> dependents_;
    std::vector<std::pair<std::uint64_t, StateObserver>> observers_;
    std::uint64_t nextObserver_ = 1;
};

// An operation that runs its blocks, in the order added, from main().
class BlockOperation : public Operation {
public:
    BlockOperation() = default;
    explicit BlockOperation(Block block);
    static Ref<BlockOperation> make(Block block) { return makeRef<BlockOperation>(std::move(block)); }

    void addExecutionBlock(Block block);
    std::vector<Block> executionBlocks() const;
    void main() override;

private:
    mutable std::mutex blocksMutex_;
    std::vector<Block> blocks_;
};

class OperationQueue : public Object {
public:
    static constexpr long kDefaultMaxConcurrentOperationCount = -1;  // no limit of the queue's own

    OperationQueue();
    ~OperationQueue() override;
    static Ref<OperationQueue> make() { return makeRef<OperationQueue>(); }
    // Runs its operations one at a time on the main thread (through the main queue).
    static Ref<OperationQueue> mainQueue();
    // The queue whose operation the calling thread is starting; the main operation queue on the main
    // thread otherwise; nullptr elsewhere.
    static Ref<OperationQueue> current();

    // Queues the operation; it starts once ready, within the concurrency limit, while not suspended.
    // An operation already in a queue is ignored.
    void addOperation(const Ref<Operation>& op);
    void addOperations(const std::vector<Ref<Operation>>& ops, bool waitUntilFinished);
    Ref<BlockOperation> addOperationWithBlock(Operation::Block block);

    // Operations not yet finished, in the order added.
    std::vector<Ref<Operation>> operations() const;
    std::size_t operationCount() const;

    long maxConcurrentOperationCount() const;
    void setMaxConcurrentOperationCount(long count);
    bool isSuspended() const;
    void setSuspended(bool suspended);
    // Cancels every queued and running operation (each one's cancel()).
    void cancelAllOperations();
    void waitUntilAllOperationsAreFinished();

    std::string name() const;
    void setName(std::string name);
    std::string description() const override;

    // Internal.
    struct MainTag {};
    explicit OperationQueue(MainTag);

private:
    struct Member {
        Ref<Operation> op;
        std::uint64_t observerToken;
        bool started;
    };
    void schedulePump();
    // Asks for a pump from a pool worker that may run it itself: true when this thread now owns it.
    bool claimPump();
    // One pass over the members. When `runHere` is given (a pool worker of a queue other than the main
    // one), the first operation to start is handed back to be started on the calling worker.
    void pump(Ref<Operation>* runHere = nullptr);
    void startOperation(const Ref<Operation>& op);
    // Starts the operation on this pool worker, then goes on with the next one the pump hands back.
    void runOnWorker(Ref<Operation> op);

    const bool isMain_;
    mutable std::mutex mutex_;
    std::condition_variable emptyCv_;
    std::vector<Member> members_;
    long maxConcurrent_ = kDefaultMaxConcurrentOperationCount;
    bool suspended_ = false;
    bool pumpScheduled_ = false;
    bool pumpAgain_ = false;
    std::string name_;
    Ref<OperationQueue> keepAlive_;  // set while operations are queued
};

}  // namespace lv
