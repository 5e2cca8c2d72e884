// The content service's transport: one request manager on the content service base URL, every request
// to the path "api" (the video configuration as a GET, the rest as form POSTs). Each request cancels
// every earlier one still queued or running (the newest wins), shows the network activity indicator
// while it runs, and hands its reply or error on to the caller on the default-priority global queue.
// Every request is bounded: a reply may hold at most 8 MiB once decoded (-1103 past it), and the whole
// load ends within four times its idle time-out, at most 2 minutes (-1001).
// Thread rule: the GET and POST are called on the main thread; the indicator count sits behind a lock.
#pragma once

#include <functional>
#include <mutex>
#include <string_view>

#include "http/http_request_operation_manager.h"
#include "platform/base/error.h"
#include "platform/base/value.h"

namespace lv {

class RestAPIHelper : public Object {
public:
    using SuccessBlock = std::function<void(const Value& reply)>;
    using FailureBlock = std::function<void(const Ref<Error>& error)>;

    // The content service: plain HTTP, scheme and host only (the host map sends it to a stand-in).
    static constexpr std::string_view kContentServiceBaseURL = "http://content.lunavexa.invalid";
    static constexpr double kGetTimeoutInterval = 4;
    static constexpr double kTimeoutIntervalAfterGet = 30;

    RestAPIHelper();

    Ref<HCHTTPRequestOperationManager> networkOperation() const { return networkOperation_; }

    // GET "api" with the parameters in the query, under a 4-second time-out; 30 seconds once handed on.
    void asyncGetWithParams(const Value& params, SuccessBlock success, FailureBlock failure);
    // POST "api" with the parameters form-encoded, sorted by key; the time-out is left as it is.
    void asyncRequestWithParams(const Value& params, SuccessBlock success, FailureBlock failure);
    // A blocking JSON POST to "<base>/api" (60 s); the parsed reply, or nil on any failure.
    Value syncPostRequestWithParams(const Value& params);

    // Counted: the indicator stays visible while any request of this helper runs.
    void showNetworkActivityIndicator();
    void hideNetworkActivityIndicator();

private:
    Ref<HCHTTPRequestOperationManager> networkOperation_;
    std::mutex indicatorMutex_;
    int runningRequests_ = 0;
};

}  // namespace lv
