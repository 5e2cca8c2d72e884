#include "http/ui_web_view_loading.h"

#include "platform/text/encoding.h"

namespace lv {
namespace {

// Keys of the associated storage (their addresses are the keys).
const char kRequestSerializerKey = 0;
const char kResponseSerializerKey = 0;
const char kOperationKey = 0;

StringEncoding encodingOf(const Ref<HTTPURLResponse>& response) {
    if (response && response->textEncodingName()) {
        if (auto named = text::encodingFromIANACharsetName(*response->textEncodingName())) return *named;
    }
    return StringEncoding::UTF8;
}

}  // namespace

Ref<HCHTTPRequestSerializer> WebViewHCNetworking::requestSerializer(const WebView& view) {
    static const auto& shared = *new Ref<HCHTTPRequestSerializer>(HCHTTPRequestSerializer::serializer());
    if (auto own = view.associatedValue(&kRequestSerializerKey).objectAs<HCHTTPRequestSerializer>()) return own;
    return shared;
}

void WebViewHCNetworking::setRequestSerializer(WebView& view, const Ref<HCHTTPRequestSerializer>& serializer) {
    view.setAssociatedValue(&kRequestSerializerKey, serializer ? Value(serializer) : Value());
}

Ref<HCHTTPResponseSerializer> WebViewHCNetworking::responseSerializer(const WebView& view) {
    static const auto& shared = *new Ref<HCHTTPResponseSerializer>(HCHTTPResponseSerializer::serializer());
    if (auto own = view.associatedValue(&kResponseSerializerKey).objectAs<HCHTTPResponseSerializer>()) return own;
    return shared;
}

void WebViewHCNetworking::setResponseSerializer(WebView& view, const Ref<HCHTTPResponseSerializer>& serializer) {
    view.setAssociatedValue(&kResponseSerializerKey, serializer ? Value(serializer) : Value());
}

Ref<HCHTTPRequestOperation> WebViewHCNetworking::hc_HTTPRequestOperation(const WebView& view) {
    return view.associatedValue(&kOperationKey).objectAs<HCHTTPRequestOperation>();
}

void WebViewHCNetworking::hc_setHTTPRequestOperation(WebView& view, const Ref<HCHTTPRequestOperation>& operation) {
    view.setAssociatedValue(&kOperationKey, operation ? Value(operation) : Value());
}

void WebViewHCNetworking::loadRequest(const Ref<WebView>& view, const URLRequest& request,
                                      const std::optional<std::string>& MIMEType,
                                      const std::optional<std::string>& textEncodingName, Progress progress,
                                      DataSuccess success, Failure failure) {
    if (auto current = hc_HTTPRequestOperation(*view)) current->cancel();
    hc_setHTTPRequestOperation(*view, nullptr);

    Ref<Error> error;
    std::optional<URLRequest> serialized =
        requestSerializer(*view)->requestBySerializingRequest(request, Value(), &error);
    if (!serialized) {
        if (failure) failure(error);
        return;
    }
    // The web view's page bound unless the request chose one.
    if (serialized->maximumResponseBodySize() <= 0) serialized->setMaximumResponseBodySize(kWebViewMaxPageBytes);
    auto operation = HCHTTPRequestOperation::make(*serialized);
    hc_setHTTPRequestOperation(*view, operation);
    operation->setResponseSerializer(responseSerializer(*view));
    operation->setDownloadProgressBlock(std::move(progress));
    const Weak<WebView> weakView = view;
    operation->setCompletionBlockWithSuccess(
        [weakView, MIMEType, textEncodingName, success = std::move(success)](const Ref<HCHTTPRequestOperation>& op,
                                                                             const Value&) {
            const Ref<HTTPURLResponse> response = op->HTTPResponse();
            const Bytes received = op->responseData().value_or(Bytes{});
            Bytes data = success ? success(response, received) : received;
            auto target = weakView.lock();
            if (!target) return;
            std::string type = MIMEType.value_or(response && response->MIMEType() ? *response->MIMEType() : "");
            std::string encoding = textEncodingName.value_or(
                response && response->textEncodingName() ? *response->textEncodingName() : "");
            target->loadData(std::move(data), std::move(type), std::move(encoding), response ? response->URL() : nullptr);
            if (auto delegate = target->delegate()) delegate->webViewDidFinishLoad(*target);
        },
        [failure = std::move(failure)](const Ref<HCHTTPRequestOperation>&, const Ref<Error>& failed) {
            if (failure) failure(failed);
        });
    operation->start();
    if (auto delegate = view->delegate()) delegate->webViewDidStartLoad(*view);
}

void WebViewHCNetworking::loadRequest(const Ref<WebView>& view, const URLRequest& request, Progress progress,
                                      StringSuccess success, Failure failure) {
    auto asText = [success = std::move(success)](const Ref<HTTPURLResponse>& response, const Bytes& data) {
        const StringEncoding encoding = encodingOf(response);
        std::string page = text::decode(std::span<const std::uint8_t>(data.data(), data.size()), encoding).value_or("");
        if (success) page = success(response, page);
        return text::encode(page, encoding).value_or(Bytes{});
    };
    loadRequest(view, request, std::nullopt, std::nullopt, std::move(progress), std::move(asText), std::move(failure));
}

}  // namespace lv
