// The engine's own parts, shared by its files: a transfer's state and the engine thread's state
// (internal to lv_net; engine thread only unless said otherwise). engine.cpp holds the thread's turn,
// libcurl's set-up and callbacks; reply_body.cpp the reply body's bounds, decoding and flow control;
// transfer_queue.cpp the connection limits and the queue of transfers waiting for room.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/detail/spin_wait.h"
#include "platform/net/detail/content_decoder.h"
#include "platform/net/detail/curl_library.h"
#include "platform/net/detail/engine.h"

namespace lv::net_detail {

using EngineClock = std::chrono::steady_clock;

struct Transfer {
    std::uint64_t id = 0;
    CURL* easy = nullptr;
    TransferSpec spec;
    std::shared_ptr<TransferListener> listener;
    std::shared_ptr<TransferFlow> flow;
    curl_slist* headerList = nullptr;
    curl_slist* connectTo = nullptr;
    std::string host;  // the request's host, which the server's certificate must name
    std::string gateKey;  // the pool and origin whose running count this transfer takes part in
    int status = 0;
    HTTPHeaders responseHeaders;
    std::string lastHeaderName;
    bool headersDone = false;
    bool responsePosted = false;
    bool recvPaused = false;
    bool sendPaused = false;
    // The last traffic: bytes sent, header lines, and decoded body bytes (compressed bytes that decode
    // to nothing are no progress).
    EngineClock::time_point lastActivity = EngineClock::now();
    int abortCode = 0;
    std::string abortDetail;
    Ref<Error> abortError;
    curl_off_t lastSent = 0;
    curl_off_t bodyTaken = 0;
    std::int64_t received = 0;  // decoded body bytes of the current response
    std::int64_t wireReceived = 0;  // body bytes of the current response as they came (before decoding)
    // Bytes at the front of libcurl's next delivery that the decoder took already: a delivery paused
    // from the write callback is offered again whole.
    std::size_t retaken = 0;
    // The body's decoding when the engine asked for compressed replies (made at the first body byte
    // of each response), and the Content-Length the current response head declared.
    bool decodeBody = false;
    bool decoderMade = false;
    std::unique_ptr<ContentDecoder> decoder;
    std::optional<std::string> declaredLength;
    // Re-send guard: whether a request went out and whether anything came back since.
    bool requestStarted = false;
    bool replySeen = false;
    bool pumpEnded = false;
    curl_off_t uploaded = 0;  // libcurl's own count of body bytes sent (with chunk framing)

    void postResponse() {
        if (responsePosted || status == 0) return;
        responsePosted = true;
        listener->transferReceivedResponse(status, responseHeaders);
    }
};

// libcurl's write callback: the reply body, bounded, decoded and paced by the consumer (reply_body.cpp).
std::size_t onReplyBody(char* data, std::size_t size, std::size_t count, void* user);

// The description of the first header field that cannot go out as given; nothing when all are sound.
std::optional<std::string> refusedHeaderField(const HTTPHeaders& headers);
Ref<Error> refusedHeaderError(const std::string& description);

struct Engine::Impl {
    std::mutex mutex;
    std::vector<std::function<void()>> commands;
    // Set by every command and wake-up: a spinning engine cannot see a wake-up in libcurl's poll count.
    std::atomic<bool> attention{false};
    std::atomic<std::uint64_t> nextId{1};
    CURLM* multi = nullptr;
    // Engine thread only.
    std::map<std::uint64_t, std::unique_ptr<Transfer>> transfers;
    // Transfers waiting for their pool and origin, or the engine, to have room, in arrival order; and
    // how many run per pool and origin (engine thread only).
    // The request's host and port, read from its URL once when the engine takes the transfer (each
    // component getter parses the authority again).
    struct Address {
        std::optional<std::string> host;
        int port = 0;
    };
    struct Waiting {
        std::uint64_t id;
        std::string gateKey;
        Address address;
        long limit;
        TransferSpec spec;
        std::shared_ptr<TransferListener> listener;
        std::shared_ptr<TransferFlow> flow;
        EngineClock::time_point since;
    };
    std::deque<Waiting> waiting;
    std::map<std::string, long> runningPerKey;
    // Reset easy handles ready for the next transfers (engine thread only).
    static constexpr std::size_t kSpareHandles = 8;
    std::vector<CURL*> spareHandles;

    void post(std::function<void()> command) {
        {
            std::lock_guard lock(mutex);
            commands.push_back(std::move(command));
        }
        nudge();
    }

    // False only while the engine sleeps in libcurl's poll. Awake, the engine looks at `attention`
    // before it sleeps, so a command or wake-up costs no write to libcurl's wake-up socket (which the
    // engine would then have to read back); asleep, the write is what wakes it. Both sides store
    // their own flag and then read the other's, sequentially consistent, so one of them always sees
    // the other: the engine does not sleep through an unsent wake-up.
    std::atomic<bool> awake{true};
    void nudge() {
        attention.store(true);
        if (!awake.load()) curlLibrary().multi_wakeup(multi);
    }

    void run();
    lv::detail::SpinBudget spinBudget;  // engine thread only
    // A short busy look for commands and socket events before sleeping (a sleeping thread takes tens of
    // microseconds to wake on some machines); true when one came. With transfers running, each look
    // polls their sockets without waiting, a system call, so the clock is read and the processor
    // yielded after every one. Without one there is no socket to look at: the only event is a command
    // or wake-up, which raises `attention`, so the look is that flag alone (the next command is taken
    // within nanoseconds, and an idle engine's spin makes no system call but its yields).
    bool spinForEvents() {
        if (transfers.empty()) {
            return spinBudget.spin([&] { return attention.load(std::memory_order_acquire); }, EngineClock::time_point::max());
        }
        return spinBudget.spin([&] {
            if (attention.load(std::memory_order_acquire)) return true;
            int ready = 0;
            curlLibrary().multi_poll(multi, nullptr, 0, 0, &ready);
            return ready > 0 || attention.load(std::memory_order_acquire);
        }, EngineClock::time_point::max(), 1);
    }
    // transfer_queue.cpp: the limits and the queue.
    void start(std::uint64_t id, TransferSpec spec, std::shared_ptr<TransferListener> listener,
               std::shared_ptr<TransferFlow> flow);
    void launch(std::uint64_t id, std::string gateKey, Address address, TransferSpec spec,
                std::shared_ptr<TransferListener> listener, std::shared_ptr<TransferFlow> flow);
    bool hasRoom(const std::string& gateKey, long limit) const;
    // Starts the waiting transfers that now have room, oldest first.
    void admitWaiting();
    // Ends the waiting transfers whose idle or resource time-out passed.
    void expireWaiting(EngineClock::time_point now);
    // Ends a running or waiting transfer without a completion event.
    void cancel(std::uint64_t id);

    void configure(Transfer& t, const Address& address);
    void release(Transfer& t);
    void finish(std::uint64_t id, int code, Ref<Error> streamError, std::string detail);
    // Unpausing may deliver the bytes libcurl held back, and a callback may refuse them (a reply past
    // its bound): libcurl then answers with the error, which ends the transfer.
    CURLcode updatePause(Transfer& t) {
        return curlLibrary().easy_pause(t.easy, (t.recvPaused ? CURLPAUSE_RECV : 0) | (t.sendPaused ? CURLPAUSE_SEND : 0));
    }
    // Ends the transfer with libcurl's result, or with what a callback decided when it stopped it.
    void finishWithResult(Transfer& t, CURLcode result);
};

}  // namespace lv::net_detail
