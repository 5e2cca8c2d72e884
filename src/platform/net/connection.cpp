// Connection-style loading over the URL engine.
#include "platform/net/connection.h"

#include <condition_variable>
#include <deque>

#include "platform/dispatch/operation.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/net/detail/engine.h"
#include "platform/net/detail/http_rules.h"
#include "platform/net/errors.h"

namespace lv {

namespace net_detail {

// Engine events → work queued for the connection's thread, handed over once per engine turn (one
// wake-up of that thread for a response, its data and the end). Holds the connection alive while the
// transfer runs.
class ConnectionListener : public TransferListener {
public:
    ConnectionListener(Ref<URLConnection> connection, std::uint64_t gen, std::shared_ptr<TransferFlow> flow)
        : connection_(std::move(connection)), gen_(gen), flow_(std::move(flow)) {}

    void transferReceivedResponse(int status, HTTPHeaders headers) override {
        pending_.push_back([c = connection_, gen = gen_, status, headers = std::move(headers)]() mutable {
            c->handleResponse(gen, status, std::move(headers));
        });
    }
    void transferReceivedData(Bytes chunk) override {
        pending_.push_back([c = connection_, gen = gen_, chunk = std::move(chunk)] { c->handleData(gen, chunk); });
    }
    void transferSentBodyData(std::int64_t sent, std::int64_t total, std::int64_t expected) override {
        pending_.push_back([c = connection_, gen = gen_, sent, total, expected] { c->handleSent(gen, sent, total, expected); });
    }
    void transferNeedsTrustDecision(Ref<Trust> trust) override {
        pending_.push_back([c = connection_, gen = gen_, trust = std::move(trust), flow = flow_] { c->handleTrust(gen, trust, flow); });
    }
    void transferCompleted(int code, Ref<Error> streamError, std::string detail) override {
        pending_.push_back([c = connection_, gen = gen_, code, streamError = std::move(streamError),
                            detail = std::move(detail)] { c->handleCompleted(gen, code, streamError, detail); });
        flush();
    }
    void flush() override {
        if (pending_.empty()) return;
        connection_->post([events = std::move(pending_)] {
            for (const auto& event : events) event();
        });
        pending_.clear();
    }

private:
    Ref<URLConnection> connection_;
    std::uint64_t gen_;
    std::shared_ptr<TransferFlow> flow_;
    std::vector<std::function<void()>> pending_;  // engine thread only
};

}  // namespace net_detail

namespace {

using net_detail::Engine;
using net_detail::isRedirect;
using net_detail::parseChallenge;

bool sameLoop(const Ref<RunLoop>& a, const Ref<RunLoop>& b) { return a.get() == b.get(); }

}  // namespace

Ref<URLConnection> URLConnection::make(URLRequest request, Delegate delegate, bool startImmediately) {
    auto connection = makeRef<URLConnection>(std::move(request), std::move(delegate));
    if (startImmediately) {
        connection->scheduleInRunLoop(RunLoop::current(), std::string(kDefaultRunLoopMode));
        connection->start();
    }
    return connection;
}

URLConnection::URLConnection(URLRequest request, Delegate delegate)
    : originalRequest_(request), currentRequest_(std::move(request)), delegate_(std::move(delegate)) {}

URLConnection::~URLConnection() = default;

void URLConnection::scheduleInRunLoop(const Ref<RunLoop>& runLoop, std::string mode) {
    std::lock_guard lock(mutex_);
    schedules_.emplace_back(runLoop, std::move(mode));
}

void URLConnection::unscheduleFromRunLoop(const Ref<RunLoop>& runLoop, const std::string& mode) {
    std::lock_guard lock(mutex_);
    std::erase_if(schedules_, [&](const auto& s) { return sameLoop(s.first, runLoop) && s.second == mode; });
}

void URLConnection::start() {
    Ref<RunLoop> loop;
    {
        std::lock_guard lock(mutex_);
        if (schedules_.empty()) schedules_.emplace_back(RunLoop::current(), std::string(kDefaultRunLoopMode));
        loop = schedules_.front().first;
        scheduledLoop_ = loop;
    }
    auto self = std::static_pointer_cast<URLConnection>(shared_from_this());
    Weak<URLConnection> weak = self;
    startWithSink([weak, loop](std::function<void()> fn) {
        auto connection = weak.lock();
        std::vector<std::string> modes;
        if (connection) {
            std::lock_guard lock(connection->mutex_);
            for (const auto& [l, mode] : connection->schedules_) {
                if (sameLoop(l, loop)) modes.push_back(mode);
            }
        }
        if (modes.empty()) modes.emplace_back(kDefaultRunLoopMode);
        loop->perform(std::move(fn), std::move(modes));
    });
}

void URLConnection::startWithSink(Sink sink) {
    {
        std::lock_guard lock(mutex_);
        if (started_) return;
        started_ = true;
        sink_ = std::move(sink);
    }
    if (cancelled_.load()) return;
    auto self = std::static_pointer_cast<URLConnection>(shared_from_this());
    if (!currentRequest_.URL()) {
        post([self] { self->fail(makeURLError(URLErrorUnsupportedURL, nullptr)); });
        return;
    }
    if (serveFromCache()) return;
    // The transfer's state belongs to the scheduled thread: launch there (at once when this is it).
    if (onScheduledThread()) {
        launch();
        return;
    }
    post([self] {
        if (!self->cancelled_.load()) self->launch();
    });
}

URLConnection::Delegate URLConnection::currentDelegate() {
    std::lock_guard lock(mutex_);
    return delegate_;
}

URLConnection::Delegate URLConnection::takeDelegate() {
    std::lock_guard lock(mutex_);
    return std::exchange(delegate_, nullptr);
}

bool URLConnection::onScheduledThread() {
    std::lock_guard lock(mutex_);
    return scheduledLoop_ && scheduledLoop_.get() == RunLoop::current().get();
}

void URLConnection::post(std::function<void()> fn) {
    Sink sink;
    {
        std::lock_guard lock(mutex_);
        sink = sink_;
    }
    sink(std::move(fn));
}

bool URLConnection::serveFromCache() {
    const auto policy = currentRequest_.cachePolicy();
    const bool mayRead = policy == URLRequestCachePolicy::UseProtocolCachePolicy ||
                         policy == URLRequestCachePolicy::ReturnCacheDataElseLoad ||
                         policy == URLRequestCachePolicy::ReturnCacheDataDontLoad;
    if (!mayRead) return false;
    auto& cache = URLCache::shared();
    auto cached = cache.cachedResponseForRequest(currentRequest_);
    if (cached && policy == URLRequestCachePolicy::UseProtocolCachePolicy && !cache.isFresh(currentRequest_)) {
        cached = nullptr;
    }
    auto self = std::static_pointer_cast<URLConnection>(shared_from_this());
    if (!cached) {
        if (policy != URLRequestCachePolicy::ReturnCacheDataDontLoad) return false;
        post([self] { self->fail(makeURLError(URLErrorResourceUnavailable, self->currentRequest_.URL())); });
        return true;
    }
    post([self, cached] {
        if (!self->live(0)) return;
        auto delegate = self->currentDelegate();
        if (!delegate) return;
        delegate->didReceiveResponse(*self, cached->response());
        if (!self->live(0)) return;
        if (!cached->data().empty()) delegate->didReceiveData(*self, cached->data());
        if (!self->live(0)) return;
        self->done_ = true;
        self->takeDelegate();
        delegate->didFinishLoading(*self);
    });
    return true;
}

Ref<Error> URLConnection::prepareBody(URLRequest& request, std::shared_ptr<net_detail::BodyPump>& pump) {
    Ref<InputStream> stream = request.HTTPBodyStream();
    if (!stream) return nullptr;
    if (stream == usedBodyStream_) {
        // A redirect or retry needs the body again from the start.
        Ref<InputStream> fresh;
        auto delegate = currentDelegate();
        if (delegate && delegate->providesNewBodyStreams()) {
            fresh = delegate->needNewBodyStream(*this, request);
        } else {
            fresh = stream->copy();
        }
        if (!fresh) return makeURLError(URLErrorRequestBodyStreamExhausted, request.URL());
        request.setHTTPBodyStream(fresh);
        stream = fresh;
    }
    usedBodyStream_ = stream;
    std::int64_t length = -1;
    if (const auto text = request.valueForHTTPHeaderField("Content-Length")) {
        length = readLongLong(*text);
        if (length < 0) length = -1;
    }
    pump = std::make_shared<net_detail::BodyPump>(stream, length);
    return nullptr;
}

void URLConnection::launch() {
    const Ref<URL>& url = currentRequest_.URL();
    const auto scheme = url->scheme();
    std::string lowerScheme = scheme.value_or("");
    for (char& c : lowerScheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto host = url->host();
    if ((lowerScheme != "http" && lowerScheme != "https") || !host || host->empty()) {
        fail(makeURLError(URLErrorUnsupportedURL, url));
        return;
    }
    net_detail::TransferSpec spec;
    if (auto error = prepareBody(currentRequest_, spec.bodyPump)) {
        fail(error);
        return;
    }
    spec.url = url->absoluteString();
    if (const auto hash = spec.url.find('#'); hash != std::string::npos) spec.url.erase(hash);
    spec.method = currentRequest_.HTTPMethod();
    spec.headers = currentRequest_.allHTTPHeaderFields();
    spec.body = currentRequest_.HTTPBody();
    spec.timeout = currentRequest_.timeoutInterval();
    spec.handleCookies = currentRequest_.HTTPShouldHandleCookies();
    // The load's bounds are the original request's, whatever a redirect or retry rewrites.
    spec.maxBodySize = originalRequest_.maximumResponseBodySize();
    if (!deadline_ && originalRequest_.resourceTimeoutInterval() > 0) {
        deadline_ = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(std::min(originalRequest_.resourceTimeoutInterval(), 1e9)));
    }
    spec.deadline = deadline_;
    if (credential_) {
        spec.user = credential_->user();
        spec.password = credential_->password();
        spec.digest = digest_;
    }
    response_.reset();
    held_ = false;
    heldBody_.clear();
    cacheBody_.reset();
    if (auto delegate = currentDelegate()) spec.askTrust = delegate->handlesAuthenticationChallenges();
    const std::uint64_t gen = ++generation_;
    auto flow = std::make_shared<net_detail::TransferFlow>();
    auto listener = std::make_shared<net_detail::ConnectionListener>(
        std::static_pointer_cast<URLConnection>(shared_from_this()), gen, flow);
    const std::uint64_t id = Engine::shared().add(std::move(spec), std::move(listener), flow);
    std::lock_guard lock(mutex_);
    transferId_ = id;
    flow_ = flow;
}

void URLConnection::cancel() {
    if (cancelled_.exchange(true)) return;
    std::uint64_t id;
    std::shared_ptr<net_detail::TransferFlow> flow;
    {
        std::lock_guard lock(mutex_);
        id = transferId_;
        flow = flow_;
    }
    if (flow) flow->cancelTrust();  // the engine may be waiting for a trust answer
    if (id) Engine::shared().cancel(id);
    // A delegate call in progress keeps its own reference.
    takeDelegate();
}

void URLConnection::handleResponse(std::uint64_t gen, int status, HTTPHeaders headers) {
    if (!live(gen)) return;
    response_ = makeRef<HTTPURLResponse>(currentRequest_.URL(), status, std::move(headers));
    held_ = false;
    if (isRedirect(status) && response_->valueForHTTPHeaderField("Location")) {
        held_ = true;
    } else if (status == 401 || status == 407) {
        const auto field = response_->valueForHTTPHeaderField(status == 401 ? "WWW-Authenticate" : "Proxy-Authenticate");
        held_ = field && parseChallenge(*field);
    }
    if (held_) return;
    if (currentRequest_.HTTPMethod() == "GET" && URLCache::shared().memoryCapacity() > 0 &&
        currentRequest_.cachePolicy() != URLRequestCachePolicy::ReloadIgnoringLocalAndRemoteCacheData &&
        URLCache::freshnessLifetime(*response_)) {
        cacheBody_.emplace();
    }
    auto delegate = currentDelegate();
    if (!delegate) return;
    delegate->didReceiveResponse(*this, response_);
}

void URLConnection::handleData(std::uint64_t gen, const Bytes& chunk) {
    std::shared_ptr<net_detail::TransferFlow> flow;
    {
        std::lock_guard lock(mutex_);
        flow = flow_;
    }
    if (flow && gen == generation_) {
        const auto left = flow->undelivered.fetch_sub(static_cast<std::int64_t>(chunk.size())) -
                          static_cast<std::int64_t>(chunk.size());
        if (flow->paused.load() && left < Engine::kResumeBelow) Engine::shared().wakeup();
    }
    if (!live(gen)) return;
    if (held_) {
        heldBody_.insert(heldBody_.end(), chunk.begin(), chunk.end());
        return;
    }
    if (cacheBody_) cacheBody_->insert(cacheBody_->end(), chunk.begin(), chunk.end());
    auto delegate = currentDelegate();
    if (!delegate) return;
    delegate->didReceiveData(*this, chunk);
}

void URLConnection::handleSent(std::uint64_t gen, std::int64_t sent, std::int64_t total, std::int64_t expected) {
    if (!live(gen)) return;
    auto delegate = currentDelegate();
    if (!delegate) return;
    delegate->didSendBodyData(*this, sent, total, expected);
}

void URLConnection::handleCompleted(std::uint64_t gen, int code, const Ref<Error>& streamError,
                                    const std::string& detail) {
    if (!live(gen)) return;
    {
        std::lock_guard lock(mutex_);
        transferId_ = 0;
    }
    if (streamError) {
        fail(withFailingURL(streamError, currentRequest_.URL()));
    } else if (code != 0) {
        Ref<Error> underlying;
        if (!detail.empty()) {
            Dictionary info;
            info.set(std::string(kLocalizedDescriptionKey), Value(detail));
            underlying = Error::make("libcurl", code, std::move(info));
        }
        fail(makeURLError(code, currentRequest_.URL(), underlying));
    } else if (held_ && isRedirect(response_->statusCode())) {
        followRedirect();
    } else if (held_) {
        answerChallenge();
    } else {
        finishLoading();
    }
}

void URLConnection::handleTrust(std::uint64_t gen, const Ref<Trust>& trust,
                                const std::shared_ptr<net_detail::TransferFlow>& flow) {
    using TrustAnswer = net_detail::TransferFlow::TrustAnswer;
    auto delegate = currentDelegate();
    if (!live(gen) || !delegate) {
        flow->answerTrust(TrustAnswer::Cancel);
        return;
    }
    const Ref<URL>& url = currentRequest_.URL();
    auto space = makeRef<ProtectionSpace>(url->host().value_or(""), url->effectivePort().value_or(0),
                                          url->scheme().value_or(""), std::nullopt,
                                          std::string(kAuthenticationMethodServerTrust), trust);
    auto challenge = makeRef<AuthenticationChallenge>(space, nullptr, 0, nullptr,
                                                       static_cast<AuthenticationChallengeSender*>(this));
    challenge_ = challenge.get();
    answer_ = Answer::None;
    answeredCredential_.reset();
    delegate->willSendRequestForAuthenticationChallenge(*this, challenge);
    challenge_ = nullptr;
    TrustAnswer decision = TrustAnswer::Cancel;
    switch (cancelled_.load() ? Answer::Cancel : answer_) {
        case Answer::Use:
            decision = answeredCredential_->trust() ? TrustAnswer::Accept : TrustAnswer::Evaluate;
            break;
        case Answer::Continue:
        case Answer::Default:
        case Answer::Reject:
            decision = TrustAnswer::Evaluate;
            break;
        case Answer::None:
        case Answer::Cancel:
            break;
    }
    answeredCredential_.reset();
    flow->answerTrust(decision);
}

void URLConnection::followRedirect() {
    if (++redirects_ > 16) {
        fail(makeURLError(URLErrorHTTPTooManyRedirects, currentRequest_.URL()));
        return;
    }
    const auto proposed = net_detail::redirectRequest(currentRequest_, *response_);
    if (!proposed) {
        deliverHeld();
        return;
    }
    auto delegate = currentDelegate();
    if (!delegate) return;
    auto next = delegate->willSendRequest(*this, *proposed, response_);
    if (cancelled_.load()) return;
    if (!next || !next->URL()) {
        deliverHeld();
        return;
    }
    currentRequest_ = std::move(*next);
    credential_.reset();
    launch();
}

void URLConnection::answerChallenge() {
    const auto field = response_->valueForHTTPHeaderField(response_->statusCode() == 401 ? "WWW-Authenticate"
                                                                                         : "Proxy-Authenticate");
    const auto info = parseChallenge(*field);
    const Ref<URL>& url = currentRequest_.URL();
    auto space = makeRef<ProtectionSpace>(url->host().value_or(""), url->effectivePort().value_or(0),
                                          url->scheme().value_or(""), info->realm, info->method);
    auto challenge = makeRef<AuthenticationChallenge>(space, credential_, failures_, response_,
                                                       static_cast<AuthenticationChallengeSender*>(this));
    challenge_ = challenge.get();
    answer_ = Answer::None;
    answeredCredential_.reset();
    auto delegate = currentDelegate();
    if (!delegate) return;
    if (delegate->handlesAuthenticationChallenges()) {
        delegate->willSendRequestForAuthenticationChallenge(*this, challenge);
    } else {
        answer_ = Answer::Default;
    }
    challenge_ = nullptr;
    if (cancelled_.load()) return;
    switch (answer_) {
        case Answer::Use:
            ++failures_;
            credential_ = answeredCredential_;
            digest_ = info->method == kAuthenticationMethodHTTPDigest;
            launch();
            return;
        case Answer::Continue:
        case Answer::Default:
        case Answer::Reject:
            deliverHeld();
            return;
        case Answer::None:
        case Answer::Cancel:
            fail(makeURLError(URLErrorUserCancelledAuthentication, url));
            return;
    }
}

void URLConnection::deliverHeld() {
    held_ = false;
    auto delegate = currentDelegate();
    if (!delegate) return;
    delegate->didReceiveResponse(*this, response_);
    if (cancelled_.load()) return;
    if (!heldBody_.empty()) {
        Bytes body = std::move(heldBody_);
        heldBody_.clear();
        delegate->didReceiveData(*this, body);
        if (cancelled_.load()) return;
    }
    finishLoading();
}

void URLConnection::finishLoading() {
    auto delegate = currentDelegate();
    if (!delegate) return;
    if (cacheBody_ && response_) {
        auto cached = makeRef<CachedURLResponse>(response_, std::move(*cacheBody_));
        cacheBody_.reset();
        cached = delegate->willCacheResponse(*this, cached);
        if (cancelled_.load()) return;
        if (cached) URLCache::shared().storeCachedResponse(cached, currentRequest_);
    }
    done_ = true;
    takeDelegate();
    delegate->didFinishLoading(*this);
}

void URLConnection::fail(Ref<Error> error) {
    if (done_ || cancelled_.load()) return;
    done_ = true;
    auto delegate = takeDelegate();
    if (!delegate) return;
    delegate->didFailWithError(*this, error);
}

void URLConnection::useCredential(const Ref<URLCredential>& credential, const AuthenticationChallenge& challenge) {
    if (&challenge != challenge_) return;
    answer_ = credential ? Answer::Use : Answer::Continue;
    answeredCredential_ = credential;
}

void URLConnection::continueWithoutCredentialForAuthenticationChallenge(const AuthenticationChallenge& challenge) {
    if (&challenge == challenge_) answer_ = Answer::Continue;
}

void URLConnection::cancelAuthenticationChallenge(const AuthenticationChallenge& challenge) {
    if (&challenge == challenge_) answer_ = Answer::Cancel;
}

void URLConnection::performDefaultHandlingForAuthenticationChallenge(const AuthenticationChallenge& challenge) {
    if (&challenge == challenge_) answer_ = Answer::Default;
}

void URLConnection::rejectProtectionSpaceAndContinueWithChallenge(const AuthenticationChallenge& challenge) {
    if (&challenge == challenge_) answer_ = Answer::Reject;
}

namespace {

// Collects one synchronous load.
class Collector : public URLConnectionDelegate {
public:
    void didReceiveResponse(URLConnection&, const Ref<URLResponse>& r) override {
        response = r;
        data.clear();
    }
    void didReceiveData(URLConnection&, const Bytes& chunk) override { data.insert(data.end(), chunk.begin(), chunk.end()); }
    void didFinishLoading(URLConnection&) override { done = true; }
    void didFailWithError(URLConnection&, const Ref<Error>& e) override {
        error = e;
        done = true;
    }
    Ref<URLResponse> response;
    Bytes data;
    Ref<Error> error;
    bool done = false;
};

struct Inbox {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::function<void()>> items;
};

}  // namespace

std::optional<Bytes> URLConnection::sendSynchronousRequest(const URLRequest& request, Ref<URLResponse>* response,
                                                           Ref<Error>* error) {
    auto collector = std::make_shared<Collector>();
    auto inbox = std::make_shared<Inbox>();
    auto connection = makeRef<URLConnection>(request, collector);
    connection->startWithSink([inbox](std::function<void()> fn) {
        {
            std::lock_guard lock(inbox->mutex);
            inbox->items.push_back(std::move(fn));
        }
        inbox->ready.notify_one();
    });
    // The delegate calls run here, on the calling thread, as they arrive.
    while (!collector->done) {
        std::function<void()> next;
        {
            std::unique_lock lock(inbox->mutex);
            inbox->ready.wait(lock, [&] { return !inbox->items.empty(); });
            next = std::move(inbox->items.front());
            inbox->items.pop_front();
        }
        next();
    }
    if (response) *response = collector->response;
    setError(error, collector->error);
    if (collector->error) return std::nullopt;
    return std::move(collector->data);
}

void URLConnection::sendAsynchronousRequest(const URLRequest& request, const Ref<OperationQueue>& queue,
                                            CompletionHandler handler) {
    Queue::global()->async([request, queue, handler = std::move(handler)] {
        Ref<URLResponse> response;
        Ref<Error> error;
        auto data = sendSynchronousRequest(request, &response, &error);
        queue->addOperationWithBlock([handler, response, data = std::move(data), error] { handler(response, data, error); });
    });
}

}  // namespace lv
