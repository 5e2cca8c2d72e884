// Shared helpers of the dispatch tests: an event list for ordering checks, a pump for checks that
// something did not happen, a value computed on another thread, and a thread with a run loop.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/thread.h"

namespace lv::test {

using Events = std::vector<std::string>;

// Thread-safe list of events.
class Recorder {
public:
    void add(std::string event) {
        std::lock_guard<std::mutex> guard(mutex_);
        events_.push_back(std::move(event));
    }
    Events events() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return events_;
    }
    std::size_t size() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return events_.size();
    }

private:
    mutable std::mutex mutex_;
    Events events_;
};

// "0", "1", … up to n - 1.
inline Events counting(int n) {
    Events events;
    for (int i = 0; i < n; ++i) events.push_back(std::to_string(i));
    return events;
}

// Runs the main loop for the given time: for checks that nothing more happens.
inline void pumpMain(double seconds) { runMainUntil([] { return false; }, seconds); }

// What `body` returns when run on a thread of its own.
template <class Body>
auto onAnotherThread(Body body) {
    decltype(body()) result{};
    std::thread([&] { result = body(); }).join();
    return result;
}

// A thread whose run loop a port keeps alive until the object goes.
struct LoopThread {
    Ref<Thread> thread;
    std::atomic<bool> quit{false};
    Ref<Semaphore> done = Semaphore::make();

    explicit LoopThread(std::string name) {
        thread = Thread::detachNew(
            [this] {
                Ref<RunLoop> loop = RunLoop::current();
                loop->addPort(kDefaultRunLoopMode);
                while (!quit.load()) loop->runMode(kDefaultRunLoopMode, steadyAfter(10));
                done->signal();
            },
            std::move(name));
    }
    ~LoopThread() {
        thread->perform([this] { quit = true; }, false);
        EXPECT_TRUE(done->wait(10));
    }
};

}  // namespace lv::test
