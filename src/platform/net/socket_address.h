// Socket addresses for socket clients: building and reading IPv4/IPv6 socket addresses as bytes, name
// lookup through the host map (one map for HTTP transfers and sockets), and the local interface
// list. Every function is callable from any thread; lookups block.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/value.h"

namespace lv {

// A 16-byte sockaddr_in / 28-byte sockaddr_in6 for the address text and port (host order); nothing
// when the text is not an address of that family.
std::optional<Bytes> makeSocketAddress4(std::string_view address, std::uint16_t port);
std::optional<Bytes> makeSocketAddress6(std::string_view address, std::uint16_t port);

// The family of the bytes (the 16-bit sa_family at offset 0), 0 when shorter than that.
int socketAddressFamily(const Bytes& address);
// Whether the bytes hold a whole IPv4 (at least 16 bytes) or IPv6 (at least 28 bytes) address.
bool isSocketAddress4(const Bytes& address);
bool isSocketAddress6(const Bytes& address);
// The address text ("" when it cannot be printed) and port (host order) of a whole IPv4 or IPv6
// address; nothing for other bytes.
std::optional<std::string> socketAddressHost(const Bytes& address);
std::optional<std::uint16_t> socketAddressPort(const Bytes& address);

// The first IPv4 and first IPv6 stream address of a host, or the getaddrinfo code that failed.
struct HostAddresses {
    std::optional<Bytes> address4;
    std::optional<Bytes> address6;
    int errorCode = 0;  // a getaddrinfo code; 0 when the lookup succeeded
};
// Applies the host map to host and port, then asks the system resolver (getaddrinfo, stream, TCP).
// Finding neither family is EAI_FAIL.
HostAddresses lookupHostAddresses(std::string_view host, std::uint16_t port);
// The number of system resolver calls lookupHostAddresses has made so far for the name (as asked,
// before the host map); tests check that names that need none make none.
std::uint64_t resolverCallCount(std::string_view host);

// The first IPv4 and first IPv6 address of the local interface named by the text, or whose address
// printed as text equals it, with the port written in. Either may be missing.
struct InterfaceAddresses {
    std::optional<Bytes> address4;
    std::optional<Bytes> address6;
};
InterfaceAddresses interfaceAddresses(std::string_view nameOrAddress, std::uint16_t port);

}  // namespace lv
