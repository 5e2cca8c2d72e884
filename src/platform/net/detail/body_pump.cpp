// Body stream pump.
#include "platform/net/detail/body_pump.h"

#include <algorithm>
#include <vector>

#include "platform/dispatch/queue.h"

namespace lv::net_detail {

namespace {
constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kHighWater = 256 * 1024;
}  // namespace

BodyPump::BodyPump(Ref<InputStream> stream, std::int64_t expectedLength)
    : stream_(std::move(stream)), expected_(expectedLength) {}

BodyPump::~BodyPump() = default;

void BodyPump::setReadyHandler(std::function<void()> onReady) {
    std::lock_guard lock(mutex_);
    onReady_ = std::move(onReady);
    schedule();
}

void BodyPump::schedule() {
    if (running_ || ended_ || failed_ || cancelled_ || buffer_.size() >= kHighWater) return;
    running_ = true;
    Queue::global()->async([self = shared_from_this()] { self->pump(); });
}

void BodyPump::pump() {
    std::vector<std::uint8_t> chunk(kChunk);
    for (;;) {
        Ref<InputStream> stream;
        {
            std::lock_guard lock(mutex_);
            if (cancelled_ || buffer_.size() >= kHighWater) {
                running_ = false;
                return;
            }
            stream = stream_;
            if (!opened_) {
                opened_ = true;
                stream->open();
            }
        }
        // The stream's own code runs here, on a worker, with no lock held.
        long n = stream->streamStatus() == StreamStatus::Error ? -1 : stream->read(chunk.data(), chunk.size());
        Ref<Error> error = n < 0 ? stream->streamError() : nullptr;
        const bool done = n <= 0;
        if (done) stream->close();
        std::function<void()> notify;
        bool over = false;
        {
            std::lock_guard lock(mutex_);
            if (n > 0 && expected_ >= 0 && produced_ + n > expected_) {
                // More than the declared length: stop reading; the bytes past it are never sent.
                const auto fits = static_cast<std::ptrdiff_t>(expected_ - produced_);
                buffer_.insert(buffer_.end(), chunk.begin(), chunk.begin() + fits);
                produced_ += n;
                over = true;
            } else if (n > 0) {
                buffer_.insert(buffer_.end(), chunk.begin(), chunk.begin() + n);
                produced_ += n;
            } else if (n == 0) {
                ended_ = true;
            } else {
                failed_ = true;
                error_ = error;
            }
            if (waiting_ && !cancelled_) {
                waiting_ = false;
                notify = onReady_;
            }
            if (done || over) running_ = false;
        }
        if (over) stream->close();
        if (notify) notify();
        if (done || over) return;
    }
}

std::size_t BodyPump::take(std::uint8_t* out, std::size_t length, State& state) {
    std::lock_guard lock(mutex_);
    if (expected_ >= 0 && produced_ > expected_) {
        state = State::Long;
        return 0;
    }
    std::size_t available = buffer_.size();
    // The last declared byte goes out only once the stream is known to end there.
    if (expected_ >= 0 && !ended_ && !failed_ && taken_ + static_cast<std::int64_t>(available) >= expected_) {
        available = expected_ > taken_ ? static_cast<std::size_t>(expected_ - taken_ - 1) : 0;
    }
    if (available > 0) {
        const std::size_t n = std::min(length, available);
        std::copy_n(buffer_.begin(), n, out);
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
        taken_ += static_cast<std::int64_t>(n);
        schedule();
        state = State::Data;
        return n;
    }
    if (failed_) {
        state = State::Failed;
    } else if (ended_) {
        state = expected_ >= 0 && produced_ < expected_ ? State::Short : State::End;
    } else {
        waiting_ = true;
        schedule();
        state = State::Waiting;
    }
    return 0;
}

Ref<Error> BodyPump::streamError() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void BodyPump::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    onReady_ = nullptr;
}

}  // namespace lv::net_detail
