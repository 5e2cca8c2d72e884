// A stand-in for the social API on 127.0.0.1: HTTPS (with a certificate for the social API host and
// 127.0.0.1, issued at start by a root made at start) for the authorisation pages, the token, status
// and user calls, and plain HTTP for the status-link page. Every request is logged (multipart parts
// with their MD5); per-route behaviours make it misbehave. Failures reply {"error": text,
// "error_code": n}.
//
// Thread rule: every public member may be called from any thread (state sits behind one lock).
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
class SSLServer;
struct Request;
struct Response;
}  // namespace httplib

namespace lv::tools {

// What a route does instead of its own answer. A status of 0 keeps the route's own.
struct SocialBehaviour {
    int status = 0;
    std::string contentType;         // empty: the route's own
    double delaySeconds = 0;         // before the reply
    bool badBody = false;            // a truncated JSON text instead of the reply
    std::string customBody;          // sent as the body when not empty
    std::optional<std::pair<std::string, int>> errorReply;  // {"error": text, "error_code": n}, status 400 unless set
    bool closeEarly = false;         // announces the reply, sends half, closes
    bool deny = false;               // the authorisation page refuses (error=access_denied)
    std::size_t padTo = 0;           // the body padded with spaces after it to this many bytes
    bool endless = false;            // a chunked body that never ends ("{" then spaces) until the
                                     // client goes away or 256 MiB have gone out
};

struct SocialPart {
    std::string name;
    std::string filename;
    std::string contentType;
    std::size_t size = 0;
    std::string md5;      // lower-case hex of the part's content
    std::string content;  // fields only (parts without a file name)
};

struct SocialRequest {
    std::string method;
    std::string path;
    bool secure = false;
    std::string query;                          // raw
    std::string contentType;
    std::map<std::string, std::string> params;  // query and form fields, decoded
    std::vector<SocialPart> parts;              // multipart parts in order
};

class SocialApi {
public:
    // The account every authorisation grants.
    static constexpr const char* kUserID = "5917362048";
    static constexpr const char* kScreenName = "岚朵小编";

    SocialApi();
    ~SocialApi();
    SocialApi(const SocialApi&) = delete;
    SocialApi& operator=(const SocialApi&) = delete;

    // Binds 127.0.0.1 (0: any free port) for HTTPS and HTTP and serves each on a thread of its own;
    // false when a port cannot be bound or the certificates cannot be made.
    bool start(int httpsPort = 0, int httpPort = 0, const std::string& host = "api.microblog.invalid");
    void stop();
    int httpsPort() const { return httpsPort_; }
    int httpPort() const { return httpPort_; }
    // The root that issued the server's certificate (PEM text, DER bytes).
    std::string rootCertificatePEM() const;
    std::vector<unsigned char> rootCertificateDER() const;

    // Behaviour of a route, by its path ("/2/statuses/upload.json").
    void setBehaviour(const std::string& path, SocialBehaviour behaviour);
    void resetBehaviours();
    // Seconds in "expires_in" of the token replies (default 157679999).
    void setExpiresIn(long long seconds);
    // A token the service accepts, as if granted earlier (tests that start logged in).
    void addAccessToken(const std::string& token, const std::string& refreshToken = {});

    std::vector<SocialRequest> requests() const;
    // The requests to the path, in order.
    std::vector<SocialRequest> requestsTo(const std::string& path) const;
    void clearRequests();
    // The endless bodies (behaviour endless) that ended because the client went away.
    int endlessAbandoned() const;
    // Called with each request as it is logged, on a server thread.
    void setRequestObserver(std::function<void(const SocialRequest&)> observer);

private:
    struct Certificates;
    void install(httplib::Server& server, bool secure);
    void handle(const httplib::Request& request, httplib::Response& response, bool secure);
    // The route's own answer: status and JSON (or HTML) body.
    void answer(const SocialRequest& request, httplib::Response& response, const SocialBehaviour& behaviour);
    std::string grant(const std::string& clientID);
    bool waitUnlessStopped(double seconds);

    std::unique_ptr<Certificates> certificates_;
    std::unique_ptr<httplib::SSLServer> secure_;
    std::unique_ptr<httplib::Server> plain_;
    std::thread secureThread_;
    std::thread plainThread_;
    int httpsPort_ = 0;
    int httpPort_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::map<std::string, SocialBehaviour> behaviours_;
    std::vector<SocialRequest> log_;
    std::function<void(const SocialRequest&)> observer_;
    int endlessAbandoned_ = 0;
    long long expiresIn_ = 157679999;
    long long next_ = 1;
    std::map<std::string, std::string> codes_;          // code → redirect URI
    std::map<std::string, bool> accessTokens_;          // token → valid
    std::map<std::string, bool> refreshTokens_;         // refresh token → valid
};

}  // namespace lv::tools
