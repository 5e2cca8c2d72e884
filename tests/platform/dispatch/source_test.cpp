// Readiness sources on sockets, and the schedule of timer sources. Firing and cancelling timer sources
// are checked with the run loop's timers in delivery_test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>

#include "dispatch_support.h"
#include "platform/dispatch/source.h"

namespace lv {
namespace {

struct SocketPair {
    int fds[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
    ~SocketPair() {
        for (int fd : fds) {
            if (fd >= 0) ::close(fd);
        }
    }
    void send(std::string_view text) { ASSERT_EQ(::write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size())); }
};

// Sets a cancel handler on `source` and returns a call that cancels it and waits for that handler.
// Once it has run, no event handler is running or will run, so the locals the handlers capture may go.
std::function<void()> cancellation(const Ref<Source>& source) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    source->setCancelHandler([done] { *done = true; });
    return [source, done] {
        source->cancel();
        EXPECT_TRUE(runMainUntil([&] { return done->load(); }, 5));
    };
}

// A listening socket on 127.0.0.1 with three connections waiting to be accepted.
struct Listener {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    std::vector<int> clients;
    Listener() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(::listen(fd, 16), 0);
        EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
        for (int i = 0; i < 3; ++i) {
            clients.push_back(::socket(AF_INET, SOCK_STREAM, 0));
            EXPECT_EQ(::connect(clients.back(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        }
    }
    ~Listener() {
        for (int c : clients) ::close(c);
        ::close(fd);
    }
};

// A read source reports on its queue what is there to read: bytes, zero at the end of the stream,
// pending connections on a listening socket.
TEST(SourceTest, ReadSourceReportsWhatIsReadyOnItsQueue) {
    enum Descriptor { Bytes, EndOfStream, PendingConnections };
    for (const auto& [descriptor, expected] : {std::pair(Bytes, 5), std::pair(EndOfStream, 0), std::pair(PendingConnections, 3)}) {
        SCOPED_TRACE(descriptor);
        SocketPair pair;
        Listener listener;
        if (descriptor == Bytes) pair.send("hello");
        if (descriptor == EndOfStream) {
            ::close(pair.fds[1]);
            pair.fds[1] = -1;
        }
        Ref<Queue> q = Queue::makeSerial("reader");
        Ref<Source> source = Source::makeRead(descriptor == PendingConnections ? listener.fd : pair.fds[0], q);
        std::atomic<int> seen{-1};
        std::atomic<bool> onQueue{false};
        source->setEventHandler([&] {
            onQueue = q->isCurrent();
            seen = static_cast<int>(source->data());
            source->cancel();
        });
        const auto cancelAndWait = cancellation(source);
        source->resume();
        ASSERT_TRUE(runMainUntil([&] { return seen.load() >= 0; }, 5));
        EXPECT_EQ(seen.load(), expected);
        EXPECT_TRUE(onQueue.load());
        cancelAndWait();
    }
}

TEST(SourceTest, StartsSuspendedAndFiresAgainWhileDataStaysUnread) {
    SocketPair pair;
    Ref<Source> source = Source::makeRead(pair.fds[0], Queue::makeSerial("level"));
    std::atomic<int> events{0};
    source->setEventHandler([&] {
        if (++events == 3) source->suspend();  // the byte is never read: readiness persists
    });
    const auto cancelAndWait = cancellation(source);
    pair.send("x");
    test::pumpMain(0.02);
    EXPECT_EQ(events.load(), 0);  // not resumed yet
    source->resume();
    ASSERT_TRUE(runMainUntil([&] { return events.load() == 3; }, 5));
    test::pumpMain(0.02);
    EXPECT_EQ(events.load(), 3);  // suspended
    source->resume();
    ASSERT_TRUE(runMainUntil([&] { return events.load() > 3; }, 5));
    cancelAndWait();
}

TEST(SourceTest, ReadAndWriteSourcesShareADescriptorAndCancelHandlersCloseItOnce) {
    SocketPair pair;
    Ref<Queue> q = Queue::makeSerial("both");
    const int fd = pair.fds[0];
    pair.fds[0] = -1;  // closed by the cancel handlers
    Ref<Source> reader = Source::makeRead(fd, q);
    Ref<Source> writer = Source::makeWrite(fd, q);
    std::atomic<bool> readable{false};
    std::atomic<std::uint64_t> space{0};
    reader->setEventHandler([&] {
        char c;
        readable = ::read(fd, &c, 1) == 1;
    });
    writer->setEventHandler([&] {
        space = writer->data();
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
    ASSERT_TRUE(runMainUntil([&] { return readable.load() && space.load() >= 1; }, 5));
    reader->cancel();
    writer->cancel();
    test::pumpMain(0.05);
    EXPECT_EQ(closes.load(), 0);  // the suspended write source holds its cancel handler back
    writer->resume();
    ASSERT_TRUE(runMainUntil([&] { return closes.load() == 1; }, 5));
    EXPECT_TRUE(reader->isCancelled());
}

// A report of readiness with nothing to read (one that a read has already consumed) runs no handler on
// an open, silent socket: the source waits again, then reports the next bytes, and the real end of
// the stream as 0.
TEST(SourceTest, StaleReadinessOnASilentOpenSocketRunsNoHandler) {
    SocketPair pair;
    SocketPair fence;
    Ref<Queue> q = Queue::makeSerial("stale");
    Ref<Source> source = Source::makeRead(pair.fds[0], q);
    test::Recorder seen;
    source->setEventHandler([&] {
        const std::uint64_t n = source->data();
        seen.add(std::to_string(n));
        char buffer[16];
        if (n > 0) {
            EXPECT_EQ(::read(pair.fds[0], buffer, sizeof buffer), static_cast<ssize_t>(n));
        } else {
            source->cancel();
        }
    });
    const auto cancelSourceAndWait = cancellation(source);
    source->completeNextWaitAtOnce();
    source->resume();
    // The reactor takes the stale completion before it starts the fence's wait, so anything that
    // completion queued runs on q before the fence's handler.
    fence.send("f");
    Ref<Source> fenceSource = Source::makeRead(fence.fds[0], q);
    std::atomic<bool> fenced{false};
    fenceSource->setEventHandler([&] {
        fenced = true;
        fenceSource->cancel();
    });
    const auto cancelFenceAndWait = cancellation(fenceSource);
    fenceSource->resume();
    ASSERT_TRUE(runMainUntil([&] { return fenced.load(); }, 5));
    cancelFenceAndWait();
    EXPECT_EQ(seen.events(), test::Events{});
    pair.send("abc");
    ASSERT_TRUE(runMainUntil([&] { return seen.size() == 1; }, 5));
    ::shutdown(pair.fds[1], SHUT_WR);
    ASSERT_TRUE(runMainUntil([&] { return seen.size() == 2; }, 5));
    EXPECT_EQ(seen.events(), (test::Events{"3", "0"}));
    cancelSourceAndWait();
}

// Setting the timer again replaces its schedule; a fire while suspended is delivered on resume, with
// the number of fires as its data.
TEST(TimerSourceTest, ScheduleReplacedAndFiresHeldWhileSuspended) {
    Ref<Source> timer = Source::makeTimer(Queue::makeSerial("timer"));
    std::atomic<int> fired{0};
    std::atomic<std::uint64_t> count{0};
    timer->setEventHandler([&] {
        count = timer->data();
        ++fired;
    });
    const auto cancelAndWait = cancellation(timer);
    timer->setTimer(0.005, 0);
    timer->setTimer(0.05, 0);  // pushed later
    timer->resume();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(runMainUntil([&] { return fired.load() == 1; }, 5));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
    test::pumpMain(0.02);
    EXPECT_EQ(fired.load(), 1);
    timer->setTimer(0.01, 0);
    timer->suspend();
    test::pumpMain(0.04);
    EXPECT_EQ(fired.load(), 1);
    timer->resume();
    ASSERT_TRUE(runMainUntil([&] { return fired.load() == 2; }, 5));
    EXPECT_EQ(count.load(), 1u);
    cancelAndWait();
}

}  // namespace
}  // namespace lv
