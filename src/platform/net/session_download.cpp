// Download tasks: the temporary file, resume data, and resuming from it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/net/detail/session_internal.h"
#include "platform/net/errors.h"
#include "platform/storage/property_list.h"

namespace lv {

namespace net_detail {

std::optional<Bytes> encodeResumeData(const ResumeInfo& info) {
    Dictionary plist;
    plist.set("URL", Value(info.request.URL()->absoluteString()));
    plist.set("headers", Value(info.request.allHTTPHeaderFields().toDictionary()));
    plist.set("timeout", Value(info.request.timeoutInterval()));
    plist.set("path", Value(info.path));
    plist.set("bytes", Value(info.bytes));
    plist.set("validator", Value(info.validator));
    return PropertyListSerialization::dataWithPropertyList(Value(std::move(plist)), PropertyListFormat::Binary, 0, nullptr);
}

std::optional<ResumeInfo> decodeResumeData(const Bytes& data) {
    const Value plist = PropertyListSerialization::propertyListWithData(data, kPropertyListImmutable, nullptr, nullptr);
    if (!plist.isDictionary()) return std::nullopt;
    const Value& url = plist["URL"];
    const Value& path = plist["path"];
    const Value& bytes = plist["bytes"];
    const Value& validator = plist["validator"];
    if (!url.isString() || !path.isString() || !bytes.isNumber() || !validator.isString()) return std::nullopt;
    ResumeInfo info;
    info.request = URLRequest(URL::URLWithString(url.string()));
    if (!info.request.URL()) return std::nullopt;
    if (plist["headers"].isDictionary()) {
        for (const auto& [name, value] : plist["headers"].dictionary()) info.request.setValue(value.stringValue(), name);
    }
    if (plist["timeout"].isNumber()) info.request.setTimeoutInterval(plist["timeout"].doubleValue());
    info.path = path.string();
    info.bytes = bytes.longLongValue();
    info.validator = validator.string();
    struct stat st {};
    if (info.bytes <= 0 || ::stat(info.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < info.bytes) {
        return std::nullopt;
    }
    return info;
}

}  // namespace net_detail

using net_detail::Engine;
using net_detail::ResumeInfo;

void URLSessionDownloadTask::cancelByProducingResumeData(std::function<void(std::optional<Bytes>)> handler) {
    std::uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        if (state_ == URLSessionTaskState::Canceling || state_ == URLSessionTaskState::Completed) {
            post([handler] { handler(std::nullopt); });
            return;
        }
        state_ = URLSessionTaskState::Canceling;
        id = std::exchange(transferId_, 0);
        if (flow_) flow_->cancelTrust();
    }
    if (id) Engine::shared().cancel(id);
    auto self = std::static_pointer_cast<URLSessionTask>(shared_from_this());
    post([self, handler = std::move(handler)] { self->finishCancel(handler); });
}

void URLSessionTask::finishCancel(std::function<void(std::optional<Bytes>)> resumeDataHandler) {
    Work& w = *work_;
    if (w.done) {
        if (resumeDataHandler) resumeDataHandler(std::nullopt);
        return;
    }
    if (resumeDataHandler) {
        std::optional<Bytes> data;
        if (w.fd >= 0 && w.written > 0 && w.response && currentRequest().HTTPMethod() == "GET") {
            auto validator = w.response->valueForHTTPHeaderField("ETag");
            if (!validator) validator = w.response->valueForHTTPHeaderField("Last-Modified");
            if (validator) {
                ::close(std::exchange(w.fd, -1));
                data = net_detail::encodeResumeData(
                    ResumeInfo{currentRequest(), w.path, w.written, *validator});
                w.keepFile = data.has_value();
            }
        }
        resumeDataHandler(std::move(data));
    }
    complete(makeURLError(URLErrorCancelled, currentRequest().URL()));
}

void URLSessionTask::openDownloadFile() {
    Work& w = *work_;
    const int status = w.response->statusCode();
    const std::int64_t length = w.response->expectedContentLength();
    if (w.resume) {
        w.path = w.resume->path;  // removed if the task fails
        // Append only to a 206 whose range starts where the file ends; a 200 starts over.
        std::int64_t offset = -1;
        if (status == 206) {
            const auto range = w.response->valueForHTTPHeaderField("Content-Range").value_or("");
            if (range.rfind("bytes ", 0) == 0) {
                offset = std::atoll(range.c_str() + 6);
                if (range.find('-') != 6 + std::to_string(offset).size()) offset = -1;
            }
            if (offset != w.resume->bytes) {
                fail(makeURLError(URLErrorBadServerResponse, currentRequest().URL()));
                return;
            }
        } else if (status == 200) {
            offset = 0;
        } else {
            fail(makeURLError(URLErrorBadServerResponse, currentRequest().URL()));
            return;
        }
        w.fd = ::open(w.path.c_str(), O_WRONLY | O_CLOEXEC);
        if (w.fd < 0 || ::ftruncate(w.fd, offset) != 0 || ::lseek(w.fd, offset, SEEK_SET) != offset) {
            fail(makeURLError(URLErrorCannotWriteToFile, currentRequest().URL()));
            return;
        }
        w.written = offset;
        w.expectedTotal = length < 0 ? -1 : offset + length;
        if (auto delegate = session_->delegate(); delegate && delegate->respondsTo(URLSessionDelegateCall::DidResumeAtOffset)) {
            delegate->didResumeAtOffset(*session_, static_cast<URLSessionDownloadTask&>(*this), offset, w.expectedTotal);
        }
        return;
    }
    if (w.fd >= 0) return;
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/lv_download_XXXXXX";
    w.fd = ::mkstemp(pattern.data());
    if (w.fd < 0) {
        fail(makeURLError(URLErrorCannotCreateFile, currentRequest().URL()));
        return;
    }
    w.path = pattern;
    w.expectedTotal = length;
}

}  // namespace lv
