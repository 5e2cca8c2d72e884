// The push service's frame server, driven by raw blocking sockets with frames built by the client's
// codec, so the server's own tree codec and the client's check each other (the TLS listener is
// exercised by the operations' startTLS test).
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "frame_server.h"
#include "push/tlv_frame.h"
#include "push/socket_peer.h"
#include "push/wire_records.h"
#include "support/tls_peer.h"

namespace lv {
namespace {

using tools::PushFrameControl;
using tools::PushFrameServer;

std::string frameOf(const PNTlvObject& record, std::uint8_t command) {
    const Bytes bytes = record.toData();
    const auto frame = PNTlv::toFullTlvData(bytes, command);
    return {frame->begin(), frame->end()};
}

std::string reconnectFrame(const std::string& token) {
    PNWireReconnectReq request;
    request.setTlv_token(token);
    request.setTlv_deviceType(1);
    return frameOf(request, 6);
}

std::string registerFrame(const std::string& token, std::uint32_t accessId) {
    PNWireRegisterReq request;
    request.setTlv_accessId(accessId);
    request.setTlv_token(token);
    request.setTlv_account(std::string("someone"));
    return frameOf(request, 4);
}

std::string tagFrame(const std::string& tag, std::int32_t flag) {
    PNWireTokenTagReq request;
    request.setTlv_accessId(7);
    request.setTlv_tag(tag);
    request.setTlv_flag(flag);
    return frameOf(request, 15);
}

// A blocking client on the stand-in's port (invalid when the port is closed).
test::RawPeer connectTo(int port) { return test::RawPeer(test::connectLoopback(static_cast<std::uint16_t>(port))); }

// Up to n bytes, fewer at end of stream; each recv() result is one chunk.
std::vector<std::string> receiveChunks(const test::RawPeer& peer, std::size_t n) {
    std::vector<std::string> chunks;
    for (std::size_t total = 0; total < n;) {
        std::string chunk(n - total, '\0');
        const ssize_t got = ::recv(peer.fd(), chunk.data(), chunk.size(), 0);
        if (got <= 0) break;
        chunk.resize(static_cast<std::size_t>(got));
        total += chunk.size();
        chunks.push_back(chunk);
    }
    return chunks;
}

// One reply frame: its header, then as many bytes as its length says.
std::string receiveFrame(const test::RawPeer& peer) {
    const std::string head = peer.receive(10);
    if (head.size() < 10) return head;
    const std::size_t length = (static_cast<std::uint8_t>(head[8]) << 8) | static_cast<std::uint8_t>(head[9]);
    return head + peer.receive(length - 10);
}

// The record of the next reply frame, read as R; null when the frame or the record does not decode.
template <class R>
Ref<R> replyOf(const test::RawPeer& peer) {
    const std::string reply = receiveFrame(peer);
    const auto record = PNTlv::fromFullTlvData(Bytes(reply.begin(), reply.end()));
    return record ? R::fromData(*record) : nullptr;
}

class PushService : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    PushFrameServer server;
};

TEST_F(PushService, EachCommandGetsItsReplyAndChangesTheState) {
    const test::RawPeer client = connectTo(server.port());
    ASSERT_TRUE(client.valid());
    const std::string token(64, 'a');

    client.send(registerFrame(token, 2290150000u));
    const auto registered = replyOf<PNWireRegisterRsp>(client);
    ASSERT_TRUE(registered);
    EXPECT_EQ(registered->tlv_confVersion(), 1u);
    EXPECT_EQ(registered->tlv_token().stringValue(), token);
    ASSERT_EQ(server.devices().size(), 1u);
    EXPECT_EQ(server.devices()[0].accessId, 2290150000u);
    EXPECT_EQ(server.devices()[0].account, "someone");

    const std::string bid = server.push(token, 12345, 1400000000, "title", "body");
    EXPECT_EQ(bid, R"({"pn":{"bid":12345,"ts":1400000000}})");
    client.send(reconnectFrame(token));
    auto reconnected = replyOf<PNWireReconnectRsp>(client);
    ASSERT_TRUE(reconnected);
    const Value& messages = reconnected->tlv_appOfflinePushMsgList();
    ASSERT_EQ(messages.array().size(), 1u);
    auto message = messages[0].objectAs<PNWirePushMsg>();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->tlv_busiMsgId(), 12345u);
    EXPECT_EQ(message->tlv_timestamp(), 1400000000u);
    EXPECT_EQ(message->tlv_content().stringValue(), "body");

    // The queue was handed over once.
    client.send(reconnectFrame(token));
    reconnected = replyOf<PNWireReconnectRsp>(client);
    ASSERT_TRUE(reconnected);
    EXPECT_TRUE(reconnected->tlv_appOfflinePushMsgList().isNil());

    client.send(tagFrame("rock", 1));
    client.send(tagFrame("jazz", 1));
    client.send(tagFrame("rock", 2));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(receiveFrame(client).size(), 18u);
    EXPECT_EQ(server.tags().at(token), std::set<std::string>{"jazz"});
    EXPECT_EQ(server.commands(), (std::vector<int>{4, 6, 6, 15, 15, 15}));
}

TEST_F(PushService, BadHeadersCloseTheConnection) {
    const std::string good = reconnectFrame("t");
    auto with = [&](std::size_t offset, char byte) {
        std::string frame = good;
        frame[offset] = byte;
        return frame;
    };
    std::string shortLength = good;
    shortLength[9] = 16;
    const struct {
        std::string frame;
        std::string fault;
    } cases[] = {
        {with(0, 0x51), "bad magic"},
        {with(1, 0x0B), "bad magic"},
        {with(2, 5), "random above 4"},
        {with(4, 1), "random above 4"},
        {shortLength, "length 16"},
        {with(12, 1), "zero word not zero"},
        {with(14, 2), "byte 14 not 1"},
        {with(16, 3), "result code 3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        server.clearRecords();
        const test::RawPeer client = connectTo(server.port());
        client.send(c.frame);
        EXPECT_TRUE(client.seesEndOfStream());
        ASSERT_TRUE(server.waitForFrames(1, 5));
        EXPECT_EQ(server.frames()[0].fault, c.fault);
    }
    // Random 4 and a record-less frame pass.
    const test::RawPeer client = connectTo(server.port());
    client.send(with(2, 4));
    EXPECT_EQ(receiveFrame(client).size() > 17, true);
}

TEST_F(PushService, ControlsShapeTheReply) {
    const std::string frame = reconnectFrame("t");
    struct Case {
        const char* name;
        PushFrameControl control;
        std::size_t bytes;  // of the reply, 0 for none
        std::size_t chunks;
        bool closed;
    };
    PushFrameControl code3;
    code3.code = 3;
    code3.emptyRecord = true;
    PushFrameControl truncated;
    truncated.truncateTo = 16;
    PushFrameControl split;
    split.split = true;
    split.emptyRecord = true;
    PushFrameControl closing;
    closing.closeUnanswered = true;
    const Case cases[] = {
        {"code 3, empty record", code3, 17, 1, false},
        {"16 bytes, then closed", truncated, 16, 1, true},
        {"split", split, 17, 2, false},
        {"closed unanswered", closing, 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.setControl(6, c.control);
        const test::RawPeer client = connectTo(server.port());
        client.send(frame);
        const auto chunks = receiveChunks(client, c.bytes);
        std::string reply;
        for (const auto& chunk : chunks) reply += chunk;
        EXPECT_EQ(reply.size(), c.bytes);
        EXPECT_EQ(chunks.size(), c.chunks);
        if (c.bytes >= 17) {
            EXPECT_EQ(static_cast<int>(reply[16]), c.control.code);
        }
        if (c.closed) {
            EXPECT_TRUE(client.seesEndOfStream());
        }
    }
}

TEST_F(PushService, CoalescedReplyAnswersTheNextCommandInTheSameWrite) {
    PushFrameControl coalesced;
    coalesced.coalesceWith = 15;
    server.setControl(6, coalesced);
    const test::RawPeer client = connectTo(server.port());
    client.send(reconnectFrame("tok"));
    const std::string first = receiveFrame(client);
    EXPECT_EQ(first[15], 6);
    const std::string second = receiveFrame(client);
    EXPECT_EQ(second.size(), 18u);
    EXPECT_EQ(second[15], 15);
    // The tag request itself is recorded and takes effect but gets no second reply.
    client.send(tagFrame("pop", 1));
    ASSERT_TRUE(server.waitForFrames(2, 5));
    client.send(reconnectFrame("tok"));
    EXPECT_EQ(receiveFrame(client)[15], 6);
    EXPECT_EQ(server.tags().at("tok"), std::set<std::string>{"pop"});
}

TEST_F(PushService, NeverAnsweredAndDelayedReplies) {
    PushFrameControl never;
    never.neverAnswer = true;
    server.setControl(4, never);
    PushFrameControl delayed;
    delayed.delaySeconds = 0.2;
    server.setControl(6, delayed);
    const test::RawPeer client = connectTo(server.port());
    client.send(registerFrame("tok", 1));
    ASSERT_TRUE(server.waitForFrames(1, 5));
    const auto begin = std::chrono::steady_clock::now();
    client.send(reconnectFrame("tok"));
    EXPECT_EQ(receiveFrame(client)[15], 6);  // the register frame got nothing
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(200));
    EXPECT_TRUE(server.devices().empty());
}

TEST_F(PushService, RefusingClosesThePortUntilLifted) {
    ASSERT_TRUE(server.setRefusing(true));
    EXPECT_FALSE(connectTo(server.port()).valid());
    ASSERT_TRUE(server.setRefusing(false));
    const test::RawPeer client = connectTo(server.port());
    ASSERT_TRUE(client.valid());
    client.send(reconnectFrame("t"));
    EXPECT_EQ(receiveFrame(client)[15], 6);
}

TEST(PushServiceTree, ReadsWhatItWritesAndRefusesRunOns) {
    using tools::TlvNode;
    const tools::TlvFields fields{TlvNode::number(0, -2), TlvNode::number(1, 300), TlvNode::number(2, 1LL << 40),
                                  TlvNode::text(20, std::string(300, 'x')),
                                  TlvNode::list(3, {TlvNode::record(0, {TlvNode::text(0, "in")})})};
    const std::string bytes = tools::encodeTlvRecord(fields);
    const auto back = tools::decodeTlvRecord(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(tools::encodeTlvRecord(*back), bytes);
    EXPECT_EQ(tools::integerField(*back, 2), 1LL << 40);
    EXPECT_EQ(tools::textField(*back, 20)->size(), 300u);
    for (std::size_t cut = 1; cut < bytes.size(); ++cut) {
        const auto partial = tools::decodeTlvRecord(std::string_view(bytes).substr(0, cut));
        if (partial) {
            EXPECT_EQ(tools::encodeTlvRecord(*partial), bytes.substr(0, cut)) << cut;
        }
    }
    EXPECT_FALSE(tools::decodeTlvRecord(std::string("\x09\x03\x7f\x00\x00\x00", 6)));  // count past the end
}

}  // namespace
}  // namespace lv
