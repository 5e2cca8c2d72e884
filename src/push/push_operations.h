// The push server operations, one short-lived connection each to the push server host on port 8080:
// `PNWireRegister` (one register frame, command 4), and `PNWireUnregister`, `PNWireTokenTag` and
// `PNWirePushClick`, which first exchange a reconnect frame (command 6) and then send their own
// (5, 15, 16). An operation owns itself from creation until its socket reports the disconnect (or
// until its first call gives up before connecting); the callbacks tell the caller which way it went.
//
// Threads: main thread only. Operations are made, called and finished there; the socket's delegate
// queue is the main queue, so every callback runs on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "push/async_socket.h"
#include "push/push_config.h"

namespace lv {

class PNWireTokenTagReq;

inline constexpr std::uint16_t kPNPushServerPort = 8080;
// Seconds an exchange may take, from its frame being queued (the connection included) to its whole
// reply; the HTTP channel's request time-out. An exchange that runs out ends the operation through
// its error callback and closes the socket.
inline constexpr double kPNReplyTimeout = 10.0;

class PNWireOperation : public PNAsyncSocketDelegate, public std::enable_shared_from_this<PNWireOperation> {
public:
    using Callback = std::function<void()>;

    // Makes the socket. The connection itself starts with the operation's first call, once its
    // input has passed the checks, so a call that gives up opens nothing.
    bool connect();
    // Ends the connection and drops the socket.
    void closeSocket();

    // Operations made and not yet finished (the registry that keeps them alive).
    static std::size_t liveOperations();
    // The time an exchange has for its reply (kPNReplyTimeout unless a test shortened it); read when an
    // exchange begins.
    static double replyTimeout();
    static void setReplyTimeoutForTesting(double seconds);

    // The socket's messages. A message from a socket the operation no longer holds -- its exchange
    // ended by a reply, the time-out or closeSocket() before the message ran -- is ignored, except the
    // disconnect, which ends the operation. A connection that ends before the operation has reported
    // calls the error callback: every operation calls exactly one of its callbacks (when set).
    bool answers(PNAsyncSocketDelegateMethod method) const override;
    void didConnectToHost(const Ref<PNAsyncSocket>& socket, const std::string& host, std::uint16_t port) final;
    void didReadData(const Ref<PNAsyncSocket>& socket, const PNSocketData& data, std::int64_t tag) final;
    void socketDidDisconnect(const Ref<PNAsyncSocket>& socket, const Ref<Error>& error) final;

protected:
    template <class T>
    static Ref<T> make() {
        auto operation = makeRef<T>();
        adopt(operation);
        return operation;
    }
    static void adopt(const Ref<PNWireOperation>& operation);

    // Starts the connection and queues the frame with the tag (and a read with it when asked); on a
    // refusal logs "socket get error: %@", calls the error callback and releases the operation.
    bool startWithFrame(const Bytes& frame, std::int64_t tag, bool queueRead);
    // Queues the frame and then the reply's read.
    void writeFrameAndRead(const Bytes& frame, std::int64_t tag);
    // Gives up before connecting: the error callback, then the release.
    void giveUp();
    void queueRead(std::int64_t tag);
    // The connection to the server is up (the operation's own socket).
    virtual void connected() = 0;
    // A whole reply frame stripped by PNTlv (none when it failed), for the exchange with the tag.
    virtual void replyArrived(const std::optional<Bytes>& record, std::int64_t tag) = 0;
    // The outcome, once: the success callback when the reply was good and one is set, else the error
    // callback when set. Later reports are ignored.
    void report(bool good);
    void callError();

    Ref<PNAsyncSocket> socket_;
    Callback success_;
    Callback error_;

private:
    void release();
    bool deliverGatheredReply();
    // An exchange begins: its tag, and the time its reply has.
    void beginExchange(std::int64_t tag);
    void endExchange();
    void replyTimedOut();

    Bytes gathered_;         // reply bytes of the current exchange not yet handed on
    int readsPending_ = 0;   // reads queued on the socket and not completed
    std::int64_t exchange_ = 0;  // the tag of the exchange whose reply is awaited
    Ref<Source> replyTimer_;  // runs while an exchange awaits its reply
    bool reported_ = false;   // a callback's turn has come (called, or none set)
    bool finished_ = false;
};

// Registers the token: one frame, command 4.
class PNWireRegister final : public PNWireOperation {
public:
    static Ref<PNWireRegister> make() { return PNWireOperation::make<PNWireRegister>(); }

    const PNText& Account() const { return account_; }
    void setAccount(PNText account) { account_ = std::move(account); }
    const Callback& registersuccessCallback() const { return success_; }
    void setRegistersuccessCallback(Callback callback) { success_ = std::move(callback); }
    const Callback& registerErrorCallback() const { return error_; }
    void setRegisterErrorCallback(Callback callback) { error_ = std::move(callback); }

    // Builds, frames and writes the register request and queues the reply's read. A nil token text or
    // app key (logged) or a frame too large calls the error callback and opens no connection.
    // A good reply stores the registration row and keeps the token as the one last registered.
    void send(const PNText& token, std::uint32_t appID, const PNText& appkey, const PNText& account);

private:
    void connected() override;
    void replyArrived(const std::optional<Bytes>& record, std::int64_t tag) override;
    PNText account_;
    PNText token_;
};

// The operations that open with a reconnect frame (tag 0) and then send their own (tag 1).
class PNWireReconnectFirst : public PNWireOperation {
public:
    // Builds, frames and writes the operation's own frame and queues its read.
    void sendSecond();

protected:
    // Writes the reconnect frame for the token after the checks; false when it gave up.
    bool sendReconnect(const PNText& token);
    virtual std::optional<Bytes> secondFrame() = 0;

private:
    void connected() override;
    void replyArrived(const std::optional<Bytes>& record, std::int64_t tag) override;
};

// Unregisters a token: reconnect, then command 5. Both frames carry the token given to send().
class PNWireUnregister final : public PNWireReconnectFirst {
public:
    static Ref<PNWireUnregister> make() { return PNWireOperation::make<PNWireUnregister>(); }

    const Callback& unRegistersuccessCallback() const { return success_; }
    void setUnRegistersuccessCallback(Callback callback) { success_ = std::move(callback); }
    const Callback& unRegisterErrorCallback() const { return error_; }
    void setUnRegisterErrorCallback(Callback callback) { error_ = std::move(callback); }

    void send(const PNText& token);

private:
    std::optional<Bytes> secondFrame() override;
    PNText token_;
};

// Sets (flag 1) or deletes (flag 2) a tag: reconnect, then command 15.
class PNWireTokenTag final : public PNWireReconnectFirst {
public:
    static Ref<PNWireTokenTag> make() { return PNWireOperation::make<PNWireTokenTag>(); }

    const Callback& tagsuccessCallback() const { return success_; }
    void setTagsuccessCallback(Callback callback) { success_ = std::move(callback); }
    const Callback& tagErrorCallback() const { return error_; }
    void setTagErrorCallback(Callback callback) { error_ = std::move(callback); }
    const PNText& tag() const { return tag_; }
    std::uint8_t flag() const { return flag_; }

    // A nil tag logs "[pnwarn]tag's value is nil", calls the error callback and opens no connection.
    void send(const PNText& tag, std::uint8_t flag);

private:
    std::optional<Bytes> secondFrame() override;
    void fillRequest(PNWireTokenTagReq& request) const;
    PNText tag_;
    std::uint8_t flag_ = 0;
};

// Reports a received (kind 2) or clicked (kind 1) notification: reconnect, then command 16.
class PNWirePushClick final : public PNWireReconnectFirst {
public:
    static Ref<PNWirePushClick> make() { return PNWireOperation::make<PNWirePushClick>(); }

    const Callback& clicksuccessCallback() const { return success_; }
    void setClicksuccessCallback(Callback callback) { success_ = std::move(callback); }
    const Callback& clickErrorCallback() const { return error_; }
    void setClickErrorCallback(Callback callback) { error_ = std::move(callback); }
    std::uint32_t bid() const { return bid_; }
    void setBid(std::uint32_t bid) { bid_ = bid; }
    std::uint32_t ts() const { return ts_; }
    void setTs(std::uint32_t ts) { ts_ = ts; }
    std::uint32_t type() const { return type_; }

    void send(std::uint32_t kind);

private:
    std::optional<Bytes> secondFrame() override;
    std::uint32_t bid_ = 0;
    std::uint32_t ts_ = 0;
    std::uint32_t type_ = 0;
};

}  // namespace lv
