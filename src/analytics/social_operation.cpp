// The social-analytics request operation: one blocking load on the operation's own thread.
#include "analytics/social_operation.h"

#include "platform/net/connection.h"
#include "platform/net/request.h"
#include "platform/net/url.h"
#include "platform/net/url_cache.h"

namespace lv {

TallySocialOperation::TallySocialOperation(std::string url, std::optional<Bytes> postBody,
                                           std::weak_ptr<TallySocialOperationDelegate> delegate)
    : url_(std::move(url)), postBody_(std::move(postBody)), delegate_(std::move(delegate)) {}

void TallySocialOperation::main() {
    // Nothing is read from or kept in a local cache.
    URLCache::shared().setMemoryCapacity(0);
    URLCache::shared().setDiskCapacity(0);

    URLRequest request(URL::URLWithString(url_), URLRequestCachePolicy::UseProtocolCachePolicy, kTimeoutSeconds);
    request.setMaximumResponseBodySize(kMaxReplyBytes);
    if (postBody_ && !postBody_->empty()) {
        request.setHTTPMethod("POST");
        request.setHTTPBody(*postBody_);
    } else {
        request.setHTTPMethod("GET");
    }
    // The load runs to its end here, with its deliveries on this thread.
    Ref<URLResponse> response;
    Ref<Error> error;
    std::optional<Bytes> data = URLConnection::sendSynchronousRequest(request, &response, &error);
    if (auto http = std::dynamic_pointer_cast<HTTPURLResponse>(response)) statusCode_.store(http->statusCode());

    auto delegate = delegate_.lock();
    if (!delegate) return;
    if (data) {
        delegate->TallyOperate_Finish(*this, std::move(data), nullptr);
    } else {
        delegate->TallyOperate_Finish(*this, std::nullopt, error);
    }
}

}  // namespace lv
