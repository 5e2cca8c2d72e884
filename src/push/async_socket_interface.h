// PNAsyncSocket's reading of an interface description ("name[:port]", "localhost", "loopback", an
// address text, or empty for the wildcard addresses), shared by connecting and listening.
// Thread rule: a pure function.
#pragma once

#include <cstdint>
#include <string>

#include "platform/net/socket_address.h"

namespace lv {

InterfaceAddresses interfaceFromDescription(const std::string& description, std::uint16_t port);

}  // namespace lv
