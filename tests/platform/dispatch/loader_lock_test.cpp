// Per-thread state never waits for a library load on another thread: the loader holds its lock for
// the whole of a load (here, a library whose constructor waits until released), and a thread that
// first used a C++ thread_local with a destructor, or a per-thread value, would wait with it.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/base/lifetime.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/thread.h"

namespace lv {
namespace {

bool waitFor(const std::atomic<bool>& flag, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!flag.load()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

struct Destroyed {
    std::atomic<int>* count = nullptr;
    ~Destroyed() {
        if (count) ++*count;
    }
};

TEST(PerThread, EachThreadHasItsOwnValueFreedWhenItEnds) {
    static PerThread<Destroyed> value;
    static PerThread<int> number;
    std::atomic<int> destroyed{0};
    number.get() = 7;
    std::thread([&] {
        EXPECT_EQ(number.get(), 0);
        number.get() = 3;
        value.get().count = &destroyed;
    }).join();
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(number.get(), 7);
}

TEST(PerThread, FirstUsesDoNotWaitForALibraryLoadOnAnotherThread) {
    // Only a first load runs the library's constructor (a repeated run in one process unloads it at
    // its end; one that could not would wait for the constructor forever).
    if (void* loaded = ::dlopen(LV_HELD_LOAD_LIBRARY, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)) {
        ::dlclose(loaded);
        GTEST_SKIP() << "the held library is still loaded";
    }
    int entered[2];
    int release[2];
    ASSERT_EQ(::pipe(entered), 0);
    ASSERT_EQ(::pipe(release), 0);
    ::setenv("LV_HELD_LOAD_ENTERED_FD", std::to_string(entered[1]).c_str(), 1);
    ::setenv("LV_HELD_LOAD_RELEASE_FD", std::to_string(release[0]).c_str(), 1);

    // The thread is made before the load: making one waits for the loader too.
    static PerThread<std::string> text;
    Ref<Queue> queue = Queue::makeSerial("held-load");
    std::atomic<bool> go{false};
    std::atomic<bool> done{false};
    std::thread user([&] {
        if (!waitFor(go, std::chrono::seconds(60))) return;
        text.get() = "first use";
        const bool named = Thread::current() != nullptr;
        queue->sync([&] { EXPECT_EQ(Queue::current(), queue); });
        done.store(named);
    });
    void* library = nullptr;
    std::thread loader([&] {
        library = ::dlopen(LV_HELD_LOAD_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(library, nullptr);
    });

    char byte = 0;
    ASSERT_EQ(::read(entered[0], &byte, 1), 1);  // the load is under way and holds the loader's lock
    go.store(true);
    // A user held by the load finishes only once the test releases it (or the library gives up, after
    // far longer), so the wait may be long: a loaded machine gets all the time it needs.
    const bool finishedDuringTheLoad = waitFor(done, std::chrono::seconds(20));
    ASSERT_EQ(::write(release[1], &byte, 1), 1);
    loader.join();
    user.join();
    if (library) ::dlclose(library);
    EXPECT_TRUE(finishedDuringTheLoad);
    for (int fd : {entered[0], entered[1], release[0], release[1]}) ::close(fd);
    ::unsetenv("LV_HELD_LOAD_ENTERED_FD");
    ::unsetenv("LV_HELD_LOAD_RELEASE_FD");
}

}  // namespace
}  // namespace lv
