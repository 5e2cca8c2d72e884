// Pieces of session-style loading shared by the session and its tasks (internal to lv_net): resume
// data, and the engine listener that hands a transfer's events to the task's delegate queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/detail/engine.h"
#include "platform/net/detail/http_rules.h"
#include "platform/net/session.h"

namespace lv::net_detail {

// What a download needs to go on: the request, its partial file, the bytes in it and the reply's
// validator (ETag or Last-Modified) sent as If-Range.
struct ResumeInfo {
    URLRequest request;
    std::string path;
    std::int64_t bytes = 0;
    std::string validator;
};

// A binary property list; nothing when it cannot be written.
std::optional<Bytes> encodeResumeData(const ResumeInfo& info);
// Nothing for data that is not resume data, or whose file is missing or shorter than its byte count.
std::optional<ResumeInfo> decodeResumeData(const Bytes& data);

// Engine events → one delegate-queue block per engine turn; the server-trust question goes at once.
class SessionListener : public TransferListener {
public:
    SessionListener(Ref<URLSessionTask> task, std::uint64_t gen, std::shared_ptr<TransferFlow> flow)
        : task_(std::move(task)), gen_(gen), flow_(std::move(flow)) {}

    void transferReceivedResponse(int status, HTTPHeaders headers) override {
        pending_.push_back([status, headers = std::move(headers)](URLSessionTask& t) mutable {
            t.handleResponse(status, std::move(headers));
        });
    }
    void transferReceivedData(Bytes chunk) override {
        pending_.push_back([chunk = std::move(chunk)](URLSessionTask& t) { t.handleData(chunk); });
    }
    void transferSentBodyData(std::int64_t sent, std::int64_t total, std::int64_t expected) override {
        pending_.push_back([sent, total, expected](URLSessionTask& t) { t.handleSent(sent, total, expected); });
    }
    void transferNeedsTrustDecision(Ref<Trust> trust) override {
        flush();
        task_->post([task = task_, trust = std::move(trust), flow = flow_] { task->target()->handleTrust(trust, flow); });
    }
    void transferCompleted(int code, Ref<Error> streamError, std::string detail) override {
        pending_.push_back([code, streamError = std::move(streamError), detail = std::move(detail)](URLSessionTask& t) {
            t.handleCompleted(code, streamError, detail);
        });
        flush();
    }
    void flush() override {
        if (pending_.empty()) return;
        task_->post([task = task_, gen = gen_, events = std::move(pending_)]() mutable { task->enqueue(gen, std::move(events)); });
        pending_.clear();
    }

private:
    Ref<URLSessionTask> task_;
    std::uint64_t gen_;
    std::shared_ptr<TransferFlow> flow_;
    std::vector<URLSessionTask::Event> pending_;  // engine thread only
};

}  // namespace lv::net_detail

namespace lv {

// A task's state on its delegate queue (only that queue touches it).
struct URLSessionTask::Work {
    std::atomic<std::uint64_t> generation{0};  // also read when the first transfer starts
    std::deque<Event> inbox;
    bool awaiting = false;  // a delegate answer is outstanding
    bool done = false;
    bool fromCache = false;
    int redirects = 0;
    std::int64_t failures = 0;
    Ref<HTTPURLResponse> response;
    bool held = false;  // a redirect or authentication reply kept back from the delegate
    Bytes heldBody;
    std::optional<Bytes> cacheBody;
    Ref<URLCredential> credential;
    bool digest = false;
    std::atomic<bool> trustCancelled{false};
    // Downloads.
    int fd = -1;
    std::string path;
    std::int64_t written = 0;
    std::int64_t expectedTotal = -1;
    bool keepFile = false;
    std::optional<net_detail::ResumeInfo> resume;
    bool badResumeData = false;
};

}  // namespace lv
