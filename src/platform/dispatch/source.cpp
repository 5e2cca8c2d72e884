#include "platform/dispatch/source.h"

// Asio's scheduler trips GCC's flow-based null-dereference check when inlined here, and its fenced
// handler blocks draw GCC's note that ThreadSanitizer does not model fences (the reactor hands work
// over through mutexes, which it does model).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wnull-dereference"
#if __GNUC__ >= 12
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#endif
#define ASIO_STANDALONE 1
#define ASIO_NO_DEPRECATED 1
#include <asio.hpp>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "platform/dispatch/detail/pool.h"

namespace lv {

namespace {

// The one reactor thread: descriptor readiness for every source.
class Reactor {
public:
    static Reactor& shared() {
        static Reactor* reactor = new Reactor;  // never destroyed: its thread runs until exit
        return *reactor;
    }
    asio::io_context& context() { return context_; }

private:
    Reactor() : guard_(asio::make_work_guard(context_)) {
        std::thread([this] {
            ::pthread_setname_np(::pthread_self(), "lv.reactor");
            context_.run();
        }).detach();
    }
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
};

// A read descriptor that counts no bytes is at its end (or holds an empty datagram), has failed, or
// is not readable at all: the wait reported readiness that a read has consumed since (the reactor
// can report an earlier readiness once more to a wait started right after a read). None for the
// last, so that the source waits again instead of reporting an end that is not there.
std::optional<std::uint64_t> confirmNothingToRead(int fd) {
    pollfd entry{fd, POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) return std::nullopt;
    // A failure is left in place for the handler's read to report.
    if (ready < 0 || (entry.revents & (POLLERR | POLLNVAL))) return 0;
    // Readable: bytes that came meanwhile, the end of the stream, or bytes that a read running beside
    // this check has just taken. A peek tells them apart without consuming anything.
    char byte = 0;
    ssize_t peeked = 0;
    do {
        peeked = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (peeked < 0 && errno == EINTR);
    if (peeked > 0) {
        int available = 0;
        if (::ioctl(fd, FIONREAD, &available) != 0) available = 1;
        return static_cast<std::uint64_t>(std::max(1, available));
    }
    if (peeked == 0) return 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
    // Not a socket (a pipe): readable with nothing in it is its end once the writer has gone.
    if (errno == ENOTSOCK) return (entry.revents & POLLHUP) ? std::optional<std::uint64_t>(0) : std::nullopt;
    return 0;
}

}  // namespace

// Reactor-side state of a descriptor source; touched only on the reactor thread once created.
struct Source::Watcher {
    asio::posix::stream_descriptor descriptor;
    int fd = -1;
    bool ok = false;

    explicit Watcher(int original) : descriptor(Reactor::shared().context()) {
        // A duplicate, so that a read source and a write source may watch the same descriptor.
        fd = ::fcntl(original, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) return;
        asio::error_code ec;
        descriptor.assign(fd, ec);
        ok = !ec;
        if (!ok) {
            ::close(fd);
            fd = -1;
        }
    }
};

Source::Source(Type type, int fd, Ref<Queue> queue) : type_(type), fd_(fd), queue_(std::move(queue)) {
    if (type_ != Type::Timer) watcher_ = new Watcher(fd);
}

Source::~Source() {
    if (Watcher* w = watcher_) {
        asio::post(Reactor::shared().context(), [w] {
            asio::error_code ec;
            w->descriptor.close(ec);
            delete w;
        });
    }
}

Ref<Source> Source::makeRead(int fd, Ref<Queue> queue) { return makeRef<Source>(Type::Read, fd, std::move(queue)); }

Ref<Source> Source::makeWrite(int fd, Ref<Queue> queue) { return makeRef<Source>(Type::Write, fd, std::move(queue)); }

Ref<Source> Source::makeTimer(Ref<Queue> queue) { return makeRef<Source>(Type::Timer, -1, std::move(queue)); }

void Source::setEventHandler(Queue::Block handler) {
    Queue::Block old;
    std::lock_guard<std::mutex> guard(mutex_);
    if (cancelled_) return;
    old = std::move(eventHandler_);
    eventHandler_ = std::move(handler);
}

void Source::setCancelHandler(Queue::Block handler) {
    Queue::Block old;
    std::lock_guard<std::mutex> guard(mutex_);
    if (cancelDone_) return;
    old = std::move(cancelHandler_);
    cancelHandler_ = std::move(handler);
}

void Source::setTimer(double startDelay, double interval) {
    if (type_ != Type::Timer) return;
    std::unique_lock<std::mutex> lock(mutex_);
    if (cancelled_) return;
    scheduled_ = true;
    nextFire_ = steadyAfter(std::max(0.0, startDelay));
    interval_ = interval;
    fires_ = 0;
    pendingEvent_ = false;
    ++generation_;  // a schedule already armed becomes stale
    armed_ = false;
    armLocked(lock);
}

void Source::suspend() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++suspendCount_;
}

void Source::resume() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (suspendCount_ == 0) return;
    if (--suspendCount_ > 0) return;
    if (pendingEvent_ && !cancelled_) {
        // A timer fired while suspended: deliver it now.
        pendingEvent_ = false;
        data_ = fires_;
        fires_ = 0;
        inFlight_ = true;
        Ref<Source> self = refAs<Source>();
        lock.unlock();
        queue_->async([self] { self->deliver(); });
        return;
    }
    armLocked(lock);
    finishCancelIfDone(lock);
}

void Source::cancel() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (cancelled_) return;
    cancelled_ = true;
    pendingEvent_ = false;
    if (type_ == Type::Timer) {
        ++generation_;  // the armed fire, if any, is ignored when it comes
        armed_ = false;
    } else if (armed_) {
        // The aborted wait completes through onReady(), which finishes the cancellation.
        Watcher* w = watcher_;
        Ref<Source> self = refAs<Source>();
        asio::post(Reactor::shared().context(), [self, w] {
            asio::error_code ec;
            w->descriptor.cancel(ec);
        });
    }
    finishCancelIfDone(lock);
}

bool Source::isCancelled() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return cancelled_;
}

std::uint64_t Source::data() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return data_;
}

void Source::armLocked(std::unique_lock<std::mutex>&) {
    if (cancelled_ || suspendCount_ > 0 || armed_ || inFlight_) return;
    Ref<Source> self = refAs<Source>();
    if (type_ == Type::Timer) {
        if (!scheduled_) return;
        armed_ = true;
        const std::uint64_t generation = generation_;
        detail::Scheduler::shared().at(nextFire_, [self, generation] { self->onTimer(generation); });
        return;
    }
    if (!watcher_ || !watcher_->ok) return;
    armed_ = true;
    if (completeAtOnce_) {
        completeAtOnce_ = false;
        asio::post(Reactor::shared().context(), [self] { self->onReady(false); });
        return;
    }
    const auto kind = type_ == Type::Read ? asio::posix::descriptor_base::wait_read
                                          : asio::posix::descriptor_base::wait_write;
    Watcher* w = watcher_;
    asio::post(Reactor::shared().context(), [self, w, kind] {
        w->descriptor.async_wait(kind, [self](const asio::error_code& ec) { self->onReady(static_cast<bool>(ec)); });
    });
}

void Source::onReady(bool failed) {
    std::unique_lock<std::mutex> lock(mutex_);
    armed_ = false;
    if (failed || cancelled_) {
        finishCancelIfDone(lock);
        return;
    }
    if (suspendCount_ > 0) return;  // resume() arms again; readiness is seen afresh then
    lock.unlock();
    const std::optional<std::uint64_t> measured = measure();
    lock.lock();
    if (cancelled_) {
        finishCancelIfDone(lock);
        return;
    }
    if (suspendCount_ > 0) return;
    if (!measured) {
        // Nothing to report after all: wait for the next readiness.
        armLocked(lock);
        return;
    }
    data_ = *measured;
    inFlight_ = true;
    Ref<Source> self = refAs<Source>();
    lock.unlock();
    queue_->async([self] { self->deliver(); });
}

void Source::completeNextWaitAtOnce() {
    std::lock_guard<std::mutex> guard(mutex_);
    completeAtOnce_ = true;
}

void Source::onTimer(std::uint64_t generation) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (generation != generation_) return;
    armed_ = false;
    if (cancelled_) {
        finishCancelIfDone(lock);
        return;
    }
    ++fires_;
    const SteadyTime now = std::chrono::steady_clock::now();
    if (interval_ > 0) {
        const auto step = std::max<std::chrono::steady_clock::duration>(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(interval_)),
            std::chrono::steady_clock::duration(1));
        nextFire_ += step;
        if (nextFire_ <= now) nextFire_ += step * ((now - nextFire_) / step + 1);
    } else {
        scheduled_ = false;
    }
    if (suspendCount_ > 0) {
        pendingEvent_ = true;
        return;
    }
    data_ = fires_;
    fires_ = 0;
    inFlight_ = true;
    Ref<Source> self = refAs<Source>();
    lock.unlock();
    queue_->async([self] { self->deliver(); });
}

void Source::deliver() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (cancelled_) {
        inFlight_ = false;
        finishCancelIfDone(lock);
        return;
    }
    Queue::Block handler = eventHandler_;
    lock.unlock();
    if (handler) handler();
    handler = nullptr;
    lock.lock();
    inFlight_ = false;
    armLocked(lock);
    finishCancelIfDone(lock);
}

void Source::finishCancelIfDone(std::unique_lock<std::mutex>& lock) {
    if (!cancelled_ || cancelDone_ || suspendCount_ > 0 || inFlight_ || armed_) return;
    cancelDone_ = true;
    Queue::Block handler = std::move(cancelHandler_);
    Queue::Block event = std::move(eventHandler_);
    cancelHandler_ = nullptr;
    eventHandler_ = nullptr;
    Watcher* w = watcher_;
    Ref<Queue> queue = queue_;
    lock.unlock();
    event = nullptr;  // whatever the event handler held is released outside the lock
    if (w) {
        // Stop watching (and close the duplicate) before the cancel handler may close the descriptor.
        asio::post(Reactor::shared().context(), [w, queue, handler = std::move(handler)]() mutable {
            asio::error_code ec;
            w->descriptor.close(ec);
            if (handler) queue->async(std::move(handler));
        });
    } else if (handler) {
        queue->async(std::move(handler));
    }
    lock.lock();
}

std::optional<std::uint64_t> Source::measure() const {
    const int fd = watcher_ ? watcher_->fd : -1;
    if (fd < 0) return 1;
    if (type_ == Type::Read) {
        int listening = 0;
        socklen_t length = sizeof listening;
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening) {
            // A listening socket: the connections waiting in its accept queue.
            tcp_info info{};
            socklen_t infoLength = sizeof info;
            if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &infoLength) == 0) {
                return std::max<std::uint64_t>(1, info.tcpi_unacked);
            }
            return 1;
        }
        int available = 0;
        if (::ioctl(fd, FIONREAD, &available) != 0) return 1;
        if (available > 0) return static_cast<std::uint64_t>(available);
        return confirmNothingToRead(fd);
    }
    int sendBuffer = 0;
    socklen_t length = sizeof sendBuffer;
    int queued = 0;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &length) == 0 && ::ioctl(fd, TIOCOUTQ, &queued) == 0) {
        return static_cast<std::uint64_t>(std::max(1, sendBuffer - queued));
    }
    return 1;
}

}  // namespace lv
