// PNAsyncSocket's listening side: a listening descriptor per enabled family on one port, an accept
// source on each, and every accepted connection made into a new connected socket for the delegate.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "push/async_socket.h"
#include "push/async_socket_interface.h"

namespace lv {

namespace {
// Linux reports no count of pending connections: each event accepts until none is left, this many
// at most, and the next event goes on.
constexpr int kMaxAcceptsPerEvent = 64;
constexpr int kListenBacklog = 1024;
}  // namespace

bool PNAsyncSocket::acceptOnPort(std::uint16_t port, Ref<Error>* error) {
    return acceptOnInterface(std::nullopt, port, error);
}

bool PNAsyncSocket::acceptOnInterface(const std::optional<std::string>& interface, std::uint16_t port,
                                      Ref<Error>* errorOut) {
    bool listening = false;
    Ref<Error> error;
    onSocketQueueSync([&] {
        if (!delegate_.lock()) {
            error = badConfigError("Attempting to accept without a delegate. Set a delegate first.");
            return;
        }
        if (!delegateQueue_) {
            error = badConfigError("Attempting to accept without a delegate queue. Set a delegate queue first.");
            return;
        }
        const bool ipv4Disabled = config_ & PNSocketConfigIPv4Disabled;
        const bool ipv6Disabled = config_ & PNSocketConfigIPv6Disabled;
        if (ipv4Disabled && ipv6Disabled) {
            error = badConfigError("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
            return;
        }
        if (flags_ & PNSocketFlagStarted) {
            error = badConfigError(
                "Attempting to accept while connected or accepting connections. Disconnect first.");
            return;
        }
        readQueue_.clear();
        writeQueue_.clear();

        InterfaceAddresses found = interfaceFromDescription(interface.value_or(""), port);
        if (!found.address4 && !found.address6) {
            error = badParamError("Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
            return;
        }
        if (ipv4Disabled && !found.address6) {
            error = badParamError("IPv4 has been disabled and specified interface doesn't support IPv6.");
            return;
        }
        if (ipv6Disabled && !found.address4) {
            error = badParamError("IPv6 has been disabled and specified interface doesn't support IPv4.");
            return;
        }
        const bool useIPv4 = !ipv4Disabled && found.address4;
        const bool useIPv6 = !ipv6Disabled && found.address6;

        if (useIPv4 && !openListeningDescriptor(*found.address4, &socket4FD_, &error)) return;
        if (useIPv6) {
            Bytes address6 = *found.address6;
            if (useIPv4 && port == 0) {
                // Both families on the one port the system gave IPv4.
                sockaddr_in bound{};
                socklen_t length = sizeof bound;
                ::getsockname(socket4FD_, reinterpret_cast<sockaddr*>(&bound), &length);
                reinterpret_cast<sockaddr_in6*>(address6.data())->sin6_port = bound.sin_port;
            }
            if (!openListeningDescriptor(address6, &socket6FD_, &error)) {
                if (socket4FD_ != -1) ::close(socket4FD_);
                socket4FD_ = -1;
                return;
            }
        }
        if (socket4FD_ != -1) startAcceptSource(socket4FD_, false);
        if (socket6FD_ != -1) startAcceptSource(socket6FD_, true);
        flags_ |= PNSocketFlagStarted;
        listening = true;
    });
    if (!listening) setError(errorOut, error);
    return listening;
}

bool PNAsyncSocket::openListeningDescriptor(const Bytes& address, int* fdOut, Ref<Error>* error) {
    const int family = socketAddressFamily(address);
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errnoErrorWithReason(errno, "Error in socket() function");
        return false;
    }
    auto fail = [&](const char* reason) {
        *error = errnoErrorWithReason(errno, reason);
        ::close(fd);
        return false;
    };
    if (::fcntl(fd, F_SETFL, O_NONBLOCK) == -1) return fail("Error enabling non-blocking IO on socket (fcntl)");
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1) {
        return fail("Error enabling address reuse (setsockopt)");
    }
    // Linux would let "::" take IPv4 as well and then refuse the IPv4 listener's port to it.
    if (family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(address.data()), static_cast<socklen_t>(address.size())) != 0) {
        return fail("Error in bind() function");
    }
    if (::listen(fd, kListenBacklog) != 0) return fail("Error in listen() function");
    *fdOut = fd;
    return true;
}

void PNAsyncSocket::startAcceptSource(int fd, bool ipv6) {
    Ref<Source> source = Source::makeRead(fd, socketQueue_);
    // The handler may use the socket directly: close cancels the source on this queue first.
    source->setEventHandler([this, fd, ipv6] {
        for (int accepted = 0; accepted < kMaxAcceptsPerEvent && doAccept(fd, ipv6); ++accepted) {
        }
    });
    source->setCancelHandler([fd] { ::close(fd); });
    source->resume();
    (ipv6 ? accept6Source_ : accept4Source_) = std::move(source);
}

void PNAsyncSocket::cancelAcceptSources() {
    for (Ref<Source>* source : {&accept4Source_, &accept6Source_}) {
        if (*source) {
            (*source)->cancel();
            source->reset();
        }
    }
}

bool PNAsyncSocket::doAccept(int listenFD, bool ipv6) {
    sockaddr_storage peer{};
    socklen_t length = ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    const int fd = ::accept4(listenFD, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) return false;
    const auto* begin = reinterpret_cast<const std::uint8_t*>(&peer);
    Bytes address(begin, begin + length);
    if (::fcntl(fd, F_SETFL, O_NONBLOCK) == -1) {
        ::close(fd);
        return false;
    }
    // Linux has no SO_NOSIGPIPE: the socket's writes pass MSG_NOSIGNAL.
    Ref<Queue> delegateQueue = delegateQueue_;
    if (!delegateQueue) {
        ::close(fd);
        return true;
    }
    Weak<PNAsyncSocketDelegate> weakDelegate = delegate_;
    delegateQueue->async([listener = selfRef(), weakDelegate, delegateQueue, address = std::move(address), fd, ipv6] {
        Ref<PNAsyncSocketDelegate> delegate = weakDelegate.lock();
        Ref<Queue> queue;
        if (delegate && delegate->answers(PNAsyncSocketDelegateMethod::NewSocketQueueForConnection)) {
            queue = delegate->newSocketQueueForConnectionFromAddress(address, listener);
        }
        Ref<PNAsyncSocket> accepted = makeWithDelegate(delegate, delegateQueue, std::move(queue));
        // Its state belongs to its own queue: the descriptor, the flags and the sources are set there,
        // before anything the delegate queues.
        accepted->socketQueue_->async([accepted, fd, ipv6] {
            (ipv6 ? accepted->socket6FD_ : accepted->socket4FD_) = fd;
            accepted->flags_ = PNSocketFlagStarted | PNSocketFlagConnected;
            accepted->setupReadAndWriteSourcesForNewlyConnectedSocket(fd);
        });
        if (delegate && delegate->answers(PNAsyncSocketDelegateMethod::DidAcceptNewSocket)) {
            delegate->didAcceptNewSocket(listener, accepted);
        }
    });
    return true;
}

}  // namespace lv
