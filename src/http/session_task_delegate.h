// HCURLSessionManagerTaskDelegate: the state of one task made by a URL session manager (received data,
// progress, download destination, completion handler); turns the task's end into a serialized
// response for the completion handler and a completion notification. Also the task hooks that announce
// every real resume or suspend of any session task. Threads: the delegate's calls run on the session's
// delegate queue; its accessors are locked and callable from any thread.
#pragma once

#include <functional>
#include <mutex>
#include <string_view>

#include "http/response_serialization.h"
#include "platform/dispatch/queue.h"
#include "platform/net/progress.h"
#include "platform/net/session.h"

namespace lv {

class HCURLSessionManager;

inline constexpr std::string_view HCNetworkingTaskDidResumeNotification = "com.httpclient.networking.task.resume";
inline constexpr std::string_view HCNetworkingTaskDidSuspendNotification = "com.httpclient.networking.task.suspend";
inline constexpr std::string_view HCNetworkingTaskDidCompleteNotification = "com.httpclient.networking.task.complete";
inline constexpr std::string_view HCNetworkingSessionDidInvalidateNotification =
    "com.httpclient.networking.session.invalidate";
inline constexpr std::string_view HCNetworkingSessionDownloadFileManagerErrorNotification =
    "com.httpclient.networking.session.download.file-manager-error";
// The private notifications of the task hooks, posted on the resuming or suspending thread.
inline constexpr std::string_view HCSessionTaskDidResumeNotification = "com.httpclient.networking.nsurlsessiontask.resume";
inline constexpr std::string_view HCSessionTaskDidSuspendNotification = "com.httpclient.networking.nsurlsessiontask.suspend";

inline constexpr std::string_view HCNetworkingTaskCompleteResponseSerializerKey =
    "com.httpclient.networking.task.complete.responseserializer";
inline constexpr std::string_view HCNetworkingTaskCompleteAssetPathKey = "com.httpclient.networking.task.complete.assetpath";
inline constexpr std::string_view HCNetworkingTaskCompleteResponseDataKey = "com.httpclient.networking.complete.finish.responsedata";
inline constexpr std::string_view HCNetworkingTaskCompleteSerializedResponseKey =
    "com.httpclient.networking.task.complete.serializedresponse";
inline constexpr std::string_view HCNetworkingTaskCompleteErrorKey = "com.httpclient.networking.task.complete.error";

// Installs the process-wide task state hook once; later calls do nothing.
void HCInstallSessionTaskHooks();

// The concurrent queue where responses are serialized, and the group used when a manager has none.
Ref<Queue> HCSessionManagerProcessingQueue();
Ref<Group> HCSessionManagerCompletionGroup();

class HCURLSessionManagerTaskDelegate : public Object {
public:
    using CompletionHandler = std::function<void(const Ref<URLResponse>&, const Value& responseObject, const Ref<Error>&)>;
    using DownloadDestination = std::function<Ref<URL>(URLSession&, URLSessionDownloadTask&, const Ref<URL>& location)>;

    HCURLSessionManagerTaskDelegate();

    Ref<HCURLSessionManager> manager() const;
    void setManager(const Ref<HCURLSessionManager>& manager);
    Bytes mutableData() const;
    const Ref<Progress>& progress() const { return progress_; }
    Ref<URL> downloadFileURL() const;
    void setDownloadTaskDidFinishDownloading(DownloadDestination block);
    void setCompletionHandler(CompletionHandler handler);

    void didSendBodyData(URLSession&, URLSessionTask&, std::int64_t bytesSent, std::int64_t totalBytesSent,
                         std::int64_t totalBytesExpectedToSend);
    void didCompleteWithError(URLSession&, URLSessionTask& task, const Ref<Error>& error);
    void didReceiveData(URLSession&, URLSessionDataTask&, const Bytes& data);
    void didFinishDownloadingToURL(URLSession& session, URLSessionDownloadTask& task, const Ref<URL>& location);
    void didWriteData(URLSession&, URLSessionDownloadTask&, std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                      std::int64_t totalBytesExpectedToWrite);
    void didResumeAtOffset(URLSession&, URLSessionDownloadTask&, std::int64_t fileOffset, std::int64_t expectedTotalBytes);

    // Moves the finished download to the destination and remembers it; a failed move is remembered as
    // the task's error (the completion then reports it with no object) and announced by the
    // file-manager-error notification.
    void moveDownload(URLSessionDownloadTask& task, const Ref<URL>& location, const Ref<URL>& destination);

private:
    mutable std::mutex mutex_;
    Weak<HCURLSessionManager> manager_;
    Bytes data_;
    const Ref<Progress> progress_;
    Ref<URL> downloadFileURL_;
    Ref<Error> moveError_;
    DownloadDestination destination_;
    CompletionHandler completionHandler_;
};

}  // namespace lv
