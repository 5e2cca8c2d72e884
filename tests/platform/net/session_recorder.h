// A session delegate that records its calls (answering only the calls it is told to), and helpers that
// wait for a task's completion by pumping the main loop.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/operation.h"
#include "platform/dispatch/run_loop.h"
#include "fixtures.h"
#include "platform/net/session.h"

namespace lv::test {

// A request for a path of the shared HTTP fixture.
inline URLRequest fixtureRequest(const std::string& path, std::string method = "GET") {
    URLRequest request(URL::URLWithString(HttpFixture::shared().url(path)));
    request.setHTTPMethod(std::move(method));
    return request;
}

using Call = URLSessionDelegateCall;

class SessionRecorder : public URLSessionDelegate {
public:
    std::set<Call> answers = {Call::DidReceiveResponse, Call::DidReceiveData, Call::DidComplete, Call::DidWriteData,
                              Call::DidFinishDownloading, Call::DidResumeAtOffset, Call::DidBecomeInvalid,
                              Call::DidSendBodyData, Call::DidBecomeDownloadTask};
    Ref<OperationQueue> expectedQueue;  // every call must run on it when set

    std::function<void(URLSessionTask&, const Ref<AuthenticationChallenge>&, ChallengeHandler)> onChallenge;
    std::function<void(URLSessionDataTask&, std::function<void(URLSessionResponseDisposition)>)> onResponse;
    std::function<void(const URLRequest&, std::function<void(std::optional<URLRequest>)>)> onRedirect;
    std::function<void(URLSessionDownloadTask&, std::int64_t)> onWrite;
    std::function<void(const Ref<URL>&)> onFile;

    bool respondsTo(Call call) const override { return answers.count(call) > 0; }

    void didBecomeInvalidWithError(URLSession&, const Ref<Error>&) override {
        note("invalid");
        invalid = true;
    }
    void didReceiveChallenge(URLSession&, const Ref<AuthenticationChallenge>& c, ChallengeHandler handler) override {
        note("session challenge " + c->protectionSpace()->authenticationMethod());
        handler(URLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
    }
    void willPerformHTTPRedirection(URLSession&, URLSessionTask&, const Ref<HTTPURLResponse>& r, const URLRequest& request,
                                    std::function<void(std::optional<URLRequest>)> handler) override {
        note("redirect " + std::to_string(r->statusCode()));
        if (onRedirect) return onRedirect(request, handler);
        handler(request);
    }
    void didReceiveChallenge(URLSession&, URLSessionTask& t, const Ref<AuthenticationChallenge>& c,
                             ChallengeHandler handler) override {
        note("task challenge " + c->protectionSpace()->authenticationMethod());
        onChallenge(t, c, std::move(handler));
    }
    void didSendBodyData(URLSession&, URLSessionTask&, std::int64_t, std::int64_t total, std::int64_t expected) override {
        std::lock_guard lock(mutex_);
        sentTotal = total;
        sentExpected = expected;
    }
    void didCompleteWithError(URLSession&, URLSessionTask& t, const Ref<Error>& e) override {
        note("complete " + std::to_string(e ? e->code() : 0));
        {
            std::lock_guard lock(mutex_);
            error = e;
            completedTask = &t;
        }
        completions.fetch_add(1);
    }
    void didReceiveResponse(URLSession&, URLSessionDataTask& t, const Ref<URLResponse>& r,
                            std::function<void(URLSessionResponseDisposition)> handler) override {
        const auto* http = dynamic_cast<const HTTPURLResponse*>(r.get());
        note("response " + std::to_string(http ? http->statusCode() : 0));
        if (onResponse) return onResponse(t, handler);
        handler(URLSessionResponseDisposition::Allow);
    }
    void didBecomeDownloadTask(URLSession&, URLSessionDataTask&, URLSessionDownloadTask&) override { note("became download"); }
    void didReceiveData(URLSession&, URLSessionDataTask&, const Bytes& chunk) override {
        noteOnce("data");
        std::lock_guard lock(mutex_);
        body.insert(body.end(), chunk.begin(), chunk.end());
    }
    void didWriteData(URLSession&, URLSessionDownloadTask& t, std::int64_t, std::int64_t total, std::int64_t) override {
        noteOnce("write");
        {
            std::lock_guard lock(mutex_);
            writtenTotal = total;
        }
        if (onWrite) onWrite(t, total);
    }
    void didResumeAtOffset(URLSession&, URLSessionDownloadTask&, std::int64_t offset, std::int64_t) override {
        note("resume at " + std::to_string(offset));
    }
    void didFinishDownloadingToURL(URLSession&, URLSessionDownloadTask&, const Ref<URL>& url) override {
        note("finished download");
        std::lock_guard lock(mutex_);
        file = url;
        if (onFile) onFile(url);
    }

    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::string bodyText() const {
        std::lock_guard lock(mutex_);
        return std::string(body.begin(), body.end());
    }

    mutable std::mutex mutex_;
    Bytes body;
    Ref<Error> error;
    Ref<URL> file;
    URLSessionTask* completedTask = nullptr;
    std::int64_t sentTotal = 0;
    std::int64_t sentExpected = 0;
    std::int64_t writtenTotal = 0;
    std::atomic<int> completions{0};
    std::atomic<bool> invalid{false};
    std::atomic<bool> offQueue{false};

private:
    void note(std::string event) {
        if (expectedQueue && OperationQueue::current().get() != expectedQueue.get()) offQueue = true;
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    void noteOnce(const std::string& event) {
        {
            std::lock_guard lock(mutex_);
            if (!events_.empty() && events_.back() == event) return;
        }
        note(event);
    }
    std::vector<std::string> events_;
};

inline Bytes readFile(const std::string& path) {
    Bytes bytes;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        std::uint8_t buffer[65536];
        while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, file)) bytes.insert(bytes.end(), buffer, buffer + n);
        std::fclose(file);
    }
    return bytes;
}

inline int errorCode(const Ref<Error>& error) { return error ? static_cast<int>(error->code()) : 0; }

// Resumes the task and waits (pumping the main loop) until the recorder saw a completion.
inline void runTask(const Ref<URLSessionTask>& task, SessionRecorder& recorder, double timeout = 60) {
    const int before = recorder.completions.load();
    task->resume();
    EXPECT_TRUE(runMainUntil([&] { return recorder.completions.load() > before; }, timeout)) << "task did not complete";
}

// Lets a moment pass so that anything wrongly delivered late would be seen.
inline void settle() { runMainUntil([] { return false; }, 0.2); }

}  // namespace lv::test
