// Redirects (method and body rules, the delegate's say, the limit) and HTTP authentication challenges.
#include <gtest/gtest.h>

#include "echo.h"
#include "fixtures.h"
#include "platform/net/errors.h"
#include "recorder.h"

namespace lv {
namespace {

using test::Echo;
using test::load;
using test::requestFor;

class Redirects : public ::testing::Test {
protected:
    test::HttpFixture& server = test::HttpFixture::shared();
};

TEST_F(Redirects, MethodAndBodyMatrix) {
    const struct {
        int code;
        const char* method;
        bool stream;
        const char* expectedMethod;
        const char* expectedBody;
    } cases[] = {
        {301, "POST", false, "GET", ""},         {302, "POST", false, "GET", ""},
        {303, "POST", false, "GET", ""},         {303, "PUT", false, "GET", ""},
        {307, "POST", false, "POST", "payload"}, {308, "POST", false, "POST", "payload"},
        {307, "PUT", true, "PUT", "payload"},    {302, "GET", false, "GET", ""},
    };
    for (const auto& c : cases) {
        auto request = requestFor(server.url("/redirect/" + std::to_string(c.code)), c.method);
        if (c.stream) {
            request.setHTTPBodyStream(InputStream::withData(test::bytesOf("payload")));
        } else if (std::string(c.method) != "GET") {
            request.setHTTPBody(test::bytesOf("payload"));
            request.setValue("text/plain", "Content-Type");
        }
        const auto r = load(request);
        const std::string label = std::to_string(c.code) + " " + c.method;
        std::vector<std::string> events = r->events;
        std::erase(events, "sent");
        EXPECT_EQ(events, (std::vector<std::string>{"redirect " + std::to_string(c.code), "response 200", "data", "finish"}))
            << label;
        const Echo echo(r->bodyText());
        EXPECT_EQ(echo.requestLine, std::string(c.expectedMethod) + " /echo") << label;
        EXPECT_EQ(echo.body, c.expectedBody) << label;
        EXPECT_EQ(echo.header("Content-Type").has_value(), std::string(c.expectedBody) == "payload" && !c.stream)
            << label;
        EXPECT_EQ(r->response->URL()->absoluteString(), server.url("/echo"));
    }
}

TEST_F(Redirects, DelegateRefusesOrRewrites) {
    auto refusing = std::make_shared<test::Recorder>();
    refusing->onRedirect = [](URLConnection&, const URLRequest&, const Ref<URLResponse>&) { return std::nullopt; };
    const auto refused = load(requestFor(server.url("/redirect/302")), refusing);
    EXPECT_EQ(refused->events, (std::vector<std::string>{"redirect 302", "response 302", "data", "finish"}));
    EXPECT_EQ(refused->bodyText(), "redirecting");
    EXPECT_EQ(refused->response->valueForHTTPHeaderField("location"), "/echo");

    auto rewriting = std::make_shared<test::Recorder>();
    rewriting->onRedirect = [&](URLConnection&, const URLRequest& proposed, const Ref<URLResponse>&) {
        URLRequest changed = proposed;
        changed.setURL(URL::URLWithString(server.url("/status/201")));
        return std::optional<URLRequest>(changed);
    };
    EXPECT_EQ(load(requestFor(server.url("/redirect/301")), rewriting)->response->statusCode(), 201);
}

TEST_F(Redirects, SixteenAtMost) {
    const auto sixteen = load(requestFor(server.url("/chain/16")));
    EXPECT_EQ(sixteen->events.back(), "finish");
    EXPECT_EQ(std::count(sixteen->events.begin(), sixteen->events.end(), "redirect 302"), 16);
    const auto loop = load(requestFor(server.url("/loop")));
    ASSERT_TRUE(loop->error);
    EXPECT_EQ(loop->error->code(), URLErrorHTTPTooManyRedirects);
    EXPECT_EQ(std::count(loop->events.begin(), loop->events.end(), "redirect 302"), 16);
}

TEST_F(Redirects, StreamWithoutCopyNeedsANewOne) {
    // A stream that cannot be copied: the delegate must supply the body again.
    class OneShot : public MemoryInputStream {
    public:
        using MemoryInputStream::MemoryInputStream;
        Ref<InputStream> copy() const override { return nullptr; }
    };
    for (const bool provide : {true, false}) {
        auto recorder = std::make_shared<test::Recorder>();
        if (provide) recorder->newBodyStream = [] { return InputStream::withData(test::bytesOf("again")); };
        auto request = requestFor(server.url("/redirect/307"), "POST");
        request.setHTTPBodyStream(makeRef<OneShot>(test::bytesOf("first")));
        const auto r = load(request, recorder);
        if (provide) {
            EXPECT_EQ(Echo(r->bodyText()).body, "again");
        } else {
            EXPECT_EQ(r->error ? r->error->code() : 0, URLErrorRequestBodyStreamExhausted);
        }
    }
}

class Authentication : public ::testing::Test {
protected:
    test::HttpFixture& server = test::HttpFixture::shared();
};

TEST_F(Authentication, ChallengeAnswers) {
    enum class Reply { Use, WrongThenUse, Continue, Cancel, Nothing, NoHandler };
    const struct {
        Reply reply;
        std::vector<std::string> events;
        std::int64_t lastFailureCount;
    } cases[] = {
        {Reply::Use, {"challenge", "response 200", "data", "finish"}, 0},
        {Reply::WrongThenUse, {"challenge", "challenge", "response 200", "data", "finish"}, 1},
        {Reply::Continue, {"challenge", "response 401", "data", "finish"}, 0},
        {Reply::Cancel, {"challenge", "fail -1012"}, 0},
        {Reply::Nothing, {"challenge", "fail -1012"}, 0},
        {Reply::NoHandler, {"response 401", "data", "finish"}, -1},
    };
    for (const auto& c : cases) {
        auto recorder = std::make_shared<test::Recorder>();
        std::int64_t failureCount = -1;
        if (c.reply != Reply::NoHandler) {
            recorder->onChallenge = [&](URLConnection&, const Ref<AuthenticationChallenge>& challenge) {
                failureCount = challenge->previousFailureCount();
                EXPECT_EQ(challenge->protectionSpace()->authenticationMethod(), kAuthenticationMethodHTTPBasic);
                EXPECT_EQ(challenge->protectionSpace()->realm(), "fixture");
                EXPECT_EQ(challenge->protectionSpace()->port(), server.port());
                auto* sender = challenge->sender();
                switch (c.reply) {
                    case Reply::Use: sender->useCredential(URLCredential::make("user", "pass"), *challenge); break;
                    case Reply::WrongThenUse:
                        sender->useCredential(URLCredential::make("user", failureCount == 0 ? "wrong" : "pass"), *challenge);
                        break;
                    case Reply::Continue: sender->continueWithoutCredentialForAuthenticationChallenge(*challenge); break;
                    case Reply::Cancel: sender->cancelAuthenticationChallenge(*challenge); break;
                    default: break;
                }
            };
        }
        const auto r = load(requestFor(server.url("/basic-auth")), recorder);
        EXPECT_EQ(r->events, c.events) << static_cast<int>(c.reply);
        EXPECT_EQ(failureCount, c.lastFailureCount) << static_cast<int>(c.reply);
        if (r->events.back() == "finish") {
            EXPECT_EQ(r->bodyText(), r->response->statusCode() == 200 ? "authenticated" : "denied");
        }
    }
}

TEST_F(Authentication, DigestCredentialIsAccepted) {
    for (const char* password : {"pass", "wrong"}) {
        auto recorder = std::make_shared<test::Recorder>();
        recorder->onChallenge = [&](URLConnection&, const Ref<AuthenticationChallenge>& challenge) {
            EXPECT_EQ(challenge->protectionSpace()->authenticationMethod(), kAuthenticationMethodHTTPDigest);
            if (challenge->previousFailureCount() > 0) {
                challenge->sender()->continueWithoutCredentialForAuthenticationChallenge(*challenge);
            } else {
                challenge->sender()->useCredential(URLCredential::make("user", password), *challenge);
            }
        };
        const auto r = load(requestFor(server.url("/digest-auth")), recorder);
        if (std::string(password) == "pass") {
            EXPECT_EQ(r->events, (std::vector<std::string>{"challenge", "response 200", "data", "finish"}));
            EXPECT_EQ(r->bodyText(), "authenticated");
        } else {
            EXPECT_EQ(r->events, (std::vector<std::string>{"challenge", "challenge", "response 401", "data", "finish"}));
        }
    }
}

}  // namespace
}  // namespace lv
