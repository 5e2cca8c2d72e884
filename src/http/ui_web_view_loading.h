// A web view that loads its page through an HTTP request operation: the request gets the view's
// default headers from its request serializer, the reply goes through its response serializer, and
// the page is handed to the view as data with the response's (or the given) MIME type and encoding.
// A request without a reply bound of its own is sent with the web view's (kWebViewMaxPageBytes).
//
// Threads: main thread only; the operation's completion blocks run on the main queue.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "http/http_request_operation.h"
#include "http/request_serializer.h"
#include "platform/ui/web_view.h"

namespace lv {

class WebViewHCNetworking {
public:
    using Progress = HCURLConnectionOperation::DownloadProgressBlock;
    // Takes the response and the received data; returns the data to show.
    using DataSuccess = std::function<Bytes(const Ref<HTTPURLResponse>&, const Bytes&)>;
    // Takes the response and the page as text; returns the text to show.
    using StringSuccess = std::function<std::string(const Ref<HTTPURLResponse>&, const std::string&)>;
    using Failure = std::function<void(const Ref<Error>&)>;

    // The view's own serializers, else shared defaults made once.
    static Ref<HCHTTPRequestSerializer> requestSerializer(const WebView& view);
    static void setRequestSerializer(WebView& view, const Ref<HCHTTPRequestSerializer>& serializer);
    static Ref<HCHTTPResponseSerializer> responseSerializer(const WebView& view);
    static void setResponseSerializer(WebView& view, const Ref<HCHTTPResponseSerializer>& serializer);
    // The operation loading the view's page, if any.
    static Ref<HCHTTPRequestOperation> hc_HTTPRequestOperation(const WebView& view);
    static void hc_setHTTPRequestOperation(WebView& view, const Ref<HCHTTPRequestOperation>& operation);

    // Cancels the view's current operation, then loads the request through a new one, started at once
    // (no queue), and tells the delegate the load started. On success the data (the success block's
    // result, else the response data) is handed to the view with the MIME type and encoding name given
    // (else the response's) and the response URL as base, then the delegate hears the finish. On
    // failure only the failure block hears it; a request the serializer refuses fails the same way.
    static void loadRequest(const Ref<WebView>& view, const URLRequest& request,
                            const std::optional<std::string>& MIMEType,
                            const std::optional<std::string>& textEncodingName, Progress progress,
                            DataSuccess success, Failure failure);
    // The text form: the page is decoded with the response's charset (UTF-8 when it names none or one
    // not known), passed through the success block, and encoded again the same way.
    static void loadRequest(const Ref<WebView>& view, const URLRequest& request, Progress progress,
                            StringSuccess success, Failure failure);
};

}  // namespace lv
