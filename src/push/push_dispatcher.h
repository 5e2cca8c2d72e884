// `PNDispatcher`: the push client's HTTP channel. A send posts a text payload to the push service in a
// byte envelope (flag 0x04 plain or 0x06 gzip, a 16-bit big-endian length, the payload), reads the
// reply in the same envelope, and for the "TOKEN" send type keeps the keychain's registered mark and
// retry count up to date.
//
// Threads: pnSend may be called from any thread; every send runs on the serial "HttpDispatcher"
// queue, one at a time, holding it while the request is on the wire. pnRequest and requestLite block
// their calling thread until the reply or the time-out. streams and data may be read and set from any
// thread (a lock).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/value.h"
#include "platform/dispatch/queue.h"
#include "push/push_config.h"

namespace lv {

// The channel's path on the push server host; the channel's URL is "http://" + host + path.
inline constexpr std::string_view kPNHttpChannelPath = "/pn/http";
// Request time-out, seconds.
inline constexpr double kPNHttpTimeout = 10.0;
// Bounds on one exchange, so a server that trickles or floods its reply cannot hold the channel's
// queue or the process's memory: the whole exchange, seconds, and the reply body, bytes (far above
// any reply of the channel's form, whose payload length has 16 bits).
inline constexpr double kPNHttpWholeTimeout = 30.0;
inline constexpr std::int64_t kPNHttpMaxReplyBytes = 1 << 20;
// Payloads from this many bytes on are gzip-compressed.
inline constexpr std::size_t kPNGzipThreshold = 256;

class PNDispatcher {
public:
    static PNDispatcher& getInstance();
    // "http://<push server host>/pn/http".
    static std::string channelURL();

    // Queues a send of the payload (send types "TOKEN", "APP", "LOGOUTAPP"; others are sent like
    // "APP"); returns at once.
    void pnSend(std::string payload, std::string sendType);
    // Posts the enveloped request text to the URL. YES when a 200 reply came and, when it carried a
    // payload, the payload was read (its text in *responseData, else nil); NO otherwise, also for a
    // payload over 65,535 bytes after compression.
    bool pnRequest(std::string_view url, std::string_view requestText, PNText* responseData);
    // A plain synchronous POST of the text ("Content-Type: json"); logs the outcome. A reply body past
    // kPNHttpMaxReplyBytes fails as it arrives, as for pnRequest.
    void requestLite(std::string_view url, std::string_view body);
    // Splits at ";": every non-empty piece gives "http://" + the piece with "," replaced by ":".
    static std::vector<std::string> splitSpeedString(std::string_view text);
    void close() {}

    // A list kept for the caller's streams (empty at first; the dispatcher holds what it is given
    // and uses none of it), and a byte buffer no send uses.
    Array streams() const;
    void setStreams(Array streams);
    Bytes data() const;
    void setData(Bytes data);
    const Ref<Queue>& taskQueue() const { return taskQueue_; }

private:
    PNDispatcher();
    void send(const std::string& payload, const std::string& sendType);

    Ref<Queue> taskQueue_;
    mutable std::mutex fieldsLock_;  // streams_ and data_
    Array streams_;
    Bytes data_;
};

}  // namespace lv
