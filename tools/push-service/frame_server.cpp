#include "frame_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <random>

namespace lv::tools {
namespace {

constexpr std::size_t kHeaderSize = 17;
constexpr std::size_t kMaxFrame = 65535;

SSL_CTX* contextOf(void* context) {
    return static_cast<SSL_CTX*>(context);
}

std::uint32_t bigEndian32(const std::string& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value = (value << 8) | static_cast<std::uint8_t>(bytes[offset + i]);
    }
    return value;
}

std::uint32_t littleEndian32(const std::string& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;) {
        value = (value << 8) | static_cast<std::uint8_t>(bytes[offset + i]);
    }
    return value;
}

// What is wrong with a header (the first 17 bytes), or nothing.
std::string headerFault(const std::string& frame) {
    if (static_cast<std::uint8_t>(frame[0]) != 0x50 || static_cast<std::uint8_t>(frame[1]) != 0x0A) {
        return "bad magic";
    }
    if (littleEndian32(frame, 2) > 4) {
        return "random above 4";
    }
    const std::uint32_t length = bigEndian32(frame, 6);
    if (length < kHeaderSize || length > kMaxFrame) {
        return "length " + std::to_string(length);
    }
    if (frame.size() < kHeaderSize) {
        return {};
    }
    if (bigEndian32(frame, 10) != 0) {
        return "zero word not zero";
    }
    if (frame[14] != 1) {
        return "byte 14 not 1";
    }
    if (frame[16] != 0) {
        return "result code " + std::to_string(static_cast<std::uint8_t>(frame[16]));
    }
    return {};
}

std::uint32_t u32(std::optional<std::int64_t> value) {
    return static_cast<std::uint32_t>(value.value_or(0));
}

}  // namespace

struct PushFrameServer::Connection {
    int number = 0;
    int fd = -1;
    bool tls = false;
    SSL* ssl = nullptr;
    std::string token;          // from the reconnect frame
    std::set<int> preAnswered;  // commands whose replies went out coalesced with an earlier one
    bool done = false;          // guarded by the server's lock

    bool readExact(std::string* out, std::size_t n) {
        std::size_t start = out->size();
        out->resize(start + n);
        while (start < out->size()) {
            const std::size_t want = out->size() - start;
            long got = 0;
            if (ssl != nullptr) {
                got = SSL_read(ssl, out->data() + start, static_cast<int>(want));
            } else {
                got = ::recv(fd, out->data() + start, want, 0);
            }
            if (got <= 0) {
                return false;
            }
            start += static_cast<std::size_t>(got);
        }
        return true;
    }

    bool writeAll(std::string_view bytes) {
        while (!bytes.empty()) {
            long put = 0;
            if (ssl != nullptr) {
                put = SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()));
            } else {
                put = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            }
            if (put <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(put));
        }
        return true;
    }
};

PushFrameServer::PushFrameServer() = default;

PushFrameServer::~PushFrameServer() {
    stop();
}

bool PushFrameServer::openListener(Listener* listener, int port, bool tls) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return false;
    }
    listener->fd = fd;
    listener->port = ntohs(address.sin_port);
    listener->tls = tls;
    return true;
}

void PushFrameServer::closeListener(Listener* listener) {
    if (listener->fd >= 0) {
        ::close(listener->fd);
        listener->fd = -1;
    }
}

bool PushFrameServer::start(int port, const std::string& certificateFile, const std::string& keyFile,
                            int tlsPort) {
    // A peer gone while a reply is written must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    if (!certificateFile.empty()) {
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        if (context == nullptr || SSL_CTX_use_certificate_chain_file(context, certificateFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            SSL_CTX_free(context);
            ERR_clear_error();
            return false;
        }
        sslContext_ = context;
        if (!openListener(&secure_, tlsPort, true)) {
            stop();
            return false;
        }
    }
    if (!openListener(&plain_, port, false)) {
        stop();
        return false;
    }
    plain_.thread = std::thread([this] { acceptLoop(&plain_); });
    if (secure_.fd >= 0) {
        secure_.thread = std::thread([this] { acceptLoop(&secure_); });
    }
    return true;
}

void PushFrameServer::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (const auto& connection : connections_) {
            if (!connection->done && connection->fd >= 0) {
                ::shutdown(connection->fd, SHUT_RDWR);
            }
        }
    }
    changed_.notify_all();
    for (Listener* listener : {&plain_, &secure_}) {
        if (listener->thread.joinable()) {
            listener->thread.join();
        }
        closeListener(listener);
    }
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(connectionThreads_);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (sslContext_ != nullptr) {
        SSL_CTX_free(contextOf(sslContext_));
        sslContext_ = nullptr;
    }
}

int PushFrameServer::port() const {
    std::lock_guard lock(mutex_);
    return plain_.port;
}

int PushFrameServer::tlsPort() const {
    std::lock_guard lock(mutex_);
    return secure_.port;
}

void PushFrameServer::setControl(int command, PushFrameControl control) {
    std::lock_guard lock(mutex_);
    controls_[command] = control;
}

void PushFrameServer::clearControls() {
    std::lock_guard lock(mutex_);
    controls_.clear();
}

bool PushFrameServer::setRefusing(bool refusing) {
    std::unique_lock lock(mutex_);
    refusing_ = refusing;
    changed_.notify_all();
    // The accept loops own the listening descriptors; wait until they have followed.
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] {
        const bool plainDone = (plain_.fd < 0) == refusing;
        const bool secureDone = sslContext_ == nullptr || (secure_.fd < 0) == refusing;
        return stopping_ || (plainDone && secureDone);
    });
}

void PushFrameServer::acceptLoop(Listener* listener) {
    for (;;) {
        int fd = -1;
        {
            std::unique_lock lock(mutex_);
            if (stopping_) {
                return;
            }
            if (refusing_ && listener->fd >= 0) {
                closeListener(listener);
                changed_.notify_all();
            } else if (!refusing_ && listener->fd < 0) {
                const int port = listener->port;
                if (!openListener(listener, port, listener->tls)) {
                    listener->port = port;
                }
                changed_.notify_all();
            }
            if (listener->fd < 0) {
                changed_.wait_for(lock, std::chrono::milliseconds(100));
                continue;
            }
            fd = listener->fd;
        }
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) {
            continue;
        }
        const int accepted = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (accepted < 0) {
            continue;
        }
        const int on = 1;
        ::setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto connection = std::make_shared<Connection>();
        connection->fd = accepted;
        connection->tls = listener->tls;
        std::lock_guard lock(mutex_);
        if (stopping_) {
            ::close(accepted);
            return;
        }
        connection->number = ++accepted_;
        connections_.push_back(connection);
        connectionThreads_.emplace_back([this, connection] { serve(connection); });
    }
}

void PushFrameServer::serve(const std::shared_ptr<Connection>& connection) {
    emit("connection " + std::to_string(connection->number) + (connection->tls ? " tls" : " plain") + " accepted");
    bool ready = true;
    if (connection->tls) {
        connection->ssl = SSL_new(contextOf(sslContext_));
        ready = connection->ssl != nullptr && SSL_set_fd(connection->ssl, connection->fd) == 1 &&
                SSL_accept(connection->ssl) == 1;
        if (!ready) {
            emit("connection " + std::to_string(connection->number) + " TLS handshake failed");
        }
    }
    while (ready) {
        PushFrame frame;
        frame.connection = connection->number;
        frame.tls = connection->tls;
        if (!connection->readExact(&frame.frame, 10)) {
            break;
        }
        frame.fault = headerFault(frame.frame);
        if (frame.fault.empty()) {
            const std::size_t length = bigEndian32(frame.frame, 6);
            if (!connection->readExact(&frame.frame, length - 10)) {
                break;
            }
            frame.command = static_cast<std::uint8_t>(frame.frame[15]);
            frame.fault = headerFault(frame.frame);
        }
        if (!frame.fault.empty()) {
            emit("connection " + std::to_string(connection->number) + " refused a frame: " + frame.fault);
            std::lock_guard lock(mutex_);
            frames_.push_back(std::move(frame));
            changed_.notify_all();
            break;
        }
        frame.record = frame.frame.substr(kHeaderSize);
        frame.fields = decodeTlvRecord(frame.record);
        if (!answer(*connection, frame)) {
            break;
        }
    }
    if (connection->ssl != nullptr) {
        SSL_shutdown(connection->ssl);
        SSL_free(connection->ssl);
    }
    emit("connection " + std::to_string(connection->number) + " closed");
    std::lock_guard lock(mutex_);
    ::close(connection->fd);
    connection->done = true;
    ++closed_;
    changed_.notify_all();
}

bool PushFrameServer::answer(Connection& connection, PushFrame& frame) {
    const int command = frame.command;
    PushFrameControl control;
    std::string reply;
    bool preAnswered = false;
    {
        std::lock_guard lock(mutex_);
        if (auto it = controls_.find(command); it != controls_.end()) {
            control = it->second;
        }
        preAnswered = connection.preAnswered.erase(command) > 0;
        frames_.push_back(frame);
        changed_.notify_all();
    }
    emit("connection " + std::to_string(connection.number) + " frame " + std::to_string(command) + " of " +
         std::to_string(frame.frame.size()) + " bytes" + (frame.fields ? "" : " (record unreadable)"));
    if (preAnswered) {
        // Its reply went out with the previous one; only its effect is left.
        if (control.code == 0) {
            replyRecord(connection, command, frame);
        }
        return true;
    }
    if (control.closeUnanswered) {
        emit("connection " + std::to_string(connection.number) + " closes unanswered");
        return false;
    }
    if (control.neverAnswer) {
        return true;
    }
    const std::string record = control.code == 0 ? replyRecord(connection, command, frame) : std::string();
    if (control.delaySeconds > 0 && !waitUnlessStopped(control.delaySeconds)) {
        return false;
    }
    reply = replyFrame(command, control.code, control.emptyRecord ? std::string() : record);
    if (control.coalesceWith >= 0) {
        PushFrameControl next;
        {
            std::lock_guard lock(mutex_);
            if (auto it = controls_.find(control.coalesceWith); it != controls_.end()) {
                next = it->second;
            }
            connection.preAnswered.insert(control.coalesceWith);
        }
        reply += replyFrame(control.coalesceWith, next.code, encodeTlvRecord({TlvNode::number(0, 0)}));
    }
    const bool truncated = control.truncateTo > 0 && control.truncateTo < reply.size();
    if (truncated) {
        reply.resize(control.truncateTo);
    }
    bool written = false;
    if (control.split && reply.size() > 1) {
        const std::size_t half = reply.size() / 2;
        written = connection.writeAll(std::string_view(reply).substr(0, half)) && waitUnlessStopped(0.05) &&
                  connection.writeAll(std::string_view(reply).substr(half));
    } else {
        written = connection.writeAll(reply);
    }
    emit("connection " + std::to_string(connection.number) + " reply " + std::to_string(command) + " code " +
         std::to_string(control.code) + " of " + std::to_string(reply.size()) + " bytes" +
         (control.split ? " in two writes" : ""));
    // A cut reply ends the connection, as a server that died mid-reply would.
    return written && !truncated;
}

std::string PushFrameServer::replyRecord(Connection& connection, int command, const PushFrame& frame) {
    static const TlvFields kNoFields;
    const TlvFields& fields = frame.fields ? *frame.fields : kNoFields;
    std::lock_guard lock(mutex_);
    switch (command) {
    case 4: {
        PushDevice device{textField(fields, 9).value_or(""), u32(integerField(fields, 0)), textField(fields, 4)};
        std::erase_if(devices_, [&](const PushDevice& known) { return known.token == device.token; });
        devices_.push_back(device);
        return encodeTlvRecord({TlvNode::number(0, 1), TlvNode::text(1, device.token)});
    }
    case 6: {
        connection.token = textField(fields, 0).value_or("");
        TlvFields reply{TlvNode::number(0, 1)};
        std::vector<TlvNode> messages;
        for (const PushMessage& message : queued_[connection.token]) {
            messages.push_back(TlvNode::record(0, {TlvNode::number(0, message.msgId),
                                                   TlvNode::number(1, message.accessId),
                                                   TlvNode::number(2, message.broadcastId),
                                                   TlvNode::text(3, message.title), TlvNode::text(4, message.content),
                                                   TlvNode::number(5, 0), TlvNode::number(7, message.timestamp)}));
        }
        queued_.erase(connection.token);
        if (!messages.empty()) {
            reply.push_back(TlvNode::list(1, std::move(messages)));
        }
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        reply.push_back(TlvNode::number(2, std::chrono::duration_cast<std::chrono::microseconds>(now).count()));
        return encodeTlvRecord(reply);
    }
    case 5:
        unregistered_.push_back(connection.token);
        std::erase_if(devices_, [&](const PushDevice& known) { return known.token == connection.token; });
        return encodeTlvRecord({TlvNode::number(0, 0)});
    case 15: {
        const auto tag = textField(fields, 1);
        const auto flag = integerField(fields, 2);
        if (tag && flag == 1) {
            tags_[connection.token].insert(*tag);
        } else if (tag && flag == 2) {
            tags_[connection.token].erase(*tag);
        }
        return encodeTlvRecord({TlvNode::number(0, 0)});
    }
    case 16:
        if (const TlvNode* list = findField(fields, 1); list != nullptr && list->kind == TlvKind::List) {
            for (const TlvNode& report : list->items) {
                clicks_.push_back({connection.token, u32(integerField(report.items, 1)),
                                   u32(integerField(report.items, 2)), u32(integerField(report.items, 3)),
                                   u32(integerField(report.items, 4))});
            }
        }
        return encodeTlvRecord({TlvNode::number(0, 0)});
    default:
        return {};
    }
}

std::string PushFrameServer::replyFrame(int command, int code, const std::string& record) {
    static std::mutex randomLock;
    static std::minstd_rand random(std::random_device{}());
    std::uint32_t salt = 0;
    {
        std::lock_guard lock(randomLock);
        salt = static_cast<std::uint32_t>(random() % 5);
    }
    const auto length = static_cast<std::uint32_t>(kHeaderSize + record.size());
    std::string frame{'\x50', '\x0A'};
    for (int shift = 0; shift < 32; shift += 8) {
        frame.push_back(static_cast<char>((salt >> shift) & 0xFF));
    }
    for (int shift = 24; shift >= 0; shift -= 8) {
        frame.push_back(static_cast<char>((length >> shift) & 0xFF));
    }
    frame.append(4, '\0');
    frame.push_back('\x01');
    frame.push_back(static_cast<char>(command & 0x7F));
    frame.push_back(static_cast<char>(code));
    return frame + record;
}

std::string PushFrameServer::push(const std::string& token, std::uint32_t broadcastId, std::uint32_t timestamp,
                                  const std::string& title, const std::string& content) {
    {
        std::lock_guard lock(mutex_);
        queued_[token].push_back({nextMessageId_++, 0, broadcastId, timestamp, title, content});
    }
    emit("queued message bid " + std::to_string(broadcastId) + " for " + token);
    return R"({"pn":{"bid":)" + std::to_string(broadcastId) + R"(,"ts":)" + std::to_string(timestamp) + "}}";
}

std::vector<PushFrame> PushFrameServer::frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

std::vector<int> PushFrameServer::commands() const {
    std::lock_guard lock(mutex_);
    std::vector<int> out;
    for (const PushFrame& frame : frames_) {
        out.push_back(frame.command);
    }
    return out;
}

std::vector<PushDevice> PushFrameServer::devices() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

std::map<std::string, std::set<std::string>> PushFrameServer::tags() const {
    std::lock_guard lock(mutex_);
    return tags_;
}

std::vector<std::string> PushFrameServer::unregisteredTokens() const {
    std::lock_guard lock(mutex_);
    return unregistered_;
}

std::vector<PushClick> PushFrameServer::clicks() const {
    std::lock_guard lock(mutex_);
    return clicks_;
}

int PushFrameServer::connectionsAccepted() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

int PushFrameServer::connectionsClosed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

void PushFrameServer::clearRecords() {
    std::lock_guard lock(mutex_);
    frames_.clear();
    clicks_.clear();
    unregistered_.clear();
}

bool PushFrameServer::waitForFrames(std::size_t n, double seconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return frames_.size() >= n; });
}

bool PushFrameServer::waitForClosedConnections(int n, double seconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return closed_ >= n; });
}

void PushFrameServer::setEventObserver(std::function<void(const std::string&)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

bool PushFrameServer::waitUnlessStopped(double seconds) {
    std::unique_lock lock(mutex_);
    return !changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return stopping_; });
}

void PushFrameServer::emit(const std::string& line) {
    std::function<void(const std::string&)> observer;
    {
        std::lock_guard lock(mutex_);
        observer = observer_;
    }
    if (observer) {
        observer(line);
    }
}

}  // namespace lv::tools
