#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/lock.h"
#include "platform/dispatch/queue.h"

namespace lv {
namespace {

TEST(RecursiveLockTest, OwnerMayTakeItAgainOthersWaitForTheLastUnlock) {
    RecursiveLock lock("com.example.lock");
    lock.lock();
    EXPECT_TRUE(lock.tryLock());
    std::atomic<bool> otherGotIt{true};
    std::thread([&] { otherGotIt = lock.tryLock(); }).join();
    EXPECT_FALSE(otherGotIt.load());
    lock.unlock();
    lock.unlock();
    std::thread([&] {
        otherGotIt = lock.tryLock();
        if (otherGotIt) lock.unlock();
    }).join();
    EXPECT_TRUE(otherGotIt.load());
}

TEST(SynchronizedTest, ExcludesOtherThreadsOnTheSameObjectAndIsRecursive) {
    static const char kLockText[] = "__EXAMPLE_LOCK__";
    long counter = 0;  // guarded by the monitor of kLockText only
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                synchronized(kLockText, [&] {
                    synchronized(kLockText, [&] { ++counter; });  // recursive on the same thread
                });
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 16000);
}

TEST(SynchronizedTest, DistinctObjectsDoNotShareAMonitor) {
    int a = 0;
    int b = 0;
    Synchronized holdA(&a);
    std::atomic<bool> tookB{false};
    std::thread([&] {
        Synchronized holdB(&b);  // would block for ever if a and b shared one monitor
        tookB = true;
    }).join();
    EXPECT_TRUE(tookB.load());
}

TEST(OnceTest, RunsExactlyOnceAcrossThreads) {
    OnceFlag flag;
    std::atomic<int> runs{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) threads.emplace_back([&] { once(flag, [&] { ++runs; }); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(runs.load(), 1);
}

}  // namespace
}  // namespace lv
