// The social-API stand-in as a plain HTTP client sees it (the client's own calls are tested elsewhere).
#include <gtest/gtest.h>

#include "microblog/social_api_fixture.h"
#include "platform/net/connection.h"
#include "platform/storage/json.h"

namespace lv::test {
namespace {

using tools::SocialBehaviour;

struct Reply {
    int status = 0;
    std::string finalURL;
    Value json;
    std::string body;
    std::string contentType;
};

class SocialApi : public SocialApiFixture {
protected:
    static Reply fetch(const std::string& url, const std::string& method = "GET", const std::string& form = {}) {
        URLRequest request(URL::URLWithString(url));
        request.setHTTPMethod(method);
        if (!form.empty()) {
            request.setHTTPBody(Bytes(form.begin(), form.end()));
            request.setValue("application/x-www-form-urlencoded", "Content-Type");
        }
        Ref<URLResponse> response;
        Ref<Error> error;
        std::optional<Bytes> body = URLConnection::sendSynchronousRequest(request, &response, &error);
        Reply reply;
        auto http = std::dynamic_pointer_cast<HTTPURLResponse>(response);
        if (!http || !body) return reply;
        reply.status = http->statusCode();
        reply.finalURL = http->URL()->absoluteString();
        reply.body.assign(body->begin(), body->end());
        reply.json = JSONSerialization::JSONObjectWithData(reply.body, 0, nullptr);
        reply.contentType = http->valueForHTTPHeaderField("Content-Type").value_or("");
        return reply;
    }
    static std::string codeIn(const std::string& url) {
        auto at = url.find("code=");
        return at == std::string::npos ? std::string() : url.substr(at + 5);
    }
    const std::string base = std::string(kMicroblogSocialAPIBaseURL);
    const std::string redirect = "https%3A%2F%2Fapi.microblog.invalid%2Foauth2%2Fdefault.html";
};

TEST_F(SocialApi, GrantsACodeOnceAndRenewsWithTheRefreshTokenOnce) {
    Reply page = fetch(base + "/oauth2/authorize?client_id=4827150396&response_type=code&redirect_uri=" + redirect);
    ASSERT_EQ(page.status, 200);
    const std::string code = codeIn(page.finalURL);
    ASSERT_EQ(code.size(), 32u) << page.finalURL;
    EXPECT_EQ(page.finalURL.rfind("https://api.microblog.invalid/oauth2/default.html?code=", 0), 0u);

    const std::string exchange = "client_id=4827150396&grant_type=authorization_code&redirect_uri=" + redirect + "&code=";
    Reply token = fetch(base + "/oauth2/access_token", "POST", exchange + code);
    ASSERT_EQ(token.status, 200) << token.body;
    for (const char* key : {"access_token", "refresh_token", "uid", "expires_in"}) EXPECT_FALSE(token.json[key].isNil()) << key;
    EXPECT_EQ(token.json["uid"].string(), tools::SocialApi::kUserID);
    Reply again = fetch(base + "/oauth2/access_token", "POST", exchange + code);
    EXPECT_EQ(again.status, 400);
    EXPECT_EQ(again.json["error_code"].intValue(), 21325);

    const std::string refresh = "grant_type=refresh_token&client_id=4827150396&refresh_token=" + token.json["refresh_token"].string();
    EXPECT_EQ(fetch(base + "/oauth2/access_token", "POST", refresh).status, 200);
    EXPECT_EQ(fetch(base + "/oauth2/access_token", "POST", refresh).status, 400);

    Reply profile = fetch(base + "/2/users/show.json?uid=" + std::string(tools::SocialApi::kUserID) +
                          "&access_token=" + token.json["access_token"].string());
    EXPECT_EQ(profile.json["screen_name"].string(), tools::SocialApi::kScreenName);
}

TEST_F(SocialApi, FailuresReplyWithErrorAndCode) {
    SocialBehaviour deny;
    deny.deny = true;
    api.setBehaviour("/oauth2/authorize", deny);
    Reply denied = fetch(base + "/oauth2/authorize?redirect_uri=" + redirect);
    EXPECT_NE(denied.finalURL.find("?error=access_denied&error_code=21330"), std::string::npos) << denied.finalURL;

    SocialBehaviour told;
    told.errorReply = std::make_pair(std::string("expired_token"), 21327);
    api.setBehaviour("/2/users/show.json", told);
    const struct {
        std::string url, method, form;
        int status, code;
    } cases[] = {
        {base + "/oauth2/access_token", "POST", "grant_type=password", 400, 21328},
        {base + "/oauth2/revokeoauth2?access_token=unknown", "GET", "", 401, 21332},
        {base + "/2/statuses/update.json", "POST", "status=hi", 401, 21301},
        {base + "/2/users/show.json?uid=1", "GET", "", 400, 21327},
        {base + "/2/nothing", "GET", "", 404, 10021},
    };
    for (const auto& c : cases) {
        Reply reply = fetch(c.url, c.method, c.form);
        EXPECT_EQ(reply.status, c.status) << c.url;
        EXPECT_EQ(reply.json["error_code"].intValue(), c.code) << c.url;
        EXPECT_TRUE(reply.json["error"].isString()) << c.url;
    }
    EXPECT_EQ(api.requests().size(), 7u);  // the refusal's redirect was followed to the page
}

TEST_F(SocialApi, ServesTheStatusLinkOverHTTPSOnly) {
    Reply link = fetch(std::string(kMicroblogStatusLinkBaseURL) + "?access_token=t&uid=u&id=42");
    EXPECT_EQ(link.status, 200);
    EXPECT_NE(link.body.find("status 42"), std::string::npos);
    auto logged = api.requestsTo("/2/statuses/go");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_TRUE(logged[0].secure);
    EXPECT_EQ(logged[0].query, "access_token=t&uid=u&id=42");
    EXPECT_EQ(fetch("http://api.microblog.invalid/2/statuses/go?access_token=t&uid=u&id=42").status, 404);
    EXPECT_EQ(fetch("http://api.microblog.invalid/2/users/show.json").status, 404);
}

}  // namespace
}  // namespace lv::test
