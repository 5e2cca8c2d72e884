#include "http/url_session_manager.h"

#include <cstdlib>
#include <utility>

#include "platform/dispatch/notification_center.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/file_manager.h"

namespace lv {

namespace {

const Ref<Queue>& creationQueue() {
    static const auto& queue = *new Ref<Queue>(Queue::makeSerial("com.httpclient.networking.session.manager.creation"));
    return queue;
}

// The request's "Content-Length" as a number, or -1.
std::int64_t contentLength(const URLRequest& request) {
    const auto text = request.valueForHTTPHeaderField("Content-Length");
    return text ? std::strtoll(text->c_str(), nullptr, 10) : -1;
}

template <class T>
void append(std::vector<Ref<URLSessionTask>>& out, const std::vector<Ref<T>>& tasks) {
    out.insert(out.end(), tasks.begin(), tasks.end());
}

}  // namespace

HCURLSessionManager::HCURLSessionManager(Ref<URLSessionConfiguration> configuration)
    : configuration_(configuration ? std::move(configuration) : URLSessionConfiguration::defaultSessionConfiguration()),
      operationQueue_(OperationQueue::make()),
      taskDescription_(addressText(this)),
      responseSerializer_(HCJSONResponseSerializer::serializer()),
      securityPolicy_(HCSecurityPolicy::defaultPolicy()),
      reachabilityManager_(HCNetworkReachabilityManager::sharedManager()) {
    operationQueue_->setMaxConcurrentOperationCount(1);
    runtimeClass();
}

Ref<HCURLSessionManager> HCURLSessionManager::make(Ref<URLSessionConfiguration> configuration) {
    auto manager = makeRef<HCURLSessionManager>(std::move(configuration));
    manager->setUp();
    return manager;
}

void HCURLSessionManager::setUp() {
    HCInstallSessionTaskHooks();
    // The session keeps its delegate, this manager, until it is invalidated.
    const auto self = std::static_pointer_cast<HCURLSessionManager>(shared_from_this());
    session_ = URLSession::sessionWithConfiguration(configuration_, std::shared_ptr<URLSessionDelegate>(self, this),
                                                   operationQueue_);
    // Tasks a session already has (none for a new in-process session) get a delegate again.
    session_->getTasksWithCompletionHandler([this](auto dataTasks, auto uploadTasks, auto downloadTasks) {
        for (const auto& task : dataTasks) addDelegateForDataTask(*task, nullptr);
        for (const auto& task : uploadTasks) addDelegateForUploadTask(*task, nullptr, nullptr);
        for (const auto& task : downloadTasks) addDelegateForDownloadTask(*task, nullptr, nullptr, nullptr);
    });
    const Weak<HCURLSessionManager> weak = self;
    auto observe = [&](std::string_view name, std::string_view publicName) {
        observers_.push_back(NotificationCenter::defaultCenter()->addObserverForName(
            name, nullptr, nullptr, [weak, publicName](const Notification& notification) {
                if (auto manager = weak.lock()) manager->taskStateChanged(notification, publicName);
            }));
    };
    observe(HCSessionTaskDidResumeNotification, HCNetworkingTaskDidResumeNotification);
    observe(HCSessionTaskDidSuspendNotification, HCNetworkingTaskDidSuspendNotification);
}

HCURLSessionManager::~HCURLSessionManager() {
    for (const auto& token : observers_) NotificationCenter::defaultCenter()->removeObserver(token.get());
}

void HCURLSessionManager::taskStateChanged(const Notification& notification, std::string_view publicName) const {
    auto task = std::dynamic_pointer_cast<URLSessionTask>(notification.object());
    if (!task || task->taskDescription() != taskDescription_) return;
    Queue::main()->async([task, name = std::string(publicName)] {
        NotificationCenter::defaultCenter()->post(name, task);
    });
}

// Settings.

Ref<HCHTTPResponseSerializer> HCURLSessionManager::responseSerializer() const {
    std::lock_guard guard(mutex_);
    return responseSerializer_;
}
void HCURLSessionManager::setResponseSerializer(Ref<HCHTTPResponseSerializer> serializer) {
    std::lock_guard guard(mutex_);
    responseSerializer_ = std::move(serializer);
}
Ref<HCSecurityPolicy> HCURLSessionManager::securityPolicy() const {
    std::lock_guard guard(mutex_);
    return securityPolicy_;
}
void HCURLSessionManager::setSecurityPolicy(Ref<HCSecurityPolicy> policy) {
    std::lock_guard guard(mutex_);
    securityPolicy_ = std::move(policy);
}
Ref<HCNetworkReachabilityManager> HCURLSessionManager::reachabilityManager() const {
    std::lock_guard guard(mutex_);
    return reachabilityManager_;
}
void HCURLSessionManager::setReachabilityManager(Ref<HCNetworkReachabilityManager> manager) {
    std::lock_guard guard(mutex_);
    reachabilityManager_ = std::move(manager);
}
Ref<Queue> HCURLSessionManager::completionQueue() const {
    std::lock_guard guard(mutex_);
    return completionQueue_;
}
void HCURLSessionManager::setCompletionQueue(Ref<Queue> queue) {
    std::lock_guard guard(mutex_);
    completionQueue_ = std::move(queue);
}
Ref<Group> HCURLSessionManager::completionGroup() const {
    std::lock_guard guard(mutex_);
    return completionGroup_;
}
void HCURLSessionManager::setCompletionGroup(Ref<Group> group) {
    std::lock_guard guard(mutex_);
    completionGroup_ = std::move(group);
}
bool HCURLSessionManager::attemptsToRecreateUploadTasksForBackgroundSessions() const {
    std::lock_guard guard(mutex_);
    return attemptsToRecreateUploadTasks_;
}
void HCURLSessionManager::setAttemptsToRecreateUploadTasksForBackgroundSessions(bool attempts) {
    std::lock_guard guard(mutex_);
    attemptsToRecreateUploadTasks_ = attempts;
}

// The task-delegate map.

Ref<HCURLSessionManagerTaskDelegate> HCURLSessionManager::delegateForTask(const URLSessionTask& task) const {
    std::lock_guard guard(lock_);
    auto it = taskDelegates_.find(task.taskIdentifier());
    return it == taskDelegates_.end() ? nullptr : it->second;
}
void HCURLSessionManager::setDelegateForTask(Ref<HCURLSessionManagerTaskDelegate> delegate, const URLSessionTask& task) {
    std::lock_guard guard(lock_);
    taskDelegates_[task.taskIdentifier()] = std::move(delegate);
}
void HCURLSessionManager::removeDelegateForTask(const URLSessionTask& task) {
    std::lock_guard guard(lock_);
    taskDelegates_.erase(task.taskIdentifier());
}
void HCURLSessionManager::removeAllDelegates() {
    std::lock_guard guard(lock_);
    taskDelegates_.clear();
}

Ref<HCURLSessionManagerTaskDelegate> HCURLSessionManager::newTaskDelegate(CompletionHandler completion) {
    auto delegate = makeRef<HCURLSessionManagerTaskDelegate>();
    delegate->setManager(std::static_pointer_cast<HCURLSessionManager>(shared_from_this()));
    delegate->setCompletionHandler(std::move(completion));
    return delegate;
}

void HCURLSessionManager::addDelegateForDataTask(URLSessionTask& task, CompletionHandler completion) {
    auto delegate = newTaskDelegate(std::move(completion));
    task.setTaskDescription(taskDescription_);
    setDelegateForTask(std::move(delegate), task);
}

void HCURLSessionManager::addDelegateForUploadTask(URLSessionTask& task, Ref<Progress>* progress,
                                                   CompletionHandler completion) {
    auto delegate = newTaskDelegate(std::move(completion));
    std::int64_t total = task.countOfBytesExpectedToSend();
    if (total == -1) {
        const std::int64_t length = contentLength(task.originalRequest());
        if (length >= 0) total = length;
    }
    delegate->progress()->setTotalUnitCount(total);
    const Weak<URLSessionTask> weakTask = std::static_pointer_cast<URLSessionTask>(task.shared_from_this());
    delegate->progress()->setPausingHandler([weakTask] {
        if (auto t = weakTask.lock()) t->suspend();
    });
    delegate->progress()->setCancellationHandler([weakTask] {
        if (auto t = weakTask.lock()) t->cancel();
    });
    if (progress) *progress = delegate->progress();
    task.setTaskDescription(taskDescription_);
    setDelegateForTask(std::move(delegate), task);
}

void HCURLSessionManager::addDelegateForDownloadTask(URLSessionTask& task, Ref<Progress>* progress,
                                                     Destination destination, CompletionHandler completion) {
    auto delegate = newTaskDelegate(std::move(completion));
    if (destination) {
        delegate->setDownloadTaskDidFinishDownloading(
            [destination](URLSession&, URLSessionDownloadTask& downloadTask, const Ref<URL>& location) {
                return destination(location, downloadTask.response());
            });
    }
    if (progress) *progress = delegate->progress();
    task.setTaskDescription(taskDescription_);
    setDelegateForTask(std::move(delegate), task);
}

// Factories.

Ref<URLSessionDataTask> HCURLSessionManager::dataTaskWithRequest(const URLRequest& request, CompletionHandler completion) {
    Ref<URLSessionDataTask> task;
    creationQueue()->sync([&] { task = session_->dataTaskWithRequest(request); });
    if (task) addDelegateForDataTask(*task, std::move(completion));
    return task;
}

Ref<URLSessionUploadTask> HCURLSessionManager::uploadTaskWithRequest(const URLRequest& request, const std::string& fromFile,
                                                                     Ref<Progress>* progress, CompletionHandler completion) {
    Ref<URLSessionUploadTask> task;
    creationQueue()->sync([&] { task = session_->uploadTaskWithRequest(request, fromFile); });
    // A background session may refuse a task at first; kept although sessions here run in the process.
    if (!task && attemptsToRecreateUploadTasksForBackgroundSessions() && configuration_->identifier()) {
        for (int attempt = 0; attempt < 3 && !task; ++attempt) task = session_->uploadTaskWithRequest(request, fromFile);
    }
    if (task) addDelegateForUploadTask(*task, progress, std::move(completion));
    return task;
}

Ref<URLSessionUploadTask> HCURLSessionManager::uploadTaskWithRequest(const URLRequest& request, Bytes fromData,
                                                                     Ref<Progress>* progress, CompletionHandler completion) {
    Ref<URLSessionUploadTask> task;
    creationQueue()->sync([&] { task = session_->uploadTaskWithRequest(request, std::move(fromData)); });
    if (task) addDelegateForUploadTask(*task, progress, std::move(completion));
    return task;
}

Ref<URLSessionUploadTask> HCURLSessionManager::uploadTaskWithStreamedRequest(const URLRequest& request, Ref<Progress>* progress,
                                                                             CompletionHandler completion) {
    Ref<URLSessionUploadTask> task;
    creationQueue()->sync([&] { task = session_->uploadTaskWithStreamedRequest(request); });
    if (task) addDelegateForUploadTask(*task, progress, std::move(completion));
    return task;
}

Ref<URLSessionDownloadTask> HCURLSessionManager::downloadTaskWithRequest(const URLRequest& request, Ref<Progress>* progress,
                                                                         Destination destination, CompletionHandler completion) {
    Ref<URLSessionDownloadTask> task;
    creationQueue()->sync([&] { task = session_->downloadTaskWithRequest(request); });
    if (task) addDelegateForDownloadTask(*task, progress, std::move(destination), std::move(completion));
    return task;
}

Ref<URLSessionDownloadTask> HCURLSessionManager::downloadTaskWithResumeData(const Bytes& resumeData, Ref<Progress>* progress,
                                                                            Destination destination, CompletionHandler completion) {
    Ref<URLSessionDownloadTask> task;
    creationQueue()->sync([&] { task = session_->downloadTaskWithResumeData(resumeData); });
    if (task) addDelegateForDownloadTask(*task, progress, std::move(destination), std::move(completion));
    return task;
}

Ref<Progress> HCURLSessionManager::uploadProgressForTask(const URLSessionTask& task) const {
    auto delegate = delegateForTask(task);
    return delegate ? delegate->progress() : nullptr;
}
Ref<Progress> HCURLSessionManager::downloadProgressForTask(const URLSessionTask& task) const {
    return uploadProgressForTask(task);
}

std::optional<std::vector<Ref<URLSessionTask>>> HCURLSessionManager::tasksForKeyPath(std::string_view keyPath) const {
    if (keyPath != "tasks" && keyPath != "dataTasks" && keyPath != "uploadTasks" && keyPath != "downloadTasks") {
        return std::nullopt;
    }
    std::vector<Ref<URLSessionTask>> result;
    session_->getTasksWithCompletionHandler([&](auto dataTasks, auto uploadTasks, auto downloadTasks) {
        if (keyPath == "tasks" || keyPath == "dataTasks") append(result, dataTasks);
        if (keyPath == "tasks" || keyPath == "uploadTasks") append(result, uploadTasks);
        if (keyPath == "tasks" || keyPath == "downloadTasks") append(result, downloadTasks);
    });
    return result;
}

void HCURLSessionManager::invalidateSessionCancelingTasks(bool cancelPendingTasks) {
    Queue::main()->async([session = session_, cancelPendingTasks] {
        if (cancelPendingTasks) {
            session->invalidateAndCancel();
        } else {
            session->finishTasksAndInvalidate();
        }
    });
}

// Block setters.

#define LV_BLOCK_SETTER(Setter, Type, field)          \
    void HCURLSessionManager::Setter(Type block) {    \
        std::lock_guard guard(mutex_);                \
        blocks_.field = std::move(block);             \
    }
LV_BLOCK_SETTER(setSessionDidBecomeInvalidBlock, SessionDidBecomeInvalidBlock, sessionDidBecomeInvalid)
LV_BLOCK_SETTER(setSessionDidReceiveAuthenticationChallengeBlock, SessionDidReceiveChallengeBlock, sessionDidReceiveChallenge)
LV_BLOCK_SETTER(setDidFinishEventsForBackgroundURLSessionBlock, DidFinishEventsForBackgroundSessionBlock,
                didFinishEventsForBackgroundSession)
LV_BLOCK_SETTER(setTaskWillPerformHTTPRedirectionBlock, TaskWillPerformHTTPRedirectionBlock, taskWillPerformHTTPRedirection)
LV_BLOCK_SETTER(setTaskDidReceiveAuthenticationChallengeBlock, TaskDidReceiveChallengeBlock, taskDidReceiveChallenge)
LV_BLOCK_SETTER(setTaskNeedNewBodyStreamBlock, TaskNeedNewBodyStreamBlock, taskNeedNewBodyStream)
LV_BLOCK_SETTER(setTaskDidSendBodyDataBlock, TaskDidSendBodyDataBlock, taskDidSendBodyData)
LV_BLOCK_SETTER(setTaskDidCompleteBlock, TaskDidCompleteBlock, taskDidComplete)
LV_BLOCK_SETTER(setDataTaskDidReceiveResponseBlock, DataTaskDidReceiveResponseBlock, dataTaskDidReceiveResponse)
LV_BLOCK_SETTER(setDataTaskDidBecomeDownloadTaskBlock, DataTaskDidBecomeDownloadTaskBlock, dataTaskDidBecomeDownloadTask)
LV_BLOCK_SETTER(setDataTaskDidReceiveDataBlock, DataTaskDidReceiveDataBlock, dataTaskDidReceiveData)
LV_BLOCK_SETTER(setDataTaskWillCacheResponseBlock, DataTaskWillCacheResponseBlock, dataTaskWillCacheResponse)
LV_BLOCK_SETTER(setDownloadTaskDidFinishDownloadingBlock, DownloadTaskDidFinishDownloadingBlock,
                downloadTaskDidFinishDownloading)
LV_BLOCK_SETTER(setDownloadTaskDidWriteDataBlock, DownloadTaskDidWriteDataBlock, downloadTaskDidWriteData)
LV_BLOCK_SETTER(setDownloadTaskDidResumeBlock, DownloadTaskDidResumeBlock, downloadTaskDidResume)
#undef LV_BLOCK_SETTER

std::string HCURLSessionManager::description() const {
    return "<" + className() + ": " + addressText(this) + ", session: " + session_->description() +
           ", operationQueue: " + operationQueue_->description() + ">";
}

Ref<HCURLSessionManager> HCURLSessionManager::makeCopy() const { return make(session_->configuration()); }

void HCURLSessionManager::setConfigurationBeforeSetUp(Ref<URLSessionConfiguration> configuration) {
    configuration_ = configuration ? std::move(configuration) : URLSessionConfiguration::defaultSessionConfiguration();
}

const ClassInfo* HCURLSessionManager::runtimeClass() {
    static const ClassInfo* cls =
        ClassDef<HCURLSessionManager>("HCURLSessionManager")
            .factory([] { return std::static_pointer_cast<Object>(makeRef<HCURLSessionManager>(nullptr)); })
            .registerClass();
    return cls;
}

void HCURLSessionManager::encodeWithCoder(Coder& coder) const {
    coder.encodeObject(Value(session_->configuration()), "sessionConfiguration");
}

bool HCURLSessionManager::initWithCoder(Coder& coder) {
    const Value configuration =
        coder.decodeObjectOfClass(URLSessionConfiguration::runtimeClass(), "sessionConfiguration");
    if (!configuration.isNil() && !configuration.objectAs<URLSessionConfiguration>()) return false;
    setConfigurationBeforeSetUp(configuration.objectAs<URLSessionConfiguration>());
    setUp();
    return true;
}

// Session delegate.

bool HCURLSessionManager::respondsTo(URLSessionDelegateCall call) const {
    std::lock_guard guard(mutex_);
    switch (call) {
        case URLSessionDelegateCall::WillPerformHTTPRedirection: return bool(blocks_.taskWillPerformHTTPRedirection);
        case URLSessionDelegateCall::DidReceiveResponse: return bool(blocks_.dataTaskDidReceiveResponse);
        case URLSessionDelegateCall::WillCacheResponse: return bool(blocks_.dataTaskWillCacheResponse);
        case URLSessionDelegateCall::DidFinishEventsForBackgroundSession:
            return bool(blocks_.didFinishEventsForBackgroundSession);
        default: return true;
    }
}

void HCURLSessionManager::didBecomeInvalidWithError(URLSession& session, const Ref<Error>& error) {
    if (auto block = blocks().sessionDidBecomeInvalid) block(session, error);
    removeAllDelegates();
    NotificationCenter::defaultCenter()->post(std::string(HCNetworkingSessionDidInvalidateNotification),
                                              session.shared_from_this());
}

HCURLSessionManager::Disposition HCURLSessionManager::answerChallenge(const Ref<AuthenticationChallenge>& challenge,
                                                                     Ref<URLCredential>* credential) const {
    const auto& space = challenge->protectionSpace();
    if (!space || space->authenticationMethod() != kAuthenticationMethodServerTrust) {
        return Disposition::PerformDefaultHandling;
    }
    if (!securityPolicy()->evaluateServerTrust(space->serverTrust(), space->host())) {
        return Disposition::CancelAuthenticationChallenge;
    }
    *credential = URLCredential::credentialForTrust(space->serverTrust());
    return *credential ? Disposition::UseCredential : Disposition::PerformDefaultHandling;
}

void HCURLSessionManager::didReceiveChallenge(URLSession& session, const Ref<AuthenticationChallenge>& challenge,
                                              ChallengeHandler handler) {
    Ref<URLCredential> credential;
    const auto block = blocks().sessionDidReceiveChallenge;
    const Disposition disposition = block ? block(session, challenge, &credential) : answerChallenge(challenge, &credential);
    if (handler) handler(disposition, credential);
}

void HCURLSessionManager::didReceiveChallenge(URLSession& session, URLSessionTask& task,
                                              const Ref<AuthenticationChallenge>& challenge, ChallengeHandler handler) {
    Ref<URLCredential> credential;
    const auto block = blocks().taskDidReceiveChallenge;
    const Disposition disposition =
        block ? block(session, task, challenge, &credential) : answerChallenge(challenge, &credential);
    if (handler) handler(disposition, credential);
}

void HCURLSessionManager::didFinishEventsForBackgroundURLSession(URLSession& session) {
    if (auto block = blocks().didFinishEventsForBackgroundSession) {
        Queue::main()->async([block, keep = session.shared_from_this(), &session] { block(session); });
    }
}

void HCURLSessionManager::willPerformHTTPRedirection(URLSession& session, URLSessionTask& task,
                                                     const Ref<HTTPURLResponse>& response, const URLRequest& request,
                                                     std::function<void(std::optional<URLRequest>)> handler) {
    std::optional<URLRequest> next = request;
    if (auto block = blocks().taskWillPerformHTTPRedirection) next = block(session, task, response, request);
    if (handler) handler(std::move(next));
}

void HCURLSessionManager::needNewBodyStream(URLSession& session, URLSessionTask& task,
                                            std::function<void(Ref<InputStream>)> handler) {
    Ref<InputStream> stream;
    if (auto block = blocks().taskNeedNewBodyStream) {
        stream = block(session, task);
    } else if (const auto& body = task.originalRequest().HTTPBodyStream()) {
        stream = body->copy();
    }
    if (handler) handler(std::move(stream));
}

void HCURLSessionManager::didSendBodyData(URLSession& session, URLSessionTask& task, std::int64_t bytesSent,
                                          std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend) {
    std::int64_t expected = totalBytesExpectedToSend;
    if (expected == -1) {
        const std::int64_t length = contentLength(task.originalRequest());
        if (length >= 0) expected = length;
    }
    if (auto delegate = delegateForTask(task)) delegate->didSendBodyData(session, task, bytesSent, totalBytesSent, expected);
    if (auto block = blocks().taskDidSendBodyData) block(session, task, bytesSent, totalBytesSent, expected);
}

void HCURLSessionManager::didCompleteWithError(URLSession& session, URLSessionTask& task, const Ref<Error>& error) {
    if (auto delegate = delegateForTask(task)) {
        delegate->didCompleteWithError(session, task, error);
        removeDelegateForTask(task);
    }
    if (auto block = blocks().taskDidComplete) block(session, task, error);
}

void HCURLSessionManager::didReceiveResponse(URLSession& session, URLSessionDataTask& task, const Ref<URLResponse>& response,
                                             std::function<void(URLSessionResponseDisposition)> handler) {
    auto disposition = URLSessionResponseDisposition::Allow;
    if (auto block = blocks().dataTaskDidReceiveResponse) disposition = block(session, task, response);
    if (handler) handler(disposition);
}

void HCURLSessionManager::didBecomeDownloadTask(URLSession& session, URLSessionDataTask& dataTask,
                                                URLSessionDownloadTask& downloadTask) {
    if (auto delegate = delegateForTask(dataTask)) {
        removeDelegateForTask(dataTask);
        setDelegateForTask(std::move(delegate), downloadTask);
    }
    if (auto block = blocks().dataTaskDidBecomeDownloadTask) block(session, dataTask, downloadTask);
}

void HCURLSessionManager::didReceiveData(URLSession& session, URLSessionDataTask& task, const Bytes& data) {
    if (auto delegate = delegateForTask(task)) delegate->didReceiveData(session, task, data);
    if (auto block = blocks().dataTaskDidReceiveData) block(session, task, data);
}

void HCURLSessionManager::willCacheResponse(URLSession& session, URLSessionDataTask& task,
                                            const Ref<CachedURLResponse>& proposed,
                                            std::function<void(Ref<CachedURLResponse>)> handler) {
    Ref<CachedURLResponse> cached = proposed;
    if (auto block = blocks().dataTaskWillCacheResponse) cached = block(session, task, proposed);
    if (handler) handler(std::move(cached));
}

void HCURLSessionManager::didWriteData(URLSession& session, URLSessionDownloadTask& task, std::int64_t bytesWritten,
                                       std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite) {
    if (auto delegate = delegateForTask(task)) {
        delegate->didWriteData(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
    }
    if (auto block = blocks().downloadTaskDidWriteData) block(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
}

void HCURLSessionManager::didResumeAtOffset(URLSession& session, URLSessionDownloadTask& task, std::int64_t fileOffset,
                                            std::int64_t expectedTotalBytes) {
    if (auto delegate = delegateForTask(task)) delegate->didResumeAtOffset(session, task, fileOffset, expectedTotalBytes);
    if (auto block = blocks().downloadTaskDidResume) block(session, task, fileOffset, expectedTotalBytes);
}

void HCURLSessionManager::didFinishDownloadingToURL(URLSession& session, URLSessionDownloadTask& task,
                                                   const Ref<URL>& location) {
    auto delegate = delegateForTask(task);
    if (auto block = blocks().downloadTaskDidFinishDownloading) {
        if (Ref<URL> destination = block(session, task, location)) {
            if (delegate) {
                delegate->moveDownload(task, location, destination);
            } else {
                // No delegate to report to: the move's failure is only announced.
                Ref<Error> error;
                if (!FileManager::defaultManager().moveItemAtPath(location->path(), destination->path(), &error)) {
                    NotificationCenter::defaultCenter()->post(
                        std::string(HCNetworkingSessionDownloadFileManagerErrorNotification), task.shared_from_this(),
                        error ? error->userInfo() : Dictionary{});
                }
            }
            return;
        }
    }
    if (delegate) delegate->didFinishDownloadingToURL(session, task, location);
}

}  // namespace lv
