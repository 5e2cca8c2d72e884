// Calls of the social API over the connection-style loader: a request with a delegate, and the share,
// user-profile and token-renewal calls with a completion. Every request starts at once and keeps itself
// alive until its outcome is delivered.
//
// Outcome of a reply: a JSON object holding "error" is a failure whose domain is the error text, whose
// code is "error_code" and whose details are the reply; a reply that is no JSON object, or a status
// outside 200-299 without "error", is a failure of kMBLHttpRequestErrorDomain whose code is the status
// (details: "statusCode" and the body as "responseString"); a transport failure passes the transport
// error unchanged. Anything else succeeds with the reply object. A reply body past
// kMBLHttpMaxReplyBytes is a transport failure (-1103, "resource exceeds maximum size"), refused as it
// arrives.
//
// Threads: requests may be made from any thread; the loader calls back on the main thread, where the
// delegate is told; a completion runs on its queue (the main operation queue when none is given).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/error.h"
#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/net/request.h"

namespace lv {

class MBLHttpRequest;
class OperationQueue;
class URLConnection;

inline constexpr const char* kMBLHttpRequestErrorDomain = "com.microblog.sdk.http";

// The social API's addresses, all HTTPS: the web pages, the API and the status link (its query carries
// the access token, so it never travels in clear).
inline constexpr const char* kMicroblogSocialAPIHost = "api.microblog.invalid";
inline constexpr const char* kMicroblogSocialAPIBaseURL = "https://api.microblog.invalid";
inline constexpr const char* kMicroblogStatusLinkBaseURL = "https://api.microblog.invalid/2/statuses/go";

// The most bytes a reply body of the social API may hold (decoded, when sent compressed). Its replies
// (a status with its user, a profile, a token) are a few KiB; anything near this bound is not the
// service's, and an endless or hostile reply cannot make the process hold more.
inline constexpr std::int64_t kMBLHttpMaxReplyBytes = 1 << 20;

// Every call is optional.
class MBLHttpRequestDelegate {
public:
    virtual ~MBLHttpRequestDelegate() = default;
    virtual void didReceiveResponse(MBLHttpRequest&, const Ref<URLResponse>&) {}
    virtual void didFailWithError(MBLHttpRequest&, const Ref<Error>&) {}
    // The reply as text (UTF-8), then the same reply as data.
    virtual void didFinishLoadingWithResult(MBLHttpRequest&, const std::string& /*result*/) {}
    virtual void didFinishLoadingWithDataResult(MBLHttpRequest&, const Bytes& /*data*/) {}
    virtual void didReciveRedirectResponseWithURI(MBLHttpRequest&, const Ref<URL>& /*redirectURI*/) {}
};

class MBLImageObject : public Object {
public:
    static Ref<MBLImageObject> object() { return makeRef<MBLImageObject>(); }
    const Bytes& imageData() const { return imageData_; }
    void setImageData(Bytes data) { imageData_ = std::move(data); }

private:
    Bytes imageData_;
};

class MicroblogUser : public Object {
public:
    // From a "/2/users/show.json" reply: screenName from "screen_name", userID from "idstr" (else "id").
    static Ref<MicroblogUser> userWithDictionary(const Dictionary& reply);
    const std::string& screenName() const { return screenName_; }
    const std::string& userID() const { return userID_; }
    const Dictionary& originParaDict() const { return reply_; }

private:
    std::string screenName_;
    std::string userID_;
    Dictionary reply_;
};

class MBLHttpRequest : public Object {
public:
    // (request, result, error): the result is nil on failure.
    using CompletionHandler = std::function<void(const Ref<MBLHttpRequest>&, const Value&, const Ref<Error>&)>;

    // A request to the URL with the method ("GET": parameters in the query; "POST": a form body, or a
    // multipart body when a parameter holds data) that reports to the delegate; started at once.
    static Ref<MBLHttpRequest> requestWithURL(const std::string& url, const std::string& httpMethod, Dictionary params,
                                              Weak<MBLHttpRequestDelegate> delegate, std::string tag);

    // Posts the status ("status", "access_token" only when given, then the other properties): with a
    // picture holding data a multipart upload ("pic") to "/2/statuses/upload.json"; else with a picture
    // URL ("url") to "/2/statuses/upload_url_text.json"; else a form POST to "/2/statuses/update.json".
    static Ref<MBLHttpRequest> requestForShareAStatus(const std::string& statusText, const Ref<MBLImageObject>& picture,
                                                      const std::optional<std::string>& pictureURL,
                                                      const std::optional<std::string>& accessToken,
                                                      const Dictionary& otherProperties,
                                                      const Ref<OperationQueue>& queue, CompletionHandler handler);
    // GET "/2/users/show.json" with "uid" and "access_token"; the result is a MicroblogUser (nil when the
    // reply is no dictionary).
    static Ref<MBLHttpRequest> requestForUserProfile(const std::string& userID,
                                                     const std::optional<std::string>& accessToken,
                                                     const Dictionary& otherProperties,
                                                     const Ref<OperationQueue>& queue, CompletionHandler handler);
    // Without a refresh token sends nothing and returns null; else POST "/oauth2/access_token" with
    // "client_id" (the registered app key), "grant_type" = "refresh_token" and "refresh_token". The
    // result is the reply dictionary.
    static Ref<MBLHttpRequest> requestForRenewAccessTokenWithRefreshToken(const std::optional<std::string>& refreshToken,
                                                                          const Ref<OperationQueue>& queue,
                                                                          CompletionHandler handler);
    // A request with a completion instead of a delegate (the client's own calls use it).
    static Ref<MBLHttpRequest> requestWithURL(const std::string& url, const std::string& httpMethod, Dictionary params,
                                              const Ref<OperationQueue>& queue, CompletionHandler handler);

    const std::string& url() const { return url_; }
    const std::string& httpMethod() const { return httpMethod_; }
    const Dictionary& params() const { return params_; }
    const std::string& tag() const { return tag_; }

    // Stops the request; nothing is reported afterwards. Main thread.
    void disconnect();

    MBLHttpRequest(std::string url, std::string httpMethod, Dictionary params);
    ~MBLHttpRequest() override;

private:
    class Loader;
    void connect();
    URLRequest makeURLRequest() const;
    void finish(const Ref<URLResponse>& response, const Bytes& body, const Ref<Error>& transportError);

    std::string url_;
    std::string httpMethod_;
    Dictionary params_;
    std::string tag_;
    Weak<MBLHttpRequestDelegate> delegate_;
    Ref<OperationQueue> queue_;
    CompletionHandler handler_;
    // Main thread (the loader's), after start.
    Ref<URLConnection> connection_;
    std::shared_ptr<Loader> loader_;
    Ref<MBLHttpRequest> selfWhileLoading_;
    bool done_ = false;
    // How the reply reads for a completion: a profile is a user.
    bool resultIsUser_ = false;
};

}  // namespace lv
