// A web view loading its page through a request operation.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "http/ui_web_view_loading.h"
#include "operation_test_support.h"
#include "platform/net/errors.h"
#include "platform/net/fixtures.h"

namespace lv::test {
namespace {

struct RecordingDelegate : WebViewDelegate {
    std::vector<std::string> calls;
    void webViewDidStartLoad(WebView&) override { calls.push_back("start"); }
    void webViewDidFinishLoad(WebView&) override { calls.push_back("finish"); }
    void webViewDidFailLoadWithError(WebView&, const Ref<Error>&) override { calls.push_back("fail"); }
};

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

class WebViewLoading : public ::testing::Test {
protected:
    Ref<WebView> view = WebView::make();
    Ref<RecordingDelegate> delegate = makeRef<RecordingDelegate>();
    void SetUp() override { view->setDelegate(delegate); }
    bool waitForPage() {
        return runMainUntil([&] { return view->loadDataCount() > 0; }, 10);
    }
};

TEST_F(WebViewLoading, DataFormHandsThePageOverWithTheResponsesTypeAndTheViewsHeaders) {
    WebViewHCNetworking::loadRequest(view, requestFor(HttpFixture::shared().url("/echo")), std::nullopt, std::nullopt,
                                     nullptr, nullptr, nullptr);
    // Started directly, not queued: the delegate hears the start before the page arrives.
    EXPECT_EQ(delegate->calls, std::vector<std::string>{"start"});
    ASSERT_TRUE(waitForPage());
    const std::string page = text(view->pageData());
    EXPECT_EQ(page.rfind("GET /echo", 0), 0u) << page;
    EXPECT_NE(page.find("User-Agent: "), std::string::npos) << "the serializer's default headers are applied";
    EXPECT_EQ(view->MIMEType(), "text/plain");
    EXPECT_EQ(view->baseURL()->absoluteString(), HttpFixture::shared().url("/echo"));
    // The delegate hears the finish once the page is handed over.
    EXPECT_TRUE(runMainUntil([&] { return std::count(delegate->calls.begin(), delegate->calls.end(), "finish") >= 1; }, 5));
}

TEST_F(WebViewLoading, GivenTypeAndEncodingAndTheSuccessBlocksDataWin) {
    WebViewHCNetworking::loadRequest(
        view, requestFor(HttpFixture::shared().url("/page/utf-8")), std::string("text/plain"), std::string("us-ascii"),
        nullptr, [](const Ref<HTTPURLResponse>&, const Bytes&) { return Bytes{'o', 'k'}; }, nullptr);
    ASSERT_TRUE(waitForPage());
    EXPECT_EQ(text(view->pageData()), "ok");
    EXPECT_EQ(view->MIMEType(), "text/plain");
    EXPECT_EQ(view->textEncodingName(), "us-ascii");
}

TEST_F(WebViewLoading, TextFormDecodesWithTheResponsesCharsetElseUTF8) {
    struct Case {
        const char* charset;
        std::string seen;   // what the success block is given
        std::string shown;  // the bytes handed to the view
    };
    const Case cases[] = {
        {"iso-8859-1", "caf\xC3\xA9!", "caf\xE9!"},
        {"utf-8", "caf\xC3\xA9!", "caf\xC3\xA9!"},
        {"x-no-such-charset", "caf\xC3\xA9!", "caf\xC3\xA9!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.charset);
        auto page = WebView::make();
        std::string seen;
        WebViewHCNetworking::loadRequest(page, requestFor(HttpFixture::shared().url(std::string("/page/") + c.charset)),
                                         nullptr,
                                         WebViewHCNetworking::StringSuccess([&](const Ref<HTTPURLResponse>&, const std::string& html) {
                                             seen = html + "!";
                                             return seen;
                                         }),
                                         nullptr);
        ASSERT_TRUE(runMainUntil([&] { return page->loadDataCount() > 0; }, 10));
        EXPECT_EQ(seen, c.seen);
        EXPECT_EQ(text(page->pageData()), c.shown);
        EXPECT_EQ(page->textEncodingName(), c.charset);
    }
}

TEST_F(WebViewLoading, FailureReachesOnlyTheFailureBlockAndANewLoadCancelsTheOld) {
    RawFixture silent(RawFixture::Mode::NeverAnswer);  // ends with the test, leaving no request behind
    Ref<Error> failed;
    WebViewHCNetworking::loadRequest(view, requestFor(silent.url("/")), std::nullopt,
                                     std::nullopt, nullptr, nullptr, [&](const Ref<Error>& e) { failed = e; });
    const auto first = WebViewHCNetworking::hc_HTTPRequestOperation(*view);
    Ref<Error> secondFailure;
    WebViewHCNetworking::loadRequest(view, requestFor(HttpFixture::shared().url("/status/500")), std::nullopt,
                                     std::nullopt, nullptr, nullptr, [&](const Ref<Error>& e) { secondFailure = e; });
    ASSERT_TRUE(runMainUntil([&] { return failed && secondFailure; }, 10));
    EXPECT_TRUE(first->isCancelled());
    EXPECT_EQ(failed->code(), URLErrorCancelled);
    EXPECT_EQ(secondFailure->domain(), "com.httpclient.error.serialization.response");
    EXPECT_EQ(view->loadDataCount(), 0);
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"start", "start"}));
}

// A page that never ends: chunks of HTML until the client goes away (or 256 MiB have gone out).
class EndlessPage {
public:
    EndlessPage()
        : server_([this](int fd, const std::string&) {
              writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n");
              const std::string chunk = "10000\r\n" + std::string(0x10000, 'x') + "\r\n";
              for (std::size_t sent = 0; sent < 256u * 1024 * 1024; sent += 0x10000) {
                  if (::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(chunk.size())) {
                      abandoned_.fetch_add(1);
                      break;
                  }
              }
              ::close(fd);
          }) {}
    std::string url() const { return server_.url("/endless"); }
    int abandoned() const { return abandoned_.load(); }

private:
    std::atomic<int> abandoned_{0};
    RawFixture server_;
};

// Both web view roads send a request without a bound of its own with the page bound: a page up to it
// loads, one byte more or an endless one fails with the transport's -1103 as it arrives (the server
// sees the client leave). A request's own bound holds instead.
TEST_F(WebViewLoading, PagesPastTheBoundFailAsTheyArrive) {
    EXPECT_EQ(kWebViewMaxPageBytes, 8 * 1024 * 1024);
    EndlessPage endless;
    const auto bytes = [](std::int64_t n) { return HttpFixture::shared().url("/bytes/" + std::to_string(n)); };
    const struct {
        std::string url;
        std::int64_t ownBound;  // 0: none
        std::int64_t loads;     // the page's size; 0 when it fails
    } cases[] = {{bytes(kWebViewMaxPageBytes), 0, kWebViewMaxPageBytes},
                 {bytes(kWebViewMaxPageBytes + 1), 0, 0},
                 {endless.url(), 0, 0},
                 {bytes(4096), 4096, 4096},
                 {bytes(4097), 4096, 0}};
    int endlessLoads = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        if (c.url == endless.url()) endlessLoads += 2;
        auto request = requestFor(c.url);
        request.setMaximumResponseBodySize(c.ownBound);

        // The view's own loader.
        auto plain = WebView::make();
        auto heard = makeRef<RecordingDelegate>();
        plain->setDelegate(heard);
        plain->loadRequest(request);
        ASSERT_TRUE(runMainUntil([&] { return !plain->isLoading(); }, 20));
        EXPECT_EQ(heard->calls.back(), c.loads ? "finish" : "fail");
        EXPECT_EQ(static_cast<std::int64_t>(plain->pageData().size()), c.loads);

        // Through a request operation.
        auto bound = WebView::make();
        Ref<Error> failed;
        bool done = false;
        WebViewHCNetworking::loadRequest(
            bound, request, std::nullopt, std::nullopt, nullptr,
            [&](const Ref<HTTPURLResponse>&, const Bytes& data) {
                done = true;
                return data;
            },
            [&](const Ref<Error>& e) {
                failed = e;
                done = true;
            });
        ASSERT_TRUE(runMainUntil([&] { return done; }, 20));
        if (c.loads) {
            EXPECT_FALSE(failed);
            ASSERT_TRUE(runMainUntil([&] { return bound->loadDataCount() > 0; }, 10));
            EXPECT_EQ(static_cast<std::int64_t>(bound->pageData().size()), c.loads);
            continue;
        }
        ASSERT_TRUE(failed);
        EXPECT_EQ(failed->code(), URLErrorDataLengthExceedsMaximum);
        EXPECT_EQ(bound->loadDataCount(), 0);
    }
    ASSERT_TRUE(runMainUntil([&] { return endless.abandoned() == endlessLoads; }, 20));
}

}  // namespace
}  // namespace lv::test
