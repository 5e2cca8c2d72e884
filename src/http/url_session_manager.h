// HCURLSessionManager: owns one URL session, acts as its delegate, keeps a task delegate per task it
// made and lets users replace the default handling of each session callback with a block. Task
// completion handlers get the response serialized by the manager's response serializer, on the
// completion queue (main by default) inside the completion group (a shared one by default). Threads:
// factories and accessors from any thread (settings and blocks are locked; the task-delegate map has
// its own lock); session callbacks arrive on the width-1 delegate queue. A manager can be copied and
// keyed-archived (its session's configuration under "sessionConfiguration").
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "http/network_reachability_manager.h"
#include "http/response_serialization.h"
#include "http/security_policy.h"
#include "http/session_task_delegate.h"
#include "platform/dispatch/lock.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/operation.h"
#include "platform/net/session.h"
#include "platform/storage/keyed_archive.h"

namespace lv {

class HCURLSessionManager : public Object, public URLSessionDelegate, public Coding {
public:
    using CompletionHandler = HCURLSessionManagerTaskDelegate::CompletionHandler;
    using Destination = std::function<Ref<URL>(const Ref<URL>& targetPath, const Ref<URLResponse>& response)>;
    using Disposition = URLSessionAuthChallengeDisposition;

    using SessionDidBecomeInvalidBlock = std::function<void(URLSession&, const Ref<Error>&)>;
    using SessionDidReceiveChallengeBlock =
        std::function<Disposition(URLSession&, const Ref<AuthenticationChallenge>&, Ref<URLCredential>* credential)>;
    using DidFinishEventsForBackgroundSessionBlock = std::function<void(URLSession&)>;
    using TaskWillPerformHTTPRedirectionBlock = std::function<std::optional<URLRequest>(
        URLSession&, URLSessionTask&, const Ref<HTTPURLResponse>&, const URLRequest&)>;
    using TaskDidReceiveChallengeBlock = std::function<Disposition(URLSession&, URLSessionTask&,
                                                                   const Ref<AuthenticationChallenge>&, Ref<URLCredential>*)>;
    using TaskNeedNewBodyStreamBlock = std::function<Ref<InputStream>(URLSession&, URLSessionTask&)>;
    using TaskDidSendBodyDataBlock =
        std::function<void(URLSession&, URLSessionTask&, std::int64_t, std::int64_t, std::int64_t)>;
    using TaskDidCompleteBlock = std::function<void(URLSession&, URLSessionTask&, const Ref<Error>&)>;
    using DataTaskDidReceiveResponseBlock =
        std::function<URLSessionResponseDisposition(URLSession&, URLSessionDataTask&, const Ref<URLResponse>&)>;
    using DataTaskDidBecomeDownloadTaskBlock = std::function<void(URLSession&, URLSessionDataTask&, URLSessionDownloadTask&)>;
    using DataTaskDidReceiveDataBlock = std::function<void(URLSession&, URLSessionDataTask&, const Bytes&)>;
    using DataTaskWillCacheResponseBlock =
        std::function<Ref<CachedURLResponse>(URLSession&, URLSessionDataTask&, const Ref<CachedURLResponse>&)>;
    using DownloadTaskDidFinishDownloadingBlock =
        std::function<Ref<URL>(URLSession&, URLSessionDownloadTask&, const Ref<URL>& location)>;
    using DownloadTaskDidWriteDataBlock =
        std::function<void(URLSession&, URLSessionDownloadTask&, std::int64_t, std::int64_t, std::int64_t)>;
    using DownloadTaskDidResumeBlock = std::function<void(URLSession&, URLSessionDownloadTask&, std::int64_t, std::int64_t)>;

    // A manager on the configuration (the default configuration when nil).
    static Ref<HCURLSessionManager> make(Ref<URLSessionConfiguration> configuration = nullptr);
    ~HCURLSessionManager() override;

    const Ref<URLSession>& session() const { return session_; }
    const Ref<OperationQueue>& operationQueue() const { return operationQueue_; }
    const Ref<URLSessionConfiguration>& sessionConfiguration() const { return configuration_; }
    Ref<HCHTTPResponseSerializer> responseSerializer() const;
    virtual void setResponseSerializer(Ref<HCHTTPResponseSerializer> serializer);
    Ref<HCSecurityPolicy> securityPolicy() const;
    void setSecurityPolicy(Ref<HCSecurityPolicy> policy);
    Ref<HCNetworkReachabilityManager> reachabilityManager() const;
    void setReachabilityManager(Ref<HCNetworkReachabilityManager> manager);
    // Nil: the main queue.
    Ref<Queue> completionQueue() const;
    void setCompletionQueue(Ref<Queue> queue);
    // Nil: the process-wide completion group.
    Ref<Group> completionGroup() const;
    void setCompletionGroup(Ref<Group> group);
    bool attemptsToRecreateUploadTasksForBackgroundSessions() const;
    void setAttemptsToRecreateUploadTasksForBackgroundSessions(bool attempts);
    // The manager's address as "%p", written into every task it makes.
    const std::string& taskDescriptionForSessionTasks() const { return taskDescription_; }

    // The task-delegate map, keyed by task identifier.
    Ref<HCURLSessionManagerTaskDelegate> delegateForTask(const URLSessionTask& task) const;
    void setDelegateForTask(Ref<HCURLSessionManagerTaskDelegate> delegate, const URLSessionTask& task);
    void removeDelegateForTask(const URLSessionTask& task);
    void removeAllDelegates();

    // Factories: the task is made on the serial creation queue and not resumed; nil when the session
    // refused it. A progress out-pointer receives the task delegate's progress.
    Ref<URLSessionDataTask> dataTaskWithRequest(const URLRequest& request, CompletionHandler completion);
    Ref<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request, const std::string& fromFile,
                                                    Ref<Progress>* progress, CompletionHandler completion);
    Ref<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request, Bytes fromData, Ref<Progress>* progress,
                                                    CompletionHandler completion);
    Ref<URLSessionUploadTask> uploadTaskWithStreamedRequest(const URLRequest& request, Ref<Progress>* progress,
                                                            CompletionHandler completion);
    Ref<URLSessionDownloadTask> downloadTaskWithRequest(const URLRequest& request, Ref<Progress>* progress,
                                                        Destination destination, CompletionHandler completion);
    Ref<URLSessionDownloadTask> downloadTaskWithResumeData(const Bytes& resumeData, Ref<Progress>* progress,
                                                           Destination destination, CompletionHandler completion);

    Ref<Progress> uploadProgressForTask(const URLSessionTask& task) const;
    Ref<Progress> downloadProgressForTask(const URLSessionTask& task) const;

    // "tasks" (data, upload, download in that order), "dataTasks", "uploadTasks", "downloadTasks";
    // nothing for any other key. Safe inside a session callback: the session answers at once.
    std::optional<std::vector<Ref<URLSessionTask>>> tasksForKeyPath(std::string_view keyPath) const;
    std::vector<Ref<URLSessionTask>> tasks() const { return *tasksForKeyPath("tasks"); }
    std::vector<Ref<URLSessionTask>> dataTasks() const { return *tasksForKeyPath("dataTasks"); }
    std::vector<Ref<URLSessionTask>> uploadTasks() const { return *tasksForKeyPath("uploadTasks"); }
    std::vector<Ref<URLSessionTask>> downloadTasks() const { return *tasksForKeyPath("downloadTasks"); }

    // Asynchronously on the main queue: invalidateAndCancel when true, finishTasksAndInvalidate otherwise.
    void invalidateSessionCancelingTasks(bool cancelPendingTasks);

    void setSessionDidBecomeInvalidBlock(SessionDidBecomeInvalidBlock block);
    void setSessionDidReceiveAuthenticationChallengeBlock(SessionDidReceiveChallengeBlock block);
    void setDidFinishEventsForBackgroundURLSessionBlock(DidFinishEventsForBackgroundSessionBlock block);
    void setTaskWillPerformHTTPRedirectionBlock(TaskWillPerformHTTPRedirectionBlock block);
    void setTaskDidReceiveAuthenticationChallengeBlock(TaskDidReceiveChallengeBlock block);
    void setTaskNeedNewBodyStreamBlock(TaskNeedNewBodyStreamBlock block);
    void setTaskDidSendBodyDataBlock(TaskDidSendBodyDataBlock block);
    void setTaskDidCompleteBlock(TaskDidCompleteBlock block);
    void setDataTaskDidReceiveResponseBlock(DataTaskDidReceiveResponseBlock block);
    void setDataTaskDidBecomeDownloadTaskBlock(DataTaskDidBecomeDownloadTaskBlock block);
    void setDataTaskDidReceiveDataBlock(DataTaskDidReceiveDataBlock block);
    void setDataTaskWillCacheResponseBlock(DataTaskWillCacheResponseBlock block);
    void setDownloadTaskDidFinishDownloadingBlock(DownloadTaskDidFinishDownloadingBlock block);
    void setDownloadTaskDidWriteDataBlock(DownloadTaskDidWriteDataBlock block);
    void setDownloadTaskDidResumeBlock(DownloadTaskDidResumeBlock block);

    // "<HCURLSessionManager: 0x…, session: …, operationQueue: …>".
    std::string description() const override;
    // A manager of the same class on the session's configuration, nothing else copied.
    Ref<HCURLSessionManager> copy() const { return makeCopy(); }

    // The class "HCURLSessionManager" (registered by every new manager).
    static const ClassInfo* runtimeClass();
    // The session's configuration under "sessionConfiguration" (a background configuration cannot be
    // archived: the archiver raises).
    void encodeWithCoder(Coder& coder) const override;
    // A manager on the archived configuration (the default one when there is none).
    bool initWithCoder(Coder& coder) override;
    bool supportsSecureCoding() const override { return true; }

    // URLSessionDelegate: four optional calls answer whether their block is set.
    bool respondsTo(URLSessionDelegateCall call) const override;
    void didBecomeInvalidWithError(URLSession&, const Ref<Error>&) override;
    void didReceiveChallenge(URLSession&, const Ref<AuthenticationChallenge>&, ChallengeHandler handler) override;
    void didFinishEventsForBackgroundURLSession(URLSession&) override;
    void willPerformHTTPRedirection(URLSession&, URLSessionTask&, const Ref<HTTPURLResponse>&, const URLRequest& request,
                                    std::function<void(std::optional<URLRequest>)> handler) override;
    void didReceiveChallenge(URLSession&, URLSessionTask&, const Ref<AuthenticationChallenge>&,
                             ChallengeHandler handler) override;
    void needNewBodyStream(URLSession&, URLSessionTask&, std::function<void(Ref<InputStream>)> handler) override;
    void didSendBodyData(URLSession&, URLSessionTask&, std::int64_t, std::int64_t, std::int64_t) override;
    void didCompleteWithError(URLSession&, URLSessionTask&, const Ref<Error>&) override;
    void didReceiveResponse(URLSession&, URLSessionDataTask&, const Ref<URLResponse>&,
                            std::function<void(URLSessionResponseDisposition)> handler) override;
    void didBecomeDownloadTask(URLSession&, URLSessionDataTask&, URLSessionDownloadTask&) override;
    void didReceiveData(URLSession&, URLSessionDataTask&, const Bytes&) override;
    void willCacheResponse(URLSession&, URLSessionDataTask&, const Ref<CachedURLResponse>& proposed,
                           std::function<void(Ref<CachedURLResponse>)> handler) override;
    void didWriteData(URLSession&, URLSessionDownloadTask&, std::int64_t, std::int64_t, std::int64_t) override;
    void didResumeAtOffset(URLSession&, URLSessionDownloadTask&, std::int64_t, std::int64_t) override;
    void didFinishDownloadingToURL(URLSession&, URLSessionDownloadTask&, const Ref<URL>&) override;

    explicit HCURLSessionManager(Ref<URLSessionConfiguration> configuration);

protected:
    // Creates the session (with this manager as its delegate) and starts observing the task hooks;
    // called once right after construction by every factory.
    void setUp();
    virtual Ref<HCURLSessionManager> makeCopy() const;
    // Decoding replaces the configuration of a manager made by the class's factory, before setUp.
    void setConfigurationBeforeSetUp(Ref<URLSessionConfiguration> configuration);

private:
    void addDelegateForDataTask(URLSessionTask& task, CompletionHandler completion);
    void addDelegateForUploadTask(URLSessionTask& task, Ref<Progress>* progress, CompletionHandler completion);
    void addDelegateForDownloadTask(URLSessionTask& task, Ref<Progress>* progress, Destination destination,
                                    CompletionHandler completion);
    Ref<HCURLSessionManagerTaskDelegate> newTaskDelegate(CompletionHandler completion);
    void taskStateChanged(const Notification& notification, std::string_view publicName) const;
    Disposition answerChallenge(const Ref<AuthenticationChallenge>& challenge, Ref<URLCredential>* credential) const;

    Ref<URLSessionConfiguration> configuration_;  // set before setUp, then fixed
    const Ref<OperationQueue> operationQueue_;
    Ref<URLSession> session_;
    const std::string taskDescription_;
    std::vector<Ref<Object>> observers_;

    mutable Lock lock_{"com.httpclient.networking.session.manager.lock"};
    std::map<std::uint64_t, Ref<HCURLSessionManagerTaskDelegate>> taskDelegates_;

    mutable std::mutex mutex_;  // settings and blocks
    Ref<HCHTTPResponseSerializer> responseSerializer_;
    Ref<HCSecurityPolicy> securityPolicy_;
    Ref<HCNetworkReachabilityManager> reachabilityManager_;
    Ref<Queue> completionQueue_;
    Ref<Group> completionGroup_;
    bool attemptsToRecreateUploadTasks_ = false;
    struct Blocks {
        SessionDidBecomeInvalidBlock sessionDidBecomeInvalid;
        SessionDidReceiveChallengeBlock sessionDidReceiveChallenge;
        DidFinishEventsForBackgroundSessionBlock didFinishEventsForBackgroundSession;
        TaskWillPerformHTTPRedirectionBlock taskWillPerformHTTPRedirection;
        TaskDidReceiveChallengeBlock taskDidReceiveChallenge;
        TaskNeedNewBodyStreamBlock taskNeedNewBodyStream;
        TaskDidSendBodyDataBlock taskDidSendBodyData;
        TaskDidCompleteBlock taskDidComplete;
        DataTaskDidReceiveResponseBlock dataTaskDidReceiveResponse;
        DataTaskDidBecomeDownloadTaskBlock dataTaskDidBecomeDownloadTask;
        DataTaskDidReceiveDataBlock dataTaskDidReceiveData;
        DataTaskWillCacheResponseBlock dataTaskWillCacheResponse;
        DownloadTaskDidFinishDownloadingBlock downloadTaskDidFinishDownloading;
        DownloadTaskDidWriteDataBlock downloadTaskDidWriteData;
        DownloadTaskDidResumeBlock downloadTaskDidResume;
    };
    Blocks blocks_;
    Blocks blocks() const {
        std::lock_guard guard(mutex_);
        return blocks_;
    }
};

}  // namespace lv
