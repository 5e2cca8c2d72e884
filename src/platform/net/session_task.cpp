// Session tasks over the URL engine: the engine's events go to the task's delegate queue, where an
// inbox holds them while the task is suspended or a delegate answer is outstanding.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>

#include "platform/dispatch/operation.h"
#include "platform/net/detail/session_internal.h"
#include "platform/net/errors.h"
#include "platform/net/session.h"

namespace lv {

using net_detail::Engine;
using net_detail::ResumeInfo;
using net_detail::TransferFlow;

namespace {

std::mutex hookMutex;
URLSessionTask::StateHook& stateHook = *new URLSessionTask::StateHook;  // never destroyed

void callHook(URLSessionTask& task, URLSessionTaskState before, URLSessionTaskState after) {
    URLSessionTask::StateHook hook;
    {
        std::lock_guard lock(hookMutex);
        hook = stateHook;
    }
    if (hook) hook(task, before, after);
}

// Runs the wrapped call once, however often (and from whichever thread) it is called.
template <class... Args>
std::function<void(Args...)> once(std::function<void(Args...)> fn) {
    auto used = std::make_shared<std::atomic<bool>>(false);
    return [used, fn = std::move(fn)](Args... args) {
        if (!used->exchange(true)) fn(std::move(args)...);
    };
}

Ref<ProtectionSpace> spaceFor(const Ref<URL>& url, std::optional<std::string> realm, std::string method, Ref<Trust> trust = nullptr) {
    return makeRef<ProtectionSpace>(url->host().value_or(""), url->effectivePort().value_or(0), url->scheme().value_or(""),
                                    std::move(realm), std::move(method), std::move(trust));
}

}  // namespace

void URLSessionTask::setStateHook(StateHook hook) {
    std::lock_guard lock(hookMutex);
    stateHook = std::move(hook);
}

URLSessionTask::URLSessionTask(Kind kind, Setup setup)
    : kind_(kind),
      identifier_(setup.identifier),
      originalRequest_(setup.request),
      session_(std::move(setup.session)),
      currentRequest_(std::move(setup.request)),
      work_(std::make_unique<Work>()) {}

URLSessionTask::~URLSessionTask() {
    if (work_->fd >= 0) ::close(work_->fd);
    if (!work_->path.empty() && !work_->keepFile) ::unlink(work_->path.c_str());
}

std::string URLSessionTask::taskDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void URLSessionTask::setTaskDescription(std::string description) {
    std::lock_guard lock(mutex_);
    description_ = std::move(description);
}

URLRequest URLSessionTask::currentRequest() const {
    std::lock_guard lock(mutex_);
    return currentRequest_;
}

Ref<URLResponse> URLSessionTask::response() const {
    std::lock_guard lock(mutex_);
    return response_;
}

Ref<Error> URLSessionTask::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

URLSessionTaskState URLSessionTask::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::int64_t URLSessionTask::countOfBytesSent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

std::int64_t URLSessionTask::countOfBytesExpectedToSend() const {
    std::lock_guard lock(mutex_);
    return expectedToSend_;
}

std::int64_t URLSessionTask::countOfBytesReceived() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::int64_t URLSessionTask::countOfBytesExpectedToReceive() const {
    std::lock_guard lock(mutex_);
    return expectedToReceive_;
}

void URLSessionTask::setResumeInfo(const std::optional<ResumeInfo>& info) {
    work_->resume = info;
    work_->badResumeData = !info;
}

URLSessionTask* URLSessionTask::target() {
    std::lock_guard lock(mutex_);
    return successor_ ? successor_.get() : this;
}

void URLSessionTask::post(std::function<void()> fn) { session_->queue_->addOperationWithBlock(std::move(fn)); }

void URLSessionTask::resume() {
    bool launchNow = false;
    {
        std::lock_guard lock(mutex_);
        if (state_ != URLSessionTaskState::Suspended) return;
        state_ = URLSessionTaskState::Running;
        launchNow = !started_;
        started_ = true;
    }
    callHook(*this, URLSessionTaskState::Suspended, URLSessionTaskState::Running);
    auto self = std::static_pointer_cast<URLSessionTask>(shared_from_this());
    if (launchNow) {
        launch();
        return;
    }
    post([self] {
        std::shared_ptr<TransferFlow> flow;
        {
            std::lock_guard lock(self->mutex_);
            flow = self->flow_;
        }
        if (flow && !self->work_->awaiting) {
            flow->held.store(false);
            Engine::shared().wakeup();
        }
        self->pump();
    });
}

void URLSessionTask::suspend() {
    {
        std::lock_guard lock(mutex_);
        if (state_ != URLSessionTaskState::Running) return;
        state_ = URLSessionTaskState::Suspended;
        if (flow_) flow_->held.store(true);
    }
    callHook(*this, URLSessionTaskState::Running, URLSessionTaskState::Suspended);
}

void URLSessionTask::cancel() {
    std::uint64_t id = 0;
    std::shared_ptr<TransferFlow> flow;
    {
        std::lock_guard lock(mutex_);
        if (state_ == URLSessionTaskState::Canceling || state_ == URLSessionTaskState::Completed) return;
        state_ = URLSessionTaskState::Canceling;
        id = std::exchange(transferId_, 0);
        flow = flow_;
    }
    if (flow) flow->cancelTrust();  // the engine may be waiting for a trust answer
    if (id) Engine::shared().cancel(id);
    auto self = std::static_pointer_cast<URLSessionTask>(shared_from_this());
    post([self] { self->finishCancel(nullptr); });
}

void URLSessionTask::enqueue(std::uint64_t gen, std::vector<Event> events) {
    URLSessionTask* t = target();
    if (t->work_->done || gen != t->work_->generation) return;
    for (auto& event : events) t->work_->inbox.push_back(std::move(event));
    t->pump();
}

void URLSessionTask::pump() {
    Work& w = *work_;
    while (!w.inbox.empty() && !w.awaiting && !w.done && state() == URLSessionTaskState::Running) {
        Event event = std::move(w.inbox.front());
        w.inbox.pop_front();
        event(*this);
    }
}

// Runs on the resuming thread, so that a task's first transfer starts without a hop through the
// delegate queue. It touches only locked fields and what is fixed when the task is made; whatever
// calls the delegate goes to the delegate queue.
void URLSessionTask::launch() {
    auto self = std::static_pointer_cast<URLSessionTask>(shared_from_this());
    auto failLater = [self](Ref<Error> error) { self->post([self, error] { self->complete(error); }); };
    const Work& w = *work_;
    if (w.badResumeData) {
        failLater(makeURLError(URLErrorCannotCreateFile, nullptr));
        return;
    }
    URLRequest request = currentRequest();
    const Ref<URL>& url = request.URL();
    std::string scheme = url ? url->scheme().value_or("") : "";
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto host = url ? url->host() : std::nullopt;
    if ((scheme != "http" && scheme != "https") || !host || host->empty()) {
        failLater(makeURLError(URLErrorUnsupportedURL, url));
        return;
    }
    const auto& configuration = *session_->configuration_;
    for (const auto& [name, value] : configuration.HTTPAdditionalHeaders().fields()) {
        if (!request.valueForHTTPHeaderField(name)) request.setValue(value, name);
    }
    if (request.timeoutInterval() == kDefaultTimeoutInterval) request.setTimeoutInterval(configuration.timeoutIntervalForRequest());
    if (request.cachePolicy() == URLRequestCachePolicy::UseProtocolCachePolicy) {
        request.setCachePolicy(configuration.requestCachePolicy());
    }
    if (!configuration.HTTPShouldSetCookies()) request.setHTTPShouldHandleCookies(false);
    if (w.resume) {
        request.setValue("bytes=" + std::to_string(w.resume->bytes) + "-", "Range");
        request.setValue(w.resume->validator, "If-Range");
    }
    std::int64_t expectedToSend = -1;
    if (uploadData_) {
        request.setHTTPBody(uploadData_);
        expectedToSend = static_cast<std::int64_t>(uploadData_->size());
    } else if (uploadFile_) {
        struct stat info {};
        if (::stat(uploadFile_->c_str(), &info) != 0) {
            failLater(makeURLError(URLErrorRequestBodyStreamExhausted, url));
            return;
        }
        request.setValue(std::to_string(info.st_size), "Content-Length");
        request.setHTTPBodyStream(InputStream::withFileAtPath(*uploadFile_));
        expectedToSend = static_cast<std::int64_t>(info.st_size);
    } else if (const auto length = request.valueForHTTPHeaderField("Content-Length"); streamedUpload_ && length) {
        expectedToSend = std::atoll(length->c_str());
    }
    {
        std::lock_guard lock(mutex_);
        currentRequest_ = request;
        if (kind_ == Kind::Upload) expectedToSend_ = expectedToSend;
    }
    if (kind_ != Kind::Download && cacheMayAnswer(request)) {
        post([self, request] {
            if (!self->serveFromCache(request)) self->startTransfer(request.HTTPBodyStream());
        });
        return;
    }
    if (streamedUpload_ && !request.HTTPBodyStream()) {
        post([self] { self->askBodyStream(); });
        return;
    }
    startTransfer(request.HTTPBodyStream());
}

// Delegate queue: a body stream for a streamed upload without one, or for a retry: the delegate's,
// else a copy of the one used.
void URLSessionTask::askBodyStream() {
    const Ref<InputStream> used = currentRequest().HTTPBodyStream();
    auto delegate = session_->delegate();
    if (delegate && delegate->respondsTo(URLSessionDelegateCall::NeedNewBodyStream)) {
        work_->awaiting = true;
        auto self = std::static_pointer_cast<URLSessionTask>(shared_from_this());
        delegate->needNewBodyStream(*session_, *this, once(std::function<void(Ref<InputStream>)>([self](Ref<InputStream> stream) {
            self->post([self, stream] {
                self->work_->awaiting = false;
                if (!stream) {
                    self->fail(makeURLError(URLErrorRequestBodyStreamExhausted, self->currentRequest().URL()));
                    return;
                }
                self->startTransfer(stream);
            });
        })));
        return;
    }
    auto copy = used ? used->copy() : nullptr;
    if (!copy) {
        fail(makeURLError(URLErrorRequestBodyStreamExhausted, currentRequest().URL()));
        return;
    }
    startTransfer(copy);
}

// On the resuming thread (first transfer) or the delegate queue (retries).
void URLSessionTask::startTransfer(Ref<InputStream> stream) {
    const Work& w = *work_;
    URLRequest request = currentRequest();
    net_detail::TransferSpec spec;
    if (stream) {
        request.setHTTPBodyStream(stream);
        std::int64_t length = -1;
        if (const auto text = request.valueForHTTPHeaderField("Content-Length")) length = std::atoll(text->c_str());
        spec.bodyPump = std::make_shared<net_detail::BodyPump>(stream, length < 0 ? -1 : length);
    }
    spec.url = request.URL()->absoluteString();
    if (const auto hash = spec.url.find('#'); hash != std::string::npos) spec.url.erase(hash);
    spec.method = request.HTTPMethod();
    spec.headers = request.allHTTPHeaderFields();
    spec.body = request.HTTPBody();
    spec.timeout = request.timeoutInterval();
    spec.handleCookies = request.HTTPShouldHandleCookies();
    spec.maxBodySize = request.maximumResponseBodySize();
    // The session's tasks share its per-host limit (the session's address names its pool).
    spec.pool = reinterpret_cast<std::uintptr_t>(session_.get());
    spec.maxPerHost = session_->configuration_->HTTPMaximumConnectionsPerHost();
    if (w.credential) {
        spec.user = w.credential->user();
        spec.password = w.credential->password();
        spec.digest = w.digest;
    }
    if (auto delegate = session_->delegate()) {
        spec.askTrust = delegate->respondsTo(URLSessionDelegateCall::TaskDidReceiveChallenge) ||
                        delegate->respondsTo(URLSessionDelegateCall::SessionDidReceiveChallenge);
    }
    const std::uint64_t gen = work_->generation.fetch_add(1) + 1;
    auto flow = std::make_shared<TransferFlow>();
    auto self = std::static_pointer_cast<URLSessionTask>(shared_from_this());
    std::lock_guard lock(mutex_);
    if (state_ == URLSessionTaskState::Canceling || state_ == URLSessionTaskState::Completed) return;
    if (state_ == URLSessionTaskState::Suspended) flow->held.store(true);
    if (!deadline_) {
        double seconds = std::min(session_->configuration_->timeoutIntervalForResource(), 1e9);
        if (request.resourceTimeoutInterval() > 0) seconds = std::min(seconds, request.resourceTimeoutInterval());
        deadline_ = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    }
    spec.deadline = deadline_;
    currentRequest_ = request;
    flow_ = flow;
    transferId_ = Engine::shared().add(std::move(spec), std::make_shared<net_detail::SessionListener>(self, gen, flow), flow);
}

bool URLSessionTask::cacheMayAnswer(const URLRequest& request) const {
    const auto policy = request.cachePolicy();
    if (policy == URLRequestCachePolicy::ReturnCacheDataDontLoad) return true;
    return (policy == URLRequestCachePolicy::UseProtocolCachePolicy || policy == URLRequestCachePolicy::ReturnCacheDataElseLoad) &&
           session_->cache().cachedResponseForRequest(request);
}

// Answers from the session's cache as the request's policy allows: a fresh entry (protocol
// policy), any entry (2), only an entry (3, else -1008).
bool URLSessionTask::serveFromCache(const URLRequest& request) {
    const auto policy = request.cachePolicy();
    if (policy != URLRequestCachePolicy::UseProtocolCachePolicy && policy != URLRequestCachePolicy::ReturnCacheDataElseLoad &&
        policy != URLRequestCachePolicy::ReturnCacheDataDontLoad) {
        return false;
    }
    auto& cache = session_->cache();
    auto cached = cache.cachedResponseForRequest(request);
    if (cached && policy == URLRequestCachePolicy::UseProtocolCachePolicy && !cache.isFresh(request)) cached = nullptr;
    auto response = cached ? std::dynamic_pointer_cast<HTTPURLResponse>(cached->response()) : nullptr;
    if (!response) {
        if (policy != URLRequestCachePolicy::ReturnCacheDataDontLoad) return false;
        complete(makeURLError(URLErrorResourceUnavailable, request.URL()));
        return true;
    }
    Work& w = *work_;
    w.fromCache = true;
    w.response = response;
    w.inbox.push_back([data = cached->data()](URLSessionTask& t) {
        if (!data.empty()) t.deliverData(data);
    });
    w.inbox.push_back([](URLSessionTask& t) { t.finishLoading(); });
    deliverResponse();
    pump();
    return true;
}

void URLSessionTask::handleResponse(int status, HTTPHeaders headers) {
    Work& w = *work_;
    w.response = makeRef<HTTPURLResponse>(currentRequest().URL(), status, std::move(headers));
    w.held = false;
    if (net_detail::isRedirect(status) && w.response->valueForHTTPHeaderField("Location")) {
        w.held = true;
    } else if (status == 401 || status == 407) {
        const auto field = w.response->valueForHTTPHeaderField(status == 401 ? "WWW-Authenticate" : "Proxy-Authenticate");
        w.held = field && net_detail::parseChallenge(*field);
    }
    if (!w.held) deliverResponse();
}

void URLSessionTask::deliverResponse() {
    Work& w = *work_;
    {
        std::lock_guard lock(mutex_);
        response_ = w.response;
        expectedToReceive_ = w.response->expectedContentLength();
    }
    if (kind_ == Kind::Download) {
        openDownloadFile();
        return;
    }
    const URLRequest request = currentRequest();
    if (!w.fromCache && request.HTTPMethod() == "GET" && session_->cache().memoryCapacity() > 0 &&
        request.cachePolicy() != URLRequestCachePolicy::ReloadIgnoringLocalAndRemoteCacheData &&
        URLCache::freshnessLifetime(*w.response)) {
        w.cacheBody.emplace();
    }
    auto delegate = session_->delegate();
    if (!delegate || !delegate->respondsTo(URLSessionDelegateCall::DidReceiveResponse)) return;
    w.awaiting = true;
    hold(true);
    auto self = std::static_pointer_cast<URLSessionTask>(shared_from_this());
    delegate->didReceiveResponse(*session_, static_cast<URLSessionDataTask&>(*this), w.response,
                                 once(std::function<void(URLSessionResponseDisposition)>([self](URLSessionResponseDisposition d) {
                                     self->post([self, d] { self->afterDisposition(d); });
                                 })));
}

void URLSessionTask::hold(bool held) {
    std::shared_ptr<TransferFlow> flow;
    {
        std::lock_guard lock(mutex_);
        flow = flow_;
        held = held || state_ == URLSessionTaskState::Suspended;
    }
    if (!flow) return;
    flow->held.store(held);
    if (!held) Engine::shared().wakeup();
}

void URLSessionTask::afterDisposition(URLSessionResponseDisposition disposition) {
    Work& w = *work_;
    if (w.done) return;
    w.awaiting = false;
    switch (disposition) {
        case URLSessionResponseDisposition::Allow:
            hold(false);
            pump();
            return;
        case URLSessionResponseDisposition::BecomeDownload:
            if (kind_ != Kind::Upload) {
                becomeDownload();
                return;
            }
            [[fallthrough]];
        case URLSessionResponseDisposition::Cancel:
            cancel();
            return;
    }
    cancel();
}

void URLSessionTask::becomeDownload() {
    Work& w = *work_;
    auto download = session_->makeSuccessor(*this);
    Work& d = *download->work_;
    d.generation.store(w.generation.load());
    d.response = w.response;
    d.inbox = std::move(w.inbox);
    w.inbox.clear();
    w.done = true;
    {
        std::lock_guard lock(mutex_);
        std::lock_guard other(download->mutex_);
        download->currentRequest_ = currentRequest_;
        download->response_ = response_;
        download->expectedToReceive_ = expectedToReceive_;
        download->received_ = received_;
        download->state_ = URLSessionTaskState::Running;
        download->started_ = true;
        download->transferId_ = std::exchange(transferId_, 0);
        download->flow_ = flow_;
        successor_ = download;
        state_ = URLSessionTaskState::Completed;
        flow_.reset();
    }
    if (auto delegate = session_->delegate(); delegate && delegate->respondsTo(URLSessionDelegateCall::DidBecomeDownloadTask)) {
        delegate->didBecomeDownloadTask(*session_, static_cast<URLSessionDataTask&>(*this), *download);
    }
    download->openDownloadFile();
    download->hold(false);
    download->pump();
}

void URLSessionTask::handleData(const Bytes& chunk) {
    std::shared_ptr<TransferFlow> flow;
    {
        std::lock_guard lock(mutex_);
        flow = flow_;
        received_ += static_cast<std::int64_t>(chunk.size());
    }
    if (flow) {
        const auto size = static_cast<std::int64_t>(chunk.size());
        const auto left = flow->undelivered.fetch_sub(size) - size;
        if (flow->paused.load() && left < Engine::kResumeBelow) Engine::shared().wakeup();
    }
    deliverData(chunk);
}

void URLSessionTask::deliverData(const Bytes& chunk) {
    Work& w = *work_;
    if (w.held) {
        w.heldBody.insert(w.heldBody.end(), chunk.begin(), chunk.end());
        return;
    }
    auto delegate = session_->delegate();
    if (kind_ == Kind::Download) {
        if (w.fd < 0) return;  // the file could not be opened: the task has failed
        const std::uint8_t* at = chunk.data();
        std::size_t left = chunk.size();
        while (left > 0) {
            const auto n = ::write(w.fd, at, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                cancelTransfer();
                fail(makeURLError(URLErrorCannotWriteToFile, currentRequest().URL()));
                return;
            }
            at += n;
            left -= static_cast<std::size_t>(n);
        }
        w.written += static_cast<std::int64_t>(chunk.size());
        if (delegate && delegate->respondsTo(URLSessionDelegateCall::DidWriteData)) {
            delegate->didWriteData(*session_, static_cast<URLSessionDownloadTask&>(*this),
                                   static_cast<std::int64_t>(chunk.size()), w.written, w.expectedTotal);
        }
        return;
    }
    if (w.cacheBody) w.cacheBody->insert(w.cacheBody->end(), chunk.begin(), chunk.end());
    if (delegate && delegate->respondsTo(URLSessionDelegateCall::DidReceiveData)) {
        delegate->didReceiveData(*session_, static_cast<URLSessionDataTask&>(*this), chunk);
    }
}

void URLSessionTask::handleSent(std::int64_t sent, std::int64_t total, std::int64_t expected) {
    {
        std::lock_guard lock(mutex_);
        sent_ = total;
        if (expected >= 0) expectedToSend_ = expected;
        expected = expectedToSend_;
    }
    auto delegate = session_->delegate();
    if (delegate && delegate->respondsTo(URLSessionDelegateCall::DidSendBodyData)) {
        delegate->didSendBodyData(*session_, *this, sent, total, expected);
    }
}

void URLSessionTask::askChallenge(const Ref<AuthenticationChallenge>& challenge, URLSessionDelegate::ChallengeHandler handler) {
    auto delegate = session_->delegate();
    if (delegate && delegate->respondsTo(URLSessionDelegateCall::TaskDidReceiveChallenge)) {
        delegate->didReceiveChallenge(*session_, *this, challenge, std::move(handler));
    } else if (delegate && delegate->respondsTo(URLSessionDelegateCall::SessionDidReceiveChallenge)) {
        delegate->didReceiveChallenge(*session_, challenge, std::move(handler));
    } else {
        handler(URLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
    }
}

void URLSessionTask::handleTrust(const Ref<Trust>& trust, const std::shared_ptr<TransferFlow>& flow) {
    using TrustAnswer = TransferFlow::TrustAnswer;
    if (work_->done) {
        flow->answerTrust(TrustAnswer::Cancel);
        return;
    }
    auto challenge = makeRef<AuthenticationChallenge>(
        spaceFor(currentRequest().URL(), std::nullopt, std::string(kAuthenticationMethodServerTrust), trust), nullptr, 0,
        nullptr, nullptr);
    auto self = std::static_pointer_cast<URLSessionTask>(shared_from_this());
    askChallenge(challenge, once(URLSessionDelegate::ChallengeHandler(
                                [self, flow](URLSessionAuthChallengeDisposition d, Ref<URLCredential> credential) {
                                    switch (d) {
                                        case URLSessionAuthChallengeDisposition::UseCredential:
                                            flow->answerTrust(credential && credential->trust() ? TrustAnswer::Accept
                                                                                                : TrustAnswer::Evaluate);
                                            return;
                                        case URLSessionAuthChallengeDisposition::PerformDefaultHandling:
                                        case URLSessionAuthChallengeDisposition::RejectProtectionSpace:
                                            flow->answerTrust(TrustAnswer::Evaluate);
                                            return;
                                        case URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge:
                                            break;
                                    }
                                    self->work_->trustCancelled.store(true);
                                    flow->answerTrust(TrustAnswer::Cancel);
                                })));
}

void URLSessionTask::handleCompleted(int code, const Ref<Error>& streamError, const std::string& detail) {
    Work& w = *work_;
    {
        std::lock_guard lock(mutex_);
        transferId_ = 0;
    }
    const Ref<URL> url = currentRequest().URL();
    if (streamError) {
        fail(withFailingURL(streamError, url));
    } else if (code == URLErrorUserCancelledAuthentication && w.trustCancelled.load()) {
        fail(makeURLError(URLErrorCancelled, url));
    } else if (code != 0) {
        Ref<Error> underlying;
        if (!detail.empty()) {
            Dictionary info;
            info.set(std::string(kLocalizedDescriptionKey), Value(detail));
            underlying = Error::make("libcurl", code, std::move(info));
        }
        fail(makeURLError(code, url, underlying));
    } else if (w.held && net_detail::isRedirect(w.response->statusCode())) {
        followRedirect();
    } else if (w.held) {
        answerAuthentication();
    } else {
        finishLoading();
    }
}

// Delegate queue: the request again (after a redirect or with a credential).
void URLSessionTask::retry() {
    Work& w = *work_;
    w.response.reset();
    w.held = false;
    w.heldBody.clear();
    w.cacheBody.reset();
    w.inbox.clear();
    if (currentRequest().HTTPBodyStream()) {
        askBodyStream();
        return;
    }
    startTransfer(nullptr);
}

void URLSessionTask::followRedirect() {
    Work& w = *work_;
    const URLRequest current = currentRequest();
    if (++w.redirects > 16) {
        fail(makeURLError(URLErrorHTTPTooManyRedirects, current.URL()));
        return;
    }
    const auto proposed = net_detail::redirectRequest(current, *w.response);
    if (!proposed) {
        deliverHeld();
        return;
    }
    auto proceed = [this](std::optional<URLRequest> next) {
        if (work_->done) return;
        if (!next || !next->URL()) {
            deliverHeld();
            return;
        }
        {
            std::lock_guard lock(mutex_);
            currentRequest_ = std::move(*next);
        }
        work_->credential.reset();
        retry();
    };
    auto delegate = session_->delegate();
    if (!delegate || !delegate->respondsTo(URLSessionDelegateCall::WillPerformHTTPRedirection)) {
        proceed(proposed);
        return;
    }
    w.awaiting = true;
    auto self = std::static_pointer_cast<URLSessionTask>(shared_from_this());
    delegate->willPerformHTTPRedirection(*session_, *this, w.response, *proposed,
                                         once(std::function<void(std::optional<URLRequest>)>([self, proceed](std::optional<URLRequest> next) {
                                             self->post([self, proceed, next] {
                                                 self->work_->awaiting = false;
                                                 proceed(next);
                                             });
                                         })));
}

void URLSessionTask::answerAuthentication() {
    Work& w = *work_;
    const int status = w.response->statusCode();
    const auto info = net_detail::parseChallenge(*w.response->valueForHTTPHeaderField(status == 401 ? "WWW-Authenticate" : "Proxy-Authenticate"));
    auto challenge = makeRef<AuthenticationChallenge>(spaceFor(currentRequest().URL(), info->realm, info->method), w.credential,
                                                       w.failures, w.response, nullptr);
    const bool digest = info->method == kAuthenticationMethodHTTPDigest;
    w.awaiting = true;
    auto self = std::static_pointer_cast<URLSessionTask>(shared_from_this());
    askChallenge(challenge, once(URLSessionDelegate::ChallengeHandler(
                                [self, digest](URLSessionAuthChallengeDisposition d, Ref<URLCredential> credential) {
                                    self->post([self, d, credential, digest] {
                                        Work& state = *self->work_;
                                        if (state.done) return;
                                        state.awaiting = false;
                                        if (d == URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge) {
                                            self->fail(makeURLError(URLErrorCancelled, self->currentRequest().URL()));
                                        } else if (d == URLSessionAuthChallengeDisposition::UseCredential && credential &&
                                                   !credential->user().empty()) {
                                            ++state.failures;
                                            state.credential = credential;
                                            state.digest = digest;
                                            self->retry();
                                        } else {
                                            self->deliverHeld();
                                        }
                                    });
                                })));
}

void URLSessionTask::deliverHeld() {
    Work& w = *work_;
    w.held = false;
    w.inbox.push_front([](URLSessionTask& t) { t.finishLoading(); });
    if (!w.heldBody.empty()) {
        w.inbox.push_front([body = std::move(w.heldBody)](URLSessionTask& t) { t.deliverData(body); });
        w.heldBody.clear();
    }
    deliverResponse();
    pump();
}

void URLSessionTask::finishLoading() {
    Work& w = *work_;
    if (w.done) return;
    if (kind_ == Kind::Download) {
        if (w.fd >= 0) ::close(std::exchange(w.fd, -1));
        auto delegate = session_->delegate();
        if (!w.path.empty() && delegate && delegate->respondsTo(URLSessionDelegateCall::DidFinishDownloading)) {
            delegate->didFinishDownloadingToURL(*session_, static_cast<URLSessionDownloadTask&>(*this), URL::fileURLWithPath(w.path));
        }
        complete(nullptr);
        return;
    }
    if (!w.cacheBody || !w.response) {
        complete(nullptr);
        return;
    }
    auto cached = makeRef<CachedURLResponse>(w.response, std::move(*w.cacheBody));
    w.cacheBody.reset();
    auto store = [this](const Ref<CachedURLResponse>& answer) {
        if (work_->done) return;
        if (answer) session_->cache().storeCachedResponse(answer, currentRequest());
        complete(nullptr);
    };
    auto delegate = session_->delegate();
    if (!delegate || !delegate->respondsTo(URLSessionDelegateCall::WillCacheResponse)) {
        store(cached);
        return;
    }
    w.awaiting = true;
    auto self = std::static_pointer_cast<URLSessionTask>(shared_from_this());
    delegate->willCacheResponse(*session_, static_cast<URLSessionDataTask&>(*this), cached,
                                once(std::function<void(Ref<CachedURLResponse>)>([self, store](Ref<CachedURLResponse> answer) {
                                    self->post([self, store, answer] {
                                        self->work_->awaiting = false;
                                        store(answer);
                                    });
                                })));
}

void URLSessionTask::cancelTransfer() {
    std::uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        id = std::exchange(transferId_, 0);
    }
    if (id) Engine::shared().cancel(id);
}

void URLSessionTask::fail(Ref<Error> error) {
    cancelTransfer();
    complete(std::move(error));
}

void URLSessionTask::complete(Ref<Error> error) {
    Work& w = *work_;
    if (w.done) return;
    w.done = true;
    w.inbox.clear();
    {
        std::lock_guard lock(mutex_);
        state_ = URLSessionTaskState::Completed;
        error_ = error;
        flow_.reset();
    }
    if (w.fd >= 0) ::close(std::exchange(w.fd, -1));
    if (!w.path.empty() && !w.keepFile) ::unlink(w.path.c_str());
    if (!w.keepFile) w.path.clear();
    if (auto delegate = session_->delegate(); delegate && delegate->respondsTo(URLSessionDelegateCall::DidComplete)) {
        delegate->didCompleteWithError(*session_, *this, error);
    }
    session_->taskEnded(identifier_);
}

}  // namespace lv
