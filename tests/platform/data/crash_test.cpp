// Crash safety: a process killed (SIGKILL) in the middle of a save leaves the store file with all of
// that save or none of it. The writer is this test binary run again as a child process (the disabled
// test below, selected by name), so that it starts clean; the parent kills it at random moments.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "context_test_support.h"
#include "support/child_process.h"

namespace lv {
namespace {

constexpr int kRowsPerSave = 20000;
using Clock = std::chrono::steady_clock;

std::size_t rowsOfBatch(const std::string& path, const std::string& batch) {
    auto coordinator = test::openCoordinator(test::makeItemModel(), path);
    if (!coordinator) return static_cast<std::size_t>(-1);
    FetchRequest r("Item");
    r.setPredicate(Predicate::format("name = %@", nullptr, batch));
    auto n = coordinator->countForFetchRequest(r, nullptr);
    return n ? *n : static_cast<std::size_t>(-1);
}

// Run only as the child of AKilledSaveLeavesAllOrNothing: saves kRowsPerSave rows named after the
// batch, writing 'S' to the pipe just before the save and 'D' after it.
TEST(CrashSafety, DISABLED_ChildWriter) {
    const char* path = std::getenv("LV_CRASH_STORE");
    const char* batch = std::getenv("LV_CRASH_BATCH");
    const char* fdText = std::getenv("LV_CRASH_FD");
    ASSERT_TRUE(path && batch && fdText);
    const int fd = std::atoi(fdText);
    auto coordinator = test::openCoordinator(test::makeItemModel(), path);
    ASSERT_TRUE(coordinator);
    auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);
    for (int i = 0; i < kRowsPerSave; ++i) {
        test::insert(context, "Item", {{"name", Value(batch)}, {"count", Value(i)}, {"blob", Value(Bytes(64, static_cast<std::uint8_t>(i)))}});
    }
    ASSERT_EQ(::write(fd, "S", 1), 1);
    Ref<Error> error;
    ASSERT_TRUE(context->save(&error)) << test::describe(error);
    ASSERT_EQ(::write(fd, "D", 1), 1);
}

using Child = test::PipedChild;

// A child that saves one batch and reports 'S' before its save and 'D' after it.
Child startWriter(const std::string& path, const std::string& batch) {
    Child child = test::startThisBinaryWithPipe("CrashSafety.DISABLED_ChildWriter",
                                                {{"LV_CRASH_STORE", path}, {"LV_CRASH_BATCH", batch}}, "LV_CRASH_FD",
                                                true);
    EXPECT_GT(child.pid, 0);
    return child;
}

// Reads one byte from the child's pipe; 0 when the pipe closed.
char readMark(int fd) {
    char c = 0;
    return ::read(fd, &c, 1) == 1 ? c : 0;
}

int finish(Child& child, bool kill) {
    if (kill) ::kill(child.pid, SIGKILL);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    ::close(child.readFd);
    return status;
}

TEST(CrashSafety, AKilledSaveLeavesAllOrNothing) {
    test::TempDir dir;
    const std::string path = dir.file("crash.sqlite");
    const std::string journal = path + "-journal";

    // A save that is left alone writes everything; it also tells how long a save takes here.
    Child calibration = startWriter(path, "whole");
    ASSERT_EQ(readMark(calibration.readFd), 'S');
    const auto started = Clock::now();
    ASSERT_EQ(readMark(calibration.readFd), 'D');
    const auto saveTime = Clock::now() - started;
    const int calibrationStatus = finish(calibration, false);
    ASSERT_TRUE(WIFEXITED(calibrationStatus) && WEXITSTATUS(calibrationStatus) == 0) << calibrationStatus;
    ASSERT_EQ(rowsOfBatch(path, "whole"), static_cast<std::size_t>(kRowsPerSave));

    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<long long> delay(0, std::chrono::duration_cast<std::chrono::microseconds>(saveTime).count() * 3 / 2);
    int none = 0;
    int all = 0;
    for (int round = 0; round < 8; ++round) {
        const std::string batch = "round" + std::to_string(round);
        Child child = startWriter(path, batch);
        ASSERT_EQ(readMark(child.readFd), 'S');
        if (round == 0) {
            // Killed while its transaction is open: the rollback journal exists from the first write.
            const auto deadline = Clock::now() + std::chrono::seconds(30);
            while (!std::filesystem::exists(journal) && Clock::now() < deadline) {
            }
            ASSERT_TRUE(std::filesystem::exists(journal));
        } else {
            // Killed at a random moment of (or just after) the save.
            const auto at = Clock::now() + std::chrono::microseconds(delay(random));
            while (Clock::now() < at) {
            }
        }
        const int status = finish(child, true);
        EXPECT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << status;
        const std::size_t rows = rowsOfBatch(path, batch);  // opening the file rolls a cut transaction back
        SCOPED_TRACE(batch);
        EXPECT_TRUE(rows == 0 || rows == static_cast<std::size_t>(kRowsPerSave)) << rows << " rows";
        if (rows == 0) ++none;
        if (rows == static_cast<std::size_t>(kRowsPerSave)) ++all;
        if (round == 0) {
            EXPECT_EQ(rows, 0u);
        }
        // Earlier saves are untouched.
        EXPECT_EQ(rowsOfBatch(path, "whole"), static_cast<std::size_t>(kRowsPerSave));
    }
    EXPECT_GE(none, 1);
    EXPECT_EQ(none + all, 8);
    // The store goes on working.
    auto coordinator = test::openCoordinator(test::makeItemModel(), path);
    ASSERT_TRUE(coordinator);
    auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);
    test::insert(context, "Item", {{"name", Value("after")}});
    Ref<Error> error;
    EXPECT_TRUE(context->save(&error)) << test::describe(error);
    EXPECT_EQ(rowsOfBatch(path, "after"), 1u);
}

}  // namespace
}  // namespace lv
