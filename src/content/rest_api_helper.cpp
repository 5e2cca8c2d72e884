// The content service's transport over the HTTP request manager.
#include "content/rest_api_helper.h"

#include "platform/dispatch/queue.h"
#include "platform/net/connection.h"
#include "platform/net/url.h"
#include "platform/storage/json.h"
#include "platform/ui/application.h"

namespace lv {

RestAPIHelper::RestAPIHelper()
    : networkOperation_(HCHTTPRequestOperationManager::make(URL::URLWithString(kContentServiceBaseURL))) {}

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
