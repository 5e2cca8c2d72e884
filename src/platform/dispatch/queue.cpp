#include "platform/dispatch/queue.h"

#include <vector>

#include "platform/base/error.h"
#include "platform/base/format.h"
#include "platform/base/lifetime.h"
#include "platform/dispatch/detail/current_queue.h"
#include "platform/dispatch/detail/pool.h"
#include "platform/dispatch/detail/spin_wait.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/thread.h"

namespace lv {

// ---- current-queue stack ----

namespace detail {

namespace {
thread_local QueueScope* tlsInnermostScope = nullptr;
}

QueueScope::QueueScope(Queue* queue) : queue_(queue), outer_(tlsInnermostScope) { tlsInnermostScope = this; }
QueueScope::~QueueScope() { tlsInnermostScope = outer_; }

Queue* innermostQueue() { return tlsInnermostScope ? tlsInnermostScope->queue_ : nullptr; }

bool queueOnStack(const Queue* queue) {
    for (const QueueScope* scope = tlsInnermostScope; scope; scope = scope->outer_) {
        if (scope->queue_ == queue) return true;
    }
    return false;
}

Queue* mainQueueObject() { return Queue::main().get(); }

}  // namespace detail

namespace {

int priorityIndex(Queue::Priority p) {
    switch (p) {
        case Queue::Priority::High: return 0;
        case Queue::Priority::Default: return 1;
        case Queue::Priority::Low: return 2;
        case Queue::Priority::Background: return 3;
    }
    return 1;
}

// Hands ownership of a serial queue from its drain to a waiting sync() caller.
struct Handoff {
    std::mutex mutex;
    std::condition_variable cv;
    bool ready = false;
    void open() {
        std::lock_guard<std::mutex> guard(mutex);
        ready = true;
        cv.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return ready; });
    }
};

constexpr int kDrainBatch = 64;

}  // namespace

struct Queue::SyncWaiter : Handoff {};

// ---- Queue ----

Queue::Queue(Kind kind, std::string label, Priority priority)
    : kind_(kind), label_(std::move(label)), priority_(priority) {}

Ref<Queue> Queue::main() {
    static Ref<Queue>* q = new Ref<Queue>(makeRef<Queue>(Kind::Main, "main-thread", Priority::Default));
    return *q;
}

Ref<Queue> Queue::global(Priority priority) {
    static Ref<Queue>* queues = new Ref<Queue>[4]{
        makeRef<Queue>(Kind::Global, "global-queue.high", Priority::High),
        makeRef<Queue>(Kind::Global, "global-queue.default", Priority::Default),
        makeRef<Queue>(Kind::Global, "global-queue.low", Priority::Low),
        makeRef<Queue>(Kind::Global, "global-queue.background", Priority::Background),
    };
    return queues[priorityIndex(priority)];
}

Ref<Queue> Queue::makeSerial(std::string label, Priority priority) {
    return makeRef<Queue>(Kind::Serial, std::move(label), priority);
}

Ref<Queue> Queue::makeConcurrent(std::string label, Priority priority) {
    return makeRef<Queue>(Kind::Concurrent, std::move(label), priority);
}

Ref<Queue> Queue::current() {
    if (Queue* q = detail::innermostQueue()) return q->refAs<Queue>();
    if (Thread::isMainThread()) return main();
    return nullptr;
}

bool Queue::isCurrent() const {
    if (kind_ == Kind::Main && Thread::isMainThread()) return true;
    return detail::queueOnStack(this);
}

void Queue::async(Block block) {
    switch (kind_) {
        case Kind::Main:
            RunLoop::main()->enqueue(std::move(block), {}, true);
            return;
        case Kind::Global:
        case Kind::Concurrent: {
            Ref<Queue> self = refAs<Queue>();
            detail::Pool::shared().submit(priorityIndex(priority_), [self, block = std::move(block)] {
                detail::QueueScope scope(self.get());
                block();
            });
            return;
        }
        case Kind::Serial: {
            std::lock_guard<std::mutex> guard(mutex_);
            entries_.push_back(Entry{std::move(block), nullptr});
            if (!owned_) {
                owned_ = true;
                scheduleDrainLocked();
            }
            return;
        }
    }
}

void Queue::scheduleDrainLocked() {
    Ref<Queue> self = refAs<Queue>();
    detail::Pool::shared().submit(priorityIndex(priority_), [self] { self->drain(); });
}

void Queue::drain() {
    detail::QueueScope scope(this);
    for (int n = 0;; ++n) {
        Entry entry;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (entries_.empty()) {
                owned_ = false;
                return;
            }
            if (n >= kDrainBatch) {
                // Let other work have the worker; the queue stays owned by the next drain.
                scheduleDrainLocked();
                return;
            }
            entry = std::move(entries_.front());
            entries_.pop_front();
            if (entry.waiter) {
                // The queue passes to the waiting sync() caller, which releases it when done.
                entry.waiter->open();
                return;
            }
        }
        entry.block();
    }
}

void Queue::sync(const Block& block) {
    if (isCurrent()) {
        block();
        return;
    }
    switch (kind_) {
        case Kind::Main: {
            auto done = std::make_shared<Handoff>();
            RunLoop::main()->enqueue(
                [&block, done] {
                    struct Opener {
                        Handoff& h;
                        ~Opener() { h.open(); }
                    } opener{*done};
                    block();
                },
                {}, true, [done] { done->open(); });
            done->wait();
            return;
        }
        case Kind::Global:
        case Kind::Concurrent: {
            detail::QueueScope scope(this);
            block();
            return;
        }
        case Kind::Serial: {
            SyncWaiter waiter;
            bool mustWait = false;
            {
                std::lock_guard<std::mutex> guard(mutex_);
                if (!owned_ && entries_.empty()) {
                    owned_ = true;
                } else {
                    entries_.push_back(Entry{nullptr, &waiter});
                    if (!owned_) {
                        owned_ = true;
                        scheduleDrainLocked();
                    }
                    mustWait = true;
                }
            }
            if (mustWait) waiter.wait();
            struct Release {
                Queue& q;
                ~Release() {
                    std::lock_guard<std::mutex> guard(q.mutex_);
                    if (q.entries_.empty()) {
                        q.owned_ = false;
                    } else {
                        q.scheduleDrainLocked();
                    }
                }
            } release{*this};
            detail::QueueScope scope(this);
            block();
            return;
        }
    }
}

void Queue::after(double seconds, Block block) {
    if (!(seconds > 0)) {
        async(std::move(block));
        return;
    }
    Ref<Queue> self = refAs<Queue>();
    detail::Scheduler::shared().at(steadyAfter(seconds),
                                   [self, block = std::move(block)]() mutable { self->async(std::move(block)); });
}

void Queue::setSpecific(const void* key, void* context) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (context) {
        specifics_[key] = context;
    } else {
        specifics_.erase(key);
    }
}

void* Queue::getSpecific(const void* key) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = specifics_.find(key);
    return it == specifics_.end() ? nullptr : it->second;
}

void* Queue::currentSpecific(const void* key) {
    Queue* q = detail::innermostQueue();
    if (!q && Thread::isMainThread()) q = main().get();
    return q ? q->getSpecific(key) : nullptr;
}

std::string Queue::description() const {
    return format("<%s: %s> { label = %s }", className().c_str(), addressText(this).c_str(), label_.c_str());
}

// ---- Group ----

void Group::enter() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++count_;
}

void Group::leave() {
    std::vector<std::pair<Ref<Queue>, Queue::Block>> ready;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (count_ <= 0) {
            Exception::raise(std::string(kInternalInconsistencyException), "Unbalanced call to Group::leave()");
        }
        if (--count_ > 0) return;
        ready.swap(notifications_);
        cv_.notify_all();
    }
    for (auto& [queue, block] : ready) queue->async(std::move(block));
}

void Group::async(const Ref<Queue>& queue, Queue::Block block) {
    enter();
    Ref<Group> self = refAs<Group>();
    queue->async([self, block = std::move(block)] {
        struct Leaver {
            Group& g;
            ~Leaver() { g.leave(); }
        } leaver{*self};
        block();
    });
}

void Group::notify(const Ref<Queue>& queue, Queue::Block block) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (count_ > 0) {
            notifications_.emplace_back(queue, std::move(block));
            return;
        }
    }
    queue->async(std::move(block));
}

bool Group::wait(double timeoutSeconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_until(lock, steadyAfter(timeoutSeconds), [&] { return count_ == 0; });
}

void Group::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return count_ == 0; });
}

// ---- Semaphore ----

bool Semaphore::take(SteadyTime deadline, bool forever) {
    const SteadyTime began = std::chrono::steady_clock::now();
    const bool spun = spinBudget_.spin([&] { return value_.load(std::memory_order_acquire) > 0; }, deadline);
    std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
    detail::lockAfterSpin(lock);
    if (value_ == 0) {
        const auto signalled = [&] { return value_ > 0; };
        if (forever) {
            cv_.wait(lock, signalled);
        } else if (!cv_.wait_until(lock, deadline, signalled)) {
            return false;
        }
        if (!spun) spinBudget_.missed(std::chrono::steady_clock::now() - began);
    }
    --value_;
    return true;
}

void Semaphore::signal() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++value_;
    cv_.notify_one();
}

bool Semaphore::wait(double timeoutSeconds) { return take(steadyAfter(timeoutSeconds), false); }

void Semaphore::wait() { take(SteadyTime::max(), true); }

}  // namespace lv
