#include "analytics/tly_worker.h"

#include <chrono>

#include "analytics/detail/cache_files.h"
#include "analytics/imprint.h"
#include "analytics/tally_app.h"
#include "analytics/tally_config.h"
#include "analytics/tally_pack.h"
#include "analytics/tally_utility.h"
#include "analytics/upload_protocol.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
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

// Collects one post's reply. A redirect is not followed: its reply is the answer, so only the log
// URL itself can accept an envelope (a proxy or portal answering 3xx cannot make a file count as sent).
class PostCollector final : public URLConnectionDelegate {
public:
    std::optional<URLRequest> willSendRequest(URLConnection&, const URLRequest&, const Ref<URLResponse>&) override {
        return std::nullopt;
    }
    void didReceiveResponse(URLConnection&, const Ref<URLResponse>& reply) override {
        response = reply;
        body.clear();
    }
    void didReceiveData(URLConnection&, const Bytes& chunk) override { body.insert(body.end(), chunk.begin(), chunk.end()); }
    Ref<CachedURLResponse> willCacheResponse(URLConnection&, const Ref<CachedURLResponse>&) override { return nullptr; }
    void didFinishLoading(URLConnection&) override { done = true; }
    void didFailWithError(URLConnection&, const Ref<Error>&) override {
        failed = true;
        done = true;
    }
    Ref<URLResponse> response;
    Bytes body;
    bool failed = false;
    bool done = false;
};

// Posts on the calling thread: the connection reports to this thread's run loop, which runs until
// the post ends. The idle time-out, the whole post's time-out and the reply's size bound it.
PostResult post(const std::string& url, const Bytes& envelope, double timeout, double wholeTimeout) {
    URLRequest request(URL::URLWithString(url), URLRequestCachePolicy::ReloadIgnoringLocalAndRemoteCacheData, timeout);
    request.setResourceTimeoutInterval(wholeTimeout);
    request.setMaximumResponseBodySize(protocol::kMaxReplyBytes);
    request.setHTTPMethod(std::string(protocol::kMethod));
    request.setValue(std::string(protocol::kContentType), "Content-Type");
    request.setHTTPShouldHandleCookies(false);
    request.setHTTPBody(envelope);
    auto collector = std::make_shared<PostCollector>();
    const Ref<RunLoop> loop = RunLoop::current();
    const auto connection = makeRef<URLConnection>(request, collector);
    connection->scheduleInRunLoop(loop, std::string(kDefaultRunLoopMode));
    connection->start();
    while (!collector->done) loop->runUntil([&collector] { return collector->done; }, 3600);
    PostResult result;
    if (auto http = std::dynamic_pointer_cast<HTTPURLResponse>(collector->response); http && !collector->failed) {
        result.status = http->statusCode();
        result.mimeType = http->MIMEType();
        result.body = std::move(collector->body);
    }
    return result;
}

}  // namespace

TLYWorker::TLYWorker()
    : timeoutInterval_(protocol::kTimeoutSeconds), postTimeout_(protocol::kPostTimeoutSeconds),
      runBudget_(protocol::kRunBudgetSeconds) {}

void TLYWorker::main() {
    const Ref<TallyApp> app = TallyApp::sharedInstance();
    const bool backgroundWork = app->backgroundTaskEnabled();
    if (backgroundWork) app->activeBackgroundTask();
    const auto inBackground = appInBackground_ ? appInBackground_ : [] {
        return Application::sharedApplication()->applicationState() == ApplicationState::Background;
    };
    runStarted_ = std::chrono::steady_clock::now();
    for (const std::string& path : envelopeFilePaths_) {
        if (!postFile(path)) break;
        if (inBackground() && !backgroundWork) break;
    }
    // The job is marked ended before its background task is released: a terminate that waits for the
    // tasks must not find the job still running once they are gone. The task is released as soon as
    // the uploads end, not left to expire.
    if (jobEnded_) jobEnded_();
    if (backgroundWork) app->endBackgroundTask();
}

bool TLYWorker::postFile(const std::string& path) {
    // Claimed for the post: another process's worker passes it by. Gone since the list was made, or
    // posted by another process: nothing to post, nothing failed.
    analytics_detail::EnvelopeClaim claim(path);
    if (!claim.claimed()) return true;
    const Bytes* envelope = &claim.bytes();
    // What is left of the run's time bounds each post; none left, the run stops here (the file stays).
    const auto remaining = [this] {
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - runStarted_;
        return std::min(postTimeout_, runBudget_ - spent.count());
    };
    if (remaining() <= 0) return false;
    const auto started = std::chrono::steady_clock::now();
    PostResult result = post(protocol::logURL(), *envelope, timeoutInterval_, remaining());
    if (protocol::triesFallback(result.status) && remaining() > 0) {
        result = post(protocol::logFallbackURL(), *envelope, timeoutInterval_, remaining());
    }
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    const auto ms = static_cast<std::int32_t>(std::min<std::int64_t>(spent.count(), INT32_MAX));

    // Only the service's own reply says the envelope arrived: a 200 page of a captive portal or a
    // proxy keeps the file for the next run.
    const bool delivered = result.status == protocol::kSuccessStatus && result.mimeType == protocol::kContentType &&
                           !result.body.empty() && checkReply(result.body).readBack;
    if (!delivered) {
        TallyConfig::incrementRequest(false, ms);
        return false;
    }
    claim.removeFile();
    TallyConfig::incrementRequest(true, ms);
    TallyConfig::setLastPostDate();
    const Ref<TallyPack> pack = pack_ ? pack_ : TallyPack::sharedInstance();
    if (pack->verifyResponseData(result.body)) {
        // After the imprint queued by the check, on the main queue: the builder's record is read there.
        Queue::main()->async([pack] { pack->saveIdTracking(); });
    }
    return true;
}

}  // namespace lv
