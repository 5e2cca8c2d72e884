// HCURLConnectionOperation: a concurrent operation that loads one request through a URL connection on
// the process's one network thread ("HCNetworking"), writes the body into an output stream, posts its
// start and finish notifications on the main queue and runs its completion block on a chosen queue
// inside a dispatch group. Threads: configure before starting; start/cancel/pause/resume from any
// thread; connection and stream work runs on the network thread; progress blocks and notifications
// on the main queue. State changes and the lazily built values are guarded by the recursive lock.
// Operations can be copied and keyed-archived (archiving pauses the operation first).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "http/security_policy.h"
#include "platform/dispatch/lock.h"
#include "platform/dispatch/operation.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/thread.h"
#include "platform/net/connection.h"
#include "platform/net/stream.h"
#include "platform/storage/keyed_archive.h"
#include "platform/text/encoding.h"
#include "platform/ui/application.h"

namespace lv {

inline constexpr std::string_view kHCNetworkingOperationDidStartNotification =
    "com.httpclient.networking.operation.start";
inline constexpr std::string_view kHCNetworkingOperationDidFinishNotification =
    "com.httpclient.networking.operation.finish";

enum class HCConnectionOperationState : std::int64_t { None = 0, Paused = -1, Ready = 1, Executing = 2, Finished = 3 };

// The key announced for a state: "isPaused", "isReady", "isExecuting", "isFinished", else "state".
std::string_view HCKeyPathFromOperationState(HCConnectionOperationState state);
// Whether the table of transitions allows moving from one state to another.
bool HCStateTransitionIsValid(HCConnectionOperationState from, HCConnectionOperationState to, bool isCancelled);

class HCURLConnectionOperation : public Operation, public Coding {
public:
    using UploadProgressBlock = std::function<void(std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                                                   std::int64_t totalBytesExpectedToWrite)>;
    using DownloadProgressBlock =
        std::function<void(std::uint64_t bytesRead, std::int64_t totalBytesRead, std::int64_t totalBytesExpectedToRead)>;
    using AuthenticationChallengeBlock = std::function<void(URLConnection&, const Ref<AuthenticationChallenge>&)>;
    using CacheResponseBlock =
        std::function<Ref<CachedURLResponse>(URLConnection&, const Ref<CachedURLResponse>&)>;
    using RedirectResponseBlock = std::function<std::optional<URLRequest>(URLConnection&, const URLRequest&,
                                                                          const Ref<URLResponse>&)>;
    using BatchProgressBlock = std::function<void(std::uint64_t finished, std::uint64_t total)>;
    using BatchCompletionBlock = std::function<void(const std::vector<Ref<Operation>>&)>;

    explicit HCURLConnectionOperation(URLRequest request);
    ~HCURLConnectionOperation() override;
    static Ref<HCURLConnectionOperation> make(URLRequest request) {
        return makeRef<HCURLConnectionOperation>(std::move(request));
    }

    // The shared network thread, started on first use; its loop runs for ever on a port.
    static const Ref<Thread>& networkRequestThread();
    // The default group of completion blocks.
    static const Ref<Group>& connectionCompletionGroup();

    std::set<std::string> runLoopModes() const;
    void setRunLoopModes(std::set<std::string> modes);
    URLRequest request() const;
    Ref<URLResponse> response() const;
    virtual Ref<Error> error() const;
    std::optional<Bytes> responseData() const;
    // The same body as a Data value sharing its storage (no copy); nil when there is none.
    Value responseDataValue() const;
    void setResponseData(std::optional<Bytes> data);
    // The body decoded in responseStringEncoding(), worked out once; nothing when it does not decode.
    std::optional<std::string> responseString();
    // UTF-8 when the response names no charset or one that is not known; 0 without a response.
    StringEncoding responseStringEncoding();

    bool shouldUseCredentialStorage() const;
    void setShouldUseCredentialStorage(bool use);
    Ref<URLCredential> credential() const;
    void setCredential(Ref<URLCredential> credential);
    Ref<HCSecurityPolicy> securityPolicy() const;
    void setSecurityPolicy(Ref<HCSecurityPolicy> policy);

    // The request's body stream; setting one replaces the request with a copy carrying it.
    Ref<InputStream> inputStream() const;
    void setInputStream(Ref<InputStream> stream);
    // A memory stream is made on first read when none is set. A new stream closes the stored one.
    Ref<OutputStream> outputStream();
    void setOutputStream(Ref<OutputStream> stream);

    Ref<Queue> completionQueue() const;
    void setCompletionQueue(Ref<Queue> queue);
    Ref<Group> completionGroup() const;
    void setCompletionGroup(Ref<Group> group);
    Dictionary userInfo() const;
    void setUserInfo(Dictionary info);

    HCConnectionOperationState state() const { return state_.load(); }
    void setState(HCConnectionOperationState state);
    // Body bytes received so far; changed on the main queue only.
    std::int64_t totalBytesRead() const { return totalBytesRead_.load(); }
    RecursiveLock& lock() const { return lock_; }
    BackgroundTaskIdentifier backgroundTaskIdentifier() const;

    // Begins a background task once; its expiry calls the handler, then cancels the operation.
    void setShouldExecuteAsBackgroundTaskWithExpirationHandler(std::function<void()> handler);

    virtual void pause();
    bool isPaused() const { return state() == HCConnectionOperationState::Paused; }
    void resume();

    void setUploadProgressBlock(UploadProgressBlock block);
    void setDownloadProgressBlock(DownloadProgressBlock block);
    // The blocks set above (empty when none), so a caller can chain onto them.
    UploadProgressBlock uploadProgress() const;
    DownloadProgressBlock downloadProgress() const;
    void setWillSendRequestForAuthenticationChallengeBlock(AuthenticationChallengeBlock block);
    void setCacheResponseBlock(CacheResponseBlock block);
    void setRedirectResponseBlock(RedirectResponseBlock block);

    // The block runs once after Finished, on completionQueue (main when none) within completionGroup
    // (connectionCompletionGroup when none). Nothing clears it.
    void setCompletionBlock(Block block) override;

    bool isReady() const override;
    bool isExecuting() const override;
    bool isFinished() const override;
    bool isConcurrent() const override { return true; }
    void start() override;
    void cancel() override;

    std::string description() const override;
    // A new operation of the same kind on the same request with the blocks, queue and group.
    virtual Ref<HCURLConnectionOperation> copy() const;

    // The class "HCURLConnectionOperation" (registered by every new operation).
    static const ClassInfo* runtimeClass();
    // Pauses the operation, then writes "request", "state" (Ready for an executing or paused
    // operation), "response", "error", "responseData" and "totalBytesRead".
    void encodeWithCoder(Coder& coder) const override;
    // The request, then the state through setState (so only a move allowed from Ready happens), the
    // response, error, data and byte count.
    bool initWithCoder(Coder& coder) override;
    bool supportsSecureCoding() const override { return true; }

    // The operations followed by one that runs the completion on the main queue after all of them.
    static std::vector<Ref<Operation>> batchOfRequestOperations(const std::vector<Ref<HCURLConnectionOperation>>& ops,
                                                                BatchProgressBlock progress,
                                                                BatchCompletionBlock completion);

protected:
    // Replaces the request (the subclass's pause rewrites it). Under the lock.
    void setRequest(URLRequest request);
    // A subclass may refuse a response (the load then fails with the error). Network thread, lock held.
    virtual Ref<Error> refusalOfResponse(const Ref<URLResponse>& response);
    // Starts the body again: a memory output stream is replaced by an empty one and the byte count
    // goes back to 0; false for other streams. Lock held.
    bool restartBody();
    // Copies the configuration a copy carries into the target.
    void copyConfigurationInto(HCURLConnectionOperation& target) const;
    // The operation as a shared reference of the given class.
    template <class T>
    Ref<T> selfAs() {
        return std::static_pointer_cast<T>(shared_from_this());
    }

private:
    class ConnectionDelegate;
    friend class ConnectionDelegate;

    void performOnNetworkThread(std::function<void()> fn);
    void postNotification(std::string_view name);
    void operationDidStart();
    void operationDidPause();
    void cancelConnection();
    void finish();

    // Connection delegate events (network thread).
    void willSendRequestForAuthenticationChallenge(URLConnection& connection,
                                                   const Ref<AuthenticationChallenge>& challenge);
    std::optional<URLRequest> willSendRequest(URLConnection& connection, const URLRequest& request,
                                              const Ref<URLResponse>& redirectResponse);
    void didSendBodyData(std::int64_t written, std::int64_t totalWritten, std::int64_t expected);
    void didReceiveResponse(URLConnection& connection, const Ref<URLResponse>& response);
    void didReceiveData(URLConnection& connection, const Bytes& data);
    Ref<CachedURLResponse> willCacheResponse(URLConnection& connection, const Ref<CachedURLResponse>& cached);
    void didFinishLoading(URLConnection& connection);
    void connectionDidFail(URLConnection& connection, const Ref<Error>& error);
    void didFailWithError(URLConnection* connection, const Ref<Error>& error);

    mutable RecursiveLock lock_{"com.httpclient.networking.operation.lock"};
    std::atomic<HCConnectionOperationState> state_{HCConnectionOperationState::Ready};
    std::atomic<std::int64_t> totalBytesRead_{0};

    // Guarded by lock_.
    std::set<std::string> runLoopModes_;
    URLRequest request_;
    Ref<URLResponse> response_;
    Ref<Error> error_;
    Value responseData_;  // Data, or nil before the body has been collected
    std::optional<std::string> responseString_;
    StringEncoding responseStringEncoding_{0};
    bool shouldUseCredentialStorage_ = true;
    Ref<URLCredential> credential_;
    Ref<HCSecurityPolicy> securityPolicy_;
    Ref<OutputStream> outputStream_;
    Ref<Queue> completionQueue_;
    Ref<Group> completionGroup_;
    Dictionary userInfo_;
    Ref<URLConnection> connection_;
    // Holds a finished operation until its completion block has been handed over, so that blocks may
    // hold the operation weakly (an operation that never runs is then freed).
    Ref<HCURLConnectionOperation> completionKeepAlive_;
    BackgroundTaskIdentifier backgroundTaskIdentifier_ = kBackgroundTaskInvalid;
    UploadProgressBlock uploadProgress_;
    DownloadProgressBlock downloadProgress_;
    AuthenticationChallengeBlock authenticationChallenge_;
    CacheResponseBlock cacheResponse_;
    RedirectResponseBlock redirectResponse_;
};

}  // namespace lv
