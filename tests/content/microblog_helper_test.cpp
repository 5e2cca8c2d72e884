// The Microblog glue and the share screen against the social-API stand-in, with the settings in a
// real settings file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include "content/microblog_helper.h"
#include "content/property_persistance.h"
#include "content/share_music_view_controller.h"
#include "microblog/social_api_fixture.h"
#include "platform/base/clock.h"
#include "platform/dispatch/notification_center.h"
#include "platform/net/connection.h"
#include "platform/security/digest.h"
#include "platform/storage/json.h"
#include "screens/microblog_pager_view.h"
#include "screens/screens.h"

namespace lv::test {
namespace {

// The app delegate's part: opened URLs go to the client with the shared helper as delegate.
class OpenURLRoute : public ApplicationDelegate {
public:
    bool applicationOpenURL(Application&, const Ref<URL>& url, const std::string&, const Value&) override {
        return MicroblogSDK::handleOpenURL(url, lv::MicroblogHelper::sharedMicroblogHelper());
    }
};

// A screen that snapshots the settings file when it hears of a login.
class LoginScreen : public Object, public MicroblogResponseDelegate {
public:
    explicit LoginScreen(std::string snapshot) : snapshot_(std::move(snapshot)) {}
    void didReceiveMicroblogResponse(const Ref<Object>& response) override {
        std::filesystem::copy_file(settingsFile(), snapshot_, std::filesystem::copy_options::overwrite_existing);
        responses.push_back(response);
    }
    static std::string settingsFile() { return documentsDirectory() + "/LNPreferences.plist"; }
    std::vector<Ref<Object>> responses;

private:
    std::string snapshot_;
};

class MicroblogGlue : public SocialApiFixture {
protected:
    void SetUp() override {
        SocialApiFixture::SetUp();
        std::filesystem::create_directories(documentsDirectory());
        settings = makeRef<LNPreferences>();
        PropertyPersistance::setPersistanceOn(*settings);
        lv::MicroblogHelper::attachPreferences([s = settings] { return s; });
        Application::sharedApplication()->setDelegate(std::make_shared<OpenURLRoute>());
        ASSERT_TRUE(Application::sharedApplication()->launch());
    }
    void TearDown() override {
        helper->setWbDelegate(nullptr);
        SocialApiFixture::TearDown();
        lv::MicroblogHelper::attachPreferences(nullptr);
        LNPreferences::setMicroblogLogoutHandler(nullptr);
    }
    // The settings file as Python's plistlib reads it.
    static Value readWithPlistlib(const std::string& path) {
        const std::string command = "python3 " + projectDirectory() + "/tests/content/settings_plistlib.py '" + path + "'";
        std::string out;
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            char buffer[4096];
            while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
            ::pclose(pipe);
        }
        return JSONSerialization::JSONObjectWithData(out, 0, nullptr);
    }
    void logIn(const std::string& token, double expiry, const std::string& refresh = {}) {
        api.addAccessToken(token, refresh);
        settings->setMbltoken(Value(token));
        if (!refresh.empty()) settings->setMblRefreshtoken(Value(refresh));
        settings->setMblCurrentUserID(Value(tools::SocialApi::kUserID));
        settings->setMblExpireDate(Value(Date::fromSince1970(expiry)));
    }
    // Lets a reply that changes nothing arrive: the main loop runs for a bounded while.
    static void settle() { runMainUntil([] { return false; }, 0.5); }

    const Ref<lv::MicroblogHelper>& helper = lv::MicroblogHelper::sharedMicroblogHelper();
    Ref<LNPreferences> settings;
};

// The suite is named after the class it tests; inside the tests the class is lv::MicroblogHelper.
class MicroblogHelper : public MicroblogGlue {};

TEST_F(MicroblogHelper, LoginIsStoredBeforeTheScreenHearsAndTheNameComesAfter) {
    auto screen = makeRef<LoginScreen>(home.file("snapshot.plist"));
    helper->setWbDelegate(screen);
    int announced = 0;
    auto observer = NotificationCenter::defaultCenter()->addObserverForName(
        lv::MicroblogHelper::kUsernameUpdatedNotification, nullptr, nullptr, [&](const Notification& note) {
            EXPECT_EQ(note.object(), std::static_pointer_cast<Object>(helper));
            ++announced;
        });
    helper->MBLAuthorize();
    ASSERT_TRUE(runMainUntil([&] { return !screen->responses.empty(); }, 15));
    const Value stored = readWithPlistlib(home.file("snapshot.plist"));
    ASSERT_TRUE(stored.isDictionary()) << "plistlib could not read the settings";
    EXPECT_EQ(stored["mbltoken"].string(), settings->mbltoken().string());
    EXPECT_EQ(stored["mbltoken"].string().rfind("2.00", 0), 0u);
    EXPECT_EQ(stored["mblRefreshtoken"].string().rfind("2.10", 0), 0u);
    EXPECT_EQ(stored["mblCurrentUserID"].string(), tools::SocialApi::kUserID);
    EXPECT_NEAR(stored["mblExpireDate"].doubleValue(), Date::now().since1970() + 157679999, 60);
    EXPECT_EQ(stored["mblCurrentUserInfo"]["uid"].string(), tools::SocialApi::kUserID);
    EXPECT_TRUE(stored["mblUsername"].isNil());
    EXPECT_EQ(announced, 0);

    ASSERT_TRUE(runMainUntil([&] { return announced == 1; }, 15));
    EXPECT_EQ(settings->mblUsername().string(), tools::SocialApi::kScreenName);
    auto profile = api.requestsTo("/2/users/show.json");
    ASSERT_EQ(profile.size(), 1u);
    EXPECT_EQ(profile[0].params.at("access_token"), settings->mbltoken().string());
    auto page = api.requestsTo("/oauth2/authorize");
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].params.at("scope"), lv::MicroblogHelper::kScope);
    EXPECT_EQ(page[0].params.at("redirect_uri"), "https://api.microblog.invalid/oauth2/default.html");
    auto response = std::dynamic_pointer_cast<MBLAuthorizeResponse>(screen->responses[0]);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->requestUserInfo().size(), 4u);
    EXPECT_EQ(response->requestUserInfo().get("Other_Info_3")["key2"].string(), "obj2");
    NotificationCenter::defaultCenter()->removeObserver(observer.get());
}

TEST_F(MicroblogHelper, RefusedCancelledAndFailedLoginsStoreAndCallNothing) {
    struct Case {
        const char* name;
        long status;           // answered by the fake Microblog app; 1 for the web page's refusal
        const char* type;
    };
    const Case cases[] = {{"denied on the page", 1, "authorize"},
                          {"cancelled in the app", -1, "authorize"},
                          {"failed in the app", -2, "authorize"},
                          {"another kind of response", 0, "share"}};
    for (const Case& c : cases) {
        auto screen = makeRef<LoginScreen>(home.file("snapshot.plist"));
        helper->setWbDelegate(screen);
        std::string requestURL;
        if (c.status == 1) {
            tools::SocialBehaviour deny;
            deny.deny = true;
            api.setBehaviour("/oauth2/authorize", deny);
        } else {
            Application::sharedApplication()->setURLHandler(kMicroblogAppScheme, [&](const Ref<URL>& url) {
                requestURL = url->absoluteString();
            });
        }
        helper->MBLAuthorize();
        if (c.status != 1) {
            ASSERT_TRUE(runMainUntil([&] { return !requestURL.empty(); }, 5)) << c.name;
            auto request = readMicroblogMessage(*takeMicroblogMessageData(requestURL.substr(requestURL.find("id=") + 3)));
            ASSERT_TRUE(request) << c.name;
            MicroblogMessage answer;
            answer.kind = "response";
            answer.type = c.type;
            answer.messageID = makeMicroblogMessageID();
            answer.requestID = request->messageID;
            answer.appKey = kAppKey;
            answer.statusCode = c.status;
            answer.accessToken = "2.00never";
            postMicroblogMessage(answer);
            Application::sharedApplication()->openURL(
                URL::URLWithString(std::string("mbl") + kAppKey + "://response?id=" + answer.messageID));
        }
        ASSERT_TRUE(runMainUntil([&] { return !MicroblogSDK::authorizeWebView(); }, 15)) << c.name;
        drain();
        EXPECT_TRUE(screen->responses.empty()) << c.name;
        EXPECT_EQ(helper->mblDelegate(), screen) << c.name;
        EXPECT_TRUE(settings->mbltoken().isNil()) << c.name;
        EXPECT_TRUE(settings->mblExpireDate().isNil()) << c.name;
        EXPECT_FALSE(std::filesystem::exists(LoginScreen::settingsFile())) << c.name;
        EXPECT_TRUE(api.requestsTo("/2/users/show.json").empty()) << c.name;
        api.resetBehaviours();
        Application::sharedApplication()->setURLHandler(kMicroblogAppScheme, nullptr);
    }
}

TEST_F(MicroblogHelper, RenewalStoresOnlyAReplyWithAToken) {
    ScopedClock clock([] { return 1.7e9; });
    logIn("old", 1.6e9, "r1");
    api.setExpiresIn(7200);
    helper->autoRenewToken();
    ASSERT_TRUE(runMainUntil([&] { return settings->mbltoken().string() != "old"; }, 15));
    EXPECT_EQ(settings->mbltoken().string().rfind("2.00", 0), 0u);
    EXPECT_NE(settings->mblRefreshtoken().string(), "r1");
    EXPECT_EQ(settings->mblCurrentUserID().string(), tools::SocialApi::kUserID);
    EXPECT_EQ(settings->mblExpireDate(), Value(Date::fromSince1970(1.7e9 + 7200)));
    EXPECT_FALSE(helper->isAuthorizeExpired());

    // Replies that hold no token, and a refused renewal, leave the login as it is.
    const std::string token = settings->mbltoken().string();
    const Value expiry = settings->mblExpireDate();
    for (const char* body : {"{\"refresh_token\":\"x\",\"uid\":\"1\",\"expires_in\":5}",
                             "{\"access_token\":\"\",\"uid\":\"1\"}", "{\"error\":\"invalid_grant\",\"error_code\":21325}"}) {
        tools::SocialBehaviour reply;
        reply.customBody = body;
        api.setBehaviour("/oauth2/access_token", reply);
        const std::size_t before = api.requestsTo("/oauth2/access_token").size();
        helper->autoRenewToken();
        ASSERT_TRUE(runMainUntil([&] { return api.requestsTo("/oauth2/access_token").size() > before; }, 15));
        settle();
        EXPECT_EQ(settings->mbltoken().string(), token) << body;
        EXPECT_EQ(settings->mblCurrentUserID().string(), tools::SocialApi::kUserID) << body;
        EXPECT_EQ(settings->mblExpireDate(), expiry) << body;
    }
    // Without a refresh token nothing is sent.
    settings->setMblRefreshtoken(Value());
    const std::size_t sent = api.requests().size();
    helper->autoRenewToken();
    settle();
    EXPECT_EQ(api.requests().size(), sent);
}

TEST_F(MicroblogHelper, ExpiryIsStrictlyLaterThanTheStoredDate) {
    ScopedClock clock([] { return 1.5e9; });
    const struct {
        Value expiry;
        bool expired;
    } cases[] = {{Value(), true}, {Value(Date::fromSince1970(1.5e9)), false},
                 {Value(Date::fromSince1970(1.5e9 + 1)), false}, {Value(Date::fromSince1970(1.5e9 - 1)), true}};
    for (const auto& c : cases) {
        settings->setMblExpireDate(c.expiry);
        EXPECT_EQ(helper->isAuthorizeExpired(), c.expired) << c.expiry.description();
    }
}

TEST_F(MicroblogHelper, PostLinkEscapesItsValuesOverHTTPS) {
    settings->setMbltoken(Value("2.00abc"));
    settings->setMblCurrentUserID(Value("5917"));
    const std::string link = helper->generateMBLContentURL("42");
    EXPECT_EQ(link, "https://api.microblog.invalid/2/statuses/go?access_token=2.00abc&uid=5917&id=42");
    Ref<URLResponse> response;
    std::optional<Bytes> page = URLConnection::sendSynchronousRequest(URLRequest(URL::URLWithString(link)), &response, nullptr);
    ASSERT_TRUE(page);
    EXPECT_NE(std::string(page->begin(), page->end()).find("status 42"), std::string::npos);
    ASSERT_EQ(api.requestsTo("/2/statuses/go").size(), 1u);
    EXPECT_EQ(api.requestsTo("/2/statuses/go")[0].params.at("id"), "42");
    EXPECT_TRUE(api.requestsTo("/2/statuses/go")[0].secure);

    settings->setMbltoken(Value("a&b=c"));
    settings->setMblCurrentUserID(Value("7#"));
    EXPECT_EQ(helper->generateMBLContentURL("1 2?"),
              "https://api.microblog.invalid/2/statuses/go?access_token=a%26b%3Dc&uid=7%23&id=1%202%3F");
}

TEST_F(MicroblogHelper, LogoutRevokesTheTokenForTheSettings) {
    logIn("t", 2e9);
    settings->setMblUsername(Value("name"));
    settings->logout();
    ASSERT_TRUE(runMainUntil([&] { return api.requestsTo("/oauth2/revokeoauth2").size() == 1; }, 15));
    EXPECT_EQ(api.requestsTo("/oauth2/revokeoauth2")[0].params.at("access_token"), "t");
    EXPECT_TRUE(settings->mbltoken().isNil());
    EXPECT_TRUE(settings->mblCurrentUserID().isNil());
    EXPECT_EQ(settings->mblUsername().string(), "name");
}

TEST(MicroblogHTTP, RequestsAndParameterTextAreEscaped) {
    EXPECT_EQ(MicroblogHTTP::generateParamString(Value::dictionary({{"a", Value(1)}})), "a=1&");
    EXPECT_EQ(MicroblogHTTP::generateParamString(Value::dictionary({{"k&", Value("v=1 2")}, {"z", Value("中")}})),
              "k%26=v%3D1%202&z=%E4%B8%AD&");
    EXPECT_EQ(MicroblogHTTP::generateParamString(Value()), "");
    auto get = MicroblogHTTP::generateRequestWithURL("https://h/p", "GET", Value::dictionary({{"a", Value(1)}}));
    ASSERT_TRUE(get);
    EXPECT_EQ(get->URL()->absoluteString(), "https://h/p?a=1&");
    auto post = MicroblogHTTP::generateRequestWithURL("https://h/p", "POST", Value::dictionary({{"a", Value(1)}}));
    ASSERT_TRUE(post);
    EXPECT_EQ(post->HTTPMethod(), "POST");
    EXPECT_EQ(post->valueForHTTPHeaderField("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(*post->HTTPBody(), (Bytes{'a', '=', '1', '&'}));
    EXPECT_FALSE(MicroblogHTTP::generateRequestWithURL("https://h/p", "PUT", Value()));
}

// The plain calls carry the social API's reply bound: a reply up to it is read, one byte more or one
// that never ends gives nil, refused as it arrives (the service sees the client leave).
class MicroblogHTTPReplies : public SocialApiFixture {};
TEST_F(MicroblogHTTPReplies, PastTheBoundGiveNil) {
    api.addAccessToken("t");
    using Call = std::function<void(MicroblogHTTP::Completion)>;
    const std::vector<std::pair<std::string, Call>> roads{
        {"/2/users/show.json",
         [](MicroblogHTTP::Completion done) {
             MicroblogHTTP::sendRequestToPath("/2/users/show.json", "GET",
                                              Value::dictionary({{"access_token", "t"}, {"uid", tools::SocialApi::kUserID}}),
                                              std::move(done));
         }},
        {"/2/statuses/update.json",
         [](MicroblogHTTP::Completion done) {
             MicroblogHTTP::postJsonToPath("/2/statuses/update.json", Value::dictionary({{"status", "s"}}), std::move(done));
         }},
    };
    const struct {
        const char* name;
        std::size_t padTo;
        bool endless;
        bool read;
    } cases[] = {{"at the bound", kMBLHttpMaxReplyBytes, false, true},
                 {"one byte over", kMBLHttpMaxReplyBytes + 1, false, false},
                 {"endless", 0, true, false}};
    int endless = 0;
    for (const auto& [path, call] : roads) {
        for (const auto& c : cases) {
            SCOPED_TRACE(path + " " + c.name);
            tools::SocialBehaviour behaviour;
            behaviour.padTo = c.padTo;
            behaviour.endless = c.endless;
            api.setBehaviour(path, behaviour);
            endless += c.endless ? 1 : 0;
            bool called = false;
            Value reply;
            call([&](const Value& value) {
                reply = value;
                called = true;
            });
            ASSERT_TRUE(runMainUntil([&] { return called; }, 15));
            EXPECT_EQ(reply.isDictionary(), c.read);
            EXPECT_EQ(reply.isNil(), !c.read);
        }
    }
    ASSERT_TRUE(runMainUntil([&] { return api.endlessAbandoned() == endless; }, 15));
}

// The share screen's three outcomes, and a post that needs a login first.
class ShareScreen : public MicroblogGlue {
protected:
    Ref<ShareMusicViewController> makeScreen() {
        auto screen = makeRef<ShareMusicViewController>("岚朵榜单 & 第1名", jpeg);
        screen->view();  // loads: viewDidLoad
        return screen;
    }
    // Shares and waits for the screen's toasts.
    static std::vector<std::string> shareAndWait(const Ref<ShareMusicViewController>& screen) {
        screen->share();
        EXPECT_TRUE(runMainUntil([&] { return !screen->toasts().empty(); }, 15));
        return screen->toasts();
    }
    const Bytes jpeg{0xFF, 0xD8, 0xFF, 0xDB, 0x01, 0x02, 0x03, 0xFF, 0xD9};
};

TEST_F(ShareScreen, PostsTheTextUnchangedAndClosesAfterTheToast) {
    logIn("t", 2e9);
    auto screen = makeScreen();
    EXPECT_EQ(shareAndWait(screen), std::vector<std::string>{ShareMusicViewController::kPostedToast});
    EXPECT_FALSE(screen->isClosed());
    EXPECT_FALSE(helper->mblDelegate());
    ASSERT_TRUE(runMainUntil([&] { return screen->isClosed(); }, 5));
    auto upload = api.requestsTo("/2/statuses/upload.json");
    ASSERT_EQ(upload.size(), 1u);
    EXPECT_EQ(upload[0].params.at("status"), "岚朵榜单 & 第1名");
    EXPECT_EQ(upload[0].params.at("access_token"), "t");
    auto pic = std::find_if(upload[0].parts.begin(), upload[0].parts.end(), [](const auto& p) { return p.name == "pic"; });
    ASSERT_NE(pic, upload[0].parts.end());
    EXPECT_EQ(pic->md5, hexString(md5Digest(jpeg)));
}

TEST_F(ShareScreen, AnExpiredLoginIsRenewedOnLoad) {
    ScopedClock clock([] { return 1.7e9; });
    logIn("old", 1.6e9, "r");
    auto screen = makeScreen();
    ASSERT_TRUE(runMainUntil([&] { return settings->mbltoken().string() != "old"; }, 15));
    const auto toasts = shareAndWait(screen);
    ASSERT_FALSE(toasts.empty());
    EXPECT_EQ(toasts[0], ShareMusicViewController::kPostedToast);
    EXPECT_EQ(api.requestsTo("/2/statuses/upload.json")[0].params.at("access_token"), settings->mbltoken().string());
}

TEST_F(ShareScreen, AFailedPostReauthorisesWhenExpiredElseShowsTheFailure) {
    ScopedClock clock([] { return 1.7e9; });
    // Not expired, but the service refuses the token: the failure toast, no new login.
    settings->setMbltoken(Value("revoked"));
    settings->setMblExpireDate(Value(Date::fromSince1970(1.8e9)));
    auto screen = makeScreen();
    EXPECT_EQ(shareAndWait(screen), std::vector<std::string>{ShareMusicViewController::kFailedToast});
    EXPECT_TRUE(api.requestsTo("/oauth2/authorize").empty());
    EXPECT_FALSE(helper->mblDelegate());

    // Expired and refused: a new login, then the post goes out with the new token.
    settings->setMblExpireDate(Value(Date::fromSince1970(1.6e9)));
    auto second = makeScreen();
    EXPECT_EQ(shareAndWait(second), std::vector<std::string>{ShareMusicViewController::kPostedToast});
    EXPECT_EQ(api.requestsTo("/oauth2/authorize").size(), 1u);
    auto uploads = api.requestsTo("/2/statuses/upload.json");
    ASSERT_EQ(uploads.size(), 3u);
    EXPECT_EQ(uploads[2].params.at("access_token"), settings->mbltoken().string());
}

TEST_F(ShareScreen, WithoutALoginItAuthorisesFirst) {
    auto screen = makeScreen();
    EXPECT_EQ(shareAndWait(screen), std::vector<std::string>{ShareMusicViewController::kPostedToast});
    EXPECT_EQ(api.requestsTo("/oauth2/access_token").size(), 1u);
    EXPECT_EQ(api.requestsTo("/2/statuses/upload.json").size(), 1u);
}

// The chart screen, the feed page and the about screen reach the helper and the share screen by name.
class LoginScreens : public MicroblogGlue {
protected:
    struct Adopter {
        const char* name;
        std::function<void()> act;        // the action that needs a login
        std::function<bool()> continued;  // what it does once logged in
    };
    std::vector<Adopter> adopters() {
        auto chart = makeRef<TopMusicViewController>("TopMusicViewController", nullptr);
        auto feed = makeRef<MicroblogPagerView>();
        auto about = makeRef<AboutUsViewController>("AboutUsViewController", nullptr);
        const Bytes jpeg{0xFF, 0xD8, 0xFF, 0xD9};
        return {{"chart", [chart, jpeg] { chart->share("榜单 & 1", jpeg); },
                 [chart] {
                     auto share = std::dynamic_pointer_cast<ShareMusicViewController>(chart->shareScreen());
                     return share && share->text() == "榜单 & 1" && share->isViewLoaded();
                 }},
                {"feed", [feed] { feed->openPost("3817000000000001"); },
                 [this, feed] {
                     auto links = api.requestsTo("/2/statuses/go");
                     return feed->postView() && !feed->postView()->isLoading() && links.size() == 1 &&
                            links[0].params.at("id") == "3817000000000001" &&
                            links[0].params.at("access_token") == settings->mbltoken().string();
                 }},
                {"about", [about] { about->login(); },
                 [about] { return about->loginButtonTitle() == AboutUsViewController::kLoggedInTitle; }}};
    }
};

TEST_F(LoginScreens, EachLogsInThenContinuesAndClearsTheDelegate) {
    for (const Adopter& adopter : adopters()) {
        settings->setMbltoken(Value());
        const std::size_t grants = api.requestsTo("/oauth2/access_token").size();
        adopter.act();
        EXPECT_TRUE(helper->mblDelegate()) << adopter.name;
        ASSERT_TRUE(runMainUntil(adopter.continued, 15)) << adopter.name;
        EXPECT_FALSE(helper->mblDelegate()) << adopter.name;
        EXPECT_EQ(api.requestsTo("/oauth2/access_token").size(), grants + 1) << adopter.name;
    }
}

TEST_F(LoginScreens, WithALoginTheChartAndTheFeedGoOnAtOnce) {
    logIn("2.00held", 2e9);
    auto about = makeRef<AboutUsViewController>("AboutUsViewController", nullptr);
    about->view();
    EXPECT_EQ(about->loginButtonTitle(), AboutUsViewController::kLoggedInTitle);
    auto all = adopters();
    for (const Adopter& adopter : std::vector<Adopter>(all.begin(), all.end() - 1)) {
        adopter.act();
        EXPECT_FALSE(helper->mblDelegate()) << adopter.name;
        ASSERT_TRUE(runMainUntil(adopter.continued, 15)) << adopter.name;
    }
    EXPECT_TRUE(api.requestsTo("/oauth2/authorize").empty());
}

}  // namespace
}  // namespace lv::test
