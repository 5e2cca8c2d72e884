// Independent TLS endpoints for tests of our own TLS code: the PEM files that settings name, and raw
// OpenSSL sessions over blocking loopback sockets (never built on the code under test).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/test_certificates.h"

struct ssl_st;

namespace lv::test {

// The identity's certificate followed by its chain, its key, and the root, as files in the folder.
struct TlsFiles {
    std::string certificateFile;
    std::string keyFile;
    std::string caFile;
};
TlsFiles writeTlsFiles(const TempDir& folder, const std::string& stem, const Identity& identity,
                       const std::vector<Bytes>& chain, const Identity& root);

// A blocking TCP connection to 127.0.0.1 (-1 on failure) and a loopback listener's next connection.
int connectLoopback(std::uint16_t port);
int listenLoopback(std::uint16_t* port);
int acceptWithin(int listener, double seconds);

// A raw OpenSSL session on a blocking descriptor (which it closes): the server side serves the
// identity; the client side trusts the root and checks the host name.
class RawTls {
public:
    static std::unique_ptr<RawTls> server(int fd, const Identity& identity, const std::vector<Bytes>& chain);
    static std::unique_ptr<RawTls> client(int fd, const Identity& root, const std::string& host);
    ~RawTls();
    bool handshake();
    bool sendAll(const std::string& bytes);
    // Exactly n bytes, or fewer at end of stream or error.
    std::string receive(std::size_t n);
    // True when the next read ends the stream with the peer's closing alert.
    bool seesCloseNotify();
    ssl_st* ssl() const { return ssl_; }

private:
    RawTls(int fd, ssl_st* ssl) : fd_(fd), ssl_(ssl) {}
    int fd_;
    ssl_st* ssl_;
};

}  // namespace lv::test
