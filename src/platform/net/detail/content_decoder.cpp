// Reply body decoding with zlib, each compressed stream checked to its end, paced by its consumer.
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

// Whether two bytes open a zlib stream: deflate with a window of at most 32 KiB, and a pair that is a
// multiple of 31.
bool zlibWrapped(unsigned char method, unsigned char flags) {
    return (method & 0x0f) == Z_DEFLATED && (method >> 4) <= 7 && ((method << 8) | flags) % 31 == 0;
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
        layer->decided = layer->gzip;
        // 16 + 15: the gzip wrapper only, so its CRC-32 and length trailer are checked; 15: the zlib
        // wrapper with its Adler-32 check (raw deflate once the first bytes show no wrapper).
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

bool ContentDecoder::waiting() const {
    for (const auto& layer : layers_) {
        if (layer->stalled) return true;
    }
    return false;
}

std::string ContentDecoder::problem() const {
    if (!problem_.empty()) return problem_;
    return complete() ? std::string() : "compressed body ends before its end";
}

ContentDecoder::Result ContentDecoder::feed(const char* data, std::size_t size, const Sink& sink) {
    if (size == 0) return Result::Ok;
    started_ = true;
    return feedLayer(0, reinterpret_cast<const unsigned char*>(data), size, sink);
}

ContentDecoder::Result ContentDecoder::resume(const Sink& sink) {
    // The layer nearest the consumer first: what an outer layer decodes next goes after what the
    // inner ones still keep.
    for (std::size_t i = layers_.size(); i-- > 0;) {
        if (!layers_[i]->stalled) continue;
        if (const Result r = inflateKept(i, sink); r != Result::Ok) return r;
    }
    return Result::Ok;
}

ContentDecoder::Result ContentDecoder::feedLayer(std::size_t index, const unsigned char* data, std::size_t size,
                                                 const Sink& sink) {
    if (size == 0) return Result::Ok;
    Layer& l = *layers_[index];
    if (l.ended) {
        problem_ = "bytes after the end of the compressed body";
        return Result::Malformed;
    }
    if (!l.decided || l.stalled || l.keptAt < l.kept.size()) {
        // Behind what the layer keeps already.
        l.kept.erase(l.kept.begin(), l.kept.begin() + static_cast<std::ptrdiff_t>(l.keptAt));
        l.keptAt = 0;
        l.kept.insert(l.kept.end(), data, data + size);
        if (!l.decided) {
            if (l.kept.size() < 2) return Result::Ok;
            l.decided = true;
            // Some servers send raw deflate data under "deflate": read it so from the start.
            if (!zlibWrapped(l.kept[0], l.kept[1]) && inflateReset2(&l.stream, -MAX_WBITS) != Z_OK) {
                problem_ = "cannot restart the deflate decoder";
                return Result::Malformed;
            }
        }
        return inflateKept(index, sink);
    }
    std::size_t used = 0;
    const Result r = inflateLayer(index, data, size, sink, used);
    if (r == Result::Full) {
        l.kept.assign(data + used, data + size);
        l.keptAt = 0;
    }
    return r;
}

ContentDecoder::Result ContentDecoder::inflateKept(std::size_t index, const Sink& sink) {
    Layer& l = *layers_[index];
    std::size_t used = 0;
    const Result r = inflateLayer(index, l.kept.data() + l.keptAt, l.kept.size() - l.keptAt, sink, used);
    l.keptAt += used;
    if (l.keptAt == l.kept.size()) {
        l.kept.clear();
        l.keptAt = 0;
    }
    return r;
}

ContentDecoder::Result ContentDecoder::inflateLayer(std::size_t index, const unsigned char* data, std::size_t size,
                                                    const Sink& sink, std::size_t& used) {
    Layer& l = *layers_[index];
    l.stalled = false;
    l.stream.next_in = const_cast<Bytef*>(data);
    l.stream.avail_in = static_cast<uInt>(size);
    for (;;) {
        l.stream.next_out = l.buffer.data();
        l.stream.avail_out = static_cast<uInt>(l.buffer.size());
        const int rc = inflate(&l.stream, Z_NO_FLUSH);
        used = size - l.stream.avail_in;
        const std::size_t produced = l.buffer.size() - l.stream.avail_out;
        if (rc != Z_OK && rc != Z_STREAM_END && !(rc == Z_BUF_ERROR && produced == 0)) {
            problem_ = l.stream.msg ? l.stream.msg : "damaged compressed body";
            return Result::Malformed;
        }
        if (rc == Z_STREAM_END) {
            l.ended = true;
            if (l.stream.avail_in > 0) {
                problem_ = "bytes after the end of the compressed body";
                return Result::Malformed;
            }
        }
        if (produced > 0) {
            Result r = Result::Ok;
            if (index + 1 == layers_.size()) {
                const Room room = sink(reinterpret_cast<const char*>(l.buffer.data()), produced);
                r = room == Room::Refused ? Result::Stopped : room == Room::Full ? Result::Full : Result::Ok;
            } else {
                r = feedLayer(index + 1, l.buffer.data(), produced, sink);
            }
            if (r == Result::Full) {
                // The consumer has no room: zlib may hold more output, and the input left is kept.
                l.stalled = !l.ended;
                return r;
            }
            if (r != Result::Ok) return r;
        }
        if (rc == Z_STREAM_END) return Result::Ok;
        // Done with this input once it is used up and the output had room to spare.
        if (l.stream.avail_in == 0 && l.stream.avail_out > 0) return Result::Ok;
        if (rc == Z_BUF_ERROR) return Result::Ok;
    }
}

}  // namespace lv::net_detail
