#include "platform/dispatch/run_loop.h"

#include <algorithm>
#include <cmath>

#include "platform/base/error.h"
#include "platform/dispatch/detail/current_queue.h"
#include "platform/dispatch/thread.h"

namespace lv {

namespace {

constexpr double kLongestWait = 1e9;  // seconds; about 31 years, far enough for "distant future"

std::chrono::steady_clock::duration secondsToDuration(double seconds) {
    if (!(seconds == seconds)) seconds = 0;  // NaN
    seconds = std::clamp(seconds, -kLongestWait, kLongestWait);
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

struct ModeStackGuard {
    std::vector<std::string>& stack;
    ~ModeStackGuard() { stack.pop_back(); }
};

}  // namespace

void RunLoop::waitForChange(std::unique_lock<std::mutex>& lock, std::uint64_t seen, SteadyTime wake) {
    const SteadyTime began = std::chrono::steady_clock::now();
    lock.unlock();
    const bool changed = spinBudget_.spin([&] { return changes_.load(std::memory_order_acquire) != seen; }, wake);
    detail::lockAfterSpin(lock);
    if (changed || changes_ != seen) return;
    cv_.wait_until(lock, wake, [&] { return changes_ != seen; });
    if (changes_ != seen) spinBudget_.missed(std::chrono::steady_clock::now() - began);
}

SteadyTime steadyAfter(double seconds) { return std::chrono::steady_clock::now() + secondsToDuration(seconds); }

SteadyTime steadyDeadline(const Date& date) { return steadyAfter(date.sinceNow()); }

// ---- RunLoop ----

RunLoop::RunLoop(Weak<Thread> thread) : thread_(std::move(thread)) {
    Ref<Thread> t = thread_.lock();
    isMain_ = t && t->isMainThreadObject();
    commonModes_.insert(std::string(kDefaultRunLoopMode));
    knownModes_.emplace_back(kDefaultRunLoopMode);
}

RunLoop::~RunLoop() = default;

Ref<RunLoop> RunLoop::current() { return Thread::current()->runLoop(); }

Ref<RunLoop> RunLoop::main() { return Thread::mainThread()->runLoop(); }

bool RunLoop::eligible(const std::vector<std::string>& modes, std::string_view mode) const {
    if (modes.empty()) return commonModes_.count(mode) > 0;
    for (const std::string& m : modes) {
        if (m == mode) return true;
        if (m == kRunLoopCommonModes && commonModes_.count(mode) > 0) return true;
    }
    return false;
}

bool RunLoop::eligible(const std::set<std::string, std::less<>>& modes, std::string_view mode) const {
    if (modes.count(mode) > 0) return true;
    return modes.count(kRunLoopCommonModes) > 0 && commonModes_.count(mode) > 0;
}

bool RunLoop::hasSources(std::string_view mode) const {
    if (isMain_ && commonModes_.count(mode) > 0) return true;  // the main queue
    for (const auto& [m, count] : ports_) {
        if (count <= 0) continue;
        if (m == mode || (m == kRunLoopCommonModes && commonModes_.count(mode) > 0)) return true;
    }
    for (const TimerEntry& e : timers_) {
        if (eligible(e.modes, mode)) return true;
    }
    for (const Item& item : items_) {
        if (eligible(item.modes, mode)) return true;
    }
    return false;
}

void RunLoop::noteMode(std::string_view mode) {
    if (mode == kRunLoopCommonModes) return;
    if (std::find(knownModes_.begin(), knownModes_.end(), mode) == knownModes_.end()) knownModes_.emplace_back(mode);
}

bool RunLoop::runMode(std::string_view mode, const Date& beforeDate) { return runMode(mode, steadyDeadline(beforeDate)); }

bool RunLoop::runMode(std::string_view requestedMode, SteadyTime deadline) {
    Ref<Thread> owner = thread_.lock();
    if (!owner || owner != Thread::current()) {
        Exception::raise(std::string(kInternalInconsistencyException), "A run loop can only be run by its own thread");
    }
    std::string mode(requestedMode == kRunLoopCommonModes ? kDefaultRunLoopMode : requestedMode);
    std::unique_lock<std::mutex> lock(mutex_);
    noteMode(mode);
    modeStack_.push_back(mode);
    ModeStackGuard guard{modeStack_};

    for (;;) {
        if (stopRequests_ > 0) {
            --stopRequests_;
            return true;
        }
        if (!hasSources(mode)) return false;
        const std::uint64_t boundary = nextSeq_;
        SteadyTime now = std::chrono::steady_clock::now();

        // Timers due in this mode.
        std::vector<Ref<Timer>> due;
        for (const TimerEntry& e : timers_) {
            if (eligible(e.modes, mode) && e.timer->deadline() <= now) due.push_back(e.timer);
        }
        if (!due.empty()) {
            lock.unlock();
            for (const Ref<Timer>& t : due) {
                if (!t->takeDue(now)) continue;
                t->runBlock();
                if (!t->repeats()) t->invalidate();
            }
            lock.lock();
            if (stopRequests_ > 0) continue;
        }

        // Perform requests queued before this turn, oldest first. Each is taken off the shared FIFO
        // only when it runs, so a nested runMode() continues in the same order.
        bool handled = false;
        for (;;) {
            auto it = std::find_if(items_.begin(), items_.end(),
                                   [&](const Item& item) { return item.seq < boundary && eligible(item.modes, mode); });
            if (it == items_.end()) break;
            Item item = std::move(*it);
            items_.erase(it);
            lock.unlock();
            {
                Item running = std::move(item);
                if (running.mainQueue) {
                    detail::QueueScope scope(detail::mainQueueObject());
                    running.fn();
                } else {
                    running.fn();
                }
            }
            lock.lock();
            handled = true;
            if (stopRequests_ > 0) break;
        }
        if (handled) return true;

        now = std::chrono::steady_clock::now();
        if (now >= deadline) return true;
        SteadyTime wake = deadline;
        for (const TimerEntry& e : timers_) {
            if (eligible(e.modes, mode)) wake = std::min(wake, e.timer->deadline());
        }
        if (wake <= now) continue;
        const std::uint64_t seen = changes_;
        waitForChange(lock, seen, wake);
    }
}

void RunLoop::runUntilDate(const Date& date) {
    SteadyTime deadline = steadyDeadline(date);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!runMode(kDefaultRunLoopMode, deadline)) return;
    }
}

void RunLoop::run() {
    while (runMode(kDefaultRunLoopMode, steadyAfter(kLongestWait))) {
    }
}

void RunLoop::stop() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++stopRequests_;
    ++changes_;
    cv_.notify_all();
}

bool RunLoop::runUntil(const std::function<bool()>& pred, double timeoutSeconds, std::string_view mode) {
    const SteadyTime deadline = steadyAfter(timeoutSeconds);
    for (;;) {
        if (pred()) return true;
        SteadyTime now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        // Short slices, so that a predicate made true by another thread without waking this loop is
        // still seen promptly.
        SteadyTime slice = std::min(deadline, now + std::chrono::milliseconds(5));
        if (!runMode(mode, slice)) {
            std::unique_lock<std::mutex> lock(mutex_);
            const std::uint64_t seen = changes_;
            waitForChange(lock, seen, slice);
        }
    }
}

bool RunLoop::enqueue(std::function<void()> fn, std::vector<std::string> modes, bool mainQueue,
                      std::function<void()> onDrop) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (finished_) {
        lock.unlock();
        if (onDrop) onDrop();
        return false;
    }
    items_.push_back(Item{nextSeq_++, std::move(modes), std::move(fn), mainQueue, std::move(onDrop)});
    ++changes_;
    cv_.notify_all();
    return true;
}

void RunLoop::perform(std::function<void()> fn, std::vector<std::string> modes) {
    enqueue(std::move(fn), std::move(modes), false);
}

Ref<Timer> RunLoop::performAfterDelay(double seconds, std::function<void()> fn, std::vector<std::string> modes) {
    Ref<Timer> timer = Timer::make(seconds, false, [fn = std::move(fn)](Timer&) { fn(); });
    if (modes.empty()) modes.emplace_back(kDefaultRunLoopMode);
    for (const std::string& m : modes) addTimer(timer, m);
    return timer;
}

void RunLoop::addTimer(const Ref<Timer>& timer, std::string_view mode) {
    if (!timer || !timer->isValid()) return;
    timer->attach(refAs<RunLoop>());
    std::lock_guard<std::mutex> guard(mutex_);
    if (finished_) return;
    noteMode(mode);
    auto it = std::find_if(timers_.begin(), timers_.end(), [&](const TimerEntry& e) { return e.timer == timer; });
    if (it == timers_.end()) {
        timers_.push_back(TimerEntry{timer, {}});
        it = timers_.end() - 1;
    }
    it->modes.emplace(mode);
    ++changes_;
    cv_.notify_all();
}

void RunLoop::removeTimer(const Timer* timer) {
    Ref<Timer> removed;  // released outside the lock
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = std::find_if(timers_.begin(), timers_.end(), [&](const TimerEntry& e) { return e.timer.get() == timer; });
    if (it == timers_.end()) return;
    removed = std::move(it->timer);
    timers_.erase(it);
    ++changes_;
    cv_.notify_all();
}

void RunLoop::timerChanged() { wakeUp(); }

void RunLoop::addPort(std::string_view mode) {
    std::lock_guard<std::mutex> guard(mutex_);
    noteMode(mode);
    auto it = ports_.find(mode);
    if (it == ports_.end()) it = ports_.emplace(std::string(mode), 0).first;
    ++it->second;
    ++changes_;
    cv_.notify_all();
}

void RunLoop::removePort(std::string_view mode) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = ports_.find(mode);
    if (it == ports_.end()) return;
    if (--it->second <= 0) ports_.erase(it);
    ++changes_;
    cv_.notify_all();
}

void RunLoop::addCommonMode(std::string_view mode) {
    std::lock_guard<std::mutex> guard(mutex_);
    noteMode(mode);
    commonModes_.emplace(mode);
    ++changes_;
    cv_.notify_all();
}

std::vector<std::string> RunLoop::allModes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return knownModes_;
}

std::string RunLoop::currentMode() const { return modeStack_.empty() ? std::string() : modeStack_.back(); }

void RunLoop::wakeUp() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++changes_;
    cv_.notify_all();
}

void RunLoop::markThreadFinished() {
    std::deque<Item> dropped;
    std::vector<TimerEntry> timers;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (isMain_) return;
        finished_ = true;
        dropped.swap(items_);
        timers.swap(timers_);
        ports_.clear();
    }
    for (Item& item : dropped) {
        if (item.onDrop) item.onDrop();
    }
}

// ---- Timer ----

Timer::Timer(double interval, bool repeats, Block block)
    : interval_(repeats && interval <= 0 ? 0.0001 : std::min(std::max(interval, 0.0), kLongestWait)),
      repeats_(repeats),
      block_(std::move(block)),
      deadline_(steadyAfter(interval_)) {}

Ref<Timer> Timer::scheduled(double interval, bool repeats, Block block) {
    Ref<Timer> t = make(interval, repeats, std::move(block));
    RunLoop::current()->addTimer(t, kDefaultRunLoopMode);
    return t;
}

void Timer::invalidate() {
    Ref<RunLoop> loop;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!valid_) return;
        valid_ = false;
        loop = loop_.lock();
    }
    if (loop) loop->removeTimer(this);
}

bool Timer::isValid() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return valid_;
}

void Timer::fire() {
    if (!isValid()) return;
    runBlock();
    if (!repeats_) invalidate();
}

Date Timer::fireDate() const {
    SteadyTime d = deadline();
    double seconds = std::chrono::duration<double>(d - std::chrono::steady_clock::now()).count();
    return Date::now().adding(seconds);
}

void Timer::setFireDate(const Date& date) {
    Ref<RunLoop> loop;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        deadline_ = steadyDeadline(date);
        loop = loop_.lock();
    }
    if (loop) loop->timerChanged();
}

SteadyTime Timer::deadline() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return deadline_;
}

void Timer::attach(const Ref<RunLoop>& loop) {
    std::lock_guard<std::mutex> guard(mutex_);
    loop_ = loop;
}

bool Timer::takeDue(SteadyTime now) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!valid_ || deadline_ > now) return false;
    if (repeats_) {
        auto step = secondsToDuration(interval_);
        if (step.count() <= 0) step = std::chrono::steady_clock::duration(1);
        deadline_ += step;
        if (deadline_ <= now) deadline_ += step * ((now - deadline_) / step + 1);
    } else {
        deadline_ = SteadyTime::max();
    }
    return true;
}

void Timer::runBlock() {
    if (block_) block_(*this);
}

// ---- main-thread helper ----

bool runMainUntil(const std::function<bool()>& pred, double timeoutSeconds) {
    if (!Thread::isMainThread()) {
        Exception::raise(std::string(kInternalInconsistencyException), "runMainUntil must be called on the main thread");
    }
    return RunLoop::main()->runUntil(pred, timeoutSeconds);
}

}  // namespace lv
