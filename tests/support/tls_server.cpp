// The loopback TLS server.
#include "support/tls_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <filesystem>

namespace lv::test {

TlsServer::TlsServer(const Identity& identity, const std::vector<Bytes>& chain)
    : server_(std::make_unique<httplib::SSLServer>(
          [&](SSL_CTX& context) { return installServerIdentity(&context, identity, chain); })) {
    // The wait for a connection's first request is the keep-alive time-out too, and a client answering
    // a server-trust challenge first (its delegate queue on a loaded machine) may take seconds before
    // that request: a one-second limit closed the connection under it (-1005). The destructor ends
    // the connections still open, which would otherwise hold it for this long.
    server_->set_keep_alive_timeout(30);
    // Generous reads and writes: a loaded machine (sanitizer builds, parallel tests) can stall a
    // handshake for seconds, which must not read as a lost connection.
    server_->set_read_timeout(30);
    server_->set_write_timeout(30);
    server_->Get("/hello", [this](const httplib::Request&, httplib::Response& res) {
        ++requests_;
        res.set_content("secure", "text/plain");
    });
    server_->Get("/port", [this](const httplib::Request& req, httplib::Response& res) {
        ++requests_;
        res.set_content(std::to_string(req.remote_port), "text/plain");
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) std::this_thread::yield();
}

TlsServer::~TlsServer() {
    // The server's ends of its connections (sockets bound to its port with a peer) are shut down, so
    // that no worker waits out the keep-alive time-out for a next request.
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        const int fd = std::atoi(entry.path().filename().c_str());
        sockaddr_in local{};
        sockaddr_in peer{};
        socklen_t length = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 || local.sin_family != AF_INET ||
            ntohs(local.sin_port) != port_) {
            continue;
        }
        length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0) ::shutdown(fd, SHUT_RDWR);
    }
    server_->stop();
    thread_.join();
}

}  // namespace lv::test
