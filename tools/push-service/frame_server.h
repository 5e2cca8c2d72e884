// The push service's frame server on 127.0.0.1: a plain listener and, given a certificate and key, a
// TLS listener (OpenSSL), each on a thread of its own with blocking sockets and one thread per
// connection. Each frame's header is checked (magic, random 0-4, zero words, length 17 or more, byte
// 14 = 1, result code 0; a bad header closes the connection), its record read with the service's own
// Tlv tree codec, and the command answered: 4 registers the device, 6 hands over the messages queued
// for the connection's token, 5 unregisters, 15 sets or deletes a tag, 16 records a click. Each
// command's reply can be scripted (code, empty record, short reply, split, coalesced, delay, closed
// unanswered, never answered) and the listeners can refuse connections.
// Thread rule: every public member may be called from any thread (state sits behind one lock); the
// event observer is called on the server's threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tlv_tree.h"

namespace lv::tools {

// One frame as received.
struct PushFrame {
    int connection = 0;  // numbered from 1 in accept order
    bool tls = false;
    int command = -1;  // byte 15, -1 when the header was refused before it
    std::string frame;   // the whole frame
    std::string record;  // the bytes after the 17-byte header
    std::optional<TlvFields> fields;  // the record as read by the tree codec
    std::string fault;   // why the header was refused; empty when it was good
};

// How one command is answered.
struct PushFrameControl {
    int code = 0;             // the result code of the reply
    bool emptyRecord = false;  // the 17-byte header alone
    std::size_t truncateTo = 0;  // send only that many bytes of the reply (10 or 16) and close; 0: all
    bool split = false;       // the reply in two writes with a pause between
    int coalesceWith = -1;    // append the reply this command would get; its own request is then not answered
    double delaySeconds = 0;  // before the reply
    bool closeUnanswered = false;
    bool neverAnswer = false;  // read on, never reply
};

struct PushDevice {
    std::string token;
    std::uint32_t accessId = 0;
    std::optional<std::string> account;
};

struct PushClick {
    std::string token;
    std::uint32_t accessId = 0;
    std::uint32_t broadcastId = 0;
    std::uint32_t timestamp = 0;
    std::uint32_t type = 0;
};

// A message queued for a token, handed over in the reply to its next reconnect frame.
struct PushMessage {
    std::uint32_t msgId = 0;
    std::uint32_t accessId = 0;
    std::uint32_t broadcastId = 0;
    std::uint32_t timestamp = 0;
    std::string title;
    std::string content;
};

class PushFrameServer {
public:
    PushFrameServer();
    ~PushFrameServer();
    PushFrameServer(const PushFrameServer&) = delete;
    PushFrameServer& operator=(const PushFrameServer&) = delete;

    // Binds 127.0.0.1 on the port (0: any free one); with certificate and key files (PEM) also a TLS
    // listener on tlsPort. False when a port cannot be bound or the identity cannot be read.
    bool start(int port = 0, const std::string& certificateFile = {}, const std::string& keyFile = {},
               int tlsPort = 0);
    void stop();
    int port() const;
    int tlsPort() const;

    void setControl(int command, PushFrameControl control);
    void clearControls();
    // Refusing closes the listeners (connections are refused by the system); lifting it listens again
    // on the same ports.
    bool setRefusing(bool refusing);

    // "push": queues a message for the token and answers the payload the app receives,
    // {"pn":{"bid":…,"ts":…}}.
    std::string push(const std::string& token, std::uint32_t broadcastId, std::uint32_t timestamp,
                     const std::string& title = {}, const std::string& content = {});

    std::vector<PushFrame> frames() const;
    std::vector<int> commands() const;
    std::vector<PushDevice> devices() const;
    std::map<std::string, std::set<std::string>> tags() const;  // token → tags
    std::vector<std::string> unregisteredTokens() const;
    std::vector<PushClick> clicks() const;
    int connectionsAccepted() const;
    int connectionsClosed() const;  // connections whose threads have ended
    void clearRecords();
    // Waits (without pumping anything) until n frames have arrived; false at the deadline.
    bool waitForFrames(std::size_t n, double seconds) const;
    bool waitForClosedConnections(int n, double seconds) const;

    // Called with one line per event (connection, frame, reply, close), on the server's threads.
    void setEventObserver(std::function<void(const std::string&)> observer);

    // The reply frame (header and record) for a command and result code, with the given record.
    static std::string replyFrame(int command, int code, const std::string& record);

private:
    struct Connection;
    struct Listener {
        int fd = -1;
        int port = 0;
        bool tls = false;
        std::thread thread;
    };

    bool openListener(Listener* listener, int port, bool tls);
    void closeListener(Listener* listener);
    void acceptLoop(Listener* listener);
    void serve(const std::shared_ptr<Connection>& connection);
    bool answer(Connection& connection, PushFrame& frame);
    std::string replyRecord(Connection& connection, int command, const PushFrame& frame);
    bool waitUnlessStopped(double seconds);
    void emit(const std::string& line);

    Listener plain_;
    Listener secure_;
    void* sslContext_ = nullptr;  // SSL_CTX
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    bool refusing_ = false;
    std::map<int, PushFrameControl> controls_;
    std::vector<PushFrame> frames_;
    std::vector<PushDevice> devices_;
    std::map<std::string, std::set<std::string>> tags_;
    std::vector<std::string> unregistered_;
    std::vector<PushClick> clicks_;
    std::map<std::string, std::vector<PushMessage>> queued_;
    std::uint32_t nextMessageId_ = 1;
    int accepted_ = 0;
    int closed_ = 0;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::vector<std::thread> connectionThreads_;
    std::function<void(const std::string&)> observer_;
};

}  // namespace lv::tools
