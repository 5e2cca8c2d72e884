// PNAsyncSocket: the push client's asynchronous TCP socket (IPv4/IPv6, name lookup through the host
// map, optional local interface, connect time-out, queued reads and writes with tags and time-outs).
// Also listening (accepting connections on IPv4 and IPv6) and TLS on a connection (OpenSSL on the
// same descriptor, driven by the same sources).
// Thread rule: every field belongs to the socket's serial queue. Getters, connect and disconnect run
// inline on that queue or wait for it (sync); plain setters, reads, writes and the disconnect-after
// variants are queued to it (async). The delegate is held weakly and called only on the delegate
// queue, asynchronously, in the order the socket queue produced its messages.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/error.h"
#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/source.h"
#include "platform/net/tls_session.h"
#include "push/async_packets.h"

namespace lv {

inline constexpr std::string_view kPNAsyncSocketErrorDomain = "PNAsyncSocketErrorDomain";
inline constexpr std::string_view kStreamErrorDomainNetDB = "kCFStreamErrorDomainNetDB";
inline constexpr std::string_view kStreamErrorDomainSSL = "kCFStreamErrorDomainSSL";

enum PNAsyncSocketError : int {
    PNAsyncSocketNoError = 0,
    PNAsyncSocketBadConfigError = 1,
    PNAsyncSocketBadParamError = 2,
    PNAsyncSocketConnectTimeoutError = 3,
    PNAsyncSocketReadTimeoutError = 4,
    PNAsyncSocketWriteTimeoutError = 5,
    PNAsyncSocketReadMaxedOutError = 6,
    PNAsyncSocketClosedError = 7,
    PNAsyncSocketOtherError = 8,
};

// Run-time state bits; 0 when idle.
enum PNSocketFlag : std::uint32_t {
    PNSocketFlagStarted = 0x1,
    PNSocketFlagConnected = 0x2,
    PNSocketFlagNoNewReadsWrites = 0x4,
    PNSocketFlagReadsPaused = 0x8,
    PNSocketFlagWritesPaused = 0x10,
    PNSocketFlagCloseAfterReads = 0x20,
    PNSocketFlagCloseAfterWrites = 0x40,
    PNSocketFlagCanAcceptBytes = 0x80,
    PNSocketFlagReadSourceSuspended = 0x100,
    PNSocketFlagWriteSourceSuspended = 0x200,
    PNSocketFlagTLSQueued = 0x400,
    PNSocketFlagStartingReadTLS = 0x800,
    PNSocketFlagStartingWriteTLS = 0x1000,
    PNSocketFlagSecure = 0x2000,
    PNSocketFlagReadEOF = 0x4000,
    PNSocketFlagReadStreamClosed = 0x8000,
    PNSocketFlagStreamListenerAdded = 0x10000,
    PNSocketFlagSecureBytesAvailable = 0x20000,
};

// Configuration bits, kept across close.
enum PNSocketConfig : std::uint16_t {
    PNSocketConfigIPv4Disabled = 0x1,
    PNSocketConfigIPv6Disabled = 0x2,
    PNSocketConfigPreferIPv6 = 0x4,
    PNSocketConfigAllowHalfDuplex = 0x8,
};

class PNAsyncSocket;

// The bytes of a completed read: the read's own buffer handed over, or a view into the caller's
// buffer (which the view keeps alive).
class PNSocketData {
public:
    PNSocketData() = default;
    PNSocketData(SocketBuffer buffer, std::size_t offset, std::size_t length)
        : buffer_(std::move(buffer)), offset_(offset), length_(length) {}
    const std::uint8_t* data() const { return buffer_ ? buffer_->data() + offset_ : nullptr; }
    std::size_t size() const { return length_; }
    const SocketBuffer& buffer() const { return buffer_; }
    Bytes bytes() const { return Bytes(data(), data() + length_); }
    std::string text() const { return std::string(reinterpret_cast<const char*>(data()), length_); }

private:
    SocketBuffer buffer_;
    std::size_t offset_ = 0;
    std::size_t length_ = 0;
};

enum class PNAsyncSocketDelegateMethod {
    DidConnectToHost,
    DidReadData,
    DidReadPartialData,
    ShouldTimeoutRead,
    DidWriteData,
    DidWritePartialData,
    ShouldTimeoutWrite,
    DidCloseReadStream,
    DidDisconnect,
    NewSocketQueueForConnection,
    DidAcceptNewSocket,
    DidSecure,
};

// The receiver of a socket's messages. Every method is optional: a message is sent only when
// answers() says yes for it (every one by default).
class PNAsyncSocketDelegate {
public:
    virtual ~PNAsyncSocketDelegate() = default;
    virtual bool answers(PNAsyncSocketDelegateMethod) const { return true; }

    virtual void didConnectToHost(const Ref<PNAsyncSocket>&, const std::string& /*host*/, std::uint16_t /*port*/) {}
    virtual void didReadData(const Ref<PNAsyncSocket>&, const PNSocketData&, std::int64_t /*tag*/) {}
    virtual void didReadPartialDataOfLength(const Ref<PNAsyncSocket>&, std::uint64_t, std::int64_t /*tag*/) {}
    // Extra seconds for a timed-out read or write; 0 or less lets it time out.
    virtual double shouldTimeoutReadWithTag(const Ref<PNAsyncSocket>&, std::int64_t /*tag*/, double /*elapsed*/,
                                            std::uint64_t /*bytesDone*/) {
        return 0;
    }
    virtual void didWriteDataWithTag(const Ref<PNAsyncSocket>&, std::int64_t /*tag*/) {}
    virtual void didWritePartialDataOfLength(const Ref<PNAsyncSocket>&, std::uint64_t, std::int64_t /*tag*/) {}
    virtual double shouldTimeoutWriteWithTag(const Ref<PNAsyncSocket>&, std::int64_t /*tag*/, double /*elapsed*/,
                                             std::uint64_t /*bytesDone*/) {
        return 0;
    }
    virtual void socketDidCloseReadStream(const Ref<PNAsyncSocket>&) {}
    virtual void socketDidDisconnect(const Ref<PNAsyncSocket>&, const Ref<Error>& /*error*/) {}
    // Listening: the socket queue for an accepted connection (a serial queue; none for a new one),
    // then the new socket, which the delegate must keep.
    virtual Ref<Queue> newSocketQueueForConnectionFromAddress(const Bytes& /*address*/,
                                                              const Ref<PNAsyncSocket>& /*listener*/) {
        return nullptr;
    }
    virtual void didAcceptNewSocket(const Ref<PNAsyncSocket>& /*listener*/, const Ref<PNAsyncSocket>& /*accepted*/) {}
    virtual void socketDidSecure(const Ref<PNAsyncSocket>&) {}
};

class PNAsyncSocket : public Object {
public:
    // A given socket queue must be serial: a global queue raises "The given socketQueue parameter
    // must not be a concurrent queue.". Without one, a serial queue "PNAsyncSocket" is made.
    PNAsyncSocket(const Ref<PNAsyncSocketDelegate>& delegate, Ref<Queue> delegateQueue, Ref<Queue> socketQueue);
    static Ref<PNAsyncSocket> make() { return makeRef<PNAsyncSocket>(nullptr, nullptr, nullptr); }
    static Ref<PNAsyncSocket> makeWithSocketQueue(Ref<Queue> socketQueue) {
        return makeRef<PNAsyncSocket>(nullptr, nullptr, std::move(socketQueue));
    }
    static Ref<PNAsyncSocket> makeWithDelegate(const Ref<PNAsyncSocketDelegate>& delegate, Ref<Queue> delegateQueue,
                                               Ref<Queue> socketQueue = nullptr) {
        return makeRef<PNAsyncSocket>(delegate, std::move(delegateQueue), std::move(socketQueue));
    }
    // Tears down as a close would, without telling the delegate.
    ~PNAsyncSocket() override;

    // Configuration.
    Ref<PNAsyncSocketDelegate> delegate() const;
    void setDelegate(const Ref<PNAsyncSocketDelegate>& delegate);
    void synchronouslySetDelegate(const Ref<PNAsyncSocketDelegate>& delegate);
    Ref<Queue> delegateQueue() const;
    void setDelegateQueue(Ref<Queue> queue);
    void synchronouslySetDelegateQueue(Ref<Queue> queue);
    void getDelegate(Ref<PNAsyncSocketDelegate>* delegate, Ref<Queue>* queue) const;
    void setDelegate(const Ref<PNAsyncSocketDelegate>& delegate, Ref<Queue> queue);
    void synchronouslySetDelegate(const Ref<PNAsyncSocketDelegate>& delegate, Ref<Queue> queue);
    bool autoDisconnectOnClosedReadStream() const;
    void setAutoDisconnectOnClosedReadStream(bool flag);
    bool isIPv4Enabled() const;
    void setIPv4Enabled(bool flag);
    bool isIPv6Enabled() const;
    void setIPv6Enabled(bool flag);
    bool isIPv4PreferredOverIPv6() const;
    void setPreferIPv4OverIPv6(bool flag);
    Value userData() const;
    void setUserData(Value value);

    // Connecting: true when the attempt started; otherwise false and the error. A negative timeout
    // means none; the interface is a name or address text, optionally with ":port".
    bool connectToHost(std::string_view host, std::uint16_t port, Ref<Error>* error);
    bool connectToHost(std::string_view host, std::uint16_t port, double timeout, Ref<Error>* error);
    bool connectToHost(std::string_view host, std::uint16_t port, const std::optional<std::string>& interface,
                       double timeout, Ref<Error>* error);
    bool connectToAddress(const Bytes& address, Ref<Error>* error);
    bool connectToAddress(const Bytes& address, double timeout, Ref<Error>* error);
    bool connectToAddress(const Bytes& address, const std::optional<std::string>& interface, double timeout,
                          Ref<Error>* error);

    // Listening on every interface, or one given by name or address text ("localhost" and "loopback"
    // mean the loopback addresses), on IPv4 and IPv6 at once where both are enabled; port 0 takes one
    // port the system chooses for both. Each connection becomes a new connected socket handed to the
    // delegate.
    bool acceptOnPort(std::uint16_t port, Ref<Error>* error);
    bool acceptOnInterface(const std::optional<std::string>& interface, std::uint16_t port, Ref<Error>* error);

    // TLS on this connection once every read and write queued before has finished; later reads and
    // writes wait for socketDidSecure. Settings use the keys of platform/net/tls_session.h; none verifies
    // the peer against the host connected to. Dropped unless started, not closing, and the first.
    void startTLS(Dictionary settings = {});

    // Runs the block on the socket queue and waits for it; never call it from that queue.
    void performBlock(const std::function<void()>& block);
    // Tests: on the socket queue, the read source's handler as it runs for a report of readiness with
    // nothing to read (data 0), which a late or spurious report gives; only the end of the stream
    // may close the socket.
    void reportReadReadinessWithoutDataForTesting();
    // The descriptors, on the socket queue only (-1 anywhere else).
    int socketFD() const;
    int socket4FD() const;
    int socket6FD() const;
    // This system has no platform stream pair (TLS runs on the descriptor) and no background socket
    // service: the streams are none and backgrounding answers false.
    Ref<Object> readStream() const { return nullptr; }
    Ref<Object> writeStream() const { return nullptr; }
    bool enableBackgroundingOnSocket() { return false; }
    bool enableBackgroundingOnSocketWithCaveat() { return false; }

    void disconnect();
    void disconnectAfterReading();
    void disconnectAfterWriting();
    void disconnectAfterReadingAndWriting();

    // State.
    bool isDisconnected() const;
    bool isConnected() const;
    bool isSecure() const;
    bool isIPv4() const;
    bool isIPv6() const;
    std::optional<std::string> connectedHost() const;
    std::uint16_t connectedPort() const;
    std::optional<std::string> localHost() const;
    std::uint16_t localPort() const;
    std::optional<Bytes> connectedAddress() const;
    std::optional<Bytes> localAddress() const;
    std::uint32_t flags() const;
    std::uint16_t config() const;

    // Reads: available bytes, an exact length, or up to and including a terminator; with or without
    // a caller buffer (written in place from the offset) and a maximum. Bad requests are dropped.
    void readDataWithTimeout(double timeout, std::int64_t tag);
    void readDataWithTimeout(double timeout, SocketBuffer buffer, std::uint64_t offset, std::int64_t tag);
    void readDataWithTimeout(double timeout, SocketBuffer buffer, std::uint64_t offset, std::uint64_t maxLength,
                             std::int64_t tag);
    void readDataToLength(std::uint64_t length, double timeout, std::int64_t tag);
    void readDataToLength(std::uint64_t length, double timeout, SocketBuffer buffer, std::uint64_t offset,
                          std::int64_t tag);
    void readDataToData(const Bytes& term, double timeout, std::int64_t tag);
    void readDataToData(const Bytes& term, double timeout, SocketBuffer buffer, std::uint64_t offset,
                        std::int64_t tag);
    void readDataToData(const Bytes& term, double timeout, std::uint64_t maxLength, std::int64_t tag);
    void readDataToData(const Bytes& term, double timeout, SocketBuffer buffer, std::uint64_t offset,
                        std::uint64_t maxLength, std::int64_t tag);
    // The bytes are not copied; the caller must not change them while the write is queued.
    void writeData(std::shared_ptr<const Bytes> data, double timeout, std::int64_t tag);
    void writeData(Bytes data, double timeout, std::int64_t tag);

    // Address utilities.
    static bool getHost(std::string* host, std::uint16_t* port, const Bytes& address);
    static std::string hostFromSockaddr4(const sockaddr_in& address);
    static std::string hostFromSockaddr6(const sockaddr_in6& address);
    static std::uint16_t portFromSockaddr4(const sockaddr_in& address);
    static std::uint16_t portFromSockaddr6(const sockaddr_in6& address);
    static std::optional<std::string> hostFromAddress(const Bytes& address);
    static std::uint16_t portFromAddress(const Bytes& address);
    static Bytes CRLFData() { return {0x0D, 0x0A}; }
    static Bytes CRData() { return {0x0D}; }
    static Bytes LFData() { return {0x0A}; }
    static Bytes ZeroData() { return {0x00}; }

    // Errors.
    static Ref<Error> badConfigError(std::string_view message);
    static Ref<Error> badParamError(std::string_view message);
    static Ref<Error> connectTimeoutError();
    static Ref<Error> readTimeoutError();
    static Ref<Error> writeTimeoutError();
    static Ref<Error> readMaxedOutError();
    static Ref<Error> connectionClosedError();
    static Ref<Error> otherError(std::string_view message);
    static Ref<Error> errnoErrorWithReason(int code, std::string_view reason);
    static Ref<Error> gaiError(int code);
    // The TLS layer's code, with its reason text as the recovery suggestion.
    static Ref<Error> sslError(std::int64_t code, std::string_view reason);

    // The delegate setters with the choice of form as a flag: true waits for the socket queue as the
    // synchronouslySet… forms do, false queues the change as the plain forms do.
    void setDelegate(const Ref<PNAsyncSocketDelegate>& delegate, bool synchronously);
    void setDelegateQueue(Ref<Queue> queue, bool synchronously);
    void setDelegate(const Ref<PNAsyncSocketDelegate>& delegate, Ref<Queue> queue, bool synchronously);

    // One family's peer and local host and port: the IPv4 or IPv6 descriptor's, read on the socket
    // queue (inline when called there, else waiting for it), from any thread; nil or 0 when that
    // descriptor is -1 or the call fails.
    std::optional<std::string> connectedHost4() const;
    std::optional<std::string> connectedHost6() const;
    std::uint16_t connectedPort4() const;
    std::uint16_t connectedPort6() const;
    std::optional<std::string> localHost4() const;
    std::optional<std::string> localHost6() const;
    std::uint16_t localPort4() const;
    std::uint16_t localPort6() const;
    // The same from a descriptor (getpeername / getsockname): nil or 0 when the call fails or the
    // descriptor's address is of the other family.
    static std::optional<std::string> connectedHostFromSocket4(int fd);
    static std::optional<std::string> connectedHostFromSocket6(int fd);
    static std::uint16_t connectedPortFromSocket4(int fd);
    static std::uint16_t connectedPortFromSocket6(int fd);
    static std::optional<std::string> localHostFromSocket4(int fd);
    static std::optional<std::string> localHostFromSocket6(int fd);
    static std::uint16_t localPortFromSocket4(int fd);
    static std::uint16_t localPortFromSocket6(int fd);

    // The current errno as a POSIX error (its strerror text as the description), without a reason.
    static Ref<Error> errnoError();

private:
    using ReadPacketRef = std::shared_ptr<PNAsyncReadPacket>;
    using WritePacketRef = std::shared_ptr<PNAsyncWritePacket>;

    template <class Fn>
    void onSocketQueueSync(Fn&& fn) const {
        if (socketQueue_->isCurrent()) {
            fn();
        } else {
            socketQueue_->sync(std::forward<Fn>(fn));
        }
    }
    void onSocketQueueAsync(Queue::Block block);
    // The reading of the IPv4 (or IPv6) descriptor, taken on the socket queue.
    template <class Result>
    Result fromDescriptor(bool ipv6, Result (*reading)(int)) const;
    using DelegateCall = std::function<void(PNAsyncSocketDelegate&, const Ref<PNAsyncSocket>&)>;
    void notifyDelegate(PNAsyncSocketDelegateMethod method, DelegateCall call);
    Ref<PNAsyncSocket> selfRef();

    // Connecting (socket queue).
    bool preConnectWithInterface(const std::optional<std::string>& interface, Ref<Error>* error);
    void lookupDidSucceed(int index, std::optional<Bytes> address4, std::optional<Bytes> address6);
    void lookupDidFail(int index, Ref<Error> error);
    bool connectWithAddress(std::optional<Bytes> address4, std::optional<Bytes> address6, Ref<Error>* error);
    void didConnect(int index);
    void didNotConnect(int index, Ref<Error> error);
    void startConnectTimeout(double timeout);
    void endConnectTimeout();
    void setupReadAndWriteSourcesForNewlyConnectedSocket(int fd);
    void suspendReadSource();
    void resumeReadSource();
    void suspendWriteSource();
    void resumeWriteSource();
    void closeWithError(const Ref<Error>& error);
    void maybeClose();
    int connectedDescriptor() const;
    void cancelAcceptSources();

    // Listening (socket queue).
    bool openListeningDescriptor(const Bytes& address, int* fd, Ref<Error>* error);
    void startAcceptSource(int fd, bool ipv6);
    bool doAccept(int listenFD, bool ipv6);

    // TLS (socket queue).
    void maybeStartTLS();
    void continueSSLHandshake();
    void finishSSLHandshake();
    void abortSSLHandshake(const Ref<Error>& error);
    bool handshakeInProgress() const;
    bool flushSSLBuffers();
    Ref<Error> sessionError() const;
    std::optional<Bytes> addressOf(bool peer) const;

    // Reading and writing (socket queue).
    void queueRead(ReadPacketRef packet);
    void maybeDequeueRead();
    void doReadData();
    void doReadEOF();
    void confirmReadEOF();
    // The plain (not secure) read source's event: the bytes it reported readable.
    void readSourceDidReport(std::uint64_t available);
    void completeCurrentRead();
    void endCurrentRead();
    void setupReadTimerWithTimeout(double timeout);
    void doReadTimeout();
    void doReadTimeoutWithExtension(double extension);
    void maybeDequeueWrite();
    void doWriteData();
    void completeCurrentWrite();
    void endCurrentWrite();
    void setupWriteTimerWithTimeout(double timeout);
    void doWriteTimeout();
    void doWriteTimeoutWithExtension(double extension);

    const Ref<Queue> socketQueue_;
    std::uint32_t flags_ = 0;
    std::uint16_t config_ = 0;
    Weak<PNAsyncSocketDelegate> delegate_;
    Ref<Queue> delegateQueue_;
    int socket4FD_ = -1;
    int socket6FD_ = -1;
    int connectIndex_ = 0;
    std::optional<Bytes> connectInterface4_;
    std::optional<Bytes> connectInterface6_;
    Ref<Source> connectTimer_;
    Ref<Source> connectSource_;  // write readiness of a connect in progress
    Ref<Source> accept4Source_;
    Ref<Source> accept6Source_;
    Ref<Source> readSource_;
    Ref<Source> writeSource_;
    Ref<Source> readTimer_;
    Ref<Source> writeTimer_;
    std::deque<ReadPacketRef> readQueue_;
    std::deque<WritePacketRef> writeQueue_;
    ReadPacketRef currentRead_;
    WritePacketRef currentWrite_;
    std::uint64_t socketFDBytesAvailable_ = 0;
    Bytes partialReadBuffer_;
    std::shared_ptr<PNReadBufferPool> readBuffers_;  // made by the first exact-length read, dropped at close
    Value userData_;
    std::unique_ptr<TlsSession> tls_;
};

}  // namespace lv
