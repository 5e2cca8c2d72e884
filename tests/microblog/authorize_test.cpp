// Authorisation by single sign-on (a fake Microblog app) and by the web page, and the open-URL checks.
#include <gtest/gtest.h>

#include <typeinfo>

#include <sys/stat.h>

#include "microblog/social_api_fixture.h"
#include "platform/base/clock.h"
#include "platform/text/escape.h"

namespace lv::test {
namespace {

class Recorder : public MicroblogSDKDelegate {
public:
    void didReceiveMicroblogRequest(const Ref<MBLBaseRequest>& request) override { requests.push_back(request); }
    void didReceiveMicroblogResponse(const Ref<MBLBaseResponse>& response) override { responses.push_back(response); }
    std::vector<Ref<MBLBaseRequest>> requests;
    std::vector<Ref<MBLBaseResponse>> responses;
};

// The app's part: every opened URL goes to the client with the recorder as delegate.
class ForwardingApp : public ApplicationDelegate {
public:
    explicit ForwardingApp(Ref<Recorder> recorder) : recorder_(std::move(recorder)) {}
    bool applicationOpenURL(Application&, const Ref<URL>& url, const std::string&, const Value&) override {
        opened.push_back(url->absoluteString());
        return MicroblogSDK::handleOpenURL(url, recorder_);
    }
    std::vector<std::string> opened;

private:
    Ref<Recorder> recorder_;
};

class MicroblogAuthorization : public SocialApiFixture {
protected:
    void SetUp() override {
        SocialApiFixture::SetUp();
        app = std::make_shared<ForwardingApp>(recorder);
        Application::sharedApplication()->setDelegate(app);
        ASSERT_TRUE(Application::sharedApplication()->launch());
    }
    static Ref<MBLAuthorizeRequest> authorizeRequest() {
        auto request = MBLAuthorizeRequest::request();
        request->setRedirectURI(std::string(kMicroblogSocialAPIBaseURL) + "/oauth2/default.html");
        request->setScope("email, statuses_to_me_read");
        request->setUserInfo(Dictionary{{"SSO_From", Value("ViewController")}, {"Other_Info_1", Value(123)}});
        return request;
    }
    // A fake Microblog app that records the request URLs it is opened with.
    void installMicroblogApp() {
        Application::sharedApplication()->setURLHandler(kMicroblogAppScheme, [this](const Ref<URL>& url) {
            appOpened.push_back(url->absoluteString());
        });
    }
    static std::string idOf(const std::string& url) { return url.substr(url.find("id=") + 3); }
    // Sends an authorisation request to the fake app and returns the request message it reads.
    MicroblogMessage requestThroughApp() {
        installMicroblogApp();
        appOpened.clear();
        EXPECT_TRUE(MicroblogSDK::sendRequest(authorizeRequest()));
        EXPECT_TRUE(runMainUntil([&] { return !appOpened.empty(); }, 5));
        std::optional<Bytes> data = takeMicroblogMessageData(idOf(appOpened.back()));
        EXPECT_TRUE(data);
        std::optional<MicroblogMessage> message = data ? readMicroblogMessage(*data) : std::nullopt;
        EXPECT_TRUE(message);
        return message.value_or(MicroblogMessage{});
    }
    static MicroblogMessage answer(const MicroblogMessage& request, long status) {
        MicroblogMessage response;
        response.kind = "response";
        response.type = "authorize";
        response.messageID = makeMicroblogMessageID();
        response.requestID = request.messageID;
        response.appKey = kAppKey;
        response.statusCode = status;
        response.accessToken = "2.00sso";
        response.refreshToken = "2.10sso";
        response.userID = "77";
        response.expirationDate = Date::fromSince1970(2e9);
        return response;
    }
    static std::string callback(const std::string& host, const std::string& id) {
        return std::string("mbl") + kAppKey + "://" + host + (id.empty() ? "" : "?id=" + id);
    }

    Ref<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<ForwardingApp> app;
    std::vector<std::string> appOpened;
};

using OpenURL = MicroblogAuthorization;
using Authorize = MicroblogAuthorization;

TEST_F(OpenURL, OnlyAValidUnansweredMessageReachesTheDelegate) {
    const MicroblogMessage request = requestThroughApp();
    EXPECT_EQ(request.kind, "request");
    EXPECT_EQ(request.redirectURI, "https://api.microblog.invalid/oauth2/default.html");
    const MicroblogMessage good = answer(request, 0);
    MicroblogMessage wrongKey = answer(request, 0);
    wrongKey.appKey = "1234567890";
    MicroblogMessage wrongKind = answer(request, 0);
    wrongKind.kind = "request";
    MicroblogMessage replay = good;
    replay.messageID = makeMicroblogMessageID();
    auto postRaw = [](const std::string& id, Value data) {
        auto board = Pasteboard::pasteboardWithName(kMicroblogTransferPasteboard, true);
        Array items = board->items();
        items.push_back(Value(Dictionary{{"id", Value(id)}, {"message", std::move(data)}}));
        board->setItems(std::move(items));
    };
    struct Case {
        const char* name;
        std::function<std::string()> prepare;
        bool handled;
        std::size_t responses;
    };
    const std::vector<Case> cases{
        {"other scheme", [&] { postMicroblogMessage(good); return "https://example.invalid/response?id=" + good.messageID; }, false, 0},
        {"longer scheme", [&] { return std::string("mbl") + kAppKey + "0://response?id=" + good.messageID; }, false, 0},
        {"wrong host", [&] { return callback("answer", good.messageID); }, true, 0},
        {"no id", [&] { return callback("response", ""); }, true, 0},
        {"no item", [&] { return callback("response", "unknown"); }, true, 0},
        {"garbage", [&] { postRaw("g1", Value::data("not an archive")); return callback("response", "g1"); }, true, 0},
        {"not data", [&] { postRaw("g2", Value("text")); return callback("response", "g2"); }, true, 0},
        {"wrong key", [&] { postMicroblogMessage(wrongKey); return callback("response", wrongKey.messageID); }, true, 0},
        {"wrong kind", [&] { postMicroblogMessage(wrongKind); return callback("response", wrongKind.messageID); }, true, 0},
        {"valid", [&] { return callback("response", good.messageID); }, true, 1},
        {"replay", [&] { postMicroblogMessage(replay); return callback("response", replay.messageID); }, true, 1},
    };
    for (const Case& c : cases) {
        const std::string url = c.prepare();
        EXPECT_EQ(MicroblogSDK::handleOpenURL(URL::URLWithString(url), recorder), c.handled) << c.name;
        EXPECT_EQ(recorder->responses.size(), c.responses) << c.name;
    }
    auto response = std::dynamic_pointer_cast<MBLAuthorizeResponse>(recorder->responses.at(0));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->statusCode(), 0);
    EXPECT_EQ(response->accessToken(), "2.00sso");
    EXPECT_EQ(response->refreshToken(), "2.10sso");
    EXPECT_EQ(response->userID(), "77");
    EXPECT_EQ(response->expirationDate(), Value(Date::fromSince1970(2e9)));
    EXPECT_EQ(response->requestUserInfo().get("SSO_From").string(), "ViewController");
    // Every item read was taken off.
    EXPECT_TRUE(Pasteboard::pasteboardWithName(kMicroblogTransferPasteboard, false)->items().empty());
}

TEST_F(OpenURL, RequestsFromTheMicroblogAppReachTheDelegate) {
    MicroblogMessage message;
    message.kind = "request";
    message.type = "share";
    message.messageID = "r1";
    message.appKey = kAppKey;
    message.userInfo = Dictionary{{"from", Value("app")}};
    postMicroblogMessage(message);
    EXPECT_TRUE(MicroblogSDK::handleOpenURL(URL::URLWithString(callback("request", "r1")), recorder));
    ASSERT_EQ(recorder->requests.size(), 1u);
    EXPECT_EQ(recorder->requests[0]->requestID(), "r1");
    EXPECT_EQ(recorder->requests[0]->userInfo().get("from").string(), "app");
    EXPECT_TRUE(recorder->responses.empty());
}

TEST_F(Authorize, SingleSignOnAnswersThroughTheApplication) {
    for (long status : {0L, -1L}) {
        const MicroblogMessage request = requestThroughApp();
        EXPECT_EQ(request.scope, "email, statuses_to_me_read");
        EXPECT_EQ(request.userInfo.get("Other_Info_1").intValue(), 123);
        MicroblogMessage response = answer(request, status);
        postMicroblogMessage(response);
        ASSERT_TRUE(Application::sharedApplication()->openURL(URL::URLWithString(callback("response", response.messageID))));
        ASSERT_TRUE(runMainUntil([&] { return !app->opened.empty(); }, 5));
        app->opened.clear();
    }
    ASSERT_EQ(recorder->responses.size(), 2u);
    EXPECT_EQ(recorder->responses[0]->statusCode(), 0);
    EXPECT_EQ(recorder->responses[1]->statusCode(), MicroblogSDKResponseStatusCodeUserCancel);
    EXPECT_TRUE(api.requests().empty());
}

TEST_F(Authorize, WebPageCodeIsExchangedAndHandedBack) {
    ScopedClock clock([] { return 1.6e9; });
    api.setExpiresIn(3600);
    ASSERT_TRUE(MicroblogSDK::sendRequest(authorizeRequest()));
    ASSERT_TRUE(MicroblogSDK::authorizeWebView());
    ASSERT_TRUE(runMainUntil([&] { return !recorder->responses.empty(); }, 15));
    ASSERT_EQ(app->opened.size(), 1u);
    EXPECT_EQ(app->opened[0].rfind(callback("response", ""), 0), 0u);
    auto response = recorder->responses[0];
    const MBLBaseResponse& exact = *response;
    ASSERT_EQ(typeid(exact), typeid(MBLAuthorizeResponse));
    auto authorize = std::static_pointer_cast<MBLAuthorizeResponse>(response);
    EXPECT_EQ(authorize->statusCode(), 0);
    EXPECT_EQ(authorize->accessToken().rfind("2.00", 0), 0u);
    EXPECT_EQ(authorize->refreshToken().rfind("2.10", 0), 0u);
    EXPECT_EQ(authorize->userID(), tools::SocialApi::kUserID);
    EXPECT_EQ(authorize->expirationDate(), Value(Date::fromSince1970(1.6e9 + 3600)));
    EXPECT_EQ(authorize->requestUserInfo().get("SSO_From").string(), "ViewController");

    auto pages = api.requestsTo("/oauth2/authorize");
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].params.at("client_id"), kAppKey);
    EXPECT_EQ(pages[0].params.at("redirect_uri"), "https://api.microblog.invalid/oauth2/default.html");
    EXPECT_EQ(pages[0].params.at("scope"), "email, statuses_to_me_read");
    auto exchanges = api.requestsTo("/oauth2/access_token");
    ASSERT_EQ(exchanges.size(), 1u);
    EXPECT_EQ(exchanges[0].params.at("grant_type"), "authorization_code");
    EXPECT_EQ(exchanges[0].params.at("code").size(), 32u);
    EXPECT_TRUE(api.requestsTo("/oauth2/default.html").empty());  // caught before it was loaded
    drain();
    EXPECT_FALSE(MicroblogSDK::authorizeWebView());
    EXPECT_TRUE(Pasteboard::pasteboardWithName(kMicroblogTransferPasteboard, false)->items().empty());
}

TEST_F(Authorize, RefusalsAndFailedExchangesAnswerWithTheirStatus) {
    struct Case {
        const char* name;
        tools::SocialBehaviour behaviour;
        std::string path;
        long status;
    };
    std::vector<Case> cases(3);
    cases[0] = {"denied", {}, "/oauth2/authorize", MicroblogSDKResponseStatusCodeAuthDeny};
    cases[0].behaviour.deny = true;
    cases[1] = {"exchange refused", {}, "/oauth2/access_token", MicroblogSDKResponseStatusCodeSentFail};
    cases[1].behaviour.errorReply = std::make_pair(std::string("invalid_grant"), 21325);
    cases[2] = {"page fails", {}, "/oauth2/authorize", MicroblogSDKResponseStatusCodeSentFail};
    cases[2].behaviour.closeEarly = true;
    for (const Case& c : cases) {
        api.resetBehaviours();
        api.setBehaviour(c.path, c.behaviour);
        recorder->responses.clear();
        ASSERT_TRUE(MicroblogSDK::sendRequest(authorizeRequest())) << c.name;
        ASSERT_TRUE(runMainUntil([&] { return !recorder->responses.empty(); }, 15)) << c.name;
        auto response = std::dynamic_pointer_cast<MBLAuthorizeResponse>(recorder->responses[0]);
        ASSERT_TRUE(response) << c.name;
        EXPECT_EQ(response->statusCode(), c.status) << c.name << ": " << Value(response->userInfo()).description();
        EXPECT_TRUE(response->accessToken().empty()) << c.name;
        drain();
    }
}

// A process ended between posting a hand-over and reading it leaves the tokens on the transfer
// pasteboard: a launch makes the file owner-only, a launch a minute later drops the item (an undated
// one, of an earlier version or another program, a minute after a launch first saw it), and a logout
// drops every item.
TEST_F(Authorize, HandOverItemsLeftBehindAreDropped) {
    double now = 1.6e9;
    ScopedClock clock([&] { return now; });
    MicroblogMessage request;
    request.messageID = "gone";
    postMicroblogMessage(answer(request, 0));
    Ref<Pasteboard> board = Pasteboard::pasteboardWithName(kMicroblogTransferPasteboard, false);
    ASSERT_NE(board, nullptr);
    Array items = board->items();
    items.push_back(Value(Dictionary{{"id", Value("undated")}, {"message", Value::data("token")}}));
    board->setItems(items);
    const std::string file = Pasteboard::filePath(kMicroblogTransferPasteboard);
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);  // as an earlier version left it

    const struct {
        double later;
        std::size_t left;
    } launches[] = {{30, 2}, {-30, 2}, {61, 1}, {91, 0}};
    for (const auto& launch : launches) {
        now = 1.6e9 + launch.later;
        MicroblogSDK::registerApp(kAppKey);
        EXPECT_EQ(board->items().size(), launch.left) << launch.later;
        struct stat status{};
        ASSERT_EQ(::stat(file.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600u);
    }
    postMicroblogMessage(answer(request, 0));
    MicroblogSDK::logOutWithToken("", {}, "user_1");
    EXPECT_TRUE(board->items().empty());
}

TEST_F(Authorize, NothingStartsWithoutAWay) {
    auto request = authorizeRequest();
    request->setShouldShowWebViewForAuthIfCannotSSO(false);
    EXPECT_FALSE(MicroblogSDK::sendRequest(request));
    MicroblogSDK::reset();
    EXPECT_FALSE(MicroblogSDK::sendRequest(authorizeRequest()));
    EXPECT_FALSE(MicroblogSDK::handleOpenURL(URL::URLWithString(callback("response", "x")), recorder));
    EXPECT_FALSE(MicroblogSDK::sendRequest(makeRef<MBLBaseRequest>()));
    drain();
    EXPECT_TRUE(api.requests().empty());
}

}  // namespace
}  // namespace lv::test
