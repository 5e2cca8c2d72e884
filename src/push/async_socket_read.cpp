// PNAsyncSocket's read side: queuing, serving reads from the pre-buffer and the descriptor, end of
// stream, and read time-outs. Everything below the public calls runs on the socket queue.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "push/async_socket.h"

namespace lv {

namespace {
// One secure read step asks the session for up to this many bytes.
constexpr std::uint64_t kSecureReadLength = 32768;
bool offsetFits(const SocketBuffer& buffer, std::uint64_t offset) { return offset <= (buffer ? buffer->size() : 0); }
}  // namespace

void PNAsyncSocket::queueRead(ReadPacketRef packet) {
    socketQueue_->async([self = selfRef(), packet = std::move(packet)] {
        if (!(self->flags_ & PNSocketFlagStarted) || (self->flags_ & PNSocketFlagNoNewReadsWrites)) return;
        self->readQueue_.push_back(packet);
        self->maybeDequeueRead();
    });
}

void PNAsyncSocket::readDataWithTimeout(double timeout, std::int64_t tag) {
    readDataWithTimeout(timeout, nullptr, 0, 0, tag);
}

void PNAsyncSocket::readDataWithTimeout(double timeout, SocketBuffer buffer, std::uint64_t offset, std::int64_t tag) {
    readDataWithTimeout(timeout, std::move(buffer), offset, 0, tag);
}

void PNAsyncSocket::readDataWithTimeout(double timeout, SocketBuffer buffer, std::uint64_t offset,
                                        std::uint64_t maxLength, std::int64_t tag) {
    if (!offsetFits(buffer, offset)) return;
    queueRead(std::make_shared<PNAsyncReadPacket>(std::move(buffer), offset, maxLength, timeout, 0, std::nullopt, tag));
}

void PNAsyncSocket::readDataToLength(std::uint64_t length, double timeout, std::int64_t tag) {
    readDataToLength(length, timeout, nullptr, 0, tag);
}

void PNAsyncSocket::readDataToLength(std::uint64_t length, double timeout, SocketBuffer buffer, std::uint64_t offset,
                                     std::int64_t tag) {
    if (length == 0 || !offsetFits(buffer, offset)) return;
    queueRead(std::make_shared<PNAsyncReadPacket>(std::move(buffer), offset, 0, timeout, length, std::nullopt, tag));
}

void PNAsyncSocket::readDataToData(const Bytes& term, double timeout, std::int64_t tag) {
    readDataToData(term, timeout, nullptr, 0, 0, tag);
}

void PNAsyncSocket::readDataToData(const Bytes& term, double timeout, SocketBuffer buffer, std::uint64_t offset,
                                   std::int64_t tag) {
    readDataToData(term, timeout, std::move(buffer), offset, 0, tag);
}

void PNAsyncSocket::readDataToData(const Bytes& term, double timeout, std::uint64_t maxLength, std::int64_t tag) {
    readDataToData(term, timeout, nullptr, 0, maxLength, tag);
}

void PNAsyncSocket::readDataToData(const Bytes& term, double timeout, SocketBuffer buffer, std::uint64_t offset,
                                   std::uint64_t maxLength, std::int64_t tag) {
    if (term.empty() || !offsetFits(buffer, offset)) return;
    if (maxLength > 0 && maxLength < term.size()) return;
    queueRead(std::make_shared<PNAsyncReadPacket>(std::move(buffer), offset, maxLength, timeout, 0, term, tag));
}

void PNAsyncSocket::maybeDequeueRead() {
    if (currentRead_ || !(flags_ & PNSocketFlagConnected)) return;
    if (!readQueue_.empty()) {
        currentRead_ = readQueue_.front();
        readQueue_.pop_front();
        if (currentRead_->special) {
            flags_ |= PNSocketFlagStartingReadTLS;
            maybeStartTLS();
            return;
        }
        if (!currentRead_->buffer) {
            if (!readBuffers_) readBuffers_ = std::make_shared<PNReadBufferPool>();
            currentRead_->buffer = readBuffers_->take(currentRead_->readLength);
        }
        setupReadTimerWithTimeout(currentRead_->timeout);
        doReadData();
    } else if (flags_ & PNSocketFlagCloseAfterReads) {
        if (!(flags_ & PNSocketFlagCloseAfterWrites) || (writeQueue_.empty() && !currentWrite_)) closeWithError(nullptr);
    } else if (flags_ & PNSocketFlagSecure) {
        flushSSLBuffers();
    }
}

void PNAsyncSocket::doReadData() {
    const bool secure = flags_ & PNSocketFlagSecure;
    if (!currentRead_ || (flags_ & PNSocketFlagReadsPaused)) {
        if (secure) {
            // Up to one record waits decrypted in the pre-buffer; the rest stays in the kernel.
            flushSSLBuffers();
            if (!(flags_ & PNSocketFlagConnected)) return;
            if (!partialReadBuffer_.empty() || (flags_ & PNSocketFlagSecureBytesAvailable)) {
                suspendReadSource();
            } else {
                resumeReadSource();
            }
        } else if (socketFDBytesAvailable_ > 0) {
            // The bytes stay in the kernel until a read wants them.
            suspendReadSource();
        }
        return;
    }
    if (secure && tls_->pending() > 0) flags_ |= PNSocketFlagSecureBytesAvailable;
    const bool hasBytesAvailable = secure ? (flags_ & PNSocketFlagSecureBytesAvailable) != 0 : socketFDBytesAvailable_ > 0;
    const std::uint64_t estimatedBytesAvailable = socketFDBytesAvailable_;
    if (!hasBytesAvailable && partialReadBuffer_.empty()) {
        resumeReadSource();
        return;
    }
    if (flags_ & PNSocketFlagStartingReadTLS) {
        // At the TLS marker: the bytes belong to the handshake, which starts once writes reach it too.
        if (!(flags_ & PNSocketFlagStartingWriteTLS)) suspendReadSource();
        return;
    }

    const ReadPacketRef packet = currentRead_;
    bool done = false;
    Ref<Error> error;
    std::uint64_t totalBytesReadForCurrentRead = 0;
    auto moveFromPreBuffer = [&](std::uint64_t count) {
        packet->ensureCapacityForAdditionalDataOfLength(count);
        std::memcpy(packet->writePointer(), partialReadBuffer_.data(), count);
        partialReadBuffer_.erase(partialReadBuffer_.begin(), partialReadBuffer_.begin() + static_cast<std::ptrdiff_t>(count));
        packet->bytesDone += count;
        totalBytesReadForCurrentRead += count;
    };

    // 1. What the pre-buffer already holds.
    if (!partialReadBuffer_.empty()) {
        if (packet->term) {
            bool found = false;
            moveFromPreBuffer(packet->readLengthForTermWithPreBuffer(partialReadBuffer_, &found));
            done = found;
            if (!done && packet->maxLength > 0 && packet->bytesDone >= packet->maxLength) error = readMaxedOutError();
        } else {
            moveFromPreBuffer(packet->readLengthForNonTermWithHint(partialReadBuffer_.size()));
            if (packet->readLength > 0) {
                done = packet->bytesDone == packet->readLength;
            } else {
                done = packet->maxLength > 0 && packet->bytesDone == packet->maxLength;
            }
        }
    }

    // 2. The descriptor.
    bool socketEOF = flags_ & PNSocketFlagReadEOF;
    bool waiting = !done && !error && !socketEOF && !hasBytesAvailable;
    if (!done && !error && !socketEOF && hasBytesAvailable) {
        bool readIntoPreBuffer = false;
        const std::uint64_t bytesToRead =
            secure         ? packet->optimalReadLengthWithDefault(kSecureReadLength, &readIntoPreBuffer)
            : packet->term ? packet->readLengthForTermWithHint(estimatedBytesAvailable, &readIntoPreBuffer)
                           : packet->readLengthForNonTermWithHint(estimatedBytesAvailable);
        std::uint8_t* target = nullptr;
        if (readIntoPreBuffer) {
            partialReadBuffer_.resize(bytesToRead);
            target = partialReadBuffer_.data();
        } else {
            packet->ensureCapacityForAdditionalDataOfLength(bytesToRead);
            target = packet->writePointer();
        }
        std::uint64_t bytesRead = 0;
        if (secure) {
            // The session gives at most one record a call: take records until the step's size is
            // reached or the descriptor has no more.
            flags_ &= ~PNSocketFlagSecureBytesAvailable;
            bool filled = true;
            while (bytesRead < bytesToRead && filled) {
                const TlsSession::Transfer transfer = tls_->read(target + bytesRead, bytesToRead - bytesRead);
                filled = transfer.status == TlsSession::Status::Done;
                bytesRead += transfer.bytes;
                if (transfer.status == TlsSession::Status::WantRead || transfer.status == TlsSession::Status::WantWrite) {
                    waiting = true;
                } else if (transfer.status == TlsSession::Status::Closed) {
                    socketEOF = true;
                } else if (transfer.status == TlsSession::Status::Failed) {
                    error = sessionError();
                }
            }
            // More may wait in the session or the kernel; bytes held decrypted raise no descriptor event.
            if (filled) flags_ |= PNSocketFlagSecureBytesAvailable;
        }
        const ssize_t result = secure ? 0 : ::read(connectedDescriptor(), target, bytesToRead);
        if (secure) {
            // Handled above.
        } else if (result < 0) {
            if (errno == EWOULDBLOCK) {
                waiting = true;
            } else {
                error = errnoErrorWithReason(errno, "Error in read() function");
            }
            socketFDBytesAvailable_ = 0;
        } else if (result == 0) {
            socketEOF = true;
            socketFDBytesAvailable_ = 0;
        } else {
            bytesRead = static_cast<std::uint64_t>(result);
            socketFDBytesAvailable_ = bytesRead < socketFDBytesAvailable_ ? socketFDBytesAvailable_ - bytesRead : 0;
            if (socketFDBytesAvailable_ == 0) waiting = true;
        }
        // Nothing read: the pre-buffer holds nothing new.
        if (bytesRead == 0 && readIntoPreBuffer) partialReadBuffer_.clear();

        if (bytesRead > 0) {
            if (packet->readLength > 0) {
                packet->bytesDone += bytesRead;
                totalBytesReadForCurrentRead += bytesRead;
                done = packet->bytesDone == packet->readLength;
            } else if (packet->term) {
                if (readIntoPreBuffer) {
                    partialReadBuffer_.resize(bytesRead);
                    bool found = false;
                    moveFromPreBuffer(packet->readLengthForTermWithPreBuffer(partialReadBuffer_, &found));
                    done = found;
                } else {
                    const std::int64_t overflow = packet->searchForTermAfterPreBuffering(bytesRead);
                    std::uint64_t kept = bytesRead;
                    if (overflow > 0) {
                        // Bytes after the terminator wait in the pre-buffer for the next read.
                        kept = bytesRead - static_cast<std::uint64_t>(overflow);
                        const std::uint8_t* extra = packet->writePointer() + kept;
                        partialReadBuffer_.insert(partialReadBuffer_.end(), extra, extra + overflow);
                    }
                    packet->bytesDone += kept;
                    totalBytesReadForCurrentRead += kept;
                    done = overflow >= 0;
                }
                if (!done && packet->maxLength > 0 && packet->bytesDone >= packet->maxLength) {
                    error = readMaxedOutError();
                }
            } else if (readIntoPreBuffer) {
                partialReadBuffer_.resize(bytesRead);
                moveFromPreBuffer(packet->readLengthForNonTermWithHint(bytesRead));
                done = true;
            } else {
                packet->bytesDone += bytesRead;
                totalBytesReadForCurrentRead += bytesRead;
                done = true;
            }
        }
    }

    // An available-bytes read is done with whatever this step gave it.
    if (!done && packet->readLength == 0 && !packet->term && totalBytesReadForCurrentRead > 0) done = true;

    if (done) {
        completeCurrentRead();
        if (!error && (!socketEOF || !partialReadBuffer_.empty())) maybeDequeueRead();
    } else if (totalBytesReadForCurrentRead > 0) {
        const std::int64_t tag = packet->tag;
        notifyDelegate(PNAsyncSocketDelegateMethod::DidReadPartialData,
                       [total = totalBytesReadForCurrentRead, tag](PNAsyncSocketDelegate& delegate,
                                                                   const Ref<PNAsyncSocket>& socket) {
                           delegate.didReadPartialDataOfLength(socket, total, tag);
                       });
    }

    if (error) {
        closeWithError(error);
    } else if (socketEOF) {
        doReadEOF();
    } else if (waiting) {
        resumeReadSource();
    } else if (secure && !done && (flags_ & PNSocketFlagSecureBytesAvailable)) {
        socketQueue_->async([weak = Weak<PNAsyncSocket>(selfRef())] {
            if (auto self = weak.lock()) self->doReadData();
        });
    }
}

// The read source reported nothing to read: the end of the stream only when the kernel says so. A
// peek answers 0 at the end, finds bytes that came since, or finds nothing (a late report), without
// taking anything from the stream.
void PNAsyncSocket::confirmReadEOF() {
    std::uint8_t byte = 0;
    ssize_t peeked = 0;
    do {
        peeked = ::recv(connectedDescriptor(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (peeked < 0 && errno == EINTR);
    if (peeked > 0) {
        int available = 0;
        if (::ioctl(connectedDescriptor(), FIONREAD, &available) != 0 || available < 1) available = 1;
        socketFDBytesAvailable_ = static_cast<std::uint64_t>(available);
        doReadData();
    } else if (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        socketFDBytesAvailable_ = 0;  // the source waits again once this handler returns
    } else {
        doReadEOF();
    }
}

void PNAsyncSocket::doReadEOF() {
    if (!(flags_ & PNSocketFlagConnected)) return;  // closed meanwhile
    flags_ |= PNSocketFlagReadEOF;
    bool shouldDisconnect = true;
    if (flags_ & (PNSocketFlagStartingReadTLS | PNSocketFlagStartingWriteTLS)) {
        shouldDisconnect = true;
    } else if (flags_ & PNSocketFlagReadStreamClosed) {
        shouldDisconnect = false;
    } else if (!partialReadBuffer_.empty()) {
        shouldDisconnect = false;  // later reads drain it first
    } else if (config_ & PNSocketConfigAllowHalfDuplex) {
        pollfd entry{connectedDescriptor(), POLLOUT, 0};
        if (::poll(&entry, 1, 0) > 0 && (entry.revents & POLLOUT)) {
            flags_ |= PNSocketFlagReadStreamClosed;
            notifyDelegate(PNAsyncSocketDelegateMethod::DidCloseReadStream,
                           [](PNAsyncSocketDelegate& delegate, const Ref<PNAsyncSocket>& socket) {
                               delegate.socketDidCloseReadStream(socket);
                           });
            shouldDisconnect = false;
        }
    }
    if (shouldDisconnect) {
        closeWithError(connectionClosedError());
    } else {
        suspendReadSource();
    }
}

void PNAsyncSocket::completeCurrentRead() {
    const ReadPacketRef packet = currentRead_;
    PNSocketData result;
    if (packet->bufferOwner) {
        // The packet's own buffer is handed over as it is.
        packet->buffer->resize(packet->bytesDone);
        result = PNSocketData(packet->buffer, 0, packet->bytesDone);
    } else {
        if (packet->buffer->size() > packet->originalBufferLength) {
            packet->buffer->resize(std::max(packet->startOffset + packet->bytesDone, packet->originalBufferLength));
        }
        result = PNSocketData(packet->buffer, packet->startOffset, packet->bytesDone);
    }
    const std::int64_t tag = packet->tag;
    notifyDelegate(PNAsyncSocketDelegateMethod::DidReadData,
                   [result = std::move(result), tag](PNAsyncSocketDelegate& delegate, const Ref<PNAsyncSocket>& socket) {
                       delegate.didReadData(socket, result, tag);
                   });
    endCurrentRead();
}

void PNAsyncSocket::endCurrentRead() {
    if (readTimer_) {
        readTimer_->cancel();
        readTimer_.reset();
    }
    currentRead_.reset();
}

void PNAsyncSocket::setupReadTimerWithTimeout(double timeout) {
    if (timeout < 0) return;
    readTimer_ = Source::makeTimer(socketQueue_);
    readTimer_->setEventHandler([this] { doReadTimeout(); });
    readTimer_->setTimer(timeout, 0);
    readTimer_->resume();
}

void PNAsyncSocket::doReadTimeout() {
    flags_ |= PNSocketFlagReadsPaused;
    Ref<PNAsyncSocketDelegate> receiver = delegate_.lock();
    if (receiver && delegateQueue_ && receiver->answers(PNAsyncSocketDelegateMethod::ShouldTimeoutRead) && currentRead_) {
        const std::int64_t tag = currentRead_->tag;
        const double elapsed = currentRead_->timeout;
        const std::uint64_t bytesDone = currentRead_->bytesDone;
        notifyDelegate(PNAsyncSocketDelegateMethod::ShouldTimeoutRead,
                       [tag, elapsed, bytesDone](PNAsyncSocketDelegate& delegate, const Ref<PNAsyncSocket>& socket) {
                           const double extension = delegate.shouldTimeoutReadWithTag(socket, tag, elapsed, bytesDone);
                           socket->socketQueue_->async([socket, extension] { socket->doReadTimeoutWithExtension(extension); });
                       });
    } else {
        doReadTimeoutWithExtension(0);
    }
}

void PNAsyncSocket::doReadTimeoutWithExtension(double extension) {
    if (!currentRead_) return;
    if (extension > 0) {
        currentRead_->timeout += extension;
        if (readTimer_) readTimer_->setTimer(extension, 0);
        flags_ &= ~PNSocketFlagReadsPaused;
        doReadData();
    } else {
        closeWithError(readTimeoutError());
    }
}

}  // namespace lv
