// The reply body on the engine thread: bounded as it comes off the wire and once decoded, decoded
// when the engine asked for compressed replies, and paced by the consumer. When more than
// Engine::kPauseAbove bytes wait for the consumer, reading stops (libcurl keeps the bytes) and so does
// decoding (the decoder keeps its input), so a small compressed body cannot swell in memory however its
// codings stack; both go on below Engine::kResumeBelow.
#include <algorithm>
#include <limits>
#include <string>

#include "platform/net/detail/engine_internal.h"
#include "platform/net/errors.h"

namespace lv::net_detail {

namespace {

// Compressed bytes a bounded reply may bring: the decoded bound and the framing stored blocks and
// wrappers add to incompressible data in a few layers. Filler that decodes to little (empty blocks, a
// long name in a gzip header) ends here instead of running on for ever.
// Saturates: a bound near the largest count ("no limit" to its caller) stays the largest count.
std::int64_t wireBound(std::int64_t bound) {
    constexpr std::int64_t kMost = std::numeric_limits<std::int64_t>::max();
    if (bound > (kMost - 4096) / 65 * 64) return kMost;
    return bound + bound / 64 + 4096;
}

bool consumerFull(const Transfer& t) {
    return t.flow->held.load() || t.flow->undelivered.load() > Engine::kPauseAbove;
}

std::size_t pauseReading(Transfer& t) {
    t.recvPaused = true;
    t.flow->paused.store(true);
    return CURL_WRITEFUNC_PAUSE;
}

void refuseOverBound(Transfer& t, const char* what) {
    t.abortCode = URLErrorDataLengthExceedsMaximum;
    t.abortDetail = std::string(what) + " exceeds " + std::to_string(t.spec.maxBodySize) + " bytes";
}

// Hands decoded body bytes to the consumer.
ContentDecoder::Room deliver(Transfer& t, const char* data, std::size_t n) {
    t.received += static_cast<std::int64_t>(n);
    if (t.spec.maxBodySize > 0 && t.received > t.spec.maxBodySize) {
        // Refused as it arrives (after decoding), so memory never holds more than the bound.
        refuseOverBound(t, "reply body");
        return ContentDecoder::Room::Refused;
    }
    t.lastActivity = EngineClock::now();
    t.flow->undelivered.fetch_add(static_cast<std::int64_t>(n));
    // Copied as bytes of the vector's own type: one memmove, not a conversion of each char.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    t.listener->transferReceivedData(Bytes(bytes, bytes + n));
    return consumerFull(t) ? ContentDecoder::Room::Full : ContentDecoder::Room::More;
}

std::size_t decodingFailed(Transfer& t, ContentDecoder::Result result) {
    if (result == ContentDecoder::Result::Malformed) {
        t.abortCode = URLErrorCannotDecodeContentData;
        t.abortDetail = t.decoder->problem();
    }
    return 0;  // Stopped: deliver() said why
}

}  // namespace

std::size_t onReplyBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    if (t->abortCode) return 0;  // refused already; libcurl may still offer what it held back
    // The consumer lags or holds: keep the bytes in libcurl and stop reading from the socket.
    if (consumerFull(*t)) return pauseReading(*t);
    t->postResponse();
    if (n == 0) return 0;
    if (t->decodeBody && !t->decoderMade) {
        t->decoderMade = true;
        bool unknown = false;
        t->decoder = ContentDecoder::forEncoding(t->responseHeaders.value("Content-Encoding").value_or(""), unknown);
        if (unknown) {
            t->abortCode = URLErrorCannotDecodeContentData;
            t->abortDetail = "unsupported content coding";
            return 0;
        }
    }
    if (!t->decoder) return deliver(*t, data, n) == ContentDecoder::Room::Refused ? 0 : n;

    const ContentDecoder::Sink sink = [t](const char* piece, std::size_t length) { return deliver(*t, piece, length); };
    // What the decoder kept when the consumer filled up goes first.
    if (t->decoder->waiting()) {
        const auto result = t->decoder->resume(sink);
        if (result == ContentDecoder::Result::Full) return pauseReading(*t);
        if (result != ContentDecoder::Result::Ok) return decodingFailed(*t, result);
    }
    // A delivery offered again after a pause starts with bytes the decoder took already.
    const std::size_t taken = std::min(t->retaken, n);
    t->retaken -= taken;
    const std::size_t fresh = n - taken;
    if (fresh == 0) return n;
    t->wireReceived += static_cast<std::int64_t>(fresh);
    if (t->spec.maxBodySize > 0 && t->wireReceived > wireBound(t->spec.maxBodySize)) {
        refuseOverBound(*t, "compressed reply body");
        return 0;
    }
    const auto result = t->decoder->feed(data + taken, fresh, sink);
    if (result == ContentDecoder::Result::Ok) return n;
    if (result == ContentDecoder::Result::Full) {
        // The decoder holds the rest of these bytes; libcurl offers the whole delivery again.
        t->retaken = n;
        return pauseReading(*t);
    }
    return decodingFailed(*t, result);
}

}  // namespace lv::net_detail
