// Session-style URL loading: a URLSession makes data, upload and download tasks that run on the URL
// engine's thread and report to one delegate on the session's delegate queue (a serial operation
// queue unless the caller gives another), one call at a time, in order per task, with exactly one
// completion per task. Task and session methods may be called from any thread; getTasks answers at
// once on the calling thread. Calls that take a completion handler hold the transfer until the
// handler is called (from any thread); the engine never waits for them, except for a server-trust
// answer, which it waits for up to the request's time-out.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/auth.h"
#include "platform/net/request.h"
#include "platform/net/session_configuration.h"
#include "platform/net/stream.h"
#include "platform/net/url_cache.h"

namespace lv {

class OperationQueue;
class URLSession;
class URLSessionTask;
class URLSessionDataTask;
class URLSessionDownloadTask;

namespace net_detail {
struct TransferFlow;
struct ResumeInfo;
class SessionListener;
}  // namespace net_detail

enum class URLSessionTaskState : int { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };
enum class URLSessionAuthChallengeDisposition : int {
    UseCredential = 0,
    PerformDefaultHandling = 1,
    CancelAuthenticationChallenge = 2,
    RejectProtectionSpace = 3,
};
enum class URLSessionResponseDisposition : int { Cancel = 0, Allow = 1, BecomeDownload = 2 };

// The delegate's fifteen calls; respondsTo is asked before each one.
enum class URLSessionDelegateCall {
    DidBecomeInvalid,
    SessionDidReceiveChallenge,
    DidFinishEventsForBackgroundSession,  // never made: sessions run in the process
    WillPerformHTTPRedirection,
    TaskDidReceiveChallenge,
    NeedNewBodyStream,
    DidSendBodyData,
    DidComplete,
    DidReceiveResponse,
    DidBecomeDownloadTask,
    DidReceiveData,
    WillCacheResponse,
    DidWriteData,
    DidResumeAtOffset,
    DidFinishDownloading,
};

class URLSessionDelegate {
public:
    using ChallengeHandler = std::function<void(URLSessionAuthChallengeDisposition, Ref<URLCredential>)>;
    virtual ~URLSessionDelegate() = default;
    // Whether the delegate answers the call; an unanswered call gets the default behaviour.
    virtual bool respondsTo(URLSessionDelegateCall) const { return false; }

    virtual void didBecomeInvalidWithError(URLSession&, const Ref<Error>&) {}
    virtual void didReceiveChallenge(URLSession&, const Ref<AuthenticationChallenge>&, ChallengeHandler handler) {
        handler(URLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
    }
    virtual void didFinishEventsForBackgroundURLSession(URLSession&) {}

    // A nil request delivers the redirect response as the final one.
    virtual void willPerformHTTPRedirection(URLSession&, URLSessionTask&, const Ref<HTTPURLResponse>&,
                                           const URLRequest& request, std::function<void(std::optional<URLRequest>)> handler) {
        handler(request);
    }
    virtual void didReceiveChallenge(URLSession&, URLSessionTask&, const Ref<AuthenticationChallenge>&,
                                     ChallengeHandler handler) {
        handler(URLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
    }
    virtual void needNewBodyStream(URLSession&, URLSessionTask&, std::function<void(Ref<InputStream>)> handler) {
        handler(nullptr);
    }
    virtual void didSendBodyData(URLSession&, URLSessionTask&, std::int64_t /*bytesSent*/,
                                 std::int64_t /*totalBytesSent*/, std::int64_t /*totalBytesExpectedToSend*/) {}
    virtual void didCompleteWithError(URLSession&, URLSessionTask&, const Ref<Error>&) {}

    virtual void didReceiveResponse(URLSession&, URLSessionDataTask&, const Ref<URLResponse>&,
                                    std::function<void(URLSessionResponseDisposition)> handler) {
        handler(URLSessionResponseDisposition::Allow);
    }
    virtual void didBecomeDownloadTask(URLSession&, URLSessionDataTask&, URLSessionDownloadTask&) {}
    virtual void didReceiveData(URLSession&, URLSessionDataTask&, const Bytes&) {}
    virtual void willCacheResponse(URLSession&, URLSessionDataTask&, const Ref<CachedURLResponse>& proposed,
                                   std::function<void(Ref<CachedURLResponse>)> handler) {
        handler(proposed);
    }

    virtual void didWriteData(URLSession&, URLSessionDownloadTask&, std::int64_t /*bytesWritten*/,
                              std::int64_t /*totalBytesWritten*/, std::int64_t /*totalBytesExpectedToWrite*/) {}
    virtual void didResumeAtOffset(URLSession&, URLSessionDownloadTask&, std::int64_t /*fileOffset*/,
                                   std::int64_t /*expectedTotalBytes*/) {}
    // The file is deleted when this returns: move or read it here.
    virtual void didFinishDownloadingToURL(URLSession&, URLSessionDownloadTask&, const Ref<URL>&) {}
};

class URLSessionTask : public Object {
public:
    enum class Kind { Data, Upload, Download };
    // Called on the resuming or suspending thread, once per real change (before, after).
    using StateHook = std::function<void(URLSessionTask&, URLSessionTaskState, URLSessionTaskState)>;
    static void setStateHook(StateHook hook);

    ~URLSessionTask() override;

    Kind kind() const { return kind_; }
    std::uint64_t taskIdentifier() const { return identifier_; }
    std::string taskDescription() const;
    void setTaskDescription(std::string description);
    const URLRequest& originalRequest() const { return originalRequest_; }
    URLRequest currentRequest() const;
    Ref<URLResponse> response() const;
    Ref<Error> error() const;
    URLSessionTaskState state() const;
    std::int64_t countOfBytesSent() const;
    std::int64_t countOfBytesExpectedToSend() const;  // -1 when unknown
    std::int64_t countOfBytesReceived() const;
    std::int64_t countOfBytesExpectedToReceive() const;  // -1 when unknown

    void resume();
    void suspend();
    void cancel();

    // Made by the session's factories.
    struct Setup {
        Ref<URLSession> session;
        std::uint64_t identifier = 0;
        URLRequest request;
    };
    URLSessionTask(Kind kind, Setup setup);

private:
    friend class URLSession;
    friend class URLSessionDownloadTask;
    friend class net_detail::SessionListener;
    struct Work;  // delegate-queue state
    using Event = std::function<void(URLSessionTask&)>;

    void setResumeInfo(const std::optional<net_detail::ResumeInfo>& info);  // nothing: unreadable
    URLSessionTask* target();  // the download task a data task became, or this
    void post(std::function<void()> fn);
    void enqueue(std::uint64_t gen, std::vector<Event> events);
    void pump();
    void launch();
    void askBodyStream();
    void startTransfer(Ref<InputStream> stream);
    bool cacheMayAnswer(const URLRequest& request) const;
    bool serveFromCache(const URLRequest& request);
    void handleResponse(int status, HTTPHeaders headers);
    void deliverResponse();
    void hold(bool held);
    void afterDisposition(URLSessionResponseDisposition disposition);
    void becomeDownload();
    void openDownloadFile();
    void handleData(const Bytes& chunk);
    void deliverData(const Bytes& chunk);
    void handleSent(std::int64_t sent, std::int64_t total, std::int64_t expected);
    void handleTrust(const Ref<Trust>& trust, const std::shared_ptr<net_detail::TransferFlow>& flow);
    void handleCompleted(int code, const Ref<Error>& streamError, const std::string& detail);
    void askChallenge(const Ref<AuthenticationChallenge>& challenge, URLSessionDelegate::ChallengeHandler handler);
    void retry();
    void followRedirect();
    void answerAuthentication();
    void deliverHeld();
    void finishLoading();
    void cancelTransfer();
    void fail(Ref<Error> error);
    void complete(Ref<Error> error);
    void finishCancel(std::function<void(std::optional<Bytes>)> resumeDataHandler);

    const Kind kind_;
    const std::uint64_t identifier_;
    const URLRequest originalRequest_;
    Ref<URLSession> session_;
    std::optional<Bytes> uploadData_;
    std::optional<std::string> uploadFile_;
    bool streamedUpload_ = false;

    mutable std::mutex mutex_;
    std::string description_;
    URLRequest currentRequest_;
    Ref<URLResponse> response_;
    Ref<Error> error_;
    URLSessionTaskState state_ = URLSessionTaskState::Suspended;
    bool started_ = false;
    std::int64_t sent_ = 0;
    std::int64_t expectedToSend_ = -1;
    std::int64_t received_ = 0;
    std::int64_t expectedToReceive_ = -1;
    std::uint64_t transferId_ = 0;
    std::shared_ptr<net_detail::TransferFlow> flow_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;  // the resource time-out, from the first transfer
    Ref<URLSessionTask> successor_;

    std::unique_ptr<Work> work_;
};

class URLSessionDataTask : public URLSessionTask {
public:
    using URLSessionTask::URLSessionTask;
};

class URLSessionUploadTask : public URLSessionDataTask {
public:
    using URLSessionDataTask::URLSessionDataTask;
};

class URLSessionDownloadTask : public URLSessionTask {
public:
    using URLSessionTask::URLSessionTask;
    // Cancels; a GET whose reply had an ETag or Last-Modified and whose file has bytes yields resume
    // data for downloadTaskWithResumeData (an opaque property list), otherwise nothing. The handler
    // runs on the delegate queue before the task's completion (-999).
    void cancelByProducingResumeData(std::function<void(std::optional<Bytes>)> handler);
};

class URLSession : public Object {
public:
    using Delegate = std::shared_ptr<URLSessionDelegate>;
    // The configuration is copied; a nil queue makes a serial operation queue.
    static Ref<URLSession> sessionWithConfiguration(const Ref<URLSessionConfiguration>& configuration,
                                                    Delegate delegate = nullptr, Ref<OperationQueue> delegateQueue = nullptr);
    ~URLSession() override;

    // A copy of the session's configuration.
    Ref<URLSessionConfiguration> configuration() const { return configuration_->copy(); }
    // Nothing once the session is invalid.
    Delegate delegate() const;
    const Ref<OperationQueue>& delegateQueue() const { return queue_; }
    std::string sessionDescription() const;
    void setSessionDescription(std::string description);

    // Tasks start suspended; nothing once the session is invalidated.
    Ref<URLSessionDataTask> dataTaskWithRequest(const URLRequest& request);
    Ref<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request, const std::string& fromFile);
    Ref<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request, Bytes fromData);
    // The body comes from the request's stream, else from the delegate's needNewBodyStream.
    Ref<URLSessionUploadTask> uploadTaskWithStreamedRequest(const URLRequest& request);
    Ref<URLSessionDownloadTask> downloadTaskWithRequest(const URLRequest& request);
    // Unreadable resume data makes a task that fails when resumed.
    Ref<URLSessionDownloadTask> downloadTaskWithResumeData(const Bytes& resumeData);

    // The tasks not yet completed, answered at once on the calling thread from the session's table.
    using TasksHandler = std::function<void(std::vector<Ref<URLSessionDataTask>>, std::vector<Ref<URLSessionUploadTask>>,
                                            std::vector<Ref<URLSessionDownloadTask>>)>;
    void getTasksWithCompletionHandler(const TasksHandler& handler) const;

    // No new tasks; didBecomeInvalidWithError(nil) after the running ones complete.
    void finishTasksAndInvalidate();
    // No new tasks; cancels every task, then didBecomeInvalidWithError(nil).
    void invalidateAndCancel();

    URLSession(Ref<URLSessionConfiguration> configuration, Delegate delegate, Ref<OperationQueue> queue);

private:
    friend class URLSessionTask;
    template <class T>
    Ref<T> addTask(URLSessionTask::Kind kind, const URLRequest& request, std::function<void(T&)> setUp = nullptr);
    void taskEnded(std::uint64_t identifier);
    // The download task a data task becomes (same identifier), in the data task's place.
    Ref<URLSessionDownloadTask> makeSuccessor(URLSessionTask& dataTask);
    void invalidateWhenIdle();
    std::uint64_t nextIdentifier();
    URLCache& cache() const;

    const Ref<URLSessionConfiguration> configuration_;
    const Ref<OperationQueue> queue_;
    mutable std::mutex mutex_;  // delegate, table, description, flags
    Delegate delegate_;
    std::map<std::uint64_t, Ref<URLSessionTask>> tasks_;
    std::uint64_t lastIdentifier_ = 0;
    std::string description_;
    bool invalidated_ = false;
    bool invalidSent_ = false;
};

}  // namespace lv
