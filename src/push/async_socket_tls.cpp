// PNAsyncSocket's TLS upgrade and the accessors that reach into the socket queue. The session runs
// on the connected descriptor itself: the read and write sources drive the handshake and, once
// secure, the reads and writes of async_socket_read.cpp and async_socket_write.cpp.
#include "push/async_socket.h"

namespace lv {

void PNAsyncSocket::startTLS(Dictionary settings) {
    auto marker = std::make_shared<const PNAsyncSpecialPacket>(PNAsyncSpecialPacket{std::move(settings)});
    socketQueue_->async([self = selfRef(), marker = std::move(marker)] {
        const std::uint32_t flags = self->flags_;
        if (!(flags & PNSocketFlagStarted) || (flags & (PNSocketFlagTLSQueued | PNSocketFlagNoNewReadsWrites))) return;
        self->readQueue_.push_back(PNAsyncReadPacket::marker(marker));
        self->writeQueue_.push_back(PNAsyncWritePacket::marker(marker));
        self->flags_ |= PNSocketFlagTLSQueued;
        self->maybeDequeueRead();
        self->maybeDequeueWrite();
    });
}

bool PNAsyncSocket::handshakeInProgress() const {
    constexpr std::uint32_t both = PNSocketFlagStartingReadTLS | PNSocketFlagStartingWriteTLS;
    return (flags_ & both) == both;
}

void PNAsyncSocket::maybeStartTLS() {
    if (!handshakeInProgress()) return;
    if (!partialReadBuffer_.empty()) {
        closeWithError(otherError("Invalid TLS transition. Handshake has already been read from socket."));
        return;
    }
    suspendReadSource();
    suspendWriteSource();
    socketFDBytesAvailable_ = 0;
    flags_ &= ~(PNSocketFlagCanAcceptBytes | PNSocketFlagSecureBytesAvailable);

    // The set-up steps keep the texts of the stream pair they stand in for.
    tls_ = TlsSession::create(connectedDescriptor());
    if (!tls_) {
        closeWithError(otherError("Error in CFStreamCreatePairWithSocket"));
        return;
    }
    if (!currentRead_ || !currentRead_->special || !currentWrite_ || currentWrite_->special != currentRead_->special) {
        Exception::raise(std::string(kInternalInconsistencyException), "Invalid read packet for startTLS");
    }
    const std::string host = connectedHost().value_or("");
    if (!tls_->configure(currentRead_->special->tlsSettings, host)) {
        closeWithError(otherError("Error in CFStreamSetProperty"));
        return;
    }
    if (!tls_->open()) {
        closeWithError(otherError("Error in CFStreamOpen"));
        return;
    }
    continueSSLHandshake();
}

void PNAsyncSocket::continueSSLHandshake() {
    switch (tls_->handshake()) {
    case TlsSession::Status::Done:
        finishSSLHandshake();
        break;
    case TlsSession::Status::WantRead:
        suspendWriteSource();
        resumeReadSource();
        break;
    case TlsSession::Status::WantWrite:
        suspendReadSource();
        resumeWriteSource();
        break;
    case TlsSession::Status::Closed:
        abortSSLHandshake(connectionClosedError());
        break;
    case TlsSession::Status::Failed:
        abortSSLHandshake(sessionError());
        break;
    }
}

void PNAsyncSocket::finishSSLHandshake() {
    if (!handshakeInProgress()) return;
    flags_ &= ~(PNSocketFlagStartingReadTLS | PNSocketFlagStartingWriteTLS);
    flags_ |= PNSocketFlagSecure;
    notifyDelegate(PNAsyncSocketDelegateMethod::DidSecure,
                   [](PNAsyncSocketDelegate& delegate, const Ref<PNAsyncSocket>& socket) {
                       delegate.socketDidSecure(socket);
                   });
    // The write source stays suspended while the descriptor is taken to accept bytes; the session
    // may already hold data that arrived with the handshake's last flight.
    suspendWriteSource();
    flags_ |= PNSocketFlagCanAcceptBytes | PNSocketFlagSecureBytesAvailable;
    endCurrentRead();
    endCurrentWrite();
    maybeDequeueRead();
    if (flags_ & PNSocketFlagConnected) maybeDequeueWrite();
}

void PNAsyncSocket::abortSSLHandshake(const Ref<Error>& error) {
    if (!handshakeInProgress()) return;
    flags_ &= ~(PNSocketFlagStartingReadTLS | PNSocketFlagStartingWriteTLS);
    closeWithError(error);
}

// Reads what the session holds into the empty pre-buffer, one step of up to 16 KiB, so that the
// next read finds it without a descriptor event.
bool PNAsyncSocket::flushSSLBuffers() {
    constexpr std::size_t kFlushLength = 16384;
    if (!tls_ || !partialReadBuffer_.empty()) return false;
    if (!(flags_ & PNSocketFlagSecureBytesAvailable) && tls_->pending() == 0) return false;
    flags_ &= ~PNSocketFlagSecureBytesAvailable;
    partialReadBuffer_.resize(kFlushLength);
    const TlsSession::Transfer transfer = tls_->read(partialReadBuffer_.data(), kFlushLength);
    partialReadBuffer_.resize(transfer.status == TlsSession::Status::Done ? transfer.bytes : 0);
    if (transfer.status == TlsSession::Status::Done && tls_->pending() > 0) flags_ |= PNSocketFlagSecureBytesAvailable;
    if (transfer.status == TlsSession::Status::Closed) {
        doReadEOF();
        return true;
    }
    if (transfer.status == TlsSession::Status::Failed) {
        closeWithError(sessionError());
        return true;
    }
    return false;
}

Ref<Error> PNAsyncSocket::sessionError() const {
    return sslError(static_cast<std::int64_t>(tls_->errorCode()), tls_->errorReason());
}

// Accessors.

void PNAsyncSocket::performBlock(const std::function<void()>& block) {
    if (socketQueue_->isCurrent()) {
        Exception::raise(std::string(kInternalInconsistencyException), "Must not be dispatched on socketQueue");
    }
    socketQueue_->sync([&] { block(); });
}

int PNAsyncSocket::socketFD() const {
    if (!socketQueue_->isCurrent()) return -1;
    return socket4FD_ != -1 ? socket4FD_ : socket6FD_;
}
int PNAsyncSocket::socket4FD() const { return socketQueue_->isCurrent() ? socket4FD_ : -1; }
int PNAsyncSocket::socket6FD() const { return socketQueue_->isCurrent() ? socket6FD_ : -1; }

}  // namespace lv
