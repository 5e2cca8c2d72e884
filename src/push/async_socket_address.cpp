// PNAsyncSocket: one family's addresses, the delegate setters that take their form as a flag, and the
// errno error without a reason.
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "push/async_socket.h"

namespace lv {

namespace {

// The descriptor's peer or local address when it is of the family of Address.
template <class Address, sa_family_t Family>
std::optional<Address> socketAddressOf(int fd, bool peer) {
    if (fd < 0) return std::nullopt;
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    auto* address = reinterpret_cast<sockaddr*>(&storage);
    if ((peer ? ::getpeername(fd, address, &length) : ::getsockname(fd, address, &length)) != 0) return std::nullopt;
    if (storage.ss_family != Family || length < sizeof(Address)) return std::nullopt;
    Address result;
    std::memcpy(&result, &storage, sizeof result);
    return result;
}

std::optional<std::string> host4(int fd, bool peer) {
    const auto address = socketAddressOf<sockaddr_in, AF_INET>(fd, peer);
    return address ? std::optional(PNAsyncSocket::hostFromSockaddr4(*address)) : std::nullopt;
}
std::optional<std::string> host6(int fd, bool peer) {
    const auto address = socketAddressOf<sockaddr_in6, AF_INET6>(fd, peer);
    return address ? std::optional(PNAsyncSocket::hostFromSockaddr6(*address)) : std::nullopt;
}
std::uint16_t port4(int fd, bool peer) {
    const auto address = socketAddressOf<sockaddr_in, AF_INET>(fd, peer);
    return address ? PNAsyncSocket::portFromSockaddr4(*address) : 0;
}
std::uint16_t port6(int fd, bool peer) {
    const auto address = socketAddressOf<sockaddr_in6, AF_INET6>(fd, peer);
    return address ? PNAsyncSocket::portFromSockaddr6(*address) : 0;
}

}  // namespace

void PNAsyncSocket::setDelegate(const Ref<PNAsyncSocketDelegate>& delegate, bool synchronously) {
    if (synchronously) {
        synchronouslySetDelegate(delegate);
    } else {
        setDelegate(delegate);
    }
}
void PNAsyncSocket::setDelegateQueue(Ref<Queue> queue, bool synchronously) {
    if (synchronously) {
        synchronouslySetDelegateQueue(std::move(queue));
    } else {
        setDelegateQueue(std::move(queue));
    }
}
void PNAsyncSocket::setDelegate(const Ref<PNAsyncSocketDelegate>& delegate, Ref<Queue> queue, bool synchronously) {
    if (synchronously) {
        synchronouslySetDelegate(delegate, std::move(queue));
    } else {
        setDelegate(delegate, std::move(queue));
    }
}

// Each reads its descriptor on the socket queue (inline when already there), so it answers from any
// thread whenever the descriptor is set, and never races the queue that opens and closes it.
template <class Result>
Result PNAsyncSocket::fromDescriptor(bool ipv6, Result (*reading)(int)) const {
    Result result{};
    onSocketQueueSync([&] { result = reading(ipv6 ? socket6FD_ : socket4FD_); });
    return result;
}

std::optional<std::string> PNAsyncSocket::connectedHost4() const { return fromDescriptor(false, &connectedHostFromSocket4); }
std::optional<std::string> PNAsyncSocket::connectedHost6() const { return fromDescriptor(true, &connectedHostFromSocket6); }
std::uint16_t PNAsyncSocket::connectedPort4() const { return fromDescriptor(false, &connectedPortFromSocket4); }
std::uint16_t PNAsyncSocket::connectedPort6() const { return fromDescriptor(true, &connectedPortFromSocket6); }
std::optional<std::string> PNAsyncSocket::localHost4() const { return fromDescriptor(false, &localHostFromSocket4); }
std::optional<std::string> PNAsyncSocket::localHost6() const { return fromDescriptor(true, &localHostFromSocket6); }
std::uint16_t PNAsyncSocket::localPort4() const { return fromDescriptor(false, &localPortFromSocket4); }
std::uint16_t PNAsyncSocket::localPort6() const { return fromDescriptor(true, &localPortFromSocket6); }

std::optional<std::string> PNAsyncSocket::connectedHostFromSocket4(int fd) { return host4(fd, true); }
std::optional<std::string> PNAsyncSocket::connectedHostFromSocket6(int fd) { return host6(fd, true); }
std::uint16_t PNAsyncSocket::connectedPortFromSocket4(int fd) { return port4(fd, true); }
std::uint16_t PNAsyncSocket::connectedPortFromSocket6(int fd) { return port6(fd, true); }
std::optional<std::string> PNAsyncSocket::localHostFromSocket4(int fd) { return host4(fd, false); }
std::optional<std::string> PNAsyncSocket::localHostFromSocket6(int fd) { return host6(fd, false); }
std::uint16_t PNAsyncSocket::localPortFromSocket4(int fd) { return port4(fd, false); }
std::uint16_t PNAsyncSocket::localPortFromSocket6(int fd) { return port6(fd, false); }

Ref<Error> PNAsyncSocket::errnoError() { return errnoErrorWithReason(errno, {}); }

}  // namespace lv
