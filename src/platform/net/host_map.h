// Where connections go: a process-wide host map that sends named hosts to other addresses (every HTTP
// transfer applies it; socket clients look names up through it too). Extra TLS trust anchors are
// TrustAnchors of the security library. Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lv {

struct HostEndpoint {
    std::string host;
    int port = 0;
    bool operator==(const HostEndpoint&) const = default;
};

class HostMap {
public:
    // Maps "name:port" (that port only) or a bare "name" (every port) to the target. A target port of 0
    // keeps the original port. Host names compare without regard to case.
    static void set(std::string_view key, std::string targetHost, int targetPort);
    // The same from a "NAME=HOST:PORT" text (a command's --map); false, mapping nothing, when the text
    // is not of that form or the port is not 0...65535.
    static bool setFromText(std::string_view entry);
    static void remove(std::string_view key);
    static void clear();
    // The target for host and port: an exact "name:port" entry first, then a bare "name" entry;
    // nothing when the host is not mapped.
    static std::optional<HostEndpoint> lookup(std::string_view host, int port);
};

}  // namespace lv
