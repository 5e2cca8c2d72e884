// Connection-style URL loading. A connection is scheduled on a thread's run loop; every delegate call
// arrives on that thread, in order: challenges, redirects, upload progress, the response, data, then
// exactly one of didFinishLoading / didFailWithError. start() may be called from any thread;
// cancel() is called on the scheduled thread and is final: nothing is delivered after it returns.
// The transfer itself runs on the URL engine's thread, which never runs delegate or stream code.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/net/auth.h"
#include "platform/net/request.h"
#include "platform/net/stream.h"
#include "platform/net/url_cache.h"

namespace lv {

class RunLoop;
class OperationQueue;
class URLConnection;

namespace net_detail {
struct TransferFlow;
class BodyPump;
class ConnectionListener;
}  // namespace net_detail

// Optional methods have default bodies; the "handles…"/"provides…" queries say whether the delegate
// answers the matching question.
class URLConnectionDelegate {
public:
    virtual ~URLConnectionDelegate() = default;

    // Challenges are answered through challenge->sender() inside the call; no answer cancels the load
    // (-1012). HTTP Basic and Digest: without a handler the 401 is delivered as the response. Server
    // trust (https, after the TLS handshake and before each request is sent, also on a kept-alive
    // connection): a credential for the space's trust accepts it; continue, default handling or
    // reject evaluate it (system anchors, TrustAnchors, the host; -1202 when it fails); without a
    // handler it is evaluated so. The engine waits for the answer (up to the request's time-out), so
    // the scheduled thread must not block on other loads meanwhile.
    virtual bool handlesAuthenticationChallenges() const { return false; }
    virtual void willSendRequestForAuthenticationChallenge(URLConnection&, const Ref<AuthenticationChallenge>&) {}
    virtual bool connectionShouldUseCredentialStorage(URLConnection&) { return true; }
    // Called for real redirects only; nothing delivers the redirect response as the final one.
    virtual std::optional<URLRequest> willSendRequest(URLConnection&, const URLRequest& request,
                                                      const Ref<URLResponse>& redirectResponse) {
        (void)redirectResponse;
        return request;
    }
    // A fresh body stream for a redirect or authentication retry of a streamed request.
    virtual bool providesNewBodyStreams() const { return false; }
    virtual Ref<InputStream> needNewBodyStream(URLConnection&, const URLRequest&) { return nullptr; }
    virtual void didSendBodyData(URLConnection&, std::int64_t /*bytesWritten*/, std::int64_t /*totalBytesWritten*/,
                                 std::int64_t /*totalBytesExpectedToWrite*/) {}
    virtual void didReceiveResponse(URLConnection&, const Ref<URLResponse>&) {}
    virtual void didReceiveData(URLConnection&, const Bytes&) {}
    // The reply about to be stored in the shared URL cache; nothing stores none.
    virtual Ref<CachedURLResponse> willCacheResponse(URLConnection&, const Ref<CachedURLResponse>& cached) {
        return cached;
    }
    virtual void didFinishLoading(URLConnection&) {}
    virtual void didFailWithError(URLConnection&, const Ref<Error>&) {}
};

class URLConnection : public Object, private AuthenticationChallengeSender {
public:
    using Delegate = std::shared_ptr<URLConnectionDelegate>;
    using CompletionHandler = std::function<void(Ref<URLResponse>, std::optional<Bytes>, Ref<Error>)>;

    // With startImmediately, schedules on the calling thread's run loop (default mode) and starts.
    static Ref<URLConnection> make(URLRequest request, Delegate delegate, bool startImmediately = true);
    URLConnection(URLRequest request, Delegate delegate);
    ~URLConnection() override;

    // Before start(): where delegate calls are delivered (the first loop scheduled; its modes).
    void scheduleInRunLoop(const Ref<RunLoop>& runLoop, std::string mode);
    void unscheduleFromRunLoop(const Ref<RunLoop>& runLoop, const std::string& mode);
    // Starts loading; without a schedule, on the calling thread's run loop in the default mode.
    void start();
    void cancel();

    const URLRequest& originalRequest() const { return originalRequest_; }
    // The request being loaded (after redirects). Scheduled thread only.
    const URLRequest& currentRequest() const { return currentRequest_; }

    // Loads on the calling thread, blocking it until the end; delegate-free. The body (also for
    // error statuses), or nothing on failure with the error.
    static std::optional<Bytes> sendSynchronousRequest(const URLRequest& request, Ref<URLResponse>* response,
                                                       Ref<Error>* error);
    // Loads on a worker and calls the handler on the queue.
    static void sendAsynchronousRequest(const URLRequest& request, const Ref<OperationQueue>& queue,
                                        CompletionHandler handler);

private:
    friend class net_detail::ConnectionListener;
    using Sink = std::function<void(std::function<void()>)>;
    enum class Answer { None, Use, Continue, Cancel, Default, Reject };

    void startWithSink(Sink sink);
    bool onScheduledThread();
    Delegate currentDelegate();
    Delegate takeDelegate();
    void post(std::function<void()> fn);
    void launch();
    Ref<Error> prepareBody(URLRequest& request, std::shared_ptr<net_detail::BodyPump>& pump);
    bool serveFromCache();

    // Scheduled thread; gen identifies the transfer the event belongs to.
    void handleResponse(std::uint64_t gen, int status, HTTPHeaders headers);
    void handleData(std::uint64_t gen, const Bytes& chunk);
    void handleSent(std::uint64_t gen, std::int64_t sent, std::int64_t total, std::int64_t expected);
    void handleCompleted(std::uint64_t gen, int code, const Ref<Error>& streamError, const std::string& detail);
    void handleTrust(std::uint64_t gen, const Ref<Trust>& trust, const std::shared_ptr<net_detail::TransferFlow>& flow);
    void followRedirect();
    void answerChallenge();
    void deliverHeld();
    void finishLoading();
    void fail(Ref<Error> error);
    bool live(std::uint64_t gen) const { return !cancelled_.load() && !done_ && gen == generation_; }

    void useCredential(const Ref<URLCredential>& credential, const AuthenticationChallenge& challenge) override;
    void continueWithoutCredentialForAuthenticationChallenge(const AuthenticationChallenge& challenge) override;
    void cancelAuthenticationChallenge(const AuthenticationChallenge& challenge) override;
    void performDefaultHandlingForAuthenticationChallenge(const AuthenticationChallenge& challenge) override;
    void rejectProtectionSpaceAndContinueWithChallenge(const AuthenticationChallenge& challenge) override;

    URLRequest originalRequest_;
    URLRequest currentRequest_;
    std::mutex mutex_;  // delegate, schedules, transfer id, flow
    Delegate delegate_;
    std::vector<std::pair<Ref<RunLoop>, std::string>> schedules_;
    Ref<RunLoop> scheduledLoop_;  // the loop deliveries go to, once started
    Sink sink_;
    bool started_ = false;
    std::uint64_t transferId_ = 0;
    std::shared_ptr<net_detail::TransferFlow> flow_;
    std::atomic<bool> cancelled_{false};

    // Scheduled thread only.
    bool done_ = false;
    std::uint64_t generation_ = 0;
    int redirects_ = 0;
    std::int64_t failures_ = 0;
    Ref<InputStream> usedBodyStream_;
    // The end of the original request's resource time-out, from the first transfer.
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    Ref<HTTPURLResponse> response_;
    bool held_ = false;
    Bytes heldBody_;
    std::optional<Bytes> cacheBody_;
    Ref<URLCredential> credential_;
    bool digest_ = false;
    const AuthenticationChallenge* challenge_ = nullptr;
    Answer answer_ = Answer::None;
    Ref<URLCredential> answeredCredential_;
};

}  // namespace lv
