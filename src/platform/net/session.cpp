// Sessions: the task table, the task factories, invalidation, and resume data.
#include "platform/net/session.h"

#include "platform/dispatch/operation.h"
#include "platform/net/detail/session_internal.h"

namespace lv {


Ref<URLSession> URLSession::sessionWithConfiguration(const Ref<URLSessionConfiguration>& configuration, Delegate delegate,
                                                     Ref<OperationQueue> delegateQueue) {
    auto copy = configuration ? configuration->copy() : URLSessionConfiguration::defaultSessionConfiguration();
    if (!delegateQueue) {
        delegateQueue = OperationQueue::make();
        delegateQueue->setMaxConcurrentOperationCount(1);
    }
    return makeRef<URLSession>(std::move(copy), std::move(delegate), std::move(delegateQueue));
}

URLSession::URLSession(Ref<URLSessionConfiguration> configuration, Delegate delegate, Ref<OperationQueue> queue)
    : configuration_(std::move(configuration)), queue_(std::move(queue)), delegate_(std::move(delegate)) {}

URLSession::~URLSession() = default;

URLSession::Delegate URLSession::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

std::string URLSession::sessionDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void URLSession::setSessionDescription(std::string description) {
    std::lock_guard lock(mutex_);
    description_ = std::move(description);
}

URLCache& URLSession::cache() const {
    static URLCache* disabled = [] {
        auto* cache = new URLCache;
        cache->setMemoryCapacity(0);
        return cache;
    }();
    return configuration_->cache() ? *configuration_->cache() : *disabled;
}

template <class T>
Ref<T> URLSession::addTask(URLSessionTask::Kind kind, const URLRequest& request, std::function<void(T&)> setUp) {
    std::lock_guard lock(mutex_);
    if (invalidated_) return nullptr;
    const std::uint64_t identifier = ++lastIdentifier_;
    auto task = makeRef<T>(kind, URLSessionTask::Setup{std::static_pointer_cast<URLSession>(shared_from_this()), identifier, request});
    if (setUp) setUp(*task);
    tasks_.emplace(identifier, task);
    return task;
}

Ref<URLSessionDataTask> URLSession::dataTaskWithRequest(const URLRequest& request) {
    return addTask<URLSessionDataTask>(URLSessionTask::Kind::Data, request);
}

Ref<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest& request, const std::string& fromFile) {
    return addTask<URLSessionUploadTask>(URLSessionTask::Kind::Upload, request,
                                         [&](URLSessionUploadTask& task) { task.uploadFile_ = fromFile; });
}

Ref<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest& request, Bytes fromData) {
    return addTask<URLSessionUploadTask>(URLSessionTask::Kind::Upload, request, [&](URLSessionUploadTask& task) {
        task.expectedToSend_ = static_cast<std::int64_t>(fromData.size());
        task.uploadData_ = std::move(fromData);
    });
}

Ref<URLSessionUploadTask> URLSession::uploadTaskWithStreamedRequest(const URLRequest& request) {
    return addTask<URLSessionUploadTask>(URLSessionTask::Kind::Upload, request,
                                         [](URLSessionUploadTask& task) { task.streamedUpload_ = true; });
}

Ref<URLSessionDownloadTask> URLSession::downloadTaskWithRequest(const URLRequest& request) {
    return addTask<URLSessionDownloadTask>(URLSessionTask::Kind::Download, request);
}

Ref<URLSessionDownloadTask> URLSession::downloadTaskWithResumeData(const Bytes& resumeData) {
    auto info = net_detail::decodeResumeData(resumeData);
    return addTask<URLSessionDownloadTask>(URLSessionTask::Kind::Download, info ? info->request : URLRequest(),
                                           [&](URLSessionDownloadTask& task) {
                                               task.setResumeInfo(info);
                                           });
}

Ref<URLSessionDownloadTask> URLSession::makeSuccessor(URLSessionTask& dataTask) {
    auto task = makeRef<URLSessionDownloadTask>(
        URLSessionTask::Kind::Download,
        URLSessionTask::Setup{std::static_pointer_cast<URLSession>(shared_from_this()), dataTask.taskIdentifier(),
                              dataTask.originalRequest()});
    task->setTaskDescription(dataTask.taskDescription());
    std::lock_guard lock(mutex_);
    tasks_[dataTask.taskIdentifier()] = task;
    return task;
}

void URLSession::getTasksWithCompletionHandler(const TasksHandler& handler) const {
    std::vector<Ref<URLSessionDataTask>> data;
    std::vector<Ref<URLSessionUploadTask>> uploads;
    std::vector<Ref<URLSessionDownloadTask>> downloads;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [identifier, task] : tasks_) {
            const auto state = task->state();
            if (state != URLSessionTaskState::Running && state != URLSessionTaskState::Suspended) continue;
            switch (task->kind()) {
                case URLSessionTask::Kind::Data:
                    data.push_back(std::static_pointer_cast<URLSessionDataTask>(task));
                    break;
                case URLSessionTask::Kind::Upload:
                    uploads.push_back(std::static_pointer_cast<URLSessionUploadTask>(task));
                    break;
                case URLSessionTask::Kind::Download:
                    downloads.push_back(std::static_pointer_cast<URLSessionDownloadTask>(task));
                    break;
            }
        }
    }
    handler(std::move(data), std::move(uploads), std::move(downloads));
}

void URLSession::taskEnded(std::uint64_t identifier) {
    {
        std::lock_guard lock(mutex_);
        const auto found = tasks_.find(identifier);
        // A data task that became a download has already given its place to it.
        if (found != tasks_.end() && found->second->state() == URLSessionTaskState::Completed) tasks_.erase(found);
    }
    invalidateWhenIdle();
}

void URLSession::invalidateWhenIdle() {
    {
        std::lock_guard lock(mutex_);
        if (!invalidated_ || !tasks_.empty() || invalidSent_) return;
        invalidSent_ = true;
    }
    auto self = std::static_pointer_cast<URLSession>(shared_from_this());
    queue_->addOperationWithBlock([self] {
        Delegate delegate;
        {
            std::lock_guard lock(self->mutex_);
            delegate = std::exchange(self->delegate_, nullptr);
        }
        if (delegate && delegate->respondsTo(URLSessionDelegateCall::DidBecomeInvalid)) {
            delegate->didBecomeInvalidWithError(*self, nullptr);
        }
    });
}

void URLSession::finishTasksAndInvalidate() {
    {
        std::lock_guard lock(mutex_);
        invalidated_ = true;
    }
    invalidateWhenIdle();
}

void URLSession::invalidateAndCancel() {
    std::vector<Ref<URLSessionTask>> tasks;
    {
        std::lock_guard lock(mutex_);
        invalidated_ = true;
        for (const auto& [identifier, task] : tasks_) tasks.push_back(task);
    }
    for (const auto& task : tasks) task->cancel();
    invalidateWhenIdle();
}

}  // namespace lv
