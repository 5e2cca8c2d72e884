// Dispatch: the main queue (drained by the main run loop), global queues by priority over one
// elastic worker pool, serial and concurrent queues with labels, groups and semaphores.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/base/object.h"
#include "platform/dispatch/detail/spin_wait.h"

namespace lv {

class Group;

class Queue : public Object {
public:
    using Block = std::function<void()>;
    enum class Kind { Main, Global, Serial, Concurrent };
    // The platform's priority values.
    enum class Priority : int { High = 2, Default = 0, Low = -2, Background = -32768 };

    static Ref<Queue> main();
    static Ref<Queue> global(Priority priority = Priority::Default);
    // A serial queue runs one block at a time, in submission order, on the pool (at the priority).
    static Ref<Queue> makeSerial(std::string label, Priority priority = Priority::Default);
    // A concurrent queue runs its blocks on the pool as workers free up.
    static Ref<Queue> makeConcurrent(std::string label, Priority priority = Priority::Default);

    // The innermost queue whose block the calling thread is running; the main queue on the main
    // thread outside any block; nullptr on other threads outside any block.
    static Ref<Queue> current();
    // Whether the calling thread runs a block of this queue (possibly inline through sync()), or
    // this is the main queue and the caller is the main thread.
    bool isCurrent() const;

    const std::string& label() const { return label_; }
    Kind kind() const { return kind_; }
    Priority priority() const { return priority_; }
    bool isSerial() const { return kind_ == Kind::Serial || kind_ == Kind::Main; }

    void async(Block block);
    // Runs the block and returns when it has run. When the caller already runs on this queue (or this
    // is the main queue and the caller is the main thread) it runs inline at once; on a serial queue
    // it runs on the calling thread once the queue reaches it; on a concurrent queue at once on the
    // calling thread; on the main queue from another thread it waits for the main run loop.
    void sync(const Block& block);
    // Submits the block after the delay (seconds; 0 or less means now).
    void after(double seconds, Block block);

    // Queue-specific values: an opaque pointer per key (the key's address identifies it).
    void setSpecific(const void* key, void* context);
    void* getSpecific(const void* key) const;
    // The value for the key on the innermost current queue (nullptr when none).
    static void* currentSpecific(const void* key);

    std::string description() const override;

    // Internal.
    Queue(Kind kind, std::string label, Priority priority);
    void drain();

private:
    struct SyncWaiter;
    struct Entry {
        Block block;
        SyncWaiter* waiter = nullptr;
    };
    void scheduleDrainLocked();

    Kind kind_;
    std::string label_;
    Priority priority_;
    mutable std::mutex mutex_;
    std::map<const void*, void*> specifics_;
    // Serial queues: pending entries and whether a drain (or an inline sync) owns the queue.
    std::deque<Entry> entries_;
    bool owned_ = false;
};

// A set of outstanding work; notify blocks run once it is empty.
class Group : public Object {
public:
    static Ref<Group> make() { return makeRef<Group>(); }

    void enter();
    // Leaving more often than entering raises (internal inconsistency).
    void leave();
    // enter(), then the block on the queue, then leave().
    void async(const Ref<Queue>& queue, Queue::Block block);
    // Submits the block to the queue when the group is (or next becomes) empty.
    void notify(const Ref<Queue>& queue, Queue::Block block);
    // Waits until the group is empty; false when the time-out passed first.
    bool wait(double timeoutSeconds);
    void wait();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    long count_ = 0;
    std::vector<std::pair<Ref<Queue>, Queue::Block>> notifications_;
};

class Semaphore : public Object {
public:
    explicit Semaphore(long value = 0) : value_(value) {}
    static Ref<Semaphore> make(long value = 0) { return makeRef<Semaphore>(value); }

    void signal();
    // Takes one unit, waiting for it; false when the time-out passed first.
    bool wait(double timeoutSeconds);
    void wait();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::atomic<long> value_;  // written under mutex_; read without it while spinning
    detail::SpinBudget spinBudget_;

    bool take(std::chrono::steady_clock::time_point deadline, bool forever);
};

}  // namespace lv
