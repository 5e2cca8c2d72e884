// TlsSession: one TLS connection (OpenSSL 3, TLS 1.2 at least) over a connected non-blocking
// descriptor that stays its caller's. The caller drives it from its own readiness events: each
// handshake step, read and write answers done or what the descriptor must become (readable,
// writable) before the call is tried again.
// Settings come from a dictionary with the keys below. A client verifies the peer unless told not
// to: the chain against the system store (and a given CA file), the name against the peer name or,
// without one, the host connected to.
// Thread rule: not thread-safe; one owner (a serial queue) makes every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/base/value.h"

namespace lv {

// Text: the name the peer's certificate must carry; null: no name check.
inline constexpr std::string_view kTlsPeerNameKey = "TLSPeerName";
// Boolean, default true: the chain must lead to a trusted root.
inline constexpr std::string_view kTlsValidatesCertificateChainKey = "TLSValidatesCertificateChain";
// Text: a PEM file of roots trusted besides the system store.
inline constexpr std::string_view kTlsCAFileKey = "TLSCAFile";
// Texts: PEM files of this side's certificate (chain) and private key.
inline constexpr std::string_view kTlsCertificateFileKey = "TLSCertificateFile";
inline constexpr std::string_view kTlsPrivateKeyFileKey = "TLSPrivateKeyFile";
// Boolean, default false: this side accepts the handshake.
inline constexpr std::string_view kTlsIsServerKey = "TLSIsServer";

class TlsSession {
public:
    enum class Status {
        Done,       // the step finished (read and write: bytes moved)
        WantRead,   // try again once the descriptor is readable
        WantWrite,  // try again once the descriptor is writable
        Closed,     // the peer ended the stream
        Failed,     // errorCode() and errorReason() tell why
    };
    struct Transfer {
        Status status;
        std::size_t bytes;
    };

    // The set-up steps, in order; each answers false when OpenSSL refuses it.
    static std::unique_ptr<TlsSession> create(int fd);
    bool configure(const Dictionary& settings, std::string_view connectedHost);
    bool open();
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    Status handshake();
    Transfer read(void* buffer, std::size_t length);
    Transfer write(const void* bytes, std::size_t length);
    // Decrypted bytes held in the session, readable without the descriptor.
    std::size_t pending() const;
    // Sends the closing alert once, without waiting for the peer's.
    void shutdown();

    bool isServer() const;
    // OpenSSL's code and reason text for the last failure (0 and empty when none).
    std::uint64_t errorCode() const;
    const std::string& errorReason() const;

private:
    struct State;
    explicit TlsSession(std::unique_ptr<State> state);
    Status failed(int result);
    std::unique_ptr<State> state_;
};

}  // namespace lv
