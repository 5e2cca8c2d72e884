// The loopback TLS server.
#include "support/tls_server.h"

#include <httplib.h>

namespace lv::test {

TlsServer::TlsServer(const Identity& identity, const std::vector<Bytes>& chain)
    : server_(std::make_unique<httplib::SSLServer>(
          [&](SSL_CTX& context) { return installServerIdentity(&context, identity, chain); })) {
    server_->set_keep_alive_timeout(1);
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
    server_->stop();
    thread_.join();
}

}  // namespace lv::test
