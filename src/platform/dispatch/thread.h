// Threads: the main thread (the process's initial thread), threads started by the program, and
// threads adopted on first use (pool workers, threads of other libraries). Each has a name, a
// dictionary and a run loop created on first use.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

class RunLoop;

class Thread : public Object {
public:
    using Entry = std::function<void()>;

    // A thread not yet started; start() runs entry on a new system thread.
    explicit Thread(Entry entry);
    static Ref<Thread> make(Entry entry) { return makeRef<Thread>(std::move(entry)); }
    // Makes and starts a thread at once.
    static Ref<Thread> detachNew(Entry entry, std::string name = {});

    // The object of the calling thread (adopted on first use).
    static Ref<Thread> current();
    // The process's initial thread, which runs the application main loop or a test's main.
    static Ref<Thread> mainThread();
    static bool isMainThread();

    void start();
    bool isMainThreadObject() const { return isMain_; }
    bool isExecuting() const { return state_.load() == State::Executing; }
    bool isFinished() const { return state_.load() == State::Finished; }

    std::string name() const;
    // Also names the system thread (first 15 bytes) when called on that thread or before start().
    void setName(std::string name);

    // The thread dictionary. Any thread may read or write it; each call holds a lock.
    Value dictionaryValue(std::string_view key) const;
    // Nil removes the entry.
    void setDictionaryValue(std::string key, Value value);
    Dictionary dictionary() const;

    // This thread's run loop, created on first use (from any thread).
    Ref<RunLoop> runLoop();

    // Runs fn on this thread's run loop in the given modes (the common modes when empty), after the
    // requests queued before it. With wait, returns once fn has run; a waiting request made on the
    // target thread itself runs at once. A request to a finished thread is dropped.
    void perform(std::function<void()> fn, bool wait, std::vector<std::string> modes = {});

    std::string description() const override;

    // Internal: adopts the calling system thread.
    struct Adopt {};
    Thread(Adopt, bool isMain);
    void markFinished();

private:
    enum class State { Created, Executing, Finished };
    void run();

    Entry entry_;
    bool isMain_ = false;
    std::atomic<State> state_{State::Created};
    mutable std::mutex mutex_;
    std::string name_;
    Dictionary dictionary_;
    Ref<RunLoop> runLoop_;
};

// Runs fn on the main thread's run loop (common modes), in one FIFO with the main queue.
void performOnMainThread(std::function<void()> fn, bool wait);

}  // namespace lv
