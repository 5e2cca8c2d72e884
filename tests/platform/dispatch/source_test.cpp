#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/source.h"
#include "recorder.h"

namespace lv {
namespace {

using test::Recorder;

struct SocketPair {
    int fds[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
    ~SocketPair() {
        for (int fd : fds) {
            if (fd >= 0) ::close(fd);
        }
    }
    void send(const char* text) { ASSERT_EQ(::write(fds[1], text, std::strlen(text)), static_cast<ssize_t>(std::strlen(text))); }
};

TEST(SourceTest, ReadSourceReportsReadableBytesOnItsQueue) {
    SocketPair pair;
    Ref<Queue> q = Queue::makeSerial("reader");
    Ref<Source> source = Source::makeRead(pair.fds[0], q);
    std::atomic<std::uint64_t> seen{0};
    std::atomic<bool> onQueue{false};
    std::string received;
    std::atomic<bool> done{false};
    source->setEventHandler([&] {
        onQueue = q->isCurrent();
        seen = source->data();
        char buffer[64];
        ssize_t n = ::read(pair.fds[0], buffer, sizeof buffer);
        if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
        done = true;
    });
    pair.send("hello");
    source->resume();
    ASSERT_TRUE(runMainUntil([&] { return done.load(); }, 5));
    EXPECT_EQ(seen.load(), 5u);
    EXPECT_TRUE(onQueue.load());
    q->sync([&] { EXPECT_EQ(received, "hello"); });
    source->cancel();
}

TEST(SourceTest, StartsSuspendedAndFiresAgainWhileDataStaysUnread) {
    SocketPair pair;
    Ref<Queue> q = Queue::makeSerial("level");
    Ref<Source> source = Source::makeRead(pair.fds[0], q);
    std::atomic<int> events{0};
    source->setEventHandler([&] {
        if (++events == 3) source->suspend();  // the byte is never read: readiness persists
    });
    pair.send("x");
    runMainUntil([] { return false; }, 0.02);
    EXPECT_EQ(events.load(), 0);  // not resumed yet
    source->resume();
    ASSERT_TRUE(runMainUntil([&] { return events.load() == 3; }, 5));
    runMainUntil([] { return false; }, 0.02);
    EXPECT_EQ(events.load(), 3);  // suspended
    source->resume();
    ASSERT_TRUE(runMainUntil([&] { return events.load() > 3; }, 5));
    source->cancel();
}

TEST(SourceTest, ReadAndWriteSourcesShareADescriptorAndCancelHandlersCloseItOnce) {
    SocketPair pair;
    Ref<Queue> q = Queue::makeSerial("both");
    const int fd = pair.fds[0];
    pair.fds[0] = -1;  // closed by the cancel handlers
    Ref<Source> reader = Source::makeRead(fd, q);
    Ref<Source> writer = Source::makeWrite(fd, q);
    std::atomic<bool> readable{false};
    std::atomic<bool> writable{false};
    std::atomic<std::uint64_t> space{0};
    reader->setEventHandler([&] {
        readable = true;
        char c;
        (void)::read(fd, &c, 1);
    });
    writer->setEventHandler([&] {
        space = writer->data();
        writable = true;
        writer->suspend();
    });
    auto remaining = std::make_shared<std::atomic<int>>(2);
    std::atomic<int> closes{0};
    auto cancelHandler = [&, remaining, fd] {
        if (--*remaining == 0) {
            ::close(fd);
            ++closes;
        }
    };
    reader->setCancelHandler(cancelHandler);
    writer->setCancelHandler(cancelHandler);
    reader->resume();
    writer->resume();
    pair.send("y");
    ASSERT_TRUE(runMainUntil([&] { return readable.load() && writable.load(); }, 5));
    EXPECT_GE(space.load(), 1u);
    reader->cancel();
    writer->cancel();
    runMainUntil([] { return false; }, 0.05);
    EXPECT_EQ(closes.load(), 0);  // the suspended write source holds its cancel handler back
    writer->resume();
    ASSERT_TRUE(runMainUntil([&] { return closes.load() == 1; }, 5));
    EXPECT_TRUE(reader->isCancelled());
}

TEST(SourceTest, EndOfStreamReadsAsZeroBytesReadable) {
    SocketPair pair;
    Ref<Queue> q = Queue::makeSerial("eof");
    Ref<Source> source = Source::makeRead(pair.fds[0], q);
    std::atomic<int> seen{-1};
    source->setEventHandler([&] {
        seen = static_cast<int>(source->data());
        source->cancel();
    });
    ::close(pair.fds[1]);
    pair.fds[1] = -1;
    source->resume();
    ASSERT_TRUE(runMainUntil([&] { return seen.load() >= 0; }, 5));
    EXPECT_EQ(seen.load(), 0);
}

TEST(SourceTest, ListeningSocketReportsPendingConnections) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 16), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) {
        int c = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(::connect(c, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        clients.push_back(c);
    }
    Ref<Queue> q = Queue::makeSerial("accept");
    Ref<Source> source = Source::makeRead(listener, q);
    std::atomic<int> pending{0};
    source->setEventHandler([&] {
        pending = static_cast<int>(source->data());
        source->cancel();
    });
    source->resume();
    ASSERT_TRUE(runMainUntil([&] { return pending.load() > 0; }, 5));
    EXPECT_EQ(pending.load(), 3);
    for (int c : clients) ::close(c);
    ::close(listener);
}

TEST(TimerSourceTest, OneShotFiresOnceAndCancelStopsARepeatingTimer) {
    Ref<Queue> q = Queue::makeSerial("timers");
    Ref<Source> once = Source::makeTimer(q);
    std::atomic<int> onceFired{0};
    once->setEventHandler([&] { ++onceFired; });
    once->setTimer(0.01, 0);
    once->resume();
    Ref<Source> repeating = Source::makeTimer(q);
    std::atomic<int> repeatFired{0};
    std::atomic<bool> cancelled{false};
    repeating->setEventHandler([&] {
        if (++repeatFired == 3) repeating->cancel();
    });
    repeating->setCancelHandler([&] { cancelled = true; });
    repeating->setTimer(0.001, 0.002);
    repeating->resume();
    ASSERT_TRUE(runMainUntil([&] { return cancelled.load() && onceFired.load() == 1; }, 5));
    runMainUntil([] { return false; }, 0.03);
    EXPECT_EQ(onceFired.load(), 1);
    EXPECT_EQ(repeatFired.load(), 3);
    once->cancel();
}

TEST(TimerSourceTest, CancelBeforeTheDeadlineRunsOnlyTheCancelHandler) {
    Ref<Queue> q = Queue::makeSerial("timeout");
    Ref<Source> timer = Source::makeTimer(q);
    std::atomic<bool> fired{false};
    std::atomic<bool> cancelled{false};
    timer->setEventHandler([&] { fired = true; });
    timer->setCancelHandler([&] { cancelled = true; });
    timer->setTimer(0.03, 0);
    timer->resume();
    timer->cancel();
    ASSERT_TRUE(runMainUntil([&] { return cancelled.load(); }, 5));
    runMainUntil([] { return false; }, 0.06);
    EXPECT_FALSE(fired.load());
}

TEST(TimerSourceTest, AFireWhileSuspendedIsDeliveredOnResume) {
    Ref<Queue> q = Queue::makeSerial("suspended");
    Ref<Source> timer = Source::makeTimer(q);
    std::atomic<int> fired{0};
    std::atomic<std::uint64_t> count{0};
    timer->setEventHandler([&] {
        count = timer->data();
        ++fired;
    });
    timer->setTimer(0.01, 0);
    timer->resume();
    timer->suspend();
    runMainUntil([] { return false; }, 0.04);
    EXPECT_EQ(fired.load(), 0);
    timer->resume();
    ASSERT_TRUE(runMainUntil([&] { return fired.load() == 1; }, 5));
    EXPECT_EQ(count.load(), 1u);
    timer->cancel();
}

TEST(TimerSourceTest, SettingTheTimerAgainReplacesTheSchedule) {
    Ref<Queue> q = Queue::makeSerial("reset");
    Ref<Source> timer = Source::makeTimer(q);
    Recorder r;
    timer->setEventHandler([&] { r.add("fired"); });
    timer->setTimer(0.005, 0);
    timer->setTimer(0.05, 0);  // pushed later
    timer->resume();
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(runMainUntil([&] { return r.size() == 1; }, 5));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
    runMainUntil([] { return false; }, 0.02);
    EXPECT_EQ(r.size(), 1u);
    timer->cancel();
}

}  // namespace
}  // namespace lv
