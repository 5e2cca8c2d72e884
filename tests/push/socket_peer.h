// Peers for socket tests: plain blocking POSIX sockets on loopback, scripted by the test and never
// built on the socket under test, plus a delegate that records what the socket reports (on main).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "push/async_socket.h"

namespace lv::test {

class RawPeer {
public:
    explicit RawPeer(int fd = -1) : fd_(fd) {}
    RawPeer(RawPeer&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    RawPeer& operator=(RawPeer&& other) noexcept;
    ~RawPeer();
    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    void send(std::string_view bytes) const;
    // Reads exactly n bytes, or what arrived before end of stream or the deadline.
    std::string receive(std::size_t n, double timeoutSeconds = 5) const;
    // True when the socket reports end of stream within the time-out (bytes before it are dropped).
    bool seesEndOfStream(double timeoutSeconds = 5) const;
    void shutdownWrite() const;
    void close();

private:
    int fd_;
};

class RawListener {
public:
    // Listens on 127.0.0.1 (or ::1) at an ephemeral port; fd -1 when that family is unavailable.
    explicit RawListener(int backlog = 16, bool ipv6 = false);
    ~RawListener();
    std::uint16_t port() const { return port_; }
    bool valid() const { return fd_ >= 0; }
    // The next connection, or an invalid peer when none came before the deadline.
    RawPeer accept(double timeoutSeconds = 5) const;

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A port on 127.0.0.1 with nothing listening.
std::uint16_t closedLoopbackPort();
// Descriptors open in this process.
int openDescriptorCount();

// Records each message as a line; touched on the main queue only.
class RecordingDelegate : public PNAsyncSocketDelegate {
public:
    static Ref<RecordingDelegate> make() { return std::make_shared<RecordingDelegate>(); }

    bool answers(PNAsyncSocketDelegateMethod method) const override;
    void didConnectToHost(const Ref<PNAsyncSocket>&, const std::string& host, std::uint16_t port) override;
    void didReadData(const Ref<PNAsyncSocket>&, const PNSocketData& data, std::int64_t tag) override;
    void didReadPartialDataOfLength(const Ref<PNAsyncSocket>&, std::uint64_t length, std::int64_t tag) override;
    double shouldTimeoutReadWithTag(const Ref<PNAsyncSocket>&, std::int64_t tag, double elapsed,
                                    std::uint64_t bytesDone) override;
    void didWriteDataWithTag(const Ref<PNAsyncSocket>&, std::int64_t tag) override;
    double shouldTimeoutWriteWithTag(const Ref<PNAsyncSocket>&, std::int64_t tag, double elapsed,
                                     std::uint64_t bytesDone) override;
    void didWritePartialDataOfLength(const Ref<PNAsyncSocket>&, std::uint64_t length, std::int64_t tag) override;
    void socketDidCloseReadStream(const Ref<PNAsyncSocket>&) override;
    void socketDidDisconnect(const Ref<PNAsyncSocket>&, const Ref<Error>& error) override;
    void didAcceptNewSocket(const Ref<PNAsyncSocket>&, const Ref<PNAsyncSocket>& accepted) override;
    void socketDidSecure(const Ref<PNAsyncSocket>&) override;

    // Pumps main until a line starting with the prefix has been recorded.
    bool waitFor(const std::string& prefix, double timeoutSeconds = 5);
    bool has(const std::string& prefix) const;

    std::vector<std::string> events;
    std::vector<PNSocketData> reads;
    Ref<Error> disconnectError;
    std::size_t partialWrites = 0;  // not in events: their number depends on the kernel's buffers
    double readExtension = 0;  // the answer to read time-outs
    bool answersTimeouts = true;  // reads
    double writeExtension = 0;  // the answer to write time-outs
    bool answersWriteTimeouts = false;
    bool answersAccept = true;
    std::vector<Ref<PNAsyncSocket>> accepted;  // kept, as a listener's delegate must
};

}  // namespace lv::test
