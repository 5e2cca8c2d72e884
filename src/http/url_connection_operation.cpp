#include "http/url_connection_operation.h"

#include <mutex>
#include <utility>

#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/run_loop.h"
#include "platform/net/errors.h"

namespace lv {

using State = HCConnectionOperationState;

std::string_view HCKeyPathFromOperationState(State state) {
    switch (state) {
        case State::Paused: return "isPaused";
        case State::Ready: return "isReady";
        case State::Executing: return "isExecuting";
        case State::Finished: return "isFinished";
        default: return "state";
    }
}

bool HCStateTransitionIsValid(State from, State to, bool isCancelled) {
    switch (from) {
        case State::Ready:
            return to == State::Paused || to == State::Executing || (to == State::Finished && isCancelled);
        case State::Executing: return to == State::Paused || to == State::Finished;
        case State::Finished: return false;
        // A cancelled paused operation finishes (with the cancellation error) instead of staying
        // paused for ever with its completion never run.
        case State::Paused: return to == State::Ready || (to == State::Finished && isCancelled);
        default: return true;
    }
}

// Forwards the connection's events to the operation without keeping it alive.
class HCURLConnectionOperation::ConnectionDelegate : public URLConnectionDelegate {
public:
    explicit ConnectionDelegate(Weak<HCURLConnectionOperation> op) : op_(std::move(op)) {}

    bool handlesAuthenticationChallenges() const override { return true; }
    void willSendRequestForAuthenticationChallenge(URLConnection& c, const Ref<AuthenticationChallenge>& ch) override {
        if (auto op = op_.lock()) {
            op->willSendRequestForAuthenticationChallenge(c, ch);
        } else {
            ch->sender()->cancelAuthenticationChallenge(*ch);
        }
    }
    bool connectionShouldUseCredentialStorage(URLConnection&) override {
        auto op = op_.lock();
        return op ? op->shouldUseCredentialStorage() : true;
    }
    std::optional<URLRequest> willSendRequest(URLConnection& c, const URLRequest& request,
                                              const Ref<URLResponse>& redirect) override {
        auto op = op_.lock();
        return op ? op->willSendRequest(c, request, redirect) : std::optional<URLRequest>(request);
    }
    void didSendBodyData(URLConnection&, std::int64_t written, std::int64_t total, std::int64_t expected) override {
        if (auto op = op_.lock()) op->didSendBodyData(written, total, expected);
    }
    void didReceiveResponse(URLConnection& c, const Ref<URLResponse>& response) override {
        if (auto op = op_.lock()) op->didReceiveResponse(c, response);
    }
    void didReceiveData(URLConnection& c, const Bytes& data) override {
        if (auto op = op_.lock()) op->didReceiveData(c, data);
    }
    Ref<CachedURLResponse> willCacheResponse(URLConnection& c, const Ref<CachedURLResponse>& cached) override {
        auto op = op_.lock();
        return op ? op->willCacheResponse(c, cached) : nullptr;
    }
    void didFinishLoading(URLConnection& c) override {
        if (auto op = op_.lock()) op->didFinishLoading(c);
    }
    void didFailWithError(URLConnection& c, const Ref<Error>& error) override {
        if (auto op = op_.lock()) op->connectionDidFail(c, error);
    }

private:
    Weak<HCURLConnectionOperation> op_;
};

HCURLConnectionOperation::HCURLConnectionOperation(URLRequest request)
    : runLoopModes_{std::string(kRunLoopCommonModes)},
      request_(std::move(request)),
      securityPolicy_(HCSecurityPolicy::defaultPolicy()) {
    runtimeClass();
}

HCURLConnectionOperation::~HCURLConnectionOperation() {
    if (outputStream_) outputStream_->close();
    if (backgroundTaskIdentifier_ != kBackgroundTaskInvalid) {
        Application::sharedApplication()->endBackgroundTask(backgroundTaskIdentifier_);
    }
}

const Ref<Thread>& HCURLConnectionOperation::networkRequestThread() {
    static const Ref<Thread>& thread = *new Ref<Thread>([] {  // never destroyed
        auto t = Thread::make([] {
            Thread::current()->setName("HCNetworking");
            RunLoop::current()->addPort(kDefaultRunLoopMode);
            RunLoop::current()->run();
        });
        t->setName("HCNetworking");
        t->start();
        return t;
    }());
    return thread;
}

const Ref<Group>& HCURLConnectionOperation::connectionCompletionGroup() {
    static const Ref<Group>& group = *new Ref<Group>(Group::make());  // never destroyed
    return group;
}

// ---- Properties ----

std::set<std::string> HCURLConnectionOperation::runLoopModes() const {
    std::lock_guard guard(lock_);
    return runLoopModes_;
}
void HCURLConnectionOperation::setRunLoopModes(std::set<std::string> modes) {
    std::lock_guard guard(lock_);
    runLoopModes_ = std::move(modes);
}
URLRequest HCURLConnectionOperation::request() const {
    std::lock_guard guard(lock_);
    return request_;
}
void HCURLConnectionOperation::setRequest(URLRequest request) {
    std::lock_guard guard(lock_);
    request_ = std::move(request);
}
Ref<URLResponse> HCURLConnectionOperation::response() const {
    std::lock_guard guard(lock_);
    return response_;
}
Ref<Error> HCURLConnectionOperation::error() const {
    std::lock_guard guard(lock_);
    return error_;
}
std::optional<Bytes> HCURLConnectionOperation::responseData() const {
    std::lock_guard guard(lock_);
    return responseData_.isData() ? std::optional<Bytes>(responseData_.bytes()) : std::nullopt;
}
Value HCURLConnectionOperation::responseDataValue() const {
    std::lock_guard guard(lock_);
    return responseData_;
}
void HCURLConnectionOperation::setResponseData(std::optional<Bytes> data) {
    std::lock_guard guard(lock_);
    responseData_ = data ? Value(std::move(*data)) : Value();
}

StringEncoding HCURLConnectionOperation::responseStringEncoding() {
    std::lock_guard guard(lock_);
    if (responseStringEncoding_ == StringEncoding{0} && response_) {
        const auto& name = response_->textEncodingName();
        responseStringEncoding_ =
            name ? text::encodingFromIANACharsetName(*name).value_or(StringEncoding::UTF8) : StringEncoding::UTF8;
    }
    return responseStringEncoding_;
}

std::optional<std::string> HCURLConnectionOperation::responseString() {
    std::lock_guard guard(lock_);
    if (!responseString_ && response_ && responseData_.isData()) {
        responseString_ = text::decode(std::span<const std::uint8_t>(responseData_.bytes()), responseStringEncoding());
    }
    return responseString_;
}

bool HCURLConnectionOperation::shouldUseCredentialStorage() const {
    std::lock_guard guard(lock_);
    return shouldUseCredentialStorage_;
}
void HCURLConnectionOperation::setShouldUseCredentialStorage(bool use) {
    std::lock_guard guard(lock_);
    shouldUseCredentialStorage_ = use;
}
Ref<URLCredential> HCURLConnectionOperation::credential() const {
    std::lock_guard guard(lock_);
    return credential_;
}
void HCURLConnectionOperation::setCredential(Ref<URLCredential> credential) {
    std::lock_guard guard(lock_);
    credential_ = std::move(credential);
}
Ref<HCSecurityPolicy> HCURLConnectionOperation::securityPolicy() const {
    std::lock_guard guard(lock_);
    return securityPolicy_;
}
void HCURLConnectionOperation::setSecurityPolicy(Ref<HCSecurityPolicy> policy) {
    std::lock_guard guard(lock_);
    securityPolicy_ = std::move(policy);
}

Ref<InputStream> HCURLConnectionOperation::inputStream() const {
    std::lock_guard guard(lock_);
    return request_.HTTPBodyStream();
}
void HCURLConnectionOperation::setInputStream(Ref<InputStream> stream) {
    std::lock_guard guard(lock_);
    URLRequest copy = request_;
    copy.setHTTPBodyStream(std::move(stream));
    request_ = std::move(copy);
}

Ref<OutputStream> HCURLConnectionOperation::outputStream() {
    std::lock_guard guard(lock_);
    if (!outputStream_) setOutputStream(OutputStream::toMemory());
    return outputStream_;
}
void HCURLConnectionOperation::setOutputStream(Ref<OutputStream> stream) {
    std::lock_guard guard(lock_);
    if (stream == outputStream_) return;
    if (outputStream_) outputStream_->close();
    outputStream_ = std::move(stream);
}

Ref<Queue> HCURLConnectionOperation::completionQueue() const {
    std::lock_guard guard(lock_);
    return completionQueue_;
}
void HCURLConnectionOperation::setCompletionQueue(Ref<Queue> queue) {
    std::lock_guard guard(lock_);
    completionQueue_ = std::move(queue);
}
Ref<Group> HCURLConnectionOperation::completionGroup() const {
    std::lock_guard guard(lock_);
    return completionGroup_;
}
void HCURLConnectionOperation::setCompletionGroup(Ref<Group> group) {
    std::lock_guard guard(lock_);
    completionGroup_ = std::move(group);
}
Dictionary HCURLConnectionOperation::userInfo() const {
    std::lock_guard guard(lock_);
    return userInfo_;
}
void HCURLConnectionOperation::setUserInfo(Dictionary info) {
    std::lock_guard guard(lock_);
    userInfo_ = std::move(info);
}
BackgroundTaskIdentifier HCURLConnectionOperation::backgroundTaskIdentifier() const {
    std::lock_guard guard(lock_);
    return backgroundTaskIdentifier_;
}

void HCURLConnectionOperation::setUploadProgressBlock(UploadProgressBlock block) {
    std::lock_guard guard(lock_);
    uploadProgress_ = std::move(block);
}
void HCURLConnectionOperation::setDownloadProgressBlock(DownloadProgressBlock block) {
    std::lock_guard guard(lock_);
    downloadProgress_ = std::move(block);
}
HCURLConnectionOperation::UploadProgressBlock HCURLConnectionOperation::uploadProgress() const {
    std::lock_guard guard(lock_);
    return uploadProgress_;
}
HCURLConnectionOperation::DownloadProgressBlock HCURLConnectionOperation::downloadProgress() const {
    std::lock_guard guard(lock_);
    return downloadProgress_;
}
void HCURLConnectionOperation::setWillSendRequestForAuthenticationChallengeBlock(AuthenticationChallengeBlock block) {
    std::lock_guard guard(lock_);
    authenticationChallenge_ = std::move(block);
}
void HCURLConnectionOperation::setCacheResponseBlock(CacheResponseBlock block) {
    std::lock_guard guard(lock_);
    cacheResponse_ = std::move(block);
}
void HCURLConnectionOperation::setRedirectResponseBlock(RedirectResponseBlock block) {
    std::lock_guard guard(lock_);
    redirectResponse_ = std::move(block);
}

void HCURLConnectionOperation::setShouldExecuteAsBackgroundTaskWithExpirationHandler(std::function<void()> handler) {
    std::lock_guard guard(lock_);
    if (backgroundTaskIdentifier_ != kBackgroundTaskInvalid) return;
    Weak<HCURLConnectionOperation> weak = selfAs<HCURLConnectionOperation>();
    backgroundTaskIdentifier_ =
        Application::sharedApplication()->beginBackgroundTaskWithExpirationHandler([weak, handler = std::move(handler)] {
            if (handler) handler();
            if (auto op = weak.lock()) {
                op->cancel();
                std::lock_guard inner(op->lock_);
                Application::sharedApplication()->endBackgroundTask(op->backgroundTaskIdentifier_);
                op->backgroundTaskIdentifier_ = kBackgroundTaskInvalid;
            }
        });
}

// ---- State ----

void HCURLConnectionOperation::setState(State state) {
    if (!HCStateTransitionIsValid(state_.load(), state, isCancelled())) return;
    std::lock_guard guard(lock_);
    const std::string oldKey(HCKeyPathFromOperationState(state_.load()));
    const std::string newKey(HCKeyPathFromOperationState(state));
    if (state == State::Finished && Operation::completionBlock()) completionKeepAlive_ = selfAs<HCURLConnectionOperation>();
    willChangeValueForKey(newKey);
    willChangeValueForKey(oldKey);
    state_.store(state);
    didChangeValueForKey(oldKey);
    didChangeValueForKey(newKey);
}

bool HCURLConnectionOperation::isReady() const { return state() == State::Ready && Operation::isReady(); }
bool HCURLConnectionOperation::isExecuting() const { return state() == State::Executing; }
bool HCURLConnectionOperation::isFinished() const { return state() == State::Finished; }

void HCURLConnectionOperation::performOnNetworkThread(std::function<void()> fn) {
    std::vector<std::string> modes;
    {
        std::lock_guard guard(lock_);
        modes.assign(runLoopModes_.begin(), runLoopModes_.end());
    }
    networkRequestThread()->perform([keep = selfAs<HCURLConnectionOperation>(), fn = std::move(fn)] { fn(); }, false,
                                    std::move(modes));
}

void HCURLConnectionOperation::postNotification(std::string_view name) {
    Queue::main()->async([self = selfAs<HCURLConnectionOperation>(), name = std::string(name)] {
        NotificationCenter::defaultCenter()->post(name, self);
    });
}

void HCURLConnectionOperation::start() {
    std::lock_guard guard(lock_);
    if (isCancelled()) {
        performOnNetworkThread([this] { cancelConnection(); });
    } else if (isReady()) {
        setState(State::Executing);
        performOnNetworkThread([this] { operationDidStart(); });
    }
}

void HCURLConnectionOperation::operationDidStart() {
    {
        std::lock_guard guard(lock_);
        if (!isCancelled()) {
            connection_ = makeRef<URLConnection>(request_, std::make_shared<ConnectionDelegate>(
                                                               selfAs<HCURLConnectionOperation>()));
            for (const auto& mode : runLoopModes_) connection_->scheduleInRunLoop(RunLoop::current(), mode);
            outputStream()->open();
            connection_->start();
        }
    }
    postNotification(kHCNetworkingOperationDidStartNotification);
}

void HCURLConnectionOperation::finish() {
    {
        std::lock_guard guard(lock_);
        setState(State::Finished);
    }
    postNotification(kHCNetworkingOperationDidFinishNotification);
}

void HCURLConnectionOperation::cancel() {
    std::lock_guard guard(lock_);
    if (isFinished() || isCancelled()) return;
    Operation::cancel();
    // A paused operation is finished too, so its completion runs and its queue drains.
    if (isExecuting() || isPaused()) performOnNetworkThread([this] { cancelConnection(); });
}

void HCURLConnectionOperation::cancelConnection() {
    std::lock_guard guard(lock_);
    Dictionary info;
    if (request_.URL()) info.set(std::string(kURLErrorFailingURLErrorKey), Value(request_.URL()));
    auto error = Error::make(std::string(kURLErrorDomain), URLErrorCancelled, std::move(info));
    if (isFinished()) return;
    if (connection_) {
        auto connection = connection_;
        connection->cancel();
        didFailWithError(connection.get(), error);
    } else {
        error_ = error;
        finish();
    }
}

void HCURLConnectionOperation::pause() {
    if (isPaused() || isFinished() || isCancelled()) return;
    std::lock_guard guard(lock_);
    if (isExecuting()) {
        performOnNetworkThread([this] { operationDidPause(); });
        postNotification(kHCNetworkingOperationDidFinishNotification);
    }
    setState(State::Paused);
}

void HCURLConnectionOperation::operationDidPause() {
    std::lock_guard guard(lock_);
    if (connection_) connection_->cancel();
}

void HCURLConnectionOperation::resume() {
    if (!isPaused()) return;
    std::lock_guard guard(lock_);
    setState(State::Ready);
    start();
}

// ---- Completion ----

void HCURLConnectionOperation::setCompletionBlock(Block block) {
    std::lock_guard guard(lock_);
    if (!block) {
        Operation::setCompletionBlock(nullptr);
        return;
    }
    Weak<HCURLConnectionOperation> weak = selfAs<HCURLConnectionOperation>();
    Operation::setCompletionBlock([weak, block = std::move(block)] {
        auto op = weak.lock();
        Ref<Group> group = op ? op->completionGroup() : nullptr;
        Ref<Queue> queue = op ? op->completionQueue() : nullptr;
        if (!group) group = connectionCompletionGroup();
        if (!queue) queue = Queue::main();
        // The operation stays alive until the block has run.
        group->async(queue, [op, block] { block(); });
        if (op) {
            Ref<HCURLConnectionOperation> released;
            std::lock_guard inner(op->lock_);
            released = std::move(op->completionKeepAlive_);
        }
    });
}

std::vector<Ref<Operation>> HCURLConnectionOperation::batchOfRequestOperations(
    const std::vector<Ref<HCURLConnectionOperation>>& ops, BatchProgressBlock progress,
    BatchCompletionBlock completion) {
    if (ops.empty()) {
        return {BlockOperation::make([completion] {
            Queue::main()->async([completion] {
                if (completion) completion({});
            });
        })};
    }
    auto group = Group::make();
    std::vector<Ref<Operation>> all(ops.begin(), ops.end());
    auto batchedCompletion = BlockOperation::make([group, completion, all] {
        group->notify(Queue::main(), [completion, all] {
            if (completion) completion(all);
        });
    });
    const std::vector<Weak<HCURLConnectionOperation>> members(ops.begin(), ops.end());
    for (const auto& op : ops) {
        op->setCompletionGroup(group);
        Block original = op->completionBlock();
        Weak<HCURLConnectionOperation> weak = op;
        op->setCompletionBlock([weak, original, group, progress, members] {
            auto strong = weak.lock();
            Ref<Queue> queue = strong ? strong->completionQueue() : nullptr;
            if (!queue) queue = Queue::main();
            group->async(queue, [original, group, progress, members] {
                if (original) original();
                std::uint64_t finished = 0;
                for (const auto& member : members) {
                    auto o = member.lock();
                    finished += o && o->isFinished() ? 1 : 0;
                }
                if (progress) progress(finished, members.size());
                group->leave();
            });
        });
        group->enter();
        batchedCompletion->addDependency(op);
    }
    all.push_back(batchedCompletion);
    return all;
}

// ---- Connection events (network thread) ----

void HCURLConnectionOperation::willSendRequestForAuthenticationChallenge(URLConnection& connection,
                                                                         const Ref<AuthenticationChallenge>& challenge) {
    AuthenticationChallengeBlock block;
    Ref<HCSecurityPolicy> policy;
    Ref<URLCredential> credential;
    {
        std::lock_guard guard(lock_);
        block = authenticationChallenge_;
        policy = securityPolicy_;
        credential = credential_;
    }
    if (block) {
        block(connection, challenge);
        return;
    }
    auto* sender = challenge->sender();
    const auto& space = challenge->protectionSpace();
    if (space->authenticationMethod() == kAuthenticationMethodServerTrust) {
        if (policy && policy->evaluateServerTrust(space->serverTrust(), space->host())) {
            sender->useCredential(URLCredential::credentialForTrust(space->serverTrust()), *challenge);
        } else {
            sender->cancelAuthenticationChallenge(*challenge);
        }
    } else if (challenge->previousFailureCount() == 0 && credential) {
        sender->useCredential(credential, *challenge);
    } else {
        sender->continueWithoutCredentialForAuthenticationChallenge(*challenge);
    }
}

std::optional<URLRequest> HCURLConnectionOperation::willSendRequest(URLConnection& connection,
                                                                    const URLRequest& request,
                                                                    const Ref<URLResponse>& redirectResponse) {
    RedirectResponseBlock block;
    {
        std::lock_guard guard(lock_);
        block = redirectResponse_;
    }
    return block ? block(connection, request, redirectResponse) : std::optional<URLRequest>(request);
}

void HCURLConnectionOperation::didSendBodyData(std::int64_t written, std::int64_t totalWritten,
                                               std::int64_t expected) {
    Queue::main()->async([self = selfAs<HCURLConnectionOperation>(), written, totalWritten, expected] {
        UploadProgressBlock block;
        {
            std::lock_guard guard(self->lock_);
            block = self->uploadProgress_;
        }
        if (block) block(written, totalWritten, expected);
    });
}

Ref<Error> HCURLConnectionOperation::refusalOfResponse(const Ref<URLResponse>&) { return nullptr; }

bool HCURLConnectionOperation::restartBody() {
    std::lock_guard guard(lock_);
    if (!dynamic_cast<MemoryOutputStream*>(outputStream().get())) return false;
    auto fresh = OutputStream::toMemory();
    fresh->open();
    setOutputStream(fresh);
    Queue::main()->async([self = selfAs<HCURLConnectionOperation>()] { self->totalBytesRead_.store(0); });
    return true;
}

void HCURLConnectionOperation::didReceiveResponse(URLConnection& connection, const Ref<URLResponse>& response) {
    std::lock_guard guard(lock_);
    // Events of a connection that a pause is about to cancel are dropped; the resume asks again.
    if (!isExecuting() || &connection != connection_.get()) return;
    response_ = response;
    if (auto refusal = refusalOfResponse(response)) {
        connection.cancel();
        didFailWithError(&connection, refusal);
    }
}

void HCURLConnectionOperation::didReceiveData(URLConnection& connection, const Bytes& data) {
    std::int64_t expected = -1;
    {
        std::lock_guard guard(lock_);
        if (!isExecuting() || &connection != connection_.get()) return;
        auto stream = outputStream();
        // A stream that refuses bytes (-1, or 0 when it cannot take more) ends the load with its error,
        // so a truncated body never finishes as a success.
        std::size_t written = 0;
        while (written < data.size()) {
            const long n = stream->hasSpaceAvailable() ? stream->write(data.data() + written, data.size() - written) : 0;
            if (n <= 0) {
                Ref<Error> error = stream->streamError();
                if (!error) error = makeURLError(URLErrorCannotWriteToFile, request_.URL());
                connection.cancel();
                didFailWithError(&connection, error);
                return;
            }
            written += static_cast<std::size_t>(n);
        }
        if (response_) expected = response_->expectedContentLength();
    }
    const auto length = static_cast<std::uint64_t>(data.size());
    Queue::main()->async([self = selfAs<HCURLConnectionOperation>(), length, expected] {
        const std::int64_t total = self->totalBytesRead_.fetch_add(static_cast<std::int64_t>(length)) +
                                   static_cast<std::int64_t>(length);
        DownloadProgressBlock block;
        {
            std::lock_guard guard(self->lock_);
            block = self->downloadProgress_;
        }
        if (block) block(length, total, expected);
    });
}

Ref<CachedURLResponse> HCURLConnectionOperation::willCacheResponse(URLConnection& connection,
                                                                   const Ref<CachedURLResponse>& cached) {
    CacheResponseBlock block;
    {
        std::lock_guard guard(lock_);
        block = cacheResponse_;
    }
    if (block) return block(connection, cached);
    return isCancelled() ? nullptr : cached;
}

void HCURLConnectionOperation::didFinishLoading(URLConnection& connection) {
    std::lock_guard guard(lock_);
    if (!isExecuting() || &connection != connection_.get()) return;
    auto stream = outputStream();
    // A memory stream hands over its bytes without a copy: the body is kept once, shared.
    Value contents = stream->propertyForKey(kStreamDataWrittenToMemoryStreamKey);
    responseData_ = contents.isData() ? std::move(contents) : Value();
    stream->close();
    if (responseData_.isData()) outputStream_ = nullptr;
    connection_ = nullptr;
    finish();
}

void HCURLConnectionOperation::connectionDidFail(URLConnection& connection, const Ref<Error>& error) {
    std::lock_guard guard(lock_);
    if (!isExecuting() || &connection != connection_.get()) return;
    didFailWithError(&connection, error);
}

void HCURLConnectionOperation::didFailWithError(URLConnection* connection, const Ref<Error>& error) {
    std::lock_guard guard(lock_);
    if (connection != connection_.get()) return;
    error_ = error;
    if (outputStream_) {
        outputStream_->close();
        if (responseData_.isData()) outputStream_ = nullptr;
    }
    connection_ = nullptr;
    finish();
}

// ---- Description and copies ----

std::string HCURLConnectionOperation::description() const {
    std::lock_guard guard(lock_);
    return "<" + className() + ": " + addressText(this) + ", state: " +
           std::string(HCKeyPathFromOperationState(state_.load())) +
           ", cancelled: " + (isCancelled() ? "YES" : "NO") + " request: " + request_.description() +
           ", response: " + (response_ ? response_->description() : std::string("(null)")) + ">";
}

void HCURLConnectionOperation::copyConfigurationInto(HCURLConnectionOperation& target) const {
    std::scoped_lock guard(lock_, target.lock_);
    target.uploadProgress_ = uploadProgress_;
    target.downloadProgress_ = downloadProgress_;
    target.authenticationChallenge_ = authenticationChallenge_;
    target.cacheResponse_ = cacheResponse_;
    target.redirectResponse_ = redirectResponse_;
    target.completionQueue_ = completionQueue_;
    target.completionGroup_ = completionGroup_;
}

Ref<HCURLConnectionOperation> HCURLConnectionOperation::copy() const {
    auto op = make(request());
    copyConfigurationInto(*op);
    return op;
}

}  // namespace lv
