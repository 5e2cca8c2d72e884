// The client's HTTP calls as the stand-in's parser sees them, their outcomes, and the web view.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "microblog/social_api_fixture.h"
#include "platform/dispatch/operation.h"
#include "platform/dispatch/thread.h"
#include "platform/net/errors.h"
#include "platform/security/digest.h"
#include "platform/ui/web_view.h"

namespace lv::test {
namespace {

using tools::SocialBehaviour;

// Written on the completion's queue, read on the main thread once called is seen.
struct Outcome {
    std::atomic<bool> called{false};
    bool onMain = false;
    Value result;
    Ref<Error> error;
};

class HttpRequest : public SocialApiFixture {
protected:
    MBLHttpRequest::CompletionHandler recorder(Outcome& outcome) {
        return [&outcome](const Ref<MBLHttpRequest>&, const Value& result, const Ref<Error>& error) {
            outcome.onMain = Thread::isMainThread();
            outcome.result = result;
            outcome.error = error;
            outcome.called.store(true);
        };
    }
    static void wait(const Outcome& outcome) { ASSERT_TRUE(runMainUntil([&] { return outcome.called.load(); }, 15)); }

    const Bytes picture = Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x26, 0x3D, 0xFF, 0xD9};
};

TEST_F(HttpRequest, UploadReachesTheServiceIntact) {
    api.addAccessToken("2.00tok");
    auto image = MBLImageObject::object();
    image->setImageData(picture);
    const std::string text = "岚朵 排行 #1 & more=yes";
    Outcome outcome;
    MBLHttpRequest::requestForShareAStatus(text, image, std::nullopt, std::string("2.00tok"), Dictionary(), nullptr,
                                           recorder(outcome));
    wait(outcome);
    ASSERT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_TRUE(outcome.onMain);
    EXPECT_EQ(outcome.result["text"].string(), text);
    auto seen = api.requestsTo("/2/statuses/upload.json");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].contentType.find("multipart/form-data; boundary="), std::string::npos);
    EXPECT_EQ(seen[0].params.at("status"), text);
    EXPECT_EQ(seen[0].params.at("access_token"), "2.00tok");
    const tools::SocialPart* pic = nullptr;
    for (const auto& part : seen[0].parts) {
        if (part.name == "pic") pic = &part;
    }
    ASSERT_TRUE(pic);
    EXPECT_EQ(pic->md5, hexString(md5Digest(picture)));
    EXPECT_EQ(pic->contentType, "image/jpeg");
}

TEST_F(HttpRequest, PostsWithoutTokenFieldWhenThereIsNoToken) {
    auto image = MBLImageObject::object();
    image->setImageData(picture);
    Outcome upload, text;
    MBLHttpRequest::requestForShareAStatus("a", image, std::nullopt, std::nullopt, Dictionary(), nullptr, recorder(upload));
    MBLHttpRequest::requestForShareAStatus("b & c", nullptr, std::nullopt, std::nullopt, Dictionary(), nullptr,
                                           recorder(text));
    wait(upload);
    wait(text);
    for (const auto& request : api.requests()) EXPECT_EQ(request.params.count("access_token"), 0u) << request.path;
    auto update = api.requestsTo("/2/statuses/update.json");
    ASSERT_EQ(update.size(), 1u);
    EXPECT_EQ(update[0].params.at("status"), "b & c");
    // The service refuses both; the reply's error names the failure.
    for (const Outcome* outcome : {&upload, &text}) {
        ASSERT_TRUE(outcome->error);
        EXPECT_EQ(outcome->error->domain(), "auth faild!");
        EXPECT_EQ(outcome->error->code(), 21301);
        EXPECT_EQ(outcome->error->userInfo().get("error_code").intValue(), 21301);
        EXPECT_TRUE(outcome->result.isNil());
    }
}

TEST_F(HttpRequest, EveryFailedReplyIsAnErrorNeverAnEmptySuccess) {
    api.addAccessToken("t");
    struct Case {
        const char* name;
        SocialBehaviour behaviour;
        std::string domain;
        long long code;
    };
    std::vector<Case> cases(5);
    cases[0] = {"error reply", {}, "expired_token", 21327};
    cases[0].behaviour.errorReply = std::make_pair(std::string("expired_token"), 21327);
    cases[1] = {"500 html", {}, kMBLHttpRequestErrorDomain, 500};
    cases[1].behaviour.status = 500;
    cases[1].behaviour.customBody = "<html>oops</html>";
    cases[1].behaviour.contentType = "text/html";
    cases[2] = {"bad body", {}, kMBLHttpRequestErrorDomain, 200};
    cases[2].behaviour.badBody = true;
    cases[3] = {"array", {}, kMBLHttpRequestErrorDomain, 200};
    cases[3].behaviour.customBody = "[1,2]";
    cases[4] = {"404 json without error", {}, kMBLHttpRequestErrorDomain, 404};
    cases[4].behaviour.status = 404;
    cases[4].behaviour.customBody = "{\"ok\":false}";
    for (const Case& c : cases) {
        api.setBehaviour("/2/users/show.json", c.behaviour);
        Outcome outcome;
        MBLHttpRequest::requestForUserProfile(tools::SocialApi::kUserID, std::string("t"), Dictionary(), nullptr,
                                              recorder(outcome));
        wait(outcome);
        ASSERT_TRUE(outcome.error) << c.name;
        EXPECT_EQ(outcome.error->domain(), c.domain) << c.name;
        EXPECT_EQ(outcome.error->code(), c.code) << c.name;
        EXPECT_TRUE(outcome.result.isNil()) << c.name;
    }
    // A port where nothing listens: the transport error itself.
    api.stop();
    Outcome refused;
    MBLHttpRequest::requestForUserProfile("1", std::string("t"), Dictionary(), nullptr, recorder(refused));
    wait(refused);
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->domain(), "NSURLErrorDomain");
    EXPECT_EQ(refused.error->code(), URLErrorCannotConnectToHost);
}

// A reply up to the bound succeeds; one byte more, or one that never ends, is the transport's -1103,
// refused as it arrives (the service sees the client leave), on every road: a GET, a form POST and a
// multipart upload.
TEST_F(HttpRequest, RepliesPastTheBoundFailAsTheyArrive) {
    EXPECT_EQ(kMBLHttpMaxReplyBytes, 1 << 20);
    api.addAccessToken("t");
    auto image = MBLImageObject::object();
    image->setImageData(picture);
    using Call = std::function<void(Outcome&)>;
    const std::vector<std::pair<std::string, Call>> roads{
        {"/2/users/show.json",
         [&](Outcome& o) {
             MBLHttpRequest::requestForUserProfile(tools::SocialApi::kUserID, std::string("t"), Dictionary(), nullptr,
                                                   recorder(o));
         }},
        {"/2/statuses/update.json",
         [&](Outcome& o) {
             MBLHttpRequest::requestForShareAStatus("s", nullptr, std::nullopt, std::string("t"), Dictionary(), nullptr,
                                                    recorder(o));
         }},
        {"/2/statuses/upload.json",
         [&](Outcome& o) {
             MBLHttpRequest::requestForShareAStatus("s", image, std::nullopt, std::string("t"), Dictionary(), nullptr,
                                                    recorder(o));
         }},
    };
    const struct {
        const char* name;
        std::size_t padTo;
        bool endless;
        bool succeeds;
    } cases[] = {{"at the bound", kMBLHttpMaxReplyBytes, false, true},
                 {"one byte over", kMBLHttpMaxReplyBytes + 1, false, false},
                 {"endless", 0, true, false}};
    int endless = 0;
    for (const auto& [path, call] : roads) {
        for (const auto& c : cases) {
            SCOPED_TRACE(path + " " + c.name);
            SocialBehaviour behaviour;
            behaviour.padTo = c.padTo;
            behaviour.endless = c.endless;
            api.setBehaviour(path, behaviour);
            endless += c.endless ? 1 : 0;
            Outcome outcome;
            call(outcome);
            wait(outcome);
            if (c.succeeds) {
                EXPECT_FALSE(outcome.error) << outcome.error->description();
                EXPECT_FALSE(outcome.result.isNil());
                continue;
            }
            ASSERT_TRUE(outcome.error);
            EXPECT_EQ(outcome.error->domain(), "NSURLErrorDomain");
            EXPECT_EQ(outcome.error->code(), URLErrorDataLengthExceedsMaximum);
            EXPECT_TRUE(outcome.result.isNil());
        }
    }
    ASSERT_TRUE(runMainUntil([&] { return api.endlessAbandoned() == endless; }, 15));
}

TEST_F(HttpRequest, ProfileAndRenewalResultsOnTheChosenQueue) {
    api.addAccessToken("t", "r");
    Outcome profile, renewal;
    auto queue = OperationQueue::make();
    MBLHttpRequest::requestForUserProfile(tools::SocialApi::kUserID, std::string("t"), Dictionary(), queue,
                                          recorder(profile));
    EXPECT_FALSE(MBLHttpRequest::requestForRenewAccessTokenWithRefreshToken(std::nullopt, nullptr, recorder(renewal)));
    ASSERT_TRUE(MBLHttpRequest::requestForRenewAccessTokenWithRefreshToken(std::string("r"), nullptr, recorder(renewal)));
    wait(profile);
    wait(renewal);
    EXPECT_FALSE(profile.onMain);
    auto user = profile.result.objectAs<MicroblogUser>();
    ASSERT_TRUE(user);
    EXPECT_EQ(user->screenName(), tools::SocialApi::kScreenName);
    EXPECT_TRUE(renewal.onMain);
    EXPECT_FALSE(renewal.result["access_token"].string().empty());
    auto seen = api.requestsTo("/oauth2/access_token");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].params, (std::map<std::string, std::string>{
                                  {"client_id", kAppKey}, {"grant_type", "refresh_token"}, {"refresh_token", "r"}}));
}

class LogoutRecorder : public MBLHttpRequestDelegate {
public:
    void didFinishLoadingWithResult(MBLHttpRequest& request, const std::string& result) override {
        tag = request.tag();
        text = result;
    }
    void didFailWithError(MBLHttpRequest&, const Ref<Error>& e) override { error = e; }
    std::string tag, text;
    Ref<Error> error;
};

TEST_F(HttpRequest, LogoutDropsTheSocialCookiesAndRevokesTheToken) {
    api.addAccessToken("t");
    for (const char* domain : {".api.microblog.invalid", "api.microblog.invalid", "content.lunavexa.invalid"}) {
        HTTPCookie cookie;
        cookie.name = "SUB";
        cookie.value = "1";
        cookie.domain = domain;
        HTTPCookieStorage::shared().setCookie(cookie);
    }
    auto recorder = std::make_shared<LogoutRecorder>();
    ASSERT_TRUE(MicroblogSDK::logOutWithToken("t", recorder, "user_1"));
    auto left = HTTPCookieStorage::shared().cookies();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].domain, "content.lunavexa.invalid");
    ASSERT_TRUE(runMainUntil([&] { return !recorder->text.empty() || recorder->error; }, 15));
    EXPECT_EQ(recorder->tag, "user_1");
    EXPECT_EQ(recorder->text, "{\"result\":\"true\"}");
    auto seen = api.requestsTo("/oauth2/revokeoauth2");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].params.at("access_token"), "t");
}

class PageRecorder : public WebViewDelegate {
public:
    bool webViewShouldStartLoadWithRequest(WebView&, const URLRequest& request, WebViewNavigationType) override {
        calls.push_back("should " + request.URL()->path());
        return request.URL()->path() != refuse;
    }
    void webViewDidStartLoad(WebView&) override { calls.push_back("start"); }
    void webViewDidFinishLoad(WebView&) override { calls.push_back("finish"); }
    void webViewDidFailLoadWithError(WebView&, const Ref<Error>&) override { calls.push_back("fail"); }
    std::vector<std::string> calls;
    std::string refuse;
};

class WebViewLoad : public SocialApiFixture {};

TEST_F(WebViewLoad, AsksBeforeEveryLoadAndRedirect) {
    for (bool refuseRedirect : {false, true}) {
        auto page = WebView::make();
        auto recorder = std::make_shared<PageRecorder>();
        if (refuseRedirect) recorder->refuse = "/oauth2/default.html";
        page->setDelegate(recorder);
        page->loadRequest(URLRequest(URL::URLWithString(
            std::string(kMicroblogSocialAPIBaseURL) + "/oauth2/authorize?redirect_uri=https%3A%2F%2Fapi.microblog.invalid%2Foauth2%2Fdefault.html")));
        ASSERT_TRUE(runMainUntil([&] { return !page->isLoading(); }, 15));
        drain();
        std::vector<std::string> expected{"should /oauth2/authorize", "start", "should /oauth2/default.html"};
        if (!refuseRedirect) expected.push_back("finish");
        EXPECT_EQ(recorder->calls, expected);
        EXPECT_EQ(api.requestsTo("/oauth2/default.html").size(), refuseRedirect ? 0u : 1u);
        if (!refuseRedirect) {
            EXPECT_EQ(std::string(page->pageData().begin(), page->pageData().end()), "<html><body>authorised</body></html>");
            EXPECT_EQ(page->MIMEType(), "text/html");
        }
        api.clearRequests();
    }
}

TEST_F(WebViewLoad, KeepsGivenDataAndReportsItLater) {
    auto page = WebView::make();
    auto recorder = std::make_shared<PageRecorder>();
    page->setDelegate(recorder);
    page->loadData(Bytes{'<', 'p', '>'}, "text/html", "utf-8", URL::URLWithString("https://example.invalid/"));
    EXPECT_TRUE(recorder->calls.empty());
    EXPECT_EQ(page->loadDataCount(), 1);
    ASSERT_TRUE(runMainUntil([&] { return recorder->calls.size() == 2; }, 5));
    EXPECT_EQ(recorder->calls, (std::vector<std::string>{"start", "finish"}));
    EXPECT_EQ(page->MIMEType(), "text/html");
    EXPECT_EQ(page->textEncodingName(), "utf-8");
    EXPECT_EQ(page->baseURL()->absoluteString(), "https://example.invalid/");
    EXPECT_FALSE(page->isLoading());
}

}  // namespace
}  // namespace lv::test
