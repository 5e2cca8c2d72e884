#include "http/session_task_delegate.h"

#include <utility>

#include "http/url_session_manager.h"
#include "platform/dispatch/notification_center.h"
#include "platform/storage/file_manager.h"

namespace lv {

void HCInstallSessionTaskHooks() {
    static std::once_flag once;
    std::call_once(once, [] {
        // The platform calls the hook only on a real change: resume from not running, suspend from
        // not suspended.
        URLSessionTask::setStateHook([](URLSessionTask& task, URLSessionTaskState, URLSessionTaskState after) {
            const Ref<Object> object = task.shared_from_this();
            if (after == URLSessionTaskState::Running) {
                NotificationCenter::defaultCenter()->post(std::string(HCSessionTaskDidResumeNotification), object);
            } else if (after == URLSessionTaskState::Suspended) {
                NotificationCenter::defaultCenter()->post(std::string(HCSessionTaskDidSuspendNotification), object);
            }
        });
    });
}

Ref<Queue> HCSessionManagerProcessingQueue() {
    static const auto& queue =
        *new Ref<Queue>(Queue::makeConcurrent("com.httpclient.networking.session.manager.processing"));
    return queue;
}

Ref<Group> HCSessionManagerCompletionGroup() {
    static const Ref<Group>& group = *new Ref<Group>(Group::make());  // never destroyed
    return group;
}

HCURLSessionManagerTaskDelegate::HCURLSessionManagerTaskDelegate()
    : progress_(Progress::progressWithTotalUnitCount(0)) {}

Ref<HCURLSessionManager> HCURLSessionManagerTaskDelegate::manager() const {
    std::lock_guard guard(mutex_);
    return manager_.lock();
}
void HCURLSessionManagerTaskDelegate::setManager(const Ref<HCURLSessionManager>& manager) {
    std::lock_guard guard(mutex_);
    manager_ = manager;
}
Bytes HCURLSessionManagerTaskDelegate::mutableData() const {
    std::lock_guard guard(mutex_);
    return data_;
}
Ref<URL> HCURLSessionManagerTaskDelegate::downloadFileURL() const {
    std::lock_guard guard(mutex_);
    return downloadFileURL_;
}
void HCURLSessionManagerTaskDelegate::setDownloadTaskDidFinishDownloading(DownloadDestination block) {
    std::lock_guard guard(mutex_);
    destination_ = std::move(block);
}
void HCURLSessionManagerTaskDelegate::setCompletionHandler(CompletionHandler handler) {
    std::lock_guard guard(mutex_);
    completionHandler_ = std::move(handler);
}

void HCURLSessionManagerTaskDelegate::didSendBodyData(URLSession&, URLSessionTask&, std::int64_t,
                                                      std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend) {
    progress_->setTotalUnitCount(totalBytesExpectedToSend);
    progress_->setCompletedUnitCount(totalBytesSent);
}

void HCURLSessionManagerTaskDelegate::didReceiveData(URLSession&, URLSessionDataTask&, const Bytes& data) {
    std::lock_guard guard(mutex_);
    data_.insert(data_.end(), data.begin(), data.end());
}

void HCURLSessionManagerTaskDelegate::didWriteData(URLSession&, URLSessionDownloadTask&, std::int64_t,
                                                   std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite) {
    progress_->setTotalUnitCount(totalBytesExpectedToWrite);
    progress_->setCompletedUnitCount(totalBytesWritten);
}

void HCURLSessionManagerTaskDelegate::didResumeAtOffset(URLSession&, URLSessionDownloadTask&, std::int64_t fileOffset,
                                                        std::int64_t expectedTotalBytes) {
    progress_->setTotalUnitCount(expectedTotalBytes);
    progress_->setCompletedUnitCount(fileOffset);
}

void HCURLSessionManagerTaskDelegate::didFinishDownloadingToURL(URLSession& session, URLSessionDownloadTask& task,
                                                               const Ref<URL>& location) {
    DownloadDestination destination;
    {
        std::lock_guard guard(mutex_);
        downloadFileURL_ = nullptr;
        destination = destination_;
    }
    if (!destination) return;
    if (Ref<URL> target = destination(session, task, location)) moveDownload(task, location, target);
}

void HCURLSessionManagerTaskDelegate::moveDownload(URLSessionDownloadTask& task, const Ref<URL>& location,
                                                   const Ref<URL>& destination) {
    Ref<Error> error;
    const bool moved = location && destination &&
                       FileManager::defaultManager().moveItemAtPath(location->path(), destination->path(), &error);
    {
        std::lock_guard guard(mutex_);
        downloadFileURL_ = moved ? destination : nullptr;
        moveError_ = moved ? nullptr : error;
    }
    if (!moved) {
        NotificationCenter::defaultCenter()->post(std::string(HCNetworkingSessionDownloadFileManagerErrorNotification),
                                                  task.shared_from_this(), error ? error->userInfo() : Dictionary{});
    }
}

void HCURLSessionManagerTaskDelegate::didCompleteWithError(URLSession&, URLSessionTask& task, const Ref<Error>& taskError) {
    const Ref<HCURLSessionManager> manager = this->manager();
    const Ref<HCHTTPResponseSerializer> serializer = manager ? manager->responseSerializer() : nullptr;
    Ref<Queue> queue = manager ? manager->completionQueue() : nullptr;
    if (!queue) queue = Queue::main();
    Ref<Group> group = manager ? manager->completionGroup() : nullptr;
    if (!group) group = HCSessionManagerCompletionGroup();

    Bytes data;
    Ref<URL> fileURL;
    Ref<Error> moveError;
    CompletionHandler handler;
    {
        std::lock_guard guard(mutex_);
        data = data_;
        fileURL = downloadFileURL_;
        moveError = moveError_;
        handler = completionHandler_;
    }
    Dictionary userInfo;
    if (serializer) userInfo.set(std::string(HCNetworkingTaskCompleteResponseSerializerKey), Value(serializer));
    if (fileURL) {
        userInfo.set(std::string(HCNetworkingTaskCompleteAssetPathKey), Value(fileURL));
    } else {
        userInfo.set(std::string(HCNetworkingTaskCompleteResponseDataKey), Value(data));
    }

    const Ref<Object> taskObject = task.shared_from_this();
    const Ref<URLResponse> response = task.response();
    // A download that could not be moved to its destination is lost: report the move's error.
    const Ref<Error> error = taskError ? taskError : moveError;
    auto finish = [group, queue, handler, taskObject, response](Value object, Ref<Error> failure, Dictionary info) {
        group->async(queue, [handler, taskObject, response, object = std::move(object), failure, info = std::move(info)] {
            if (handler) handler(response, object, failure);
            Queue::main()->async([taskObject, info] {
                NotificationCenter::defaultCenter()->post(std::string(HCNetworkingTaskDidCompleteNotification), taskObject, info);
            });
        });
    };
    if (error) {
        userInfo.set(std::string(HCNetworkingTaskCompleteErrorKey), Value(error));
        finish(Value(), error, std::move(userInfo));
        return;
    }
    HCSessionManagerProcessingQueue()->async(
        [serializer, response, data = std::move(data), fileURL, userInfo = std::move(userInfo), finish]() mutable {
            Ref<Error> serializationError;
            Value object;
            if (serializer) object = serializer->responseObjectForResponse(response, Value(std::move(data)), &serializationError);
            if (fileURL) object = Value(fileURL);
            if (!object.isNil()) userInfo.set(std::string(HCNetworkingTaskCompleteSerializedResponseKey), object);
            if (serializationError) userInfo.set(std::string(HCNetworkingTaskCompleteErrorKey), Value(serializationError));
            finish(std::move(object), serializationError, std::move(userInfo));
        });
}

}  // namespace lv
