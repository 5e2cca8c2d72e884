// Decoding of a reply body by its Content-Encoding (gzip, x-gzip, deflate, identity, in any stacking),
// checked to its end: a body that stops before its compressed stream ends, fails its check value or
// runs on past its end is refused (internal to lv_net). Engine thread only.
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
    // Receives each decoded piece in order; false stops the decoding (the consumer refused it).
    using Sink = std::function<bool(const char* data, std::size_t size)>;
    enum class Result { Ok, Stopped, Malformed };

    // The decoder for a Content-Encoding value; nothing when every coding is identity. `unknown` is
    // set when a coding is one this decoder cannot undo.
    static std::unique_ptr<ContentDecoder> forEncoding(std::string_view contentEncoding, bool& unknown);
    ~ContentDecoder();
    ContentDecoder(const ContentDecoder&) = delete;
    ContentDecoder& operator=(const ContentDecoder&) = delete;

    Result feed(const char* data, std::size_t size, const Sink& sink);
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
        bool triedRaw = false;  // a "deflate" body without its zlib wrapper is read as raw deflate
        std::vector<unsigned char> buffer;
    };
    ContentDecoder() = default;
    Result feedLayer(std::size_t index, const char* data, std::size_t size, const Sink& sink);

    std::vector<std::unique_ptr<Layer>> layers_;  // the last coding applied first
    bool started_ = false;
    std::string problem_;
};

}  // namespace lv::net_detail
