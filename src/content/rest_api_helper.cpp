// The content service's transport over the HTTP request manager.
#include "content/rest_api_helper.h"

#include <algorithm>

#include "platform/dispatch/queue.h"
#include "platform/net/connection.h"
#include "platform/net/url.h"
#include "platform/storage/json.h"
#include "platform/ui/application.h"

namespace lv {

namespace {

// Content replies are under 1 MB; 8 MiB leaves room for growth while a hostile or broken reply (a
// small gzip body can inflate a thousandfold) cannot make the process hold more than that before
// parsing, and the parsed tree of a reply at the bound stays in the tens of megabytes.
constexpr std::int64_t kMaximumReplySize = 8 * 1024 * 1024;
// The whole load, however slowly the reply trickles in: four times the idle time-out, at most 2 minutes.
constexpr double kResourceTimeoutFactor = 4;
constexpr double kMaximumResourceTimeout = 120;

void applyContentBounds(URLRequest& request) {
    request.setMaximumResponseBodySize(kMaximumReplySize);
    request.setResourceTimeoutInterval(
        std::min(kResourceTimeoutFactor * request.timeoutInterval(), kMaximumResourceTimeout));
}

// The default serializer, with the content service's bounds on every request it builds.
class ContentRequestSerializer : public HCHTTPRequestSerializer {
public:
    std::optional<URLRequest> requestBySerializingRequest(const URLRequest& request, const Value& parameters,
                                                          Ref<Error>* error) const override {
        auto built = HCHTTPRequestSerializer::requestBySerializingRequest(request, parameters, error);
        if (built) applyContentBounds(*built);
        return built;
    }
};

}  // namespace

RestAPIHelper::RestAPIHelper()
    : networkOperation_(HCHTTPRequestOperationManager::make(URL::URLWithString(kContentServiceBaseURL))) {
    networkOperation_->setRequestSerializer(makeRef<ContentRequestSerializer>());
}

void RestAPIHelper::asyncGetWithParams(const Value& params, SuccessBlock success, FailureBlock failure) {
    networkOperation_->operationQueue()->cancelAllOperations();
    showNetworkActivityIndicator();
    auto serializer = networkOperation_->requestSerializer();
    serializer->setTimeoutInterval(kGetTimeoutInterval);
    auto self = std::static_pointer_cast<RestAPIHelper>(shared_from_this());
    networkOperation_->GET(
        "api", params,
        [self, serializer, success](const Ref<HCHTTPRequestOperation>&, const Value& reply) {
            Queue::global()->async([self, serializer, success, reply] {
                if (success) success(reply);
                self->hideNetworkActivityIndicator();
                serializer->setTimeoutInterval(kTimeoutIntervalAfterGet);
            });
        },
        [self, serializer, failure](const Ref<HCHTTPRequestOperation>&, const Ref<Error>& error) {
            Queue::global()->async([self, serializer, failure, error] {
                if (failure) failure(error);
                serializer->setTimeoutInterval(kTimeoutIntervalAfterGet);
                self->hideNetworkActivityIndicator();
            });
        });
}

void RestAPIHelper::asyncRequestWithParams(const Value& params, SuccessBlock success, FailureBlock failure) {
    networkOperation_->operationQueue()->cancelAllOperations();
    showNetworkActivityIndicator();
    auto self = std::static_pointer_cast<RestAPIHelper>(shared_from_this());
    networkOperation_->POST(
        "api", params,
        [self, success](const Ref<HCHTTPRequestOperation>&, const Value& reply) {
            Queue::global()->async([self, success, reply] {
                if (success) success(reply);
                self->hideNetworkActivityIndicator();
            });
        },
        [self, failure](const Ref<HCHTTPRequestOperation>&, const Ref<Error>& error) {
            Queue::global()->async([self, failure, error] {
                if (failure) failure(error);
                self->hideNetworkActivityIndicator();
            });
        });
}

Value RestAPIHelper::syncPostRequestWithParams(const Value& params) {
    URLRequest request(URL::URLWithString(std::string(kContentServiceBaseURL) + "/api"),
                       URLRequestCachePolicy::ReloadIgnoringLocalCacheData, 60);
    request.setHTTPMethod("POST");
    request.setValue("application/json", "content-type");
    request.setValue("application/json", "Accept");
    request.setHTTPBody(JSONSerialization::dataWithJSONObject(params, kJSONWritingPrettyPrinted, nullptr));
    applyContentBounds(request);
    auto data = URLConnection::sendSynchronousRequest(request, nullptr, nullptr);
    if (!data || data->empty()) return {};
    return JSONSerialization::JSONObjectWithData(*data, kJSONReadingAllowFragments, nullptr);
}

void RestAPIHelper::showNetworkActivityIndicator() {
    std::lock_guard lock(indicatorMutex_);
    ++runningRequests_;
    Application::sharedApplication()->setNetworkActivityIndicatorVisible(true);
}

void RestAPIHelper::hideNetworkActivityIndicator() {
    std::lock_guard lock(indicatorMutex_);
    if (runningRequests_ > 0) --runningRequests_;
    if (runningRequests_ == 0) Application::sharedApplication()->setNetworkActivityIndicatorVisible(false);
}

}  // namespace lv
