#include "platform/net/tls_session.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/security/crypto_library.h"
#include "platform/security/system_anchors.h"

namespace lv {

namespace {

[[maybe_unused]] const bool kTlsCryptoKept = keepCryptoLibraryForProcess();  // before any other OpenSSL use

// A socket BIO that sends with MSG_NOSIGNAL: a peer gone away is an error, never a signal.
int bioWrite(BIO* bio, const char* bytes, int length) {
    BIO_clear_retry_flags(bio);
    const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
    const ssize_t sent = ::send(fd, bytes, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
    return static_cast<int>(sent);
}

int bioRead(BIO* bio, char* buffer, int length) {
    BIO_clear_retry_flags(bio);
    const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
    const ssize_t received = ::recv(fd, buffer, static_cast<std::size_t>(length), 0);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
    return static_cast<int>(received);
}

long bioControl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH || command == BIO_CTRL_DUP ? 1 : 0;
}

int bioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* socketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "lv non-signalling socket");
        BIO_meth_set_write(made, bioWrite);
        BIO_meth_set_read(made, bioRead);
        BIO_meth_set_ctrl(made, bioControl);
        BIO_meth_set_create(made, bioCreate);
        return made;
    }();
    return method;
}

bool boolSetting(const Dictionary& settings, std::string_view key, bool fallback) {
    const Value* value = settings.find(key);
    if (!value || !value->number()) return fallback;
    return value->number()->boolValue();
}

std::string textSetting(const Dictionary& settings, std::string_view key) {
    const Value* value = settings.find(key);
    return value && value->isString() ? value->string() : std::string();
}

bool isAddressLiteral(const std::string& host) {
    unsigned char buffer[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

struct TlsSession::State {
    int fd = -1;
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    bool server = false;
    bool verifiesChain = true;
    std::string peerName;  // empty: no name check
    bool shutdownSent = false;
    std::uint64_t errorCode = 0;
    std::string errorReason;

    ~State() {
        SSL_free(ssl);  // frees the BIO too
        SSL_CTX_free(context);
    }
};

TlsSession::TlsSession(std::unique_ptr<State> state) : state_(std::move(state)) {}
TlsSession::~TlsSession() = default;

std::unique_ptr<TlsSession> TlsSession::create(int fd) {
    auto state = std::make_unique<State>();
    state->fd = fd;
    state->context = SSL_CTX_new(TLS_method());
    if (!state->context) return nullptr;
    SSL_CTX_set_min_proto_version(state->context, TLS1_2_VERSION);
    // A peer that closes without the alert ends the stream like one that sends it.
    SSL_CTX_set_options(state->context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Writes report each record sent, and a retried write may start from a moved buffer.
    SSL_CTX_set_mode(state->context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return std::unique_ptr<TlsSession>(new TlsSession(std::move(state)));
}

bool TlsSession::configure(const Dictionary& settings, std::string_view connectedHost) {
    ERR_clear_error();
    State& s = *state_;
    s.server = boolSetting(settings, kTlsIsServerKey, false);
    const std::string certificateFile = textSetting(settings, kTlsCertificateFileKey);
    const std::string keyFile = textSetting(settings, kTlsPrivateKeyFileKey);
    if (!certificateFile.empty() && SSL_CTX_use_certificate_chain_file(s.context, certificateFile.c_str()) != 1) {
        return false;
    }
    if (!keyFile.empty() && (SSL_CTX_use_PrivateKey_file(s.context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
                             SSL_CTX_check_private_key(s.context) != 1)) {
        return false;
    }
    if (s.server) {
        s.verifiesChain = false;  // no client certificate is asked for
        return true;
    }
    s.verifiesChain = boolSetting(settings, kTlsValidatesCertificateChainKey, true);
    if (s.verifiesChain) {
        SSL_CTX_set_verify(s.context, SSL_VERIFY_PEER, nullptr);
        // The system's anchors from the once-read file; the context takes the store over.
        X509_STORE* anchors = newSystemAnchorStore();
        if (!anchors) return false;
        SSL_CTX_set_cert_store(s.context, anchors);
        const std::string caFile = textSetting(settings, kTlsCAFileKey);
        if (!caFile.empty() && SSL_CTX_load_verify_locations(s.context, caFile.c_str(), nullptr) != 1) return false;
    } else {
        SSL_CTX_set_verify(s.context, SSL_VERIFY_NONE, nullptr);
    }
    const Value* name = settings.find(kTlsPeerNameKey);
    if (name && name->isNull()) {
        s.peerName.clear();
    } else if (name && name->isString()) {
        s.peerName = name->string();
    } else {
        s.peerName = std::string(connectedHost);
    }
    return true;
}

bool TlsSession::open() {
    ERR_clear_error();
    State& s = *state_;
    s.ssl = SSL_new(s.context);
    if (!s.ssl) return false;
    BIO* bio = BIO_new(socketMethod());
    if (!bio) return false;
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(s.fd)));
    SSL_set_bio(s.ssl, bio, bio);
    if (s.server) {
        SSL_set_accept_state(s.ssl);
        return true;
    }
    SSL_set_connect_state(s.ssl);
    if (s.verifiesChain && !s.peerName.empty()) {
        if (isAddressLiteral(s.peerName)) {
            if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s.ssl), s.peerName.c_str()) != 1) return false;
        } else if (SSL_ctrl(s.ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                            const_cast<char*>(s.peerName.c_str())) != 1 ||
                   SSL_set1_host(s.ssl, s.peerName.c_str()) != 1) {
            return false;
        }
    }
    return true;
}

TlsSession::Status TlsSession::failed(int result) {
    State& s = *state_;
    const int kind = SSL_get_error(s.ssl, result);
    const int savedErrno = errno;
    switch (kind) {
    case SSL_ERROR_WANT_READ:
        return Status::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return Status::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
        return Status::Closed;
    case SSL_ERROR_SYSCALL:
        if (ERR_peek_error() == 0) {
            if (savedErrno == 0 || savedErrno == ECONNRESET || savedErrno == EPIPE) return Status::Closed;
            char text[256] = {};
            s.errorCode = static_cast<std::uint64_t>(savedErrno);
            s.errorReason = ::strerror_r(savedErrno, text, sizeof text);
            return Status::Failed;
        }
        [[fallthrough]];
    default: {
        const unsigned long code = ERR_peek_last_error();
        s.errorCode = code;
        const char* reason = ERR_reason_error_string(code);
        s.errorReason = reason ? reason : "TLS failure";
        const long verify = SSL_get_verify_result(s.ssl);
        if (verify != X509_V_OK) s.errorReason += std::string(": ") + X509_verify_cert_error_string(verify);
        ERR_clear_error();
        return Status::Failed;
    }
    }
}

TlsSession::Status TlsSession::handshake() {
    ERR_clear_error();
    errno = 0;
    const int result = SSL_do_handshake(state_->ssl);
    return result == 1 ? Status::Done : failed(result);
}

TlsSession::Transfer TlsSession::read(void* buffer, std::size_t length) {
    ERR_clear_error();
    errno = 0;
    std::size_t count = 0;
    if (SSL_read_ex(state_->ssl, buffer, length, &count) == 1) return {Status::Done, count};
    return {failed(0), 0};
}

TlsSession::Transfer TlsSession::write(const void* bytes, std::size_t length) {
    ERR_clear_error();
    errno = 0;
    std::size_t count = 0;
    if (SSL_write_ex(state_->ssl, bytes, length, &count) == 1) return {Status::Done, count};
    return {failed(0), 0};
}

std::size_t TlsSession::pending() const {
    const int count = state_->ssl ? SSL_pending(state_->ssl) : 0;
    return count > 0 ? static_cast<std::size_t>(count) : 0;
}

void TlsSession::shutdown() {
    State& s = *state_;
    if (!s.ssl || s.shutdownSent || !SSL_is_init_finished(s.ssl)) return;
    s.shutdownSent = true;
    ERR_clear_error();
    SSL_shutdown(s.ssl);
    ERR_clear_error();
}

bool TlsSession::isServer() const { return state_->server; }
std::uint64_t TlsSession::errorCode() const { return state_->errorCode; }
const std::string& TlsSession::errorReason() const { return state_->errorReason; }

}  // namespace lv
