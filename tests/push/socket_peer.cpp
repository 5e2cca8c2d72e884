#include "push/socket_peer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "platform/dispatch/run_loop.h"

namespace lv::test {

namespace {

int remainingMillis(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::chrono::steady_clock::time_point after(double seconds) {
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

bool waitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, remainingMillis(deadline)) > 0;
}

}  // namespace

RawPeer& RawPeer::operator=(RawPeer&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

RawPeer::~RawPeer() { close(); }

void RawPeer::send(std::string_view bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

std::string RawPeer::receive(std::size_t n, double timeoutSeconds) const {
    std::string out;
    const auto deadline = after(timeoutSeconds);
    char chunk[65536];
    while (out.size() < n && waitReadable(fd_, deadline)) {
        const ssize_t got = ::recv(fd_, chunk, std::min(sizeof chunk, n - out.size()), 0);
        if (got <= 0) break;
        out.append(chunk, static_cast<std::size_t>(got));
    }
    return out;
}

bool RawPeer::seesEndOfStream(double timeoutSeconds) const {
    const auto deadline = after(timeoutSeconds);
    char chunk[4096];
    while (waitReadable(fd_, deadline)) {
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got <= 0) return true;
    }
    return false;
}

void RawPeer::shutdownWrite() const { ::shutdown(fd_, SHUT_WR); }

void RawPeer::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

RawListener::RawListener(int backlog, bool ipv6) {
    fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (ipv6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        length = sizeof *in6;
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *in4;
    }
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd_, backlog) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &length);
    port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

RawListener::~RawListener() {
    if (fd_ >= 0) ::close(fd_);
}

RawPeer RawListener::accept(double timeoutSeconds) const {
    if (!waitReadable(fd_, after(timeoutSeconds))) return RawPeer();
    return RawPeer(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
}

std::uint16_t closedLoopbackPort() {
    RawListener listener;
    return listener.port();  // closed again when the listener goes
}

int openDescriptorCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        ::closedir(dir);
    }
    return count - 1;  // the directory's own descriptor
}

bool RecordingDelegate::answers(PNAsyncSocketDelegateMethod method) const {
    if (method == PNAsyncSocketDelegateMethod::ShouldTimeoutRead) return answersTimeouts;
    if (method == PNAsyncSocketDelegateMethod::ShouldTimeoutWrite) return answersWriteTimeouts;
    if (method == PNAsyncSocketDelegateMethod::DidAcceptNewSocket) return answersAccept;
    return true;
}

void RecordingDelegate::didConnectToHost(const Ref<PNAsyncSocket>&, const std::string& host, std::uint16_t) {
    events.push_back("connect " + host);
}

void RecordingDelegate::didReadData(const Ref<PNAsyncSocket>&, const PNSocketData& data, std::int64_t tag) {
    reads.push_back(data);
    events.push_back("read " + std::to_string(tag) + " " + data.text());
}

void RecordingDelegate::didReadPartialDataOfLength(const Ref<PNAsyncSocket>&, std::uint64_t length, std::int64_t tag) {
    events.push_back("partial " + std::to_string(length) + " " + std::to_string(tag));
}

double RecordingDelegate::shouldTimeoutReadWithTag(const Ref<PNAsyncSocket>&, std::int64_t tag, double elapsed,
                                                   std::uint64_t bytesDone) {
    events.push_back("timeout? " + std::to_string(tag) + " " + std::to_string(bytesDone) + " " +
                     std::to_string(elapsed > 0 ? 1 : 0));
    return readExtension;
}

void RecordingDelegate::didWriteDataWithTag(const Ref<PNAsyncSocket>&, std::int64_t tag) {
    events.push_back("write " + std::to_string(tag));
}

double RecordingDelegate::shouldTimeoutWriteWithTag(const Ref<PNAsyncSocket>&, std::int64_t tag, double,
                                                    std::uint64_t) {
    events.push_back("write timeout? " + std::to_string(tag));
    return writeExtension;
}

void RecordingDelegate::didWritePartialDataOfLength(const Ref<PNAsyncSocket>&, std::uint64_t, std::int64_t) {
    ++partialWrites;
}

void RecordingDelegate::socketDidCloseReadStream(const Ref<PNAsyncSocket>&) { events.push_back("read stream closed"); }

void RecordingDelegate::socketDidDisconnect(const Ref<PNAsyncSocket>&, const Ref<Error>& error) {
    disconnectError = error;
    events.push_back(error ? "disconnect " + error->domain() + " " + std::to_string(error->code()) : "disconnect");
}

void RecordingDelegate::didAcceptNewSocket(const Ref<PNAsyncSocket>&, const Ref<PNAsyncSocket>& socket) {
    accepted.push_back(socket);
    events.push_back("accept");
}

void RecordingDelegate::socketDidSecure(const Ref<PNAsyncSocket>&) { events.push_back("secure"); }

bool RecordingDelegate::has(const std::string& prefix) const {
    for (const auto& line : events) {
        if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

bool RecordingDelegate::waitFor(const std::string& prefix, double timeoutSeconds) {
    return runMainUntil([&] { return has(prefix); }, timeoutSeconds);
}

}  // namespace lv::test
