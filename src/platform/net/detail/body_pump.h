// Reads a request's body stream on a worker thread into a bounded buffer that the engine thread
// drains, so the engine never runs stream code (internal to lv_net).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/net/stream.h"

namespace lv::net_detail {

class BodyPump : public std::enable_shared_from_this<BodyPump> {
public:
    enum class State { Data, Waiting, End, Failed, Short, Long };

    // expectedLength -1 when unknown; a stream ending before it is Short, one giving more than it is
    // Long. With a known length the last byte is held back until the stream has ended, so a stream
    // that runs over is refused before libcurl considers the body complete, and nothing past the
    // length is ever handed out.
    BodyPump(Ref<InputStream> stream, std::int64_t expectedLength);
    ~BodyPump();

    // Engine side. onReady is called (on a worker) when data or the end arrives after take() answered
    // Waiting.
    void setReadyHandler(std::function<void()> onReady);
    // Copies up to length bytes; the state says what the count means (Data: n > 0).
    std::size_t take(std::uint8_t* buffer, std::size_t length, State& state);
    Ref<Error> streamError() const;
    std::int64_t expectedLength() const { return expected_; }
    void cancel();

private:
    void schedule();  // lock held
    void pump();

    mutable std::mutex mutex_;
    Ref<InputStream> stream_;
    std::int64_t expected_;
    std::deque<std::uint8_t> buffer_;
    std::int64_t produced_ = 0;
    std::int64_t taken_ = 0;
    bool running_ = false;
    bool opened_ = false;
    bool ended_ = false;
    bool failed_ = false;
    bool cancelled_ = false;
    bool waiting_ = false;
    Ref<Error> error_;
    std::function<void()> onReady_;
};

}  // namespace lv::net_detail
