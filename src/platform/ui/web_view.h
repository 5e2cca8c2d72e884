// A web view, headless: it loads pages over the URL engine without drawing them. The delegate decides
// whether each load (the first request and every redirect) may start, and hears when a load starts,
// finishes or fails. Content handed in with loadData is kept as given and reported like a load. A
// request that sets no reply bound of its own is sent with kWebViewMaxPageBytes: a larger page fails
// as it arrives (-1103), so an endless or hostile reply cannot fill memory.
//
// Threads: main thread only; the delegate is called on the main thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/base/error.h"
#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/net/request.h"
#include "platform/ui/view.h"

namespace lv {

class URLConnection;
class WebView;

// The most bytes a page may hold (decoded, when sent compressed) unless its request sets its own
// bound: the pages a phone app shows (sign-in forms, a post) are a few hundred KiB at most.
inline constexpr std::int64_t kWebViewMaxPageBytes = 8 * 1024 * 1024;

enum class WebViewNavigationType { LinkClicked = 0, FormSubmitted = 1, BackForward = 2, Reload = 3,
                                   FormResubmitted = 4, Other = 5 };

// Every call is optional.
class WebViewDelegate {
public:
    virtual ~WebViewDelegate() = default;
    // Asked before the request is sent and before each redirect is followed; false stops the load
    // there, without a failure call.
    virtual bool webViewShouldStartLoadWithRequest(WebView&, const URLRequest& /*request*/,
                                                   WebViewNavigationType /*type*/) {
        return true;
    }
    virtual void webViewDidStartLoad(WebView&) {}
    virtual void webViewDidFinishLoad(WebView&) {}
    virtual void webViewDidFailLoadWithError(WebView&, const Ref<Error>& /*error*/) {}
};

class WebView : public View {
public:
    static Ref<WebView> make(const Rect& frame = {}) { return makeRef<WebView>(frame); }
    explicit WebView(const Rect& frame = {});
    ~WebView() override;

    // Held weakly.
    Ref<WebViewDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const Ref<WebViewDelegate>& delegate) { delegate_ = delegate; }

    // Stops any load in progress, asks the delegate, then loads the request. The start call comes
    // before the request is sent; the finish or failure call once the page has arrived.
    void loadRequest(const URLRequest& request);
    // Shows the given content as a page of the base URL: kept as given, then the start and the finish
    // calls on the main queue.
    void loadData(Bytes data, std::string MIMEType, std::string textEncodingName, Ref<URL> baseURL);
    // Ends the load in progress; nothing further is reported for it.
    void stopLoading();

    bool isLoading() const { return loading_; }
    // The request of the page shown or loading (after redirects).
    const std::optional<URLRequest>& request() const { return request_; }
    // The page shown: its bytes, MIME type, text encoding name and base URL.
    const Bytes& pageData() const { return pageData_; }
    const std::string& MIMEType() const { return MIMEType_; }
    const std::string& textEncodingName() const { return textEncodingName_; }
    const Ref<URL>& baseURL() const { return baseURL_; }
    // How many times loadData was called.
    int loadDataCount() const { return loadDataCount_; }

private:
    class Loader;
    friend class Loader;
    bool allows(const URLRequest& request);
    void loaderFinished(const Ref<URLResponse>& response, Bytes body);
    void loaderFailed(const Ref<Error>& error);

    Weak<WebViewDelegate> delegate_;
    Ref<URLConnection> connection_;
    std::shared_ptr<Loader> loader_;
    bool loading_ = false;
    std::optional<URLRequest> request_;
    Bytes pageData_;
    std::string MIMEType_;
    std::string textEncodingName_;
    Ref<URL> baseURL_;
    int loadDataCount_ = 0;
};

}  // namespace lv
