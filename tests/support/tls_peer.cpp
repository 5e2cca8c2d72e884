#include "support/tls_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

namespace lv::test {

namespace {

X509* parseCertificate(const Bytes& der) {
    const unsigned char* cursor = der.data();
    return d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
}

void writeText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

}  // namespace

TlsFiles writeTlsFiles(const TempDir& folder, const std::string& stem, const Identity& identity,
                       const std::vector<Bytes>& chain, const Identity& root) {
    TlsFiles files{folder.file(stem + "-chain.pem"), folder.file(stem + "-key.pem"), folder.file(stem + "-ca.pem")};
    std::string certificates = pemOf(identity.der);
    for (const Bytes& der : chain) certificates += pemOf(der);
    writeText(files.certificateFile, certificates);
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, identity.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    writeText(files.keyFile, std::string(data, static_cast<std::size_t>(length)));
    BIO_free(bio);
    writeText(files.caFile, pemOf(root.der));
    return files;
}

int connectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int listenLoopback(std::uint16_t* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(fd, 16);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

int acceptWithin(int listener, double seconds) {
    pollfd entry{listener, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(seconds * 1000)) <= 0) return -1;
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

// The raw peers write through OpenSSL's own socket layer, which raises SIGPIPE when the other side has
// already closed; a test peer must see that as a failed write, not die of it.
static void ignoreBrokenPipes() {
    static const bool ignored = (::signal(SIGPIPE, SIG_IGN), true);
    (void)ignored;
}

std::unique_ptr<RawTls> RawTls::server(int fd, const Identity& identity, const std::vector<Bytes>& chain) {
    ignoreBrokenPipes();
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    installServerIdentity(context, identity, chain);
    SSL* ssl = SSL_new(context);
    SSL_CTX_free(context);  // the session keeps its own reference
    SSL_set_fd(ssl, fd);
    SSL_set_accept_state(ssl);
    return std::unique_ptr<RawTls>(new RawTls(fd, ssl));
}

std::unique_ptr<RawTls> RawTls::client(int fd, const Identity& root, const std::string& host) {
    ignoreBrokenPipes();
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    X509* rootCertificate = parseCertificate(root.der);
    X509_STORE_add_cert(SSL_CTX_get_cert_store(context), rootCertificate);
    X509_free(rootCertificate);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL* ssl = SSL_new(context);
    SSL_CTX_free(context);
    SSL_set1_host(ssl, host.c_str());
    SSL_set_fd(ssl, fd);
    SSL_set_connect_state(ssl);
    return std::unique_ptr<RawTls>(new RawTls(fd, ssl));
}

RawTls::~RawTls() {
    SSL_free(ssl_);
    ::close(fd_);
}

bool RawTls::handshake() { return SSL_do_handshake(ssl_) == 1; }

bool RawTls::sendAll(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t written = 0;
        if (SSL_write_ex(ssl_, bytes.data() + done, bytes.size() - done, &written) != 1) return false;
        done += written;
    }
    return true;
}

std::string RawTls::receive(std::size_t n) {
    std::string out(n, '\0');
    std::size_t done = 0;
    while (done < n) {
        std::size_t got = 0;
        if (SSL_read_ex(ssl_, out.data() + done, n - done, &got) != 1) break;
        done += got;
    }
    out.resize(done);
    return out;
}

bool RawTls::seesCloseNotify() {
    char byte = 0;
    std::size_t got = 0;
    return SSL_read_ex(ssl_, &byte, 1, &got) != 1 && SSL_get_error(ssl_, 0) == SSL_ERROR_ZERO_RETURN;
}

}  // namespace lv::test
