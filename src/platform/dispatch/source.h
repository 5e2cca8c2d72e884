// Dispatch sources: read or write readiness of a file descriptor, or a timer, delivered as an event
// handler run on a target queue. A source starts suspended (resume() once to start it), runs at most
// one event handler at a time, and after cancel() runs its cancel handler once, after any event
// handler in progress, and only while not suspended.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "platform/base/object.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"

namespace lv {

class Source : public Object {
public:
    enum class Type { Read, Write, Timer };

    // Readiness of the descriptor, level-triggered: while it stays readable (writable) and the source
    // is resumed, the event handler runs again after each run. The source watches a duplicate of the
    // descriptor, closed before the cancel handler runs; the caller's descriptor stays the caller's
    // (typically closed in the cancel handler).
    static Ref<Source> makeRead(int fd, Ref<Queue> queue);
    static Ref<Source> makeWrite(int fd, Ref<Queue> queue);
    // A timer that fires once setTimer() has given it a schedule.
    static Ref<Source> makeTimer(Ref<Queue> queue);

    Type type() const { return type_; }
    int handle() const { return fd_; }

    void setEventHandler(Queue::Block handler);
    void setCancelHandler(Queue::Block handler);

    // Timer sources: first fire after startDelay seconds, then every interval seconds (interval 0 or
    // less: once). Setting it again replaces the schedule.
    void setTimer(double startDelay, double interval);

    // Suspension nests: each suspend() needs a resume(). Resuming more often than suspending is
    // ignored.
    void suspend();
    void resume();
    void cancel();
    bool isCancelled() const;

    // During the event handler: read sources, the bytes readable (for a listening socket the pending
    // connections, at least 1), 0 only at the end of the stream or on an error; write sources, an
    // estimate of the free send space (at least 1); timers, the number of fires since the previous
    // handler. A report of readiness with nothing to read runs no handler: the source waits again.
    std::uint64_t data() const;

    // Internal.
    struct Watcher;
    Source(Type type, int fd, Ref<Queue> queue);
    ~Source() override;
    void onReady(bool aborted);
    void onTimer(std::uint64_t generation);
    // Tests: the next wait of a descriptor source completes at once, whatever the descriptor's state,
    // as a late report of readiness that has already been consumed would.
    void completeNextWaitAtOnce();

private:
    void armLocked(std::unique_lock<std::mutex>& lock);
    void deliver();
    void finishCancelIfDone(std::unique_lock<std::mutex>& lock);
    // The event's data, or none when a read source has nothing to report after all.
    std::optional<std::uint64_t> measure() const;

    const Type type_;
    const int fd_;
    const Ref<Queue> queue_;
    Watcher* watcher_ = nullptr;  // descriptor sources: reactor-side state

    mutable std::mutex mutex_;
    Queue::Block eventHandler_;
    Queue::Block cancelHandler_;
    int suspendCount_ = 1;
    bool cancelled_ = false;
    bool cancelDone_ = false;
    bool armed_ = false;
    bool inFlight_ = false;
    bool pendingEvent_ = false;
    bool completeAtOnce_ = false;
    std::uint64_t data_ = 0;
    // Timers.
    bool scheduled_ = false;
    SteadyTime nextFire_{};
    double interval_ = 0;
    std::uint64_t generation_ = 0;
    std::uint64_t fires_ = 0;
};

}  // namespace lv
