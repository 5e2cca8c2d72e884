#include "analytics/tly_worker.h"

#include <chrono>

#include "analytics/tally_app.h"
#include "analytics/tally_config.h"
#include "analytics/tally_pack.h"
#include "analytics/tally_utility.h"
#include "analytics/upload_protocol.h"
#include "platform/dispatch/queue.h"
#include "platform/net/connection.h"
#include "platform/net/url.h"
#include "platform/storage/file_manager.h"
#include "platform/ui/application.h"

namespace lv {
namespace {

namespace protocol = upload_protocol;

struct PostResult {
    int status = 0;  // 0: no reply
    std::optional<std::string> mimeType;
    Bytes body;
};

PostResult post(const std::string& url, const Bytes& envelope, double timeout) {
    URLRequest request(URL::URLWithString(url), URLRequestCachePolicy::ReloadIgnoringLocalAndRemoteCacheData, timeout);
    request.setHTTPMethod(std::string(protocol::kMethod));
    request.setValue(std::string(protocol::kContentType), "Content-Type");
    request.setHTTPShouldHandleCookies(false);
    request.setHTTPBody(envelope);
    Ref<URLResponse> response;
    Ref<Error> error;
    std::optional<Bytes> body = URLConnection::sendSynchronousRequest(request, &response, &error);
    PostResult result;
    if (auto http = std::dynamic_pointer_cast<HTTPURLResponse>(response); http && !error) {
        result.status = http->statusCode();
        result.mimeType = http->MIMEType();
        result.body = body.value_or(Bytes{});
    }
    return result;
}

}  // namespace

TLYWorker::TLYWorker() : timeoutInterval_(protocol::kTimeoutSeconds) {}

void TLYWorker::main() {
    const Ref<TallyApp> app = TallyApp::sharedInstance();
    const bool backgroundWork = app->backgroundTaskEnabled();
    if (backgroundWork) app->activeBackgroundTask();
    const auto inBackground = appInBackground_ ? appInBackground_ : [] {
        return Application::sharedApplication()->applicationState() == ApplicationState::Background;
    };
    for (const std::string& path : envelopeFilePaths_) {
        if (!postFile(path)) break;
        if (inBackground() && !backgroundWork) break;
    }
    // The task is released as soon as the uploads end, not left to expire.
    if (backgroundWork) app->endBackgroundTask();
    if (jobEnded_) jobEnded_();
}

bool TLYWorker::postFile(const std::string& path) {
    const std::optional<Bytes> envelope = dataWithContentsOfFile(path);
    if (!envelope) return true;  // gone since the list was made: nothing to post, nothing failed
    const auto started = std::chrono::steady_clock::now();
    PostResult result = post(protocol::logURL(), *envelope, timeoutInterval_);
    if (protocol::triesFallback(result.status)) result = post(protocol::logFallbackURL(), *envelope, timeoutInterval_);
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    const auto ms = static_cast<std::int32_t>(std::min<std::int64_t>(spent.count(), INT32_MAX));

    if (result.status != protocol::kSuccessStatus) {
        TallyConfig::incrementRequest(false, ms);
        return false;
    }
    TallyUtility::removeFile(path);
    TallyConfig::incrementRequest(true, ms);
    TallyConfig::setLastPostDate();
    if (result.mimeType == protocol::kContentType && !result.body.empty()) {
        const Ref<TallyPack> pack = pack_ ? pack_ : TallyPack::sharedInstance();
        if (pack->verifyResponseData(result.body)) {
            // After the imprint queued by the check, on the main queue: the builder's record is read there.
            Queue::main()->async([pack] { pack->saveIdTracking(); });
        }
    }
    return true;
}

}  // namespace lv
