// The app's coordinator with the Microblog client: registration (on first use), authorisation, the
// login kept in the settings object, the user's screen name, token renewal, logout, posting a text
// with a picture, and the link that opens a post. It is the client's delegate for messages that come
// back through the app's callback URL, and tells one screen at a time (mblDelegate) of the outcome.
// MicroblogHTTP: plain calls to the social API (nothing in the app uses it).
//
// Threads: main thread (the client's delegate calls and its completions arrive there).
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "content/ln_preferences.h"
#include "microblog/microblog_sdk.h"
#include "platform/net/request.h"
#include "screens/microblog_response_delegate.h"

namespace lv {

class MicroblogHelper : public Object, public MicroblogSDKDelegate, public MBLHttpRequestDelegate {
public:
    static constexpr const char* kAppKey = "4827150396";
    static constexpr const char* kScope =
        "email, direct_messages_read, direct_messages_write, friendships_groups_read, friendships_groups_write, "
        "statuses_to_me_read, follow_app_official_microblog, invitation_write";
    static constexpr const char* kUsernameUpdatedNotification = "microblog_username_updated";
    static constexpr const char* kLogoutTag = "user_1";
    // The redirect URI of an authorisation: "/oauth2/default.html" on the social API host (HTTPS).
    static std::string redirectURI();

    // Made once; making it registers the app with the client (key kAppKey) and turns debug mode on.
    static const Ref<MicroblogHelper>& sharedMicroblogHelper();
    // The runtime class "MicroblogHelper", whose hooks the screens call by name: class side
    // "sharedMicroblogHelper" and "preferences"; instance side "MBLAuthorize", "setWbDelegate:" and
    // "generateMBLContentURL:".
    static const ClassInfo* runtimeClass();
    // Where the login is kept: the application delegate's settings object. Also installs the helper's
    // logout as the settings' Microblog logout handler, and registers the helper's and the share
    // screen's runtime classes, through which the screens reach them.
    static void attachPreferences(std::function<Ref<LNPreferences>()> source);

    void MBLAuthorize();
    // Revokes the stored token (tag "user_1"); the settings are left to LNPreferences::logout.
    void logout();
    // Posts the text unchanged with the picture and the stored token; the screen hears through
    // didSendMicroblogPost when it answers it.
    void sendTextContent(const std::string& text, const Bytes& imageData);
    // Fetches the profile; a MicroblogUser result sets mblUsername, then posts
    // "microblog_username_updated" (object: the helper).
    void getUserInfo(const std::string& userID);
    // "<status link base>?access_token=…&uid=…&id=…", each value escaped for a query.
    std::string generateMBLContentURL(const std::string& postID);
    // True when now is later than the stored expiry, or none is stored.
    bool isAuthorizeExpired();
    // Renews the token with the stored refresh token; only a reply with a non-empty "access_token" is
    // stored (token, refresh token, user id, expiry = now + "expires_in").
    void autoRenewToken();

    void didReceiveMicroblogRequest(const Ref<MBLBaseRequest>& request) override;
    // Only a successful authorisation response: stores the five fields, asks for the profile, then
    // tells mblDelegate.
    void didReceiveMicroblogResponse(const Ref<MBLBaseResponse>& response) override;

    // The screen told of the next result; held strongly until a screen clears it.
    std::shared_ptr<MicroblogResponseDelegate> mblDelegate() const;
    void setWbDelegate(std::shared_ptr<MicroblogResponseDelegate> delegate);

    // The settings object in use (null before attachPreferences).
    static Ref<LNPreferences> preferences();

private:
    mutable std::mutex mutex_;
    std::shared_ptr<MicroblogResponseDelegate> mblDelegate_;
};

class MicroblogHTTP {
public:
    using Completion = std::function<void(const Value& reply)>;
    // Social API base URL plus the path; the reply as JSON (nil on a connection error, a reply past
    // kMBLHttpMaxReplyBytes, or non-JSON data), on the main operation queue.
    static void sendRequestToPath(const std::string& path, const std::string& method, const Value& params,
                                  Completion completion);
    // POST of the object as pretty-printed JSON ("Content-Type" and "Accept": "application/json").
    static void postJsonToPath(const std::string& path, const Value& object, Completion completion);
    // GET: "<url>?<params>"; POST: a form body in UTF-8; any other method: nothing.
    static std::optional<URLRequest> generateRequestWithURL(const std::string& url, const std::string& method,
                                                            const Value& params);
    // "key=value&" per entry in key order, keys and values escaped for a query; "" without a dictionary.
    static std::string generateParamString(const Value& params);
};

}  // namespace lv
