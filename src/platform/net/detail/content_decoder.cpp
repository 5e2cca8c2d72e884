// Reply body decoding with zlib, each compressed stream checked to its end.
#include "platform/net/detail/content_decoder.h"

#include <cctype>

namespace lv::net_detail {

namespace {

constexpr std::size_t kPiece = 64 * 1024;  // decoded bytes handed on at a time

std::string lowerTrimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

std::unique_ptr<ContentDecoder> ContentDecoder::forEncoding(std::string_view contentEncoding, bool& unknown) {
    unknown = false;
    std::vector<std::string> codings;  // in the order the server applied them
    while (!contentEncoding.empty()) {
        const auto comma = contentEncoding.find(',');
        const std::string coding = lowerTrimmed(contentEncoding.substr(0, comma));
        contentEncoding.remove_prefix(comma == std::string_view::npos ? contentEncoding.size() : comma + 1);
        if (coding.empty() || coding == "identity") continue;
        if (coding != "gzip" && coding != "x-gzip" && coding != "deflate") {
            unknown = true;
            return nullptr;
        }
        codings.push_back(coding);
    }
    if (codings.empty()) return nullptr;
    std::unique_ptr<ContentDecoder> decoder(new ContentDecoder);
    for (auto it = codings.rbegin(); it != codings.rend(); ++it) {
        auto layer = std::make_unique<Layer>();
        layer->gzip = *it != "deflate";
        // 16 + 15: the gzip wrapper only, so its CRC-32 and length trailer are checked; 15: the zlib
        // wrapper with its Adler-32 check.
        if (inflateInit2(&layer->stream, layer->gzip ? 16 + MAX_WBITS : MAX_WBITS) != Z_OK) {
            unknown = true;
            return nullptr;
        }
        layer->buffer.resize(kPiece);
        decoder->layers_.push_back(std::move(layer));
    }
    return decoder;
}

ContentDecoder::~ContentDecoder() {
    for (auto& layer : layers_) inflateEnd(&layer->stream);
}

bool ContentDecoder::complete() const {
    for (const auto& layer : layers_) {
        if (!layer->ended) return false;
    }
    return true;
}

std::string ContentDecoder::problem() const {
    if (!problem_.empty()) return problem_;
    return complete() ? std::string() : "compressed body ends before its end";
}

ContentDecoder::Result ContentDecoder::feed(const char* data, std::size_t size, const Sink& sink) {
    if (size == 0) return Result::Ok;
    started_ = true;
    return feedLayer(0, data, size, sink);
}

ContentDecoder::Result ContentDecoder::feedLayer(std::size_t index, const char* data, std::size_t size, const Sink& sink) {
    if (size == 0) return Result::Ok;
    Layer& l = *layers_[index];
    if (l.ended) {
        problem_ = "bytes after the end of the compressed body";
        return Result::Malformed;
    }
    const bool first = l.stream.total_in == 0;
    l.stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    l.stream.avail_in = static_cast<uInt>(size);
    for (;;) {
        l.stream.next_out = l.buffer.data();
        l.stream.avail_out = static_cast<uInt>(l.buffer.size());
        int rc = inflate(&l.stream, Z_NO_FLUSH);
        if (rc == Z_DATA_ERROR && !l.gzip && !l.triedRaw && first && l.stream.total_out == 0) {
            // Some servers send raw deflate data under "deflate": read it so, from the start.
            l.triedRaw = true;
            if (inflateReset2(&l.stream, -MAX_WBITS) != Z_OK) {
                problem_ = "cannot restart the deflate decoder";
                return Result::Malformed;
            }
            l.stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
            l.stream.avail_in = static_cast<uInt>(size);
            continue;
        }
        const std::size_t produced = l.buffer.size() - l.stream.avail_out;
        if (rc != Z_OK && rc != Z_STREAM_END && !(rc == Z_BUF_ERROR && produced == 0)) {
            problem_ = l.stream.msg ? l.stream.msg : "damaged compressed body";
            return Result::Malformed;
        }
        if (produced > 0) {
            const auto* out = reinterpret_cast<const char*>(l.buffer.data());
            if (index + 1 == layers_.size()) {
                if (!sink(out, produced)) return Result::Stopped;
            } else if (const Result r = feedLayer(index + 1, out, produced, sink); r != Result::Ok) {
                return r;
            }
        }
        if (rc == Z_STREAM_END) {
            l.ended = true;
            if (l.stream.avail_in > 0) {
                problem_ = "bytes after the end of the compressed body";
                return Result::Malformed;
            }
            return Result::Ok;
        }
        // Done with this input once it is used up and the output had room to spare.
        if (l.stream.avail_in == 0 && l.stream.avail_out > 0) return Result::Ok;
        if (rc == Z_BUF_ERROR) return Result::Ok;
    }
}

}  // namespace lv::net_detail
