// The push service's HTTP channel on 127.0.0.1: it records each request (method, path, headers, the
// text of the envelope — gunzipped for flag 0x06 — on the channel path, the raw body elsewhere) and
// answers with a scripted reply: a status and the envelope 04 00 LL {"st":N} (or 06 and the gzip of
// it), or a misbehaviour (empty 200, a short body, no "st", a JSON array, a delay, a closed
// connection).
// Thread rule: every public member may be called from any thread (state sits behind one lock).
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_server.h"

namespace lv::tools {

// The path whose bodies are envelopes.
inline constexpr const char* kHttpChannelPath = "/pn/http";

struct HttpChannelReply {
    enum class Body {
        Status,    // the envelope around {"st":N}
        NoStatus,  // the envelope around {"msg":"ok"}
        Array,     // the envelope around [{"st":N}]
        Empty,     // no body
        Raw,       // rawBody as it is (short bodies, error texts)
        Close,     // the connection closes without a reply
    };
    int status = 200;
    Body body = Body::Status;
    int st = 0;
    bool gzip = false;  // flag 0x06 and the gzip of the JSON
    std::string rawBody;
    double delaySeconds = 0;
};

struct HttpChannelRequest {
    std::string method;
    std::string path;
    std::multimap<std::string, std::string> headers;
    std::string body;  // the raw body
    std::string text;  // the envelope's text (channel path), else the raw body
    int flag = -1;     // the envelope's flag byte, -1 when there is none
    int length = -1;   // the envelope's length field, -1 when there is none
    bool envelopeValid = false;  // the length field matched the payload (and a gzip payload inflated)
};

class HttpChannel : public LoopbackService {
public:
    HttpChannel();
    ~HttpChannel();
    HttpChannel(const HttpChannel&) = delete;
    HttpChannel& operator=(const HttpChannel&) = delete;

    // start, stop, port and baseURL come from LoopbackService.

    // The reply to every following request.
    void setReply(HttpChannelReply reply);
    std::vector<HttpChannelRequest> requests() const;
    void clearRequests();
    // Called with each request as it is recorded, on the server's thread.
    void setRequestObserver(std::function<void(const HttpChannelRequest&)> observer);

    // The reply body that a reply script gives (exposed for the program's help and tests).
    static std::string replyBody(const HttpChannelReply& reply);

private:
    void install();

    HttpChannelReply reply_;
    std::vector<HttpChannelRequest> log_;
    std::function<void(const HttpChannelRequest&)> observer_;
};

}  // namespace lv::tools
