// A TLS server on 127.0.0.1 (cpp-httplib) serving a generated identity, for trust tests. Routes:
// /hello answers "secure"; /port answers the client's port (equal for requests on one connection).
// requests() counts the requests that reached a route.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/test_certificates.h"

namespace httplib {
class SSLServer;
}

namespace lv::test {

class TlsServer {
public:
    TlsServer(const Identity& identity, const std::vector<Bytes>& chain);
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;
    int port() const { return port_; }
    int requests() const { return requests_.load(); }

private:
    std::unique_ptr<httplib::SSLServer> server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<int> requests_{0};
};

}  // namespace lv::test
