#include "http_channel.h"
#include "support/loopback_server.h"

#include <httplib.h>
#include <zlib.h>

#include <chrono>
#include <optional>

namespace lv::tools {

namespace {

// zlib's own inflate, for gzip or zlib data; nothing when the stream is damaged or incomplete.
std::optional<std::string> inflateAll(const std::string& input) {
    z_stream stream{};
    if (inflateInit2(&stream, 47) != Z_OK) return std::nullopt;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream.avail_in = static_cast<uInt>(input.size());
    std::string out;
    int status = Z_OK;
    char chunk[16384];
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - stream.avail_out);
    }
    inflateEnd(&stream);
    if (status != Z_STREAM_END) return std::nullopt;
    return out;
}

std::string gzipAll(const std::string& input) {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, static_cast<uLong>(input.size())) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::string envelope(char flag, const std::string& payload) {
    std::string out;
    out.push_back(flag);
    out.push_back(static_cast<char>((payload.size() >> 8) & 0xFF));
    out.push_back(static_cast<char>(payload.size() & 0xFF));
    return out + payload;
}

void decodeEnvelope(HttpChannelRequest& request) {
    const std::string& body = request.body;
    if (body.size() < 3) return;
    request.flag = static_cast<unsigned char>(body[0]);
    request.length = (static_cast<unsigned char>(body[1]) << 8) | static_cast<unsigned char>(body[2]);
    const std::string payload = body.substr(3);
    request.envelopeValid = payload.size() == static_cast<std::size_t>(request.length);
    if (request.flag == 0x06) {
        auto text = inflateAll(payload);
        request.envelopeValid = request.envelopeValid && text.has_value();
        request.text = text.value_or("");
    } else {
        request.text = payload;
    }
}

}  // namespace

HttpChannel::HttpChannel() {
    install();
}

HttpChannel::~HttpChannel() { stop(); }

void HttpChannel::setReply(HttpChannelReply reply) {
    std::lock_guard lock(mutex_);
    reply_ = std::move(reply);
}

std::vector<HttpChannelRequest> HttpChannel::requests() const {
    std::lock_guard lock(mutex_);
    return log_;
}

void HttpChannel::clearRequests() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

void HttpChannel::setRequestObserver(std::function<void(const HttpChannelRequest&)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

std::string HttpChannel::replyBody(const HttpChannelReply& reply) {
    std::string json;
    switch (reply.body) {
        case HttpChannelReply::Body::Status: json = "{\"st\":" + std::to_string(reply.st) + "}"; break;
        case HttpChannelReply::Body::NoStatus: json = "{\"msg\":\"ok\"}"; break;
        case HttpChannelReply::Body::Array: json = "[{\"st\":" + std::to_string(reply.st) + "}]"; break;
        case HttpChannelReply::Body::Empty:
        case HttpChannelReply::Body::Close: return {};
        case HttpChannelReply::Body::Raw: return reply.rawBody;
    }
    return reply.gzip ? envelope(0x06, gzipAll(json)) : envelope(0x04, json);
}

void HttpChannel::install() {
    server_->Post(R"(/.*)", [this](const httplib::Request& request, httplib::Response& response) {
        HttpChannelRequest logged;
        logged.method = request.method;
        logged.path = request.path;
        logged.headers.insert(request.headers.begin(), request.headers.end());
        logged.body = request.body;
        if (request.path == kHttpChannelPath) {
            decodeEnvelope(logged);
        } else {
            logged.text = request.body;
        }
        HttpChannelReply reply;
        std::function<void(const HttpChannelRequest&)> observer;
        {
            std::lock_guard lock(mutex_);
            log_.push_back(logged);
            reply = reply_;
            observer = observer_;
        }
        if (observer) observer(logged);
        if (reply.delaySeconds > 0 && !waitUnlessStopped(reply.delaySeconds)) return;
        response.status = reply.status;
        if (reply.body == HttpChannelReply::Body::Close) {
            // Announces a body and closes the connection without sending it.
            response.set_content_provider(16, "application/octet-stream",
                                          [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
            return;
        }
        const std::string body = replyBody(reply);
        if (!body.empty()) response.set_content(body, "application/octet-stream");
    });
}

}  // namespace lv::tools
