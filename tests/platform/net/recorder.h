// A connection delegate that records what it receives, and a helper that runs one load on the main
// thread's run loop.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/thread.h"
#include "platform/net/connection.h"

namespace lv::test {

class Recorder : public URLConnectionDelegate {
public:
    std::vector<std::string> events;  // "challenge", "redirect 302", "sent", "response 200", "data", "finish", "fail -1001"
    Bytes body;
    Ref<HTTPURLResponse> response;
    Ref<Error> error;
    bool done = false;
    bool offMainThread = false;
    std::int64_t afterCancel = 0;  // calls that arrived after the test cancelled
    bool cancelled = false;

    std::function<std::optional<URLRequest>(URLConnection&, const URLRequest&, const Ref<URLResponse>&)> onRedirect;
    std::function<void(URLConnection&, const Ref<AuthenticationChallenge>&)> onChallenge;
    std::function<void(URLConnection&, const Bytes&)> onData;
    std::function<Ref<InputStream>()> newBodyStream;

    std::string bodyText() const { return std::string(body.begin(), body.end()); }

    bool handlesAuthenticationChallenges() const override { return static_cast<bool>(onChallenge); }
    void willSendRequestForAuthenticationChallenge(URLConnection& c, const Ref<AuthenticationChallenge>& ch) override {
        note("challenge");
        onChallenge(c, ch);
    }
    std::optional<URLRequest> willSendRequest(URLConnection& c, const URLRequest& r, const Ref<URLResponse>& resp) override {
        const auto* http = dynamic_cast<const HTTPURLResponse*>(resp.get());
        note("redirect " + std::to_string(http ? http->statusCode() : 0));
        return onRedirect ? onRedirect(c, r, resp) : std::optional<URLRequest>(r);
    }
    bool providesNewBodyStreams() const override { return static_cast<bool>(newBodyStream); }
    Ref<InputStream> needNewBodyStream(URLConnection&, const URLRequest&) override { return newBodyStream(); }
    void didSendBodyData(URLConnection&, std::int64_t, std::int64_t, std::int64_t) override {
        if (events.empty() || events.back() != "sent") note("sent");
    }
    void didReceiveResponse(URLConnection&, const Ref<URLResponse>& r) override {
        response = std::dynamic_pointer_cast<HTTPURLResponse>(r);
        note("response " + std::to_string(response ? response->statusCode() : 0));
    }
    void didReceiveData(URLConnection& c, const Bytes& chunk) override {
        if (events.empty() || events.back() != "data") note("data");
        body.insert(body.end(), chunk.begin(), chunk.end());
        if (onData) onData(c, chunk);
    }
    void didFinishLoading(URLConnection&) override {
        note("finish");
        done = true;
    }
    void didFailWithError(URLConnection&, const Ref<Error>& e) override {
        note("fail " + std::to_string(e->code()));
        error = e;
        done = true;
    }

private:
    void note(std::string event) {
        if (!Thread::isMainThread()) offMainThread = true;
        if (cancelled) ++afterCancel;
        events.push_back(std::move(event));
    }
};

// Loads on the main run loop until the recorder is done (or the time-out passes: a hang guard, with
// room for a busy machine).
inline std::shared_ptr<Recorder> load(const URLRequest& request, std::shared_ptr<Recorder> recorder = nullptr,
                                      double timeout = 60) {
    if (!recorder) recorder = std::make_shared<Recorder>();
    auto connection = URLConnection::make(request, recorder);
    EXPECT_TRUE(runMainUntil([&] { return recorder->done; }, timeout)) << "load did not end";
    EXPECT_FALSE(recorder->offMainThread);
    return recorder;
}

inline URLRequest requestFor(const std::string& url, std::string method = "GET") {
    URLRequest request(URL::URLWithString(url));
    request.setHTTPMethod(std::move(method));
    return request;
}

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace lv::test
