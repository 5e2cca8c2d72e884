// Run loops: one per thread, created on first use. A loop serves perform requests (one FIFO; the
// main thread's loop also drains the main dispatch queue through it), timers and keep-alive ports,
// each registered in one or more modes. runMode() is re-entrant.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/dispatch/detail/spin_wait.h"

namespace lv {

class Thread;
class Timer;

inline constexpr std::string_view kDefaultRunLoopMode = "kCFRunLoopDefaultMode";
// Pseudo-mode: a source registered in it serves every mode of the loop's common set (the default
// mode plus those added with addCommonMode).
inline constexpr std::string_view kRunLoopCommonModes = "kCFRunLoopCommonModes";

using SteadyTime = std::chrono::steady_clock::time_point;
// Steady-clock deadline for a wall-clock date (measured from now; far dates are clamped).
SteadyTime steadyDeadline(const Date& date);
SteadyTime steadyAfter(double seconds);

class RunLoop : public Object {
public:
    // Use current() / main(); a loop belongs to one thread.
    explicit RunLoop(Weak<Thread> thread);
    ~RunLoop() override;

    static Ref<RunLoop> current();
    static Ref<RunLoop> main();

    // Runs the loop once in the mode (kRunLoopCommonModes counts as the default mode): fires due
    // timers, runs the perform requests queued before this turn (FIFO), and otherwise waits for work
    // until the date. Returns after at least one perform request ran or the date passed (true), or
    // at once with false when nothing is registered in the mode. Owner thread only.
    bool runMode(std::string_view mode, const Date& beforeDate);
    bool runMode(std::string_view mode, SteadyTime deadline);
    // Runs in the default mode until the date, or until nothing is registered.
    void runUntilDate(const Date& date);
    // Runs in the default mode until nothing is registered (for ever while a port keeps it alive).
    void run();
    // Makes the innermost running runMode() of this loop return (or the next one, if none runs).
    void stop();
    // Runs the loop until pred is true or the time-out passes; returns pred's last value.
    bool runUntil(const std::function<bool()>& pred, double timeoutSeconds,
                  std::string_view mode = kDefaultRunLoopMode);

    // Perform requests from any thread; modes empty means the common modes.
    void perform(std::function<void()> fn, std::vector<std::string> modes = {});
    // A one-shot timer on this loop that runs fn after the delay (default mode when modes is empty).
    Ref<Timer> performAfterDelay(double seconds, std::function<void()> fn, std::vector<std::string> modes = {});

    // Timers: a timer belongs to at most one loop; add it in as many modes as wanted.
    void addTimer(const Ref<Timer>& timer, std::string_view mode);

    // Keep-alive port: while added, the mode has a source and runMode() waits instead of returning.
    void addPort(std::string_view mode);
    void removePort(std::string_view mode);

    void addCommonMode(std::string_view mode);
    // The modes the loop has seen (default first).
    std::vector<std::string> allModes() const;
    // The mode of the innermost running runMode(), empty when not running. Owner thread only.
    std::string currentMode() const;
    // Whether a runMode() is running (a later turn will come). Owner thread only.
    bool isRunning() const { return !modeStack_.empty(); }

    Ref<Thread> thread() const { return thread_.lock(); }
    bool isMainLoop() const { return isMain_; }
    // Wakes a waiting runMode() so it looks at its sources again.
    void wakeUp();

    // Internal (dispatch): enqueue a main-queue block; returns false when the loop's thread ended.
    bool enqueue(std::function<void()> fn, std::vector<std::string> modes, bool mainQueue,
                 std::function<void()> onDrop = nullptr);
    void markThreadFinished();
    void removeTimer(const Timer* timer);
    void timerChanged();

private:
    struct Item {
        std::uint64_t seq;
        std::vector<std::string> modes;
        std::function<void()> fn;
        bool mainQueue;
        std::function<void()> onDrop;
    };
    struct TimerEntry {
        Ref<Timer> timer;
        std::set<std::string, std::less<>> modes;
    };

    bool eligible(const std::vector<std::string>& modes, std::string_view mode) const;
    bool eligible(const std::set<std::string, std::less<>>& modes, std::string_view mode) const;
    bool hasSources(std::string_view mode) const;
    void noteMode(std::string_view mode);
    // Until changes_ moves past seen or wake passes: a short adaptive spin, then a sleep.
    void waitForChange(std::unique_lock<std::mutex>& lock, std::uint64_t seen, SteadyTime wake);

    Weak<Thread> thread_;
    bool isMain_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::uint64_t nextSeq_ = 0;
    std::atomic<std::uint64_t> changes_{0};  // written under mutex_; read without it while spinning
    std::deque<Item> items_;
    std::vector<TimerEntry> timers_;
    std::map<std::string, int, std::less<>> ports_;
    std::set<std::string, std::less<>> commonModes_;
    std::vector<std::string> knownModes_;
    int stopRequests_ = 0;
    bool finished_ = false;
    std::vector<std::string> modeStack_;  // owner thread only
    detail::SpinBudget spinBudget_;
};

class Timer : public Object {
public:
    using Block = std::function<void(Timer&)>;

    // A timer not yet on a loop, firing first after interval seconds (a non-positive interval means
    // 0.0001 s for a repeating timer, as the platform does).
    Timer(double interval, bool repeats, Block block);
    static Ref<Timer> make(double interval, bool repeats, Block block) {
        return makeRef<Timer>(interval, repeats, std::move(block));
    }
    // Makes a timer and adds it to the current thread's loop in the default mode.
    static Ref<Timer> scheduled(double interval, bool repeats, Block block);

    // Stops the timer for good and removes it from its loop; from any thread.
    void invalidate();
    bool isValid() const;
    // Runs the block now (a one-shot timer is then invalidated); its schedule is unchanged.
    void fire();
    double timeInterval() const { return interval_; }
    bool repeats() const { return repeats_; }
    Date fireDate() const;
    void setFireDate(const Date& date);

    // Internal (run loop).
    SteadyTime deadline() const;
    void attach(const Ref<RunLoop>& loop);
    // Called by the loop when due: advances or invalidates the schedule; false when no longer valid.
    bool takeDue(SteadyTime now);
    void runBlock();

private:
    double interval_;
    bool repeats_;
    Block block_;
    mutable std::mutex mutex_;
    bool valid_ = true;
    SteadyTime deadline_;
    Weak<RunLoop> loop_;
};

// Pumps the main run loop until pred is true or the time-out passes; returns whether pred became
// true. Main thread only (tests and the application main loop's callers).
bool runMainUntil(const std::function<bool()>& pred, double timeoutSeconds);

}  // namespace lv
