// The HTTP channel against the push-service stand-in on 127.0.0.1.
#include <atomic>
#include <random>
#include <thread>

#include "http_channel.h"
#include "platform/base/log.h"
#include "platform/net/host_map.h"
#include "platform/net/reachability.h"
#include "platform/text/escape.h"
#include "push/push_dispatcher.h"
#include "push/push_keychain.h"
#include "push_state_fixture.h"

namespace lv {
namespace {

using tools::HttpChannelReply;

class PushDispatcher : public test::PushStateTest {
protected:
    void SetUp() override {
        PushStateTest::SetUp();
        ASSERT_TRUE(channel_.start());
        HostMap::set(kPNPushServerHost, "127.0.0.1", channel_.port());
        NetworkReachability::setFlagsOverride(kReachabilityFlagsReachable);
    }
    void TearDown() override {
        HostMap::remove(kPNPushServerHost);
        NetworkReachability::setFlagsOverride(std::nullopt);
        channel_.stop();
        PushStateTest::TearDown();
    }
    // Runs a send and waits for it.
    static void sendAndWait(const std::string& payload, const std::string& type) {
        PNDispatcher::getInstance().pnSend(payload, type);
        PNDispatcher::getInstance().taskQueue()->sync([] {});
    }
    static bool request(const std::string& text, PNText* reply) {
        return PNDispatcher::getInstance().pnRequest(PNDispatcher::channelURL(), text, reply);
    }

    tools::HttpChannel channel_;
};

std::string randomText(std::size_t size) {
    std::mt19937 generator(11);
    std::string text(size, ' ');
    for (char& ch : text) ch = static_cast<char>('!' + generator() % 90);
    return text;
}

TEST_F(PushDispatcher, RequestEnvelopes) {
    struct Case {
        std::size_t size;
        int flag;
    };
    for (const Case c : {Case{0, 0x04}, Case{255, 0x04}, Case{256, 0x06}, Case{60000, 0x06}}) {
        channel_.clearRequests();
        const std::string text = randomText(c.size);
        PNText reply;
        EXPECT_TRUE(request(text, &reply)) << c.size;
        const auto requests = channel_.requests();
        ASSERT_EQ(requests.size(), 1u);
        const auto& sent = requests[0];
        EXPECT_EQ(sent.method, "POST");
        EXPECT_EQ(sent.path, kPNHttpChannelPath);
        EXPECT_EQ(sent.flag, c.flag) << c.size;
        EXPECT_TRUE(sent.envelopeValid) << c.size;
        EXPECT_EQ(sent.text, text);
        if (c.flag == 0x04) {
            EXPECT_EQ(sent.length, static_cast<int>(c.size));
        }
        if (c.size == 0) {
            EXPECT_EQ(sent.body, std::string("\x04\x00\x00", 3));
        }
        EXPECT_EQ(sent.headers.find("Content-Type")->second, "json");
        EXPECT_EQ(sent.headers.find("Connection")->second, "keep-alive");
    }
}

TEST_F(PushDispatcher, OversizePayloadIsRefused) {
    LogCapture capture;
    PNText reply = std::string("kept");
    EXPECT_FALSE(request(randomText(120000), &reply));  // over 65,535 bytes even when compressed
    EXPECT_TRUE(channel_.requests().empty());
    EXPECT_EQ(reply, "kept");
    EXPECT_EQ(capture.count("Payload is too long to send:"), 1u);
}

TEST_F(PushDispatcher, Replies) {
    struct Case {
        const char* name;
        HttpChannelReply reply;
        bool result;
        PNText text;
        const char* line;
    };
    const Case cases[] = {
        {"plain", {200, HttpChannelReply::Body::Status, 3, false, {}, 0}, true, std::string("{\"st\":3}"), nullptr},
        {"gzip", {200, HttpChannelReply::Body::Status, 0, true, {}, 0}, true, std::string("{\"st\":0}"), "zip is true"},
        {"empty", {200, HttpChannelReply::Body::Empty, 0, false, {}, 0}, true, std::nullopt, nullptr},
        {"one byte", {200, HttpChannelReply::Body::Raw, 0, false, "\x04", 0}, true, std::nullopt, nullptr},
        {"two bytes", {200, HttpChannelReply::Body::Raw, 0, false, std::string("\x06\x00", 2), 0}, true, std::nullopt,
         "zip is true"},
        {"no flag bits", {200, HttpChannelReply::Body::Raw, 0, false, std::string("\x00\x00\x01x", 4), 0}, true,
         std::nullopt, nullptr},
        {"bad gzip", {200, HttpChannelReply::Body::Raw, 0, false, std::string("\x06\x00\x02zz", 5), 0}, false,
         std::string("unchanged"), "Failed to gzip data."},
        {"not 200", {500, HttpChannelReply::Body::Raw, 0, false, "broken", 0}, false, std::string("unchanged"),
         "[ERROR]broken"},
        {"closed", {200, HttpChannelReply::Body::Close, 0, false, {}, 0}, false, std::string("unchanged"),
         "Failed to send request for reason:"},
        {"past the reply bound", {200, HttpChannelReply::Body::Raw, 0, false, std::string((1 << 20) + 1, '\0'), 0},
         false, std::string("unchanged"), "Failed to send request for reason:"},
    };
    for (const auto& c : cases) {
        channel_.setReply(c.reply);
        LogCapture capture;
        PNText reply = std::string("unchanged");
        EXPECT_EQ(request("{}", &reply), c.result) << c.name;
        EXPECT_EQ(reply, c.text) << c.name;
        if (c.line) {
            EXPECT_TRUE(capture.contains(c.line)) << c.name;
        }
    }
}

TEST_F(PushDispatcher, TokenSends) {
    struct Case {
        const char* name;
        HttpChannelReply reply;
        Value storedRetry;
        bool sent;
        bool registered;
        int retryAfter;
    };
    using Body = HttpChannelReply::Body;
    const Case cases[] = {
        {"accepted", {200, Body::Status, 0, false, {}, 0}, Value(), true, true, 0},
        {"rejected", {200, Body::Status, 4, true, {}, 0}, Value("1"), true, false, 2},
        {"no st", {200, Body::NoStatus, 0, false, {}, 0}, Value(), true, false, 1},
        {"array", {200, Body::Array, 0, false, {}, 0}, Value("1"), true, false, 1},
        {"empty", {200, Body::Empty, 0, false, {}, 0}, Value("1"), true, false, 1},
        {"not 200", {404, Body::Status, 0, false, {}, 0}, Value("1"), true, false, 1},
        {"third rejection is the last", {200, Body::Status, 1, false, {}, 0}, Value("2"), true, false, 3},
        {"gate at 3", {200, Body::Status, 0, false, {}, 0}, Value("3"), false, false, 3},
    };
    for (const auto& c : cases) {
        PNStore& store = PNStore::getInstance();
        PNKeyChain::remove(PNStore::registeredService());
        PNKeyChain::remove(PNStore::retryNumService());
        if (!c.storedRetry.isNil()) store.saveDeviceTokenRetryNum(c.storedRetry);
        channel_.setReply(c.reply);
        channel_.clearRequests();
        sendAndWait("{\"token\":\"00\"}", "TOKEN");
        EXPECT_EQ(channel_.requests().size(), c.sent ? 1u : 0u) << c.name;
        EXPECT_EQ(store.ifDeviceTokenRegistered(), c.registered) << c.name;
        EXPECT_EQ(store.getDeviceTokenRetryNum(), c.retryAfter) << c.name;
    }
    // Registered: nothing more is sent; other send types never touch the marks.
    channel_.clearRequests();
    PNStore::getInstance().saveDeviceTokenRegistered();
    LogCapture capture;
    sendAndWait("{}", "TOKEN");
    EXPECT_TRUE(capture.contains("device token is already registered"));
    channel_.setReply({200, Body::Status, 9, false, {}, 0});
    sendAndWait("{}", "APP");
    sendAndWait("{}", "LOGOUTAPP");
    EXPECT_EQ(channel_.requests().size(), 2u);
    EXPECT_EQ(PNStore::getInstance().getDeviceTokenRetryNum(), 3);
}

// For a "TOKEN" send only the number 0 under "st" accepts: any other value, also one whose 32-bit
// reading is 0 or that truncates to 0, and text, truth values and null, counts as a rejection.
TEST_F(PushDispatcher, OnlyTheNumberZeroAccepts) {
    const std::pair<const char*, bool> cases[] = {
        {"0", true},        {"0.0", true},     {"-0", true},      {"4294967296", false}, {"-4294967296", false},
        {"\"error\"", false}, {"\"0\"", false}, {"0.5", false}, {"false", false}, {"null", false},
    };
    for (const auto& [st, accepted] : cases) {
        SCOPED_TRACE(st);
        PNStore& store = PNStore::getInstance();
        PNKeyChain::remove(PNStore::registeredService());
        PNKeyChain::remove(PNStore::retryNumService());
        const std::string json = std::string("{\"st\":") + st + "}";
        std::string body{'\x04', '\0', static_cast<char>(json.size())};
        channel_.setReply({200, HttpChannelReply::Body::Raw, 0, false, body + json, 0});
        sendAndWait("{\"token\":\"00\"}", "TOKEN");
        EXPECT_EQ(store.ifDeviceTokenRegistered(), accepted);
        EXPECT_EQ(store.getDeviceTokenRetryNum(), accepted ? 0 : 1);
    }
}

TEST_F(PushDispatcher, NoNetworkSendsNothing) {
    NetworkReachability::setFlagsOverride(0);
    LogCapture capture;
    sendAndWait("{}", "APP");
    EXPECT_TRUE(capture.contains("no active network."));
    EXPECT_TRUE(channel_.requests().empty());
}

TEST_F(PushDispatcher, PlainPostAndAddressList) {
    LogCapture capture;
    PNDispatcher::getInstance().requestLite("http://127.0.0.1:" + std::to_string(channel_.port()) + "/lite", "{\"a\":1}");
    const auto requests = channel_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].text, "{\"a\":1}");
    EXPECT_EQ(requests[0].flag, -1);
    EXPECT_EQ(requests[0].headers.find("Content-Type")->second, "json");
    EXPECT_TRUE(capture.contains("result is "));

    // The plain POST keeps the channel's reply bound: a body past it fails as it arrives.
    for (const std::size_t size : {static_cast<std::size_t>(kPNHttpMaxReplyBytes), static_cast<std::size_t>(kPNHttpMaxReplyBytes) + 1}) {
        SCOPED_TRACE(size);
        LogCapture bounded;
        channel_.setReply({.body = HttpChannelReply::Body::Raw, .rawBody = std::string(size, 'x')});
        PNDispatcher::getInstance().requestLite("http://127.0.0.1:" + std::to_string(channel_.port()) + "/lite", "{}");
        EXPECT_EQ(bounded.contains("-1103"), size > static_cast<std::size_t>(kPNHttpMaxReplyBytes));
    }

    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"10.0.0.1,80;10.0.0.2,8080", {"http://10.0.0.1:80", "http://10.0.0.2:8080"}},
        {";;;", {}},
        {"", {}},
        {"a,b,c;;d", {"http://a:b:c", "http://d"}},
    };
    for (const auto& [text, urls] : cases) EXPECT_EQ(PNDispatcher::splitSpeedString(text), urls) << text;
}

// The shared dispatcher keeps the streams it is given (and its byte buffer) for whoever sets them, from
// any thread; no send touches them.
TEST(PushDispatcherFields, StreamsAreHeldUntilReplacedAndBothFieldsServeAnyThread) {
    PNDispatcher& dispatcher = PNDispatcher::getInstance();
    EXPECT_TRUE(dispatcher.streams().empty());
    auto stream = makeRef<Object>();
    const Weak<Object> watched = stream;
    dispatcher.setStreams(Array{Value(stream), Value("label")});
    stream.reset();
    ASSERT_FALSE(watched.expired());
    ASSERT_EQ(dispatcher.streams().size(), 2u);
    EXPECT_EQ(dispatcher.streams()[0].object(), watched.lock());
    dispatcher.setStreams({});
    EXPECT_TRUE(watched.expired());

    // A reader on another thread sees each list and buffer whole: one setter's value or another's.
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            const Bytes data = dispatcher.data();
            for (std::uint8_t b : data) torn += b != data.front();
            const Array streams = dispatcher.streams();
            torn += !streams.empty() && streams.size() != static_cast<std::size_t>(streams.front().intValue());
        }
    });
    for (int i = 1; i <= 500; ++i) {
        dispatcher.setData(Bytes(static_cast<std::size_t>(i), static_cast<std::uint8_t>(i)));
        dispatcher.setStreams(Array(static_cast<std::size_t>(i % 7 + 1), Value(i % 7 + 1)));
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    dispatcher.setData({});
    dispatcher.setStreams({});
}

}  // namespace
}  // namespace lv
