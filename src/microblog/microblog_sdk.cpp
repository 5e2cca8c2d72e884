#include "microblog/microblog_sdk.h"

#include <map>
#include <mutex>

#include "http/query_string.h"
#include "microblog/microblog_message.h"
#include "platform/base/log.h"
#include "platform/dispatch/operation.h"
#include "platform/dispatch/queue.h"
#include "platform/net/cookie_storage.h"
#include "platform/text/escape.h"
#include "platform/ui/application.h"
#include "platform/ui/web_view.h"

namespace lv {

namespace {

class WebAuthorizer;

struct Pending {
    std::string type;
    Dictionary userInfo;
};

struct State {
    std::mutex mutex;
    std::string appKey;
    bool debug = false;
    std::map<std::string, Pending> pending;  // requests sent and not yet answered, by id
    Ref<WebAuthorizer> web;
};

State& state() {
    static State* shared = new State;
    return *shared;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The query's value for the name (percent-decoded); nothing when absent.
std::optional<std::string> queryValue(const Ref<URL>& url, std::string_view name) {
    std::optional<std::string> query = url ? url->query() : std::nullopt;
    if (!query) return std::nullopt;
    std::string_view rest = *query;
    while (!rest.empty()) {
        std::size_t amp = rest.find('&');
        std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        std::size_t eq = pair.find('=');
        if (pair.substr(0, eq) != name) continue;
        std::string_view raw = eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
        return text::percentUnescape(raw).value_or(std::string(raw));
    }
    return std::nullopt;
}

std::string callbackScheme() { return "mbl" + MicroblogSDK::registeredAppKey(); }

void remember(const std::string& id, Pending pending) {
    std::lock_guard lock(state().mutex);
    state().pending[id] = std::move(pending);
}

// Answers the pending request: true once per request id sent from this process.
bool answer(const std::string& id, Pending* pending) {
    std::lock_guard lock(state().mutex);
    auto it = state().pending.find(id);
    if (it == state().pending.end()) return false;
    *pending = std::move(it->second);
    state().pending.erase(it);
    return true;
}

// Posts the response and opens the app's callback URL with its id, as the Microblog app does.
void handBack(MicroblogMessage message) {
    message.kind = "response";
    message.messageID = makeMicroblogMessageID();
    message.appKey = MicroblogSDK::registeredAppKey();
    postMicroblogMessage(message);
    Ref<URL> url = URL::URLWithString(callbackScheme() + "://response?id=" + message.messageID);
    if (!Application::sharedApplication()->openURL(url)) logLine("MicroblogSDK: cannot open " + url->absoluteString());
}

// The web authorisation: the page of the social API under "/oauth2/authorize"; the redirect to the
// request's redirect URI carries the code (or the refusal), which is exchanged for the token.
class WebAuthorizer : public Object, public WebViewDelegate {
public:
    WebAuthorizer(Ref<MBLAuthorizeRequest> request) : request_(std::move(request)), webView_(WebView::make()) {}

    const Ref<WebView>& webView() const { return webView_; }

    void start() {
        webView_->setDelegate(std::static_pointer_cast<WebAuthorizer>(shared_from_this()));
        const StringEncoding utf8 = StringEncoding::UTF8;
        std::string url = std::string(kMicroblogSocialAPIBaseURL) + "/oauth2/authorize?client_id=" +
                          escapeQueryValue(MicroblogSDK::registeredAppKey(), utf8) +
                          "&redirect_uri=" + escapeQueryValue(request_->redirectURI(), utf8) +
                          "&response_type=code&scope=" + escapeQueryValue(request_->scope(), utf8) + "&display=mobile";
        webView_->loadRequest(URLRequest(URL::URLWithString(url)));
    }

    bool webViewShouldStartLoadWithRequest(WebView&, const URLRequest& request, WebViewNavigationType) override {
        if (done_ || !isRedirect(request.URL())) return !done_;
        if (std::optional<std::string> code = queryValue(request.URL(), "code"); code && !code->empty()) {
            exchange(*code);
        } else {
            const std::string error = queryValue(request.URL(), "error").value_or("");
            finish(error == "access_denied" ? MicroblogSDKResponseStatusCodeAuthDeny
                                            : MicroblogSDKResponseStatusCodeSentFail,
                   Dictionary{{"error", Value(error)}});
        }
        return false;
    }

    void webViewDidFailLoadWithError(WebView&, const Ref<Error>& error) override {
        if (!done_) finish(MicroblogSDKResponseStatusCodeSentFail, Dictionary{{"error", Value(error->description())}});
    }

private:
    bool isRedirect(const Ref<URL>& url) const {
        Ref<URL> redirect = URL::URLWithString(request_->redirectURI());
        if (!url || !redirect) return false;
        return lower(url->scheme().value_or("")) == lower(redirect->scheme().value_or("")) &&
               lower(url->host().value_or("")) == lower(redirect->host().value_or("")) &&
               url->effectivePort() == redirect->effectivePort() && url->path() == redirect->path();
    }

    void exchange(const std::string& code) {
        Dictionary params{{"client_id", Value(MicroblogSDK::registeredAppKey())},
                          {"code", Value(code)},
                          {"grant_type", Value("authorization_code")},
                          {"redirect_uri", Value(request_->redirectURI())}};
        auto self = std::static_pointer_cast<WebAuthorizer>(shared_from_this());
        MBLHttpRequest::requestWithURL(std::string(kMicroblogSocialAPIBaseURL) + "/oauth2/access_token", "POST",
                                       std::move(params), OperationQueue::mainQueue(),
                                       [self](const Ref<MBLHttpRequest>&, const Value& result, const Ref<Error>& error) {
                                           self->exchanged(result, error);
                                       });
    }

    void exchanged(const Value& result, const Ref<Error>& error) {
        const Value& token = result["access_token"];
        if (error || !token.isString() || token.string().empty()) {
            finish(MicroblogSDKResponseStatusCodeSentFail,
                   error ? Dictionary{{"error", Value(error->domain())}, {"error_code", Value(error->code())}}
                         : Dictionary{});
            return;
        }
        MicroblogMessage message;
        message.statusCode = MicroblogSDKResponseStatusCodeSuccess;
        message.accessToken = token.string();
        message.refreshToken = result["refresh_token"].stringValue();
        if (result["refresh_token"].isNil()) message.refreshToken.clear();
        message.userID = result["uid"].isNil() ? std::string() : result["uid"].stringValue();
        if (!result["expires_in"].isNil()) message.expirationDate = Date::now().adding(result["expires_in"].doubleValue());
        message.userInfo = result.dictionary();
        send(std::move(message));
    }

    void finish(long status, Dictionary details) {
        MicroblogMessage message;
        message.statusCode = status;
        message.userInfo = std::move(details);
        send(std::move(message));
    }

    void send(MicroblogMessage message) {
        done_ = true;
        message.type = "authorize";
        message.requestID = request_->requestID();
        message.requestUserInfo = request_->userInfo();
        handBack(std::move(message));
        // The page is dropped once the web view's current call has returned.
        Queue::main()->async([self = shared_from_this()] {
            std::lock_guard lock(state().mutex);
            if (state().web == self) state().web.reset();
        });
    }

    Ref<MBLAuthorizeRequest> request_;
    Ref<WebView> webView_;
    bool done_ = false;
};

}  // namespace

bool MicroblogSDK::registerApp(const std::string& appKey) {
    if (appKey.empty()) return false;
    {
        std::lock_guard lock(state().mutex);
        state().appKey = appKey;
    }
    // A launch: what an ended process left on the transfer pasteboard (credentials among it) goes.
    dropMicroblogMessages(false);
    return true;
}

void MicroblogSDK::enableDebugMode(bool enabled) {
    std::lock_guard lock(state().mutex);
    state().debug = enabled;
}

bool MicroblogSDK::isDebugMode() {
    std::lock_guard lock(state().mutex);
    return state().debug;
}

std::string MicroblogSDK::registeredAppKey() {
    std::lock_guard lock(state().mutex);
    return state().appKey;
}

bool MicroblogSDK::sendRequest(const Ref<MBLBaseRequest>& base) {
    auto request = std::dynamic_pointer_cast<MBLAuthorizeRequest>(base);
    const std::string appKey = registeredAppKey();
    if (!request || appKey.empty()) return false;
    request->setRequestID(makeMicroblogMessageID());
    Ref<Application> application = Application::sharedApplication();
    Ref<URL> appURL = URL::URLWithString(std::string(kMicroblogAppScheme) + "://request?id=" + request->requestID());
    if (application->canOpenURL(appURL)) {
        MicroblogMessage message;
        message.kind = "request";
        message.type = "authorize";
        message.messageID = request->requestID();
        message.appKey = appKey;
        message.redirectURI = request->redirectURI();
        message.scope = request->scope();
        message.userInfo = request->userInfo();
        postMicroblogMessage(message);
        remember(request->requestID(), {"authorize", request->userInfo()});
        if (isDebugMode()) logLine("MicroblogSDK: single sign-on through " + std::string(kMicroblogAppScheme));
        return application->openURL(appURL);
    }
    if (!request->shouldShowWebViewForAuthIfCannotSSO()) return false;
    remember(request->requestID(), {"authorize", request->userInfo()});
    auto authorizer = makeRef<WebAuthorizer>(request);
    {
        std::lock_guard lock(state().mutex);
        state().web = authorizer;
    }
    if (isDebugMode()) logLine("MicroblogSDK: web authorisation at " + std::string(kMicroblogSocialAPIBaseURL) + "/oauth2/authorize");
    authorizer->start();
    return true;
}

bool MicroblogSDK::handleOpenURL(const Ref<URL>& url, const Ref<MicroblogSDKDelegate>& delegate) {
    const std::string appKey = registeredAppKey();
    if (!url || appKey.empty()) return false;
    const std::string prefix = callbackScheme() + ":";
    const std::string& text = url->absoluteString();
    if (text.size() < prefix.size() || lower(text.substr(0, prefix.size())) != lower(prefix)) return false;

    const std::string host = lower(url->host().value_or(""));
    if (host != "request" && host != "response") return true;
    std::optional<std::string> id = queryValue(url, "id");
    if (!id || id->empty()) return true;
    std::optional<Bytes> data = takeMicroblogMessageData(*id);
    if (!data) return true;
    std::optional<MicroblogMessage> message = readMicroblogMessage(*data);
    if (!message || message->kind != host || message->appKey != appKey) {
        if (isDebugMode()) logLine("MicroblogSDK: ignored an unreadable message " + *id);
        return true;
    }
    if (host == "request") {
        Ref<MBLBaseRequest> request = message->type == "authorize" ? makeRef<MBLAuthorizeRequest>() : makeRef<MBLBaseRequest>();
        if (auto authorize = std::dynamic_pointer_cast<MBLAuthorizeRequest>(request)) {
            authorize->setRedirectURI(message->redirectURI);
            authorize->setScope(message->scope);
        }
        request->setRequestID(message->messageID);
        request->setUserInfo(message->userInfo);
        if (delegate) delegate->didReceiveMicroblogRequest(request);
        return true;
    }
    Pending pending;
    if (!answer(message->requestID, &pending)) {
        if (isDebugMode()) logLine("MicroblogSDK: ignored a response to no request of ours");
        return true;
    }
    Ref<MBLBaseResponse> response;
    if (pending.type == "authorize" && message->type == "authorize") {
        auto authorize = makeRef<MBLAuthorizeResponse>();
        authorize->setAccessToken(message->accessToken);
        authorize->setRefreshToken(message->refreshToken);
        if (message->expirationDate) authorize->setExpirationDate(Value(*message->expirationDate));
        authorize->setUserID(message->userID);
        response = authorize;
    } else {
        response = makeRef<MBLBaseResponse>();
    }
    response->setStatusCode(static_cast<long>(message->statusCode));
    response->setUserInfo(message->userInfo);
    response->setRequestUserInfo(pending.userInfo);
    if (delegate) delegate->didReceiveMicroblogResponse(response);
    return true;
}

Ref<MBLHttpRequest> MicroblogSDK::logOutWithToken(const std::string& token, Weak<MBLHttpRequestDelegate> delegate,
                                                  std::string tag) {
    HTTPCookieStorage::shared().removeCookiesForDomain(kMicroblogSocialAPIHost);
    dropMicroblogMessages(true);
    if (token.empty()) return nullptr;
    return MBLHttpRequest::requestWithURL(std::string(kMicroblogSocialAPIBaseURL) + "/oauth2/revokeoauth2", "GET",
                                          Dictionary{{"access_token", Value(token)}}, std::move(delegate),
                                          std::move(tag));
}

Ref<WebView> MicroblogSDK::authorizeWebView() {
    std::lock_guard lock(state().mutex);
    return state().web ? state().web->webView() : nullptr;
}

void MicroblogSDK::reset() {
    std::lock_guard lock(state().mutex);
    state().appKey.clear();
    state().debug = false;
    state().pending.clear();
    state().web.reset();
}

}  // namespace lv
