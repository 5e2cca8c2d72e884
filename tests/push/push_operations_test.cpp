// The four push operations end to end against the push-service stand-in: the frames they send (read
// by the stand-in's own codec), how each reply shape is taken, and what they do before connecting.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

#include "platform/base/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/net/tls_session.h"
#include "push/push_config.h"
#include "push/push_helper.h"
#include "push/push_keychain.h"
#include "push/push_server_fixture.h"
#include "push/socket_peer.h"
#include "push/tlv_frame.h"
#include "push/wire_records.h"
#include "support/temp_dir.h"
#include "support/tls_peer.h"

namespace lv {
namespace {

using test::kTestAppKey;
using test::Outcome;
using tools::findField;
using tools::integerField;
using tools::PushFrameControl;
using tools::textField;

const std::string kToken(64, 'c');

// One request frame as a peer reads it (its length from bytes 8-9); empty when the stream ended.
std::string readFrame(const test::RawPeer& peer) {
    std::string frame = peer.receive(10, 15);
    if (frame.size() < 10) return {};
    const std::size_t length = (std::size_t{static_cast<std::uint8_t>(frame[8])} << 8) | static_cast<std::uint8_t>(frame[9]);
    return length > 10 ? frame + peer.receive(length - 10, 15) : frame;
}

std::string replyTo(int command) { return tools::PushFrameServer::replyFrame(command, 0, std::string()); }

// A plain blocking connection to 127.0.0.1 at the port.
test::RawPeer connectTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return test::RawPeer();
    }
    return test::RawPeer(fd);
}

// Ends the connection with a reset rather than an orderly close.
void resetConnection(test::RawPeer& peer) {
    const linger abort{1, 0};
    ::setsockopt(peer.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    peer.close();
}

// No new descriptor can be made while it lives.
class NoDescriptorsLeft {
public:
    NoDescriptorsLeft() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit none = saved_;
        none.rlim_cur = 0;
        ::setrlimit(RLIMIT_NOFILE, &none);
    }
    ~NoDescriptorsLeft() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    NoDescriptorsLeft(const NoDescriptorsLeft&) = delete;
    NoDescriptorsLeft& operator=(const NoDescriptorsLeft&) = delete;

private:
    rlimit saved_{};
};

// A shorter reply time-out for one test.
class ReplyTimeout {
public:
    explicit ReplyTimeout(double seconds) { PNWireOperation::setReplyTimeoutForTesting(seconds); }
    ~ReplyTimeout() { PNWireOperation::setReplyTimeoutForTesting(kPNReplyTimeout); }
    ReplyTimeout(const ReplyTimeout&) = delete;
    ReplyTimeout& operator=(const ReplyTimeout&) = delete;
};

// Points an operation's two callbacks at the outcome.
void arm(PNWireRegister& op, Outcome& o) { op.setRegistersuccessCallback(o.success()), op.setRegisterErrorCallback(o.error()); }
void arm(PNWireUnregister& op, Outcome& o) { op.setUnRegistersuccessCallback(o.success()), op.setUnRegisterErrorCallback(o.error()); }
void arm(PNWireTokenTag& op, Outcome& o) { op.setTagsuccessCallback(o.success()), op.setTagErrorCallback(o.error()); }
void arm(PNWirePushClick& op, Outcome& o) { op.setClicksuccessCallback(o.success()), op.setClickErrorCallback(o.error()); }

// A connected operation reporting into the outcome.
template <class Op>
Ref<Op> connected(Outcome& outcome, const std::function<void(Op&)>& configure = {}) {
    auto operation = Op::make();
    if (configure) configure(*operation);
    arm(*operation, outcome);
    operation->connect();
    return operation;
}

class PushOperations : public test::PushServerTest {
protected:
    Ref<PNWireRegister> startRegister(Outcome& outcome, const PNText& account = std::nullopt) {
        auto operation = connected<PNWireRegister>(outcome, [&](PNWireRegister& op) { op.setAccount(account); });
        operation->send(kToken, test::kTestAccessId, kTestAppKey, account);
        return operation;
    }
};

TEST_F(PushOperations, RegisterRequestFieldByField) {
    const struct {
        PNText channel, gameServer;
        const char* reserved;
    } cases[] = {
        {std::string("appstore"), std::string("gs-01"), R"({"ch":"appstore","gs":"gs-01"})"},
        {std::nullopt, std::string("gs-01"), R"({"gs":"gs-01"})"},
        {std::nullopt, std::nullopt, "{}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reserved);
        server.clearRecords();
        PNSetting::getInstance().setChannel(c.channel);
        PNSetting::getInstance().setGameServer(c.gameServer);
        Outcome outcome;
        startRegister(outcome, std::string("fan"));
        ASSERT_TRUE(finish());
        ASSERT_EQ(server.commands(), std::vector<int>{4});
        const tools::TlvFields fields = fieldsOf(0);
        const std::pair<int, std::string> texts[] = {{1, PNHelper::getInstance().md5(kToken + kTestAppKey)}, {2, ""}, {3, ""},
            {4, "fan"}, {9, kToken}, {14, PNHelper::getInstance().getAppVersion()}, {15, c.reserved}};
        for (const auto& [tag, text] : texts) EXPECT_EQ(textField(fields, tag), text) << tag;
        const std::pair<int, std::int64_t> numbers[] = {{0, test::kTestAccessId}, {7, 1}, {11, 1}, {13, 2}};
        for (const auto& [tag, number] : numbers) EXPECT_EQ(integerField(fields, tag), number) << tag;
        const tools::TlvNode* info = findField(fields, 8);
        ASSERT_TRUE(info && info->kind == tools::TlvKind::Struct);
        EXPECT_EQ(textField(info->items, 14), PNHelper::getInstance().getLanguage().value_or(""));
        const tools::TlvNode* network = findField(fields, 12);
        ASSERT_TRUE(network && network->kind == tools::TlvKind::Struct);
        EXPECT_EQ(textField(network->items, 0), "not found");
        EXPECT_EQ(textField(network->items, 1), "not found");
        EXPECT_EQ(textField(network->items, 2), PNHelper::getMacAddress());
        EXPECT_EQ(outcome.successes, 1);
    }
}

TEST_F(PushOperations, RegisterRepliesDecideTheCallbackAndTheRow) {
    struct Case {
        const char* name;
        PushFrameControl control;
        bool refuse;
        int successes, errors;
    };
    PushFrameControl empty;
    empty.emptyRecord = true;
    PushFrameControl code3;
    code3.code = 3;
    PushFrameControl split;
    split.split = true;
    PushFrameControl closing;
    closing.closeUnanswered = true;
    PushFrameControl cut;
    cut.truncateTo = 16;
    const Case cases[] = {
        {"code 0, empty record", empty, false, 1, 0},
        {"code 3", code3, false, 0, 1},
        {"split reply", split, false, 1, 0},
        {"closed unanswered", closing, false, 0, 1},
        {"16 bytes, then closed", cut, false, 0, 1},
        {"refused port", {}, true, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PNSqlite::getInstance().updateDatabase("delete from register_tag_model");
        server.setControl(4, c.control);
        ASSERT_TRUE(server.setRefusing(c.refuse));
        LogCapture log;
        Outcome outcome;
        startRegister(outcome);
        ASSERT_TRUE(finish());
        EXPECT_EQ(outcome.successes, c.successes);
        EXPECT_EQ(outcome.errors, c.errors);
        EXPECT_EQ(log.count("[pnpush]Finished."), 1u);
        drainDatabase();
        const Ref<PNRegisterModel> row = PNSqlite::getInstance().loadRegisterModel();
        if (c.successes == 1) {
            ASSERT_TRUE(row);
            EXPECT_EQ(row->Account(), "");
            EXPECT_EQ(row->IsRegistered(), 1);
            const auto written = PNHelper::getInstance().strToTime(row->UpdateTime().value_or(""));
            ASSERT_TRUE(written);
            EXPECT_LE(std::abs(PNHelper::getInstance().secondsBetweenTimes(*written, Date::now())), 2);
        } else {
            EXPECT_FALSE(row);
        }
    }
}

TEST_F(PushOperations, GoodReplyWithoutSuccessCallbackStoresTheRowAndCallsNoError) {
    Outcome outcome;
    auto operation = PNWireRegister::make();
    operation->setRegisterErrorCallback(outcome.error());
    operation->connect();
    operation->send(kToken, test::kTestAccessId, kTestAppKey, std::nullopt);
    ASSERT_TRUE(finish());
    drainDatabase();
    EXPECT_EQ(outcome.errors, 0);
    ASSERT_TRUE(PNSqlite::getInstance().loadRegisterModel());
}

TEST_F(PushOperations, BadInputGivesUpBeforeConnecting) {
    const std::string hugeTag(70000, 't');
    const struct {
        const char* name;
        std::function<void(Outcome&)> start;
        const char* line;
    } cases[] = {
        {"nil app key", [&](Outcome& o) { connected<PNWireRegister>(o)->send(kToken, 1, std::nullopt, std::nullopt); },
         "[pnpuh error]appkey is nil"},
        {"nil token", [&](Outcome& o) { connected<PNWireRegister>(o)->send(std::nullopt, 1, kTestAppKey, std::nullopt); },
         "[pnpuh error]deviceTokenStr is nil"},
        {"nil unregister token", [&](Outcome& o) { connected<PNWireUnregister>(o)->send(std::nullopt); },
         "[pnpuh error]deviceTokenStr is nil"},
        {"nil tag", [&](Outcome& o) { connected<PNWireTokenTag>(o)->send(std::nullopt, 1); }, "[pnwarn]tag's value is nil"},
        {"tag too large for a frame", [&](Outcome& o) { connected<PNWireTokenTag>(o)->send(hugeTag, 1); },
         "too large for a frame"},
    };
    PNStore::getInstance().saveToken(kToken);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        Outcome outcome;
        c.start(outcome);
        EXPECT_EQ(outcome.errors, 1);
        EXPECT_EQ(outcome.successes, 0);
        EXPECT_TRUE(log.contains(c.line));
        EXPECT_EQ(PNWireOperation::liveOperations(), 0u);
    }
    EXPECT_EQ(server.connectionsAccepted(), 0);
}

TEST_F(PushOperations, ReconnectFirstOperationsSendTheirTwoFrames) {
    PNStore::getInstance().saveToken(kToken);
    const std::string oldToken(64, 'd');
    Outcome outcome;
    auto unregister = connected<PNWireUnregister>(outcome);
    unregister->send(oldToken);
    ASSERT_TRUE(finish());
    auto tag = connected<PNWireTokenTag>(outcome);
    tag->send(std::string("kpop"), 1);
    ASSERT_TRUE(finish());
    auto untag = connected<PNWireTokenTag>(outcome);
    untag->send(std::string("kpop"), 2);
    ASSERT_TRUE(finish());
    auto click = connected<PNWirePushClick>(outcome, [](PNWirePushClick& op) { op.setBid(12345), op.setTs(1400000000); });
    click->send(2);
    ASSERT_TRUE(finish());

    EXPECT_EQ(server.commands(), (std::vector<int>{6, 5, 6, 15, 6, 15, 6, 16}));
    EXPECT_EQ(outcome.successes, 4);
    EXPECT_EQ(outcome.errors, 0);
    const auto frames = server.frames();
    for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].connection, static_cast<int>(i / 2 + 1));
    // Unregistering: the given token in both frames.
    EXPECT_EQ(textField(fieldsOf(0), 0), oldToken);
    EXPECT_EQ(integerField(fieldsOf(0), 6), 1);
    const tools::TlvFields unregisterFields = fieldsOf(1);
    const tools::TlvNode* info = findField(unregisterFields, 0);
    ASSERT_TRUE(info);
    const tools::TlvNode* app = findField(info->items, 0);
    ASSERT_TRUE(app);
    EXPECT_EQ(integerField(app->items, 0), test::kTestAccessId);
    EXPECT_EQ(textField(app->items, 1), PNHelper::getInstance().md5(oldToken + kTestAppKey));
    EXPECT_EQ(integerField(info->items, 1), 1);
    EXPECT_NEAR(static_cast<double>(*integerField(info->items, 2)), currentTimeSince1970(), 5);
    EXPECT_EQ(server.unregisteredTokens(), std::vector<std::string>{oldToken});
    // Tags and the click go under the stored token.
    EXPECT_EQ(textField(fieldsOf(2), 0), kToken);
    EXPECT_EQ(integerField(fieldsOf(3), 2), 1);
    EXPECT_EQ(integerField(fieldsOf(5), 2), 2);
    EXPECT_TRUE(server.tags()[kToken].empty());
    ASSERT_EQ(server.clicks().size(), 1u);
    const tools::PushClick got = server.clicks()[0];
    EXPECT_EQ(got.token, kToken);
    EXPECT_EQ(got.accessId, test::kTestAccessId);
    EXPECT_EQ(got.broadcastId, 12345u);
    EXPECT_EQ(got.timestamp, 1400000000u);
    EXPECT_EQ(got.type, 2u);
}

TEST_F(PushOperations, SecondReplyAloneDecides) {
    PNStore::getInstance().saveToken(kToken);
    struct Case {
        const char* name;
        PushFrameControl first, second;
        int successes, errors;
    };
    PushFrameControl code3;
    code3.code = 3;
    PushFrameControl split;
    split.split = true;
    const Case cases[] = {
        {"reconnect refused with code 3", code3, {}, 1, 0},
        {"second reply code 3", {}, code3, 0, 1},
        {"both split", split, split, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRecords();
        server.setControl(6, c.first);
        server.setControl(15, c.second);
        Outcome outcome;
        PNPush::setTag(std::string("t"), outcome.success(), outcome.error());
        ASSERT_TRUE(finish());
        EXPECT_EQ(outcome.successes, c.successes);
        EXPECT_EQ(outcome.errors, c.errors);
        EXPECT_TRUE(server.waitForFrames(2, 5));
        EXPECT_EQ(server.commands(), (std::vector<int>{6, 15}));
    }
}

// The size check measures the frame that will be sent (access id, tag and flag): a tag that makes the
// frame 65,535 bytes long is sent, one byte more is refused before anything is opened.
TEST_F(PushOperations, TagSizeCheckAtTheFrameLimit) {
    PNStore::getInstance().saveToken(kToken);
    const struct {
        std::size_t tagLength;
        bool sent;
    } cases[] = {{65502, true}, {65503, false}, {65511, false}, {65512, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tagLength);
        server.clearRecords();
        LogCapture log;
        Outcome outcome;
        connected<PNWireTokenTag>(outcome)->send(std::string(c.tagLength, 't'), 1);
        ASSERT_TRUE(finish());
        EXPECT_EQ(outcome.successes, c.sent ? 1 : 0);
        EXPECT_EQ(outcome.errors, c.sent ? 0 : 1);
        EXPECT_EQ(log.contains("too large for a frame"), !c.sent);
        if (c.sent) {
            EXPECT_TRUE(server.waitForFrames(2, 5));
            ASSERT_EQ(server.commands(), (std::vector<int>{6, 15}));
            EXPECT_EQ(server.frames()[1].frame.size(), 65535u);
            EXPECT_EQ(textField(fieldsOf(1), 1), std::string(c.tagLength, 't'));
        } else {
            EXPECT_TRUE(server.commands().empty());
        }
    }
    EXPECT_EQ(server.connectionsAccepted(), 1);
}

// Replies that never complete on a connection left open -- cut to 10 or 16 bytes, shorter than their
// length field says, or never sent -- end each operation through its error callback once the reply
// time-out has passed, and close its connection.
TEST_F(PushOperations, RepliesThatNeverCompleteTimeOut) {
    test::RawListener listener;
    HostMap::set(kPNPushServerHost, "127.0.0.1", listener.port());
    PNStore::getInstance().saveToken(kToken);
    std::string lying = replyTo(16);
    lying[9] = 100;  // announces 100 bytes, sends 17
    using Script = std::function<void(const test::RawPeer&)>;
    const struct {
        const char* name;
        std::function<void(Outcome&)> start;
        Script script;
    } cases[] = {
        {"register, 10-byte reply",
         [](Outcome& o) { connected<PNWireRegister>(o)->send(kToken, test::kTestAccessId, kTestAppKey, std::nullopt); },
         [](const test::RawPeer& peer) { readFrame(peer), peer.send(replyTo(4).substr(0, 10)); }},
        {"tag, 16-byte reconnect reply", [](Outcome& o) { connected<PNWireTokenTag>(o)->send(std::string("t"), 1); },
         [](const test::RawPeer& peer) { readFrame(peer), peer.send(replyTo(6).substr(0, 16)); }},
        {"click, second reply shorter than its length",
         [](Outcome& o) { connected<PNWirePushClick>(o)->send(1); },
         [lying](const test::RawPeer& peer) {
             readFrame(peer), peer.send(replyTo(6));
             readFrame(peer), peer.send(lying);
         }},
        {"unregister, never answered", [](Outcome& o) { connected<PNWireUnregister>(o)->send(kToken); },
         [](const test::RawPeer& peer) { readFrame(peer); }},
    };
    constexpr std::size_t n = std::size(cases);
    LogCapture log;
    std::vector<Outcome> outcomes(n);
    std::atomic<int> closedSeen{0};
    std::vector<std::thread> peers;
    for (std::size_t i = 0; i < n; ++i) {
        cases[i].start(outcomes[i]);
        test::RawPeer accepted = listener.accept();
        ASSERT_TRUE(accepted.valid()) << cases[i].name;
        peers.emplace_back([&closedSeen, script = cases[i].script](test::RawPeer peer) {
            script(peer);
            if (peer.seesEndOfStream(kPNReplyTimeout + 10)) ++closedSeen;
        }, std::move(accepted));
    }
    const bool ended = runMainUntil([&] {
        return std::all_of(outcomes.begin(), outcomes.end(), [](const Outcome& o) { return o.done(); });
    }, kPNReplyTimeout + 5);
    EXPECT_TRUE(ended);
    EXPECT_TRUE(finish());
    for (std::size_t i = 0; i < n; ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(outcomes[i].errors, 1);
        EXPECT_EQ(outcomes[i].successes, 0);
    }
    for (std::thread& peer : peers) peer.join();
    EXPECT_EQ(closedSeen.load(), static_cast<int>(n));
    EXPECT_EQ(log.count("[pnpush error]no whole reply within 10 s"), n);
}

// Bytes after a whole reply answer nothing that was asked: junk after the reconnect reply is dropped,
// and the second reply alone decides.
TEST_F(PushOperations, BytesAfterAWholeReplyAreDropped) {
    test::RawListener listener;
    HostMap::set(kPNPushServerHost, "127.0.0.1", listener.port());
    PNStore::getInstance().saveToken(kToken);
    Outcome outcome;
    connected<PNWireTokenTag>(outcome)->send(std::string("kpop"), 1);
    test::RawPeer peer = listener.accept();
    ASSERT_TRUE(peer.valid());
    std::string second;
    std::thread script([&] {
        readFrame(peer);
        peer.send(replyTo(6) + "junk after the reply");
        second = readFrame(peer);
        peer.send(replyTo(15));
        peer.seesEndOfStream();
    });
    EXPECT_TRUE(runMainUntil([&] { return outcome.done(); }, 5));
    EXPECT_TRUE(finish());
    script.join();
    EXPECT_EQ(outcome.successes, 1);
    EXPECT_EQ(outcome.errors, 0);
    ASSERT_GT(second.size(), 15u);
    EXPECT_EQ(second[15], 15);
}

// The socket's TLS upgrade carries a frame exchange with the stand-in's TLS listener.
TEST_F(PushOperations, OneExchangeOverStartTls) {
    const test::TestPKI& pki = test::TestPKI::shared();
    test::TempDir folder;
    const test::TlsFiles files = test::writeTlsFiles(folder, "leaf", pki.leaf, {pki.intermediate.der}, pki.root);
    tools::PushFrameServer secure;
    ASSERT_TRUE(secure.start(0, files.certificateFile, files.keyFile));

    struct Client : PNAsyncSocketDelegate {
        Bytes reply;
        bool secured = false;
        void socketDidSecure(const Ref<PNAsyncSocket>&) override { secured = true; }
        void didReadData(const Ref<PNAsyncSocket>&, const PNSocketData& data, std::int64_t) override {
            reply = data.bytes();
        }
    };
    auto delegate = makeRef<Client>();
    auto socket = PNAsyncSocket::makeWithDelegate(delegate, Queue::main());
    Ref<Error> error;
    ASSERT_TRUE(socket->connectToHost("127.0.0.1", static_cast<std::uint16_t>(secure.tlsPort()), &error));
    Dictionary settings;
    settings.set(std::string(kTlsCAFileKey), Value(files.caFile));
    socket->startTLS(settings);
    PNWireReconnectReq request;
    request.setTlv_token(kToken);
    socket->writeData(*PNTlv::toFullTlvData(request.toData(), 6), -1, 0);
    socket->readDataToLength(17 + 2 + 9, -1, 0);
    ASSERT_TRUE(runMainUntil([&] { return !delegate->reply.empty(); }, 5));
    EXPECT_TRUE(delegate->secured);
    EXPECT_TRUE(PNTlv::fromFullTlvData(delegate->reply));
    ASSERT_EQ(secure.frames().size(), 1u);
    EXPECT_TRUE(secure.frames()[0].tls);
    EXPECT_EQ(textField(*secure.frames()[0].fields, 0), kToken);
    socket->disconnect();
}

// Register and tag operations, the two shapes of exchange (one frame; reconnect first).
struct OperationKind {
    const char* name;
    int firstCommand;
    std::function<Ref<PNWireOperation>(Outcome&)> start;
};

std::vector<OperationKind> registerAndTag() {
    return {
        {"register", 4,
         [](Outcome& o) -> Ref<PNWireOperation> {
             auto op = connected<PNWireRegister>(o);
             op->send(kToken, test::kTestAccessId, kTestAppKey, std::nullopt);
             return op;
         }},
        {"tag", 6,
         [](Outcome& o) -> Ref<PNWireOperation> {
             auto op = connected<PNWireTokenTag>(o);
             op->send(std::string("kpop"), 1);
             return op;
         }},
    };
}

// Every way a connection can fail before any byte of the operation's reply calls the error callback,
// once: refused, closed unanswered (also after the reconnect reply), reset, and no descriptor left.
TEST_F(PushOperations, FailuresBeforeAnyReplyByteCallTheErrorCallbackOnce) {
    PNStore::getInstance().saveToken(kToken);
    test::RawListener listener;
    ASSERT_TRUE(listener.valid());
    enum class Failure { Refused, ClosedUnanswered, ClosedAfterTheReconnectReply, Reset, NoDescriptor };
    const std::pair<const char*, Failure> failures[] = {
        {"refused", Failure::Refused},
        {"closed unanswered", Failure::ClosedUnanswered},
        {"closed after the reconnect reply", Failure::ClosedAfterTheReconnectReply},
        {"reset", Failure::Reset},
        {"no descriptor left", Failure::NoDescriptor},
    };
    for (const OperationKind& kind : registerAndTag()) {
        for (const auto& [name, failure] : failures) {
            if (failure == Failure::ClosedAfterTheReconnectReply && kind.firstCommand != 6) continue;
            SCOPED_TRACE(std::string(kind.name) + ", " + name);
            server.clearControls();
            HostMap::set(kPNPushServerHost, "127.0.0.1", failure == Failure::Reset ? listener.port() : server.port());
            ASSERT_TRUE(server.setRefusing(failure == Failure::Refused));
            PushFrameControl closing;
            closing.closeUnanswered = true;
            if (failure == Failure::ClosedUnanswered) server.setControl(kind.firstCommand, closing);
            if (failure == Failure::ClosedAfterTheReconnectReply) server.setControl(15, closing);
            LogCapture log;
            Outcome outcome;
            std::thread resetter;
            if (failure == Failure::NoDescriptor) {
                // On a simulator the stored token is a constant, so only the connection needs a
                // descriptor.
                test::setMachineName("x86_64");
                {
                    NoDescriptorsLeft limit;
                    kind.start(outcome);
                    EXPECT_TRUE(finish());
                }
                test::setMachineName("iPhone7,2");
            } else {
                if (failure == Failure::Reset) {
                    resetter = std::thread([&listener] {
                        test::RawPeer peer = listener.accept();
                        readFrame(peer);
                        resetConnection(peer);
                    });
                }
                kind.start(outcome);
                EXPECT_TRUE(finish());
            }
            if (resetter.joinable()) resetter.join();
            EXPECT_EQ(outcome.errors, 1);
            EXPECT_EQ(outcome.successes, 0);
            EXPECT_FALSE(log.contains("deviceTokenStr is nil"));
            if (failure != Failure::NoDescriptor) {
                EXPECT_EQ(log.count("[pnpush]Finished."), 1u);
            }
        }
    }
    ASSERT_TRUE(server.setRefusing(false));
}

// Messages the socket posted before the operation ended its exchange are ignored. The connect
// completes only after the reply time-out has fired, while the main queue is busy: the time-out
// (or the owner's own closeSocket) runs first and drops the socket, then the late "connected"
// message arrives. One error callback, no crash.
TEST_F(PushOperations, MessagesOfAnEndedExchangeAreIgnored) {
    PNStore::getInstance().saveToken(kToken);
    constexpr double kShortTimeout = 0.2;
    const ReplyTimeout shortened(kShortTimeout);
    for (const OperationKind& kind : registerAndTag()) {
        for (const bool byTimeOut : {true, false}) {
            SCOPED_TRACE(std::string(kind.name) + (byTimeOut ? ", time-out" : ", closeSocket"));
            // With the time-out: a listener whose one-place accept queue is taken, so the system drops
            // the connect's first attempt and the connection is made only once the peer accepts,
            // after the time-out has fired (timers fire in deadline order: the time-out first).
            test::RawListener listener(byTimeOut ? 0 : 16);
            ASSERT_TRUE(listener.valid());
            test::RawPeer filler = byTimeOut ? connectTo(listener.port()) : test::RawPeer();
            HostMap::set(kPNPushServerHost, "127.0.0.1", listener.port());
            LogCapture log;
            Outcome outcome;
            const Ref<PNWireOperation> operation = kind.start(outcome);
            std::promise<void> timerFired;
            if (byTimeOut) {
                Queue::global()->after(kShortTimeout, [&timerFired] { timerFired.set_value(); });
            } else {
                timerFired.set_value();
            }
            std::promise<bool> frameSeen;
            std::thread peer([&] {
                timerFired.get_future().wait();
                if (filler) static_cast<void>(listener.accept());
                test::RawPeer connection = listener.accept(30);
                frameSeen.set_value(!readFrame(connection).empty());
                connection.seesEndOfStream(30);
            });
            // The main queue is not pumped until the late connection has sent its frame (the socket
            // posts "connected" before it writes).
            std::future<bool> seen = frameSeen.get_future();
            const bool arrived = seen.wait_for(std::chrono::seconds(40)) == std::future_status::ready && seen.get();
            EXPECT_TRUE(arrived);
            if (!byTimeOut) operation->closeSocket();
            EXPECT_TRUE(finish());
            peer.join();
            EXPECT_EQ(outcome.errors, 1);
            EXPECT_EQ(outcome.successes, 0);
            EXPECT_EQ(log.count("[pnpush error]no whole reply within 0.2 s"), byTimeOut ? 1u : 0u);
        }
    }
}

}  // namespace
}  // namespace lv
