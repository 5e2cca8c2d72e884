// PNAsyncSocket: the push client's asynchronous TCP socket (IPv4/IPv6, name lookup through the host
// map, optional local interface, connect time-out, queued reads and writes with tags and time-outs).
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
#include "push/async_packets.h"

namespace lv {

inline constexpr std::string_view kPNAsyncSocketErrorDomain = "PNAsyncSocketErrorDomain";
inline constexpr std::string_view kStreamErrorDomainNetDB = "kCFStreamErrorDomainNetDB";

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

private:
    using ReadPacketRef = std::shared_ptr<PNAsyncReadPacket>;
    using WritePacketRef = std::shared_ptr<PNAsyncWritePacket>;

    template <class Fn>
    void onSocketQueueSync(Fn&& fn) const;
    void onSocketQueueAsync(Queue::Block block);
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
    std::optional<Bytes> addressOf(bool peer) const;

    // Reading and writing (socket queue).
    void queueRead(ReadPacketRef packet);
    void maybeDequeueRead();
    void doReadData();
    void doReadEOF();
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
    Value userData_;
};

}  // namespace lv
