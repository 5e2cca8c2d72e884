// The Microblog client's facade: registration, authorisation requests (single sign-on through the
// Microblog app, else the client's web authorisation page), the messages that come back through the
// app's callback URL, and logout. The request and response objects are the ones the app sees.
//
// Hand-back: a request or response travels as a message on the transfer pasteboard
// (microblog_message.h) and is announced by opening "<scheme>://request?id=…" or "…://response?id=…";
// the app's callback scheme is "mbl" followed by the registered app key, the Microblog app's is
// kMicroblogAppScheme. The web path ends the same way: the response is posted and the callback URL is
// opened through the application object, so it reaches the app delegate's open-URL call.
//
// Threads: main thread (the open-URL path, the web view and the loader's calls all run there).
#pragma once

#include <string>

#include "microblog/mbl_http_request.h"
#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/net/url.h"

namespace lv {

class WebView;

// The Microblog app's URL scheme (single sign-on is possible when the device can open it).
inline constexpr const char* kMicroblogAppScheme = "microblogsdk";

// Status codes of a response.
enum MicroblogSDKResponseStatusCode : long {
    MicroblogSDKResponseStatusCodeSuccess = 0,
    MicroblogSDKResponseStatusCodeUserCancel = -1,
    MicroblogSDKResponseStatusCodeSentFail = -2,
    MicroblogSDKResponseStatusCodeAuthDeny = -3,
    MicroblogSDKResponseStatusCodeUnsupport = -99,
};

class MBLBaseRequest : public Object {
public:
    const std::string& requestID() const { return requestID_; }
    void setRequestID(std::string id) { requestID_ = std::move(id); }
    const Dictionary& userInfo() const { return userInfo_; }
    void setUserInfo(Dictionary info) { userInfo_ = std::move(info); }

private:
    std::string requestID_;
    Dictionary userInfo_;
};

class MBLAuthorizeRequest : public MBLBaseRequest {
public:
    static Ref<MBLAuthorizeRequest> request() { return makeRef<MBLAuthorizeRequest>(); }
    const std::string& redirectURI() const { return redirectURI_; }
    void setRedirectURI(std::string uri) { redirectURI_ = std::move(uri); }
    const std::string& scope() const { return scope_; }
    void setScope(std::string scope) { scope_ = std::move(scope); }
    bool shouldShowWebViewForAuthIfCannotSSO() const { return showWebView_; }
    void setShouldShowWebViewForAuthIfCannotSSO(bool show) { showWebView_ = show; }

private:
    std::string redirectURI_;
    std::string scope_;
    bool showWebView_ = true;
};

class MBLBaseResponse : public Object {
public:
    long statusCode() const { return statusCode_; }
    void setStatusCode(long code) { statusCode_ = code; }
    // The response's own user info, and the user info of the request it answers.
    const Dictionary& userInfo() const { return userInfo_; }
    void setUserInfo(Dictionary info) { userInfo_ = std::move(info); }
    const Dictionary& requestUserInfo() const { return requestUserInfo_; }
    void setRequestUserInfo(Dictionary info) { requestUserInfo_ = std::move(info); }

private:
    long statusCode_ = 0;
    Dictionary userInfo_;
    Dictionary requestUserInfo_;
};

class MBLAuthorizeResponse : public MBLBaseResponse {
public:
    const std::string& accessToken() const { return accessToken_; }
    void setAccessToken(std::string token) { accessToken_ = std::move(token); }
    const std::string& refreshToken() const { return refreshToken_; }
    void setRefreshToken(std::string token) { refreshToken_ = std::move(token); }
    // Nil when the response carries none.
    const Value& expirationDate() const { return expirationDate_; }
    void setExpirationDate(Value date) { expirationDate_ = std::move(date); }
    const std::string& userID() const { return userID_; }
    void setUserID(std::string id) { userID_ = std::move(id); }

private:
    std::string accessToken_;
    std::string refreshToken_;
    Value expirationDate_;
    std::string userID_;
};

class MicroblogSDKDelegate {
public:
    virtual ~MicroblogSDKDelegate() = default;
    virtual void didReceiveMicroblogRequest(const Ref<MBLBaseRequest>& request) = 0;
    virtual void didReceiveMicroblogResponse(const Ref<MBLBaseResponse>& response) = 0;
};

class MicroblogSDK {
public:
    // Registers the app under the key (its callback scheme becomes "mbl<key>"); false for an empty key.
    static bool registerApp(const std::string& appKey);
    static void enableDebugMode(bool enabled);
    static bool isDebugMode();
    static std::string registeredAppKey();

    // An authorisation request: posted to the Microblog app when the device can open its scheme, else
    // (when the request allows it) the web authorisation page is loaded; true when either started.
    // False without a registered app, for another kind of request, or when neither way is open.
    static bool sendRequest(const Ref<MBLBaseRequest>& request);

    // True for every URL whose text begins with the callback scheme (and ":"); only a valid message
    // reaches the delegate: host "request" or "response", an "id" in the query, a message posted under
    // that id (taken off the pasteboard) that reads back, of that kind, with the registered app key,
    // and for a response one that answers a request sent from this process and not yet answered.
    // False for any other URL, which is left alone.
    static bool handleOpenURL(const Ref<URL>& url, const Ref<MicroblogSDKDelegate>& delegate);

    // Removes the cookies of the social API host, then GET "/oauth2/revokeoauth2" with "access_token";
    // the outcome goes to the delegate. Null for an empty token.
    static Ref<MBLHttpRequest> logOutWithToken(const std::string& token, Weak<MBLHttpRequestDelegate> delegate,
                                               std::string tag);

    // The web authorisation page in progress (null when none).
    static Ref<WebView> authorizeWebView();
    // Forgets the registration, the requests in flight and the web page (a new process, for tests).
    static void reset();
};

}  // namespace lv
