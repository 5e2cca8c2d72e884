// PNAsyncSocket's write side: queuing, writing as far as the socket takes, partial progress and
// write time-outs. Everything below the public calls runs on the socket queue.
#include <sys/socket.h>

#include <cerrno>

#include "push/async_socket.h"

namespace lv {

void PNAsyncSocket::writeData(Bytes data, double timeout, std::int64_t tag) {
    writeData(std::make_shared<const Bytes>(std::move(data)), timeout, tag);
}

void PNAsyncSocket::writeData(std::shared_ptr<const Bytes> data, double timeout, std::int64_t tag) {
    if (!data || data->empty()) return;
    auto packet = std::make_shared<PNAsyncWritePacket>(std::move(data), timeout, tag);
    socketQueue_->async([self = selfRef(), packet = std::move(packet)] {
        if (!(self->flags_ & PNSocketFlagStarted) || (self->flags_ & PNSocketFlagNoNewReadsWrites)) return;
        self->writeQueue_.push_back(packet);
        self->maybeDequeueWrite();
    });
}

void PNAsyncSocket::maybeDequeueWrite() {
    if (currentWrite_ || !(flags_ & PNSocketFlagConnected)) return;
    if (!writeQueue_.empty()) {
        currentWrite_ = writeQueue_.front();
        writeQueue_.pop_front();
        if (currentWrite_->special) {
            flags_ |= PNSocketFlagStartingWriteTLS;
            maybeStartTLS();
            return;
        }
        setupWriteTimerWithTimeout(currentWrite_->timeout);
        doWriteData();
    } else if (flags_ & PNSocketFlagCloseAfterWrites) {
        if (!(flags_ & PNSocketFlagCloseAfterReads) || (readQueue_.empty() && !currentRead_)) closeWithError(nullptr);
    }
}

void PNAsyncSocket::doWriteData() {
    if (!currentWrite_ || (flags_ & PNSocketFlagWritesPaused)) {
        if (flags_ & PNSocketFlagCanAcceptBytes) suspendWriteSource();
        return;
    }
    if (!(flags_ & PNSocketFlagCanAcceptBytes)) {
        resumeWriteSource();
        return;
    }
    if (flags_ & PNSocketFlagStartingWriteTLS) {
        // At the TLS marker: nothing more is written until the handshake has run.
        if (!(flags_ & PNSocketFlagStartingReadTLS)) suspendWriteSource();
        return;
    }
    const WritePacketRef packet = currentWrite_;
    bool waiting = false;
    Ref<Error> error;
    std::uint64_t bytesWritten = 0;
    const std::uint8_t* rest = packet->buffer->data() + packet->bytesDone;
    const std::size_t restLength = packet->buffer->size() - packet->bytesDone;
    const bool secure = flags_ & PNSocketFlagSecure;
    // MSG_NOSIGNAL: a closed peer is an EPIPE error, never a signal.
    const ssize_t result = secure ? 0 : ::send(connectedDescriptor(), rest, restLength, MSG_NOSIGNAL);
    if (secure) {
        // The session sends one record a call: send records until done or the descriptor is full.
        while (bytesWritten < restLength && !waiting && !error) {
            const TlsSession::Transfer transfer = tls_->write(rest + bytesWritten, restLength - bytesWritten);
            bytesWritten += transfer.bytes;
            if (transfer.status == TlsSession::Status::WantRead || transfer.status == TlsSession::Status::WantWrite) {
                waiting = true;
            } else if (transfer.status == TlsSession::Status::Closed) {
                error = connectionClosedError();
            } else if (transfer.status == TlsSession::Status::Failed) {
                error = sessionError();
            }
        }
    } else if (result < 0) {
        if (errno == EWOULDBLOCK) {
            waiting = true;
        } else {
            error = errnoErrorWithReason(errno, "Error in write() function");
        }
    } else {
        bytesWritten = static_cast<std::uint64_t>(result);
    }
    if (waiting) {
        flags_ &= ~PNSocketFlagCanAcceptBytes;
        resumeWriteSource();
    }
    bool done = false;
    if (bytesWritten > 0) {
        packet->bytesDone += bytesWritten;
        done = packet->bytesDone == packet->buffer->size();
    }
    if (done) {
        completeCurrentWrite();
        if (!error) maybeDequeueWrite();
    } else {
        if (!waiting && !error) {
            // A short write: the rest goes when the socket can take more.
            flags_ &= ~PNSocketFlagCanAcceptBytes;
            resumeWriteSource();
        }
        if (bytesWritten > 0) {
            const std::int64_t tag = packet->tag;
            notifyDelegate(PNAsyncSocketDelegateMethod::DidWritePartialData,
                           [bytesWritten, tag](PNAsyncSocketDelegate& delegate, const Ref<PNAsyncSocket>& socket) {
                               delegate.didWritePartialDataOfLength(socket, bytesWritten, tag);
                           });
        }
    }
    if (error) closeWithError(error);
}

void PNAsyncSocket::completeCurrentWrite() {
    const std::int64_t tag = currentWrite_->tag;
    notifyDelegate(PNAsyncSocketDelegateMethod::DidWriteData,
                   [tag](PNAsyncSocketDelegate& delegate, const Ref<PNAsyncSocket>& socket) {
                       delegate.didWriteDataWithTag(socket, tag);
                   });
    endCurrentWrite();
}

void PNAsyncSocket::endCurrentWrite() {
    if (writeTimer_) {
        writeTimer_->cancel();
        writeTimer_.reset();
    }
    currentWrite_.reset();
}

void PNAsyncSocket::setupWriteTimerWithTimeout(double timeout) {
    if (timeout < 0) return;
    writeTimer_ = Source::makeTimer(socketQueue_);
    writeTimer_->setEventHandler([this] { doWriteTimeout(); });
    writeTimer_->setTimer(timeout, 0);
    writeTimer_->resume();
}

void PNAsyncSocket::doWriteTimeout() {
    flags_ |= PNSocketFlagWritesPaused;
    Ref<PNAsyncSocketDelegate> receiver = delegate_.lock();
    if (receiver && delegateQueue_ && receiver->answers(PNAsyncSocketDelegateMethod::ShouldTimeoutWrite) &&
        currentWrite_) {
        const std::int64_t tag = currentWrite_->tag;
        const double elapsed = currentWrite_->timeout;
        const std::uint64_t bytesDone = currentWrite_->bytesDone;
        notifyDelegate(PNAsyncSocketDelegateMethod::ShouldTimeoutWrite,
                       [tag, elapsed, bytesDone](PNAsyncSocketDelegate& delegate, const Ref<PNAsyncSocket>& socket) {
                           const double extension = delegate.shouldTimeoutWriteWithTag(socket, tag, elapsed, bytesDone);
                           socket->socketQueue_->async(
                               [socket, extension] { socket->doWriteTimeoutWithExtension(extension); });
                       });
    } else {
        doWriteTimeoutWithExtension(0);
    }
}

void PNAsyncSocket::doWriteTimeoutWithExtension(double extension) {
    if (!currentWrite_) return;
    if (extension > 0) {
        currentWrite_->timeout += extension;
        if (writeTimer_) writeTimer_->setTimer(extension, 0);
        flags_ &= ~PNSocketFlagWritesPaused;
        doWriteData();
    } else {
        closeWithError(writeTimeoutError());
    }
}

}  // namespace lv
