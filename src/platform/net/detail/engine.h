// The URL engine: one thread ("URLLoader") that owns libcurl's multi handle and every transfer. It
// never runs user code: events go to a TransferListener, whose methods only queue work for the
// consumer's thread (internal to lv_net).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/error.h"
#include "platform/net/detail/body_pump.h"
#include "platform/net/request.h"
#include "platform/security/trust.h"

namespace lv::net_detail {

// Transfers one pool runs at once to one origin unless it says otherwise.
inline constexpr long kDefaultConnectionsPerHost = 6;

// Everything one transfer needs, prepared by the consumer.
struct TransferSpec {
    std::string url;
    std::string method = "GET";
    HTTPHeaders headers;
    std::optional<Bytes> body;
    std::shared_ptr<BodyPump> bodyPump;
    double timeout = kDefaultTimeoutInterval;
    // When the whole load must have ended (a session's resource time-out), -1001 after it.
    std::optional<std::chrono::steady_clock::time_point> deadline;
    // The most decoded body bytes the reply may bring (0: no bound), -1103 past it.
    std::int64_t maxBodySize = 0;
    bool handleCookies = true;
    // HTTP authentication for this transfer.
    std::optional<std::string> user;
    std::optional<std::string> password;
    bool digest = false;
    // Transfers of one pool (a session, or every connection) to one origin (scheme, host, port) run at
    // most this many at once; the rest wait, in order, for one to end. Below 1 counts as 1.
    std::uint64_t pool = 0;
    long maxPerHost = kDefaultConnectionsPerHost;
    // Raise a server-trust challenge to the consumer on TLS transfers; without it the engine evaluates
    // the trust itself (system anchors, TrustAnchors, the request's host).
    bool askTrust = false;
};

// Shared between the engine and the consumer: bytes handed over but not yet consumed (flow control).
struct TransferFlow {
    std::atomic<std::int64_t> undelivered{0};
    std::atomic<bool> paused{false};
    // Set by the consumer to stop reading (a suspended session task); cleared, then Engine::wakeup().
    std::atomic<bool> held{false};

    // The consumer's answer to a server-trust challenge, which the engine waits for.
    enum class TrustAnswer { Pending, Accept, Evaluate, Cancel };
    void answerTrust(TrustAnswer answer) {
        {
            std::lock_guard lock(trustMutex);
            if (trustAnswer == TrustAnswer::Pending) trustAnswer = answer;
        }
        trustReady.notify_all();
    }
    // Cancels this and every later trust question of the transfer.
    void cancelTrust() {
        {
            std::lock_guard lock(trustMutex);
            trustCancelled = true;
        }
        trustReady.notify_all();
    }
    // Engine thread: clears the previous answer before a new question.
    void resetTrust() {
        std::lock_guard lock(trustMutex);
        trustAnswer = TrustAnswer::Pending;
    }
    // Engine thread: the answer, Cancel once cancelled, Pending when the time-out (seconds; none when
    // not positive) passes first.
    TrustAnswer awaitTrust(double timeout) {
        std::unique_lock lock(trustMutex);
        auto ready = [this] { return trustCancelled || trustAnswer != TrustAnswer::Pending; };
        if (timeout > 0) {
            trustReady.wait_for(lock, std::chrono::duration<double>(timeout), ready);
        } else {
            trustReady.wait(lock, ready);
        }
        return trustCancelled ? TrustAnswer::Cancel : trustAnswer;
    }

private:
    std::mutex trustMutex;
    std::condition_variable trustReady;
    TrustAnswer trustAnswer = TrustAnswer::Pending;
    bool trustCancelled = false;
};

// Called on the engine thread; implementations only queue work elsewhere.
class TransferListener {
public:
    virtual ~TransferListener() = default;
    virtual void transferReceivedResponse(int status, HTTPHeaders headers) = 0;
    virtual void transferReceivedData(Bytes chunk) = 0;
    virtual void transferSentBodyData(std::int64_t sent, std::int64_t totalSent, std::int64_t expected) = 0;
    // After the TLS handshake of a new or reused connection and before the request is sent, when the
    // spec asks for it: hand the trust to the consumer at once; the answer comes through the flow.
    virtual void transferNeedsTrustDecision(Ref<Trust> trust) = 0;
    // errorCode 0 on success; streamError set when a body stream failed. The last event.
    virtual void transferCompleted(int errorCode, Ref<Error> streamError, std::string detail) = 0;
    // Called once per engine turn after the turn's events, so that they can be handed over together.
    virtual void flush() {}
};

// The URL error code nearest a libcurl result (a CURLcode): 0 for success, URLErrorUnknown for what
// has no counterpart.
int urlErrorCodeForCurlResult(int result);

class Engine {
public:
    static Engine& shared();

    std::uint64_t add(TransferSpec spec, std::shared_ptr<TransferListener> listener, std::shared_ptr<TransferFlow> flow);
    // Ends the transfer without a completion event.
    void cancel(std::uint64_t id);
    // Wakes the engine (a consumer drained a paused transfer, or a body pump has data).
    void wakeup();
    void bodyReady(std::uint64_t id);

    // Transfers whose undelivered bytes exceed this are paused until they fall under the low mark.
    static constexpr std::int64_t kPauseAbove = 256 * 1024;
    static constexpr std::int64_t kResumeBelow = 64 * 1024;
    // Transfers running at once over every pool and origin; later ones wait for one to end.
    static constexpr std::size_t kMaxRunningTransfers = 64;
    // Idle connections kept for reuse; the oldest beyond this are closed.
    static constexpr long kIdleConnections = 16;

private:
    Engine();
    struct Impl;
    Impl* impl_;  // never destroyed: the engine thread runs until the process ends
};

}  // namespace lv::net_detail
