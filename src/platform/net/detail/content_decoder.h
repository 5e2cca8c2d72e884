// Decoding of a reply body by its Content-Encoding (gzip, x-gzip, deflate, identity, in any stacking),
// checked to its end: a body that stops before its compressed stream ends, fails its check value or
// runs on past its end is refused (internal to lv_net). Engine thread only.
//
// The decoding is paced by its consumer: when the consumer's queue is full the decoder stops, keeps
// what it has not decoded yet (in each layer) and goes on with `resume`, so one small network read
// never turns into more decoded bytes than the consumer has room for, however the codings stack.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lv::net_detail {

class ContentDecoder {
public:
    // The consumer's answer to each decoded piece: take more, stop for now (the piece is taken; the
    // rest waits for `resume`), or refuse (the decoding ends).
    enum class Room { More, Full, Refused };
    using Sink = std::function<Room(const char* data, std::size_t size)>;
    // Ok: every byte given is decoded and handed on. Full: every byte given is taken, but some wait
    // for `resume`. Stopped: the consumer refused. Malformed: see problem().
    enum class Result { Ok, Full, Stopped, Malformed };

    // The decoder for a Content-Encoding value; nothing when every coding is identity. `unknown` is
    // set when a coding is one this decoder cannot undo.
    static std::unique_ptr<ContentDecoder> forEncoding(std::string_view contentEncoding, bool& unknown);
    ~ContentDecoder();
    ContentDecoder(const ContentDecoder&) = delete;
    ContentDecoder& operator=(const ContentDecoder&) = delete;

    // Takes every byte given (the next bytes of the body). Not called while `waiting()`.
    Result feed(const char* data, std::size_t size, const Sink& sink);
    // Goes on with what an earlier Full left; Ok once nothing waits.
    Result resume(const Sink& sink);
    // Whether an earlier Full left work for `resume`.
    bool waiting() const;
    // Whether any body byte came, and whether every compressed stream reached its verified end.
    bool started() const { return started_; }
    bool complete() const;
    // What was wrong, after Malformed or when incomplete.
    std::string problem() const;

private:
    struct Layer {
        z_stream stream{};
        bool gzip = false;
        bool ended = false;
        // A "deflate" body with or without its zlib wrapper: decided on its first two bytes, kept
        // until both came, however the body is split.
        bool decided = false;
        // Stopped by a full consumer: zlib may hold more output, and `kept` input not decoded yet.
        bool stalled = false;
        std::vector<unsigned char> kept;
        std::size_t keptAt = 0;
        std::vector<unsigned char> buffer;
    };
    ContentDecoder() = default;
    Result feedLayer(std::size_t index, const unsigned char* data, std::size_t size, const Sink& sink);
    // Decodes the input through this layer and the ones after it; `used` is how much it took.
    Result inflateLayer(std::size_t index, const unsigned char* data, std::size_t size, const Sink& sink,
                        std::size_t& used);
    // Decodes what the layer keeps; what it does not take stays kept.
    Result inflateKept(std::size_t index, const Sink& sink);

    std::vector<std::unique_ptr<Layer>> layers_;  // the last coding applied first
    bool started_ = false;
    std::string problem_;
};

}  // namespace lv::net_detail
