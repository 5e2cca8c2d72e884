#include "push/async_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/net/socket_address.h"
#include "platform/storage/bundle.h"
#include "push/async_socket_interface.h"

namespace lv {

namespace {

Ref<Error> socketError(int code, std::string description) {
    Dictionary info;
    info.set(std::string(kLocalizedDescriptionKey), Value(std::move(description)));
    return Error::make(std::string(kPNAsyncSocketErrorDomain), code, std::move(info));
}

// Codes 3-7 read their text from the "PNAsyncSocket" string table, keyed by the code's name.
Ref<Error> localizedSocketError(int code, std::string_view key, std::string_view fallback) {
    return socketError(code, Bundle::mainBundle()->localizedStringForKey(key, fallback, "PNAsyncSocket"));
}

std::string errnoText(int code) {
    char buffer[256] = {};
    return ::strerror_r(code, buffer, sizeof buffer);  // GNU form: returns the text
}

std::optional<std::string> hostOf(const std::optional<Bytes>& address) {
    return address ? socketAddressHost(*address) : std::nullopt;
}

std::uint16_t portOf(const std::optional<Bytes>& address) {
    return address ? socketAddressPort(*address).value_or(0) : 0;
}

}  // namespace

InterfaceAddresses interfaceFromDescription(const std::string& description, std::uint16_t port) {
    std::string name = description;
    if (auto colon = description.find(':'); colon != std::string::npos) {
        name = description.substr(0, colon);
        const std::string portText = description.substr(colon + 1);
        if (port == 0 && !portText.empty()) {
            char* end = nullptr;
            const long value = std::strtol(portText.c_str(), &end, 10);
            if (value >= 1 && value <= 65535) port = static_cast<std::uint16_t>(value);
        }
    }
    InterfaceAddresses found;
    if (name.empty()) {
        found.address4 = makeSocketAddress4("0.0.0.0", port);
        found.address6 = makeSocketAddress6("::", port);
    } else if (name == "localhost" || name == "loopback") {
        found.address4 = makeSocketAddress4("127.0.0.1", port);
        found.address6 = makeSocketAddress6("::1", port);
    } else {
        found = interfaceAddresses(name, port);
    }
    return found;
}

// Errors.

Ref<Error> PNAsyncSocket::badConfigError(std::string_view message) {
    return socketError(PNAsyncSocketBadConfigError, std::string(message));
}
Ref<Error> PNAsyncSocket::badParamError(std::string_view message) {
    return socketError(PNAsyncSocketBadParamError, std::string(message));
}
Ref<Error> PNAsyncSocket::otherError(std::string_view message) {
    return socketError(PNAsyncSocketOtherError, std::string(message));
}
Ref<Error> PNAsyncSocket::connectTimeoutError() {
    return localizedSocketError(PNAsyncSocketConnectTimeoutError, "PNAsyncSocketConnectTimeoutError",
                                "Attempt to connect to host timed out");
}
Ref<Error> PNAsyncSocket::readTimeoutError() {
    return localizedSocketError(PNAsyncSocketReadTimeoutError, "PNAsyncSocketReadTimeoutError",
                                "Read operation timed out");
}
Ref<Error> PNAsyncSocket::writeTimeoutError() {
    return localizedSocketError(PNAsyncSocketWriteTimeoutError, "PNAsyncSocketWriteTimeoutError",
                                "Write operation timed out");
}
Ref<Error> PNAsyncSocket::readMaxedOutError() {
    return localizedSocketError(PNAsyncSocketReadMaxedOutError, "PNAsyncSocketReadMaxedOutError",
                                "Read operation reached set maximum length");
}
Ref<Error> PNAsyncSocket::connectionClosedError() {
    return localizedSocketError(PNAsyncSocketClosedError, "PNAsyncSocketClosedError", "Socket closed by remote peer");
}
Ref<Error> PNAsyncSocket::errnoErrorWithReason(int code, std::string_view reason) {
    Dictionary info;
    info.set(std::string(kLocalizedDescriptionKey), Value(errnoText(code)));
    if (!reason.empty()) info.set(std::string(kLocalizedFailureReasonErrorKey), Value(std::string(reason)));
    return Error::make(std::string(kPOSIXErrorDomain), code, std::move(info));
}
Ref<Error> PNAsyncSocket::sslError(std::int64_t code, std::string_view reason) {
    Dictionary info;
    info.set(std::string(kLocalizedRecoverySuggestionErrorKey), Value(std::string(reason)));
    return Error::make(std::string(kStreamErrorDomainSSL), code, std::move(info));
}
Ref<Error> PNAsyncSocket::gaiError(int code) {
    Dictionary info;
    info.set(std::string(kLocalizedDescriptionKey), Value(std::string(::gai_strerror(code))));
    return Error::make(std::string(kStreamErrorDomainNetDB), code, std::move(info));
}

// Set-up and teardown.

PNAsyncSocket::PNAsyncSocket(const Ref<PNAsyncSocketDelegate>& delegate, Ref<Queue> delegateQueue,
                             Ref<Queue> socketQueue)
    : socketQueue_(socketQueue ? std::move(socketQueue) : Queue::makeSerial("PNAsyncSocket")),
      delegate_(delegate), delegateQueue_(std::move(delegateQueue)) {
    for (auto priority : {Queue::Priority::Default, Queue::Priority::High, Queue::Priority::Low}) {
        if (socketQueue_ == Queue::global(priority)) {
            Exception::raise(std::string(kInternalInconsistencyException),
                             "The given socketQueue parameter must not be a concurrent queue.");
        }
    }
}

PNAsyncSocket::~PNAsyncSocket() {
    // No reference to this socket can be made any more, so the close reports to nobody.
    onSocketQueueSync([this] { closeWithError(nullptr); });
}

void PNAsyncSocket::onSocketQueueAsync(Queue::Block block) {
    if (socketQueue_->isCurrent()) {
        block();
    } else {
        socketQueue_->async(std::move(block));
    }
}

Ref<PNAsyncSocket> PNAsyncSocket::selfRef() { return std::static_pointer_cast<PNAsyncSocket>(weak_from_this().lock()); }

void PNAsyncSocket::notifyDelegate(PNAsyncSocketDelegateMethod method, DelegateCall call) {
    Ref<PNAsyncSocketDelegate> delegate = delegate_.lock();
    if (!delegate || !delegateQueue_ || !delegate->answers(method)) return;
    Ref<PNAsyncSocket> self = selfRef();
    if (!self) return;  // being destroyed
    delegateQueue_->async([delegate = std::move(delegate), self = std::move(self), call = std::move(call)] {
        call(*delegate, self);
    });
}

// Configuration.

Ref<PNAsyncSocketDelegate> PNAsyncSocket::delegate() const {
    Ref<PNAsyncSocketDelegate> result;
    onSocketQueueSync([&] { result = delegate_.lock(); });
    return result;
}
void PNAsyncSocket::setDelegate(const Ref<PNAsyncSocketDelegate>& delegate) {
    Weak<PNAsyncSocketDelegate> weak = delegate;
    onSocketQueueAsync([self = selfRef(), weak] { self->delegate_ = weak; });
}
void PNAsyncSocket::synchronouslySetDelegate(const Ref<PNAsyncSocketDelegate>& delegate) {
    onSocketQueueSync([&] { delegate_ = delegate; });
}
Ref<Queue> PNAsyncSocket::delegateQueue() const {
    Ref<Queue> result;
    onSocketQueueSync([&] { result = delegateQueue_; });
    return result;
}
void PNAsyncSocket::setDelegateQueue(Ref<Queue> queue) {
    onSocketQueueAsync([self = selfRef(), queue] { self->delegateQueue_ = queue; });
}
void PNAsyncSocket::synchronouslySetDelegateQueue(Ref<Queue> queue) {
    onSocketQueueSync([&] { delegateQueue_ = queue; });
}
void PNAsyncSocket::getDelegate(Ref<PNAsyncSocketDelegate>* delegate, Ref<Queue>* queue) const {
    onSocketQueueSync([&] {
        if (delegate) *delegate = delegate_.lock();
        if (queue) *queue = delegateQueue_;
    });
}
void PNAsyncSocket::setDelegate(const Ref<PNAsyncSocketDelegate>& delegate, Ref<Queue> queue) {
    Weak<PNAsyncSocketDelegate> weak = delegate;
    onSocketQueueAsync([self = selfRef(), weak, queue] {
        self->delegate_ = weak;
        self->delegateQueue_ = queue;
    });
}
void PNAsyncSocket::synchronouslySetDelegate(const Ref<PNAsyncSocketDelegate>& delegate, Ref<Queue> queue) {
    onSocketQueueSync([&] {
        delegate_ = delegate;
        delegateQueue_ = queue;
    });
}

bool PNAsyncSocket::autoDisconnectOnClosedReadStream() const { return !(config() & PNSocketConfigAllowHalfDuplex); }
void PNAsyncSocket::setAutoDisconnectOnClosedReadStream(bool flag) {
    onSocketQueueAsync([self = selfRef(), flag] {
        if (flag) self->config_ &= ~PNSocketConfigAllowHalfDuplex;
        else self->config_ |= PNSocketConfigAllowHalfDuplex;
    });
}
bool PNAsyncSocket::isIPv4Enabled() const { return !(config() & PNSocketConfigIPv4Disabled); }
void PNAsyncSocket::setIPv4Enabled(bool flag) {
    onSocketQueueAsync([self = selfRef(), flag] {
        if (flag) self->config_ &= ~PNSocketConfigIPv4Disabled;
        else self->config_ |= PNSocketConfigIPv4Disabled;
    });
}
bool PNAsyncSocket::isIPv6Enabled() const { return !(config() & PNSocketConfigIPv6Disabled); }
void PNAsyncSocket::setIPv6Enabled(bool flag) {
    onSocketQueueAsync([self = selfRef(), flag] {
        if (flag) self->config_ &= ~PNSocketConfigIPv6Disabled;
        else self->config_ |= PNSocketConfigIPv6Disabled;
    });
}
bool PNAsyncSocket::isIPv4PreferredOverIPv6() const { return !(config() & PNSocketConfigPreferIPv6); }
void PNAsyncSocket::setPreferIPv4OverIPv6(bool flag) {
    onSocketQueueAsync([self = selfRef(), flag] {
        if (flag) self->config_ &= ~PNSocketConfigPreferIPv6;
        else self->config_ |= PNSocketConfigPreferIPv6;
    });
}
Value PNAsyncSocket::userData() const {
    Value result;
    onSocketQueueSync([&] { result = userData_; });
    return result;
}
void PNAsyncSocket::setUserData(Value value) {
    onSocketQueueAsync([self = selfRef(), value = std::move(value)] { self->userData_ = value; });
}

// Connecting.

bool PNAsyncSocket::connectToHost(std::string_view host, std::uint16_t port, Ref<Error>* error) {
    return connectToHost(host, port, std::nullopt, -1, error);
}

bool PNAsyncSocket::connectToHost(std::string_view host, std::uint16_t port, double timeout, Ref<Error>* error) {
    return connectToHost(host, port, std::nullopt, timeout, error);
}

bool PNAsyncSocket::connectToHost(std::string_view host, std::uint16_t port, const std::optional<std::string>& interface,
                                  double timeout, Ref<Error>* errorOut) {
    const std::string hostCopy(host);
    const std::optional<std::string> interfaceCopy = interface;
    bool started = false;
    Ref<Error> error;
    onSocketQueueSync([&] {
        if (hostCopy.empty()) {
            error = badParamError(
                "Invalid host parameter (nil or \"\"). Should be a domain name or IP address string.");
            return;
        }
        if (!preConnectWithInterface(interfaceCopy, &error)) return;
        flags_ |= PNSocketFlagStarted;
        const int index = connectIndex_;
        Weak<PNAsyncSocket> weak = selfRef();
        Ref<Queue> socketQueue = socketQueue_;
        Queue::global()->async([weak, socketQueue, hostCopy, port, index] {
            HostAddresses found;
            if (hostCopy == "localhost" || hostCopy == "loopback") {
                found.address4 = makeSocketAddress4("127.0.0.1", port);
                found.address6 = makeSocketAddress6("::1", port);
            } else {
                found = lookupHostAddresses(hostCopy, port);
            }
            socketQueue->async([weak, found = std::move(found), index] {
                Ref<PNAsyncSocket> self = weak.lock();
                if (!self) return;
                if (found.errorCode != 0) {
                    self->lookupDidFail(index, gaiError(found.errorCode));
                } else {
                    self->lookupDidSucceed(index, found.address4, found.address6);
                }
            });
        });
        startConnectTimeout(timeout);
        started = true;
    });
    if (!started) setError(errorOut, error);
    return started;
}

bool PNAsyncSocket::connectToAddress(const Bytes& address, Ref<Error>* error) {
    return connectToAddress(address, std::nullopt, -1, error);
}

bool PNAsyncSocket::connectToAddress(const Bytes& address, double timeout, Ref<Error>* error) {
    return connectToAddress(address, std::nullopt, timeout, error);
}

bool PNAsyncSocket::connectToAddress(const Bytes& address, const std::optional<std::string>& interface, double timeout,
                                     Ref<Error>* errorOut) {
    bool started = false;
    Ref<Error> error;
    onSocketQueueSync([&] {
        std::optional<Bytes> address4;
        std::optional<Bytes> address6;
        if (address.size() == sizeof(sockaddr_in) && socketAddressFamily(address) == AF_INET) {
            address4 = address;
        } else if (address.size() == sizeof(sockaddr_in6) && socketAddressFamily(address) == AF_INET6) {
            address6 = address;
        } else {
            error = badParamError("A valid IPv4 or IPv6 address was not given");
            return;
        }
        if (address4 && (config_ & PNSocketConfigIPv4Disabled)) {
            error = badParamError("IPv4 has been disabled and an IPv4 address was passed.");
            return;
        }
        if (address6 && (config_ & PNSocketConfigIPv6Disabled)) {
            error = badParamError("IPv6 has been disabled and an IPv6 address was passed.");
            return;
        }
        if (!preConnectWithInterface(interface, &error)) return;
        if (!connectWithAddress(address4, address6, &error)) {
            // Not started, so no close follows: release what the attempt made.
            endConnectTimeout();
            for (int* fd : {&socket4FD_, &socket6FD_}) {
                if (*fd != -1) ::close(*fd);
                *fd = -1;
            }
            return;
        }
        flags_ |= PNSocketFlagStarted;
        startConnectTimeout(timeout);
        started = true;
    });
    if (!started) setError(errorOut, error);
    return started;
}

bool PNAsyncSocket::preConnectWithInterface(const std::optional<std::string>& interface, Ref<Error>* error) {
    if (!delegate_.lock()) {
        *error = badConfigError("Attempting to connect without a delegate. Set a delegate first.");
        return false;
    }
    if (!delegateQueue_) {
        *error = badConfigError("Attempting to connect without a delegate queue. Set a delegate queue first.");
        return false;
    }
    if (flags_ & PNSocketFlagStarted) {
        *error = badConfigError("Attempting to connect while connected or accepting connections. Disconnect first.");
        return false;
    }
    const bool ipv4Disabled = config_ & PNSocketConfigIPv4Disabled;
    const bool ipv6Disabled = config_ & PNSocketConfigIPv6Disabled;
    if (ipv4Disabled && ipv6Disabled) {
        *error = badConfigError("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
        return false;
    }
    if (interface) {
        InterfaceAddresses found = interfaceFromDescription(*interface, 0);
        if (!found.address4 && !found.address6) {
            *error = badParamError(
                "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
            return false;
        }
        if (ipv4Disabled && !found.address6) {
            *error = badParamError("IPv4 has been disabled and specified interface doesn't support IPv6.");
            return false;
        }
        if (ipv6Disabled && !found.address4) {
            *error = badParamError("IPv6 has been disabled and specified interface doesn't support IPv4.");
            return false;
        }
        connectInterface4_ = std::move(found.address4);
        connectInterface6_ = std::move(found.address6);
    }
    readQueue_.clear();
    writeQueue_.clear();
    return true;
}

void PNAsyncSocket::lookupDidSucceed(int index, std::optional<Bytes> address4, std::optional<Bytes> address6) {
    if (index != connectIndex_) return;  // abandoned attempt
    if ((config_ & PNSocketConfigIPv4Disabled) && !address6) {
        closeWithError(otherError("IPv4 has been disabled and DNS lookup found no IPv6 address."));
        return;
    }
    if ((config_ & PNSocketConfigIPv6Disabled) && !address4) {
        closeWithError(otherError("IPv6 has been disabled and DNS lookup found no IPv4 address."));
        return;
    }
    Ref<Error> error;
    if (!connectWithAddress(std::move(address4), std::move(address6), &error)) closeWithError(error);
}

void PNAsyncSocket::lookupDidFail(int index, Ref<Error> error) {
    if (index != connectIndex_) return;
    endConnectTimeout();
    closeWithError(error);
}

bool PNAsyncSocket::connectWithAddress(std::optional<Bytes> address4, std::optional<Bytes> address6,
                                       Ref<Error>* error) {
    if (config_ & PNSocketConfigIPv4Disabled) address4.reset();
    if (config_ & PNSocketConfigIPv6Disabled) address6.reset();
    if (!address4 && !address6) {
        *error = otherError("Expected at least one valid address");
        return false;
    }
    const bool useIPv6 = (config_ & PNSocketConfigPreferIPv6) ? (address6 || !address4) : !address4;
    const Bytes& address = useIPv6 ? *address6 : *address4;
    const int fd = ::socket(useIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errnoErrorWithReason(errno, "Error in socket() function");
        return false;
    }
    (useIPv6 ? socket6FD_ : socket4FD_) = fd;
    if (const std::optional<Bytes>& interface = useIPv6 ? connectInterface6_ : connectInterface4_) {
        if (socketAddressPort(*interface).value_or(0) != 0) {
            const int reuse = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        }
        if (::bind(fd, reinterpret_cast<const sockaddr*>(interface->data()),
                   static_cast<socklen_t>(interface->size())) != 0) {
            *error = errnoErrorWithReason(errno, "Error in bind() function");
            return false;
        }
    }
    // A non-blocking connect: a time-out or close only cancels the readiness source on this queue,
    // so no connect() can land later on a closed (and perhaps reused) descriptor number.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const int index = connectIndex_;
    Weak<PNAsyncSocket> weak = selfRef();
    if (::connect(fd, reinterpret_cast<const sockaddr*>(address.data()), static_cast<socklen_t>(address.size())) == 0) {
        socketQueue_->async([weak, index] {
            if (auto self = weak.lock()) self->didConnect(index);
        });
    } else if (errno == EINPROGRESS) {
        connectSource_ = Source::makeWrite(fd, socketQueue_);
        connectSource_->setEventHandler([this, fd, index] {
            int code = 0;
            socklen_t length = sizeof code;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &length) != 0) code = errno;
            if (code == 0) {
                didConnect(index);
            } else {
                didNotConnect(index, errnoErrorWithReason(code, "Error in connect() function"));
            }
        });
        connectSource_->resume();
    } else {
        Ref<Error> failure = errnoErrorWithReason(errno, "Error in connect() function");
        socketQueue_->async([weak, index, failure] {
            if (auto self = weak.lock()) self->didNotConnect(index, failure);
        });
    }
    return true;
}

void PNAsyncSocket::didConnect(int index) {
    if (index != connectIndex_) return;
    flags_ |= PNSocketFlagConnected;
    endConnectTimeout();
    const std::string host = hostOf(addressOf(true)).value_or("");
    const std::uint16_t port = portOf(addressOf(true));
    notifyDelegate(PNAsyncSocketDelegateMethod::DidConnectToHost,
                   [host, port](PNAsyncSocketDelegate& delegate, const Ref<PNAsyncSocket>& socket) {
                       delegate.didConnectToHost(socket, host, port);
                   });
    const int fd = connectedDescriptor();
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == -1) {
        closeWithError(otherError("Error enabling non-blocking IO on socket (fcntl)"));
        return;
    }
    // Linux has no SO_NOSIGPIPE: every write passes MSG_NOSIGNAL instead.
    setupReadAndWriteSourcesForNewlyConnectedSocket(fd);
    maybeDequeueRead();
    maybeDequeueWrite();
}

void PNAsyncSocket::didNotConnect(int index, Ref<Error> error) {
    if (index != connectIndex_) return;
    endConnectTimeout();
    closeWithError(error);
}

void PNAsyncSocket::startConnectTimeout(double timeout) {
    if (timeout < 0) return;
    connectTimer_ = Source::makeTimer(socketQueue_);
    connectTimer_->setEventHandler([this] {
        endConnectTimeout();
        closeWithError(connectTimeoutError());
    });
    connectTimer_->setTimer(timeout, 0);
    connectTimer_->resume();
}

void PNAsyncSocket::endConnectTimeout() {
    if (connectTimer_) {
        connectTimer_->cancel();
        connectTimer_.reset();
    }
    if (connectSource_) {
        connectSource_->cancel();
        connectSource_.reset();
    }
    ++connectIndex_;
    connectInterface4_.reset();
    connectInterface6_.reset();
}

void PNAsyncSocket::setupReadAndWriteSourcesForNewlyConnectedSocket(int fd) {
    readSource_ = Source::makeRead(fd, socketQueue_);
    writeSource_ = Source::makeWrite(fd, socketQueue_);
    // Handlers may use the socket directly: close cancels both sources on this queue before the
    // socket can go, and a cancelled source runs no further event handler.
    Source* readSource = readSource_.get();
    readSource_->setEventHandler([this, readSource] {
        if (handshakeInProgress()) {
            continueSSLHandshake();
            return;
        }
        if (flags_ & PNSocketFlagSecure) {
            // Readable (or at end): the session decides how much of it is data.
            flags_ |= PNSocketFlagSecureBytesAvailable;
            doReadData();
            return;
        }
        readSourceDidReport(readSource->data());
    });
    writeSource_->setEventHandler([this] {
        if (handshakeInProgress()) {
            continueSSLHandshake();
            return;
        }
        flags_ |= PNSocketFlagCanAcceptBytes;
        doWriteData();
    });
    // The descriptor is closed once both sources are cancelled.
    auto remaining = std::make_shared<int>(2);
    auto cancelHandler = [remaining, fd] {
        if (--*remaining == 0) ::close(fd);
    };
    readSource_->setCancelHandler(cancelHandler);
    writeSource_->setCancelHandler(cancelHandler);
    socketFDBytesAvailable_ = 0;
    flags_ &= ~PNSocketFlagReadSourceSuspended;
    readSource_->resume();
    flags_ |= PNSocketFlagCanAcceptBytes | PNSocketFlagWriteSourceSuspended;  // sources start suspended
}

void PNAsyncSocket::readSourceDidReport(std::uint64_t available) {
    socketFDBytesAvailable_ = available;
    if (socketFDBytesAvailable_ > 0) {
        doReadData();
    } else {
        confirmReadEOF();
    }
}

void PNAsyncSocket::reportReadReadinessWithoutDataForTesting() {
    onSocketQueueAsync([self = selfRef()] {
        if (self->readSource_ && !(self->flags_ & PNSocketFlagSecure)) self->readSourceDidReport(0);
    });
}

void PNAsyncSocket::suspendReadSource() {
    if (readSource_ && !(flags_ & PNSocketFlagReadSourceSuspended)) {
        readSource_->suspend();
        flags_ |= PNSocketFlagReadSourceSuspended;
    }
}
void PNAsyncSocket::resumeReadSource() {
    if (readSource_ && (flags_ & PNSocketFlagReadSourceSuspended)) {
        readSource_->resume();
        flags_ &= ~PNSocketFlagReadSourceSuspended;
    }
}
void PNAsyncSocket::suspendWriteSource() {
    if (writeSource_ && !(flags_ & PNSocketFlagWriteSourceSuspended)) {
        writeSource_->suspend();
        flags_ |= PNSocketFlagWriteSourceSuspended;
    }
}
void PNAsyncSocket::resumeWriteSource() {
    if (writeSource_ && (flags_ & PNSocketFlagWriteSourceSuspended)) {
        writeSource_->resume();
        flags_ &= ~PNSocketFlagWriteSourceSuspended;
    }
}

// Closing.

void PNAsyncSocket::closeWithError(const Ref<Error>& error) {
    endConnectTimeout();
    if (currentRead_) endCurrentRead();
    if (currentWrite_) endCurrentWrite();
    readQueue_.clear();
    writeQueue_.clear();
    partialReadBuffer_.clear();
    readBuffers_.reset();
    if (tls_) {
        tls_->shutdown();
        tls_.reset();
    }
    if (!readSource_ && !writeSource_ && !accept4Source_ && !accept6Source_) {
        for (int fd : {socket4FD_, socket6FD_}) {
            if (fd != -1) ::close(fd);
        }
    }
    // A suspended source never finishes its cancellation, so it is resumed after cancel.
    if (readSource_) {
        readSource_->cancel();
        if (flags_ & PNSocketFlagReadSourceSuspended) readSource_->resume();
        readSource_.reset();
    }
    if (writeSource_) {
        writeSource_->cancel();
        if (flags_ & PNSocketFlagWriteSourceSuspended) writeSource_->resume();
        writeSource_.reset();
    }
    cancelAcceptSources();
    socket4FD_ = -1;
    socket6FD_ = -1;
    socketFDBytesAvailable_ = 0;
    const bool wasStarted = flags_ & PNSocketFlagStarted;
    flags_ = 0;
    if (wasStarted) {
        notifyDelegate(PNAsyncSocketDelegateMethod::DidDisconnect,
                       [error](PNAsyncSocketDelegate& delegate, const Ref<PNAsyncSocket>& socket) {
                           delegate.socketDidDisconnect(socket, error);
                       });
    }
}

void PNAsyncSocket::disconnect() {
    onSocketQueueSync([this] {
        if (flags_ & PNSocketFlagStarted) closeWithError(nullptr);
    });
}

namespace {
constexpr std::uint32_t kCloseAfterReadsFlags = PNSocketFlagNoNewReadsWrites | PNSocketFlagCloseAfterReads;
constexpr std::uint32_t kCloseAfterWritesFlags = PNSocketFlagNoNewReadsWrites | PNSocketFlagCloseAfterWrites;
}  // namespace

void PNAsyncSocket::disconnectAfterReading() {
    socketQueue_->async([self = selfRef()] {
        if (!(self->flags_ & PNSocketFlagStarted)) return;
        self->flags_ |= kCloseAfterReadsFlags;
        self->maybeClose();
    });
}

void PNAsyncSocket::disconnectAfterWriting() {
    socketQueue_->async([self = selfRef()] {
        if (!(self->flags_ & PNSocketFlagStarted)) return;
        self->flags_ |= kCloseAfterWritesFlags;
        self->maybeClose();
    });
}

void PNAsyncSocket::disconnectAfterReadingAndWriting() {
    socketQueue_->async([self = selfRef()] {
        if (!(self->flags_ & PNSocketFlagStarted)) return;
        self->flags_ |= kCloseAfterReadsFlags | kCloseAfterWritesFlags;
        self->maybeClose();
    });
}

void PNAsyncSocket::maybeClose() {
    const bool readsDone = readQueue_.empty() && !currentRead_;
    const bool writesDone = writeQueue_.empty() && !currentWrite_;
    bool shouldClose = false;
    if (flags_ & PNSocketFlagCloseAfterReads) {
        shouldClose = readsDone && (!(flags_ & PNSocketFlagCloseAfterWrites) || writesDone);
    } else if (flags_ & PNSocketFlagCloseAfterWrites) {
        shouldClose = writesDone;
    }
    if (shouldClose) closeWithError(nullptr);
}

// State.

int PNAsyncSocket::connectedDescriptor() const { return socket4FD_ != -1 ? socket4FD_ : socket6FD_; }

std::optional<Bytes> PNAsyncSocket::addressOf(bool peer) const {
    const int fd = connectedDescriptor();
    if (fd == -1) return std::nullopt;
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    auto* address = reinterpret_cast<sockaddr*>(&storage);
    if ((peer ? ::getpeername(fd, address, &length) : ::getsockname(fd, address, &length)) != 0) return std::nullopt;
    const auto* begin = reinterpret_cast<const std::uint8_t*>(&storage);
    return Bytes(begin, begin + length);
}

bool PNAsyncSocket::isDisconnected() const { return !(flags() & PNSocketFlagStarted); }
bool PNAsyncSocket::isConnected() const { return flags() & PNSocketFlagConnected; }
bool PNAsyncSocket::isSecure() const { return flags() & PNSocketFlagSecure; }
bool PNAsyncSocket::isIPv4() const {
    bool result = false;
    onSocketQueueSync([&] { result = socket4FD_ != -1; });
    return result;
}
bool PNAsyncSocket::isIPv6() const {
    bool result = false;
    onSocketQueueSync([&] { result = socket6FD_ != -1; });
    return result;
}
std::optional<std::string> PNAsyncSocket::connectedHost() const {
    std::optional<std::string> result;
    onSocketQueueSync([&] { result = hostOf(addressOf(true)); });
    return result;
}
std::uint16_t PNAsyncSocket::connectedPort() const {
    std::uint16_t result = 0;
    onSocketQueueSync([&] { result = portOf(addressOf(true)); });
    return result;
}
std::optional<std::string> PNAsyncSocket::localHost() const {
    std::optional<std::string> result;
    onSocketQueueSync([&] { result = hostOf(addressOf(false)); });
    return result;
}
std::uint16_t PNAsyncSocket::localPort() const {
    std::uint16_t result = 0;
    onSocketQueueSync([&] { result = portOf(addressOf(false)); });
    return result;
}
std::optional<Bytes> PNAsyncSocket::connectedAddress() const {
    std::optional<Bytes> result;
    onSocketQueueSync([&] { result = addressOf(true); });
    return result;
}
std::optional<Bytes> PNAsyncSocket::localAddress() const {
    std::optional<Bytes> result;
    onSocketQueueSync([&] { result = addressOf(false); });
    return result;
}
std::uint32_t PNAsyncSocket::flags() const {
    std::uint32_t result = 0;
    onSocketQueueSync([&] { result = flags_; });
    return result;
}
std::uint16_t PNAsyncSocket::config() const {
    std::uint16_t result = 0;
    onSocketQueueSync([&] { result = config_; });
    return result;
}

// Address utilities: the family is the 16-bit sa_family at offset 0 (AF_INET6 is 10 here).

bool PNAsyncSocket::getHost(std::string* host, std::uint16_t* port, const Bytes& address) {
    if (address.size() < sizeof(sockaddr_in)) return false;
    if (!isSocketAddress4(address) && !isSocketAddress6(address)) return false;
    if (host) *host = socketAddressHost(address).value_or("");
    if (port) *port = socketAddressPort(address).value_or(0);
    return true;
}

std::string PNAsyncSocket::hostFromSockaddr4(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) ? text : "";
}
std::string PNAsyncSocket::hostFromSockaddr6(const sockaddr_in6& address) {
    char text[INET6_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET6, &address.sin6_addr, text, sizeof text) ? text : "";
}
std::uint16_t PNAsyncSocket::portFromSockaddr4(const sockaddr_in& address) { return ntohs(address.sin_port); }
std::uint16_t PNAsyncSocket::portFromSockaddr6(const sockaddr_in6& address) { return ntohs(address.sin6_port); }

std::optional<std::string> PNAsyncSocket::hostFromAddress(const Bytes& address) {
    std::string host;
    if (!getHost(&host, nullptr, address)) return std::nullopt;
    return host;
}
std::uint16_t PNAsyncSocket::portFromAddress(const Bytes& address) {
    std::uint16_t port = 0;
    return getHost(nullptr, &port, address) ? port : 0;
}

}  // namespace lv
