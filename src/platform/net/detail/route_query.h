// Kernel routing facts for reachability, asked over rtnetlink (internal to lv_net). Nothing here sends
// traffic to the address in question: the kernel answers from its own tables.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lv::net_detail {

// How the kernel would send to an address.
enum class RouteKind { None, Local, Direct, Gateway };

// One IPv4 or IPv6 socket address, copied.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family() const { return storage.ss_family; }
    // True for 0.0.0.0 and ::, which stand for the network in general.
    bool isUnspecified() const;
};

// A copy of an IPv4/IPv6 address; nothing for another family or a length too short for it.
std::optional<SocketAddress> copySocketAddress(const sockaddr* address, socklen_t length);

// The kernel's route to the address (RTM_GETROUTE): local, on a link, through a gateway, or none.
// Nothing when the kernel could not be asked.
std::optional<RouteKind> routeTo(const SocketAddress& address);

// True when an interface other than loopback is up, running and has an IPv4 or IPv6 address.
bool hasActiveInterface();

// Addresses of a name as the resolver gives them (stream sockets, IPv4 and IPv6); empty on failure.
using NameLookup = std::function<std::vector<SocketAddress>(const std::string& name)>;
std::vector<SocketAddress> resolveName(const std::string& name);

// Runs the lookup on a thread of its own and waits at most timeoutSeconds for it; a late lookup gives
// nothing (it finishes in the background and its answer is dropped).
std::vector<SocketAddress> lookupWithin(const std::string& name, double timeoutSeconds, const NameLookup& lookup);
// resolveName bounded by timeoutSeconds: through lookupWithin, except for a numeric address (IPv4 dotted
// or IPv6 text), which the resolver answers at once without asking anyone; that one is resolved on the
// calling thread, with the same result and no thread started.
std::vector<SocketAddress> resolveWithin(const std::string& name, double timeoutSeconds);

// A netlink socket subscribed to the kernel's link, address and route change messages (IPv4 and IPv6),
// non-blocking; -1 when it cannot be opened.
int openChangeSocket();
// Reads every pending message; true when any of them reported a link, address or route change.
bool drainChangeSocket(int fd);

}  // namespace lv::net_detail
