#include "platform/ui/web_view.h"

#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/net/connection.h"

namespace lv {

// Receives the connection's calls (on the main thread) for the view that started it; a stopped
// load's loader is detached, so late calls reach nobody.
class WebView::Loader : public URLConnectionDelegate {
public:
    explicit Loader(WebView* view) : view_(view) {}
    void detach() { view_ = nullptr; }

    std::optional<URLRequest> willSendRequest(URLConnection&, const URLRequest& request,
                                              const Ref<URLResponse>& redirectResponse) override {
        if (!redirectResponse || !view_) return request;
        if (!view_->allows(request)) {
            // Refused: the view forgets the load; the connection is cancelled once this call returns.
            WebView* view = view_;
            detach();
            view->loading_ = false;
            view->loader_.reset();
            Queue::main()->async([connection = std::move(view->connection_)] {
                if (connection) connection->cancel();
            });
            return std::nullopt;
        }
        view_->request_ = request;
        return request;
    }
    void didReceiveResponse(URLConnection&, const Ref<URLResponse>& response) override {
        response_ = response;
        body_.clear();
    }
    void didReceiveData(URLConnection&, const Bytes& data) override { body_.insert(body_.end(), data.begin(), data.end()); }
    void didFinishLoading(URLConnection&) override {
        if (view_) view_->loaderFinished(response_, std::move(body_));
    }
    void didFailWithError(URLConnection&, const Ref<Error>& error) override {
        if (view_) view_->loaderFailed(error);
    }

private:
    WebView* view_;
    Ref<URLResponse> response_;
    Bytes body_;
};

WebView::WebView(const Rect& frame) : View(frame) {}

WebView::~WebView() { stopLoading(); }

bool WebView::allows(const URLRequest& request) {
    Ref<WebViewDelegate> delegate = delegate_.lock();
    return !delegate || delegate->webViewShouldStartLoadWithRequest(*this, request, WebViewNavigationType::Other);
}

void WebView::loadRequest(const URLRequest& request) {
    stopLoading();
    if (!allows(request)) return;
    request_ = request;
    loading_ = true;
    loader_ = std::make_shared<Loader>(this);
    URLRequest sent = request;
    if (sent.maximumResponseBodySize() <= 0) sent.setMaximumResponseBodySize(kWebViewMaxPageBytes);
    connection_ = URLConnection::make(std::move(sent), loader_, false);
    connection_->scheduleInRunLoop(RunLoop::main(), std::string(kDefaultRunLoopMode));
    if (Ref<WebViewDelegate> delegate = delegate_.lock()) delegate->webViewDidStartLoad(*this);
    // The delegate may have stopped the load already.
    if (connection_) connection_->start();
}

void WebView::loadData(Bytes data, std::string MIMEType, std::string textEncodingName, Ref<URL> baseURL) {
    stopLoading();
    ++loadDataCount_;
    pageData_ = std::move(data);
    MIMEType_ = std::move(MIMEType);
    textEncodingName_ = std::move(textEncodingName);
    baseURL_ = std::move(baseURL);
    loading_ = true;
    Weak<WebView> weakSelf = std::static_pointer_cast<WebView>(shared_from_this());
    const int generation = loadDataCount_;
    Queue::main()->async([weakSelf, generation] {
        Ref<WebView> self = weakSelf.lock();
        if (!self || self->loadDataCount_ != generation || !self->loading_ || self->connection_) return;
        if (Ref<WebViewDelegate> delegate = self->delegate_.lock()) delegate->webViewDidStartLoad(*self);
        self->loading_ = false;
        if (Ref<WebViewDelegate> delegate = self->delegate_.lock()) delegate->webViewDidFinishLoad(*self);
    });
}

void WebView::stopLoading() {
    if (loader_) loader_->detach();
    loader_.reset();
    if (Ref<URLConnection> connection = std::move(connection_)) connection->cancel();
    loading_ = false;
}

void WebView::loaderFinished(const Ref<URLResponse>& response, Bytes body) {
    loader_.reset();
    connection_.reset();
    loading_ = false;
    pageData_ = std::move(body);
    MIMEType_ = response && response->MIMEType() ? *response->MIMEType() : std::string();
    textEncodingName_ = response && response->textEncodingName() ? *response->textEncodingName() : std::string();
    baseURL_ = response ? response->URL() : nullptr;
    if (Ref<WebViewDelegate> delegate = delegate_.lock()) delegate->webViewDidFinishLoad(*this);
}

void WebView::loaderFailed(const Ref<Error>& error) {
    loader_.reset();
    connection_.reset();
    loading_ = false;
    if (Ref<WebViewDelegate> delegate = delegate_.lock()) delegate->webViewDidFailLoadWithError(*this, error);
}

}  // namespace lv
