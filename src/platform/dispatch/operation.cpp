#include "platform/dispatch/operation.h"

#include <algorithm>

#include "platform/base/format.h"
#include "platform/dispatch/thread.h"

namespace lv {

// ---- Operation ----

Operation::Operation() = default;
Operation::~Operation() = default;

void Operation::start() {
    if (isFinished() || isExecuting()) return;
    if (isCancelled()) {
        setFinishedState();
        return;
    }
    setExecutingState(true);
    main();
    willChangeValueForKey(kOperationIsExecutingKey);
    willChangeValueForKey(kOperationIsFinishedKey);
    executing_.store(false);
    finished_.store(true);
    didChangeValueForKey(kOperationIsExecutingKey);
    didChangeValueForKey(kOperationIsFinishedKey);
}

bool Operation::isReady() const {
    if (isCancelled()) return true;
    std::vector<Ref<Operation>> deps;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        deps = dependencies_;
    }
    for (const Ref<Operation>& d : deps) {
        if (!d->isFinished()) return false;
    }
    return true;
}

bool Operation::isExecuting() const { return executing_.load(); }
bool Operation::isFinished() const { return finished_.load(); }
bool Operation::isCancelled() const { return cancelled_.load(); }

void Operation::cancel() {
    if (isFinished() || cancelled_.load()) return;
    willChangeValueForKey(kOperationIsCancelledKey);
    willChangeValueForKey(kOperationIsReadyKey);
    if (cancelled_.exchange(true)) return;
    didChangeValueForKey(kOperationIsCancelledKey);
    didChangeValueForKey(kOperationIsReadyKey);
}

void Operation::setExecutingState(bool executing) {
    willChangeValueForKey(kOperationIsExecutingKey);
    executing_.store(executing);
    didChangeValueForKey(kOperationIsExecutingKey);
}

void Operation::setFinishedState() {
    const bool wasExecuting = executing_.load();
    if (wasExecuting) willChangeValueForKey(kOperationIsExecutingKey);
    willChangeValueForKey(kOperationIsFinishedKey);
    executing_.store(false);
    finished_.store(true);
    if (wasExecuting) didChangeValueForKey(kOperationIsExecutingKey);
    didChangeValueForKey(kOperationIsFinishedKey);
}

void Operation::addDependency(const Ref<Operation>& op) {
    if (!op || op.get() == this) return;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (std::find(dependencies_.begin(), dependencies_.end(), op) != dependencies_.end()) return;
        dependencies_.push_back(op);
    }
    op->addDependent(std::static_pointer_cast<Operation>(weak_from_this().lock()));
    announceReadinessChange();
}

void Operation::removeDependency(const Ref<Operation>& op) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = std::find(dependencies_.begin(), dependencies_.end(), op);
        if (it == dependencies_.end()) return;
        dependencies_.erase(it);
    }
    announceReadinessChange();
}

std::vector<Ref<Operation>> Operation::dependencies() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return dependencies_;
}

void Operation::addDependent(const Weak<Operation>& op) {
    std::lock_guard<std::mutex> guard(mutex_);
    dependents_.erase(std::remove_if(dependents_.begin(), dependents_.end(), [](const Weak<Operation>& w) { return w.expired(); }),
                      dependents_.end());
    dependents_.push_back(op);
}

void Operation::announceReadinessChange() {
    willChangeValueForKey(kOperationIsReadyKey);
    didChangeValueForKey(kOperationIsReadyKey);
}

void Operation::setCompletionBlock(Block block) {
    Block old;  // released outside the lock
    std::lock_guard<std::mutex> guard(mutex_);
    old = std::move(completionBlock_);
    completionBlock_ = std::move(block);
}

Operation::Block Operation::completionBlock() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return completionBlock_;
}

void Operation::waitUntilFinished() {
    std::unique_lock<std::mutex> lock(mutex_);
    finishedCv_.wait(lock, [&] { return finishAnnounced_; });
}

std::string Operation::name() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return name_;
}

void Operation::setName(std::string name) {
    std::lock_guard<std::mutex> guard(mutex_);
    name_ = std::move(name);
}

void Operation::willChangeValueForKey(std::string_view) {}

void Operation::didChangeValueForKey(std::string_view key) {
    Block completion;
    std::vector<Weak<Operation>> dependents;
    if (key == kOperationIsFinishedKey && isFinished()) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!finishAnnounced_) {
            finishAnnounced_ = true;
            dependents = dependents_;
            finishedCv_.notify_all();
        }
        if (!completionDone_) {
            // The completion block runs once; the property is cleared as it is taken, which also
            // releases whatever the block holds.
            completionDone_ = true;
            completion = std::move(completionBlock_);
            completionBlock_ = nullptr;
        }
    }
    std::vector<StateObserver> observers;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        observers.reserve(observers_.size());
        for (const auto& entry : observers_) observers.push_back(entry.second);
    }
    for (const StateObserver& o : observers) o(*this, key);
    for (const Weak<Operation>& w : dependents) {
        if (Ref<Operation> d = w.lock()) d->announceReadinessChange();
    }
    if (completion) Queue::global()->async(std::move(completion));
}

std::uint64_t Operation::addStateObserver(StateObserver observer) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::uint64_t token = nextObserver_++;
    observers_.emplace_back(token, std::move(observer));
    return token;
}

void Operation::removeStateObserver(std::uint64_t token) {
    StateObserver removed;  // released outside the lock
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = std::find_if(observers_.begin(), observers_.end(), [&](const auto& e) { return e.first == token; });
    if (it == observers_.end()) return;
    removed = std::move(it->second);
    observers_.erase(it);
}

// ---- BlockOperation ----

BlockOperation::BlockOperation(Block block) {
    if (block) blocks_.push_back(std::move(block));
}

void BlockOperation::addExecutionBlock(Block block) {
    if (!block) return;
    std::lock_guard<std::mutex> guard(blocksMutex_);
    blocks_.push_back(std::move(block));
}

std::vector<Operation::Block> BlockOperation::executionBlocks() const {
    std::lock_guard<std::mutex> guard(blocksMutex_);
    return blocks_;
}

void BlockOperation::main() {
    for (const Block& b : executionBlocks()) b();
}

// ---- OperationQueue ----

namespace {
thread_local OperationQueue* tlsCurrentOperationQueue = nullptr;

// The plain (non-concurrent) operation a pool worker is starting for a queue. Its own announcements
// during start() ask for no pump of their own: the worker pumps once start() has returned, which is
// when a pump on another worker would first find it finished anyway.
struct InlineStart {
    const OperationQueue* queue = nullptr;
    const Operation* op = nullptr;
    bool pumpWanted = false;
};
thread_local InlineStart tlsInlineStart;

struct CurrentOperationQueueScope {
    OperationQueue* previous;
    explicit CurrentOperationQueueScope(OperationQueue* q) : previous(tlsCurrentOperationQueue) { tlsCurrentOperationQueue = q; }
    ~CurrentOperationQueueScope() { tlsCurrentOperationQueue = previous; }
};
}  // namespace

OperationQueue::OperationQueue() : isMain_(false) { name_ = "OperationQueue " + addressText(this); }

OperationQueue::OperationQueue(MainTag) : isMain_(true), maxConcurrent_(1), name_("main") {}

OperationQueue::~OperationQueue() = default;

Ref<OperationQueue> OperationQueue::mainQueue() {
    static Ref<OperationQueue>* q = new Ref<OperationQueue>(makeRef<OperationQueue>(MainTag{}));
    return *q;
}

Ref<OperationQueue> OperationQueue::current() {
    if (tlsCurrentOperationQueue) return tlsCurrentOperationQueue->refAs<OperationQueue>();
    if (Thread::isMainThread()) return mainQueue();
    return nullptr;
}

void OperationQueue::addOperation(const Ref<Operation>& op) {
    if (!op || op->inQueue_.exchange(true)) return;
    Weak<OperationQueue> weakSelf = refAs<OperationQueue>();
    std::uint64_t token = op->addStateObserver([weakSelf](Operation& changed, std::string_view) {
        Ref<OperationQueue> q = weakSelf.lock();
        if (!q) return;
        InlineStart& inlineStart = tlsInlineStart;
        if (inlineStart.queue == q.get() && inlineStart.op == &changed) {
            inlineStart.pumpWanted = true;
            return;
        }
        q->schedulePump();
    });
    {
        std::lock_guard<std::mutex> guard(mutex_);
        members_.push_back(Member{op, token, false});
        if (!keepAlive_) keepAlive_ = refAs<OperationQueue>();
    }
    schedulePump();
}

void OperationQueue::addOperations(const std::vector<Ref<Operation>>& ops, bool waitUntilFinished) {
    for (const Ref<Operation>& op : ops) addOperation(op);
    if (!waitUntilFinished) return;
    for (const Ref<Operation>& op : ops) {
        if (op) op->waitUntilFinished();
    }
}

Ref<BlockOperation> OperationQueue::addOperationWithBlock(Operation::Block block) {
    Ref<BlockOperation> op = BlockOperation::make(std::move(block));
    addOperation(op);
    return op;
}

std::vector<Ref<Operation>> OperationQueue::operations() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<Ref<Operation>> ops;
    ops.reserve(members_.size());
    for (const Member& m : members_) ops.push_back(m.op);
    return ops;
}

std::size_t OperationQueue::operationCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return members_.size();
}

long OperationQueue::maxConcurrentOperationCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return maxConcurrent_;
}

void OperationQueue::setMaxConcurrentOperationCount(long count) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        maxConcurrent_ = count;
    }
    schedulePump();
}

bool OperationQueue::isSuspended() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return suspended_;
}

void OperationQueue::setSuspended(bool suspended) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        suspended_ = suspended;
    }
    if (!suspended) schedulePump();
}

void OperationQueue::cancelAllOperations() {
    for (const Ref<Operation>& op : operations()) op->cancel();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    std::unique_lock<std::mutex> lock(mutex_);
    emptyCv_.wait(lock, [&] { return members_.empty(); });
}

std::string OperationQueue::name() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return name_;
}

void OperationQueue::setName(std::string name) {
    std::lock_guard<std::mutex> guard(mutex_);
    name_ = std::move(name);
}

std::string OperationQueue::description() const {
    return format("<%s: %s>{name = '%s'}", className().c_str(), addressText(this).c_str(), name().c_str());
}

void OperationQueue::schedulePump() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (pumpScheduled_) {
            pumpAgain_ = true;
            return;
        }
        pumpScheduled_ = true;
    }
    // The pump runs on a worker: state getters of operations (their own code) are never called on
    // the thread that announced a change, which may hold the operation's own locks. That worker
    // starts the first ready operation itself rather than handing it to yet another worker.
    Ref<OperationQueue> self = refAs<OperationQueue>();
    Queue::global()->async([self] {
        Ref<Operation> runHere;
        self->pump(self->isMain_ ? nullptr : &runHere);
        if (runHere) self->runOnWorker(std::move(runHere));
    });
}

bool OperationQueue::claimPump() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (pumpScheduled_) {
        pumpAgain_ = true;
        return false;
    }
    pumpScheduled_ = true;
    return true;
}

void OperationQueue::runOnWorker(Ref<Operation> op) {
    // Delivery in order costs one hand-over: a serial queue's next operation starts on the worker
    // that finished the previous one.
    while (op) {
        const bool plain = !op->isConcurrent();
        const InlineStart outer = tlsInlineStart;
        {
            CurrentOperationQueueScope scope(this);
            if (plain) tlsInlineStart = InlineStart{this, op.get(), false};
            op->start();
        }
        const bool wanted = tlsInlineStart.pumpWanted;
        tlsInlineStart = outer;
        Ref<Operation> next;
        // start() has returned, so this thread holds no lock of the operation: pumping here is what
        // a fresh worker would do.
        if (plain && wanted && claimPump()) pump(&next);
        op = std::move(next);
    }
}

void OperationQueue::pump(Ref<Operation>* runHere) {
    for (;;) {
        std::vector<std::pair<Ref<Operation>, bool>> snapshot;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            snapshot.reserve(members_.size());
            for (const Member& m : members_) snapshot.emplace_back(m.op, m.started);
        }
        // Ask the operations outside the lock.
        std::vector<const Operation*> finished;
        std::vector<const Operation*> ready;
        for (const auto& [op, started] : snapshot) {
            if (op->isFinished()) {
                finished.push_back(op.get());
            } else if (!started && op->isReady()) {
                ready.push_back(op.get());
            }
        }
        auto contains = [](const std::vector<const Operation*>& list, const Operation* op) {
            return std::find(list.begin(), list.end(), op) != list.end();
        };

        std::vector<Member> removed;
        std::vector<Ref<Operation>> toStart;
        Ref<OperationQueue> released;
        bool again = false;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            for (auto it = members_.begin(); it != members_.end();) {
                if (contains(finished, it->op.get())) {
                    removed.push_back(std::move(*it));
                    it = members_.erase(it);
                } else {
                    ++it;
                }
            }
            long running = 0;
            for (const Member& m : members_) running += m.started ? 1 : 0;
            if (!suspended_) {
                for (Member& m : members_) {
                    if (maxConcurrent_ >= 0 && running >= maxConcurrent_) break;
                    if (m.started || !contains(ready, m.op.get())) continue;
                    m.started = true;
                    ++running;
                    toStart.push_back(m.op);
                }
            }
            if (members_.empty()) {
                released = std::move(keepAlive_);
                emptyCv_.notify_all();
            }
            if (pumpAgain_) {
                pumpAgain_ = false;
                again = true;
            } else {
                pumpScheduled_ = false;
            }
        }
        for (Member& m : removed) {
            m.op->removeStateObserver(m.observerToken);
            m.op->inQueue_.store(false);
        }
        for (Ref<Operation>& op : toStart) {
            if (runHere && !*runHere) {
                *runHere = std::move(op);
            } else {
                startOperation(op);
            }
        }
        if (!again) return;
    }
}

void OperationQueue::startOperation(const Ref<Operation>& op) {
    Ref<OperationQueue> self = refAs<OperationQueue>();
    if (isMain_) {
        Queue::main()->async([self, op] {
            CurrentOperationQueueScope scope(self.get());
            op->start();
        });
    } else {
        Queue::global()->async([self, op] { self->runOnWorker(op); });
    }
}

}  // namespace lv
