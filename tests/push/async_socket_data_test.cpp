// Reads, writes and time-outs of PNAsyncSocket against scripted raw loopback peers, and the read
// packet's length rules.
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <limits>
#include <thread>

#include <gtest/gtest.h>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "push/socket_peer.h"

namespace lv {
namespace {

using test::RawListener;
using test::RawPeer;
using test::RecordingDelegate;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

struct Connection {
    RawListener listener;
    Ref<RecordingDelegate> delegate = RecordingDelegate::make();
    Ref<PNAsyncSocket> socket = PNAsyncSocket::makeWithDelegate(delegate, Queue::main());
    RawPeer peer;

    explicit Connection(const std::function<void(PNAsyncSocket&)>& configure = {}) {
        if (configure) configure(*socket);
        EXPECT_TRUE(socket->connectToHost("127.0.0.1", listener.port(), nullptr));
        peer = listener.accept();
        EXPECT_TRUE(delegate->waitFor("connect"));
        delegate->events.clear();
    }
};

// One scripted exchange: reads queued, then bursts from the peer, each burst sent once the event
// named before it has been seen (so bursts arrive as separate read events).
struct Step {
    std::string waitFor;  // empty: send at once
    std::string burst;
    bool closePeer = false;
    bool shutdownPeer = false;
};

struct ReadCase {
    const char* name;
    std::function<void(PNAsyncSocket&)> queueReads;
    std::vector<Step> steps;
    std::string last;  // the event that ends the case
    std::vector<std::string> expected;
    bool halfDuplex = false;
};

void runReadCase(const ReadCase& c) {
    SCOPED_TRACE(c.name);
    Connection connection([&](PNAsyncSocket& socket) { socket.setAutoDisconnectOnClosedReadStream(!c.halfDuplex); });
    c.queueReads(*connection.socket);
    for (const Step& step : c.steps) {
        if (!step.waitFor.empty()) {
            ASSERT_TRUE(connection.delegate->waitFor(step.waitFor)) << step.waitFor;
        }
        if (!step.burst.empty()) connection.peer.send(step.burst);
        if (step.shutdownPeer) connection.peer.shutdownWrite();
        if (step.closePeer) connection.peer.close();
    }
    ASSERT_TRUE(connection.delegate->waitFor(c.last)) << c.last;
    EXPECT_EQ(connection.delegate->events, c.expected);
}

TEST(AsyncSocketRead, ScriptedPeers) {
    const Bytes crlf = PNAsyncSocket::CRLFData();
    const std::vector<ReadCase> cases = {
        {"one burst, one completion", [](PNAsyncSocket& s) { s.readDataWithTimeout(-1, 4); },
         {{"", "0123456789"}}, "read", {"read 4 0123456789"}},
        {"exact 8 as 3 + 5", [](PNAsyncSocket& s) { s.readDataToLength(8, -1, 1); },
         {{"", "abc"}, {"partial", "defgh"}}, "read", {"partial 3 1", "read 1 abcdefgh"}},
        {"CRLF with leftovers for the next read",
         [&](PNAsyncSocket& s) {
             s.readDataToData(crlf, -1, 1);
             s.readDataToLength(3, -1, 2);
             s.readDataWithTimeout(-1, 3);
         },
         {{"", "abc\r\nxyz"}, {"read 2", "more"}}, "read 3", {"read 1 abc\r\n", "read 2 xyz", "read 3 more"}},
        {"terminator split across bursts",
         [&](PNAsyncSocket& s) {
             s.readDataToData(crlf, -1, 1);
             s.readDataWithTimeout(-1, 2);
         },
         {{"", "ab\r"}, {"partial", "\ncd"}}, "read 2", {"partial 3 1", "read 1 ab\r\n", "read 2 cd"}},
        {"terminator after bytes already in the packet",
         [&](PNAsyncSocket& s) {
             s.readDataToData(bytesOf("END"), -1, 1);
             s.readDataWithTimeout(-1, 2);
         },
         {{"", "12"}, {"partial 2", "3EN"}, {"partial 3", "Dtail"}}, "read 2",
         {"partial 2 1", "partial 3 1", "read 1 123END", "read 2 tail"}},
        {"maximum reached without terminator", [&](PNAsyncSocket& s) { s.readDataToData(crlf, -1, 4, 1); },
         {{"", "0123456789"}}, "disconnect", {"partial 4 1", "disconnect PNAsyncSocketErrorDomain 6"}},
        {"peer closes after its reply", [](PNAsyncSocket& s) { s.readDataWithTimeout(-1, 0); },
         {{"", "reply", true}}, "disconnect", {"read 0 reply", "disconnect PNAsyncSocketErrorDomain 7"}},
        {"half-closed peer closes the socket", [](PNAsyncSocket& s) { s.readDataWithTimeout(-1, 0); },
         {{"", "bye", false, true}}, "disconnect", {"read 0 bye", "disconnect PNAsyncSocketErrorDomain 7"}},
        {"half-closed peer with half-duplex", [](PNAsyncSocket& s) { s.readDataWithTimeout(-1, 0); },
         {{"", "bye", false, true}}, "read stream closed", {"read 0 bye", "read stream closed"}, true},
    };
    for (const ReadCase& c : cases) runReadCase(c);
}

TEST(AsyncSocketRead, LeftoversAreServedThenTheCloseIsReported) {
    Connection connection;
    connection.socket->readDataToData(PNAsyncSocket::CRLFData(), -1, 1);
    connection.peer.send("a\r\nbc");
    connection.peer.close();
    ASSERT_TRUE(connection.delegate->waitFor("read 1"));
    connection.socket->readDataToLength(2, -1, 2);
    ASSERT_TRUE(connection.delegate->waitFor("disconnect"));
    EXPECT_EQ(connection.delegate->events,
              (std::vector<std::string>{"read 1 a\r\n", "read 2 bc", "disconnect PNAsyncSocketErrorDomain 7"}));
}

// A report of readiness with nothing to read (late or spurious) never closes a live connection: the
// socket asks the kernel, which has no end of stream to tell, and reads the next bytes as usual.
TEST(AsyncSocketRead, ReadinessWithoutDataIsNoEndOfStream) {
    Connection connection;
    connection.socket->readDataWithTimeout(-1, 1);
    connection.socket->reportReadReadinessWithoutDataForTesting();
    connection.socket->performBlock([] {});  // the report has been handled
    connection.peer.send("late");
    ASSERT_TRUE(runMainUntil([&] { return connection.delegate->has("read") || connection.delegate->has("disconnect"); }, 5));
    EXPECT_EQ(connection.delegate->events, std::vector<std::string>{"read 1 late"});
    EXPECT_TRUE(connection.socket->isConnected());
}

TEST(AsyncSocketRead, CallerBufferIsWrittenInPlace) {
    Connection connection;
    auto buffer = std::make_shared<Bytes>(bytesOf("XY"));
    connection.socket->readDataToLength(3, -1, buffer, 5, 1);  // offset past the end: dropped
    connection.socket->readDataToLength(3, -1, buffer, 2, 2);
    connection.peer.send("abc");
    ASSERT_TRUE(connection.delegate->waitFor("read"));
    EXPECT_EQ(connection.delegate->events, std::vector<std::string>{"read 2 abc"});
    EXPECT_EQ(*buffer, bytesOf("XYabc"));
    EXPECT_EQ(connection.delegate->reads[0].buffer(), buffer);  // a view, not a copy
}

// Exact-length reads in a row, each either kept by the delegate or let go before the next: a let-go
// buffer lends its storage to the next read of at least half its length, a kept one is never written
// again, and every read hands over exactly its own bytes.
TEST(AsyncSocketRead, ExactReadsReuseOnlyBuffersLetGo) {
    constexpr std::size_t kLength = 1u << 16;
    struct ExactRead {
        std::size_t length;
        char fill;
        bool letGoBefore;  // the delegate drops every read it holds before this one is queued
        std::size_t capacity;
    };
    const std::vector<ExactRead> steps = {
        {kLength, 'a', false, kLength},
        {kLength, 'b', false, kLength},              // the first is held: storage of its own
        {kLength * 3 / 4, 'c', true, kLength},      // within 2x of a let-go buffer: its storage
        {kLength / 4, 'd', true, kLength / 4},      // under half of the spare: storage of its own
        {kLength / 4, 'e', false, kLength / 4},     // the last is held, the spare still too large
        {kLength / 4 + 1, 'f', true, kLength / 4 + 1},  // the let-go ones are too small: its own
    };
    Connection connection;
    std::vector<std::pair<PNSocketData, char>> kept;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const ExactRead& step = steps[i];
        SCOPED_TRACE(i);
        if (step.letGoBefore) {
            connection.delegate->reads.clear();
            kept.clear();
        }
        const auto tag = static_cast<std::int64_t>(i);
        connection.socket->readDataToLength(step.length, -1, tag);
        connection.peer.send(std::string(step.length, step.fill));
        ASSERT_TRUE(connection.delegate->waitFor("read " + std::to_string(tag)));
        const PNSocketData data = connection.delegate->reads.back();
        EXPECT_EQ(data.text(), std::string(step.length, step.fill));
        EXPECT_EQ(data.buffer()->capacity(), step.capacity);
        kept.emplace_back(data, step.fill);
        for (const auto& [earlier, fill] : kept) EXPECT_EQ(earlier.text(), std::string(earlier.size(), fill));
    }
}

// An exact length far beyond what memory can reserve up front is no failure of the socket: the read
// takes bytes as they come, like any other.
TEST(AsyncSocketRead, ExactLengthBeyondMemoryReadsAsBytesArrive) {
    Connection connection;
    connection.socket->readDataToLength(std::numeric_limits<std::uint64_t>::max(), -1, 1);
    connection.peer.send("abc");
    ASSERT_TRUE(connection.delegate->waitFor("partial"));
    EXPECT_EQ(connection.delegate->events, std::vector<std::string>{"partial 3 1"});
    EXPECT_TRUE(connection.socket->isConnected());
}

TEST(AsyncSocketRead, TimeOutsCloseUnlessExtended) {
    struct Case {
        const char* name;
        double extension;
        bool answers;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"no answer", 0, false, {"disconnect PNAsyncSocketErrorDomain 4"}},
        {"declined", 0, true, {"timeout? 7 0 0", "disconnect PNAsyncSocketErrorDomain 4"}},
        {"extended", 30, true, {"timeout? 7 0 0", "read 7 late"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Connection connection;
        connection.delegate->answersTimeouts = c.answers;
        connection.delegate->readExtension = c.extension;
        connection.socket->readDataWithTimeout(0, 7);
        ASSERT_TRUE(connection.delegate->waitFor(c.extension > 0 ? "timeout?" : "disconnect"));
        if (c.extension > 0) {
            connection.peer.send("late");
            ASSERT_TRUE(connection.delegate->waitFor("read"));
            EXPECT_TRUE(connection.socket->isConnected());
        } else {
            EXPECT_EQ(connection.delegate->disconnectError->localizedDescription(), "Read operation timed out");
        }
        EXPECT_EQ(connection.delegate->events, c.expected);
    }
}

// 16 MiB to a peer that starts reading only after the first partial write: the bytes arrive intact
// with partial callbacks and exactly one completion.
TEST(AsyncSocketWrite, LargeWriteToASlowReader) {
    Connection connection;
    auto payload = std::make_shared<Bytes>(16u << 20);
    for (std::size_t i = 0; i < payload->size(); ++i) (*payload)[i] = static_cast<std::uint8_t>(i * 131 + i / 4099);
    connection.socket->writeData(payload, -1, 3);
    ASSERT_TRUE(runMainUntil([&] { return connection.delegate->partialWrites > 0; }, 10));
    std::string received;
    std::thread reader([&] { received = connection.peer.receive(payload->size(), 30); });
    ASSERT_TRUE(connection.delegate->waitFor("write 3", 30));
    reader.join();
    EXPECT_EQ(connection.delegate->events, std::vector<std::string>{"write 3"});
    ASSERT_EQ(received.size(), payload->size());
    EXPECT_TRUE(std::equal(payload->begin(), payload->end(), reinterpret_cast<const std::uint8_t*>(received.data())));
}

TEST(AsyncSocketWrite, TimeOutWhenThePeerNeverReads) {
    Connection connection;
    connection.socket->writeData(Bytes(32u << 20, 0x5A), 0.2, 4);
    ASSERT_TRUE(connection.delegate->waitFor("disconnect", 10));
    EXPECT_EQ(connection.delegate->events, std::vector<std::string>{"disconnect PNAsyncSocketErrorDomain 5"});
    EXPECT_EQ(connection.delegate->disconnectError->localizedDescription(), "Write operation timed out");
}

// A delegate that answers a write time-out with more time keeps the write going: it completes once the
// peer reads, and the socket stays connected.
TEST(AsyncSocketWrite, TimeOutExtendedByTheDelegate) {
    Connection connection;
    connection.delegate->answersWriteTimeouts = true;
    connection.delegate->writeExtension = 60;
    const std::size_t size = 32u << 20;  // more than the kernel's buffers take
    connection.socket->writeData(Bytes(size, 0x5A), 0.2, 4);
    ASSERT_TRUE(connection.delegate->waitFor("write timeout? 4", 10));
    std::string received;
    std::thread reader([&] { received = connection.peer.receive(size, 60); });
    EXPECT_TRUE(connection.delegate->waitFor("write 4", 60));
    reader.join();
    EXPECT_EQ(received.size(), size);
    EXPECT_EQ(connection.delegate->events, (std::vector<std::string>{"write timeout? 4", "write 4"}));
    EXPECT_TRUE(connection.socket->isConnected());
}

// A half-closed socket still writes; once the peer has gone, a write is an errno error, never a
// SIGPIPE that ends the process.
TEST(AsyncSocketWrite, HalfClosedThenGonePeer) {
    Connection connection([](PNAsyncSocket& s) { s.setAutoDisconnectOnClosedReadStream(false); });
    connection.peer.shutdownWrite();
    ASSERT_TRUE(connection.delegate->waitFor("read stream closed"));
    connection.socket->writeData(bytesOf("still here"), -1, 5);
    EXPECT_EQ(connection.peer.receive(10), "still here");
    ASSERT_TRUE(connection.delegate->waitFor("write 5"));
    connection.peer.close();
    for (int tag = 0; tag < 4; ++tag) connection.socket->writeData(Bytes(4096, 1), -1, tag);
    ASSERT_TRUE(connection.delegate->waitFor("disconnect"));
    const Ref<Error>& error = connection.delegate->disconnectError;
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "NSPOSIXErrorDomain");
    EXPECT_TRUE(error->code() == EPIPE || error->code() == ECONNRESET) << error->code();
    EXPECT_EQ(error->localizedFailureReason(), "Error in write() function");
}

// The terminator search over the packet's tail and the pre-buffer.
TEST(AsyncSocketRead, TerminatorSearchAcrossTailAndPreBuffer) {
    struct Case {
        const char* name;
        std::string inPacket;
        std::string preBuffer;
        std::uint64_t maxLength;
        std::uint64_t expected;
        bool found;
    };
    const std::vector<Case> cases = {
        {"too short to hold it", "", "E", 0, 1, false},
        {"within the pre-buffer", "", "abENDxy", 0, 5, true},
        {"begun in the packet", "abEN", "Dxy", 0, 1, true},
        {"one byte in the packet", "abE", "NDxy", 0, 2, true},
        {"absent", "ab", "cdefg", 0, 5, false},
        {"first of two", "", "ENDEND", 0, 3, true},
        {"beyond the maximum", "", "abcdEND", 5, 7, false},
        {"at the maximum", "", "abEND!", 5, 5, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PNAsyncReadPacket packet(nullptr, 0, c.maxLength, -1, 0, bytesOf("END"), 0);
        *packet.buffer = bytesOf(c.inPacket);
        packet.bytesDone = c.inPacket.size();
        bool found = !c.found;
        EXPECT_EQ(packet.readLengthForTermWithPreBuffer(bytesOf(c.preBuffer), &found), c.expected);
        EXPECT_EQ(found, c.found);
    }
}

TEST(AsyncSocketRead, TerminatorSearchAfterReadingIntoThePacket) {
    struct Case {
        std::string before;
        std::string justRead;
        std::int64_t expected;
    };
    for (const Case& c : {Case{"", "abEND", 0}, Case{"", "abENDxyz", 3}, Case{"abE", "NDq", 1}, Case{"ab", "cd", -1},
                          Case{"EN", "", -1}, Case{"END", "END", 0}}) {
        SCOPED_TRACE(c.before + "|" + c.justRead);
        PNAsyncReadPacket packet(nullptr, 0, 0, -1, 0, bytesOf("END"), 0);
        *packet.buffer = bytesOf(c.before + c.justRead);
        packet.bytesDone = c.before.size();
        EXPECT_EQ(packet.searchForTermAfterPreBuffering(c.justRead.size()), c.expected);
    }
}

}  // namespace
}  // namespace lv
