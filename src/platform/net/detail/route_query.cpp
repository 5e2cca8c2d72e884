#include "platform/net/detail/route_query.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

// The netlink and route macros of the kernel headers are written with C casts.
#pragma GCC diagnostic ignored "-Wold-style-cast"
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wcast-align"
#endif

namespace lv::net_detail {

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Route attributes of one RTM_NEWROUTE reply: whether it names a gateway.
bool hasGateway(const nlmsghdr* message) {
    const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(message));
    int length = static_cast<int>(RTM_PAYLOAD(message));
    for (const rtattr* attribute = RTM_RTA(route); RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length)) {
        if (attribute->rta_type == RTA_GATEWAY) return true;
    }
    return false;
}

}  // namespace

bool SocketAddress::isUnspecified() const {
    if (family() == AF_INET) {
        return reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr.s_addr == htonl(INADDR_ANY);
    }
    if (family() == AF_INET6) {
        return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr);
    }
    return false;
}

std::optional<SocketAddress> copySocketAddress(const sockaddr* address, socklen_t length) {
    if (!address) return std::nullopt;
    socklen_t needed = 0;
    if (address->sa_family == AF_INET) needed = sizeof(sockaddr_in);
    else if (address->sa_family == AF_INET6) needed = sizeof(sockaddr_in6);
    else return std::nullopt;
    if (length < needed) return std::nullopt;
    SocketAddress copy;
    std::memcpy(&copy.storage, address, needed);
    copy.length = needed;
    return copy;
}

std::optional<RouteKind> routeTo(const SocketAddress& address) {
    const Descriptor fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (fd.get() < 0) return std::nullopt;
    timeval receiveTimeout{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &receiveTimeout, sizeof receiveTimeout);

    struct {
        nlmsghdr header;
        rtmsg route;
        std::array<char, 64> attributes;
    } request{};
    const bool v4 = address.family() == AF_INET;
    const void* bytes = v4 ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&address.storage)->sin_addr)
                           : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&address.storage)->sin6_addr);
    const std::size_t byteCount = v4 ? 4 : 16;
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.route.rtm_family = static_cast<unsigned char>(address.family());
    request.route.rtm_dst_len = static_cast<unsigned char>(byteCount * 8);
    auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request.header) + NLMSG_LENGTH(sizeof(rtmsg)));
    attribute->rta_type = RTA_DST;
    attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(byteCount));
    std::memcpy(RTA_DATA(attribute), bytes, byteCount);
    request.header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(sizeof(rtmsg)) + RTA_ALIGN(attribute->rta_len));

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd.get(), &request, request.header.nlmsg_len, 0, reinterpret_cast<const sockaddr*>(&kernel),
                 sizeof kernel) < 0) {
        return std::nullopt;
    }
    alignas(nlmsghdr) std::array<char, 8192> reply{};
    const ssize_t received = ::recv(fd.get(), reply.data(), reply.size(), 0);
    if (received < 0) return std::nullopt;
    auto remaining = static_cast<unsigned>(received);
    for (const auto* message = reinterpret_cast<const nlmsghdr*>(reply.data()); NLMSG_OK(message, remaining);
         message = NLMSG_NEXT(message, remaining)) {
        if (message->nlmsg_type == NLMSG_ERROR) {
            const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
            // "Network unreachable" and its kin are answers; other errors mean the kernel was not asked.
            const int code = -error->error;
            if (code == ENETUNREACH || code == EHOSTUNREACH || code == EACCES || code == EPERM || code == EINVAL) {
                return RouteKind::None;
            }
            return std::nullopt;
        }
        if (message->nlmsg_type != RTM_NEWROUTE) continue;
        const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(message));
        switch (route->rtm_type) {
            case RTN_LOCAL: return RouteKind::Local;
            case RTN_UNICAST: return hasGateway(message) ? RouteKind::Gateway : RouteKind::Direct;
            default: return RouteKind::None;
        }
    }
    return std::nullopt;
}

bool hasActiveInterface() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    bool active = false;
    for (const ifaddrs* entry = list; entry && !active; entry = entry->ifa_next) {
        if (!entry->ifa_addr) continue;
        const int family = entry->ifa_addr->sa_family;
        const unsigned flags = entry->ifa_flags;
        active = (family == AF_INET || family == AF_INET6) && (flags & IFF_UP) && (flags & IFF_RUNNING) &&
                 !(flags & IFF_LOOPBACK);
    }
    ::freeifaddrs(list);
    return active;
}

std::vector<SocketAddress> resolveName(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    std::vector<SocketAddress> addresses;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &results) != 0) return addresses;
    for (const addrinfo* entry = results; entry; entry = entry->ai_next) {
        if (auto copy = copySocketAddress(entry->ai_addr, entry->ai_addrlen)) addresses.push_back(*copy);
    }
    ::freeaddrinfo(results);
    return addresses;
}

std::vector<SocketAddress> lookupWithin(const std::string& name, double timeoutSeconds, const NameLookup& lookup) {
    struct Pending {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::vector<SocketAddress> addresses;
    };
    auto pending = std::make_shared<Pending>();
    std::thread([pending, name, lookup] {
        std::vector<SocketAddress> addresses = lookup(name);
        const std::lock_guard lock(pending->mutex);
        pending->addresses = std::move(addresses);
        pending->finished = true;
        pending->done.notify_all();
    }).detach();
    std::unique_lock lock(pending->mutex);
    const auto bound = std::chrono::duration<double>(timeoutSeconds > 0 ? timeoutSeconds : 0);
    if (!pending->done.wait_for(lock, bound, [&] { return pending->finished; })) return {};
    return std::move(pending->addresses);
}

std::vector<SocketAddress> resolveWithin(const std::string& name, double timeoutSeconds) {
    // Starting a thread is not free either: it waits for the dynamic loader's lock, which a library
    // load on another thread (the URL engine's, at launch) can hold for milliseconds.
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, name.c_str(), &v4) == 1 || ::inet_pton(AF_INET6, name.c_str(), &v6) == 1) return resolveName(name);
    return lookupWithin(name, timeoutSeconds, resolveName);
}

int openChangeSocket() {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return -1;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_IFADDR | RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool drainChangeSocket(int fd) {
    bool changed = false;
    alignas(nlmsghdr) std::array<char, 16384> buffer{};
    for (;;) {
        const ssize_t received = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (received < 0) {
            // An overrun lost messages: count it as a change so every target is looked at again.
            if (errno == ENOBUFS) {
                changed = true;
                continue;
            }
            return changed;
        }
        if (received == 0) return changed;
        auto remaining = static_cast<unsigned>(received);
        for (const auto* message = reinterpret_cast<const nlmsghdr*>(buffer.data()); NLMSG_OK(message, remaining);
             message = NLMSG_NEXT(message, remaining)) {
            switch (message->nlmsg_type) {
                case RTM_NEWLINK:
                case RTM_DELLINK:
                case RTM_NEWADDR:
                case RTM_DELADDR:
                case RTM_NEWROUTE:
                case RTM_DELROUTE: changed = true; break;
                default: break;
            }
        }
    }
}

}  // namespace lv::net_detail
