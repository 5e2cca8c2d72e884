// The URL engine: one thread ("URLLoader") that owns libcurl's multi handle and every transfer. It
// never runs user code: events go to a TransferListener, whose methods only queue work for the
// consumer's thread (internal to lv_net).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/error.h"
#include "platform/net/detail/body_pump.h"
#include "platform/net/request.h"

namespace lv::net_detail {

// Everything one transfer needs, prepared by the consumer.
struct TransferSpec {
    std::string url;
    std::string method = "GET";
    HTTPHeaders headers;
    std::optional<Bytes> body;
    std::shared_ptr<BodyPump> bodyPump;
    double timeout = kDefaultTimeoutInterval;
    bool handleCookies = true;
    // HTTP authentication for this transfer.
    std::optional<std::string> user;
    std::optional<std::string> password;
    bool digest = false;
};

// Shared between the engine and the consumer: bytes handed over but not yet consumed (flow control).
struct TransferFlow {
    std::atomic<std::int64_t> undelivered{0};
    std::atomic<bool> paused{false};
};

// Called on the engine thread; implementations only queue work elsewhere.
class TransferListener {
public:
    virtual ~TransferListener() = default;
    virtual void transferReceivedResponse(int status, HTTPHeaders headers) = 0;
    virtual void transferReceivedData(Bytes chunk) = 0;
    virtual void transferSentBodyData(std::int64_t sent, std::int64_t totalSent, std::int64_t expected) = 0;
    // errorCode 0 on success; streamError set when a body stream failed. The last event.
    virtual void transferCompleted(int errorCode, Ref<Error> streamError, std::string detail) = 0;
    // Called once per engine turn after the turn's events, so that they can be handed over together.
    virtual void flush() {}
};

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

private:
    Engine();
    struct Impl;
    Impl* impl_;  // never destroyed: the engine thread runs until the process ends
};

}  // namespace lv::net_detail
