#include "platform/net/socket_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <map>
#include <mutex>

#include "platform/net/host_map.h"

namespace lv {

namespace {

std::mutex resolverCallsMutex;
// Never destroyed: resolving threads may still count while the process exits.
auto& resolverCalls = *new std::map<std::string, std::uint64_t, std::less<>>;

template <class T>
Bytes bytesOf(const T& address) {
    const auto* begin = reinterpret_cast<const std::uint8_t*>(&address);
    return Bytes(begin, begin + sizeof address);
}

template <class T>
T structOf(const Bytes& bytes) {
    T value{};
    std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

}  // namespace

std::optional<Bytes> makeSocketAddress4(std::string_view address, std::uint16_t port) {
    sockaddr_in in4{};
    in4.sin_family = AF_INET;
    in4.sin_port = htons(port);
    if (::inet_pton(AF_INET, std::string(address).c_str(), &in4.sin_addr) != 1) return std::nullopt;
    return bytesOf(in4);
}

std::optional<Bytes> makeSocketAddress6(std::string_view address, std::uint16_t port) {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    if (::inet_pton(AF_INET6, std::string(address).c_str(), &in6.sin6_addr) != 1) return std::nullopt;
    return bytesOf(in6);
}

int socketAddressFamily(const Bytes& address) {
    if (address.size() < sizeof(sa_family_t)) return 0;
    sa_family_t family = 0;
    std::memcpy(&family, address.data(), sizeof family);
    return family;
}

bool isSocketAddress4(const Bytes& address) {
    return address.size() >= sizeof(sockaddr_in) && socketAddressFamily(address) == AF_INET;
}

bool isSocketAddress6(const Bytes& address) {
    return address.size() >= sizeof(sockaddr_in6) && socketAddressFamily(address) == AF_INET6;
}

std::optional<std::string> socketAddressHost(const Bytes& address) {
    if (isSocketAddress4(address)) {
        const auto in4 = structOf<sockaddr_in>(address);
        char text[INET_ADDRSTRLEN] = {};
        return ::inet_ntop(AF_INET, &in4.sin_addr, text, sizeof text) ? std::string(text) : std::string();
    }
    if (isSocketAddress6(address)) {
        const auto in6 = structOf<sockaddr_in6>(address);
        char text[INET6_ADDRSTRLEN] = {};
        return ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text) ? std::string(text) : std::string();
    }
    return std::nullopt;
}

std::optional<std::uint16_t> socketAddressPort(const Bytes& address) {
    if (isSocketAddress4(address)) return ntohs(structOf<sockaddr_in>(address).sin_port);
    if (isSocketAddress6(address)) return ntohs(structOf<sockaddr_in6>(address).sin6_port);
    return std::nullopt;
}

HostAddresses lookupHostAddresses(std::string_view host, std::uint16_t port) {
    std::string name(host);
    if (auto target = HostMap::lookup(host, port)) {
        name = target->host;
        if (target->port > 0) port = static_cast<std::uint16_t>(target->port);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* results = nullptr;
    {
        std::lock_guard<std::mutex> guard(resolverCallsMutex);
        ++resolverCalls[std::string(host)];
    }
    const std::string service = std::to_string(port);
    HostAddresses found;
    if (int code = ::getaddrinfo(name.c_str(), service.c_str(), &hints, &results); code != 0) {
        found.errorCode = code;
        return found;
    }
    for (addrinfo* entry = results; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && !found.address4 && entry->ai_addrlen >= sizeof(sockaddr_in)) {
            found.address4 = bytesOf(*reinterpret_cast<const sockaddr_in*>(entry->ai_addr));
        } else if (entry->ai_family == AF_INET6 && !found.address6 && entry->ai_addrlen >= sizeof(sockaddr_in6)) {
            found.address6 = bytesOf(*reinterpret_cast<const sockaddr_in6*>(entry->ai_addr));
        }
    }
    ::freeaddrinfo(results);
    if (!found.address4 && !found.address6) found.errorCode = EAI_FAIL;
    return found;
}

std::uint64_t resolverCallCount(std::string_view host) {
    std::lock_guard<std::mutex> guard(resolverCallsMutex);
    const auto found = resolverCalls.find(host);
    return found == resolverCalls.end() ? 0 : found->second;
}

InterfaceAddresses interfaceAddresses(std::string_view nameOrAddress, std::uint16_t port) {
    InterfaceAddresses found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return found;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || !entry->ifa_name) continue;
        const bool nameMatches = nameOrAddress == entry->ifa_name;
        if (entry->ifa_addr->sa_family == AF_INET && !found.address4) {
            sockaddr_in in4{};
            std::memcpy(&in4, entry->ifa_addr, sizeof in4);
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &in4.sin_addr, text, sizeof text);
            if (nameMatches || nameOrAddress == text) {
                in4.sin_port = htons(port);
                found.address4 = bytesOf(in4);
            }
        } else if (entry->ifa_addr->sa_family == AF_INET6 && !found.address6) {
            sockaddr_in6 in6{};
            std::memcpy(&in6, entry->ifa_addr, sizeof in6);
            char text[INET6_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
            if (nameMatches || nameOrAddress == text) {
                in6.sin6_port = htons(port);
                found.address6 = bytesOf(in6);
            }
        }
    }
    ::freeifaddrs(list);
    return found;
}

}  // namespace lv
