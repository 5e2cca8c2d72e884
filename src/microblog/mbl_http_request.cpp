#include "microblog/mbl_http_request.h"

#include "http/query_string.h"
#include "http/request_serializer.h"
#include "microblog/microblog_sdk.h"
#include "platform/dispatch/operation.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/thread.h"
#include "platform/base/log.h"
#include "platform/net/connection.h"
#include "platform/storage/json.h"

namespace lv {

namespace {

Ref<Error> clientError(int status, const Bytes& body) {
    return Error::make(kMBLHttpRequestErrorDomain, status,
                       Dictionary{{"statusCode", Value(status)},
                                  {"responseString", Value(std::string(body.begin(), body.end()))}});
}

bool holdsData(const Dictionary& params) {
    for (const auto& [key, value] : params) {
        if (value.isData()) return true;
    }
    return false;
}

}  // namespace

Ref<MicroblogUser> MicroblogUser::userWithDictionary(const Dictionary& reply) {
    auto user = makeRef<MicroblogUser>();
    user->reply_ = reply;
    if (reply.get("screen_name").isString()) user->screenName_ = reply.get("screen_name").string();
    const Value& id = reply.get("idstr").isString() ? reply.get("idstr") : reply.get("id");
    if (!id.isNil()) user->userID_ = id.stringValue();
    return user;
}

// The connection's delegate: gathers the reply and hands it to the request (main thread).
class MBLHttpRequest::Loader : public URLConnectionDelegate {
public:
    explicit Loader(MBLHttpRequest* request) : request_(request) {}
    void detach() { request_ = nullptr; }

    std::optional<URLRequest> willSendRequest(URLConnection&, const URLRequest& next,
                                              const Ref<URLResponse>& redirectResponse) override {
        if (redirectResponse && request_) {
            if (auto delegate = request_->delegate_.lock()) delegate->didReciveRedirectResponseWithURI(*request_, next.URL());
        }
        return next;
    }
    void didReceiveResponse(URLConnection&, const Ref<URLResponse>& response) override {
        response_ = response;
        body_.clear();
        if (!request_) return;
        if (auto delegate = request_->delegate_.lock()) delegate->didReceiveResponse(*request_, response);
    }
    void didReceiveData(URLConnection&, const Bytes& data) override { body_.insert(body_.end(), data.begin(), data.end()); }
    void didFinishLoading(URLConnection&) override {
        if (request_) request_->finish(response_, body_, nullptr);
    }
    void didFailWithError(URLConnection&, const Ref<Error>& error) override {
        if (request_) request_->finish(nullptr, {}, error);
    }

private:
    MBLHttpRequest* request_;
    Ref<URLResponse> response_;
    Bytes body_;
};

MBLHttpRequest::MBLHttpRequest(std::string url, std::string httpMethod, Dictionary params)
    : url_(std::move(url)), httpMethod_(std::move(httpMethod)), params_(std::move(params)) {}

MBLHttpRequest::~MBLHttpRequest() {
    if (loader_) loader_->detach();
}

Ref<MBLHttpRequest> MBLHttpRequest::requestWithURL(const std::string& url, const std::string& httpMethod,
                                                   Dictionary params, Weak<MBLHttpRequestDelegate> delegate,
                                                   std::string tag) {
    auto request = makeRef<MBLHttpRequest>(url, httpMethod, std::move(params));
    request->delegate_ = std::move(delegate);
    request->tag_ = std::move(tag);
    request->connect();
    return request;
}

Ref<MBLHttpRequest> MBLHttpRequest::requestWithURL(const std::string& url, const std::string& httpMethod,
                                                   Dictionary params, const Ref<OperationQueue>& queue,
                                                   CompletionHandler handler) {
    auto request = makeRef<MBLHttpRequest>(url, httpMethod, std::move(params));
    request->queue_ = queue;
    request->handler_ = std::move(handler);
    request->connect();
    return request;
}

Ref<MBLHttpRequest> MBLHttpRequest::requestForShareAStatus(const std::string& statusText,
                                                           const Ref<MBLImageObject>& picture,
                                                           const std::optional<std::string>& pictureURL,
                                                           const std::optional<std::string>& accessToken,
                                                           const Dictionary& otherProperties,
                                                           const Ref<OperationQueue>& queue, CompletionHandler handler) {
    Dictionary params = otherProperties;
    params.set("status", Value(statusText));
    if (accessToken) params.set("access_token", Value(*accessToken));
    std::string path = "/2/statuses/update.json";
    if (picture && !picture->imageData().empty()) {
        params.set("pic", Value(picture->imageData()));
        path = "/2/statuses/upload.json";
    } else if (pictureURL) {
        params.set("url", Value(*pictureURL));
        path = "/2/statuses/upload_url_text.json";
    }
    return requestWithURL(std::string(kMicroblogSocialAPIBaseURL) + path, "POST", std::move(params), queue,
                          std::move(handler));
}

Ref<MBLHttpRequest> MBLHttpRequest::requestForUserProfile(const std::string& userID,
                                                          const std::optional<std::string>& accessToken,
                                                          const Dictionary& otherProperties,
                                                          const Ref<OperationQueue>& queue, CompletionHandler handler) {
    Dictionary params = otherProperties;
    params.set("uid", Value(userID));
    if (accessToken) params.set("access_token", Value(*accessToken));
    auto request = makeRef<MBLHttpRequest>(std::string(kMicroblogSocialAPIBaseURL) + "/2/users/show.json", "GET",
                                           std::move(params));
    request->queue_ = queue;
    request->handler_ = std::move(handler);
    request->resultIsUser_ = true;
    request->connect();
    return request;
}

Ref<MBLHttpRequest> MBLHttpRequest::requestForRenewAccessTokenWithRefreshToken(
    const std::optional<std::string>& refreshToken, const Ref<OperationQueue>& queue, CompletionHandler handler) {
    if (!refreshToken || refreshToken->empty()) return nullptr;
    Dictionary params{{"client_id", Value(MicroblogSDK::registeredAppKey())},
                      {"grant_type", Value("refresh_token")},
                      {"refresh_token", Value(*refreshToken)}};
    return requestWithURL(std::string(kMicroblogSocialAPIBaseURL) + "/oauth2/access_token", "POST", std::move(params),
                          queue, std::move(handler));
}

URLRequest MBLHttpRequest::makeURLRequest() const {
    Ref<HCHTTPRequestSerializer> serializer = HCHTTPRequestSerializer::serializer();
    std::optional<URLRequest> request;
    if (httpMethod_ == "POST" && holdsData(params_)) {
        Dictionary fields;
        for (const auto& [key, value] : params_) {
            if (!value.isData()) fields.set(key, value);
        }
        request = serializer->multipartFormRequestWithMethod(
            "POST", url_, Value(fields), [this](HCMultipartFormData& form) {
                for (const auto& [key, value] : params_) {
                    if (value.isData()) form.appendPartWithFileData(value.bytes(), key, "file", "image/jpeg");
                }
            });
    } else {
        request = serializer->requestWithMethod(httpMethod_, url_, params_.empty() ? Value() : Value(params_));
    }
    if (!request) {
        request.emplace(URL::URLWithString(url_));
        request->setHTTPMethod(httpMethod_);
    }
    request->setMaximumResponseBodySize(kMBLHttpMaxReplyBytes);
    return *request;
}

void MBLHttpRequest::connect() {
    selfWhileLoading_ = std::static_pointer_cast<MBLHttpRequest>(shared_from_this());
    auto start = [self = selfWhileLoading_] {
        if (self->done_) return;
        URLRequest request = self->makeURLRequest();
        if (MicroblogSDK::isDebugMode()) {
            logLine("MicroblogSDK: " + self->httpMethod_ + " " + self->url_);
        }
        if (!request.URL()) {
            self->finish(nullptr, {}, Error::make(kMBLHttpRequestErrorDomain, 0, Dictionary{{"url", Value(self->url_)}}));
            return;
        }
        self->loader_ = std::make_shared<Loader>(self.get());
        self->connection_ = URLConnection::make(std::move(request), self->loader_, false);
        self->connection_->scheduleInRunLoop(RunLoop::main(), std::string(kDefaultRunLoopMode));
        self->connection_->start();
    };
    if (Thread::isMainThread()) {
        start();
    } else {
        Queue::main()->async(std::move(start));
    }
}

void MBLHttpRequest::disconnect() {
    done_ = true;
    if (loader_) loader_->detach();
    if (connection_) connection_->cancel();
    connection_.reset();
    selfWhileLoading_.reset();
}

void MBLHttpRequest::finish(const Ref<URLResponse>& response, const Bytes& body, const Ref<Error>& transportError) {
    if (done_) return;
    done_ = true;
    Ref<MBLHttpRequest> self = std::move(selfWhileLoading_);
    if (loader_) loader_->detach();
    Value result;
    Ref<Error> error = transportError;
    if (!error) {
        const auto http = std::dynamic_pointer_cast<HTTPURLResponse>(response);
        const int status = http ? http->statusCode() : 0;
        Value reply = JSONSerialization::JSONObjectWithData(std::span(body.data(), body.size()), 0, nullptr);
        if (reply.isDictionary() && reply.dictionary().contains("error")) {
            error = Error::make(reply["error"].stringValue(), reply["error_code"].longLongValue(), reply.dictionary());
        } else if (status < 200 || status > 299 || !reply.isDictionary()) {
            error = clientError(status, body);
        } else {
            result = resultIsUser_ ? Value(MicroblogUser::userWithDictionary(reply.dictionary())) : reply;
        }
    }
    if (auto delegate = delegate_.lock()) {
        if (error) {
            delegate->didFailWithError(*this, error);
        } else {
            delegate->didFinishLoadingWithResult(*this, std::string(body.begin(), body.end()));
            delegate->didFinishLoadingWithDataResult(*this, body);
        }
    }
    if (handler_) {
        CompletionHandler handler = std::move(handler_);
        Ref<OperationQueue> queue = queue_ ? queue_ : OperationQueue::mainQueue();
        queue->addOperationWithBlock([handler = std::move(handler), self, result, error] { handler(self, result, error); });
    }
}

}  // namespace lv
